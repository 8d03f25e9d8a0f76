"""The way out: a picture written in the format asked for, with what that format can carry."""

from __future__ import annotations

import dataclasses
import io
import os
import sys
import types
from collections.abc import Callable, Iterable
from typing import IO, Any

from PIL import Image, PngImagePlugin

from framewick._files import atomic_write
from framewick.photo import exif as _exif
from framewick.photo import fields as _fields
from framewick.photo import formats, modes, profiles
from framewick.photo import frames as _frames
from framewick.photo import iptc as _iptc
from framewick.photo import xmp as _xmp
from framewick.photo.metadata import Photo
from framewick.status import BadValue, emit, note

_TIFF_XMP = 700
# The most XMP a JPEG's APP1 segment holds after its namespace header.
_XMP_ROOM = {"JPEG": 65504, "MPO": 65504}
_EXIF_MARKER = b"Exif\x00\x00"

Target = str | os.PathLike[str] | IO[bytes]

#: The depths `write(depth=)` takes: 8 is the 8-bit picture written as it always was; 10 and 12
#: name AVIF's and HEIC's coded depth (PNG, TIFF and JPEG XL then write 16 bits, the nearest
#: they hold); 16 is each format's depth of formats.DEEP_BITS.
DEPTHS = (8, 10, 12, 16)


def check_depth(depth: int | None, fmt: str) -> None:
    """Refuse a `depth` not among DEPTHS, or more than 8 bits for a format that holds 8."""
    if depth is None:
        return
    if isinstance(depth, bool) or depth not in DEPTHS:
        raise BadValue(f"❌ Error: depth must be 8, 10, 12 or 16, not {depth!r}")
    if depth > 8 and fmt not in formats.DEEP_BITS:
        holds = ", ".join(sorted(k if k != "HEIF" else "HEIC" for k in formats.DEEP_BITS))
        raise BadValue(f"❌ Error: {fmt} holds 8 bits per channel; depth {depth} needs one of {holds}")


def _format(target: object, path: str | None, format: str | None, photo: Photo, image: Any) -> str:
    if format is not None:
        return formats.output_format(format)[0]
    if path is not None:
        found = formats.format_of_path(path)
        if found is not None:
            return found
        if os.path.splitext(path)[1]:
            raise BadValue(f"❌ Error: {path}: unknown format {os.path.splitext(path)[1]!r}; "
                             "give one with format=")
    source = photo.format or getattr(image, "format", None)
    if source:
        try:
            return formats.output_format(source)[0]
        except ValueError:
            pass
    raise BadValue(f"❌ Error: no format for {path or 'the stream'}: give one with format=")


def format_for(obj: Any, target: str, format: str | None = None) -> str:
    """The format `write_photo` writes `obj` in to the path `target` (see its description)."""
    photo: Photo = getattr(obj, "photo", None) or Photo()
    return _format(target, target, format, photo, obj.image)


def storable(picture: Image.Image, fmt: str, background: str | tuple[int, ...],
             icc: bytes | None) -> tuple[Image.Image, bytes | None]:
    """`picture` in a mode `fmt` stores, and the profile that goes with it.

    1. Deep pictures (16-bit, 32-bit, float) the format cannot hold are scaled to 8 bits.
    2. Palette pictures become RGB or RGBA, "1" becomes L, CMYK becomes RGB through its
       profile, where the format cannot hold them as they are. 3. Alpha is flattened onto
       `background` for a format without alpha. 4. Any mode still not stored is converted to
       RGB(A) or L as its colours need.
    """
    can = formats.stores(fmt)
    mode = picture.mode
    if mode in can.modes:
        return picture, icc
    if mode in modes.DEEP:
        if mode == "I" and "I;16" in can.modes:
            low, high = modes.extrema(picture)
            if 0 <= low and high <= 65535:
                return picture.convert("I;16"), icc
        if mode.startswith("I;16") and "I;16" in can.modes:
            # through I: Pillow's direct conversion between the 16-bit byte orders clips to 255
            return picture.convert("I").convert("I;16"), icc
        picture = modes.to_8bit(picture)
    elif mode == "CMYK":
        picture, icc = modes.working(picture, icc)
    elif mode in ("P", "PA", "1", "La", "RGBa") or mode not in modes.WORKING:
        if mode == "1" and "L" not in can.modes:
            picture = picture.convert("RGB")
        else:
            picture, icc = modes.working(picture, icc)
    if modes.has_alpha(picture) and not can.alpha:
        picture = modes.flatten(picture, background)
    if picture.mode not in can.modes:
        if picture.mode == "LA":
            picture = picture.convert("RGBA" if "RGBA" in can.modes else "L")
        elif picture.mode == "L":
            picture = picture.convert("RGB")
        elif picture.mode == "RGBA" and "RGBA" not in can.modes:
            picture = modes.flatten(picture, background)
    return picture, icc


