"""framewick's status sink: where the status lines go, and how every method call ended.

The native modules print their status lines with the builtin `print` they cached, and the frame
reports the outcome of each method call here: done, or failed with the line that says so. The
method's own body decides a failure where it happens (convert_mode's and convert's "❌ Error"
lines, apply_preset's "⚠️ Warning: Preset" line, a value it refuses with its own error), so no
reader ever learns an outcome from printed text.

Every native module takes two context variables from this module when it initialises:

* `quiet_flag`: while true in the caller's context, the status printers print nothing
  (`quiet` below switches it);
* `listener`: the innermost `Listener` of the caller's context, or None. While there is one, each
  status line is handed to it instead of being printed (`Listener.line`, which answers whether a
  listener took it), and each call's outcome is reported to it (`Listener.outcome`).

Both are context-local, so each thread and each asyncio task is silenced and heard on its own;
nothing here touches `sys.stdout` or `builtins.print`. A real module rather than an entry made up
in `sys.modules`: the frame imports it like any module, so each interpreter that claims the
native modules has its own copy and its own variables.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar

__all__ = ["BadValue", "Failure", "MissingFile", "Listener", "Outcome", "emit", "error_line", "failure_line", "is_quiet", "listening", "note", "quiet", "refused"]

#: True while framewick's status lines are silenced in the caller's context.
quiet_flag: ContextVar[bool] = ContextVar("framewick_quiet", default=False)
#: The innermost listener of the caller's context, or None.
listener: ContextVar[Listener | None] = ContextVar("framewick_listener", default=None)
#: The attribute a native refusal is marked with: its line. The mark travels with the error
#: itself (to another thread, or pickled back from a batch worker), and an equal error made
#: elsewhere never carries it.
_REFUSAL_MARK = "_framewick_refusal"


class Failure(Exception):
    """An error that framewick's Python layer raises with its own report: ``str(error)`` is the
    line to show ("❌ Error: ..."). The classes that use it keep their standard base as well
    (ValueError, FileNotFoundError, ...), so callers catch them as before."""


class BadValue(Failure, ValueError):
    """A value framewick's Python layer refuses, with its line."""


class MissingFile(Failure, FileNotFoundError):
    """A file framewick's Python layer cannot find, with its line."""


class Outcome:
    """How one method call ended: done, or failed with the line that reports it.

    `method` is the method's name ("convert_mode"); `line` the status line or error text of a
    failure the method decided itself (None otherwise); `error` the exception the call ended with,
    if it raised. A call failed when either is set.
    """

    __slots__ = ("method", "line", "error")

    def __init__(self, method: str, line: str | None = None, error: BaseException | None = None) -> None:
        self.method, self.line, self.error = method, line, error

    @property
    def failed(self) -> bool:
        return self.line is not None or self.error is not None

    def __repr__(self) -> str:
        state = "done" if not self.failed else f"failed {self.line!r}" if self.line is not None else f"raised {self.error!r}"
        return f"<Outcome {self.method}: {state}>"


class Listener:
    """What one reader hears while it listens (see `listening`).

    `text` is every status line it took, as `print` would have written them; `outcomes` the
    outcome of every call made while it listened (calls nested in another call come first), or
    only the failures when it keeps no `done`. Outcomes reach every listener of the context, the
    innermost first; a line is taken by the innermost listener that takes lines.
    """

    __slots__ = ("parent", "takes_lines", "keeps_done", "_parts", "outcomes")

    def __init__(self, parent: Listener | None = None, take_lines: bool = True, keep_done: bool = True) -> None:
        self.parent = parent
        self.takes_lines, self.keeps_done = take_lines, keep_done
        self._parts: list[str] = []
        self.outcomes: list[Outcome] = []

    @property
    def text(self) -> str:
        return "".join(self._parts)

    @property
    def failures(self) -> list[Outcome]:
        return [o for o in self.outcomes if o.failed]

    def failure(self, method: str | None = None) -> Outcome | None:
        """The first failure (of `method`, when given) this listener heard, or None."""
        for outcome in self.outcomes:
            if outcome.failed and (method is None or outcome.method == method):
                return outcome
        return None

    def take(self, text: str) -> bool:
        """Keep `text` (written as is) with the innermost listener that takes lines; whether one did."""
        here: Listener | None = self
        while here is not None:
            if here.takes_lines:
                here._parts.append(text)
                return True
            here = here.parent
        return False

    # Called by the native modules' status printers and by the frame, once per call.

    def line(self, text: str) -> bool:
        return self.take(text + "\n")

    def outcome(self, method: str, line: str | None, error: BaseException | None) -> None:
        heard = Outcome(method, line, error)
        here: Listener | None = self
        while here is not None:
            if here.keeps_done or heard.failed:
                here.outcomes.append(heard)
            here = here.parent


