"""The values a step allows: the rules its declaration gives its parameters, and their parts.

Each rule has its allowed range in words (the error line shows them) and a test. The methods
keep their own checks; the rules refuse, while the chain is parsed, every value that a method
would refuse, only warn about, or let fail later (a file that is missing, a size the image
library cannot hold), so that a bad chain stops before any picture is read. The rules shared by
several steps are named here; a step's own rule is written in its declaration.
"""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Mapping
from typing import Any, Final

from framewick.steps.declare import Rule, Test, registry

__all__ = [
    "COLOR", "COORDINATE", "CROP_GRAVITY", "ChainError", "DIRECTIONS", "FRACTION", "GRAVITY", "MARGIN", "MAX_BLUR_RADIUS",
    "MAX_BORDER", "MAX_FONT_SIZE", "MAX_INT32", "MAX_PIXELS", "MODES", "PICTURE", "PILLOW_WARNING_PIXELS", "Rule", "builtin_presets",
    "is_preset", "preset_names", "preset_rule", "unusable_path", "after", "at_least", "between", "box", "cover", "ints_in",
    "file_problem", "is_color", "is_direction", "is_format", "is_crop_gravity", "is_geometry", "is_gravity", "is_mode", "is_picture",
    "levels_black", "levels_white", "padding", "pixel_limit", "pixels", "positive", "watermark_box",
]


class ChainError(ValueError):
    """A chain that cannot run; its text is one line naming the step and what it expects."""


def builtin_presets() -> tuple[str, ...]:
    """The built-in presets, in the order apply_preset lists them."""
    return tuple(preset.name for preset in registry.presets())


#: The modes `convert_mode` can reach: Pillow's modes whose upper-case spelling is still a mode
#: (the method upper-cases its argument, so "YCbCr", "RGBa" and "La" are out of reach).
MODES: Final[tuple[str, ...]] = (
    "1", "CMYK", "F", "HSV", "I", "I;16", "I;16B", "I;16L", "I;16N", "L", "LA", "LAB", "P", "PA",
    "RGB", "RGBA", "RGBX",
)
#: Pillow's default warning limit on a picture's pixels (its Image.MAX_IMAGE_PIXELS).
PILLOW_WARNING_PIXELS: Final = 89_478_485
#: The default pixel limit, twice Pillow's default warning limit: Pillow refuses a bigger picture as
#: a decompression bomb. A value's own ceiling (resize, crop, size) is this default too.
MAX_PIXELS: Final = 2 * PILLOW_WARNING_PIXELS


def pixel_limit(max_pixels: int | None = None) -> int | None:
    """The most pixels a picture (all frames together) may have at any step: `max_pixels` when
    the caller gives one, else where Pillow refuses a picture as a decompression bomb, twice its
    warning limit as it is set now (None when a program has lifted it). Pillow is not imported
    for this: until it is, its limit is its default."""
    if max_pixels is not None:
        return max_pixels
    pillow = sys.modules.get("PIL.Image")
    warning = getattr(pillow, "MAX_IMAGE_PIXELS", PILLOW_WARNING_PIXELS) if pillow is not None \
        else PILLOW_WARNING_PIXELS
    return None if warning is None else 2 * int(warning)
#: The image library keeps sizes and coordinates in 32-bit signed integers.
MAX_INT32: Final = 2**31 - 1
#: Pillow's box blur overflows (and crashes) from a radius of magnitude 2**31 - 64 on; apply_blur
#: refuses the same.
MAX_BLUR_RADIUS: Final = 2_147_483_583
#: A border this wide alone makes a picture of MAX_PIXELS.
MAX_BORDER: Final = 6688
MAX_FONT_SIZE: Final = 10_000
DIRECTIONS: Final = ("horizontal", "vertical")


def between(low: float, high: float) -> Test:
    return lambda value, _: low <= value <= high


def at_least(low: float) -> Test:
    return lambda value, _: value >= low


def positive(value: float, _: Mapping[str, Any]) -> bool:
    return 0 < value < float("inf")


def is_mode(value: str, _: Mapping[str, Any]) -> bool:
    return value.upper() in MODES


def is_direction(value: str, _: Mapping[str, Any]) -> bool:
    return value.lower() in DIRECTIONS


