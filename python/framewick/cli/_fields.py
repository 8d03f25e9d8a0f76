"""The command line's metadata options: --keep, --drop and --metadata, for edit and batch."""

from __future__ import annotations

import argparse

from framewick.cli._common import UsageError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

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
time, make and model and the profile stay."""


def add_options(g: Any) -> None:
    """--keep GROUPS, --drop GROUPS, --metadata PRESET, in the writing options' group."""
    g.add_argument("--keep", metavar="GROUPS", default=None,
                   help="keep only these metadata groups, a comma list (see below)")
    g.add_argument("--drop", metavar="GROUPS", default=None,
                   help="leave out these metadata groups, a comma list: location, camera, serial, capture, "
                        "people, rights, maker-notes, thumbnail, icc, all")
    g.add_argument("--metadata", metavar="PRESET", default=None,
                   help="web: drop location, serial numbers, maker notes and the thumbnail; keep rights, "
                        "creator, capture time and the profile")


def kwargs(args: argparse.Namespace) -> dict[str, Any]:
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
