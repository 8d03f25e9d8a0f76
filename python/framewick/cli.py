"""The framewick command line: edit one picture, run a batch, inspect, compare presets, demo.

Exit status: 0 done, 1 a picture could not be processed (the library's error line is shown),
2 a usage error (one line), 130 interrupted. Tracebacks only with --debug.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import textwrap
import threading
from collections.abc import Callable, Sequence
from types import FrameType
from typing import Any, NoReturn

from framewick import __version__

PROG = "framewick"

CHAIN_HELP = """\
Steps (--steps): method calls separated by '|', each NAME or NAME:ARG,ARG,...
  --steps "preset:vintage | resize:800,600 | border:10,color=white"
  Arguments are converted by each method's annotations (int 800, float 0.5, bool true/false,
  tuple 10,20 or (10,20), str as written); quote text holding | , ( ) = or quotes: text:"Hi, you",(10,20).
  --steps @FILE reads the chain from FILE, in this text form or as JSON
  ([{"method": "apply_border", "args": [10]}]). 'framewick steps' lists every step."""


class UsageError(Exception):
    """A command line that cannot be carried out as written (exit status 2)."""


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors are one line (exit status 2)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


# ---------------------------------------------------------------------------------------------
# Output


def _write(text: str) -> None:
    sys.stdout.write(text)
    sys.stdout.flush()


def _discard(text: str) -> None:
    pass


def _echo(args: argparse.Namespace) -> Callable[[str], None]:
    """Where the library's status lines go: to standard output, or nowhere with --quiet."""
    return _discard if args.quiet else _write


def _fail(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Arguments shared by the commands


def _read_chain(spec: str) -> Any:
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


def _check_extension(ext: str, what: str) -> None:
    """Refuse an output extension Pillow does not know, before any picture is read."""
    from framewick.batch import picture_extensions

    if ext.lower() not in picture_extensions():
        raise UsageError(f"{what}: unknown picture format {ext or '(no extension)'!r}; use e.g. .jpg, .png or .webp")


def _check_format(path: str, what: str) -> None:
    _check_extension(os.path.splitext(path)[1], f"{what} {path!r}")


def _check_directory(path: str) -> None:
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise UsageError(f"output {path!r}: the directory {directory!r} does not exist")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


# ---------------------------------------------------------------------------------------------
# Commands


def cmd_edit(args: argparse.Namespace) -> int:
    from framewick import FrameWick
    from framewick._files import atomic_save
    from framewick._output import call_captured

    chain = _read_chain(args.steps)
    _check_format(args.output, "output")
    _check_directory(args.output)
    echo = _echo(args)
    obj = call_captured(echo, FrameWick.load, args.input)
    chain.apply(obj, echo)
    atomic_save(obj, args.output, echo)
    return 0


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def cmd_batch(args: argparse.Namespace) -> int:
    from framewick.batch import BatchInterrupted, Outcome, run_batch

    chain = _read_chain(args.steps)
    if args.format:
        _check_extension(args.format if args.format.startswith(".") else "." + args.format, f"--format {args.format}")
    echo = _echo(args)
    bar = sys.stderr.isatty() and not args.no_progress

    def report(outcome: Outcome) -> None:
        if outcome.output:
            echo(outcome.output)
        if outcome.status == "failed":
            _fail(f"{outcome.source}: {outcome.reason}")
        elif outcome.status == "skipped" and not args.quiet:
            print(f"skipped {outcome.source}: {outcome.reason}", flush=True)

    # A terminate signal stops the batch like an interrupt: no half-written output stays.
    # (Signal handlers can only be set on the main thread.)
    main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminate) if main_thread else None
    try:
        result = run_batch(args.inputs, args.out_dir, chain, jobs=args.jobs, overwrite=args.overwrite,
                           suffix=args.format, progress=bar, on_outcome=report)
    except BatchInterrupted as interrupted:
        _fail(f"{PROG} batch: interrupted; {interrupted.result.summary()} before the interrupt")
        return 130
    finally:
        if main_thread:
            signal.signal(signal.SIGTERM, previous)
    print(f"{PROG} batch: {result.summary()} (into {args.out_dir})", flush=True)
    return 0 if result.ok else 1


def _shown(value: Any) -> str:
    if isinstance(value, (bytes, bytearray)):
        return f"<{len(value)} bytes>"
    text = str(value)
    return text if len(text) <= 100 else text[:97] + "..."


def cmd_info(args: argparse.Namespace) -> int:
    from framewick import FrameWick
    from framewick._output import call_captured

    echo = _echo(args)
    obj = call_captured(echo, FrameWick.load, args.input)
    obj.compare()  # the report is what was asked for: shown even with --quiet
    palette = call_captured(echo, obj.extract_color_palette, args.colors)
    metadata = call_captured(echo, obj.get_metadata)
    print(f"Palette: {' '.join(palette)}")
    print("Metadata:" + ("" if metadata else " none"))
    for key, value in (metadata or {}).items():
        print(f"  {key}: {_shown(value)}")
    return 0


