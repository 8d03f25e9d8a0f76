"""Writing pictures so that a reader never finds a half-written file."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable
from typing import Any

from framewick._output import captured

#: Temporary files start with this, in the directory of the file they become.
TEMP_PREFIX = ".framewick-tmp-"


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


def atomic_save(obj: Any, target: str, echo: Callable[[str], None] | None = None) -> None:
    """Save `obj`'s picture (its `save` method) to `target` as a whole or not at all.

    1. Create a temporary file beside `target` with the same extension, so the picture's
       format is chosen as it would be for `target`. 2. Let `obj.save` write it, flush it to
       disk and give it the usual permissions. 3. Rename it over `target` (atomic on one file
       system). If anything fails or the run is interrupted, the temporary file is removed and
       `target` is as it was. The save's status line names `target`, not the temporary file;
       it goes to `echo`, or is printed when `echo` is None.
    """
    directory = os.path.dirname(target) or "."
    stem, ext = os.path.splitext(os.path.basename(target))
    fd, temp = tempfile.mkstemp(dir=directory, prefix=f"{TEMP_PREFIX}{stem}-", suffix=ext)
    os.close(fd)
    try:
        with captured() as buffer:
            obj.save(temp)
        with open(temp, "rb") as written:
            os.fsync(written.fileno())
        os.chmod(temp, _MODE)
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise
    # Reported only once the file is in place, as the library does for its own edits.
    text = buffer.getvalue().replace(temp, target)
    if text:
        if echo is None:
            print(text, end="")
        else:
            echo(text)
