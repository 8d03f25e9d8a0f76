"""Shrink-on-load: decoding a JPEG at a reduced scale when the chain only needs a smaller picture.

Decided once, before decoding, from the first step of the chain that can reduce the size. It
applies when that step reduces the picture (resize, thumbnail, fit, size) and every step before
it gives the same result at any scale (colour steps, flips; not blurs, overlays or crops, whose
arguments are in pixels); each step's declaration says which it is, and what size a reducing
step asks for (`StepInfo.reduced`). What is shrink-on-load's own is the choice of the scale: the
JPEG decoder scales by 1/2, 1/4 or 1/8, keeping the picture at least twice the step's target,
so the step's own Lanczos resampling decides the result.
"""

from __future__ import annotations

import math
from typing import Any

from framewick.steps import registry

_SCALES = (8, 4, 2)


def draft_scale(steps: Any, size: tuple[int, int]) -> int:
    """The reduction (1, 2, 4 or 8) the chain allows for an upright picture of `size`.

    1. Every step up to the first that can reduce the picture must give the same result at any
       scale (its declaration says so), else nothing is reduced.
    2. That step's target must be smaller than the picture; the largest reduction that keeps
       the picture at least twice the target on both sides is taken, provided a step whose
       target follows the picture's own aspect gives the reduced picture the same target.
    """
    for step in steps:
        info = registry.get(step.method)
        if info is None:
            return 1
        values = info.values(step.args, step.kwargs)
        if info.reduces is not None:
            target = info.reduced(values, size)
            if target is None:
                return 1
            for scale in _SCALES:
                drafted = (math.ceil(size[0] / scale), math.ceil(size[1] / scale))
                if drafted[0] < 2 * target[0] or drafted[1] < 2 * target[1]:
                    continue
                if info.reduces_by_aspect and info.reduced(values, drafted) != target:
                    continue
                return scale
            return 1
        try:
            if not info.answer(info.scale_free, values):
                return 1
        except (TypeError, ValueError, AttributeError):
            return 1
    return 1

