"""Where the layer above the chains plugs into them: the runner of a chain's steps.

The chain layer (`framewick.steps`, `framewick.chains`) reads this slot; it never imports the
layer that fills it. The package's `__init__` fills it when `framewick` is imported, with a
provider that imports the photo runner on first use, so every user of chains has it while
importing `framewick.chain` alone stays as light as before. Nothing here imports anything.
"""

from __future__ import annotations

TYPE_CHECKING = False  # not typing's: this module is imported with the package itself

if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

#: A function returning the chain runner, `run(obj, chain, echo)`, which runs a chain's steps on
#: a picture object and returns it. None: each step is called on the object in turn.
runner: Callable[[], Callable[..., Any]] | None = None
