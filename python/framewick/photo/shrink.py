"""Shrink-on-load: decoding a JPEG at a reduced scale when the chain only needs a smaller picture.

Decided once, before decoding, from the first step of the chain that changes the size. It
applies when that step reduces the picture (resize, thumbnail, fit) and every step before it
gives the same result at any scale (colour steps, flips; not blurs, overlays or crops, whose
arguments are in pixels). The JPEG decoder then scales by 1/2, 1/4 or 1/8, keeping the picture
at least twice the step's target, so the step's own Lanczos resampling decides the result.
"""

from __future__ import annotations

import math
from typing import Any

from framewick import sizes

# Steps whose result does not depend on the picture's scale (beyond resampling noise).
_SCALE_FREE = frozenset({
    "apply_contrast", "apply_grayscale", "adjust_gamma", "apply_sepia", "invert", "auto_enhance",
    "apply_camscanner", "flip", "optimize", "convert_mode", "compare",
    "brightness", "saturation", "adjust_exposure", "temperature", "tint", "levels",
})
# Presets made of colour operations only ("dreamy" blurs by a radius in pixels).
_SCALE_FREE_PRESETS = frozenset({"vintage", "cinematic", "vibrant", "noir", "warm", "sepia", "cool"})
_SCALES = (8, 4, 2)


def _argument(step: Any, index: int, name: str, default: Any = None) -> Any:
    if len(step.args) > index:
        return step.args[index]
    return step.kwargs.get(name, default)


def thumbnail_size(size: tuple[int, int], box: tuple[int, int]) -> tuple[int, int] | None:
    """The size Pillow's `thumbnail(box)` gives a picture of `size` (None: it stays as it is)."""
    result = sizes.thumbnail_size(size, box)
    return None if result == size else result


def _target(step: Any, size: tuple[int, int]) -> tuple[int, int] | None:
    """The size a reducing step asks for, or None when it does not reduce the picture."""
    width, height = size
    try:
        if step.method == "resize":
            w, h = int(_argument(step, 0, "width")), int(_argument(step, 1, "height"))
            return (w, h) if 0 < w < width and 0 < h < height else None
        if step.method == "thumbnail":
            box = tuple(_argument(step, 0, "size", (128, 128)))
            if len(box) != 2 or min(box) <= 0:
                return None
            return thumbnail_size(size, (int(box[0]), int(box[1])))
        if step.method == "fit":
            w, h = int(_argument(step, 0, "target_width")), int(_argument(step, 1, "target_height"))
            if w <= 0 or h <= 0:
                return None
            scale = max(w / width, h / height)
            return (math.ceil(width * scale), math.ceil(height * scale)) if scale < 1 else None
        if step.method == "size":
            return _size_target(step, size)
    except (TypeError, ValueError):
        return None
    return None


def _size_target(step: Any, size: tuple[int, int]) -> tuple[int, int] | None:
    """The size a `size` step brings a picture of `size` to, when that reduces it (a cut to the
    box after filling counts as the filled size; padding keeps the fitted one)."""
    from framewick.geometries import parse_geometry

    spec = parse_geometry(_argument(step, 0, "geometry"))
    if _argument(step, 1, "cover", False) and spec.width and spec.height and not spec.percent:
        spec = parse_geometry(f"{int(spec.width)}x{int(spec.height)}^")
    target = spec.size_for(size)
    return target if target is not None and target[0] < size[0] and target[1] < size[1] else None


def _same_size(step: Any, drafted: tuple[int, int], target: tuple[int, int]) -> bool:
    """Whether a `size` step gives the drafted picture the size it gives the whole one (a
    percentage, or an aspect rounded otherwise, would not)."""
    return _size_target(step, drafted) == target


def draft_scale(steps: Any, size: tuple[int, int]) -> int:
    """The reduction (1, 2, 4 or 8) the chain allows for an upright picture of `size`."""
    for step in steps:
        if step.method in ("resize", "thumbnail", "fit", "size"):
            target = _target(step, size)
            if target is None:
                return 1
            for scale in _SCALES:
                drafted = (math.ceil(size[0] / scale), math.ceil(size[1] / scale))
                if drafted[0] < 2 * target[0] or drafted[1] < 2 * target[1]:
                    continue
                # thumbnail keeps the aspect from the picture it gets: the drafted one must
                # give the same size as the whole one.
                if step.method == "thumbnail" and thumbnail_size(drafted, tuple(_argument(step, 0, "size", (128, 128)))) != target:
                    continue
                if step.method == "size" and not _same_size(step, drafted, target):
                    continue
                return scale
            return 1
        if step.method == "apply_preset":
            name = _argument(step, 0, "preset_name", "")
            if not isinstance(name, str) or name.lower() not in _SCALE_FREE_PRESETS:
                return 1
        elif step.method not in _SCALE_FREE:
            return 1
    return 1
