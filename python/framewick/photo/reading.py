"""The way in: a picture file (or stream) decoded whole, turned upright, its metadata kept."""

from __future__ import annotations

import math
import os
import struct
from typing import IO, Any, TypeVar

from PIL import Image, UnidentifiedImageError

from framewick import formats as _plugins
from framewick.photo import exif as _exif
from framewick.photo import frames as _frames
from framewick.photo import iptc as _iptc
from framewick.photo import orientation as _orientation
from framewick.photo import shrink
from framewick.photo import xmp as _xmp
from framewick.photo.metadata import Photo, PhotoError
from framewick.status import MissingFile
from framewick.steps.rules import pixel_limit

T = TypeVar("T")

Source = str | os.PathLike[str] | IO[bytes]


def _name(source: object) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fsdecode(os.fspath(source))
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else "<stream>"


def _chain(steps: Any) -> Any:
    from framewick.chain import Chain

    return Chain.coerce(steps)


# Formats whose extra "frames" are not an animation: a PSD's are its layers (numbered from 1),
# and the picture to show is the composite read first.
_STILL_FORMATS = frozenset({"PSD"})

def _open(fp: IO[bytes], name: str, limit: int | None) -> Image.Image:
    """The picture in `fp` opened (its header read), refused with a clear error when it is not
    a picture or when its size passes `limit`, before anything is decoded."""
    try:
        picture = _plugins.open_image(fp)
    except UnidentifiedImageError:
        rescued = _native_tiff(fp, name, limit)
        if rescued is not None:
            return rescued
        what = _plugins.missing(_prefix(fp))
        if what is not None:
            raise PhotoError(f"❌ Error: {name} is {what}") from None
        raise PhotoError(f"❌ Error: {name} is not a picture this Pillow can read") from None
    except Image.DecompressionBombError as error:  # a library's own limits, met in the header
        raise PhotoError(f"❌ Error: {name} is too large to open safely: {error}") from None
    except _plugins.NoPictureData as error:
        raise PhotoError(f"❌ Error: {name} {error}") from None
    except _plugins.DecodeError as error:
        raise PhotoError(f"❌ Error: {name} could not be decoded: {error}") from None
    except OSError as error:  # a damaged file a plugin recognised (a camera RAW file)
        if isinstance(error, (FileNotFoundError, PermissionError)):
            raise
        raise PhotoError(f"❌ Error: {name} could not be read: {error}") from None
    width, height = picture.size
    pixels = max(1, width) * max(1, height)
    if limit is not None and pixels > limit:
        picture.close()
        raise PhotoError(f"❌ Error: {name} is too large: {width}x{height} is {pixels} pixels, "
                         f"more than the limit of {limit}")
    return picture


def _native_tiff(fp: IO[bytes], name: str, limit: int | None) -> Image.Image | None:
    """A TIFF of float or 16-bit samples in a layout Pillow does not read (RGB float, ...), read
    by framewick's libtiff module: its 8-bit picture, holding the deep one as `deep_found`; None
    for any other file."""
    if _prefix(fp)[:4] not in (b"II*\x00", b"MM\x00*"):
        return None
    try:
        from framewick.formats import _tiff
    except ImportError:
        return None
    try:
        fp.seek(0)
        found = _tiff.read(fp.read(), limit or 0)
    except _tiff.LimitError as error:
        raise PhotoError(f"❌ Error: {name} is too large to open safely: {error}") from None
    except (_tiff.TiffError, OSError, ValueError):
        return None
    if found["bits"] == 8:
        return None
    from framewick.photo.deep import Deep
    import numpy as np

    height, width, channels = found["height"], found["width"], found["channels"]
    dtype = "=f4" if found["sample_format"] == "float" else "=u2"
    deep = Deep(np.frombuffer(found["pixels"], dtype, count=width * height * channels).reshape(height, width, channels),
                32 if dtype == "=f4" else 16)
    picture = deep.view8()
    picture.format = "TIFF"
    if found.get("icc"):
        picture.info["icc_profile"] = found["icc"]
    if found.get("dpi"):
        picture.info["dpi"] = found["dpi"]
    if int(found.get("orientation") or 1) != 1:
        tags = Image.Exif()
        tags[0x0112] = int(found["orientation"])
        picture.info["exif"] = tags.tobytes()
    picture.deep_found = (deep, 0)  # type: ignore[attr-defined]
    return picture


