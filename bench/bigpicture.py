"""Memory on a large picture: the peak resident size of `framewick info` and of `framewick edit
--steps preset:NAME` for each of the eight presets, on a 13,000 by 13,000 PNG (a small file that
decodes to about 484 MiB of RGB), against the decoded picture's size.

Each command is a fresh process run alone; its peak resident size is the child's own high
water mark as the kernel reports it when the parent reaps it (wait4, ru_maxrss).
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

SIDE = 13_000
PRESETS = ("vintage", "cinematic", "vibrant", "dreamy", "noir", "warm", "sepia", "cool")
MAX_PIXELS = 200_000_000
# Written uncompressed: the figure is the edit's memory, and a PNG encoder would take most of
# the run's time compressing half a gigabyte without changing the peak.
TARGET = "large_out.bmp"  # above the picture's 169 million, for a command line that checks the limit


def framewick_script():
    return os.path.join(os.path.dirname(sys.executable), "framewick")


def source(out_dir):
    """The 13,000 by 13,000 RGB PNG: smooth gradients and rings (made once; a file of a few MB)."""
    path = os.path.join(out_dir, f"large_{SIDE}x{SIDE}.png")
    if os.path.exists(path):
        return path
    from PIL import Image, ImageChops

    Image.MAX_IMAGE_PIXELS = None
    red = Image.linear_gradient("L").resize((SIDE, SIDE))
    green = red.transpose(Image.Transpose.ROTATE_90)
    blue = ImageChops.invert(Image.radial_gradient("L").resize((SIDE, SIDE)))
    img = Image.merge("RGB", (red, green, blue))
    del red, green, blue
    tmp = path + f".{os.getpid()}.tmp.png"
    img.save(tmp, compress_level=1)
    os.replace(tmp, path)
    return path


def peak_rss(cmd):
    """(peak resident bytes, exit status, last line of standard error) of one run of `cmd`."""
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = p.stderr.read()
    p.stderr.close()
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    lines = err.decode(errors="replace").strip().splitlines()
    return usage.ru_maxrss * 1024, p.returncode, lines[-1] if lines else ""


def commands(out_dir, src):
    """{label: command}: info, then edit with each preset (outputs written beside the source)."""
    fw = framewick_script()
    def options(command):
        return subprocess.run([fw, command, "--help"], capture_output=True, text=True).stdout

    limit = ["--max-pixels", str(MAX_PIXELS)] if "--max-pixels" in options("info") else []
    overwrite = ["--overwrite"] if "--overwrite" in options("edit") else []
    out = {"info": [fw, "-q", "info", src, *limit]}
    target = os.path.join(out_dir, TARGET)
    for name in PRESETS:
        out[f"edit preset:{name}"] = [fw, "-q", "edit", src, "-o", target, "--steps", f"preset:{name}", *limit,
                                      *overwrite]
    return out, bool(limit)


def decoded_bytes():
    return SIDE * SIDE * 3


def measure(out_dir, only=None):
    """{label: (peak bytes, exit status, last stderr line)}."""
    src = source(out_dir)
    cmds, limit = commands(out_dir, src)
    result = {}
    for label, cmd in cmds.items():
        if only and label not in only:
            continue
        result[label] = peak_rss(cmd)
    try:
        os.remove(os.path.join(out_dir, TARGET))
    except FileNotFoundError:
        pass
    return result, limit
