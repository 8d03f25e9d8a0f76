"""Colour grading: `apply_lut` with a 33-point .cube file on a 4000 by 3000 picture, against
`ImageFilter.Color3DLUT` built once from the same table and applied directly. The file is parsed
before the clock starts (framewick caches a parsed LUT by path and modification time), so the
figure is the grading itself. Both in this process, interleaved.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

SIZE = 33


def available():
    """None when FrameWick has apply_lut, else what is missing."""
    try:
        from framewick import FrameWick
    except ImportError as e:
        return f"framewick.FrameWick ({e})"
    return None if callable(getattr(FrameWick, "apply_lut", None)) else "FrameWick.apply_lut"


def grade(r, g, b):
    """A warm, slightly crushed look: the kind of grade people trade as .cube files."""
    def curve(v):
        return min(1.0, max(0.0, 0.04 + 0.92 * (3 * v * v - 2 * v * v * v) * 0.5 + 0.46 * v))
    return min(1.0, curve(r) * 1.04), curve(g), curve(b) * 0.92


def table():
    """The LUT's rows, red varying fastest."""
    n = SIZE - 1
    return [grade(r / n, g / n, b / n) for b in range(SIZE) for g in range(SIZE) for r in range(SIZE)]


def cube_file(out_dir):
    path = os.path.join(out_dir, f"grade_{SIZE}.cube")
    if not os.path.exists(path):
        tmp = path + f".{os.getpid()}.tmp"
        with open(tmp, "w") as f:
            f.write('TITLE "bench warm"\n# made by the benchmark suite\n')
            f.write(f"LUT_3D_SIZE {SIZE}\nDOMAIN_MIN 0.0 0.0 0.0\nDOMAIN_MAX 1.0 1.0 1.0\n\n")
            for r, g, b in table():
                f.write(f"{r:.6f} {g:.6f} {b:.6f}\n")
        os.replace(tmp, path)
    return path


def measure(out_dir, repeats):
    """Seconds per grading, interleaved; and the PSNR between the two results."""
    from PIL import Image, ImageFilter

    import photos

    with Image.open(photos.photos(out_dir, count=1)[0]) as im:
        picture = im.convert("RGB")
    picture.load()
    path = cube_file(out_dir)
    lut = ImageFilter.Color3DLUT(SIZE, table())

    from framewick import FrameWick
    obj = FrameWick()
    results = {}

    def fw():
        obj.image = picture
        t0 = common.clock()
        obj.apply_lut(path)
        elapsed = common.clock() - t0
        results["framewick"] = obj.image
        return elapsed

    def direct():
        t0 = common.clock()
        results["direct"] = picture.filter(lut)
        return common.clock() - t0

    with common.quiet():
        obj.image = picture
        obj.apply_lut(path)  # parsed and cached here, outside the clock
        rounds = common.interleaved({"framewick": fw, "direct": direct}, repeats, warmup=1)
    a, b = results["framewick"], results["direct"]
    return rounds, photos.psnr(a, b) if a.size == b.size else None


# --- Parsing memory: a fresh interpreter reads one .cube file ----------------------------------

PARSE_CHILD = """
import sys, time
def status(key):
    return int(next(l.split()[1] for l in open("/proc/self/status") if l.startswith(key))) * 1024
from framewick.lut import read_cube
before = status("VmRSS:")
t0 = time.perf_counter()
lut = read_cube(sys.argv[1])
print(time.perf_counter() - t0, status("VmHWM:") - before, 8 * len(lut.table))
"""


def parse_files(out_dir):
    """{label: path}: a valid 128-point table (about 54 MB of text) and 100 MB of blank lines
    around a 2-point table (made once)."""
    files = {}
    big = os.path.join(out_dir, "grade_128.cube")
    if not os.path.exists(big):
        tmp = big + f".{os.getpid()}.tmp"
        with open(tmp, "w") as f:
            f.write("LUT_3D_SIZE 128\n")
            for b in range(128):
                f.write("".join(f"{r / 127:.6f} {g / 127:.6f} {b / 127:.6f}\n" for g in range(128) for r in range(128)))
        os.replace(tmp, big)
    files["128-point table"] = big
    blank = os.path.join(out_dir, "blank_100mb.cube")
    if not os.path.exists(blank):
        tmp = blank + f".{os.getpid()}.tmp"
        with open(tmp, "w") as f:
            f.write("LUT_3D_SIZE 2\n")
            for _ in range(100):
                f.write("\n" * (1 << 20))
            f.write("".join(f"{r} {g} {b}\n" for b in (0, 1) for g in (0, 1) for r in (0, 1)))
        os.replace(tmp, blank)
    files["100 MB of blank lines"] = blank
    return files


def parse_memory(out_dir):
    """{label: (file bytes, seconds, bytes the parse raised the child's high-water mark by,
    bytes of the table's doubles)}, each file parsed by a fresh interpreter."""
    import subprocess

    result = {}
    for label, path in parse_files(out_dir).items():
        out = subprocess.run([sys.executable, "-c", PARSE_CHILD, path], capture_output=True, text=True, check=True)
        seconds, peak, doubles = out.stdout.split()
        result[label] = (os.path.getsize(path), float(seconds), int(peak), int(doubles))
    return result
