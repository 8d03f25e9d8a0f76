"""Picture formats beyond Pillow's own: HEIF/HEIC through framewick's libheif module, camera RAW
through its LibRaw module, JPEG XL through Debian's Pillow plugin.

`install()` makes them known to Pillow (`Image.open`, `save`, the extensions and MIME types)
the way any Pillow plugin is, after Pillow's own: importing framewick does that much, and
Pillow's TIFF reader still takes every TIFF-based file that code elsewhere in the process opens.
framewick's own way in (`open_image`) recognises a camera RAW file by its content and gives it
to the RAW reader itself. Plain Pillow users who want the same from `Image.open` call
`register()`::

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
import struct
import threading
from typing import IO, Any

from framewick.formats import private

__all__ = ["PLUGINS", "DecodeError", "NoPictureData", "install", "is_heif", "is_jxl", "listing", "missing", "open_image",
           "register", "registered", "writable", "writes"]

#: The plugin modules `install()` tries, in order.
PLUGINS = ("framewick.formats.heif", "framewick.formats.raw", "framewick.formats.jxl")

_lock = threading.Lock()


class DecodeError(OSError):
    """A file a plugin recognised as its format but could not decode; the text says why."""


class NoPictureData(OSError):
    """A file a plugin recognised as its format that holds no picture (its metadata only); the
    text says so after the file's name."""

_registered: tuple[str, ...] | None = None
_raw_first = False

# HEIF's ftyp brands for still pictures and sequences of HEVC (and the generic image brands).
HEIF_BRANDS = frozenset({b"heic", b"heix", b"heim", b"heis", b"hevc", b"hevx", b"mif1", b"msf1"})
# Camera RAW files: TIFF-based ones (DNG, NEF, CR2, ARW, ...) and the magic numbers, at their
# offsets, of those that are not TIFF files.
_TIFF = (b"II*\x00", b"MM\x00*")
_RAW_MAGIC = ((0, b"IIRO"), (0, b"IIRS"), (0, b"MMOR"), (0, b"IIU\x00"), (0, b"FUJIFILM"), (0, b"\x00MRM"),
              (0, b"FOVb"), (0, b"IIII"), (0, b"MMMM"), (0, b"NOKIARAW"), (0, b"ARRI"), (6, b"HEAPCCDR"),
              (4, b"ftypcrx "))
_JXL_CODESTREAM = b"\xff\x0a"
_JXL_CONTAINER = b"\x00\x00\x00\x0cJXL \r\n\x87\n"


def is_heif(prefix: bytes) -> bool:
    """Whether `prefix` (a file's first 12 bytes or more) starts an ISO-BMFF file whose ftyp
    major brand is a HEIF one. An AVIF file (major brand avif, mif1 compatible) is not."""
    return len(prefix) >= 12 and prefix[4:8] == b"ftyp" and prefix[8:12] in HEIF_BRANDS


def is_jxl(prefix: bytes) -> bool:
    """Whether `prefix` starts a JPEG XL codestream or container."""
    return prefix.startswith(_JXL_CODESTREAM) or prefix.startswith(_JXL_CONTAINER)


def may_be_raw(prefix: bytes) -> bool:
    """Whether the RAW reader would look at a file starting with `prefix`: any TIFF file, or a
    RAW format's magic number (the reader itself tells a plain TIFF from a RAW one)."""
    return prefix[:4] in _TIFF or any(prefix[at:at + len(magic)] == magic for at, magic in _RAW_MAGIC)


def _claimed(prefix: bytes) -> bool:
    """Whether a file starting with `prefix` may be one of the plugins' formats."""
    return is_heif(prefix) or is_jxl(prefix) or may_be_raw(prefix)


def install() -> tuple[str, ...]:
    """Make every plugin that is installed known to Pillow, each where Pillow puts a plugin it
    is given (once per process; later calls return at once). Returns the plugin modules
    registered. Pillow's own readers keep their place: a TIFF-based RAW file (DNG, NEF, CR2, ...)
    opened by `Image.open` elsewhere in the process is still Pillow's TIFF."""
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


def register() -> tuple[str, ...]:
    """`install()`, and the RAW reader put ahead of Pillow's TIFF reader, for plain Pillow users:
    from then on `Image.open` of a TIFF-based RAW file, by any code in the process, develops it
    (never its small embedded preview); a plain TIFF is still Pillow's. Returns the plugin modules
    registered."""
    global _raw_first
    done = install()
    if not _raw_first and "framewick.formats.raw" in done:
        from framewick.formats import raw

        with _lock:
            raw.put_ahead_of_tiff()
            _raw_first = True
    return done


#: What Image.open catches from a plugin that does not take a file, and goes on to the next.
_NOT_MINE = (SyntaxError, IndexError, TypeError, struct.error)


