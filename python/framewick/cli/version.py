"""`framewick version`: the version, and with --check a look for a newer release."""

from __future__ import annotations

import argparse
import threading

from framewick import __version__
from framewick.cli._common import PROG, Parser, add_command, write

#: How long `version --check` waits for the check: the request's own 5-second time-out for
#: connecting and again for reading, and a little for the answer.
CHECK_WAIT = 12.0


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "version", common, "print the version; --check asks the package index for a newer one",
                    "framewick version --check",
                    "Only 'version --check' contacts the network: one request to the package index, waited\n"
                    "for up to its time-out.")
    p.add_argument("--check", action="store_true", help="check for a newer release (network)")
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    print(f"{PROG} {__version__}", flush=True)
    if not args.check:
        return 0
    from framewick._output import captured
    from framewick.utils.updater import FrameWickUpdater

    updater = FrameWickUpdater(PROG, __version__)
    notice: list[str] = []

    def check() -> None:
        with captured() as buffer:
            try:
                updater._check_logic()
            finally:
                notice.append(buffer.getvalue())

    thread = threading.Thread(target=check, name="framewick-version-check", daemon=True)
    thread.start()
    thread.join(CHECK_WAIT)
    if notice and notice[0]:
        write(notice[0])
    else:
        print("No newer release found (or the package index could not be reached).")
    return 0
