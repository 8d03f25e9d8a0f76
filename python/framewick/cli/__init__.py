"""The framewick command line: edit one picture, run a batch, inspect, compare presets, demo.

Exit status: 0 done, 1 a picture could not be processed (the library's error line is shown),
2 a usage error (one line), 130 interrupted, 143 terminated (SIGTERM). Tracebacks only with
--debug.

`main` answers `framewick --version` at once and hands everything else to `_main`, which builds
the parser; the parser, `UsageError` and the exit statuses are reached from here as well.
"""

from __future__ import annotations

import sys

from framewick import __version__

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

__all__ = ["EXIT_FAILED", "EXIT_INTERRUPTED", "EXIT_TERMINATED", "EXIT_USAGE", "PROG", "Parser", "UsageError",
           "build_parser", "main"]

PROG = "framewick"


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    from framewick.cli._streams import guarded

    args = sys.argv[1:] if argv is None else list(argv)
    with guarded():
        if args == ["--version"]:  # what scripts ask most often, answered before anything is imported
            sys.stdout.write(f"{PROG} {__version__}\n")
            return 0
        from framewick.cli._main import main as dispatch

        return dispatch(args)


def __getattr__(name: str) -> object:
    # Only the dispatcher's names: a submodule's name must fall through to the import system.
    if name not in __all__ and name not in ("COMMANDS", "SUMMARIES"):
        raise AttributeError(f"module 'framewick.cli' has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module("framewick.cli._main"), name)
