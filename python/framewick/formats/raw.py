"""Camera RAW files (DNG, CR2, CR3, NEF, ARW, RAF, ORF, RW2 and the rest LibRaw reads) as a
Pillow plugin, developed by LibRaw through the native module `framewick.formats._raw`.

Files are found by content. framewick's own open (and `Image.open` after
`framewick.formats.register()`) gives a TIFF-based RAW file (DNG, NEF, CR2, ARW, ...) to this
plugin before Pillow's TIFF plugin sees it, so it is never opened as its small embedded preview;
a plain TIFF is left to Pillow: a TIFF file is taken only when it is a DNG, or when LibRaw finds a colour
mosaic in it from a camera maker it knows (NEF, CR2, ARW, PEF, ...). A TIFF file LibRaw cannot
open at all, a damaged DNG among them, is Pillow's to refuse.

Opening only parses the file: the picture's size is the developed one (after LibRaw's turn by
the raw's orientation), so a pixel limit is applied before anything large is allocated.
Developing happens on `load()`: the camera's as-shot white balance, LibRaw's demosaicing, sRGB
primaries and the sRGB curve, highlights clipped, 8-bit RGB. Before loading, `configure()`
chooses half-size development, the embedded preview, or automatic white balance, and `draft()`
(as for a JPEG) takes half-size development when the requested size allows it. `use_preview()`
shows the embedded preview instead, when it is the same picture and at least a target's size.

The shooting data (make, model, lens, ISO, shutter, aperture, focal length, capture time, GPS)
become an EXIF block in `info["exif"]`, with no orientation tag (the pixels are upright); the
picture carries an sRGB profile in `info["icc_profile"]`.
"""

from __future__ import annotations

import io
import os
import sys
import time
from collections.abc import Callable, Iterable
from fractions import Fraction
from functools import cache
from typing import IO, Any

from PIL import Image, ImageFile, TiffImagePlugin

try:
    from framewick.formats import _raw
except ImportError:  # built without LibRaw
    _raw = None  # type: ignore[assignment]

from framewick.formats import _TIFF, NoPictureData, may_be_raw, private, rows
from framewick.formats.previews import letterboxed, same_aspect

FORMAT = "RAW"
MISSING = "camera RAW files need LibRaw: install the Debian package libraw-dev and rebuild framewick"
# What people may ask of a RAW file's development (FrameWick.open(raw=...), --raw).
OPTIONS = ("half", "preview", "auto-wb")
EXTENSIONS = (".dng", ".cr2", ".cr3", ".crw", ".nef", ".nrw", ".arw", ".sr2", ".srf", ".raf", ".orf", ".rw2",
              ".rwl", ".pef", ".srw", ".3fr", ".fff", ".iiq", ".erf", ".mrw", ".x3f", ".dcr", ".kdc", ".mef",
              ".mos", ".raw", ".gpr")

# A Canon CR2 is a TIFF file marked as one after its header; no plain TIFF carries the mark.
_CR2 = (8, b"CR\x02\x00")
EMPTY = "holds no picture data that can be developed (a camera RAW file with its metadata only)"

# LibRaw's `flip` as the EXIF orientation it stands for, and the turn that makes a picture upright.
_FLIP_TO_ORIENTATION = {0: 1, 1: 2, 3: 3, 2: 4, 4: 5, 6: 6, 7: 7, 5: 8}
_UPRIGHT = {2: Image.Transpose.FLIP_LEFT_RIGHT, 3: Image.Transpose.ROTATE_180, 4: Image.Transpose.FLIP_TOP_BOTTOM,
            5: Image.Transpose.TRANSPOSE, 6: Image.Transpose.ROTATE_270, 7: Image.Transpose.TRANSVERSE,
            8: Image.Transpose.ROTATE_90}


