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

from framewick.depth import finite

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


def _along(a: np.ndarray, axis: int, start: int, stop: int) -> np.ndarray:
    return a[start:stop] if axis == 0 else a[:, start:stop]


class _Scratch:
    """Arrays of double kept from one block to the next: a fresh array of this size costs more
    in page faults than the arithmetic done in it."""

    def __init__(self) -> None:
        self.kept: dict[tuple[str, tuple[int, ...]], np.ndarray] = {}

    def __call__(self, name: str, shape: tuple[int, ...]) -> np.ndarray:
        found = self.kept.get((name, shape))
        if found is None:
            found = self.kept[(name, shape)] = np.empty(shape)
        return found


def _running(padded: np.ndarray, axis: int, scratch: _Scratch) -> np.ndarray:
    """The running sums along `axis`, from 0 (one longer than `padded` along it). Along the
    columns a loop over the rows adds whole rows, far faster than cumsum across them."""
    shape = list(padded.shape)
    shape[axis] += 1
    running = scratch("running", tuple(shape))
    if axis == 1:
        running[:, 0] = 0.0
        np.cumsum(padded, axis=1, out=running[:, 1:])
        return running
    running[0] = 0.0
    for i in range(padded.shape[0]):
        np.add(running[i], padded[i], out=running[i + 1])
    return running


def _box_lines(lines: np.ndarray, radius: float, axis: int, into: np.ndarray, scratch: _Scratch) -> None:
    """One pass of the extended box along `axis` (0 or 1) of `lines` (height, width, bands),
    edges repeated, written to `into` (float32, of the same shape)."""
    n = lines.shape[axis]
    whole = int(radius)
    inner = 1.0 / (2.0 * radius + 1.0)
    outer = (1.0 - (2 * whole + 1) * inner) / 2.0
    first = _along(lines, axis, 0, 1).astype(np.float64)
    last = _along(lines, axis, n - 1, n).astype(np.float64)
    if whole + 1 >= n:
        # Every window holds the whole line and copies of its ends: the sum in closed form.
        x = np.arange(n, dtype=np.float64).reshape((-1, 1, 1) if axis == 0 else (1, -1, 1))
        out = lines.astype(np.float64).sum(axis=axis, keepdims=True) + (x + whole + 1 - n) * last + (whole - x) * first
        out *= inner
        out += outer * (first + last)
        into[...] = out
        return
    pad = whole + 1
    shape = list(lines.shape)
    shape[axis] += 2 * pad
    padded = scratch("padded", tuple(shape))
    _along(padded, axis, 0, pad)[...] = first
    _along(padded, axis, pad, pad + n)[...] = lines
    _along(padded, axis, pad + n, n + 2 * pad)[...] = last
    running = _running(padded, axis, scratch)
    # Output x sums padded[x + 1 .. x + 2 * whole + 1]; its far values are padded[x] and
    # padded[x + 2 * whole + 2].
    far = 2 * whole + 2
    out = scratch("out", lines.shape)
    np.subtract(_along(running, axis, far, far + n), _along(running, axis, 1, 1 + n), out=out)
    out *= inner
    if outer:
        edges = scratch("edges", lines.shape)
        np.add(_along(padded, axis, 0, n), _along(padded, axis, far, far + n), out=edges)
        edges *= outer
        out += edges
    into[...] = out


def _box(colour: np.ndarray, radius: float, axis: int, out: np.ndarray, scratch: _Scratch) -> np.ndarray:
    """One pass along the rows (axis 1) or the columns (axis 0) into `out`, a block of lines at
    a time: rows for a pass along them, columns for a pass down them."""
    across = 1 - axis
    step = max(1, BLOCK_VALUES // max(1, colour.shape[axis] * colour.shape[2]))
    for start in range(0, colour.shape[across], step):
        _box_lines(_along(colour, across, start, start + step), radius, axis,
                   _along(out, across, start, start + step), scratch)
    return out


def gaussian(colour: np.ndarray, radius: float) -> np.ndarray:
    """Pillow's GaussianBlur of `radius` (its standard deviation in pixels; 0 leaves it): a new
    array. The passes go back and forth between two pictures' worth of floats."""
    box = box_radius(abs(radius)) if radius else 0.0
    if box == 0 or colour.size == 0:
        return colour.copy()
    colour = finite(colour)
    scratch = _Scratch()
    out = _box(colour, box, 1, np.empty(colour.shape, dtype=np.float32), scratch)
    spare = np.empty_like(out)
    for axis in (1, 1, 0, 0, 0):
        out, spare = _box(out, box, axis, spare, scratch), out
    return out


def blur(colour: np.ndarray, values: Values) -> np.ndarray:
    """apply_blur: a Gaussian blur of `radius` pixels."""
    return gaussian(colour, float(values.get("radius", 2)))


def unsharp(colour: np.ndarray, values: Values) -> np.ndarray:
    """unsharp: Pillow's UnsharpMask. Where a value differs from its blur by more than
    `threshold` levels (of 255), the difference times the amount (in whole percent) is added.
    At 8 bits the difference is a whole number of levels, more than `threshold` when at least
    one more: the line between is half a level above it."""
    colour = finite(colour)
    percent = round(float(values.get("amount", 1.5)) * 100)
    threshold = (float(values.get("threshold", 3)) + 0.5) / 255.0
    diff = colour - gaussian(colour, float(values.get("radius", 2.0)))
    out = colour + diff * np.float32(percent / 100.0)
    return np.where(np.abs(diff) > threshold, out, colour)


#: Pillow's SHARPEN kernel, over its divisor.
SHARPEN: Final = (np.full((3, 3), -2.0) + np.array([[0, 0, 0], [0, 34, 0], [0, 0, 0]])) / 16.0


def sharpen(colour: np.ndarray, values: Values) -> np.ndarray:
    """apply_sharpen: Pillow's 3x3 SHARPEN kernel; the outermost rows and columns are kept."""
    colour = finite(colour)
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
