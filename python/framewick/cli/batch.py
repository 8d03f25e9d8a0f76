"""`framewick batch`: the same steps over many pictures, in parallel."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from types import FrameType
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from framewick.cli._common import CHAIN_HELP, FIELDS_HELP, PROG, STEPS_HELP, Parser, UsageError, add_command, \
    add_open_options, add_write_options, echo_for, fail, limits_help, open_kwargs, positive, printable, read_chain, \
    with_quality, write_kwargs

if TYPE_CHECKING:
    from framewick.batch import BatchResult, Options, Outcome


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "batch", common, "run the same steps over many pictures, in parallel",
                    'framewick batch photos/ "shots/*.png" --out-dir out --steps "preset:noir | resize:640,480" --jobs 2',
                    "Inputs are files, directories (their picture files; with --recursive, their whole tree,\n"
                    "kept under --out-dir) and glob patterns. Outputs keep the input's name (see --format); an\n"
                    "output that exists is skipped unless --overwrite, an input is never overwritten, and each\n"
                    "output is written whole or not at all. An input that matches nothing, or two inputs that\n"
                    "would write the same output, stop the batch before it starts (exit status 2). A picture\n"
                    "that fails is reported with its reason and the rest go on; the exit status is 1 if any\n"
                    "failed, 130 if the batch was interrupted, 143 if it was terminated. A worker that dies\n"
                    "(killed for memory, or by a signal) fails the picture it had; a fresh one does the rest.\n\n"
                    "Only regular files are pictures: a FIFO, socket or device a pattern matches is left out,\n"
                    "and one named is refused. '**' in a pattern and --recursive do not follow symbolic links\n"
                    "to directories (so a link back into the tree cannot loop); a link named, or matched by\n"
                    "a pattern, is read. A format: step must agree with --format (or each output's extension).\n\n"
                    + limits_help() + "\n\n" + FIELDS_HELP + "\n\n" + CHAIN_HELP)
    p.add_argument("inputs", metavar="INPUTS", nargs="+", help="files, directories or glob patterns")
    p.add_argument("-d", "--out-dir", required=True, metavar="DIR", help="where the results go (made if needed)")
    p.add_argument("-s", "--steps", default="", metavar="STEPS", help=STEPS_HELP)
    p.add_argument("-j", "--jobs", type=positive, metavar="N", help="worker processes (default: the machine's cores)")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="walk directories, writing the same relative tree under --out-dir")
    p.add_argument("-n", "--dry-run", action="store_true",
                   help="print what would be written and skipped; read and write nothing")
    p.add_argument("--overwrite", action="store_true", help="replace outputs that exist")
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.add_argument("-v", "--verbose", action="store_true", help="show each picture's status lines as it is done")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the workers of a dask.distributed scheduler, e.g. tcp://10.0.0.5:8786 "
                        "(they need framewick installed)")
    p.add_argument("--json", action="store_true",
                   help="print one JSON record per picture on standard output (input, output, status, reason; "
                        "with --max-bytes the quality chosen and the bytes; with gravity=smart or face the boxes "
                        "chosen, \"crops\"); other lines go to standard error")
    p.add_argument("--quality", type=positive, metavar="Q",
                   help="save quality 1-100 for lossy formats (JPEG, WebP, AVIF, HEIC, JPEG XL), as the quality: step")
    add_open_options(p)
    add_write_options(p, format_help="write every output in this format and with its extension: jpg (or JPEG, "
                                     ".JPG), png, webp, tiff, avif, gif, bmp, ...")
    p.set_defaults(func=run)


#: Set once SIGTERM reached this process, so the exit status can tell it from Ctrl-C.
_terminated = threading.Event()


def _terminate(signum: int, frame: FrameType | None) -> None:
    _terminated.set()
    raise KeyboardInterrupt


def _options(args: argparse.Namespace) -> tuple[Options, str | None]:
    """The batch's read and write options, checked; and the outputs' extension (None: keep)."""
    from framewick.batch import Options
    from framewick.cli._common import output_format

    written = write_kwargs(args)
    ext = output_format(args.format)[1] if args.format else None
    return Options(**open_kwargs(args), **written), ext


def _dry_run(args: argparse.Namespace, ext: str | None) -> int:
    from framewick.batch import expand_inputs, plan

    planned, decided = plan(expand_inputs(args.inputs, recursive=args.recursive, out_dir=args.out_dir),
                            args.out_dir, suffix=ext, overwrite=args.overwrite)
    for job in planned:
        print(printable(f"write {job.source} -> {job.target}"
                        f"{' (replacing it)' if job.overwrite and _exists(job.target) else ''}"))
    for outcome in decided:
        word = "skip" if outcome.status == "skipped" else "fail"
        print(printable(f"{word} {outcome.source}: {outcome.reason}"))
    n = len(planned) + len(decided)
    skipped = sum(o.status == "skipped" for o in decided)
    print(f"{PROG} batch: dry run, nothing written; {n} picture{'s' if n != 1 else ''}: {len(planned)} to write, "
          f"{skipped} skipped, {len(decided) - skipped} refused (into {args.out_dir})", flush=True)
    return 0 if len(decided) == skipped else 1


def _client(address: str, command: str = "batch") -> Any:
    """A dask.distributed client of the scheduler at `address`; False (with one line said) when
    dask.distributed is missing or the scheduler cannot be reached."""
    import logging

    try:
        from distributed import Client
    except ImportError:
        fail(f"{PROG} {command}: --scheduler needs dask.distributed (Debian's python3-distributed)")
        return False
    # distributed logs each failed attempt to connect; the one line below says it all.
    logging.getLogger("distributed").setLevel(logging.CRITICAL)
    try:
        return Client(address, timeout=CONNECT_SECONDS, set_as_default=False)
    except (OSError, TimeoutError, ValueError, TypeError) as e:
        reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        fail(f"{PROG} {command}: cannot reach the scheduler at {address}: {reason}")
        return False


#: How long to wait for a scheduler to answer.
CONNECT_SECONDS = 10


def run_on_pool(args: argparse.Namespace, command: str, run: Callable[[Any], BatchResult]) -> BatchResult | int:
    """What `run` returns, given the executor of --scheduler's client (None: the local pool), a
    terminate signal stopping it as an interrupt; else the exit status, its line said: 1 when the
    scheduler cannot be reached, 130 interrupted, 143 terminated. A BatchError is a usage error."""
    from framewick.batch import BatchError, BatchInterrupted

    # A terminate signal stops the run like an interrupt: no half-written output stays.
    # (Signal handlers can only be set on the main thread.)
    main_thread = threading.current_thread() is threading.main_thread()
    client = _client(args.scheduler, command) if args.scheduler else None
    if client is False:
        return 1
    previous = signal.signal(signal.SIGTERM, _terminate) if main_thread else None
    try:
        return run(client.get_executor() if client else None)
    except BatchError as e:
        raise UsageError(str(e)) from None
    except BatchInterrupted as interrupted:
        terminated = _terminated.is_set() or interrupted.result.terminated
        fail(f"{PROG} {command}: {'terminated' if terminated else 'interrupted'}; {interrupted.result.summary()}")
        return 143 if terminated else 130
    finally:
        if main_thread:
            signal.signal(signal.SIGTERM, previous)
        if client:
            client.close()


def report_trouble(outcome: Outcome, said: Callable[[str], None], *, quiet: bool, debug: bool) -> None:
    """A failed picture's reason (its traceback too under --debug) on standard error; a skipped
    one's line unless quiet."""
    if outcome.status == "failed":
        fail(f"{outcome.source}: {outcome.reason}")
        if debug and outcome.traceback:
            sys.stderr.write(outcome.traceback)
            sys.stderr.flush()
    elif outcome.status == "skipped" and not quiet:
        said(printable(f"skipped {outcome.source}: {outcome.reason}"))


