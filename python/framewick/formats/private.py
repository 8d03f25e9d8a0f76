"""Every part of another library framewick uses that the library does not offer publicly, with
the reason, so that an upgrade which moves one fails one clear test (tests/test_formats.py).

Pillow's documented plugin interface (`ImageFile.ImageFile` subclasses setting `_size` and
`_mode` in `_open`, `ImageFile.PyDecoder`, `Image.register_open`, `Image.register_decoder`) is
public despite its underscores, and is not listed. LibRaw's entries are C++ in
codecs/raw/raw.cpp; they are checked through the one LibRaw release the build accepts.
"""

from __future__ import annotations

import argparse
import importlib
from collections.abc import Callable
from dataclasses import dataclass

__all__ = ["PRIVATE", "Private", "blank_picture", "decode_through", "jpeg_eighths", "libtiff_rawmode", "reader_order",
           "saves", "tiff_interleaved", "try_before"]


@dataclass(frozen=True)
class Private:
    """One private interface in use: whose, what, where framewick uses it, and why."""

    library: str
    name: str
    used_in: str
    reason: str
    #: Whether the installed library still has it (None: the library is not installed).
    present: Callable[[], bool | None]


def _attribute(module: str, name: str, kind: type) -> Callable[[], bool | None]:
    def present() -> bool | None:
        return isinstance(getattr(importlib.import_module(module), name, None), kind)
    return present


def _libraw_pinned() -> bool | None:
    """Whether the LibRaw running is the release raw.cpp was written against. A module built
    for another one refuses to import (ImportError, raised on here): that must fail loudly."""
    try:
        from framewick.formats import _raw
    except ModuleNotFoundError:
        return None  # built without LibRaw
    running = tuple(int(part) for part in _raw.LIBRAW_VERSION.split(".")[:2])
    return running == tuple(_raw.LIBRAW_PINNED)


def _argparse_actions() -> bool:
    return isinstance(getattr(argparse.ArgumentParser(add_help=False), "_actions", None), list)


def _tiff_planar_recorded() -> bool:
    """Whether TiffImagePlugin still records the planar configuration as `_planar_configuration`."""
    import io

    from PIL import Image

    out = io.BytesIO()
    Image.new("RGB", (1, 1)).save(out, "TIFF")
    out.seek(0)
    return isinstance(getattr(Image.open(out), "_planar_configuration", None), int)


def reader_order() -> list[str]:
    """The formats in the order `Image.open` tries their readers (Pillow's `Image.ID`)."""
    from PIL import Image

    return list(Image.ID)


def extensions_so_far() -> dict[str, str]:
    """The extensions the readers and writers loaded so far registered -> their formats (Pillow's
    `Image.EXTENSION`), without loading every plugin as `Image.registered_extensions()` does."""
    from PIL import Image

    return dict(Image.EXTENSION)


def saves(fmt: str) -> bool:
    """Whether a writer of `fmt` is registered so far (Pillow's `Image.SAVE`)."""
    from PIL import Image

    return fmt in Image.SAVE


def try_before(fmt: str, other: str) -> None:
    """Make `Image.open` try `fmt`'s reader before `other`'s, for every file any code in the
    process opens (Pillow's `Image.ID`); nothing when either is not registered."""
    from PIL import Image

    if fmt in Image.ID and other in Image.ID and Image.ID.index(fmt) > Image.ID.index(other):
        Image.ID.remove(fmt)
        Image.ID.insert(Image.ID.index(other), fmt)


def tiff_interleaved(picture: object) -> bool:
    """Whether an opened TIFF holds its samples interleaved, one pixel after another (Pillow's
    TIFF reader records the file's PlanarConfiguration as `_planar_configuration`)."""
    return getattr(picture, "_planar_configuration", 1) == 1


def libtiff_rawmode(picture: object) -> str | None:
    """The raw mode ("RGB;16N", ...) of a TIFF Pillow's reader opened to decode through libtiff in
    one tile, its samples interleaved; None for any other reading."""
    tiles = getattr(picture, "tile", None)
    if not getattr(picture, "use_load_libtiff", False) or not tiles or len(tiles) != 1 or tiles[0][0] != "libtiff" \
            or not tiff_interleaved(picture):
        return None
    args = tiles[0][3]
    return args[0] if isinstance(args, tuple) and args and isinstance(args[0], str) else None


#: Pictures of fewer pixels than this are made as Pillow makes them: their pages are few.
FRESH_PIXELS = 1 << 18


