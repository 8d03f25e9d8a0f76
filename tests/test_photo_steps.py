"""Chains on photos: every mode, alpha, grey pictures, animations and strict failures."""

import io
import os

import numpy
import pytest
from PIL import Image, ImageChops

from framewick import FrameWick
from framewick import steps as steps_table
from framewick.chain import Chain, Step
from framewick.photo import StepFailed, run_steps, write_photo

PALETTE = [0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255] + [128, 128, 128] * 252


def holding(picture, **photo):
    """A FrameWick holding `picture` as opened from a PNG."""
    buffer = io.BytesIO()
    picture.save(buffer, "TIFF" if picture.mode in ("CMYK", "I", "F", "PA") else "PNG", **photo)
    buffer.seek(0)
    return FrameWick.open(buffer)


def every_mode():
    """One picture per mode Pillow opens, each with a known middle pixel."""
    p = Image.new("P", (24, 16), 1)
    p.putpalette(PALETTE)
    pa = p.convert("PA")
    return {
        "1": Image.new("1", (24, 16), 1),
        "L": Image.new("L", (24, 16), 100),
        "LA": Image.new("LA", (24, 16), (100, 128)),
        "P": p,
        "PA": pa,
        "RGB": Image.new("RGB", (24, 16), (200, 30, 60)),
        "RGBA": Image.new("RGBA", (24, 16), (200, 30, 60, 128)),
        "CMYK": Image.new("CMYK", (24, 16), (0, 255, 255, 0)),
        "I;16": Image.new("I;16", (24, 16), 32896),
        "I": Image.new("I", (24, 16), 65535),
        "F": Image.new("F", (24, 16), 0.5),
    }


STEPS = ["blur", "sharpen", "contrast:1.2", "grayscale:0.5", "scan", "enhance", "invert", "gamma:0.8",
         "sepia", "rotate:30", "flip", "crop:2,2,20,14", "thumbnail:12,12", "corners:4", "resize:12,8", "fit:10,10",
         "text:hi,(1,1)", "border:2,color=red"] + [f"preset:{name}" for name in
                                                   ("vintage", "cinematic", "vibrant", "dreamy", "noir", "warm",
                                                    "sepia", "cool")]


@pytest.mark.parametrize("mode", list(every_mode()))
def test_every_mode_goes_through_every_step_and_out_to_every_format(tmp_path, mode):
    for text in STEPS:
        obj = holding(every_mode()[mode])
        Chain.parse(text).apply(obj, lambda line: None)
        moves = text.split(":")[0] in ("rotate", "flip", "crop", "thumbnail", "resize", "fit")
        deep = mode in ("I;16", "I", "F") and moves  # steps that only move pixels keep the depth
        assert obj.image.mode in ((mode,) if deep else ("L", "LA", "RGB", "RGBA")), (mode, text)
    obj = holding(every_mode()[mode])
    for suffix in (".jpg", ".png", ".webp", ".gif", ".bmp", ".tif", ".avif"):
        write_photo(obj, tmp_path / f"out{suffix}", echo=lambda line: None)
        with Image.open(tmp_path / f"out{suffix}") as written:
            written.load()
            assert written.size == (24, 16)


@pytest.mark.parametrize("mode, expected", [
    ("I;16", 128), ("I", 255), ("F", 127), ("L", 100), ("1", 255),
])
def test_deep_and_bilevel_pictures_are_scaled_by_their_range_not_clipped(tmp_path, mode, expected):
    obj = holding(every_mode()[mode])
    Chain.parse("blur:0").apply(obj, lambda line: None)
    assert obj.image.mode == "L" and abs(obj.image.getpixel((3, 3)) - expected) <= 1
    write_photo(holding(every_mode()[mode]), tmp_path / "out.jpg", echo=lambda line: None)
    with Image.open(tmp_path / "out.jpg") as written:
        assert abs(written.getpixel((3, 3)) - expected) <= 2


def test_a_16_bit_picture_keeps_its_depth_where_the_format_stores_it(tmp_path):
    obj = holding(Image.new("I;16", (8, 8), 40000))
    write_photo(obj, tmp_path / "deep.png", echo=lambda line: None)
    with Image.open(tmp_path / "deep.png") as written:
        assert written.mode.startswith("I") and written.getpixel((1, 1)) == 40000


