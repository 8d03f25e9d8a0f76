"""One chain over many pictures, in parallel: on a process pool, or on any Executor.

`run_batch` takes files, directories and glob patterns, plans one output per picture in the
output directory, and runs `process_one` for each on a `concurrent.futures.Executor`: by default
a process pool over the machine's cores; a dask.distributed client's executor runs the same
batch on a cluster::

    from dask.distributed import Client
    from framewick.batch import run_batch

    with Client("tcp://scheduler:8786") as client:
        result = run_batch(["photos/"], "out", "preset:noir | resize:640,480",
                           executor=client.get_executor())

Rules, whatever the executor: an input is never overwritten (an output that would land on an
input is refused); an output that exists is skipped unless `overwrite`; every output is written
to a temporary file beside it and renamed into place, so an interrupted run leaves no truncated
file; a picture that fails is reported with its reason and the others go on. A batch that
cannot start as asked (an input that matches nothing, two inputs for one output) raises
`BatchError` before any picture is read.

On the pool made here (`framewick._pool`), the workers are started once and keep the chain and
the options they were started with; each picture is sent to an idle worker by path and only its
outcome comes back, so no picture crosses between processes. A worker that dies (killed by the
kernel for memory, or by a signal) fails the picture it had, naming the cause, and a fresh
worker takes the pictures not yet done. A worker turns SIGINT and SIGTERM into an exception
(the atomic write removes its temporary file) and starts no picture after one; the caller stops
the batch when it is interrupted or when a worker was. No worker outlives the batch.
"""

from __future__ import annotations

import functools
import glob
import os
import signal
import sys
import threading
import traceback
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import Executor, Future, as_completed
from concurrent.futures import wait as wait_futures
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal

from framewick._files import TEMP_PREFIX
from framewick._output import call_captured
from framewick.status import error_line

if TYPE_CHECKING:
    from framewick._pool import Event, Pool
    from framewick.chain import Chain

__all__ = ["BatchError", "BatchInterrupted", "BatchResult", "Job", "Options", "Outcome", "Source",
           "error_line", "expand_inputs", "picture_class", "picture_extensions", "plan", "process_one", "run_batch"]

#: What became of a picture. "interrupted": stopped while it was being edited (nothing
#: written); "not started": the batch stopped before it.
Status = Literal["written", "skipped", "failed", "interrupted", "not started"]

#: Temporary files start with this (the atomic write's prefix), and are never inputs.


class BatchError(ValueError):
    """A batch that cannot start as asked; raised before any picture is read."""


@dataclass(frozen=True)
class Options:
    """How every picture of a batch is read and written: the photo layer's keywords.

    `format` is Pillow's format name (None: each output's extension decides).
    """

    orient: bool = True
    exact: bool = False
    max_pixels: int | None = None
    raw: str | None = None
    format: str | None = None
    strip: bool = False
    background: str = "white"
    srgb: bool = False
    #: Write the highest quality whose file fits in this many bytes (None: the quality as set).
    max_bytes: int | None = None
    depth: int | None = None
    keep: tuple[str, ...] | None = None  # metadata groups, as write's keep= and drop=
    drop: tuple[str, ...] = ()
    sdr: bool = False


@dataclass(frozen=True)
class Source:
    """An input picture and the output path it keeps, relative to the output directory."""

    path: str
    relative: str


@dataclass(frozen=True)
class Job:
    """One picture to edit: where it comes from and where its result goes."""

    source: str
    target: str
    overwrite: bool = False


@dataclass(frozen=True)
class Outcome:
    """What became of one input, its output, the reason if it was not written, what the library
    printed for it, and for a failure the formatted traceback (from the worker)."""

    source: str
    target: str | None
    status: Status
    reason: str = ""
    output: str = ""
    traceback: str = ""
    #: What a worker tells of the file it wrote (for a budget: the quality chosen, the bytes).
    record: Mapping[str, Any] = field(default_factory=dict)


