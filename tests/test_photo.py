"""Photos in and out: orientation, metadata, profiles, formats, whole files, shrink-on-load."""

import io
import os
import struct

import pytest
from PIL import Image, ImageCms

from formats_support import photo_like, psnr
from framewick import FrameWick
from framewick._files import TEMP_PREFIX, atomic_write, name_max
from framewick.photo import PhotoError, describe, open_photo, output_format, write_photo

ORIENTATION = 0x0112
SRGB = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


def adobe_like():
    """An RGB display profile that is not sRGB: Adobe RGB (1998)'s primaries and gamma 2.2,
    written out tag by tag, so that converting through it changes the colours."""
    def s15(v):
        return struct.pack(">i", round(v * 65536))

    def xyz(x, y, z):
        return b"XYZ " + bytes(4) + s15(x) + s15(y) + s15(z)

    text = b"Adobe-like RGB\x00"
    desc = b"desc" + bytes(4) + struct.pack(">I", len(text)) + text + bytes(8) + bytes(3) + bytes(67)
    curve = b"curv" + bytes(4) + struct.pack(">IH", 1, 0x0233) + bytes(2)
    tags = [(b"desc", desc), (b"wtpt", xyz(0.9642, 1.0, 0.8249)), (b"rXYZ", xyz(0.6097, 0.3111, 0.0195)),
            (b"gXYZ", xyz(0.2053, 0.6257, 0.0609)), (b"bXYZ", xyz(0.1492, 0.0632, 0.7446)),
            (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve)]
    offset = 128 + 4 + 12 * len(tags)
    table, data = b"", b""
    for sig, body in tags:
        body += bytes(-len(body) % 4)
        table += sig + struct.pack(">II", offset + len(data), len(body))
        data += body
    size = offset + len(data)
    header = (struct.pack(">I", size) + b"lcms" + bytes([2, 0x10, 0, 0]) + b"mntrRGB XYZ " + bytes(12) + b"acsp"
              + bytes(24) + bytes(4) + s15(0.9642) + s15(1.0) + s15(0.8249) + bytes(4) + bytes(16) + bytes(28))
    assert len(header) == 128
    return header + struct.pack(">I", len(tags)) + table + data


def marked(size=(60, 40)):
    """A picture whose corners differ, so every turn and flip is visible."""
    im = Image.new("RGB", size, (128, 128, 128))
    im.putpixel((0, 0), (255, 0, 0))
    im.putpixel((size[0] - 1, 0), (0, 255, 0))
    im.putpixel((0, size[1] - 1), (0, 0, 255))
    return im


def exif_with(orientation):
    exif = Image.Exif()
    exif[ORIENTATION] = orientation
    exif[0x010F] = "FrameCam"  # Make
    exif[0x0110] = "Model 1"  # Model
    return exif


# ---------------------------------------------------------------------------------------------
# Way in


@pytest.mark.parametrize("orientation", range(1, 9))
def test_each_orientation_is_turned_upright_and_the_tag_reset(tmp_path, orientation):
    upright = marked()
    # Stored as a camera would: turned the other way, with the tag saying how to undo it.
    stored = _inverse(upright, orientation)
    path = tmp_path / "phone.png"
    stored.save(path, exif=exif_with(orientation))
    obj = FrameWick.open(path)
    assert obj.image.tobytes() == upright.tobytes()
    assert obj.photo.orientation == orientation
    exif = Image.Exif()
    exif.load(obj.photo.exif)
    assert exif[ORIENTATION] == 1 and exif[0x010F] == "FrameCam"
    kept = FrameWick.open(path, orient=False)
    assert kept.image.size == stored.size
    raw = Image.Exif()
    raw.load(kept.photo.exif)
    assert raw[ORIENTATION] == orientation


_INVERSE = {2: Image.Transpose.FLIP_LEFT_RIGHT, 3: Image.Transpose.ROTATE_180, 4: Image.Transpose.FLIP_TOP_BOTTOM,
            5: Image.Transpose.TRANSPOSE, 6: Image.Transpose.ROTATE_90, 7: Image.Transpose.TRANSVERSE,
            8: Image.Transpose.ROTATE_270}


