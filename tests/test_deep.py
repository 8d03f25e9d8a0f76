"""Deep pictures: the companion mechanism (pairing by identity, dropping with one line) and the
deep picture's own conversions (8-bit view, Pillow bands)."""

import gc

import numpy as np
import pytest
from PIL import Image

import framewick
from framewick.photo import companions
from framewick.photo.deep import Deep, of_picture
from framewick.photo.metadata import Photo


def ramp(height, width, channels, dtype=np.uint16):
    """Samples that differ along the row and between channels, over the dtype's whole range."""
    x = np.linspace(0.0, 1.0, width, dtype=np.float64)
    planes = [np.tile((x if c % 2 == 0 else 1 - x) ** (1 + c / 3), (height, 1)) for c in range(channels)]
    unit = np.stack(planes, axis=2)
    return unit.astype(np.float32) if dtype == np.float32 else np.rint(unit * 65535).astype(np.uint16)


def test_view8_rounds_every_sixteen_bit_value_to_nearest():
    values = np.arange(65536, dtype=np.uint16).reshape(256, 256, 1)
    eight = np.asarray(Deep(values).view8())
    assert eight.dtype == np.uint8
    assert np.array_equal(eight, np.floor(values[:, :, 0].astype(np.int64) * 255 / 65535 + 0.5).astype(np.uint8))


@pytest.mark.parametrize("channels,mode", [(1, "L"), (2, "LA"), (3, "RGB"), (4, "RGBA")])
@pytest.mark.parametrize("dtype", [np.uint16, np.float32])
def test_bands_round_trip_exactly(channels, mode, dtype):
    pixels = ramp(5, 37, channels, dtype)
    deep = Deep(pixels, 32 if dtype == np.float32 else 16)
    bands = [deep.band(i) for i in range(channels)]
    assert {b.mode for b in bands} == {"F" if dtype == np.float32 else "I;16"}
    again = Deep.from_bands(bands, deep.bits)
    assert again.pixels.dtype == dtype and np.array_equal(again.pixels, pixels)
    assert deep.view8().mode == mode and deep.view8().size == (37, 5)


def test_float_view_clips_and_colour_round_trips():
    pixels = np.array([[[-0.5], [0.5], [1.5], [np.nan]]], dtype=np.float32)
    assert list(np.asarray(Deep(pixels, 32).view8())[0]) == [0, 128, 255, 0]
    deep = Deep(ramp(3, 9, 4))
    again = deep.with_colour(deep.colour(), deep.alpha())
    assert np.array_equal(again.pixels, deep.pixels)


def test_bands_from_float_are_rounded_and_clipped_to_sixteen_bits():
    band = Image.fromarray(np.array([[-3.0, 1.4, 1.6, 70000.0]], dtype=np.float32), "F")
    assert Deep.from_bands([band], 16).pixels[0, :, 0].tolist() == [0, 1, 2, 65535]


@pytest.mark.parametrize("pixels,bits", [
    (np.zeros((4, 4, 5), np.uint16), 16),
    (np.zeros((4, 4, 3), np.uint8), 8),
    (np.zeros((4, 4, 3), np.float64), 32),
    (np.zeros((0, 4, 3), np.uint16), 16),
    (np.zeros((4, 4, 3), np.uint16), 32),
    (np.zeros((4, 4, 3), np.float32), 16),
])
def test_refuses_what_is_not_a_deep_picture(pixels, bits):
    with pytest.raises(ValueError):
        Deep(pixels, bits)


def test_companion_is_valid_only_for_its_own_picture():
    picture = Image.new("RGB", (4, 3))
    photo = Photo()
    companions.attach(photo, "deep", of_picture(picture), picture)
    assert photo.deep_of(picture) is photo.deep
    assert photo.deep_of(picture.copy()) is None  # equal pixels, another picture
    twin = photo.deep.paired(picture.copy())
    assert twin is not photo.deep and twin.pixels is photo.deep.pixels
    assert photo.deep_of(picture) is photo.deep  # the copy's pairing is its own


def test_companion_of_a_picture_gone_is_never_paired_again():
    photo = Photo()
    picture = Image.new("L", (2, 2))
    companions.attach(photo, "deep", of_picture(picture), picture)
    del picture
    gc.collect()
    for _ in range(50):  # new pictures may take the old one's address
        assert photo.deep_of(Image.new("L", (2, 2))) is None


def test_replacing_the_picture_drops_the_companion():
    obj = framewick.FrameWick()
    obj.image = Image.new("RGB", (6, 4), (10, 20, 30))
    obj.photo = Photo()
    companions.attach(obj.photo, "deep", of_picture(obj.image), obj.image)
    obj.image = obj.image.transpose(Image.Transpose.FLIP_LEFT_RIGHT)
    assert obj.photo.deep_of(obj.image) is None


@pytest.mark.parametrize("quiet", [False, True])
def test_drop_says_one_line_unless_quiet(capsys, quiet):
    photo = Photo(name="shot.png")
    picture = Image.new("RGB", (2, 2))
    companions.attach(photo, "deep", of_picture(picture), picture)
    if quiet:
        with framewick.quiet():
            companions.drop(photo, "deep", "emboss")
    else:
        companions.drop(photo, "deep", "emboss")
    out, err = capsys.readouterr()
    assert photo.deep is None and out == ""
    assert err == ("" if quiet else "framewick: shot.png: emboss works at 8 bits, so the picture is 8-bit from here\n")