def test_cmyk_becomes_rgb_for_the_steps_and_for_formats_without_cmyk(tmp_path):
    obj = holding(every_mode()["CMYK"])
    write_photo(obj, tmp_path / "kept.jpg", echo=lambda line: None)
    with Image.open(tmp_path / "kept.jpg") as kept:
        assert kept.mode == "CMYK"
    write_photo(obj, tmp_path / "out.png", echo=lambda line: None)
    with Image.open(tmp_path / "out.png") as png:
        assert png.mode == "RGB" and png.getpixel((1, 1)) == (255, 0, 0)
    Chain.parse("blur").apply(obj, lambda line: None)
    assert obj.image.mode == "RGB" and obj.image.getpixel((5, 5)) == (255, 0, 0)


def alpha_picture():
    """Opaque colour on the left, fully transparent right half, half transparent bottom row."""
    im = Image.new("RGBA", (40, 20), (200, 100, 50, 255))
    im.paste((10, 20, 30, 0), (20, 0, 40, 20))
    im.paste((200, 100, 50, 128), (0, 19, 20, 20))
    return im


@pytest.mark.parametrize("text", ["blur", "sharpen", "contrast:1.5", "grayscale", "invert", "gamma:0.5", "sepia",
                                  "enhance", "scan", "text:x,(25,5)", "preset:warm", "preset:vintage",
                                  "preset:dreamy", "preset:cool"])
def test_a_same_size_step_gets_the_alpha_back_unchanged(text):
    obj = holding(alpha_picture())
    before = obj.image.getchannel("A")
    Chain.parse(text).apply(obj, lambda line: None)
    assert obj.image.mode in ("RGBA", "LA")
    assert ImageChops.difference(obj.image.getchannel("A"), before).getbbox() is None


@pytest.mark.parametrize("text, pixel, alpha", [
    ("flip", (5, 5), 0), ("flip:vertical", (5, 0), 128), ("crop:15,0,40,20", (10, 5), 0),
    ("resize:20,10", (15, 5), 0), ("rotate:180", (5, 5), 0), ("border:3", (0, 0), 255),
    ("fit:20,20", (19, 10), 0), ("thumbnail:20,20", (15, 5), 0),
])
def test_a_step_that_moves_pixels_moves_the_alpha_with_them(text, pixel, alpha):
    obj = holding(alpha_picture())
    Chain.parse(text).apply(obj, lambda line: None)
    assert obj.image.mode == "RGBA" and obj.image.getchannel("A").getpixel(pixel) == alpha


def test_rounded_corners_keep_what_was_transparent():
    obj = holding(alpha_picture())
    Chain.parse("corners:6").apply(obj, lambda line: None)
    alpha = obj.image.getchannel("A")
    assert alpha.getpixel((0, 0)) == 0  # the corner is cut
    assert alpha.getpixel((30, 10)) == 0  # was transparent, stays so
    assert alpha.getpixel((10, 10)) == 255 and alpha.getpixel((10, 19)) == 128


@pytest.mark.parametrize("mode, text, grey", [
    ("L", "preset:vintage", True), ("L", "invert", True), ("L", "gamma:0.5", True), ("L", "grayscale:0.7", True),
    ("LA", "preset:noir", True), ("L", "preset:warm", False), ("L", "preset:sepia", False), ("LA", "sepia", False),
    ("L", "preset:cool", False), ("L", "preset:vibrant", True),
])
def test_grey_pictures_stay_grey_unless_the_step_tints_them(mode, text, grey):
    obj = holding(Image.linear_gradient("L").resize((32, 32)).convert(mode))
    Chain.parse(text).apply(obj, lambda line: None)
    has_alpha = mode == "LA"
    if grey:
        assert obj.image.mode == ("LA" if has_alpha else "L")
    else:
        assert obj.image.mode == ("RGBA" if has_alpha else "RGB")
        red, _, blue = obj.image.getpixel((16, 16))[:3]
        assert red != blue


def test_a_transparent_palette_picture_keeps_its_transparency(tmp_path):
    p = Image.new("P", (20, 20), 1)
    p.putpalette(PALETTE)
    p.paste(0, (10, 0, 20, 20))
    obj = holding(p, transparency=0)
    Chain.parse("preset:vibrant | resize:10,10").apply(obj, lambda line: None)
    assert obj.image.mode == "RGBA"
    assert obj.image.getpixel((2, 5))[3] >= 250 and obj.image.getpixel((8, 5))[3] == 0


