"""Geometry: rotate, flip, crop, thumbnail, rounded corners, resize and fit (native module)."""

from typing import Self

from PIL import Image

class Geometry:
    """Module for geometric transformations 📐"""

    image: Image.Image
    def rotate(self, angle: float, expand: bool = True) -> Self:
        """Rotate the image by a specific angle 🔄"""
    def flip(self, direction: str = "horizontal") -> Self:
        """😎 Flip the image! direction: 'horizontal' or 'vertical' 😎"""
    def crop(self, left: int, top: int, right: int, bottom: int) -> Self:
        """Crop a specific region of the image ✂️"""
    def thumbnail(self, size: tuple[int, int] = (128, 128)) -> Self:
        """Create a thumbnail of the image 🖼️"""
    def round_corners(self, radius: float = 40) -> Self:
        """🎨 Give your image some smooth edges! 🎨"""
    def resize(self, width: int, height: int) -> Self:
        """😎 Shrink it or expand it! 😎"""
    def fit(self, target_width: int, target_height: int) -> Self:
        """Perfect fit for social media! ✂️"""
