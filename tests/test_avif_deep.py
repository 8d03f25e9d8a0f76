"""framewick.formats._avif: 8, 10 and 12-bit AVIF on libavif, checked against the exact scaling
rule, against Pillow's own AVIF plugin (an independent reader and writer of the same files) and
on files cut or broken here."""

import io

import numpy as np
import pytest
from PIL import Image, ImageCms, ImageOps, features

import formats_support as fs

_avif = pytest.importorskip("framewick.formats._avif", reason="built without libavif")
if not _avif.ENCODES:
    pytest.skip("this libavif has no AV1 encoder", allow_module_level=True)

ICC = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
pillow_avif = pytest.mark.skipif(not features.check("avif"), reason="this Pillow has no AVIF")


def gradient(width, height, channels):
    """16-bit samples that differ everywhere and span the whole range."""
    index = np.arange(width * height * channels, dtype=np.uint64).reshape(height, width, channels)
    return (index * 7919 % 65536).astype(np.uint16)


def pixels_of(found):
    dtype = np.uint16 if found["dtype"] == "uint16" else np.uint8
    return np.frombuffer(found["pixels"], dtype).reshape(found["height"], found["width"], found["channels"])


def at_depth(samples, depth):
    """8 or 16-bit samples as a depth-bit file holds them and as read() gives them back, both rounded."""
    top = (1 << depth) - 1
    coded = np.floor(samples.astype(np.float64) * top / np.iinfo(samples.dtype).max + 0.5)
    return coded.astype(np.uint16) if depth == 8 else np.floor(coded * 65535 / top + 0.5).astype(np.uint16)


def orientation_tag(exif):
    tags = Image.Exif()
    tags.load(exif)
    return tags.get(0x0112)


