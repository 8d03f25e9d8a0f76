"""A deep picture: a photo's pixels at their own depth, carried beside its 8-bit picture.

Pillow holds colour at 8 bits per channel (its 16-bit and float modes hold one band), so the
pixels of a 16-bit PNG or TIFF, a 10/12-bit HEIC or AVIF, a float TIFF or a RAW file developed
at 16 bits are kept here as one NumPy array, and the object's `image` stays the 8-bit view of
them that every step, status line and reader of the picture already knows. This module imports
NumPy; it is imported only once a deep picture exists.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from PIL import Image

from framewick.photo.companions import Companion

#: The bands of a deep picture by its number of channels.
BANDS = {1: "L", 2: "LA", 3: "RGB", 4: "RGBA"}

_DTYPES = (np.dtype(np.uint16), np.dtype(np.float32))


class Deep(Companion):
    """Pixels at depth: a C-contiguous array (height, width, channels) of 1 to 4 channels
    ("L", "LA", "RGB", "RGBA"), uint16 over the full range 0-65535 whatever the source's bits
    (10/12-bit samples scaled by v*65535/(2^b-1)) or float32 nominally 0.0-1.0; `bits` is the
    source's significant bits (10, 12, 16, or 32 for float). The colour profile is the photo's
    (`Photo.icc`), as for 8-bit pictures. The array is never changed in place once made.
    """

    #: True when the 8-bit picture first paired with these pixels is their library's own 8-bit
    #: output, made in the same pass (a camera RAW: LibRaw's 8-bit development, each value the
    #: top byte of its 16-bit one). An 8-bit file of the unchanged picture is then written from
    #: that picture as it is, not dithered. A step that changes the pixels makes a new Deep,
    #: which is not marked.
    exact_8bit = False

    def __init__(self, pixels: Any, bits: int = 16) -> None:
        array = np.asarray(pixels)
        if array.ndim == 2:
            array = array[:, :, np.newaxis]
        if array.ndim != 3 or array.shape[2] not in BANDS:
            raise ValueError(f"a deep picture has 1 to 4 channels, not an array of shape {array.shape}")
        if array.dtype not in _DTYPES:
            raise ValueError(f"a deep picture holds uint16 or float32 samples, not {array.dtype}")
        if array.shape[0] < 1 or array.shape[1] < 1:
            raise ValueError("a deep picture has at least one pixel")
        floating = array.dtype == np.float32
        if floating != (bits == 32) or not (floating or 9 <= bits <= 16):
            raise ValueError(f"{bits} significant bits do not fit {array.dtype} samples")
        self.pixels = np.ascontiguousarray(array)
        self.bits = int(bits)

    def __repr__(self) -> str:
        width, height = self.size
        return f"<Deep {self.bands} {width}x{height} {self.bits}-bit>"

    @property
    def size(self) -> tuple[int, int]:
        """(width, height), as Pillow gives a picture's."""
        return int(self.pixels.shape[1]), int(self.pixels.shape[0])

    @property
    def bands(self) -> str:
        return BANDS[self.pixels.shape[2]]

    @property
    def channels(self) -> int:
        return int(self.pixels.shape[2])

    @property
    def floating(self) -> bool:
        return bool(self.pixels.dtype == np.float32)

    @property
    def has_alpha(self) -> bool:
        return self.channels in (2, 4)

    def view8(self) -> Image.Image:
        """The 8-bit Pillow picture of these pixels: round(v*255/65535), float clipped to 0-1."""
        return Image.fromarray(to_8bit(self.pixels))

    def band(self, index: int) -> Image.Image:
        """Band `index` as a Pillow picture: "I;16" for uint16 samples, "F" for float."""
        plane = np.ascontiguousarray(self.pixels[:, :, index])
        return Image.fromarray(plane)  # "I;16" for uint16, "F" for float32

    def colour(self) -> np.ndarray:
        """The colour bands (alpha left out) as float32 in 0-1: (height, width, 1 or 3)."""
        colour = self.pixels[:, :, : 3 if self.channels >= 3 else 1]
        if self.floating:
            return colour.astype(np.float32, copy=True)
        return colour.astype(np.float32) * np.float32(1 / 65535)

    def alpha(self) -> np.ndarray | None:
        """The alpha band (height, width, 1) at the picture's own dtype, or None."""
        return self.pixels[:, :, -1:] if self.has_alpha else None

    def with_colour(self, colour: Any, alpha: Any = None) -> Deep:
        """A deep picture of `colour` (float, nominally 0-1: clipped, stored at this picture's
        dtype) and `alpha` (at this dtype, or None for none), with this picture's bits."""
        colour = np.asarray(colour, dtype=np.float32)
        if colour.ndim == 2:
            colour = colour[:, :, np.newaxis]
        stored = from_unit(colour, self.pixels.dtype)
        if alpha is not None:
            stored = np.concatenate([stored, np.asarray(alpha, dtype=self.pixels.dtype)], axis=2)
        return Deep(stored, self.bits)

    @classmethod
    def from_bands(cls, bands: Sequence[Image.Image], bits: int = 16, floating: bool | None = None) -> Deep:
        """A deep picture of one-band Pillow pictures ("I;16", "I" or "F", all one size): uint16
        unless `floating` (by default: float when the bands are "F" and `bits` is 32). Values
        out of a uint16's range are clipped, fractions rounded."""
        if not bands or len(bands) not in BANDS:
            raise ValueError("a deep picture is made of 1 to 4 bands")
        if len({b.size for b in bands}) != 1:
            raise ValueError("the bands of a deep picture are all one size")
        if floating is None:
            floating = bits == 32
        planes = [_plane(b, floating) for b in bands]
        return cls(np.stack(planes, axis=2), 32 if floating else bits)


