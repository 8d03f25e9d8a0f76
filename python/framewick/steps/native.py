"""The steps of the native mixins, declared: Storage, Effects, Geometry, Overlays, Inspector.

The methods are C++ (their names, parameters, defaults and docstrings are the modules' own, and
`framewick.steps.mismatches` checks these declarations against the built classes); each is
declared here in its mixin's method order, with the presets of `apply_preset`. Nothing here
imports Pillow or a native module until a declared function runs.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any, Final

from framewick.steps.declare import ALPHA_COMBINED, ALPHA_MOVES, PREFIX, SAME, Param, Preset, StepInfo, Values, registry
from framewick.steps.rules import (
    COLOR, COORDINATE, DIRECTIONS, FRACTION, MAX_BLUR_RADIUS, MAX_BORDER, MAX_FONT_SIZE, MAX_INT32, MAX_PIXELS, MODES,
    PICTURE, Rule, after, at_least, between, box, ints_in, is_direction, is_format, is_mode, preset_rule, pixels,
    positive, builtin_presets, watermark_box,
)
from framewick.steps import moves as _moves
from framewick.steps.sizes import (
    bordered, cropped, filled_reduced, given, given_reduced, thumbnail_reduced, thumbnailed, turned,
)

P = Param


def _declare(owner: str, module: str, method: str, doc: str, *params: Param, aliases: Iterable[str] = (),
             **what: Any) -> None:
    short = method[len(PREFIX):] if method.startswith(PREFIX) else method
    registry.add(StepInfo(method, short, owner, params, doc, module=module, aliases=tuple(aliases),
                          declared_in=__name__, **what))


def blur_margin(radius: float) -> int:
    """Rows a Gaussian blur of `radius` reaches: Pillow blurs by three box passes, each at most
    the radius plus one row wide, and two rows more cover the edge handling."""
    return 3 * (math.ceil(abs(radius)) + 1) + 2


# ---------------------------------------------------------------------------------------------
# Storage

STORAGE: Final = "framewick.utils.storage"

_declare("Storage", STORAGE, "optimize", "😎 Make it lightweight! 😎",
         P("quality", "int", 85, rule=Rule("an integer from 1 to 100", between(1, 100)),
           meaning="save quality for JPEG, WebP, AVIF, HEIC and JPEG XL: higher is better and larger", sample="80"),
         aliases=("quality",), size=SAME, scale_free=True, keeps_depth=True, alpha=ALPHA_MOVES, moves=_moves.NOTHING)
_declare("Storage", STORAGE, "convert_mode", "🌈 Change the color mode of the image! 🌈",
         P("target_mode", "str", rule=Rule(f"one of the modes {', '.join(MODES)} (in any case)", is_mode),
           meaning="a Pillow mode: L grey, RGB colour, RGBA colour with alpha", sample="L", choices=MODES,
           start="RGB"),
         aliases=("mode",), size=SAME, scale_free=True, alpha=ALPHA_MOVES, moves=_moves.NOTHING, fails_with="❌ Error")
_declare("Storage", STORAGE, "convert", "🔄 Professional Format Converter 🔄",
         P("target_format", "str", rule=Rule("a picture format Pillow can write, e.g. JPEG, PNG or WEBP", is_format),
           meaning="the format the picture is re-encoded in and read back from", sample="PNG",
           choices=("JPEG", "PNG", "WEBP", "TIFF", "GIF", "BMP", "AVIF"), start="PNG"),
         aliases=("format",), size=SAME, alpha=ALPHA_MOVES, moves=_moves.NOTHING, fails_with="❌ Error")


# ---------------------------------------------------------------------------------------------
# Effects

EFFECTS: Final = "framewick.modules.effects"


def _blur_rows(values: Values) -> int | None:
    radius = values["radius"]
    return blur_margin(int(radius)) if isinstance(radius, (int, float)) and math.isfinite(radius) else None


def _built_in(name: str) -> bool:
    """Whether the effects table's preset `name` is the library's own (a name user code has
    redefined is not). Asked of the table only when a chain has a preset."""
    from framewick.modules import effects

    return getattr(effects.PRESETS.get(name), "__module__", None) == EFFECTS


def preset_of(values: Values) -> Preset | None:
    """The built-in preset a preset step names (None for a look, an added preset, or a table
    entry user code has replaced)."""
    name = values.get("preset_name")
    if not isinstance(name, str):
        return None
    preset = registry.preset(name.lower())
    return preset if preset is not None and _built_in(preset.name) else None


def _preset_rows(values: Values) -> int | None:
    preset = preset_of(values)
    return preset.rows if preset is not None else None


def _preset_mean(values: Values) -> tuple[bool, float] | None:
    preset = preset_of(values)
    return preset.mean if preset is not None else None


def _preset_scale_free(values: Values) -> bool:
    name = values.get("preset_name")
    preset = registry.preset(name.lower()) if isinstance(name, str) else None
    return preset is not None and preset.scale_free


def _depth(function: str) -> str:
    """The reference to a step's work at depth, `function` in its module of `framewick.depth`."""
    return f"framewick.depth.{function}"


