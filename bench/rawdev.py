"""Camera RAW development: a 24 MP DNG (6000 by 4000, 14 bits, RGGB, as-shot neutral not grey)
made from a sample photograph, developed by `FrameWick.open(...).write(out.ppm)` against
LibRaw's own `dcraw_emu` with the same settings (camera white balance `-w`, sRGB output `-o 1`,
the sRGB curve `-g 2.4 12.92`, AHD, highlights clipped, 8 bits, written as PPM), whose pixels
must be equal; and the half-size path (`raw="half"`) against full development.

`python bench/rawdev.py [--quick]` measures and prints the two RAW development figures alone:
this one and the 16-bit TIFF one of depth.py (bench/run.py --only raw depth prints them with the
rest of their groups).

Each side is a whole fresh process, interleaved, started by a small launcher that reports its
wall clock, CPU time (user and system, all threads: LibRaw's OpenMP threads on both sides) and
peak resident size (wait4). The launcher matters for the peak: Linux carries a process's high
water mark across fork and exec, so a child of the bench's own (large) process would report
the bench's size. The 24 MP DNG is made in a process of its own for the same reason.
Both sides use the same LibRaw library.
"""

import os
import shutil
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

import common  # noqa: E402

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
    """The 24 MP DNG (made once, in a process of its own, from the first sample photograph)."""
    return common.made_apart("rawdev", out_dir, os.path.join(out_dir, f"raw_{WIDTH}x{HEIGHT}.dng"))


def make_source(out_dir, path):
    from PIL import Image

    import photos
    import rawdng

    with Image.open(photos.photos(out_dir, count=1)[0]) as im:
        picture = im.convert("RGB").resize((WIDTH, HEIGHT), Image.Resampling.BICUBIC)
    tmp = path + f".{os.getpid()}.tmp.dng"
    rawdng.write_dng(tmp, picture, bits=14)
    os.replace(tmp, path)


def commands(out_dir, src):
    py = common.python()
    return {
        "framewick": [py, "-c", SCRIPT, src, os.path.join(out_dir, "raw_framewick.ppm"), ""],
        "dcraw_emu": [DCRAW_EMU, "-w", "-o", "1", "-g", "2.4", "12.92", "-q", "3", "-H", "0",
                      "-Z", os.path.join(out_dir, "raw_dcraw_emu.ppm"), src],
        "framewick half": [py, "-c", SCRIPT, src, os.path.join(out_dir, "raw_framewick_half.ppm"), "half"],
    }


def measure(out_dir, repeats):
    """({side: [wall seconds]}, {side: [CPU seconds]}, {side: [peak bytes]}, comparison of the outputs)."""
    from PIL import Image

    import photos

    src = source(out_dir)
    cmds = commands(out_dir, src)
    rounds, cpu, peaks, failures = common.launched_rounds(cmds, repeats)
    same = {"failures": failures}
    if not failures:
        import numpy as np

        with Image.open(cmds["framewick"][4]) as a, Image.open(cmds["dcraw_emu"][-2]) as b:
            same.update(size=(a.size, b.size), psnr=photos.psnr(a, b) if a.size == b.size else None)
            same["differing"] = int(np.count_nonzero(np.asarray(a) != np.asarray(b))) if a.size == b.size else None
        with Image.open(cmds["framewick half"][4]) as h:
            same["half_size"] = h.size
    return rounds, cpu, peaks, same


TARGET = 1.05  # FrameWick.open(dng).write(out.ppm) over dcraw_emu, wall clock


def main(argv=None):
    """Both RAW development figures, each with met or not met."""
    import argparse

    import depth

    p = argparse.ArgumentParser(description="camera RAW development against dcraw_emu")
    p.add_argument("--quick", action="store_true", help="one round each (a smoke run)")
    args = p.parse_args(argv)
    why = available()
    if why:
        print(f"not measured: {why} is not there")
        return 1
    out = common.out_dir()
    repeats = 1 if args.quick else 5
    rounds, cpu, _peaks, same = measure(out, repeats)
    if same["failures"]:
        print(f"not measured: a side fails: {same['failures']}")
        return 1
    ratio = statistics.median(common.ratio_rounds(rounds["framewick"], rounds["dcraw_emu"]))
    cpu_ratio = statistics.median(common.ratio_rounds(cpu["framewick"], cpu["dcraw_emu"]))
    equal = same.get("differing") == 0
    met = ratio <= TARGET and equal
    print(f"develop 24 MP DNG to PPM / dcraw_emu: {ratio:.3f} (target <= {TARGET:.2f}), "
          f"{'met' if met else 'not met'}; framewick {statistics.median(rounds['framewick']):.2f} s, dcraw_emu "
          f"{statistics.median(rounds['dcraw_emu']):.2f} s, CPU ratio {cpu_ratio:.3f}; pixels "
          f"{'equal' if equal else 'differ in %s samples' % same.get('differing')}")
    developed = depth.raw(out, 1 if args.quick else 3)
    if isinstance(developed, str):
        print(f"develop 24 MP DNG to 16-bit TIFF: not measured: {developed}")
        return 1
    rounds16, same16 = developed
    ratio16 = statistics.median(common.ratio_rounds(rounds16["framewick"], rounds16["dcraw_emu"]))
    met16 = ratio16 <= depth.RAW_TARGET and same16["max_difference"] == 0
    print(f"develop 24 MP DNG to 16-bit TIFF / dcraw_emu -6 -T: {ratio16:.3f} (target <= {depth.RAW_TARGET:.2f}), "
          f"{'met' if met16 else 'not met'}; framewick {statistics.median(rounds16['framewick']):.2f} s, dcraw_emu "
          f"{statistics.median(rounds16['dcraw_emu']):.2f} s; largest difference {same16['max_difference']}, "
          f"compression {same16['compression']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
