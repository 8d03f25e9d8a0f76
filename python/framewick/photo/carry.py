"""Carrying a deep picture through one step, once the step has given its 8-bit result.

1. A step whose moves only copy whole pixels (crop, cut, flip) copies the samples so. A step
   whose move is one region of the picture resampled to a new size by a filter it
   declares (size, resize, fit, thumbnail, which reduces by whole factors first), perhaps then
   cut to a box (size's cover), resamples a 16-bit or float picture natively: every channel at
   once and in threads, sample for sample what its own resize gives each band (alpha as below).
   Any other step that moves pixels runs again, through its own method, on each band of the deep
   picture as a Pillow "F" picture (float: every resampling, turn, crop and pad of Pillow's is
   exact or float there, where "I;16" is not for every filter), and the bands are stored back at
   the picture's dtype. A step whose values name a colour may fill the area it uncovers with it;
   a band in "F" cannot hold that colour per channel, so the uncovered share of each pixel is
   measured by running the step on a band of zeros and one of ones (the step is affine in its
   picture) and filled with the colour the 8-bit result shows there.
2. A step whose colour is unchanged and whose own alpha is combined with the picture's (rounded
   corners) gives the deep alpha the smaller of it and the step's mask, at 16 bits.
3. A step with a depth implementation runs it on the colour (float, 0-1), the alpha split off
   and put back as the step's alpha rule says; the 8-bit result decides grey or colour.
Anything else cannot be carried: `carry` answers None and the runner drops the deep picture.
"""

from __future__ import annotations

import copy
from collections.abc import Callable
from typing import Any

import numpy as np
from PIL import Image, ImageChops, ImageColor

from framewick.photo.deep import Deep
from framewick.status import listening
from framewick.steps.declare import ALPHA_COMBINED, ALPHA_MOVES, SAME, StepInfo


class CannotCarry(Exception):
    """The step gave something the deep picture cannot follow (another size or mode than the
    8-bit result, or no picture)."""


def carry(obj: Any, step: Any, info: StepInfo | None, values: dict[str, Any], moving: bool, held: list[Deep],
          before: Image.Image | None, after: Any) -> Deep | None:
    """The deep picture after `step` (which turned the 8-bit `before` into `after`), or None
    when the step cannot be carried at depth. `held` is a list of one: the deep picture before,
    handed over so that a move may let it go once its bands are copied out (nothing else holds
    it then). `obj` is the object the step ran on (a copy of it runs the step on the bands),
    `moving` whether the step moves pixels and keeps depth; for a moving step `before` may be
    None (let go already) when the step gave another picture."""
    if info is None or not isinstance(after, Image.Image):
        return None
    if info.alpha == ALPHA_MOVES and info.size is SAME and (after is before or (not moving and _same(before, after))):
        return held[0]  # the step left the picture as it was (quality, compare, a format already its own)
    try:
        if moving:
            copied = copied_at_depth(info, values, held[0], after)
            if copied is not None:
                return copied
            sixteen = _answer(info.keeps_depth, values)
            if sixteen:
                resampled = resampled_at_depth(info, values, held, after)
                if resampled is not None:
                    return resampled
            return _checked(moved(obj, step, held, values, lambda: after, sixteen), after)
        function = info.depth_function(values)
        if function is not None:
            return _checked(toned(function, values, held[0], after, info.alpha), after)
        if info.alpha == ALPHA_COMBINED and before is not None:
            return _checked(masked(obj, step, held[0], before, after), after)
    except CannotCarry:
        return None
    return None


def _answer(field: Any, values: dict[str, Any]) -> bool:
    try:
        return bool(field(values) if callable(field) else field)
    except (KeyError, TypeError, ValueError):
        return False


def _same(before: Image.Image, after: Image.Image) -> bool:
    """Whether `after` is `before`, or holds the same pixels in the same mode."""
    if after is before:
        return True
    if after.mode != before.mode or after.size != before.size:
        return False
    try:
        return ImageChops.difference(after, before).getbbox(alpha_only=False) is None
    except ValueError:  # a mode the difference does not take
        return False


def _checked(deep: Deep | None, after: Image.Image) -> Deep | None:
    """`deep` when it matches the 8-bit result in size and bands, else None."""
    if deep is None or deep.size != after.size or len(after.getbands()) != deep.channels:
        return None
    return deep


