"""IPTC as a photo carries it: the records (IIM datasets) of a JPEG's Photoshop block or a
TIFF's tag, read as they are and written back where the format has a place for them.

A JPEG holds them in an APP13 segment ("Photoshop 3.0", image resource 0x0404), a TIFF in tag
33723. A format with XMP and no IPTC block (PNG, WebP, AVIF, HEIC, JPEG XL) gets the fields as
the XMP properties libexiv2 maps them to (City as photoshop:City, By-line as dc:creator, the
copyright as dc:rights, ...), added where the photo's XMP has none of the same; a format with
neither (GIF, BMP) leaves them out with one line. Records are carried byte for byte unless
fields are kept or dropped (framewick.photo.fields); a source without IPTC writes as it did.
"""

from __future__ import annotations

import struct
from typing import IO, Any

from PIL import Image

from framewick.status import note

#: The Photoshop image resource that holds IPTC records.
PHOTOSHOP_IPTC = 0x0404
#: The TIFF tag that holds IPTC records (IPTC/NAA).
TIFF_TAG = 33723
#: The formats with a block of their own for IPTC.
HOLDS = frozenset({"JPEG", "TIFF"})
#: How a JPEG's APP13 segment of Photoshop resources opens.
APP13_HEADER = b"Photoshop 3.0\x00"
# A JPEG segment's payload is at most 65533 bytes, the Photoshop header's 14 of them in each.
_JPEG_ROOM = 65533 - len(APP13_HEADER)


def _records(data: Any) -> bytes | None:
    """`data` when it reads as IIM records (each starts with the tag marker 0x1C), else None."""
    if not isinstance(data, (bytes, bytearray)) or not data:
        return None
    data = bytes(data)
    return data if data[:1] == b"\x1c" else None


def of_picture(picture: Image.Image, fp: IO[bytes] | None = None) -> bytes | None:
    """The IPTC records of a picture Pillow opened: a JPEG's (MPO's) Photoshop block 0x0404, a
    TIFF's tag 33723 read from the file `fp` (Pillow keeps one value of a tag it expects one of,
    and Photoshop stores the records as LONGs). None when there are none, or they do not read
    as records."""
    if picture.format in ("JPEG", "MPO"):
        parts = [data[len(APP13_HEADER):] for marker, data in getattr(picture, "applist", None) or ()
                 if marker == "APP13" and data.startswith(APP13_HEADER)]
        if len(parts) > 1:  # a block larger than a segment goes on in the next ones: Pillow reads each alone
            return _records(_resource(b"".join(parts), PHOTOSHOP_IPTC))
        resources = picture.info.get("photoshop")
        return _records(resources.get(PHOTOSHOP_IPTC)) if isinstance(resources, dict) else None
    if picture.format == "TIFF" and fp is not None:
        at = fp.tell()
        try:
            return _records(_tiff_tag(fp, TIFF_TAG))
        except (OSError, ValueError, struct.error):
            return None
        finally:
            fp.seek(at)
    return None


# Bytes a value of each TIFF type takes.
_TYPE_BYTES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 6: 1, 7: 1, 8: 2, 9: 4, 10: 8, 11: 4, 12: 8, 13: 4}
# The most a tag's value is read for (IPTC records are a few kilobytes).
_MOST = 1 << 24


def _tiff_tag(fp: IO[bytes], wanted: int) -> bytes | None:
    """The bytes of tag `wanted` in a classic TIFF's first directory, as stored (whatever type
    it is declared with); None when it is not there or the file ends before it."""
    fp.seek(0)
    head = fp.read(8)
    order = {b"II*\x00": "<", b"MM\x00*": ">"}.get(head[:4])
    if order is None or len(head) < 8:
        return None
    fp.seek(struct.unpack(order + "I", head[4:])[0])
    count_bytes = fp.read(2)
    if len(count_bytes) < 2:
        return None
    count = struct.unpack(order + "H", count_bytes)[0]
    entries = fp.read(12 * count)
    for index in range(len(entries) // 12):
        tag, kind, number, value = struct.unpack_from(order + "HHI4s", entries, 12 * index)
        if tag != wanted:
            continue
        size = number * _TYPE_BYTES.get(kind, 0)
        if not 0 < size <= _MOST:
            return None
        if size <= 4:
            return value[:size]
        fp.seek(struct.unpack(order + "I", value)[0])
        data = fp.read(size)
        return data if len(data) == size else None
    return None


def _resource(block: bytes, wanted: int) -> bytes | None:
    """The data of resource `wanted` in a block of Photoshop image resources; None when it is
    not there or the block ends before its data does."""
    at = 0
    while block[at:at + 4] == b"8BIM" and at + 7 <= len(block):
        code, name = struct.unpack_from(">HB", block, at + 4)
        at += 6 + ((1 + name + 1) & ~1)  # the name: a Pascal string padded to an even length
        if at + 4 > len(block):
            return None
        size = struct.unpack_from(">I", block, at)[0]
        at += 4
        if code == wanted:
            return block[at:at + size] if at + size <= len(block) else None
        at += size + (size & 1)
    return None


def jpeg_segment(records: bytes) -> bytes:
    """The APP13 segments holding `records` as Photoshop's resource 0x0404 (markers included):
    one, or as many as it takes, each opening with the Photoshop header, the block cut across
    them as readers (ExifTool, libexiv2, Photoshop) join it back."""
    padded = records + b"\x00" * (len(records) & 1)  # a resource's data is padded to an even length
    block = b"8BIM" + struct.pack(">HHI", PHOTOSHOP_IPTC, 0, len(records)) + padded
    out = bytearray()
    for at in range(0, len(block), _JPEG_ROOM):
        body = APP13_HEADER + block[at:at + _JPEG_ROOM]
        out += b"\xff\xed" + struct.pack(">H", len(body) + 2) + body
    return bytes(out)


def _say(name: str, text: str) -> None:
    note(f"framewick: {name or 'the picture'}: {text}")


def into_xmp(records: bytes, xmp: bytes | None, fmt: str, name: str = "") -> bytes | None:
    """The XMP to write in `fmt` (a format with XMP and no IPTC block): `xmp` with the fields
    of `records` added where it has none of the same. Without libexiv2, or when either cannot
    be read, `xmp` as it is and one line saying the IPTC fields were left out."""
    try:
        from framewick.formats import _meta
    except ImportError:
        _say(name, f"{_display(fmt)} has no IPTC block and this build cannot carry IPTC into XMP (it needs "
                   "libexiv2), so the IPTC fields were left out")
        return xmp
    warnings: list[str] = []
    try:
        merged = _meta.iptc_to_xmp(records, xmp=xmp, warnings=warnings)
    except (OSError, ValueError) as error:  # libexiv2 refused outright: the XMP goes as it was
        merged, warnings = None, [*warnings, str(error)]
    if merged is None and warnings:
        _say(name, f"the IPTC fields could not be carried into XMP, so they were left out ({warnings[0]})")
    return merged if merged is not None else xmp


def _display(fmt: str) -> str:
    return {"HEIF": "HEIC", "JXL": "JPEG XL"}.get(fmt, fmt)


def left_out(fmt: str, name: str = "") -> None:
    """The line for a format with neither an IPTC block nor XMP."""
    _say(name, f"{_display(fmt)} has no place for IPTC, so the IPTC fields were left out")
