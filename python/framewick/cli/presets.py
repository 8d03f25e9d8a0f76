"""`framewick presets`: a contact sheet of a picture under each preset."""

from __future__ import annotations

import argparse

from framewick.cli._common import PROG, Parser, add_command, check_directory, check_format, echo_for, positive


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "presets", common, "make a contact sheet of a picture under each of the eight presets",
                    "framewick presets photo.png -o presets.jpg --cell 160")
    p.add_argument("input", metavar="IN", help="the picture to show")
    p.add_argument("-o", "--output", metavar="SHEET", required=True, help="where the sheet goes")
    p.add_argument("--cell", type=positive, default=200, metavar="PX", help="largest side of a tile (default 200)")
    p.add_argument("--columns", type=positive, default=4, metavar="N", help="tiles per row (default 4)")
    p.add_argument("--quality", type=positive, default=85, metavar="Q", help="save quality 1-100 (default 85)")
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from framewick import FrameWick
    from framewick._files import atomic_save
    from framewick._output import call_captured
    from framewick._pictures import preset_sheet

    check_format(args.output, "output")
    check_directory(args.output)
    echo = echo_for(args)
    sheet = FrameWick()
    sheet.image = preset_sheet(args.input, args.cell, args.columns, echo)
    call_captured(echo, sheet.optimize, args.quality)
    atomic_save(sheet, args.output, echo)
    print(f"{PROG} presets: contact sheet of {args.input} written to {args.output}")
    return 0
