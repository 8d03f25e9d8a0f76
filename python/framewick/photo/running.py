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
     alone and gets the alpha back unchanged; a picture whose transparency is one colour
     value (PNG's tRNS) gets it as an alpha band first, so it stays on the same pixels.
3. Grey pictures: a step that blends with an RGB picture (grayscale, the presets) gets RGB.
   When a grey picture comes out of a step as RGB with equal bands (vintage, invert, gamma),
   it is grey again; a tint ("warm", "sepia") keeps its colour.
An animation is edited frame by frame; the status lines of a step are those of its first frame.
Intermediate pictures are dropped as soon as the next one exists.

Large pictures: a step whose every output row depends only on the input rows near it (the
colour formulas, blur, sharpen, and the presets made of those) runs on horizontal strips with
enough rows of margin that each strip's middle is exactly what the whole picture would give;
the strips' middles are pasted into one result. The step's own temporaries are then the size of
a strip, not of the picture. Its status lines are those of the first strip, reported once the
whole picture is done.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
import copy
from dataclasses import replace
from typing import Any, TypeVar

from PIL import Image, ImageChops

from framewick.status import BadValue, Failure, Listener, emit, listening
from framewick.photo import companions, modes
from framewick.photo.metadata import Photo
from framewick.steps import StepInfo, registry
from framewick.steps.declare import ALPHA_COMBINED, ALPHA_MOVES
from framewick.steps.moves import DRAWS

T = TypeVar("T")

# Pictures of at least this many pixels run row-local steps in strips of about STRIP_BYTES.
STRIP_PIXELS = 1 << 24
STRIP_BYTES = 32 << 20


def _info(step: Any) -> StepInfo | None:
    return registry.get(step.method)


def _values(info: StepInfo, step: Any) -> dict[str, Any]:
    return info.values(step.args, step.kwargs)


def _moves(step: Any) -> bool:
    """Whether `step` runs on the picture as it is, alpha included (it moves pixels, or sets
    the mode, format or quality)."""
    info = _info(step)
    return info is not None and info.alpha == ALPHA_MOVES


def row_margin(step: Any) -> int | None:
    """The rows of margin a strip needs for `step`, or None when the step is not row-local."""
    info = _info(step)
    if info is None:
        return None
    try:
        return info.answer(info.rows, _values(info, step))
    except (KeyError, TypeError, ValueError):
        return None


def _in_strips(obj: Any, step: Any, colour: Image.Image, margin: int) -> bool:
    """Run `step` strip by strip on `colour`, leaving the whole result in `obj.image`.

    False (nothing run) when the picture is too small for strips to pay, or the margin too
    large for them to help.
    """
    width, height = colour.size
    rows = max(64, STRIP_BYTES // (4 * width))
    if width * height < STRIP_PIXELS or rows < 4 * margin or rows >= height:
        return False
    try:
        _strips(obj, step, colour, margin, rows)
    except BaseException:
        obj.image = colour  # as a failing step leaves it: the picture it was given
        raise
    return True


def _strips(obj: Any, step: Any, colour: Image.Image, margin: int, rows: int) -> None:
    width, height = colour.size
    result: Image.Image | None = None
    first = ""
    for top in range(0, height, rows):
        bottom = min(height, top + rows)
        above, below = max(0, top - margin), min(height, bottom + margin)
        obj.image = colour.crop((0, above, width, below))
        with listening() as heard:
            step.apply(obj)
        if top == 0:
            first = heard.text
        piece = obj.image
        obj.image = None
        if result is None:
            result = Image.new(piece.mode, (width, height))
        elif piece.mode != result.mode:
            piece = piece.convert(result.mode)
        result.paste(piece.crop((0, top - above, width, top - above + bottom - top)), (0, top))
        del piece
    obj.image = result
    if first:
        emit(first, end="")


def mean_preset(step: Any) -> tuple[bool, float] | None:
    """For a built-in preset that blends with the whole picture's mean: (grey first, factor)."""
    info = _info(step)
    if info is None or info.mean_blend is None:
        return None
    try:
        return info.answer(info.mean_blend, _values(info, step))
    except (KeyError, TypeError, ValueError):
        return None


def _mean_in_strips(obj: Any, step: Any, colour: Image.Image, mean_of: tuple[bool, float]) -> bool:
    """Run a mean-contrast preset on `colour` strip by strip, leaving the result in `obj.image`.

    The preset's own calls, reordered: 1. one pass over strips sums the histogram that
    `ImageEnhance.Contrast` takes its mean from (of the grey copy for vintage and noir); 2. each
    strip gets the same conversions and the blend with a flat picture of that mean, and
    cinematic's `ImageEnhance.Color`, which are all per pixel; so every pixel is the one the
    preset gives on the whole picture. The status lines are the step's own, from a run on one
    pixel. False (nothing run) when the picture is too small for strips to pay.
    """
    from PIL import ImageEnhance, ImageStat

    width, height = colour.size
    rows = max(64, STRIP_BYTES // (4 * width))
    if width * height < STRIP_PIXELS or rows >= height or colour.mode not in ("RGB", "L"):
        return False
    grey_first, factor = mean_of
    try:
        with listening() as heard:
            obj.image = colour.crop((0, 0, 1, 1))
            step.apply(obj)
        histogram = [0] * 256
        for top in range(0, height, rows):
            strip = colour.crop((0, top, width, min(height, top + rows)))
            grey = strip.convert("L").convert("RGB").convert("L") if grey_first else strip.convert("L")
            histogram = [a + b for a, b in zip(histogram, grey.histogram())]
            del strip, grey
        mean = int(ImageStat.Stat(histogram).mean[0] + 0.5)
        result: Image.Image | None = None
        for top in range(0, height, rows):
            bottom = min(height, top + rows)
            piece = colour.crop((0, top, width, bottom))
            if grey_first:
                piece = piece.convert("L").convert("RGB")
            flat = Image.new("L", piece.size, mean)
            if flat.mode != piece.mode:
                flat = flat.convert(piece.mode)
            piece = Image.blend(flat, piece, factor)
            del flat
            if not grey_first:
                piece = ImageEnhance.Color(piece).enhance(0.9)
            if result is None:
                result = Image.new(piece.mode, (width, height))
            result.paste(piece, (0, top))
            del piece
    except BaseException:
        obj.image = colour  # as a failing step leaves it: the picture it was given
        raise
    obj.image = result
    if heard.text:
        emit(heard.text, end="")
    return True


class StepFailed(Failure):
    """A step's method failed and went on (convert_mode, convert, apply_preset report such a
    failure by a status line alone); the text is that line."""


def _chain(chain: Any) -> Any:
    from framewick.chain import Chain

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
    if result.mode in ("LA", "RGBA"):  # the step's own alpha (rounded corners' mask)
        result.putalpha(ImageChops.darker(result.getchannel("A"), alpha))
        return result
    if result.mode not in ("L", "RGB"):
        result = result.convert("RGB")
    result.putalpha(alpha)
    return result


def keeps_depth(step: Any, picture: Image.Image) -> bool:
    """Whether `step` runs on the deep `picture` as it is: its declaration says it only moves
    pixels (or changes nothing in them)."""
    info = _info(step)
    if info is None:
        return False
    try:
        return bool(info.answer(info.keeps_depth, _values(info, step)))
    except (KeyError, TypeError, ValueError):
        return False


def _deep(obj: Any, step: Any, picture: Image.Image) -> None:
    """Run a pixel-moving step on a deep picture, keeping its mode."""
    mode = picture.mode
    if step.method == "thumbnail" and mode.startswith("I;16"):
        obj.image = picture.convert("I")  # Pillow reduces I but not I;16; the values fit both
        del picture
        step.apply(obj)
        if isinstance(obj.image, Image.Image) and obj.image.mode == "I":
            obj.image = obj.image.convert(mode)
        return
    obj.image = picture
    del picture
    step.apply(obj)


def needs_runner(method: str, picture: Any, args: tuple[Any, ...] = (), kwargs: Mapping[str, Any] | None = None) -> bool:
    """Whether calling `method` directly on `picture` would fail or misread it (a mode the
    method cannot take, or depth it would clip), so the runner should bring the picture to
    one it takes."""
    if not isinstance(picture, Image.Image):
        return False
    mode = picture.mode
    step = _Call(method, None, args, dict(kwargs or {}))
    if mode in modes.DEEP:
        return not keeps_depth(step, picture) or (method == "thumbnail" and mode.startswith("I;16"))
    if _moves(step):
        return False
    if mode not in modes.WORKING or modes.keyed(picture):
        return True
    info = _info(step)
    return info is not None and info.modes is not None and mode not in info.modes


class _Call:
    """One direct call of a method as a step: `apply` calls `fn` (the method itself, not the
    object's attribute, which may be the caller)."""

    def __init__(self, method: str, fn: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        self.method, self.fn, self.args, self.kwargs = method, fn, args, kwargs

    def apply(self, obj: Any) -> Any:
        return self.fn(obj, *self.args, **self.kwargs)


def run_call(obj: T, method: str, fn: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> T:
    """Call `fn` (the method `method`) on `obj` as a chain's step runs: the picture brought to a
    mode the method takes, deep pictures scaled by their range unless the method only moves
    pixels, alpha kept. A mode Pillow cannot convert is one line saying so."""
    picture = getattr(obj, "image")
    photo: Photo | None = getattr(obj, "photo", None)
    # A method called directly replaces the picture as the caller asked: a deep picture paired
    # with the one before is not carried (it no longer describes the object's picture).
    _edit(obj, _Call(method, fn, args, kwargs), picture, photo, carry=False)
    return obj


class _Unconvertible(BadValue):
    """A picture in a mode Pillow cannot bring to one the step takes."""


def _working(picture: Image.Image, icc: bytes | None, method: str) -> tuple[Image.Image, bytes | None]:
    try:
        return modes.working(picture, icc)
    except ValueError as error:
        if "conversion from" not in str(error):
            raise
        raise _Unconvertible(f"❌ Error: {method} cannot work on a picture in mode {picture.mode}: {error}; "
                             "convert it to RGB or L with another tool first") from None


def _private(obj: Any) -> Any:
    """A shallow copy of `obj` for one step to work on: the step's method reads and replaces
    the copy's picture, never the shared object's, so another thread replacing the object's
    picture meanwhile cannot slip a picture of its own into the middle of the step."""
    return copy.copy(obj)


def _store(obj: Any, work: Any, result: Any) -> None:
    """Give `obj` in one go what the step changed on its private copy `work`: its picture
    `result` and any other attribute it set (quality, format, ...)."""
    before, after = getattr(obj, "__dict__", None), getattr(work, "__dict__", None)
    if before is not None and after is not None:
        missing = object()
        for key, value in list(after.items()):
            if key != "image" and before.get(key, missing) is not value:
                setattr(obj, key, value)
    obj.image = result


def _edit(obj: Any, step: Any, picture: Image.Image, photo: Photo | None, *, carry: bool = True,
          owned: bool = False) -> Any:
    """Run `step` on `picture` (one frame) through a private copy of `obj`; store the result
    in `obj.image` once, and return it. A step that fails leaves `obj` as it was, unless
    `owned` (the caller drops `obj` when a step fails): a resize may then let the picture go
    once its first pass is done (`first_pass`). With `carry`, a deep picture and a gain map
    paired with `picture` are brought along to the result (or dropped with a line)."""
    work = _private(obj)
    deep = _deep_of(photo, picture) if carry else None
    gain = companions.valid(photo, "gain_map", picture) if carry else None
    before = picture.size
    chosen = len(getattr(obj, _CHOSEN, ()) or ())  # boxes smart and face crops recorded so far
    if owned and deep is None and gain is None:
        narrowed = first_pass(step, picture)
        if narrowed is not None:
            # Nothing but the object held the picture: it goes now, before the second pass
            # makes the result, so the two are never alive together.
            obj.image = work.image = picture = narrowed
            del narrowed
    result = _result(work, step, picture, photo)
    if deep is None:
        _store(obj, work, result)
    else:
        # A moving step's deep picture follows from its bands alone: the 8-bit picture before
        # the step is let go first (stored over, no longer held here), so the two pictures and
        # the deep one are not all alive while the bands move.
        given = picture if result is picture or not _moving(step) else None
        del picture
        _store(obj, work, result)
        # The deep picture is handed to the carry alone (the photo's pairing with the picture
        # before is over either way), so a move may let it go once it has its bands. Carried
        # through the step's own copy: what the step noted on it (a crop's chosen box) holds
        # for the deep picture's bands too.
        held = [deep]
        del deep
        companions.discard(photo, "deep")
        carried = _carried(work, step, held, given, result)
        del given, held
        _pair(photo, step, carried, result)
    if gain is not None:  # also when the picture was changed in place (thumbnail, text)
        boxes = getattr(obj, _CHOSEN, ()) or ()
        _carry_gain_map(photo, gain, step, before, result,  # type: ignore[arg-type]
                        boxes[-1].box if len(boxes) > chosen else None)
    return result


def first_pass(step: Any, picture: Image.Image) -> Image.Image | None:
    """The first of the two passes of a Lanczos `resize` step on `picture`: its columns
    resampled to the new width, its rows as they are. Pillow resamples the columns first and
    the rows from that, each pass on its own, so the step on this picture gives the same bytes
    as on `picture`. None when the step is no resize, needs one pass only, or the picture's
    mode is one Pillow resamples through another (LA and RGBA, premultiplied)."""
    if step.method != "resize" or not isinstance(picture, Image.Image) or picture.mode not in ("L", "RGB"):
        return None
    info = _info(step)
    if info is None:
        return None
    try:
        values = _values(info, step)
        width, height = values["width"], values["height"]
    except (KeyError, TypeError, ValueError):
        return None
    if not (isinstance(width, int) and isinstance(height, int) and width > 0 and height > 0):
        return None  # the step's own check refuses it
    if width == picture.width or height == picture.height:
        return None
    return picture.resize((width, picture.height), Image.Resampling.LANCZOS)


#: Where smart and face crops record the boxes they chose (framewick.photo.subject.RECORD).
_CHOSEN = "subject_boxes"


def _deep_of(photo: Photo | None, picture: Any) -> Any:
    """The photo's deep picture when it belongs to `picture` (without importing NumPy when
    there is none)."""
    if photo is None or getattr(photo, "deep", None) is None:
        return None
    return photo.deep_of(picture)


def _moving(step: Any) -> bool:
    """Whether `step` moves pixels and its deep picture moves with them, band by band."""
    info = _info(step)
    if info is None or info.alpha != ALPHA_MOVES:
        return False
    try:
        return info.carries_depth(_values(info, step))
    except (KeyError, TypeError, ValueError):
        return False


def _carried(obj: Any, step: Any, held: list[Any], before: Image.Image | None, after: Any) -> Any:
    """The deep picture after `step` turned `before` into `after` (None: a moving step's
    picture before, let go), or None when the step cannot be carried at depth. `held` holds
    the deep picture before, which the carry may let go of."""
    from framewick.photo import carry

    info = _info(step)
    values = _values(info, step) if info is not None else {}
    moving = _moving(step)
    try:
        return carry.carry(obj, step, info, values, moving, held, before, after)
    except (carry.CannotCarry, ValueError, TypeError, OSError):
        return None  # the 8-bit result stands; the deep picture is dropped with its line


def _written(step: Any) -> str:
    """The step as written in a chain, under the name it was written with (an alias as typed;
    its method's name for a step that cannot say)."""
    to_text = getattr(step, "as_written", None) or getattr(step, "to_text", None)
    try:
        return str(to_text()) if callable(to_text) else str(step.method)
    except Exception:  # a step made by hand with a value the text form cannot hold
        return str(step.method)


def _pair(photo: Any, step: Any, carried: Any, result: Any) -> None:
    """Pair the carried deep picture with the step's result, or drop it with its line."""
    from framewick.photo import companions

    if carried is None or not isinstance(result, Image.Image):
        companions.drop(photo, "deep", _written(step))
    else:
        companions.reattach(photo, {"deep": carried}, result)


def _carry_gain_map(photo: Photo, gain: Any, step: Any, before: tuple[int, int], result: Any,
                    chosen: Any = None) -> None:
    """Bring the gain map along to the step's result: moved as the step declares it moves the
    picture's pixels, kept as it is by a step that leaves them in place (tone, colour), dropped
    with one line by a step it cannot follow (one that draws over the picture, or whose moves
    do not lead to the picture it gave). `chosen` is the box a smart or face crop chose in it."""
    from framewick.photo import hdr

    info = _info(step)
    moves = info.moves if info is not None else DRAWS
    carried = None
    if isinstance(result, Image.Image) and moves != DRAWS:
        if callable(moves):
            try:
                values = _values(info, step)  # type: ignore[arg-type]
                if chosen is not None:
                    values["chosen_box"] = chosen
                carried = hdr.carry(gain, moves(values, before), before, result.size)
            except (hdr.CannotCarry, KeyError, TypeError, ValueError, ZeroDivisionError):
                carried = None
        elif result.size == before and (moves is not None or info.alpha != ALPHA_MOVES):  # type: ignore[union-attr]
            carried = gain
    if carried is None:
        companions.drop(photo, "gain_map", _written(step), photo.name)
    else:
        companions.attach(photo, "gain_map", carried.paired(result), result)


def _result(work: Any, step: Any, picture: Image.Image, photo: Photo | None) -> Any:
    """Run `step` on `picture` through `work`, the step's own copy of the object, and return
    the picture it leaves."""
    if picture.mode in modes.DEEP and keeps_depth(step, picture):
        _deep(work, step, picture)
        return work.image
    icc = photo.icc if photo is not None else None
    picture, icc = _working(picture, icc, step.method)
    if photo is not None:
        photo.icc = icc
    if _moves(step):
        work.image = picture
        del picture
        step.apply(work)
        return work.image
    picture = modes.keyed_to_alpha(picture)
    grey = picture.mode in ("L", "LA")
    colour, alpha = modes.split_alpha(picture)
    del picture
    info = _info(step)
    if grey and info is not None and info.needs_rgb:
        colour = colour.convert("RGB")
    work.image = colour  # the picture as it was is no longer held
    margin = row_margin(step)
    mean = mean_preset(step) if margin is None else None
    if mean is not None and _mean_in_strips(work, step, colour, mean):
        del colour
    elif margin is None or not _in_strips(work, step, colour, margin):
        del colour
        step.apply(work)
    else:
        del colour
    result = work.image
    if not isinstance(result, Image.Image):
        return result
    if grey:
        result = _grey_again(result)
    if alpha is not None:  # for rounded corners, the smaller of their mask and the alpha
        result = _put_alpha(result, alpha)
    return result


def _report(text: str, echo: Callable[[str], None] | None) -> None:
    if not text:
        return
    if echo is None:
        emit(text, end="")
    else:
        echo(text)


def _check(heard: Listener) -> None:
    """StepFailed for the first call of the step that failed and went on, as the sink heard it."""
    for outcome in heard.outcomes:
        if outcome.line is not None and outcome.error is None:
            raise StepFailed(outcome.line)


def run_steps(obj: T, chain: Any, echo: Callable[[str], None] | None = None, *, strict: bool = False,
              owned: bool = False) -> T:
    """Run `chain` (a Chain, its text or JSON form) on `obj` and return `obj`.

    Each step's status lines go to `echo` after the step (also when it fails), or are printed
    when `echo` is None. With `strict`, a step whose method failed and went on (it reported the
    failure by its status line alone) raises StepFailed with that line (after the line has been
    reported). `owned`: the caller drops `obj` if a step fails, so a step need not keep the
    picture it was given for that case (a resize lets it go after its first pass).
    """
    steps: Sequence[Any] = tuple(_chain(chain))
    target: Any = obj
    for step in steps:
        if getattr(step, "strength", 1) != 1 or getattr(step, "steps", ()):
            _blend(target, step, echo, strict)
            continue
        picture = getattr(target, "image", None)
        if not isinstance(picture, Image.Image):
            _plain(target, step, echo, strict)
            continue
        photo: Photo | None = getattr(target, "photo", None)
        frames = photo.frames_of(picture) if photo is not None else None
        del picture
        if frames is None:
            _once(target, step, echo, strict, lambda: _edit(target, step, target.image, photo, owned=owned))
            continue
        # Every frame, in order; the first frame's lines are the step's lines.
        for index in range(len(frames)):
            frame, frames[index] = frames[index], None  # type: ignore[call-overload]
            done: list[Any] = []
            try:
                if index == 0:
                    _once(target, step, echo, strict, lambda: done.append(_edit(target, step, frame, photo)))
                else:
                    with listening():  # the first frame's lines are the step's
                        done.append(_edit(target, step, frame, photo))
            finally:
                frames[index] = done[0] if done else frame  # a failed step loses no frame
            del frame
        target.image = frames[0]
    return obj


def _blend(obj: Any, step: Any, echo: Callable[[str], None] | None, strict: bool) -> None:
    """A preset or a look at a strength below 1, blended with the picture before it.

    1. The step (a look: its steps) runs at full strength on a copy of the object, as any step
       runs, alpha, grey and frames kept; its status lines are the step's.
    2. The picture before it takes the same steps that move pixels or set the mode (a look's
       resize, crop, border, corners), silently, so the two line up pixel for pixel.
    3. Each frame of the result is (1 - strength) of the second and strength of the first;
       the mode is the first's.
    """
    from framewick.chain import Chain

    inner = tuple(step.steps) or (replace(step, strength=1.0),)
    source = getattr(obj, "photo", None)
    deep = _deep_of(source, getattr(obj, "image", None)) if isinstance(source, Photo) else None
    taken = _copy(obj)  # the picture is taken once: both sides start from the same one
    full = _copy(taken, pictures=True)  # text and watermarks draw in place: never on the picture before
    run_steps(full, Chain(inner), echo, strict=strict)
    plain = _copy(taken)
    if isinstance(getattr(plain, "photo", None), Photo):
        companions.discard(plain.photo, "gain_map")  # the picture before serves the blend alone
    geometry = tuple(s for s in inner if (info := _info(s)) is not None and info.alpha in (ALPHA_MOVES, ALPHA_COMBINED))
    if geometry:
        with listening():
            run_steps(plain, Chain(geometry))
    graded, before = _frames_of(full), _frames_of(plain)
    if len(graded) != len(before) or any(a.size != b.size for a, b in zip(graded, before)):
        raise BadValue(f"❌ Error: {step.to_text()}: the picture's size changed in a way strength cannot follow")
    icc = getattr(getattr(plain, "photo", None), "icc", None)
    blended = [Image.blend(_like(b, a, icc), a, step.strength) for a, b in zip(graded, before)]
    photo = getattr(full, "photo", None)
    if photo is not None and photo.frames_of(full.image) is not None:
        photo.frames[:] = blended
    mixed = _blended_deep(full, plain, step) if deep is not None else None
    obj.__dict__.update(full.__dict__)
    obj.image = blended[0]
    if mixed is not None:
        companions.reattach(obj.photo, {"deep": mixed}, obj.image)
    gain = companions.valid(photo, "gain_map", full.image)
    if gain is not None:  # the blend lies where the full-strength picture does
        companions.attach(photo, "gain_map", gain.paired(blended[0]), blended[0])


def _blended_deep(full: Any, plain: Any, step: Any) -> Any:
    """The deep picture of a blend at a strength: the two sides' deep pictures mixed as their
    8-bit pictures are. None when the graded side dropped it (it said so); dropped here with
    its line when the two cannot be mixed."""
    graded = _deep_of(full.photo, full.image)
    if graded is None:
        return None
    before = _deep_of(plain.photo, plain.image)
    from framewick.photo import carry

    mixed = carry.blended(before, graded, step.strength) if before is not None else None
    if mixed is None:
        companions.drop(full.photo, "deep", _written(step))
    return mixed


def _copy(obj: Any, pictures: bool = False) -> Any:
    """A shallow copy of the object whose photo (and its frame list) is its own; with
    `pictures`, its picture and frames are copies too."""
    clone = copy.copy(obj)
    photo = getattr(obj, "photo", None)
    frames = photo.frames_of(clone.image) if isinstance(photo, Photo) else None
    if isinstance(photo, Photo):
        clone.photo = copy.copy(photo)
        clone.photo.frames = [f.copy() for f in photo.frames] if pictures and frames is not None else list(photo.frames)
    if pictures and isinstance(clone.image, Image.Image):
        deep = _deep_of(photo, clone.image) if isinstance(photo, Photo) else None
        clone.image = clone.photo.frames[0] if frames is not None else clone.image.copy()
        if deep is not None:  # the copy's deep picture is paired with the copied picture
            clone.photo.deep = deep.paired(clone.image)
        gain = companions.valid(photo, "gain_map", obj.image)
        if gain is not None:  # the copy of the picture keeps its gain map
            companions.attach(clone.photo, "gain_map", gain.paired(clone.image), clone.image)
    return clone


def _frames_of(obj: Any) -> list[Image.Image]:
    photo = getattr(obj, "photo", None)
    frames = photo.frames_of(obj.image) if photo is not None else None
    return list(frames) if frames is not None else [obj.image]


def _like(picture: Image.Image, model: Image.Image, icc: bytes | None) -> Image.Image:
    """`picture` in `model`'s mode, through a working mode (a palette or deep picture)."""
    if picture.mode == model.mode:
        return picture
    if picture.mode not in modes.WORKING:
        picture, _ = modes.working(picture, icc)
    return picture if picture.mode == model.mode else picture.convert(model.mode)


def _plain(obj: Any, step: Any, echo: Callable[[str], None] | None, strict: bool) -> None:
    _once(obj, step, echo, strict, lambda: step.apply(obj))


def _once(obj: Any, step: Any, echo: Callable[[str], None] | None, strict: bool, run: Callable[[], None]) -> None:
    if echo is None and not strict:
        run()
        return
    heard: Listener | None = None
    try:
        with listening(take_lines=echo is not None) as heard:
            run()
    finally:
        if heard is not None:
            _report(heard.text, echo)
    if strict:
        _check(heard)
