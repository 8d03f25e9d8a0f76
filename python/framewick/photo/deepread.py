"""Reading a picture at its depth, beside the 8-bit picture Pillow gives of it.

`kind` tells from the opened picture's header alone (nothing decoded, NumPy not imported)
whether the file holds more than 8 bits per channel and which native reader gives them: 16-bit
RGB, RGBA and grey+alpha PNG; 16-bit and float TIFF of two or more samples; 10/12-bit HEIC and
AVIF; 16-bit and float JPEG XL; every camera RAW file (LibRaw develops it at 16 bits). A 16-bit
or float grey picture is left to Pillow, which holds it at depth itself ("I;16", "F").

`read` decodes the file's bytes with that reader, within the same pixel limit, and gives a
`Deep` turned as the 8-bit picture was and with its bands (a grey+alpha PNG Pillow reads as
RGBA becomes RGBA). It answers None when the reader takes the file for a layout it does not
support (Pillow's 8-bit reading then stands alone) and raises `Unreadable` for a file it refuses
otherwise: the caller keeps the 8-bit picture and says so in one line.
"""

from __future__ import annotations

import struct
import threading
from collections.abc import Callable
from typing import Any

from PIL import Image, ImageFile

from framewick.formats.tags import jxl_bits as _jxl_bits
from framewick.photo.companions import Companion

#: How deep a file's samples must be for the native readers to be asked.
_PNG_DEEP_TYPES = (2, 4, 6)  # RGB, grey+alpha, RGBA (grey alone opens as Pillow's I;16)


class Later(Companion):
    """A deep picture whose samples come when first used: a camera RAW's 16-bit picture, kept by
    LibRaw since the 8-bit one was developed from it (read out only if a step or a writer asks
    for it), or already developed beside it. Its size, bands and bits are known at once;
    `samples()` gives its samples as a buffer without NumPy; anything else (`pixels`, the
    methods of framewick.photo.deep.Deep) is the Deep made of them, made once for this
    companion and every copy of it."""

    exact_8bit = True  # developed in one pass with the 8-bit picture: its top bytes
    floating = False

    def __init__(self, read: Callable[[], Any], size: tuple[int, int], channels: int, bits: int = 16) -> None:
        """`read()` gives the samples: a buffer of height * width * channels uint16 values, rows
        top to bottom, in the machine's byte order."""
        self._read: Callable[[], Any] | None = read
        self._samples: Any = None
        self._found: Any = None
        self._lock = threading.Lock()
        self._holder = self  # copies (`paired`) share the one reading through it
        self.size, self.channels, self.bits = size, channels, bits

    def __repr__(self) -> str:
        return f"<Deep {self.bands} {self.size[0]}x{self.size[1]} {self.bits}-bit, read when first used>"

    @property
    def bands(self) -> str:
        return ("L", "LA", "RGB", "RGBA")[self.channels - 1]

    @property
    def has_alpha(self) -> bool:
        return self.channels in (2, 4)

    def samples(self) -> Any:
        """The samples as `read` gives them, read now if they were not yet."""
        holder = self._holder
        with holder._lock:
            return self._samples_held()

    def _samples_held(self) -> Any:
        holder = self._holder
        if holder._samples is None:
            assert holder._read is not None
            holder._samples, holder._read = holder._read(), None
        return holder._samples

    def deep(self) -> Any:
        """The Deep, made now if it was not yet."""
        holder = self._holder
        with holder._lock:
            if holder._found is None:
                import numpy as np

                from framewick.photo.deep import Deep

                width, height = self.size
                array = np.frombuffer(self._samples_held(), "=u2", count=width * height * self.channels)
                found = Deep(array.reshape(height, width, self.channels), self.bits)
                found.exact_8bit = True
                holder._found = found
            return holder._found

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__") or "_holder" not in self.__dict__:
            raise AttributeError(name)
        return getattr(self.deep(), name)


class Unreadable(Exception):
    """The native reader refused a file Pillow read; the text says why."""