def _inverse(upright, orientation):
    method = _INVERSE.get(orientation)
    return upright if method is None else upright.transpose(method)


def test_open_decodes_whole_keeps_metadata_and_reads_streams(tmp_path):
    path = tmp_path / "camera.jpg"
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:Description tiff:Orientation="6"/></x:xmpmeta>'
    marked((64, 48)).save(path, exif=exif_with(6), icc_profile=SRGB, dpi=(300, 200), xmp=xmp)
    obj = FrameWick.open(str(path))
    os.unlink(path)  # decoded whole: the file is not needed any more
    assert obj.image.size == (48, 64) and obj.image.getpixel((10, 10))
    assert obj.photo.format == "JPEG" and obj.photo.icc == SRGB
    assert obj.photo.dpi == (200.0, 300.0)  # turned a quarter: the sides' resolutions swap
    assert b'tiff:Orientation="1"' in obj.photo.xmp
    assert obj.quality == 95
    buffer = io.BytesIO()
    marked().save(buffer, "PNG")
    buffer.seek(0)
    streamed = open_photo(buffer)
    assert not buffer.closed and streamed.image.size == (60, 40) and streamed.photo.format == "PNG"


def test_way_in_errors_name_the_file(tmp_path):
    missing = tmp_path / "nowhere.jpg"
    with pytest.raises(FileNotFoundError, match="nowhere.jpg"):
        FrameWick.open(missing)
    text = tmp_path / "notes.png"
    text.write_text("not a picture")
    with pytest.raises(PhotoError, match="notes.png is not a picture"):
        FrameWick.open(text)
    broken = tmp_path / "broken.png"
    good = io.BytesIO()
    photo_like((64, 64)).save(good, "PNG")
    broken.write_bytes(good.getvalue()[:200])
    with pytest.raises(PhotoError, match="broken.png could not be decoded"):
        FrameWick.open(broken)
    big = tmp_path / "big.png"
    Image.new("L", (100, 100)).save(big)
    with pytest.raises(PhotoError, match="big.png is too large.*10000 pixels.*9999"):
        FrameWick.open(big, max_pixels=9999)
    assert FrameWick.open(big, max_pixels=10000).image.size == (100, 100)


def test_the_pixel_limit_counts_every_frame_of_an_animation(tmp_path):
    path = tmp_path / "anim.gif"
    frames = [Image.new("L", (10, 10), v) for v in (0, 120, 250)]
    frames[0].save(path, save_all=True, append_images=frames[1:])
    with pytest.raises(PhotoError, match="3 frames of 10x10 is 300 pixels"):
        FrameWick.open(path, max_pixels=299)
    assert len(FrameWick.open(path, max_pixels=300).photo.frames) == 3


def test_max_pixels_can_lift_pillows_own_limit(tmp_path, monkeypatch):
    path = tmp_path / "wide.png"
    Image.new("L", (300, 100)).save(path)
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 10_000)
    with pytest.raises(PhotoError, match="too large"):
        FrameWick.open(path)
    assert FrameWick.open(path, max_pixels=30_000).image.size == (300, 100)
    assert Image.MAX_IMAGE_PIXELS == 10_000


# ---------------------------------------------------------------------------------------------
# Way out


@pytest.mark.parametrize("typed, expected", [
    ("JPEG", ("JPEG", ".jpg")), ("jpeg", ("JPEG", ".jpg")), ("jpg", ("JPEG", ".jpg")), (".JPG", ("JPEG", ".jpg")),
    ("png", ("PNG", ".png")), (".PNG", ("PNG", ".png")), ("webp", ("WEBP", ".webp")), ("tiff", ("TIFF", ".tif")),
    ("avif", ("AVIF", ".avif")), ("gif", ("GIF", ".gif")), ("bmp", ("BMP", ".bmp")),
])
def test_output_format_takes_the_names_people_type(typed, expected):
    assert output_format(typed) == expected


@pytest.mark.parametrize("typed", ["xyz", "", "bufr", "jpeg2"])
def test_an_unknown_or_unwritable_format_lists_what_can_be_written(typed):
    with pytest.raises(ValueError, match=r"unknown format .*this Pillow can write: .*jpg.*png") as raised:
        output_format(typed)
    can = str(raised.value).split("can write: ")[1].split(", ")
    assert "bufr" not in can and "wmf" not in can  # stubs Pillow cannot write without a handler


