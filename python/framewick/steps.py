"""The editing steps a chain can use, and the values each one allows.

`STEPS` lists every editing method of `framewick.FrameWick` with its names, parameters and the
first line of its docstring, as `framewick.chain.Catalogue.from_class` reads them from the built
classes (a test keeps the two equal). Holding them here as data lets a chain be parsed, checked
and listed without importing Pillow or the native modules.

`RULES` says, once for every step and parameter that needs it, which values the step can take:
each rule has its allowed range in words (the error line shows them) and a test. The methods
keep their own checks; the rules refuse, while the chain is parsed, every value that a method
would refuse, only warn about, or let fail later (a file that is missing, a size the image
library cannot hold), so that a bad chain stops before any picture is read.

`read_chain_file` reads the file of a ``--steps @FILE`` value with bounds on its size and
nesting, so that no file (a binary one, a device, a FIFO, a huge or deeply nested one) gets
further than a `ChainError`.
"""

from __future__ import annotations

import inspect
import os
import re
import stat
import sys
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Final

__all__ = [
    "ALIASES", "ChainError", "MAX_CHAIN_BYTES", "MAX_STEPS", "MODES", "PRESET_NAMES", "Param",
    "RULES", "Rule", "STEPS", "StepInfo", "check", "is_preset", "names_of", "preset_names", "read_chain_file", "to_data",
    "too_long", "unusable_path",
]


class ChainError(ValueError):
    """A chain that cannot run; its text is one line naming the step and what it expects."""


REQUIRED: Any = inspect.Parameter.empty


# ---------------------------------------------------------------------------------------------
# The steps


@dataclass(frozen=True)
class Param:
    """One parameter of a step: its name, the kind its annotation gives, and its default."""

    name: str
    kind: str
    default: Any = REQUIRED
    keyword_only: bool = False

    @property
    def required(self) -> bool:
        return self.default is REQUIRED

    def describe(self) -> str:
        text = f"{self.name}: {self.kind}"
        return text if self.required else f"{text} = {self.default!r}"


@dataclass(frozen=True)
class StepInfo:
    """An editing method as a step: names, parameters and the first line of its docstring."""

    method: str
    short: str
    owner: str
    params: tuple[Param, ...]
    doc: str

    def signature(self) -> str:
        return f"{self.method}({', '.join(p.describe() for p in self.params)})"


#: Short names beyond the ones made by dropping ``apply_``; each maps to a method's own name.
#: An alias whose method does not exist is ignored, and the method's own names always win.
ALIASES: Final[Mapping[str, str]] = {
    "gamma": "adjust_gamma",
    "gray": "apply_grayscale",
    "grey": "apply_grayscale",
    "scan": "apply_camscanner",
    "enhance": "auto_enhance",
    "text": "add_text",
    "watermark": "add_watermark",
    "exposure": "double_exposure",
    "corners": "round_corners",
    "quality": "optimize",
    "mode": "convert_mode",
    "format": "convert",
    "report": "compare",
    "ev": "adjust_exposure",
    "awb": "auto_white_balance",
    "white_balance": "auto_white_balance",
    "turn": "rotate_fill",
    "logo": "place_watermark",
    "caption": "place_text",
}

PREFIX: Final = "apply_"


def _step(owner: str, method: str, doc: str, *params: Param) -> StepInfo:
    short = method[len(PREFIX):] if method.startswith(PREFIX) else method
    return StepInfo(method, short, owner, params, doc)


P = Param

