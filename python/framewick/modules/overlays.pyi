"""Overlays: text, watermark, border and double exposure (native module)."""

from typing import Self

from PIL import Image

class Overlays:
    """Module for adding elements on top of the image ✍️"""

    image: Image.Image
    def add_text(self, text: str, position: tuple[int, int], font_size: int = 30, color: str = "white") -> Self:
        """Add custom text to the image 📝"""
    def add_watermark(self, watermark_path: str, position: tuple[int, int] | tuple[int, int, int, int]) -> Self:
        """Add a watermark image 💧"""
    def apply_border(self, border_width: int, color: str = "black") -> Self:
        """Apply a border around the image 🖼️"""
    def double_exposure(self, overlay_image_path: str, opacity: float = 0.5) -> Self:
        """Blend two images together (Double Exposure) 🎭"""