def _preset_at_depth(values: Values) -> str:
    """A built-in preset works at depth; a look runs its own steps, an added preset does not."""
    return _depth("presets:preset") if preset_of(values) is not None else ""


def _preset_choices(looks: Iterable[str]) -> list[str]:
    return [*builtin_presets(), *looks]


#: The presets of the effects table, in its order.
PRESETS: Final = (
    Preset("vintage", "grey, contrast lowered to 0.8", mean=(True, 0.8)),
    Preset("cinematic", "contrast up 1.3, colour down 0.9", mean=(False, 1.3)),
    Preset("vibrant", "colour saturation raised to 1.5", rows=0),
    Preset("dreamy", "1-pixel blur, brightened by 1.1", scale_free=False, rows=blur_margin(1)),
    Preset("noir", "grey, contrast raised to 1.8", mean=(True, 1.8)),
    Preset("warm", "a 10 % red-pink tint", rows=0),
    Preset("sepia", "grey with a 30 % brown tint", rows=0),
    Preset("cool", "a 10 % blue tint", rows=0),
)
for _preset in PRESETS:
    registry.add_preset(_preset)
del _preset

_declare("Effects", EFFECTS, "apply_blur", "Apply Gaussian blur to the image 🌫️",
         P("radius", "int", 2, rule=Rule(f"an integer from 0 to {MAX_BLUR_RADIUS:,}", between(0, MAX_BLUR_RADIUS)),
           meaning="pixels of Gaussian blur: larger is blurrier, 0 leaves it sharp", sample="4", slider=(0, 30)),
         at_depth=_depth("filters:blur"), size=SAME, rows=_blur_rows)
_declare("Effects", EFFECTS, "apply_sharpen", "😎 Make it crisp! 😎", at_depth=_depth("filters:sharpen"), size=SAME,
         rows=2)
_declare("Effects", EFFECTS, "adjust_gamma", "Adjust image gamma (brightness curve) 💡",
         P("gamma", "float", rule=Rule("a number greater than 0 (at 0 or below the curve is not defined)", positive),
           meaning="exponent on each channel (out = 255 * (in/255) ** gamma): above 1 darkens, below 1 brightens, "
                   "1 leaves it", sample="0.8", slider=(0.1, 3.0), start=1.0),
         aliases=("gamma",), at_depth=_depth("tones:gamma"), size=SAME, scale_free=True, rows=0)
_declare("Effects", EFFECTS, "apply_camscanner", "Simulate a scanned document look (high contrast/grayscale) 📄",
         aliases=("scan",), at_depth=_depth("tones:scanned"), size=SAME, scale_free=True)
_declare("Effects", EFFECTS, "auto_enhance", "Automatically improve image quality 🤖",
         aliases=("enhance",), at_depth=_depth("tones:auto_enhance"), size=SAME, scale_free=True, modes=("L", "RGB"))
_declare("Effects", EFFECTS, "apply_grayscale", "😎 Make it moody! 😎",
         P("factor", "float", 1.0, rule=FRACTION, meaning="share of grey: 0 leaves the colours, 1 is fully grey",
           sample="0.5"),
         aliases=("gray", "grey"), at_depth=_depth("tones:greyscale"), size=SAME, scale_free=True, rows=0, modes=("RGB",))
_declare("Effects", EFFECTS, "apply_contrast", "😎 Pop those colors! 😎",
         P("factor", "float", meaning="1 leaves it, above 1 more contrast, below 1 less, 0 is flat grey", sample="1.2",
           slider=(0.0, 3.0), start=1.2),
         at_depth=_depth("tones:contrast"), size=SAME, scale_free=True)
