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
from framewick.status import listening

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
    2. Its directory must exist and take new files, and it must not be a directory.
    3. Without --format the extension must name a format Pillow can write.
    4. It must not be one of the inputs by any path, even with --overwrite: the input would be
       replaced by its own edit, and a failure half-way would lose it.
    5. Any other existing file is replaced only with --overwrite.
    """
    if output == STDIO:
        from framewick.cli._streams import closed

        if not fmt:
            raise UsageError(f"-o -: a picture on standard output needs --format (e.g. --format png)")
        if 1 in closed:
            raise UsageError("-o -: standard output is closed, so the picture would go nowhere")
        return
    directory = os.path.dirname(output) or "."
    if not os.path.isdir(directory):
        there = "is not a directory" if os.path.lexists(directory) else "does not exist"
        raise UsageError(f"{what} {output!r}: the directory {directory!r} {there}")
    if os.path.isdir(output):
        raise UsageError(f"{what} {output!r} is a directory")
    check_writable(directory, f"{what} {output!r}")
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


def check_writable(directory: str, what: str) -> None:
    """Refuse a directory no file can be made in (read-only, not ours, /proc), by making one."""
    import tempfile

    from framewick._files import TEMP_PREFIX

    try:
        fd, probe = tempfile.mkstemp(dir=directory, prefix=TEMP_PREFIX)
    except OSError as e:
        raise UsageError(f"{what}: cannot write in {directory!r} ({e.strerror or e})") from None
    os.close(fd)
    os.unlink(probe)


def check_out_dir(out_dir: str) -> None:
    """Refuse an output directory that is a file, lies under a file, or cannot be written
    (where it does not exist yet: its nearest existing parent), before anything is read."""
    what = f"--out-dir {out_dir!r}"
    if os.path.lexists(out_dir) and not os.path.isdir(out_dir):
        raise UsageError(f"{what} is not a directory")
    existing = out_dir
    while not os.path.lexists(existing):
        parent = os.path.dirname(os.path.normpath(existing)) or "."
        if parent == existing:
            break
        existing = parent
    if not os.path.isdir(existing):
        raise UsageError(f"{what}: {existing!r} is not a directory")
    check_writable(existing, what)


def check_input(source: str) -> None:
    """Refuse to wait on a terminal for a picture on standard input, and an IN that is not a
    regular file (a FIFO, device or socket could block or never end; pipe it to '-' instead)."""
    from framewick._limits import not_regular

    if source == STDIO:
        from framewick.cli._streams import closed

        if 0 in closed:
            raise UsageError("IN is '-' (standard input), but standard input is closed")
        if sys.stdin is not None and sys.stdin.isatty():
            raise UsageError("IN is '-' (standard input), but standard input is a terminal; pipe a picture in")
        return
    what = not_regular(source)
    if what and what != "a directory":  # the photo layer says what a directory is
        raise UsageError(f"IN {source!r} is {what}, not a picture file; to read a stream, pipe it to '-'")


def read_source(source: str, max_pixels: int | None = None) -> Any:
    """What open_photo takes for IN: the path, or standard input's bytes, read within the bound
    `framewick._limits.stream_cap` gives (LimitError beyond it)."""
    if source == STDIO:
        from framewick._limits import read_bounded

        if sys.stdin is None:
            return io.BytesIO()
        return read_bounded(sys.stdin.buffer, max_pixels)
    return source


def check_format_agrees(chain: Any, output: str, fmt: str | None) -> str | None:
    """Pillow's name of the output's format, refusing (UsageError naming both) --format against
    the output's extension, or the chain's last format: step against either. `fmt` is --format."""
    from framewick.photo.planning import format_disagrees
    from framewick.photo.formats import format_of_path

    given = output_format(fmt)[0] if fmt else None
    by_name = format_of_path(output) if output != STDIO else None
    if given and by_name and given != by_name:
        raise UsageError(f"--format {fmt} writes {given}, but the output {output!r} names {by_name} by its "
                         "extension; make them agree")
    written = given or by_name
    disagreement = format_disagrees(chain, written, f"--format {fmt}" if given else f"the output {output!r}")
    if disagreement is not None:
        raise UsageError(f"{disagreement}; make them agree")
    return written


@contextlib.contextmanager
def data_on_stdout(active: bool) -> Iterator[IO[bytes] | None]:
    """While a picture goes to standard output, framewick's status lines go to standard error.

    Yields the binary standard output (None when not active). The command hands its steps' lines
    to standard error itself; a line that no step took is heard here and goes there too, so
    picture bytes are never mixed with a status line. `sys.stdout` stays as it is.
    """
    if not active:
        yield None
        return
    binary = sys.stdout.buffer
    sys.stdout.flush()
    heard = None
    try:
        with listening() as heard:
            yield binary
    finally:
        if heard is not None and heard.text:
            sys.stderr.write(heard.text)
            sys.stderr.flush()
    binary.flush()