@pytest.mark.parametrize("fmt, suffix", [("JPEG", ".jpg"), ("PNG", ".png"), ("WEBP", ".webp"), ("TIFF", ".tif"),
                                         ("AVIF", ".avif")])
def test_metadata_the_format_carries_survives_the_round_trip(tmp_path, fmt, suffix):
    source = tmp_path / "in.jpg"
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:Description dc:title="t"/></x:xmpmeta>'
    marked((64, 48)).save(source, exif=exif_with(1), icc_profile=SRGB, dpi=(240, 240), xmp=xmp)
    out = tmp_path / f"out{suffix}"
    FrameWick.open(source).write(out)
    with Image.open(out) as written:
        assert written.format == fmt
        assert written.info.get("icc_profile") == SRGB
        assert written.getexif()[0x010F] == "FrameCam"
        if fmt in ("JPEG", "PNG", "TIFF"):
            assert round(written.info["dpi"][0]) == 240
        assert b"dc:title" in _xmp(written)
    stripped = tmp_path / f"bare{suffix}"
    FrameWick.open(source).write(stripped, strip=True)
    with Image.open(stripped) as bare:
        assert not bare.info.get("icc_profile") and not _xmp(bare)
        assert 0x010F not in bare.getexif()


def _xmp(im):
    value = im.info.get("xmp") or im.info.get("XML:com.adobe.xmp") or b""
    return value.encode() if isinstance(value, str) else value


def test_format_comes_from_the_argument_then_the_extension_then_the_source(tmp_path):
    source = tmp_path / "in.png"
    marked().save(source)
    obj = FrameWick.open(source)
    obj.write(tmp_path / "a.webp")
    obj.write(tmp_path / "b.webp", format=".JPG")
    buffer = io.BytesIO()
    write_photo(obj, buffer, echo=lambda text: None)
    with Image.open(tmp_path / "a.webp") as a, Image.open(tmp_path / "b.webp") as b:
        assert (a.format, b.format) == ("WEBP", "JPEG")
    assert Image.open(io.BytesIO(buffer.getvalue())).format == "PNG" and not buffer.closed
    with pytest.raises(ValueError, match="unknown format '.nope'"):
        obj.write(tmp_path / "c.nope")
    assert not os.path.exists(tmp_path / "c.nope")


def test_write_uses_the_quality_and_reports_once_in_place(tmp_path):
    source = tmp_path / "in.png"
    photo_like((200, 150)).save(source)
    lines = []
    obj = FrameWick.open(source)
    write_photo(obj, tmp_path / "high.jpg", echo=lines.append)
    obj.quality = 20
    write_photo(obj, tmp_path / "low.jpg", echo=lines.append)
    assert os.path.getsize(tmp_path / "low.jpg") < os.path.getsize(tmp_path / "high.jpg") / 2
    assert lines == [f"💾 Success: Image saved as '{tmp_path / 'high.jpg'}' ✅\n",
                     f"💾 Success: Image saved as '{tmp_path / 'low.jpg'}' ✅\n"]


@pytest.mark.parametrize("background, expected", [("white", (255, 255, 255)), ("#204080", (32, 64, 128)),
                                                  ("black", (0, 0, 0))])
def test_alpha_is_flattened_onto_the_background_for_formats_without_it(tmp_path, background, expected):
    im = Image.new("RGBA", (20, 20), (0, 0, 0, 0))
    im.paste((250, 10, 10, 255), (0, 0, 10, 20))
    source = tmp_path / "in.png"
    im.save(source)
    out = tmp_path / "out.bmp"
    FrameWick.open(source).write(tmp_path / "out.jpg", background=background)
    FrameWick.open(source).write(out, format="ppm", background=background)
    with Image.open(tmp_path / "out.jpg") as jpeg, Image.open(out) as ppm:
        assert jpeg.mode == "RGB" and all(abs(a - b) <= 3 for a, b in zip(jpeg.getpixel((17, 10)), expected))
        assert ppm.getpixel((15, 10)) == expected and ppm.getpixel((2, 2)) == (250, 10, 10)
    with pytest.raises(ValueError, match="unknown background colour"):
        FrameWick.open(source).write(tmp_path / "x.jpg", background="no-such-colour")
    assert not os.path.exists(tmp_path / "x.jpg")