# Compressions that only store bilevel pictures, and those that only store 8-bit L, RGB or CMYK.
_BILEVEL = frozenset({"group3", "group4", "tiff_ccitt", "tiff_raw_16"})
_EIGHT_BIT = frozenset({"jpeg", "tiff_jpeg"})


def _compression(photo: Photo, source: Image.Image, picture: Image.Image) -> dict[str, Any]:
    """TIFF's compression keyword: the source's where it can store the written picture, else
    LZW in place of a compression that cannot (fax for a picture not bilevel, JPEG for one not
    8-bit), else the writer's default."""
    kept = source.info.get("compression")
    if not isinstance(kept, str) or photo.format != "TIFF":
        return {"compression": None}
    if (kept in _BILEVEL and picture.mode != "1") or (kept in _EIGHT_BIT and picture.mode not in ("L", "RGB", "CMYK")):
        return {"compression": "tiff_lzw"}
    return {"compression": kept}


def _left_out_note(name: str, fmt: str, left: list[str]) -> None:
    """The line on standard error when metadata was cut down to fit what `fmt` holds."""
    parts = left[0] if len(left) == 1 else ", ".join(left[:-1]) + " and " + left[-1]
    print(f"framewick: {name}: the metadata is more than {fmt} holds, so {parts} "
          f"{'was' if len(left) == 1 else 'were'} left out", file=sys.stderr)


def _metadata(photo: Photo, fmt: str, icc: bytes | None, strip: bool, name: str = "") -> dict[str, Any]:
    """Pillow's save keywords for the metadata `fmt` carries (explicitly empty when stripped,
    so that nothing of the picture's own `info` slips through). EXIF and XMP larger than the
    format holds are cut down to fit (see `exif.fitted`), with one line on standard error."""
    carries = formats.stores(fmt).metadata
    args: dict[str, Any] = {}
    if "icc" in carries or fmt in ("PNG", "TIFF"):
        args["icc_profile"] = None if strip else icc
    if strip:
        if "exif" in carries:
            args["exif"] = b""
        return args
    dpi = formats.storable_dpi(photo.dpi, fmt)
    if fmt == "TIFF" and (photo.exif or photo.xmp or photo.iptc):
        # TIFF takes EXIF as tags of its own (never the layout tags of the picture it came
        # from), and XMP and IPTC as more of them.
        tags = _exif.for_tiff(photo.exif) if photo.exif else Image.Exif()
        xmp = _xmp.without_gain_map(photo.xmp)
        if xmp:
            tags[_TIFF_XMP] = xmp
        if photo.iptc:
            tags[_iptc.TIFF_TAG] = photo.iptc
        args["exif"] = tags
        return args | ({"dpi": dpi} if dpi else {})
    left: list[str] = []
    if "exif" in carries and photo.exif:
        block = photo.exif
        if fmt in _XMP_ROOM and not block.startswith(_EXIF_MARKER):
            # JPEG's APP1 holds the block after its marker, which Pillow's writer does not add;
            # a block read from an AVIF, a JPEG XL or a deep picture comes without it.
            block = _EXIF_MARKER + block
        exif, left = _exif.fitted(block, _exif.ROOM.get(fmt, len(block)))
        if exif:
            args["exif"] = exif
    if "dpi" in carries and dpi:
        args["dpi"] = dpi
    # A photo's XMP may describe the gain map and the pictures appended to the file it came from;
    # those parts are written afresh with a gain map, and never without one.
    xmp = _xmp.without_gain_map(photo.xmp)
    if xmp and len(xmp) > _XMP_ROOM.get(fmt, len(xmp)):
        left.append("the XMP packet")
        xmp = None
    if fmt == "JPEG" and photo.iptc:
        # Pillow's writer puts the segments among its own, before the picture
        args["extra"] = _iptc.jpeg_segment(photo.iptc)
    if left:
        _left_out_note(name, fmt, left)
    if "xmp" in carries and xmp:
        if fmt == "PNG":
            info = PngImagePlugin.PngInfo()
            info.add_itxt("XML:com.adobe.xmp", xmp.decode("utf-8", "replace"))
            args["pnginfo"] = info
        else:
            args["xmp"] = xmp
    return args


