"""Reference and memory leaks: every framewick function called many thousand times, with
arguments it takes and with arguments it refuses, on a stand-in picture; afterwards the
reference counts of everything the calls touch (arguments, defaults, results, the modules'
constants, globals and cached builtins) are what they were, and so are the interpreter's
allocated blocks, tracemalloc's traced memory and the resident set. The same for repeated and
for failed imports, in fresh interpreters.

FRAMEWICK_HARDENING_SCALE multiplies the iteration counts (`make soak`).
"""

import builtins
import contextlib
import decimal
import gc
import json
import os
import sys
import tracemalloc

import pytest

import hard_support as hs

SCALE = int(os.environ.get("FRAMEWICK_HARDENING_SCALE", "1"))
# Under a sanitizer runtime freed memory sits in quarantine: the resident set says nothing then
# (reference counts and traced memory still do).
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
RSS_SLACK = float("inf") if SANITIZED else 1024 * 1024
ROUNDS = 300 * SCALE        # calls of each argument set, per function
WARM_UP = 30

FUNCS = hs.catalogue()

GOOD_TEXT = {
    "target_mode": "rgb", "target_format": " .Jpg ", "filename": "out.png", "preset_name": "Noir",
    "direction": "vertical", "text": "hi", "color": "red", "watermark_path": "mark.png",
    "overlay_image_path": "over.png", "package_name": "framewick", "current_version": "1.0.0",
    "latest_version": "2.0", "upload_time": "2024-03-01 12:34:56",
}
GOOD = {"int": 50, "float": 0.5, "tuple": (3, 4), "bool": False}


class Text(str):
    pass


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("__index__ refused")


def good_value(func, param, path):
    ann = func.annotations.get(param)
    if ann == "str":
        return path if param == "path" else GOOD_TEXT[param]
    if ann in GOOD:
        return GOOD[ann]
    return hs.Picture() if func.owner == "PRESETS" else 7


def argument_sets(func, path):
    """(label, positional args after the receiver, keyword args): ways to call `func` that must
    succeed, and ways it must refuse. Every object is made once and reused for every call."""
    first = 0 if func.owner == "PRESETS" else 1
    params = func.params[first:]
    required = len(func.params) - len(func.defaults) - first
    good = [good_value(func, p, path) for p in params]
    sets = [
        ("positional", good, {}),
        ("keywords", [], dict(zip(params, good))),
        ("required only", good[:required], {}),
        ("too many", good + [1, 2], {}),
        ("unexpected keyword", good[:required], {"no_such_parameter": 1}),
        ("keyword names a str subclass", [], {Text(p): v for p, v in zip(params, good)}),
    ]
    if params:
        sets.append(("multiple values", good, {params[0]: good[0]}))
    if required:
        sets.append(("too few", good[:required - 1], {}))
    for i, p in enumerate(params):
        ann = func.annotations.get(p)
        wrong = {"str": Text("x"), "tuple": [1, 2], "int": "12", "float": "0.5", "bool": None}.get(ann)
        if ann is None:
            continue
        if ann != "bool":
            sets.append((f"{p} of the wrong type", good[:i] + [wrong] + good[i + 1:], {}))
        if ann == "int":
            sets.append((f"{p} converted", good[:i] + [decimal.Decimal("50.7")] + good[i + 1:], {}))
            sets.append((f"{p} conversion fails", good[:i] + [BadIndex()] + good[i + 1:], {}))
        if ann == "float":
            sets.append((f"{p} from an int", good[:i] + [1] + good[i + 1:], {}))
    own_checks = {
        "optimize": [0], "apply_grayscale": [2.0], "flip": ["diagonal"], "resize": [0, 5],
        "load": ["/nonexistent/picture.png"], "double_exposure": ["over.png", float("inf")],
        "apply_preset": ["no such preset"], "convert_mode": ["NOPE"],
    }
    if func.owner != "PRESETS" and func.name in own_checks:
        sets.append(("the module's own check", own_checks[func.name], {}))
    return sets


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def watched_objects(func, sets, receiver):
    """Everything a leaked or over-released reference would show on: the arguments, the
    receiver, the function and its defaults, docstring and annotations, the module's dict and
    every value in it, and the cached builtins."""
    mod = hs.module(func.short)
    found = [receiver, func.fn, func.fn.__doc__, func.fn.__defaults__, func.fn.__annotations__,
             func.fn.__code__, vars(mod), mod, builtins.print, builtins.sorted]
    found += list(func.defaults) + list(func.fn.__annotations__.values())
    found += list(vars(mod).values())
    for _, args, kwargs in sets:
        found += [args, kwargs] + list(args) + list(kwargs) + list(kwargs.values())
    found += [sys.intern(p) for p in func.params]
    # Immortal objects keep a fixed count whatever happens: they show nothing.
    return [o for o in found if sys.getrefcount(o) < 1 << 28]