def kind(picture: Image.Image, head: bytes) -> str | None:
    """Which native reader gives `picture` (opened, not decoded; `head` its file's first bytes,
    64 KiB or so) at more than 8 bits per channel: "png", "tiff", "heif", "avif", "jxl" or
    "raw"; None for a picture of 8 bits or less, or one Pillow holds at depth itself."""
    if getattr(picture, "deep_found", None) is not None:
        return "held"
    fmt = picture.format
    if fmt == "PNG":
        return "png" if len(head) >= 26 and head[24] == 16 and head[25] in _PNG_DEEP_TYPES else None
    if fmt == "TIFF":
        tags = getattr(picture, "tag_v2", None)
        if tags is None:
            return None
        bits = tags.get(258) or (1,)
        bits = bits if isinstance(bits, tuple) else (bits,)
        samples = int(tags.get(277, 1) or 1)
        return "tiff" if samples >= 2 and max(bits) in (16, 32) and picture.mode not in ("I;16", "F", "I") else None
    if fmt == "HEIF":
        heif = picture.info.get("heif")
        return "heif" if isinstance(heif, dict) and int(heif.get("bit_depth") or 8) > 8 else None
    if fmt == "AVIF":
        return "avif" if _avif_deep(head) else None
    if fmt == "JPEG XL" or type(picture).__name__ == "JXLImageFile":
        found = picture.info.get("jxl")
        bits = found.get("bits") if isinstance(found, dict) and "bits" in found else _jxl_bits(head)
        return "jxl" if (bits or 8) > 8 and picture.mode not in ("I;16", "F", "I") else None
    if type(picture).__module__ == "framewick.formats.raw" and getattr(picture, "_shown", None) is None:
        return "raw"
    return None


def _avif_deep(head: bytes) -> bool:
    """Whether the AV1 configuration (av1C) in an AVIF file's header says high bit depth."""
    at = head.find(b"av1C")
    return at >= 0 and len(head) > at + 6 and bool(head[at + 6] & 0x40)


def read(which: str, data: bytes, limit: int, picture: Image.Image) -> tuple[Any, int]:
    """The deep picture of a file's bytes by reader `which` (pixels as read, not yet turned) and
    the orientation its reader already applied (0: none; the picture is as stored). None for a
    layout the reader does not support."""
    import numpy as np

    from framewick.photo.deep import Deep

    def array(found: dict[str, Any], dtype: str) -> Any:
        height, width, channels = found["height"], found["width"], found["channels"]
        return np.frombuffer(found["pixels"], dtype, count=width * height * channels).reshape(height, width, channels)

    try:
        if which == "png":
            from framewick.formats import _png

            found = _png.read(data, limit)
            return (Deep(array(found, "=u2"), 16) if found["bits"] == 16 else None), 0
        if which == "tiff":
            from framewick.formats import _tiff

            rows = _Rows8.of(picture)
            found = _tiff.read(data, limit, eight=rows)
            if rows is not None and found["eight"] and rows.whole():
                picture.deep_eight = rows.picture  # type: ignore[attr-defined]
            if found["bits"] == 32 and found["sample_format"] == "float":
                return Deep(array(found, "=f4"), 32), 0
            return (Deep(array(found, "=u2"), 16) if found["bits"] == 16 else None), 0
        if which == "heif":
            from framewick.formats import _heif

            bit_depth = int(picture.info["heif"].get("bit_depth") or 16)
            mode, (width, height), pixels = _heif.decode(data, limit, bits=16)
            found = {"width": width, "height": height, "channels": len(mode), "pixels": pixels}
            return Deep(array(found, "=u2"), min(16, bit_depth)), 0  # turned as the 8-bit decode is
        if which == "avif":
            from framewick.formats import _avif

            found = _avif.read(data, limit)
            if found["bits"] <= 8:
                return None, 0
            turned = int(found.get("orientation") or 1) if found.get("transformed") else 0
            return Deep(array(found, "=u2"), found["bits"]), turned
        if which == "jxl":
            from framewick.formats import _jxl

            found = _jxl.read(data, limit)  # turned by its codestream's orientation, as the 8-bit decode is
            if found.get("float"):
                return Deep(array(found, "=f4"), 32), 0
            return (Deep(array(found, "=u2"), 16) if found["bits"] == 16 else None), 0
    except MemoryError:
        raise
    except Exception as error:  # the native readers' own errors: the file's reason, in one line
        text = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        if "not supported" in text or "unsupported" in text:
            return None, 0
        raise Unreadable(text) from None
    raise ValueError(f"no deep reader {which!r}")