def _prefix(fp: IO[bytes]) -> bytes:
    """The first bytes of the file, for naming a format no plugin read."""
    try:
        fp.seek(0)
        return fp.read(16)
    except (OSError, ValueError):
        return b""


def _dpi(value: Any) -> tuple[float, float] | None:
    """A DPI pair that means something (both finite and above 0), else None."""
    try:
        x, y = float(value[0]), float(value[1])
    except (TypeError, ValueError, IndexError, ZeroDivisionError):
        return None
    if not (math.isfinite(x) and math.isfinite(y)) or x <= 0 or y <= 0:
        return None
    return x, y


def _raw_plugin() -> Any:
    """framewick's RAW reader, imported when a RAW option is given."""
    from framewick.formats import raw

    return raw


def _raw_reader_of(picture: Image.Image) -> Any:
    """framewick's RAW reader if `picture` is one of its files, else None (without importing it
    for the pictures of other readers)."""
    return _raw_plugin() if type(picture).__module__ == "framewick.formats.raw" else None


def open_photo(source: Source, *, cls: type[T] | None = None, orient: bool = True,
               steps: Any = None, exact: bool = False, max_pixels: int | None = None, raw: Any = None,
               frame_floor: int = 0, depth: int | None = None, written_as: str | None = None) -> T:
    """Open a picture fully and return an object of `cls` (default FrameWick) holding it.

    1. Open `source` (a path, or a readable binary file: read, not closed) and check its size,
       all frames together, against the pixel limit. 2. For a JPEG, choose a reduced decoding
       scale from `steps` (shrink-on-load) unless `exact`; a large 8-bit PNG is reduced by
       an integer box as its rows are decoded (framewick.photo.pngshrink). 3. Decode every frame. 4. Turn each
       upright by the EXIF orientation unless `orient` is false, and reset the tag to 1.
       5. Keep EXIF, ICC profile, DPI, XMP, the format and the animation's timing on the
       object's `photo`. A camera RAW file is developed by LibRaw, upright, with the options
       `raw` names ("half", "preview", "auto-wb"; see framewick.formats.raw), and shrunk on load from
       its embedded preview (the same picture, at least the chain's target) or by half-size
       development. With `frame_floor`, each frame of an animation counts as at
       least that many pixels against the limit (so a great many tiny frames cannot pass it).

    A still picture of more than 8 bits per channel (16-bit PNG and TIFF, float TIFF, 10/12-bit
    HEIC and AVIF, 16-bit JPEG XL, a camera RAW developed at 16 bits) also gets its pixels at
    that depth as `photo.deep`, paired with the 8-bit `image` (which is what it always was);
    `depth=8` reads the 8-bit picture alone. `written_as` names the format the picture will be
    written in, when known: a camera RAW's embedded preview (8 bits) stands in only for a
    picture written in a format of 8 bits, never when `depth` is more than 8; and a camera
    RAW written unchanged (no steps) in a format of 8 bits is developed at 8 bits alone; with
    neither `written_as` nor `depth` given, its 16 bits are read out of LibRaw's developed
    picture (kept until then) when a step or a writer first uses them.
    """
    if cls is None:
        from framewick import FrameWick

        cls = FrameWick  # type: ignore[assignment]
    assert cls is not None
    name = _name(source)
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not os.path.exists(path):
            raise MissingFile(f"❌ Error: File {name} not found!")
        if os.path.isdir(path):
            raise PhotoError(f"❌ Error: {name} is a directory, not a picture")
        with open(path, "rb") as fp:
            photo, first = _read(fp, name, orient, steps, exact, max_pixels, raw, frame_floor, depth, written_as)
    else:
        photo, first = _read(source, name, orient, steps, exact, max_pixels, raw, frame_floor, depth, written_as)
    obj = cls()
    obj.image = first  # type: ignore[attr-defined]
    photo.max_pixels = max_pixels
    obj.photo = photo  # type: ignore[attr-defined]
    if not hasattr(obj, "quality"):
        obj.quality = 95  # type: ignore[attr-defined]
    return obj


