"""`framewick info`: each picture's status report, what it carries, its palette and metadata."""

from __future__ import annotations

import argparse
import sys
TYPE_CHECKING = False  # typing is not imported at start-up; checkers read the block
if TYPE_CHECKING:
    from typing import Any

from framewick.cli._common import Parser, UsageError, add_command, add_max_pixels, add_raw_option, echo_for, error_line, fail, \
    positive, printable
from framewick.cli._targets import STDIO, check_input, read_source


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "info", common, "show each picture's status report, colour palette and metadata",
                    "framewick info photo.png --colors 8\nframewick info shots/*.jpg --json",
                    "With --json, each picture is one JSON object on a line of its own (path, format,\n"
                    "mode, size, frames, dpi, orientation, icc, bit_depth, hdr, palette, metadata, and groups: the\n"
                    "EXIF, XMP and IPTC fields by group, location, camera, capture, people, rights, ...; bytes are\n"
                    "given as {\"bytes\": length}); status lines then go to standard error. --placeholders\n"
                    "adds \"placeholders\": blurhash, thumbhash, phash and dominant (\"#rrggbb\"). A picture\n"
                    "that cannot be read is reported and the others go on (exit status 1).")
    p.add_argument("inputs", metavar="IN", nargs="+",
                   help="the pictures to inspect: files, directories and glob patterns ('-': standard input)")
    p.add_argument("-r", "--recursive", action="store_true", help="walk directories (and ** in patterns) whole")
    p.add_argument("--colors", type=positive, default=5, metavar="N", help="colours in the palette (default 5)")
    p.add_argument("--json", action="store_true", help="one JSON object per picture on standard output")
    p.add_argument("--placeholders", action="store_true",
                   help="add the BlurHash, the ThumbHash (base 64), the perceptual hash and the dominant colour "
                        "(\"placeholders\" in --json)")
    add_max_pixels(p)
    add_raw_option(p)
    p.set_defaults(func=run)


#: What the text form shows of the photo layer's description, beyond the status report.
_LABELS = {"frames": "Frames", "bit_depth": "Bit depth", "dpi": "DPI", "orientation": "Orientation",
           "icc": "ICC profile", "hdr": "HDR", "jpeg_quality": "JPEG quality (estimated)",
           "container": "Container"}


#: How the text form names each placeholder.
_MARKS = {"blurhash": "BlurHash", "thumbhash": "ThumbHash", "phash": "Perceptual hash", "dominant": "Dominant colour"}


def _placeholders() -> Any:
    """The function giving a picture's placeholders; a missing package is told once, in one line."""
    from framewick.photo.placeholders import placeholders

    told: set[str] = set()

    def missing(e: Exception) -> None:
        if str(e) not in told:
            told.add(str(e))
            fail(str(e))

    return lambda image: placeholders(image, missing)


def _jpeg_quality(source: Any) -> int | None:
    """The quality a JPEG was saved at, estimated from its quantization tables (None: unknown)."""
    from PIL import Image

    from framewick.photo.quality import estimate_jpeg_quality

    if hasattr(source, "seek"):
        source.seek(0)
    try:
        with Image.open(source) as picture:
            found = estimate_jpeg_quality(picture)
    except (OSError, ValueError):
        return None
    return found[0] if found else None


def _shown(value: Any) -> str:
    if isinstance(value, dict):
        return ", ".join(f"{k}: {v}" for k, v in value.items())
    if isinstance(value, (bytes, bytearray)):
        return f"<{len(value)} bytes>"
    text = str(value)
    return text if len(text) <= 100 else text[:97] + "..."