def _check_budget_formats(args: argparse.Namespace) -> None:
    """--max-bytes without --format: every output keeps its input's format, which must have a
    quality to choose (a usage error naming the first that has none)."""
    from framewick.batch import expand_inputs
    from framewick.cli._common import check_budget
    from framewick.photo.formats import format_of_path

    for source in expand_inputs(args.inputs, recursive=args.recursive, out_dir=args.out_dir):
        check_budget(args.max_bytes, format_of_path(source.path), f"the output of {source.path}")


def _exists(path: str) -> bool:
    return os.path.lexists(path)


def run(args: argparse.Namespace) -> int:
    from framewick.batch import BatchError, Outcome, run_batch
    from framewick.cli._targets import check_out_dir

    chain = with_quality(read_chain(args.steps), args.quality)
    from framewick.photo.planning import check_before, format_disagrees

    check_out_dir(args.out_dir)
    options, ext = _options(args)
    disagreement = format_disagrees(chain, options.format or None, f"--format {args.format}")
    if disagreement is not None:
        raise UsageError(f"{disagreement}; make them agree")
    check_before(chain, args.max_pixels, options.format, "--format " + args.format if args.format else "")
    debug = getattr(args, "debug", False)
    try:
        if options.max_bytes is not None and options.format is None:
            _check_budget_formats(args)
        if args.dry_run:
            return _dry_run(args, ext)
    except BatchError as e:
        raise UsageError(str(e)) from None
    echo = echo_for(args, data_on_stdout=args.json)
    bar = sys.stderr.isatty() and not args.no_progress
    said = (lambda text: print(text, file=sys.stderr, flush=True)) if args.json else \
        (lambda text: print(text, flush=True))

    def report(outcome: Outcome) -> None:
        if args.json:
            import json

            record = {"input": outcome.source, "output": outcome.target, "status": outcome.status,
                      "reason": outcome.reason or None, **outcome.record}
            print(json.dumps(record), flush=True)
        if outcome.output and args.verbose:  # each picture's status lines, on request
            echo(outcome.output)
        report_trouble(outcome, said, quiet=getattr(args, "quiet", False), debug=debug)

    if args.scheduler and args.jobs:
        raise UsageError("--jobs and --scheduler: the scheduler's workers run the batch; give one of them")
    result = run_on_pool(args, "batch", lambda executor: run_batch(
        args.inputs, args.out_dir, chain, executor, jobs=args.jobs, overwrite=args.overwrite, suffix=ext,
        recursive=args.recursive, options=options, progress=bar, on_outcome=report))
    if isinstance(result, int):
        return result
    said(f"{PROG} batch: {result.summary()} (into {args.out_dir})")
    return 0 if result.ok else 1
