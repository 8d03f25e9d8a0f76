"""Running a chain on a photo: each step gets a picture it accepts, and keeps what it had.

For every step, on every frame:
1. The picture is brought to a working mode (`modes.working`): L, LA, RGB or RGBA.
2. By what the step does:
   * a step that moves pixels (resize, crop, rotate, flip, fit, thumbnail, border) and the
     steps that set the mode, format or quality run on the picture as it is, alpha included,
     so the alpha moves with the pixels;
   * rounded corners run on the colour, and their mask is combined with the alpha already
     there (the smaller of the two), so transparent pixels stay transparent;
   * every other step (filters, presets, gamma, sepia, grayscale, overlays) runs on the colour
     alone and gets the alpha back unchanged.
3. Grey pictures: a step that blends with an RGB picture (grayscale, the presets) gets RGB.
   When a grey picture comes out of a step as RGB with equal bands (vintage, invert, gamma),
   it is grey again; a tint ("warm", "sepia") keeps its colour.
An animation is edited frame by frame; the status lines of a step are those of its first frame.
Intermediate pictures are dropped as soon as the next one exists.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeVar

from PIL import Image, ImageChops

from framewick._output import captured
from framewick.photo import modes
from framewick.photo.metadata import Photo

T = TypeVar("T")

WHOLE = frozenset({"resize", "crop", "rotate", "flip", "fit", "thumbnail", "apply_border",
                   "convert_mode", "convert", "optimize", "compare"})
CORNERS = "round_corners"
# Steps that blend the picture with an RGB one, and so need RGB.
NEEDS_RGB = frozenset({"apply_grayscale", "apply_preset"})
# Steps whose only report of a failure is a status line, and how that line begins.
_FAILURE_LINES = {"convert_mode": "❌ Error", "convert": "❌ Error", "apply_preset": "⚠️ Warning: Preset"}


class StepFailed(Exception):
    """A step reported failure by its status line alone; the text is that line."""


def _chain(chain: Any) -> Any:
    from framewick.chain import Chain

    if isinstance(chain, Chain):
        return chain
    if isinstance(chain, str) and chain.lstrip().startswith("["):
        return Chain.from_json(chain)
    return Chain.coerce(chain)


def _grey_again(result: Image.Image) -> Image.Image:
    """An RGB picture whose three bands are equal, as L; any other picture as it is."""
    if result.mode not in ("RGB", "RGBA"):
        return result
    red, green, blue = result.getchannel(0), result.getchannel(1), result.getchannel(2)
    if ImageChops.difference(red, green).getbbox() or ImageChops.difference(green, blue).getbbox():
        return result
    if result.mode == "RGBA":
        red.putalpha(result.getchannel("A"))
    return red


def _put_alpha(result: Image.Image, alpha: Image.Image) -> Image.Image:
    if result.size != alpha.size:
        alpha = alpha.resize(result.size, Image.Resampling.LANCZOS)
    if result.mode == "RGBA":
        result.putalpha(ImageChops.darker(result.getchannel("A"), alpha))
        return result
    if result.mode not in ("L", "RGB"):
        result = result.convert("RGB")
    result.putalpha(alpha)
    return result


def _edit(obj: Any, step: Any, picture: Image.Image, photo: Photo | None) -> None:
    """Run `step` on `picture` (one frame) through `obj`, leaving the result in `obj.image`."""
    icc = photo.icc if photo is not None else None
    picture, icc = modes.working(picture, icc)
    if photo is not None:
        photo.icc = icc
    method = step.method
    if method in WHOLE:
        obj.image = picture
        del picture
        step.apply(obj)
        return
    grey = picture.mode in ("L", "LA")
    colour, alpha = modes.split_alpha(picture)
    del picture
    if grey and method in NEEDS_RGB:
        colour = colour.convert("RGB")
    obj.image = colour
    del colour
    step.apply(obj)
    result = obj.image
    if not isinstance(result, Image.Image):
        return
    if grey:
        result = _grey_again(result)
    if alpha is not None and method != CORNERS:
        result = _put_alpha(result, alpha)
    elif alpha is not None:
        result = _put_alpha(result, alpha)
    obj.image = result


def _report(text: str, echo: Callable[[str], None] | None) -> None:
    if not text:
        return
    if echo is None:
        print(text, end="")
    else:
        echo(text)


def _check(step: Any, text: str) -> None:
    start = _FAILURE_LINES.get(step.method)
    if start is None:
        return
    for line in text.split("\n"):
        if line.startswith(start):
            raise StepFailed(text[text.index(line):].rstrip("\n"))


def run_steps(obj: T, chain: Any, echo: Callable[[str], None] | None = None, *, strict: bool = False) -> T:
    """Run `chain` (a Chain, its text or JSON form) on `obj` and return `obj`.

    Each step's status lines go to `echo` after the step (also when it fails), or are printed
    when `echo` is None. With `strict`, a step that reports failure only by its status line
    raises StepFailed with that line (after the line has been reported).
    """
    steps: Sequence[Any] = tuple(_chain(chain))
    target: Any = obj
    for step in steps:
        picture = getattr(target, "image", None)
        if not isinstance(picture, Image.Image):
            _plain(target, step, echo, strict)
            continue
        photo: Photo | None = getattr(target, "photo", None)
        frames = photo.frames_of(picture) if photo is not None else None
        del picture
        if frames is None:
            _once(target, step, echo, strict, lambda: _edit(target, step, target.image, photo))
            continue
        # Every frame, in order; the first frame's lines are the step's lines.
        for index in range(len(frames)):
            frame, frames[index] = frames[index], None  # type: ignore[call-overload]
            if index == 0:
                _once(target, step, echo, strict, lambda: _edit(target, step, frame, photo))
            else:
                with captured():
                    _edit(target, step, frame, photo)
            del frame
            frames[index] = target.image
        target.image = frames[0]
    return obj


def _plain(obj: Any, step: Any, echo: Callable[[str], None] | None, strict: bool) -> None:
    _once(obj, step, echo, strict, lambda: step.apply(obj))


def _once(obj: Any, step: Any, echo: Callable[[str], None] | None, strict: bool, run: Callable[[], None]) -> None:
    if echo is None and not strict:
        run()
        return
    text = ""
    try:
        with captured() as buffer:
            run()
    finally:
        text = buffer.getvalue()
        _report(text, echo)
    if strict:
        _check(step, text)