@dataclass
class BatchResult:
    """The outcomes of a batch, in the order they finished; after an interrupt, also the
    pictures that were never started (`not_started`)."""

    outcomes: list[Outcome] = field(default_factory=list)
    interrupted: bool = False
    terminated: bool = False  # the interrupt was SIGTERM (to the workers)

    def of(self, status: Status) -> list[Outcome]:
        return [o for o in self.outcomes if o.status == status]

    @property
    def written(self) -> list[Outcome]:
        return self.of("written")

    @property
    def skipped(self) -> list[Outcome]:
        return self.of("skipped")

    @property
    def failed(self) -> list[Outcome]:
        return self.of("failed")

    @property
    def not_started(self) -> list[Outcome]:
        return self.of("not started")

    @property
    def ok(self) -> bool:
        return not self.failed and not self.interrupted

    def summary(self) -> str:
        n = len(self.outcomes)
        text = (f"{n} picture{'s' if n != 1 else ''}: {len(self.written)} written, "
                f"{len(self.skipped)} skipped, {len(self.failed)} failed")
        if self.interrupted:
            stopped = len(self.of("interrupted"))
            if stopped:
                text += f", {stopped} interrupted"
            text += f", {len(self.not_started)} not started"
        return text


class BatchInterrupted(KeyboardInterrupt):
    """The batch was interrupted; `result` holds what had finished (every output whole)."""

    def __init__(self, result: BatchResult) -> None:
        super().__init__("batch interrupted")
        self.result = result


@functools.cache
def picture_extensions() -> frozenset[str]:
    """The file extensions Pillow reads or writes (lower case, with the dot); asked for only when
    a directory is listed, since it loads every one of Pillow's format plugins."""
    from PIL import Image

    from framewick import formats

    formats.install()
    Image.init()
    return frozenset(Image.registered_extensions())


# ---------------------------------------------------------------------------------------------
# Inputs and the plan


def _listed(name: str) -> bool:
    return not name.startswith(".")


def _pictures_in(root: str, recursive: bool, prefix: str, skip: frozenset[str]) -> list[Source]:
    """The picture files under `root` (its own files, or its whole tree), each with its path
    relative to `root` behind `prefix`. Hidden names and the directories in `skip` (the
    output directory, when it lies inside the tree) are left out."""
    extensions = picture_extensions()
    found = []
    for directory, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if _listed(d) and os.path.realpath(os.path.join(directory, d)) not in skip)
        for name in sorted(files):
            path = os.path.join(directory, name)
            if _listed(name) and os.path.splitext(name)[1].lower() in extensions and os.path.isfile(path):
                found.append(Source(path, os.path.normpath(os.path.join(prefix, os.path.relpath(path, root)))))
        if not recursive:
            break
    return found


def _fixed_part(pattern: str) -> str:
    """The directory a glob pattern starts from: its leading components without wildcards."""
    parts = pattern.split(os.sep)
    fixed = []
    for part in parts[:-1]:
        if glob.has_magic(part):
            break
        fixed.append(part)
    return os.sep.join(fixed) or ("/" if pattern.startswith(os.sep) else ".")


def _glob(pattern: str) -> list[str]:
    """What a pattern matches, as glob.glob with '**' does, except that '**' does not follow a
    symbolic link to a directory (one that leads back into the walk would never end). A pattern
    without '**' matches at most one level per wildcard, so it cannot loop and is glob's own."""
    if "**" not in pattern:
        return glob.glob(pattern)
    import re

    parts = pattern.split(os.sep)
    literal = []
    for part in parts[:-1]:
        if glob.has_magic(part):
            break
        literal.append(part)
    fixed = os.sep.join(literal) + os.sep if literal else ""
    match = re.compile(glob.translate(pattern, recursive=True, include_hidden=False)).match
    found = [fixed.rstrip(os.sep)] if fixed and match(fixed) else []
    for directory, dirs, files in os.walk(fixed or os.curdir):  # symbolic links to directories: not entered
        dirs[:] = [d for d in dirs if _listed(d)]
        for name in dirs + files:
            path = os.path.join(directory, name)
            if not fixed:
                path = path[len(os.curdir + os.sep):]
            if match(path):
                found.append(path)
    return found


