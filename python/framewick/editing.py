"""Everyday editing, in the user layer: the `Editing` mixin.

Sizes as people write them (`size`, ImageMagick's geometry), a turn that fills its corners
(`rotate_fill`), placed watermarks and captions (`place_watermark`, `place_text`: by gravity,
margin, scale and opacity) and the basic adjustments (`brightness`, `saturation`,
`adjust_exposure`, `temperature`, `tint`, `auto_white_balance`, `levels`, `auto_levels`,
`unsharp`, `vignette`). Every pixel is Pillow's; each method makes the Pillow calls its
docstring names and nothing the picture does not need. Pillow is imported when a method runs,
so the declarations are read without it.

Each method is declared as a step beside it, and checks its arguments against its declaration's
rules (the same words a chain's error line uses) before it reads the picture (except in a plan's
run, whose chain was checked when it was read), and keeps the picture's
alpha and mode: the colour is edited, the alpha put back; a grey picture stays grey unless the
step tints it; palette and other modes are edited in RGB (RGBA where they carry alpha).
"""

from __future__ import annotations

import math
from functools import lru_cache
from typing import TYPE_CHECKING, Any, Final

from framewick.steps import moves
from framewick.steps.declare import ALPHA_MOVES, SAME, declares, registry, step
from framewick.steps.geometries import parse_geometry, parse_gravity, placed
from framewick.steps.geometries import GRAVITIES
from framewick.steps.rules import COLOR, CROP_GRAVITY, FRACTION, GRAVITY, MARGIN, MAX_FONT_SIZE, PICTURE, \
    SUBJECT_GRAVITIES, ChainError, Rule
from framewick.steps.rules import between, cover, is_geometry, levels_black, levels_white, padding, pixel_limit
from framewick.steps.sizes import geometry_reduced, geometry_size, turned
from framewick.status import BadValue, emit
from framewick.steps.tables import check, in_plan

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["Editing"]

#: The most a white-balance gain may be: a picture of one colour is not turned into another.
MAX_GAIN: Final = 4.0
#: How far temperature and tint at 100 move a channel: 30 % up on one side, 30 % down on the other.
SHIFT: Final = 0.3


# ---------------------------------------------------------------------------------------------
# Arguments


def _number(name: str, value: Any, kind: str = "float") -> Any:
    """A float (or int) argument as the native methods convert it; TypeError for anything else."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"Argument '{name}' has incorrect type (expected {kind}, got {type(value).__name__})")
    return int(value) if kind == "int" else float(value)


def _text(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")
    return value


def _check(method: str, **values: Any) -> None:
    """Refuse a value outside its step's range with the step table's words, before any picture
    is read: ValueError("❌ Error: ..."). A plan's step is not checked again: its chain's values
    were checked when it was read."""
    if in_plan():
        return
    try:
        check(registry.get(method), values, method)  # type: ignore[arg-type]
    except ChainError as e:
        raise BadValue(f"❌ Error: {e}") from None


# ---------------------------------------------------------------------------------------------
# Modes: edit the colour, keep the alpha


def _colour(image: Image.Image, rgb: bool = False) -> tuple[Image.Image, Image.Image | None]:
    """The picture's colour (L or RGB; RGB when `rgb`) and its alpha band (None without one)."""
    mode = image.mode
    if mode == "RGB" or (mode == "L" and not rgb):
        return image, None
    if mode in ("RGBA", "LA") or (mode in ("P", "PA") and ("transparency" in image.info or mode == "PA")):
        if mode not in ("RGBA", "LA"):
            image = image.convert("RGBA")
        alpha = image.getchannel("A")
        colour = image.convert("RGB" if rgb or image.mode == "RGBA" else "L")
        return colour, alpha
    return image.convert("L" if mode in ("1", "I", "I;16", "F") and not rgb else "RGB"), None


def _joined(result: Image.Image, alpha: Image.Image | None) -> Image.Image:
    if alpha is not None:
        result.putalpha(alpha)
    return result


def _bands(image: Image.Image) -> int:
    return len(image.getbands())


# ---------------------------------------------------------------------------------------------
# Curves, made once per value


def _to_linear(c: float) -> float:
    return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4


def _to_srgb(c: float) -> float:
    return 12.92 * c if c <= 0.0031308 else 1.055 * c ** (1 / 2.4) - 0.055