@pytest.mark.parametrize("depth", [8, 10, 12])
@pytest.mark.parametrize("channels, bits", [(1, 16), (2, 16), (3, 16), (4, 16), (1, 8), (3, 8)])
def test_lossless_round_trip_follows_the_scaling_rule(channels, bits, depth):
    picture = gradient(41, 23, channels)
    if bits == 8:
        picture = (picture >> 8).astype(np.uint8)
    found = _avif.read(_avif.write(picture, 41, 23, channels, bits, depth=depth, quality=100, speed=9), 0)
    assert (found["channels"], found["bits"], found["dtype"]) == (channels, depth, "uint8" if depth == 8 else "uint16")
    got = pixels_of(found)
    assert np.array_equal(got, at_depth(picture, depth))
    if depth > 8 and bits == 16:  # half a step of the coded depth, in 16-bit units
        assert np.abs(got.astype(int) - picture).max() <= -(-65535 // (2 * ((1 << depth) - 1)))


@pillow_avif
@pytest.mark.parametrize("depth", [8, 10])
def test_pillow_reads_what_is_written_and_is_read_alike(depth):
    picture = gradient(32, 16, 3)
    file = _avif.write(picture, 32, 16, 3, 16, depth=depth, quality=100, speed=9)
    theirs = np.asarray(Image.open(io.BytesIO(file)).convert("RGB")).astype(int)
    ours = pixels_of(_avif.read(file, 0)).astype(int)
    assert np.abs(theirs - (ours if depth == 8 else ours * 255 / 65535)).max() <= 1


@pytest.mark.parametrize("subsampling", ["4:4:4", "4:2:0"])
@pytest.mark.parametrize("depth", [10, 12])
def test_lossy_deep_files_stay_close_to_a_smooth_picture(subsampling, depth):
    ramp = np.linspace(0, 65535, 96, dtype=np.float64)
    picture = np.stack([np.tile(ramp, (64, 1)), np.tile(ramp[::-1], (64, 1)),
                        np.tile(ramp[:64, None], (1, 96))], axis=-1).astype(np.uint16)
    found = _avif.read(_avif.write(picture, 96, 64, 3, 16, depth=depth, quality=90, speed=9,
                                   subsampling=subsampling), 0)
    error = np.abs(pixels_of(found).astype(int) - picture)
    assert found["bits"] == depth and error.mean() < 200 and len(np.unique(pixels_of(found))) > 256


@pillow_avif
@pytest.mark.parametrize("orientation", range(1, 9))
def test_container_turns_are_applied_and_reported(orientation):
    """Pillow writes the EXIF orientation as irot/imir; read() turns the card upright."""
    buffer = io.BytesIO()
    fs.stored(fs.card(), orientation).save(buffer, "AVIF", exif=fs.exif(orientation), quality=95)
    found = _avif.read(buffer.getvalue(), 0)
    assert (found["width"], found["height"]) == (96, 64) and found["orientation"] == orientation
    assert found["transformed"] is (orientation != 1)
    assert fs.same_card(Image.fromarray(pixels_of(found)))


@pillow_avif
@pytest.mark.parametrize("orientation", range(1, 9))
def test_written_orientation_turns_the_picture_for_every_reader(orientation):
    stored = np.asarray(fs.stored(fs.card(), orientation)).astype(np.uint16) * 257
    height, width = stored.shape[:2]
    file = _avif.write(stored, width, height, 3, 16, depth=10, quality=95, speed=9, orientation=orientation,
                       exif=fs.exif(orientation))
    found = _avif.read(file, 0)
    assert fs.same_card(Image.fromarray((pixels_of(found) >> 8).astype(np.uint8)))
    assert orientation_tag(found["exif"]) == orientation
    assert fs.same_card(ImageOps.exif_transpose(Image.open(io.BytesIO(file))))


def test_a_stale_exif_orientation_does_not_turn_upright_pixels():
    file = _avif.write(gradient(8, 4, 3), 8, 4, 3, 16, exif=fs.exif(6, make="Maker"), speed=9)
    found = _avif.read(file, 0)
    assert found["transforms"] == () and (found["width"], found["height"]) == (8, 4)
    assert orientation_tag(found["exif"]) == 1


@pytest.mark.parametrize("kwargs, icc, nclx", [
    ({}, None, {"primaries": 1, "transfer": 13, "matrix": 6, "range": "full"}),
    ({"icc": ICC}, ICC, None),
    ({"nclx": {"primaries": 12, "transfer": 16, "matrix": 9, "range": "limited"}}, None,
     {"primaries": 12, "transfer": 16, "matrix": 9, "range": "full"}),
    ({"nclx": (9, 18, 9)}, None, {"primaries": 9, "transfer": 18, "matrix": 9, "range": "full"}),
], ids=["default", "icc", "nclx-dict", "nclx-tuple"])
def test_colour_description_round_trip(kwargs, icc, nclx):
    found = _avif.read(_avif.write(gradient(8, 8, 3), 8, 8, 3, 16, speed=9, **kwargs), 0)
    assert found["icc"] == icc and found["nclx"] == nclx


def test_metadata_round_trip_and_pillow_reads_it():
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"/>'
    file = _avif.write(gradient(8, 8, 4), 8, 8, 4, 16, icc=ICC, exif=fs.exif(make="Maker"), xmp=xmp, speed=9)
    found = _avif.read(file, 0)
    assert found["exif"][:4] in (b"MM\0*", b"II*\0") and found["xmp"] == xmp
    tags = Image.Exif()
    tags.load(found["exif"])
    assert tags[0x010F] == "Maker"
    if features.check("avif"):
        seen = Image.open(io.BytesIO(file))
        assert seen.info["icc_profile"] == ICC and seen.getexif()[0x010F] == "Maker"


def broken_files():
    good = _avif.write(gradient(64, 48, 3), 64, 48, 3, 16, speed=9)
    meta = good.index(b"meta") - 4
    broken_meta = good[:meta] + b"\xff\xff\xff\xf0" + good[meta + 4:]
    return [("cut in ftyp", good[:12], "truncated"), ("cut in meta", good[:meta + 40], "truncated"),
            ("cut in the AV1 data", good[:-30], "truncated"), ("meta size", broken_meta, "truncated"),
            ("no ispe", good.replace(b"ispe", b"zzzz", 1), "damaged .*ispe"),
            ("no pitm", good.replace(b"pitm", b"zzzz", 1), "damaged .*Primary item"),
            ("not an AVIF", b"GIF89a" + good[6:], "not an AVIF file"), ("empty", b"", "not an AVIF file")]


@pytest.mark.parametrize("name, file, words", broken_files(), ids=lambda v: v if isinstance(v, str) else "")
def test_broken_files_are_refused_with_one_line(name, file, words, capfd):
    with pytest.raises(_avif.AvifError, match=words) as caught:
        _avif.read(file, 0)
    assert "\n" not in str(caught.value) and not isinstance(caught.value, _avif.LimitError)
    assert capfd.readouterr().err == ""


def test_pixel_limit_is_checked_from_the_boxes_before_any_av1_data():
    file = _avif.write(gradient(40, 30, 3), 40, 30, 3, 16, speed=9)
    # Without its AV1 data the file would be refused as truncated: the limit answers first.
    with pytest.raises(_avif.LimitError, match="^40x30, more than the limit of 1199 pixels$"):
        _avif.read(file[:-60], 1199)
    assert _avif.read(file, 1200)["width"] == 40


@pytest.mark.parametrize("args, kwargs, error, words", [
    ((b"\0" * 24, 2, 2, 3, 12), {}, ValueError, "bits must be 8 or 16"),
    ((b"\0" * 23, 2, 2, 3, 16), {}, ValueError, "23 bytes of pixels for 2x2 with 3 channels of 16 bits"),
    ((b"\0" * 24, 2, 2, 3, 16), {"depth": 9}, ValueError, "depth must be 8, 10 or 12"),
    ((b"\0" * 24, 2, 2, 3, 16), {"subsampling": "4:2:2"}, ValueError, "subsampling must be '4:4:4' or '4:2:0'"),
    ((b"\0" * 24, 2, 2, 3, 16), {"nclx": [1, 13, 6]}, TypeError, "nclx must be a dict"),
    ((b"\0" * 24, 2, 2, 3, 16), {"nclx": {"primaries": 1}}, ValueError, "nclx has no 'transfer'"),
    ((b"\0" * 24, 2, 2, 3, 16), {"orientation": 9}, ValueError, "orientation must be between 1 and 8"),
    ((b"\0" * 24, 2, 2, 3, 16), {"dpi": 72}, TypeError, "unexpected keyword argument 'dpi'"),
])
def test_write_refuses_bad_arguments(args, kwargs, error, words):
    with pytest.raises(error, match=words):
        _avif.write(*args, **kwargs)
