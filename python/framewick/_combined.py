"""The class that combines the five mixins."""

from framewick.lut import Grading
from framewick.modules.effects import Effects
from framewick.modules.geometry import Geometry
from framewick.modules.overlays import Overlays
from framewick.utils.inspector import Inspector
from framewick.utils.storage import Storage


class FrameWick(Storage, Effects, Geometry, Overlays, Inspector, Grading):
    """A picture and every framewick edit on it: storage, effects, geometry, overlays, inspection.

    Make one with `FrameWick.load(path)`; each editing method changes `image` and returns the
    object, so calls chain. `Storage.__init__` gives a new object its save quality (95).
    """

    __module__ = "framewick"  # where users import it from, and where pickle finds it
