"""framewick.formats._jxl: 8, 16-bit and float JPEG XL on libjxl: lossless round trips sample for
sample, profile and metadata boxes, the codestream's orientation, files from the Pillow plugin,
and files cut or broken here."""

import io
import os
import struct
import threading

import numpy as np
import pytest
from PIL import Image, ImageCms

import formats_support as fs

_jxl = pytest.importorskip("framewick.formats._jxl", reason="built without libjxl")

ICC = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
DTYPE = {8: np.uint8, 16: np.uint16, 32: np.float32}


def gradient(width, height, channels, bits):
    """Samples that differ everywhere, spanning the range (floats beyond [0, 1] as well)."""
    index = np.arange(width * height * channels, dtype=np.uint64).reshape(height, width, channels)
    if bits == 32:
        return (index.astype(np.float32) / index.size * 3 - 1).astype(np.float32)
    return (index * 7919 % (1 << bits)).astype(DTYPE[bits])


def pixels_of(found):
    dtype = {"uint8": np.uint8, "uint16": np.uint16, "float32": np.float32}[found["dtype"]]
    return np.frombuffer(found["pixels"], dtype).reshape(found["height"], found["width"], found["channels"])


def orientation_tag(exif):
    tags = Image.Exif()
    tags.load(exif)
    return tags.get(0x0112)


@pytest.mark.parametrize("bits", [8, 16, 32])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_lossless_round_trip_is_exact(channels, bits):
    picture = gradient(37, 23, channels, bits)
    found = _jxl.read(_jxl.write(picture, 37, 23, channels, bits, quality=100, effort=3), 0)
    assert (found["channels"], found["bits"], found["float"]) == (channels, bits, bits == 32)
    assert np.array_equal(pixels_of(found), picture)


def test_lossy_sixteen_bits_keep_their_depth():
    ramp = np.linspace(0, 65535, 1024)
    picture = np.stack([np.tile(ramp, (16, 1))] * 3, axis=-1).astype(np.uint16)
    found = _jxl.read(_jxl.write(picture, 1024, 16, 3, 16, quality=90, effort=3), 0)
    got = pixels_of(found)
    assert found["bits"] == 16 and np.abs(got.astype(int) - picture).mean() < 300
    assert len(np.unique(got[8, :, 1])) > 512  # far more levels than 8 bits hold


@pytest.mark.parametrize("quality", [100, 80])
def test_profile_comes_back_as_it_went_in(quality):
    renamed = ICC[:80] + b"fwck" + ICC[84:]  # another creator: the same colours in other bytes, kept as they are
    for icc in (ICC, renamed):
        found = _jxl.read(_jxl.write(gradient(16, 8, 3, 16), 16, 8, 3, 16, quality=quality, effort=3, icc=icc), 0)
        assert found["icc"] == icc and found["icc_embedded"]
    found = _jxl.read(_jxl.write(gradient(16, 8, 3, 16), 16, 8, 3, 16, quality=quality, effort=3), 0)
    assert not found["icc_embedded"] and b"RGB" in found["icc"][:20]  # libjxl's profile of its sRGB encoding


@pytest.mark.parametrize("orientation", range(1, 9))
def test_orientation_is_applied_reported_and_agrees_with_exif(orientation):
    stored = np.asarray(fs.stored(fs.card(), orientation)).astype(np.uint16) * 257
    height, width = stored.shape[:2]
    file = _jxl.write(stored, width, height, 3, 16, quality=95, effort=3, orientation=orientation,
                      exif=fs.exif(1 if orientation != 1 else 6))
    found = _jxl.read(file, 0)
    assert (found["width"], found["height"], found["orientation"]) == (96, 64, orientation)
    assert found["transformed"] is (orientation != 1)
    assert fs.same_card(Image.fromarray((pixels_of(found) >> 8).astype(np.uint8)))
    assert orientation_tag(found["exif"]) == orientation


@pytest.mark.parametrize("padding", [0, 100_000])
@pytest.mark.parametrize("orientation", [1, 6])
def test_a_file_opens_at_depth_and_upright_whatever_lies_before_its_codestream(tmp_path, padding, orientation):
    from framewick import FrameWick

    stored = np.asarray(fs.stored(fs.card(), orientation)).astype(np.uint16) * 257
    height, width = stored.shape[:2]
    written, stream, at = _jxl.write(stored, width, height, 3, 16, quality=100, effort=3, orientation=orientation), b"", 0
    while at < len(written):  # the codestream out of libjxl's container
        size, kind = struct.unpack(">I4s", written[at:at + 8])
        stream += written[at + 8:at + size] if kind == b"jxlc" else written[at + 12:at + size] if kind == b"jxlp" else b""
        at += size
    assert stream[:2] == b"\xff\x0a"
    xmp = (fs.XMP % orientation).replace(b"</x:xmpmeta>", b" " * padding + b"</x:xmpmeta>")

    def box(kind, data):
        return struct.pack(">I4s", 8 + len(data), kind) + data

    # The metadata ahead of the codestream, as a tool that adds it to a file may place it.
    file = b"".join([box(b"JXL ", b"\r\n\x87\n"), box(b"ftyp", b"jxl \0\0\0\0jxl "), box(b"xml ", xmp),
                     box(b"jxlc", stream)])
    (tmp_path / "p.jxl").write_bytes(file)
    obj = FrameWick.open(tmp_path / "p.jxl")
    assert fs.same_card(obj.image) and obj.photo.deep is not None and obj.photo.deep.size == (96, 64)