class _Rows8:
    """The 8-bit picture of a 16-bit TIFF that Pillow's reading gives as the samples' top bytes
    (see decode_from), filled band by band by the native reader as it decodes the strips: never
    a second pass over the deep pixels, nor a copy of the whole picture."""

    @classmethod
    def of(cls, picture: Image.Image) -> _Rows8 | None:
        """One for `picture` (opened, not decoded), or None where its 8-bit reading is not that."""
        from framewick.formats import private

        if picture.mode not in ("RGB", "RGBA") or private.libtiff_rawmode(picture) != picture.mode + ";16N":
            return None
        return cls(picture.mode, picture.size)

    def __init__(self, mode: str, size: tuple[int, int]) -> None:
        from framewick.formats import private

        self.mode, self.size = mode, size
        self.picture = private.blank_picture(mode, size)
        self._decoder = ImageFile.PyDecoder(mode)
        self._row = size[0] * len(mode)
        self._next = 0  # the first row not filled yet; -1 once a band did not fit

    def __call__(self, first: int, band: bytes) -> None:
        rows = len(band) // self._row if self._row else 0
        if self._next != first or rows <= 0 or rows * self._row != len(band) or first + rows > self.size[1]:
            self._next = -1  # not the picture expected: decode_from unpacks the deep pixels instead
            return
        self._decoder.setimage(self.picture, (0, first, self.size[0], first + rows))
        self._decoder.set_as_raw(band, self.mode)
        self._next = first + rows

    def whole(self) -> bool:
        return self._next == self.size[1]


def matched(deep: Any, picture: Image.Image) -> Any:
    """`deep` with the bands of the 8-bit `picture` (grey made RGB, RGB with equal bands made
    grey, as Pillow read it), or None when the two cannot describe the same pixels (another
    size, mode or alpha)."""
    import numpy as np

    from framewick.photo.deep import Deep

    mode = picture.mode
    if mode not in ("L", "LA", "RGB", "RGBA") or deep.size != picture.size:
        return None
    alpha = mode in ("LA", "RGBA")
    if deep.has_alpha != alpha:
        return None
    want = 1 if mode in ("L", "LA") else 3
    if deep.channels - alpha == want:
        return deep
    colour = deep.pixels[:, :, : deep.channels - alpha]
    if want == 3:
        colour = np.repeat(colour, 3, axis=2)
    elif np.array_equal(colour[:, :, 0], colour[:, :, 1]) and np.array_equal(colour[:, :, 1], colour[:, :, 2]):
        colour = colour[:, :, :1]
    else:
        return None
    stacked = np.concatenate([colour, deep.pixels[:, :, -1:]], axis=2) if alpha else colour
    return Deep(stacked, deep.bits)


def keyed_as_alpha(deep: Any, picture: Image.Image) -> Image.Image:
    """The 8-bit picture of a deep PNG whose tRNS key the deep reader made alpha: Pillow keeps
    the 16-bit key beside 8-bit samples, where it matches no pixel, so the picture gets the deep
    alpha (its top 8 bits, as its colour) in place of the key. Any other picture as it is."""
    import numpy as np

    if not deep.has_alpha or picture.mode not in ("L", "RGB") or picture.info.get("transparency") is None:
        return picture
    alpha = Image.fromarray((deep.pixels[:, :, -1] >> 8).astype(np.uint8))
    keyed = picture.convert("RGBA" if picture.mode == "RGB" else "LA")
    keyed.putalpha(alpha)
    keyed.info.pop("transparency", None)
    keyed.format = picture.format
    return keyed


def turned(deep: Any, transpose: Any) -> Any:
    """`deep` transposed band by band by Pillow's `transpose` method (exact at any depth)."""
    from framewick.photo.deep import Deep

    return Deep.from_bands([deep.band(i).transpose(transpose) for i in range(deep.channels)], deep.bits)


