"""Capturing what the library prints, per thread.

The native modules print their status lines with the builtin `print`, which writes to whatever
`sys.stdout` is at call time. Redirecting `sys.stdout` is process-wide, so two threads capturing
at once (a dask worker runs several tasks on threads of one process) would steal each other's
lines. While any capture is active, `sys.stdout` is replaced by a router that sends each write to
the capturing thread's own buffer and every other thread's writes to the stream it replaced.
`quiet` uses the same routing to drop one thread's lines instead of collecting them.
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
_active = 0  # captures and quiet threads that need the router
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
        if stack:
            return stack[-1]
        return _NULL if getattr(_switched, "router", None) is not None else self.fallback

    def write(self, text: str) -> int:
        self._target().write(text)
        return len(text)

    def flush(self) -> None:
        self._target().flush()

    def isatty(self) -> bool:
        return self._target() is self.fallback and bool(self.fallback.isatty())

    def __getattr__(self, name: str) -> Any:
        if name in ("fallback", "local"):
            raise AttributeError(name)
        return getattr(self.fallback, name)


class _Null:
    """Where a quiet thread's lines go."""

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass


_NULL = _Null()


def _acquire() -> _Router:
    """Count one more user of the router, putting it in place if needed (lock held)."""
    global _active, _router
    router = _router
    if _active == 0 or router is None or sys.stdout is not router:
        router = _router = _Router(sys.stdout)
        sys.stdout = router
    _active += 1
    return router


def _release(router: _Router) -> None:
    """One user fewer; the last one puts the original stream back, unless it was replaced (lock held)."""
    global _active
    _active -= 1
    if _active == 0 and sys.stdout is router:
        sys.stdout = router.fallback


def _push(target: Any) -> tuple[_Router, list[Any]]:
    with _lock:
        router = _acquire()
    stack = getattr(router.local, "stack", None)
    if stack is None:
        stack = router.local.stack = []
    stack.append(target)
    return router, stack


def _pop(router: _Router, stack: list[Any]) -> None:
    stack.pop()
    with _lock:
        _release(router)


@contextmanager
def captured() -> Iterator[io.StringIO]:
    """Collect everything this thread prints inside the block into the StringIO it yields."""
    buffer = io.StringIO()
    router, stack = _push(buffer)
    try:
        yield buffer
    finally:
        _pop(router, stack)


# Whether each thread has quiet switched on, and the router it was switched on with.
_switched = threading.local()


class quiet:
    """Silence the library's status lines printed by this thread; other threads print as before.

    ``with framewick.quiet(): ...`` silences them for the block. ``framewick.quiet(True)`` turns
    them off for the calling thread until ``framewick.quiet(False)``. `builtins.print` is not
    touched: the native modules print through it to `sys.stdout`, which is routed per thread
    while any thread is quiet or capturing, so anything this thread writes to standard output
    while quiet is dropped, and every other thread writes to the real stream.
    """

    def __init__(self, on: bool | None = None) -> None:
        self._entered: tuple[_Router, list[Any]] | None = None
        if on is None:
            return
        router = getattr(_switched, "router", None)
        if on and router is None:
            with _lock:
                router = _acquire()
            _switched.router = router
        elif not on and router is not None:
            _switched.router = None
            with _lock:
                _release(router)

    def __enter__(self) -> quiet:
        self._entered = _push(_NULL)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._entered is not None:
            _pop(*self._entered)
            self._entered = None


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
