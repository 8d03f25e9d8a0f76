"""Orientation as a file states it: the EXIF tag, the XMP property and a JPEG XL codestream's
header. What a format reads and writes, for the readers and writers here and for the photo
pipeline above them."""

from __future__ import annotations

import re
import struct
from collections.abc import Callable

from PIL import Image

#: The EXIF orientation tag.
ORIENTATION = 0x0112

_XMP_ORIENTATION = re.compile(rb'(tiff:Orientation(?:="|>))([0-9])')


def orientation(block: bytes | None) -> int:
    """The orientation (1 to 8) an EXIF block (with or without JPEG's "Exif\0\0" marker) says
    its picture is stored under; 1 when it says none, another value or cannot be read."""
    if not block:
        return 1
    tags = Image.Exif()
    try:
        tags.load(block if block.startswith(b"Exif\x00\x00") else b"Exif\x00\x00" + block)
        value = int(tags.get(ORIENTATION, 1))
    except Exception:  # a block that cannot be read turns nothing
        return 1
    return value if 1 <= value <= 8 else 1


def with_orientation(block: bytes, value: int) -> bytes:
    """`block` with its orientation tag set to `value`; the block as it came when it has no
    tag, says that already, or cannot be read."""
    tags = Image.Exif()
    try:
        tags.load(block)
    except Exception:  # a broken block is kept as it came
        return block
    if tags.get(ORIENTATION, value) == value:
        return block
    tags[ORIENTATION] = value
    return tags.tobytes()


def xmp_with_orientation(xmp: bytes, orientation: int) -> bytes:
    """XMP with its tiff:Orientation set to `orientation`."""
    return _XMP_ORIENTATION.sub(rb"\g<1>" + str(orientation).encode(), xmp)


class _Bits:
    """JPEG XL's bit reader: least significant bit first."""

    def __init__(self, data: bytes) -> None:
        self.data, self.at = data, 0

    def u(self, count: int) -> int:
        value = 0
        for i in range(count):
            byte = self.at >> 3
            if byte >= len(self.data):
                raise ValueError("the header ends early")
            value |= ((self.data[byte] >> (self.at & 7)) & 1) << i
            self.at += 1
        return value

    def u32(self, *choices: tuple[int, int]) -> int:
        offset, bits = choices[self.u(2)]
        return offset + (self.u(bits) if bits else 0)


def _jxl_codestream(head: bytes) -> bytes:
    """The start of a JPEG XL codestream in `head`, a file's first bytes: the file itself, or
    the first jxlc/jxlp box's data."""
    return jxl_codestream_head(lambda at, count: head[at:at + count], len(head))


def jxl_codestream_head(read: Callable[[int, int], bytes], count: int = 256) -> bytes:
    """The first `count` bytes of a JPEG XL file's codestream, read with `read(offset, size)`:
    the file's own start when it is a bare codestream, else the data of its first jxlc or jxlp
    box wherever that lies, past boxes of any size before it (EXIF, XMP, a preview...). Empty
    when there is none or the boxes do not hold together."""
    if read(0, 2) == b"\xff\x0a":
        return read(0, count)
    at = 0
    for _ in range(1 << 12):
        header = read(at, 16)
        if len(header) < 8:
            break
        size, box = struct.unpack(">I4s", header[:8])
        start = at + 8
        if size == 1:
            if len(header) < 16:
                break
            size, start = struct.unpack(">Q", header[8:16])[0], at + 16
        if box == b"jxlc":
            return read(start, count)
        if box == b"jxlp":
            return read(start + 4, count)  # each partial box starts with its index
        if size < start - at:  # 0 (to the end of the file) or a box shorter than its own header
            break
        at += size
    return b""


def jxl_bits(head: bytes) -> int | None:
    """The bits per sample a JPEG XL header states (32 for float), or None when it cannot be read."""
    return _jxl_header(head)[0]


def jxl_orientation(head: bytes) -> int:
    """The orientation (1 to 8) a JPEG XL codestream states, which its decoder applies; 1 when
    the header cannot be read."""
    return _jxl_header(head)[1]


def _jxl_header(head: bytes) -> tuple[int | None, int]:
    """The bits per sample (None when unreadable) and the orientation of a JPEG XL header."""
    stream = _jxl_codestream(head)
    if not stream.startswith(b"\xff\x0a"):
        return None, 1
    bits = _Bits(stream[2:])
    orientation = 1
    sizes = ((1, 9), (1, 13), (1, 18), (1, 30))
    try:
        small = bits.u(1)
        if small:
            bits.u(5)
        else:
            bits.u32(*sizes)
        if bits.u(3) == 0:  # no fixed aspect ratio: the width follows
            if small:
                bits.u(5)
            else:
                bits.u32(*sizes)
        if bits.u(1):  # all_default: 8-bit
            return 8, 1
        if bits.u(1):  # extra fields
            orientation = bits.u(3) + 1
            if bits.u(1):  # intrinsic size
                small = bits.u(1)
                if small:
                    bits.u(5)
                else:
                    bits.u32(*sizes)
                if bits.u(3) == 0:
                    if small:
                        bits.u(5)
                    else:
                        bits.u32(*sizes)
            if bits.u(1):  # preview
                eighths = bits.u(1)
                preview = ((16, 0), (32, 0), (1, 5), (33, 9)) if eighths else ((1, 6), (65, 8), (321, 10), (1345, 12))
                bits.u32(*preview)
                if bits.u(3) == 0:
                    bits.u32(*preview)
            if bits.u(1):  # animation
                bits.u32((100, 0), (1000, 0), (1, 10), (1, 30))
                bits.u32((1, 0), (1001, 0), (1, 8), (1, 10))
                bits.u32((0, 0), (0, 3), (0, 16), (0, 32))
                bits.u(1)
        if bits.u(1):  # float samples
            return (32 if bits.u32((32, 0), (16, 0), (24, 0), (1, 6)) >= 16 else 8), orientation
        return bits.u32((8, 0), (10, 0), (12, 0), (1, 6)), orientation
    except ValueError:
        return None, orientation