#: Every editing step, in the order of FrameWick's bases and of each class's own methods.
STEPS: Final[tuple[StepInfo, ...]] = (
    _step("Storage", "optimize", "😎 Make it lightweight! 😎", P("quality", "int", 85)),
    _step("Storage", "convert_mode", "🌈 Change the color mode of the image! 🌈", P("target_mode", "str")),
    _step("Storage", "convert", "🔄 Professional Format Converter 🔄", P("target_format", "str")),
    _step("Effects", "apply_blur", "Apply Gaussian blur to the image 🌫️", P("radius", "int", 2)),
    _step("Effects", "apply_sharpen", "😎 Make it crisp! 😎"),
    _step("Effects", "adjust_gamma", "Adjust image gamma (brightness curve) 💡", P("gamma", "float")),
    _step("Effects", "apply_camscanner", "Simulate a scanned document look (high contrast/grayscale) 📄"),
    _step("Effects", "auto_enhance", "Automatically improve image quality 🤖"),
    _step("Effects", "apply_grayscale", "😎 Make it moody! 😎", P("factor", "float", 1.0)),
    _step("Effects", "apply_contrast", "😎 Pop those colors! 😎", P("factor", "float")),
    _step("Effects", "apply_sepia", "😎 Fast Sepia Filter using Matrix Transformation 😎"),
    _step("Effects", "apply_preset", "🎞️ Apply a professional mood to your image! 🎞️", P("preset_name", "str")),
    _step("Effects", "invert", "Flip the colors! 🔄"),
    _step("Geometry", "rotate", "Rotate the image by a specific angle 🔄",
          P("angle", "float"), P("expand", "bool", True)),
    _step("Geometry", "flip", "😎 Flip the image! direction: 'horizontal' or 'vertical' 😎",
          P("direction", "str", "horizontal")),
    _step("Geometry", "crop", "Crop a specific region of the image ✂️",
          P("left", "int"), P("top", "int"), P("right", "int"), P("bottom", "int")),
    _step("Geometry", "thumbnail", "Create a thumbnail of the image 🖼️", P("size", "tuple", (128, 128))),
    _step("Geometry", "round_corners", "🎨 Give your image some smooth edges! 🎨", P("radius", "number", 40)),
    _step("Geometry", "resize", "😎 Shrink it or expand it! 😎", P("width", "int"), P("height", "int")),
    _step("Geometry", "fit", "Perfect fit for social media! ✂️", P("target_width", "int"), P("target_height", "int")),
    _step("Overlays", "add_text", "Add custom text to the image 📝",
          P("text", "str"), P("position", "tuple"), P("font_size", "int", 30), P("color", "str", "white")),
    _step("Overlays", "add_watermark", "Add a watermark image 💧", P("watermark_path", "str"), P("position", "tuple")),
    _step("Overlays", "apply_border", "Apply a border around the image 🖼️",
          P("border_width", "int"), P("color", "str", "black")),
    _step("Overlays", "double_exposure", "Blend two images together (Double Exposure) 🎭",
          P("overlay_image_path", "str"), P("opacity", "float", 0.5)),
    _step("Inspector", "compare", "🔍 Compare and show current image status! 🔍"),
    _step("Grading", "apply_lut",
          "Grade the colours with a .cube LUT file, blended with the original by strength (0 to 1).",
          P("path", "str"), P("strength", "float", 1.0)),
    _step("Editing", "size", "Resize by an ImageMagick geometry (800x600, 800x, x600, 50%, 800x600!, 800x600^, > or <).",
          P("geometry", "str"), P("cover", "bool", False), P("gravity", "str", "centre"), P("background", "str", "")),
    _step("Editing", "rotate_fill",
          "Rotate counter-clockwise by an angle in degrees, the uncovered corners in a background colour.",
          P("angle", "float"), P("background", "str", "black"), P("expand", "bool", True)),
    _step("Editing", "place_watermark",
          "Add a watermark placed by gravity, with a margin, a scale (of the picture's width) and an opacity.",
          P("watermark_path", "str"), P("position", "str", "bottom-right"), P("margin", "int", 16),
          P("scale", "float", 0.0), P("opacity", "float", 1.0)),
    _step("Editing", "place_text", "Add text placed by gravity, with a margin, a font size, a colour and an opacity.",
          P("text", "str"), P("position", "str", "bottom-right"), P("margin", "int", 16), P("font_size", "int", 30),
          P("color", "str", "white"), P("opacity", "float", 1.0)),
    _step("Editing", "brightness", "Brighten above 1 or darken below 1 (0 is black), by ImageEnhance.Brightness.",
          P("factor", "float")),
    _step("Editing", "saturation", "Stronger colours above 1, weaker below 1 (0 is grey), by ImageEnhance.Color.",
          P("factor", "float")),
    _step("Editing", "adjust_exposure", "Change the exposure by stops: +1 doubles the light, -1 halves it (in linear light).",
          P("stops", "float")),
    _step("Editing", "temperature", "Warmer (more red, less blue) above 0, cooler below 0; -100 to 100.",
          P("amount", "float")),
    _step("Editing", "tint", "Towards magenta (less green) above 0, towards green below 0; -100 to 100.",
          P("amount", "float")),
    _step("Editing", "auto_white_balance",
          "Neutralise a colour cast by grey world: each channel's mean brought to the mean of the three."),
    _step("Editing", "levels", "Set the black point, white point and midtone gamma (above 1 brightens the midtones).",
          P("black", "int", 0), P("white", "int", 255), P("gamma", "float", 1.0)),
    _step("Editing", "auto_levels",
          "Stretch the tones to the full range, clipping a percentage at each end, colours kept in balance.",
          P("clip", "float", 0.5)),
    _step("Editing", "unsharp",
          "Sharpen by an unsharp mask: blur radius in pixels, amount (1.5 adds 150 %), threshold in levels.",
          P("radius", "float", 2.0), P("amount", "float", 1.5), P("threshold", "int", 3)),
    _step("Editing", "vignette",
          "Darken towards the corners: strength 0 to 1 (1 black corners), from radius (0 to 1) of the half-diagonal.",
          P("strength", "float", 0.5), P("radius", "float", 0.5)),
)
del P

