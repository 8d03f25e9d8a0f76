"""Whole processes: the command line's start-up and a single small edit.

Each sample is one fresh process, start to exit, timed by wall clock; the sides alternate
round by round. `framewick --help`, `--version` and `steps` are measured against `python -c
pass` on the same interpreter, and `framewick edit a.png -o b.png --steps border:1` against a
Python one-liner making the same Pillow calls.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

ONE_LINER = ("from PIL import Image, ImageOps; import sys; "
             "ImageOps.expand(Image.open(sys.argv[1]), border=1, fill='black').save(sys.argv[2], quality=95, "
             "optimize=True)")


# The least a command line built on argparse does for --help: on 3.14 argparse formats through
# _colorize, which imports dataclasses; the floor under any argparse program's start-up.
ARGPARSE_FLOOR = ("import argparse; p = argparse.ArgumentParser(prog='x'); "
                  "p.add_argument('-q', action='store_true', help='quiet'); p.print_help()")


def framewick_script():
    return os.path.join(os.path.dirname(sys.executable), "framewick")


def has_option(command, option):
    """Whether `framewick COMMAND --help` lists `option`."""
    out = subprocess.run([framewick_script(), command, "--help"], capture_output=True, text=True)
    return out.returncode == 0 and option in out.stdout


def works(cmd):
    """Whether the command exits with status 0 here (a command line that lacks it does not)."""
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return p.returncode == 0


def wall(cmd):
    def go():
        t0 = common.clock()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return common.clock() - t0
    return go


def commands():
    """{label: command} for the start-up figures; None for one the command line does not have."""
    fw = framewick_script()
    out = {}
    for label, args in (("framewick --help", ["--help"]), ("framewick --version", ["--version"]),
                        ("framewick steps", ["steps"])):
        cmd = [fw, *args]
        out[label] = cmd if works(cmd) else None
    out["argparse floor"] = [sys.executable, "-c", ARGPARSE_FLOOR]
    return out


def measure_startup(repeats):
    """{label: (rounds of the command, rounds of python -c pass)} interleaved with its own baseline
    each, or None where the command is missing."""
    base = [sys.executable, "-c", "pass"]
    result = {}
    for label, cmd in commands().items():
        if cmd is None:
            result[label] = None
            continue
        r = common.interleaved({"cmd": wall(cmd), "pass": wall(base)}, repeats, warmup=2)
        result[label] = (r["cmd"], r["pass"])
    return result


def small_picture(out_dir):
    """A 320 by 240 PNG (made once)."""
    import pictures

    path = os.path.join(out_dir, "small_320x240.png")
    if not os.path.exists(path):
        tmp = path + f".{os.getpid()}.tmp.png"
        pictures.picture(320, 240).save(tmp)
        os.replace(tmp, path)
    return path


def measure_edit(out_dir, repeats, quiet=True):
    """(rounds of `framewick edit` and of the one-liner, whether their outputs are the same), or
    (None, why) when the edit fails here. With `quiet` false the edit prints its status line, as
    a user running it sees it."""
    from PIL import Image

    source = small_picture(out_dir)
    a, b = os.path.join(out_dir, "edit_framewick.png"), os.path.join(out_dir, "edit_direct.png")
    overwrite = ["--overwrite"] if has_option("edit", "--overwrite") else []
    edit = [framewick_script(), *(["-q"] if quiet else []), "edit", source, "-o", a, "--steps", "border:1",
            *overwrite]
    trial = subprocess.run(edit, capture_output=True, text=True)
    if trial.returncode:
        lines = (trial.stderr.strip() or trial.stdout.strip()).splitlines()
        return None, f"exit status {trial.returncode}: {lines[-1] if lines else ''}"
    sides = {"framewick": wall(edit), "direct": wall([sys.executable, "-c", ONE_LINER, source, b])}
    rounds = common.interleaved(sides, repeats, warmup=2)
    with Image.open(a) as x, Image.open(b) as y:
        same = x.size == y.size and x.tobytes() == y.tobytes()
    return rounds, same
