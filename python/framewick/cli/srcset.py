"""`framewick srcset`: every picture at several widths in several formats, with a `<picture>`
element for each and a manifest, on the batch's process pool or a dask scheduler."""

from __future__ import annotations

import argparse
import sys

from framewick.cli._common import CHAIN_HELP, PROG, STEPS_HELP, Parser, UsageError, add_command, add_field_options, \
    add_open_options, byte_size, check_background, echo_for, field_kwargs, open_kwargs, positive, read_chain, \
    with_quality

DEFAULT_WIDTHS = "480,960,1920"
DEFAULT_FORMATS = "avif,webp,jpg"


def register(sub: argparse._SubParsersAction[Parser], common: Parser) -> None:
    p = add_command(sub, "srcset", common, "write each picture at several widths and formats, with its <picture> "
                    "element and a manifest",
                    'framewick srcset photos/ -d site/img --widths 480,960,1920 --formats avif,webp,jpg\n'
                    'framewick srcset hero.jpg -d out --steps "size:2400x1200^,cover=true" --max-bytes 150k '
                    '--sizes "(min-width: 60em) 50vw, 100vw"',
                    "Each picture NAME gets NAME-WIDTH.EXT for every width and format, never wider than the\n"
                    "picture itself (wider widths are left out; where none is left, its own width is\n"
                    "written once), NAME.html with its <picture> element (a <source> per format, the last\n"
                    "format for the <img>, with width, height and, from the picture's EXIF or XMP\n"
                    "description, alt), and an entry in OUT/manifest.json: its files (width, height,\n"
                    "format, bytes), the BlurHash and ThumbHash placeholders (where python3-blurhash and\n"
                    "python3-thumbhash are installed) and the dominant colour. The picture is decoded\n"
                    "once and each width resized from it (Lanczos). A picture whose files exist is\n"
                    "skipped unless --overwrite; one that fails leaves none of its files and the others\n"
                    "go on (exit status 1). --metadata web leaves out the location, serial numbers and\n"
                    "maker notes a web page should not carry.\n\n" + CHAIN_HELP)
    p.add_argument("inputs", metavar="INPUTS", nargs="+", help="files, directories or glob patterns")
    p.add_argument("-d", "--out-dir", required=True, metavar="OUT", help="where the sets go (made if needed)")
    p.add_argument("--widths", default=DEFAULT_WIDTHS, metavar="W,W,...",
                   help=f"the widths in pixels (default {DEFAULT_WIDTHS})")
    p.add_argument("--formats", default=DEFAULT_FORMATS, metavar="F,F,...",
                   help=f"the formats, in the order the page offers them; the last is the <img>'s "
                        f"(default {DEFAULT_FORMATS})")
    p.add_argument("--sizes", default="100vw", metavar="SIZES",
                   help="the sizes attribute of every <source> and <img> (default 100vw)")
    p.add_argument("-s", "--steps", default="", metavar="STEPS", help=STEPS_HELP)
    p.add_argument("--quality", type=positive, metavar="Q", help="save quality 1-100 for the lossy formats")
    p.add_argument("--max-bytes", type=byte_size, metavar="SIZE", default=None,
                   help="each file at the highest quality (up to --quality) that fits in SIZE: 200k, 1.5M, ...")
    p.add_argument("-j", "--jobs", type=positive, metavar="N", help="worker processes (default: the machine's cores)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the workers of a dask.distributed scheduler, e.g. tcp://10.0.0.5:8786")
    p.add_argument("--overwrite", action="store_true", help="replace sets that exist")
    p.add_argument("--json", action="store_true",
                   help="print each picture's manifest entry as one JSON line on standard output")
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.add_argument("-v", "--verbose", action="store_true", help="show each picture's status lines as it is done")
    add_open_options(p)
    g = p.add_argument_group("writing the pictures")
    g.add_argument("--strip", action="store_true", help="leave out the metadata (colours converted to sRGB first)")
    g.add_argument("--srgb", action="store_true", help="convert to sRGB through the picture's profile and embed sRGB")
    g.add_argument("--background", metavar="COLOUR", default="white",
                   help="what alpha is flattened onto for formats without it (default white)")
    add_field_options(g)
    p.set_defaults(func=run)


def _widths(text: str) -> tuple[int, ...]:
    try:
        widths = tuple(int(part) for part in text.split(",") if part.strip())
    except ValueError:
        widths = ()
    if not widths or min(widths) < 1 or max(widths) > 65535:
        raise UsageError(f"--widths {text}: expected widths in pixels (1 to 65535), e.g. {DEFAULT_WIDTHS}")
    return tuple(dict.fromkeys(widths))


def _formats(text: str, max_bytes: int | None) -> tuple[tuple[str, str], ...]:
    from framewick.cli._common import check_budget, output_format

    found = []
    for name in (part.strip() for part in text.split(",")):
        if not name:
            continue
        found.append(output_format(name))
        check_budget(max_bytes, found[-1][0], f"--formats {name}")
    if not found:
        raise UsageError(f"--formats {text}: expected formats, e.g. {DEFAULT_FORMATS}")
    if len({fmt for fmt, _ in found}) != len(found):
        raise UsageError(f"--formats {text}: a format named twice")
    return tuple(found)


def run(args: argparse.Namespace) -> int:
    from framewick.batch import Options, Outcome
    from framewick.cli.batch import report_trouble, run_on_pool
    from framewick.cli._targets import check_out_dir
    from framewick.photo.planning import check_before

    chain = with_quality(read_chain(args.steps), args.quality)
    widths = _widths(args.widths)
    formats = _formats(args.formats, args.max_bytes)
    check_out_dir(args.out_dir)
    check_background(args.background)
    check_before(chain, args.max_pixels, None, "")
    if args.scheduler and args.jobs:
        raise UsageError("--jobs and --scheduler: the scheduler's workers run the sets; give one of them")
    from framewick.srcset import SetOptions, run_srcset

    sets = SetOptions(widths, formats, args.sizes, args.max_bytes)
    options = Options(**open_kwargs(args), strip=args.strip, background=args.background, srgb=args.srgb,
                      **field_kwargs(args))
    echo = echo_for(args, data_on_stdout=args.json)
    said = print if not args.json else (lambda text: print(text, file=sys.stderr))
    debug = getattr(args, "debug", False)

    def report(outcome: Outcome) -> None:
        if outcome.output and args.verbose:
            echo(outcome.output)
        report_trouble(outcome, said, quiet=getattr(args, "quiet", False), debug=debug)
        if outcome.status == "written" and args.json:
            import json

            print(json.dumps(dict(outcome.record), ensure_ascii=False), flush=True)

    result = run_on_pool(args, "srcset", lambda executor: run_srcset(
        args.inputs, args.out_dir, chain, sets, executor, jobs=args.jobs, overwrite=args.overwrite, options=options,
        progress=sys.stderr.isatty() and not args.no_progress, on_outcome=report))
    if isinstance(result, int):
        return result
    said(f"{PROG} srcset: {result.summary()}, {len(widths)} widths x {len(formats)} formats "
         f"(into {args.out_dir}, manifest.json)")
    return 0 if result.ok else 1
