"""Picture formats beyond Pillow's own: HEIF/HEIC through framewick's libheif module, camera RAW
through its LibRaw module, JPEG XL through Debian's Pillow plugin.

`register()` makes them known to Pillow (`Image.open`, `save`, the extensions and MIME types),
for framewick's own way in and out and for plain Pillow users alike::

    from PIL import Image
    import framewick.formats

    framewick.formats.register()
    Image.open("IMG_0001.HEIC")

Each plugin is a module of this package with a `register()` function; one whose native module
or library is not installed fails to import and is skipped. `missing(prefix)` then names the
Debian packages that would read a file starting with `prefix`.
"""

from __future__ import annotations

import importlib
import threading
from typing import Any

__all__ = ["PLUGINS", "DecodeError", "NoPictureData", "is_heif", "is_jxl", "listing", "missing", "register", "registered", "writable"]

#: The plugin modules `register()` tries, in order.
PLUGINS = ("framewick.formats.heif", "framewick.formats.raw", "framewick.formats.jxl")

_lock = threading.Lock()


class DecodeError(OSError):
    """A file a plugin recognised as its format but could not decode; the text says why."""


class NoPictureData(OSError):
    """A file a plugin recognised as its format that holds no picture (its metadata only); the
    text says so after the file's name."""

_registered: tuple[str, ...] | None = None

# HEIF's ftyp brands for still pictures and sequences of HEVC (and the generic image brands).
HEIF_BRANDS = frozenset({b"heic", b"heix", b"heim", b"heis", b"hevc", b"hevx", b"mif1", b"msf1"})
_JXL_CODESTREAM = b"\xff\x0a"
_JXL_CONTAINER = b"\x00\x00\x00\x0cJXL \r\n\x87\n"


def is_heif(prefix: bytes) -> bool:
    """Whether `prefix` (a file's first 12 bytes or more) starts an ISO-BMFF file whose ftyp
    major brand is a HEIF one. An AVIF file (major brand avif, mif1 compatible) is not."""
    return len(prefix) >= 12 and prefix[4:8] == b"ftyp" and prefix[8:12] in HEIF_BRANDS


def is_jxl(prefix: bytes) -> bool:
    """Whether `prefix` starts a JPEG XL codestream or container."""
    return prefix.startswith(_JXL_CODESTREAM) or prefix.startswith(_JXL_CONTAINER)


def register() -> tuple[str, ...]:
    """Register every plugin that is installed with Pillow (once per process; later calls return
    at once). Returns the plugin modules registered."""
    global _registered
    if _registered is not None:
        return _registered
    with _lock:
        if _registered is None:
            done = []
            for name in PLUGINS:
                try:
                    module = importlib.import_module(name)
                except ImportError:
                    continue  # built or installed without it
                module.register()
                done.append(name)
            _registered = tuple(done)
    return _registered


def registered() -> tuple[str, ...]:
    """The plugin modules registered so far (none before `register()`)."""
    return _registered or ()


# What brings the reading of a format that no plugin read: (test, what it is, Debian packages).
_MISSING = (
    (is_heif, "a HEIF/HEIC picture",
     "libheif-dev, libheif-plugin-libde265 and libheif-plugin-x265 (then reinstall framewick)"),
    (is_jxl, "a JPEG XL picture", "python3-pillow-jpegxl-plugin"),
)


def missing(prefix: bytes) -> str | None:
    """For a file starting with `prefix` that Pillow could not identify: which known format it
    is and the Debian packages that read it ("a HEIF/HEIC picture; this build reads none:
    install ..."), or None when it is none of them."""
    for test, what, packages in _MISSING:
        if test(prefix):
            return f"{what}, and this framewick reads none: install the Debian packages {packages}"
    return None


# Names people type for a format, beyond Pillow's own names and its extensions.
ALIASES = {"JPG": "JPEG", "JPE": "JPEG", "JFIF": "JPEG", "TIF": "TIFF", "APNG": "PNG", "HEIC": "HEIF",
           "HIF": "HEIF", "JPEGXL": "JXL"}


def _can_write(fmt: str) -> bool:
    """Whether Pillow writes `fmt` (a stub format needs a handler installed first)."""
    import sys

    from PIL import Image, ImageFile

    save = Image.SAVE.get(fmt)
    if save is None:
        return False
    opener = Image.OPEN.get(fmt)
    if opener and isinstance(opener[0], type) and issubclass(opener[0], ImageFile.StubImageFile):
        return getattr(sys.modules.get(save.__module__), "_handler", None) is not None
    return True


def writable() -> dict[str, str]:
    """Every name a format can be written under (upper case, no dot: format names, extensions and
    the usual aliases) -> Pillow's format name, for this Pillow with the plugins registered."""
    from PIL import Image

    register()
    Image.init()
    names: dict[str, str] = {}
    for fmt in Image.SAVE:
        if _can_write(fmt):
            names[fmt.upper()] = fmt
    for ext, fmt in Image.registered_extensions().items():
        if fmt in names.values():
            names.setdefault(ext.lstrip(".").upper(), fmt)
    for alias, fmt in ALIASES.items():
        if fmt in names.values():
            names.setdefault(alias, fmt)
    return names


def listing() -> list[dict[str, Any]]:
    """What this build reads and writes: one entry per format Pillow knows, with the plugins
    registered: name, description, extensions, MIME type, read, write, and who provides it."""
    from PIL import Image

    register()
    Image.init()
    can_write = set(writable().values())
    extensions: dict[str, list[str]] = {}
    for ext, fmt in Image.registered_extensions().items():
        extensions.setdefault(fmt, []).append(ext)
    rows = []
    for fmt in sorted(set(Image.OPEN) | set(Image.SAVE)):
        opener = Image.OPEN.get(fmt)
        module = (opener[0].__module__ if opener else Image.SAVE[fmt].__module__) or ""
        rows.append({
            "format": fmt,
            "description": getattr(opener[0], "format_description", None) if opener else None,
            "extensions": sorted(extensions.get(fmt, [])),
            "mime": Image.MIME.get(fmt),
            "read": opener is not None and _reads(opener[0]),
            "write": fmt in can_write,
            "provider": _provider(module),
        })
    return rows


def _reads(cls: Any) -> bool:
    import sys

    from PIL import ImageFile

    if isinstance(cls, type) and issubclass(cls, ImageFile.StubImageFile):
        return getattr(sys.modules.get(cls.__module__), "_handler", None) is not None
    return True


def _provider(module: str) -> str:
    if module.startswith("framewick.formats."):
        plugin = importlib.import_module(module)
        return str(getattr(plugin, "PROVIDER", "framewick"))
    if module.startswith("PIL."):
        return "Pillow"
    return module.split(".")[0]
