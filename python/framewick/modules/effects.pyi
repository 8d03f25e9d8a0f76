"""Effects: filters, pixel-math effects and the eight presets (native module)."""

from collections.abc import Callable
from typing import Self

from PIL import Image

#: The presets by lower-case name, in the order `apply_preset` lists them; user code may add some.
PRESETS: dict[str, Callable[[Image.Image], Image.Image]]

class Effects:
    """Module for advanced visual filters 🎨"""

    image: Image.Image
    def apply_blur(self, radius: int = 2) -> Self:
        """Apply Gaussian blur to the image 🌫️"""
    def apply_sharpen(self) -> Self:
        """😎 Make it crisp! 😎"""
    def adjust_gamma(self, gamma: float) -> Self:
        """Adjust image gamma (brightness curve) 💡 (needs NumPy)"""
    def apply_camscanner(self) -> Self:
        """Simulate a scanned document look (high contrast/grayscale) 📄"""
    def auto_enhance(self) -> Self:
        """Automatically improve image quality 🤖"""
    def apply_grayscale(self, factor: float = 1.0) -> Self:
        """😎 Make it moody! 😎 (factor 0.0 to 1.0)"""
    def apply_contrast(self, factor: float) -> Self:
        """😎 Pop those colors! 😎 (1.0 is original, < 1.0 lower, > 1.0 higher contrast)"""
    def apply_sepia(self) -> Self:
        """😎 Fast Sepia Filter using Matrix Transformation 😎"""
    def apply_preset(self, preset_name: str) -> Self:
        """🎞️ Apply a professional mood: vintage, cinematic, vibrant, dreamy, noir, warm, sepia, cool."""
    def invert(self) -> Self:
        """Flip the colors! 🔄"""
