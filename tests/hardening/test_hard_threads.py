"""Threads: eight threads each run the chain of every method on their own objects, round after
round, while update checks run against a local index; no crash, and every chain's observations
(pictures after each step, refusals, results, the file written) equal those of the same chain run
alone, and the console got exactly the lines of all the chains and all the notices."""

import contextlib
import os
import re
import threading
from collections import Counter


import hard_chain
import hard_support as hs
from test_hard_index import Console, notice

SCALE = int(os.environ.get("FRAMEWICK_HARDENING_SCALE", "1"))
THREADS = 8
ROUNDS = 5 * SCALE


def untagged(texts):
    """The console's lines with each chain's own output file name made alike."""
    return Counter(re.sub(r"/[a-z0-9]+-out\.jpg", "/TAG-out.jpg", t) for t in texts)


def test_eight_threads_chaining_alongside_update_checks(served, tmp_path):
    served.expect_request("/pypi/framewick/json").respond_with_json(
        {"info": {"version": "2.0"}, "releases": {"2.0": [{"upload_time_iso_8601": "2024-03-01T12:34:56Z"}]}})
    updater = hs.module("updater")
    inputs = hard_chain.make_inputs(str(tmp_path))

    alone = Console()
    with contextlib.redirect_stdout(alone):
        reference = hard_chain.run_chain(str(tmp_path), "alone", inputs)
    chain_lines = untagged(alone.texts())

    console = Console()
    results, errors = {}, []
    checkers = []
    stop = threading.Event()

    def chains(n):
        try:
            results[n] = [hard_chain.run_chain(str(tmp_path), f"t{n}r{r}", inputs) for r in range(ROUNDS)]
        except BaseException as e:  # handed to the main thread
            errors.append(e)

    def checks():
        while not stop.is_set() and len(checkers) < 40:
            checkers.append(updater.FrameWickUpdater("framewick", "1.0.0").start_check())
            stop.wait(0.05)

    workers = [threading.Thread(target=chains, args=(n,)) for n in range(THREADS)]
    checking = threading.Thread(target=checks)
    before = set(threading.enumerate())
    with contextlib.redirect_stdout(console):
        checking.start()
        for w in workers:
            w.start()
        for w in workers:
            w.join(300)
        stop.set()
        checking.join(10)
        for t in set(threading.enumerate()) - before:
            t.join(10)
    assert not errors, errors
    assert not any(w.is_alive() for w in workers)
    assert sorted(results) == list(range(THREADS))
    for n, rounds in results.items():
        for r, seen in enumerate(rounds):
            assert seen == reference, f"thread {n}, round {r} differs from the chain run alone"
    expected = Counter()
    for _ in range(THREADS * ROUNDS):
        expected.update(chain_lines)
    expected.update(notice("2.0", "2024-03-01 12:34:56") * len(checkers))
    assert untagged(console.texts()) == expected
    assert checkers
