"""The quality a JPEG was saved at, estimated from its quantization tables.

Encoders built on libjpeg (Pillow, ImageMagick, most cameras' software) scale the two example
tables of the JPEG standard by the quality: a scale of 5000/Q below 50 and 200 - 2Q from 50 on,
each entry (base * scale + 50) // 100, kept within 1..255. The estimate is the quality whose
scaled tables are closest to the file's (by the sum of their entries, which does not depend on
the order the tables are stored in); it is exact when the tables are those of that quality.
"""

from __future__ import annotations

from typing import Any

__all__ = ["estimate_jpeg_quality"]

_LUMA = (
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16, 24, 40, 57, 69, 56,
    14, 17, 22, 29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
)
_CHROMA = (
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99, 99, 99,
    47, 66, 99, 99, 99, 99, 99, 99, *([99] * 32),
)


def _scaled(base: tuple[int, ...], quality: int) -> list[int]:
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    return [min(255, max(1, (b * scale + 50) // 100)) for b in base]


def estimate_jpeg_quality(picture: Any) -> tuple[int, bool] | None:
    """(quality, exact) for an opened JPEG picture with its tables, else None."""
    tables = getattr(picture, "quantization", None)
    if not tables or 0 not in tables:
        return None
    luma = sorted(tables[0])
    chroma = sorted(tables[1]) if 1 in tables else None
    best, best_error, exact = 0, None, False
    for quality in range(1, 101):
        want_luma = _scaled(_LUMA, quality)
        error = abs(sum(want_luma) - sum(luma))
        want_chroma = _scaled(_CHROMA, quality) if chroma is not None else None
        if want_chroma is not None:
            error += abs(sum(want_chroma) - sum(chroma or ()))
        if best_error is None or error < best_error:
            best, best_error = quality, error
            exact = sorted(want_luma) == luma and (want_chroma is None or sorted(want_chroma) == chroma)
    return best, exact
