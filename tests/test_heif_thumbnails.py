"""Shrink-on-load of HEIF files from their embedded thumbnail: used only when it shows the same
picture (aspect, turn, no bars) at least as large as the chain's target, never with --exact."""

import os
import subprocess
import sysconfig

import pytest
from PIL import Image, ImageDraw

import formats_support as fs

heif = pytest.importorskip("framewick.formats.heif", reason="built without libheif")

from framewick import FrameWick, formats  # noqa: E402
from framewick.chain import Chain  # noqa: E402

formats.register()
pytestmark = pytest.mark.skipif(fs.HEIF_ENC is None, reason="heif-enc (libheif-examples) is not installed")


FLOOR = 32


def heic(tmp_path, picture, thumb=320, orientation=1, name="IMG.HEIC"):
    source = tmp_path / "in.jpg"
    fs.stored(picture, orientation).save(source, quality=97, exif=fs.exif(orientation))
    fs.heif_enc("-q", 90, "-t", thumb, "-o", tmp_path / name, source)
    return tmp_path / name


def opened(path, steps, exact=False):
    """The picture as opened for `steps`, and the result of applying them."""
    obj = FrameWick.open(path, steps=steps, exact=exact)
    size = obj.image.size
    out = Chain.parse(steps).apply(obj, lambda text: None)
    obj.opened_size = size
    return obj, out


def run(*args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    script = os.path.join(sysconfig.get_path("scripts"), "framewick")
    return subprocess.run([script, *map(str, args)], capture_output=True, env=env, timeout=120)


@pytest.mark.parametrize("steps, orientation, size", [
    ("size:200x", 1, (200, 150)),
    ("preset:noir | thumbnail:240,240", 1, (240, 180)),
    ("size:150x", 6, (150, 200)),
    ("resize:300,225", 1, (300, 225)),
])
def test_thumbnail_stands_in_upright_within_the_floor_of_the_exact_result(tmp_path, steps, orientation, size):
    upright = fs.photo_like((1200, 900), blocks=False) if orientation == 1 else fs.photo_like((900, 1200), blocks=False)
    path = heic(tmp_path, upright, orientation=orientation)
    fast, fast_out = opened(path, steps)
    exact, exact_out = opened(path, steps, exact=True)
    assert fast.photo.draft_scale > 1 and max(fast.opened_size) == 320  # the thumbnail
    assert exact.photo.draft_scale == 1 and exact.opened_size == upright.size
    assert fast_out.image.size == exact_out.image.size == size
    # heif-enc scales its thumbnails by nearest neighbour and codes them small: on this grainy
    # picture they are 34 dB from a Lanczos resize of the primary; a wrong turn, crop or
    # stretch is far below (under 20 dB).
    assert fs.psnr(fast_out.image, exact_out.image) >= FLOOR


def test_turned_phone_file_stays_upright_from_its_thumbnail(tmp_path):
    path = heic(tmp_path, fs.card((960, 720)), orientation=6)
    obj, _ = opened(path, "size:200x")
    assert obj.photo.draft_scale > 1 and max(obj.opened_size) == 320 and fs.same_card(obj.image)


@pytest.mark.parametrize("steps", ["size:400x", "blur:2 | size:100x", "crop:0,0,600,450 | size:100x"])
def test_thumbnail_too_small_or_behind_a_pixel_step_is_not_used(tmp_path, steps):
    obj = FrameWick.open(heic(tmp_path, fs.photo_like((1200, 900), blocks=False)), steps=steps)
    assert obj.photo.draft_scale == 1 and obj.image.size == (1200, 900)


@pytest.mark.parametrize("bars", ["top and bottom", "left and right"])
def test_letterboxed_thumbnail_is_never_used(tmp_path, bars):
    picture = fs.photo_like((1200, 900), blocks=False)
    draw = ImageDraw.Draw(picture)
    if bars == "top and bottom":
        draw.rectangle((0, 0, 1199, 120), fill=0)
        draw.rectangle((0, 780, 1199, 899), fill=0)
    else:
        draw.rectangle((0, 0, 150, 899), fill=0)
        draw.rectangle((1050, 0, 1199, 899), fill=0)
    path = heic(tmp_path, picture)
    with Image.open(path) as plain:
        assert plain.info["heif"]["thumbnails"] == ((320, 240),)
    obj = FrameWick.open(path, steps="size:200x")
    assert obj.photo.draft_scale == 1 and obj.image.size == (1200, 900)


@pytest.mark.parametrize("picture, flat", [
    (fs.photo_like((320, 240), blocks=False), False),
    (Image.new("RGB", (320, 240), (40, 40, 40)), True),
    (fs.photo_like((320, 240), blocks=False).crop((0, -20, 320, 260)), True),   # bars of black above and below
    (fs.photo_like((320, 240), blocks=False).crop((-30, 0, 350, 240)), True),
    (fs.photo_like((320, 240), blocks=False).crop((0, 0, 320, 250)), True),     # one bar is a bar
])
def test_letterbox_found_on_any_edge(picture, flat):
    assert heif.letterboxed(picture) is flat


def _with_thumbnail_size(path, size):
    """The file with its thumbnail's declared size (its ispe box) replaced: another aspect."""
    data = bytearray(path.read_bytes())
    at = data.find(b"ispe" + bytes(4) + (320).to_bytes(4, "big") + (240).to_bytes(4, "big"))
    assert at > 0
    data[at + 8:at + 16] = size[0].to_bytes(4, "big") + size[1].to_bytes(4, "big")
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize("size", [(320, 200), (320, 238)])
def test_thumbnail_of_another_aspect_is_never_used(tmp_path, size):
    path = _with_thumbnail_size(heic(tmp_path, fs.photo_like((1200, 900), blocks=False)), size)
    obj, out = opened(path, "size:200x")
    assert obj.photo.draft_scale == 1 and obj.opened_size == (1200, 900) and out.image.size == (200, 150)


def test_exact_on_the_command_line_decodes_the_whole_picture(tmp_path):
    path = heic(tmp_path, fs.photo_like((1200, 900), blocks=False))
    fast, exact = tmp_path / "fast.png", tmp_path / "exact.png"
    assert run("edit", path, "--steps", "size:200x", "-o", fast).returncode == 0
    assert run("edit", path, "--steps", "size:200x", "--exact", "-o", exact).returncode == 0
    _, reference = opened(path, "size:200x", exact=True)
    with Image.open(exact) as e, Image.open(fast) as f:
        assert e.tobytes() == reference.image.tobytes()
        assert f.size == e.size and f.tobytes() != e.tobytes() and fs.psnr(f, e) >= FLOOR
