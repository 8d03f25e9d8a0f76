"""Tone and colour steps at depth: the enhancers, curves, gains and stretches of the 8-bit steps.

Each function is `function(colour, values) -> colour` (see `framewick.depth`). The 8-bit methods
read tables of 256 levels, Pillow's blends and Pillow's grey; these compute the same formulas on
every value.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Final

import numpy as np

from framewick.depth import as_rgb, blend, finite, grey, level, unit

Values = Mapping[str, Any]

#: As the 8-bit steps: the most a white-balance gain may be, and how far temperature and tint
#: at 100 move a channel.
MAX_GAIN: Final = 4.0
SHIFT: Final = 0.3
#: Sepia's matrix: one row per output channel, of red, green and blue.
SEPIA: Final = ((0.393, 0.769, 0.189), (0.349, 0.686, 0.168), (0.272, 0.534, 0.131))


# ---------------------------------------------------------------------------------------------
# Pillow's enhancers: each a blend of the picture with a picture made from it


def brightness(colour: np.ndarray, values: Values) -> np.ndarray:
    """ImageEnhance.Brightness: a blend with black, so each value times the factor."""
    return colour * np.float32(values["factor"])


def contrast(colour: np.ndarray, values: Values) -> np.ndarray:
    """ImageEnhance.Contrast: a blend with the picture's mean grey, rounded to a level."""
    return contrast_by(colour, float(values["factor"]))


def contrast_by(colour: np.ndarray, factor: float) -> np.ndarray:
    colour = finite(colour)
    mean = level(float(grey(colour).mean(dtype=np.float64))) if colour.size else 0.0
    return blend(mean, colour, factor)


def scanned(colour: np.ndarray, values: Values) -> np.ndarray:
    """apply_camscanner: the grey picture (one band) with its contrast doubled."""
    return contrast_by(grey(colour), 2.0)


def saturation(colour: np.ndarray, values: Values) -> np.ndarray:
    """ImageEnhance.Color: a blend with the picture's own grey (a grey picture stays as it is)."""
    return saturation_by(colour, float(values["factor"]))


def saturation_by(colour: np.ndarray, factor: float) -> np.ndarray:
    if colour.shape[2] == 1:
        return colour.copy()
    return blend(grey(colour), colour, factor)


def greyscale(colour: np.ndarray, values: Values) -> np.ndarray:
    """apply_grayscale: a blend of the colours with their grey, the factor its share."""
    if colour.shape[2] == 1:
        return colour.copy()
    return blend(colour, np.broadcast_to(grey(colour), colour.shape), float(values.get("factor", 1.0)))


def invert(colour: np.ndarray, values: Values) -> np.ndarray:
    """ImageOps.invert."""
    return np.float32(1.0) - colour


# ---------------------------------------------------------------------------------------------
# Curves


def gamma(colour: np.ndarray, values: Values) -> np.ndarray:
    """adjust_gamma: each value to the power of gamma."""
    return np.power(unit(colour), np.float32(values["gamma"]), dtype=np.float32)


def to_linear(colour: np.ndarray) -> np.ndarray:
    """sRGB values (0-1) in linear light."""
    low = colour / np.float32(12.92)
    high = np.power((colour + np.float32(0.055)) / np.float32(1.055), np.float32(2.4), dtype=np.float32)
    return np.where(colour <= 0.04045, low, high)


def to_srgb(linear: np.ndarray) -> np.ndarray:
    """Linear light (0-1) in sRGB values."""
    low = linear * np.float32(12.92)
    high = np.float32(1.055) * np.power(linear, np.float32(1 / 2.4), dtype=np.float32) - np.float32(0.055)
    return np.where(linear <= 0.0031308, low, high)


#: Points a smooth curve is worked out at (every 16-bit level), read off linearly between them.
CURVE_POINTS: Final = 65536
#: Values read off a curve at a time.
BLOCK_VALUES: Final = 1 << 20


def exposure(colour: np.ndarray, values: Values) -> np.ndarray:
    """adjust_exposure: made linear, multiplied by 2**stops, clipped at white, encoded again.
    The curve is worked out at every 16-bit level and read off linearly between them (its
    slope is finite everywhere, so a float value is off by far less than a 16-bit level)."""
    linear = to_linear(np.linspace(0.0, 1.0, CURVE_POINTS, dtype=np.float32))
    linear *= np.float32(2.0 ** float(values["stops"]))
    np.minimum(linear, 1.0, out=linear)
    return curve(colour, to_srgb(linear))


def curve(colour: np.ndarray, points: np.ndarray) -> np.ndarray:
    """`colour` read off the curve given at evenly spaced `points` over 0-1, linearly between
    them (values outside 0-1 are taken at its ends): a new float32 array."""
    last = points.size - 1
    out = np.empty(colour.shape, dtype=np.float32)
    flat, into = colour.reshape(-1), out.reshape(-1)
    for start in range(0, flat.size, BLOCK_VALUES):
        at = unit(flat[start:start + BLOCK_VALUES]) * np.float32(last)
        below = np.minimum(at.astype(np.int32), last - 1)
        at -= below  # the weight of the point above
        low = points[below]
        into[start:start + BLOCK_VALUES] = low + (points[below + 1] - low) * at
    return out


