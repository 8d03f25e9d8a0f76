"""EXIF as a photo carries it: only real EXIF (never a TIFF's own layout tags), and only what
can be written back.

A TIFF file's first directory holds its picture's layout (size, strips, compression, ...)
beside the EXIF-like tags (camera, date, orientation); Pillow reads them all as EXIF. Carried
to a written TIFF they would describe the old picture instead of the new one, so they are left
out, as are the tags a format writes from the picture itself (profile, XMP, resolution).

Pillow reads some blocks it cannot write back (a tag stored with a type other than its own,
ImageWidth as text for example). Such tags are dropped one by one, and the rest is kept: a
picture is never refused over its metadata.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from PIL import ExifTags, Image

from framewick.formats.tags import ORIENTATION, orientation, with_orientation

__all__ = ["ORIENTATION", "orientation", "with_orientation"]

#: Tags that describe how a TIFF stores its picture, or that the writer fills in from the
#: picture and the keywords it is given (profile, XMP, resolution): never carried as EXIF.
LAYOUT = frozenset({
    254, 255, 256, 257, 258, 259, 262, 263, 264, 265, 266, 269, 273, 277, 278, 279, 280, 281, 282, 283, 284,
    286, 287, 290, 291, 292, 293, 296, 297, 301, 317, 318, 319, 320, 321, 322, 323, 324, 325, 330, 332, 338,
    339, 340, 341, 347, 512, 513, 514, 515, 517, 518, 519, 520, 521, 529, 530, 531, 532, 700, 32997, 33723,
    34377, 34675,
    288, 289,  # FreeOffsets, FreeByteCounts: places in the file the picture came from
    333, 334, 336,  # the inks of a separated picture (InkNames, NumberOfInks, DotRange)
})
#: The DNG tags (DNGVersion onwards): a raw file's own description of its sensor data, wrong for
#: any picture written from it (a reader would take the TIFF for a DNG); libtiff also crashes
#: on most of them as Pillow's writer hands them over.
DNG_TAGS = range(50706, 52600)
_SUB_IFDS = (ExifTags.IFD.Exif, ExifTags.IFD.GPSInfo, ExifTags.IFD.Interop)


def _writes(tags: Image.Exif) -> bool:
    try:
        tags.tobytes()
    except Exception:  # any tag Pillow's writer cannot take
        return False
    return True


def kept_where(exif: Image.Exif, takes: Callable[[Image.Exif], bool]) -> Image.Exif:
    """The tags of `exif` that `takes` accepts, each tried alone (a sub-directory entry by
    entry); the others are left out."""
    kept = Image.Exif()
    for tag in list(exif):
        value = _entry(exif, tag)
        if value is None:
            continue
        if isinstance(value, dict):
            good = {}
            for key, item in value.items():
                trial = Image.Exif()
                trial[tag] = {key: item}
                if takes(trial):
                    good[key] = item
            if not good:
                continue
            value = good
        trial = Image.Exif()
        trial[tag] = value
        if takes(trial):
            kept[tag] = value
    return kept


def _entry(exif: Image.Exif, tag: int) -> Any:
    if tag in _SUB_IFDS:
        try:
            return dict(exif.get_ifd(tag))
        except Exception:  # a sub-directory that cannot be read is left out
            return None
    return exif[tag]


def writable(exif: Image.Exif) -> bytes | None:
    """The block as bytes, with every tag Pillow cannot write back left out (None: nothing left)."""
    if not exif:
        return None
    try:
        return exif.tobytes()
    except Exception:  # some tag cannot be written back: keep the others
        pass
    kept = kept_where(exif, _writes)
    if not kept:
        return None
    try:
        return kept.tobytes()
    except Exception:  # the tags that each wrote alone do not write together
        return None


def without_layout(exif: Image.Exif) -> Image.Exif:
    """`exif` without a TIFF's layout tags and DNG tags (in place); returns it."""
    for tag in [t for t in exif if t in LAYOUT or t in DNG_TAGS]:
        del exif[tag]
    return exif