#: The built-in presets, in the order apply_preset lists them.
PRESET_NAMES: Final[tuple[str, ...]] = ("vintage", "cinematic", "vibrant", "dreamy", "noir", "warm", "sepia", "cool")

#: One line on each preset, for `presets --json` and the contact sheet.
PRESET_DESCRIPTIONS: Final[Mapping[str, str]] = {
    "vintage": "grey, contrast lowered to 0.8",
    "cinematic": "contrast up 1.3, colour down 0.9",
    "vibrant": "colour saturation raised to 1.5",
    "dreamy": "1-pixel blur, brightened by 1.1",
    "noir": "grey, contrast raised to 1.8",
    "warm": "a 10 % red-pink tint",
    "sepia": "grey with a 30 % brown tint",
    "cool": "a 10 % blue tint",
}


def names_of(steps: Iterable[StepInfo]) -> dict[str, str]:
    """Every name that reaches a step, mapped to the method's own name.

    1. Every method's own name; 2. its name without "apply_", unless another method has that
    name; 3. the aliases, where their method exists and the name is still free.
    """
    steps = list(steps)
    names = {info.method: info.method for info in steps}
    for info in steps:
        names.setdefault(info.short, info.method)
    for alias, method in ALIASES.items():
        if method in names:
            names.setdefault(alias, method)
    return names


def to_data() -> list[dict[str, Any]]:
    """The step table as JSON-ready data, for ``framewick steps --json``."""
    names = names_of(STEPS)
    data = []
    for info in STEPS:
        aliases = [n for n, m in names.items() if m == info.method and n not in (info.method, info.short)]
        params = [{"name": p.name, "kind": p.kind, "default": None if p.required else _jsonable(p.default),
                   "required": p.required} for p in info.params]
        for entry, param in zip(params, info.params):
            entry.update(param_help(info, param))
        data.append({"name": info.short, "method": info.method, "aliases": aliases, "params": params,
                     "doc": info.doc, "example": example_of(info)})
    return data


def _jsonable(value: Any) -> Any:
    return list(value) if isinstance(value, tuple) else value


# ---------------------------------------------------------------------------------------------
# The values each step allows

#: The modes `convert_mode` can reach: Pillow's modes whose upper-case spelling is still a mode
#: (the method upper-cases its argument, so "YCbCr", "RGBa" and "La" are out of reach).
MODES: Final[tuple[str, ...]] = (
    "1", "CMYK", "F", "HSV", "I", "I;16", "I;16B", "I;16L", "I;16N", "L", "LA", "LAB", "P", "PA",
    "RGB", "RGBA", "RGBX",
)
#: Twice Pillow's default picture-size limit: it refuses a bigger picture as a decompression bomb.
MAX_PIXELS: Final = 178_956_970
#: The image library keeps sizes and coordinates in 32-bit signed integers.
MAX_INT32: Final = 2**31 - 1
#: Pillow's box blur overflows (and crashes) from a radius of magnitude 2**31 - 64 on; apply_blur
#: refuses the same.
MAX_BLUR_RADIUS: Final = 2_147_483_583
#: A border this wide alone makes a picture of MAX_PIXELS.
MAX_BORDER: Final = 6688
MAX_FONT_SIZE: Final = 10_000
DIRECTIONS: Final = ("horizontal", "vertical")

Test = Callable[[Any, Mapping[str, Any]], "bool | str"]


@dataclass(frozen=True)
class Rule:
    """What one parameter allows: the words for the error line, and the test of a value.

    The test gets the value and all the step's values (defaults filled in); it returns True for
    a value the step takes, False to refuse it, or a text to refuse it with that reason added.
    """

    allowed: str
    test: Test
    reads_file: bool = False


def _between(low: float, high: float) -> Test:
    return lambda value, _: low <= value <= high


def _at_least(low: float) -> Test:
    return lambda value, _: value >= low


def _positive(value: float, _: Mapping[str, Any]) -> bool:
    return 0 < value < float("inf")


def _mode(value: str, _: Mapping[str, Any]) -> bool:
    return value.upper() in MODES


def _direction(value: str, _: Mapping[str, Any]) -> bool:
    return value.lower() in DIRECTIONS


def _preset(value: str, _: Mapping[str, Any]) -> bool | str:
    # A name no preset has reaches this rule only when it names no look either: the chain
    # reads preset:NAME as a look reference first, and asks its resolver about the name.
    if is_preset(value):
        return True
    import difflib

    close = difflib.get_close_matches(value.lower(), preset_names(), n=3, cutoff=0.6)
    return f"did you mean {' or '.join(repr(c) for c in close)}?" if close else False


