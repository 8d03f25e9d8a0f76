"""Planning a chain for one source and one output, and checking it in two phases.

1. `Plan.make`, before any picture is read: every value (the chain was read and checked into
   data already), the chain's last format step against the output's format, and what no picture
   could get through: the pixel limit and the output format's sides, judged on a 1x1 picture.
2. `Plan.open`, once the header is read: the file is opened once, an animation's frames counted
   from its header before it is decoded (each at least FRAME_PIXELS), then every size at every
   step against the limit, a crop box outside the picture, and the result's sides.
`Plan.run` then runs the chain (each step's failure a StepFailed) and `write_photo` writes it.
`edit`, `batch`, `presets`, `demo` and the studio (its export, proxies and previews) run through it.

The API's own ways in run through a lenient plan (`strict=False`): `FrameWick.open(..., steps=)`
opens through it and `FrameWick.run_chain` (what `Chain.apply` hands a chain to) checks and runs
through it. It keeps what the API documents: every frame of an animation counts by its own
pixels, a crop box outside the picture is the crop's own business (Pillow fills the outside),
and a step that fails by its status line alone lets the chain go on.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from framewick._limits import FRAME_PIXELS, LimitError
from framewick.status import Failure
from framewick.steps import sizes


@dataclass(frozen=True)
class Plan:
    """A chain to run for one kind of output, checked before any picture is read (`make`)."""

    chain: Any
    #: Pillow's name of the output's format (None: not known, e.g. the source's own).
    fmt: str | None = None
    #: The output as the caller names it in an error ("output 'out.png'", "--format png", ...).
    what: str = "output"
    max_pixels: int | None = None
    #: The command line's plan (True) or the API's lenient one (see the module's note).
    strict: bool = True
    #: 8: the picture is read at 8 bits alone, as if the file held no more; None: at its depth.
    depth: int | None = None

    @classmethod
    def make(cls, chain: Any, *, fmt: str | None = None, what: str = "output", max_pixels: int | None = None,
             where: str | None = None, strict: bool = True, depth: int | None = None) -> Plan:
        """The plan, once what can be refused before reading is refused: the chain's format step
        against `fmt` (LimitError naming `where`, the output as written there, when given), and
        what no picture could get through (ChainError naming the step)."""
        if where is not None:
            disagreement = format_disagrees(chain, fmt, where)
            if disagreement is not None:
                raise LimitError(f"❌ Error: {disagreement}")
        check_before(chain, max_pixels, fmt, what)
        return cls(chain, fmt, what, max_pixels, strict, depth)

    @property
    def frame_floor(self) -> int:
        """The pixels each frame of an animation counts as at least, against the limit."""
        return FRAME_PIXELS if self.strict else 0

    def open(self, source: Any, name: str | None, echo: Callable[[str], None] | None, **kwargs: Any) -> Any:
        """The picture of `source`, opened once within the limits and checked at every step
        (`open_checked`); `kwargs` are open_photo's (cls, orient, exact, raw, depth). With `name`
        None, an error is raised as the opening raised it."""
        if self.depth is not None:
            kwargs.setdefault("depth", self.depth)
        return open_checked(source, name, self.chain, echo, max_pixels=self.max_pixels, fmt=self.fmt,
                            what=self.what, frame_floor=self.frame_floor, boxes=self.strict, **kwargs)

    def check(self, obj: Any) -> Any:
        """The second phase for a picture already in memory (`obj`, e.g. a preview's proxy):
        every size at every step against the limit, and the result's sides; returns `obj`."""
        check_opened(self.chain, obj, self.max_pixels, self.fmt, self.what, frame_floor=self.frame_floor,
                     boxes=self.strict)
        return obj

    def run(self, obj: Any, echo: Callable[[str], None] | None, *, owned: bool = False) -> Any:
        """Run the chain on the opened `obj`: in a strict plan, a step that fails by its status
        line alone raises StepFailed. The sizes were checked when the picture was opened (or by
        `check`), and the values of a chain that was read from text or JSON as it was read: its
        steps do not check them again. A chain built from Step objects directly keeps the
        methods' own checks. `owned`: the caller drops `obj` if a step fails (run_steps)."""
        from contextlib import nullcontext

        from framewick.photo import run_steps
        from framewick.steps.tables import planned

        with planned() if getattr(self.chain, "checked", False) else nullcontext():
            return run_steps(obj, self.chain, echo, strict=self.strict, owned=owned)


class Unreadable(Failure, ValueError):
    """A picture that could not be opened, by an error that did not say which picture."""


def open_checked(source: Any, name: str | None, chain: Any, echo: Any, *, max_pixels: int | None = None,
                 fmt: str | None = None, what: str = "output", frame_floor: int = FRAME_PIXELS, boxes: bool = True,
                 **kwargs: Any) -> Any:
    """Open a picture for `chain` as framewick.photo.open_photo does (its keywords in `kwargs`),
    once, within the limits: an animation's frames are counted from its header before it is
    decoded (each at least `frame_floor`), and the chain's sizes are checked once it is open
    (`check_opened`). An error that does not name the picture is given its name (`name`; None
    leaves every error as it is)."""
    from framewick._output import call_captured
    from framewick.photo import open_photo

    try:
        obj = call_captured(echo, open_photo, source, steps=chain, max_pixels=max_pixels, frame_floor=frame_floor,
                            written_as=fmt, **kwargs)
    except Exception as error:
        text = str(error).strip()
        if name is None or name in text:
            raise
        line = text.splitlines()[0] if text else ""
        raise Unreadable(f"❌ Error: {name}: {type(error).__name__}" + (f": {line}" if line else "")) from error
    check_opened(chain, obj, max_pixels, fmt, what, frame_floor=frame_floor, boxes=boxes)
    return obj


def output_format_of(name: str | None, path: str | None) -> str | None:
    """Pillow's name of the format an output is written in: `name` (as --format takes it), else
    the path's extension; None when neither says."""
    from framewick.photo.formats import format_of_path, output_format

    if name:
        return output_format(name)[0]
    return format_of_path(path) if path else None


def format_step(chain: Any) -> tuple[int, str, str | None] | None:
    """The chain's last `convert` step: (its number, the format as written, Pillow's name of it)."""
    from framewick.photo.formats import output_format

    found = None
    for index, step in enumerate(chain, 1):
        if step.method == "convert":
            value = (list(step.args) + list(step.kwargs.values()))[0]
            try:
                fmt: str | None = output_format(str(value).strip().replace(".", ""))[0]
            except ValueError:
                fmt = None
            found = (index, str(value), fmt)
    return found


def format_disagrees(chain: Any, written: str | None, where: str) -> str | None:
    """Why the chain's last `convert` step and the output, written as Pillow's format `written`
    (None: not known yet), disagree: "step N format:X prepares F, but WHERE writes G"; None when
    they agree. `where` names the output as the caller knows it."""
    step = format_step(chain)
    if step is None or step[2] is None or written is None or step[2] == written:
        return None
    return f"step {step[0]} format:{step[1]} prepares {step[2]}, but {where} writes {written}"


def check_before(chain: Any, max_pixels: int | None, fmt: str | None, what: str) -> None:
    """Refuse what no picture could get through the chain (the pixel limit, the format's sides),
    judged on the smallest picture there is; before any picture is read."""
    final = sizes.check(chain, (1, 1), 1, max_pixels, exact=False)
    if final is not None and fmt is not None:
        sizes.check_side(final, fmt, what)


def check_opened(chain: Any, obj: Any, max_pixels: int | None, fmt: str | None, what: str, *,
                 frame_floor: int = FRAME_PIXELS, boxes: bool = True) -> None:
    """Refuse, once the picture is open and before any step runs, a chain whose picture would
    pass the pixel limit at some step (each frame of an animation at least `frame_floor`
    pixels), a crop box outside the picture (with `boxes`), or a result the output format
    cannot store. ChainError names the step. An object holding no picture has nothing to check."""
    size = getattr(getattr(obj, "image", None), "size", None)
    if not isinstance(size, tuple):
        return
    photo = getattr(obj, "photo", None)
    frames = len(photo.frames) if photo is not None and getattr(photo, "frames", None) else 1
    final = sizes.check(chain, size, frames, max_pixels, frame_floor=frame_floor, boxes=boxes)
    if final is not None and fmt is not None:
        sizes.check_side(final, fmt, what)


__all__ = ["Plan", "Unreadable", "check_before", "check_opened", "format_disagrees", "format_step", "open_checked",
           "output_format_of"]
