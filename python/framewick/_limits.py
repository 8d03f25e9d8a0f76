"""What a picture may cost before any work is done on it: the bytes read from a pipe, the frames of
an animation counted against the pixel limit. (The pixels at every step of a chain and the sides
the output format can store are checked by the plan, framewick.photo.planning.)

Pictures are read from regular files only (a FIFO, a socket or a device could block a reader
forever or never end), or from standard input within a byte bound.
"""

from __future__ import annotations

import io
import os
import stat
from typing import IO, Any, Final

from framewick.status import Failure, MissingFile

#: The most bytes read from standard input: 1 GiB, or less with a pixel limit.
MAX_STREAM_BYTES: Final = 1 << 30
#: Bytes a pixel may take in a file (four channels of 32-bit floats), and room for metadata.
STREAM_BYTES_PER_PIXEL: Final = 16
STREAM_SLACK: Final = 16 << 20
#: Each frame of an animation counts as at least this many pixels against the limit, so that a
#: great many tiny frames (each costing far more than its pixels) cannot pass it.
FRAME_PIXELS: Final = 16_384

LIMITS_HELP = (f"Standard input is read up to {MAX_STREAM_BYTES >> 30} GiB, or with --max-pixels N up to "
               f"{STREAM_BYTES_PER_PIXEL}*N bytes plus {STREAM_SLACK >> 20} MiB.\n--max-pixels counts all frames of "
               f"an animation together, each frame as at least {FRAME_PIXELS:,} pixels; a chain\nwhose picture "
               "would pass the limit at any step is refused before that step runs.")


class LimitError(Failure, ValueError):
    """A picture refused for what it would cost; the text is one line naming it."""


def stream_cap(max_pixels: int | None) -> int:
    """The most bytes a picture of at most `max_pixels` pixels is read from a stream."""
    if max_pixels is None:
        return MAX_STREAM_BYTES
    return min(MAX_STREAM_BYTES, max_pixels * STREAM_BYTES_PER_PIXEL + STREAM_SLACK)


def read_bounded(stream: IO[bytes], max_pixels: int | None, name: str = "standard input") -> io.BytesIO:
    """The whole of `stream`, refused (LimitError) once it holds more than `stream_cap` bytes."""
    cap = stream_cap(max_pixels)
    data = bytearray()
    while True:
        piece = stream.read(min(1 << 20, cap + 1 - len(data)))
        if not piece:
            return io.BytesIO(bytes(data))
        data += piece
        if len(data) > cap:
            raise LimitError(f"❌ Error: {name} holds more than {cap:,} bytes, more than a picture "
                             f"{'within --max-pixels ' if max_pixels is not None else ''}is read from a stream")


def not_regular(path: str) -> str:
    """What `path` is when it is there but not a regular file ("a FIFO", ...), else ""."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return ""
    if stat.S_ISREG(mode):
        return ""
    for test, what in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")):
        if test(mode):
            return what
    return "not a regular file"


def open_regular(path: str) -> IO[bytes]:
    """`path` opened for reading, refused (LimitError) unless it is a regular file: opened
    without blocking and checked on the open file, so a FIFO put in its place cannot stall."""

    def opener(name: str, flags: int) -> int:
        fd = os.open(name, flags | getattr(os, "O_NONBLOCK", 0))
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise LimitError(f"❌ Error: {path} is not a regular file, so not a picture")
            if hasattr(os, "set_blocking"):
                os.set_blocking(fd, True)
        except BaseException:
            os.close(fd)
            raise
        return fd

    try:
        return open(path, "rb", opener=opener)
    except FileNotFoundError:
        raise MissingFile(f"❌ Error: File {path} not found!") from None  # as the library's load says it


def counted_pixels(size: tuple[int, int], frames: int) -> int:
    """The pixels a picture counts against the limit: every frame, each at least FRAME_PIXELS
    for an animation."""
    pixels = size[0] * size[1]
    return pixels if frames <= 1 else frames * max(pixels, FRAME_PIXELS)


__all__ = ["FRAME_PIXELS", "LIMITS_HELP", "LimitError", "MAX_STREAM_BYTES", "counted_pixels", "not_regular",
           "open_regular", "read_bounded", "stream_cap"]
