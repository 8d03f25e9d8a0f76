"""`framewick steps`: the steps a chain can use, and the looks read from looks files."""

from __future__ import annotations

import argparse

from framewick.cli._common import CHAIN_HELP, Parser, add_command, look_list, printable, step_list


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "steps", common, "list the steps a chain can use, and the looks read from looks files",
                    "framewick steps\nframewick steps --json")
    p.add_argument("--json", action="store_true",
                   help="one JSON object: the steps with their parameters and types, and the looks")
    p.set_defaults(func=run)


def looks_data() -> list[dict[str, str]]:
    return [{"name": look.name, "steps": look.steps, "description": look.description, "file": look.file}
            for look in look_list()]


def run(args: argparse.Namespace) -> int:
    looks = look_list()
    if args.json:
        import json

        from framewick.steps import to_data

        print(json.dumps({"steps": to_data(), "looks": looks_data()}, ensure_ascii=False, indent=2))
        return 0
    print(CHAIN_HELP)
    print()
    print(step_list())
    print()
    if not looks:
        print("Looks: none (add them with --looks FILE or in ~/.config/framewick/looks.toml)")
    else:
        print("Looks (look:NAME, or preset:NAME):")
        for look in looks:  # a looks file's text is shown, never acted on by the terminal
            print(f"  {printable(look.name)}  ({printable(str(look.file))})")
            if look.description:
                print(f"      {printable(look.description)}")
            print(f"      {printable(look.steps)}")
    return 0