def options(value: str | Iterable[str] | None) -> frozenset[str]:
    """The development options asked for: "half,auto-wb" or ("half", "auto-wb"); ValueError for
    one not in OPTIONS (auto_wb is taken for auto-wb)."""
    if value is None:
        return frozenset()
    names = value.split(",") if isinstance(value, str) else list(value)
    out = set()
    for name in names:
        key = str(name).strip().lower().replace("_", "-")
        if not key:
            continue
        if key not in OPTIONS:
            raise ValueError(f"unknown RAW option {name!r}; the options are {', '.join(OPTIONS)}")
        out.add(key)
    if {"half", "preview"} <= out:
        raise ValueError("RAW options 'half' and 'preview' exclude each other")
    return frozenset(out)


def _accept(prefix: bytes) -> bool:
    return may_be_raw(prefix)


@cache
def _srgb_profile() -> bytes:
    from PIL import ImageCms

    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


def _rational(value: float) -> TiffImagePlugin.IFDRational:
    fraction = Fraction(value).limit_denominator(100000)
    return TiffImagePlugin.IFDRational(fraction.numerator, fraction.denominator)


def exif_block(found: dict[str, Any]) -> bytes:
    """The EXIF block (as a JPEG carries it) for what LibRaw found in the file."""
    exif = Image.Exif()
    for tag, key in ((0x010F, "make"), (0x0110, "model"), (0x013B, "artist"), (0x010E, "description")):
        if key in found:
            exif[tag] = found[key]
    shot = exif.get_ifd(0x8769)
    if "timestamp" in found:
        # LibRaw reads the capture time as local time (mktime): turned back the same way.
        when = time.strftime("%Y:%m:%d %H:%M:%S", time.localtime(found["timestamp"]))
        exif[0x0132] = when
        shot[0x9003] = shot[0x9004] = when
    if "shutter" in found:
        shot[0x829A] = _rational(found["shutter"])
    if "aperture" in found:
        shot[0x829D] = _rational(found["aperture"])
    if "iso" in found:
        shot[0x8827] = int(round(found["iso"]))
    if "focal_length" in found:
        shot[0x920A] = _rational(found["focal_length"])
    if "lens" in found:
        shot[0xA434] = found["lens"]
    gps = found.get("gps")
    if gps:
        where = exif.get_ifd(0x8825)
        where[0] = b"\x02\x03\x00\x00"
        if gps.get("latitude_ref"):
            where[1] = gps["latitude_ref"]
            where[2] = tuple(_rational(v) for v in gps["latitude"])
        if gps.get("longitude_ref"):
            where[3] = gps["longitude_ref"]
            where[4] = tuple(_rational(v) for v in gps["longitude"])
        where[5] = bytes([gps.get("altitude_ref", 0)])
        where[6] = _rational(gps["altitude"])
    return exif.tobytes()


def _holds_data(found: dict[str, Any]) -> bool:
    """Whether the raw data LibRaw found lies in the file: a TIFF-based file stripped of it names
    none (offset 0, the file's own header) or one past its end."""
    offset, size = found.get("data_offset", -1), found.get("file_size", -1)
    if offset < 0 or size < 0:
        return True  # not known: LibRaw's own reading decides
    return 0 < offset < size


def _source(fp: IO[bytes]) -> str | bytes:
    """What LibRaw opens: the file by its path when `fp` is a regular file (LibRaw then reads
    only what it needs), else every byte of the stream."""
    name = getattr(fp, "name", None)
    if isinstance(name, (str, bytes)) and hasattr(fp, "fileno"):
        try:
            if os.path.isfile(name) and os.path.samestat(os.fstat(fp.fileno()), os.stat(name)):
                return os.fsdecode(name)
        except (OSError, ValueError):
            pass
    fp.seek(0)
    return fp.read()