def expand_inputs(inputs: Iterable[str], *, recursive: bool = False, out_dir: str | None = None) -> list[Source]:
    """The pictures named by files, directories and glob patterns, each with the output path it
    keeps.

    A file is taken as given and keeps its name. A directory gives its picture files, or with
    `recursive` every picture file in its tree, each keeping its path inside the directory
    (`out_dir`, when it lies inside the tree, is not walked). A pattern gives what it matches
    (temporary files aside); with `recursive`, a match keeps its path from the pattern's fixed
    leading directories, and a matched directory gives its tree. Only regular files are
    pictures: a FIFO, socket or device a pattern matches is left out, and one named raises
    BatchError, as do a path that does not exist and a pattern that matches nothing. Symbolic
    links to directories are not followed by '**' or inside a directory's tree (a link named,
    or matched by a pattern, is read). Each picture appears once.
    """
    skip = frozenset({os.path.realpath(out_dir)}) if out_dir else frozenset()
    found: list[Source] = []
    for item in inputs:
        if glob.has_magic(item) and not os.path.lexists(item):
            matches = sorted(_glob(item))
            if not matches:
                raise BatchError(f"{item}: no file matches")
            base = _fixed_part(item)
            for match in matches:
                rel = os.path.relpath(match, base) if recursive else os.path.basename(match)
                if os.path.isdir(match):
                    found += _pictures_in(match, recursive, rel if recursive else "", skip)
                elif os.path.isfile(match) and not os.path.basename(match).startswith(TEMP_PREFIX):
                    found.append(Source(match, rel))  # a FIFO, socket or device is no picture
        elif os.path.isdir(item):
            found += _pictures_in(item, recursive, "", skip)
        elif os.path.lexists(item):
            from framewick._limits import not_regular

            what = not_regular(item)
            if what:
                raise BatchError(f"{item}: {what}, not a picture file")
            found.append(Source(item, os.path.basename(item)))
        else:
            raise BatchError(f"{item}: no such file or directory")
    seen: set[str] = set()
    unique = []
    for source in found:
        real = os.path.realpath(source.path)
        if real not in seen:
            seen.add(real)
            unique.append(source)
    return unique


def plan(sources: Sequence[Source | str], out_dir: str, *, suffix: str | None = None,
         overwrite: bool = False) -> tuple[list[Job], list[Outcome]]:
    """One job per source, and the outcomes decided without running anything.

    An output is the source's relative path (with `suffix` as its extension, if given) under
    `out_dir`. It is refused (a failed outcome) when it would replace an input, even with
    `overwrite`; it is skipped when it exists and `overwrite` is false. Two sources that would
    share an output raise BatchError naming both.
    """
    items = [s if isinstance(s, Source) else Source(s, os.path.basename(s)) for s in sources]
    inputs = {os.path.realpath(s.path) for s in items}
    claimed: dict[str, str] = {}
    jobs: list[Job] = []
    decided: list[Outcome] = []
    for source in items:
        stem, ext = os.path.splitext(source.relative)
        target = os.path.join(out_dir, stem + (suffix or ext))
        real = os.path.realpath(target)
        if real in claimed:
            raise BatchError(f"{claimed[real]} and {source.path} would both be written to {target}")
        claimed[real] = source.path
        if real in inputs:
            decided.append(Outcome(source.path, target, "failed",
                                   f"❌ Error: The output {target} would overwrite an input"))
        elif os.path.lexists(target) and not overwrite:
            decided.append(Outcome(source.path, target, "skipped", f"{target} exists (--overwrite replaces it)"))
        else:
            jobs.append(Job(source.path, target, overwrite))
    return jobs, decided


# ---------------------------------------------------------------------------------------------
# One picture