def _plain(value: Any) -> Any:
    """A JSON value for a metadata value: bytes as their length, tuples as lists, the rest as text."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if value == value and abs(value) != float("inf") else str(value)
    if isinstance(value, (bytes, bytearray)):
        return {"bytes": len(value)}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    try:
        number = float(value)  # EXIF rationals
    except (TypeError, ValueError):
        return str(value)
    return number if number == number else str(value)


def palette_shares(image: Any, palette: list[str]) -> list[dict[str, Any]]:
    """Each palette colour with the share of the reduced picture's pixels in its bucket.

    The palette groups the pixels of a 100x100 RGB copy into buckets of 16 levels per channel
    and names each bucket by its lowest colour; the share is that bucket's count out of all.
    """
    from collections import Counter

    from framewick.photo import modes

    if image.mode in modes.DEEP:  # counted as the palette counts it: scaled to 8 bits by its range
        image = modes.to_8bit(image)
    small = image.resize((100, 100)).convert("RGB")
    data = small.tobytes()
    counts = Counter(zip(data[0::3], data[1::3], data[2::3]))
    buckets: Counter[str] = Counter()
    for (r, g, b), n in counts.items():
        buckets[f"#{r & 0xF0:02x}{g & 0xF0:02x}{b & 0xF0:02x}"] += n
    total = small.width * small.height
    return [{"color": c.lower(), "share": round(buckets[c.lower()] / total, 4)} for c in palette]


def _groups(source: Any, obj: Any) -> dict[str, dict[str, str]] | None:
    """The picture's metadata fields by group, read from the file's bytes (None without libexiv2)."""
    from framewick.photo.fields import by_group

    if hasattr(source, "getvalue"):
        data = source.getvalue()
    else:
        try:
            with open(source, "rb") as fp:
                data = fp.read()
        except OSError:
            data = None
    return by_group(data, getattr(obj, "photo", None))


def describe(path: str, colors: int, echo: Any, max_pixels: int | None, as_json: bool, raw: str | None = None,
             marks: Any = None) -> None:
    from framewick._output import call_captured
    from framewick.photo import describe as photo_describe
    from framewick.photo import open_photo

    import json

    source = read_source(path)
    obj = call_captured(echo, open_photo, source, max_pixels=max_pixels, raw=raw)
    facts = photo_describe(obj)
    if facts.get("format") == "JPEG":
        facts["jpeg_quality"] = _jpeg_quality(source)
    groups = _groups(source, obj)
    if groups is not None:
        facts["groups"] = groups
    palette = call_captured(echo, obj.extract_color_palette, colors)
    found = marks(obj.image) if marks is not None else None
    if as_json:
        shares = palette_shares(obj.image, palette)
        record = {"path": path, **{str(k): _plain(v) for k, v in facts.items()}, "palette": shares}
        if found is not None:
            record["placeholders"] = found
        sys.stdout.write(json.dumps(record, ensure_ascii=False) + "\n")
        sys.stdout.flush()
        return
    obj.compare()  # the report is what was asked for: shown even with --quiet
    for key, label in _LABELS.items():
        if key in facts:
            value = facts[key]
            if key == "dpi" and isinstance(value, (list, tuple)):
                value = " x ".join(f"{v:g}" for v in value)
            if key == "hdr":
                if value is None:
                    continue  # an SDR picture says nothing of HDR
                value = f"{value['form']} gain map {value['gain_map'][0]}×{value['gain_map'][1]}, " \
                        f"up to {value['max_boost']:.1f}×"
            print(printable(f"{label}: {_shown(value) if value is not None else 'none'}"))
    print(f"Palette: {' '.join(palette)}")
    for key, value in (found or {}).items():
        print(f"{_MARKS[key]}: {value}")
    metadata = facts.get("metadata") or {}
    print("Metadata:" + ("" if metadata else " none"))
    for key, value in metadata.items():
        print(printable(f"  {key}: {_shown(value)}"))  # a picture's text never drives the terminal
    if groups is not None:
        from framewick.photo.fields import group_lines

        print("Metadata by group:")
        for line in group_lines(groups):
            print(printable(f"  {line}"))


def expand(inputs: list[str], recursive: bool) -> list[str]:
    """Files as given; directories and glob patterns as the picture files they hold, as batch
    finds them. A directory without pictures or a pattern that matches nothing is a usage error."""
    import glob
    import os

    paths: list[str] = []
    for item in inputs:
        if item != STDIO and (os.path.isdir(item) or (glob.has_magic(item) and not os.path.lexists(item))):
            from framewick.batch import BatchError, expand_inputs

            try:
                found = [source.path for source in expand_inputs([item], recursive=recursive)]
            except BatchError as e:
                raise UsageError(str(e)) from None
            if not found:
                raise UsageError(f"{item}: no picture files" + ("" if recursive else " (--recursive walks its tree)"))
            paths += found
        else:
            paths.append(item)
    return paths


def run(args: argparse.Namespace) -> int:
    if args.inputs.count(STDIO) > 1:
        raise UsageError("'-' (standard input) can be given once")
    args.inputs = expand(args.inputs, args.recursive)
    for path in args.inputs:
        check_input(path)
    echo = echo_for(args, data_on_stdout=args.json)
    failed = 0
    marks = _placeholders() if args.placeholders else None
    for index, path in enumerate(args.inputs):
        if index and not args.json:
            print()
        try:
            describe(path, args.colors, echo, args.max_pixels, args.json, args.raw, marks)
        except Exception as e:
            if getattr(args, "debug", False):
                raise
            failed += 1
            fail(error_line(e) if len(args.inputs) == 1 else f"{path}: {error_line(e)}")
    return 1 if failed else 0
