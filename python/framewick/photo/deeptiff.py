"""A deep picture written as TIFF by framewick's libtiff module, with the profile, DPI, EXIF,
XMP and IPTC the 8-bit writer keeps: the part of the way out at depth that needs no NumPy, so
that a picture whose 16-bit samples are at hand as a buffer (a camera RAW developed and not
changed since) is written without importing it.
"""

from __future__ import annotations

import dataclasses
import os
import struct
from collections.abc import Callable
from typing import Any

from PIL import Image, TiffImagePlugin, TiffTags

from framewick.photo import exif as _exif
from framewick.photo import profiles
from framewick.photo import xmp as _xmp
from framewick.photo.formats import storable_dpi
from framewick.photo.metadata import Photo
from framewick.status import note

# The native writer's compression for a TIFF source's compression it can keep.
_COMPRESSION = {"tiff_adobe_deflate": "deflate", "tiff_deflate": "deflate", "tiff_lzw": "lzw", "raw": "none"}


@dataclasses.dataclass
class Metadata:
    icc: bytes | None = None
    exif: bytes | None = None  # the TIFF structure, without JPEG's "Exif\0\0" marker
    xmp: bytes | None = None
    dpi: tuple[float, float] | None = None
    iptc: bytes | None = None  # TIFF's alone: the other formats carry it in the XMP


def metadata(photo: Photo, fmt: str, icc: bytes | None, strip: bool) -> Metadata:
    if strip:
        return Metadata(icc=icc)
    exif = photo.exif or None
    if exif is not None and exif.startswith(b"Exif\x00\x00"):
        exif = exif[6:]
    return Metadata(icc=icc, exif=exif, xmp=_xmp.without_gain_map(photo.xmp) or None, dpi=storable_dpi(photo.dpi, fmt),
                     iptc=photo.iptc if fmt == "TIFF" else None)


#: Threads that compress a large deflated TIFF's strips at once, while cores are idle (on busy
#: cores they only share them); the file is the same whatever their number.
TIFF_THREADS = 2


def _tiff_threads(pixels: int, compression: str) -> int:
    if compression != "deflate":
        return 1  # nothing compressed: no threads (nor NumPy, which carry imports)
    from framewick.photo import carry

    if pixels < carry.THREADED_PIXELS:
        return 1
    return max(1, min(TIFF_THREADS, carry.idle_cores()))


def writer(pixels: Any, width: int, height: int, channels: int, sample: int | str, meta: Metadata, obj: Any,
           name: str) -> Callable[[Any], None]:
    """How to write the TIFF of `pixels` (rows of `width` * `channels` samples, 16-bit or
    float as `sample` says, in the machine's byte order, C-contiguous): to a path, straight
    from the native writer into the file (the file is never held in memory); to a stream, the
    file made in memory and written to it. The same bytes either way."""
    from framewick.formats import _tiff

    photo: Photo = getattr(obj, "photo", None) or Photo()
    # As the 8-bit writer: a TIFF's own compression where it can be kept (else LZW), none for
    # a picture from another format.
    kept = obj.image.info.get("compression") if photo.format == "TIFF" else None
    compression = _COMPRESSION.get(kept, "lzw") if isinstance(kept, str) else "none"
    options = {"compression": compression, "icc": meta.icc, "dpi": meta.dpi,
               "threads": _tiff_threads(width * height, compression)}
    tags = None
    if meta.exif or meta.xmp or meta.iptc:
        tags = _exif.for_tiff(meta.exif) if meta.exif else Image.Exif()
        if meta.xmp:
            tags[700] = meta.xmp  # XMLPacket
        if meta.iptc:
            tags[33723] = meta.iptc  # IPTC/NAA

    def too_large() -> None:
        blocks = "EXIF, XMP and IPTC" if meta.iptc else "EXIF and XMP"
        note(f"framewick: {name}: the TIFF is too large for its tags, so the {blocks} were left out")

    def write(fp: Any) -> None:
        if not isinstance(fp, (str, os.PathLike)):
            data = _tiff.write(pixels, width, height, channels, sample, **options)
            added = _tags_added(lambda at, count: data[at:at + count], len(data), tags) if tags is not None else None
            if added is None and tags is not None:
                too_large()
            pieces = [data] if added is None else _joined(data, *added)
            for piece in pieces:
                fp.write(piece)
            return
        with open(fp, "w+b") as out:  # libtiff reads back what it wrote
            fd = out.fileno()
            size = _tiff.write(pixels, width, height, channels, sample, fd=fd, **options)
            if tags is None:
                return
            added = _tags_added(lambda at, count: os.pread(fd, count, at), size, tags)
            if added is None:
                too_large()
                return
            start, directory = added
            if directory:
                _pwrite(fd, bytes(start - size) + directory, size)
                _pwrite(fd, struct.pack(_order(os.pread(fd, 2, 0)) + "I", start), 4)

    return write


