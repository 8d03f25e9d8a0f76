"""Previews: a photo decoded once into a small proxy, and the proxy under a chain as a JPEG.

The proxy is what every preview starts from: the picture turned upright, at most `PROXY_SIDE`
pixels on its long side, in a working mode, with its colour profile; it is opened through a plan
as `edit` opens its picture. A preview copies it (some steps change their picture in place),
checks and runs the chain through a plan as `edit` does, scales
the result to the size asked for, converts it to sRGB for the screen and encodes it as a JPEG.
"""

from __future__ import annotations

import io
from dataclasses import dataclass
from typing import IO, Any

from PIL import Image

from framewick.photo import modes, profiles
from framewick.photo.metadata import Photo
from framewick.photo.planning import Plan

#: The long side of a proxy: enough for a screen, small enough that a chain runs at once.
PROXY_SIDE = 1280
#: The long side of the small proxy the preset and look thumbnails start from.
THUMB_SIDE = 256
PREVIEW_QUALITY = 85


@dataclass
class Proxy:
    """A photo as the studio shows it: the reduced picture, its profile and the full size."""

    image: Image.Image
    icc: bytes | None
    full_size: tuple[int, int]
    format: str | None
    small: Image.Image | None = None
    #: An HDR photo's gain map as `info` describes it (form, size, largest boost), or None.
    hdr: dict[str, Any] | None = None

    def thumbnail_source(self) -> Image.Image:
        """The proxy reduced further for thumbnails, made once."""
        if self.small is None:
            small = self.image.copy()
            small.thumbnail((THUMB_SIDE, THUMB_SIDE), Image.Resampling.LANCZOS)
            self.small = small
        return self.small


def _shrink_hint() -> Any:
    """A chain that lets the JPEG decoder reduce the picture while keeping it at least
    PROXY_SIDE on its long side (shrink-on-load keeps each scale's least ratio to the step's
    box, 1.25 at the least)."""
    import math

    from framewick.chain import Chain
    from framewick.photo.shrink import JPEG_RATIOS

    box = math.floor(PROXY_SIDE / min(JPEG_RATIOS.values()))
    return Chain.parse(f"thumbnail:({box},{box})")


def make_proxy(source: str | IO[bytes], max_pixels: int | None = None) -> Proxy:
    """Decode `source` once (a path or a binary stream) and reduce it to a proxy.

    Raises what `Plan.open` raises for a file that is not a picture, too large or missing."""
    name = source if isinstance(source, str) else getattr(source, "name", None)
    plan = Plan.make(_shrink_hint(), max_pixels=max_pixels)
    obj: Any = plan.open(source, name if isinstance(name, str) else "<stream>", None, cls=_Holder)
    photo: Photo = obj.photo
    picture: Image.Image = obj.image
    gain = photo.gain_map_of(picture)
    hdr = None if gain is None else {"form": gain.form_name, "gain_map": list(gain.size), "max_boost": round(gain.boost, 3)}
    draft = max(1, photo.draft_scale)
    full = (round(picture.width * draft), round(picture.height * draft))
    picture, icc = modes.working(picture, photo.icc)
    if max(picture.size) > PROXY_SIDE:
        picture = picture.copy() if picture is obj.image else picture
        picture.thumbnail((PROXY_SIDE, PROXY_SIDE), Image.Resampling.LANCZOS)
    return Proxy(picture, icc, full, photo.format, hdr=hdr)


class _Holder:
    """What `open_photo` fills for a proxy: no mixin is needed to decode."""

    image: Any = None
    photo: Any = None


def render(proxy: Proxy, chain: Any, cls: type, size: int | None, *, small: bool = False,
           max_pixels: int | None = None) -> bytes:
    """The proxy (or its thumbnail source) under `chain`, at most `size` on its long side, as a JPEG.

    The chain is planned as `edit` plans it, its sizes checked on the proxy against `max_pixels`
    (default: the image library's limit) before any step runs. Raises ChainError, StepFailed or
    the step's own error, as `edit` would meet them."""
    obj = cls()
    obj.image = (proxy.thumbnail_source() if small else proxy.image).copy()
    obj.photo = Photo(format=proxy.format, icc=proxy.icc)
    obj.quality = 95
    if len(chain):
        from framewick.photo import subject

        plan = Plan.make(chain, max_pixels=max_pixels)
        plan.check(obj)
        with subject.keeping():
            plan.run(obj, _discard)
    picture = obj.image
    if not isinstance(picture, Image.Image):
        raise TypeError("the chain left no picture")
    if len(chain):  # a crop that chose its box is shown in the whole picture, the box drawn
        boxes = subject.boxes_of(obj)
        picture = (subject.in_context(boxes[-1], picture) if boxes else None) or picture
    return encode(picture, obj.photo.icc, size)


def _discard(text: str) -> None:
    pass


def encode(picture: Image.Image, icc: bytes | None, size: int | None) -> bytes:
    """`picture` for the screen: reduced to `size`, in sRGB, alpha over a light grey, as a JPEG."""
    if picture.mode not in modes.WORKING:
        picture, icc = modes.working(picture, icc)
    if size is not None and max(picture.size) > size:
        picture = picture.copy()
        picture.thumbnail((size, size), Image.Resampling.LANCZOS)
    if picture.mode in ("RGB", "RGBA"):
        picture = profiles.to_srgb(picture, icc)
    if modes.has_alpha(picture):
        picture = modes.flatten(picture, "#d8d8d8")
    buffer = io.BytesIO()
    picture.save(buffer, "JPEG", quality=PREVIEW_QUALITY)
    return buffer.getvalue()
