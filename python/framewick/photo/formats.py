"""File formats: the names people type, and what each format can store."""

from __future__ import annotations

import importlib
import math
import os
from dataclasses import dataclass
from functools import cache

from PIL import Image

from framewick import formats as _formats

# The extension a format's files get (Pillow's first one is not always the usual one).
_EXTENSION = {"JPEG": ".jpg", "TIFF": ".tif", "PNG": ".png", "WEBP": ".webp", "GIF": ".gif",
              "BMP": ".bmp", "AVIF": ".avif", "JPEG2000": ".jp2", "PPM": ".ppm", "ICO": ".ico",
              "TGA": ".tga", "PDF": ".pdf", "HEIF": ".heic", "JXL": ".jxl"}


@dataclass(frozen=True)
class Stores:
    """What a format stores as it is: its modes, and which metadata it carries."""

    modes: frozenset[str]
    alpha: bool
    metadata: frozenset[str]  # of "exif", "icc", "dpi", "xmp"
    animates: bool = False
    lossy: bool = False


_ALL = frozenset({"exif", "icc", "dpi", "xmp"})
STORES: dict[str, Stores] = {
    "JPEG": Stores(frozenset({"L", "RGB", "CMYK"}), False, _ALL, lossy=True),
    "PNG": Stores(frozenset({"1", "L", "LA", "P", "RGB", "RGBA", "I;16"}), True, _ALL, animates=True),
    "WEBP": Stores(frozenset({"RGB", "RGBA"}), True, frozenset({"exif", "icc", "xmp"}), animates=True, lossy=True),
    # Grey is coded monochrome (4:0:0) in AVIF and HEIC (see writing and formats.heif).
    "AVIF": Stores(frozenset({"L", "LA", "RGB", "RGBA"}), True, frozenset({"exif", "icc", "xmp"}), animates=True,
                   lossy=True),
    "HEIF": Stores(frozenset({"L", "LA", "RGB", "RGBA"}), True, frozenset({"exif", "icc", "xmp"}), lossy=True),
    "JXL": Stores(frozenset({"L", "LA", "RGB", "RGBA"}), True, frozenset({"exif", "xmp"}), lossy=True),
    "GIF": Stores(frozenset({"L", "P", "RGB", "RGBA"}), True, frozenset(), animates=True),
    "TIFF": Stores(frozenset({"1", "L", "LA", "P", "RGB", "RGBA", "CMYK", "I;16", "I", "F"}), True,
                   _ALL),
    "BMP": Stores(frozenset({"1", "L", "P", "RGB", "RGBA"}), True, frozenset({"dpi"})),
}
# Formats whose writer cannot embed a profile and labels every picture sRGB (pillow_jxl): a
# picture in another space is converted to sRGB first, so that its colours do not shift.
SRGB_ONLY = frozenset({"JXL"})
_OTHER = Stores(frozenset({"L", "RGB"}), False, frozenset({"dpi"}))
#: The bits per channel a deep picture is coded at in each format that holds more than 8; any
#: other format gets it dithered to 8 bits.
DEEP_BITS = {"PNG": 16, "TIFF": 16, "JXL": 16, "AVIF": 10, "HEIF": 10}
# The largest DPI each format's field holds: JPEG's JFIF density is 16 bits; PNG stores
# pixels per metre in 32 bits, BMP in 31; TIFF a rational of 32-bit terms.
_MAX_DPI = {"JPEG": 65535.0, "PNG": 0xFFFFFFFF * 0.0254, "BMP": 0x7FFFFFFF * 0.0254, "TIFF": float(0xFFFFFFFF)}


def stores(fmt: str) -> Stores:
    return STORES.get(fmt, _OTHER)


@cache
def writable(everything: bool = True) -> dict[str, str]:
    """Every name this Pillow can write a format under (upper case, no dot) -> the format.

    With `everything` false, only the common formats Pillow registers first (BMP, GIF, JPEG,
    PNG, PPM) are looked at, which spares loading every plugin for an ordinary name.
    """
    return _formats.writable(common_only=not everything)


def storable_dpi(dpi: tuple[float, float] | None, fmt: str) -> tuple[float, float] | None:
    """The DPI as `fmt` can store it: None when unusable (not finite, not above 0, or past
    what the format's field holds), so the picture is written without it."""
    if dpi is None:
        return None
    x, y = float(dpi[0]), float(dpi[1])
    if not (math.isfinite(x) and math.isfinite(y)) or x <= 0 or y <= 0:
        return None
    top = _MAX_DPI.get(fmt, float(0xFFFFFFFF))
    return None if x > top or y > top else (x, y)


def extension(fmt: str) -> str:
    """The extension files of `fmt` get: .jpg for JPEG, .tif for TIFF, else Pillow's first."""
    if fmt in _EXTENSION:
        return _EXTENSION[fmt]
    for ext, known in Image.registered_extensions().items():
        if known == fmt:
            return ext
    return "." + fmt.lower()


#: The common formats by the names people type (upper case, no dot), each with the one module of
#: Pillow that writes it: such a name is looked up with that module alone loaded, not all of
#: Pillow's common readers and writers.
_COMMON_NAMES = {"PNG": ("PngImagePlugin", "PNG"), "APNG": ("PngImagePlugin", "PNG"),
                 "JPEG": ("JpegImagePlugin", "JPEG"), "JPG": ("JpegImagePlugin", "JPEG"),
                 "JPE": ("JpegImagePlugin", "JPEG"), "JFIF": ("JpegImagePlugin", "JPEG"),
                 "GIF": ("GifImagePlugin", "GIF"), "BMP": ("BmpImagePlugin", "BMP"),
                 "TIF": ("TiffImagePlugin", "TIFF"), "TIFF": ("TiffImagePlugin", "TIFF")}


def _common(key: str) -> str | None:
    """The format of a common name (see _COMMON_NAMES) once its writer is loaded, else None."""
    found = _COMMON_NAMES.get(key)
    if found is None:
        return None
    module, fmt = found
    importlib.import_module(f"PIL.{module}")  # a writer registers itself as it loads
    return fmt if _formats.writes(fmt) else None


def output_format(name: str) -> tuple[str, str]:
    """(Pillow's format name, file extension) for a name people type: "jpg", ".JPG", "jpeg",
    "JPEG" -> ("JPEG", ".jpg"); "tiff" -> ("TIFF", ".tif"). Case and a leading dot are ignored.

    An unknown name, or a format this Pillow cannot write, raises ValueError listing those it can.
    """
    key = name.strip().lstrip(".").upper()
    fmt = _common(key) or writable(everything=False).get(key) or writable().get(key)
    if fmt is None:
        can = ", ".join(sorted({extension(f).lstrip(".") for f in writable().values()}))
        raise ValueError(f"unknown format {name!r}; this Pillow can write: {can}")
    return fmt, extension(fmt)


def format_of_path(path: str) -> str | None:
    """The format a file name's extension stands for, if Pillow can write it."""
    ext = os.path.splitext(path)[1]
    if not ext:
        return None
    key = ext.lstrip(".").upper()
    return _common(key) or writable(everything=False).get(key) or writable().get(key)
