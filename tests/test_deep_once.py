"""A 16-bit PNG or TIFF is decoded once: its 8-bit picture is made of the pixels read at depth,
byte for byte the picture today's 8-bit reading gives, whatever the file's layout."""

import struct
import zlib

import numpy as np
import pytest

from framewick import FrameWick

tifffile = pytest.importorskip("tifffile")
pytest.importorskip("framewick.formats._png", reason="built without libpng")
_tiff = pytest.importorskip("framewick.formats._tiff", reason="built without libtiff")


def pixels(channels, width=77, height=31):
    rng = np.random.default_rng(channels)
    return rng.integers(0, 65536, (height, width, channels), dtype=np.uint16)


def png(values, split=1, text_after=False):
    """A 16-bit PNG by hand: its image data in `split` chunks, then a text chunk when asked
    (which Pillow reads only once the picture is decoded)."""
    def chunk(cid, data):
        return struct.pack(">I", len(data)) + cid + data + struct.pack(">I", zlib.crc32(cid + data))
    height, width, channels = values.shape
    packed = zlib.compress(b"".join(b"\0" + row.astype(">u2").tobytes() for row in values))
    step = -(-len(packed) // split)
    head = struct.pack(">IIBBBBB", width, height, 16, {2: 4, 3: 2, 4: 6}[channels], 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head)
            + b"".join(chunk(b"IDAT", packed[i:i + step]) for i in range(0, len(packed), step))
            + (chunk(b"tEXt", b"Comment\0written after the pixels") if text_after else b"") + chunk(b"IEND", b""))


def tiff(path, values, **options):
    extra = {"extrasamples": [2]} if values.shape[2] == 4 else {}
    tifffile.imwrite(path, values, photometric="rgb", **extra, **options)


@pytest.mark.parametrize("make", [
    lambda p: p.write_bytes(png(pixels(3))),
    lambda p: p.write_bytes(png(pixels(4), split=5, text_after=True)),
    lambda p: p.write_bytes(png(pixels(2), split=3)),
    lambda p: tiff(p, pixels(3), compression="zlib"),
    lambda p: tiff(p, pixels(4), compression="zlib", predictor=True),
    lambda p: p.write_bytes(_tiff.write(pixels(4).tobytes(), 77, 31, 4, 16, compression="lzw")),
    lambda p: tiff(p, pixels(3), compression="zlib", byteorder=">"),
    lambda p: tiff(p, np.moveaxis(pixels(3), 2, 0), compression="zlib", planarconfig="separate"),
    lambda p: tiff(p, pixels(4)),
    lambda p: tiff(p, pixels(3), compression="zlib", rowsperstrip=4),
    lambda p: tiff(p, pixels(4), tile=(16, 16)),
    lambda p: tifffile.imwrite(p, pixels(2), photometric="minisblack", extrasamples=[2], compression="zlib"),
], ids=["png-rgb", "png-rgba-split-text", "png-grey-alpha", "tiff-deflate", "tiff-predictor-rgba", "tiff-lzw-rgba",
        "tiff-big-endian", "tiff-planar", "tiff-raw-rgba", "tiff-strips-of-4-rows", "tiff-tiled-rgba",
        "tiff-grey-alpha"])
def test_the_picture_made_from_the_deep_pixels_is_todays(tmp_path, make):
    path = tmp_path / "deep.bin"
    make(path)
    obj, eight = FrameWick.open(path), FrameWick.open(path, depth=8)
    assert obj.photo.deep_of(obj.image) is not None and eight.photo.deep is None
    assert obj.image.mode == eight.image.mode and obj.image.size == eight.image.size
    assert obj.image.tobytes() == eight.image.tobytes()
    assert obj.photo.text == eight.photo.text
