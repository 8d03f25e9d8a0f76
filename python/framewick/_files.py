"""Writing pictures so that a reader never finds a half-written file."""

from __future__ import annotations

import os
import signal
import stat
import tempfile
from collections.abc import Callable
from typing import Any

from framewick.status import Failure, emit, listening

#: Temporary files start with this, in the directory of the file they become.
TEMP_PREFIX = ".framewick-tmp-"

# mkstemp's random part, and the "-" between the stem and it.
_RANDOM = 8 + 1
_NAME_MAX = 255
_HELD = {signal.SIGINT, signal.SIGTERM}


def _umask() -> int:
    """The process's file-creation mask, read without changing it where Linux allows."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_MODE = 0o666 & ~_umask()


def name_max(directory: str) -> int:
    """The longest file name, in bytes, that `directory`'s file system takes (255 if unknown)."""
    try:
        limit = os.pathconf(directory, "PC_NAME_MAX")
    except (OSError, ValueError, AttributeError):
        return _NAME_MAX
    return limit if limit > 0 else _NAME_MAX


def _cut(text: str, size: int) -> str:
    """`text` shortened to at most `size` bytes in the file-system encoding, whole characters only."""
    while len(os.fsencode(text)) > size:
        text = text[:-1]
    return text


def temp_affixes(target: str) -> tuple[str, str, str]:
    """The directory, prefix and suffix of a temporary file for `target`.

    The suffix is `target`'s extension, so the picture's format is chosen as it would be for
    `target`; the stem between the prefix and the random part is shortened so that the whole
    name stays within the file system's limit, whatever the length of `target`'s own name.
    """
    directory = os.path.dirname(target) or "."
    stem, ext = os.path.splitext(os.path.basename(target))
    room = name_max(directory) - len(os.fsencode(TEMP_PREFIX)) - _RANDOM
    if len(os.fsencode(ext)) > room // 2:  # an absurd extension gives way before the stem does
        ext = _cut(ext, room // 2)
    stem = _cut(stem, room - len(os.fsencode(ext)))
    return directory, f"{TEMP_PREFIX}{stem}-", ext


class WriteError(Failure, OSError):
    """Writing a picture failed in the file system; names the file asked for, never the
    temporary one, and the reason."""

    def __str__(self) -> str:
        return f"❌ Error: cannot write {self.filename}: {self.strerror}"


def _naming(target: str, error: OSError) -> OSError:
    """`error` as a WriteError naming `target`, when it is the file system's (it has an errno)."""
    if isinstance(error, WriteError) or not error.errno:
        return error
    named = WriteError(error.errno, error.strerror or os.strerror(error.errno), target)
    named.__cause__ = error
    return named


def atomic_write(target: str, write: Callable[[str], None]) -> None:
    """Have `write(temp)` write a file that then replaces `target` as a whole, or not at all.

    1. Create a temporary file beside `target` (same directory, same extension, a name within
       the file system's limit). 2. `write` fills it; it is flushed to disk and given the
       permissions of the file it replaces (the usual ones for a new file). 3. Rename it over
       `target` (atomic on one file system). On any exception, KeyboardInterrupt and SystemExit
       included, the temporary file is removed and `target` is as it was; a failure of the file
       system is raised as WriteError, naming `target` and the reason.
    """
    directory, prefix, suffix = temp_affixes(target)
    # An interrupt between creating the file and entering the block below would leave it
    # behind: hold SIGINT and SIGTERM until the cleanup is in place (their handlers run then).
    held = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD)
    try:
        fd, temp = tempfile.mkstemp(dir=directory, prefix=prefix, suffix=suffix)
        os.close(fd)
    except OSError as error:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
        raise _naming(target, error) from None
    except BaseException:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
        raise
    try:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
        try:
            mode = stat.S_IMODE(os.stat(target).st_mode)
        except OSError:
            mode = _MODE
        write(temp)
        with open(temp, "rb") as written:
            os.fsync(written.fileno())
        os.chmod(temp, mode)
        os.replace(temp, target)
    except BaseException as error:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        if isinstance(error, OSError):
            raise _naming(target, error) from None
        raise


def remove_leftovers(target: str) -> list[str]:
    """Remove the temporary files a writer of `target` left when it was killed outright (no
    cleanup runs then); returns their paths. Only names `atomic_write` makes for `target`."""
    directory, prefix, suffix = temp_affixes(target)
    removed = []
    try:
        names = os.listdir(directory)
    except OSError:
        return removed
    for name in names:
        if name.startswith(prefix) and name.endswith(suffix) and len(name) == len(prefix) + _RANDOM - 1 + len(suffix):
            path = os.path.join(directory, name)
            try:
                os.unlink(path)
            except OSError:
                continue
            removed.append(path)
    return removed


def atomic_save(obj: Any, target: str, echo: Callable[[str], None] | None = None) -> None:
    """Save `obj`'s picture (its `save` method) to `target` as a whole or not at all.

    The file is written by `atomic_write`. The save's status line names `target`, not the
    temporary file; it goes to `echo`, or is printed when `echo` is None, once the file is in
    place.
    """
    temps: list[str] = []

    def save(temp: str) -> None:
        temps.append(temp)
        obj.save(temp)

    with listening() as heard:
        atomic_write(target, save)
    # Reported only once the file is in place, as the library does for its own edits.
    text = heard.text
    if temps:
        text = text.replace(temps[0], target)
    if text:
        if echo is None:
            emit(text, end="")
        else:
            echo(text)
