"""What `info` shows of a photo: format, mode, size, frames, DPI, orientation, profile, depth, tags."""

from __future__ import annotations

import math
from typing import Any

from PIL import ExifTags, Image, TiffImagePlugin

from framewick.photo import profiles
from framewick.photo.metadata import Photo

_BITS = {"1": 1, "I;16": 16, "I;16L": 16, "I;16B": 16, "I;16N": 16, "I": 32, "F": 32}
_NAMED_IFDS = {ExifTags.IFD.Exif: "Exif", ExifTags.IFD.GPSInfo: "GPS"}


def bit_depth(mode: str) -> int:
    """Bits per channel of a picture of `mode`."""
    return _BITS.get(mode, 8)


def _plain(value: Any) -> Any:
    """A tag value as JSON can hold it."""
    if isinstance(value, TiffImagePlugin.IFDRational):
        return float(value) if value.denominator else None
    if isinstance(value, bytes):
        text = value.rstrip(b"\x00")
        try:
            decoded = text.decode("ascii")
        except UnicodeDecodeError:
            return f"<{len(value)} bytes>"
        return decoded if decoded.isprintable() else f"<{len(value)} bytes>"
    if isinstance(value, tuple):
        return [_plain(v) for v in value]
    if isinstance(value, str):
        return value.rstrip("\x00")
    if isinstance(value, (int, float)) or value is None:
        return value
    return str(value)


def exif_tags(exif: bytes | None) -> dict[str, Any]:
    """The EXIF tags by name (the Exif and GPS blocks included), values made plain."""
    if not exif:
        return {}
    tags: dict[str, Any] = {}
    parsed = Image.Exif()
    try:
        parsed.load(exif)
        items = list(parsed.items())
        for ifd, label in _NAMED_IFDS.items():
            gps = ifd == ExifTags.IFD.GPSInfo
            for key, value in parsed.get_ifd(ifd).items():
                name = (ExifTags.GPSTAGS if gps else ExifTags.TAGS).get(key, f"{label}:{key:#06x}")
                items.append((name, value))  # type: ignore[arg-type]
    except Exception:  # a broken block shows what could be read
        return tags
    for key, value in items:
        if key in _NAMED_IFDS:
            continue
        name = key if isinstance(key, str) else ExifTags.TAGS.get(key, f"{key:#06x}")
        tags[name] = _plain(value)
    return tags


def describe(obj: Any) -> dict[str, Any]:
    """A summary of `obj`'s picture for `info`: format, mode, size, frames, dpi, orientation
    (the tag as the file had it, also in the metadata), icc (the profile's description or
    None), bit_depth, hdr (an HDR photo's gain map: form, size, largest boost; None for SDR),
    and metadata (EXIF tags by name, whether XMP and IPTC are there, and a PNG's text
    chunks by keyword)."""
    photo: Photo = getattr(obj, "photo", None) or Photo()
    image = obj.image
    if getattr(obj, "photo", None) is not None:  # every frame was read when the file was opened
        frames = max(1, len(photo.frames))
    else:
        frames = max(1, int(getattr(image, "n_frames", 1) or 1))
    dpi = photo.dpi if getattr(obj, "photo", None) is not None else image.info.get("dpi")
    if dpi is not None and not all(isinstance(v, (int, float)) and math.isfinite(v) and v > 0 for v in dpi):
        dpi = None
    metadata: dict[str, Any] = exif_tags(photo.exif if photo.exif is not None else image.info.get("exif"))
    if "Orientation" in metadata and getattr(obj, "photo", None) is not None:
        metadata["Orientation"] = photo.orientation  # as the file had it, before the picture was turned
    if photo.xmp:
        metadata["XMP"] = f"<{len(photo.xmp)} bytes>"
    if photo.iptc:
        metadata["IPTC"] = f"<{len(photo.iptc)} bytes>"
    for key, value in photo.text.items():  # a PNG's text chunks
        metadata.setdefault(key, value)
    icc = photo.icc if photo.icc is not None else image.info.get("icc_profile")
    facts = {
        "format": photo.format or image.format,
        "mode": image.mode,
        "size": [image.width, image.height],
        "frames": frames,
        "dpi": [round(float(dpi[0]), 3), round(float(dpi[1]), 3)] if dpi else None,
        "orientation": photo.orientation,
        "icc": profiles.description(icc),
        "bit_depth": _depth(photo, image),
        "metadata": metadata,
        "hdr": _hdr_facts(photo.gain_map_of(image)),
    }
    heif = image.info.get("heif")
    if isinstance(heif, dict):
        facts.update(_heif_facts(heif))
    return facts


def _depth(photo: Photo, image: Any) -> int:
    """Bits per channel of the picture as decoded: a deep picture's own (10 or 12 for such a
    source, not the 16 its samples are held in; 32 for float), else the 8-bit picture's mode's."""
    deep = photo.deep_of(image)
    return int(deep.bits) if deep is not None else bit_depth(image.mode)


def _hdr_facts(gain: Any) -> dict[str, Any] | None:
    """An HDR photo's gain map as `info` shows it: its form, size and largest boost (None: SDR)."""
    if gain is None:
        return None
    return {"form": gain.form_name, "gain_map": [gain.size[0], gain.size[1]], "max_boost": round(gain.boost, 3)}


_HEIC_BRANDS = frozenset({"heic", "heix", "heim", "heis", "hevc", "hevx"})


def _heif_facts(heif: dict[str, Any]) -> dict[str, Any]:
    """What a HEIF file adds: HEIC (HEVC brands) or HEIF, the stored bit depth, and the
    container's other contents (top-level images, depth map, gain map, thumbnail)."""
    return {
        "format": "HEIC" if heif.get("brand") in _HEIC_BRANDS else "HEIF",
        "bit_depth": heif.get("bit_depth"),
        "container": {"brand": heif.get("brand"), "images": heif.get("images"),
                      "depth_map": heif.get("depth_map"), "gain_map": heif.get("gain_map"),
                      "thumbnail": heif.get("thumbnail")},
    }