class RawImageFile(rows.Fresh, ImageFile.ImageFile):
    format = FORMAT
    format_description = "Camera RAW"

    def _open(self) -> None:
        prefix = self.fp.read(16)
        tiff = prefix[:4] in _TIFF
        # A CR2 is a camera RAW file whatever LibRaw finds in it: never Pillow's to open as a
        # TIFF (its first picture is the camera's preview, or, with the data stripped, nothing).
        cr2 = tiff and prefix[_CR2[0]:_CR2[0] + len(_CR2[1])] == _CR2[1]
        if _raw is None:
            if tiff and not cr2:
                raise SyntaxError("not a camera RAW file")  # Pillow's TIFF plugin decides
            raise OSError(MISSING)
        try:
            raw = _raw.Raw(_source(self.fp))
        except _raw.RawError as error:
            if cr2 and error.code == _raw.FILE_UNSUPPORTED:
                raise NoPictureData(EMPTY) from None
            if (tiff and not cr2) or error.code == _raw.FILE_UNSUPPORTED:
                raise SyntaxError(str(error)) from None
            raise OSError(f"damaged camera RAW file: {error}") from None
        found = raw.info()
        mosaic = found["filters"] and found["maker_index"]
        if tiff and not found["dng_version"] and (cr2 or mosaic) and not _holds_data(found):
            raw.close()
            raise NoPictureData(EMPTY)
        if tiff and not (found["dng_version"] or mosaic):
            raw.close()
            if cr2:
                raise NoPictureData(EMPTY)
            raise SyntaxError("a TIFF, not a camera RAW file")
        self._raw = raw
        self.raw_info = found
        self.raw_options: frozenset[str] = frozenset()
        self._flip = True
        self._shown: Image.Image | None = None  # the embedded preview, when that is what is shown
        #: 16: develop at 16 bits per channel and keep them as `deep_pixels` (set before loading).
        self.develop_bits = 8
        self.deep_pixels: Any = None
        #: True: develop at 8 bits and keep LibRaw's developed picture, whose 16-bit values
        #: `deep_reader()` reads out when they are first needed (set before loading).
        self.deep_later = False
        self._kept: Any = None
        self._eight_from: Any = None  # `develop_deep`'s samples, whose top bytes the picture's rows are
        self.format_description = " ".join(filter(None, ("Camera RAW", found.get("make"), found.get("model"))))
        self._mode = "RGB"
        self._size = self._developed_size(half=False)
        self.info["exif"] = exif_block(found)
        self.info["icc_profile"] = _srgb_profile()
        self.tile = [rows.tile(self.size, None)]

    def _developed_size(self, *, half: bool) -> tuple[int, int]:
        found = self.raw_info
        width, height = (found["half_width"], found["half_height"]) if half else (found["width"], found["height"])
        aspect = found["pixel_aspect"]
        if aspect and aspect != 1:  # LibRaw stretches non-square pixels square
            if aspect < 1:
                height = int(height / aspect + 0.5)
            else:
                width = int(width * aspect + 0.5)
        return (height, width) if self._flip and found["flip"] & 4 else (width, height)

    def configure(self, opts: str | Iterable[str] | None = None, *, orient: bool = True) -> None:
        """Choose how `load()` develops the picture: `opts` as `options()` takes them; `orient`
        false keeps the sensor's orientation. Sets the size (and mode) the picture will have: the
        embedded preview, when chosen, is read now, since only it knows its size for sure."""
        chosen = options(opts)
        if self._raw is None:
            raise ValueError("the RAW picture is already developed")
        if "preview" in chosen and self.raw_info.get("preview") is None:
            raise OSError("the RAW file holds no preview")
        self.raw_options = chosen
        self._flip = orient
        shown = None
        if "preview" in chosen:
            try:
                shown = self._preview(self._raw)
            except _raw.RawError as error:
                raise OSError(str(error)) from None
        self._show(shown)

    def _show(self, shown: Image.Image | None) -> None:
        """Show `shown` (the embedded preview), or with None the picture as developed by the
        options chosen: its size, mode and the tile that reads it."""
        self._shown = shown
        if shown is None:
            self._size, self._mode = self._developed_size(half="half" in self.raw_options), "RGB"
        else:
            self._size, self._mode = shown.size, shown.mode
        self.tile = [rows.tile(self.size, None)]

    def use_preview(self, size: tuple[int, int], accept: Callable[[tuple[int, int]], bool] | None = None) -> bool:
        """Show the embedded preview instead of developing the picture, when it is the same
        picture at least `size` on both sides: RGB, the developed picture's shape within rounding
        (so also its way up, turned as the picture is), no flat bar along an edge (a letterboxed
        preview is the picture in a box), and `accept`, when given, agrees to its size. False,
        with nothing changed, otherwise (a preview that cannot be read among them)."""
        found = self.raw_info.get("preview")
        if found is None or self._raw is None or self.raw_options or self._shown is not None:
            return False
        _, width, height = found
        if width > 0 and height > 0 and (max(width, height) < max(size) or min(width, height) < min(size)):
            return False  # smaller than the target whichever way up: not even read
        try:
            shown = self._preview(self._raw)
        except (OSError, SyntaxError, ValueError):  # RawError is an OSError
            return False
        fits = shown.width >= size[0] and shown.height >= size[1]
        if shown.mode != "RGB" or not fits or not same_aspect(self.size, shown.size) or letterboxed(shown) \
                or (accept is not None and not accept(shown.size)):
            return False
        self._show(shown)
        return True

    def draft(self, mode: str | None, size: tuple[int, int] | None) -> tuple[str, tuple[int, int, float, float]] | None:
        """Half-size development when `size` fits in it (the only reduced scale LibRaw has)."""
        if size is None or self._raw is None or self.raw_options & {"half", "preview"}:
            return None
        half = self._developed_size(half=True)
        if half == self.size or half[0] < size[0] or half[1] < size[1]:
            return None
        full = self.size
        self.configure(self.raw_options | {"half"}, orient=self._flip)
        return self.mode, (0, 0, full[0], full[1])

    def load(self) -> Any:
        if self.tile:
            self.tile = [rows.tile(self.size, self._fill if self._eight_from is None else self._fill_from_deep)]
        try:
            return super().load()
        finally:
            if self.tile:  # a failed development: nothing is developed again, nothing kept alive
                self.tile = [rows.tile(self.size, None)]

    def _fill(self, decoder: rows.RowDecoder) -> None:
        """Hand the developed picture (or the preview read by `configure`) to Pillow's decoder;
        the LibRaw record is closed whatever happens."""
        raw, self._raw = self._raw, None
        shown, self._shown = self._shown, None
        if raw is None:
            raise OSError("the RAW picture cannot be developed again after a failed development")
        kept = False
        try:
            if shown is not None:
                decoder.put(shown.tobytes())
            else:
                kept = self._develop(raw, decoder)
        except _raw.RawError as error:
            raise OSError(str(error)) from None
        finally:
            if kept:
                self._kept = raw
            else:
                raw.close()

    def _develop(self, raw: Any, decoder: rows.RowDecoder) -> bool:
        # LibRaw's rows go band by band through Pillow's decoder into the picture, straight
        # from LibRaw's working picture: no whole developed copy beside the two. At 16 bits the
        # same pass fills the deep picture, whose top bytes are the rows the picture got.
        def start(width: int, height: int, colours: int) -> Any:
            if colours != 3:
                raise OSError(f"LibRaw developed an unexpected picture (bitmap, {colours} colours)")
            if (width, height) != self.size:
                raise OSError(f"LibRaw developed a {width}x{height} picture where the file said "
                              f"{self.size[0]}x{self.size[1]}")
            return decoder.put

        later = self.deep_later and self.develop_bits == 8
        deep = raw.develop(half="half" in self.raw_options, auto_wb="auto-wb" in self.raw_options, flip=self._flip,
                           bits=self.develop_bits, sink=start, keep=later)
        if deep is not None:
            self._keep_deep(deep)
        return later

    def develop_deep(self) -> None:
        """Develop at 16 bits alone, for a picture whose 8-bit rows may never be used (written
        unchanged at depth): its 16-bit picture becomes `deep_pixels`, and the 8-bit picture,
        LibRaw's own 8-bit development (the top byte of each 16-bit value), is filled from it
        only when `load()` is first called. Loaded or developed already: load() as usual."""
        raw = self._raw
        if raw is None or self._shown is not None or self.develop_bits != 16 or self.deep_later or not self.tile:
            self.load()
            return
        self._raw = None
        developed = None
        try:
            developed = raw.develop(half="half" in self.raw_options, auto_wb="auto-wb" in self.raw_options,
                                    flip=self._flip, bits=16, alone=True)
        except _raw.RawError as error:
            raise OSError(str(error)) from None
        finally:
            raw.close()
            if developed is None:  # a failed development: nothing is developed again
                self.tile = [rows.tile(self.size, None)]
        self.deep_pixels = self._eight_from = checked(developed, self.size)

    def _fill_from_deep(self, decoder: rows.RowDecoder) -> None:
        """The 8-bit rows of a picture `develop_deep` developed: its samples' top bytes."""
        samples, self._eight_from = self._eight_from, None
        if samples is None:
            raise OSError("the RAW picture cannot be developed again after a failed development")
        top = memoryview(samples).cast("B")[1 if sys.byteorder == "little" else 0::2]
        step = self.size[0] * 3 * 256
        for at in range(0, len(top), step):
            decoder.put(top[at:at + step].tobytes())

    def deep_reader(self) -> Callable[[], Any] | None:
        """For a picture developed with `deep_later`: what reads its 16-bit picture out, a
        buffer of height * width * 3 uint16 values whose top bytes are the 8-bit picture, once
        (LibRaw's record, held until then, is closed by it, or freed with it when it is never
        called). None otherwise."""
        raw, self._kept = self._kept, None
        if raw is None:
            return None
        size = self.size  # the picture itself is not held: it may be let go before this is read

        def read() -> Any:
            try:
                return checked(raw.deep(), size)
            except _raw.RawError as error:
                raise OSError(str(error)) from None
            finally:
                raw.close()

        return read

    def _keep_deep(self, developed: Any) -> None:
        """Keep LibRaw's 16-bit picture as `deep_pixels`: its buffer, as `checked` gives it."""
        self.deep_pixels = checked(developed, self.size)

    def _preview(self, raw: Any) -> Image.Image:
        kind, width, height, colours, bits, pixels = raw.preview()
        if kind == "jpeg":
            with Image.open(io.BytesIO(pixels), formats=["JPEG"]) as jpeg:
                jpeg.load()
                picture = jpeg.convert("RGB") if jpeg.mode != "RGB" else jpeg.copy()
        elif kind == "bitmap" and colours in (1, 3) and bits == 8:
            if len(memoryview(pixels)) < width * height * colours:
                raise OSError("LibRaw returned fewer pixels than its picture's size")
            picture = Image.frombuffer("RGB" if colours == 3 else "L", (width, height), pixels, "raw")
        else:
            raise OSError(f"the RAW file's preview is in a form this reader does not take ({kind})")
        turn = _FLIP_TO_ORIENTATION.get(self.raw_info["flip"], 1) if self._flip else 1
        return picture.transpose(_UPRIGHT[turn]) if turn != 1 else picture

    def close(self) -> None:
        raw = getattr(self, "_raw", None)
        if raw is not None:
            self._raw = None
            raw.close()
        self._shown = None
        self._kept = None
        self._eight_from = None
        super().close()


