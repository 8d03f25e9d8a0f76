"""Showing a picture in a notebook: a PNG of at most 1024 pixels on the long side."""

from __future__ import annotations

import io
from typing import Any

from PIL import Image

from framewick.photo import modes

LONG_SIDE = 1024


def repr_png(obj: Any) -> bytes | None:
    """PNG bytes of `obj`'s picture (an animation's first frame), scaled down to fit 1024 by
    1024; None when the object holds no picture."""
    picture = getattr(obj, "image", None)
    if not isinstance(picture, Image.Image):
        return None
    shown, _ = modes.working(picture)
    if max(shown.size) > LONG_SIDE:
        shown = shown.copy() if shown is picture else shown
        shown.thumbnail((LONG_SIDE, LONG_SIDE), Image.Resampling.LANCZOS)
    buffer = io.BytesIO()
    shown.save(buffer, "PNG")
    return buffer.getvalue()
