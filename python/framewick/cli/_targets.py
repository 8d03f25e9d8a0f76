"""Where pictures come from and go to: standard input and output, and never losing the input.

Every check here runs before any picture is read, so a refused command line touches nothing.
"""

from __future__ import annotations

import contextlib
import io
import os
import sys
from collections.abc import Iterator, Sequence
TYPE_CHECKING = False  # typing is not imported at start-up; checkers read the block
if TYPE_CHECKING:
    from typing import IO, Any

from framewick.cli._common import UsageError, output_format

#: The name for standard input (as IN) and standard output (as -o).
STDIO = "-"


def same_file(a: str, b: str) -> bool:
    """Whether two paths name one file: another spelling, a symlink or a hard link of it."""
    try:
        sa, sb = os.stat(a), os.stat(b)
    except OSError:
        return False
    return (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)


def check_output(output: str, inputs: Sequence[str], *, overwrite: bool, fmt: str | None,
                 what: str = "output") -> None:
    """Refuse an output that cannot be written as asked, before anything is read.

    1. `-` (standard output) needs --format, as there is no extension to choose one.
    2. Its directory must exist, and it must not be a directory.
    3. Without --format the extension must name a format Pillow can write.
    4. It must not be one of the inputs by any path, even with --overwrite: the input would be
       replaced by its own edit, and a failure half-way would lose it.
    5. Any other existing file is replaced only with --overwrite.
    """
    if output == STDIO:
        if not fmt:
            raise UsageError(f"-o -: a picture on standard output needs --format (e.g. --format png)")
        return
    directory = os.path.dirname(output) or "."
    if not os.path.isdir(directory):
        raise UsageError(f"{what} {output!r}: the directory {directory!r} does not exist")
    if os.path.isdir(output):
        raise UsageError(f"{what} {output!r} is a directory")
    if not fmt:
        ext = os.path.splitext(output)[1]
        if not ext:
            raise UsageError(f"{what} {output!r}: no extension to choose the format; add one or give --format")
        try:
            output_format(ext)
        except UsageError as e:
            raise UsageError(f"{what} {output!r}: {str(e).split(': ', 1)[1]}") from None
    for source in inputs:
        if source != STDIO and same_file(source, output):
            raise UsageError(f"{what} {output!r} is the input {source!r}; write the result to another file")
    if os.path.lexists(output) and not overwrite:
        raise UsageError(f"{what} {output!r} exists; --overwrite replaces it")


def check_input(source: str) -> None:
    """Refuse to wait on a terminal for a picture on standard input."""
    if source == STDIO and sys.stdin is not None and sys.stdin.isatty():
        raise UsageError("IN is '-' (standard input), but standard input is a terminal; pipe a picture in")


def read_source(source: str) -> Any:
    """What open_photo takes for IN: the path, or standard input's bytes (read whole)."""
    if source == STDIO:
        return io.BytesIO(sys.stdin.buffer.read())
    return source


@contextlib.contextmanager
def data_on_stdout(active: bool) -> Iterator[IO[bytes] | None]:
    """While a picture goes to standard output, anything printed as text goes to standard error.

    Yields the binary standard output (None when not active), so picture bytes are never mixed
    with a stray status line.
    """
    if not active:
        yield None
        return
    binary = sys.stdout.buffer
    sys.stdout.flush()
    with contextlib.redirect_stdout(sys.stderr):
        yield binary
    binary.flush()