def run_on(obj: Any, step: Any, picture: Image.Image) -> Image.Image:
    """The picture `step` leaves when run on `picture` through a copy of `obj`, its lines unheard."""
    work = copy.copy(obj)
    work.image = picture
    if getattr(work, "photo", None) is not None:
        work.photo = None  # the method as it is, on the band as it is (not brought to 8 bits)
    with listening(keep_done=False):
        step.apply(work)
    result = work.image
    if not isinstance(result, Image.Image):
        raise CannotCarry("the step left no picture")
    return result


def _names_colour(values: dict[str, Any]) -> bool:
    for value in values.values():
        if isinstance(value, str) and value.strip():
            try:
                ImageColor.getrgb(value)
            except ValueError:
                continue
            return True
    return False


def moved(obj: Any, step: Any, held: list[Deep], values: dict[str, Any],
          result8: Callable[[], Image.Image | None], sixteen: bool = False) -> Deep:
    """The deep picture in `held` (a list of one) moved by `step` band by band (see the module's
    first point); `result8` gives the step's 8-bit result, whose uncovered pixels show a fill
    colour. With alpha, the colour bands are moved premultiplied by it, as Pillow moves an RGBA
    or LA picture. With `sixteen` (a step declared to run on a 16-bit Pillow picture as it is),
    uint16 samples are moved as "I;16" bands, which Pillow takes without a copy; one the step
    refuses so goes as "F". A large picture's bands move in threads (see `BAND_THREADS`).

    `held` may be emptied once the bands are copied out (see `_copied`): when nothing else holds
    the picture, its memory goes before the bands move."""
    deep = held[0]
    scale = 1.0 if deep.floating else 65535.0
    sixteen = sixteen and not deep.floating
    size, channels, bits, has_alpha, floating = deep.size, deep.channels, deep.bits, deep.has_alpha, deep.floating
    last = channels - 1
    alpha = deep.pixels[:, :, -1].astype(np.float32) * np.float32(1 / scale) if has_alpha else None
    del deep  # held alone, so the bands' copies can take its place
    copies, source = _copied(held, alpha, sixteen)

    def one(index: int) -> np.ndarray:
        if copies is not None:
            plane, copies[index] = copies[index], None
        else:
            plane = _premultiplied(source[:, :, index], None if index == last else alpha, sixteen)  # type: ignore[index]
        return _moved_band(obj, step, plane, sixteen)

    bands = _each_band(size, channels, one)
    del source, alpha
    for band in bands[1:]:
        if band.shape != bands[0].shape:
            raise CannotCarry(f"the step gave bands of {band.shape[::-1]} and {bands[0].shape[::-1]}")
    if all(band.dtype == np.uint16 for band in bands) and not has_alpha and not _names_colour(values):
        return _stacked(bands, bits)
    shown = result8()
    if _names_colour(values):
        bands = [band.astype(np.float32) for band in bands]  # writable floats: the fill goes in place
        _fill(obj, step, size, has_alpha, bands, shown, scale)
    if has_alpha:
        _unpremultiplied(bands, shown, scale)
    stacked = np.stack(bands, axis=2)
    del bands
    if floating or stacked.dtype == np.uint16:
        return Deep(stacked, bits)
    return Deep(np.rint(np.clip(stacked, 0, 65535, out=stacked)).astype(np.uint16), bits)


def _declared_moves(info: StepInfo, values: dict[str, Any], size: tuple[int, int]) -> tuple[Any, ...] | None:
    """The moves the step declares for these values on a picture of `size` (see
    framewick.steps.moves), or None when it declares none or they cannot be told."""
    if not callable(info.moves):
        return None
    try:
        return info.moves(values, size)
    except (KeyError, TypeError, ValueError, ZeroDivisionError):
        return None


#: The mirrors a step's moves name, as NumPy views of a picture's samples.
_MIRRORS: dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "FLIP_LEFT_RIGHT": lambda pixels: pixels[:, ::-1], "FLIP_TOP_BOTTOM": lambda pixels: pixels[::-1]}


