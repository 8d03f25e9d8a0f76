"""What a photo carries besides its pixels, kept with the object between opening and writing."""

from __future__ import annotations

from dataclasses import dataclass, field

from PIL import Image

from framewick.status import Failure


class PhotoError(Failure, ValueError):
    """A file that cannot be opened as a picture (not one, broken, or too large); names the file."""


@dataclass
class Photo:
    """The metadata of an opened picture, and its frames when it is an animation.

    `exif` is the EXIF block as bytes (its orientation tag reset to 1 when the picture was
    turned); `orientation` is the tag as the file had it. `frames` holds every frame of an
    animation (the first is the object's `image` while the two are in step) with `durations`
    in milliseconds, `loop` (None: played once) and `disposal` (the source format's codes); it
    is empty for a still picture. With `default_image`, the first frame is an APNG's default
    picture, shown by viewers that do not animate and not part of the animation. `text` holds
    a PNG's text chunks by keyword.
    """

    format: str | None = None
    exif: bytes | None = None
    icc: bytes | None = None
    dpi: tuple[float, float] | None = None
    xmp: bytes | None = None
    orientation: int = 1
    frames: list[Image.Image] = field(default_factory=list)
    durations: list[int] = field(default_factory=list)
    loop: int | None = None
    disposal: list[int] | None = None
    default_image: bool = False
    text: dict[str, str] = field(default_factory=dict)
    name: str = ""
    draft_scale: int = 1

    @property
    def animated(self) -> bool:
        return len(self.frames) > 1

    def frames_of(self, image: object) -> list[Image.Image] | None:
        """The frames, when `image` is still their first (else the picture was edited apart)."""
        if self.animated and self.frames[0] is image:
            return self.frames
        return None
