"""`framewick similar`: groups of near-identical pictures, by the perceptual hash."""

from __future__ import annotations

import argparse
import sys

from framewick.cli._common import Parser, UsageError, add_command, add_max_pixels, error_line, fail, printable

#: The side pictures are brought to before hashing (a JPEG is decoded at a reduced scale for it).
HASH_SIDE = 512


def _threshold(text: str) -> int:
    from framewick.photo.similar import BITS

    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value < BITS:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of bits from 0 to {BITS - 1}")
    return value


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "similar", common, "list groups of near-identical pictures, by a perceptual hash",
                    "framewick similar photos/\nframewick similar shots/ exports/*.jpg --threshold 4 --json",
                    "Each picture is hashed once (ImageHash's DCT hash, 64 bits; Debian's python3-imagehash);\n"
                    "two pictures are near when their hashes differ in at most --threshold bits, and a group\n"
                    "is every picture joined to another of it that way. Each group shows its pictures with\n"
                    "their distance to the first. A resized or recompressed copy is usually within 4 bits;\n"
                    "unrelated pictures differ in about 32. With --json, each group is one JSON object on a\n"
                    "line: {\"pictures\": [{\"path\", \"phash\", \"distance\"}, ...]}. A file that cannot be\n"
                    "read is one line on standard error and the others go on (exit status 1).")
    p.add_argument("inputs", metavar="DIR", nargs="+", help="directories, files and glob patterns of pictures")
    p.add_argument("-r", "--recursive", action="store_true", help="walk directories (and ** in patterns) whole")
    from framewick.photo.similar import DEFAULT_THRESHOLD

    p.add_argument("--threshold", type=_threshold, default=DEFAULT_THRESHOLD, metavar="N",
                   help=f"the largest Hamming distance between near pictures, in bits (default {DEFAULT_THRESHOLD})")
    p.add_argument("--json", action="store_true", help="one JSON object per group on standard output")
    add_max_pixels(p)
    p.set_defaults(func=run)


def hash_file(path: str, max_pixels: int | None) -> str:
    """The perceptual hash of the picture at `path`, upright, decoded small where it can be."""
    from framewick import quiet
    from framewick.photo import open_photo
    from framewick.photo.placeholders import perceptual_hash

    with quiet():
        obj = open_photo(path, steps=f"thumbnail:({HASH_SIDE},{HASH_SIDE})", max_pixels=max_pixels, raw="half")
    return perceptual_hash(obj.image)


def _hashes(paths: list[str], max_pixels: int | None, debug: bool) -> tuple[list[tuple[str, str]], int]:
    """Each readable picture's (path, hash), in the order given, and how many could not be read
    (each told in one line). Pictures are decoded on a few threads: Pillow's decoders let go of
    the interpreter while they work."""
    import os
    from concurrent.futures import ThreadPoolExecutor

    from framewick._limits import not_regular

    def one(path: str) -> tuple[str | None, str | None]:
        """(the hash, None), or (None, the error line)."""
        what = not_regular(path)
        if what:
            return None, f"{path}: {what}, not a picture file"
        try:
            return hash_file(path, max_pixels), None
        except Exception as e:
            if debug:
                raise
            return None, f"{path}: {error_line(e)}"

    found, failed = [], 0
    with ThreadPoolExecutor(max_workers=min(4, os.cpu_count() or 1)) as pool:
        for path, (digest, problem) in zip(paths, pool.map(one, paths)):
            if digest is not None:
                found.append((path, digest))
            else:
                failed += 1
                fail(problem or path)
    return found, failed


def run(args: argparse.Namespace) -> int:
    from framewick.cli.info import expand
    from framewick.photo.placeholders import MissingPackage

    try:
        import imagehash  # noqa: F401  (asked before any picture is read)
    except ImportError:
        raise UsageError(str(MissingPackage("similar", "python3-imagehash"))) from None
    paths = list(dict.fromkeys(p for p in expand(args.inputs, args.recursive) if p != "-"))
    found, failed = _hashes(paths, args.max_pixels, getattr(args, "debug", False))

    from framewick.photo.similar import group_hashes

    groups = group_hashes(found, args.threshold)
    if args.json:
        import json

        for group in groups:
            pictures = [{"path": n, "phash": h, "distance": d}
                        for n, h, d in zip(group.names, group.hashes, group.distances)]
            sys.stdout.write(json.dumps({"pictures": pictures}, ensure_ascii=False) + "\n")
        sys.stdout.flush()
    else:
        for number, group in enumerate(groups, 1):
            print(f"Group {number}: {len(group.names)} pictures")
            for name, distance in zip(group.names, group.distances):
                print(printable(f"  {name}" + (f"  (distance {distance})" if distance else "")))
        if not groups:
            print(f"No near-identical pictures among {len(found)} (threshold {args.threshold} bits)")
    return 1 if failed else 0