def cmd_presets(args: argparse.Namespace) -> int:
    from framewick import FrameWick
    from framewick._files import atomic_save
    from framewick._output import call_captured
    from framewick._pictures import preset_sheet

    _check_format(args.output, "output")
    _check_directory(args.output)
    echo = _echo(args)
    sheet = FrameWick()
    sheet.image = preset_sheet(args.input, args.cell, args.columns, echo)
    call_captured(echo, sheet.optimize, args.quality)
    atomic_save(sheet, args.output, echo)
    print(f"{PROG} presets: contact sheet of {args.input} written to {args.output}")
    return 0


DEMO_CHAIN = "preset:vintage | resize:800,600 | border:10 | compare | optimize:80"


def cmd_demo(args: argparse.Namespace) -> int:
    from framewick import FrameWick
    from framewick._files import atomic_save
    from framewick._output import call_captured
    from framewick._pictures import before_after, sample_picture
    from framewick.chain import Chain

    echo = _echo(args)
    os.makedirs(args.dir, exist_ok=True)
    paths = {name: os.path.join(args.dir, name) for name in ("sample.png", "demo.jpg", "before-after.jpg")}
    drawn = FrameWick()
    drawn.image = sample_picture()
    atomic_save(drawn, paths["sample.png"], echo)
    # The typical request: load, vintage, 800x600, a 10-pixel border, the report, quality 80, save.
    obj = call_captured(echo, FrameWick.load, paths["sample.png"])
    Chain.parse(DEMO_CHAIN).apply(obj, echo)
    atomic_save(obj, paths["demo.jpg"], echo)
    pair = FrameWick()
    pair.image = before_after(drawn.image, obj.image)
    call_captured(echo, pair.optimize, 80)
    atomic_save(pair, paths["before-after.jpg"], echo)
    print(f"{PROG} demo: ran {DEMO_CHAIN!r}")
    print(f"  sample picture: {paths['sample.png']}")
    print(f"  result:         {paths['demo.jpg']}")
    print(f"  before/after:   {paths['before-after.jpg']}")
    return 0


def cmd_steps(args: argparse.Namespace) -> int:
    from framewick.chain import catalogue

    print(CHAIN_HELP)
    print()
    print(catalogue().describe())
    return 0


#: How long `version --check` waits for the check: the request's own 5-second time-out for
#: connecting and again for reading, and a little for the answer.
CHECK_WAIT = 12.0


def cmd_version(args: argparse.Namespace) -> int:
    print(f"{PROG} {__version__}", flush=True)
    if not args.check:
        return 0
    from framewick._output import captured
    from framewick.utils.updater import FrameWickUpdater

    updater = FrameWickUpdater(PROG, __version__)
    notice: list[str] = []

    def check() -> None:
        with captured() as buffer:
            try:
                updater._check_logic()
            finally:
                notice.append(buffer.getvalue())

    thread = threading.Thread(target=check, name="framewick-version-check", daemon=True)
    thread.start()
    thread.join(CHECK_WAIT)
    if notice and notice[0]:
        _write(notice[0])
    else:
        print("No newer release found (or the package index could not be reached).")
    return 0


# ---------------------------------------------------------------------------------------------
# The parser


def _step_list() -> str:
    try:
        from framewick.chain import catalogue

        return catalogue().describe()
    except ImportError as e:
        return f"  (the step list needs framewick's native modules: {e})"


def _add(sub: "argparse._SubParsersAction[Parser]", name: str, common: Parser, help: str,
         examples: str, epilog: str = "") -> Parser:
    text = "example:\n" + textwrap.indent(examples, "  ") + ("\n\n" + epilog if epilog else "")
    return sub.add_parser(name, help=help, description=help[0].upper() + help[1:] + ".", epilog=text,
                          parents=[common], formatter_class=argparse.RawDescriptionHelpFormatter)


