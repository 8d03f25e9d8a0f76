"""The page's controls for every step, made from the step table.

Each parameter becomes one control description: a slider where the table (or the rule's words)
gives a range, a number field where it does not, a colour, a choice among fixed values, a text
field, a switch, or a file picker for the parameters that name a LUT or a picture. The page
builds its widgets from these alone, so a step added to the table appears without page code.
Words the table may carry about a parameter (unit, direction, range, example) are passed on
where present and simply absent where not.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from typing import Any, Final

from framewick import steps as table

#: Parameters that name a file the studio must have been given: (method, parameter) -> what
#: the file is, for the file picker.
FILE_PARAMS: Final[Mapping[tuple[str, str], str]] = {
    ("apply_lut", "path"): "lut",
    ("add_watermark", "watermark_path"): "picture",
    ("double_exposure", "overlay_image_path"): "picture",
}

#: Where a slider stops when the table allows far more than anyone drags to (an integer up to
#: two billion): the range shown, which the number beside the slider may still exceed.
_SLIDER_SPAN: Final[Mapping[str, tuple[float, float]]] = {
    "int": (0, 100),
    "float": (0.0, 2.0),
    "number": (0, 100),
}
#: Starting values for required parameters, where the step's own example says nothing.
_STARTS: Final[Mapping[tuple[str, str], Any]] = {
    ("convert_mode", "target_mode"): "RGB",
    ("convert", "target_format"): "PNG",
    ("adjust_gamma", "gamma"): 1.0,
    ("apply_contrast", "factor"): 1.2,
    ("apply_preset", "preset_name"): "vintage",
    ("rotate", "angle"): 15.0,
    ("crop", "left"): 0, ("crop", "top"): 0, ("crop", "right"): 400, ("crop", "bottom"): 300,
    ("resize", "width"): 800, ("resize", "height"): 600,
    ("fit", "target_width"): 800, ("fit", "target_height"): 600,
    ("add_text", "text"): "framewick", ("add_text", "position"): (20, 20),
    ("add_watermark", "position"): (20, 20),
    ("apply_border", "border_width"): 10,
}
#: Sliders over these ranges of a parameter without a rule of its own.
_KNOWN_RANGES: Final[Mapping[tuple[str, str], tuple[float, float]]] = {
    ("apply_blur", "radius"): (0, 30),
    ("adjust_gamma", "gamma"): (0.1, 3.0),
    ("apply_contrast", "factor"): (0.0, 3.0),
    ("rotate", "angle"): (-180.0, 180.0),
    ("round_corners", "radius"): (0, 300),
    ("apply_border", "border_width"): (0, 200),
    ("add_text", "font_size"): (1, 300),
}
_FROM_TO = re.compile(r"from (-?[0-9][0-9,]*(?:\.[0-9]+)?) to (-?[0-9][0-9,]*(?:\.[0-9]+)?)")
_WORDS: Final = ("unit", "direction", "example", "help")


def _number(text: str) -> float:
    return float(text.replace(",", ""))


def _table_range(param: Any, rule: Any) -> tuple[float, float] | None:
    """The range the table gives: the parameter's own fields where it has them, else the
    words of its rule ("an integer from 1 to 100")."""
    for low_name, high_name in (("low", "high"), ("minimum", "maximum"), ("min", "max")):
        low, high = getattr(param, low_name, None), getattr(param, high_name, None)
        if isinstance(low, (int, float)) and isinstance(high, (int, float)):
            return float(low), float(high)
    span = getattr(param, "range", None)
    if isinstance(span, Sequence) and len(span) == 2 and all(isinstance(v, (int, float)) for v in span):
        return float(span[0]), float(span[1])
    if rule is not None:
        match = _FROM_TO.search(rule.allowed)
        if match:
            return _number(match.group(1)), _number(match.group(2))
    return None


def _choices(method: str, name: str, looks: Sequence[str]) -> list[str] | None:
    if (method, name) == ("flip", "direction"):
        return list(table.DIRECTIONS)
    if (method, name) == ("convert_mode", "target_mode"):
        return list(table.MODES)
    if (method, name) == ("convert", "target_format"):
        return ["JPEG", "PNG", "WEBP", "TIFF", "GIF", "BMP", "AVIF"]
    if (method, name) == ("apply_preset", "preset_name"):
        return [*table.PRESET_NAMES, *looks]
    return None


def _jsonable(value: Any) -> Any:
    if isinstance(value, tuple):
        return ",".join(str(v) for v in value)
    return value


def control(method: str, param: Any, looks: Sequence[str] = ()) -> dict[str, Any]:
    """The control of one parameter, as JSON-ready data."""
    rule = table.RULES.get((method, param.name))
    kind = param.kind
    out: dict[str, Any] = {"name": param.name, "kind": kind, "required": param.required,
                           "default": None if param.required else _jsonable(param.default)}
    if rule is not None:
        out["allowed"] = rule.allowed
    for word in _WORDS:
        value = getattr(param, word, None)
        if isinstance(value, (str, int, float)) and not isinstance(value, bool):
            out[word] = value
    choices = _choices(method, param.name, looks)
    if (method, param.name) in FILE_PARAMS:
        out.update(control="file", accept=".cube" if FILE_PARAMS[method, param.name] == "lut" else "image/*")
    elif choices is not None:
        out.update(control="choice", choices=choices)
    elif kind == "bool":
        out["control"] = "switch"
    elif kind == "str" and (param.name == "color" or (rule is not None and "colour" in rule.allowed)):
        out["control"] = "colour"
    elif kind in _SLIDER_SPAN:
        span = _KNOWN_RANGES.get((method, param.name)) or _table_range(param, rule)
        if span is not None and span[1] - span[0] <= 100_000:
            low, high = span
            out.update(control="slider", min=low, max=high,
                       step=1 if kind == "int" else round((high - low) / 200, 4) or 0.01)
        else:
            out["control"] = "number"
            if span is not None:
                out.update(min=span[0], max=span[1])
    else:
        out["control"] = "tuple" if kind == "tuple" else "text"
    start = getattr(param, "example", None)
    if param.required:
        if (method, param.name) in _STARTS:
            start = _STARTS[method, param.name]
        elif start is None:
            start = _generic_start(out)
        out["start"] = _jsonable(start)
    return out


def _generic_start(out: Mapping[str, Any]) -> Any:
    if out["control"] == "slider":
        low, high = out["min"], out["max"]
        if out["kind"] == "float":
            return 1.0 if low <= 1 <= high else (low + high) / 2
        return int(min(max(low, 10), high))
    if out["control"] == "choice":
        return out["choices"][0]
    if out["control"] == "number":
        return 1
    if out["control"] == "switch":
        return False
    if out["control"] == "colour":
        return "#ffffff"
    if out["control"] == "tuple":
        return "10,10"
    return ""


def step_controls(looks: Sequence[str] = ()) -> list[dict[str, Any]]:
    """Every step of the table with its names and the controls of its parameters."""
    names = table.names_of(table.STEPS)
    out = []
    for info in table.STEPS:
        aliases = [n for n, m in names.items() if m == info.method and n not in (info.method, info.short)]
        out.append({"method": info.method, "name": info.short, "owner": info.owner, "doc": info.doc,
                    "aliases": aliases, "params": [control(info.method, p, looks) for p in info.params]})
    return out