def animation(fmt, durations=(100, 200, 300), loop=0):
    frames = [Image.new("RGB", (30, 20), c) for c in ((255, 0, 0), (0, 255, 0), (0, 0, 255))]
    buffer = io.BytesIO()
    frames[0].save(buffer, fmt, save_all=True, append_images=frames[1:], duration=list(durations), loop=loop)
    buffer.seek(0)
    return buffer


@pytest.mark.parametrize("source", ["GIF", "WEBP", "PNG"])
@pytest.mark.parametrize("suffix", [".gif", ".webp", ".png"])
def test_animations_are_edited_frame_by_frame_and_keep_their_timing(tmp_path, source, suffix):
    obj = FrameWick.open(animation(source))
    lines = []
    Chain.parse("resize:16,10 | border:2,color=white | preset:noir").apply(obj, lines.append)
    assert lines == ["📏 Success: Image resized to 16x10\n", "🎯 Success: Preset 'noir' applied perfectly!\n"]
    assert [f.size for f in obj.photo.frames] == [(20, 14)] * 3 and obj.image is obj.photo.frames[0]
    out = tmp_path / f"out{suffix}"
    write_photo(obj, out, echo=lambda line: None)
    with Image.open(out) as written:
        assert written.n_frames == 3 and written.size == (20, 14)
        durations, greys = [], []
        for index in range(3):
            written.seek(index)
            written.load()
            durations.append(written.info["duration"])
            greys.append(written.convert("L").getpixel((10, 7)))
        assert durations == [100, 200, 300] and written.info.get("loop", 0) == 0
        assert greys[0] != greys[1] != greys[2]  # each frame its own picture


def test_an_animation_to_a_still_format_keeps_the_first_frame_and_says_so(tmp_path, capsys):
    obj = FrameWick.open(animation("GIF"))
    write_photo(obj, tmp_path / "still.jpg", echo=lambda line: None)
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "3 frames" in err and "frame 1 of 3" in err
    with Image.open(tmp_path / "still.jpg") as still:
        assert still.getpixel((5, 5))[0] > 200


def test_an_animation_edited_outside_a_chain_is_written_as_its_one_picture(tmp_path, capsys):
    obj = FrameWick.open(animation("GIF"))
    obj.resize(10, 10)
    write_photo(obj, tmp_path / "one.gif", echo=lambda line: None)
    assert "edited outside a chain" in capsys.readouterr().err
    with Image.open(tmp_path / "one.gif") as written:
        assert getattr(written, "n_frames", 1) == 1 and written.size == (10, 10)


def test_an_animation_played_once_is_written_played_once(tmp_path):
    frames = [Image.new("RGB", (8, 8), c) for c in ("red", "blue")]
    buffer = io.BytesIO()
    frames[0].save(buffer, "GIF", save_all=True, append_images=frames[1:], duration=50)
    buffer.seek(0)
    obj = FrameWick.open(buffer)
    assert obj.photo.loop is None
    write_photo(obj, tmp_path / "once.webp", echo=lambda line: None)
    with Image.open(tmp_path / "once.webp") as written:
        assert written.info["loop"] == 1


@pytest.mark.parametrize("steps, line", [
    ([Step("convert_mode", ("NOPE",))], "❌ Error: Could not convert mode to NOPE"),
    ([Step("convert", ("gif",)), Step("apply_blur")], None),
    ([Step("apply_preset", ("nosuch",))], "⚠️ Warning: Preset 'nosuch' not found."),
])
def test_strict_turns_a_failure_status_line_into_an_exception(steps, line):
    chain = Chain(tuple(steps))
    obj = holding(Image.new("RGB", (8, 8), "red"))
    lines = []
    if line is None:
        assert run_steps(obj, chain, lines.append, strict=True) is obj
        assert lines[0].startswith("🔄 Converting image to GIF")
        return
    with pytest.raises(StepFailed) as failed:
        run_steps(obj, chain, lines.append, strict=True)
    assert str(failed.value).startswith(line)
    assert line in "".join(lines)  # reported too
    relaxed = holding(Image.new("RGB", (8, 8), "red"))
    assert run_steps(relaxed, chain, lines.append) is relaxed


def test_objects_without_a_picture_and_chains_as_json_still_run():
    class Counter:
        calls = 0

        def apply_blur(self, radius=2):
            Counter.calls += radius
            return self

    run_steps(Counter(), '[{"method": "apply_blur", "args": [3]}]')
    assert Counter.calls == 3


