"""Standard streams that a closed or broken reader cannot turn into a failure.

`framewick edit … >&-` starts with standard output closed: the interpreter then has no
`sys.stdout`, and the first file the command opens would take descriptor 1, so that anything
written "to standard output" would land in the picture. `… | head -1` breaks the pipe after
one line. Neither may turn a job that was done into a failure or a traceback: a closed
descriptor is opened on the null device, and text written to a broken standard output is
dropped (the descriptor is pointed at the null device, so that the interpreter's own flush at
exit cannot fail either). Pictures written to standard output are not text: a broken pipe
there still fails the command, as the picture did not arrive.
"""

from __future__ import annotations

import errno
import io
import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

_GONE = (errno.EPIPE, errno.EBADF, errno.ECONNRESET)

#: The standard descriptors that were closed when the command started (now on the null device).
closed: set[int] = set()


def _null_onto(fd: int) -> None:
    null = os.open(os.devnull, os.O_RDWR)
    if null != fd:
        os.dup2(null, fd)
        os.close(null)


def _reopen(fd: int, mode: str) -> Any:
    stream = open(fd, mode + "b", closefd=False)
    return io.TextIOWrapper(stream, encoding="utf-8", errors="backslashreplace", line_buffering=True)


class _Guarded:
    """A text stream that drops what it cannot write because its reader went away."""

    def __init__(self, stream: Any, fd: int) -> None:
        self._stream = stream
        self._fd = fd
        self._gone = False

    def _lost(self, error: OSError) -> None:
        if error.errno not in _GONE:
            raise error
        self._gone = True
        try:
            _null_onto(self._fd)
        except OSError:
            pass

    def write(self, text: str) -> int:
        if not self._gone:
            try:
                self._stream.write(text)
                if "\n" in text:
                    self._stream.flush()
            except OSError as error:
                self._lost(error)
        return len(text)

    def flush(self) -> None:
        if not self._gone:
            try:
                self._stream.flush()
            except OSError as error:
                self._lost(error)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


@contextmanager
def guarded() -> Iterator[None]:
    """While the command runs: closed standard descriptors opened on the null device, and text
    on standard output and error written only while someone reads it."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            _null_onto(fd)
            closed.add(fd)
    saved = sys.stdin, sys.stdout, sys.stderr
    if sys.stdin is None:
        sys.stdin = _reopen(0, "r")
    out = sys.stdout if sys.stdout is not None else _reopen(1, "w")
    err = sys.stderr if sys.stderr is not None else _reopen(2, "w")
    sys.stdout, sys.stderr = _Guarded(out, 1), _Guarded(err, 2)
    try:
        yield
    finally:
        for stream in (sys.stdout, sys.stderr):
            if isinstance(stream, _Guarded):
                stream.flush()
        if isinstance(sys.stdout, _Guarded):
            sys.stdout = out if saved[1] is None else saved[1]
        if isinstance(sys.stderr, _Guarded):
            sys.stderr = err if saved[2] is None else saved[2]
        if saved[0] is not None:
            sys.stdin = saved[0]
