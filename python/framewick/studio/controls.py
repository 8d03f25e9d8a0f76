"""The page's controls for every step, made from the steps' declarations.

Each parameter becomes one control description: a slider where the declaration (or its rule's
words) gives a range, a number field where it does not, a colour, a choice among fixed values,
a text field, a switch, or a file picker for the parameters that name a LUT or a picture. The
page builds its widgets from these alone, so a declared step appears without page code. Words
a parameter may carry (unit, direction, range, example) are passed on where present and simply
absent where not.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from typing import Any, Final

from framewick.steps import REQUIRED, names_of, registry

#: Where a slider stops when the declaration allows far more than anyone drags to (an integer
#: up to two billion): the range shown, which the number beside the slider may still exceed.
_SLIDER_SPAN: Final[Mapping[str, tuple[float, float]]] = {
    "int": (0, 100),
    "float": (0.0, 2.0),
    "number": (0, 100),
}
_FROM_TO = re.compile(r"from (-?[0-9][0-9,]*(?:\.[0-9]+)?) to (-?[0-9][0-9,]*(?:\.[0-9]+)?)")
_WORDS: Final = ("unit", "direction", "example", "help")


def _number(text: str) -> float:
    return float(text.replace(",", ""))


def _table_range(param: Any, rule: Any) -> tuple[float, float] | None:
    """The range the declaration gives: the parameter's own fields where it has them, else the
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


def _choices(param: Any, looks: Sequence[str]) -> list[str] | None:
    choices = getattr(param, "choices", None)
    if callable(choices):
        return list(choices(looks))
    return list(choices) if choices else None


def _declared(method: str, param: Any) -> Any:
    """The declared parameter of that name (its words), else `param` itself."""
    info = registry.get(method)
    found = info.param(param.name) if info is not None else None
    return found if found is not None else param


def _jsonable(value: Any) -> Any:
    if isinstance(value, tuple):
        return ",".join(str(v) for v in value)
    return value


def control(method: str, param: Any, looks: Sequence[str] = ()) -> dict[str, Any]:
    """The control of one parameter, as JSON-ready data."""
    declared = _declared(method, param)
    rule = getattr(declared, "rule", None)
    kind = param.kind
    out: dict[str, Any] = {"name": param.name, "kind": kind, "required": param.required,
                           "default": None if param.required else _jsonable(param.default)}
    if rule is not None:
        out["allowed"] = rule.allowed
    for word in _WORDS:
        value = getattr(param, word, None)
        if isinstance(value, (str, int, float)) and not isinstance(value, bool):
            out[word] = value
    choices = _choices(declared, looks)
    file = getattr(declared, "file", "")
    if file:
        out.update(control="file", accept=".cube" if file == "lut" else "image/*")
    elif choices is not None:
        out.update(control="choice", choices=choices)
    elif kind == "bool":
        out["control"] = "switch"
    elif kind == "str" and (param.name == "color" or (rule is not None and "colour" in rule.allowed)):
        out["control"] = "colour"
    elif kind in _SLIDER_SPAN:
        span = getattr(declared, "slider", None) or _table_range(param, rule)
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
        if getattr(declared, "start", REQUIRED) is not REQUIRED:
            start = declared.start
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
    """Every declared step with its names and the controls of its parameters."""
    steps = registry.steps()
    names = names_of(steps)
    out = []
    for info in steps:
        aliases = [n for n, m in names.items() if m == info.method and n not in (info.method, info.short)]
        out.append({"method": info.method, "name": info.short, "owner": info.owner, "doc": info.doc,
                    "aliases": aliases, "params": [control(info.method, p, looks) for p in info.params]})
    return out
