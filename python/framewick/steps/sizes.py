"""The size of the picture after every step of a chain, known from the steps and the size it starts at.

Each step either keeps the picture's size (the colour steps, filters, presets, overlays, flips,
rounded corners) or gives it one that follows from its arguments: `resize` and `fit` the size
asked for, `crop` its box, `thumbnail` the size Pillow's thumbnail gives, `apply_border` the
size plus the border on every side, `rotate` the box of the turned picture (as Pillow computes
it when `expand` is on). An animation's frames are all edited alike, so a picture of `frames`
frames holds `frames` times the pixels of one.

`check` refuses, with a ChainError naming the step, a chain whose picture would grow past a
pixel limit at any step, or whose crop box is not inside the picture it crops, before any step
runs. Called with the smallest picture there is (1x1, one frame, `exact=False`) it refuses
what no picture could get through, before a picture is read. `check_side` refuses a size the
output format cannot store.

Each step's declaration says what it does to the size (its `size`, made of the parts below);
the steps given here need `method`, `args` and `kwargs` (a `framewick.chain.Step`).
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from typing import Any, Final

from framewick.steps.declare import Values, registry
from framewick.steps.rules import ChainError, pixel_limit

__all__ = ["BoxOutside", "MAX_SIDE", "Size", "bordered", "check", "check_side", "cropped", "filled_reduced", "given",
           "geometry_reduced", "geometry_size", "given_reduced", "rotated", "size_after", "thumbnail_reduced",
           "thumbnail_size", "thumbnailed", "turned"]

Size = tuple[int, int]

#: The longest side each format's writer can store (Pillow's name for the format).
MAX_SIDE: Final[Mapping[str, int]] = {
    "JPEG": 65_500,  # libjpeg's own limit, below the format's 65,535
    "WEBP": 16_383,
    "GIF": 65_535,
    "AVIF": 65_536,
    "TGA": 65_535,
    "PCX": 65_534,  # a row's bytes, padded to an even count, must fit 16 bits
}


def rotated(size: Size, angle: float, expand: bool) -> Size:
    """The size Pillow's rotate gives: for a right angle the sides swap (or stay), else the
    bounding box of the turned corners, computed from the same matrix, turned about the centre,
    as Pillow computes it (so its rounding is the same)."""
    width, height = size
    angle = angle % 360.0
    if not expand or angle in (0.0, 180.0):
        return size
    if angle in (90.0, 270.0):
        return height, width
    turn = -math.radians(angle)
    a, b, d, e = round(math.cos(turn), 15), round(math.sin(turn), 15), round(-math.sin(turn), 15), \
        round(math.cos(turn), 15)
    cx, cy = width / 2, height / 2
    c = a * -cx + b * -cy + cx
    f = d * -cx + e * -cy + cy
    corners = ((0, 0), (width, 0), (width, height), (0, height))
    xs = [a * x + b * y + c for x, y in corners]
    ys = [d * x + e * y + f for x, y in corners]
    return math.ceil(max(xs)) - math.floor(min(xs)), math.ceil(max(ys)) - math.floor(min(ys))


def geometry_size(values: Values, size: Size, exact: bool = True) -> Size:
    """The size a geometry (`geometry`, with `cover` and `background`) gives: the geometry's
    size (filled, then cut to the box with `cover`; padded to the box with a `background`), or
    the size it had."""
    from framewick.steps.geometries import parse_geometry

    spec = parse_geometry(values["geometry"])
    box = (int(spec.width), int(spec.height)) if spec.width and spec.height and not spec.percent else None
    if values.get("cover") and box is not None:
        return box
    result = spec.size_for(size) or size
    if values.get("background") and box is not None and spec.flag in ("", ">", "<"):
        return box
    return result


def thumbnail_size(size: Size, box: tuple[int, ...]) -> Size:
    """The size Pillow's thumbnail gives (it only ever shrinks, keeping the aspect)."""
    width, height = size
    x, y = math.floor(box[0]), math.floor(box[1])
    if x >= width and y >= height:
        return size
    aspect = width / height

    def round_aspect(number: float, key: Any) -> int:
        return max(min(math.floor(number), math.ceil(number), key=key), 1)

    if x / y >= aspect:
        x = round_aspect(y * aspect, key=lambda n: abs(aspect - n / y))
    else:
        y = round_aspect(x / aspect, key=lambda n: 0 if n == 0 else abs(aspect - x / n))
    return x, y


class BoxOutside(ValueError):
    """A box that is not inside the picture it is cut from; `box` is the box."""

    def __init__(self, box: tuple[int, ...]) -> None:
        super().__init__(box)
        self.box = box


def given(width: str, height: str) -> Any:
    """The size model of a step that makes the picture the size its two parameters give."""
    return lambda values, size, exact: (int(values[width]), int(values[height]))


def bordered(width: str) -> Any:
    """The size model of a step that adds `width` pixels on every side."""
    def size_of(values: Values, size: Size, exact: bool) -> Size:
        border = int(values[width])
        return size[0] + 2 * border, size[1] + 2 * border

    return size_of


def turned(values: Values, size: Size, exact: bool) -> Size:
    """The size model of a turn by `angle` degrees, grown to hold it when `expand`."""
    return rotated(size, float(values["angle"]), bool(values["expand"]))