_declare("Effects", EFFECTS, "apply_sepia", "😎 Fast Sepia Filter using Matrix Transformation 😎",
         at_depth=_depth("tones:sepia"), size=SAME, scale_free=True, rows=0)
_declare("Effects", EFFECTS, "apply_preset", "🎞️ Apply a professional mood to your image! 🎞️",
         P("preset_name", "str", rule=Rule(f"a preset ({', '.join(p.name for p in PRESETS)}) or a look of the looks "
                                           "file", preset_rule),
           meaning="a preset's or a look's name", sample="vintage", choices=_preset_choices, start="vintage"),
         at_depth=_preset_at_depth, size=SAME, scale_free=_preset_scale_free, rows=_preset_rows, mean_blend=_preset_mean, modes=("RGB",), fails_with="⚠️ Warning: Preset")
_declare("Effects", EFFECTS, "invert", "Flip the colors! 🔄", at_depth=_depth("tones:invert"), size=SAME, scale_free=True, rows=0)



# ---------------------------------------------------------------------------------------------
# Geometry

GEOMETRY: Final = "framewick.modules.geometry"
_PIXELS = f"an integer of at least 1, with width times height at most {MAX_PIXELS:,} pixels"

_declare("Geometry", GEOMETRY, "rotate", "Rotate the image by a specific angle 🔄",
         P("angle", "float", meaning="degrees, counter-clockwise (a negative angle turns clockwise); corners black",
           sample="90", slider=(-180.0, 180.0), start=15.0),
         P("expand", "bool", True,
           meaning="true: the picture grows to hold the whole turn; false: same size, corners cut", sample="false"),
         size=turned, keeps_depth=True, alpha=ALPHA_MOVES, moves=_moves.turned)
_declare("Geometry", GEOMETRY, "flip", "😎 Flip the image! direction: 'horizontal' or 'vertical' 😎",
         P("direction", "str", "horizontal", rule=Rule("horizontal or vertical (in any case)", is_direction),
           meaning="horizontal mirrors left and right, vertical top and bottom", sample="vertical", choices=DIRECTIONS),
         size=SAME, scale_free=True, keeps_depth=True, alpha=ALPHA_MOVES, moves=_moves.flipped, copies=True)
_declare("Geometry", GEOMETRY, "crop", "Crop a specific region of the image ✂️",
         P("left", "int", rule=COORDINATE, meaning="pixels from the left edge to the box's left side", sample="10",
           start=0),
         P("top", "int", rule=COORDINATE, meaning="pixels from the top edge to the box's top side", sample="10", start=0),
         P("right", "int", rule=Rule(f"greater than left and at most {MAX_INT32:,}", after("left")),
           meaning="pixels from the left edge to the box's right side (not included)", sample="410", start=400),
         P("bottom", "int", rule=Rule(f"greater than top and at most {MAX_INT32:,}, with the box at most "
                                      f"{MAX_PIXELS:,} pixels", box),
           meaning="pixels from the top edge to the box's bottom side (not included)", sample="310", start=300),
         size=cropped, keeps_depth=True, alpha=ALPHA_MOVES, moves=_moves.cropped, copies=True)
_declare("Geometry", GEOMETRY, "thumbnail", "Create a thumbnail of the image 🖼️",
         P("size", "tuple", (128, 128), rule=Rule(f"two integers from 1 to {MAX_INT32:,}, e.g. 128,128",
                                                  ints_in((2,), 1, MAX_INT32)),
           meaning="the box in pixels, width,height: the picture only shrinks, keeping its aspect", sample="256,256"),
         size=thumbnailed, reduces=thumbnail_reduced, reduces_by_aspect=True, keeps_depth=True, alpha=ALPHA_MOVES,
         moves=_moves.thumbnailed, resamples="BICUBIC", reducing_gap=2.0)
_declare("Geometry", GEOMETRY, "round_corners", "🎨 Give your image some smooth edges! 🎨",
         P("radius", "number", 40, rule=Rule("a number of at least 0", at_least(0)),
           meaning="pixels of each corner's rounding; outside it becomes transparent", sample="24", slider=(0, 300)),
         aliases=("corners",), size=SAME, alpha=ALPHA_COMBINED, moves=_moves.NOTHING)