def build_parser() -> Parser:
    # The options every command takes, also after the command's name.
    common = Parser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS,
                        help="hide the library's status lines")
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="show a traceback when something fails")
    parser = Parser(prog=PROG, description="Image editing with framewick: " + (__doc__ or "").splitlines()[0],
                    formatter_class=argparse.RawDescriptionHelpFormatter,
                    epilog="example:\n  framewick edit photo.png -o out.jpg --steps \"preset:vintage | resize:800,600\""
                           "\n\n'framewick COMMAND --help' shows a command's options and an example.")
    parser.add_argument("-q", "--quiet", action="store_true", help="hide the library's status lines")
    parser.add_argument("--debug", action="store_true", help="show a traceback when something fails")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)

    steps_help = "the chain of edits, e.g. \"preset:noir | resize:100,100\" (see below)"
    p = _add(sub, "edit", common, "load a picture, run the steps in order, save it",
             'framewick edit photo.png -o out.jpg --steps "preset:vintage | resize:800,600 | border:10"',
             CHAIN_HELP + "\n\nThe steps:\n" + _step_list())
    p.add_argument("input", metavar="IN", help="the picture to edit")
    p.add_argument("-o", "--output", metavar="OUT", required=True,
                   help="where the result goes; its extension chooses the format")
    p.add_argument("-s", "--steps", default="", metavar="STEPS", help=steps_help)
    p.set_defaults(func=cmd_edit)

    p = _add(sub, "batch", common, "run the same steps over many pictures, in parallel",
             'framewick batch photos/ "shots/*.png" --out-dir out --steps "preset:noir | resize:640,480" --jobs 2',
             "Inputs are files, directories (their picture files) and glob patterns. Outputs keep the\n"
             "input's name (see --format); an output that exists is skipped unless --overwrite, an\n"
             "input is never overwritten, and each output is written whole or not at all. A picture\n"
             "that fails is reported with its reason and the rest go on; the exit status is 1 if any\n"
             "failed.\n\n" + CHAIN_HELP)
    p.add_argument("inputs", metavar="INPUTS", nargs="+", help="files, directories or glob patterns")
    p.add_argument("-d", "--out-dir", required=True, metavar="DIR", help="where the results go (made if needed)")
    p.add_argument("-s", "--steps", default="", metavar="STEPS", help=steps_help)
    p.add_argument("-j", "--jobs", type=_positive, metavar="N", help="worker processes (default: the machine's cores)")
    p.add_argument("--overwrite", action="store_true", help="replace outputs that exist")
    p.add_argument("--format", metavar="EXT", help="write every output with this extension, e.g. jpg")
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.set_defaults(func=cmd_batch)

    p = _add(sub, "info", common, "show a picture's status report, colour palette and metadata",
             "framewick info photo.png --colors 8")
    p.add_argument("input", metavar="IN", help="the picture to inspect")
    p.add_argument("--colors", type=_positive, default=5, metavar="N", help="colours in the palette (default 5)")
    p.set_defaults(func=cmd_info)

    p = _add(sub, "presets", common, "make a contact sheet of a picture under each of the eight presets",
             "framewick presets photo.png -o presets.jpg --cell 160")
    p.add_argument("input", metavar="IN", help="the picture to show")
    p.add_argument("-o", "--output", metavar="SHEET", required=True, help="where the sheet goes")
    p.add_argument("--cell", type=_positive, default=200, metavar="PX", help="largest side of a tile (default 200)")
    p.add_argument("--columns", type=_positive, default=4, metavar="N", help="tiles per row (default 4)")
    p.add_argument("--quality", type=_positive, default=85, metavar="Q", help="save quality 1-100 (default 85)")
    p.set_defaults(func=cmd_presets)

    p = _add(sub, "demo", common, "run the typical edit on a sample picture framewick draws itself",
             "framewick demo build/demo",
             f"The demo draws DIR/sample.png, runs {DEMO_CHAIN!r} on it,\n"
             "saves DIR/demo.jpg and DIR/before-after.jpg, and prints where they went.")
    p.add_argument("dir", metavar="DIR", nargs="?", default="framewick-demo",
                   help="where the files go (default: framewick-demo)")
    p.set_defaults(func=cmd_demo)

    p = _add(sub, "steps", common, "list the steps a chain can use, from the classes themselves",
             "framewick steps")
    p.set_defaults(func=cmd_steps)

    p = _add(sub, "version", common, "print the version; --check asks the package index for a newer one",
             "framewick version --check",
             "Only 'version --check' contacts the network: one request to the package index, waited\n"
             "for up to its time-out.")
    p.add_argument("--check", action="store_true", help="check for a newer release (network)")
    p.set_defaults(func=cmd_version)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit:
        return exit.code if isinstance(exit.code, int) else 2
    from framewick.batch import error_line
    from framewick.chain import ChainError

    prog = f"{PROG} {args.command}"
    try:
        return int(args.func(args))
    except (ChainError, UsageError) as e:
        if args.debug:
            raise
        _fail(f"{prog}: error: {e}")
        return 2
    except KeyboardInterrupt:
        if args.debug:
            raise
        _fail(f"{prog}: interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (`framewick steps | head`): stop quietly, and keep the
        # interpreter from complaining when it flushes standard output at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as e:
        if args.debug:
            raise
        _fail(error_line(e))
        return 1


if __name__ == "__main__":
    sys.exit(main())