def is_preset(name: str) -> bool:
    """Whether a preset step reaches a preset called `name` (any case)."""
    lowered = name.lower()
    return lowered in PRESET_NAMES or lowered in _added_presets()


def preset_names() -> list[str]:
    """The presets a preset step reaches: the built-in ones, then those a program added."""
    return [*PRESET_NAMES, *_added_presets()]


def _added_presets() -> list[str]:
    """Presets a program added to the effects table (looked at only when it is loaded already)."""
    table = getattr(sys.modules.get("framewick.modules.effects"), "PRESETS", None)
    if not isinstance(table, dict):
        return []
    return [k for k in table if isinstance(k, str) and k not in PRESET_NAMES]


def _writable_formats() -> dict[str, str]:
    """Every name `convert` may be given that Pillow can write: format names and extensions."""
    from framewick.formats import writable

    return writable()


def _format(value: str, _: Mapping[str, Any]) -> bool | str:
    fmt = value.strip().upper().replace(".", "")  # as convert itself normalises it
    writable = _writable_formats()
    if fmt in writable:
        return True
    return "this Pillow can write " + ", ".join(sorted(set(writable.values())))


def _color(value: str, _: Mapping[str, Any]) -> bool:
    from PIL import ImageColor

    try:
        ImageColor.getrgb(value)
    except (ValueError, TypeError, OverflowError):
        return False
    return True


def _picture(value: str, _: Mapping[str, Any]) -> bool | str:
    reason = _file_problem(value)
    if reason:
        return reason
    return True if _picture_size(value) else "Pillow cannot read it as a picture"


def _file_problem(path: str) -> str:
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


def _ints_in(count: tuple[int, ...], low: int, high: int) -> Test:
    return lambda value, _: len(value) in count and all(low <= v <= high for v in value)


def _watermark_box(value: tuple[int, ...], values: Mapping[str, Any]) -> bool | str:
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


def _pixels(width: str, height: str) -> Test:
    return lambda value, values: 1 <= value and values[width] * values[height] <= MAX_PIXELS


def _after(start: str) -> Test:
    return lambda value, values: values[start] < value <= MAX_INT32


def _box(value: int, values: Mapping[str, Any]) -> bool:
    return (values["right"] - values["left"]) * (values["bottom"] - values["top"]) <= MAX_PIXELS \
        and values["top"] < value <= MAX_INT32


def _lut(value: str, _: Mapping[str, Any]) -> bool | str:
    reason = _file_problem(value)
    if reason:
        return reason
    try:
        from framewick.chains.lut import read_cube
    except ImportError:
        return True
    try:
        read_cube(value)
    except (ValueError, OSError) as e:
        return str(e).replace("\n", " ")
    return True


def _geometry(value: str, _: Mapping[str, Any]) -> bool | str:
    from framewick.geometries import GeometryError, parse_geometry

    try:
        spec = parse_geometry(value)
    except GeometryError as e:
        return str(e)
    if spec.flag == "!" and spec.width is not None and spec.height is not None \
            and spec.width * spec.height > MAX_PIXELS:
        return f"at most {MAX_PIXELS:,} pixels"
    return True


def _box_given(values: Mapping[str, Any]) -> bool:
    from framewick.geometries import GeometryError, parse_geometry

    try:
        spec = parse_geometry(values["geometry"])
    except GeometryError:
        return True  # the geometry's own rule reports it
    return spec.width is not None and spec.height is not None and not spec.percent


def _cover(value: bool, values: Mapping[str, Any]) -> bool:
    return not value or _box_given(values)


def _padding(value: str, values: Mapping[str, Any]) -> bool:
    return not value or (_color(value, values) and _box_given(values) and not values.get("cover"))


def _gravity(value: str, _: Mapping[str, Any]) -> bool:
    from framewick.geometries import GeometryError, parse_gravity

    try:
        parse_gravity(value)
    except GeometryError:
        return False
    return True


def _levels_black(value: int, values: Mapping[str, Any]) -> bool:
    return 0 <= value <= 254 and value < values["white"]


def _levels_white(value: int, values: Mapping[str, Any]) -> bool:
    return 1 <= value <= 255 and value > values["black"]


_GRAVITY = Rule("a place: top-left, top, top-right, left, centre, right, bottom-left, bottom or bottom-right", _gravity)
_MARGIN = Rule(f"an integer of pixels from 0 to {MAX_BORDER:,}", _between(0, MAX_BORDER))
_COORDINATE = Rule(f"an integer from {-MAX_INT32:,} to {MAX_INT32:,}", _between(-MAX_INT32, MAX_INT32))
_PICTURE = Rule("a picture file that exists", _picture, reads_file=True)
_COLOR = Rule("a colour Pillow knows, e.g. white, #FF8800 or rgb(255,136,0)", _color)
_FRACTION = Rule("a number from 0 to 1", _between(0.0, 1.0))


