"""The framewick command line: edit one picture, run a batch, inspect, compare presets, demo.

Exit status: 0 done, 1 a picture could not be processed (the library's error line is shown),
2 a usage error (one line), 130 interrupted, 143 terminated (SIGTERM). Tracebacks only with
--debug.

Each command is a module of this package with `register(sub, common)`, which adds its parser,
and `run(args)`, which carries it out; `_common` holds what they share, and `main` only
dispatches. Nothing here imports Pillow, a native module or requests: a command imports what it
needs once its arguments and its chain have been checked.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from framewick import __version__
from framewick.cli import batch, completion, demo, edit, info, presets, steps, version
from framewick.cli._common import PROG, Parser, UsageError, add_global_options, error_line, fail, load_looks
from framewick.cli._signals import Terminated

__all__ = ["EXIT_FAILED", "EXIT_INTERRUPTED", "EXIT_TERMINATED", "EXIT_USAGE", "PROG", "Parser", "UsageError",
           "build_parser", "main"]

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143

#: The commands in the order `--help` lists them.
COMMANDS = (edit, batch, info, presets, demo, steps, version, completion)


def build_parser() -> Parser:
    # The options every command takes, also after the command's name.
    common = Parser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS,
                        help="hide the library's status lines")
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="show a traceback when something fails")
    add_global_options(common)
    parser = Parser(prog=PROG, description="Image editing with framewick: " + (__doc__ or "").splitlines()[0],
                    formatter_class=argparse.RawDescriptionHelpFormatter,
                    epilog="example:\n  framewick edit photo.png -o out.jpg --steps \"preset:vintage | resize:800,600\""
                           "\n\n'framewick COMMAND --help' shows a command's options and an example."
                           "\n\nexit status: 0 done, 1 a picture failed, 2 usage error, 130 interrupted,"
                           " 143 terminated")
    parser.add_argument("-q", "--quiet", action="store_true", help="hide the library's status lines")
    parser.add_argument("--debug", action="store_true", help="show a traceback when something fails")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    add_global_options(parser, "looks_first")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)
    for command in COMMANDS:
        command.register(sub, common)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit:
        return exit.code if isinstance(exit.code, int) else EXIT_USAGE
    from framewick.chain import ChainError
    from framewick.looks import LooksError

    prog = f"{PROG} {args.command}"
    try:
        load_looks([*getattr(args, "looks_first", []), *getattr(args, "looks", [])])
        return int(args.func(args))
    except (ChainError, LooksError, UsageError) as e:
        if args.debug:
            raise
        fail(f"{prog}: error: {e}")
        return EXIT_USAGE
    except Terminated:
        if args.debug:
            raise
        fail(f"{prog}: terminated")
        return EXIT_TERMINATED
    except KeyboardInterrupt:
        if args.debug:
            raise
        fail(f"{prog}: interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`framewick steps | head`): stop quietly, and keep the
        # interpreter from complaining when it flushes standard output at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except Exception as e:
        if args.debug:
            raise
        fail(error_line(e))
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
