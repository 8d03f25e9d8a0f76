"""Animations: every frame decoded with its timing, and what a format can take of them."""

from __future__ import annotations

import sys
from typing import Any

from PIL import Image

from framewick.photo.metadata import Photo


def read_frames(picture: Image.Image, photo: Photo) -> None:
    """Decode every frame of an animation into `photo` (full frames, as Pillow composes them)."""
    frames: list[Image.Image] = []
    durations: list[int] = []
    disposal: list[int] = []
    for index in range(getattr(picture, "n_frames", 1)):
        picture.seek(index)
        picture.load()
        frames.append(picture.copy())
        durations.append(int(picture.info.get("duration", 0) or 0))
        code = getattr(picture, "disposal_method", picture.info.get("disposal"))
        disposal.append(int(code) if code is not None else 0)
    loop = picture.info.get("loop")
    photo.frames = frames
    photo.durations = durations
    photo.disposal = disposal
    photo.loop = int(loop) if loop is not None else None


def animation_args(photo: Photo, fmt: str, frames: list[Image.Image]) -> dict[str, Any]:
    """Pillow's save keywords that keep the animation's frames, durations, loop and disposal."""
    args: dict[str, Any] = {"save_all": True, "append_images": frames[1:]}
    if photo.durations and len(photo.durations) == len(frames):
        args["duration"] = list(photo.durations)
    if photo.loop is not None:
        args["loop"] = photo.loop
    elif fmt != "GIF":
        args["loop"] = 1  # played once, as the source without a loop count was
    # Disposal codes differ between GIF and APNG; they are kept only within one format.
    if photo.disposal and photo.format == fmt and fmt in ("GIF", "PNG") and len(photo.disposal) == len(frames):
        args["disposal"] = list(photo.disposal)
    elif fmt == "GIF" and any(f.mode in ("RGBA", "LA", "PA") for f in frames):
        args["disposal"] = 2  # whole frames with transparency: clear before each one
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
