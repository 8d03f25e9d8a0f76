"""Metadata by field: which groups of a photo's EXIF, XMP and IPTC a written file keeps.

The groups are what a field is about, across EXIF, XMP and IPTC alike: location (GPS, places),
camera (make, model, lens and their serial numbers), serial (the serial numbers alone), capture
(dates, exposure), people (creator, artist, owner), rights (copyright, licence, credit),
maker-notes, thumbnail (the EXIF's embedded preview), icc (the colour profile) and all.

`keep` keeps only the fields of its groups, `drop` removes those of its groups (after `keep`).
The fields that say how the pixels are shown (orientation, resolution, colour space) and the
profile are never removed by a keep list, only by `drop` ("icc", "all"), so that keeping the
copyright alone does not turn or recolour the picture. A picture whose profile is dropped is
converted to sRGB first, as `strip` does; `drop="all"` is `strip`.

The EXIF and XMP blocks are edited field by field by libexiv2 (framewick.formats._meta) before
they reach any writer: carried in a one-pixel PNG, which libexiv2 reads and writes whole, and
read back from it. The IPTC records are edited as they are (framewick.photo.iptc then puts
them where the output format holds them). So every output format gets the same answer, including those libexiv2
cannot write itself (AVIF, HEIC, JPEG XL). A block libexiv2 cannot edit is left out, said in
one line; writing never fails over metadata.
"""

from __future__ import annotations

import io
from collections.abc import Iterable
from dataclasses import dataclass, replace

from framewick.status import BadValue, note

TYPE_CHECKING = False
if TYPE_CHECKING:
    from framewick.photo.metadata import Photo

#: The groups `keep` and `drop` take, in the order they are listed.
GROUPS = ("location", "camera", "serial", "capture", "people", "rights", "maker-notes", "thumbnail", "icc", "all")
#: The presets of --metadata: the groups each drops. "web" drops where the photo was taken, the
#: serial numbers, the maker notes and the thumbnail, and keeps the rest (rights, creator,
#: capture time, make and model, the profile).
PRESETS = {"web": ("location", "serial", "maker-notes", "thumbnail")}


def group_names(value: str | Iterable[str] | None, what: str) -> frozenset[str] | None:
    """The groups named by `value`: one name, a comma list ("location,serial") or an iterable
    of names; None stays None. An unknown name raises BadValue listing the groups."""
    if value is None:
        return None
    items = value.split(",") if isinstance(value, str) else list(value)
    names = set()
    for item in items:
        if not isinstance(item, str):
            raise BadValue(f"❌ Error: {what} takes group names, not {type(item).__name__}")
        name = item.strip().lower()
        if name not in GROUPS:
            raise BadValue(f"❌ Error: {what}: unknown metadata group {item.strip()!r}; "
                           f"the groups are {', '.join(GROUPS)}")
        names.add(name)
    return frozenset(names)


def preset(name: str) -> tuple[str, ...]:
    """The groups the preset `name` drops; BadValue naming the presets for another name."""
    try:
        return PRESETS[name.strip().lower()]
    except KeyError:
        raise BadValue(f"❌ Error: unknown metadata preset {name!r}; the presets are "
                       f"{', '.join(PRESETS)}") from None


@dataclass(frozen=True)
class Choice:
    """The groups a written file keeps (None: every group) and drops."""

    keep: frozenset[str] | None = None
    drop: frozenset[str] = frozenset()

    @classmethod
    def of(cls, keep: str | Iterable[str] | None, drop: str | Iterable[str] | None) -> Choice | None:
        """The choice for write's `keep` and `drop` (None: both absent, the metadata kept whole)."""
        kept, dropped = group_names(keep, "keep"), group_names(drop, "drop")
        if kept is None and not dropped:
            return None
        return cls(kept, dropped or frozenset())

    @property
    def strips(self) -> bool:
        """Everything is left out, as `strip` does."""
        return "all" in self.drop

    @property
    def drops_icc(self) -> bool:
        return self.strips or "icc" in self.drop

    @property
    def edits_fields(self) -> bool:
        """Some EXIF or XMP field may go (not only the profile)."""
        return self.keep is not None or bool(self.drop - {"icc"})


