"""Where the layers above the chains plug into them: the looks a chain can name, and its runner.

The chain layer (`framewick.steps`, `framewick.chain`) reads these two slots; it never imports
the layers that fill them. The package's `__init__` fills both when `framewick` is imported,
with providers that import their layer on first use, so every user of chains has them while
importing `framewick.chain` alone stays as light as before. Nothing here imports anything.
"""

from __future__ import annotations

TYPE_CHECKING = False  # not typing's: this module is imported with the package itself

if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

#: A function returning the looks layer: an object with `find(name)` (a look, or None),
#: `all_looks()` (every look, each with a `name`) and `expand_parts(parts, steps)` (a chain's
#: parts with each look step replaced by the look's steps). None: no looks.
looks: Callable[[], Any] | None = None

#: A function returning the chain runner, `run(obj, chain, echo)`, which runs a chain's steps on
#: a picture object and returns it. None: each step is called on the object in turn.
runner: Callable[[], Callable[..., Any]] | None = None