def of_picture(picture: Image.Image, reset: bool) -> bytes | None:
    """The EXIF a photo keeps of `picture`: its orientation tag set to 1 when `reset` (the
    picture was turned upright), a TIFF's layout tags left out, only what can be written back.

    A block that needs no change is kept byte for byte."""
    tiff = hasattr(picture, "tag_v2")
    raw = picture.info.get("exif")
    if not tiff and not reset:
        return raw or None
    try:
        exif = picture.getexif()
    except Exception:  # a broken block: nothing of it can be kept
        return None
    if not exif:
        return None
    if tiff:
        without_layout(exif)
    if reset and ORIENTATION in exif:
        exif[ORIENTATION] = 1
    return writable(exif)


def for_tiff(block: bytes) -> Image.Exif:
    """A block as the tags a written TIFF gets: only what can be written, no layout tags."""
    tags = Image.Exif()
    try:
        tags.load(block)
    except Exception:  # a block that does not parse is left out
        return Image.Exif()
    without_layout(tags)
    data = writable(tags)
    clean = Image.Exif()
    if data:
        clean.load(data)
    return clean


#: The most each format's EXIF block may hold, "Exif\0\0" included: a JPEG's APP1 segment
#: (65,535 bytes less its length field). The other formats' containers (PNG's eXIf chunk, WebP's
#: and HEIF's boxes, TIFF's tags) hold far more than any camera writes.
ROOM = {"JPEG": 65533, "MPO": 65533}
_MAKER_NOTE = 0x927C


def _weight(value: Any) -> int:
    """Roughly how many bytes a tag's value takes in the block."""
    if isinstance(value, (bytes, str)):
        return len(value)
    if isinstance(value, dict):
        return sum(12 + _weight(item) for item in value.values())
    if isinstance(value, tuple):
        return 8 * len(value)
    return 4


def _largest(exif: Image.Exif) -> tuple[int | None, int] | None:
    """The (sub-directory, tag) holding the largest value, None for IFD0's own tags."""
    best: tuple[int, tuple[int | None, int]] | None = None
    for tag in exif:
        if tag in _SUB_IFDS:
            for key, item in exif.get_ifd(tag).items():
                if best is None or _weight(item) > best[0]:
                    best = (_weight(item), (tag, key))
        elif best is None or _weight(exif[tag]) > best[0]:
            best = (_weight(exif[tag]), (None, tag))
    return best[1] if best else None


def fitted(block: bytes, room: int) -> tuple[bytes | None, list[str]]:
    """`block` as it fits in `room` bytes, and what was left out to fit it (empty: kept whole).

    1. A block that fits is kept byte for byte. 2. Written anew, it loses the embedded
    thumbnail (the second directory and its JPEG); 3. then the maker notes; 4. then the
    largest of the remaining tags, one at a time, until it fits (None when nothing does).
    """
    if len(block) <= room:
        return block, []
    exif = Image.Exif()
    try:
        exif.load(block)
        thumbnail = bool(exif.get_ifd(ExifTags.IFD.IFD1))
        for tag in _SUB_IFDS:
            if tag in exif:
                exif.get_ifd(tag)  # loaded, so that what is written is what is held here
    except Exception:  # a block that does not parse cannot be cut down
        return None, ["the EXIF block"]
    left: list[str] = ["the embedded thumbnail"] if thumbnail else []
    data = writable(exif)
    if data is not None and len(data) <= room:
        return data, left
    if exif.get_ifd(ExifTags.IFD.Exif).pop(_MAKER_NOTE, None) is not None:
        left.append("the maker notes")
        data = writable(exif)
    others = 0
    while data is not None and len(data) > room:
        found = _largest(exif)
        if found is None:
            data = None
            break
        ifd, tag = found
        del (exif.get_ifd(ifd) if ifd is not None else exif)[tag]
        others += 1
        data = writable(exif)
    if data is None:
        return None, ["the EXIF block"]
    if others:
        left.append(f"{others} more tag{'s' if others > 1 else ''}")
    return data, left
