"""Strength on presets and looks: `preset:vintage,strength=0.6` and `look:NAME,strength=0.6` blend
the step's result with the picture before it, in the text and JSON forms, through the runner
(alpha, grey and frames kept), the command line, batches and looks files."""

import os
import subprocess
import sysconfig

import pytest
from PIL import Image, ImageChops, ImageEnhance

from framewick import FrameWick, looks
from framewick.chain import Chain, ChainError
from framewick.photo import run_steps

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")


@pytest.fixture
def look_file(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    looks.reset()
    path = tmp_path / "looks.toml"
    path.write_text('[looks.film]\nsteps = "preset:warm | border:6,color=white"\n'
                    '[looks.soft]\nsteps = "look:film,strength=0.5 | invert"\n'
                    '[looks.loop_a]\nsteps = "look:loop_b,strength=0.5"\n'
                    '[looks.loop_b]\nsteps = "preset:loop_a,strength=0.2"\n', encoding="utf-8")
    looks.load(path)
    yield str(path)
    looks.reset()


def gradient(mode="RGB", size=(48, 32)):
    im = Image.merge("RGB", [Image.linear_gradient("L").resize(size), Image.new("L", size, 90),
                             Image.linear_gradient("L").rotate(90).resize(size)])
    if mode in ("RGBA", "LA"):
        im.putalpha(Image.linear_gradient("L").resize(size))
    return im.convert(mode)


def vintage(im):
    return ImageEnhance.Contrast(im.convert("L").convert("RGB")).enhance(0.8)


def edited(im, steps):
    obj = FrameWick()
    obj.image = im
    with_lines = []
    run_steps(obj, steps, with_lines.append)
    return obj.image


def close(a, b, tolerance=1):
    return a.mode == b.mode and a.size == b.size and \
        max(high for _, high in ImageChops.difference(a, b).getextrema()) <= tolerance


@pytest.mark.parametrize("text, data, canonical", [
    ("preset:vintage,strength=0.6", [{"method": "apply_preset", "args": ["vintage"], "kwargs": {"strength": 0.6}}],
     "preset:vintage,strength=0.6"),
    ("preset:Noir , strength = 0.25", [{"method": "apply_preset", "args": ["Noir"], "kwargs": {"strength": 0.25}}],
     "preset:Noir,strength=0.25"),
    ("preset:vintage,strength=1", [{"method": "apply_preset", "args": ["vintage"]}], "preset:vintage"),
    ("look:film,strength=0.5", [{"method": "look", "args": ["film"], "kwargs": {"strength": 0.5}}],
     "look:film,strength=0.5"),
    ("preset:film,strength=0.5", [{"method": "look", "args": ["film"], "kwargs": {"strength": 0.5}}],
     "look:film,strength=0.5"),
    ("lut:{lut},strength=0.5", [{"method": "apply_lut", "args": ["{lut}"], "kwargs": {"strength": 0.5}}],
     "lut:{lut},strength=0.5"),
])
def test_strength_in_the_text_and_json_forms(look_file, tmp_path, text, data, canonical):
    from framewick.lut import write_cube

    lut = str(tmp_path / "swap.cube")
    write_cube(lut, 2, lambda r, g, b: (b, g, r))
    text, canonical = text.format(lut=lut), canonical.format(lut=lut)
    data = [{**d, "args": [a.format(lut=lut) for a in d["args"]]} for d in data]
    chain = Chain.parse(text)
    assert chain.to_text() == canonical
    assert chain.to_data() == data or text.startswith("preset:film")
    assert Chain.parse(chain.to_text()) == chain == Chain.from_json(chain.to_json())
    if not text.startswith("preset:film"):
        assert Chain.from_data(data) == chain


@pytest.mark.parametrize("text, line", [
    ("preset:vintage,strength=1.5", "step 1 'preset': strength must be a number from 0 to 1, got 1.5"),
    ("preset:vintage,strength=-0.1", "step 1 'preset': strength must be a number from 0 to 1, got -0.1"),
    ("preset:vintage,strength=half", "step 1 'preset': strength expects a number, e.g. 0.5, got 'half'"),
    ("preset:vintage,strength=nan", "step 1 'preset': strength expects a number, e.g. 0.5, got 'nan'"),
    ("blur:2,strength=0.5", "step 1 'blur': no parameter 'strength'; blur takes radius: int = 2"),
    ("look:nosuch,strength=0.5", "look 'nosuch': no such look"),
    ("look:loop_a", "look 'loop_a' -> 'loop_b' -> 'loop_a': a cycle"),
])
def test_a_bad_strength_is_a_chain_error(look_file, text, line):
    with pytest.raises(ChainError) as error:
        Chain.parse(text)
    assert str(error.value) == line


@pytest.mark.parametrize("strength", [0.0, 0.3, 0.6, 1.0])
def test_a_preset_at_a_strength_is_the_blend_with_the_picture_before(strength):
    im = gradient()
    got = edited(im.copy(), f"preset:vintage,strength={strength}")
    assert close(got, Image.blend(im, vintage(im), strength))


@pytest.mark.parametrize("mode, expected_mode", [("RGBA", "RGBA"), ("L", "L"), ("LA", "LA"), ("P", "RGB")])
def test_a_blended_preset_keeps_alpha_and_grey(mode, expected_mode):
    im = gradient(mode)
    got = edited(im.copy(), "preset:vintage,strength=0.5")
    assert got.mode == expected_mode and got.size == im.size
    if "A" in mode:
        assert got.getchannel("A").tobytes() == im.getchannel("A").tobytes()


def test_a_look_at_a_strength_blends_its_colour_and_keeps_its_frame(look_file):
    im = gradient()
    full = edited(im.copy(), "look:film")
    half = edited(im.copy(), "look:film,strength=0.5")
    framed = edited(im.copy(), "border:6,color=white")
    assert half.size == full.size == (60, 44)
    assert close(half, Image.blend(framed, full, 0.5))
    assert half.getpixel((0, 0)) == (255, 255, 255)  # the border is the look's, in full
    # a look inside a look keeps its strength
    assert close(edited(im.copy(), "look:soft"), edited(half.copy(), "invert"))


def test_text_at_a_strength_is_drawn_at_that_strength(look_file, tmp_path):
    # add_text draws on its picture in place: the picture before the look must stay unmarked
    (tmp_path / "more.toml").write_text('[looks.signed]\nsteps = "text:X,(0,0),font_size=30,color=white"\n',
                                        encoding="utf-8")
    looks.load(tmp_path / "more.toml")
    im = Image.new("RGB", (40, 40), (0, 0, 0))
    full = edited(im.copy(), "look:signed")
    half = edited(im.copy(), "look:signed,strength=0.5")
    assert close(half, Image.blend(im, full, 0.5))
    assert full.convert("L").getextrema()[1] == 255 and half.convert("L").getextrema()[1] in (127, 128)


def test_an_animation_is_blended_frame_by_frame(tmp_path):
    path = tmp_path / "anim.gif"
    frames = [gradient().quantize(), gradient().rotate(180).quantize()]
    frames[0].save(path, save_all=True, append_images=frames[1:], duration=[40, 60], loop=0)
    obj = FrameWick.open(str(path))
    run_steps(obj, "preset:vintage,strength=0.5", lambda text: None)
    assert len(obj.photo.frames) == 2 and obj.image is obj.photo.frames[0]
    assert obj.photo.frames[0].tobytes() != obj.photo.frames[1].tobytes()


def test_the_command_line_and_a_batch_take_strength(look_file, tmp_path):
    source = tmp_path / "in.png"
    gradient().save(source)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["XDG_CONFIG_HOME"] = str(tmp_path / "config")
    done = subprocess.run([SCRIPT, "--looks", look_file, "edit", str(source), "-o", str(tmp_path / "out.png"),
                           "--steps", "preset:vintage,strength=0.6 | look:film,strength=0.5"],
                          env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    expected = edited(gradient(), "preset:vintage,strength=0.6 | look:film,strength=0.5")
    with Image.open(tmp_path / "out.png") as out:
        assert close(out.convert(expected.mode), expected)
    (tmp_path / "batch").mkdir()
    done = subprocess.run([SCRIPT, "--looks", look_file, "batch", str(source), "-d", str(tmp_path / "batch"),
                           "--steps", "look:film,strength=0.5", "--jobs", "1"], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "batch" / "in.png") as out:
        assert close(out.convert("RGB"), edited(gradient(), "look:film,strength=0.5"))
    done = subprocess.run([SCRIPT, "edit", str(source), "-o", str(tmp_path / "bad.png"),
                           "--steps", "preset:vintage,strength=2"], env=env, capture_output=True, text=True)
    assert done.returncode == 2 and not (tmp_path / "bad.png").exists()
    assert done.stderr.strip() == "framewick edit: error: step 1 'preset': strength must be a number from 0 to 1, got 2.0"
