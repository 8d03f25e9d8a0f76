"""Shrink-on-load for PNG: a large PNG reduced row by row as it is decoded.

PNG has no reduced decoding of its own, so when the chain's first reducing step allows it
(`shrink.box_factor`), the native reader decodes the picture a band of rows at a time and
reduces each band as it comes; the whole picture is never held. Each reduced pixel is the mean
of the area of the picture it covers: a box of about the factor a side, which takes parts of
the pixels at its edges where the sides do not divide, so that the reduced picture shows the
whole picture at one scale and the step's resampling puts every detail where it would have
from the whole picture. Colour is averaged weighted by alpha (premultiplied), as Pillow's own
resize and reduce do for a picture with alpha, so that fully transparent pixels lend no
colour to the visible ones.

Only what comes out the same as Pillow's reading, reduced, goes this way: an 8-bit or lower
grey, grey+alpha, RGB, RGBA or palette picture (a palette becomes RGB, or RGBA with its tRNS
transparency, as the steps would make it anyway), whose only chunks after the picture data are
more picture data and the end chunk (text or EXIF there would be read by Pillow's decode).
A 16-bit picture (read at depth), a grey or RGB picture with a transparent colour (kept as a
colour key), an animation, and any file the native reader refuses are read as before, with
Pillow's own errors.
"""

from __future__ import annotations

import os
import struct
from typing import IO, Any

from PIL import Image

from framewick.photo import orientation as _orientation
from framewick.photo import shrink

_MODES = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}
# IHDR colour types: grey, RGB, palette, grey+alpha, RGBA.
_TYPES = (0, 2, 3, 4, 6)


def read(fp: IO[bytes], picture: Image.Image, chain: Any, orient: bool, limit: int | None) -> Image.Image | None:
    """The opened PNG `picture` (not decoded; `fp` its file) reduced for `chain`, or None when it
    is to be decoded whole: the chain allows no reduction, the file is not one this reading
    gives as Pillow would, or the native reader refuses it. The result carries the picture's
    `info` (its transparency now an alpha band), `format` and `text`, and `reduced_by`."""
    try:
        from framewick.formats import _png
    except ImportError:
        return None
    layout = _layout(fp)
    if layout is None:
        return None
    depth, colour = layout
    if depth > 8 or colour not in _TYPES or (colour in (0, 2) and "transparency" in picture.info):
        return None
    turn = _orientation_of(picture) if orient else 1
    width, height = picture.size
    upright = (height, width) if _orientation.swaps_sides(turn) else (width, height)
    factor = shrink.box_factor(chain, upright)
    if factor < 2:
        return None
    size = (-(-width // factor), -(-height // factor))
    try:
        try:  # a file on disk is read a block at a time by the reader itself, never whole
            source: Any = fp.fileno()
        except (OSError, ValueError, AttributeError):
            fp.seek(0)
            source = fp.read()
        found = _png.reduced(source, limit or 0, *size)
    except (_png.PngError, ValueError):
        return None
    reduced = Image.frombytes(_MODES[found["channels"]], size, found["pixels"])
    reduced.info = {key: value for key, value in picture.info.items() if key != "transparency"}
    reduced.format = "PNG"
    reduced.text = dict(found["text"])  # type: ignore[attr-defined]
    reduced.reduced_by = width / size[0]  # type: ignore[attr-defined]
    return reduced


def _orientation_of(picture: Image.Image) -> int:
    """The orientation Pillow reads from the opened PNG's metadata (eXIf, a raw EXIF text, XMP),
    without decoding it: every chunk that could hold one comes before the picture data here."""
    stand_in = Image.new("L", (1, 1))
    stand_in.info = dict(picture.info)
    return _orientation.read_orientation(stand_in)


def _layout(fp: IO[bytes]) -> tuple[int, int] | None:
    """The bit depth and colour type of a PNG whose chunks run whole to its end chunk, with
    nothing but picture data after its first picture data chunk (IDAT) and no animation; None
    for any other file (the stream left where it was)."""
    kinds = chunk_kinds(fp)
    if not kinds or kinds[0] != b"IHDR" or b"acTL" in kinds or b"IDAT" not in kinds:
        return None
    if any(kind != b"IDAT" for kind in kinds[kinds.index(b"IDAT"):-1]):
        return None
    where = fp.tell()
    try:
        fp.seek(24)  # the header chunk's depth and colour type
        depth, colour = fp.read(2)
        return depth, colour
    except (OSError, ValueError):
        return None
    finally:
        fp.seek(where)


def seekable(fp: IO[bytes]) -> bool:
    """Whether `fp` can seek and tell where it is."""
    try:
        if not fp.seekable():
            return False
        fp.tell()
    except (OSError, ValueError, AttributeError):
        return False
    return True


def chunk_kinds(fp: IO[bytes]) -> list[bytes] | None:
    """The kinds of a PNG stream's chunks in order, up to its end chunk (IEND), each one checked
    to run whole; None when the stream ends or breaks first, or cannot seek. Pillow stops quietly
    at the end of the file, so a file cut after its picture data would otherwise pass. The
    stream is left where it was."""
    if not seekable(fp):
        return None
    where = fp.tell()
    kinds = []
    try:
        fp.seek(8)
        while True:
            head = fp.read(8)
            if len(head) < 8:
                return None
            length, kind = struct.unpack(">I4s", head)
            kinds.append(kind)
            if kind == b"IEND":
                return kinds
            here = fp.tell()
            fp.seek(length + 4, os.SEEK_CUR)
            if fp.tell() != here + length + 4:
                return None
    except (OSError, ValueError, struct.error):
        return None
    finally:
        fp.seek(where)