def _read(fp: IO[bytes], name: str, orient: bool, steps: Any, exact: bool,
          max_pixels: int | None, raw: Any = None, frame_floor: int = 0,
          depth: int | None = None, written_as: str | None = None) -> tuple[Photo, Image.Image]:
    if depth not in (None, 8, 16):
        from framewick.status import BadValue

        raise BadValue(f"❌ Error: depth must be 8 or 16, not {depth!r}")
    chain = _chain(steps) if steps is not None and not exact else None
    raw_options = _raw_plugin().options(raw) if raw is not None else frozenset()
    from framewick.photo.formats import DEEP_BITS

    # The preview is the camera's rendering, not LibRaw's: taken only for a file known to be
    # written at 8 bits (never for a picture whose output is not known yet, a studio's proxy
    # among them, which must show what is developed).
    preview_ok = depth != 16 and written_as is not None and written_as not in DEEP_BITS
    # A camera RAW written unchanged at 8 bits is LibRaw's 8-bit development, which is all that
    # is developed then; at 16 bits only when the picture is kept deep (a step, a deep format,
    # or an output not known yet).
    unchanged = steps is None or not _chain(steps).steps
    raw_deep: bool | str = depth == 16 or written_as is None or written_as in DEEP_BITS or not unchanged
    if raw_deep and depth is None and written_as is None:
        raw_deep = "later"  # an output not known yet: its 16 bits are read out when first used
    elif raw_deep and depth != 8 and unchanged and written_as in DEEP_BITS:
        raw_deep = "alone"  # written unchanged at depth: its 8-bit rows are made only if something reads them
    return _decode(fp, name, orient, chain, pixel_limit(max_pixels), raw_options, frame_floor, depth != 8, preview_ok,
                   raw_deep)


def _decoding(name: str, action: Any) -> Any:
    """Run a decoding `action`; a picture that does not decode whole is an error naming it
    (Pillow's TIFF reader refuses a page without dimensions by a TypeError)."""
    try:
        return action()
    except (OSError, SyntaxError, ValueError, TypeError, EOFError, struct.error) as error:
        if isinstance(error, (FileNotFoundError, PermissionError, PhotoError)):
            raise
        if isinstance(error, Image.DecompressionBombError):
            raise PhotoError(f"❌ Error: {name} is too large to open safely: {error}") from None
        raise PhotoError(f"❌ Error: {name} could not be decoded: {error}") from None