def preset_rule(value: str, _: Mapping[str, Any]) -> bool | str:
    # A name no preset has reaches this rule only when it names no look either: the chain
    # reads preset:NAME as a look reference first, and asks its resolver about the name.
    if is_preset(value):
        return True
    import difflib

    close = difflib.get_close_matches(value.lower(), preset_names(), n=3, cutoff=0.6)
    return f"did you mean {' or '.join(repr(c) for c in close)}?" if close else False


def is_preset(name: str) -> bool:
    """Whether a preset step reaches a preset called `name` (any case)."""
    return name.lower() in preset_names()


def preset_names() -> list[str]:
    """The presets a preset step reaches: the built-in ones, then those a program added."""
    return [*builtin_presets(), *_added_presets()]


def _added_presets() -> list[str]:
    """Presets a program added to the effects table (looked at only when it is loaded already)."""
    table = getattr(sys.modules.get("framewick.modules.effects"), "PRESETS", None)
    if not isinstance(table, dict):
        return []
    builtin = builtin_presets()
    return [k for k in table if isinstance(k, str) and k not in builtin]


def _writable_formats() -> dict[str, str]:
    """Every name `convert` may be given that Pillow can write: format names and extensions."""
    from framewick.formats import writable

    return writable()


def is_format(value: str, _: Mapping[str, Any]) -> bool | str:
    fmt = value.strip().upper().replace(".", "")  # as convert itself normalises it
    writable = _writable_formats()
    if fmt in writable:
        return True
    return "this Pillow can write " + ", ".join(sorted(set(writable.values())))


def is_color(value: str, _: Mapping[str, Any]) -> bool:
    from PIL import ImageColor

    try:
        ImageColor.getrgb(value)
    except (ValueError, TypeError, OverflowError):
        return False
    return True


def is_picture(value: str, _: Mapping[str, Any]) -> bool | str:
    reason = file_problem(value)
    if reason:
        return reason
    return True if _picture_size(value) else "Pillow cannot read it as a picture"


def file_problem(path: str) -> str:
    """Why `path` is not a file that can be read, or "" if it is one."""
    reason = unusable_path(path)
    if reason:
        return reason
    try:
        info = os.stat(path)
    except OSError as e:
        return e.strerror or "cannot be read"
    if not stat.S_ISREG(info.st_mode):
        return "not a regular file"
    if not os.access(path, os.R_OK):
        return "permission denied"
    return ""


def unusable_path(path: str) -> str:
    """Why `path` cannot name a file on this system at all, or "" if it can.

    A NUL ends a file name at the system call, and a lone surrogate (from JSON's \\ud800, say)
    has no bytes in the file system's encoding; the undecodable bytes of a name read from the
    system come back as surrogates that do (surrogateescape), and are kept.
    """
    if "\x00" in path:
        return "a file name cannot hold a NUL character"
    try:
        os.fsencode(path)
    except UnicodeError:
        return "a file name cannot hold a lone surrogate character"
    return ""


def _picture_size(path: str) -> tuple[int, int] | None:
    from PIL import Image

    try:
        with Image.open(path) as picture:
            return picture.size
    except Exception:
        return None


def ints_in(count: tuple[int, ...], low: int, high: int) -> Test:
    return lambda value, _: len(value) in count and all(low <= v <= high for v in value)


def watermark_box(value: tuple[int, ...], values: Mapping[str, Any]) -> bool | str:
    if len(value) not in (2, 4) or not all(-MAX_INT32 <= v <= MAX_INT32 for v in value):
        return False
    size = _picture_size(values["watermark_path"])
    if size is None:
        return True  # the path's own rule reports the file
    if len(value) == 4 and (value[2] - value[0], value[3] - value[1]) != size:
        return f"a box must be the watermark's size, {size[0]}x{size[1]}"
    if value[0] + size[0] > MAX_INT32 or value[1] + size[1] > MAX_INT32:
        return "the watermark's far corner must stay within 32-bit coordinates"
    return True


def pixels(width: str, height: str) -> Test:
    return lambda value, values: 1 <= value and values[width] * values[height] <= MAX_PIXELS


def after(start: str) -> Test:
    return lambda value, values: values[start] < value <= MAX_INT32


def box(value: int, values: Mapping[str, Any]) -> bool:
    return (values["right"] - values["left"]) * (values["bottom"] - values["top"]) <= MAX_PIXELS \
        and values["top"] < value <= MAX_INT32