def agrees(deep: Any, picture: Image.Image) -> bool:
    """Whether `deep` shows what the 8-bit `picture` does on a grid of about 32x32 pixels (the
    same picture the same way up, whatever each decoder's rounding or colour handling)."""
    import numpy as np

    from framewick.photo.deep import to_8bit

    height, width = deep.pixels.shape[:2]
    ys = np.linspace(0, height - 1, min(height, 32)).astype(int)
    xs = np.linspace(0, width - 1, min(width, 32)).astype(int)
    ours = to_8bit(deep.pixels[np.ix_(ys, xs)]).astype(np.int16)
    theirs = np.array([[picture.getpixel((int(x), int(y))) for x in xs] for y in ys], dtype=np.int16)
    if ours.shape != theirs.shape:
        return False
    return float(np.abs(ours - theirs).mean()) <= 12.0


#: Pillow's reading of 16-bit PNG and TIFF samples keeps each one's high byte; its raw modes for
#: pixels in this machine's byte order, by the 8-bit mode and the deep picture's channels.
_HIGH_BYTES = {("RGB", 3): "RGB;16N", ("RGBA", 4): "RGBA;16N", ("RGBA", 2): None}


class _FromDeep(ImageFile.PyDecoder):
    """A decoder that gives the picture the high bytes of pixels read at depth already (None: the
    picture has them already), while the file's own image data (`total` bytes of it; None:
    whatever is given at once) is passed over."""

    _seen = 0
    _done = False

    def decode(self, buffer: Any) -> tuple[int, int]:
        pixels, rawmode, total = self.args
        if not self._done and pixels is not None:
            self.set_as_raw(pixels, rawmode)
            self._done = True
        self._seen += len(buffer)
        if total is None or self._seen >= total:
            return -1, 0
        return len(buffer), 0


Image.register_decoder("framewick_deep", _FromDeep)


def decode_from(picture: Image.Image, deep: Any, fp: Any) -> bool:
    """Have the 8-bit `picture` (a 16-bit PNG or TIFF, opened, not decoded) take its pixels from
    `deep` (its pixels read at depth, as stored) instead of decoding the file a second time: the
    same high bytes Pillow's own reading keeps (a TIFF's filled in by its reader in the same pass,
    `deep_eight` on the picture). False, with the picture left as it was, for a
    layout whose 8-bit reading is not that."""
    from framewick.formats import private

    eight = getattr(picture, "deep_eight", None)
    if eight is not None:
        picture.deep_eight = None  # type: ignore[attr-defined]
    if picture.tile is None or len(picture.tile) < 1 or deep.bits != 16 or deep.size != picture.size:
        return False
    if (picture.mode, deep.channels) not in _HIGH_BYTES:
        return False
    rawmode = _HIGH_BYTES[(picture.mode, deep.channels)]
    if picture.format == "PNG":
        if len(picture.tile) != 1 or picture.tile[0][0] != "zip":
            return False
        total = _idat_bytes(fp)
        if not total:
            return False
        offset = picture.tile[0][2]
    elif picture.format == "TIFF":
        if private.libtiff_rawmode(picture) not in ("RGB;16N", "RGBA;16N"):
            return False
        total, offset = None, 0
    else:
        return False
    filled = None
    if rawmode is None:  # grey+alpha as RGBA: its two bytes, made LA
        import numpy as np

        pixels: Any = np.ascontiguousarray(deep.pixels >> 8).astype(np.uint8)
        rawmode = "LA"
    elif eight is not None and eight.mode == picture.mode and eight.size == picture.size:
        filled = eight  # filled as the deep pixels were read: the decoder has nothing left to do
        pixels = None
    else:
        pixels = memoryview(deep.pixels).cast("B")
        filled = private.blank_picture(picture.mode, picture.size, at_once=True)  # the decoder writes it whole
    private.decode_through(picture, "framewick_deep", offset, (pixels, rawmode, total), filled)
    return True


def _idat_bytes(fp: Any) -> int:
    """The bytes of a PNG's first run of image data chunks (IDAT), the stream left where it was;
    0 when its chunks cannot be followed."""
    try:
        where = fp.tell()
    except (OSError, ValueError, AttributeError):
        return 0
    total = 0
    try:
        fp.seek(8)
        while True:
            head = fp.read(8)
            if len(head) < 8:
                return 0
            length, cid = struct.unpack(">I4s", head)
            if cid == b"IDAT":
                total += length
            elif total or cid == b"IEND":
                return total
            fp.seek(length + 4, 1)
    except (OSError, ValueError, struct.error):
        return 0
    finally:
        fp.seek(where)
