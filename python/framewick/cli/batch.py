"""`framewick batch`: the same steps over many pictures, in parallel."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
from types import FrameType

from framewick.cli._common import CHAIN_HELP, PROG, STEPS_HELP, Parser, add_command, check_extension, echo_for, \
    fail, positive, read_chain


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "batch", common, "run the same steps over many pictures, in parallel",
                    'framewick batch photos/ "shots/*.png" --out-dir out --steps "preset:noir | resize:640,480" --jobs 2',
                    "Inputs are files, directories (their picture files) and glob patterns. Outputs keep the\n"
                    "input's name (see --format); an output that exists is skipped unless --overwrite, an\n"
                    "input is never overwritten, and each output is written whole or not at all. A picture\n"
                    "that fails is reported with its reason and the rest go on; the exit status is 1 if any\n"
                    "failed.\n\n" + CHAIN_HELP)
    p.add_argument("inputs", metavar="INPUTS", nargs="+", help="files, directories or glob patterns")
    p.add_argument("-d", "--out-dir", required=True, metavar="DIR", help="where the results go (made if needed)")
    p.add_argument("-s", "--steps", default="", metavar="STEPS", help=STEPS_HELP)
    p.add_argument("-j", "--jobs", type=positive, metavar="N", help="worker processes (default: the machine's cores)")
    p.add_argument("--overwrite", action="store_true", help="replace outputs that exist")
    p.add_argument("--format", metavar="EXT", help="write every output with this extension, e.g. jpg")
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.set_defaults(func=run)


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def run(args: argparse.Namespace) -> int:
    from framewick.batch import BatchInterrupted, Outcome, run_batch

    chain = read_chain(args.steps)
    if args.format:
        check_extension(args.format if args.format.startswith(".") else "." + args.format, f"--format {args.format}")
    echo = echo_for(args)
    bar = sys.stderr.isatty() and not args.no_progress

    def report(outcome: Outcome) -> None:
        if outcome.output:
            echo(outcome.output)
        if outcome.status == "failed":
            fail(f"{outcome.source}: {outcome.reason}")
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
        fail(f"{PROG} batch: interrupted; {interrupted.result.summary()} before the interrupt")
        return 130
    finally:
        if main_thread:
            signal.signal(signal.SIGTERM, previous)
    print(f"{PROG} batch: {result.summary()} (into {args.out_dir})", flush=True)
    return 0 if result.ok else 1