#: The values each step allows, by (method, parameter). A parameter without a rule takes every
#: value its annotation converts.
RULES: Final[Mapping[tuple[str, str], Rule]] = {
    ("optimize", "quality"): Rule("an integer from 1 to 100", _between(1, 100)),
    ("convert_mode", "target_mode"): Rule(f"one of the modes {', '.join(MODES)} (in any case)", _mode),
    ("convert", "target_format"): Rule("a picture format Pillow can write, e.g. JPEG, PNG or WEBP", _format),
    ("apply_blur", "radius"): Rule(f"an integer from 0 to {MAX_BLUR_RADIUS:,}", _between(0, MAX_BLUR_RADIUS)),
    ("adjust_gamma", "gamma"): Rule("a number greater than 0 (at 0 or below the curve is not defined)", _positive),
    ("apply_grayscale", "factor"): _FRACTION,
    ("apply_preset", "preset_name"): Rule(f"a preset ({', '.join(PRESET_NAMES)}) or a look of the looks file", _preset),
    ("flip", "direction"): Rule("horizontal or vertical (in any case)", _direction),
    ("crop", "left"): _COORDINATE,
    ("crop", "top"): _COORDINATE,
    ("crop", "right"): Rule(f"greater than left and at most {MAX_INT32:,}", _after("left")),
    ("crop", "bottom"): Rule(f"greater than top and at most {MAX_INT32:,}, with the box at most {MAX_PIXELS:,} pixels",
                             _box),
    ("thumbnail", "size"): Rule(f"two integers from 1 to {MAX_INT32:,}, e.g. 128,128", _ints_in((2,), 1, MAX_INT32)),
    ("round_corners", "radius"): Rule("a number of at least 0", _at_least(0)),
    ("resize", "width"): Rule(f"an integer of at least 1, with width times height at most {MAX_PIXELS:,} pixels",
                              _pixels("width", "height")),
    ("resize", "height"): Rule(f"an integer of at least 1, with width times height at most {MAX_PIXELS:,} pixels",
                               _pixels("width", "height")),
    ("fit", "target_width"): Rule(f"an integer of at least 1, with width times height at most {MAX_PIXELS:,} pixels",
                                  _pixels("target_width", "target_height")),
    ("fit", "target_height"): Rule(f"an integer of at least 1, with width times height at most {MAX_PIXELS:,} pixels",
                                   _pixels("target_width", "target_height")),
    ("add_text", "position"): Rule("two integers (x,y), e.g. 10,20", _ints_in((2,), -MAX_INT32, MAX_INT32)),
    ("add_text", "font_size"): Rule(f"an integer from 1 to {MAX_FONT_SIZE:,}", _between(1, MAX_FONT_SIZE)),
    ("add_text", "color"): _COLOR,
    ("add_watermark", "watermark_path"): _PICTURE,
    ("add_watermark", "position"): Rule("two integers (x,y) or four (a box of the watermark's size)", _watermark_box,
                                         reads_file=True),
    ("apply_border", "border_width"): Rule(f"an integer from 0 to {MAX_BORDER:,}", _between(0, MAX_BORDER)),
    ("apply_border", "color"): _COLOR,
    ("double_exposure", "overlay_image_path"): _PICTURE,
    ("double_exposure", "opacity"): _FRACTION,
    ("apply_lut", "path"): Rule("a .cube LUT file that exists", _lut, reads_file=True),
    ("apply_lut", "strength"): _FRACTION,
    ("size", "geometry"): Rule("an ImageMagick geometry: 800x600 (fit inside), 800x, x600, 50%, 800x600! (exact), "
                               "800x600^ (fill), with > to only shrink or < to only enlarge", _geometry),
    ("size", "cover"): Rule("true only with a box of both sides in pixels, e.g. size:800x600,cover=true", _cover),
    ("size", "gravity"): _GRAVITY,
    ("size", "background"): Rule("empty, or a colour Pillow knows (padding needs a box of both sides)", _padding),
    ("rotate_fill", "angle"): Rule("a number of degrees from -360 to 360", _between(-360.0, 360.0)),
    ("rotate_fill", "background"): _COLOR,
    ("place_watermark", "watermark_path"): _PICTURE,
    ("place_watermark", "position"): _GRAVITY,
    ("place_watermark", "margin"): _MARGIN,
    ("place_watermark", "scale"): Rule("a number from 0 to 1 (0 keeps the watermark's own size)", _between(0.0, 1.0)),
    ("place_watermark", "opacity"): _FRACTION,
    ("place_text", "position"): _GRAVITY,
    ("place_text", "margin"): _MARGIN,
    ("place_text", "font_size"): Rule(f"an integer from 1 to {MAX_FONT_SIZE:,}", _between(1, MAX_FONT_SIZE)),
    ("place_text", "color"): _COLOR,
    ("place_text", "opacity"): _FRACTION,
    ("brightness", "factor"): Rule("a number from 0 to 8", _between(0.0, 8.0)),
    ("saturation", "factor"): Rule("a number from 0 to 8", _between(0.0, 8.0)),
    ("adjust_exposure", "stops"): Rule("a number of stops from -10 to 10", _between(-10.0, 10.0)),
    ("temperature", "amount"): Rule("a number from -100 to 100", _between(-100.0, 100.0)),
    ("tint", "amount"): Rule("a number from -100 to 100", _between(-100.0, 100.0)),
    ("levels", "black"): Rule("an integer from 0 to 254, below white", _levels_black),
    ("levels", "white"): Rule("an integer from 1 to 255, above black", _levels_white),
    ("levels", "gamma"): Rule("a number from 0.1 to 10", _between(0.1, 10.0)),
    ("auto_levels", "clip"): Rule("a percentage from 0 to 49", _between(0.0, 49.0)),
    ("unsharp", "radius"): Rule("a number of pixels from 0 to 500", _between(0.0, 500.0)),
    ("unsharp", "amount"): Rule("a number from 0 to 10", _between(0.0, 10.0)),
    ("unsharp", "threshold"): Rule("an integer from 0 to 255", _between(0, 255)),
    ("vignette", "strength"): _FRACTION,
    ("vignette", "radius"): Rule("a number from 0 to 0.99", _between(0.0, 0.99)),
}


