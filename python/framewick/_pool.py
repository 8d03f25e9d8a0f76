"""Worker processes a batch can lose: each fed one task at a time over a pipe of its own.

A worker that dies (killed by the kernel for memory, or by any signal) costs only the task it
was running: the pool reports that task with the cause, and starts a fresh worker for the tasks
not yet done. Workers share no lock or queue, so one killed at any instant cannot block the
others or the parent. No worker outlives the pool: `close` sends each away, then terminates and
at last kills what stays; on Linux the kernel sends SIGTERM to every worker whose parent died,
whatever killed it.

A worker turns SIGINT and SIGTERM into `Stopped`: while it runs a task, so that the task's own
cleanup runs (the atomic write removes its temporary file), and at once while it waits for one.
It then reports the signal and ends, starting no further task.
"""

from __future__ import annotations

import collections
import signal
import sys
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, Literal

#: What happened to a task: its result, its worker's death, or a signal that stopped it (the
#: task is None when the worker was waiting); "failed" when the task raised in the worker.
Kind = Literal["done", "died", "stopped", "failed"]


@dataclass(frozen=True)
class Event:
    kind: Kind
    index: int | None
    value: Any = None  # the result; the cause of a death; the signal number; the error's text


class Stopped(BaseException):
    """SIGINT or SIGTERM reached a worker while it ran a task or waited for one."""


def death_cause(exitcode: int | None) -> str:
    """How a worker ended, in words: "worker died: killed by signal 9 (out of memory?)"."""
    if exitcode is None:
        return "worker died"
    if exitcode < 0:
        number = -exitcode
        try:
            name = signal.Signals(number).name
        except ValueError:
            name = ""
        why = "out of memory?" if number == signal.SIGKILL else name
        return f"worker died: killed by signal {number}" + (f" ({why})" if why else "")
    return f"worker died: exit status {exitcode}"


# ---------------------------------------------------------------------------------------------
# In the worker


class _State:
    signum = 0  # the first SIGINT or SIGTERM that arrived
    busy = False  # running a task: a signal raises Stopped
    waiting = False  # waiting for a task: a signal raises Stopped


_state = _State()


def _on_signal(signum: int, frame: Any) -> None:
    # Only the first signal raises: a second one must not cut the first one's cleanup short.
    if _state.signum:
        return
    _state.signum = signum
    if _state.busy or _state.waiting:
        raise Stopped(signum)


def _die_with_parent() -> None:
    """Have the kernel send SIGTERM to this process when its parent ends (Linux)."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes
    import os

    try:
        libc = ctypes.CDLL(None, use_errno=True)
        parent = os.getppid()
        libc.prctl(1, int(signal.SIGTERM), 0, 0, 0)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        return
    if os.getppid() != parent:  # the parent was already gone
        os.kill(os.getpid(), signal.SIGTERM)


def _keep_freed_memory() -> Callable[[], None]:
    """Have this worker's C allocator (glibc's) keep what a task frees for the next task, rather
    than hand it back to the system and fault it in afresh: blocks up to 32 MiB come from the
    heap, and up to 64 MiB free at its top is kept. A picture's buffers are megabytes each, and
    on a virtual machine a fresh page's fault costs about 20 us (measured: 16,384 of them in
    0.32 s), so a worker faulted in some 7,000 pages for its first two 12 MP JPEGs and 4,000
    with this. What the worker holds at its peak is the same. Returns what sets them again
    before each task: a RAW development puts glibc's own settings back when it is done."""
    if not sys.platform.startswith("linux"):
        return lambda: None
    import ctypes
    import os

    try:
        if not os.confstr("CS_GNU_LIBC_VERSION"):
            return lambda: None
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, ValueError, AttributeError):
        return lambda: None

    def keep() -> None:
        mallopt(-3, 32 << 20)  # M_MMAP_THRESHOLD
        mallopt(-1, 64 << 20)  # M_TRIM_THRESHOLD

    keep()
    return keep


def _serve(conn: Any, initializer: Callable[..., None] | None, initargs: tuple[Any, ...],
           call: Callable[[Any], Any]) -> None:
    """A worker's life: take a task, run `call` on it, send the result back, until told to
    stop (None), the parent goes away, or a signal comes."""
    signal.signal(signal.SIGINT, _on_signal)
    signal.signal(signal.SIGTERM, _on_signal)
    _die_with_parent()
    keep_freed = _keep_freed_memory()
    if initializer is not None:
        initializer(*initargs)
    index = None
    try:
        while not _state.signum:
            index = None
            try:
                _state.waiting = True
                message = conn.recv()
            finally:
                _state.waiting = False
            if message is None:
                return
            index, task = message
            keep_freed()
            try:
                try:
                    _state.busy = True
                    result = call(task)
                finally:
                    _state.busy = False
            except Stopped:
                break
            except Exception as error:  # the caller's function should not raise; if it does, say so
                import traceback

                conn.send(("failed", index, "".join(traceback.format_exception(error))))
                continue
            conn.send(("done", index, result))
            index = None
    except (Stopped, EOFError, OSError):
        pass
    if _state.signum:
        try:
            conn.send(("stopped", index, _state.signum))
        except (OSError, ValueError):
            pass


