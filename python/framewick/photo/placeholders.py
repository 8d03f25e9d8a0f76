"""Placeholders and a fingerprint of a picture: BlurHash, ThumbHash, a perceptual hash, the
dominant colour.

A web page shows a placeholder while the picture loads: a BlurHash string (a few DCT terms in
base 83) or a ThumbHash (a small DCT in bytes, here in base 64, which keeps alpha and the
aspect), and the dominant colour for a plain box. The perceptual hash (ImageHash's DCT hash,
64 bits in hex) is near for near-identical pictures: `framewick similar` groups by it.

Each hash comes from a Debian package (python3-blurhash, python3-thumbhash, python3-imagehash)
imported only when that hash is asked for; a missing one raises `MissingPackage`, whose text is
the one line naming the package to install. The dominant colour needs Pillow alone. Every
function takes a Pillow picture in any mode (deep pictures scaled to 8 bits, alpha respected)
and reads a small copy of it, so the size of the picture costs one reduction.
"""

from __future__ import annotations

import base64
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Final

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["HASHES", "HashFailed", "MissingPackage", "blurhash_of", "dominant_colour", "hamming", "perceptual_hash",
           "placeholders", "thumbhash_of"]

#: The side of the copy BlurHash is computed on (its pure-Python encoder visits every pixel
#: once per term), and the ThumbHash encoder's own largest side.
BLURHASH_SIDE: Final = 32
THUMBHASH_SIDE: Final = 100
#: The side of the copy the dominant colour is counted on, and how many colours it is cut into.
DOMINANT_SIDE: Final = 64
DOMINANT_COLOURS: Final = 6
#: The perceptual hash's side: 8 gives 64 bits.
HASH_SIZE: Final = 8


class MissingPackage(ImportError):
    """A hash whose package is not installed; the text is one line naming the Debian package."""

    def __init__(self, what: str, package: str) -> None:
        super().__init__(f"{what} needs the Python package of Debian's {package}: install {package}")
        self.package = package


class HashFailed(ValueError):
    """A hash whose library failed on this picture (python3-thumbhash 0.1.2, for one, fails on
    every picture with transparency); the text is one line saying which and why."""


def _module(name: str, what: str, package: str) -> Any:
    import importlib

    try:
        return importlib.import_module(name)
    except ImportError:
        raise MissingPackage(what, package) from None


def _rgba(picture: Image.Image, side: int) -> Image.Image:
    """A copy at most `side` a side, RGBA, 8 bits (deep modes by their range, as info shows them)."""
    from PIL import Image

    from framewick.photo import modes

    if picture.mode in modes.DEEP:
        picture = modes.to_8bit(picture)
    small = picture.copy()
    small.thumbnail((side, side), Image.Resampling.BOX)
    return small.convert("RGBA")


def _flat(picture: Image.Image, side: int) -> Image.Image:
    """An RGB copy at most `side` a side, transparent parts over white (what a page shows behind it)."""
    from PIL import Image

    small = _rgba(picture, side)
    ground = Image.new("RGBA", small.size, (255, 255, 255, 255))
    return Image.alpha_composite(ground, small).convert("RGB")


def blurhash_of(picture: Image.Image) -> str:
    """The BlurHash string: 4 terms along the longer side, 3 along the shorter."""
    blurhash = _module("blurhash", "BlurHash", "python3-blurhash")
    small = _flat(picture, BLURHASH_SIDE)
    data, w = small.tobytes(), small.width
    pixels = [[data[3 * (y * w + x):3 * (y * w + x) + 3] for x in range(w)] for y in range(small.height)]
    wide = small.width >= small.height
    return blurhash.encode(pixels, components_x=4 if wide else 3, components_y=3 if wide else 4)


def thumbhash_of(picture: Image.Image) -> str:
    """The ThumbHash, its bytes in base 64 (alpha kept)."""
    thumbhash = _module("thumbhash", "ThumbHash", "python3-thumbhash")
    small = _rgba(picture, THUMBHASH_SIDE)
    data = thumbhash.rgba_to_thumb_hash(small.width, small.height, list(small.tobytes()))
    return base64.b64encode(bytes(data)).decode("ascii")


def perceptual_hash(picture: Image.Image) -> str:
    """ImageHash's DCT hash of the picture's grey, 64 bits as 16 hex digits."""
    imagehash = _module("imagehash", "The perceptual hash", "python3-imagehash")
    small = _flat(picture, 256)
    return str(imagehash.phash(small, hash_size=HASH_SIZE))


def hamming(a: str, b: str) -> int:
    """The number of bits in which two hashes of the same length (hex) differ."""
    return (int(a, 16) ^ int(b, 16)).bit_count()


def dominant_colour(picture: Image.Image) -> str:
    """The colour covering most of the picture, "#rrggbb": a small copy cut into a few colours by
    median cut, the largest of them (transparent pixels left out; a wholly transparent picture
    gives its colour as it is)."""
    from PIL import Image

    small = _rgba(picture, DOMINANT_SIDE)
    data = small.tobytes()
    pixels = [data[i:i + 3] for i in range(0, len(data), 4) if data[i + 3] >= 128] \
        or [data[i:i + 3] for i in range(0, len(data), 4)]
    strip = Image.frombytes("RGB", (len(pixels), 1), b"".join(pixels))
    cut = strip.quantize(DOMINANT_COLOURS, method=Image.Quantize.MEDIANCUT)
    count, index = max(cut.getcolors() or [(1, 0)])
    palette = cut.getpalette() or [0, 0, 0]
    r, g, b = palette[3 * index:3 * index + 3]
    return f"#{r:02x}{g:02x}{b:02x}"


#: Every value `placeholders` gives, by its key, with the function that makes it.
HASHES: Final[dict[str, Callable[[Image.Image], str]]] = {
    "blurhash": blurhash_of, "thumbhash": thumbhash_of, "phash": perceptual_hash, "dominant": dominant_colour,
}


def placeholders(picture: Image.Image, missing: Callable[[Exception], None] | None = None,
                 keys: Iterable[str] = tuple(HASHES)) -> dict[str, str]:
    """The values of `HASHES` named by `keys` for the picture. A hash whose package is missing,
    or whose library fails on this picture (HashFailed), is left out and handed to `missing` (by
    default it is raised)."""
    found: dict[str, str] = {}
    for key in keys:
        try:
            found[key] = _made(key, picture)
        except (MissingPackage, HashFailed) as e:
            if missing is None:
                raise
            missing(e)
    return found


def _made(key: str, picture: Image.Image) -> str:
    try:
        return HASHES[key](picture)
    except MissingPackage:
        raise
    except Exception as error:  # a hash is an extra: its library failing costs only it
        raise HashFailed(f"the {key} library failed on this picture ({type(error).__name__}: {error})") from error
