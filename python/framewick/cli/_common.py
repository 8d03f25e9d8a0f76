"""What the commands share: the parser class, usage errors, where output goes, option checks."""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
from collections.abc import Callable
from typing import Any, NoReturn

PROG = "framewick"

CHAIN_HELP = """\
Steps (--steps): method calls separated by '|', each NAME or NAME:ARG,ARG,...
  --steps "preset:vintage | resize:800,600 | border:10,color=white"
  Arguments are converted by each method's annotations (int 800, float 0.5, bool true/false,
  tuple 10,20 or (10,20), str as written); quote text holding | , ( ) = or quotes: text:"Hi, you",(10,20).
  --steps @FILE reads the chain from FILE, in this text form or as JSON
  ([{"method": "apply_border", "args": [10]}]). 'framewick steps' lists every step."""


STEPS_HELP = "the chain of edits, e.g. \"preset:noir | resize:100,100\" (see below)"


class UsageError(Exception):
    """A command line that cannot be carried out as written (exit status 2)."""


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors are one line (exit status 2)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def write(text: str) -> None:
    sys.stdout.write(text)
    sys.stdout.flush()


def discard(text: str) -> None:
    pass


def echo_for(args: argparse.Namespace) -> Callable[[str], None]:
    """Where the library's status lines go: to standard output, or nowhere with --quiet."""
    return discard if args.quiet else write


def fail(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def read_chain(spec: str) -> Any:
    """The chain of --steps: its text form, or @FILE holding the text or the JSON form."""
    from framewick.chain import Chain

    if spec.startswith("@"):
        try:
            with open(spec[1:], encoding="utf-8") as file:
                text = file.read()
        except OSError as e:
            raise UsageError(f"--steps {spec}: {e.strerror}") from None
        return Chain.from_json(text) if text.lstrip().startswith("[") else Chain.parse(text)
    return Chain.parse(spec)


def check_extension(ext: str, what: str) -> None:
    """Refuse an output extension Pillow does not know, before any picture is read."""
    from framewick.batch import picture_extensions

    if ext.lower() not in picture_extensions():
        raise UsageError(f"{what}: unknown picture format {ext or '(no extension)'!r}; use e.g. .jpg, .png or .webp")


def check_format(path: str, what: str) -> None:
    check_extension(os.path.splitext(path)[1], f"{what} {path!r}")


def check_directory(path: str) -> None:
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise UsageError(f"output {path!r}: the directory {directory!r} does not exist")


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def step_list() -> str:
    try:
        from framewick.chain import catalogue

        return catalogue().describe()
    except ImportError as e:
        return f"  (the step list needs framewick's native modules: {e})"


def add_command(sub: "argparse._SubParsersAction[Parser]", name: str, common: Parser, help: str,
         examples: str, epilog: str = "") -> Parser:
    text = "example:\n" + textwrap.indent(examples, "  ") + ("\n\n" + epilog if epilog else "")
    return sub.add_parser(name, help=help, description=help[0].upper() + help[1:] + ".", epilog=text,
                          parents=[common], formatter_class=argparse.RawDescriptionHelpFormatter)
