"""A class of only the mixins a chain uses, so a command or a batch worker imports only their modules.

Each native module imports its part of Pillow when it loads (the overlays' ImageDraw and
ImageFont, the effects' filters and enhancers), so `framewick edit --steps border:1` need not
load the effects, geometry or inspector modules. The mixins share nothing but `image` and
`quality`, and none calls another's methods, so a class of some of them runs their steps as
`FrameWick` does.
"""

from __future__ import annotations

import importlib
from functools import cache


def class_for(chain: object, *also: str) -> type:
    """A class combining Storage, the mixins that own the chain's steps, and those named in `also`.

    A step that is not declared (a class of the caller's) gets FrameWick itself."""
    from framewick.steps import registry

    needed = {"Storage", *also}
    for step in getattr(chain, "steps", ()):
        info = registry.get(step.method)
        if info is None:
            from framewick import FrameWick

            return FrameWick
        needed.add(info.owner)
    return _of_mixins(frozenset(needed), registry.generation)


@cache
def _of_mixins(needed: frozenset[str], generation: int) -> type:
    """The class of the mixins `needed`, in the order of FrameWick's bases (each mixin's module
    as its steps' declarations give it)."""
    from framewick.steps import registry

    mixins = registry.mixins()
    bases = tuple(getattr(importlib.import_module(mixins[name]), name) for name in mixins if name in needed)
    return type("FrameWick", bases, {"__module__": "framewick", "__doc__": "FrameWick with the mixins of one chain.",
                                     "photo": None})
