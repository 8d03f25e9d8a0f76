"""Batch: framewick's batch runner over 40 pictures on a process pool of 1 and of 2 workers.

Each pool is started and its workers have imported framewick before the clock starts, so the
figure is the batch itself. Runs with 1 and 2 workers alternate.
"""

import concurrent.futures
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402
import pictures  # noqa: E402

CHAIN = "preset:vintage | resize:800,600 | border:10 | compare | optimize:80"
COUNT = 40
SIZE = (1600, 1200)


def _warm(_):
    """Runs in a worker: the imports a picture needs, done before timing."""
    import time

    import framewick.batch  # noqa: F401
    from framewick import FrameWick  # noqa: F401
    time.sleep(0.05)  # long enough that every worker of the pool gets a task
    return os.getpid()


def cpu_seconds(pids):
    """User plus system CPU time of the given processes so far (Linux /proc), or None."""
    try:
        total = 0
        for pid in pids:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        return total / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return None


def inputs(out_dir):
    d = os.path.join(out_dir, "batch_in")
    os.makedirs(d, exist_ok=True)
    first = pictures.jpeg(d, *SIZE, name="p00.jpg")
    for i in range(1, COUNT):
        p = os.path.join(d, f"p{i:02d}.jpg")
        if not os.path.exists(p):
            shutil.copyfile(first, p)
    return d


def measure(out_dir, repeats):
    from framewick.batch import run_batch

    source = inputs(out_dir)
    pools, pids = {}, {}
    for workers in (1, 2):
        pool = concurrent.futures.ProcessPoolExecutor(max_workers=workers)
        pids[workers] = set(pool.map(_warm, range(4 * workers)))
        pools[workers] = pool
    cpu = {1: [], 2: []}

    def timed(workers):
        def run():
            target = os.path.join(out_dir, f"batch_out_{workers}")
            shutil.rmtree(target, ignore_errors=True)
            c0 = cpu_seconds(pids[workers])
            t0 = common.clock()
            result = run_batch([source], target, CHAIN, executor=pools[workers], suffix=".jpg")
            elapsed = common.clock() - t0
            c1 = cpu_seconds(pids[workers])
            assert len(result.written) == COUNT and result.ok, result.summary()
            if c0 is not None and c1 is not None:
                cpu[workers].append(c1 - c0)
            return elapsed
        return run

    try:
        rounds = common.interleaved({"1 worker": timed(1), "2 workers": timed(2)}, repeats, warmup=1)
        # The warm-up round's CPU times are dropped with its wall times.
        for workers in cpu:
            cpu[workers] = cpu[workers][-repeats:]
        return rounds, cpu, {w: len(p) for w, p in pids.items()}
    finally:
        for pool in pools.values():
            pool.shutdown()
