"""The way in: a picture file (or stream) decoded whole, turned upright, its metadata kept."""

from __future__ import annotations

import os
import threading
import warnings
from typing import IO, Any, TypeVar

from PIL import Image, UnidentifiedImageError

from framewick import formats as _plugins
from framewick.formats import raw as _raw_plugin
from framewick.photo import frames as _frames
from framewick.photo import orientation as _orientation
from framewick.photo import shrink
from framewick.photo.metadata import Photo, PhotoError

T = TypeVar("T")

Source = str | os.PathLike[str] | IO[bytes]

# Pillow's own limit is a process-wide setting; lifting it for one open is done under this lock.
_limit_lock = threading.Lock()


def _name(source: object) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fsdecode(os.fspath(source))
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else "<stream>"


def pixel_limit(max_pixels: int | None) -> int | None:
    """The most pixels (all frames together) a picture may have: `max_pixels`, else the point
    where Pillow refuses a picture as a decompression bomb (twice its warning limit)."""
    if max_pixels is not None:
        return max_pixels
    limit = Image.MAX_IMAGE_PIXELS
    return None if limit is None else 2 * limit


def _chain(steps: Any) -> Any:
    from framewick.chain import Chain

    if isinstance(steps, str) and steps.lstrip().startswith("["):
        return Chain.from_json(steps)
    return Chain.coerce(steps)


def _open(fp: IO[bytes], name: str, max_pixels: int | None) -> Image.Image:
    """Image.open with a clear error; Pillow's limit lifted when `max_pixels` allows more."""
    _plugins.register()
    own = Image.MAX_IMAGE_PIXELS
    lift = max_pixels is not None and own is not None and max_pixels > own
    try:
        if lift:
            with _limit_lock, warnings.catch_warnings():
                warnings.simplefilter("ignore", Image.DecompressionBombWarning)
                Image.MAX_IMAGE_PIXELS = None
                try:
                    return Image.open(fp)
                finally:
                    Image.MAX_IMAGE_PIXELS = own
        return Image.open(fp)
    except UnidentifiedImageError:
        what = _plugins.missing(_prefix(fp))
        if what is not None:
            raise PhotoError(f"❌ Error: {name} is {what}") from None
        raise PhotoError(f"❌ Error: {name} is not a picture this Pillow can read") from None
    except Image.DecompressionBombError as error:
        raise PhotoError(f"❌ Error: {name} is too large to open safely: {error}") from None
    except OSError as error:  # a damaged file a plugin recognised (a camera RAW file)
        if isinstance(error, (FileNotFoundError, PermissionError)):
            raise
        raise PhotoError(f"❌ Error: {name} could not be read: {error}") from None


def _prefix(fp: IO[bytes]) -> bytes:
    """The first bytes of the file, for naming a format no plugin read."""
    try:
        fp.seek(0)
        return fp.read(16)
    except (OSError, ValueError):
        return b""


def open_photo(source: Source, *, cls: type[T] | None = None, orient: bool = True,
               steps: Any = None, exact: bool = False, max_pixels: int | None = None, raw: Any = None) -> T:
    """Open a picture fully and return an object of `cls` (default FrameWick) holding it.

    1. Open `source` (a path, or a readable binary file: read, not closed) and check its size,
       all frames together, against the pixel limit. 2. For a JPEG, choose a reduced decoding
       scale from `steps` (shrink-on-load) unless `exact`. 3. Decode every frame. 4. Turn each
       upright by the EXIF orientation unless `orient` is false, and reset the tag to 1.
       5. Keep EXIF, ICC profile, DPI, XMP, the format and the animation's timing on the
       object's `photo`. A camera RAW file is developed by LibRaw, upright, with the options
       `raw` names ("half", "preview", "auto-wb"; see framewick.formats.raw), and shrunk on load by
       half-size development.
    """
    if cls is None:
        from framewick import FrameWick

        cls = FrameWick  # type: ignore[assignment]
    assert cls is not None
    name = _name(source)
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not os.path.exists(path):
            raise FileNotFoundError(f"❌ Error: File {name} not found!")
        if os.path.isdir(path):
            raise PhotoError(f"❌ Error: {name} is a directory, not a picture")
        with open(path, "rb") as fp:
            photo, first = _read(fp, name, orient, steps, exact, max_pixels, raw)
    else:
        photo, first = _read(source, name, orient, steps, exact, max_pixels, raw)
    obj = cls()
    obj.image = first  # type: ignore[attr-defined]
    obj.photo = photo  # type: ignore[attr-defined]
    if not hasattr(obj, "quality"):
        obj.quality = 95  # type: ignore[attr-defined]
    return obj