def _level(value: float) -> int:
    return min(255, max(0, round(value * 255)))


# The tables are kept as the lists `point` takes (256 levels a band), made once per value and
# never changed after.

@lru_cache(maxsize=64)
def exposure_table(stops: float, bands: int = 1) -> list[int]:
    """256 levels a band: each sRGB value made linear, multiplied by 2**stops, clipped, encoded."""
    gain = 2.0 ** stops
    return [_level(_to_srgb(min(1.0, _to_linear(v / 255) * gain))) for v in range(256)] * bands


@lru_cache(maxsize=64)
def levels_table(black: int, white: int, gamma: float, bands: int = 1) -> list[int]:
    """256 levels a band: black and below to 0, white and above to 255, the rest along x**(1/gamma)."""
    span = white - black
    return [_level(min(1.0, max(0.0, (v - black) / span)) ** (1.0 / gamma)) for v in range(256)] * bands


@lru_cache(maxsize=64)
def gains_table(red: float, green: float, blue: float) -> list[int]:
    """768 levels for an RGB `point`: each band multiplied by its gain and clipped."""
    return [min(255, max(0, round(v * gain))) for gain in (red, green, blue) for v in range(256)]


@lru_cache(maxsize=16)
def vignette_mask(size: tuple[int, int], strength: float, radius: float) -> Image.Image:
    """An L mask of `size`: 255 inside `radius` (a fraction of the half-diagonal), falling
    smoothly to 255 * (1 - strength) at the corners."""
    from PIL import Image

    # Pillow's radial gradient is the distance from the centre of its 256 square over the
    # half-diagonal, 0 to 255: stretched to the picture, the same fraction of its half-diagonal.
    gradient = Image.radial_gradient("L")

    def fall(v: int) -> int:
        d = v / 255  # 0 at the centre, about 0.707 at an edge's middle, 1 at a corner
        if d <= radius:
            return 255
        t = min(1.0, (d - radius) / max(1e-6, 1.0 - radius))
        t = t * t * (3 - 2 * t)
        return round(255 * (1.0 - strength * t))

    return gradient.point([fall(v) for v in range(256)]).resize(size, Image.Resampling.BILINEAR)


def _unpadded_or_black(values: Any) -> bool:
    """Whether a size keeps a 16-bit picture's depth as it is: no padding, or black padding
    (Pillow reads a colour name as an 8-bit value in a 16-bit mode)."""
    from PIL import ImageColor

    background = values.get("background") or ""
    try:
        return not background or ImageColor.getcolor(background, "L") == 0
    except (ValueError, TypeError, AttributeError):
        return False


# ---------------------------------------------------------------------------------------------
# The mixin


#: What the placed overlays' position and margin mean.
_WHERE: Final = "where it goes: top-left, top, top-right, left, centre, right, bottom-left, bottom, bottom-right"
_MARGIN: Final = "pixels from the edges it is put against (not used for centre)"


def is_box(value: str, _: Any) -> bool:
    from framewick.steps.geometries import GeometryError

    try:
        spec = parse_geometry(value)
    except GeometryError:
        return False
    return spec.width is not None and spec.height is not None and not spec.percent and spec.flag == ""


def cut_size(values: Any, size: tuple[int, int], exact: bool) -> tuple[int, int]:
    """The size model of `crop_to`: the box, no side larger than the picture's."""
    spec = parse_geometry(values["geometry"])
    return min(int(spec.width or size[0]), size[0]), min(int(spec.height or size[1]), size[1])


