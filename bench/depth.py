"""Pictures at depth: what the deep path keeps, and what it costs.

- levels: a 16-bit RGB gradient 4096 by 64 (one ramp through every pixel) through `levels:20,235,1.2 | ev:0.5` written to a
  16-bit PNG; the distinct levels of its first channel, against the same edit with --depth 8.
- heic: a 10-bit HEIC (heif-enc --bit-depth 10) written by `edit` to a 16-bit PNG, against
  heif-dec's 16-bit PNG of it; each side's 16-bit scaling is undone (framewick scales by
  v*65535/1023, heif-dec shifts by 6) and the 10-bit samples compared.
- resize: `size:50%` on a 16-bit 6000 by 4000 TIFF written as 16-bit TIFF, against its 8-bit
  twin (the same picture stored at 8 bits), both deflate; wall clock and peak resident size of
  whole fresh processes.
- raw: the 24 MP DNG of rawdev developed by `edit` to a 16-bit TIFF, against dcraw_emu's 16-bit
  TIFF with the same settings as rawdev's figure: `-6 -T -w -o 1 -g 2.4 12.92 -q 3 -H 0`. Both
  TIFFs are uncompressed (dcraw_emu writes no other; framewick writes a picture from another
  format uncompressed), so like is compared with like; the pixels must be equal.
  (`-4` is `-6` with a linear curve and no auto-brightening, which framewick's 16-bit
  development does not do: its pixels could not be equal.)

Each command runs as a whole fresh process through rawdev's launcher (wall clock, CPU, peak).
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402
import rawdev  # noqa: E402

GRADIENT = (4096, 64)
RAW_TARGET = 1.10  # edit of the DNG to a 16-bit TIFF over dcraw_emu -6 -T, wall clock
BIG = (6000, 4000)
HEIF_ENC, HEIF_DEC = "heif-enc", "heif-dec"


def framewick_cli():
    return [common.python(), "-m", "framewick"]


def run(cmd):
    return common.launched(cmd)


def _png16(path, pixels):
    from framewick.formats import _png

    h, w, c = pixels.shape
    with open(path, "wb") as fh:
        fh.write(_png.write(pixels, w, h, c, 16))


def _read_png(path):
    import numpy as np

    from framewick.formats import _png

    with open(path, "rb") as fh:
        found = _png.read(fh.read(), 0)
    dtype = np.uint16 if found["bits"] == 16 else np.uint8
    return np.frombuffer(found["pixels"], dtype).reshape(found["height"], found["width"], found["channels"]), \
        found["bits"]


def gradient(width, height):
    """A 16-bit RGB ramp through every pixel in reading order (width * height steps from 0 to
    65535, so each value is there about once), the others channels reversed and halved."""
    import numpy as np

    ramp = np.linspace(0, 65535, width * height).round().astype(np.uint16).reshape(height, width, 1)
    return np.ascontiguousarray(np.concatenate([ramp, ramp[::-1, ::-1], ramp // 2 + 16384], axis=2))


def levels(out_dir):
    """{"deep": (levels, bits), "8-bit": (levels, bits)} of the chain's output."""
    import numpy as np

    src = os.path.join(out_dir, "depth_gradient16.png")
    _png16(src, gradient(*GRADIENT))
    found = {}
    for name, extra in (("deep", []), ("8-bit", ["--depth", "8"])):
        out = os.path.join(out_dir, f"depth_levels_{name}.png")
        subprocess.run(framewick_cli() + ["-q", "edit", src, "-o", out, "--overwrite", "--steps",
                                          "levels:20,235,1.2 | ev:0.5", *extra], check=True)
        pixels, bits = _read_png(out)
        found[name] = (len(np.unique(pixels[:, :, 0])), bits)
    return found


def heic(out_dir):
    """(equal, largest 10-bit difference, bits written, heif-dec's bits) or a reason string."""
    import numpy as np

    if shutil.which(HEIF_ENC) is None or shutil.which(HEIF_DEC) is None:
        return "heif-enc and heif-dec (libheif-examples) are not there"
    src = os.path.join(out_dir, "depth_gradient_small.png")
    _png16(src, gradient(1024, 256))
    coded = os.path.join(out_dir, "depth_10bit.heic")
    subprocess.run([HEIF_ENC, "--bit-depth", "10", "-q", "90", "-o", coded, src], check=True, capture_output=True)
    ours, theirs = os.path.join(out_dir, "depth_heic_framewick.png"), os.path.join(out_dir, "depth_heic_heifdec.png")
    subprocess.run(framewick_cli() + ["-q", "edit", coded, "-o", ours, "--overwrite"], check=True)
    subprocess.run([HEIF_DEC, coded, theirs], check=True, capture_output=True)
    a, a_bits = _read_png(ours)
    b, b_bits = _read_png(theirs)
    if a_bits != 16 or b_bits != 16:
        return f"framewick wrote {a_bits} bits, heif-dec {b_bits}"
    ten_ours = np.rint(a[:, :, :3].astype(np.float64) * 1023 / 65535).astype(int)
    ten_theirs = b[:, :, :3].astype(int) >> 6
    diff = int(np.abs(ten_ours - ten_theirs).max())
    return diff == 0, diff, a_bits, b_bits