def _quality(obj: Any, fmt: str) -> dict[str, Any]:
    quality = getattr(obj, "quality", 95)
    if fmt == "JPEG":
        return {"quality": quality, "optimize": True}
    if fmt == "JXL":
        # pillow_jxl otherwise re-encodes a picture opened from a JPEG file from that file's
        # bytes, leaving out the edits, the turn and what --strip removed.
        return {"quality": quality, "lossless_jpeg": False}
    if formats.stores(fmt).lossy:
        return {"quality": quality}
    return {}


def prepare(obj: Any, fmt: str, *, strip: bool = False, background: str | tuple[int, ...] = "white",
            srgb: bool = False, name: str = "", no_icc: bool = False) -> tuple[list[Image.Image], dict[str, Any]]:
    """The frames to write and the save keywords, for `obj`'s picture written as `fmt`; `no_icc`
    leaves the profile out (a picture not in sRGB converted first, as `strip` does)."""
    photo: Photo = getattr(obj, "photo", None) or Photo()
    no_icc = no_icc or strip
    image = obj.image
    frames = photo.frames_of(image)
    if frames is None and photo.animated:
        _frames.detached_note(name, len(photo.frames))
    if frames is not None and not formats.stores(fmt).animates:
        _frames.kept_frame_note(name, len(frames), fmt)
        frames = None
    default_image = False
    if frames is not None:
        frames, default_image = _frames.animated_part(photo, fmt, frames)
    pictures = list(frames) if frames is not None else [image]
    icc = photo.icc
    out: list[Image.Image] = []
    for picture in pictures:
        frame_icc = icc
        if srgb or ((no_icc or fmt in formats.SRGB_ONLY) and not profiles.is_srgb(frame_icc)):
            if picture.mode in ("RGB", "RGBA", "CMYK"):
                picture, frame_icc = profiles.to_srgb(picture, frame_icc), profiles.srgb_bytes()
            elif picture.mode not in modes.WORKING:
                picture, frame_icc = modes.working(picture, frame_icc)
                if picture.mode in ("RGB", "RGBA"):
                    picture = profiles.to_srgb(picture, frame_icc)
                    frame_icc = profiles.srgb_bytes()
        picture, frame_icc = storable(picture, fmt, background, frame_icc)
        out.append(picture)
        last_icc = frame_icc
    if len({picture.mode for picture in out}) > 1:
        # An animation's frames as Pillow decodes them may differ in mode (a GIF's first frame
        # P, the others RGB); the writers take one mode for all.
        common = "RGBA" if any(modes.has_alpha(picture) for picture in out) else "RGB"
        out = [picture if picture.mode == common else picture.convert(common) for picture in out]
    if not profiles.fits(last_icc, out[0].mode) and not (out[0].mode == "P" and fmt == "GIF"):
        last_icc = None
    if srgb and out[0].mode in ("RGB", "RGBA", "P"):
        last_icc = profiles.srgb_bytes()
    args = _metadata(photo, fmt, None if no_icc else last_icc, strip, name)
    args.update(_quality(obj, fmt))
    if len(out) > 1:
        args.update(_frames.animation_args(photo, fmt, out, default_image))
        if not args.get("save_all"):
            out = out[:1]
    if fmt == "TIFF":
        args.update(_compression(photo, pictures[0], out[0]))
        if args.get("exif"):
            args["exif"] = _libtiff_tags(out[0].mode, args)
    return out, args


