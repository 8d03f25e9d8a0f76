"""`framewick studio`: shape a look in the browser while watching a photo under it."""

from __future__ import annotations

import argparse

from framewick.cli._common import PROG, Parser, UsageError, add_command, add_max_pixels, error_line


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "studio", common, "design a look in the browser, watching a photo under it",
                    "framewick studio photo.jpg\nframewick studio a.jpg b.png --looks team.toml --export-dir out",
                    "Serves a page on 127.0.0.1 only and prints its address with the run's token; every\n"
                    "request without the token is refused. The page shows the photo under the chain as it\n"
                    "changes; 'Save as look' writes the chain into the looks file (the last --looks FILE,\n"
                    "made if it does not exist yet; else ~/.config/framewick/looks.toml); 'Export' writes\n"
                    "the photo at full size into --export-dir, never over a file. Ctrl-C stops it.")
    p.add_argument("photos", metavar="PHOTO", nargs="*", help="the photos to work on (more can be opened in the page)")
    p.add_argument("--port", type=int, default=0, metavar="N", help="the port to serve on (default 0: a free one)")
    p.add_argument("--no-browser", action="store_true", help="print the address only; do not open a browser")
    p.add_argument("--export-dir", metavar="DIR", default=".", help="where exports go (default: this directory)")
    add_max_pixels(p)
    p.set_defaults(func=run, new_looks_file=True)  # the last --looks FILE may be made by a save


def run(args: argparse.Namespace) -> int:
    import os

    if not 0 <= args.port <= 65535:
        raise UsageError(f"--port {args.port}: expected 0 to 65535")
    for photo in args.photos:
        if not os.path.isfile(photo):
            raise UsageError(f"{photo!r}: no such picture file")
    if not os.path.isdir(args.export_dir):
        raise UsageError(f"--export-dir {args.export_dir!r}: no such directory")
    looks = [*getattr(args, "looks_first", []), *getattr(args, "looks", [])]
    from framewick import looks as looks_module

    looks_file = looks[-1] if looks else looks_module.default_path()

    from framewick.cli._signals import terminate_as_interrupt
    from framewick.studio import Studio, serve

    studio = Studio(args.photos, looks_file=looks_file, export_dir=args.export_dir, max_pixels=args.max_pixels,
                    error_line=error_line)
    try:
        server = serve(studio, args.port)
    except OSError as e:
        raise UsageError(f"--port {args.port}: {e.strerror or e}") from None
    print(f"{PROG} studio: {server.url}", flush=True)
    if not args.no_browser:
        import webbrowser

        webbrowser.open(server.url)
    with terminate_as_interrupt():
        try:
            server.serve_forever(poll_interval=0.2)
        finally:
            server.server_close()
    return 0