def test_srgb_converts_through_the_profile_and_strip_does_so_before_dropping_it(tmp_path):
    wide = adobe_like()
    source = tmp_path / "wide.tif"
    im = Image.new("RGB", (8, 8), (40, 160, 90))
    im.save(source, icc_profile=wide)
    expected = ImageCms.profileToProfile(im, ImageCms.ImageCmsProfile(io.BytesIO(wide)),
                                         ImageCms.createProfile("sRGB"))
    FrameWick.open(source).write(tmp_path / "srgb.png", srgb=True)
    FrameWick.open(source).write(tmp_path / "bare.png", strip=True)
    FrameWick.open(source).write(tmp_path / "kept.png")
    with Image.open(tmp_path / "srgb.png") as srgb, Image.open(tmp_path / "bare.png") as bare, \
            Image.open(tmp_path / "kept.png") as kept:
        assert srgb.getpixel((1, 1)) == expected.getpixel((1, 1)) != im.getpixel((1, 1))
        assert "sRGB" in ImageCms.getProfileDescription(ImageCms.ImageCmsProfile(io.BytesIO(srgb.info["icc_profile"])))
        assert bare.getpixel((1, 1)) == expected.getpixel((1, 1)) and "icc_profile" not in bare.info
        assert kept.getpixel((1, 1)) == im.getpixel((1, 1)) and kept.info["icc_profile"] == wide


# ---------------------------------------------------------------------------------------------
# Whole files


def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    source = tmp_path / "in.png"
    marked().save(source)
    target = tmp_path / "out.jpg"
    target.write_bytes(b"old")
    obj = FrameWick.open(source)

    def failing(picture, fp, filename):  # the encoder fails part way through the file
        fp.write(b"\xff\xd8 part of a picture")
        raise ValueError("the encoder failed")

    monkeypatch.setitem(Image.SAVE, "JPEG", failing)
    with pytest.raises(ValueError):
        obj.write(target)
    assert target.read_bytes() == b"old"
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(TEMP_PREFIX)] == []


@pytest.mark.parametrize("error", [ValueError, KeyboardInterrupt, SystemExit])
def test_an_interrupted_write_leaves_the_target_as_it_was(tmp_path, error):
    target = tmp_path / "keep.png"
    target.write_bytes(b"old")
    os.chmod(target, 0o640)

    def write(temp):
        marked().save(temp, "PNG")
        raise error()

    with pytest.raises(error):
        atomic_write(str(target), write)
    assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["keep.png"]
    atomic_write(str(target), lambda temp: marked().save(temp, "PNG"))
    assert os.stat(target).st_mode & 0o777 == 0o640  # a replaced file keeps its permissions


@pytest.mark.parametrize("extra", [0, 1, 40])
def test_long_names_still_write_within_the_file_system_limit(tmp_path, extra):
    room = name_max(str(tmp_path))
    name = "p" * (room - len(".jpg") - extra) + ".jpg"
    seen = []

    def write(temp):
        seen.append(os.path.basename(temp))
        marked().save(temp, "JPEG")

    atomic_write(str(tmp_path / name), write)
    assert seen[0].startswith(TEMP_PREFIX) and seen[0].endswith(".jpg")
    assert len(os.fsencode(seen[0])) <= room
    assert [p.name for p in tmp_path.iterdir()] == [name]
    source = tmp_path / name
    FrameWick.open(source).write(tmp_path / ("q" * (room - 4) + ".png"))
    assert (tmp_path / ("q" * (room - 4) + ".png")).exists()


# ---------------------------------------------------------------------------------------------
# Looking at it


