"""Sizes and places as people write them: ImageMagick's geometry, and gravity.

A geometry names the size a picture is brought to, from its own size:

    800x600    fit inside the box, keeping the aspect (larger or smaller)
    800x  800  the width; the height follows the aspect
    x600       the height; the width follows the aspect
    50%        both sides scaled (50x25% scales each on its own)
    800x600!   exactly that size, the aspect not kept
    800x600^   fill the box, keeping the aspect: the smaller side reaches the box
    ...>       only shrink: a picture that already fits is left as it is
    ...<       only enlarge: a picture that is already as large is left as it is

A gravity names a place in a box: the corners (``top-left`` ... ``bottom-right``), the middle
of an edge (``top``, ``left``, ``right``, ``bottom``) or ``centre``; ImageMagick's compass words
(``northwest``, ``south``, ``center`` ...) are read too.

Nothing here imports Pillow: the chain parser checks geometries and gravities without it, and
shrink-on-load computes the size a step asks for before a picture is decoded.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Final

__all__ = ["GRAVITIES", "Geometry", "GeometryError", "parse_geometry", "parse_gravity", "placed"]

#: The largest percentage a geometry may scale by (a picture 100 times larger a side).
MAX_PERCENT: Final = 10_000.0
#: The largest side a geometry may give: sizes are 32-bit signed integers in the image library
#: (the largest side each output format stores is `sizes.MAX_SIDE`).
LARGEST_SIDE: Final = 2**31 - 1

_GEOMETRY = re.compile(
    r"(?P<w>\d+(?:\.\d*)?)?(?:(?P<x>[xX])(?P<h>\d+(?:\.\d*)?)?)?(?P<pct>%)?(?P<flag>[!^<>])?(?P<pct2>%)?")


class GeometryError(ValueError):
    """A geometry or gravity that cannot be read; its text says what the forms are."""


@dataclass(frozen=True)
class Geometry:
    """A parsed geometry: the sides given (None where left out), whether they are percentages,
    and its flag: "" (fit), "!" (exact), "^" (fill), ">" (only shrink) or "<" (only enlarge)."""

    text: str
    width: float | None
    height: float | None
    percent: bool
    flag: str

    def size_for(self, size: tuple[int, int]) -> tuple[int, int] | None:
        """The size a picture of `size` is brought to, or None when it stays as it is.

        1. Percentages scale each side (one number scales both). 2. Otherwise the scale is the
        box's width over the picture's width, the height's likewise; `!` takes both, `^` the
        larger scale, a fit the smaller, and a side left out follows the other's scale. 3. `>`
        keeps a picture that would grow, `<` one that would shrink. Sides are rounded and at
        least 1.
        """
        w, h = size
        if self.percent:
            sx = (self.width if self.width is not None else self.height or 0.0) / 100.0
            sy = (self.height if self.height is not None else sx * 100.0) / 100.0
            out = (max(1, round(w * sx)), max(1, round(h * sy)))
        elif self.flag == "!" and self.width is not None and self.height is not None:
            out = (int(self.width), int(self.height))
        else:
            scales = [s for s in (self.width / w if self.width is not None else None,
                                  self.height / h if self.height is not None else None) if s is not None]
            scale = max(scales) if self.flag == "^" else min(scales)
            # The side that decides the scale is the box's own; the other follows the aspect.
            out = (max(1, round(w * scale)), max(1, round(h * scale)))
            if self.width is not None and scale == self.width / w:
                out = (int(self.width), out[1])
            if self.height is not None and scale == self.height / h:
                out = (out[0], int(self.height))
        if self.flag == ">" and out[0] >= w and out[1] >= h:
            return None
        if self.flag == "<" and out[0] <= w and out[1] <= h:
            return None
        return None if out == (w, h) else out


def parse_geometry(text: str) -> Geometry:
    """Read a geometry (forms above); GeometryError for anything else."""
    spec = text.strip()
    match = _GEOMETRY.fullmatch(spec)
    if not spec or match is None or (match["pct"] and match["pct2"]):
        raise GeometryError(f"{text!r} is not a geometry; write 800x600, 800x, x600, 50%, "
                            "800x600! (exact), 800x600^ (fill), with > to only shrink or < to only enlarge")
    w = float(match["w"]) if match["w"] else None
    h = float(match["h"]) if match["h"] else None
    percent = bool(match["pct"] or match["pct2"])
    flag = match["flag"] or ""
    if w is None and h is None:
        raise GeometryError(f"{text!r} gives no size; write a width, a height or both, e.g. 800x600")
    if percent:
        if flag in ("!", "^"):
            raise GeometryError(f"{text!r}: a percentage scales both sides already; leave out {flag}")
        for value in (w, h):
            if value is not None and not 0.0 < value <= MAX_PERCENT:
                raise GeometryError(f"{text!r}: a percentage is above 0 and at most {MAX_PERCENT:g}")
    else:
        for value in (w, h):
            if value is not None and (value != int(value) or not 1 <= value <= LARGEST_SIDE):
                raise GeometryError(f"{text!r}: a side is a whole number of pixels from 1 to {LARGEST_SIDE:,}")
        if flag == "!" and (w is None or h is None):
            raise GeometryError(f"{text!r}: an exact size (!) needs both sides, e.g. 800x600!")
    return Geometry(spec, w, h, percent, flag)


# ---------------------------------------------------------------------------------------------
# Gravity

#: Each gravity's place as fractions of the free room: (0, 0) top left, (1, 1) bottom right.
GRAVITIES: Final = {
    "top-left": (0.0, 0.0), "top": (0.5, 0.0), "top-right": (1.0, 0.0),
    "left": (0.0, 0.5), "centre": (0.5, 0.5), "right": (1.0, 0.5),
    "bottom-left": (0.0, 1.0), "bottom": (0.5, 1.0), "bottom-right": (1.0, 1.0),
}
_SYNONYMS: Final = {
    "northwest": "top-left", "north": "top", "northeast": "top-right", "west": "left", "center": "centre",
    "middle": "centre", "east": "right", "southwest": "bottom-left", "south": "bottom", "southeast": "bottom-right",
}


def parse_gravity(text: str) -> str:
    """The gravity's own name (top-left ... bottom-right, centre), in any case, with - or _ or
    a blank between its words; GeometryError for anything else."""
    name = re.sub(r"[\s_]+", "-", text.strip().lower())
    name = _SYNONYMS.get(name.replace("-", ""), name)
    if name not in GRAVITIES:
        raise GeometryError(f"{text!r} is not a place; write one of {', '.join(GRAVITIES)}")
    return name


def placed(room: tuple[int, int], item: tuple[int, int], gravity: str, margin: int = 0) -> tuple[int, int]:
    """The top left corner of `item` put in `room` by `gravity`, `margin` pixels from the edges
    it is put against (the centre ignores it)."""
    fx, fy = GRAVITIES[gravity]

    def along(space: int, size: int, f: float) -> int:
        if f == 0.0:
            return margin
        if f == 1.0:
            return space - size - margin
        return math.floor((space - size) / 2)

    return along(room[0], item[0], fx), along(room[1], item[1], fy)
