"""What the commands share: the parser class, usage errors, where output goes, option checks."""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
from collections.abc import Callable, Sequence

from framewick.status import error_line

TYPE_CHECKING = False  # typing is not imported at start-up; checkers read the block
if TYPE_CHECKING:
    from typing import Any, NoReturn

PROG = "framewick"

CHAIN_HELP = """\
Steps (--steps): method calls separated by '|', each NAME or NAME:ARG,ARG,...
  --steps "preset:vintage | resize:800,600 | border:10,color=white"
  Arguments are converted by each method's annotations (int 800, float 0.5, bool true/false,
  tuple 10,20 or (10,20), str as written); quote text holding | , ( ) = or quotes: text:"Hi, you",(10,20).
  --steps @FILE reads the chain from FILE, in this text form or as JSON
  ([{"method": "apply_border", "args": [10]}]). 'framewick steps' lists every step."""


STEPS_HELP = "the chain of edits, e.g. \"preset:noir | resize:100,100\" (see below)"


class UsageError(Exception):
    """A command line that cannot be carried out as written (exit status 2)."""


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors are one line (exit status 2), and whose epilog may be
    a function, called only when the help is shown (the step list need not be read otherwise)."""

    def format_help(self) -> str:
        if callable(self.epilog):
            self.epilog = self.epilog()
        return super().format_help()

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def write(text: str) -> None:
    sys.stdout.write(text)
    sys.stdout.flush()


def write_err(text: str) -> None:
    sys.stderr.write(text)
    sys.stderr.flush()


#: Characters a terminal acts on rather than shows (C0 and C1 controls, DEL, line and paragraph
#: separators, bidirectional overrides): shown escaped in plain output.
_CONTROLS = "".join(map(chr, [*range(0x20), *range(0x7F, 0xA0), 0x2028, 0x2029, *range(0x202A, 0x202F),
                               *range(0x2066, 0x206A)]))
_ESCAPES = {ord(c): (f"\\x{ord(c):02x}" if ord(c) < 0x100 else f"\\u{ord(c):04x}") for c in _CONTROLS}
_ESCAPES.update({ord("\t"): "\\t", ord("\n"): "\\n", ord("\r"): "\\r"})


def printable(text: str) -> str:
    """`text` with every control character escaped, so that text from a picture or a looks file
    can neither drive the terminal (clear it, retitle it) nor fake lines of output."""
    return text.translate(_ESCAPES)


def discard(text: str) -> None:
    pass


def echo_for(args: argparse.Namespace, data_on_stdout: bool = False) -> Callable[[str], None]:
    """Where the library's status lines go: nowhere with --quiet, else standard output, or
    standard error when standard output carries data (JSON, or a picture on `-`)."""
    if getattr(args, "quiet", False):
        return discard
    return write_err if data_on_stdout else write


def fail(text: str) -> None:
    """An error line on standard error; a file's name in it is shown, never acted on."""
    print(printable(text), file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Options shared by the commands, and the photo layer's keywords they map to


def add_global_options(p: argparse.ArgumentParser, dest: str = "looks") -> None:
    """Options every command takes: more looks files (read before the chain is parsed)."""
    p.add_argument("--looks", action="append", dest=dest, metavar="FILE", default=argparse.SUPPRESS,
                   help="read named looks from this TOML file as well (repeatable; a later file wins)")


def add_open_options(p: argparse.ArgumentParser) -> None:
    """How a picture is read: --no-orient, --exact, --max-pixels N."""
    g = p.add_argument_group("reading the picture")
    g.add_argument("--no-orient", action="store_true",
                   help="keep the pixels as stored: turned neither by the EXIF orientation nor by a HEIF "
                        "container's rotation and mirror (that turn is kept as the EXIF orientation)")
    g.add_argument("--exact", action="store_true",
                   help="decode at full size (no JPEG or RAW shrink-on-load before a reducing resize)")
    add_raw_option(g)
    add_max_pixels(g)


def add_raw_option(p: Any) -> None:
    p.add_argument("--raw", metavar="OPTIONS", default=None, help="camera RAW files: half (half-size), preview "
                   "(the embedded preview), auto-wb (automatic white balance); comma-separated")


def add_max_pixels(p: Any) -> None:
    p.add_argument("--max-pixels", type=positive, default=None, metavar="N",
                   help="refuse pictures of more than N pixels (default: Pillow's limit)")


def add_write_options(p: argparse.ArgumentParser, *, format_help: str | None = None) -> None:
    """How a picture is written: --strip, --srgb, --sdr, --background COLOUR, --format NAME."""
    g = p.add_argument_group("writing the picture")
    g.add_argument("--format", metavar="NAME", default=None,
                   help=format_help or "write this format whatever the output's extension: jpg, png, webp, "
                                       "tiff, avif, gif, bmp, ... (required with -o -)")
    g.add_argument("--strip", action="store_true",
                   help="leave out the metadata (EXIF, XMP, ICC profile; colours converted to sRGB first): "
                        "--drop all")
    g.add_argument("--srgb", action="store_true", help="convert to sRGB through the picture's profile and embed sRGB")
    g.add_argument("--depth", type=int, choices=(8, 10, 12, 16), default=None, metavar="BITS",
                   help="bits per channel written: 16 writes PNG, TIFF and JPEG XL at 16 bits, AVIF and HEIC at 10 "
                        "(12 asks for 12), even from an 8-bit picture; 8 writes the 8-bit picture as it is, "
                        "undithered. Without it a deep picture is written at depth, or dithered to 8 bits for "
                        "a format that holds no more")
    g.add_argument("--sdr", action="store_true",
                   help="leave out an HDR photo's gain map: the picture is written as SDR alone")
    g.add_argument("--background", metavar="COLOUR", default="white",
                   help="what alpha is flattened onto for formats without it (default white)")
    add_field_options(g)
    g.add_argument("--max-bytes", type=byte_size, metavar="SIZE", default=None,
                   help="write the highest quality (up to --quality) whose whole file, metadata included, "
                        "fits in SIZE: 200k, 1.5M, 250000 (k and M are 1000 and 1000000, Ki and Mi 1024 and "
                        "1048576); JPEG, WebP, AVIF, HEIC and JPEG XL; the quality chosen is in the status line")


def byte_size(text: str) -> int:
    """--max-bytes SIZE as a number of bytes."""
    from framewick.photo.budget import parse_size

    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def check_budget(max_bytes: int | None, fmt: str | None, what: str) -> None:
    """Refuse --max-bytes for an output format without a quality to choose."""
    if max_bytes is None or fmt is None:
        return
    from framewick.photo.budget import BUDGET_FORMATS

    if fmt not in BUDGET_FORMATS:
        raise UsageError(f"--max-bytes: {what} is {fmt}, which has no quality to choose; "
                         f"the budget takes {', '.join(BUDGET_FORMATS.values())}")


def limits_help() -> str:
    """What --help says of the bounds on reading: standard input, frames, pixels at every step."""
    from framewick._limits import LIMITS_HELP

    return LIMITS_HELP


def open_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of framewick.photo.open_photo for the open options given."""
    return {"orient": not getattr(args, "no_orient", False), "exact": getattr(args, "exact", False),
            "max_pixels": getattr(args, "max_pixels", None), "raw": getattr(args, "raw", None)}


def output_format(name: str) -> tuple[str, str]:
    """(Pillow's format name, extension) for a format name as people type it; UsageError if unknown."""
    from framewick.photo import output_format as lookup

    try:
        return lookup(name)
    except ValueError as e:
        raise UsageError(f"--format {name}: {e}") from None


def check_background(colour: str) -> None:
    from PIL import ImageColor

    try:
        ImageColor.getrgb(colour)
    except ValueError:
        raise UsageError(f"--background {colour}: not a colour (e.g. white, #202020, rgb(10,20,30))") from None


# ---- metadata by group: --keep, --drop and --metadata, for edit, batch and srcset

FIELDS_HELP = """\
Metadata by group (--keep, --drop, --metadata), over EXIF, XMP and IPTC together:
  location     GPS, and the places named in XMP and IPTC
  camera       make, model, lens, and their serial numbers
  serial       the serial numbers alone (body and lens)
  capture      dates and exposure
  people       creator, artist, owner
  rights       copyright, licence, credit, usage terms
  maker-notes  the camera maker's own notes
  thumbnail    the preview embedded in the EXIF
  icc          the colour profile (the picture is converted to sRGB first)
  all          everything (--drop all is --strip)
--keep keeps only its groups' fields; --drop then removes its groups' fields. Orientation,
resolution and colour space, and the profile, go only when dropped (icc, all), never by --keep.
--metadata web drops location, serial, maker-notes and thumbnail: the rights, creator, capture
time, make and model and the profile stay. A photo's IPTC goes to JPEG and TIFF as IPTC, and
as XMP to the other formats that hold XMP."""


def add_field_options(g: Any) -> None:
    """--keep GROUPS, --drop GROUPS, --metadata PRESET, in the writing options' group."""
    g.add_argument("--keep", metavar="GROUPS", default=None,
                   help="keep only these metadata groups, a comma list (see below)")
    g.add_argument("--drop", metavar="GROUPS", default=None,
                   help="leave out these metadata groups, a comma list: location, camera, serial, capture, "
                        "people, rights, maker-notes, thumbnail, icc, all")
    g.add_argument("--metadata", metavar="PRESET", default=None,
                   help="web: drop location, serial numbers, maker notes and the thumbnail; keep rights, "
                        "creator, capture time and the profile")


def field_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """write_photo's keep= and drop= for the options given (absent when none is); usage errors
    for an unknown group or preset, and for --strip given with them."""
    keep, drop, preset = (getattr(args, name, None) for name in ("keep", "drop", "metadata"))
    if keep is None and drop is None and preset is None:
        return {}
    given = [f"--{name}" for name, value in (("keep", keep), ("drop", drop), ("metadata", preset)) if value is not None]
    if getattr(args, "strip", False):
        raise UsageError(f"--strip and {given[0]}: --strip leaves out all the metadata (it is --drop all); "
                         "give one of them")
    from framewick.photo import fields

    try:
        kept = fields.group_names(keep, "--keep")
        dropped = set(fields.group_names(drop, "--drop") or ())
        if preset is not None:
            dropped.update(fields.preset(preset))
        choice = fields.Choice.of(kept, dropped)
        fields.check_available(choice)
    except ValueError as e:
        raise UsageError(str(e).removeprefix("❌ Error: ")) from None
    return {"keep": None if kept is None else tuple(sorted(kept)), "drop": tuple(sorted(dropped))}


def write_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of framewick.photo.write_photo for the write options given, checked.

    `format` is Pillow's name for --format (None: the output's extension decides); --depth above
    8 with a --format that holds 8 bits is refused here."""
    fmt = getattr(args, "format", None)
    background = getattr(args, "background", "white")
    check_background(background)
    name = output_format(fmt)[0] if fmt else None
    written = {"format": name, "strip": getattr(args, "strip", False),
               "background": background, "srgb": getattr(args, "srgb", False), "depth": getattr(args, "depth", None),
               "sdr": getattr(args, "sdr", False),
               **field_kwargs(args)}
    if name is not None:
        check_depth(written["depth"], name)
    max_bytes = getattr(args, "max_bytes", None)
    if max_bytes is not None:
        check_budget(max_bytes, written["format"], f"--format {fmt}")
        written["max_bytes"] = max_bytes
    return written


def check_depth(depth: int | None, fmt: str) -> None:
    """--depth against the format written: more than 8 bits for one that holds 8 is a usage error."""
    from framewick.photo.writing import check_depth as check
    from framewick.status import BadValue

    try:
        check(depth, fmt)
    except BadValue as e:
        raise UsageError(str(e).removeprefix("❌ Error: ").replace("depth", "--depth", 1)) from None


def load_looks(files: Sequence[str], new_last: bool = False) -> None:
    """Add each looks file in turn (a later one wins on a name); a bad one is a usage error.
    With `new_last`, the last file may not exist yet (a command that saves looks makes it)."""
    if not files:
        return
    from framewick import looks

    for index, path in enumerate(files):
        if new_last and index == len(files) - 1 and not os.path.lexists(path):
            continue
        try:
            looks.load(path)
        except looks.LooksError as e:
            raise UsageError(f"--looks {path}: {e}") from None
        except OSError as e:
            raise UsageError(f"--looks {path}: {e.strerror or e}") from None


def read_chain(spec: str) -> Any:
    """The chain of --steps: its text form, or @FILE holding the text or the JSON form.

    Every problem, with the file or with the chain, is a ChainError (a usage error)."""
    from framewick.chain import Chain

    return Chain.read(spec)


def with_quality(chain: Any, quality: int | None) -> Any:
    """The chain with a quality: step added for --quality Q; a usage error with one of its own."""
    if quality is None:
        return chain
    if not 1 <= quality <= 100:
        raise UsageError(f"--quality {quality}: expected 1 to 100")
    if any(step.method == "optimize" for step in chain):
        raise UsageError(f"--quality {quality} and a quality: step both set the quality; give one of them")
    from framewick.chain import Chain, Step

    return Chain((*chain.steps, Step("optimize", (quality,))))


def check_extension(ext: str, what: str) -> None:
    """Refuse an output extension Pillow does not know, before any picture is read."""
    from framewick.batch import picture_extensions

    if ext.lower() not in picture_extensions():
        raise UsageError(f"{what}: unknown picture format {ext or '(no extension)'!r}; use e.g. .jpg, .png or .webp")


def check_format(path: str, what: str) -> None:
    check_extension(os.path.splitext(path)[1], f"{what} {path!r}")


def check_directory(path: str) -> None:
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise UsageError(f"output {path!r}: the directory {directory!r} does not exist")


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def step_list() -> str:
    """The step list for `--help` and `framewick steps`: names, parameters and docstrings.

    From the declared steps, so listing them imports neither Pillow nor a native module.
    """
    from framewick.steps import help_lines, names_of, registry

    steps = registry.steps()
    names = names_of(steps)
    lines = []
    for info in steps:
        aliases = [n for n, m in names.items() if m == info.method]
        lines.append(f"  {', '.join(dict.fromkeys([info.short, info.method, *aliases]))}")
        lines.append(f"      {info.signature()}")
        if info.doc:
            lines.append(f"      {info.doc}")
        lines.extend(f"        {line}" for line in help_lines(info))
    return "\n".join(lines)


def look_list() -> list[Any]:
    """The looks read so far (the default looks file and every --looks), in name order."""
    from framewick.looks import all_looks

    return sorted(all_looks(), key=lambda look: look.name)


def add_command(sub: argparse._SubParsersAction[Parser], name: str, common: Parser, help: str,
                examples: str, epilog: str | Callable[[], str] = "") -> Parser:
    """Add a command's parser; `epilog` may be a function, called when the help is shown."""
    def text() -> str:
        more = epilog() if callable(epilog) else epilog
        return "example:\n" + textwrap.indent(examples, "  ") + ("\n\n" + more if more else "")

    return sub.add_parser(name, help=help, description=help[0].upper() + help[1:] + ".", epilog=text if callable(epilog) else text(),
                          parents=[common], formatter_class=argparse.RawDescriptionHelpFormatter)
