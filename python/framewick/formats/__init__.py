"""Picture formats Pillow does not read by itself, registered with Pillow as plugins.

`register()` registers each of them (each module's own `register()`); it is cheap to call again.
"""

from __future__ import annotations

import importlib

# The plugin modules, in the order they are registered.
PLUGINS = ("framewick.formats.raw",)


def register() -> None:
    """Register every format plugin with Pillow (a plugin whose library is missing stays out)."""
    for name in PLUGINS:
        importlib.import_module(name).register()
