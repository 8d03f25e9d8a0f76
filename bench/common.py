"""What every figure of the benchmark suite shares: the sink, interleaved timing, statistics,
callgrind runs and the result record."""

import contextlib
import dataclasses
import gc
import os
import statistics
import subprocess
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))


class Sink:
    """A stdout stand-in whose write is a builtin: print costs the same for both sides and as
    little as print can cost."""

    def __init__(self):
        self.write = len
        self.flush = int


@contextlib.contextmanager
def quiet():
    """Status lines go to the sink for the duration."""
    saved = sys.stdout
    sys.stdout = Sink()
    try:
        yield
    finally:
        sys.stdout = saved


def out_dir():
    """Where the suite keeps what it makes (the stand-in module, pictures, callgrind files)."""
    d = os.environ.get("FW_BENCH_OUT") or os.path.join(os.path.dirname(HERE), "build", "bench")
    os.makedirs(d, exist_ok=True)
    return d


def standin_picture():
    """The native stand-in picture type, compiled from standin.c on first use."""
    d = out_dir()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = os.path.join(d, "_standin" + suffix)
    source = os.path.join(HERE, "standin.c")
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        include = sysconfig.get_paths()["include"]
        tmp = target + f".{os.getpid()}.tmp"
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-Wall", "-Werror", "-I", include, source, "-o", tmp],
                       check=True)
        os.replace(tmp, target)
    if d not in sys.path:
        sys.path.insert(0, d)
    import _standin
    return _standin.Picture


def combined_class():
    """The package's combined class, or, while it is not there, the five mixins combined here."""
    try:
        from framewick import FrameWick
        return FrameWick, "framewick.FrameWick"
    except ImportError:
        from framewick.modules.effects import Effects
        from framewick.modules.geometry import Geometry
        from framewick.modules.overlays import Overlays
        from framewick.utils.inspector import Inspector
        from framewick.utils.storage import Storage

        class FrameWick(Storage, Effects, Geometry, Overlays, Inspector):
            pass
        return FrameWick, "local combination (framewick.FrameWick missing)"


# --- Statistics ---------------------------------------------------------------------------------

def spread(values):
    """(low, high): the interquartile range of the values (all of them for fewer than 4)."""
    values = sorted(values)
    if len(values) < 4:
        return values[0], values[-1]
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def summary(values):
    lo, hi = spread(values)
    return {"median": statistics.median(values), "q1": lo, "q3": hi, "n": len(values)}


def interleaved(sides, repeats, warmup=1):
    """Runs each side's measure() once per round, alternating which goes first, after `warmup`
    rounds that are thrown away. Returns {name: [value per round]}.

    `sides` maps a name to a function returning one measured value (seconds, bytes, ...)."""
    names = list(sides)
    out = {n: [] for n in names}
    for r in range(warmup + repeats):
        order = names if r % 2 == 0 else names[::-1]
        for n in order:
            v = sides[n]()
            if r >= warmup:
                out[n].append(v)
    return out


def ratio_rounds(a, b):
    """Per-round ratios a[i] / b[i]: both were measured in the same round, next to each other."""
    return [x / y for x, y in zip(a, b)]


@contextlib.contextmanager
def no_gc():
    enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def clock():
    return time.perf_counter()


# --- Subprocesses and callgrind -----------------------------------------------------------------

def python():
    return sys.executable


# Runs argv[1:], then prints its wall clock, CPU time, peak resident bytes and exit status. A
# child of the bench's own (large) process would report the bench's size as its peak: Linux
# carries a process's high water mark across fork and exec, so each side starts from this one.
LAUNCHER = ("import os, sys, time\nt = time.perf_counter()\npid = os.fork()\n"
            "if pid == 0:\n    os.execvp(sys.argv[1], sys.argv[1:])\n"
            "_, status, ru = os.wait4(pid, 0)\n"
            "print(time.perf_counter() - t, ru.ru_utime + ru.ru_stime, ru.ru_maxrss * 1024, "
            "os.waitstatus_to_exitcode(status))\n")


def made_apart(module, out_dir, path):
    """`path`, made once by `module.make_source(out_dir, path)` (a bench module) in an
    interpreter of its own, so that making a large source does not grow the bench's own process;
    returned as it is when it is there."""
    if not os.path.exists(path):
        subprocess.run([python(), "-c", "import importlib, sys; sys.path.insert(0, sys.argv[1]); "
                        "importlib.import_module(sys.argv[2]).make_source(sys.argv[3], sys.argv[4])",
                        HERE, module, out_dir, path], check=True)
    return path


