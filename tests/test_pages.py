"""Fresh pictures whose pages the kernel hands out at once (formats._pages through
formats.private.blank_picture): every row written into one lands where Pillow's own picture
has it, in each mode, and each reader that fills one gives the pixels it gave before."""

import os
import sys

import numpy as np
import pytest
from PIL import Image, ImageFile

sys.path.insert(0, os.path.dirname(__file__))

from framewick import FrameWick  # noqa: E402
from framewick.formats import private  # noqa: E402

_pages = pytest.importorskip("framewick.formats._pages")

SIZE = (640, 480)  # over private.FRESH_PIXELS: made in one fresh block
# Pillow's bytes a pixel in memory, and in the raw mode of the same name.
BYTES = {"L": (1, 1), "I;16": (2, 2), "F": (4, 4), "LA": (4, 2), "RGB": (4, 3), "RGBA": (4, 4)}


@pytest.mark.parametrize("at_once", [True, False])
@pytest.mark.parametrize("mode", list(BYTES))
def test_a_fresh_picture_takes_its_rows_band_by_band(mode, at_once):
    width, height = SIZE
    data = np.random.default_rng(7).integers(0, 256, width * height * BYTES[mode][1], dtype=np.uint8).tobytes()
    expected = Image.frombytes(mode, SIZE, data)
    picture = Image.core.new_block(mode, SIZE)
    assert _pages.fresh(picture, at_once) == width * height * BYTES[mode][0]
    row = len(data) // height
    decoder = ImageFile.PyDecoder(mode)
    for first in range(0, height, 64):
        rows = min(64, height - first)
        decoder.setimage(picture, (0, first, width, first + rows))
        decoder.set_as_raw(data[first * row:(first + rows) * row], mode)
    assert Image.Image()._new(picture).tobytes() == expected.tobytes()


def test_a_picture_in_several_blocks_is_left_as_pillow_made_it():
    picture = Image.core.new("RGB", (3000, 2000))  # more than Pillow's block: several blocks
    assert _pages.fresh(picture, True) == 0
    assert _pages.fresh(object(), True) == 0


def gradient(channels):
    width, height = SIZE
    index = np.arange(width * height * channels, dtype=np.uint64).reshape(height, width, channels)
    return (index * 7919 % 65536).astype(np.uint16)


def tiff16(path, channels):
    from framewick.formats import _tiff

    path.write_bytes(_tiff.write(gradient(channels), *SIZE, channels, 16, compression="deflate"))


def png16(path, channels):
    _png = pytest.importorskip("framewick.formats._png")
    path.write_bytes(_png.write(gradient(channels), *SIZE, channels, 16))


def dng(path, channels):
    pytest.importorskip("framewick.formats._raw")
    import rawdng

    rawdng.write_dng(str(path), rawdng.known_picture().resize(SIZE, Image.Resampling.NEAREST))


def heic(path, channels):
    _heif = pytest.importorskip("framewick.formats._heif")
    picture = Image.fromarray((gradient(3) >> 8).astype(np.uint8))
    path.write_bytes(_heif.encode(picture.tobytes(), "RGB", *SIZE, 90, None, None, None, 1))


@pytest.mark.parametrize(("make", "channels", "suffix"), [
    (tiff16, 3, ".tif"), (tiff16, 4, ".tif"), (png16, 3, ".png"), (png16, 4, ".png"), (dng, 3, ".dng"),
    (heic, 3, ".heic"),
])
def test_readers_give_the_same_pixels_in_a_fresh_picture(tmp_path, monkeypatch, make, channels, suffix):
    path = tmp_path / f"picture{suffix}"
    make(path, channels)
    fresh = FrameWick.open(str(path)).image
    monkeypatch.setattr(private, "FRESH_PIXELS", 1 << 62)  # Pillow's own picture, as before
    plain = FrameWick.open(str(path)).image
    assert fresh.im.isblock() and not plain.im.isblock()
    assert (fresh.mode, fresh.size) == (plain.mode, plain.size) == (fresh.mode, SIZE)
    assert fresh.tobytes() == plain.tobytes()


def test_a_large_development_is_the_same_on_the_main_thread_and_another(tmp_path):
    # On the main thread LibRaw's blocks come from a heap grown and populated for them; in a
    # thread they are mapped as malloc maps them. The picture must not tell the two apart.
    _raw = pytest.importorskip("framewick.formats._raw")
    import threading

    import rawdng

    path = str(tmp_path / "large.dng")  # 7 MP: its mosaic and working picture over 64 MiB
    rawdng.write_dng(path, rawdng.known_picture().resize((3264, 2176), Image.Resampling.BILINEAR))

    def developed():
        return bytes(_raw.Raw(path).develop(bits=16)[5])

    here = developed()
    there = []
    worker = threading.Thread(target=lambda: there.append(developed()))
    worker.start()
    worker.join()
    assert there and here == there[0]
