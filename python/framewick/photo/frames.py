"""Animations: every frame decoded with its timing, and what a format can take of them."""

from __future__ import annotations

import sys
from typing import Any

from PIL import Image, ImageChops

from framewick.photo.metadata import Photo


def read_frames(picture: Image.Image, photo: Photo) -> None:
    """Decode every frame of an animation into `photo` (full frames, as Pillow composes them)."""
    frames: list[Image.Image] = []
    durations: list[int] = []
    disposal: list[int] = []
    default = False
    for index in range(getattr(picture, "n_frames", 1)):
        picture.seek(index)
        picture.load()
        if index == 0:  # an APNG's default picture, outside the animation
            default = bool(picture.format == "PNG" and picture.info.get("default_image"))
        frames.append(picture.copy())
        durations.append(int(picture.info.get("duration", 0) or 0))
        code = getattr(picture, "disposal_method", picture.info.get("disposal"))
        disposal.append(int(code) if code is not None else 0)
    loop = picture.info.get("loop")
    photo.default_image = default
    photo.frames = frames
    photo.durations = durations
    photo.disposal = disposal
    photo.loop = int(loop) if loop is not None else None


# ISO 21496-1 gain-map metadata: an APP2 segment opening with this name.
ISO_GAIN_MAP = b"urn:iso:std:iso:ts:21496:-1\x00"


def extra_pictures_are_frames(picture: Image.Image) -> bool:
    """Whether the pictures an MPO file holds after its first are frames to show.

    A JPEG with an MP index may append pictures that only serve the first: a large preview
    (MP type "Large Thumbnail"), an HDR gain map (libultrahdr marks its entry "Undefined" and
    names it in its own APP2 ISO 21496-1 segment or in `hdrgm` XMP) or a depth map (named in the
    first picture's container directory). Those are not frames. Multi-frame types (panorama,
    disparity, multi-angle) and entries nothing marks as such a companion are, as before.
    """
    entries = (getattr(picture, "mpinfo", None) or {}).get(0xB002) or []
    if picture.format != "MPO" or len(entries) < 2:
        return True
    from framewick.photo import xmp as _xmp

    first_xmp = picture.info.get("xmp") or b""
    directory = isinstance(first_xmp, bytes) and _xmp.describes_gain_map(first_xmp)
    saved = dict(picture.info)
    try:
        for index, entry in enumerate(entries[1:], start=1):
            kind = str((entry.get("Attribute") or {}).get("MPType", ""))
            if kind.startswith("Large Thumbnail"):
                continue
            if kind.startswith("Multi-Frame"):
                return True
            if not (directory or _companion(picture, index)):
                return True
        return False
    finally:
        picture.seek(0)
        picture.info.clear()
        picture.info.update(saved)  # seeking re-reads each picture's segments into `info`


def _companion(picture: Image.Image, index: int) -> bool:
    """Whether picture `index` of an MPO names itself a gain map (ISO 21496-1 or `hdrgm`)."""
    from framewick.photo import xmp as _xmp

    picture.seek(index)
    for marker, data in getattr(picture, "applist", []):
        if marker == "APP2" and data.startswith(ISO_GAIN_MAP):
            return True
        if marker == "APP1" and data.startswith(b"http://ns.adobe.com/xap/1.0/\x00") and \
                _xmp.GAIN_MAP_NS.encode() in data:
            return True
    return False


def animated_part(photo: Photo, fmt: str, frames: list[Image.Image]) -> tuple[list[Image.Image], bool]:
    """The frames a format's animation gets, and whether the first is a default picture apart.

    An APNG's default picture stays apart when written as APNG; any other animation leaves it out.
    """
    if not photo.default_image or len(frames) < 2:
        return frames, False
    if fmt == "PNG":
        return frames, True
    return frames[1:], False


def _same_frames(frames: list[Image.Image]) -> bool:
    """Whether every frame shows what the first does (Pillow's GIF writer then keeps one)."""
    first = frames[0].convert("RGBA")
    for frame in frames[1:]:
        if frame.size != first.size or ImageChops.difference(first, frame.convert("RGBA")).getbbox(alpha_only=False):
            return False
    return True


def animation_args(photo: Photo, fmt: str, frames: list[Image.Image], default_image: bool = False) -> dict[str, Any]:
    """Pillow's save keywords that keep the animation's frames, durations, loop and disposal.

    `frames` are those written; with `default_image` (APNG) the first is the default picture,
    and the timings are the animation's own, frame for frame.
    """
    durations = list(photo.durations)
    disposal = list(photo.disposal) if photo.disposal else []
    if photo.default_image and not default_image:  # the default picture was left out
        durations, disposal = durations[1:], disposal[1:]
    args: dict[str, Any] = {"save_all": True, "append_images": frames[1:]}
    animated = len(frames) - 1 if default_image else len(frames)
    if default_image:
        args["default_image"] = True
        durations, disposal = durations[1:], disposal[1:]
    elif fmt == "PNG":
        args["default_image"] = False
    if durations and len(durations) == animated:
        args["duration"] = durations
    if photo.loop is not None:
        args["loop"] = photo.loop
    elif fmt != "GIF":
        args["loop"] = 1  # played once, as the source without a loop count was
    # Disposal codes differ between GIF and APNG; they are kept only within one format.
    if disposal and photo.format == fmt and fmt in ("GIF", "PNG") and len(disposal) == animated:
        args["disposal"] = disposal
    elif fmt == "GIF" and any(f.mode in ("RGBA", "LA", "PA") for f in frames):
        args["disposal"] = 2  # whole frames with transparency: clear before each one
    if fmt in ("GIF", "PNG") and not default_image and _same_frames(frames):
        # Pillow's GIF and APNG writers merge equal frames into one and then cannot take
        # per-frame lists (nor, for APNG, a palette): one picture shown for the whole time.
        args = {"duration": sum(durations)} if durations else {}
        if photo.loop is not None:
            args["loop"] = photo.loop
    return args


def kept_frame_note(name: str, count: int, fmt: str) -> None:
    """The line on standard error when an animation is written to a format of still pictures."""
    print(f"framewick: {name}: {count} frames; {fmt} keeps one picture, so frame 1 of {count} was written",
          file=sys.stderr)


def detached_note(name: str, count: int) -> None:
    """The line on standard error when an animation's picture was edited outside a chain (its
    other frames were not), so that picture alone is written."""
    print(f"framewick: {name}: the picture was edited outside a chain, so it alone was written "
          f"(not the animation's {count} frames)", file=sys.stderr)
