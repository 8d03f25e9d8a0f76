"""Redraw the gallery's LUT before/after: the sample picture graded by a LUT made here.

    tools/devroot build/venv/bin/python tools/lut_gallery.py [OUT.jpg] [--cube FILE.cube]

The grade is a film-like one (a gentle S-curve, teal shadows, warm highlights) written as a
17-point .cube file by `framewick.lut.write_cube`, then applied with `apply_lut` at 0.9, so the
picture shows the code path a user's own LUT file takes.
"""

from __future__ import annotations

import argparse
import os
import tempfile

from framewick import FrameWick
from framewick.cli.samples import before_after, sample_picture
from framewick.lut import write_cube


def film(r: float, g: float, b: float) -> tuple[float, float, float]:
    def curve(v: float) -> float:
        return 0.55 * v * v * (3 - 2 * v) + 0.45 * v

    light = 0.2126 * r + 0.7152 * g + 0.0722 * b
    tone = light - 0.5  # below 0 in the shadows, above in the highlights
    out = (curve(r) + 0.22 * tone + 0.05, curve(g) + 0.04 * tone + 0.01, curve(b) - 0.24 * tone - 0.02)
    return tuple(min(max(v, 0.0), 1.0) for v in out)  # type: ignore[return-value]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?", default="docs/lut-before-after.jpg")
    parser.add_argument("--cube", help="also keep the .cube file here")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        cube = args.cube or os.path.join(scratch, "film.cube")
        write_cube(cube, 17, film, title="framewick film")
        photo = FrameWick()
        photo.image = sample_picture((900, 600))
        before = photo.image
        photo.apply_lut(cube, 0.9)
        before_after(before, photo.image, height=300).save(args.out, quality=88, optimize=True)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
