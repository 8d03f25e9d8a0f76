"""`framewick formats`: the picture formats this build reads and writes, and who provides each."""

from __future__ import annotations

import argparse
import sys

from framewick.cli._common import Parser, add_command


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "formats", common, "list the picture formats this build reads and writes",
                    "framewick formats\nframewick formats --json",
                    "The formats are Pillow's own and those framewick adds (HEIF/HEIC through libheif,\n"
                    "JPEG XL through python3-pillow-jpegxl-plugin) where they are installed. --format and\n"
                    "the convert step take any name or extension listed as written. With --json, one\n"
                    "object: {\"formats\": [{format, description, extensions, mime, read, write,\n"
                    "provider}], \"plugins\": [{plugin, registered}]}.")
    p.add_argument("--json", action="store_true", help="one JSON object on standard output")
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from framewick import formats

    rows = formats.listing()
    plugins = [{"plugin": name, "registered": name in formats.registered()} for name in formats.PLUGINS]
    if args.json:
        import json

        sys.stdout.write(json.dumps({"formats": rows, "plugins": plugins}) + "\n")
        return 0
    rows = [r for r in rows if r["read"] or r["write"]]
    width = max(len(r["format"]) for r in rows)
    by = max(len(r["provider"]) for r in rows)
    print(f"{'format':<{width}}  read  write  {'provider':<{by}}  extensions")
    for r in rows:
        print(f"{r['format']:<{width}}  {'yes' if r['read'] else '-':<4}  {'yes' if r['write'] else '-':<5}  "
              f"{r['provider']:<{by}}  {' '.join(r['extensions'])}")
    for p in plugins:
        if not p["registered"]:
            print(f"not installed: {p['plugin']}", file=sys.stderr)
    return 0
