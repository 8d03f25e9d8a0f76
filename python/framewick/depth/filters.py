"""Blur, unsharp mask and sharpen at depth, with Pillow's kernels.

Pillow's GaussianBlur is three passes of an extended box filter (a box of fractional radius:
whole pixels inside, the next pixel on each side weighted by the fraction), along the rows and
then along the columns, the picture's edge pixels repeated outwards; the box's radius is worked
out from the Gaussian's so the three passes have its variance. The same passes are run here on
float values (summed in double precision), a block of lines at a time to bound the memory.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any, Final

import numpy as np

Values = Mapping[str, Any]

PASSES: Final = 3
#: Values a block of lines holds at most while a pass sums it in double precision.
BLOCK_VALUES: Final = 1 << 21


def box_radius(radius: float, passes: int = PASSES) -> float:
    """The extended box's radius whose `passes` have the variance of a Gaussian of `radius`."""
    sigma2 = radius * radius / passes
    length = math.sqrt(12.0 * sigma2 + 1.0)
    whole = math.floor((length - 1.0) / 2.0)
    fraction = (2 * whole + 1) * (whole * (whole + 1) - 3 * sigma2)
    fraction /= 6 * (sigma2 - (whole + 1) * (whole + 1))
    return whole + fraction


def _box_lines(lines: np.ndarray, radius: float) -> np.ndarray:
    """One pass of the extended box along axis 1 of `lines` (lines, length, bands), edges
    repeated: a new float32 array."""
    n = lines.shape[1]
    whole = int(radius)
    inner = 1.0 / (2.0 * radius + 1.0)
    outer = (1.0 - (2 * whole + 1) * inner) / 2.0
    data = lines.astype(np.float64)
    # The sum of the first k values of the line with its edges repeated outwards, for any k:
    # k times the first value below 0, the running sum inside, the last value repeated after.
    running = np.zeros((data.shape[0], n + 1, data.shape[2]))
    np.cumsum(data, axis=1, out=running[:, 1:])
    x = np.arange(n)

    def summed(k: np.ndarray) -> np.ndarray:
        inside = np.take(running, np.clip(k, 0, n), axis=1)
        below = np.minimum(k, 0).astype(np.float64)[None, :, None] * data[:, :1]
        above = np.maximum(k - n, 0).astype(np.float64)[None, :, None] * data[:, -1:]
        return inside + below + above

    out = summed(x + whole + 1) - summed(x - whole)
    out *= inner
    if outer:
        edges = np.take(data, np.clip(x - whole - 1, 0, n - 1), axis=1)
        edges += np.take(data, np.clip(x + whole + 1, 0, n - 1), axis=1)
        out += outer * edges
    return out.astype(np.float32)


def _box(colour: np.ndarray, radius: float, axis: int) -> np.ndarray:
    """One pass along the rows (axis 1) or the columns (axis 0), a block of lines at a time."""
    lines = colour if axis == 1 else colour.transpose(1, 0, 2)
    out = np.empty(lines.shape, dtype=np.float32)
    step = max(1, BLOCK_VALUES // max(1, lines.shape[1] * lines.shape[2]))
    for start in range(0, lines.shape[0], step):
        out[start:start + step] = _box_lines(lines[start:start + step], radius)
    return out if axis == 1 else np.ascontiguousarray(out.transpose(1, 0, 2))


def gaussian(colour: np.ndarray, radius: float) -> np.ndarray:
    """Pillow's GaussianBlur of `radius` (its standard deviation in pixels; 0 leaves it)."""
    if radius == 0 or colour.size == 0:
        return colour.copy()
    box = box_radius(abs(radius))
    out = colour
    for axis in (1, 0):
        if box != 0:
            for _ in range(PASSES):
                out = _box(out, box, axis)
    return out if out is not colour else colour.copy()


def blur(colour: np.ndarray, values: Values) -> np.ndarray:
    """apply_blur: a Gaussian blur of `radius` pixels."""
    return gaussian(colour, float(values.get("radius", 2)))


def unsharp(colour: np.ndarray, values: Values) -> np.ndarray:
    """unsharp: Pillow's UnsharpMask. Where a value differs from its blur by more than
    `threshold` levels (of 255), the difference times the amount (in whole percent) is added.
    At 8 bits the difference is a whole number of levels, more than `threshold` when at least
    one more: the line between is half a level above it."""
    percent = round(float(values.get("amount", 1.5)) * 100)
    threshold = (float(values.get("threshold", 3)) + 0.5) / 255.0
    diff = colour - gaussian(colour, float(values.get("radius", 2.0)))
    out = colour + diff * np.float32(percent / 100.0)
    return np.where(np.abs(diff) > threshold, out, colour)


#: Pillow's SHARPEN kernel, over its divisor.
SHARPEN: Final = (np.full((3, 3), -2.0) + np.array([[0, 0, 0], [0, 34, 0], [0, 0, 0]])) / 16.0


def sharpen(colour: np.ndarray, values: Values) -> np.ndarray:
    """apply_sharpen: Pillow's 3x3 SHARPEN kernel; the outermost rows and columns are kept."""
    out = colour.copy()
    h, w = colour.shape[:2]
    if h < 3 or w < 3:
        return out
    inner = np.zeros((h - 2, w - 2, colour.shape[2]), dtype=np.float32)
    for dy in range(3):
        for dx in range(3):
            inner += np.float32(SHARPEN[dy, dx]) * colour[dy:h - 2 + dy, dx:w - 2 + dx]
    out[1:-1, 1:-1] = inner
    return out
