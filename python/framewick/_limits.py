"""What a picture may cost before any work is done on it: the bytes read from a pipe, the frames of
an animation, the pixels at every step of the chain, the sides the output format can store.

Pictures are read from regular files only (a FIFO, a socket or a device could block a reader
forever or never end), or from standard input within a byte bound.
"""

from __future__ import annotations

import io
import os
import stat
from typing import IO, Any, Final

from framewick.steps import ChainError, sizes
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


class Unreadable(Failure, ValueError):
    """A picture that could not be opened, by an error that did not say which picture."""


def open_checked(source: Any, name: str, chain: Any, echo: Any, *, max_pixels: int | None = None,
                 fmt: str | None = None, what: str = "output", **kwargs: Any) -> Any:
    """Open a picture for `chain` as framewick.photo.open_photo does (its keywords in `kwargs`),
    once, within the limits: an animation's frames are counted from its header before it is
    decoded (each at least FRAME_PIXELS), and the chain's sizes are checked once it is open
    (`check_opened`). An error that does not name the picture is given its name."""
    from framewick._output import call_captured
    from framewick.photo import open_photo

    try:
        obj = call_captured(echo, open_photo, source, steps=chain, max_pixels=max_pixels, frame_floor=FRAME_PIXELS,
                            **kwargs)
    except Exception as error:
        text = str(error).strip()
        if name in text:
            raise
        line = text.splitlines()[0] if text else ""
        raise Unreadable(f"❌ Error: {name}: {type(error).__name__}" + (f": {line}" if line else "")) from error
    check_opened(chain, obj, max_pixels, fmt, what)
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


def check_opened(chain: Any, obj: Any, max_pixels: int | None, fmt: str | None, what: str) -> None:
    """Refuse, once the picture is open and before any step runs, a chain whose picture would
    pass the pixel limit at some step, a crop box outside the picture, or a result the output
    format cannot store. ChainError names the step."""
    photo = getattr(obj, "photo", None)
    frames = len(photo.frames) if photo is not None and getattr(photo, "frames", None) else 1
    final = sizes.check(chain, obj.image.size, frames, max_pixels, frame_floor=FRAME_PIXELS)
    if final is not None and fmt is not None:
        sizes.check_side(final, fmt, what)


__all__ = ["ChainError", "FRAME_PIXELS", "LIMITS_HELP", "LimitError", "MAX_STREAM_BYTES", "check_before",
           "check_opened", "open_checked", "Unreadable", "counted_pixels", "format_disagrees", "format_step", "not_regular", "open_regular",
           "output_format_of", "read_bounded", "stream_cap"]