def launched(cmd):
    """(wall seconds, CPU seconds, peak resident bytes, exit status, last line of standard error)
    of `cmd` run as a fresh process through LAUNCHER."""
    p = subprocess.run([python(), "-c", LAUNCHER, *cmd], capture_output=True, text=True)
    wall, cpu, peak, status = p.stdout.split()[-4:] if p.stdout.split() else (0, 0, 0, p.returncode)
    lines = p.stderr.strip().splitlines()
    return float(wall), float(cpu), int(peak), int(status), lines[-1] if lines else ""


def launched_rounds(cmds, repeats, warmup=1):
    """Each of `cmds` ({side: argv}) run through launched(), interleaved as interleaved() runs
    them: ({side: [wall seconds]}, {side: [CPU seconds]}, {side: [peak bytes]}, {side: why it
    failed}), the warm-up rounds left out."""
    peaks = {n: [] for n in cmds}
    cpu = {n: [] for n in cmds}
    failures = {}

    def timed(name):
        def go():
            wall, used, peak, status, last = launched(cmds[name])
            if status != 0:
                failures[name] = f"exit status {status}: {last}"
            peaks[name].append(peak)
            cpu[name].append(used)
            return wall
        return go

    rounds = interleaved({n: timed(n) for n in cmds}, repeats, warmup=warmup)
    return rounds, {n: v[-repeats:] for n, v in cpu.items()}, {n: v[-repeats:] for n, v in peaks.items()}, failures


def callgrind(script, args, out_dir, tag, marker="getppid"):
    """Runs `script` under callgrind, dumping the counters at each call of `marker` (the script
    calls os.getppid() between its phases). Returns the instruction count of each phase, in
    order, the start-up phase first and the phase up to exit last. None when valgrind is
    missing."""
    os.makedirs(out_dir, exist_ok=True)
    out = os.path.join(out_dir, f"callgrind.{tag}")
    for f in os.listdir(out_dir):
        if f.startswith(f"callgrind.{tag}"):
            os.remove(os.path.join(out_dir, f))
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", f"--dump-before={marker}",
           "--dump-instr=no", "--compress-strings=no", python(), script, *args]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True)
    except FileNotFoundError:
        return None
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind run failed ({proc.returncode}):\n{proc.stderr[-3000:]}")
    # The numbered dumps in order, then the one made at exit (the file without a number).
    files = sorted((f for f in os.listdir(out_dir) if f.startswith(f"callgrind.{tag}.")),
                   key=lambda f: int(f.rsplit(".", 1)[1]))
    files.append(f"callgrind.{tag}")
    counts = []
    for f in files:
        with open(os.path.join(out_dir, f)) as fh:
            for line in fh:
                if line.startswith("summary:"):
                    counts.append(int(line.split()[1]))
                    break
    return counts


# --- Results ------------------------------------------------------------------------------------

@dataclasses.dataclass
class Figure:
    """One row of the table."""
    name: str
    framewick: str             # what framewick measured, as shown
    peer: str                  # what the peer measured, as shown
    ratio: float | None        # framewick / peer (or the figure's own ratio, see `how`)
    spread: tuple | None       # interquartile range of the per-round ratio
    target: str                # e.g. "<= 0.40"
    met: bool | None           # None: not measured
    how: str = ""              # what the ratio means, when not framewick / peer
    extra: dict = dataclasses.field(default_factory=dict)
    ratio_ir: float | None = None  # the same ratio in callgrind instructions

    def row(self):
        ratio = "-" if self.ratio is None else f"{self.ratio:.3f}"
        if self.spread:
            ratio += f" [{self.spread[0]:.3f}-{self.spread[1]:.3f}]"
        if self.ratio_ir is not None:
            ratio += f" Ir {self.ratio_ir:.3f}"
        met = {True: "yes", False: "NO", None: "n/a"}[self.met]
        return [self.name, self.framewick, self.peer, ratio, self.target, met]


def check(value, target_op, target):
    if value is None:
        return None
    return value <= target if target_op == "<=" else value >= target


def print_table(figures, file=None):
    file = file or sys.stdout
    head = ["figure", "framewick", "peer", "ratio [IQR] (Ir: callgrind)", "target", "met"]
    rows = [head] + [f.row() for f in figures]
    widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
    line = "+-" + "-+-".join("-" * w for w in widths) + "-+"
    print(line, file=file)
    for k, r in enumerate(rows):
        print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |", file=file)
        if k == 0:
            print(line, file=file)
    print(line, file=file)


def ns(seconds):
    return f"{seconds * 1e9:.1f} ns"


def ms(seconds):
    return f"{seconds * 1e3:.2f} ms"