def _encoded(pictures: list[Image.Image], fmt: str, args: dict[str, Any]) -> bytes:
    """The file `_save` writes, in memory."""
    buffer = io.BytesIO()
    _save(pictures, buffer, fmt, args)
    return buffer.getvalue()


def _with_fields(obj: Any, fields: _fields.Choice, fmt: str, name: str) -> Any:
    """A stand-in for `obj` whose photo keeps only the metadata fields `fields` chooses. An EXIF
    block past what `fmt` holds is cut down first, with the line it always had (the editor
    would otherwise cut it its own way)."""
    photo: Photo | None = getattr(obj, "photo", None)
    if photo is None or not fields.edits_fields or not (photo.exif or photo.xmp or photo.iptc):
        return obj
    room = _exif.ROOM.get(fmt)
    if photo.exif and room is not None and len(photo.exif) > room:
        exif, left = _exif.fitted(photo.exif, room)
        if left:
            _left_out_note(name, fmt, left)
        photo = dataclasses.replace(photo, exif=exif)
    return types.SimpleNamespace(image=obj.image, photo=_fields.edited(photo, fields, name),
                                 quality=getattr(obj, "quality", 95))


def _with_iptc(obj: Any, fmt: str, name: str) -> Any:
    """A stand-in for `obj` whose photo holds its IPTC where `fmt` keeps it: a JPEG's or a
    TIFF's own block as they are, the XMP of a format without one (see framewick.photo.iptc)."""
    photo: Photo | None = getattr(obj, "photo", None)
    if photo is None or not photo.iptc or fmt in _iptc.HOLDS:
        return obj
    if "xmp" in formats.stores(fmt).metadata:
        photo = dataclasses.replace(photo, xmp=_iptc.into_xmp(photo.iptc, photo.xmp, fmt, name), iptc=None)
    else:
        _iptc.left_out(fmt, name)
        photo = dataclasses.replace(photo, iptc=None)
    return types.SimpleNamespace(image=obj.image, photo=photo, quality=getattr(obj, "quality", 95))


def _libtiff_tags(mode: str, args: dict[str, Any]) -> Image.Exif:
    """The TIFF tags of `args` that the writer takes for a picture in `mode`: with a compression
    it is libtiff that writes them, and libtiff refuses some that Pillow's own writer took (a
    known tag with another type or count: "Error setting from dictionary"). Each refused tag
    is left out; the picture is written with the rest. Tried on a one-pixel picture."""
    tags: Image.Exif = args["exif"]
    if args.get("compression") in (None, "raw"):
        return tags

    def takes(candidate: Image.Exif) -> bool:
        try:
            Image.new(mode, (1, 1)).save(io.BytesIO(), "TIFF", **(args | {"exif": candidate}))
        except (RuntimeError, ValueError, TypeError, OSError):
            return False
        return True

    return tags if takes(tags) else _exif.kept_where(tags, takes)


def _save(pictures: list[Image.Image], fp: str | IO[bytes], fmt: str, args: dict[str, Any]) -> None:
    first = pictures[0]
    if fmt == "AVIF" and first.mode == "LA" and len(pictures) == 1:
        data = _avif_grey_alpha(first, args)
        if data is not None:
            _write_bytes(fp, data)
            return
        first = pictures[0] = first.convert("RGBA")
    if fmt == "JXL" and len(pictures) == 1 and _exif.orientation(_bytes(args.get("exif"))) != 1:
        data = _native_jxl(first, args)
        if data is not None:
            _write_bytes(fp, data)
            return
    if fmt == "TIFF" and hasattr(first, "tag_v2"):
        first = first.copy()  # the TIFF writer copies tags of a TIFF picture itself: only ours go
    if isinstance(fp, str) and _by_extension(fp) == fmt:
        # Named by the path's extension, Pillow uses the writer loaded already for it instead of
        # loading its common readers and writers first (as it does for a format given by name).
        first.save(fp, **args)
        return
    first.save(fp, fmt, **args)


