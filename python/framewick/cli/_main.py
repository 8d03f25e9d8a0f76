"""The parser of every command, and the dispatch to the command named.

Each command is a module of this package with `register(sub, common)`, which adds its parser,
and `run(args)`, which carries it out; `_common` holds what they share. Nothing here imports
Pillow, a native module or requests, nor a command's module before it is the one run: a
command imports what it needs once its arguments and its chain have been checked.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import os
import sys
from collections.abc import Sequence

from framewick import __version__
from framewick.cli._common import PROG, Parser, UsageError, add_global_options, error_line, fail, load_looks
from framewick.cli._signals import Terminated

__all__ = ["EXIT_FAILED", "EXIT_INTERRUPTED", "EXIT_TERMINATED", "EXIT_USAGE", "PROG", "Parser", "UsageError",
           "build_parser", "main"]

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143

#: The commands in the order `--help` lists them; each is the module framewick.cli.NAME.
COMMANDS = ("edit", "batch", "srcset", "info", "similar", "presets", "demo", "steps", "formats", "version", "completion", "studio")
#: What `--help` says of each; a command's own parser is built only when it is the one run.
SUMMARIES = {
    "edit": "open a picture, run the steps in order, write it",
    "batch": "run the same steps over many pictures, in parallel",
    "info": "show each picture's status report, colour palette and metadata",
    "srcset": "write each picture at several widths and formats, with its <picture> element and a manifest",
    "similar": "list groups of near-identical pictures, by a perceptual hash",
    "presets": "list the presets and looks, or make a contact sheet of a picture under each",
    "demo": "run the typical edit on a sample picture framewick draws itself",
    "steps": "list the steps a chain can use, and the looks read from looks files",
    "formats": "list the picture formats this build reads and writes",
    "version": "print the version; --check asks the package index for a newer one",
    "completion": "print a shell completion script (bash, zsh or fish)",
    "studio": "design a look in the browser, watching a photo under it",
}


def _command_in(argv: Sequence[str]) -> str | None:
    """The command named on the command line (the first word that is not an option), if any."""
    words = iter(argv)
    for word in words:
        if word == "--looks":
            next(words, None)
        elif word == "--":
            return next(words, None)
        elif not word.startswith("-"):
            return word
    return None


def build_parser(argv: Sequence[str] | None = None) -> Parser:
    """The parser; given `argv`, only the command it names gets its whole parser (building every
    command's options costs more than the rest of a `--help`)."""
    # The options every command takes, also after the command's name.
    common = Parser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS,
                        help="hide the library's status lines")
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="show a traceback when something fails")
    add_global_options(common)
    parser = Parser(prog=PROG, description="Image editing with framewick: edit one picture, run a batch, inspect, compare "
                                "presets, demo.",
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
    wanted = _command_in(argv) if argv is not None else None
    for name in COMMANDS:
        if argv is None or name == wanted:
            importlib.import_module(f"framewick.cli.{name}").register(sub, common)
        else:
            sub.add_parser(name, help=SUMMARIES[name], add_help=False)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    # Building the parser and the step tables makes many objects that live as long as the
    # process and no garbage cycles: the cyclic collector waits until the command runs.
    collecting = gc.isenabled()
    gc.disable()
    try:
        parser = build_parser(argv)
        try:
            args = parser.parse_args(argv)
        except SystemExit as exit:
            return exit.code if isinstance(exit.code, int) else EXIT_USAGE
        from framewick.chain import ChainError
        from framewick.looks import LooksError
    finally:
        if collecting:
            gc.enable()

    prog = f"{PROG} {args.command}"
    if not args.debug:
        # Pillow's warnings (a truncated tag, a large picture) are not the command's lines: a
        # picture that fails gets its own error line, one that works needs none.
        import warnings

        warnings.simplefilter("ignore")
    try:
        load_looks([*getattr(args, "looks_first", []), *getattr(args, "looks", [])],
                   new_last=getattr(args, "new_looks_file", False))
        if getattr(args, "quiet", False) and args.command != "info":
            # -q hides the notes on standard error too (a deep picture made 8-bit by a step, ...);
            # info's report is what was asked for and is shown all the same.
            from framewick.status import quiet

            with quiet():
                return int(args.func(args))
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