def checked(developed: Any, size: tuple[int, int]) -> Any:
    """The buffer of LibRaw's 16-bit picture of `size`, height * width * 3 uint16 values in the
    machine's byte order (no copy), once its kind, size, colours and bits are the ones asked."""
    kind, width, height, colours, bits, pixels = developed
    if kind != "bitmap" or colours != 3 or bits != 16 or (width, height) != size:
        raise OSError(f"LibRaw developed an unexpected picture ({kind}, {width}x{height}, {colours} colours, "
                      f"{bits} bits)")
    if memoryview(pixels).nbytes < width * height * 3 * 2:
        raise OSError("LibRaw returned fewer pixels than its picture's size")
    return pixels


def register() -> None:
    """Register the plugin with Pillow where Pillow puts a new one, after its TIFF reader (again:
    a no-op)."""
    if FORMAT not in Image.OPEN:
        Image.register_open(FORMAT, RawImageFile, _accept)
        Image.register_extensions(FORMAT, list(EXTENSIONS))
        Image.register_mime(FORMAT, "image/x-raw")


def put_ahead_of_tiff() -> None:
    """Make `Image.open` try this plugin before Pillow's TIFF reader, for every TIFF any code in
    the process opens (Pillow tries its readers in the order of its list of formats)."""
    register()
    private.try_before(FORMAT, "TIFF")
