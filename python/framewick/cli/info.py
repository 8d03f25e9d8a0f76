"""`framewick info`: a picture's status report, colour palette and metadata."""

from __future__ import annotations

import argparse
from typing import Any

from framewick.cli._common import Parser, add_command, echo_for, positive


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "info", common, "show a picture's status report, colour palette and metadata",
                    "framewick info photo.png --colors 8")
    p.add_argument("input", metavar="IN", help="the picture to inspect")
    p.add_argument("--colors", type=positive, default=5, metavar="N", help="colours in the palette (default 5)")
    p.set_defaults(func=run)


def _shown(value: Any) -> str:
    if isinstance(value, (bytes, bytearray)):
        return f"<{len(value)} bytes>"
    text = str(value)
    return text if len(text) <= 100 else text[:97] + "..."


def run(args: argparse.Namespace) -> int:
    from framewick import FrameWick
    from framewick._output import call_captured

    echo = echo_for(args)
    obj = call_captured(echo, FrameWick.load, args.input)
    obj.compare()  # the report is what was asked for: shown even with --quiet
    palette = call_captured(echo, obj.extract_color_palette, args.colors)
    metadata = call_captured(echo, obj.get_metadata)
    print(f"Palette: {' '.join(palette)}")
    print("Metadata:" + ("" if metadata else " none"))
    for key, value in (metadata or {}).items():
        print(f"  {key}: {_shown(value)}")
    return 0
