"""Camera RAW development: a 24 MP DNG (6000 by 4000, 14 bits, RGGB, as-shot neutral not grey)
made from a sample photograph, developed by `FrameWick.open(...).write(out.ppm)` against
LibRaw's own `dcraw_emu` with the same settings (camera white balance `-w`, sRGB output `-o 1`,
the sRGB curve `-g 2.4 12.92`, AHD, highlights clipped, 8 bits, written as PPM); and the
half-size path (`raw="half"`) against full development.

Each side is a whole fresh process, wall clock, interleaved; its peak resident size is the
child's own high water mark (wait4, ru_maxrss). Both sides use the same LibRaw library.
"""

import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

import common  # noqa: E402
from bigpicture import peak_rss  # noqa: E402

WIDTH, HEIGHT = 6000, 4000
DCRAW_EMU = "dcraw_emu"
SCRIPT = ("import sys\nfrom framewick import FrameWick\n"
          "FrameWick.open(sys.argv[1], raw=sys.argv[3] or None).write(sys.argv[2])\n")


def available():
    """None when both sides can run, else what is missing."""
    if shutil.which(DCRAW_EMU) is None:
        return "dcraw_emu (libraw-bin)"
    try:
        from framewick.formats import _raw  # noqa: F401
    except ImportError as e:
        return f"framewick.formats._raw ({e})"
    return None


def source(out_dir):
    """The 24 MP DNG (made once from the first sample photograph)."""
    from PIL import Image

    import photos
    import rawdng

    path = os.path.join(out_dir, f"raw_{WIDTH}x{HEIGHT}.dng")
    if os.path.exists(path):
        return path
    with Image.open(photos.photos(out_dir, count=1)[0]) as im:
        picture = im.convert("RGB").resize((WIDTH, HEIGHT), Image.Resampling.BICUBIC)
    tmp = path + f".{os.getpid()}.tmp.dng"
    rawdng.write_dng(tmp, picture, bits=14)
    os.replace(tmp, path)
    return path


def commands(out_dir, src):
    py = common.python()
    return {
        "framewick": [py, "-c", SCRIPT, src, os.path.join(out_dir, "raw_framewick.ppm"), ""],
        "dcraw_emu": [DCRAW_EMU, "-w", "-o", "1", "-g", "2.4", "12.92", "-q", "3", "-H", "0",
                      "-Z", os.path.join(out_dir, "raw_dcraw_emu.ppm"), src],
        "framewick half": [py, "-c", SCRIPT, src, os.path.join(out_dir, "raw_framewick_half.ppm"), "half"],
    }


def measure(out_dir, repeats):
    """({side: [seconds]}, {side: [peak bytes]}, comparison of the outputs)."""
    from PIL import Image

    import photos

    src = source(out_dir)
    cmds = commands(out_dir, src)
    peaks = {n: [] for n in cmds}
    failures = {}

    def timed(name):
        def go():
            t0 = common.clock()
            peak, status, last = peak_rss(cmds[name])
            seconds = common.clock() - t0
            if status != 0:
                failures[name] = f"exit status {status}: {last}"
            peaks[name].append(peak)
            return seconds
        return go

    rounds = common.interleaved({n: timed(n) for n in cmds}, repeats, warmup=1)
    peaks = {n: v[-repeats:] for n, v in peaks.items()}
    same = {"failures": failures}
    if not failures:
        with Image.open(cmds["framewick"][4]) as a, Image.open(cmds["dcraw_emu"][-2]) as b:
            same.update(size=(a.size, b.size), psnr=photos.psnr(a, b) if a.size == b.size else None)
        with Image.open(cmds["framewick half"][4]) as h:
            same["half_size"] = h.size
    return rounds, peaks, same
