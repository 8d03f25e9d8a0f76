"""`framewick completion`: a shell completion script, made by shtab from the parser itself."""

from __future__ import annotations

import argparse
import sys

from framewick.cli._common import Parser, add_command

SHELLS = ("bash", "zsh", "fish")


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "completion", common, "print a shell completion script (bash, zsh or fish)",
                    "framewick completion fish > ~/.config/fish/completions/framewick.fish\n"
                    'eval "$(framewick completion bash)"',
                    "Completes the commands, their options, file names, and in --steps the step names,\n"
                    "preset:NAME and look:NAME for the presets and the looks known when it is made.\n"
                    "Needs shtab (the optional dependency 'completion', or the python3-shtab package).")
    p.add_argument("shell", choices=SHELLS, help="the shell to complete in")
    p.set_defaults(func=run)


def words() -> list[str]:
    """What --steps completes to: every step name, and preset:NAME and look:NAME."""
    from framewick.cli._common import look_list
    from framewick.steps import names_of, builtin_presets, registry

    names = sorted(names_of(registry.steps()))
    return names + [f"preset:{n}" for n in builtin_presets()] + [f"look:{look.name}" for look in look_list()]


def _walk(parser: argparse.ArgumentParser) -> list[argparse.ArgumentParser]:
    found = [parser]
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for child in dict.fromkeys(action.choices.values()):
                found += _walk(child)
    return found


def run(args: argparse.Namespace) -> int:
    try:
        import shtab
    except ImportError:
        print("framewick completion: needs shtab, which is not installed (install the optional dependency "
              "'completion' of framewick, or the python3-shtab package)", file=sys.stderr)
        return 1
    import shlex

    from framewick.cli import build_parser

    parser = build_parser()
    steps = shtab.cmd("printf '%s\\n' " + " ".join(shlex.quote(w) for w in words()))
    for each in _walk(parser):
        for action in each._actions:
            if action.dest == "steps":
                action.complete = steps  # type: ignore[attr-defined]
            elif action.dest in ("input", "inputs", "output", "looks", "looks_first"):
                action.complete = shtab.FILE  # type: ignore[attr-defined]
            elif action.dest in ("out_dir", "dir"):
                action.complete = shtab.DIRECTORY  # type: ignore[attr-defined]
    sys.stdout.write(shtab.complete(parser, shell=args.shell))
    return 0