def _decode(fp: IO[bytes], name: str, orient: bool, chain: Any, limit: int | None,
            raw_options: Any, frame_floor: int = 0, deep: bool = True,
            preview_ok: bool = True, raw_deep: bool | str = True) -> tuple[Photo, Image.Image]:
    picture = _open(fp, name, limit)
    deep_kind: str | None = None
    at_depth: Any = None
    load_alone: Any = None  # what develops a RAW written unchanged at depth, in place of its load()
    try:
        still = picture.format in _STILL_FORMATS
        count = 1 if still else _decoding(name, lambda: getattr(picture, "n_frames", 1))
        if count > 1 and not _decoding(name, lambda: _frames.extra_pictures_are_frames(picture)):
            count = 1  # a JPEG with a gain map, depth map or preview appended: one picture
            picture.format = "JPEG"
        total = picture.width * picture.height * count
        if count > 1 and frame_floor:
            total = count * max(picture.width * picture.height, frame_floor)
            if limit is not None and total > limit:
                raise PhotoError(f"❌ Error: {name} is too large: {count:,} frames of {picture.width}x{picture.height} "
                                 f"count as {total:,} pixels (each frame at least {frame_floor:,}), more than the "
                                 f"limit of {limit:,}")
        if limit is not None and total > limit:
            what = f"{count} frames of {picture.width}x{picture.height}" if count > 1 else f"{picture.width}x{picture.height}"
            raise PhotoError(f"❌ Error: {name} is too large: {what} is {total} pixels, more than the limit of {limit}")
        raw = _raw_reader_of(picture)
        if raw is not None and isinstance(picture, raw.RawImageFile):  # developed upright by LibRaw itself
            try:
                picture.configure(raw_options, orient=orient)
            except OSError as error:
                raise PhotoError(f"❌ Error: {name}: {error}") from None
        if hasattr(picture, "pixel_limit"):  # a plugin whose library keeps limits of its own
            picture.pixel_limit = limit or 0
        if deep and count == 1:
            from framewick.photo import deepread

            deep_kind = deepread.kind(picture, _head(fp))
            if deep_kind == "raw" and not raw_deep:
                deep_kind = None  # its 8-bit picture is all that is written
            elif deep_kind == "raw" and raw_deep == "later":
                picture.deep_later = True  # type: ignore[attr-defined]
            elif deep_kind == "raw":
                picture.develop_bits = 16
                if raw_deep == "alone":
                    load_alone = picture.develop_deep  # type: ignore[attr-defined]
            elif deep_kind is not None:  # read before Pillow decodes: the file and both decodes are never held at once
                at_depth = _read_deep(fp, deep_kind, picture, limit, name)
                if at_depth is not None and not at_depth[1] and deep_kind in ("png", "tiff"):
                    deepread.decode_from(picture, at_depth[0], fp)  # decoded once, not twice
        draft = chain is not None and count == 1 and picture.format in ("JPEG", raw.FORMAT if raw is not None else "JPEG")
        # A HEIF file's embedded thumbnail stands in for an 8-bit picture read without its deep
        # twin or a gain map (whose share of the picture's size a thumbnail's scale would blur).
        draft = draft or (chain is not None and count == 1 and picture.format == "HEIF" and at_depth is None
                          and not picture.info.get("heif", {}).get("gain_map"))
        reduced = None
        if chain is not None and count == 1 and picture.format == "PNG" and deep_kind is None:
            from framewick.photo import pngshrink

            reduced = pngshrink.read(fp, picture, chain, orient, limit)  # decoded in bands, reduced
        if reduced is not None:
            picture.close()
            picture = reduced
        elif not draft:
            # Decoded before the metadata is read: reading a PNG's EXIF decodes it, and a
            # decoding error must be the picture's, never taken for "no orientation".
            _decoding(name, load_alone or picture.load)
        tag = _orientation.read_orientation(picture)
        turn = tag if orient else 1
        # A HEIF container (irot, imir) or a JPEG XL codestream turns its picture itself; as
        # stored, that turn is undone and becomes the orientation the photo reports and carries,
        # as a JPEG's tag would.
        container = _container_orientation(picture) if not orient else 1
        if container != 1:
            tag = container
        photo = Photo(format=picture.format, orientation=tag, name=name)
        photo.icc = picture.info.get("icc_profile") or None
        photo.dpi = _dpi(picture.info.get("dpi")) if picture.info.get("dpi") is not None else None
        if photo.dpi is not None and _orientation.swaps_sides(turn):
            photo.dpi = (photo.dpi[1], photo.dpi[0])
        xmp = picture.info.get("xmp") or picture.info.get("XML:com.adobe.xmp")
        if isinstance(xmp, str):
            xmp = xmp.encode("utf-8")
        photo.exif = _exif.of_picture(picture, reset=turn != 1)
        if turn != 1:
            photo.xmp = _orientation.reset_xmp(xmp) if xmp else None
        else:
            photo.xmp = xmp or None
        photo.text = _text_chunks(picture)
        photo.iptc = _iptc.of_picture(picture, fp)
        if container != 1:
            photo.exif = _with_orientation(photo.exif, container)
            photo.xmp = _orientation.set_xmp(photo.xmp, container) if photo.xmp else None
        if draft:
            _draft(picture, chain, turn, photo, preview_ok)
        if reduced is not None:
            photo.draft_scale = reduced.reduced_by  # type: ignore[attr-defined]
        if count > 1:
            _decoding(name, lambda: _frames.read_frames(picture, photo))
            first = photo.frames[0]
        else:
            _decoding(name, load_alone or picture.load)
            # A PSD's layers stay in the file (closed once opened): the composite alone is kept.
            first = picture.copy() if still else picture
        if picture.format == "PNG" and not _png_whole(fp):
            raise PhotoError(f"❌ Error: {name} could not be decoded: the file ends before its end chunk (IEND)")
        if deep_kind == "raw":
            at_depth = _read_deep(fp, deep_kind, picture, limit, name)
        gain = _gain_map(fp, picture, name, limit) if count == 1 and _may_hold_gain_map(picture, fp) else None
    except BaseException:
        picture.close()
        raise
    if container != 1:
        first = _orientation.stored(first, container)
    if turn != 1:
        if photo.frames:
            photo.frames = [_orientation.upright(f, turn) for f in photo.frames]
            first = photo.frames[0]
        else:
            first = _orientation.upright(first, turn)
    if photo.format and not first.format:
        first.format = photo.format  # an opened picture reports its file's format, turned or not
    if at_depth is not None:
        first = _pair_deep(photo, at_depth, first, container, turn, name)
    if gain is not None:
        if container != 1:
            gain = gain.with_picture(_orientation.stored(gain.picture, container))
        if turn != 1:
            gain = gain.with_picture(_orientation.upright(gain.picture, turn))
        from framewick.photo import companions

        # The map keeps the share of the picture's size it had in the file (also when the
        # picture was decoded smaller for the chain).
        shrunk = max(1, photo.draft_scale)
        gain.scale = (gain.size[0] / (first.width * shrunk), gain.size[1] / (first.height * shrunk))
        companions.attach(photo, "gain_map", gain, first)
    return photo, first