# ---------------------------------------------------------------------------------------------
# Which way each value goes

#: For every parameter: its unit and which way it goes (the meaning), and one example value as
#: written in a chain. The range is the rule's words (or the annotation's), the default the
#: method's own.
HELP: Final[Mapping[tuple[str, str], tuple[str, str]]] = {
    ("optimize", "quality"): ("save quality for JPEG, WebP, AVIF, HEIC and JPEG XL: higher is better and larger", "80"),
    ("convert_mode", "target_mode"): ("a Pillow mode: L grey, RGB colour, RGBA colour with alpha", "L"),
    ("convert", "target_format"): ("the format the picture is re-encoded in and read back from", "PNG"),
    ("apply_blur", "radius"): ("pixels of Gaussian blur: larger is blurrier, 0 leaves it sharp", "4"),
    ("adjust_gamma", "gamma"): ("exponent on each channel (out = 255 * (in/255) ** gamma): above 1 darkens, below 1 "
                                "brightens, 1 leaves it", "0.8"),
    ("apply_grayscale", "factor"): ("share of grey: 0 leaves the colours, 1 is fully grey", "0.5"),
    ("apply_contrast", "factor"): ("1 leaves it, above 1 more contrast, below 1 less, 0 is flat grey", "1.2"),
    ("apply_preset", "preset_name"): ("a preset's or a look's name", "vintage"),
    ("rotate", "angle"): ("degrees, counter-clockwise (a negative angle turns clockwise); corners black", "90"),
    ("rotate", "expand"): ("true: the picture grows to hold the whole turn; false: same size, corners cut", "false"),
    ("flip", "direction"): ("horizontal mirrors left and right, vertical top and bottom", "vertical"),
    ("crop", "left"): ("pixels from the left edge to the box's left side", "10"),
    ("crop", "top"): ("pixels from the top edge to the box's top side", "10"),
    ("crop", "right"): ("pixels from the left edge to the box's right side (not included)", "410"),
    ("crop", "bottom"): ("pixels from the top edge to the box's bottom side (not included)", "310"),
    ("thumbnail", "size"): ("the box in pixels, width,height: the picture only shrinks, keeping its aspect", "256,256"),
    ("round_corners", "radius"): ("pixels of each corner's rounding; outside it becomes transparent", "24"),
    ("resize", "width"): ("pixels; the aspect is not kept (size:800x keeps it)", "800"),
    ("resize", "height"): ("pixels; the aspect is not kept (size:x600 keeps it)", "600"),
    ("fit", "target_width"): ("pixels; the picture fills the box and the overflow is cut, centred", "1080"),
    ("fit", "target_height"): ("pixels; the picture fills the box and the overflow is cut, centred", "1080"),
    ("add_text", "text"): ("the text, in Pillow's default font", '"Hello, you"'),
    ("add_text", "position"): ("pixels x,y of the text's top left corner from the picture's top left", "20,20"),
    ("add_text", "font_size"): ("pixels (the designed call draws in the default font's own size)", "24"),
    ("add_text", "color"): ("the text's colour", "white"),
    ("add_watermark", "watermark_path"): ("a picture file, pasted through its own alpha at its own size", "logo.png"),
    ("add_watermark", "position"): ("pixels x,y of the watermark's top left corner from the picture's top left",
                                    "20,20"),
    ("apply_border", "border_width"): ("pixels added on each side", "10"),
    ("apply_border", "color"): ("the border's colour", "white"),
    ("double_exposure", "overlay_image_path"): ("a picture file laid over the picture from its top left corner",
                                                "clouds.jpg"),
    ("double_exposure", "opacity"): ("0 shows the picture alone, 1 the overlay alone", "0.3"),
    ("apply_lut", "path"): ("a .cube colour table file", "film.cube"),
    ("apply_lut", "strength"): ("0 leaves the picture, 1 grades it fully", "0.8"),
    ("size", "geometry"): ("pixels: WxH fits inside, Wx or xH gives one side, P% scales, ! exact, ^ fills, > only "
                           "shrinks, < only enlarges", "800x600"),
    ("size", "cover"): ("true: fill the box and cut the overflow, placed by gravity", "true"),
    ("size", "gravity"): ("which part is kept when cutting, or where the picture sits when padding", "top"),
    ("size", "background"): ("a colour: pad a fitted picture to the whole box with it (empty: no padding)", "white"),
    ("rotate_fill", "angle"): ("degrees, counter-clockwise (a negative angle turns clockwise)", "-3.5"),
    ("rotate_fill", "background"): ("the colour of the corners the turn uncovers", "white"),
    ("rotate_fill", "expand"): ("true: the picture grows to hold the whole turn; false: same size, corners cut",
                                "false"),
    ("place_watermark", "watermark_path"): ("a picture file, pasted through its own alpha", "logo.png"),
    ("place_watermark", "position"): ("where it goes: top-left, top, top-right, left, centre, right, bottom-left, "
                                      "bottom, bottom-right", "bottom-right"),
    ("place_watermark", "margin"): ("pixels from the edges it is put against (not used for centre)", "24"),
    ("place_watermark", "scale"): ("its width as a fraction of the picture's width, aspect kept; 0 keeps its own "
                                   "size", "0.2"),
    ("place_watermark", "opacity"): ("0 invisible, 1 as the file has it", "0.6"),
    ("place_text", "text"): ("the text, in Pillow's default font at font_size", '"© 2026 Ada"'),
    ("place_text", "position"): ("where it goes: top-left, top, top-right, left, centre, right, bottom-left, bottom, "
                                 "bottom-right", "bottom-left"),
    ("place_text", "margin"): ("pixels from the edges it is put against (not used for centre)", "24"),
    ("place_text", "font_size"): ("pixels", "36"),
    ("place_text", "color"): ("the text's colour", "yellow"),
    ("place_text", "opacity"): ("0 invisible, 1 solid", "0.7"),
    ("brightness", "factor"): ("1 leaves it, above 1 brighter, below 1 darker, 0 black", "1.2"),
    ("saturation", "factor"): ("1 leaves it, above 1 stronger colours, below 1 weaker, 0 grey", "1.3"),
    ("adjust_exposure", "stops"): ("stops of light: +1 doubles it, -1 halves it (linear light, highlights clip)",
                                   "0.5"),
    ("temperature", "amount"): ("above 0 warmer (red up, blue down), below 0 cooler; 100 moves each by 30 %", "20"),
    ("tint", "amount"): ("above 0 towards magenta (green down), below 0 towards green; 100 moves green by 30 %",
                         "-10"),
    ("levels", "black"): ("the level (0-255) that becomes black; everything below it is black too", "10"),
    ("levels", "white"): ("the level (0-255) that becomes white; everything above it is white too", "245"),
    ("levels", "gamma"): ("midtones: above 1 brightens, below 1 darkens (out = in ** (1/gamma)), 1 leaves them",
                          "1.2"),
    ("auto_levels", "clip"): ("percent of the darkest and of the brightest pixels clipped before stretching", "1"),
    ("unsharp", "radius"): ("pixels of the blur the mask is made from: larger sharpens coarser detail", "2"),
    ("unsharp", "amount"): ("how much of the difference is added: 1.5 is 150 %, 0 leaves it", "1.5"),
    ("unsharp", "threshold"): ("levels (0-255) of difference below which nothing is sharpened", "3"),
    ("vignette", "strength"): ("how dark the corners get: 0 not at all, 1 black", "0.4"),
    ("vignette", "radius"): ("fraction of the half-diagonal left untouched around the centre", "0.6"),
}

