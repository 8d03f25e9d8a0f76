"""ICC colour profiles: what a profile describes, and turning a picture into sRGB through it."""

from __future__ import annotations

import io
from functools import lru_cache
from typing import Any

TYPE_CHECKING = False
if TYPE_CHECKING:  # ImageCms is imported when a profile is read: a picture without one needs none
    from PIL import Image, ImageCms

# The colour space a profile must describe to fit a picture of each mode.
_SPACE = {"1": "GRAY", "L": "GRAY", "LA": "GRAY", "I": "GRAY", "I;16": "GRAY", "F": "GRAY",
          "RGB": "RGB", "RGBA": "RGB", "P": "RGB", "PA": "RGB", "CMYK": "CMYK"}


@lru_cache(maxsize=32)
def _profile(icc: bytes) -> ImageCms.ImageCmsProfile | None:
    from PIL import ImageCms

    try:
        return ImageCms.ImageCmsProfile(io.BytesIO(icc))
    except (OSError, ValueError, TypeError, ImageCms.PyCMSError):
        return None


@lru_cache(maxsize=1)
def srgb_bytes() -> bytes:
    """An sRGB profile to embed."""
    from PIL import ImageCms

    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


@lru_cache(maxsize=1)
def _srgb() -> ImageCms.ImageCmsProfile:
    from PIL import ImageCms

    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB"))


def description(icc: bytes | None) -> str | None:
    """The profile's description ("sRGB IEC61966-2.1"), or None without a readable profile."""
    profile = _profile(icc) if icc else None
    if profile is None:
        return None
    from PIL import ImageCms

    try:
        return ImageCms.getProfileDescription(profile).strip() or None
    except ImageCms.PyCMSError:
        return None


def space(icc: bytes | None) -> str | None:
    """The colour space the profile describes: "RGB", "GRAY", "CMYK", "Lab", ... or None."""
    profile = _profile(icc) if icc else None
    return profile.profile.xcolor_space.strip() if profile is not None else None


def is_srgb(icc: bytes | None) -> bool:
    """Whether the profile is sRGB (no profile counts as sRGB, as viewers assume)."""
    if not icc:
        return True
    text = description(icc)
    return text is not None and "srgb" in text.lower()


def fits(icc: bytes | None, mode: str) -> bool:
    """Whether the profile can be embedded with a picture of `mode` (its colour space matches)."""
    return bool(icc) and space(icc) == _SPACE.get(mode)


def to_srgb(picture: Image.Image, icc: bytes | None) -> Image.Image:
    """`picture` (RGB, RGBA or CMYK) converted from its profile to sRGB; RGB or RGBA.

    Without a usable profile of the picture's colour space, RGB pictures are returned as they
    are and CMYK ones converted by Pillow's plain formula. Alpha is carried across unchanged.
    """
    profile = _profile(icc) if icc and fits(icc, picture.mode) else None
    if picture.mode == "CMYK":
        if profile is None:
            return picture.convert("RGB")
        return _convert(picture, profile, "RGB")
    if picture.mode not in ("RGB", "RGBA") or profile is None or is_srgb(icc):
        return picture
    if picture.mode == "RGBA":
        alpha = picture.getchannel("A")
        colour = _convert(picture.convert("RGB"), profile, "RGB")
        colour.putalpha(alpha)
        return colour
    return _convert(picture, profile, "RGB")


def _convert(picture: Image.Image, profile: ImageCms.ImageCmsProfile, mode: str) -> Image.Image:
    from PIL import ImageCms

    result = ImageCms.profileToProfile(picture, profile, _srgb(), outputMode=mode)
    assert result is not None  # not in place, so a new picture
    return result


def deep_to_srgb(pixels: Any, icc: bytes | None, intent: int = 0) -> Any:
    """Pixels at depth (a NumPy array (height, width, channels) of uint16 or float32, grey or
    RGB with or without alpha) converted from `icc` to sRGB at their depth through LittleCMS,
    alpha carried across. Grey pictures, pictures without a fitting profile and sRGB ones are
    returned as they are, as `to_srgb` leaves them at 8 bits. None when LittleCMS's module is
    not built here (the caller then converts at 8 bits)."""
    channels = pixels.shape[2]
    mode = {3: "RGB", 4: "RGBA"}.get(channels)
    if mode is None or not fits(icc, mode) or is_srgb(icc) or _profile(icc) is None:  # type: ignore[arg-type]
        return pixels
    try:
        from framewick.formats import _lcms
    except ImportError:
        return None
    import numpy as np

    height, width = pixels.shape[:2]
    bits = 32 if pixels.dtype == np.float32 else 16
    data = np.ascontiguousarray(pixels)
    out, count = _lcms.convert(data, width, height, channels, bits, source=icc, target=None, intent=intent)
    converted = np.frombuffer(out, dtype=data.dtype).reshape(height, width, count)
    # LittleCMS's float transforms are unbounded: colours outside sRGB's gamut come out past
    # 0-1, where 16-bit ones are clipped. A deep picture's floats are nominally 0-1.
    return np.clip(converted, 0.0, 1.0) if bits == 32 else converted