def _read(fp: IO[bytes], name: str, orient: bool, steps: Any, exact: bool,
          max_pixels: int | None, raw: Any = None) -> tuple[Photo, Image.Image]:
    chain = _chain(steps) if steps is not None and not exact else None
    raw_options = _raw_plugin.options(raw)
    limit = pixel_limit(max_pixels)
    picture = _open(fp, name, max_pixels)
    try:
        count = getattr(picture, "n_frames", 1)
        total = picture.width * picture.height * count
        if limit is not None and total > limit:
            what = f"{count} frames of {picture.width}x{picture.height}" if count > 1 else f"{picture.width}x{picture.height}"
            raise PhotoError(f"❌ Error: {name} is too large: {what} is {total} pixels, more than the limit of {limit}")
        if isinstance(picture, _raw_plugin.RawImageFile):  # developed upright by LibRaw itself
            try:
                picture.configure(raw_options, orient=orient)
            except OSError as error:
                raise PhotoError(f"❌ Error: {name}: {error}") from None
        if hasattr(picture, "pixel_limit"):  # a plugin whose library keeps limits of its own
            picture.pixel_limit = limit or 0
        tag = _orientation.read_orientation(picture)
        turn = tag if orient else 1
        photo = Photo(format=picture.format, orientation=tag, name=name)
        photo.icc = picture.info.get("icc_profile") or None
        dpi = picture.info.get("dpi")
        if dpi is not None:
            photo.dpi = (float(dpi[0]), float(dpi[1]))
            if _orientation.swaps_sides(turn):
                photo.dpi = (photo.dpi[1], photo.dpi[0])
        xmp = picture.info.get("xmp") or picture.info.get("XML:com.adobe.xmp")
        if isinstance(xmp, str):
            xmp = xmp.encode("utf-8")
        if turn != 1:
            photo.exif = _orientation.reset_exif(picture)
            photo.xmp = _orientation.reset_xmp(xmp) if xmp else None
        else:
            photo.exif = picture.info.get("exif") or None
            photo.xmp = xmp or None
        if chain is not None and count == 1 and picture.format in ("JPEG", _raw_plugin.FORMAT):
            _draft(picture, chain, turn, photo)
        try:
            if count > 1:
                _frames.read_frames(picture, photo)
                first = photo.frames[0]
            else:
                picture.load()
                first = picture
        except (OSError, SyntaxError, ValueError, EOFError) as error:
            if isinstance(error, (FileNotFoundError, PermissionError)):
                raise
            raise PhotoError(f"❌ Error: {name} could not be decoded: {error}") from None
    except BaseException:
        picture.close()
        raise
    if turn != 1:
        if photo.frames:
            photo.frames = [_orientation.upright(f, turn) for f in photo.frames]
            first = photo.frames[0]
        else:
            first = _orientation.upright(first, turn)
    return photo, first


def _draft(picture: Image.Image, chain: Any, turn: int, photo: Photo) -> None:
    width, height = picture.size
    upright = (height, width) if _orientation.swaps_sides(turn) else (width, height)
    scale = shrink.draft_scale(chain, upright)
    if scale > 1:
        picture.draft(picture.mode, (width // scale, height // scale))
        photo.draft_scale = max(1, round(width / picture.width))  # a RAW file halves at most
