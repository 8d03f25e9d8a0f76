"""The framewick command line."""

from __future__ import annotations

import argparse
import os
import sys


def _sample_picture(path: str) -> str:
    """Draw the demo's own sample picture (a gradient with shapes) and write it to `path`."""
    from PIL import Image, ImageDraw

    width, height = 1200, 800
    picture = Image.new("RGB", (width, height))
    pixels = picture.load()
    for y in range(height):
        for x in range(width):
            pixels[x, y] = (40 + 180 * x // width, 60 + 120 * y // height, 200 - 150 * x // width)
    draw = ImageDraw.Draw(picture)
    draw.ellipse((420, 180, 780, 540), fill=(250, 200, 60))
    draw.rectangle((0, 620, width, height), fill=(30, 90, 50))
    picture.save(path)
    return path


def demo(out_dir: str) -> int:
    from framewick.utils.storage import Storage

    os.makedirs(out_dir, exist_ok=True)
    source = _sample_picture(os.path.join(out_dir, "sample.png"))
    target = os.path.join(out_dir, "demo.jpg")
    Storage.load(source).convert_mode("RGB").optimize(80).convert("jpg").save(target)
    print(f"framewick demo: sample picture {source}, result {target}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="framewick", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    p_demo = sub.add_parser("demo", help="edit a sample picture that framewick draws itself")
    p_demo.add_argument("dir", nargs="?", default="framewick-demo")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo(args.dir)
    return 2


if __name__ == "__main__":
    sys.exit(main())