@pytest.mark.parametrize("text", ["blur", "blur:5", "sharpen", "invert", "gamma:0.7", "sepia", "grayscale:0.4",
                                  "preset:dreamy", "preset:vibrant", "preset:warm", "preset:cool", "preset:sepia",
                                  "preset:vintage", "preset:cinematic", "preset:noir"])
@pytest.mark.parametrize("mode", ["RGB", "RGBA", "L"])
def test_large_pictures_in_strips_give_exactly_the_whole_pictures_result(monkeypatch, text, mode):
    from framewick.photo import running

    noise = Image.merge("RGB", [Image.effect_noise((160, 410), 50 + 20 * i) for i in range(3)])
    picture = noise.convert(mode) if mode != "RGBA" else noise.convert("RGBA")
    if mode == "RGBA":
        picture.putalpha(Image.linear_gradient("L").resize(picture.size))
    whole = holding(picture)
    Chain.parse(text).apply(whole, lambda line: None)
    monkeypatch.setattr(running, "STRIP_PIXELS", 1000)
    monkeypatch.setattr(running, "STRIP_BYTES", 160 * 4 * 100)  # strips of 100 rows
    cut, lines, calls = holding(picture), [], []
    real = Image.Image.crop
    monkeypatch.setattr(Image.Image, "crop", lambda im, box=None: calls.append(box) or real(im, box))
    Chain.parse(text).apply(cut, lines.append)
    assert len([box for box in calls if box and box[2] == 160]) >= 5  # it did run in strips
    assert cut.image.mode == whole.image.mode and cut.image.tobytes() == whole.image.tobytes()
    assert len(lines) <= 1 and all(line.count("Success") == 1 for line in lines)


@pytest.mark.parametrize("name", ["vintage", "Cinematic", "noir"])
def test_mean_contrast_presets_in_strips_are_the_designed_calls_byte_for_byte(monkeypatch, name):
    from framewick.modules.effects import PRESETS
    from framewick.photo import running

    picture = Image.merge("RGB", [Image.effect_noise((150, 333), 40 + 30 * i) for i in range(3)])
    picture.paste((250, 250, 250), (0, 0, 150, 60))  # a bright top strip: its mean is not the picture's
    designed = PRESETS[name.lower()](picture)
    monkeypatch.setattr(running, "STRIP_PIXELS", 1000)
    monkeypatch.setattr(running, "STRIP_BYTES", 150 * 4 * 64)  # strips of 64 rows
    obj, lines = holding(picture), []
    Chain.parse(f"preset:{name}").apply(obj, lines.append)
    assert obj.image.tobytes() == designed.tobytes() and obj.image.mode == designed.mode
    assert lines == [f"🎯 Success: Preset '{name.lower()}' applied perfectly!\n"]
    # A preset that user code replaced runs as written, on the whole picture.
    monkeypatch.setitem(PRESETS, name.lower(), lambda img: img.convert("L").convert("RGB"))
    obj = holding(picture)
    Chain.parse(f"preset:{name}").apply(obj, lines.append)
    assert obj.image.tobytes() == picture.convert("L").convert("RGB").tobytes()


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="freed memory sits in the sanitizer's quarantine")
@pytest.mark.parametrize("name", ["vintage", "cinematic", "noir"])
def test_mean_contrast_presets_on_a_large_picture_add_about_one_picture(run_py, name):
    # 4096x4096 RGB (64 MiB as Pillow holds it) in strips of 4 MiB: the result, and a few strips;
    # the whole-picture preset takes about three pictures more (grey copy, flat mean, blend).
    code, out, err = run_py(f"""
        from PIL import Image
        from framewick import FrameWick
        from framewick.chain import Chain
        from framewick.photo import running
        running.STRIP_BYTES = 4 << 20
        def status(key):
            return int(next(l.split()[1] for l in open("/proc/self/status") if l.startswith(key))) * 1024
        side = 4096
        bands = [Image.linear_gradient("L").resize((side, side)), Image.radial_gradient("L").resize((side, side)),
                 Image.new("L", (side, side), 90)]
        obj = FrameWick()
        obj.image = Image.merge("RGB", bands)
        del bands
        chain = Chain.parse("preset:{name}")
        before = status("VmRSS:")
        chain.apply(obj, lambda line: None)
        print((status("VmHWM:") - before) / (side * side * 4))
    """)
    assert code == 0, err
    assert float(out) < 1.5



