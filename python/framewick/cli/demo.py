"""`framewick demo`: the typical request on a sample picture framewick draws itself."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable
TYPE_CHECKING = False  # typing is not imported at start-up; checkers read the block
if TYPE_CHECKING:
    from typing import Any

from framewick.cli._common import PROG, Parser, UsageError, add_command, echo_for
from framewick.cli._signals import terminate_as_interrupt

DEMO_CHAIN = "preset:vintage | resize:800,600 | border:10 | compare | optimize:80"
FILES = ("sample.png", "demo.jpg", "before-after.jpg")


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "demo", common, "run the typical edit on a sample picture framewick draws itself",
                    "framewick demo build/demo",
                    f"The demo draws DIR/sample.png, runs {DEMO_CHAIN!r} on it,\n"
                    "saves DIR/demo.jpg and DIR/before-after.jpg, and prints where they went. Files already\n"
                    "there are replaced only with --overwrite (exit status 2 otherwise).")
    p.add_argument("dir", metavar="DIR", nargs="?", default="framewick-demo",
                   help="where the files go (default: framewick-demo)")
    p.add_argument("--overwrite", action="store_true", help="replace the three files if they exist")
    p.set_defaults(func=run)


def check_targets(directory: str, overwrite: bool) -> None:
    """Refuse, before anything is drawn, a DIR that is not a directory, and files already there
    (unless `overwrite`)."""
    if os.path.lexists(directory) and not os.path.isdir(directory):
        raise UsageError(f"DIR {directory!r} is not a directory")
    if overwrite:
        return
    there = [name for name in FILES if os.path.lexists(os.path.join(directory, name))]
    if there:
        raise UsageError(f"{', '.join(os.path.join(directory, n) for n in there)} "
                         f"exist{'s' if len(there) == 1 else ''}; --overwrite replaces {'it' if len(there) == 1 else 'them'}")


def run(args: argparse.Namespace) -> int:
    from framewick.chain import Chain

    check_targets(args.dir, args.overwrite)
    chain = Chain.parse(DEMO_CHAIN)
    echo = echo_for(args)
    with terminate_as_interrupt():
        os.makedirs(args.dir, exist_ok=True)
        paths = demo(args.dir, chain, echo)
    print(f"{PROG} demo: ran {DEMO_CHAIN!r}")
    print(f"  sample picture: {paths['sample.png']}")
    print(f"  result:         {paths['demo.jpg']}")
    print(f"  before/after:   {paths['before-after.jpg']}")
    return 0


def demo(directory: str, chain: Any, echo: Callable[[str], None]) -> dict[str, str]:
    """Draw the sample, run the chain on it through its plan, and write the three files; returns
    their paths."""
    from framewick import FrameWick
    from framewick._files import atomic_save
    from framewick._output import call_captured
    from framewick.cli.samples import before_after, sample_picture
    from framewick.photo.planning import Plan

    paths = {name: os.path.join(directory, name) for name in FILES}
    # The typical request: open, vintage, 800x600, a 10-pixel border, the report, quality 80, save.
    plan = Plan.make(chain, fmt="JPEG", what=f"output {paths['demo.jpg']!r}")
    drawn = FrameWick()
    drawn.image = sample_picture()
    atomic_save(drawn, paths["sample.png"], echo)
    obj = plan.open(paths["sample.png"], paths["sample.png"], echo, cls=FrameWick)
    plan.run(obj, echo)
    atomic_save(obj, paths["demo.jpg"], echo)
    pair = FrameWick()
    pair.image = before_after(drawn.image, obj.image)
    call_captured(echo, pair.optimize, 80)
    atomic_save(pair, paths["before-after.jpg"], echo)
    return paths
