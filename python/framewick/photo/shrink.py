"""Shrink-on-load: decoding a JPEG at a reduced scale when the chain only needs a smaller picture.

Decided once, before decoding, from the first step of the chain that can reduce the size. It
applies when that step reduces the picture (resize, thumbnail, fit, size) and every step before
it gives the same result at any scale (colour steps, flips; not blurs, overlays or crops, whose
arguments are in pixels); each step's declaration says which it is, and what size a reducing
step asks for (`StepInfo.reduced`). What is shrink-on-load's own is the choice of the scale: the
JPEG decoder scales by 1/2, 3/8, 1/4 or 1/8, and the smallest of these is taken whose result,
once the step's own Lanczos resampling has brought it to the target, stays at least `FLOOR_DB`
of PSNR from the same resampling of the whole picture.

How large the decoded picture must be for that was measured on twelve 4000 by 3000 JPEGs made
from photographs (people, a cat, machines, a star field, micrographs; quality 92), each decoded
at every scale and resized with Lanczos to targets from 1 to 8 times smaller than the decoded
picture, against the whole picture resized to the same target. The worst picture's PSNR:

    decoded / target   1.00   1.15   1.25   1.35   1.50   1.65   2.00
    1/2 scale          44.6   45.8   46.4   47.0   47.9   48.8   50.6
    3/8 scale          43.1   45.7   47.2   48.4   49.4   50.9   52.5
    1/4 scale          41.5   41.7   42.9   43.9   45.1   46.3   48.5
    1/8 scale          37.1     -    38.2   39.5   41.2   42.7   45.4

The coarser the scale, the more the decoder's own reduction (a smaller inverse DCT of each
8 by 8 block) differs from Lanczos, so each scale has its own least ratio (`JPEG_RATIOS`). 3/8
is a scale libjpeg offers and Pillow's draft does not ask for (see formats.private.jpeg_eighths);
it decodes 4000 by 3000 at 1500 by 1125 where 1/2 gives 2000 by 1500, for 800 by 600 about
twice as fast, decoding and resampling together, and in about half the memory.

A PNG has no reduced decoding; its rows are reduced as they are decoded by an area average
(framewick.photo.pngshrink), by any whole factor. Measured the same way, on the six hardest of
those photographs (people, machines, a star field, a camera) and a drawn photo-like picture,
each cut to 3999 by 2997 so that no factor divides the sides:

    reduced / target   1.00   1.25   1.50   1.75   2.00   2.25   2.50   3.00
    by 2               45.5   46.1   47.4   48.5   49.4          51.0
    by 3               44.6   45.4   47.1   48.4   49.7          51.7
    by 4               40.5   42.2   44.4   46.2   47.8          50.2
    by 5               40.1   40.7   43.5   45.6   47.3          49.8
    by 6                                    44.9   46.7   48.3   49.5   51.4
    by 8               37.2   38.1   41.2   43.6   45.5          48.5
    by 10                                   42.6   44.7   46.4   47.8   50.1
    by 12                                   41.9   43.8   45.5   47.0   49.2
    by 16                                   41.2   43.5   45.0   46.5   48.9
    by 32                                   40.0   42.0   43.5   45.5   48.2

The larger the factor, the more of the photographs' own detail the average takes in, so the
least ratio grows with it (`BOX_RATIOS`; the rows from 6 on were measured on the three
hardest pictures, the two machines and the star field); above 32 it is taken as 3.

A RAW file's half-size development (LibRaw's, from the mosaic) is taken, as before, only when
it stays at least twice the target (`RAW_RATIOS`).
"""

from __future__ import annotations

import math
from fractions import Fraction
from typing import Any

from framewick.steps import registry

#: The least PSNR (dB) of a result decoded at a reduced scale, against an exact resize.
FLOOR_DB = 45.0
#: For each JPEG scale (how many times smaller each side is decoded), the least ratio of the
#: decoded picture's sides to the target's that keeps `FLOOR_DB` (measured as above).
JPEG_RATIOS: dict[int | Fraction, float] = {2: 1.25, Fraction(8, 3): 1.25, 4: 1.5, 8: 2.0}
#: A RAW file develops at half size when that is at least twice the target.
RAW_RATIOS: dict[int | Fraction, float] = {2: 2.0, 4: 2.0, 8: 2.0}
#: For a picture reduced by an area average as it is decoded (PNG), the least ratio of the
#: reduced picture's sides to the target's that keeps `FLOOR_DB`, by the reduction (up to the
#: first key at least it; measured as above).
BOX_RATIOS = {3: 1.25, 5: 1.75, 8: 2.0, 12: 2.25, 32: 2.5, 128: 3.0}
_BOX_RATIOS: dict[int | Fraction, float] = {k: next(r for top, r in BOX_RATIOS.items() if k <= top)
                                            for k in range(128, 1, -1)}


def halvings(ratios: dict[int | Fraction, float]) -> dict[int | Fraction, float]:
    """`ratios` for a decoder that only halves (the scales that are whole numbers)."""
    return {scale: least for scale, least in ratios.items() if scale == int(scale)}


def draft_scale(steps: Any, size: tuple[int, int], ratios: dict[int | Fraction, float] = JPEG_RATIOS) -> int | Fraction:
    """The reduction (1, or one of `ratios`: 2, 8/3, 4, 8) the chain allows for an upright
    picture of `size`.

    1. Every step up to the first that can reduce the picture must give the same result at any
       scale (its declaration says so), else nothing is reduced.
    2. That step's target must be smaller than the picture; the largest reduction that keeps
       the picture at least `ratios[scale]` times the target on both sides is taken, provided
       a step whose target follows the picture's own aspect gives the reduced picture the same
       target.
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
            for scale in sorted(ratios, reverse=True):
                drafted = (math.ceil(size[0] / scale), math.ceil(size[1] / scale))
                least = ratios[scale]
                if drafted[0] < least * target[0] or drafted[1] < least * target[1]:
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



def box_factor(steps: Any, size: tuple[int, int]) -> int:
    """The whole reduction (1: none) the chain allows for an upright picture of `size` reduced
    by an area average as it is decoded (PNG): as `draft_scale`, by any factor up to 128,
    keeping `BOX_RATIOS`."""
    return int(draft_scale(steps, size, _BOX_RATIOS))


def reduced_target(steps: Any, size: tuple[int, int]) -> tuple[int, int] | None:
    """The size the chain's first reducing step brings an upright picture of `size` to, when
    every step before it gives the same result at any scale and that size is smaller than
    `size`; else None. An embedded thumbnail of at least this size can stand in for the
    picture when the step gives it the same size."""
    for step in steps:
        info = registry.get(step.method)
        if info is None:
            return None
        values = info.values(step.args, step.kwargs)
        if info.reduces is not None:
            target = info.reduced(values, size)
            if target is None or target[0] > size[0] or target[1] > size[1] or tuple(target) == tuple(size):
                return None
            return tuple(target)
        try:
            if not info.answer(info.scale_free, values):
                return None
        except (TypeError, ValueError, AttributeError):
            return None
    return None


def gives_target(steps: Any, size: tuple[int, int], target: tuple[int, int]) -> bool:
    """Whether the chain's first reducing step brings a picture of `size` to `target` too."""
    for step in steps:
        info = registry.get(step.method)
        if info is not None and info.reduces is not None:
            reached = info.reduced(info.values(step.args, step.kwargs), size)
            return reached is not None and tuple(reached) == tuple(target)
    return False