def _head(fp: IO[bytes]) -> bytes:
    """The file's first 64 KiB (where every format keeps what says its depth), the stream left
    where it was."""
    try:
        where = fp.tell()
        fp.seek(0)
        head = fp.read(1 << 16)
        fp.seek(where)
        return head
    except (OSError, ValueError, AttributeError):
        return b""


def _read_deep(fp: IO[bytes], which: str, picture: Image.Image, limit: int | None, name: str) -> Any:
    """The picture at depth by the native reader `which`, as read (with the orientation that
    reader applied), or None: a layout it does not support, or a refusal, said in one line."""
    from framewick.photo import deepread
    from framewick.status import note

    if which == "held":  # read already, by the reader that gave the 8-bit picture
        return picture.deep_found  # type: ignore[attr-defined]
    if which == "raw" and getattr(picture, "deep_later", False):
        read = picture.deep_reader()  # type: ignore[attr-defined]
        return (deepread.Later(read, picture.size, 3), 0) if read is not None else None
    if which == "raw":
        pixels = getattr(picture, "deep_pixels", None)
        if pixels is None:
            return None
        picture.deep_pixels = None
        # Developed in one pass with the 8-bit picture (its top bytes); NumPy only once a step
        # or a writer needs more of it than its samples.
        return deepread.Later(lambda: pixels, picture.size, 3), 0
    mapped = None
    try:
        try:  # a file on disk is mapped, not copied into memory beside the pixels decoded from it
            import mmap

            mapped = mmap.mmap(fp.fileno(), 0, access=mmap.ACCESS_READ)
            data: Any = mapped
        except (OSError, ValueError, AttributeError):
            fp.seek(0)
            data = fp.read()
        found = deepread.read(which, data, limit or 0, picture)
    except deepread.Unreadable as error:
        note(f"framewick: {name}: its picture at depth could not be read ({error}), so it is read at 8 bits")
        return None
    except (OSError, ValueError):
        return None
    finally:
        if mapped is not None:
            mapped.close()
    return found if found[0] is not None else None