def _plane(band: Image.Image, floating: bool) -> np.ndarray:
    if band.mode.startswith("I;16") and band.mode != "I;16":
        band = band.convert("I")  # another byte order: its values as integers
    values = np.asarray(band)
    if floating:
        return values.astype(np.float32, copy=False)
    if values.dtype == np.uint16:
        return values
    if values.dtype.kind == "f":
        values = np.rint(values)
    return np.clip(values, 0, 65535).astype(np.uint16)


def to_8bit(pixels: np.ndarray) -> np.ndarray:
    """uint8 samples of uint16 (round(v*255/65535), exactly) or float (0-1, clipped) ones,
    with a single band's channel axis dropped (Pillow's L)."""
    if pixels.dtype == np.uint16:
        eight = ((pixels.astype(np.uint32) + 128) // 257).astype(np.uint8)  # 257 is odd: no ties
    else:
        eight = np.rint(np.clip(np.nan_to_num(pixels, nan=0.0), 0.0, 1.0) * 255.0).astype(np.uint8)
    return eight[:, :, 0] if eight.ndim == 3 and eight.shape[2] == 1 else eight


def from_unit(values: np.ndarray, dtype: Any) -> np.ndarray:
    """float samples (nominally 0-1) stored as `dtype`: clipped to 0-1 (NaN as 0), and for
    uint16 scaled to 0-65535 and rounded."""
    clipped = np.clip(np.nan_to_num(values, nan=0.0, posinf=1.0, neginf=0.0), 0.0, 1.0)
    if np.dtype(dtype) == np.float32:
        return clipped.astype(np.float32, copy=False)
    return np.rint(clipped * np.float32(65535)).astype(np.uint16)


def of_picture(picture: Image.Image) -> Deep:
    """A deep picture of an 8-bit Pillow picture (L, LA, RGB, RGBA): each value v as v*257."""
    if picture.mode not in ("L", "LA", "RGB", "RGBA"):
        raise ValueError(f"a deep picture is made from an L, LA, RGB or RGBA picture, not {picture.mode}")
    return Deep(np.asarray(picture).astype(np.uint16) * np.uint16(257), 16)
