"""The benchmark's pictures: deterministic, colourful (many palette buckets), made once."""

import os

from PIL import Image, ImageChops


def picture(width, height):
    """An RGB picture of gradients and a ring pattern: the same pixels on every run."""
    base = Image.linear_gradient("L")
    red = base.resize((width, height))
    green = base.rotate(90).resize((width, height))
    blue = ImageChops.multiply(Image.radial_gradient("L").resize((width, height)),
                               Image.effect_mandelbrot((width, height), (-2.0, -1.2, 0.8, 1.2), 60))
    return Image.merge("RGB", (red, green, ImageChops.invert(blue)))


def jpeg(directory, width, height, name=None):
    """The picture saved as a JPEG in `directory` (once); its path."""
    path = os.path.join(directory, name or f"picture_{width}x{height}.jpg")
    if not os.path.exists(path):
        tmp = path + f".{os.getpid()}.tmp.jpg"
        picture(width, height).save(tmp, quality=90)
        os.replace(tmp, path)
    return path