def process_one(job: Job, chain: Chain, options: Options | None = None) -> Outcome:
    """Open one picture, run the chain on it and write it atomically (runs in a worker).

    Everything the library prints is collected into the outcome, so a worker's lines reach
    the caller whole and in order. A step that reports failure only by a status line fails the
    picture and nothing is written. An `Exception` fails this picture only (its traceback goes
    with the outcome); an interrupt propagates after the temporary file is gone.
    """
    from framewick import _limits
    from framewick.photo import write_photo
    from framewick.photo.planning import Plan, output_format_of
    from framewick.steps import ChainError

    opts = options or Options()
    lines: list[str] = []
    try:
        plan = Plan.make(chain, fmt=output_format_of(opts.format, job.target), what=job.target,
                         max_pixels=opts.max_pixels, where=f"the output {job.target!r}",
                         depth=8 if opts.depth == 8 else None)  # --depth 8: nothing read at depth
        # Opened here, as a regular file only: a FIFO or a device named as a picture cannot stall a worker.
        with _limits.open_regular(job.source) as fp:
            obj = plan.open(fp, job.source, lines.append, cls=picture_class(chain), exact=opts.exact,
                            orient=opts.orient, raw=opts.raw)
        plan.run(obj, lines.append, owned=True)  # a picture that fails is dropped whole
        if not job.overwrite and os.path.lexists(job.target):
            return Outcome(job.source, job.target, "skipped", f"{job.target} exists (written meanwhile)",
                           "".join(lines))
        fits: list[Any] = []
        write_photo(obj, job.target, format=opts.format, strip=opts.strip, background=opts.background,
                    srgb=opts.srgb, echo=lines.append, max_bytes=opts.max_bytes, on_fit=fits.append,
                    depth=opts.depth, keep=opts.keep, drop=opts.drop, sdr=opts.sdr)
    except Exception as error:
        if isinstance(error, ChainError):  # the sizes the chain makes on this picture
            error = _limits.LimitError(f"❌ Error: {job.source}: {error}")
        return Outcome(job.source, job.target, "failed", error_line(error), "".join(lines),
                       "".join(traceback.format_exception(error)))
    from framewick.photo.subject import crops_record

    return Outcome(job.source, job.target, "written", "", "".join(lines),
                   record=(fits[-1].record() if fits else {}) | crops_record(obj))


Worker = Callable[[Job, "Chain", Options], Outcome]


def picture_class(chain: Chain) -> type:
    """A class combining only the mixins `chain` calls (and Storage), so that a worker imports
    only those modules; `framewick.FrameWick` for a step that is not declared."""
    from framewick.photo.classes import class_for

    return class_for(chain)


# ---------------------------------------------------------------------------------------------
# The workers of the pool made here: started once, each picture sent to one by path


class _WorkerState:
    chain: Any = None
    options: Options = Options()
    worker: Worker = process_one


_state = _WorkerState()


def _start_worker(chain: Chain, options: Options, worker: Worker) -> None:
    """A worker's start: keep what every picture needs."""
    _state.chain, _state.options, _state.worker = chain, options, worker


def _run_one(job: Job) -> Outcome:
    """One picture in a worker (a signal that stops it is the pool's to report)."""
    return _state.worker(job, _state.chain, _state.options)


def _not_started(job: Job, status: Status = "not started") -> Outcome:
    return Outcome(job.source, job.target, status, "the batch was interrupted")


def _pool_context() -> Any:
    """How the pool's workers are made: forked where that is safe (Linux, no other thread in
    this process), so they start with what this process imported; else the platform default."""
    import multiprocessing

    if sys.platform.startswith("linux") and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context()


# ---------------------------------------------------------------------------------------------
# The batch


def _format(name: str | None) -> tuple[str | None, str | None]:
    """(Pillow's format name, extension) for a format name as people type it (None: keep)."""
    if not name:
        return None, None
    from framewick.photo import output_format

    return output_format(name)


def _check_fields(opts: Options) -> None:
    """Refuse metadata groups that are not groups, or that this build cannot choose, before
    any picture is read (BatchError)."""
    from framewick.photo import fields

    try:
        fields.check_available(fields.Choice.of(opts.keep, opts.drop))
    except ValueError as e:
        raise BatchError(str(e).removeprefix("❌ Error: ")) from None