_RANGE_OF_KIND: Final = {
    "int": "any integer", "float": "any number", "number": "any number", "bool": "true or false",
    "str": "text", "tuple": "integers separated by commas",
}


def param_help(info: StepInfo, param: Param) -> dict[str, Any]:
    """A parameter's meaning (unit and direction), range, default and example, as data."""
    meaning, example = HELP.get((info.method, param.name), ("", ""))
    rule = RULES.get((info.method, param.name))
    allowed = rule.allowed if rule is not None else _RANGE_OF_KIND.get(param.kind, param.kind)
    return {"meaning": meaning, "range": allowed, "example": example}


def example_of(info: StepInfo) -> str:
    """One step as written in a chain: the step's short name and an example of each required value."""
    def written(param: Param) -> str:
        value = HELP.get((info.method, param.name), ("", ""))[1]
        return f"({value})" if "," in value and not value.startswith('"') else value

    values = [written(p) for p in info.params if p.required]
    if not values and info.params:
        values = [f"{info.params[0].name}={written(info.params[0])}"]
    return f"{info.short}:{','.join(values)}" if values else info.short


def help_lines(info: StepInfo) -> list[str]:
    """The lines `framewick steps` shows under a step: each parameter, then an example."""
    lines = []
    for param in info.params:
        about = param_help(info, param)
        default = "required" if param.required else f"default {_written_default(param.default)}"
        lines.append(f"{param.name}: {about['meaning']}" if about["meaning"] else param.name)
        lines.append(f"    {about['range']}; {default}; e.g. {about['example'] or '-'}")
    lines.append(f"example: {example_of(info)}")
    return lines


