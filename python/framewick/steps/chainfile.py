"""Chain files and the bounds on a chain: a ``--steps @FILE`` value is read with bounds on its
size, so that no file (a binary one, a device, a FIFO, a huge or deeply nested one)
gets further than a `ChainError`.
"""

from __future__ import annotations

import os
import stat
from typing import Final

from framewick.steps.rules import ChainError, unusable_path

__all__ = ["MAX_CHAIN_BYTES", "MAX_STEPS", "read_chain_file", "too_long"]

#: The most a chain file may hold: far more than any chain needs.
MAX_CHAIN_BYTES: Final = 1 << 20
#: The most steps a chain may have once its looks are expanded, however it was written.
MAX_STEPS: Final = 10_000


def read_chain_file(path: str) -> str:
    """The text of a chain file, refused with a ChainError if it is not one.

    The file must be a regular file (a device or a FIFO is refused before anything is read, so
    nothing blocks), at most MAX_CHAIN_BYTES long, and UTF-8 text (a byte-order mark is allowed).
    """
    where = f"--steps @{path}"
    reason = unusable_path(path)
    if reason:
        raise ChainError(f"{where!r}: {reason}")
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except OSError as e:
        raise ChainError(f"{where}: {e.strerror or e}") from None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ChainError(f"{where}: not a regular file; a chain file holds the text or JSON form of a chain")
        data = bytearray()
        while len(data) <= MAX_CHAIN_BYTES:
            piece = os.read(fd, MAX_CHAIN_BYTES + 1 - len(data))
            if not piece:
                break
            data += piece
    except OSError as e:
        raise ChainError(f"{where}: {e.strerror or e}") from None
    finally:
        os.close(fd)
    if len(data) > MAX_CHAIN_BYTES:
        raise ChainError(f"{where}: larger than {MAX_CHAIN_BYTES // 1024} KiB; a chain file is far smaller")
    try:
        text = bytes(data).decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise ChainError(f"{where}: not UTF-8 text (byte {data[e.start]:#04x} at offset {e.start})") from None
    if "\x00" in text:
        raise ChainError(f"{where}: not text (it holds a NUL byte at offset {text.index(chr(0))})")
    return text


def too_long(count: int) -> ChainError | None:
    """The error for a chain of `count` steps when that is more than MAX_STEPS, else None."""
    if count <= MAX_STEPS:
        return None
    return ChainError(f"chain: more than {MAX_STEPS:,} steps once its looks are expanded (at most {MAX_STEPS:,})")
