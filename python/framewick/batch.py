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
file; a picture that fails is reported with its reason and the others go on.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from dataclasses import dataclass, field
from typing import Any, Literal

from framewick import FrameWick
from framewick._files import TEMP_PREFIX, atomic_save
from framewick._output import call_captured
from framewick.chain import Chain

__all__ = ["BatchInterrupted", "BatchResult", "Job", "Outcome", "error_line", "expand_inputs",
           "picture_extensions", "plan", "process_one", "run_batch"]

Status = Literal["written", "skipped", "failed"]


@dataclass(frozen=True)
class Job:
    """One picture to edit: where it comes from and where its result goes."""

    source: str
    target: str
    overwrite: bool = False


@dataclass(frozen=True)
class Outcome:
    """What became of one input: written, skipped or failed (with the reason), and its output."""

    source: str
    target: str | None
    status: Status
    reason: str = ""
    output: str = ""


@dataclass
class BatchResult:
    """The outcomes of a batch, in the order they finished."""

    outcomes: list[Outcome] = field(default_factory=list)

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
    def ok(self) -> bool:
        return not self.failed

    def summary(self) -> str:
        n = len(self.outcomes)
        return (f"{n} picture{'s' if n != 1 else ''}: {len(self.written)} written, "
                f"{len(self.skipped)} skipped, {len(self.failed)} failed")


class BatchInterrupted(KeyboardInterrupt):
    """The batch was interrupted; `result` holds what had finished (every output whole)."""

    def __init__(self, result: BatchResult) -> None:
        super().__init__("batch interrupted")
        self.result = result


def error_line(error: BaseException) -> str:
    """The one line that reports `error`: the library's own text, or one in its style."""
    text = str(error).strip().splitlines()[0] if str(error).strip() else ""
    if text.startswith("❌"):
        return text
    return f"❌ Error: {type(error).__name__}: {text}" if text else f"❌ Error: {type(error).__name__}"


def picture_extensions() -> frozenset[str]:
    """The file extensions Pillow reads or writes (lower case, with the dot)."""
    from PIL import Image

    Image.init()
    return frozenset(Image.registered_extensions())


def _pictures_in(directory: str, extensions: frozenset[str]) -> list[str]:
    names = sorted(os.listdir(directory))
    return [os.path.join(directory, n) for n in names
            if not n.startswith(".") and os.path.splitext(n)[1].lower() in extensions
            and os.path.isfile(os.path.join(directory, n))]


def expand_inputs(inputs: Iterable[str]) -> tuple[list[str], list[Outcome]]:
    """The pictures named by files, directories (their picture files) and glob patterns.

    A file is taken as given (a missing or unreadable one fails when it is loaded); a pattern
    that matches nothing is a failed outcome. Each picture appears once.
    """
    extensions = picture_extensions()
    found: list[str] = []
    problems: list[Outcome] = []
    for item in inputs:
        if os.path.isdir(item):
            found += _pictures_in(item, extensions)
        elif glob.has_magic(item):
            matches = sorted(glob.glob(item, recursive=True))
            if not matches:
                problems.append(Outcome(item, None, "failed", f"❌ Error: No file matches {item}"))
            for match in matches:
                if os.path.isdir(match):
                    found += _pictures_in(match, extensions)
                elif not os.path.basename(match).startswith(TEMP_PREFIX):
                    found.append(match)
        else:
            found.append(item)
    seen: set[str] = set()
    unique = []
    for path in found:
        real = os.path.realpath(path)
        if real not in seen:
            seen.add(real)
            unique.append(path)
    return unique, problems