def test_describe_and_the_notebook_view(tmp_path):
    path = tmp_path / "camera.jpg"
    Image.new("RGB", (2400, 1200), (10, 20, 30)).save(path, exif=exif_with(8), icc_profile=SRGB, dpi=(72, 72))
    obj = FrameWick.open(path)
    info = describe(obj)
    assert info["format"] == "JPEG" and info["mode"] == "RGB" and info["size"] == [1200, 2400]
    assert info["frames"] == 1 and info["orientation"] == 8 and info["bit_depth"] == 8
    assert info["icc"] == "sRGB built-in" and info["dpi"] == [72.0, 72.0]
    assert info["metadata"]["Make"] == "FrameCam" and info["metadata"]["Orientation"] == 8  # the tag as read, as "orientation" says
    shown = Image.open(io.BytesIO(obj._repr_png_()))
    assert shown.format == "PNG" and shown.size == (512, 1024)
    deep = FrameWick()
    deep.image = Image.new("I;16", (30, 20), 65535)
    assert describe(deep)["bit_depth"] == 16
    assert Image.open(io.BytesIO(deep._repr_png_())).getpixel((0, 0)) == 255


# ---------------------------------------------------------------------------------------------
# Shrink-on-load


@pytest.fixture(scope="module")
def camera_picture():
    return photo_like((1600, 1200))


@pytest.mark.parametrize("steps, orientation, size, scale", [
    ("resize:500,375", 1, (500, 375), 2),
    ("resize:300,225", 1, (300, 225), 8 / 3),
    ("resize:260,195", 1, (260, 195), 4),
    ("resize:100,75", 1, (100, 75), 8),
    ("preset:noir | thumbnail:200,200", 1, (200, 150), 4),
    ("fit:250,250", 6, (250, 250), 8 / 3),
    ("resize:200,300", 6, (200, 300), 8 / 3),
])
def test_shrink_on_load_keeps_the_quality_floor_of_the_exact_result(tmp_path, camera_picture, steps, orientation,
                                                                     size, scale):
    from framewick.chain import Chain
    from framewick.photo.shrink import FLOOR_DB

    path = tmp_path / "big.jpg"
    camera_picture.save(path, quality=92, exif=exif_with(orientation))
    fast = FrameWick.open(path, steps=steps)
    exact = FrameWick.open(path, steps=steps, exact=True)
    assert fast.photo.draft_scale == pytest.approx(scale) and exact.photo.draft_scale == 1
    assert exact.image.size == ((1200, 1600) if orientation == 6 else (1600, 1200))
    chain = Chain.parse(steps)
    chain.apply(fast, lambda text: None)
    chain.apply(exact, lambda text: None)
    assert fast.image.size == exact.image.size == size
    assert psnr(fast.image, exact.image) >= FLOOR_DB


@pytest.mark.parametrize("mode, size, save", [
    ("RGB", (1601, 1199), {"quality": 92}),  # sides that 3/8 does not divide: rounded up
    ("RGB", (1600, 1200), {"quality": 92, "subsampling": 0}),
    ("RGB", (1600, 1200), {"quality": 92, "progressive": True}),
    ("L", (1600, 1200), {"quality": 92}),
    ("CMYK", (1600, 1200), {"quality": 92}),
])
def test_a_jpeg_decoded_at_three_eighths_is_the_whole_picture_scaled(tmp_path, camera_picture, mode, size, save):
    from framewick.photo.shrink import FLOOR_DB

    path = tmp_path / "big.jpg"
    camera_picture.resize(size).convert(mode).save(path, **save)
    fast = FrameWick.open(path, steps="resize:300,225")
    exact = FrameWick.open(path, exact=True)
    assert fast.photo.draft_scale == pytest.approx(8 / 3, abs=0.01)
    assert fast.image.size == (-(-size[0] * 3 // 8), -(-size[1] * 3 // 8)) and fast.image.mode == exact.image.mode
    fast.resize(300, 225)
    exact.resize(300, 225)
    assert psnr(fast.image, exact.image) >= FLOOR_DB


@pytest.mark.parametrize("steps", ["blur:3 | resize:300,225", "crop:0,0,800,600 | resize:300,225",
                                   "resize:1500,1100", "thumbnail:2000,2000", "text:hi,(5,5) | resize:100,80"])
def test_no_shrink_when_an_earlier_step_works_in_pixels_or_nothing_shrinks(tmp_path, steps):
    path = tmp_path / "big.jpg"
    Image.linear_gradient("L").resize((1600, 1200)).save(path)
    obj = FrameWick.open(path, steps=steps)
    assert obj.photo.draft_scale == 1 and obj.image.size == (1600, 1200)
