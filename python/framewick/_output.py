"""Status lines for the Python layer's callers: collected per context, or silenced.

Both sit on the status sink (`framewick.status`): `captured` listens in the caller's context and
takes framewick's status lines (each native module's and the Python layer's), and `quiet` is the
sink's switch. Neither touches `sys.stdout` or `builtins.print`, so the caller's own output,
other libraries' and every other thread's or task's print as before.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, TypeVar

from framewick.status import Listener, emit as status, is_quiet, listening, quiet

__all__ = ["call_captured", "captured", "is_quiet", "quiet", "status"]

T = TypeVar("T")


@contextmanager
def captured() -> Iterator[Listener]:
    """Collect framewick's status lines of the caller's context inside the block; the Listener
    it yields has them as `text`, and the outcome of every call."""
    with listening() as heard:
        yield heard


def call_captured(echo: Callable[[str], None] | None, fn: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """Call `fn`; with `echo`, hand it what the call printed (also when the call raises)."""
    if echo is None:
        return fn(*args, **kwargs)
    heard: Listener | None = None
    try:
        with captured() as heard:
            return fn(*args, **kwargs)
    finally:
        # Outside the capture, so that an echo which reports a line reaches the real stream.
        text = heard.text if heard is not None else ""
        if text:
            echo(text)
