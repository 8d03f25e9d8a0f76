"""`framewick steps`: the steps a chain can use."""

from __future__ import annotations

import argparse

from framewick.cli._common import CHAIN_HELP, Parser, add_command


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "steps", common, "list the steps a chain can use, from the classes themselves",
                    "framewick steps")
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from framewick.chain import catalogue

    print(CHAIN_HELP)
    print()
    print(catalogue().describe())
    return 0