def blank_picture(mode: str, size: tuple[int, int], at_once: bool = False) -> object:
    """A core picture (what `ImageFile.PyDecoder.setimage` fills) of `mode` and `size`, not
    cleared, to be written whole. A large one is held in one block whose pages the kernel hands
    out in huge pages as its rows come, or all at once `at_once` (it is written whole next),
    rather than one fault per page (formats._pages)."""
    from PIL import Image

    if size[0] * size[1] < FRESH_PIXELS:
        return Image.core.new(mode, size)
    try:
        from framewick.formats import _pages
    except ImportError:
        return Image.core.new(mode, size)
    new_block = getattr(Image.core, "new_block", None)
    picture = new_block(mode, size) if new_block is not None else Image.core.new(mode, size)
    _pages.fresh(picture, at_once)
    return picture


def give_blank_picture(image_file: object) -> None:
    """Give an opened picture that has no picture of its own yet a `blank_picture` of its mode
    and size, for its decoder to fill (formats.rows.Fresh)."""
    if getattr(image_file, "_im", None) is None:
        image_file.im = blank_picture(image_file.mode, image_file.size)  # type: ignore[attr-defined]


def decode_through(picture: object, decoder: str, offset: int, args: tuple[object, ...],
                   filled: object | None = None) -> None:
    """Have `picture`, opened by one of Pillow's readers and not yet decoded, take its pixels from
    the registered `decoder` instead: its one tile replaced, the TIFF reader's libtiff path off.
    `filled`, a `blank_picture` of the picture's mode and size, becomes the picture's own: one
    already holding its pixels (for a decoder that has nothing left to do), or one the decoder
    fills."""
    if getattr(picture, "use_load_libtiff", False):
        picture.use_load_libtiff = False  # type: ignore[attr-defined]
    if filled is not None:
        picture.im = filled  # type: ignore[attr-defined]
    picture.tile = [(decoder, (0, 0) + tuple(picture.size), offset, args)]  # type: ignore[attr-defined]


