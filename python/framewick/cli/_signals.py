"""A terminate signal handled like an interrupt, so that a write in progress is undone."""

from __future__ import annotations

import signal
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType


class Terminated(KeyboardInterrupt):
    """SIGTERM arrived: unwinds like Ctrl-C (temporary files are removed), exit status 143."""


def _raise(signum: int, frame: FrameType | None) -> None:
    raise Terminated


@contextmanager
def terminate_as_interrupt() -> Iterator[None]:
    """While the block runs, SIGTERM raises Terminated in the main thread.

    `timeout`, systemd and `docker stop` send SIGTERM; with the default action the process would
    die at once, leaving a half-written temporary file beside the output. Raised as an
    exception, it unwinds through the atomic write, which removes its temporary file.
    """
    import threading

    if threading.current_thread() is not threading.main_thread():
        yield  # handlers can only be set on the main thread
        return
    previous = signal.signal(signal.SIGTERM, _raise)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)
