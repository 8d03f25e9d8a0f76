"""Photos in and out: orientation, metadata, colour profiles, every mode, alpha and animation.

`open_photo` decodes a picture whole, turns it upright and keeps its metadata on the object;
`run_steps` runs a chain on it with every mode, alpha and animation handled; `write_photo`
writes it in the format asked for with what that format can carry.
"""

from framewick.photo.formats import output_format
from framewick.photo.info import describe
from framewick.photo.metadata import Photo, PhotoError
from framewick.photo.reading import open_photo
from framewick.photo.running import StepFailed, run_steps
from framewick.photo.view import repr_png
from framewick.photo.writing import write_photo

__all__ = ["Photo", "PhotoError", "StepFailed", "describe", "open_photo", "output_format", "repr_png",
           "run_steps", "write_photo"]