# ---------------------------------------------------------------------------------------------
# In the parent


@dataclass
class _Worker:
    process: Any
    conn: Any
    index: int | None = None  # the task it runs
    stopped: bool = False  # it said a signal stopped it


class Pool:
    """`size` worker processes made by `context`, each running `initializer(*initargs)` once,
    then `call(task)` for one task at a time.

    `start(tasks)` queues the tasks; `wait()` hands out tasks to idle workers, waits for
    something to happen and returns what did (see Event); `finished` tells when no task is
    running and none can be started. `stop()` starts no further task; `pending()` then names
    the tasks never started. A worker that dies is replaced while tasks remain.
    """

    def __init__(self, size: int, context: Any, call: Callable[[Any], Any],
                 initializer: Callable[..., None] | None = None, initargs: tuple[Any, ...] = ()) -> None:
        self.size = max(1, size)
        self.context = context
        self.call = call
        self.initializer = initializer
        self.initargs = initargs
        self.workers: dict[Any, _Worker] = {}
        self.queue: collections.deque[tuple[int, Any]] = collections.deque()
        self.dispatched: set[int] = set()
        self.stopping = False

    def _spawn(self) -> _Worker:
        parent, child = self.context.Pipe()
        process = self.context.Process(target=_serve, args=(child, self.initializer, self.initargs, self.call),
                                       daemon=True, name="framewick-worker")
        try:
            process.start()
        finally:
            child.close()  # the worker's end lives in the worker alone, so its death closes the pipe
        worker = _Worker(process, parent)
        self.workers[parent] = worker
        return worker

    def start(self, tasks: Iterable[Any]) -> None:
        """Queue `tasks` (numbered from 0 in order) and start the workers they need."""
        self.queue.extend(enumerate(tasks))
        for _ in range(min(self.size, len(self.queue)) - len(self.workers)):
            self._spawn()
            self._dispatch()  # its first task goes now: it starts while the next worker is made

    @property
    def finished(self) -> bool:
        running = any(w.index is not None for w in self.workers.values())
        return not running and (self.stopping or not self.queue)

    def stop(self) -> None:
        self.stopping = True

    def pending(self) -> list[int]:
        """The tasks not yet handed to a worker."""
        return [index for index, _ in self.queue]

    def _dispatch(self) -> None:
        for worker in list(self.workers.values()):
            if self.stopping or not self.queue:
                return
            if worker.index is None and not worker.stopped:
                index, task = self.queue[0]
                try:
                    worker.conn.send((index, task))
                except OSError:
                    continue  # the worker is gone; wait() reports it
                self.queue.popleft()
                worker.index = index
                self.dispatched.add(index)

    def wait(self, timeout: float | None = None) -> list[Event]:
        """Hand out tasks, then wait (at most `timeout` seconds) and return what happened."""
        from multiprocessing.connection import wait as wait_for

        self._dispatch()
        events: list[Event] = []
        if not self.workers:
            if self.queue and not self.stopping:
                self._spawn()
                self._dispatch()
            else:
                return events
        for conn in wait_for(list(self.workers), timeout):
            worker = self.workers[conn]
            try:
                kind, index, value = conn.recv()
            except (EOFError, OSError):
                events += self._lost(worker)
                continue
            if kind == "stopped":
                worker.stopped = True
                self.stopping = True
                worker.index = None
            else:
                worker.index = None
            events.append(Event(kind, index, value))
        return events

    def _lost(self, worker: _Worker) -> list[Event]:
        """A worker's pipe closed: it ended. Its task, if any, died with it."""
        del self.workers[worker.conn]
        worker.conn.close()
        worker.process.join(5)
        if worker.process.is_alive():
            worker.process.kill()
            worker.process.join()
        events = []
        if worker.index is not None:
            cause = death_cause(worker.process.exitcode)
            events.append(Event("died", worker.index, cause))
        if self.queue and not self.stopping and len(self.workers) < self.size:
            self._spawn()  # a fresh worker for what is not yet done
        return events

    def terminate(self) -> None:
        """Send SIGTERM to every worker: each stops its task as it would on the user's signal."""
        for worker in self.workers.values():
            if worker.process.is_alive():
                worker.process.terminate()

    def close(self, grace: float = 10.0) -> None:
        """End every worker: told to go, then terminated after `grace` seconds, then killed."""
        import time

        for worker in self.workers.values():
            try:
                worker.conn.send(None)
            except (OSError, ValueError):
                pass
        deadline = time.monotonic() + grace
        try:
            for worker in self.workers.values():
                worker.process.join(max(0.0, deadline - time.monotonic()))
        except KeyboardInterrupt:
            pass  # asked again to stop: what is left is terminated below
        for worker in self.workers.values():
            if worker.process.is_alive():
                worker.process.terminate()
                worker.process.join(5)
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
            worker.conn.close()
        self.workers.clear()