def _blank_picture_kept() -> bool:
    """Whether a blank core picture handed to an opened picture is the one it decodes into and keeps."""
    import io

    from PIL import Image, ImageFile

    class Nothing(ImageFile.PyDecoder):
        def decode(self, buffer: bytes | Image.SupportsArrayInterface) -> tuple[int, int]:
            return -1, 0

    out = io.BytesIO()
    size = (512, FRESH_PIXELS // 512)  # large enough to be made in one block
    Image.new("RGB", size, (9, 8, 7)).save(out, "PNG")
    out.seek(0)
    picture = Image.open(out)
    filled = blank_picture("RGB", size)
    decoder = ImageFile.PyDecoder("RGB")
    decoder.setimage(filled, (0, 0, 3, 2))
    decoder.set_as_raw(bytes((200, 40, 90)) * 6, "RGB")
    Image.register_decoder("framewick_check_nothing", Nothing)
    decode_through(picture, "framewick_check_nothing", 0, (), filled)
    picture.load()
    return picture.getpixel((2, 1)) == (200, 40, 90)


#: libjpeg's scale denominator (its numerator is 1) for each size in eighths it decodes at: it
#: takes the least k/8 at least 1/denominator.
_JPEG_DENOMINATORS = {1: 8, 2: 4, 3: 3, 4: 2, 8: 1}


def jpeg_eighths(picture: object, eighths: int) -> bool:
    """Have a JPEG that Pillow's reader opened and has not decoded decode at `eighths`/8 of its
    sides (1, 2, 3, 4 or 8), rounded up as libjpeg rounds them: its one tile and its size set to
    that, `decoderconfig` asking libjpeg for it. Pillow's draft asks only for halvings; libjpeg
    also decodes at 3/8 (a smaller inverse DCT of each block). False, and nothing changed, for
    a picture already drafted, of several tiles, or with a libjpeg that is not libjpeg-turbo
    (whose rounding of the sides this follows; a decoder giving other sides would overrun)."""
    from PIL import ImageFile, features

    denominator = _JPEG_DENOMINATORS.get(eighths)
    tiles = getattr(picture, "tile", None)
    if (denominator is None or getattr(picture, "format", None) != "JPEG" or getattr(picture, "decoderconfig", None)
            or not isinstance(tiles, list) or len(tiles) != 1 or not features.check_feature("libjpeg_turbo")):
        return False
    codec, extents, offset, args = tiles[0]
    width, height = picture.size  # type: ignore[attr-defined]
    if codec != "jpeg" or tuple(extents or ()) != (0, 0, width, height):
        return False
    size = (-(-width * eighths // 8), -(-height * eighths // 8))
    picture.tile = [ImageFile._Tile(codec, (0, 0) + size, offset, args)]  # type: ignore[attr-defined]
    picture._size = size  # type: ignore[attr-defined]
    picture.decoderconfig = (denominator, 0)  # type: ignore[attr-defined]
    return True


def _jpeg_eighths_decode() -> bool:
    """Whether a JPEG of odd sides decodes at 3/8 as `jpeg_eighths` sets it up, to the sides it
    says and the pixels of the whole picture scaled."""
    import io

    from PIL import Image

    out = io.BytesIO()
    Image.new("RGB", (21, 13), (200, 40, 90)).save(out, "JPEG", quality=95)
    out.seek(0)
    picture = Image.open(out)
    if not jpeg_eighths(picture, 3):
        return False
    picture.load()
    return picture.size == (8, 5) and all(abs(a - b) <= 3 for a, b in zip(picture.getpixel((4, 2)), (200, 40, 90)))


PRIVATE: tuple[Private, ...] = (
    Private("Pillow", "PIL.Image.ID", "formats.private.reader_order and try_before (for formats.open_image "
            "and formats.raw.put_ahead_of_tiff)",
            "the order in which Image.open tries its readers: followed by framewick's own open (which "
            "leaves the size check to the call's own limit), and changed by register() only",
            _attribute("PIL.Image", "ID", list)),
    Private("Pillow", "PIL.Image.OPEN", "formats.open_image, formats.listing",
            "the readers register_open recorded: Pillow has no public call that finds a file's reader "
            "without applying its process-wide pixel limit",
            _attribute("PIL.Image", "OPEN", dict)),
    Private("Pillow", "PIL.Image.SAVE", "formats.writable, formats.listing, formats.private.saves (for formats.writes)",
            "the writers register_save recorded: what this Pillow writes", _attribute("PIL.Image", "SAVE", dict)),
    Private("Pillow", "PIL.Image.EXTENSION", "formats.private.extensions_so_far (for formats.writable)",
            "the extensions the common writers registered, read without Image.registered_extensions(), "
            "which loads every plugin first: a command writing a PNG or a JPEG need not load them",
            _attribute("PIL.Image", "EXTENSION", dict)),
    Private("Pillow", "PIL.Image.MIME", "formats.listing", "the MIME type of each format, for `framewick formats`",
            _attribute("PIL.Image", "MIME", dict)),
    Private("Pillow", "PIL.TiffImagePlugin.TiffImageFile._planar_configuration",
            "formats.private.tiff_interleaved (for photo.deepread.decode_from)",
            "whether a 16-bit TIFF's 8-bit picture can be the high bytes of its deep pixels: Pillow "
            "says nothing public of a TIFF's sample layout", _tiff_planar_recorded),
    Private("Pillow", "ImageFile.tile and TiffImageFile.use_load_libtiff of a picture another reader opened",
            "formats.private.decode_through (for photo.deepread.decode_from)",
            "a 16-bit PNG or TIFF read at depth gives its 8-bit picture from those pixels instead of "
            "decoding the file twice; Pillow has no public call to hand an opened picture its pixels",
            _attribute("PIL.TiffImagePlugin", "READ_LIBTIFF", bool)),
    Private("Pillow", "Image.core.new, Image.core.new_block, Image.im and ImageFile._im (none yet) of an opened "
            "picture",
            "formats.private.blank_picture and decode_through(filled=) (for photo.deepread: a 16-bit TIFF's "
            "8-bit picture filled band by band as the native reader decodes its strips; a 16-bit PNG's "
            "8-bit picture); formats.private.give_blank_picture for formats.rows.Fresh (the pictures LibRaw and "
            "libheif fill row by row)",
            "the 8-bit picture made in the same pass as the deep pixels, without a second pass over them; "
            "Pillow has no public call to hand an opened picture pixels it already holds. A large one is "
            "made in one block, whose pages are asked of the kernel at once through the block's Arrow "
            "export (a picture held in several blocks shows none)",
            _blank_picture_kept),
    Private("Pillow", "JpegImageFile.decoderconfig, ImageFile.tile and _size of an opened JPEG, and ImageFile._Tile",
            "formats.private.jpeg_eighths (for photo.reading's shrink-on-load)",
            "a JPEG decoded at 3/8 of its sides, between the halvings Pillow's draft offers: Pillow passes "
            "decoderconfig on to libjpeg's scale but has no public call that asks for 3/8",
            _jpeg_eighths_decode),
    Private("LibRaw", "LibRaw::free (protected)", "codecs/raw/raw.cpp Inside::release_raw_data",
            "the unpacked mosaic goes back through LibRaw's tracked allocator once developed, taking two bytes "
            "a photosite off the peak", _libraw_pinned),
    Private("LibRaw", "LibRaw::gamma_curve (protected)", "codecs/raw/raw.cpp Inside::make_output_curve",
            "the output curve exactly as LibRaw's own writers make it, for rows streamed from the working "
            "picture", _libraw_pinned),
    Private("LibRaw", "libraw_internal_data_t (get_internal_data_pointer)", "codecs/raw/raw.cpp",
            "the histogram and Fuji width behind that curve, and where the raw data starts (a file stripped "
            "to its metadata); the pointer is public, the layout is LibRaw's own", _libraw_pinned),
    Private("argparse", "ArgumentParser._actions", "cli.completion",
            "the options of every command, for shell completion", _argparse_actions),
)
