"""Picture modes: what the steps can take, what a format can store, and the conversions between.

Steps get 8-bit pictures: L, LA, RGB or RGBA. Palette pictures become RGB, or RGBA when they
have transparency; "1" becomes L; 16-bit, 32-bit and float pictures are scaled to 8 bits by
their range (below); CMYK becomes RGB through its profile where it has one.

The range of a deep picture: I;16 is 0 to 65535. I is 0 to 65535 when its values lie there
(that is how 16-bit files are held), else its own minimum to maximum. F is 0.0 to 1.0 when
its values lie there, else its own minimum to maximum. Nothing is clipped.
"""

from __future__ import annotations

from collections.abc import Callable

from PIL import Image, ImageColor

from framewick.photo import profiles
from framewick.status import BadValue

WORKING = frozenset({"L", "LA", "RGB", "RGBA"})
DEEP = frozenset({"I;16", "I;16L", "I;16B", "I;16N", "I", "F"})


def has_alpha(picture: Image.Image) -> bool:
    return picture.mode in ("RGBA", "LA", "PA", "La", "RGBa") or (picture.mode == "P" and _palette_alpha(picture))


def _palette_alpha(picture: Image.Image) -> bool:
    """Whether a palette picture has transparency (some plugins, ICNS's, leave its Python-side
    palette unset though the picture has one: then only a transparency entry says so)."""
    if picture.palette is None:
        return "transparency" in picture.info
    return picture.has_transparency_data


def is_grey(mode: str) -> bool:
    return mode in ("1", "L", "LA", "La") or mode in DEEP


def _scaler(picture: Image.Image) -> Callable[[Image.Image], Image.Image]:
    """The scaling of a deep grey picture to L by its range, as a function of one picture of
    the same mode (so a single value can be scaled exactly as the pixels were)."""
    mode = picture.mode
    if mode.startswith("I;16"):
        return lambda p: p.convert("I").point(lambda v: v / 257).convert("L")
    low, high = extrema(picture)
    if mode == "I" and 0 <= low and high <= 65535:
        return lambda p: p.point(lambda v: v / 257).convert("L")
    if mode == "F" and 0.0 <= low and high <= 1.0:
        return lambda p: p.point(lambda v: v * 255.0).convert("L")
    if high == low:
        return lambda p: Image.new("L", p.size, int(min(max(low, 0), 255)))
    scale = 255.0 / (high - low)
    offset = -low * scale
    return lambda p: (p if p.mode == "F" else p.convert("F")).point(lambda v: v * scale + offset).convert("L")


def to_8bit(picture: Image.Image) -> Image.Image:
    """A deep (16-bit, 32-bit or float) grey picture scaled to L by its range, never clipped.

    A transparent grey value (PNG's tRNS) is scaled with the pixels, so the pixels that were
    transparent still are."""
    scale = _scaler(picture)
    result = scale(picture)
    transparent = picture.info.get("transparency")
    result.info.pop("transparency", None)
    if isinstance(transparent, (int, float)) and not isinstance(transparent, bool):
        try:
            value = scale(Image.new(picture.mode, (1, 1), transparent)).getpixel((0, 0))
        except (ValueError, TypeError, OverflowError):  # a value the mode cannot hold: none is transparent
            value = None
        if isinstance(value, int):
            result.info["transparency"] = value
    return result


def extrema(picture: Image.Image) -> tuple[float, float]:
    """The smallest and largest value of a one-band picture."""
    low, high = picture.getextrema()
    assert isinstance(low, (int, float)) and isinstance(high, (int, float))
    return float(low), float(high)


def working(picture: Image.Image, icc: bytes | None = None) -> tuple[Image.Image, bytes | None]:
    """`picture` in a mode every step accepts, and the profile that now goes with it.

    The picture itself when it is already L, LA, RGB or RGBA (no copy). A CMYK picture
    converted through its profile comes back with the sRGB profile.
    """
    mode = picture.mode
    if mode in WORKING:
        return picture, icc
    if mode == "P":
        return picture.convert("RGBA" if _palette_alpha(picture) else "RGB"), icc
    if mode == "PA" or mode == "RGBa":
        return picture.convert("RGBA"), icc
    if mode == "La":
        return picture.convert("LA"), icc
    if mode == "1":
        return picture.convert("L"), icc
    if mode in DEEP:
        return to_8bit(picture), icc
    if mode == "CMYK":
        converted = profiles.to_srgb(picture, icc)
        return converted, (profiles.srgb_bytes() if profiles.fits(icc, "CMYK") else None)
    return picture.convert("RGB"), icc


def keyed(picture: Image.Image) -> bool:
    """Whether a working picture marks its transparent pixels by one colour value (PNG's tRNS)
    rather than by an alpha band."""
    return picture.mode in ("L", "RGB") and picture.info.get("transparency") is not None


def keyed_to_alpha(picture: Image.Image) -> Image.Image:
    """A working picture whose transparency is one colour value, as LA or RGBA: the pixels of
    that value transparent, the others opaque. A step that changes colours would otherwise
    leave the value pointing at other pixels (or, through RGB, at a value its mode cannot
    hold). Any other picture as it is."""
    if not keyed(picture):
        return picture
    return picture.convert("LA" if picture.mode == "L" else "RGBA")


def split_alpha(picture: Image.Image) -> tuple[Image.Image, Image.Image | None]:
    """The colour (RGB or L) and the alpha band of a working picture (None if it has none)."""
    if picture.mode == "RGBA":
        return picture.convert("RGB"), picture.getchannel("A")
    if picture.mode == "LA":
        return picture.convert("L"), picture.getchannel("A")
    return picture, None


def flatten(picture: Image.Image, background: str | tuple[int, ...]) -> Image.Image:
    """A picture with alpha composited onto `background` (any Pillow colour): RGB, or L for a
    grey picture on a grey background."""
    colour = _rgb(background)
    alpha = picture.getchannel("A") if picture.mode in ("RGBA", "LA") else picture.convert("RGBA").getchannel("A")
    grey = picture.mode == "LA" and colour[0] == colour[1] == colour[2]
    mode = "L" if grey else "RGB"
    base = Image.new(mode, picture.size, colour[0] if grey else colour)
    base.paste(picture.convert(mode), mask=alpha)
    return base


def _rgb(background: str | tuple[int, ...]) -> tuple[int, int, int]:
    value: tuple[int, ...] = ImageColor.getrgb(background) if isinstance(background, str) else tuple(background)
    if len(value) < 3:
        value = (value[0],) * 3
    return int(value[0]), int(value[1]), int(value[2])


def check_colour(background: str | tuple[int, ...]) -> None:
    """Refuse a background Pillow does not know, before anything is written."""
    try:
        _rgb(background)
    except (ValueError, TypeError, IndexError):
        raise BadValue(f"❌ Error: unknown background colour {background!r}") from None