def available() -> bool:
    """Whether this build edits fields (framewick.formats._meta, built on libexiv2)."""
    try:
        from framewick.formats import _meta  # noqa: F401
    except ImportError:
        return False
    return True


def check_available(choice: Choice | None) -> None:
    """Refuse a choice of fields this build cannot make (it would leave them in the file)."""
    if choice is not None and choice.edits_fields and not choice.strips and not available():
        raise BadValue("❌ Error: keeping or dropping metadata by group needs framewick built with "
                       "libexiv2 (Debian's libexiv2-dev); --strip leaves out all of it")


def _carrier(exif: bytes | None, xmp: bytes | None) -> bytes:
    """A one-pixel PNG holding the blocks (PNG's chunks have no 64 KB limit)."""
    from PIL import Image, PngImagePlugin

    info = PngImagePlugin.PngInfo()
    if xmp:
        info.add_itxt("XML:com.adobe.xmp", xmp.decode("utf-8", "replace"))
    out = io.BytesIO()
    Image.new("L", (1, 1)).save(out, "PNG", exif=exif or b"", pnginfo=info, compress_level=0)
    return out.getvalue()


def _blocks(data: bytes) -> tuple[bytes | None, bytes | None]:
    """The EXIF (with "Exif\\0\\0") and XMP blocks of a carrier."""
    from PIL import Image

    with Image.open(io.BytesIO(data)) as carrier:
        exif = carrier.info.get("exif") or None
        xmp = carrier.info.get("xmp") or carrier.info.get("XML:com.adobe.xmp") or None
    if isinstance(xmp, str):
        xmp = xmp.encode("utf-8")
    if exif and not exif.startswith(b"Exif\0\0"):
        exif = b"Exif\0\0" + exif
    return exif, xmp


def _listed(parts: list[str]) -> str:
    return parts[0] if len(parts) == 1 else ", ".join(parts[:-1]) + " and " + parts[-1]


def _cut(warnings: list[str]) -> list[str]:
    """The parts of an EXIF block libexiv2's writer left out past its 64 KB limit, as its
    warnings name them ("Exif IFD Thumbnail not encoded", "Exif tag Exif.Photo.MakerNote not encoded")."""
    cut = [w for w in warnings if w.endswith(" not encoded")]
    parts = []
    if any("Thumbnail" in w for w in cut):
        parts.append("the embedded thumbnail")
    if any("MakerNote" in w for w in cut):
        parts.append("the maker notes")
    others = sum(w.startswith("Exif tag ") and "Thumbnail" not in w and "MakerNote" not in w for w in cut)
    if others:
        parts.append(f"{others} more tag{'s' if others > 1 else ''}")
    return parts


def _say(name: str, text: str) -> None:
    note(f"framewick: {name or 'the picture'}: {text}")


def edited(photo: Photo, choice: Choice, name: str = "") -> Photo:
    """`photo` with its EXIF, XMP and IPTC cut down to `choice` (the profile is the writer's)."""
    if not choice.edits_fields or not (photo.exif or photo.xmp or photo.iptc):
        return photo
    keep = None if choice.keep is None else sorted(choice.keep - {"icc"})
    drop = sorted(choice.drop - {"icc"})
    if photo.exif or photo.xmp:
        photo = _edited_blocks(photo, keep, drop, name)
    if photo.iptc:
        photo = replace(photo, iptc=_edited_iptc(photo.iptc, keep, drop, name))
    return photo


