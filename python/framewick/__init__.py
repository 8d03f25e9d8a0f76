"""framewick: image editing for Python 3.14, as native mixins over Pillow."""

__version__ = "1.0.0"
