"""The eight built-in presets at depth, made of the same enhancers, greys and tints as the
effects table's functions, in the same order; each stage clipped as an 8-bit stage is."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any, Final

import numpy as np

from framewick.depth import as_rgb, blend, finite, grey
from framewick.depth.filters import gaussian
from framewick.depth.tones import contrast_by, saturation_by

Values = Mapping[str, Any]
Look = Callable[[np.ndarray], np.ndarray]


def _clipped(colour: np.ndarray) -> np.ndarray:
    return np.clip(colour, 0.0, 1.0, out=colour)


def _grey_contrast(factor: float) -> Look:
    """The picture made grey (and RGB again), then its contrast changed by `factor`."""
    return lambda colour: contrast_by(as_rgb(grey(colour)), factor)


def _tinted(tint: tuple[int, int, int], alpha: float, made_grey: bool = False) -> Look:
    """A blend towards a solid colour (levels 0-255) by `alpha`, of the picture or of its grey."""
    solid = np.array(tint, dtype=np.float32) / np.float32(255.0)

    def look(colour: np.ndarray) -> np.ndarray:
        first = as_rgb(grey(colour)) if made_grey else as_rgb(colour)
        return blend(first, np.broadcast_to(solid, first.shape), alpha)

    return look


def _cinematic(colour: np.ndarray) -> np.ndarray:
    return saturation_by(_clipped(contrast_by(colour, 1.3)), 0.9)


def _dreamy(colour: np.ndarray) -> np.ndarray:
    return gaussian(colour, 1) * np.float32(1.1)


#: The presets by name, as the effects table makes them.
PRESETS: Final[dict[str, Look]] = {
    "vintage": _grey_contrast(0.8),
    "cinematic": _cinematic,
    "vibrant": lambda colour: saturation_by(colour, 1.5),
    "dreamy": _dreamy,
    "noir": _grey_contrast(1.8),
    "warm": _tinted((255, 100, 100), 0.1),
    "sepia": _tinted((112, 66, 20), 0.3, made_grey=True),
    "cool": _tinted((100, 100, 255), 0.1),
}


def preset(colour: np.ndarray, values: Values) -> np.ndarray:
    """apply_preset with a built-in preset's name (in any case)."""
    name = str(values["preset_name"]).lower()
    look = PRESETS.get(name)
    if look is None:
        raise ValueError(f"{name!r} is not a preset that works at depth")
    return look(as_rgb(finite(colour)))