def _avif_grey_alpha(picture: Image.Image, args: dict[str, Any]) -> bytes | None:
    """An AVIF of a grey picture with alpha, coded monochrome with its alpha, by framewick's
    libavif module (Pillow's writer makes it RGBA); None where that module is not built or
    refuses it (the caller writes RGBA, as before)."""
    try:
        return _native_avif(picture, args)
    except (ImportError, OSError, ValueError):
        return None


def _bytes(value: Any) -> bytes | None:
    """An EXIF or XMP save keyword as bytes (None for none)."""
    if isinstance(value, Image.Exif):
        return value.tobytes()
    return value.encode() if isinstance(value, str) else value or None


def _native_jxl(picture: Image.Image, args: dict[str, Any]) -> bytes | None:
    """A JPEG XL of a picture kept as stored, by framewick's libjxl module: the orientation its
    EXIF keeps goes into the codestream, which JPEG XL readers apply (Pillow's writer has no
    way to put it there). None where that module is not built, or refuses the picture or its
    mode: the caller writes with Pillow's writer, as before."""
    channels = {"L": 1, "LA": 2, "RGB": 3, "RGBA": 4}.get(picture.mode)
    exif = _bytes(args.get("exif"))
    try:
        from framewick.formats import _jxl

        if channels is None:
            return None
        # The picture is in sRGB here, which a file without a profile says, as Pillow's writer's do.
        return _jxl.write(picture.tobytes(), picture.width, picture.height, channels, 8,
                          quality=int(args.get("quality", 90)), orientation=_exif.orientation(exif), exif=exif,
                          xmp=_bytes(args.get("xmp")))
    except (ImportError, OSError, ValueError):
        return None


def _native_avif(picture: Image.Image, args: dict[str, Any], gain: Any = None) -> bytes:
    """An AVIF of an 8-bit picture (L, LA, RGB, RGBA) by framewick's libavif module, with the
    save keywords Pillow's writer takes (quality, subsampling, profile, EXIF, XMP) and `gain`, a
    gain map, stored as ISO 21496-1. ImportError where the module is not built; OSError or
    ValueError where libavif refuses."""
    from framewick.formats import _avif

    exif = args.get("exif")
    if isinstance(exif, Image.Exif):
        exif = exif.tobytes()
    if isinstance(exif, bytes) and exif.startswith(_EXIF_MARKER):
        exif = exif[len(_EXIF_MARKER):]
    # An orientation left in the EXIF (pixels kept as stored) becomes irot/imir, as Pillow's
    # writer makes it.
    xmp = args.get("xmp")
    extra: dict[str, Any] = {"orientation": _exif.orientation(exif)}
    if gain is not None:
        plain = gain.as_ultra_hdr()
        extra |= {"gain_map": (plain.picture.tobytes(), plain.picture.mode, *plain.picture.size),
                  "gain_map_metadata": plain.metadata()}
    # Pillow's writer subsamples colour 4:2:0 unless told otherwise; 4:2:2 is kept as 4:4:4.
    subsampling = "4:2:0" if args.get("subsampling", "4:2:0") == "4:2:0" else "4:4:4"
    return _avif.write(picture.tobytes(), picture.width, picture.height, len(picture.getbands()), 8, depth=8,
                       quality=int(args.get("quality", 75)), subsampling=subsampling,
                       icc=args.get("icc_profile") or None, exif=exif or None,
                       xmp=xmp.encode() if isinstance(xmp, str) else xmp or None, **extra)


def _by_extension(path: str) -> str | None:
    """The format Pillow's writers loaded so far give the extension of `path`, if any."""
    from framewick.formats import private

    return private.extensions_so_far().get(os.path.splitext(path)[1].lower())


def _gain_map_for(pictures: list[Image.Image], fmt: str, gain: Any, name: str) -> Any:
    """The gain map to write with the picture: None when there is none or the picture is
    written as an animation; `fmt` that cannot hold one says so in one line."""
    if gain is None or len(pictures) != 1:
        return None
    if not _holds_gain_map(fmt):
        note(f"framewick: {name}: {fmt} cannot hold the gain map, so the picture was written as SDR")
        return None
    return gain