def _pair_deep(photo: Photo, found: Any, first: Image.Image, container: int, turn: int, name: str) -> Image.Image:
    """Turn the deep picture as the 8-bit one was turned and pair the two, when they agree; the
    8-bit picture to keep (with alpha where a 16-bit transparent colour marked no pixel)."""
    from framewick.photo import deepread
    from framewick.status import note

    deep, applied = found
    if isinstance(deep, deepread.Later) and not applied and container == 1 and turn == 1 and deep.size == first.size:
        from framewick.photo import companions

        companions.attach(photo, "deep", deep, first)  # developed with `first`, upright: nothing to compare or turn
        return first
    # 1. What the deep reader turned is undone, so that it is as stored, as the 8-bit reader
    #    gave it; 2. then it takes the 8-bit picture's turns (the container's, the tag's).
    turns = []
    if applied and applied != 1:
        turns.append({6: 8, 8: 6}.get(applied, applied))
    if container != 1:
        turns.append({6: 8, 8: 6}.get(container, container))
    if turn != 1:
        turns.append(turn)
    if applied and applied == turn and container == 1:
        turns = []  # turned upright by its reader as the 8-bit picture was by its tag
    for orientation in turns:
        method = _orientation.transpose_of(orientation)
        if method is not None:
            deep = deepread.turned(deep, method)
    if deep.size == first.size:
        first = deepread.keyed_as_alpha(deep, first)
    deep = deepread.matched(deep, first)
    if deep is None or not deepread.agrees(deep, first):
        note(f"framewick: {name}: its picture at depth does not match the 8-bit one, so it is read at 8 bits")
        return first
    from framewick.photo import companions

    companions.attach(photo, "deep", deep, first)
    return first


def _may_hold_gain_map(picture: Image.Image, fp: IO[bytes]) -> bool:
    """Whether the file may hold a gain map: a JPEG whose segments name one or index pictures
    after it (MPF), a HEIF file whose container has one, or an AVIF whose header names a
    tone-map item or brand ('tmap'); nothing is read for the others."""
    if picture.format == "AVIF":
        return b"tmap" in _head(fp)
    if picture.format == "HEIF":
        heif = picture.info.get("heif")
        return isinstance(heif, dict) and bool(heif.get("gain_map"))
    if picture.format not in ("JPEG", "MPO"):
        return False
    for marker, data in getattr(picture, "applist", None) or ():
        if marker == "APP2" and (data.startswith(b"MPF\0") or data.startswith(_frames.ISO_GAIN_MAP)):
            return True
        if marker == "APP1" and _xmp.GAIN_MAP_NS.encode() in data:
            return True
    return False


def _gain_map(fp: IO[bytes], picture: Image.Image, name: str, limit: int | None) -> Any:
    """The gain map the file holds beside its picture (framewick.photo.hdr), not yet upright;
    None when there is none. A gain map that cannot be read never fails the picture: it is
    left out with one line."""
    from framewick.photo import hdr
    from framewick.status import note

    try:
        where = fp.tell()
        fp.seek(0)
        data = fp.read()
        fp.seek(where)
    except (OSError, ValueError, AttributeError):
        return None
    why: str | None = None
    try:
        if picture.format == "HEIF":
            from framewick.formats import _heif

            found = _heif.gain_map(data, limit or 0)
            picture = _map_picture(found)
            if picture is None:
                return None
            if found.get("type") == "tmap":
                gain = hdr.from_tone_map(picture, found.get("metadata") or b"")
            else:
                gain = hdr.from_heif(picture, found)
        elif picture.format == "AVIF":
            try:
                from framewick.formats import _avif
            except ImportError:
                return None  # without framewick's libavif module an AVIF is read as it always was
            found = _avif.gain_map(data, limit or 0)
            picture = _map_picture(found)
            if picture is None:
                return None
            gain = hdr.from_uhdr(picture, {"form": "iso21496", "metadata": found["metadata"]})
        else:
            try:
                from framewick.formats import _uhdr
            except ImportError:
                note(f"framewick: {name}: this framewick was built without libultrahdr, so its gain map is "
                     "not read and the picture is SDR")
                return None
            probe = _uhdr.probe(data)
            if probe is None:
                return None
            if probe.get("error"):
                raise hdr.Unreadable(probe["error"])
            mode, size, pixels, _ = _uhdr.gain_map(data, limit or 0)
            gain = hdr.from_uhdr(Image.frombytes(mode, size, pixels), probe)
    except (OSError, ValueError, TypeError, KeyError) as error:
        why = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
    if why is not None:
        note(f"framewick: {name}: its gain map cannot be read ({why.rstrip('.')}), so the picture is SDR")
        return None
    return gain


