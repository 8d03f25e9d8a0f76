"""Capturing what the library prints, per thread, and silencing its status lines.

The native modules print their status lines with the builtin `print`, which writes to whatever
`sys.stdout` is at call time. Redirecting `sys.stdout` is process-wide, so two threads capturing
at once (a dask worker runs several tasks on threads of one process) would steal each other's
lines. While any capture is active, `sys.stdout` is replaced by a router that sends each write to
the capturing thread's own buffer and every other thread's writes to the stream it replaced.

`quiet` does not touch the stream: it sets a flag, a context variable that every native module's
status printer reads before it calls `print` (and `status` here, for the lines the Python layer
prints), so only framewick's status lines are dropped, and only in the caller's context.
"""

from __future__ import annotations

import io
import sys
import threading
import types
from contextvars import ContextVar
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
        return stack[-1] if stack else self.fallback

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


# The flag the native modules' status printers read: shared through sys.modules, where the
# first of them (or this module, whichever comes first) puts it.
_STATUS_REGISTRY = "_framewick_status"


def _quiet_flag() -> ContextVar[bool]:
    registry = sys.modules.get(_STATUS_REGISTRY)
    if registry is None:
        registry = sys.modules.setdefault(_STATUS_REGISTRY, types.ModuleType(_STATUS_REGISTRY))
    flag = getattr(registry, "quiet", None)
    if flag is None:
        flag = ContextVar("framewick_quiet", default=False)
        registry.quiet = flag
    if type(flag) is not ContextVar:
        raise TypeError(f"Shared registry entry {_STATUS_REGISTRY}.quiet is not a context variable "
                        f"(found {type(flag).__name__})")
    return flag


_QUIET = _quiet_flag()


def is_quiet() -> bool:
    """Whether framewick's status lines are silenced in the caller's context."""
    return bool(_QUIET.get())


def status(text: str) -> None:
    """Print one status line of the Python layer, unless the caller's context is quiet."""
    if not _QUIET.get():
        print(text)


class quiet:
    """Silence framewick's status lines in the calling thread (its context); nothing else.

    ``with framewick.quiet(): ...`` silences them for the block. ``framewick.quiet(True)`` turns
    them off for the calling thread (or asyncio task: each has a context of its own) until
    ``framewick.quiet(False)``. Neither `builtins.print` nor `sys.stdout` is touched: the status
    printers read the flag before they print, so the caller's own output, other libraries' and
    every other thread's print as before.
    """

    def __init__(self, on: bool | None = None) -> None:
        self._token: Any = None
        if on is not None:
            _QUIET.set(bool(on))

    def __enter__(self) -> quiet:
        self._token = _QUIET.set(True)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._token is not None:
            _QUIET.reset(self._token)
            self._token = None


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
