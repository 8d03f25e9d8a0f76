"""EXIF orientation: turning a picture upright and resetting the tag that said how."""

from __future__ import annotations

from PIL import Image

from framewick.formats.tags import xmp_with_orientation

ORIENTATION = 0x0112

# The transpose that makes a picture upright, by orientation tag (as ImageOps.exif_transpose).
_TRANSPOSE: dict[int, Image.Transpose] = {
    2: Image.Transpose.FLIP_LEFT_RIGHT,
    3: Image.Transpose.ROTATE_180,
    4: Image.Transpose.FLIP_TOP_BOTTOM,
    5: Image.Transpose.TRANSPOSE,
    6: Image.Transpose.ROTATE_270,
    7: Image.Transpose.TRANSVERSE,
    8: Image.Transpose.ROTATE_90,
}



def read_orientation(picture: Image.Image) -> int:
    """The picture's orientation tag, 1 to 8 (from EXIF, or XMP as Pillow reads it); 1 if none.

    Asked once the picture is decoded (a PNG's EXIF is read by decoding it), so an error here
    is one of the EXIF block alone.
    """
    try:
        value = picture.getexif().get(ORIENTATION, 1)
    except Exception:  # a broken EXIF block is no reason to refuse the picture
        return 1
    return value if isinstance(value, int) and 1 <= value <= 8 else 1


def swaps_sides(orientation: int) -> bool:
    """Whether turning upright swaps width and height (tags 5 to 8)."""
    return orientation in (5, 6, 7, 8)


def upright(picture: Image.Image, orientation: int) -> Image.Image:
    """`picture` turned as its tag says; the picture itself when the tag is 1 (no copy)."""
    method = _TRANSPOSE.get(orientation)
    return picture if method is None else picture.transpose(method)


def transpose_of(orientation: int) -> Image.Transpose | None:
    """The transpose that turns a picture of tag `orientation` upright (None for 1)."""
    return _TRANSPOSE.get(orientation)


def stored(picture: Image.Image, orientation: int) -> Image.Image:
    """`picture`, upright, turned back to how a camera recording `orientation` stores it (the
    inverse of `upright`)."""
    back = {6: 8, 8: 6}.get(orientation, orientation)  # the quarter turns are each other's inverse
    return upright(picture, back)


def set_xmp(xmp: bytes, orientation: int) -> bytes:
    """XMP with its tiff:Orientation (where it has one) set to `orientation`."""
    return xmp_with_orientation(xmp, orientation)


def reset_xmp(xmp: bytes) -> bytes:
    """XMP with its tiff:Orientation set to 1."""
    return set_xmp(xmp, 1)