def copied_at_depth(info: StepInfo, values: dict[str, Any], deep: Deep, after: Image.Image) -> Deep | None:
    """`deep` moved as the step moved its 8-bit picture into `after`, when its moves only copy
    whole pixels (`StepInfo.copies`: cuts within the picture, mirrors): its samples copied the
    same way, exactly, alpha or not. None for any other move."""
    moves = _declared_moves(info, values, deep.size) if info.copies else None
    if moves is None:
        return None
    pixels = deep.pixels
    for move in moves:
        size = (int(pixels.shape[1]), int(pixels.shape[0]))
        mirror = _MIRRORS.get(move[1]) if move[0] == "transpose" else None
        cut = _cut(move, size) if mirror is None else None
        if mirror is None and cut is None:
            return None
        pixels = mirror(pixels) if mirror is not None else pixels[cut[1]:cut[3], cut[0]:cut[2]]  # type: ignore[index]
    if (pixels.shape[1], pixels.shape[0]) != after.size:
        return None
    return Deep(np.ascontiguousarray(pixels), deep.bits)


#: Pillow's numbers of its convolution filters, as the resampling module takes them.
_FILTERS = {"LANCZOS": 1, "BILINEAR": 2, "BICUBIC": 3, "BOX": 4, "HAMMING": 5}


