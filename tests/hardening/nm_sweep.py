"""A sweep of the mixins' numeric parameters at the values where native code overflows: every
numeric parameter (tuple items included) of every method, at each value of VALUES, on a small
picture of every mode. The probes run in child interpreters, one after the other; a child that
dies of a signal has crashed on the probe it announced last, and the next child goes on after it.

    python nm_sweep.py [--only NAME,...]      prints one line per crashing probe, then a summary

The child's address space is bounded, so a probe that asks for a picture of billions of pixels
fails with MemoryError instead of taking the machine's memory."""

from __future__ import annotations

import json
import math
import os
import resource
import subprocess
import sys
import tempfile
from collections import Counter
import threading

VALUES = {"0": 0, "-1": -1, "2**31-1": 2**31 - 1, "2**31": 2**31, "2**63": 2**63,
          "-2**31": -2**31, "-2**63": -2**63,
          "nan": math.nan, "inf": math.inf, "-inf": -math.inf}
MODES = ["1", "L", "LA", "P", "PA", "RGB", "RGBA", "CMYK", "I;16", "I", "F"]
SIZE = (6, 5)
ADDRESS_SPACE = 3 << 30
PROBE_SECONDS = 20

# (module, class, method, arguments) with V where the swept value goes; W is a small RGBA
# picture on disk for the watermark and overlay.
CASES = [
    ("storage", "Storage", "optimize", ("V",)),
    ("effects", "Effects", "apply_blur", ("V",)),
    ("effects", "Effects", "adjust_gamma", ("V",)),
    ("effects", "Effects", "apply_grayscale", ("V",)),
    ("effects", "Effects", "apply_contrast", ("V",)),
    ("geometry", "Geometry", "rotate", ("V", True)),
    ("geometry", "Geometry", "rotate", ("V", False)),
    ("geometry", "Geometry", "crop", ("V", 0, 2, 2)),
    ("geometry", "Geometry", "crop", (0, "V", 2, 2)),
    ("geometry", "Geometry", "crop", (0, 0, "V", 2)),
    ("geometry", "Geometry", "crop", (0, 0, 2, "V")),
    ("geometry", "Geometry", "thumbnail", (("V", 4),)),
    ("geometry", "Geometry", "thumbnail", ((4, "V"),)),
    ("geometry", "Geometry", "round_corners", ("V",)),
    ("geometry", "Geometry", "resize", ("V", 4)),
    ("geometry", "Geometry", "resize", (4, "V")),
    ("geometry", "Geometry", "fit", ("V", 4)),
    ("geometry", "Geometry", "fit", (4, "V")),
    ("overlays", "Overlays", "add_text", ("Hi", ("V", 0))),
    ("overlays", "Overlays", "add_text", ("Hi", (0, "V"))),
    ("overlays", "Overlays", "add_text", ("Hi", (0, 0), "V")),
    ("overlays", "Overlays", "add_watermark", ("W", ("V", 0))),
    ("overlays", "Overlays", "add_watermark", ("W", (0, "V"))),
    ("overlays", "Overlays", "apply_border", ("V",)),
    ("overlays", "Overlays", "double_exposure", ("W", "V")),
    ("inspector", "Inspector", "extract_color_palette", ("V",)),
]
PACKAGES = {"storage": "framewick.utils", "inspector": "framewick.utils", "effects": "framewick.modules",
            "geometry": "framewick.modules", "overlays": "framewick.modules"}


def case_name(case):
    """The call as written with V for the swept value, e.g. "geometry.crop(0, V, 2, 2)"."""
    short, _, method, args = case
    text = ", ".join(repr(a).replace("'V'", "V").replace("'W'", "W") for a in args)
    return f"{short}.{method}({text})"


def probes(only=None, modes=None):
    """Every (case, mode, value name) in a fixed order; `only` keeps the cases of those names,
    `modes` those modes."""
    return [(c, m, v) for c in CASES if not only or case_name(c) in only
            for m in MODES if not modes or m in modes for v in VALUES]


