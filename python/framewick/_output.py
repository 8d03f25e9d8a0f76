"""Capturing what the library prints, per thread.

The native modules print their status lines with the builtin `print`, which writes to whatever
`sys.stdout` is at call time. Redirecting `sys.stdout` is process-wide, so two threads capturing
at once (a dask worker runs several tasks on threads of one process) would steal each other's
lines. While any capture is active, `sys.stdout` is replaced by a router that sends each write to
the capturing thread's own buffer and every other thread's writes to the stream it replaced.
"""

from __future__ import annotations

import io
import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, TypeVar

T = TypeVar("T")

_lock = threading.Lock()
_active = 0
_router: _Router | None = None


class _Router:
    """A text stream that writes to the current thread's capture buffer, else to `fallback`.

    A plain object rather than an io class, so that dropping it never flushes or closes the
    stream it stood in for; anything else is the fallback's.
    """

    def __init__(self, fallback: Any) -> None:
        self.fallback = fallback
        self.local = threading.local()

    def _target(self) -> Any:
        stack = getattr(self.local, "stack", None)
        return stack[-1] if stack else self.fallback

    def write(self, text: str) -> int:
        self._target().write(text)
        return len(text)

    def flush(self) -> None:
        self._target().flush()

    def isatty(self) -> bool:
        return False if getattr(self.local, "stack", None) else bool(self.fallback.isatty())

    def __getattr__(self, name: str) -> Any:
        if name in ("fallback", "local"):
            raise AttributeError(name)
        return getattr(self.fallback, name)


@contextmanager
def captured() -> Iterator[io.StringIO]:
    """Collect everything this thread prints inside the block into the StringIO it yields."""
    global _active, _router
    buffer = io.StringIO()
    with _lock:
        router = _router
        if _active == 0 or router is None or sys.stdout is not router:
            router = _router = _Router(sys.stdout)
            sys.stdout = router
        _active += 1
    stack = getattr(router.local, "stack", None)
    if stack is None:
        stack = router.local.stack = []
    stack.append(buffer)
    try:
        yield buffer
    finally:
        stack.pop()
        with _lock:
            _active -= 1
            # Only the last capture puts the original stream back, and only if nobody replaced
            # the router in the meantime.
            if _active == 0 and sys.stdout is router:
                sys.stdout = router.fallback


def call_captured(echo: Callable[[str], None] | None, fn: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """Call `fn`; with `echo`, hand it what the call printed (also when the call raises)."""
    if echo is None:
        return fn(*args, **kwargs)
    buffer = io.StringIO()
    try:
        with captured() as buffer:
            return fn(*args, **kwargs)
    finally:
        # Outside the capture, so that an echo which prints reaches the real stream.
        text = buffer.getvalue()
        if text:
            echo(text)