def resampled_at_depth(info: StepInfo, values: dict[str, Any], held: list[Deep], after: Image.Image) -> Deep | None:
    """The deep picture in `held` (a list of one; 16-bit or float) moved as the step moved its
    8-bit picture into `after`, when that move is one region of the picture resampled to a new
    size by the filter the step declares (`StepInfo.resamples`), perhaps then cut to a box
    within it (a size that covers its box): every channel at once and in threads, each sample
    the one the step's own resize gives its band as a 16-bit or float Pillow picture (with
    alpha, the colour premultiplied by it and brought back after, as `moved` does); `held` is
    emptied then. None for any other move or picture (the bands then move through the step
    itself), or when the resampling module is not built here."""
    deep = held[0]
    number = _FILTERS.get(info.resamples)
    moves = _declared_moves(info, values, deep.size) if number is not None else None
    if moves is None or not 1 <= len(moves) <= 2 or moves[0][0] != "box":
        return None
    size = (int(moves[0][2][0]), int(moves[0][2][1]))
    cut = _cut(moves[1], size) if len(moves) == 2 else (0, 0, *size)
    if cut is None or (cut[2] - cut[0], cut[3] - cut[1]) != after.size:
        return None
    x0, y0, x1, y1 = (float(v) for v in moves[0][1])
    width, height = deep.size
    if not (0 <= x0 < x1 <= width and 0 <= y0 < y1 <= height):
        return None  # a region past the picture's edges: new area, filled by the step itself
    try:
        from framewick.formats import _resample
    except ImportError:
        return None
    gap = info.reducing_gap
    xscale = (int((x1 - x0) / size[0] / gap) or 1) if gap else 1
    yscale = (int((y1 - y0) / size[1] / gap) or 1) if gap else 1
    reduced = xscale > 1 or yscale > 1
    if reduced and (deep.floating or (x0, y0, x1, y1) != (0, 0, width, height)):
        return None  # a float picture's block sums depend on their order: through the bands
    channels, source, floating, bits, has_alpha = deep.channels, deep.pixels, deep.floating, deep.bits, deep.has_alpha
    del deep
    threads = min(16, max(1, idle_cores())) if width * height >= THREADED_PIXELS else 1
    # With alpha the colour is premultiplied as it is read, as `moved` premultiplies each band.
    if reduced:  # Pillow reduces a 16-bit band as a float one, then resamples that
        reduced_size = ((width + xscale - 1) // xscale, (height + yscale - 1) // yscale)
        smaller = np.empty((reduced_size[1], reduced_size[0], channels), dtype=np.float32)
        _resample.reduce(source, width, height, channels, smaller, xscale, yscale, threads=threads,
                         premultiply=has_alpha)
        del source
        held.clear()
        source, width, height = smaller, reduced_size[0], reduced_size[1]
        del smaller
        x0, y0, x1, y1 = 0.0, 0.0, x1 / xscale, y1 / yscale
    out = np.empty((size[1], size[0], channels), dtype=source.dtype)
    _resample.resample(source, width, height, channels, out, size[0], size[1], (x0, y0, x1, y1), number,
                       threads=threads, bits=32 if source.dtype == np.float32 else 16,
                       premultiply=has_alpha and not reduced)
    del source
    held.clear()  # moved: its memory goes now when nothing else holds it
    if cut != (0, 0, *size):
        out = np.ascontiguousarray(out[cut[1]:cut[3], cut[0]:cut[2]])
    if has_alpha:
        bands = [out[:, :, index] for index in range(channels)]
        _unpremultiplied(bands, after, 1.0 if floating else 65535.0)
        out = np.stack(bands, axis=2)
        del bands
    if floating or out.dtype == np.uint16:
        return Deep(out, bits)
    return Deep(np.rint(np.clip(out, 0, 65535, out=out)).astype(np.uint16), bits)


def _cut(move: tuple[Any, ...], size: tuple[int, int]) -> tuple[int, int, int, int] | None:
    """The whole-pixel box within a picture of `size` that a "box" move cuts out of it, or None
    for any other move (a region past the edges, between pixels, or brought to another size)."""
    if move[0] != "box":
        return None
    box = tuple(float(v) for v in move[1])
    left, top, right, bottom = (int(v) for v in box)
    if box != (left, top, right, bottom) or tuple(move[2]) != (right - left, bottom - top):
        return None
    return (left, top, right, bottom) if 0 <= left < right <= size[0] and 0 <= top < bottom <= size[1] else None


def _premultiplied(plane: np.ndarray, alpha: np.ndarray | None, sixteen: bool) -> np.ndarray:
    """A band's samples as Pillow takes them (contiguous; uint16 for "I;16", else float32),
    multiplied by `alpha` (0-1) when given."""
    if alpha is not None:
        plane = plane.astype(np.float32) * alpha
        if sixteen:
            plane = np.rint(plane).astype(np.uint16)
    return np.ascontiguousarray(plane, dtype=np.uint16 if sixteen else np.float32)


def _copied(held: list[Deep], alpha: np.ndarray | None, sixteen: bool) -> tuple[list[Any] | None, np.ndarray | None]:
    """(every band copied out at once, None) with `held` emptied, so that the picture's memory
    goes before the bands move when nothing else holds it; or, for bands that move as floats
    (copies twice the picture's size), (None, the pixels to copy each band from as it moves)."""
    if not sixteen:
        return None, held[0].pixels
    channels = held[0].channels
    copies: list[Any] = [_premultiplied(held[0].pixels[:, :, index], None if index == channels - 1 else alpha, True)
                         for index in range(channels)]
    held.clear()
    return copies, None


#: Bands of a large picture moved at once, each in a thread of its own: Pillow lets go of the
#: interpreter while it resamples, turns, crops and pads, so the bands share the cores. Each
#: band at work holds its step's working pictures (and, when the picture is shared, its own
#: copy), so two at a time keep a move's memory within about half the deep picture's.
BAND_THREADS = 2
#: Below this many pixels a band moves faster than a thread starts: one after the other.
THREADED_PIXELS = 1 << 20


def idle_cores() -> int:
    """The cores this process may use that other work leaves free now (at least 0): threads on
    cores already busy only share them, and cost more in all than one band after another. Now
    is what the kernel counts as runnable at this moment (Linux); the load average, a minute's
    mean, would still count the work that has just ended (a previous command, this process's
    own reading of its file) and keep a core that is idle by now from being used."""
    import os

    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    try:
        with open("/proc/loadavg", encoding="ascii") as f:
            runnable = int(f.read().split()[3].split("/")[0])
        return max(0, cores - runnable + 1)  # this thread is one of them
    except (OSError, ValueError, IndexError):
        pass
    try:
        busy = os.getloadavg()[0]
    except (AttributeError, OSError):
        return cores
    return max(0, int(cores - busy + 1))  # this process counts in the load once it runs


def _each_band(size: tuple[int, int], channels: int, one: Callable[[int], np.ndarray]) -> list[np.ndarray]:
    """`one(index)` of every band, in order; in threads for a large picture when cores are
    idle, each with the caller's context (its status listener, quiet flag and plan)."""
    if BAND_THREADS < 2 or channels < 2 or size[0] * size[1] < THREADED_PIXELS:
        return [one(index) for index in range(channels)]
    workers = min(BAND_THREADS, channels, idle_cores())
    if workers < 2:
        return [one(index) for index in range(channels)]
    import contextvars
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="framewick-band") as pool:
        futures = [pool.submit(contextvars.copy_context().run, one, index) for index in range(channels)]
        return [future.result() for future in futures]