def fill(args, value, watermark):
    out = []
    for a in args:
        if a == "V":
            out.append(value)
        elif a == "W":
            out.append(watermark)
        elif isinstance(a, tuple):
            out.append(tuple(value if x == "V" else x for x in a))
        else:
            out.append(a)
    return out


def child(start, only, modes):
    """Runs the probes from `start` on, announcing each on stdout before it runs."""
    import importlib
    import io
    import contextlib

    from PIL import Image

    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))
    watermark = os.path.join(tempfile.mkdtemp(), "w.png")
    Image.new("RGBA", (3, 3), (10, 200, 30, 128)).save(watermark)
    out = sys.stdout
    for n, (case, mode, vname) in enumerate(probes(only, modes)):
        if n < start:
            continue
        short, cls_name, method, args = case
        mixin = getattr(importlib.import_module(f"{PACKAGES[short]}.{short}"), cls_name)
        obj = type("Holder", (mixin,), {})()
        obj.image = Image.new(mode, SIZE)
        obj.quality = 95
        print(n, flush=True, file=out)
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                getattr(obj, method)(*fill(args, VALUES[vname], watermark))
            outcome = "ok"
        except BaseException as e:  # noqa: BLE001 - every outcome but a crash is fine here
            outcome = type(e).__name__
            if isinstance(e, ValueError) and str(e).startswith("❌ Error: "):
                outcome = "refused"
        print(f"= {outcome}", flush=True, file=out)


def sweep(only=None, modes=None, python=sys.executable):
    """Runs every probe; returns ({probe: outcome}, [crashing probes with their signal])."""
    everything = probes(only, modes)
    outcomes, crashes, start = {}, [], 0
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    while start < len(everything):
        command = [python, __file__, "--child", str(start), json.dumps(sorted(only or [])),
                   json.dumps(sorted(modes or []))]
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              env=env) as proc:
            current, stalled = None, []
            watchdog = threading.Timer(PROBE_SECONDS, lambda: (stalled.append(True), proc.kill()))
            watchdog.start()
            for line in proc.stdout:
                line = line.strip()
                watchdog.cancel()
                watchdog = threading.Timer(PROBE_SECONDS, lambda: (stalled.append(True), proc.kill()))
                watchdog.start()
                if line.startswith("= "):
                    outcomes[everything[current]] = line[2:]
                    current = None
                elif line:
                    current = int(line)
            watchdog.cancel()
            proc.wait()
        if current is None:
            break
        probe = everything[current]
        if stalled:
            outcomes[probe] = "timeout"
        elif proc.returncode < 0:
            outcomes[probe] = f"signal {-proc.returncode}"
            crashes.append((probe, -proc.returncode))
        else:
            outcomes[probe] = f"exit {proc.returncode}"
        start = current + 1
    return outcomes, crashes


def label(probe):
    case, mode, vname = probe
    return f"{case_name(case)} mode {mode} value {vname}"


def main(argv):
    if argv[:1] == ["--child"]:
        child(int(argv[1]), set(json.loads(argv[2])), set(json.loads(argv[3])))
        return 0
    only = set(argv[argv.index("--only") + 1].split(",")) if "--only" in argv else None
    outcomes, crashes = sweep(only)
    for probe, sig in crashes:
        print(f"CRASH signal {sig}: {label(probe)}")
    slow = [p for p, o in outcomes.items() if o == "timeout"]
    for probe in slow:
        print(f"TIMEOUT: {label(probe)}")
    if "--outcomes" in argv:
        for name in dict.fromkeys(case_name(p[0]) for p in outcomes):
            seen = Counter(o for p, o in outcomes.items() if case_name(p[0]) == name)
            print(f"{name}: " + ", ".join(f"{o} {n}" for o, n in seen.most_common()))
    print(f"{len(outcomes)} probes, {len(crashes)} crashes, {len(slow)} over {PROBE_SECONDS} s")
    return 1 if crashes else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
