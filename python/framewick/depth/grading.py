"""The `lut` step at depth: a .cube table applied to every value at full precision.

The file is read by the 8-bit step's own reader (kept once per process). A 3D table is read off
trilinearly, as Pillow's Color3DLUT reads it at 8 bits, but from the table as written (its
domain and size as they are, where the 8-bit step resamples to a grid Pillow takes); a 1D table
is read off each band's curve linearly. The graded colours are clipped, as 8-bit ones are, and
blended with the picture by the strength.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Final

import numpy as np

from framewick.depth import as_rgb, blend, unit

Values = Mapping[str, Any]

#: Pixels graded at a time: the interpolation's indices and weights stay a few tens of MB.
BLOCK_PIXELS: Final = 1 << 18


def lut(colour: np.ndarray, values: Values) -> np.ndarray:
    """apply_lut: grade with the .cube file at `path`, blended with the picture by `strength`."""
    from framewick.chains.lut import read_cube

    table = read_cube(values["path"])
    strength = float(values.get("strength", 1.0))
    rgb = as_rgb(colour)
    if strength == 0.0:
        return unit(rgb)
    grid = np.asarray(table.table, dtype=np.float32).reshape(-1, 3)
    low = np.array(table.domain_min, dtype=np.float32)
    last = table.size - 1
    scale = np.float32(last) / (np.array(table.domain_max, dtype=np.float32) - low)
    flat = rgb.reshape(-1, 3)
    graded = np.empty(flat.shape, dtype=np.float32)
    read = _trilinear if table.dimensions == 3 else _curves
    for start in range(0, flat.shape[0], BLOCK_PIXELS):
        # Each value's place on the grid, through the domain; NaN at its start, as black is.
        at = flat[start:start + BLOCK_PIXELS] - low
        at *= scale
        np.nan_to_num(at, copy=False, nan=0.0, posinf=last, neginf=0.0)
        np.clip(at, 0.0, last, out=at)
        graded[start:start + BLOCK_PIXELS] = read(grid, table.size, at)
    np.clip(graded, 0.0, 1.0, out=graded)
    graded = graded.reshape(rgb.shape)
    return graded if strength == 1.0 else blend(unit(rgb), graded, strength)


def _cell(size: int, at: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The grid point below each position (at most the last but one) and the weight of the next."""
    below = np.minimum(at.astype(np.int64), size - 2)
    return below, (at - below).astype(np.float32)


def _curves(table: np.ndarray, size: int, at: np.ndarray) -> np.ndarray:
    """Each band read off its own curve (rows of the 1D table), linearly."""
    below, weight = _cell(size, at)
    bands = np.arange(3)
    return table[below, bands] * (1 - weight) + table[below + 1, bands] * weight


def _trilinear(table: np.ndarray, size: int, at: np.ndarray) -> np.ndarray:
    """Each colour read off the 3D table (red fastest) between its eight grid points."""
    below, weight = _cell(size, at)
    r, g, b = below[:, 0], below[:, 1], below[:, 2]
    wr, wg, wb = weight[:, 0:1], weight[:, 1:2], weight[:, 2:3]
    base = r + size * g + size * size * b

    def corner(dr: int, dg: int, db: int) -> np.ndarray:
        return table[base + dr + size * dg + size * size * db]

    # Along red, then green, then blue.
    g0 = corner(0, 0, 0) * (1 - wr) + corner(1, 0, 0) * wr
    g1 = corner(0, 1, 0) * (1 - wr) + corner(1, 1, 0) * wr
    b0 = g0 * (1 - wg) + g1 * wg
    g0 = corner(0, 0, 1) * (1 - wr) + corner(1, 0, 1) * wr
    g1 = corner(0, 1, 1) * (1 - wr) + corner(1, 1, 1) * wr
    b1 = g0 * (1 - wg) + g1 * wg
    return b0 * (1 - wb) + b1 * wb