@declares
class Editing:
    """Everyday editing in the user layer: sizes, placed overlays and the basic adjustments."""

    # -- sizes and turns --------------------------------------------------------------------------

    @step(size=geometry_size, reduces=geometry_reduced, reduces_by_aspect=True, alpha=ALPHA_MOVES,
          keeps_depth=_unpadded_or_black, moves=moves.geometry, resamples="LANCZOS", params={
        "geometry": dict(rule=Rule("an ImageMagick geometry: 800x600 (fit inside), 800x, x600, 50%, 800x600! (exact), "
                                   "800x600^ (fill), with > to only shrink or < to only enlarge", is_geometry),
                         meaning="pixels: WxH fits inside, Wx or xH gives one side, P% scales, ! exact, ^ fills, > only "
                                 "shrinks, < only enlarges", sample="800x600"),
        "cover": dict(rule=Rule("true only with a box of both sides in pixels, e.g. size:800x600,cover=true", cover),
                      meaning="true: fill the box and cut the overflow, placed by gravity", sample="true"),
        "gravity": dict(rule=CROP_GRAVITY, meaning="which part is kept when cutting (smart: the most salient part, "
                                                   "face: the faces, else smart), or where the picture sits when padding",
                        sample="top", choices=(*GRAVITIES, *SUBJECT_GRAVITIES)),
        "background": dict(rule=Rule("empty, or a colour Pillow knows (padding needs a box of both sides)", padding),
                           meaning="a colour: pad a fitted picture to the whole box with it (empty: no padding)",
                           sample="white")})
    def size(self, geometry: str, cover: bool = False, gravity: str = "centre", background: str = ""):
        """Resize by an ImageMagick geometry (800x600, 800x, x600, 50%, 800x600!, 800x600^, > or <)."""
        from PIL import Image

        _text("geometry", geometry)
        _text("gravity", gravity)
        _text("background", background)
        _check("size", geometry=geometry, cover=bool(cover), gravity=gravity, background=background)
        spec = parse_geometry(geometry)
        place = gravity.strip().lower()
        if place not in SUBJECT_GRAVITIES:
            place = parse_gravity(gravity)
        picture = self.image  # type: ignore[attr-defined]
        chosen = None
        box = (int(spec.width), int(spec.height)) if spec.width and spec.height and not spec.percent else None
        fill = cover and box is not None
        if fill:
            spec = parse_geometry(f"{box[0]}x{box[1]}^")  # type: ignore[index]
        target = spec.size_for(picture.size)
        if target is not None:
            limit = None if in_plan() else pixel_limit()  # a plan checked every step's size
            if limit is not None and target[0] * target[1] > limit:
                raise BadValue(f"❌ Error: size {geometry}: {target[0]}x{target[1]} is more than "
                               f"{limit:,} pixels")
            picture = picture.resize(target, Image.Resampling.LANCZOS)
        if fill and picture.size != box and place in SUBJECT_GRAVITIES:
            from framewick.photo import subject

            chosen = subject.replayed(self, picture, box, place, self.image)  # type: ignore[arg-type,attr-defined]
            if chosen is None:
                chosen = subject.choose(picture, box, place, self.image)  # type: ignore[arg-type,attr-defined]
                subject.remember(self, chosen)
            picture = picture.crop(chosen.box)
        elif fill and picture.size != box:
            left, top = _crop_corner(picture.size, box, place)  # type: ignore[arg-type]
            picture = picture.crop((left, top, left + box[0], top + box[1]))  # type: ignore[index]
        elif background and box is not None and not spec.percent and spec.flag in ("", ">", "<") \
                and picture.size != box:
            padded = Image.new(picture.mode, box, _fill_for(picture, background))
            padded.paste(picture, placed(box, picture.size, place))
            picture = padded
        changed = picture is not self.image  # type: ignore[attr-defined]
        self.image = picture  # type: ignore[attr-defined]
        if changed:
            emit(f"📏 Success: Image resized to {picture.width}x{picture.height}"
                 + (f" ({chosen.line()})" if chosen is not None else ""))
        return self

    @step(aliases=("cut",), size=cut_size, alpha=ALPHA_MOVES, moves=moves.cut, copies=True, params={
        "geometry": dict(rule=Rule("a box of both sides in pixels, e.g. 1080x1080", is_box),
                         meaning="pixels, WxH: the box cut out at the picture's own scale (a side larger than the "
                                 "picture's keeps it whole)", sample="1080x1080", start="400x400"),
        "gravity": dict(rule=CROP_GRAVITY, meaning="which part is kept: a place, smart (the most salient part) or "
                                                   "face (the faces, else smart)",
                        sample="smart", choices=(*GRAVITIES, *SUBJECT_GRAVITIES))})
    def crop_to(self, geometry: str, gravity: str = "centre"):
        """Cut a box of WxH pixels out of the picture, placed by gravity (a place, smart or face)."""
        _text("geometry", geometry)
        _text("gravity", gravity)
        _check("crop_to", geometry=geometry, gravity=gravity)
        picture = self.image  # type: ignore[attr-defined]
        size = cut_size({"geometry": geometry}, picture.size, False)
        if size == picture.size:
            return self
        place = gravity.strip().lower()
        chosen = None
        if place in SUBJECT_GRAVITIES:
            from framewick.photo import subject

            chosen = subject.replayed(self, picture, size, place)
            if chosen is None:
                chosen = subject.choose(picture, size, place)
                subject.remember(self, chosen)
            box = chosen.box
        else:
            left, top = _crop_corner(picture.size, size, parse_gravity(gravity))
            box = (left, top, left + size[0], top + size[1])
        self.image = picture.crop(box)  # type: ignore[attr-defined]
        emit(f"✂️ Success: Image cropped to {size[0]}x{size[1]}" + (f" ({chosen.line()})" if chosen else ""))
        return self

    @step(aliases=("turn",), size=turned, alpha=ALPHA_MOVES, moves=moves.turned, params={
        "angle": dict(rule=Rule("a number of degrees from -360 to 360", between(-360.0, 360.0)),
                      meaning="degrees, counter-clockwise (a negative angle turns clockwise)", sample="-3.5"),
        "background": dict(rule=COLOR, meaning="the colour of the corners the turn uncovers", sample="white"),
        "expand": dict(meaning="true: the picture grows to hold the whole turn; false: same size, corners cut",
                       sample="false")})
    def rotate_fill(self, angle: float, background: str = "black", expand: bool = True):
        """Rotate counter-clockwise by an angle in degrees, the uncovered corners in a background colour."""
        from PIL import Image

        turn = _number("angle", angle)
        _text("background", background)
        _check("rotate_fill", angle=turn, background=background, expand=bool(expand))
        picture = self.image  # type: ignore[attr-defined]
        # A float band (a deep picture's, turned band by band) turns as it is.
        colour, alpha = (picture, None) if picture.mode == "F" else _colour(picture)
        fill = _fill_for(colour, background)
        turned = colour.rotate(turn, Image.Resampling.BICUBIC, expand=bool(expand), fillcolor=fill)
        if alpha is not None:
            alpha = alpha.rotate(turn, Image.Resampling.BICUBIC, expand=bool(expand), fillcolor=255)
        self.image = _joined(turned, alpha)  # type: ignore[attr-defined]
        return self

    # -- placed overlays ------------------------------------------------------------------------

    @step(aliases=("logo",), size=SAME, moves=moves.DRAWS, params={
        "watermark_path": dict(rule=PICTURE, meaning="a picture file, pasted through its own alpha", sample="logo.png",
                               file="picture"),
        "position": dict(rule=GRAVITY, meaning=_WHERE, sample="bottom-right"),
        "margin": dict(rule=MARGIN, meaning=_MARGIN, sample="24"),
        "scale": dict(rule=Rule("a number from 0 to 1 (0 keeps the watermark's own size)", between(0.0, 1.0)),
                      meaning="its width as a fraction of the picture's width, aspect kept; 0 keeps its own size",
                      sample="0.2"),
        "opacity": dict(rule=FRACTION, meaning="0 invisible, 1 as the file has it", sample="0.6")})
    def place_watermark(self, watermark_path: str, position: str = "bottom-right", margin: int = 16,
                        scale: float = 0.0, opacity: float = 1.0):
        """Add a watermark placed by gravity, with a margin, a scale (of the picture's width) and an opacity."""
        from PIL import Image

        _text("watermark_path", watermark_path)
        _text("position", position)
        gap = _number("margin", margin, "int")
        fraction = _number("scale", scale)
        see = _number("opacity", opacity)
        _check("place_watermark", watermark_path=watermark_path, position=position, margin=gap, scale=fraction,
               opacity=see)
        with Image.open(watermark_path) as opened:
            mark = opened.convert("RGBA")
        picture = self.image  # type: ignore[attr-defined]
        if fraction > 0.0:
            width = max(1, round(picture.width * fraction))
            height = max(1, round(mark.height * width / mark.width))
            mark = mark.resize((width, height), Image.Resampling.LANCZOS)
        if see < 1.0:
            mark.putalpha(mark.getchannel("A").point(_scaled_alpha(see)))
        corner = placed(picture.size, mark.size, parse_gravity(position), gap)
        _paste(self, picture, mark, corner)
        return self

    @step(aliases=("caption",), size=SAME, moves=moves.DRAWS, params={
        "text": dict(meaning="the text, in Pillow's default font at font_size", sample='"© 2026 Ada"'),
        "position": dict(rule=GRAVITY, meaning=_WHERE, sample="bottom-left"),
        "margin": dict(rule=MARGIN, meaning=_MARGIN, sample="24"),
        "font_size": dict(rule=Rule(f"an integer from 1 to {MAX_FONT_SIZE:,}", between(1, MAX_FONT_SIZE)),
                          meaning="pixels", sample="36"),
        "color": dict(rule=COLOR, meaning="the text's colour", sample="yellow"),
        "opacity": dict(rule=FRACTION, meaning="0 invisible, 1 solid", sample="0.7")})
    def place_text(self, text: str, position: str = "bottom-right", margin: int = 16, font_size: int = 30,
                   color: str = "white", opacity: float = 1.0):
        """Add text placed by gravity, with a margin, a font size, a colour and an opacity."""
        from PIL import Image, ImageColor, ImageDraw

        _text("text", text)
        _text("position", position)
        _text("color", color)
        gap = _number("margin", margin, "int")
        size = _number("font_size", font_size, "int")
        see = _number("opacity", opacity)
        _check("place_text", position=position, margin=gap, font_size=size, color=color, opacity=see)
        picture = self.image  # type: ignore[attr-defined]
        font = _font(size)
        probe = ImageDraw.Draw(Image.new("L", (1, 1)))
        left, top, right, bottom = probe.textbbox((0, 0), text, font=font)
        width, height = max(1, right - left), max(1, bottom - top)
        layer = Image.new("RGBA", (width, height), (0, 0, 0, 0))
        ink = ImageColor.getrgb(color)[:3] + (_alpha_of(color, see),)
        ImageDraw.Draw(layer).text((-left, -top), text, font=font, fill=ink)
        corner = placed(picture.size, layer.size, parse_gravity(position), gap)
        _paste(self, picture, layer, corner)
        return self

    # -- the basic adjustments ------------------------------------------------------------------

    @step(at_depth="framewick.depth.tones:brightness", size=SAME, scale_free=True, rows=0, params={
        "factor": dict(rule=Rule("a number from 0 to 8", between(0.0, 8.0)),
                       meaning="1 leaves it, above 1 brighter, below 1 darker, 0 black", sample="1.2")})
    def brightness(self, factor: float):
        """Brighten above 1 or darken below 1 (0 is black), by ImageEnhance.Brightness."""
        from PIL import ImageEnhance

        value = _number("factor", factor)
        _check("brightness", factor=value)
        colour, alpha = _colour(self.image)  # type: ignore[attr-defined]
        self.image = _joined(ImageEnhance.Brightness(colour).enhance(value), alpha)  # type: ignore[attr-defined]
        return self

    @step(at_depth="framewick.depth.tones:saturation", size=SAME, scale_free=True, rows=0, params={
        "factor": dict(rule=Rule("a number from 0 to 8", between(0.0, 8.0)),
                       meaning="1 leaves it, above 1 stronger colours, below 1 weaker, 0 grey", sample="1.3")})
    def saturation(self, factor: float):
        """Stronger colours above 1, weaker below 1 (0 is grey), by ImageEnhance.Color."""
        from PIL import ImageEnhance

        value = _number("factor", factor)
        _check("saturation", factor=value)
        colour, alpha = _colour(self.image)  # type: ignore[attr-defined]
        self.image = _joined(ImageEnhance.Color(colour).enhance(value), alpha)  # type: ignore[attr-defined]
        return self

    @step(at_depth="framewick.depth.tones:exposure", aliases=("ev",), size=SAME, scale_free=True, rows=0, params={
        "stops": dict(rule=Rule("a number of stops from -10 to 10", between(-10.0, 10.0)),
                      meaning="stops of light: +1 doubles it, -1 halves it (linear light, highlights clip)",
                      sample="0.5")})
    def adjust_exposure(self, stops: float):
        """Change the exposure by stops: +1 doubles the light, -1 halves it (in linear light)."""
        value = _number("stops", stops)
        _check("adjust_exposure", stops=value)
        colour, alpha = _colour(self.image)  # type: ignore[attr-defined]
        self.image = _joined(colour.point(exposure_table(value, _bands(colour))), alpha)  # type: ignore[attr-defined]
        return self

    @step(at_depth="framewick.depth.tones:temperature", size=SAME, scale_free=True, rows=0, params={
        "amount": dict(rule=Rule("a number from -100 to 100", between(-100.0, 100.0)),
                       meaning="above 0 warmer (red up, blue down), below 0 cooler; 100 moves each by 30 %",
                       sample="20")})
    def temperature(self, amount: float):
        """Warmer (more red, less blue) above 0, cooler below 0; -100 to 100."""
        value = _number("amount", amount)
        _check("temperature", amount=value)
        shift = SHIFT * value / 100.0
        return _gains(self, 1.0 + shift, 1.0, 1.0 - shift)

    @step(at_depth="framewick.depth.tones:tint", size=SAME, scale_free=True, rows=0, params={
        "amount": dict(rule=Rule("a number from -100 to 100", between(-100.0, 100.0)),
                       meaning="above 0 towards magenta (green down), below 0 towards green; 100 moves green by 30 %",
                       sample="-10")})
    def tint(self, amount: float):
        """Towards magenta (less green) above 0, towards green below 0; -100 to 100."""
        value = _number("amount", amount)
        _check("tint", amount=value)
        return _gains(self, 1.0, 1.0 - SHIFT * value / 100.0, 1.0)

    @step(at_depth="framewick.depth.tones:white_balance", aliases=("awb", "white_balance"), size=SAME)
    def auto_white_balance(self):
        """Neutralise a colour cast by grey world: each channel's mean brought to the mean of the three."""
        from PIL import ImageStat

        colour, alpha = _colour(self.image, rgb=True)  # type: ignore[attr-defined]
        means = ImageStat.Stat(colour).mean
        grey = sum(means) / 3.0
        gains = [min(MAX_GAIN, grey / m) if m > 0 else 1.0 for m in means]
        self.image = _joined(colour.point(gains_table(*(round(g, 4) for g in gains))), alpha)  # type: ignore[attr-defined]
        return self

    @step(at_depth="framewick.depth.tones:levels", size=SAME, scale_free=True, rows=0, params={
        "black": dict(rule=Rule("an integer from 0 to 254, below white", levels_black),
                      meaning="the level (0-255) that becomes black; everything below it is black too", sample="10"),
        "white": dict(rule=Rule("an integer from 1 to 255, above black", levels_white),
                      meaning="the level (0-255) that becomes white; everything above it is white too", sample="245"),
        "gamma": dict(rule=Rule("a number from 0.1 to 10", between(0.1, 10.0)),
                      meaning="midtones: above 1 brightens, below 1 darkens (out = in ** (1/gamma)), 1 leaves them",
                      sample="1.2")})
    def levels(self, black: int = 0, white: int = 255, gamma: float = 1.0):
        """Set the black point, white point and midtone gamma (above 1 brightens the midtones)."""
        low, high = _number("black", black, "int"), _number("white", white, "int")
        curve = _number("gamma", gamma)
        _check("levels", black=low, white=high, gamma=curve)
        colour, alpha = _colour(self.image)  # type: ignore[attr-defined]
        self.image = _joined(colour.point(levels_table(low, high, curve, _bands(colour))), alpha)  # type: ignore[attr-defined]
        return self

    @step(at_depth="framewick.depth.tones:auto_levels", size=SAME, params={
        "clip": dict(rule=Rule("a percentage from 0 to 49", between(0.0, 49.0)),
                     meaning="percent of the darkest and of the brightest pixels clipped before stretching", sample="1")})
    def auto_levels(self, clip: float = 0.5):
        """Stretch the tones to the full range, clipping a percentage at each end, colours kept in balance."""
        from PIL import ImageOps

        value = _number("clip", clip)
        _check("auto_levels", clip=value)
        colour, alpha = _colour(self.image)  # type: ignore[attr-defined]
        result = ImageOps.autocontrast(colour, cutoff=value, preserve_tone=True)
        self.image = _joined(result, alpha)  # type: ignore[attr-defined]
        return self

    @step(at_depth="framewick.depth.filters:unsharp", size=SAME, params={
        "radius": dict(rule=Rule("a number of pixels from 0 to 500", between(0.0, 500.0)),
                       meaning="pixels of the blur the mask is made from: larger sharpens coarser detail", sample="2"),
        "amount": dict(rule=Rule("a number from 0 to 10", between(0.0, 10.0)),
                       meaning="how much of the difference is added: 1.5 is 150 %, 0 leaves it", sample="1.5"),
        "threshold": dict(rule=Rule("an integer from 0 to 255", between(0, 255)),
                          meaning="levels (0-255) of difference below which nothing is sharpened", sample="3")})
    def unsharp(self, radius: float = 2.0, amount: float = 1.5, threshold: int = 3):
        """Sharpen by an unsharp mask: blur radius in pixels, amount (1.5 adds 150 %), threshold in levels."""
        from PIL import ImageFilter

        r = _number("radius", radius)
        a = _number("amount", amount)
        t = _number("threshold", threshold, "int")
        _check("unsharp", radius=r, amount=a, threshold=t)
        colour, alpha = _colour(self.image)  # type: ignore[attr-defined]
        result = colour.filter(ImageFilter.UnsharpMask(r, round(a * 100), t))
        self.image = _joined(result, alpha)  # type: ignore[attr-defined]
        return self

    @step(at_depth="framewick.depth.tones:vignette", size=SAME, params={
        "strength": dict(rule=FRACTION, meaning="how dark the corners get: 0 not at all, 1 black", sample="0.4"),
        "radius": dict(rule=Rule("a number from 0 to 0.99", between(0.0, 0.99)),
                       meaning="fraction of the half-diagonal left untouched around the centre", sample="0.6")})
    def vignette(self, strength: float = 0.5, radius: float = 0.5):
        """Darken towards the corners: strength 0 to 1 (1 black corners), from radius (0 to 1) of the half-diagonal."""
        from PIL import Image, ImageChops

        s = _number("strength", strength)
        r = _number("radius", radius)
        _check("vignette", strength=s, radius=r)
        colour, alpha = _colour(self.image)  # type: ignore[attr-defined]
        mask = vignette_mask(colour.size, round(s, 4), round(r, 4))
        if colour.mode != "L":
            mask = Image.merge(colour.mode, [mask] * _bands(colour))
        self.image = _joined(ImageChops.multiply(colour, mask), alpha)  # type: ignore[attr-defined]
        return self


