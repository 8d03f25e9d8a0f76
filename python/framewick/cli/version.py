"""`framewick version`: the version, and with --check a look for a newer release."""

from __future__ import annotations

import argparse

from framewick import __version__
from framewick.cli._common import PROG, Parser, UsageError, add_command, fail, write


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "version", common, "print the version; --check asks the package index for a newer one",
                    "framewick version --check",
                    "Only 'version --check' contacts the network: one request to the package index, ended\n"
                    "after 12 seconds at most. Exit status 0 when the index answered (a newer release, or\n"
                    "up to date), 1 when it could not be reached or gave no usable answer.\n"
                    "FRAMEWICK_INDEX_URL (https://HOST/pypi/) sets the index's address for this run.")
    p.add_argument("--check", action="store_true", help="check for a newer release (network)")
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    print(f"{PROG} {__version__}", flush=True)
    if not args.check:
        return 0
    import os

    from framewick.cli.release_check import ENV_URL, ask

    url = os.environ.get(ENV_URL, "")
    if url and not url.lower().startswith("https://"):
        raise UsageError(f"{ENV_URL}={url!r}: the package index is asked over HTTPS only (https://HOST/pypi/)")
    report = ask(PROG, __version__)
    status = report["status"]
    if status == "newer":
        write(str(report.get("notice", "")))
        return 0
    if status == "current":
        print(f"{PROG} is up to date (the newest release is {report.get('latest')})", flush=True)
        return 0
    what = {"unreachable": "could not be reached", "refused": "was not asked"}.get(status, "gave no usable answer")
    fail(f"{PROG} version: the package index {what}: {report.get('reason', '')}")
    return 1
