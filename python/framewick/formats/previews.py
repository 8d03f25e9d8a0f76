"""Whether a picture a file embeds (a HEIF thumbnail, a camera RAW's preview) shows the same
picture as the file's own: the same shape within rounding, and no flat bar along an edge (a
letterboxed thumbnail is the picture in a box, not the picture)."""

from __future__ import annotations

from PIL import Image

_BAR_LEVELS = 6  # an edge band whose every channel spans at most this many levels is flat


def same_aspect(size: tuple[int, int], other: tuple[int, int]) -> bool:
    """Whether `other` is `size` scaled, each side within a pixel of rounding and one more of a
    coder's even sides (heif-enc gives a 960x640 picture a 320x212 thumbnail)."""
    (w, h), (ow, oh) = size, other
    scale = max(ow / w, oh / h)
    return ow > 0 and oh > 0 and abs(w * scale - ow) < 2 and abs(h * scale - oh) < 2


def letterboxed(picture: Image.Image) -> bool:
    """Whether any edge of `picture` is a flat bar: a band of 2% of the side (2 pixels at least)
    whose every channel spans no more than a few levels, as the bars of a picture fitted into a
    box of another shape are."""
    width, height = picture.size
    across, down = max(2, width // 50), max(2, height // 50)
    if 2 * across >= width or 2 * down >= height:
        return True  # too small to tell a bar from the picture
    rgb = picture.convert("RGB")
    for box in ((0, 0, width, down), (0, height - down, width, height),
                (0, 0, across, height), (width - across, 0, width, height)):
        if all(high - low <= _BAR_LEVELS for low, high in rgb.crop(box).getextrema()):
            return True
    return False