def _tiff_pair(out_dir):
    """The 16-bit 6000x4000 TIFF and its 8-bit twin, both deflate (made once)."""
    import numpy as np

    from framewick.formats import _tiff

    deep, eight = (os.path.join(out_dir, f"depth_{BIG[0]}x{BIG[1]}_{b}.tif") for b in (16, 8))
    if not (os.path.exists(deep) and os.path.exists(eight)):
        w, h = BIG
        y, x = np.mgrid[0:h, 0:w].astype(np.float32)
        rgb = np.stack([x / w, y / h, (np.sin(x / 97) * np.cos(y / 61) + 1) / 2], axis=2)
        pixels16 = np.rint(rgb * 65535).astype(np.uint16)
        del rgb, x, y
        with open(deep, "wb") as fh:
            fh.write(_tiff.write(pixels16, w, h, 3, 16, compression="deflate"))
        pixels8 = ((pixels16.astype(np.uint32) + 128) // 257).astype(np.uint8)
        with open(eight, "wb") as fh:
            fh.write(_tiff.write(pixels8, w, h, 3, 8, compression="deflate"))
    return deep, eight


def resize(out_dir, repeats):
    """({side: [wall seconds]}, {side: [peak bytes]}, bits written by the deep side, picture bytes)."""
    deep, eight = _tiff_pair(out_dir)
    sides = {"16-bit": deep, "8-bit": eight}
    peaks = {n: [] for n in sides}

    def timed(name):
        def go():
            out = os.path.join(out_dir, f"depth_half_{name}.tif")
            wall, _cpu, peak, status, last = run(framewick_cli() + ["-q", "edit", sides[name], "-o", out,
                                                                     "--overwrite", "--steps", "size:50%"])
            if status != 0:
                raise RuntimeError(f"{name}: exit status {status}: {last}")
            peaks[name].append(peak)
            return wall
        return go

    rounds = common.interleaved({n: timed(n) for n in sides}, repeats, warmup=1)
    import tifffile

    with tifffile.TiffFile(os.path.join(out_dir, "depth_half_16-bit.tif")) as t:
        bits = t.pages[0].bitspersample
    return rounds, {n: v[-repeats:] for n, v in peaks.items()}, bits, BIG[0] * BIG[1] * 3 * 2


def raw(out_dir, repeats):
    """({side: [wall seconds]}, comparison) or a reason string."""
    import numpy as np
    import tifffile

    why = rawdev.available()
    if why:
        return why
    src = rawdev.source(out_dir)
    ours = os.path.join(out_dir, "depth_raw_framewick.tif")
    theirs = os.path.join(out_dir, "depth_raw_dcraw_emu.tiff")
    cmds = {
        "framewick": framewick_cli() + ["-q", "edit", src, "-o", ours, "--overwrite", "--depth", "16"],
        # dcraw_emu writes next to its input unless -Z names the output.
        "dcraw_emu": [rawdev.DCRAW_EMU, "-6", "-T", "-w", "-o", "1", "-g", "2.4", "12.92", "-q", "3", "-H", "0",
                      "-Z", theirs, src],
    }
    rounds, _cpu, _peaks, failures = common.launched_rounds(cmds, repeats, warmup=0)
    if failures:
        return f"a side fails: {failures}"
    a, b = tifffile.imread(ours), tifffile.imread(theirs)
    same = a.shape == b.shape and a.dtype == b.dtype
    diff = int(np.abs(a.astype(np.int64) - b.astype(np.int64)).max()) if same else None
    compression = []
    for path in (ours, theirs):
        with tifffile.TiffFile(path) as t:
            compression.append(t.pages[0].compression.name.lower())
    return rounds, {"shape": (a.shape, b.shape), "dtype": (str(a.dtype), str(b.dtype)), "max_difference": diff,
                    "compression": tuple(compression)}
