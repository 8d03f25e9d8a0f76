"""What a photo carries besides its pixels, kept with the object between opening and writing."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from PIL import Image

from framewick.status import Failure

if TYPE_CHECKING:
    from framewick.photo.deep import Deep
    from framewick.photo.hdr import GainMap


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
    a PNG's text chunks by keyword. `iptc` holds the IPTC records of a JPEG's Photoshop block or a
    TIFF's tag as they were (framewick.photo.iptc). `max_pixels` is the pixel limit the caller opened it under
    (None: the default one); a chain run on the object is held to the same.

    `deep` is the picture at its own depth when the file held more than 8 bits per channel (see
    framewick.photo.deep), valid only while the object's `image` is still the 8-bit picture it
    was paired with (`deep_of`); a companion, as framewick.photo.companions describes.

    `gain_map` is an HDR photo's gain map (framewick.photo.hdr), valid only while the object's
    `image` is still the picture it was paired with (`gain_map_of`); a companion, as
    framewick.photo.companions describes.
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
    #: How many times smaller each side was decoded than the file holds (shrink-on-load): 1, 2,
    #: 8/3 (a JPEG at 3/8), 4, 8.
    draft_scale: float = 1
    deep: Deep | None = None
    max_pixels: int | None = None
    gain_map: GainMap | None = None
    iptc: bytes | None = None

    @property
    def animated(self) -> bool:
        return len(self.frames) > 1

    def frames_of(self, image: object) -> list[Image.Image] | None:
        """The frames, when `image` is still their first (else the picture was edited apart)."""
        if self.animated and self.frames[0] is image:
            return self.frames
        return None

    def deep_of(self, image: object) -> Deep | None:
        """The deep picture, when `image` is still the 8-bit picture it belongs to (else the
        picture was replaced outside a chain, and the deep one no longer describes it)."""
        from framewick.photo import companions

        return companions.valid(self, "deep", image)  # type: ignore[no-any-return]

    def gain_map_of(self, image: object) -> GainMap | None:
        """The gain map, when `image` is still the picture it belongs to (else the picture was
        replaced outside a chain, and the map no longer describes it)."""
        from framewick.photo import companions

        return companions.valid(self, "gain_map", image)  # type: ignore[no-any-return]
