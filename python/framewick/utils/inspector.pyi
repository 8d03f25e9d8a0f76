"""Inspector: status report, histogram, metadata and colour palette (native module)."""

from typing import Any, Self

from PIL import Image

class Inspector:
    """Module for analyzing image data and metadata 🔍"""

    image: Image.Image
    def compare(self) -> Self:
        """🔍 Compare and show current image status! 🔍"""
    def histogram(self) -> list[int]:
        """😎 Show image color histogram! 😎"""
    def get_metadata(self) -> dict[str, Any]:
        """📂 Extract detailed metadata from the image 📂"""
    def extract_color_palette(self, num_colors: int = 5) -> list[str]:
        """🎨 Extract the dominant color palette as clean Hex codes (e.g. ['#F0F0F0', '#000000'])."""