def test_metadata_boxes_round_trip():
    file = _jxl.write(gradient(8, 8, 4, 16), 8, 8, 4, 16, exif=fs.exif(make="Maker"), xmp=fs.XMP % 1)
    found = _jxl.read(file, 0)
    tags = Image.Exif()
    tags.load(found["exif"])
    assert found["exif"][:4] in (b"MM\0*", b"II*\0") and tags[0x010F] == "Maker" and found["xmp"] == fs.XMP % 1
    bare = _jxl.read(_jxl.write(gradient(8, 8, 3, 8), 8, 8, 3, 8), 0)
    assert bare["exif"] is None and bare["xmp"] is None


def test_reads_the_pillow_plugins_files():
    pytest.importorskip("pillow_jxl", reason="pillow_jxl is not installed")
    picture = np.asarray(fs.card(mode="RGBA"))
    buffer = io.BytesIO()
    Image.fromarray(picture).save(buffer, "JXL", lossless=True, exif=fs.exif(make="Maker"))
    found = _jxl.read(buffer.getvalue(), 0)
    assert found["dtype"] == "uint8" and np.array_equal(pixels_of(found), picture)
    assert Image.open(io.BytesIO(buffer.getvalue())).getexif()[0x010F] == "Maker"


def broken_files():
    plain = _jxl.write(gradient(64, 48, 3, 16), 64, 48, 3, 16, quality=100, effort=3)
    boxed = _jxl.write(gradient(64, 48, 3, 16), 64, 48, 3, 16, quality=100, effort=3, exif=fs.exif())
    noisy = bytearray(plain)
    noisy[40:80] = bytes(40)
    return [("cut in the header", plain[:6], "truncated"), ("cut in the picture", plain[: len(plain) // 2], "truncated"),
            ("cut in a box", boxed[:30], "truncated"), ("cut near the end", boxed[:-3], "truncated"),
            ("zeroed", bytes(noisy), "damaged"), ("not a JPEG XL", b"GIF89a" + plain[6:], "not a JPEG XL file"),
            ("empty", b"", "not a JPEG XL file")]


@pytest.mark.parametrize("name, file, words", broken_files(), ids=lambda v: v if isinstance(v, str) else "")
def test_broken_files_are_refused_with_one_line_and_nothing_printed(name, file, words, capfd):
    with pytest.raises(_jxl.JxlError, match=words) as caught:
        _jxl.read(file, 0)
    assert "\n" not in str(caught.value) and not isinstance(caught.value, _jxl.LimitError)
    assert capfd.readouterr() == ("", "")


def test_what_other_threads_write_meanwhile_still_reaches_standard_error(capfd):
    zeroed = dict((name, file) for name, file, _ in broken_files())["zeroed"]
    lines = [b"line %d" % i for i in range(2000)]
    chatter = threading.Thread(target=lambda: [os.write(2, line + b"\n") for line in lines])
    chatter.start()
    for _ in range(100):
        with pytest.raises(_jxl.JxlError, match="codestream never finished"):
            _jxl.read(zeroed, 0)
    chatter.join()
    assert sorted(capfd.readouterr().err.encode().splitlines()) == sorted(lines)


def test_pixel_limit_is_checked_from_the_basic_info_before_any_pixel():
    file = _jxl.write(gradient(40, 30, 3, 16), 40, 30, 3, 16, quality=100, effort=3, orientation=6)
    # Cut short the file would be refused as truncated: the limit answers first, on the upright size.
    with pytest.raises(_jxl.LimitError, match="^30x40, more than the limit of 1199 pixels$"):
        _jxl.read(file[: len(file) // 2], 1199)
    assert _jxl.read(file, 1200)["width"] == 30


@pytest.mark.parametrize("args, kwargs, error, words", [
    ((b"\0" * 12, 2, 2, 3, 12), {}, ValueError, "bits must be 8, 16 or 32"),
    ((b"\0" * 23, 2, 2, 3, 16), {}, ValueError, "23 bytes of pixels for 2x2 with 3 channels of 16 bits"),
    ((b"\0" * 24, 2, 2, 3, 16), {"effort": 0}, ValueError, "effort must be between 1 and 10"),
    ((b"\0" * 24, 2, 2, 3, 16), {"orientation": 0}, ValueError, "orientation must be between 1 and 8"),
    ((b"\0" * 24, 2, 2, 3, 16), {"depth": 16}, TypeError, "unexpected keyword argument 'depth'"),
    ((b"\0" * 24, 2, 2, 3, 16), {"icc": ImageCms.ImageCmsProfile(ImageCms.createProfile("LAB")).tobytes()},
     ValueError, "the ICC profile is not one for RGB pixels"),
    ((b"\0" * 8, 2, 2, 1, 16), {"icc": ICC}, ValueError, "the ICC profile is not one for grey pixels"),
])
def test_write_refuses_bad_arguments(args, kwargs, error, words):
    with pytest.raises(error, match=words):
        _jxl.write(*args, **kwargs)