def _pwrite(fd: int, data: bytes, at: int) -> None:
    view = memoryview(data)
    while view:
        done = os.pwrite(fd, view, at)
        view, at = view[done:], at + done


def _order(mark: bytes) -> str:
    return "<" if mark == b"II" else ">"


def _joined(data: bytes, start: int, directory: bytes) -> list[Any]:
    """The pieces of the file `data` with `directory` placed at `start` and the header pointed at it."""
    if not directory:
        return [data]
    return [data[:4] + struct.pack(_order(data[:2]) + "I", start), memoryview(data)[8:],
            bytes(start - len(data)) + directory]


def _tags_added(read: Callable[[int, int], bytes], size: int, tags: Image.Exif) -> tuple[int, bytes] | None:
    """Where a new first directory goes in a classic TIFF file of `size` bytes (read by
    `read(offset, count)`), and its bytes, for `tags` added to its first directory (those it has
    already stay as they are): the file's own entries (pointing where they did) and the new
    ones with their values after it; the header is then pointed at `start`. Sub-directories
    (Exif, GPS) go with it; a tag that cannot be written back is left out; no directory (b"")
    when none is added. None for a BigTIFF or a file that would pass 4 GB."""
    head = read(0, 8)
    order = head[:2]
    if order not in (b"II", b"MM"):
        return None
    e = _order(order)
    if struct.unpack_from(e + "H", head, 2)[0] != 42:
        return None
    first = struct.unpack_from(e + "I", head, 4)[0]
    count = struct.unpack(e + "H", read(first, 2))[0]
    table = read(first + 2, 12 * count)
    own = [table[12 * i: 12 * (i + 1)] for i in range(count)]
    present = {struct.unpack_from(e + "H", entry)[0] for entry in own}
    extra = TiffImagePlugin.ImageFileDirectory_v2(prefix=order)
    for key in tags:
        if key in present:
            continue
        value = tags.get_ifd(key) if key in TiffTags.TAGS_V2_GROUPS else tags.get(key)
        alone = TiffImagePlugin.ImageFileDirectory_v2(prefix=order)
        try:  # a tag Pillow cannot write back (a value of another type than its own) is left out
            alone[key] = value
            alone.tobytes(8)
        except Exception:
            continue
        extra[key] = value
    added = len(extra)
    start = size + (size & 1)
    if not added:
        return start, b""
    # The entries of `extra` point past its own count, entries and link: placed after the
    # file's own entries too, their values move on by as many entries.
    body = extra.tobytes(start + 12 * count)
    entries = sorted(own + [body[2 + 12 * i: 14 + 12 * i] for i in range(added)],
                     key=lambda entry: struct.unpack_from(e + "H", entry)[0])
    directory = struct.pack(e + "H", len(entries)) + b"".join(entries) + body[2 + 12 * added:]
    if start + len(directory) >= 1 << 32:
        return None
    return start, directory


def unchanged(obj: Any, samples: Any, size: tuple[int, int], channels: int, *, strip: bool, srgb: bool,
              no_icc: bool, name: str) -> Callable[[Any], None] | None:
    """What writes the 16-bit TIFF of `samples` (a buffer of uint16 rows, as `writer` takes
    them), `obj`'s deep picture as it was read, with its photo's profile and metadata; None when
    its colours are to be converted to sRGB first (which takes NumPy's way)."""
    photo: Photo = getattr(obj, "photo", None) or Photo()
    convert, icc = kept_profile(photo.icc, ("L", "LA", "RGB", "RGBA")[channels - 1], strip=strip or no_icc, srgb=srgb)
    if convert:
        return None
    return writer(samples, size[0], size[1], channels, 16, metadata(photo, "TIFF", icc, strip), obj, name)


def kept_profile(icc: bytes | None, mode: str, *, strip: bool, srgb: bool) -> tuple[bool, bytes | None]:
    """Whether a deep picture's colours are converted to sRGB before they are written (for
    `srgb`, or for `strip` when the profile is not sRGB, as the 8-bit writer does), and the
    profile written with them when they are not: none for `strip`, nor one that does not fit
    `mode`."""
    if srgb or (strip and not profiles.is_srgb(icc)):
        return True, None
    if strip or (icc is not None and not profiles.fits(icc, mode)):
        return False, None
    return False, icc