def _written_default(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, tuple):
        return ",".join(map(str, value))
    return '""' if value == "" else str(value)


def check(info: StepInfo, values: Mapping[str, Any], where: str) -> None:
    """Refuse, with a ChainError naming `where`, the first of `values` its rule does not allow.

    `values` are the arguments written in the chain, already converted by their annotations; a
    rule that looks at other parameters sees their defaults where they were not written.
    """
    given = [(name, RULES.get((info.method, name))) for name in values]
    if not any(rule for _, rule in given):
        return
    everything = {p.name: p.default for p in info.params if not p.required}
    everything.update(values)
    # Files are looked at last, so a value that is plainly wrong is reported without reading one.
    for name, rule in sorted(((n, r) for n, r in given if r is not None), key=lambda item: item[1].reads_file):
        try:
            verdict = rule.test(values[name], everything)
        except (KeyError, TypeError):  # a class's own step of the same name, with other parameters
            continue
        if verdict is True:
            continue
        line = f"{where}: {name} must be {rule.allowed}, got {_shown(values[name])}"
        if isinstance(verdict, str):
            line += ("; " if verdict.startswith("did you mean") else " (") + verdict + \
                ("" if verdict.startswith("did you mean") else ")")
        raise ChainError(line)


def _shown(value: Any) -> str:
    if isinstance(value, tuple):
        return ",".join(str(v) for v in value)
    return repr(value)


# ---------------------------------------------------------------------------------------------
# Chain files

#: The most a chain file may hold: far more than any chain needs.
MAX_CHAIN_BYTES: Final = 1 << 20
#: The most steps a chain may have once its looks are expanded, however it was written.
MAX_STEPS: Final = 10_000


def read_chain_file(path: str) -> str:
    """The text of a chain file, refused with a ChainError if it is not one.

    The file must be a regular file (a device or a FIFO is refused before anything is read, so
    nothing blocks), at most MAX_CHAIN_BYTES long, and UTF-8 text (a byte-order mark is allowed).
    """
    where = f"--steps @{path}"
    reason = unusable_path(path)
    if reason:
        raise ChainError(f"{where!r}: {reason}")
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError as e:
        raise ChainError(f"{where}: {e.strerror or e}") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ChainError(f"{where}: not a regular file; a chain file holds the text or JSON form of a chain")
        data = bytearray()
        while len(data) <= MAX_CHAIN_BYTES:
            piece = os.read(fd, MAX_CHAIN_BYTES + 1 - len(data))
            if not piece:
                break
            data += piece
    except OSError as e:
        raise ChainError(f"{where}: {e.strerror or e}") from None
    finally:
        os.close(fd)
    if len(data) > MAX_CHAIN_BYTES:
        raise ChainError(f"{where}: larger than {MAX_CHAIN_BYTES // 1024} KiB; a chain file is far smaller")
    try:
        text = bytes(data).decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise ChainError(f"{where}: not UTF-8 text (byte {data[e.start]:#04x} at offset {e.start})") from None
    if "\x00" in text:
        raise ChainError(f"{where}: not text (it holds a NUL byte at offset {text.index(chr(0))})")
    return text


def too_long(count: int) -> ChainError | None:
    """The error for a chain of `count` steps when that is more than MAX_STEPS, else None."""
    if count <= MAX_STEPS:
        return None
    return ChainError(f"chain: more than {MAX_STEPS:,} steps once its looks are expanded (at most {MAX_STEPS:,})")


