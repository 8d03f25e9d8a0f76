"""`FrameWick`: the class of the seven mixins (the native Storage, Effects, Geometry, Overlays
and Inspector, and Grading and Editing), with its photo way in and way out.

On a picture that `open` made, each step method of the mixins takes the picture in any mode:
where the method cannot take it as it is, it runs as a chain's step does (photo.running).
"""

from __future__ import annotations

import functools
import os
from collections.abc import Callable, Mapping, Sequence
from typing import IO, TYPE_CHECKING, Any, Self

from PIL import Image

from framewick import formats
from framewick.editing import Editing
from framewick.chains.lut import Grading
from framewick.modules.effects import Effects
from framewick.modules.geometry import Geometry
from framewick.modules.overlays import Overlays
from framewick.utils.inspector import Inspector
from framewick.utils.storage import Storage

if TYPE_CHECKING:
    from framewick.chain import Chain
    from framewick.photo.metadata import Photo

# FrameWick.load opens with Pillow directly: the added formats (HEIF, JPEG XL) must be known first.
formats.install()


def _adapted(name: str, native: Any) -> Any:
    """`native` for a picture opened by `open`, whatever its mode: where the method cannot take
    the picture as it is (palette, CMYK, 16-bit, float, ...), it runs as a chain's step would,
    on the picture brought to a mode it takes. Pictures made any other way get the method as
    it is."""

    @functools.wraps(native)
    def method(*args: Any, **kwargs: Any) -> Any:
        # Arguments are bound by the method itself (its own errors for a wrong call).
        obj = args[0] if args else None
        if getattr(obj, "photo", None) is None:
            return native(*args, **kwargs)
        from framewick.photo import running

        if not running.needs_runner(name, getattr(obj, "image", None), args[1:], kwargs):
            return native(*args, **kwargs)
        return running.run_call(obj, name, native, args[1:], kwargs)

    return method


def _chain_of(steps: Chain | str | Sequence[Mapping[str, Any]] | None) -> Chain:
    """A chain from what the API takes: a Chain, its text form, its JSON form (as text or
    decoded), or None for no steps."""
    from framewick.chain import Chain

    return Chain(()) if steps is None else Chain.coerce(steps)


def _step_methods(bases: tuple[type, ...], own: Mapping[str, Any]) -> dict[str, Any]:
    """The declared step methods of `bases` that pictures in any mode go through (see `_adapted`),
    except the storage and inspection ones and those the class defines itself in `own`."""
    from framewick.steps import registry

    found: dict[str, Any] = {}
    for info in registry.steps():
        if info.owner in ("Storage", "Inspector") or info.method in own:
            continue
        native = next((m for base in bases if (m := getattr(base, info.method, None)) is not None), None)
        if native is not None:
            found[info.method] = _adapted(info.method, native)
    return found