def _moved_band(obj: Any, step: Any, plane: np.ndarray, sixteen: bool) -> np.ndarray:
    """A band's samples (`plane`, contiguous: uint16 with `sixteen`, else float32) moved by
    `step`: uint16 when moved as "I;16", float32 when moved as "F"."""
    out = None
    if sixteen:
        try:
            out = run_on(obj, step, Image.fromarray(plane))
        except ValueError:  # a Pillow operation without "I;16" (reduce): float from here
            out = None
        if out is not None and not out.mode.startswith("I;16"):
            raise CannotCarry(f"the step gave {out.mode} from an I;16 band")
    if out is None:
        out = run_on(obj, step, Image.fromarray(np.ascontiguousarray(plane, dtype=np.float32)))
        if out.mode != "F":
            raise CannotCarry(f"the step gave {out.mode} from a band")
    del plane
    return _plane_of(out)


def _unpremultiplied(bands: list[np.ndarray], shown: Image.Image | None, scale: float) -> None:
    """The colour bands (moved premultiplied by the last, alpha) brought back to straight colour,
    in place. A pixel the move left transparent has no colour of its own any more: it takes the
    one the step's 8-bit result keeps there, widened (transparent pixels keep their colour as in
    the 8-bit picture; a resampling step gives what Pillow gives, black)."""
    last = len(bands) - 1
    moved_alpha = bands[last].astype(np.float32) * np.float32(1 / scale)
    clear = moved_alpha <= 0
    eight = None
    if clear.any() and shown is not None and shown.size == (clear.shape[1], clear.shape[0]) \
            and len(shown.getbands()) == len(bands):
        eight = np.asarray(shown)
        eight = eight[:, :, np.newaxis] if eight.ndim == 2 else eight
    for index in range(last):
        colour = bands[index].astype(np.float32)
        straight = np.divide(colour, moved_alpha, out=np.zeros_like(colour), where=~clear)
        if eight is not None:
            widened = eight[:, :, index][clear].astype(np.float32) * np.float32(scale / 255.0)
            straight[clear] = widened
        bands[index] = straight
    del moved_alpha


def _stacked(bands: list[np.ndarray], bits: int) -> Deep:
    """One deep picture of uint16 planes, each let go once copied in."""
    height, width = bands[0].shape
    pixels = np.empty((height, width, len(bands)), np.uint16)
    for index in range(len(bands)):
        pixels[:, :, index] = bands[index]
        bands[index] = pixels[:1, :1, index]  # the plane itself is no longer held
    return Deep(pixels, bits)


def _plane_of(band: Image.Image) -> np.ndarray:
    """A moved band's samples: uint16 for "I;16" (any byte order), float32 for "F"."""
    if band.mode == "F":
        return np.frombuffer(band.tobytes(), np.float32).reshape(band.height, band.width)
    big = band.mode == "I;16B"
    plane = np.frombuffer(band.tobytes("raw", band.mode if big else "I;16"), ">u2" if big else "<u2")
    return (plane.astype(np.uint16) if plane.dtype != np.uint16 else plane).reshape(band.height, band.width)


def _fill(obj: Any, step: Any, size: tuple[int, int], has_alpha: bool, bands: list[np.ndarray],
          result8: Image.Image | None, scale: float) -> None:
    """Give the area `step` uncovered, in each (premultiplied) band, the fill colour the 8-bit
    result shows there."""
    height, width = bands[0].shape
    zero = np.asarray(run_on(obj, step, Image.new("F", size, 0.0)), dtype=np.float32)
    one = np.asarray(run_on(obj, step, Image.new("F", size, 1.0)), dtype=np.float32)
    if zero.shape != (height, width) or one.shape != (height, width):
        raise CannotCarry("the step's uncovered area does not match its result")
    uncovered = 1.0 - (one - zero)
    del one
    at = np.unravel_index(int(np.argmax(uncovered)), uncovered.shape)
    share = float(uncovered[at])
    if share < 1e-3:  # nothing uncovered: the bands are right as they are
        return
    if result8 is None or result8.size != (width, height) or len(result8.getbands()) != len(bands):
        raise CannotCarry("no 8-bit result to take the fill colour from")
    shown = result8.getpixel((int(at[1]), int(at[0])))
    unit = [v / 255.0 for v in ((shown,) if not isinstance(shown, tuple) else shown)]
    moved_only = [band - zero for band in bands]
    del zero
    # The fill each band shows, taken back from the pixel's moved share (premultiplied where
    # there is alpha), then as the 8-bit colour it is.
    def taken(index: int, wanted: float) -> float:
        return min(max((wanted * scale - float(moved_only[index][at])) / share / scale, 0.0), 1.0)

    fills = [0.0] * len(bands)
    if has_alpha:
        last = len(bands) - 1
        fill_alpha = round(taken(last, unit[last]) * 255.0) / 255.0
        fills[last] = fill_alpha
        for index in range(last):
            colour = taken(index, unit[index] * unit[last]) / fill_alpha if fill_alpha > 0 else 0.0
            fills[index] = round(min(colour, 1.0) * 255.0) / 255.0 * fill_alpha
    else:
        fills = [round(taken(index, unit[index]) * 255.0) / 255.0 for index in range(len(bands))]
    for index, band in enumerate(bands):
        np.add(moved_only[index], uncovered * np.float32(fills[index] * scale), out=band)


