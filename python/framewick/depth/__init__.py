"""Steps at depth: each colour step's work on a deep picture, at full precision.

A step whose declaration names one here (`at_depth`, "module:function") keeps a deep picture's
depth: the runner splits the alpha off by the step's rule and calls
`function(colour, values) -> colour` on the colour as float32 (height, width, 1 or 3), nominally
0-1, with the step's values by parameter name; it clips the result to 0-1 and stores it back at
the picture's own depth. Each function gives what the step's method gives through Pillow at 8
bits (the same curves, blends, means and kernels), without rounding to 8 bits between: quantised
to 8 bits, the two agree within a level or two.

A function keeps the band count, except where the method makes colour of grey (temperature,
tint, white balance, lut, sepia, the presets), giving three bands for one, or grey of colour
(the scanned look), giving one for three. It never changes the array it is given. Nothing here
imports Pillow; NumPy is imported with the room, which the runner loads only for a deep picture.
"""

from __future__ import annotations

from typing import Final

import numpy as np

__all__ = ["GREY_WEIGHTS", "as_rgb", "blend", "finite", "grey", "level", "unit"]

#: Pillow's weights of red, green and blue in a grey (L) picture.
GREY_WEIGHTS: Final = (0.299, 0.587, 0.114)


def grey(colour: np.ndarray) -> np.ndarray:
    """The grey of `colour` as one band (height, width, 1), by Pillow's weights."""
    if colour.shape[2] == 1:
        return colour
    r, g, b = GREY_WEIGHTS
    out = colour[:, :, 0:1] * np.float32(r)
    out += colour[:, :, 1:2] * np.float32(g)
    out += colour[:, :, 2:3] * np.float32(b)
    return out


def as_rgb(colour: np.ndarray) -> np.ndarray:
    """`colour` with three bands (a grey one repeated)."""
    return colour if colour.shape[2] == 3 else np.repeat(colour, 3, axis=2)


def blend(first: np.ndarray | float, second: np.ndarray, alpha: float) -> np.ndarray:
    """Pillow's blend: first + alpha * (second - first), a new float32 array (unclipped)."""
    out = np.subtract(second, first, dtype=np.float32)
    out *= np.float32(alpha)
    out += first
    return out


def level(value: float) -> float:
    """`value` (0-1) at the nearest of 256 levels, as Pillow rounds a mean it blends with."""
    return float(np.floor(value * 255.0 + 0.5)) / 255.0


def finite(colour: np.ndarray) -> np.ndarray:
    """`colour` with any NaN taken as 0 and infinities as 0 or 1, as the 8-bit view takes them
    (`colour` itself when all its values are finite). A float picture may hold them; a step that
    sums, averages or indexes by its values would otherwise spread one over a whole line or
    picture, or index out of its table."""
    if np.isfinite(colour).all():
        return colour
    return np.nan_to_num(colour, nan=0.0, posinf=1.0, neginf=0.0)


def unit(colour: np.ndarray) -> np.ndarray:
    """`colour` clipped to 0-1 (a new array), for curves not defined outside it."""
    return np.clip(finite(colour), 0.0, 1.0, dtype=np.float32)