# ---------------------------------------------------------------------------------------------
# Helpers of the methods


def _gains(obj: Any, red: float, green: float, blue: float) -> Any:
    colour, alpha = _colour(obj.image, rgb=True)
    obj.image = _joined(colour.point(gains_table(red, green, blue)), alpha)
    return obj


def _crop_corner(size: tuple[int, int], box: tuple[int, int], gravity: str) -> tuple[int, int]:
    """Where a `box` cut from a picture of `size` starts, placed by `gravity`."""
    x, y = placed(size, box, gravity)
    return max(0, x), max(0, y)


def _fill_for(picture: Image.Image, colour: str) -> Any:
    """`colour` in the picture's mode (a grey level for L, a tuple for RGB and RGBA)."""
    from PIL import ImageColor

    return ImageColor.getcolor(colour, picture.mode) if colour else 0


@lru_cache(maxsize=32)
def _scaled_alpha(opacity: float) -> tuple[int, ...]:
    return tuple(int(v * opacity) for v in range(256))


def _alpha_of(color: str, opacity: float) -> int:
    from PIL import ImageColor

    rgba = ImageColor.getcolor(color, "RGBA")
    return int(rgba[3] * opacity)


def _font(size: int) -> Any:
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)
    except (TypeError, OSError):  # a Pillow without FreeType has only the small bitmap font
        return ImageFont.load_default()


def _paste(obj: Any, picture: Image.Image, layer: Image.Image, corner: tuple[int, int]) -> None:
    """`layer` (RGBA) over `picture` at `corner`, through its alpha, as add_watermark pastes: in
    place on an RGB or RGBA picture (RGBA keeps its own alpha); other modes are made RGB(A)."""
    if picture.mode not in ("RGB", "RGBA"):
        picture = picture.convert("RGBA" if "A" in picture.getbands() or "transparency" in picture.info else "RGB")
        obj.image = picture
    if picture.mode == "RGBA":
        alpha = picture.getchannel("A")
        picture.paste(layer, corner, layer)
        picture.putalpha(alpha)
    else:
        picture.paste(layer, corner, layer)
