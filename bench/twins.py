"""Plain-Python twins of the framewick methods the benchmarks measure.

Each twin is written from the same algorithm steps as the native method: the same annotation
conversions (an exact int or float taken as it is, anything else through int() or float(); a
bool by its truth value), then the same exact-type tests in signature order with the same
TypeError texts, the same calls on the picture in the same order, and the same status lines
built as f-strings and written with print. A twin that skipped a step would make the native
code look faster than it is, so nothing here is shortcut.

The twins live only in the benchmark suite; they are the peer the native methods are measured
against, never a fallback.
"""

import os

from PIL import Image, ImageChops, ImageEnhance, ImageFilter, ImageOps  # noqa: F401 (the effects globals)


# --- Annotation conversions ---------------------------------------------------------------------
# Only the slow paths are functions: an exact int, float or bool costs one type test inline.

def _to_int(name, value):
    """int() of a number that is not an exact int; TypeError for anything else."""
    nb = type(value)
    if hasattr(nb, "__int__") or hasattr(nb, "__index__"):
        return int(value)
    raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {nb.__name__})")


def _to_float(value):
    """float() of a number that is not an exact float; the interpreter's TypeError for anything
    else (a text is no number here, as it is not for the native conversion)."""
    nb = type(value)
    if hasattr(nb, "__float__") or hasattr(nb, "__index__"):
        return float(value)
    raise TypeError(f"must be real number, not {nb.__name__}")


def _wrong_type(name, expected, value):
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


# --- Storage ------------------------------------------------------------------------------------

class TwinStorage:
    """Module for advanced file operations, conversion, and optimization 💾"""

    def __init__(self):
        self.quality = 95

    def optimize(self, quality: int = 85):
        """ 😎 Make it lightweight! 😎 """
        if type(quality) is not int:
            quality = _to_int("quality", quality)
        if not 1 <= quality or not quality <= 100:
            raise ValueError("❌ Error: Quality must be between 1 and 100.")
        self.quality = quality
        print(f"✨ Success: Optimization mode enabled (Quality: {quality}%) 🚀")
        return self

    def save(self, filename: str):
        if type(filename) is not str:
            raise _wrong_type("filename", "str", filename)
        image = self.image
        quality = self.quality
        image.save(filename, quality=quality, optimize=True)
        print(f"💾 Success: Image saved as '{filename}' ✅")
        return self

    @classmethod
    def load(cls, path: str):
        """🪄 Load an image from a path 📂"""
        if type(path) is not str:
            raise _wrong_type("path", "str", path)
        if not os.path.exists(path):
            raise FileNotFoundError(f"❌ Error: File {path} not found!")
        instance = cls()
        instance.image = Image.open(path)
        print(f"📸 Image loaded: {path}")
        return instance


# --- Effects: the preset table ------------------------------------------------------------------

PRESETS = {
    "vintage": lambda img: ImageEnhance.Contrast(img.convert("L").convert("RGB")).enhance(0.8),
    "cinematic": lambda img: ImageEnhance.Color(ImageEnhance.Contrast(img).enhance(1.3)).enhance(0.9),
    "vibrant": lambda img: ImageEnhance.Color(img).enhance(1.5),
    "dreamy": lambda img: ImageEnhance.Brightness(img.filter(ImageFilter.GaussianBlur(radius=1))).enhance(1.1),
    "noir": lambda img: ImageEnhance.Contrast(img.convert("L").convert("RGB")).enhance(1.8),
    "warm": lambda img: ImageChops.blend(img, Image.new("RGB", img.size, (255, 100, 100)), 0.1),
    "sepia": lambda img: ImageChops.blend(img.convert("L").convert("RGB"),
                                          Image.new("RGB", img.size, (112, 66, 20)), 0.3),
    "cool": lambda img: ImageChops.blend(img, Image.new("RGB", img.size, (100, 100, 255)), 0.1),
}


class TwinEffects:
    """Module for advanced visual filters 🎨"""

    def apply_preset(self, preset_name: str):
        if type(preset_name) is not str:
            raise _wrong_type("preset_name", "str", preset_name)
        preset_name = preset_name.lower()
        if preset_name in PRESETS:
            self.image = PRESETS[preset_name](self.image)
            print(f"🎯 Success: Preset '{preset_name}' applied perfectly!")
            return self
        available = " / ".join(PRESETS.keys())
        print(f"⚠️ Warning: Preset '{preset_name}' not found.\n  Available presets: 👉 {available}")
        return self


# --- Geometry -----------------------------------------------------------------------------------

