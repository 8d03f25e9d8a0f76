"""Photos in and out: orientation, metadata, colour profiles, every mode, alpha and animation.

`open_photo` decodes a picture whole, turns it upright and keeps its metadata on the object;
`run_steps` runs a chain on it with every mode, alpha and animation handled; `write_photo`
writes it in the format asked for with what that format can carry.

Each name is imported from its module on first use, so that a command planning a chain, or
reading a picture, loads only the modules it needs (not the profiles, the status report, ...).
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from framewick.photo.formats import output_format
    from framewick.photo.info import describe
    from framewick.photo.metadata import Photo, PhotoError
    from framewick.photo.reading import open_photo
    from framewick.photo.running import StepFailed, run_steps
    from framewick.photo.view import repr_png
    from framewick.photo.writing import write_photo

__all__ = ["Photo", "PhotoError", "StepFailed", "describe", "open_photo", "output_format", "repr_png",
           "run_steps", "write_photo"]

#: Where each name lives.
_HOMES = {"output_format": "formats", "describe": "info", "Photo": "metadata", "PhotoError": "metadata",
          "open_photo": "reading", "StepFailed": "running", "run_steps": "running", "repr_png": "view",
          "write_photo": "writing"}


def __getattr__(name: str) -> object:
    home = _HOMES.get(name)
    if home is None:  # a submodule's name falls through to the import system
        raise AttributeError(f"module 'framewick.photo' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f"framewick.photo.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