#: The formats that hold a gain map: JPEG as Ultra HDR, HEIF (HEIC) as an auxiliary picture,
#: AVIF as ISO 21496-1 (a tone-map item) where framewick's libavif module is built.
_GAIN_MAP_FORMATS = frozenset({"JPEG", "HEIF", "AVIF"})


def _holds_gain_map(fmt: str) -> bool:
    if fmt != "AVIF":
        return fmt in _GAIN_MAP_FORMATS
    try:
        from framewick.formats import _avif  # noqa: F401
    except ImportError:
        return False
    return True


def _with_gain_map(picture: Image.Image, fmt: str, args: dict[str, Any], gain: Any, name: str) -> Callable[[Any], None]:
    """How to write `picture` with its gain map: JPEG as Ultra HDR (the picture and the map
    each encoded as a JPEG and joined with the map's metadata), HEIF with the map as Apple's
    auxiliary picture, AVIF with the map as ISO 21496-1. A map the joining refuses leaves the
    picture written as SDR, with a line."""
    if fmt == "AVIF":
        def avif(fp: Any) -> None:
            try:
                data = _native_avif(picture, args, gain)
            except (OSError, ValueError) as error:
                note(f"framewick: {name}: the gain map could not be stored with the picture ({error}), so it was "
                     "written as SDR")
                _save([picture], fp, fmt, args)
                return
            _write_bytes(fp, data)

        return avif
    if fmt == "HEIF":
        pixels, headroom = gain.as_apple()
        heif = dict(args, gain_map=(pixels.tobytes(), pixels.mode, *pixels.size), headroom=headroom)
        return lambda fp: _save([picture], fp, fmt, heif)

    def ultra_hdr(fp: Any) -> None:
        from framewick.formats import _uhdr
        from framewick.photo import hdr

        base = io.BytesIO()
        _save([picture], base, fmt, args)
        plain = gain.as_ultra_hdr()
        coded = io.BytesIO()
        plain.picture.save(coded, "JPEG", quality=min(95, max(75, int(args.get("quality", 90)))))
        exif, icc = args.get("exif"), args.get("icc_profile")
        try:
            data = _uhdr.join(base.getvalue(), coded.getvalue(), plain.metadata(),
                              exif=exif if isinstance(exif, bytes) and exif else None, icc=icc or None)
        except (OSError, ValueError) as error:
            note(f"framewick: {name}: the gain map could not be joined to the picture ({error}), so it was "
                 "written as SDR")
            data = base.getvalue()
        else:
            if args.get("xmp"):  # libultrahdr keeps the base's EXIF and profile, not its XMP or IPTC
                data = hdr.with_xmp(data, args["xmp"])
            if args.get("extra"):
                data = hdr.with_segment(data, args["extra"], _iptc.APP13_HEADER)
        _write_bytes(fp, data)

    return ultra_hdr


def _write_bytes(fp: Any, data: bytes) -> None:
    if isinstance(fp, (str, os.PathLike)):
        with open(fp, "wb") as out:
            out.write(data)
    else:
        fp.write(data)


