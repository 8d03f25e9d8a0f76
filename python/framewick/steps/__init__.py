"""The editing steps a chain can use: each declared once, and every table read from them.

A step's declaration (`framewick.steps.declare`) sits beside its method: the native mixins'
in `framewick.steps.native`, a Python mixin's on its class. Everything framewick needs to know
of a step (its names, parameters and the values each allows, what it does to the size, how it
runs, how it fails) is asked of the registry, so a chain is parsed, checked, listed and sized
without importing Pillow or the native modules. The size model is `framewick.steps.sizes`,
ImageMagick's geometry `framewick.steps.geometries`.

`STEPS`, `RULES`, `HELP`, `ALIASES`, `PRESET_NAMES` and `PRESET_DESCRIPTIONS` are views of the
registry, made when asked for.
"""

from __future__ import annotations

from typing import Any

from framewick.steps.chainfile import MAX_CHAIN_BYTES, MAX_STEPS, read_chain_file, too_long
from framewick.steps.declare import REQUIRED, Param, Preset, Rule, StepInfo, declares, registry, step
from framewick.steps.rules import (
    DIRECTIONS, MAX_BLUR_RADIUS, MAX_BORDER, MAX_FONT_SIZE, MAX_INT32, MAX_PIXELS, MODES, ChainError, builtin_presets,
    is_preset, preset_names, unusable_path,
)
from framewick.steps.tables import (NOT_STEPS, QUERIES, check, example_of, help_lines, mismatches, names_of, param_help,
                                    steps_of_class, to_data)

__all__ = [
    "ALIASES", "ChainError", "DIRECTIONS", "HELP", "MAX_BLUR_RADIUS", "MAX_BORDER", "MAX_CHAIN_BYTES", "MAX_FONT_SIZE",
    "MAX_INT32", "MAX_PIXELS", "MAX_STEPS", "MODES", "NOT_STEPS", "PRESET_DESCRIPTIONS", "QUERIES", "PRESET_NAMES", "Param",
    "Preset", "REQUIRED", "RULES", "Rule", "STEPS", "StepInfo", "builtin_presets", "check", "declares", "example_of",
    "help_lines", "is_preset", "mismatches", "names_of", "param_help", "preset_names",
    "read_chain_file", "registry", "step", "steps_of_class", "to_data", "too_long", "unusable_path",
]


def __getattr__(name: str) -> Any:
    from framewick.steps import tables

    if name == "STEPS":
        return registry.steps()
    if name == "RULES":
        return tables.rules()
    if name == "HELP":
        return tables.helps()
    if name == "ALIASES":
        return tables.aliases()
    if name == "PRESET_NAMES":
        return builtin_presets()
    if name == "PRESET_DESCRIPTIONS":
        return {preset.name: preset.description for preset in registry.presets()}
    raise AttributeError(f"module 'framewick.steps' has no attribute {name!r}")
