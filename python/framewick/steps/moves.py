"""Where a step moves the picture's pixels, for what rides with the picture at another scale.

A picture may carry a companion of its own size or smaller (an HDR gain map, a quarter of the
picture's size): when a step moves the picture's pixels, the companion must move the same way,
at its own scale. Each moving step declares how (`StepInfo.moves`): a function of its values and
the picture's size before it, giving the moves below in order, in the picture's own pixels
(continuous coordinates: pixel i covers i to i + 1). A companion scales them to its own size.

    ("box", (x0, y0, x1, y1), (width, height))
        the region x0..x1, y0..y1 of the picture (any real numbers; it may pass the edges,
        where there is new area) becomes the whole new picture of width x height: a resize
        (the whole picture), a crop, a border and a padding (a box larger than the picture)
    ("turn", angle, (width, height))
        turned counter-clockwise by `angle` degrees about its centre, into a picture of
        width x height with the same centre (Pillow's rotate, expanded or not)
    ("transpose", name)
        one of Pillow's transposes, by name (FLIP_LEFT_RIGHT, FLIP_TOP_BOTTOM, ...)

`NOTHING` (an empty tuple) is a step that keeps every pixel where it was (the mode, the format,
rounded corners: they change values or alpha, never places). `DRAWS` marks a step that paints
other pixels over the picture (text, watermarks, a second exposure): what rides with the
picture cannot follow it. A step without a declaration keeps pixels where they are when its size
stays the same (the tone and colour steps); nothing else is assumed of it.

Nothing here imports Pillow.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Final

from framewick.steps.declare import Values

Size = tuple[int, int]
Move = tuple[Any, ...]
Moves = Callable[[Values, Size], tuple[Move, ...]]

__all__ = ["DRAWS", "NOTHING", "bordered", "cropped", "cut", "fitted", "flipped", "geometry", "resized",
           "thumbnailed", "turned"]

#: A step that keeps every pixel where it was.
NOTHING: Final = ()
#: A step that paints other pixels over the picture.
DRAWS: Final = "draws"


def _whole(size: Size, target: Size) -> tuple[Move, ...]:
    return (("box", (0.0, 0.0, float(size[0]), float(size[1])), (int(target[0]), int(target[1]))),)


def resized(width: str, height: str) -> Moves:
    """A step that brings the whole picture to the size its two parameters give."""
    return lambda values, size: _whole(size, (int(values[width]), int(values[height])))


def cropped(values: Values, size: Size) -> tuple[Move, ...]:
    """A crop to the box left, top, right, bottom."""
    left, top, right, bottom = (int(values[k]) for k in ("left", "top", "right", "bottom"))
    return (("box", (float(left), float(top), float(right), float(bottom)), (right - left, bottom - top)),)


def bordered(width: str) -> Moves:
    """A step that adds `width` pixels on every side."""
    def moves(values: Values, size: Size) -> tuple[Move, ...]:
        b = int(values[width])
        return (("box", (float(-b), float(-b), float(size[0] + b), float(size[1] + b)),
                 (size[0] + 2 * b, size[1] + 2 * b)),)

    return moves


def turned(values: Values, size: Size) -> tuple[Move, ...]:
    """A turn by `angle` degrees, grown to hold it when `expand` (as Pillow's rotate)."""
    from framewick.steps.sizes import rotated

    angle, expand = float(values["angle"]), bool(values["expand"])
    if angle % 360.0 == 0.0:
        return NOTHING
    return (("turn", angle, rotated(size, angle, expand)),)


def flipped(values: Values, size: Size) -> tuple[Move, ...]:
    """A mirror: vertical turns top and bottom, anything else left and right (as flip does)."""
    direction = str(values["direction"]).lower()
    return (("transpose", "FLIP_TOP_BOTTOM" if direction == "vertical" else "FLIP_LEFT_RIGHT"),)


def thumbnailed(values: Values, size: Size) -> tuple[Move, ...]:
    """Pillow's thumbnail to the box `size`: the whole picture to the size it gives."""
    from framewick.steps.sizes import thumbnail_size

    target = thumbnail_size(size, tuple(values["size"]))
    return NOTHING if target == size else _whole(size, target)


def fit_box(size: Size, target: Size, centering: tuple[float, float] = (0.5, 0.5)) -> tuple[float, float, float, float]:
    """The region of a picture of `size` that ImageOps.fit brings to `target` (filled, centred)."""
    width, height = size
    ratio, wanted = width / height, target[0] / target[1]
    if ratio == wanted:
        crop_w, crop_h = float(width), float(height)
    elif ratio >= wanted:
        crop_w, crop_h = wanted * height, float(height)
    else:
        crop_w, crop_h = float(width), width / wanted
    left = (width - crop_w) * centering[0]
    top = (height - crop_h) * centering[1]
    return left, top, left + crop_w, top + crop_h


def fitted(width: str, height: str) -> Moves:
    """A step that fills the box its parameters give and cuts the overflow, centred (ImageOps.fit)."""
    def moves(values: Values, size: Size) -> tuple[Move, ...]:
        target = (int(values[width]), int(values[height]))
        return (("box", fit_box(size, target), target),)

    return moves


def _chosen(values: Values, place: str) -> tuple[float, float, float, float] | None:
    """The box a smart or face gravity chose (the runner adds it to the values as `chosen_box`,
    from what the step recorded); None for a place, KeyError when the step recorded none."""
    from framewick.steps.rules import SUBJECT_GRAVITIES

    if place.strip().lower() not in SUBJECT_GRAVITIES:
        return None
    left, top, right, bottom = values["chosen_box"]
    return float(left), float(top), float(right), float(bottom)


def geometry(values: Values, size: Size) -> tuple[Move, ...]:
    """A size by geometry: the resize, then the cut to the box (cover) or the padding to it
    (a background), each placed by gravity (a smart or face cut where it chose)."""
    from framewick.steps.geometries import parse_geometry, parse_gravity, placed

    spec = parse_geometry(values["geometry"])
    from framewick.steps.rules import SUBJECT_GRAVITIES

    gravity = str(values.get("gravity", "centre"))
    subject = gravity.strip().lower() in SUBJECT_GRAVITIES
    place = "centre" if subject else parse_gravity(gravity)
    box = (int(spec.width), int(spec.height)) if spec.width and spec.height and not spec.percent else None
    fill = bool(values.get("cover")) and box is not None
    if fill:
        spec = parse_geometry(f"{box[0]}x{box[1]}^")  # type: ignore[index]
    target = spec.size_for(size)
    moves: list[Move] = []
    current = size
    if target is not None and tuple(target) != tuple(size):
        moves.extend(_whole(size, target))
        current = (int(target[0]), int(target[1]))
    if fill and box is not None and current != box and subject:
        moves.append(("box", _chosen(values, gravity), box))
    elif fill and box is not None and current != box:
        x, y = placed(current, box, place)
        x, y = max(0, x), max(0, y)
        moves.append(("box", (float(x), float(y), float(x + box[0]), float(y + box[1])), box))
    elif values.get("background") and box is not None and not spec.percent and spec.flag in ("", ">", "<") \
            and current != box:
        x, y = placed(box, current, place)
        moves.append(("box", (float(-x), float(-y), float(box[0] - x), float(box[1] - y)), box))
    return tuple(moves)


def cut(values: Values, size: Size) -> tuple[Move, ...]:
    """A box of the geometry's size cut out, placed by gravity (a smart or face cut where it chose)."""
    from framewick.steps.geometries import parse_geometry, parse_gravity, placed

    spec = parse_geometry(values["geometry"])
    target = min(int(spec.width or size[0]), size[0]), min(int(spec.height or size[1]), size[1])
    if target == tuple(size):
        return NOTHING
    gravity = str(values.get("gravity", "centre"))
    chosen = _chosen(values, gravity)
    if chosen is None:
        x, y = placed(size, target, parse_gravity(gravity))
        x, y = max(0, x), max(0, y)
        chosen = (float(x), float(y), float(x + target[0]), float(y + target[1]))
    return (("box", chosen, target),)