def write_photo(obj: Any, target: Target, *, format: str | None = None, strip: bool = False,
                background: str | tuple[int, ...] = "white", srgb: bool = False,
                echo: Callable[[str], None] | None = None, max_bytes: int | None = None,
                on_fit: Callable[[Any], None] | None = None, depth: int | None = None,
                keep: str | Iterable[str] | None = None, drop: str | Iterable[str] | None = None,
                sdr: bool = False) -> Any:
    """Write `obj`'s picture to `target` (a path, written atomically, or a writable binary file).

    The format is `format`, else the path's extension, else the picture's source format. The
    picture is converted to what the format stores (see `storable`), written with the object's
    `quality` where the format is lossy, and with the EXIF, ICC profile, DPI and XMP the format
    can carry unless `strip`. `keep` and `drop` (group names, see framewick.photo.fields) keep
    only some of it, field by field; `drop="all"` is `strip`. `srgb` converts through the
    profile to sRGB and embeds sRGB; `strip` (and dropping the profile) converts a picture
    whose profile is not sRGB first, so its colours do not shift. The status
    line goes to `echo` (printed when None) once the file is in place. Returns `obj`.

    `max_bytes` writes the highest quality (up to the object's own) whose whole file fits in
    that many bytes (framewick.photo.budget); the quality chosen is in the status line and
    handed to `on_fit` as a budget.Fit. A format without a quality is a BadValue, and so is a
    budget no quality meets (naming the smallest size reached); nothing is written then.

    A photo with a deep picture (`Photo.deep_of`) is written from it: 16-bit PNG and TIFF (a
    float one stays float), 16-bit JPEG XL, 10-bit AVIF and HEIC; any other format gets it
    dithered to 8 bits (see deepwriting.dither), except a camera RAW's as developed, whose 8-bit
    picture is LibRaw's own 8-bit development of it and is written as it is. `depth` overrides: 8 writes the 8-bit picture
    exactly as without a deep one; 16 (10 or 12: AVIF's and HEIC's coded depth) writes at depth,
    an 8-bit picture widened (v * 257) when there is no deep one, and is refused for a format
    that holds 8 bits. With `max_bytes`, a deep picture is written dithered to 8 bits.
    An HDR photo's gain map (`Photo.gain_map`) is written with the picture where the format
    holds one (JPEG as Ultra HDR, HEIC; counted in `max_bytes`), and left out with one line
    where it cannot; `sdr` leaves it out on purpose.
    """
    modes.check_colour(background)
    fields = _fields.Choice.of(keep, drop)
    _fields.check_available(fields)
    path: str | None = None
    if isinstance(target, (str, os.PathLike)):
        path = os.fsdecode(os.fspath(target))
    photo: Photo = getattr(obj, "photo", None) or Photo()
    fmt = _format(target, path, format, photo, obj.image)
    name = path if path is not None else _stream_name(target)
    fitted = ""
    if max_bytes is not None:
        from framewick.photo import budget

        budget.check(max_bytes, fmt, name)
    check_depth(depth, fmt)
    given, no_icc = obj, False
    gain = None if sdr else photo.gain_map_of(obj.image)  # the stand-ins below hold other pictures
    if fields is not None:
        strip, no_icc = strip or fields.strips, fields.drops_icc
        if not strip:
            obj = _with_fields(obj, fields, fmt, name)
            photo = getattr(obj, "photo", None) or photo
    if not strip:
        obj = _with_iptc(obj, fmt, name)
        photo = getattr(obj, "photo", None) or photo
    data, source = _at_depth(obj, photo, fmt, depth, strip=strip, srgb=srgb, name=name, budget=max_bytes is not None,
                             no_icc=no_icc, gain=gain)
    if data is not None:
        _gain_map_for([obj.image], fmt, gain, name)  # HEIC and AVIF hold it beside the deep picture; the others say so
        if callable(data):
            save = data  # a writer of its own (TIFF): straight into the file
        else:
            def save(fp: str | IO[bytes]) -> None:
                _write_bytes(fp, data)
    else:
        pictures, args = prepare(source, fmt, strip=strip, background=background, srgb=srgb, name=name,
                                 no_icc=no_icc)
        gain = _gain_map_for(pictures, fmt, gain, name)

        def encoded(setting: dict[str, Any]) -> bytes:
            if gain is None:
                return _encoded(pictures, fmt, args | setting)
            buffer = io.BytesIO()
            _with_gain_map(pictures[0], fmt, args | setting, gain, name)(buffer)
            return buffer.getvalue()

        save = _with_gain_map(pictures[0], fmt, args, gain, name) if gain is not None else \
            (lambda fp: _save(pictures, fp, fmt, args))
        if max_bytes is not None:
            chosen = budget.fit(encoded, fmt, max_bytes, args.get("quality", getattr(source, "quality", 95)), name)
            save, fitted = chosen.save_to, f" ({chosen.describe()})"
    if path is not None:
        atomic_write(path, save)
    else:
        assert not isinstance(target, (str, os.PathLike))
        save(target)
    if max_bytes is not None and on_fit is not None:
        on_fit(chosen)
    text = f"💾 Success: Image saved as '{name}'{fitted} ✅\n"
    if echo is None:
        emit(text, end="")
    else:
        echo(text)
    return given