def _edited_blocks(photo: Photo, keep: list[str] | None, drop: list[str], name: str) -> Photo:
    """`photo` with its EXIF and XMP edited by libexiv2, through the carrier."""
    from framewick.formats import _meta

    exif = photo.exif
    if exif and not exif.startswith(b"Exif\0\0"):
        exif = b"Exif\0\0" + exif
    warnings: list[str] = []
    try:
        data = _meta.edit(_carrier(exif, photo.xmp), keep=keep, drop=drop, warnings=warnings)
        new_exif, new_xmp = _blocks(data)
    except (OSError, ValueError) as e:  # libexiv2 refused the carrier whole: nothing of it is trusted
        warnings.append(str(e))
        new_exif = new_xmp = None
    # A block gone with a warning is one libexiv2 could not read (a block whose fields were all
    # dropped goes without one).
    damaged = [what for what, was, now in (("the EXIF block", exif, new_exif), ("the XMP packet", photo.xmp, new_xmp))
               if warnings and was and not now]
    if damaged:
        reason = next((w for w in warnings if not w.endswith(" not encoded")), warnings[0])
        _say(name, f"libexiv2 could not edit {_listed(damaged)}, so {'it was' if len(damaged) == 1 else 'they were'} "
                   f"left out ({reason})")
    cut = _cut(warnings) if new_exif else []
    if cut:
        _say(name, f"the EXIF block is more than libexiv2 writes (64 KB), so {_listed(cut)} "
                   f"{'was' if len(cut) == 1 else 'were'} left out")
    if new_exif and photo.exif and not photo.exif.startswith(b"Exif\0\0"):
        new_exif = new_exif[6:]  # as the photo held it
    return replace(photo, exif=new_exif, xmp=new_xmp)


def _edited_iptc(records: bytes, keep: list[str] | None, drop: list[str], name: str) -> bytes | None:
    """The IPTC records with only the chosen groups' fields (None: none left, or unreadable,
    which is said in one line)."""
    from framewick.formats import _meta

    warnings: list[str] = []
    try:
        kept = _meta.edit_iptc(records, keep=keep, drop=drop, warnings=warnings)
    except (OSError, ValueError) as e:
        kept, warnings = None, [*warnings, str(e)]
    if kept is None and warnings:
        _say(name, f"libexiv2 could not edit the IPTC records, so they were left out ({warnings[0]})")
    return kept


# ---------------------------------------------------------------------------------------------
# What `info` shows


def by_group(data: bytes | None, photo: Photo | None = None) -> dict[str, dict[str, str]] | None:
    """The fields of a file by group ({group: {key: value}}), from its bytes; for a file
    libexiv2 cannot read, from the EXIF and XMP framewick read of it (and its profile). None
    when this build has no libexiv2."""
    try:
        from framewick.formats import _meta
    except ImportError:
        return None
    found = None
    if data:
        try:
            found = _meta.fields(data, warnings=[])
        except (OSError, ValueError):
            found = None
    if found is None:
        exif, xmp = (photo.exif, photo.xmp) if photo is not None else (None, None)
        if exif and not exif.startswith(b"Exif\0\0"):
            exif = b"Exif\0\0" + exif
        found = _meta.fields(_carrier(exif, xmp), warnings=[])
        if photo is not None and photo.icc:
            found["icc"]["Icc.Profile"] = (f"{len(photo.icc)} bytes", "icc")
    return {group: {key: value for key, (value, _type) in fields.items()} for group, fields in found.items()}


def _short(key: str) -> str:
    """A field's name without its family and the parts of a structure: "GPSLatitude", "City"."""
    return key.split("/")[0].split("[")[0].rsplit(".", 1)[-1]


# The EXIF entries that only point at a directory.
_POINTERS = frozenset({"GPSTag", "ExifTag", "InteroperabilityTag"})
_FAMILIES = {"Exif": "EXIF", "Xmp": "XMP", "Iptc": "IPTC", "Icc": "ICC", "Comment": "JPEG comment"}


def group_lines(groups: dict[str, dict[str, str]], width: int = 100) -> list[str]:
    """One short line per group: its fields' names and where they are ("none" when empty)."""
    lines = []
    for group, fields in groups.items():
        if not fields:
            lines.append(f"{group}: none")
            continue
        names = [n for n in dict.fromkeys(_short(key) for key in fields) if n not in _POINTERS] or ["(pointers)"]
        families = ", ".join(dict.fromkeys(_FAMILIES.get(key.split(".")[0], key.split(".")[0]) for key in fields))
        text = ", ".join(names)
        if len(text) > width:
            cut = text[:width].rsplit(", ", 1)[0]
            text = f"{cut}, ... ({len(names) - cut.count(', ') - 1} more)"
        lines.append(f"{group}: {text} ({families})")
    return lines