class FrameWick(Storage, Effects, Geometry, Overlays, Inspector, Grading, Editing):
    """A picture and every framewick edit on it: storage, effects, geometry, overlays, inspection.

    Make one with `FrameWick.open(source)` (a photo: turned upright, metadata kept) or
    `FrameWick.load(path)`; each editing method changes `image` and returns the object, so calls
    chain. `write(target)` writes it in any format with its metadata. `Storage.__init__` gives a
    new object its save quality (95).
    """

    __module__ = "framewick"  # where users import it from, and where pickle finds it

    #: What `open` kept of the file: format, EXIF, ICC profile, DPI, XMP, frames (None after `load`).
    photo: Photo | None = None

    @classmethod
    def open(cls, source: str | os.PathLike[str] | IO[bytes], *, orient: bool = True,
             steps: Chain | str | Sequence[Mapping[str, Any]] | None = None, exact: bool = False,
             max_pixels: int | None = None, raw: str | Sequence[str] | None = None, depth: int | None = None) -> Self:
        """Open a photo whole: turned by its EXIF orientation (unless `orient` is false), with its
        EXIF, ICC profile, DPI, XMP and every frame of an animation kept on `photo`.

        `steps`, the chain to come, lets a JPEG be decoded at a reduced scale when the chain
        only needs a smaller picture (unless `exact`); `max_pixels` replaces Pillow's limit on
        the pixels of all frames together. A missing file raises FileNotFoundError; a file that
        is no picture, or too large, raises framewick.photo.PhotoError. A camera RAW file is
        developed by LibRaw; `raw` asks for "half" (half-size), "preview" (the embedded preview)
        or "auto-wb" (automatic white balance), as "half,auto-wb" or a sequence.

        A picture of more than 8 bits per channel keeps them beside `image` (`photo.deep`) and
        through the steps that can work at depth; `depth=8` reads it at 8 bits alone.
        """
        from framewick.photo.planning import Plan

        plan = Plan.make(_chain_of(steps), max_pixels=max_pixels, strict=False)
        return plan.open(source, None, None, cls=cls, orient=orient, exact=exact, raw=raw, depth=depth)

    def write(self, target: str | os.PathLike[str] | IO[bytes], *, format: str | None = None,
              strip: bool = False, background: str = "white", srgb: bool = False,
              max_bytes: int | str | None = None, depth: int | None = None,
              keep: str | Sequence[str] | None = None, drop: str | Sequence[str] | None = None,
              sdr: bool = False) -> Self:
        """Write the picture to `target` (a path, replaced atomically, or a binary file) as
        `format`, else by the path's extension, else in the source format; returns the object.

        The picture is converted to what the format stores (alpha flattened onto `background`
        where the format has none, 16-bit scaled to 8 bits), written at `quality`, with the
        metadata the format carries unless `strip`; `srgb` converts to sRGB through the profile.
        `max_bytes` (a number, or "200k", "1.5M") writes the highest quality up to `quality`
        whose whole file fits (JPEG, WebP, AVIF, HEIC, JPEG XL); the status line names it.
        A picture opened at depth is written from its deep pixels: 16-bit PNG, TIFF and JPEG XL,
        10-bit AVIF and HEIC, dithered to 8 bits for other formats (and with `max_bytes`).
        `depth` overrides: 8 writes the 8-bit picture as it is; 16 (or 10 and 12, AVIF's and
        HEIC's coded depth) writes at depth, an 8-bit picture too, and is refused for a format
        that holds 8 bits.
        `keep` and `drop` name metadata groups ("location,serial" or a sequence): location,
        camera, serial, capture, people, rights, maker-notes, thumbnail, icc, all; `keep` keeps
        only its groups' fields, `drop` removes its groups' fields, across EXIF, XMP and IPTC.
        An HDR photo's gain map is written where the format holds one (JPEG, HEIC); `sdr`
        leaves it out.
        """
        from framewick.photo import write_photo

        if isinstance(max_bytes, str):
            from framewick.photo.budget import parse_size

            max_bytes = parse_size(max_bytes)
        write_photo(self, target, format=format, strip=strip, background=background, srgb=srgb,
                    max_bytes=max_bytes, depth=depth, keep=keep, drop=drop, sdr=sdr)
        return self

    @functools.wraps(Inspector.extract_color_palette)
    def extract_color_palette(*args: Any, **kwargs: Any) -> list[str]:
        # A 16-bit, 32-bit or float picture is counted as scaled to 8 bits by its range, not
        # clipped to white; the arguments are bound by the inspector's method itself.
        obj = args[0] if args else None
        picture = getattr(obj, "image", None)
        if not isinstance(picture, Image.Image):
            return Inspector.extract_color_palette(*args, **kwargs)
        from framewick.photo import modes

        if picture.mode not in modes.DEEP:
            return Inspector.extract_color_palette(*args, **kwargs)
        obj.image = modes.to_8bit(picture)  # type: ignore[union-attr]
        try:
            return Inspector.extract_color_palette(*args, **kwargs)
        finally:
            obj.image = picture  # type: ignore[union-attr]

    def run_chain(self, chain: Chain, echo: Callable[[str], None] | None = None) -> Self:
        """Run `chain` on the picture as `Chain.apply` does (it calls this): every step gets a
        picture it accepts, with alpha, grey and animations kept. Before any step runs, a chain
        whose picture would pass the pixel limit at some step is refused (ChainError naming the
        step); a step that fails by its status line alone lets the chain go on."""
        from framewick.photo.planning import Plan

        plan = Plan(_chain_of(chain), max_pixels=getattr(self.photo, "max_pixels", None), strict=False)
        plan.check(self)
        return plan.run(self, echo)  # type: ignore[no-any-return]

    def _repr_png_(self) -> bytes | None:
        """The picture for notebooks, at most 1024 pixels on the long side."""
        from framewick.photo import repr_png

        return repr_png(self)

    # Each step method of the mixins, for pictures in any mode (defined with the class, from the
    # bases' methods as declared).
    locals().update(_step_methods((Storage, Effects, Geometry, Overlays, Inspector, Grading, Editing), locals()))