def run_batch(inputs: Iterable[str], out_dir: str, chain: Chain | str | Sequence[Mapping[str, Any]],
              executor: Executor | None = None, *, jobs: int | None = None, overwrite: bool = False,
              format: str | None = None, suffix: str | None = None, recursive: bool = False,
              options: Options | None = None, progress: bool = False,
              on_outcome: Callable[[Outcome], None] | None = None,
              worker: Worker = process_one, outputs: str | None = None) -> BatchResult:
    """Run `chain` over the pictures named by `inputs`, writing the results into `out_dir`.

    `chain` is a `Chain`, its text form or its JSON form; it is checked before any picture is
    read (ChainError), and so are the inputs and the outputs they would write (BatchError).
    `executor` is any `concurrent.futures.Executor` (a dask client's `get_executor()` runs the
    batch on a cluster), given the chain with every picture; without one, a process pool of
    `jobs` workers (default: the machine's cores) is made and shut down here, its workers given
    the chain once. `format` (a name such as "jpg", "JPEG" or ".webp"; `suffix` is the same)
    changes the outputs' format and extension, `recursive` walks directories and keeps their
    tree under `out_dir`, and `options` says how pictures are read and written. `progress` shows
    a tqdm bar on standard error; `on_outcome` is called for each outcome as it arrives.
    `worker(job, chain, options)` must be a module-level function so that it pickles. On an
    interrupt, no further picture is started, running ones finish or leave no file, and
    BatchInterrupted carries the result (with the pictures not started). `outputs` gives each
    job's target this extension instead, for a worker that writes something other than one
    picture there (framewick.srcset: a page beside its files); `format` is then not used.
    """
    from framewick.chain import Chain

    chain = Chain.coerce(chain)
    pil_format, ext = (None, outputs) if outputs else _format(format or suffix)
    opts = options or Options()
    if pil_format:
        opts = Options(**{**opts.__dict__, "format": pil_format})
    _check_fields(opts)
    sources = expand_inputs(inputs, recursive=recursive, out_dir=out_dir)
    planned, decided = plan(sources, out_dir, suffix=ext, overwrite=overwrite)
    os.makedirs(out_dir, exist_ok=True)
    for directory in sorted({os.path.dirname(job.target) for job in planned}):
        os.makedirs(directory, exist_ok=True)
    result = BatchResult()
    bar: Any = None

    def record(outcome: Outcome) -> None:
        result.outcomes.append(outcome)
        if on_outcome is not None:
            if bar is not None:
                with bar.external_write_mode():
                    on_outcome(outcome)
            else:
                on_outcome(outcome)
        if bar is not None:
            bar.update(1)

    own = executor is None and bool(planned)
    pool: Pool | None = None
    if own:
        # Made before the progress bar, whose monitor is a thread.
        from framewick._pool import Pool

        context = _pool_context()
        if context.get_start_method() == "fork" and worker is process_one:
            # Forked workers start with what is imported here: import once what each picture
            # needs (reading, running, writing; ctypes for the worker's tie to its parent),
            # not once in each worker.
            import ctypes  # noqa: F401

            from PIL import features  # noqa: F401  (asked which libjpeg decodes at 3/8)

            from framewick.photo import deepread, planning, reading, running, subject, writing  # noqa: F401

            picture_class(chain)
            # Each kind of output's writer: Pillow loads its plugin as the format is looked up.
            for target in {os.path.splitext(job.target)[1].lower(): job.target for job in planned}.values():
                try:
                    planning.output_format_of(opts.format, target)
                except ValueError:
                    pass  # the worker fails those pictures with the reason
        pool = Pool(min(jobs or os.process_cpu_count() or 1, len(planned)), context, _run_one,
                    _start_worker, (chain, opts, worker))
        pool.start(planned)
    if progress:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

        bar = tqdm(total=len(decided) + len(planned), unit="picture", desc="framewick")

    for outcome in decided:
        record(outcome)
    try:
        if pool is not None:
            _run_on_pool(pool, planned, result, record)
        elif executor is not None:
            _run_on_executor(executor, planned, chain, opts, worker, result, record)
    finally:
        if pool is not None:
            pool.close()
        if bar is not None:
            bar.close()
    return result