class TwinGeometry:
    """Module for geometric transformations 📐"""

    def rotate(self, angle: float, expand: bool = True):
        """Rotate the image by a specific angle 🔄"""
        if type(angle) is not float:
            angle = _to_float(angle)
        if type(expand) is not bool:
            expand = bool(expand)
        self.image = self.image.rotate(angle, expand=expand)
        return self

    def flip(self, direction: str = "horizontal"):
        """ 😎 Flip the image! direction: 'horizontal' or 'vertical' 😎 """
        if type(direction) is not str:
            raise _wrong_type("direction", "str", direction)
        if direction.lower() == "horizontal":
            self.image = self.image.transpose(Image.FLIP_LEFT_RIGHT)
        elif direction.lower() == "vertical":
            self.image = self.image.transpose(Image.FLIP_TOP_BOTTOM)
        else:
            raise ValueError("❌ Error: Direction must be 'horizontal' or 'vertical'.")
        print(f"🔄 Success: Image flipped {direction}ly")
        return self

    def crop(self, left: int, top: int, right: int, bottom: int):
        """Crop a specific region of the image ✂️"""
        if type(left) is not int:
            left = _to_int("left", left)
        if type(top) is not int:
            top = _to_int("top", top)
        if type(right) is not int:
            right = _to_int("right", right)
        if type(bottom) is not int:
            bottom = _to_int("bottom", bottom)
        self.image = self.image.crop((left, top, right, bottom))
        return self

    def thumbnail(self, size: tuple = (128, 128)):
        """Create a thumbnail of the image 🖼️"""
        if type(size) is not tuple:
            raise _wrong_type("size", "tuple", size)
        self.image.thumbnail(size)
        return self

    def resize(self, width: int, height: int):
        """ 😎 Shrink it or expand it! 😎 """
        if type(width) is not int:
            width = _to_int("width", width)
        if type(height) is not int:
            height = _to_int("height", height)
        if width <= 0 or height <= 0:
            raise ValueError("❌ Error: Width and height must be positive integers.")
        self.image = self.image.resize((width, height), Image.Resampling.LANCZOS)
        print(f"📏 Success: Image resized to {width}x{height}")
        return self


# --- Overlays -----------------------------------------------------------------------------------

class TwinOverlays:
    """Module for adding elements on top of the image ✍️"""

    def apply_border(self, border_width: int, color: str = "black"):
        """Apply a border around the image 🖼️"""
        if type(border_width) is not int:
            border_width = _to_int("border_width", border_width)
        if type(color) is not str:
            raise _wrong_type("color", "str", color)
        from PIL import ImageOps
        self.image = ImageOps.expand(self.image, border=border_width, fill=color)
        return self


# --- Inspector ----------------------------------------------------------------------------------

class TwinInspector:
    """Module for analyzing image data and metadata 🔍"""

    def compare(self):
        """🔍 Compare and show current image status! 🔍"""
        info = {
            "📏 Dimensions": f"{self.image.width}x{self.image.height}",
            "🎭 Mode": self.image.mode,
            "📁 Format": self.image.format if self.image.format else "Unknown",
            "🌈 Color Space": "RGB" if self.image.mode == "RGB" else self.image.mode,
        }
        print("\n📊 --- Image Status Report --- 📊")
        for key, value in info.items():
            print(f"{key}: {value}")
        print("------------------------------\n")
        return self

    def extract_color_palette(self, num_colors: int = 5) -> list:
        if type(num_colors) is not int:
            num_colors = _to_int("num_colors", num_colors)
        print("🔍 Extracting top " + str(num_colors) + " dominant colors... 🧪")
        img = self.image.copy().resize((100, 100))
        img = img.convert("RGB")
        # The native method reads get_flattened_data where Pillow has it (getdata is deprecated).
        flattened = getattr(img, "get_flattened_data", None)
        pixels = list(flattened() if flattened is not None else img.getdata())
        color_counts = {}
        for pixel in pixels:
            r, g, b = pixel
            key = (r // 16, g // 16, b // 16)
            color_counts[key] = color_counts.get(key, 0) + 1
        sorted_colors = sorted(color_counts.items(), key=lambda x: x[1], reverse=True)
        palette = []
        for (r_key, g_key, b_key), count in sorted_colors:
            r, g, b = r_key * 16, g_key * 16, b_key * 16
            hex_code = "#{:02x}{:02x}{:02x}".format(r, g, b).upper()
            palette.append(hex_code)
            if len(palette) >= num_colors:
                break
        print("✅ Palette extracted successfully: " + str(palette) + " 🎨")
        return palette


class TwinFrameWick(TwinStorage, TwinEffects, TwinGeometry, TwinOverlays, TwinInspector):
    """The twins combined the way the package combines the native mixins."""