def _map_picture(found: dict[str, Any] | None) -> Image.Image | None:
    """The picture of the gain map a native module's gain_map() found (the HEIF and AVIF ones
    give the same dict); None when the file holds none. A map with an error, or without the
    pixels, raises hdr.Unreadable."""
    from framewick.photo import hdr

    if found is None:
        return None
    if found.get("error") or not found.get("pixels"):
        raise hdr.Unreadable(found.get("error") or "it could not be decoded")
    return Image.frombytes(found["mode"], found["size"], found["pixels"])


def _container_orientation(picture: Image.Image) -> int:
    """The turn a HEIF container or a JPEG XL codestream applied to `picture` as an EXIF
    orientation (1: none, or another format)."""
    found = picture.info.get("heif") or picture.info.get("jxl")
    value = found.get("orientation", 1) if isinstance(found, dict) else 1
    return value if isinstance(value, int) and 1 <= value <= 8 else 1


def _with_orientation(exif: bytes | None, orientation: int) -> bytes | None:
    """An EXIF block whose orientation tag is `orientation` (a block of that tag alone when
    there was none; the block as it came when it cannot be read)."""
    tags = Image.Exif()
    if exif:
        try:
            tags.load(exif)
        except Exception:  # a broken block is kept as it came
            return exif
    tags[_orientation.ORIENTATION] = orientation
    return _exif.writable(tags) or exif


def _png_whole(fp: IO[bytes]) -> bool:
    """Whether the PNG read from `fp` runs to its end chunk (streams that cannot seek pass)."""
    from framewick.photo import pngshrink

    return not pngshrink.seekable(fp) or pngshrink.chunk_kinds(fp) is not None


def _text_chunks(picture: Image.Image) -> dict[str, str]:
    """A PNG's text chunks (tEXt, zTXt, iTXt) by keyword; XMP and EXIF kept elsewhere are left out."""
    if picture.format != "PNG":
        return {}
    try:
        text = getattr(picture, "text", None) or {}
    except Exception:  # a text chunk Pillow refuses (too large, broken) is not the picture's fault
        return {}
    return {str(key): str(value) for key, value in text.items()
            if key not in ("XML:com.adobe.xmp", "Raw profile type exif", "Raw profile type APP1")}


def _draft(picture: Image.Image, chain: Any, turn: int, photo: Photo, preview_ok: bool = True) -> None:
    width, height = picture.size
    swaps = _orientation.swaps_sides(turn)
    upright = (height, width) if swaps else (width, height)
    if picture.format == "HEIF":
        target = shrink.reduced_target(chain, upright)
        if target is not None:
            def accept(size: tuple[int, int]) -> bool:
                return shrink.gives_target(chain, (size[1], size[0]) if swaps else size, target)

            needed = (target[1], target[0]) if swaps else target
            if picture.draft(picture.mode, needed, accept=accept) is not None:  # type: ignore[call-arg]
                photo.draft_scale = max(1, round(width / picture.width))
        return
    if picture.format != "JPEG" and preview_ok:  # a camera RAW: its embedded preview, when it serves
        target = shrink.reduced_target(chain, upright)
        if target is not None:
            def fits(size: tuple[int, int]) -> bool:
                return shrink.gives_target(chain, (size[1], size[0]) if swaps else size, target)

            if picture.use_preview((target[1], target[0]) if swaps else target, fits):  # type: ignore[attr-defined]
                photo.draft_scale = max(1, round(width / picture.width))
                return
    ratios = shrink.JPEG_RATIOS if picture.format == "JPEG" else shrink.RAW_RATIOS
    scale = shrink.draft_scale(chain, upright, ratios)
    if scale != int(scale):  # a scale Pillow's draft does not ask for (3/8)
        from framewick.formats import private

        if private.jpeg_eighths(picture, round(8 / scale)):
            photo.draft_scale = width / picture.width
            return
        scale = shrink.draft_scale(chain, upright, shrink.halvings(ratios))
    if scale > 1:
        scale = int(scale)
        picture.draft(picture.mode, (width // scale, height // scale))
        photo.draft_scale = max(1, round(width / picture.width))  # a RAW file halves at most