def plan(sources: Sequence[str], out_dir: str, *, suffix: str | None = None,
         overwrite: bool = False) -> tuple[list[Job], list[Outcome]]:
    """One job per source, and the outcomes decided without running anything.

    An output is the source's name (with `suffix` as its extension, if given) in `out_dir`. It
    is refused when it would replace an input, even with `overwrite`, or when two sources would
    share it; it is skipped when it exists and `overwrite` is false.
    """
    inputs = {os.path.realpath(s) for s in sources}
    claimed: dict[str, str] = {}
    jobs: list[Job] = []
    decided: list[Outcome] = []
    for source in sources:
        stem, ext = os.path.splitext(os.path.basename(source))
        target = os.path.join(out_dir, stem + (suffix or ext))
        real = os.path.realpath(target)
        if real in inputs:
            decided.append(Outcome(source, target, "failed",
                                   f"❌ Error: The output {target} would overwrite an input"))
        elif real in claimed:
            decided.append(Outcome(source, target, "failed",
                                   f"❌ Error: {claimed[real]} is already written to {target}"))
        elif os.path.lexists(target) and not overwrite:
            claimed[real] = source
            decided.append(Outcome(source, target, "skipped", f"{target} exists (--overwrite replaces it)"))
        else:
            claimed[real] = source
            jobs.append(Job(source, target, overwrite))
    return jobs, decided


def process_one(job: Job, chain: Chain) -> Outcome:
    """Load one picture, run the chain on it and save it atomically (runs in a worker).

    Everything the library prints is collected into the outcome, so a worker's lines reach
    the caller whole and in order. An `Exception` fails this picture only; an interrupt
    propagates after the temporary file is gone.
    """
    lines: list[str] = []
    try:
        obj = call_captured(lines.append, FrameWick.load, job.source)
        chain.apply(obj, lines.append)
        if not job.overwrite and os.path.lexists(job.target):
            return Outcome(job.source, job.target, "skipped", f"{job.target} exists (written meanwhile)",
                           "".join(lines))
        atomic_save(obj, job.target, lines.append)
    except Exception as error:
        return Outcome(job.source, job.target, "failed", error_line(error), "".join(lines))
    return Outcome(job.source, job.target, "written", "", "".join(lines))


def _suffix(text: str | None) -> str | None:
    if not text:
        return None
    return text if text.startswith(".") else "." + text


def run_batch(inputs: Iterable[str], out_dir: str, chain: Chain | str | Sequence[Mapping[str, Any]],
              executor: Executor | None = None, *, jobs: int | None = None, overwrite: bool = False,
              suffix: str | None = None, progress: bool = False,
              on_outcome: Callable[[Outcome], None] | None = None,
              worker: Callable[[Job, Chain], Outcome] = process_one) -> BatchResult:
    """Run `chain` over the pictures named by `inputs`, writing the results into `out_dir`.

    `chain` is a `Chain`, its text form or its JSON form; it is checked before any picture is
    read (ChainError). `executor` is any `concurrent.futures.Executor` (a dask client's
    `get_executor()` runs the batch on a cluster); without one, a process pool of `jobs`
    workers (default: the machine's cores) is made and shut down here. `suffix` (e.g. ".jpg")
    changes the outputs' format. `progress` shows a tqdm bar on standard error; `on_outcome` is
    called for each outcome as it arrives. `worker` must be a module-level function so that it
    pickles. On an interrupt, pending pictures are cancelled, running ones finish or leave no
    file, and BatchInterrupted carries the partial result.
    """
    chain = Chain.coerce(chain)
    suffix = _suffix(suffix)
    sources, problems = expand_inputs(inputs)
    os.makedirs(out_dir, exist_ok=True)
    planned, decided = plan(sources, out_dir, suffix=suffix, overwrite=overwrite)
    result = BatchResult()
    bar: Any = None
    if progress:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

        bar = tqdm(total=len(problems) + len(decided) + len(planned), unit="picture", desc="framewick")

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

    for outcome in problems + decided:
        record(outcome)
    own = executor is None and bool(planned)
    pool: Executor | None = (ProcessPoolExecutor(max_workers=min(jobs or os.process_cpu_count() or 1, len(planned)))
                             if own else executor)
    futures: dict[Future[Outcome], Job] = {}
    try:
        if pool is not None:
            futures = {pool.submit(worker, job, chain): job for job in planned}
        for future in as_completed(futures):
            job = futures[future]
            try:
                outcome = future.result()
            except KeyboardInterrupt:
                raise
            except BaseException as error:  # a broken pool or a lost worker fails this picture only
                outcome = Outcome(job.source, job.target, "failed", error_line(error))
            record(outcome)
    except KeyboardInterrupt:
        for future in futures:
            future.cancel()
        raise BatchInterrupted(result) from None
    finally:
        if own and pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
        if bar is not None:
            bar.close()
    return result
