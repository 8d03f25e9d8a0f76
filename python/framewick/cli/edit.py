"""`framewick edit`: load one picture, run the steps in order, save it."""

from __future__ import annotations

import argparse

from framewick.cli._common import CHAIN_HELP, STEPS_HELP, Parser, add_command, check_directory, check_format, \
    echo_for, read_chain, step_list


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "edit", common, "load a picture, run the steps in order, save it",
                    'framewick edit photo.png -o out.jpg --steps "preset:vintage | resize:800,600 | border:10"',
                    CHAIN_HELP + "\n\nThe steps:\n" + step_list())
    p.add_argument("input", metavar="IN", help="the picture to edit")
    p.add_argument("-o", "--output", metavar="OUT", required=True,
                   help="where the result goes; its extension chooses the format")
    p.add_argument("-s", "--steps", default="", metavar="STEPS", help=STEPS_HELP)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from framewick import FrameWick
    from framewick._files import atomic_save
    from framewick._output import call_captured

    chain = read_chain(args.steps)
    check_format(args.output, "output")
    check_directory(args.output)
    echo = echo_for(args)
    obj = call_captured(echo, FrameWick.load, args.input)
    chain.apply(obj, echo)
    atomic_save(obj, args.output, echo)
    return 0