def thumbnailed(values: Values, size: Size, exact: bool) -> Size:
    """The size model of Pillow's thumbnail to the box `size`."""
    return thumbnail_size(size, tuple(values["size"]))


def cropped(values: Values, size: Size, exact: bool) -> Size:
    """The size model of a crop to the box left, top, right, bottom; with `exact`, a box not
    inside the picture is refused (BoxOutside)."""
    box = tuple(int(values[k]) for k in ("left", "top", "right", "bottom"))
    if exact and (box[0] < 0 or box[1] < 0 or box[2] > size[0] or box[3] > size[1]):
        raise BoxOutside(box)
    return box[2] - box[0], box[3] - box[1]


# What a reducing step asks of a picture, for shrink-on-load: the size it brings the picture
# to when that is smaller on both sides, else None.


def given_reduced(width: str, height: str) -> Any:
    """A step that makes the picture the size its two parameters give."""
    def reduced(values: Values, size: Size) -> Size | None:
        w, h = int(values[width]), int(values[height])
        return (w, h) if 0 < w < size[0] and 0 < h < size[1] else None

    return reduced


def filled_reduced(width: str, height: str) -> Any:
    """A step that fills the box its two parameters give, keeping the aspect, and cuts the
    overflow: the filled size."""
    def reduced(values: Values, size: Size) -> Size | None:
        w, h = int(values[width]), int(values[height])
        if w <= 0 or h <= 0:
            return None
        scale = max(w / size[0], h / size[1])
        return (math.ceil(size[0] * scale), math.ceil(size[1] * scale)) if scale < 1 else None

    return reduced


def thumbnail_reduced(values: Values, size: Size) -> Size | None:
    """Pillow's thumbnail to the box `size`."""
    box = tuple(values["size"])
    if len(box) != 2 or min(box) <= 0:
        return None
    result = thumbnail_size(size, (int(box[0]), int(box[1])))
    return None if result == size else result


def geometry_reduced(values: Values, size: Size) -> Size | None:
    """A geometry (a cut to the box after filling counts as the filled size; padding keeps the
    fitted one)."""
    from framewick.steps.geometries import parse_geometry

    spec = parse_geometry(values["geometry"])
    if values.get("cover") and spec.width and spec.height and not spec.percent:
        spec = parse_geometry(f"{int(spec.width)}x{int(spec.height)}^")
    target = spec.size_for(size)
    return target if target is not None and target[0] < size[0] and target[1] < size[1] else None


def _text(step: Any) -> str:
    info = registry.get(step.method)
    name = info.short if info else step.method
    items = [",".join(map(str, v)) if isinstance(v, tuple) else str(v) for v in step.args]
    items += [f"{k}={v}" for k, v in step.kwargs.items()]
    return f"{name}:{','.join(items)}" if items else name


def size_after(step: Any, size: Size, *, exact: bool = True, where: str = "") -> Size | None:
    """The picture's size after `step`, from its size before, as the step's declaration gives
    it; None for a step that is not declared (a class's own method). With `exact`, a crop box
    outside the picture is refused."""
    info = registry.get(step.method)
    if info is None or info.size is None:
        return None
    try:
        return info.size(info.values(step.args, step.kwargs), size, exact)
    except BoxOutside as outside:
        box = outside.box
        raise ChainError(f"{where}{_text(step)}: the box {','.join(map(str, box))} is not inside the "
                         f"{size[0]}x{size[1]} picture (it runs from 0,0 to {size[0]},{size[1]})") from None
    except (KeyError, TypeError, ValueError, ZeroDivisionError, OverflowError):
        return None


def check(steps: Iterable[Any], size: Size, frames: int = 1, max_pixels: int | None = None, *,
          exact: bool = True, frame_floor: int = 0, boxes: bool = True) -> Size | None:
    """The picture's size after the whole chain, refusing (ChainError naming the step) a step
    whose picture, all `frames` together (each frame of an animation counted as at least
    `frame_floor` pixels), would have more than `max_pixels` (default: the image library's
    limit as it is set now, `pixel_limit`; none when it is lifted), and with `exact` (and
    `boxes`) a crop box outside the picture. None once a step this table does not know makes
    the size unknown."""
    limit = pixel_limit(max_pixels)
    current: Size | None = size
    for index, step in enumerate(steps, 1):
        if current is None:
            return None
        where = f"step {index} "
        current = size_after(step, current, exact=exact and boxes, where=where)
        if current is None:
            return None
        total = current[0] * current[1] * frames if frames <= 1 else frames * max(current[0] * current[1], frame_floor)
        if limit is not None and total > limit:
            what = f"{frames} frames of {current[0]}x{current[1]}" if frames > 1 else f"{current[0]}x{current[1]}"
            whose = "the picture" if exact else "even a 1x1 picture"
            raise ChainError(f"{where}{_text(step)}: {whose} would become {what}, {total:,} pixels, "
                             f"more than the limit of {limit:,} (--max-pixels)")
    return current


def check_side(size: Size, fmt: str, what: str) -> None:
    """Refuse a size the format `fmt` (Pillow's name) cannot store, naming `what` (the output)."""
    side = MAX_SIDE.get(fmt)
    if side is not None and max(size) > side:
        raise ChainError(f"{what}: {fmt} stores at most {side:,} pixels a side; the chain makes the picture "
                         f"{size[0]}x{size[1]}")
