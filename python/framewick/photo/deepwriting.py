"""The way out at depth: a photo's deep picture written as 16-bit PNG, TIFF (float stays float)
and JPEG XL, 10-bit AVIF and HEIC (12 when asked), or dithered to 8 bits for a format that holds
no more, with the profile, DPI, EXIF and XMP the 8-bit writer keeps.

This module imports NumPy; the writer imports it only when there is a deep picture to write
(or 16 bits were asked for an 8-bit one).
"""

from __future__ import annotations

import dataclasses
import types
from collections.abc import Callable
from typing import Any

import numpy as np
from PIL import Image

from framewick.photo import exif as _exif
from framewick.photo import companions, deeptiff, profiles
from framewick.photo.deeptiff import Metadata as _Metadata
from framewick.photo.deeptiff import metadata as _metadata
from framewick.photo.formats import DEEP_BITS
from framewick.photo.metadata import Photo
from framewick.status import note

_BANDS = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}
_XMP_KEY = "XML:com.adobe.xmp"


# ---------------------------------------------------------------------------------------------
# Dithering to 8 bits


def _noise(size: int) -> np.ndarray:
    """A `size` x `size` map of thresholds spread evenly over 0-65534, in no order an eye or
    JPEG picks up: each position's index through a 32-bit integer hash (the same on every
    machine and NumPy), ranked."""
    h = np.arange(size * size, dtype=np.uint64) + np.uint64(0x9E3779B9)
    mask = np.uint64(0xFFFFFFFF)
    h ^= h >> np.uint64(16)
    h = (h * np.uint64(0x7FEB352D)) & mask
    h ^= h >> np.uint64(15)
    h = (h * np.uint64(0x846CA68B)) & mask
    h ^= h >> np.uint64(16)
    rank = np.empty(size * size, dtype=np.uint32)
    rank[np.argsort(h, kind="stable")] = np.arange(size * size, dtype=np.uint32)
    return ((rank * 2 + 1) * 65535 // (2 * size * size)).reshape(size, size).astype(np.uint32)


_TILE = 64
# Thresholds in 16-bit units, always under one 8-bit step (65535 units once scaled by 255
# below), so a value exactly on an 8-bit level (v * 257) stays on it. A white-noise map, not
# Bayer's: a lossy writer's quantisation removes Bayer's fine regular pattern and the bands come
# back, while noise of every frequency survives it well enough to keep a gradient smooth.
_THRESHOLD = _noise(_TILE)
_BAND_ROWS = 256  # rows dithered at a time, a multiple of the tile: bounds the working memory


def dither(pixels: np.ndarray) -> np.ndarray:
    """uint8 samples of deep ones (uint16 over the full range, or float32 0-1, clipped),
    dithered by a fixed 64x64 threshold map, the same threshold for every channel of a pixel so
    greys stay grey: a smooth gradient becomes a fine mix of neighbouring levels instead of
    bands. An 8-bit picture held at depth (each value v*257) comes back exactly."""
    height, width, channels = pixels.shape
    out = np.empty((height, width, channels), dtype=np.uint8)
    across = np.tile(_THRESHOLD, (1, -(-width // _TILE)))[:, :width, np.newaxis]
    for top in range(0, height, _BAND_ROWS):
        rows = pixels[top:top + _BAND_ROWS]
        threshold = np.tile(across, (-(-rows.shape[0] // _TILE), 1, 1))[:rows.shape[0]]
        if rows.dtype == np.uint16:
            # (v * 255 + t) // 65535, exact in 32 bits: at most 65535 * 255 + 65535 < 2^32
            out[top:top + _BAND_ROWS] = (rows.astype(np.uint32) * 255 + threshold) // 65535
        else:
            unit = np.clip(np.nan_to_num(rows, nan=0.0, posinf=1.0, neginf=0.0), 0.0, 1.0)
            levels = np.floor(unit * np.float32(255) + threshold * np.float32(1 / 65535))
            out[top:top + _BAND_ROWS] = np.minimum(levels, 255).astype(np.uint8)
    return out


def _picture(pixels8: np.ndarray) -> Image.Image:
    if pixels8.shape[2] == 1:
        return Image.fromarray(pixels8[:, :, 0], "L")
    return Image.fromarray(pixels8, _BANDS[pixels8.shape[2]])


# ---------------------------------------------------------------------------------------------
# The deep picture's colour and metadata as written


def _as_uint16(pixels: np.ndarray) -> np.ndarray:
    if pixels.dtype == np.uint16:
        return pixels
    unit = np.clip(np.nan_to_num(pixels, nan=0.0, posinf=1.0, neginf=0.0), 0.0, 1.0)
    return np.rint(unit * np.float32(65535)).astype(np.uint16)


def _in_srgb(pixels: np.ndarray, icc: bytes | None, name: str) -> np.ndarray | None:
    """The pixels converted from `icc` to sRGB at depth; None, with a note, where LittleCMS's
    module is not built here (the 8-bit writer then converts)."""
    converted = profiles.deep_to_srgb(pixels, icc)
    if converted is None:
        note(f"framewick: {name}: LittleCMS's module is not built here, so the colours are converted at 8 bits")
    return converted


def _colour(pixels: np.ndarray, icc: bytes | None, *, strip: bool, srgb: bool, fmt: str,
            name: str) -> tuple[np.ndarray, bytes | None] | None:
    """The pixels in the colour space they are written in, and the profile to embed: converted
    to sRGB at depth for `srgb`, or for `strip` when the profile is not sRGB (as the 8-bit writer
    does). None when the conversion cannot be made at depth here (no LittleCMS module)."""
    mode = _BANDS[pixels.shape[2]]
    convert, kept = deeptiff.kept_profile(icc, mode, strip=strip, srgb=srgb)
    if not convert:
        return pixels, kept
    converted = _in_srgb(pixels, icc, name)
    if converted is None:
        return None
    return converted, profiles.srgb_bytes() if srgb and mode in ("RGB", "RGBA") else None


# ---------------------------------------------------------------------------------------------
# The writers


def _png(pixels: np.ndarray, meta: _Metadata, obj: Any) -> bytes:
    from framewick.formats import _png

    height, width, channels = pixels.shape
    text = {_XMP_KEY: meta.xmp.decode("utf-8", "replace")} if meta.xmp else None
    return _png.write(_as_uint16(pixels), width, height, channels, 16, icc=meta.icc, dpi=meta.dpi,
                      exif=meta.exif, text=text)


def _tiff(pixels: np.ndarray, meta: _Metadata, obj: Any, name: str) -> Callable[[Any], None]:
    height, width, channels = pixels.shape
    sample: int | str = "float" if pixels.dtype == np.float32 else 16
    return deeptiff.writer(np.ascontiguousarray(pixels), width, height, channels, sample, meta, obj, name)


def _avif(pixels: np.ndarray, meta: _Metadata, obj: Any, depth: int, gain: Any = None) -> bytes:
    """An AVIF of the deep pixels; a `gain` map goes with it as ISO 21496-1, as the 8-bit writer
    stores one. An orientation left in the EXIF (pixels kept as stored) becomes irot/imir, as
    the 8-bit writers make it."""
    from framewick.formats import _avif

    extra: dict[str, Any] = {"orientation": _exif.orientation(meta.exif)}
    if gain is not None:
        plain = gain.as_ultra_hdr()
        extra |= {"gain_map": (plain.picture.tobytes(), plain.picture.mode, *plain.picture.size),
                  "gain_map_metadata": plain.metadata()}
    height, width, channels = pixels.shape
    return _avif.write(_as_uint16(pixels), width, height, channels, 16, depth=depth,
                       quality=int(getattr(obj, "quality", 95)), icc=meta.icc, exif=meta.exif, xmp=meta.xmp, **extra)


def _heif(pixels: np.ndarray, meta: _Metadata, obj: Any, depth: int, gain: Any = None) -> bytes:
    """An HEIC of the deep pixels; a `gain` map (framewick.photo.hdr.GainMap) goes with it as
    Apple's auxiliary gain-map picture, as the 8-bit writer stores one. An orientation left in
    the EXIF (pixels kept as stored) becomes irot/imir, as the 8-bit writer makes it."""
    from framewick.formats import _heif

    extra: dict[str, Any] = {}
    if gain is not None:
        map_picture, headroom = gain.as_apple()
        extra = {"gain_map": (map_picture.tobytes(), map_picture.mode, *map_picture.size), "headroom": headroom}

    pixels = _as_uint16(pixels)

    def encode(pixels: np.ndarray) -> bytes:
        height, width, channels = pixels.shape
        mode = _BANDS[channels]
        icc = meta.icc if meta.icc is None or profiles.fits(meta.icc, mode) else None
        return _heif.encode(np.ascontiguousarray(pixels), mode, width, height, int(getattr(obj, "quality", 95)),
                            meta.exif, meta.xmp, icc, _exif.orientation(meta.exif), bits=16, depth=depth, **extra)

    if pixels.shape[2] <= 2:
        try:  # grey coded monochrome
            return encode(pixels)
        except _heif.HeifError:  # an encoder without monochrome: grey's band three times, as RGB(A)
            grey = pixels[:, :, :1]
            pixels = np.concatenate([grey, grey, grey] + ([pixels[:, :, 1:]] if pixels.shape[2] == 2 else []), axis=2)
    return encode(pixels)


def _jxl(pixels: np.ndarray, meta: _Metadata, obj: Any) -> bytes:
    from framewick.formats import _jxl

    height, width, channels = pixels.shape
    bits = 32 if pixels.dtype == np.float32 else 16
    # An orientation left in the EXIF (pixels kept as stored) goes into the codestream, which
    # JPEG XL readers apply (the tag kept saying the same turn).
    return _jxl.write(np.ascontiguousarray(pixels), width, height, channels, bits,
                      quality=int(getattr(obj, "quality", 95)), orientation=_exif.orientation(meta.exif),
                      icc=meta.icc, exif=meta.exif, xmp=meta.xmp)


def encode(obj: Any, pixels: np.ndarray, fmt: str, *, depth: int | None, strip: bool, srgb: bool,
           name: str, no_icc: bool = False, gain: Any = None) -> bytes | Callable[[Any], None] | None:
    """The file of `fmt` (one of DEEP_BITS) for `pixels` at depth, with `obj`'s photo's
    profile and metadata (as bytes, or for TIFF what writes it to a path or a stream); None when its colours cannot be converted at depth here (the caller
    writes the 8-bit picture). `no_icc` leaves the profile out as `strip` does, keeping the rest.
    `gain`, a gain map, is stored with an HEIC or an AVIF (the other formats here hold none)."""
    photo: Photo = getattr(obj, "photo", None) or Photo()
    coloured = _colour(pixels, photo.icc, strip=strip or no_icc, srgb=srgb, fmt=fmt, name=name)
    if coloured is None:
        return None
    pixels, icc = coloured
    meta = _metadata(photo, fmt, icc, strip)
    if fmt == "PNG":
        return _png(pixels, meta, obj)
    if fmt == "TIFF":
        return _tiff(pixels, meta, obj, name)
    if fmt == "JXL":
        return _jxl(pixels, meta, obj)
    coded = 12 if depth == 12 else DEEP_BITS[fmt]
    if fmt == "AVIF":
        return _avif(pixels, meta, obj, coded, gain)
    return _heif(pixels, meta, obj, coded, gain)


def dithered(obj: Any, pixels: np.ndarray, *, strip: bool, srgb: bool, name: str) -> Any | None:
    """A stand-in for `obj` for the 8-bit writer: the deep pixels (converted to sRGB at depth
    first when asked) dithered to an 8-bit picture, with the photo's metadata and the profile
    that now describes them. None when the colours cannot be converted at depth here."""
    photo: Photo = getattr(obj, "photo", None) or Photo()
    icc = photo.icc
    if srgb or (strip and not profiles.is_srgb(icc)):
        converted = _in_srgb(pixels, icc, name)
        if converted is None:
            return None
        if converted is not pixels:
            pixels, icc = converted, profiles.srgb_bytes()
    picture = _picture(dither(pixels))
    kept = dataclasses.replace(photo, icc=icc, frames=[])
    # The other companions (a gain map) go with the dithered picture, which now stands for the
    # object's: paired with it, the writer finds them as it would have found them on `obj`.
    for kind in companions.KINDS:
        companion = companions.valid(photo, kind, obj.image) if kind != "deep" else None
        setattr(kept, kind, companion.paired(picture) if companion is not None else None)
    return types.SimpleNamespace(image=picture, photo=kept, quality=getattr(obj, "quality", 95))


def grey16(picture: Image.Image) -> np.ndarray | None:
    """A 16-bit grey picture (Pillow's "I;16" modes, or "I" within 0-65535) as uint16 samples
    (height, width, 1); None for another mode or values past 16 bits."""
    if picture.mode == "I":
        low, high = picture.getextrema()
        if not (0 <= low and high <= 65535):
            return None
        picture = picture.convert("I;16")
    if picture.mode not in ("I;16", "I;16L", "I;16B", "I;16N"):
        return None
    array = np.asarray(picture)
    return np.ascontiguousarray(array.astype(np.uint16)[:, :, np.newaxis])


def widened(picture: Image.Image) -> np.ndarray | None:
    """An 8-bit picture (L, LA, RGB, RGBA) as 16-bit samples (v * 257) for writing at 16 bits;
    None for another mode."""
    if picture.mode not in ("L", "LA", "RGB", "RGBA"):
        return None
    array = np.asarray(picture)
    if array.ndim == 2:
        array = array[:, :, np.newaxis]
    return array.astype(np.uint16) * np.uint16(257)