def call(func, target, receiver, args, kwargs):
    if func.owner == "PRESETS":
        return target(*args, **kwargs)
    return target(receiver, *args, **kwargs)


def run(func, sets, receiver, rounds):
    """Makes every call `rounds` times; returns the distinct message objects of the refusals
    (a module's own check raises its constant text itself, so its count is watched too)."""
    targets = [func.fn, func.fn.__call__]
    if func.classmethod:
        receiver = hs.combined_class()
    texts = {}
    for _ in range(rounds):
        for target in targets:
            for _, args, kwargs in sets:
                try:
                    call(func, target, receiver, args, kwargs)
                except Exception as e:
                    if e.args and isinstance(e.args[0], str) and len(texts) < 64:
                        texts[id(e.args[0])] = e.args[0]
    return list(texts.values())


@pytest.fixture
def standins(monkeypatch, tmp_path):
    hs.install_standins(monkeypatch)
    (tmp_path / "picture.png").write_bytes(b"stand-in")
    monkeypatch.chdir(tmp_path)
    return str(tmp_path / "picture.png")


@pytest.mark.parametrize("func", FUNCS, ids=[f.label for f in FUNCS])
def test_repeated_calls_keep_every_reference_count(func, standins):
    sets = argument_sets(func, standins)
    receiver = hs.receiver_for(func)
    with contextlib.redirect_stdout(hs.Sink()):
        # Warm up: caches (traceback code objects per line, interned texts) fill once.
        texts = run(func, sets, receiver, WARM_UP)
        watched = watched_objects(func, sets, receiver) + texts
        gc.collect()
        counts, blocks = refcounts(watched), sys.getallocatedblocks()
        run(func, sets, receiver, ROUNDS)
        gc.collect()
        after, blocks_after = refcounts(watched), sys.getallocatedblocks()
    calls = ROUNDS * 2 * len(sets)
    changed = [(repr(o)[:80], c, a) for o, c, a in zip(watched, counts, after) if c != a]
    assert not changed, f"reference counts changed over {calls} calls: {changed}"
    # One leaked object per call would be thousands of blocks.
    assert blocks_after - blocks < calls // 20, (blocks, blocks_after, calls)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_memory_stays_flat_over_the_whole_catalogue(standins):
    """All functions, all argument sets, round after round: traced memory and the resident set
    stop growing once the first rounds have filled the caches."""
    plan = []
    for func in FUNCS:
        plan.append((func, argument_sets(func, standins), hs.receiver_for(func)))
    with contextlib.redirect_stdout(hs.Sink()):
        for func, sets, receiver in plan:
            run(func, sets, receiver, WARM_UP)
        tracemalloc.start()
        try:
            gc.collect()
            traced, rss = tracemalloc.get_traced_memory()[0], rss_bytes()
            for func, sets, receiver in plan:
                run(func, sets, receiver, ROUNDS // 3)
            gc.collect()
            traced_after, rss_after = tracemalloc.get_traced_memory()[0], rss_bytes()
        finally:
            tracemalloc.stop()
    calls = sum(2 * len(sets) for _, sets, _ in plan) * (ROUNDS // 3)
    assert traced_after - traced < 64 * 1024, (traced, traced_after, calls)
    # The frame's own C++ allocations are not traced; a leak of even a few bytes a call would
    # show here over this many calls.
    assert rss_after - rss < 2 * RSS_SLACK, (rss, rss_after, calls)


# ---------------------------------------------------------------------------------------------
# Imports, in fresh interpreters

IMPORT_PROBE = r'''
import gc, importlib, importlib.util, json, os, sys, tracemalloc, types

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def measure():
    gc.collect()
    return tracemalloc.get_traced_memory()[0], rss()

name, blocker, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
# Reach the module without the package's __init__ (which loads every image module).
spec = importlib.util.find_spec("framewick")
package = types.ModuleType("framewick")
package.__path__ = list(spec.submodule_search_locations)
sys.modules["framewick"] = package
report = {}

# Failed imports: the dependency blocked, N times, then present.
sys.modules[blocker] = None
failures = set()
def fail_once():
    try:
        importlib.import_module(name)
    except ImportError as e:
        failures.add(type(e).__name__)
    else:
        raise SystemExit("the import succeeded with " + blocker + " blocked")
    assert name not in sys.modules
# Warm-up, the last rounds traced, so that what is made once is made before the baseline.
for _ in range(50):
    fail_once()
tracemalloc.start()
for _ in range(20):
    fail_once()
before = measure()
for _ in range(rounds):
    fail_once()
report["failed"] = [before, measure(), sorted(set(failures))]
tracemalloc.stop()
del sys.modules[blocker]
first = importlib.import_module(name)
report["retry_has_class"] = any(isinstance(v, type) for k, v in vars(first).items() if not k.startswith("_"))

# Repeated imports: the entry deleted, the module imported again: the same object, no growth.
for _ in range(50):
    del sys.modules[name]
    importlib.import_module(name)
tracemalloc.start()
for _ in range(20):
    del sys.modules[name]
    importlib.import_module(name)
before = measure()
same = True
for _ in range(rounds):
    del sys.modules[name]
    same = same and importlib.import_module(name) is first
report["repeated"] = [before, measure(), same]
print("@@" + json.dumps(report))
'''

BLOCKERS = {"storage": "PIL", "effects": "PIL", "geometry": "PIL", "overlays": "PIL",
            "inspector": "PIL", "updater": "requests"}


@pytest.mark.parametrize("short", list(hs.MODULES))
def test_repeated_and_failed_imports_leak_nothing(short, run_py, tmp_path):
    probe = tmp_path / "probe.py"
    probe.write_text(IMPORT_PROBE)
    rounds = 300 * SCALE
    code = ("import runpy, sys; sys.argv = ['probe', %r, %r, '%d']; runpy.run_path(%r, run_name='__main__')"
            % (hs.MODULES[short], BLOCKERS[short], rounds, str(probe)))
    rc, out, err = run_py(code)
    assert rc == 0, err
    report = json.loads(out.split("@@", 1)[1])
    # A module object, its dict or one exception kept per import would be far more than this.
    (traced, rss), (traced_after, rss_after), kinds = report["failed"]
    assert kinds == ["ModuleNotFoundError"]
    assert traced_after - traced < 48 * rounds, ("failed imports", traced, traced_after)
    assert rss_after - rss < RSS_SLACK, ("failed imports", rss, rss_after)
    assert report["retry_has_class"]
    (traced, rss), (traced_after, rss_after), same = report["repeated"]
    assert same
    assert traced_after - traced < 48 * rounds, ("repeated imports", traced, traced_after)
    assert rss_after - rss < RSS_SLACK, ("repeated imports", rss, rss_after)