def levels(colour: np.ndarray, values: Values) -> np.ndarray:
    """levels: black and white points (levels 0-255) stretched to 0-1, the rest along x**(1/gamma)."""
    black, white = float(values.get("black", 0)), float(values.get("white", 255))
    stretched = (colour * np.float32(255.0) - np.float32(black)) / np.float32(white - black)
    np.clip(stretched, 0.0, 1.0, out=stretched)
    return np.power(stretched, np.float32(1.0 / float(values.get("gamma", 1.0))), dtype=np.float32)


def auto_levels(colour: np.ndarray, values: Values) -> np.ndarray:
    """auto_levels: ImageOps.autocontrast keeping the tone, the darkest and brightest `clip`
    percent of the grey's levels cut; the stretch found on the grey's 256 levels as Pillow finds
    it, applied to every value."""
    colour = finite(colour)
    histogram = _levels_histogram(grey(colour))
    return _stretch(colour, _cut_ends(histogram, float(values.get("clip", 0.5))))


def auto_enhance(colour: np.ndarray, values: Values) -> np.ndarray:
    """auto_enhance: ImageOps.autocontrast, each band stretched by its own 256 levels."""
    colour = finite(colour)
    bands = [_stretch(colour[:, :, i:i + 1], _cut_ends(_levels_histogram(colour[:, :, i:i + 1]), 0.0))
             for i in range(colour.shape[2])]
    return np.concatenate(bands, axis=2)


def _levels_histogram(band: np.ndarray) -> list[int]:
    """How many values of `band` (0-1) fall on each of 256 levels."""
    levels8 = np.clip(np.floor(band * np.float32(255.0) + np.float32(0.5)), 0, 255).astype(np.uint8)
    return np.bincount(levels8.ravel(), minlength=256).tolist()


def _cut_ends(h: list[int], cutoff: float) -> tuple[int, int] | None:
    """The lowest and highest levels left once `cutoff` percent of the values is cut from each
    end (Pillow's counting), or None where there is nothing to stretch."""
    if cutoff:
        n = sum(h)
        for levels_in in (range(256), range(255, -1, -1)):
            cut = int(n * cutoff // 100)
            for at in levels_in:
                if cut > h[at]:
                    cut -= h[at]
                    h[at] = 0
                else:
                    h[at] -= cut
                    cut = 0
                if cut <= 0:
                    break
    lo = next((i for i in range(256) if h[i]), 255)
    hi = next((i for i in range(255, -1, -1) if h[i]), 0)
    return (lo, hi) if hi > lo else None


def _stretch(colour: np.ndarray, ends: tuple[int, int] | None) -> np.ndarray:
    if ends is None:
        return colour.copy()
    lo, hi = ends
    out = (colour * np.float32(255.0) - np.float32(lo)) / np.float32(hi - lo)
    return np.clip(out, 0.0, 1.0, out=out)


# ---------------------------------------------------------------------------------------------
# Gains and matrices: colour from grey as the 8-bit steps make it


def gains(colour: np.ndarray, red: float, green: float, blue: float) -> np.ndarray:
    """Each band of the colour (grey made RGB) multiplied by its gain."""
    return as_rgb(colour) * np.array((red, green, blue), dtype=np.float32)


def temperature(colour: np.ndarray, values: Values) -> np.ndarray:
    """temperature: red up and blue down (or the other way) by 30 % at 100."""
    shift = SHIFT * float(values["amount"]) / 100.0
    return gains(colour, 1.0 + shift, 1.0, 1.0 - shift)


def tint(colour: np.ndarray, values: Values) -> np.ndarray:
    """tint: green down (or up) by 30 % at 100."""
    return gains(colour, 1.0, 1.0 - SHIFT * float(values["amount"]) / 100.0, 1.0)


def white_balance(colour: np.ndarray, values: Values) -> np.ndarray:
    """auto_white_balance by grey world: each band's mean brought to the mean of the three."""
    rgb = as_rgb(finite(colour))
    means = rgb.reshape(-1, 3).mean(axis=0, dtype=np.float64) if rgb.size else np.ones(3)
    middle = float(means.sum()) / 3.0
    return gains(rgb, *(round(min(MAX_GAIN, middle / m), 4) if m > 0 else 1.0 for m in means))


def sepia(colour: np.ndarray, values: Values) -> np.ndarray:
    """apply_sepia: the sepia matrix on the colours (grey made RGB)."""
    rgb = as_rgb(colour)
    return np.einsum("hwc,oc->hwo", rgb, np.array(SEPIA, dtype=np.float32), dtype=np.float32)


def vignette(colour: np.ndarray, values: Values) -> np.ndarray:
    """vignette: each value times a mask falling smoothly from 1 inside `radius` (a fraction of
    the half-diagonal) to 1 - `strength` at the corners. The 8-bit step stretches Pillow's
    radial gradient (256 square, centred on its pixel 128, 255 at sqrt(2) * 128 pixels) over the
    picture; here the same distance is worked out at each pixel's centre."""
    strength, radius = round(float(values.get("strength", 0.5)), 4), round(float(values.get("radius", 0.5)), 4)
    height, width = colour.shape[:2]
    across = ((np.arange(width) + 0.5) * (256.0 / max(1, width)) - 128.5) ** 2
    down = ((np.arange(height) + 0.5) * (256.0 / max(1, height)) - 128.5) ** 2
    d = np.sqrt(down[:, None] + across[None, :]) * (np.sqrt(2.0) / 255.0)
    t = np.clip((d - radius) / max(1e-6, 1.0 - radius), 0.0, 1.0)
    mask = (1.0 - strength * t * t * (3 - 2 * t)).astype(np.float32)
    return colour * mask[:, :, None]
