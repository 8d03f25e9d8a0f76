"""A combining class of only the mixins a chain uses, so a command imports only their modules.

Each native module imports its part of Pillow when it loads (the overlays' ImageDraw and
ImageFont, the effects' filters and enhancers), so `framewick edit --steps border:1` need not
load the effects, geometry or inspector modules. The mixins share nothing but `image` and
`quality`, and none calls another's methods, so a class of some of them runs their steps as
`FrameWick` does.
"""

from __future__ import annotations

import importlib
from functools import cache

#: Each mixin's module and class, in the order of FrameWick's bases.
MIXINS = {
    "Storage": "framewick.utils.storage",
    "Effects": "framewick.modules.effects",
    "Geometry": "framewick.modules.geometry",
    "Overlays": "framewick.modules.overlays",
    "Inspector": "framewick.utils.inspector",
    "Grading": "framewick.chains.lut",
    "Editing": "framewick.editing",
}


def class_for(chain: object, *also: str) -> type:
    """A class combining Storage, the mixins that own the chain's steps, and those named in `also`.

    A step the table does not know (a class of the caller's) gets FrameWick itself."""
    from framewick.steps import STEPS

    owners = {info.method: info.owner for info in STEPS}
    needed = {"Storage", *also}
    for step in getattr(chain, "steps", ()):
        owner = owners.get(step.method)
        if owner not in MIXINS:
            from framewick import FrameWick

            return FrameWick
        needed.add(owner)
    return _combined(frozenset(needed))


@cache
def _combined(needed: frozenset[str]) -> type:
    bases = tuple(getattr(importlib.import_module(MIXINS[name]), name) for name in MIXINS if name in needed)
    return type("FrameWick", bases, {"__module__": "framewick", "__doc__": "FrameWick with the mixins of one chain.",
                                     "photo": None})