def open_image(fp: IO[bytes]) -> Any:
    """Open the picture in `fp` (a seekable binary file, read from its start) as `Image.open`
    finds its reader, by content, with the plugins installed; a camera RAW file goes to the RAW
    reader before Pillow's TIFF reader sees it. Only the header is read, and no pixel limit is
    applied here: the caller compares the size with its own limit before loading, so one call's
    limit never depends on, or changes, Pillow's process-wide setting. UnidentifiedImageError
    when no reader takes the file; other errors of a reader that took it come through."""
    from PIL import Image, UnidentifiedImageError

    fp.seek(0)
    prefix = fp.read(16)
    tried: set[str] = set()
    if not _claimed(prefix):
        # A file no plugin would look at (a PNG, a JPEG, ...) is read by Pillow's common readers
        # without loading the plugins, nor Pillow's other readers unless these refuse it; the
        # one common reader its first bytes name is loaded alone first.
        common = _common_reader(prefix)
        if common is not None:
            importlib.import_module(f"PIL.{common[0]}")  # a reader registers itself as it loads
            found = _try(fp, prefix, [common[1]], tried)
            if found is not None:
                return found
        Image.preinit()
        found = _try(fp, prefix, private.reader_order(), tried)
        if found is not None:
            return found
    found_plugins = install()
    raw = importlib.import_module("framewick.formats.raw") if "framewick.formats.raw" in found_plugins else None
    if raw is not None and raw.FORMAT in Image.OPEN:  # before any of Pillow's readers is loaded
        found = _try(fp, prefix, [raw.FORMAT], tried)
        if found is not None:
            return found
    for loader in (Image.preinit, Image.init):  # the common readers first, as Image.open does
        loader()
        found = _try(fp, prefix, private.reader_order(), tried)
        if found is not None:
            return found
    raise UnidentifiedImageError(f"cannot identify image file {fp!r}")


#: Pillow's common readers (those `Image.preinit` loads) by the bytes their files begin with:
#: (magic, reader module, format). No other common reader takes a file that begins so.
_COMMON = ((b"\x89PNG\r\n\x1a\n", "PngImagePlugin", "PNG"), (b"\xff\xd8\xff", "JpegImagePlugin", "JPEG"),
           (b"GIF87a", "GifImagePlugin", "GIF"), (b"GIF89a", "GifImagePlugin", "GIF"),
           (b"BM", "BmpImagePlugin", "BMP"))


def _common_reader(prefix: bytes) -> tuple[str, str] | None:
    """(reader module, format) of the common reader for a file starting with `prefix`, if any."""
    return next(((module, fmt) for magic, module, fmt in _COMMON if prefix.startswith(magic)), None)


def _try(fp: IO[bytes], prefix: bytes, formats: list[str], tried: set[str]) -> Any:
    """The picture of the first of `formats` not yet tried whose reader takes `fp`, or None."""
    from PIL import Image

    for fmt in formats:
        if fmt in tried or fmt not in Image.OPEN:
            continue
        tried.add(fmt)
        factory, accept = Image.OPEN[fmt]
        taken = True if accept is None else accept(prefix)
        if not taken or isinstance(taken, str):  # a text: recognised, but not read here
            continue
        fp.seek(0)
        try:
            return factory(fp, "")
        except _NOT_MINE:
            continue
    return None


def registered() -> tuple[str, ...]:
    """The plugin modules registered so far (none before `install()` or `register()`)."""
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
    """Whether Pillow writes `fmt`: a stub format (BUFR, GRIB, HDF5, WMF) writes only once a
    handler is installed, which Pillow answers only by trying: a one-pixel picture is saved into
    memory."""
    import io

    from PIL import Image

    save = Image.SAVE.get(fmt)
    if save is None:
        return False
    if not _is_stub(fmt):
        return True
    try:
        Image.new("RGB", (1, 1)).save(io.BytesIO(), format=fmt)
    except Exception:  # no handler ("... save handler not installed"), or one that refuses
        return False
    return True


def writes(fmt: str) -> bool:
    """Whether a writer of `fmt` is loaded and writes (see `_can_write`)."""
    return private.saves(fmt) and _can_write(fmt)


def _is_stub(fmt: str) -> bool:
    """Whether Pillow's reader of `fmt` only identifies files, leaving them to a handler."""
    from PIL import Image, ImageFile

    opener = Image.OPEN.get(fmt)
    return bool(opener) and isinstance(opener[0], type) and issubclass(opener[0], ImageFile.StubImageFile)


def writable(common_only: bool = False) -> dict[str, str]:
    """Every name a format can be written under (upper case, no dot: format names, extensions and
    the usual aliases) -> Pillow's format name, for this Pillow with the plugins registered.

    With `common_only`, only the formats Pillow registers first (BMP, GIF, JPEG, PNG, PPM) are
    looked at, which spares loading every plugin for an ordinary name.
    """
    from PIL import Image

    if common_only:
        Image.preinit()
    else:
        install()
        Image.init()
    names: dict[str, str] = {}
    for fmt in Image.SAVE:
        if _can_write(fmt):
            names[fmt.upper()] = fmt
    # registered_extensions() would load every plugin; the common ones' are registered already.
    extensions = private.extensions_so_far() if common_only else Image.registered_extensions()
    for ext, fmt in extensions.items():
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

    install()
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
            "read": opener is not None and _reads(fmt, can_write),
            "write": fmt in can_write,
            "provider": _provider(module),
        })
    return rows


def _reads(fmt: str, can_write: set[str]) -> bool:
    """Whether Pillow reads `fmt`: a stub format reads through the handler it writes through
    (Pillow offers no way to ask without a file of that format)."""
    return not _is_stub(fmt) or fmt in can_write


def _provider(module: str) -> str:
    if module.startswith("framewick.formats."):
        plugin = importlib.import_module(module)
        return str(getattr(plugin, "PROVIDER", "framewick"))
    if module.startswith("PIL."):
        return "Pillow"
    return module.split(".")[0]
