"""Storage: loading, mode and format conversion, save quality and saving (native module)."""

from typing import Self

from PIL import Image

class Storage:
    """Module for advanced file operations, conversion, and optimization 💾"""

    #: The current picture; `load` sets it and every editing method reads or replaces it.
    image: Image.Image
    #: Save quality, 1 to 100: 95 after `__init__`, changed by `optimize`.
    quality: int
    def __init__(self) -> None: ...
    def optimize(self, quality: int = 85) -> Self:
        """😎 Make it lightweight! 😎"""
    def convert_mode(self, target_mode: str) -> Self:
        """🌈 Change the color mode of the image! 🌈 ('RGB', 'RGBA', 'L', 'CMYK', ...)"""
    def convert(self, target_format: str) -> Self:
        """🔄 Professional Format Converter 🔄 (JPEG, PNG, WEBP, GIF, TIFF, BMP, ICO, ...)"""
    def save(self, filename: str) -> Self:
        """😎 The moment of truth! ✨ Save the processed image to disk 💾"""
    @classmethod
    def load(cls, path: str) -> Self:
        """🪄 Load an image from a path 📂"""
