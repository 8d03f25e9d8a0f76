"""Publishing figures: a size budget and responsive sets, on twelve 12 MP photo-like pictures.

    tools/devroot build/venv/bin/python bench/publish.py [--out build/publish] [--count 12] [--sets N] [--skip-loop]
        [--skip-budget] [--budget-format heic --max-bytes 120k]

Not part of `make bench` (a run takes several minutes: the AVIF encodes dominate). The pictures
are drawn here (no sample photographs are needed): a 1/f colour field, which has the spectrum
of natural scenes, with hard-edged shapes, a slight blur and sensor-like grain, saved as 4000 by
3000 JPEGs at quality 92; their files at 1600 wide and quality 80 weigh 84 to 233 KB, as
photographs do.

1. `framewick batch --steps size:1600x --format jpg --max-bytes 200k --json -j 2`: every file at
   most 200,000 bytes and within 10 % of it, and the encodes per picture (from the records);
   `--budget-format` and `--max-bytes` take another format and budget (HEIC, AVIF: the chroma
   subsampling chosen is counted too).
2. `framewick srcset --widths 480,960,1920 --formats avif,webp,jpg -j 1` against a shell loop of
   `framewick edit IN -o NAME-W.EXT --steps size:Wx` doing the same 9 files per picture, one
   process at a time, on the first N pictures (`--sets`, default all; the AVIF encodes make a
   whole run long on a shared machine; 0 leaves it out): wall clock, the loop first, then srcset, then the loop
   again, and srcset against the mean of the two loops.
"""

import argparse
import json
import os
import subprocess
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
SIZE = (4000, 3000)


def photo_like(width, height, seed):
    import numpy as np
    from PIL import Image, ImageDraw, ImageFilter

    rng = np.random.default_rng(seed)
    fy = np.fft.fftfreq(height)[:, None]
    fx = np.fft.rfftfreq(width)[None, :]
    f = np.sqrt(fx * fx + fy * fy)
    f[0, 0] = 1
    bands, base = [], None
    for _ in range(3):
        spectrum = (rng.normal(size=f.shape) + 1j * rng.normal(size=f.shape)) / f ** (1.35 + 0.08 * (seed % 5))
        band = np.fft.irfft2(spectrum, s=(height, width))
        band = (band - band.mean()) / band.std()
        base = band if base is None else 0.75 * base + 0.25 * band
        bands.append(base)
    picture = Image.fromarray(np.clip(np.stack(bands, -1) * 40 + 120, 0, 255).astype(np.uint8))
    draw = ImageDraw.Draw(picture)
    for k in range(12 + seed % 7):
        x, y, r = int(rng.integers(0, width)), int(rng.integers(0, height)), int(rng.integers(60, 600))
        colour = tuple(int(v) for v in rng.integers(0, 255, 3))
        (draw.ellipse if k % 2 else draw.rectangle)((x - r, y - r // 2, x + r, y + r // 2), fill=colour)
    picture = picture.filter(ImageFilter.GaussianBlur(1.2))
    grain = rng.normal(scale=1.5 + 0.5 * (seed % 3), size=(height, width, 3))
    return Image.fromarray(np.clip(np.asarray(picture).astype(np.float32) + grain, 0, 255).astype(np.uint8))


def pictures(directory, count):
    os.makedirs(directory, exist_ok=True)
    paths = []
    for i in range(count):
        path = os.path.join(directory, f"photo{i:02d}.jpg")
        if not os.path.exists(path):
            photo_like(*SIZE, i).save(path, quality=92)
        paths.append(path)
    return paths


def run(*args):
    started = time.perf_counter()
    done = subprocess.run([SCRIPT, *args], capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"{args}: {done.stderr}")
    return time.perf_counter() - started, done.stdout


def budget(photos, out, fmt="jpg", size="200k"):
    from collections import Counter

    from framewick.photo.budget import parse_size

    limit = parse_size(size)
    seconds, stdout = run("batch", *photos, "-d", out, "--steps", "size:1600x", "--format", fmt,
                          "--max-bytes", size, "--json", "-j", "2", "--overwrite", "--no-progress")
    records = [json.loads(line) for line in stdout.splitlines()]
    sizes = [r["bytes"] for r in records]
    encodes = [r["encodes"] for r in records]
    chroma = Counter(r["subsampling"] for r in records if r.get("subsampling"))
    print(f"--max-bytes {size}, {len(records)} pictures to 1600 wide {fmt.upper()}: bytes {min(sizes):,} to "
          f"{max(sizes):,} (all <= {limit:,}: {max(sizes) <= limit}; all >= {int(limit * 0.9):,}: "
          f"{min(sizes) >= limit * 0.9}); encodes per picture {sum(encodes) / len(encodes):.2f} (max {max(encodes)}); "
          f"qualities {sorted(r['quality'] for r in records)}"
          f"{'; chroma ' + ', '.join(f'{k} x{v}' for k, v in sorted(chroma.items())) if chroma else ''}; "
          f"{seconds:.1f} s on 2 workers")


def srcset(photos, out, loop):
    widths, formats = (480, 960, 1920), ("avif", "webp", "jpg")
    target = os.path.join(out, "loop")
    os.makedirs(target, exist_ok=True)
    script = "".join(f'for w in {" ".join(map(str, widths))}; do for f in {" ".join(formats)}; do '
                     f'"{SCRIPT}" -q edit "{p}" -o "{target}/{os.path.basename(p)[:-4]}-$w.$f" --steps "size:${{w}}x" '
                     f'--overwrite || exit 1; done; done\n' for p in photos)

    def looped():
        started = time.perf_counter()
        subprocess.run(["sh", "-e", "-c", script], check=True)
        return time.perf_counter() - started

    loops = [looped()] if loop else []
    seconds, _ = run("srcset", *photos, "-d", os.path.join(out, "srcset"), "--widths", ",".join(map(str, widths)),
                     "--formats", ",".join(formats), "-j", "1", "--overwrite", "--no-progress", "-q")
    print(f"srcset, {len(photos)} pictures x 3 widths x 3 formats, one process: {seconds:.1f} s")
    if loop:
        loops.append(looped())
        mean = sum(loops) / len(loops)
        print(f"shell loop of {len(photos) * 9} framewick edit calls doing the same: "
              f"{' and '.join(f'{s:.1f}' for s in loops)} s (srcset takes {seconds / mean:.2f} of their mean)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default="build/publish")
    parser.add_argument("--count", type=int, default=12)
    parser.add_argument("--sets", type=int, default=None, help="pictures in the srcset figure (default all)")
    parser.add_argument("--skip-loop", action="store_true")
    parser.add_argument("--skip-budget", action="store_true")
    parser.add_argument("--budget-format", default="jpg")
    parser.add_argument("--max-bytes", default="200k")
    args = parser.parse_args()
    photos = pictures(os.path.join(args.out, "photos"), args.count)
    if not args.skip_budget:
        budget(photos, os.path.join(args.out, "budget"), args.budget_format, args.max_bytes)
    if args.sets != 0:
        srcset(photos[:args.sets], args.out, not args.skip_loop)


if __name__ == "__main__":
    main()