def is_geometry(value: str, _: Mapping[str, Any]) -> bool | str:
    from framewick.steps.geometries import GeometryError, parse_geometry

    try:
        spec = parse_geometry(value)
    except GeometryError as e:
        return str(e)
    if spec.flag == "!" and spec.width is not None and spec.height is not None \
            and spec.width * spec.height > MAX_PIXELS:
        return f"at most {MAX_PIXELS:,} pixels"
    return True


def _box_given(values: Mapping[str, Any]) -> bool:
    from framewick.steps.geometries import GeometryError, parse_geometry

    try:
        spec = parse_geometry(values["geometry"])
    except GeometryError:
        return True  # the geometry's own rule reports it
    return spec.width is not None and spec.height is not None and not spec.percent


def cover(value: bool, values: Mapping[str, Any]) -> bool:
    return not value or _box_given(values)


def padding(value: str, values: Mapping[str, Any]) -> bool:
    return not value or (is_color(value, values) and _box_given(values) and not values.get("cover"))


def is_gravity(value: str, _: Mapping[str, Any]) -> bool:
    from framewick.steps.geometries import GeometryError, parse_gravity

    try:
        parse_gravity(value)
    except GeometryError:
        return False
    return True


#: The gravities of a cover crop that look at the picture rather than name a place.
SUBJECT_GRAVITIES: Final = ("smart", "face")


def is_crop_gravity(value: str, values: Mapping[str, Any]) -> bool | str:
    """A place, or smart or face for a cover crop on a machine with what they need."""
    name = value.strip().lower() if isinstance(value, str) else value
    if name not in SUBJECT_GRAVITIES:
        return is_gravity(value, values)
    if not values.get("cover", True):
        return f"gravity={name} chooses the part a cover crop keeps: give cover=true"
    return subject_gravity_missing(name) or True


def levels_black(value: int, values: Mapping[str, Any]) -> bool:
    return 0 <= value <= 254 and value < values["white"]


def levels_white(value: int, values: Mapping[str, Any]) -> bool:
    return 1 <= value <= 255 and value > values["black"]


GRAVITY = Rule("a place: top-left, top, top-right, left, centre, right, bottom-left, bottom or bottom-right", is_gravity)
CROP_GRAVITY = Rule("a place (top-left, top, top-right, left, centre, right, bottom-left, bottom, bottom-right), "
                    "or smart (the most salient part) or face (the faces, else smart) with cover=true",
                    is_crop_gravity)
MARGIN = Rule(f"an integer of pixels from 0 to {MAX_BORDER:,}", between(0, MAX_BORDER))
COORDINATE = Rule(f"an integer from {-MAX_INT32:,} to {MAX_INT32:,}", between(-MAX_INT32, MAX_INT32))
PICTURE = Rule("a picture file that exists", is_picture, reads_file=True)
COLOR = Rule("a colour Pillow knows, e.g. white, #FF8800 or rgb(255,136,0)", is_color)
FRACTION = Rule("a number from 0 to 1", between(0.0, 1.0))


# ---------------------------------------------------------------------------------------------
# What the gravities that look at the picture need on this machine

#: Where Debian's opencv-data puts the Haar cascades, and the frontal-face one.
CASCADE_DIRS: Final = ("/usr/share/opencv4/haarcascades", "/usr/share/opencv/haarcascades")
CASCADE: Final = "haarcascade_frontalface_default.xml"


def cascade_path() -> str | None:
    """The frontal-face Haar cascade's file, or None when opencv-data is not installed."""
    for folder in CASCADE_DIRS:
        path = os.path.join(folder, CASCADE)
        if os.path.isfile(path):
            return path
    return None


def subject_gravity_missing(gravity: str) -> str | None:
    """None when `gravity` (smart or face) can run here, else the line naming what to install;
    OpenCV itself is not imported."""
    import importlib.util

    if importlib.util.find_spec("cv2") is None or importlib.util.find_spec("numpy") is None:
        return f"gravity={gravity} needs OpenCV: install python3-opencv" + \
            (" and opencv-data" if gravity == "face" else "")
    if gravity == "face" and cascade_path() is None:
        return "gravity=face needs the Haar cascades: install opencv-data"
    return None
