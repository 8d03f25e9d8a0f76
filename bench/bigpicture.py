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
TARGET = "large_out.bmp"
DIRECT_TARGET = "large_direct.bmp"  # above the picture's 169 million, for a command line that checks the limit


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


def run_direct(label, src, target):
    """The same work with Pillow alone, in this (fresh) interpreter: for info, the picture
    decoded, the status report's reads, the palette's Pillow steps and the EXIF; for a preset, the
    picture decoded, the preset's own Pillow calls (the original held while they run, as a
    method's argument is) and the result saved."""
    import twins
    from PIL import Image

    Image.MAX_IMAGE_PIXELS = MAX_PIXELS
    img = Image.open(src)
    img.load()
    if label == "info":
        img.width, img.height, img.mode, img.format  # noqa: B018
        small = img.copy().resize((100, 100)).convert("RGB")
        list(small.get_flattened_data() if hasattr(small, "get_flattened_data") else small.getdata())
        del small
        img.getexif()
    else:
        result = twins.PRESETS[label.split(":", 1)[1]](img)
        del img
        result.save(target)


def direct_command(label, src, out_dir):
    return [sys.executable, os.path.abspath(__file__), label, src, os.path.join(out_dir, DIRECT_TARGET)]


def decoded_bytes():
    return SIDE * SIDE * 3


def measure(out_dir, only=None, direct=True):
    """({label: (peak bytes, exit status, last stderr line)} for framewick, the same for the
    Pillow-only runs (None when not asked for), whether --max-pixels was passed)."""
    import concurrent.futures

    src = source(out_dir)
    cmds, limit = commands(out_dir, src)
    labels = [label for label in cmds if not only or label in only]
    runs = [("framewick", label, cmds[label]) for label in labels]
    if direct:
        runs += [("direct", label, direct_command(label, src, out_dir)) for label in labels]
    # Two children at a time (a peak is each child's own), framewick's and Pillow's side by side.
    runs.sort(key=lambda run: labels.index(run[1]))
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        peaks = list(pool.map(lambda run: peak_rss(run[2]), runs))
    result, floor = {}, ({} if direct else None)
    for (side, label, _), peak in zip(runs, peaks):
        (result if side == "framewick" else floor)[label] = peak
    for name in (TARGET, DIRECT_TARGET):
        try:
            os.remove(os.path.join(out_dir, name))
        except FileNotFoundError:
            pass
    return result, floor, limit


if __name__ == "__main__":
    run_direct(*sys.argv[1:4])