def masked(obj: Any, step: Any, deep: Deep, before: Image.Image, after: Image.Image) -> Deep | None:
    """The deep picture under a step that keeps the colour and combines its own alpha (mask)
    with the picture's: the smaller of the two, at depth. None when the step changed the colour."""
    if after.size != deep.size or after.mode not in ("LA", "RGBA"):
        return None
    colour_after = after.convert("RGB" if after.mode == "RGBA" else "L")
    colour_before = before.convert(colour_after.mode) if before.mode != colour_after.mode else before
    if colour_before.size != colour_after.size or ImageChops.difference(colour_before, colour_after).getbbox():
        return None
    mask = run_on(obj, step, Image.new("L", deep.size, 255))
    if mask.mode not in ("LA", "RGBA") or mask.size != deep.size:
        return None
    alpha = np.asarray(mask.getchannel("A"))[:, :, np.newaxis]
    alpha = alpha.astype(np.float32) / np.float32(255) if deep.floating else alpha.astype(np.uint16) * np.uint16(257)
    colour = deep.pixels[:, :, : 3 if deep.channels >= 3 else 1]
    if deep.has_alpha:
        alpha = np.minimum(alpha, deep.pixels[:, :, -1:])
    return Deep(np.concatenate([colour, alpha.astype(deep.pixels.dtype)], axis=2), deep.bits)


def toned(function: Callable[[np.ndarray, Any], np.ndarray], values: dict[str, Any], deep: Deep,
          after: Image.Image, alpha_rule: str) -> Deep:
    """The step's depth implementation on the deep colour; grey or colour as the 8-bit result
    came out, alpha as the step's rule says (kept, or combined with the result's)."""
    colour = deep.colour()
    grey_out = after.mode in ("L", "LA")
    if colour.shape[2] == 1 and not grey_out:
        colour = np.repeat(colour, 3, axis=2)  # a step that gives colour from grey
    shape = colour.shape
    result = np.asarray(function(colour, values), dtype=np.float32)
    del colour
    if result.ndim == 2:
        result = result[:, :, np.newaxis]
    if result.shape[:2] != shape[:2] or result.shape[2] not in (1, 3):
        raise CannotCarry(f"the depth implementation gave shape {result.shape} for {shape}")
    if grey_out and result.shape[2] == 3:
        result = result[:, :, :1]  # grey again, as the 8-bit result is
    elif not grey_out and result.shape[2] == 1:
        result = np.repeat(result, 3, axis=2)
    alpha = deep.alpha()
    if after.mode in ("LA", "RGBA"):
        shown = np.asarray(after.getchannel("A"))[:, :, np.newaxis]
        shown = shown.astype(np.float32) / np.float32(255) if deep.floating else shown.astype(np.uint16) * np.uint16(257)
        if alpha is None:
            alpha = shown.astype(deep.pixels.dtype)
        elif alpha_rule == ALPHA_COMBINED:
            alpha = np.minimum(alpha, shown.astype(deep.pixels.dtype))
    else:
        alpha = None
    return deep.with_colour(result, alpha)


def blended(plain: Deep, graded: Deep, strength: float) -> Deep | None:
    """(1 - strength) of `plain` and `strength` of `graded`, as Image.blend mixes the 8-bit
    pictures; None when the two do not line up."""
    if plain.pixels.shape != graded.pixels.shape or plain.pixels.dtype != graded.pixels.dtype:
        return None
    mix = plain.pixels.astype(np.float32) * np.float32(1.0 - strength) + \
        graded.pixels.astype(np.float32) * np.float32(strength)
    if plain.floating:
        return Deep(mix, plain.bits)
    return Deep(np.rint(np.clip(mix, 0, 65535)).astype(np.uint16), plain.bits)


__all__ = ["CannotCarry", "blended", "carry", "masked", "moved", "run_on", "toned"]