# Steps that move, add or cut pixels: the transparent half need not stay where it was.
MOVING = {"convert_mode", "convert", "optimize", "compare", "rotate", "flip", "crop", "thumbnail", "round_corners",
          "resize", "fit", "add_text", "add_watermark", "apply_border", "double_exposure", "size", "rotate_fill",
          "place_watermark", "place_text", "vignette"}


@pytest.mark.parametrize("info", steps_table.STEPS, ids=lambda info: info.method)
def test_every_method_works_on_a_16_bit_grey_picture_with_a_transparent_value(tmp_path, monkeypatch, info):
    values = numpy.tile(numpy.linspace(2000, 60000, 40, dtype="<u2"), (30, 1))
    values[:, :20] = 1000  # the left half is the transparent grey
    Image.frombytes("I;16", (40, 30), values.tobytes()).save(tmp_path / "keyed.png", transparency=1000)
    Image.new("RGBA", (8, 8), (255, 0, 0, 200)).save(tmp_path / "logo.png")  # what the examples name
    Image.new("RGB", (40, 30), (0, 90, 200)).save(tmp_path / "clouds.jpg")
    (tmp_path / "film.cube").write_text("LUT_3D_SIZE 2\n" + "\n".join(f"{i & 1} {i >> 1 & 1} {i >> 2}" for i in range(8)))
    monkeypatch.chdir(tmp_path)
    step = Chain.parse(steps_table.example_of(info)).steps[0]
    obj = FrameWick.open(tmp_path / "keyed.png")
    getattr(obj, step.method)(*step.args, **step.kwargs)
    write_photo(obj, tmp_path / "out.png", echo=lambda line: None)
    with Image.open(tmp_path / "out.png") as written:
        seen = written.convert("RGBA")
    if info.method not in MOVING:
        assert seen.getpixel((3, 15))[3] == 0 and seen.getpixel((36, 15))[3] == 255, info.method


THREADED = ["invert", "corners:3", "preset:vintage", "preset:dreamy,strength=0.5", "sepia", "blur", "gamma:0.8",
            "grayscale:0.5", "text:hi,(1,1)", "resize:50,40", "border:2"]


@pytest.mark.parametrize("loaded", [True, False], ids=["loaded-first", "cold"])
def test_threads_sharing_one_object_never_make_a_step_fail(loaded):
    # Eight threads run steps on one object, each replacing its picture now and then with one
    # of another size and mode: which picture a step edits may vary, a step never fails.
    import random
    import sys
    import threading

    obj = holding(Image.new("RGBA", (160, 120), (200, 30, 60, 128)))
    if loaded:
        Chain.parse(" | ".join(THREADED)).apply(holding(Image.new("RGB", (8, 8))), lambda line: None)
    errors = []

    def work(seed):
        rng = random.Random(seed)
        for _ in range(60):
            try:
                if rng.random() < 0.3:
                    size = (rng.randint(8, 200), rng.randint(8, 200))
                    obj.image = Image.new(rng.choice(["RGBA", "LA", "RGB", "L"]), size)
                else:
                    Chain.parse(rng.choice(THREADED)).apply(obj, lambda line: None)
            except Exception as error:  # noqa: BLE001  (any failure is the fault)
                errors.append(f"{type(error).__name__}: {error}")

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # threads take turns often, as on a busy machine
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
    finally:
        sys.setswitchinterval(interval)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []
    assert isinstance(obj.image, Image.Image)


@pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA"])
@pytest.mark.parametrize("source, target", [((301, 227), (161, 121)), ((333, 517), (641, 203)), ((97, 61), (40, 190))])
def test_a_resize_that_may_let_its_picture_go_gives_pillows_one_call_byte_for_byte(mode, source, target):
    from formats_support import photo_like
    from framewick.photo import running

    picture = photo_like(source).convert(mode)
    if mode in ("LA", "RGBA"):
        picture.putalpha(Image.linear_gradient("L").rotate(30).resize(source))
    expected = picture.resize(target, Image.Resampling.LANCZOS)
    obj = holding(picture)
    chain = Chain.parse(f"resize:{target[0]},{target[1]}")
    assert (running.first_pass(next(iter(chain)), obj.image) is not None) == (mode in ("L", "RGB"))
    run_steps(obj, chain, lambda line: None, strict=True, owned=True)
    assert obj.image.mode == mode and obj.image.size == target
    assert obj.image.tobytes() == expected.tobytes()
