"""`framewick presets`: the presets and looks, and a contact sheet of a picture under each."""

from __future__ import annotations

import argparse

from framewick.cli._common import PROG, Parser, UsageError, add_command, add_open_options, echo_for, look_list, \
    open_kwargs, positive, printable
from framewick.cli._signals import terminate_as_interrupt
from framewick.cli._targets import STDIO, check_input, check_output, data_on_stdout, read_source


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "presets", common, "list the presets and looks, or make a contact sheet of a picture "
                    "under each", "framewick presets\nframewick presets photo.png -o presets.jpg --cell 160",
                    "Without IN, lists the eight presets and the looks read from looks files (--json for\n"
                    "scripts). With IN and -o SHEET, writes a sheet of IN under each preset and each look,\n"
                    "labelled with its name.")
    p.add_argument("input", metavar="IN", nargs="?", help="the picture to show ('-': standard input)")
    p.add_argument("-o", "--output", metavar="SHEET", help="where the sheet goes ('-' with --format: standard output)")
    p.add_argument("--format", metavar="NAME", help="the sheet's format whatever SHEET's extension")
    p.add_argument("--overwrite", action="store_true", help="replace SHEET if it exists")
    p.add_argument("--cell", type=positive, default=200, metavar="PX", help="largest side of a tile (default 200)")
    p.add_argument("--columns", type=positive, default=4, metavar="N", help="tiles per row (default 4)")
    p.add_argument("--quality", type=positive, default=85, metavar="Q", help="save quality 1-100 (default 85)")
    p.add_argument("--json", action="store_true", help="list the presets and looks as one JSON object")
    add_open_options(p)
    p.set_defaults(func=run)


def listing() -> dict[str, list[dict[str, str]]]:
    from framewick.cli.steps import looks_data
    from framewick.steps import registry

    return {"presets": [{"name": p.name, "description": p.description} for p in registry.presets()],
            "looks": looks_data()}


def run(args: argparse.Namespace) -> int:
    if args.input is None:
        if args.output:
            raise UsageError("-o SHEET needs the picture IN to make the sheet of")
        return show_list(args.json)
    if args.output is None:
        raise UsageError("the contact sheet needs -o SHEET")
    if args.json:
        raise UsageError("--json lists the presets and looks; give it without IN")
    if not 1 <= args.quality <= 100:
        raise UsageError(f"--quality {args.quality}: expected 1 to 100")
    from framewick.cli._common import output_format

    to_stdout = args.output == STDIO
    check_output(args.output, [args.input], overwrite=args.overwrite, fmt=args.format)
    check_input(args.input)
    fmt = output_format(args.format)[0] if args.format else None
    from framewick.chain import Chain
    from framewick.photo.planning import Plan, output_format_of

    # The picture is opened through a plan of no steps (the tiles are made from it in memory):
    # once, within the limits, every frame counted; the sheet's format known before it is read.
    plan = Plan.make(Chain(()), fmt=fmt or output_format_of(None, None if to_stdout else args.output),
                     what="-o -" if to_stdout else f"output {args.output!r}", max_pixels=args.max_pixels)
    echo = echo_for(args, data_on_stdout=to_stdout)
    looks = look_list()

    from framewick import FrameWick
    from framewick._output import call_captured
    from framewick.cli.samples import preset_sheet
    from framewick.photo import write_photo

    name = "standard input" if args.input == STDIO else args.input
    opening = {k: v for k, v in open_kwargs(args).items() if k != "max_pixels"}  # the plan's own
    with terminate_as_interrupt(), data_on_stdout(to_stdout) as binary:
        base = plan.open(read_source(args.input, args.max_pixels), name, echo, cls=FrameWick, **opening)
        sheet = FrameWick()
        sheet.image = preset_sheet(base, args.cell, args.columns, echo, [look.name for look in looks])
        call_captured(echo, sheet.optimize, args.quality)
        write_photo(sheet, binary if binary is not None else args.output, format=fmt, echo=echo)
    if not to_stdout:
        print(f"{PROG} presets: contact sheet of {args.input} written to {args.output}")
    return 0


def show_list(as_json: bool) -> int:
    data = listing()
    if as_json:
        import json

        print(json.dumps(data, ensure_ascii=False, indent=2))
        return 0
    print("Presets (preset:NAME):")
    for preset in data["presets"]:
        print(f"  {preset['name']:<10} {preset['description']}")
    print()
    if not data["looks"]:
        print("Looks: none (add them with --looks FILE or in ~/.config/framewick/looks.toml)")
        return 0
    print("Looks (look:NAME, or preset:NAME):")
    for look in data["looks"]:  # a looks file's text is shown, never acted on by the terminal
        print(f"  {printable(look['name'])}  ({printable(str(look['file']))})")
        if look["description"]:
            print(f"      {printable(look['description'])}")
        print(f"      {printable(look['steps'])}")
    return 0
