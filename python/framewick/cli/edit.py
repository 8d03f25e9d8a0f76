"""`framewick edit`: open one picture, run the steps in order, write it."""

from __future__ import annotations

import argparse
from typing import Any

from framewick.cli._common import CHAIN_HELP, FIELDS_HELP, STEPS_HELP, Parser, UsageError, add_command, \
    add_open_options, add_write_options, check_budget, check_depth, echo_for, limits_help, open_kwargs, positive, \
    read_chain, step_list, with_quality, write, write_kwargs
from framewick.cli._signals import terminate_as_interrupt
from framewick.cli._targets import STDIO, check_format_agrees, check_input, check_output, data_on_stdout, \
    read_source


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "edit", common, "open a picture, run the steps in order, write it",
                    'framewick edit photo.png -o out.jpg --steps "preset:vintage | resize:800,600 | border:10"\n'
                    'cat photo.png | framewick edit - -o - --format webp --steps "preset:noir" > out.webp',
                    lambda: "IN '-' reads the picture from standard input; -o - writes it to standard output\n"
                    "(--format is then required, and the status lines go to standard error). The output\n"
                    "is written whole or not at all; it is never the input, and an existing file is\n"
                    "replaced only with --overwrite. A step that fails writes nothing (exit status 1).\n"
                    "--format, a format: step and OUT's extension must name the same format. IN must be a\n"
                    "regular file (or '-').\n\n" + limits_help() + "\n\n" + FIELDS_HELP + "\n\n"
                    + CHAIN_HELP + "\n\nThe steps:\n" + step_list())
    p.add_argument("input", metavar="IN", help="the picture to edit ('-': standard input)")
    p.add_argument("-o", "--output", metavar="OUT", required=True,
                   help="where the result goes ('-': standard output); its extension chooses the format")
    p.add_argument("-s", "--steps", default="", metavar="STEPS", help=STEPS_HELP)
    p.add_argument("--overwrite", action="store_true", help="replace OUT if it exists (never the input)")
    p.add_argument("--quality", type=positive, metavar="Q",
                   help="save quality 1-100 for lossy formats (JPEG, WebP, AVIF, HEIC, JPEG XL), as the quality: step")
    p.add_argument("--json", action="store_true",
                   help="print a JSON record of the file written (output, format, size, bytes, quality; with "
                        "--max-bytes the quality chosen; with gravity=smart or face the boxes chosen) on standard "
                        "output; the status lines go to standard error")
    p.add_argument("--explain", metavar="FILE",
                   help="with gravity=smart or face: write a picture of the choice to FILE (the saliency map "
                        "in red, faces in cyan, the box kept in yellow)")
    add_open_options(p)
    add_write_options(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    # Everything that can be refused is refused before the picture is read.
    chain = with_quality(read_chain(args.steps), args.quality)
    to_stdout = args.output == STDIO
    check_output(args.output, [args.input], overwrite=args.overwrite, fmt=args.format)
    check_input(args.input)
    writing = write_kwargs(args)
    fmt = check_format_agrees(chain, args.output, args.format)
    if fmt is not None:
        check_depth(args.depth, fmt)
    explain = explain_to(args, chain)
    what = "-o -" if to_stdout else f"output {args.output!r}"
    check_budget(args.max_bytes, fmt, what)
    if args.json and to_stdout:
        raise UsageError("--json and -o -: both would go to standard output; give one of them")
    from framewick.photo.planning import Plan

    # --depth 8 writes the 8-bit picture as it always was: nothing is read at depth for it.
    plan = Plan.make(chain, fmt=fmt, what=what, max_pixels=args.max_pixels, depth=8 if args.depth == 8 else None)
    echo = echo_for(args, data_on_stdout=to_stdout or args.json)

    from framewick.photo.classes import class_for
    from framewick.photo import write_photo

    name = "standard input" if args.input == STDIO else args.input
    with terminate_as_interrupt(), data_on_stdout(to_stdout) as binary:
        opening = {k: v for k, v in open_kwargs(args).items() if k != "max_pixels"}  # the plan's own
        obj = plan.open(read_source(args.input, args.max_pixels), name, echo, cls=class_for(chain), **opening)
        with explain:
            plan.run(obj, echo, owned=True)  # nothing is written when a step fails
        fits: list[Any] = []
        write_photo(obj, binary if binary is not None else args.output, echo=echo, on_fit=fits.append, **writing)
    if args.json:
        import json

        write(json.dumps(written_record(obj, args.input, args.output, writing.get("format"), fits)) + "\n")
    return 0


def written_record(obj: Any, source: str, target: str, fmt: str | None, fits: list[Any]) -> dict[str, Any]:
    """What --json says of a picture written to `target`: where from and to, format, size,
    bytes, and the quality it was written at (the one chosen for --max-bytes, with its
    subsampling, budget and encodes)."""
    import os

    from framewick.photo.formats import stores
    from framewick.photo.writing import format_for

    fmt = fmt or format_for(obj, target)
    record: dict[str, Any] = {"input": source, "output": target, "format": fmt,
                              "width": obj.image.width, "height": obj.image.height,
                              "bytes": os.path.getsize(target) if target != STDIO else None,
                              "quality": getattr(obj, "quality", None) if stores(fmt).lossy else None}
    if fits:
        record |= fits[-1].record()
    from framewick.photo.subject import crops_record

    return record | crops_record(obj)


def explain_to(args: argparse.Namespace, chain: object) -> Any:
    """The context `--explain FILE` runs the steps in, checked as an output is."""
    if args.explain is None:
        from contextlib import nullcontext

        return nullcontext()
    import os

    from framewick.photo import subject

    if not subject.chooses(chain):
        raise UsageError("--explain: no step chooses its box; use size:WxH,cover=true,gravity=smart or cut:WxH,gravity=smart "
                         "(or face)")
    if os.path.abspath(args.explain) == os.path.abspath(args.output):
        raise UsageError("--explain FILE is the output; give another name")
    check_output(args.explain, [args.input], overwrite=args.overwrite, fmt=None, what="--explain")
    return subject.explaining(args.explain)
