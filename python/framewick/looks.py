"""The public import path of looks files: `framewick.chains.looks` holds them."""

from framewick.chains import looks as _registry
from framewick.chains.chain import expand_look
from framewick.chains.looks import (MAX_DEPTH, MAX_FILE_BYTES, MAX_NESTING, MAX_STEPS, Look, LooksError, all_looks,
                                    default_path, find, load, reset)

__all__ = ["Look", "LooksError", "all_looks", "default_path", "expand", "find", "load", "reset"]
__all__ += ["MAX_DEPTH", "MAX_FILE_BYTES", "MAX_NESTING", "MAX_STEPS"]


def expand(name: str) -> list[tuple[str, str]]:
    """The steps of look `name`, the looks it uses expanded in place: (step text, directory).

    The step texts already carry absolute paths; the directory is the looks file's.
    """
    return expand_look(name, _registry)
