"""Import: a fresh interpreter importing the six modules, against one importing only what they
import (the Pillow names, os, threading, datetime, requests and packaging's version).

Each sample is one whole fresh interpreter, start to exit, the two kinds interleaved; the time
the import statement itself takes inside it is reported as well.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

FRAMEWICK = ("import framewick.utils.storage, framewick.modules.effects, framewick.modules.geometry, "
             "framewick.modules.overlays, framewick.utils.inspector, framewick.utils.updater")
# What the six modules import at load, in their order.
DEPENDENCIES = ("from PIL import Image, ImageEnhance, ImageOps, ImageFilter, ImageChops, ImageDraw, ImageFont; "
                "import os, threading; from datetime import datetime; import requests; "
                "from packaging import version")

STATEMENTS = {"framewick": FRAMEWICK, "dependencies": DEPENDENCIES}


def script(statement):
    """A program that times its import statement and prints the seconds."""
    return ("import time; _t0 = time.perf_counter()\n"
            f"{statement}\n"
            "print(time.perf_counter() - _t0)\n")


def one(name):
    """(whole interpreter seconds, import statement seconds) of one fresh run."""
    t0 = common.clock()
    out = subprocess.run([common.python(), "-c", script(STATEMENTS[name])], check=True,
                         capture_output=True, text=True).stdout
    return common.clock() - t0, float(out.strip().splitlines()[-1])


def measure(repeats):
    rounds = common.interleaved({n: (lambda n=n: one(n)) for n in STATEMENTS}, repeats, warmup=2)
    return {n: ([w for w, _ in v], [i for _, i in v]) for n, v in rounds.items()}


def callgrind_counts(out_dir):
    """Instructions of a whole fresh interpreter, each kind once under callgrind."""
    counts = {}
    for name, statement in STATEMENTS.items():
        path = os.path.join(out_dir, f"import_{name}.py")
        with open(path, "w") as f:
            f.write(statement + "\n")
        phases = common.callgrind(path, [], out_dir, f"import_{name}", marker="no-such-function-marker")
        counts[name] = None if phases is None else phases
    return counts
