"""JPEG XL in Pillow through Debian's python3-pillow-jpegxl-plugin (`pillow_jxl`), when installed."""

from __future__ import annotations

import pillow_jxl  # noqa: F401  (ImportError when the plugin is not installed; importing registers it)

__all__ = ["PROVIDER", "register"]

PROVIDER = "pillow_jxl"


def register() -> None:
    """Importing the plugin registered it (open, save, the .jxl extension); nothing more to do."""