@contextmanager
def listening(take_lines: bool = True, keep_done: bool = True) -> Iterator[Listener]:
    """Listen in the caller's context for the block: the Listener it yields takes framewick's
    status lines (unless `take_lines` is false: they then go where they went before) and hears
    the outcome of every call (only the failures without `keep_done`). A quiet context hands no
    lines to it; outcomes are heard all the same."""
    heard = Listener(listener.get(), take_lines, keep_done)
    token = listener.set(heard)
    try:
        yield heard
    finally:
        listener.reset(token)


def refused(method: str, line: str, error: BaseException) -> None:
    """Called by the frame whenever a native method refuses a value with its own error."""
    try:
        setattr(error, _REFUSAL_MARK, line)
    except AttributeError:  # an error type without an instance dict: it stays unmarked
        pass


def failure_line(error: BaseException) -> str | None:
    """The line that reports `error` when framewick raised it as its own failure: a `Failure` of
    the Python layer, or an error a native method refused a value with in the caller's context
    (marked when the frame reported it). None for any other error."""
    if isinstance(error, Failure):
        text = str(error).strip()
        return text.splitlines()[0] if text else None
    line = getattr(error, _REFUSAL_MARK, None)
    # The refusal's own message is its first argument; a changed message is no longer ours.
    return line if isinstance(line, str) and error.args[:1] == (line,) else None


def error_line(error: BaseException) -> str:
    """The one line that reports `error`: framewick's own line for a failure it raised itself
    (as the sink knows it), or one in its style."""
    own = failure_line(error)
    if own is not None:
        return own
    text = str(error).strip().splitlines()[0] if str(error).strip() else ""
    if isinstance(error, FileNotFoundError) and error.filename:
        return f"❌ Error: File {error.filename} not found!"  # as the library's load says it
    return f"❌ Error: {type(error).__name__}: {text}" if text else f"❌ Error: {type(error).__name__}"


def is_quiet() -> bool:
    """Whether framewick's status lines are silenced in the caller's context."""
    return bool(quiet_flag.get())


def emit(text: str, end: str = "\n") -> None:
    """Report one status line of the Python layer as the native modules report theirs: nothing
    while quiet, to the listener that takes lines, else printed."""
    if quiet_flag.get():
        return
    heard = listener.get()
    if heard is not None and heard.take(text + end):
        return
    print(text, end=end)


def note(text: str) -> None:
    """One note for people on standard error (what happened to the picture on the way, not a
    step's status line): nothing while quiet."""
    if quiet_flag.get():
        return
    import sys

    print(text, file=sys.stderr, flush=True)


class quiet:
    """Silence framewick's status lines in the calling thread (its context); nothing else.

    ``with framewick.quiet(): ...`` silences them for the block. ``framewick.quiet(True)`` turns
    them off for the calling thread (or asyncio task: each has a context of its own) until
    ``framewick.quiet(False)``. Neither `builtins.print` nor `sys.stdout` is touched: the status
    printers read the switch before they print, so the caller's own output, other libraries' and
    every other thread's print as before.
    """

    def __init__(self, on: bool | None = None) -> None:
        self._token: object = None
        if on is not None:
            quiet_flag.set(bool(on))

    def __enter__(self) -> quiet:
        self._token = quiet_flag.set(True)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._token is not None:
            quiet_flag.reset(self._token)  # type: ignore[arg-type]
            self._token = None