def _run_on_pool(pool: Pool, planned: Sequence[Job], result: BatchResult,
                 record: Callable[[Outcome], None]) -> None:
    """Run the planned jobs on the pool made here, recording each outcome as it comes.

    A worker that dies fails its picture with the cause, and a fresh worker takes the pictures
    not yet done. A signal that reaches a worker, or an interrupt here, stops the batch: no
    further picture is started, the running ones finish or are stopped, and BatchInterrupted
    carries the result.
    """
    done: set[int] = set()
    interrupts = 0

    def take(event: Event) -> None:
        if event.index is None:
            if event.kind == "stopped":
                result.interrupted = True
                result.terminated |= event.value == signal.SIGTERM
            return
        job = planned[event.index]
        if event.kind == "done":
            outcome = event.value
        elif event.kind == "died":
            from framewick._files import remove_leftovers

            remove_leftovers(job.target)  # a worker killed outright could not remove its temporary file
            outcome = Outcome(job.source, job.target, "failed", f"❌ Error: {event.value}")
        elif event.kind == "failed":
            outcome = Outcome(job.source, job.target, "failed", f"❌ Error: {event.value.strip().splitlines()[-1]}",
                              "", event.value)
        else:  # stopped by a signal while it ran
            result.interrupted = True
            result.terminated |= event.value == signal.SIGTERM
            outcome = _not_started(job, "interrupted")
        done.add(event.index)
        record(outcome)
        if outcome.status in ("interrupted", "not started"):
            result.interrupted = True  # a worker was stopped: the batch stops too
            pool.stop()

    while not pool.finished:
        try:
            for event in pool.wait():
                take(event)
        except KeyboardInterrupt:
            interrupts += 1
            result.interrupted = True
            pool.stop()
            if interrupts > 1:
                pool.terminate()  # asked again: the running pictures are stopped, not awaited
    if result.interrupted:
        for index, job in enumerate(planned):
            if index not in done:
                record(_not_started(job, "interrupted" if index in pool.dispatched else "not started"))
        raise BatchInterrupted(result)


def _run_on_executor(executor: Executor, planned: Sequence[Job], chain: Chain, opts: Options, worker: Worker,
                     result: BatchResult, record: Callable[[Outcome], None]) -> None:
    """Run the planned jobs on the caller's executor, one task per picture."""
    futures: dict[Future[Any], list[Job]] = {}
    try:
        futures = {executor.submit(worker, job, chain, opts): [job] for job in planned}
        for future in as_completed(futures):
            for outcome in _outcomes_of(future, futures[future]):
                record(outcome)
                if outcome.status in ("interrupted", "not started"):
                    raise KeyboardInterrupt  # a worker was stopped: the batch stops too
    except KeyboardInterrupt:
        _finish_interrupted(futures, result, record)
        raise BatchInterrupted(result) from None


def _outcomes_of(future: Future[Any], jobs: list[Job], stopping: bool = False) -> list[Outcome]:
    """What a finished task gives: its outcomes, or one per job for a task that raised (a broken
    pool or a lost worker fails its pictures only; while stopping they count as not started)."""
    try:
        value = future.result()
    except KeyboardInterrupt:
        if stopping:
            return [_not_started(job, "interrupted") for job in jobs]
        raise
    except BaseException as error:
        if stopping:
            return [_not_started(job) for job in jobs]
        text = error_line(error)
        tb = "".join(traceback.format_exception(error))
        return [Outcome(job.source, job.target, "failed", text, "", tb) for job in jobs]
    return list(value) if isinstance(value, list) else [value]


def _finish_interrupted(futures: Mapping[Future[Any], list[Job]], result: BatchResult,
                        record: Callable[[Outcome], None]) -> None:
    """Stop the batch: cancel what has not started, take in what finishes, count the rest."""
    result.interrupted = True
    recorded = {(o.source, o.target) for o in result.outcomes}
    running = [f for f in futures if not f.cancel() and not f.done()]
    try:
        wait_futures(running)
    except KeyboardInterrupt:
        pass  # a second interrupt: what is still running is left to the pool's shutdown
    for future, jobs in futures.items():
        if future.cancelled() or not future.done():
            outcomes = [_not_started(job) for job in jobs]
        else:
            outcomes = _outcomes_of(future, jobs, stopping=True)
        for outcome in outcomes:
            if (outcome.source, outcome.target) not in recorded:
                record(outcome)