_declare("Geometry", GEOMETRY, "resize", "😎 Shrink it or expand it! 😎",
         P("width", "int", rule=Rule(_PIXELS, pixels("width", "height")),
           meaning="pixels; the aspect is not kept (size:800x keeps it)", sample="800", start=800),
         P("height", "int", rule=Rule(_PIXELS, pixels("width", "height")),
           meaning="pixels; the aspect is not kept (size:x600 keeps it)", sample="600", start=600),
         size=given("width", "height"), reduces=given_reduced("width", "height"), keeps_depth=True, alpha=ALPHA_MOVES,
         moves=_moves.resized("width", "height"), resamples="LANCZOS")
_declare("Geometry", GEOMETRY, "fit", "Perfect fit for social media! ✂️",
         P("target_width", "int", rule=Rule(_PIXELS, pixels("target_width", "target_height")),
           meaning="pixels; the picture fills the box and the overflow is cut, centred", sample="1080", start=800),
         P("target_height", "int", rule=Rule(_PIXELS, pixels("target_width", "target_height")),
           meaning="pixels; the picture fills the box and the overflow is cut, centred", sample="1080", start=600),
         size=given("target_width", "target_height"), reduces=filled_reduced("target_width", "target_height"),
         keeps_depth=True, alpha=ALPHA_MOVES, moves=_moves.fitted("target_width", "target_height"),
         resamples="LANCZOS")


# ---------------------------------------------------------------------------------------------
# Overlays

OVERLAYS: Final = "framewick.modules.overlays"


def _black_border(values: Values) -> bool:
    """A border keeps a deep picture's depth only when black: Pillow reads a colour name as an
    8-bit value in a deep mode."""
    from PIL import ImageColor

    try:
        return ImageColor.getcolor(values["color"], "L") == 0
    except (ValueError, TypeError, AttributeError):
        return False


_declare("Overlays", OVERLAYS, "add_text", "Add custom text to the image 📝",
         P("text", "str", meaning="the text, in Pillow's default font", sample='"Hello, you"', start="framewick"),
         P("position", "tuple", rule=Rule("two integers (x,y), e.g. 10,20", ints_in((2,), -MAX_INT32, MAX_INT32)),
           meaning="pixels x,y of the text's top left corner from the picture's top left", sample="20,20",
           start=(20, 20)),
         P("font_size", "int", 30, rule=Rule(f"an integer from 1 to {MAX_FONT_SIZE:,}", between(1, MAX_FONT_SIZE)),
           meaning="pixels (the designed call draws in the default font's own size)", sample="24", slider=(1, 300)),
         P("color", "str", "white", rule=COLOR, meaning="the text's colour", sample="white"),
         aliases=("text",), size=SAME, moves=_moves.DRAWS)
_declare("Overlays", OVERLAYS, "add_watermark", "Add a watermark image 💧",
         P("watermark_path", "str", rule=PICTURE, meaning="a picture file, pasted through its own alpha at its own size",
           sample="logo.png", file="picture"),
         P("position", "tuple", rule=Rule("two integers (x,y) or four (a box of the watermark's size)", watermark_box,
                                          reads_file=True),
           meaning="pixels x,y of the watermark's top left corner from the picture's top left", sample="20,20",
           start=(20, 20)),
         aliases=("watermark",), size=SAME, moves=_moves.DRAWS)
_declare("Overlays", OVERLAYS, "apply_border", "Apply a border around the image 🖼️",
         P("border_width", "int", rule=Rule(f"an integer from 0 to {MAX_BORDER:,}", between(0, MAX_BORDER)),
           meaning="pixels added on each side", sample="10", slider=(0, 200), start=10),
         P("color", "str", "black", rule=COLOR, meaning="the border's colour", sample="white"),
         size=bordered("border_width"), keeps_depth=_black_border, alpha=ALPHA_MOVES,
         moves=_moves.bordered("border_width"))
_declare("Overlays", OVERLAYS, "double_exposure", "Blend two images together (Double Exposure) 🎭",
         P("overlay_image_path", "str", rule=PICTURE,
           meaning="a picture file laid over the picture from its top left corner", sample="clouds.jpg",
           file="picture"),
         P("opacity", "float", 0.5, rule=FRACTION, meaning="0 shows the picture alone, 1 the overlay alone",
           sample="0.3"),
         aliases=("exposure",), size=SAME, moves=_moves.DRAWS)


# ---------------------------------------------------------------------------------------------
# Inspector

_declare("Inspector", "framewick.utils.inspector", "compare", "🔍 Compare and show current image status! 🔍",
         aliases=("report",), size=SAME, scale_free=True, keeps_depth=True, alpha=ALPHA_MOVES, moves=_moves.NOTHING)

del P