def _at_depth(obj: Any, photo: Photo, fmt: str, depth: int | None, *, strip: bool, srgb: bool,
              name: str, budget: bool = False, no_icc: bool = False,
              gain: Any = None) -> tuple[bytes | Callable[[Any], None] | None, Any]:
    """What is written for a picture at depth: the file's bytes from the native writer of a
    format that holds more than 8 bits (for TIFF, what writes them to a path or a stream) (an HEIC with the `gain` map as its auxiliary picture),
    or for any other format (and under a size `budget`, whose qualities are tried on 8-bit
    pictures) a stand-in for `obj` holding the deep pixels dithered to 8 bits, its gain map
    paired with the dithered picture. (None, obj) when the picture is written as it always was:
    no deep picture and no more than 8 bits asked, or `depth` 8."""
    if depth == 8:
        return None, obj
    if budget and depth is not None:
        raise BadValue(f"❌ Error: {name}: a size budget is met at 8 bits; depth {depth} cannot be kept with it")
    deep_of = getattr(photo, "deep_of", None)
    deep = deep_of(obj.image) if deep_of is not None else None
    # A 16-bit grey picture (deep itself) goes to AVIF and HEIC at depth, coded monochrome.
    grey = deep is None and obj.image.mode in _GREY16 and fmt in ("AVIF", "HEIF") and not budget \
        and photo.frames_of(obj.image) is None
    if deep is None and not grey and (depth is None or photo.frames_of(obj.image) is not None
                                      or obj.image.mode in modes.DEEP):
        return None, obj  # nothing deeper than the picture itself (an "I;16" one is written at 16 bits as it is)
    if deep is not None and deep.exact_8bit and (fmt not in formats.DEEP_BITS or budget) and depth is None \
            and (not (srgb or strip) or profiles.is_srgb(photo.icc)):
        return None, obj  # its 8-bit picture is the library's own 8-bit output of it: no dither (nor NumPy)
    if fmt == "TIFF" and not budget and deep is not None:
        from framewick.photo import deepread

        if isinstance(deep, deepread.Later):  # its samples as they came, straight to the TIFF (nor NumPy)
            from framewick.photo import deeptiff

            written = deeptiff.unchanged(obj, deep.samples(), deep.size, deep.channels, strip=strip, srgb=srgb,
                                         no_icc=no_icc, name=name)
            if written is not None:
                return written, obj
    from framewick.photo import deepwriting

    if deep is not None:
        pixels = deep.pixels
    elif grey:
        pixels = deepwriting.grey16(obj.image)
        if pixels is None:
            return None, obj
    else:
        pixels = deepwriting.widened(storable(obj.image, "PNG", "white", photo.icc)[0])
        if pixels is None:
            return None, obj
    if fmt not in formats.DEEP_BITS or budget:
        return None, deepwriting.dithered(obj, pixels, strip=strip, srgb=srgb, name=name) or obj
    try:
        return deepwriting.encode(obj, pixels, fmt, depth=depth, strip=strip, srgb=srgb, name=name,
                                  no_icc=no_icc, gain=gain if _holds_gain_map(fmt) else None), obj
    except ImportError:
        # the format's native writer is not built here: its 8 bits, dithered
        note(f"framewick: {name}: {fmt} at depth is not built here, so the picture is written at 8 bits")
        return None, deepwriting.dithered(obj, pixels, strip=strip, srgb=srgb, name=name) or obj


#: Pillow's modes of a 16-bit grey picture.
_GREY16 = frozenset({"I;16", "I;16L", "I;16B", "I;16N", "I"})


def _stream_name(target: object) -> str:
    name = getattr(target, "name", None)
    return name if isinstance(name, str) else "<stream>"


def png_bytes(picture: Image.Image) -> bytes:
    buffer = io.BytesIO()
    picture.save(buffer, "PNG")
    return buffer.getvalue()
