"""Call cost: the method call path of framewick against its plain-Python twin.

Methods are called through an instance of the combined class whose `image` is a stand-in picture
whose methods return at once, so what is left is binding, conversion, checks, attribute traffic,
the status line and the return. Under callgrind (cg_child.py) the phases are separated by
os.getppid() calls, at which callgrind dumps its counters.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402
import twins  # noqa: E402


class PyStandIn:
    """The same stand-in written in Python: its methods cost an interpreter frame each, which a
    Python caller enters inline but a native caller must enter through a fresh evaluation loop.
    Measured for information, printed beside the main figure."""
    __slots__ = ()

    def thumbnail(self, size):
        return None

    def crop(self, box):
        return self

    def rotate(self, angle, expand=True):
        return self

    def transpose(self, method):
        return self


# (name, call on the instance `o`, the plain builtin call of the same arity, its label)
SHAPES = [
    ("no argument: thumbnail()", "o.thumbnail()", "e.clear()", "[].clear()"),
    ("4 int positionals: crop(1, 2, 3, 4)", "o.crop(1, 2, 3, 4)", "mx(1, 2, 3, 4)", "max(1, 2, 3, 4)"),
    ("4 int keywords: crop(left=..)", "o.crop(left=1, top=2, right=3, bottom=4)",
     "dc(left=1, top=2, right=3, bottom=4)", "dict(left=1, ..)"),
    ("float, bool: rotate(90.0, True)", "o.rotate(90.0, True)", "cs(90.0, True)", "math.copysign(90.0, True)"),
    ("str: flip('horizontal')", "o.flip('horizontal')", "ln('horizontal')", "len('horizontal')"),
    ("refused: flip(None) -> TypeError", "REFUSED:o.flip(None)", "REFUSED:ln(None)", "len(None) -> TypeError"),
    ("refused int: crop('a', 2, 3, 4)", "REFUSED:o.crop('a', 2, 3, 4)", "REFUSED:ln(None)", "len(None) -> TypeError"),
    ("refused float: rotate(None)", "REFUSED:o.rotate(None)", "REFUSED:ln(None)", "len(None) -> TypeError"),
    ("refused missing: crop(1, 2, 3)", "REFUSED:o.crop(1, 2, 3)", "REFUSED:ln(None)", "len(None) -> TypeError"),
    ("refused keyword: flip(side='horizontal')", "REFUSED:o.flip(side='horizontal')", "REFUSED:ln(None)",
     "len(None) -> TypeError"),
]

# Which shapes succeed and which are refused: the two have different targets.
REFUSED = {name for name, expr, *_ in SHAPES if expr.startswith("REFUSED:")}

UNROLL = 10


def make_loop(expr):
    """A function loop(o, n) running `expr` UNROLL * n times; returns the seconds taken."""
    if expr.startswith("REFUSED:"):
        stmt = expr[len("REFUSED:"):]
        body = "".join(f"        try:\n            {stmt}\n        except TypeError:\n            pass\n"
                       for _ in range(UNROLL))
    else:
        body = "".join(f"        {expr}\n" for _ in range(UNROLL))
    src = ("def loop(o, n, e=[], mx=max, dc=dict, cs=copysign, ln=len, clock=clock):\n"
           "    t0 = clock()\n"
           "    for _ in range(n):\n" + body +
           "    return clock() - t0\n")
    ns = {"copysign": __import__("math").copysign, "clock": common.clock}
    exec(compile(src, f"<loop {expr}>", "exec"), ns)
    return ns["loop"]


def subjects(python_standin=False):
    """The framewick instance, the twin instance and the hand-written floor's instance, all
    holding the same stand-in picture."""
    cls, cls_name = common.combined_class()
    native = common.standin_picture()  # also makes _standin importable
    picture = PyStandIn() if python_standin else native()
    fw = cls()
    fw.image = picture
    tw = twins.TwinFrameWick()
    tw.image = picture
    import _standin
    ideal = type("HandWritten", (cls,), dict(_standin.ideal))()
    ideal.image = picture
    return fw, tw, ideal, cls_name


# The shapes the hand-written floor has (all but the keyword call).
IDEAL = {SHAPES[0][0], SHAPES[1][0], SHAPES[3][0], SHAPES[4][0], SHAPES[5][0]}


def sides_of(name):
    return ("framewick", "twin", "floor") + (("ideal",) if name in IDEAL else ())


def check_same_behaviour(fw, tw):
    """Both sides do what the loops assume: the same results, the same status lines, the same
    refusal text."""
    import contextlib
    import io

    printed = []
    for o in (fw, tw):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            assert o.crop(1, 2, 3, 4) is o and o.rotate(90.0, True) is o and o.thumbnail() is o
            assert o.crop(left=1, top=2, right=3, bottom=4) is o and o.flip("horizontal") is o
            assert o.crop(1.5, True, 3, 4) is o and o.rotate(90, 0) is o and o.flip("Vertical") is o
        printed.append(out.getvalue())
    assert printed[0] == printed[1] and printed[0].count("\n") == 2, printed
    msgs = []
    for o in (fw, tw):
        for call in (lambda: o.flip(None), lambda: o.crop("1", 2, 3, 4), lambda: o.thumbnail([1, 2]),
                     lambda: o.rotate(None), lambda: o.rotate("90")):
            try:
                call()
            except TypeError as e:
                msgs.append(str(e))
    assert len(msgs) == 10 and msgs[:5] == msgs[5:], msgs
    # A missing argument and an unknown keyword: refused by both (the texts name different
    # qualified names, and the interpreter words its own binding errors its own way).
    for o in (fw, tw):
        for call in (lambda: o.crop(1, 2, 3), lambda: o.flip(side="horizontal")):
            try:
                call()
            except TypeError:
                continue
            raise AssertionError("a call that must be refused was not")


def check_hand_written(fw, ideal):
    """The hand-written floor prints and refuses as framewick does on the shapes it has."""
    import contextlib
    import io

    printed, msgs = [], []
    for o in (fw, ideal):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            assert o.crop(1, 2, 3, 4) is o and o.rotate(90.0, True) is o and o.thumbnail() is o
            assert o.flip("horizontal") is o and o.flip("Vertical") is o
        printed.append(out.getvalue())
        try:
            o.flip(None)
        except TypeError as e:
            msgs.append(str(e))
    assert printed[0] == printed[1] and printed[0].count("\n") == 2, printed
    assert len(msgs) == 2 and msgs[0] == msgs[1], msgs


def measure(repeats=15, calls=4000, python_standin=False):
    """Wall time per call for each shape: framewick, twin and the builtin floor, interleaved."""
    fw, tw, ideal, cls_name = subjects(python_standin)
    results = []
    with common.quiet():
        check_same_behaviour(fw, tw)
        check_hand_written(fw, ideal)
        for name, expr, floor_expr, floor_label in SHAPES:
            loop, floor = make_loop(expr), make_loop(floor_expr)
            sides = {
                "framewick": lambda: loop(fw, calls) / (calls * UNROLL),
                "twin": lambda: loop(tw, calls) / (calls * UNROLL),
                "floor": lambda: floor(None, calls) / (calls * UNROLL),
                "ideal": lambda: loop(ideal, calls) / (calls * UNROLL),
            }
            sides = {k: v for k, v in sides.items() if k in sides_of(name)}
            with common.no_gc():
                rounds = common.interleaved(sides, repeats, warmup=2)
            results.append((name, floor_label, rounds))
    return results, cls_name


# --- Under callgrind ----------------------------------------------------------------------------

def callgrind_phases(n, python_standin=False):
    """Phases after start-up: for each shape, for framewick, twin and floor: n loops, then 2n."""
    fw, tw, ideal, _ = subjects(python_standin)
    with common.quiet():
        check_same_behaviour(fw, tw)
        for name, expr, floor_expr, _ in SHAPES:
            loop, floor = make_loop(expr), make_loop(floor_expr)
            runs = {"framewick": lambda k: loop(fw, k), "twin": lambda k: loop(tw, k),
                    "floor": lambda k: floor(None, k), "ideal": lambda k: loop(ideal, k)}
            for run in (runs[side] for side in sides_of(name)):
                run(50)  # let the interpreter specialise the loop first
                os.getppid()
                run(n)
                os.getppid()
                run(2 * n)
                os.getppid()


def phase_count():
    """How many dumps callgrind_phases leaves."""
    return 3 * sum(len(sides_of(name)) for name, *_ in SHAPES)


def instructions_per_call(counts, n):
    """From the phase counts of callgrind_phases: {shape: {side: instructions per call}}.

    Each side leaves three dumps: its warm-up (with whatever ran before it), n loops, 2n loops."""
    out = {}
    k = 0
    for name, *_ in SHAPES:
        per = {}
        for side in sides_of(name):
            single, double = counts[k + 1], counts[k + 2]
            per[side] = (double - single) / (n * UNROLL)
            k += 3
        out[name] = per
    return out
