"""Chains of editing calls as data.

A chain is a list of steps, each one editing method of `FrameWick` with its arguments. Its text
form is what the command line takes::

    preset:vintage | resize:800,600 | border:10,color=white

* Steps are separated by ``|`` and run left to right. A step is a name, optionally followed by
  ``:`` and its arguments separated by ``,``; an argument may be given by keyword, ``name=value``.
* A name is the method's own name (``apply_border``), the name without ``apply_`` (``border``),
  or one of the few aliases in `ALIASES` (``gamma`` is ``adjust_gamma``). Case and ``-`` versus
  ``_`` do not matter. ``framewick steps`` lists them all.
* Arguments are converted by the method's own annotations: an ``int`` parameter takes ``800``, a
  ``float`` takes ``0.5``, a ``bool`` takes true/false, yes/no, on/off or 1/0, a ``str`` keeps the
  text, and a ``tuple`` takes integers in parentheses, ``(10,20)``. The parentheses may be left
  out: a tuple then takes the items that follow it up to the next ``name=`` item or the end of
  the step (``thumbnail:64,64``, ``text:Hello,10,20,font_size=24``). A parameter without an
  annotation takes a number.
* A preset or a look takes ``strength=`` from 0 to 1 (``preset:vintage,strength=0.6``,
  ``look:film,strength=0.5``): its result is blended with the picture before it.
* Text containing ``| , ( ) =``, quotes, or blanks at its ends is quoted with ``'`` or ``"``; a
  backslash inside quotes takes the next character literally: ``text:"Hello, world",(10,20)``.

The JSON form is a list of objects, one per step: ``{"method": "apply_border", "args": [10],
"kwargs": {"color": "white"}}`` (``args`` and ``kwargs`` may be left out). `Chain.to_json` and
`Chain.from_json` convert between the two; the text form round-trips through `Chain.to_text`.

The steps and the values each one allows are the table of `framewick.steps`, so a chain is
parsed and checked without importing Pillow or the native modules; `Catalogue.from_class` reads
the same from a class's mixins (their `__annotations__`, `__code__` and `__defaults__`, through
`inspect.signature`), for a class with steps of its own. Every problem with a chain, a value
its step cannot take included (`framewick.steps.RULES`), is a `ChainError` whose text is one
line naming the step, found before any picture is read. `Chain.read` takes a --steps value: the
text form, or ``@FILE`` naming a file that holds the text or the JSON form.
"""

# Layers: this module sits on the step table (framewick.steps) and below the looks
# (framewick.looks) and the photo runner (framewick.photo), and imports neither of those. It
# reaches them through two slots of framewick._hooks: `looks` (what a look:NAME or preset:NAME
# step expands to; steps.looks_layer() reads it) and `runner` (what Chain.apply runs the steps
# with). The package's __init__, which Python runs before any of its modules, fills both with
# providers that import their layer on first use; so `from framewick.chain import Chain` alone
# is enough for Chain.parse("look:film | ...") and Chain.apply, as before.

from __future__ import annotations

import difflib
import inspect
import json
import math
import re
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from functools import cache
from typing import Any, Final, TypeVar

from framewick import _hooks
from framewick import steps as table
from framewick._output import call_captured
from framewick.steps import ALIASES, ChainError, Param, StepInfo

__all__ = ["ALIASES", "Chain", "ChainError", "Param", "Step", "StepInfo", "Catalogue", "catalogue"]

T = TypeVar("T")

SEPARATOR: Final = "|"

#: Methods that return the object but are not steps: the chain's ends are the command's job.
NOT_STEPS: Final = frozenset({"load", "save"})
#: The inspector's queries return data instead of the object, so they end a chain.
QUERIES: Final = frozenset({"histogram", "get_metadata", "extract_color_palette"})

_PREFIX = "apply_"
_REQUIRED: Any = inspect.Parameter.empty
#: A look given a strength is one step of this name (any other look is replaced by its steps).
LOOK: Final = "look"
#: The keyword that gives a preset or a look its strength, from 0 to 1.
STRENGTH: Final = "strength"

# What each annotation takes, in the words of the error line.
_EXPECTS: Final[Mapping[str, str]] = {
    "int": "an integer, e.g. 800",
    "float": "a number, e.g. 0.5",
    "bool": "true/false, yes/no, on/off or 1/0",
    "str": "text",
    "tuple": "integers separated by commas, e.g. 10,20",
    "number": "a number, e.g. 40",
}
_TRUE: Final = frozenset({"true", "yes", "on", "1"})
_FALSE: Final = frozenset({"false", "no", "off", "0"})
_INT_TEXT = re.compile(r"[+-]?[0-9]+")
_NAME_TEXT = re.compile(r"[A-Za-z_][A-Za-z0-9_-]*")
_KEYWORD = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\s*=(.*)", re.DOTALL)
_QUOTES = "'\""
# Characters that make a text argument need quotes in the text form.
_SPECIAL = frozenset("|,()='\"\\:")


# ---------------------------------------------------------------------------------------------
# The steps, read from the classes


def _kind(annotation: Any) -> str:
    """The conversion an annotation asks for: its text, or "number" for none."""
    if annotation is inspect.Parameter.empty:
        return "number"
    if isinstance(annotation, type):
        return annotation.__name__
    return str(annotation)


def _first_line(doc: str | None) -> str:
    for line in (doc or "").splitlines():
        if line.strip():
            return line.strip()
    return ""


def _normal(name: str) -> str:
    return name.strip().lower().replace("-", "_")


class Catalogue:
    """The editing steps of a class combining the mixins, and the names that reach them."""

    def __init__(self, steps: Sequence[StepInfo], names: Mapping[str, str]) -> None:
        self.steps: dict[str, StepInfo] = {info.method: info for info in steps}
        self.names: dict[str, str] = dict(names)

    @classmethod
    def from_class(cls, combined: type) -> Catalogue:
        """Collect the steps of `combined`'s base classes, in the order of its MRO.

        A step is a public method of a base that returns the object: everything except the
        class method `load`, `save`, the inspector's queries and a method whose annotations
        declare a return type (the queries declare theirs).
        """
        found: dict[str, tuple[str, Any]] = {}
        for klass in combined.__mro__:
            if klass is combined or klass is object:
                continue
            for name, member in vars(klass).items():
                if name.startswith("_") or name in NOT_STEPS or name in QUERIES or name in found:
                    continue
                if isinstance(member, (classmethod, staticmethod)) or not callable(member):
                    continue
                if "return" in (getattr(member, "__annotations__", None) or {}):
                    continue
                found[name] = (klass.__name__, member)
        steps = []
        for name, (owner, member) in found.items():
            parameters = list(inspect.signature(member).parameters.values())[1:]
            params = tuple(
                Param(p.name, _kind(p.annotation), p.default, p.kind is inspect.Parameter.KEYWORD_ONLY)
                for p in parameters
                if p.kind not in (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD)
            )
            short = name[len(_PREFIX):] if name.startswith(_PREFIX) else name
            steps.append(StepInfo(name, short, owner, params, _first_line(member.__doc__)))
        return cls(steps, table.names_of(steps))

    def resolve(self, name: str) -> StepInfo | None:
        method = self.names.get(_normal(name))
        return self.steps[method] if method else None

    def suggest(self, name: str) -> list[str]:
        return difflib.get_close_matches(_normal(name), self.names, n=3, cutoff=0.6)

    def aliases_of(self, method: str) -> list[str]:
        return [name for name, target in self.names.items() if target == method and name != method]

    def __iter__(self) -> Iterator[StepInfo]:
        return iter(self.steps.values())

    def __len__(self) -> int:
        return len(self.steps)

    def describe(self) -> str:
        """The step list for `--help`: names, parameters and docstrings, from the classes."""
        lines = []
        for info in self:
            names = [info.short] + [n for n in [info.method, *self.aliases_of(info.method)] if n != info.short]
            lines.append(f"  {', '.join(dict.fromkeys(names))}")
            lines.append(f"      {info.signature()}")
            if info.doc:
                lines.append(f"      {info.doc}")
        return "\n".join(lines)


@cache
def catalogue() -> Catalogue:
    """The steps of `framewick.FrameWick`, from the step table (made once, imports no Pillow)."""
    return Catalogue(table.STEPS, table.names_of(table.STEPS))


# ---------------------------------------------------------------------------------------------
# Arguments: what was written, and its conversion


@dataclass(frozen=True)
class _Bare:
    text: str


@dataclass(frozen=True)
class _Quoted:
    text: str


@dataclass(frozen=True)
class _Group:
    items: tuple[str, ...]


@dataclass(frozen=True)
class _Value:
    value: Any


_Raw = _Bare | _Quoted | _Group | _Value


class _Refused(Exception):
    """A value the parameter's annotation does not take; `got` is how it was written."""

    def __init__(self, got: str) -> None:
        super().__init__(got)
        self.got = got


def _number(text: str) -> int | float:
    if _INT_TEXT.fullmatch(text):
        return int(text)
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def _from_text(kind: str, text: str) -> Any:
    """Convert a written value for a parameter of `kind`, or raise _Refused."""
    stripped = text.strip()
    try:
        if kind == "str":
            return text
        if kind == "int":
            if not _INT_TEXT.fullmatch(stripped):
                raise ValueError(text)
            return int(stripped)
        if kind == "float":
            value = float(stripped)
            if not math.isfinite(value):
                raise ValueError(text)
            return value
        if kind == "number":
            return _number(stripped)
        if kind == "bool":
            word = stripped.lower()
            if word in _TRUE:
                return True
            if word in _FALSE:
                return False
            raise ValueError(text)
        if kind == "tuple":
            items = stripped[1:-1] if stripped.startswith("(") and stripped.endswith(")") else stripped
            return _int_tuple(tuple(items.split(",")) if items.strip() else ())
    except ValueError:
        raise _Refused(repr(text)) from None
    # An annotation the parser has no conversion for: the method gets the text.
    return text


def _int_tuple(items: Sequence[str]) -> tuple[int, ...]:
    values = []
    for item in items:
        item = item.strip()
        if not _INT_TEXT.fullmatch(item):
            raise ValueError(item)
        values.append(int(item))
    return tuple(values)


def _from_value(kind: str, value: Any) -> Any:
    """Check a value from the JSON form (text goes through `_from_text`), or raise _Refused."""
    if isinstance(value, str):
        return _from_text(kind, value)
    got = json.dumps(value, ensure_ascii=False) if _jsonable(value) else repr(value)
    real = isinstance(value, (int, float)) and not isinstance(value, bool)
    if kind == "int" and type(value) is int:
        return value
    if kind in ("float", "number") and real and math.isfinite(value):
        return float(value) if kind == "float" else value
    if kind == "bool" and (isinstance(value, bool) or value in (0, 1)) and not isinstance(value, float):
        return bool(value)
    if kind == "tuple" and isinstance(value, (list, tuple)) and all(type(v) is int for v in value):
        return tuple(value)
    if kind not in _EXPECTS:
        return value
    raise _Refused(got)


def _jsonable(value: Any) -> bool:
    try:
        json.dumps(value)
    except (TypeError, ValueError):
        return False
    return True


def _convert(param: Param, raw: _Raw) -> Any:
    if isinstance(raw, (_Bare, _Quoted)):
        return _from_text(param.kind, raw.text)
    if isinstance(raw, _Group):
        if param.kind != "tuple":
            raise _Refused("(" + ",".join(raw.items) + ")")
        try:
            return _int_tuple(raw.items)
        except ValueError:
            raise _Refused("(" + ",".join(raw.items) + ")") from None
    return _from_value(param.kind, raw.value)


# ---------------------------------------------------------------------------------------------
# Steps and chains


@dataclass(frozen=True)
class Step:
    """One call: the method's own name, its positional and its keyword arguments.

    A preset or a look may be given a `strength` below 1: its result is then blended with the
    picture before it (the photo runner does the blend). A look with a strength is one step,
    method "look", holding the look's own steps in `steps`.
    """

    method: str
    args: tuple[Any, ...] = ()
    kwargs: Mapping[str, Any] = field(default_factory=dict)
    strength: float = 1.0
    steps: tuple[Step, ...] = ()

    def __hash__(self) -> int:
        return hash((self.method, self.args, tuple(sorted(self.kwargs.items())), self.strength, self.steps))

    def apply(self, obj: T) -> T:
        """Call the step on `obj`; a method that hands back another object is refused."""
        if self.strength != 1 or self.steps:
            raise ChainError(f"step '{self.method}' with a strength is blended by the photo runner "
                             "(framewick.photo.run_steps), not called on its own")
        result = getattr(obj, self.method)(*self.args, **self.kwargs)
        if result is not obj:
            raise ChainError(f"step '{self.method}' returned {type(result).__name__}, not the picture object")
        return obj

    def to_data(self) -> dict[str, Any]:
        data: dict[str, Any] = {"method": self.method}
        if self.args:
            data["args"] = [_to_json_value(v) for v in self.args]
        if self.kwargs or self.strength != 1:
            data["kwargs"] = {k: _to_json_value(v) for k, v in self.kwargs.items()}
            if self.strength != 1:
                data["kwargs"][STRENGTH] = self.strength
        return data

    def to_text(self, steps: Catalogue | None = None) -> str:
        info = (steps or catalogue()).steps.get(self.method)
        name = info.short if info else self.method
        items = [_to_text_value(v) for v in self.args]
        items += [f"{k}={_to_text_value(v)}" for k, v in self.kwargs.items()]
        if self.strength != 1:
            items.append(f"{STRENGTH}={_to_text_value(self.strength)}")
        return f"{name}:{','.join(items)}" if items else name


def _to_json_value(value: Any) -> Any:
    return list(value) if isinstance(value, tuple) else value


def _to_text_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, tuple):
        return "(" + ",".join(_to_text_value(v) for v in value) + ")"
    text = str(value)
    if text and text == text.strip() and not _SPECIAL.intersection(text):
        return text
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


@dataclass(frozen=True)
class Chain:
    """A sequence of steps, made from the text form (`parse`) or the JSON form (`from_json`)."""

    steps: tuple[Step, ...] = ()

    @classmethod
    def parse(cls, text: str, steps: Catalogue | None = None) -> Chain:
        """Read the text form; raise ChainError naming the first step that cannot run."""
        known = steps or catalogue()
        if not text.strip():
            return cls(())
        parts = _split(text, SEPARATOR, "chain")
        error = table.too_long(len(parts))
        if error is not None:
            raise error
        looks = table.looks_layer()  # look:NAME, and preset:NAME naming a look
        if looks is not None:
            parts = looks.expand_parts(parts, steps)  # at most MAX_STEPS, or a ChainError
        result: list[Step] = []
        total = 0
        for index, part in enumerate(parts, 1):
            part = part.strip()
            if not part:
                raise ChainError(f"step {index}: empty step (two '|' in a row, or one at an end)")
            name, has_args, rest = _split_name(part)
            if not _NAME_TEXT.fullmatch(name):
                raise ChainError(f"step {index}: {name!r} is not a step name; write name:arguments")
            items = _items(rest, index, name) if has_args else []
            items, strength = _take_strength(known, index, name, items)
            if _normal(name) == LOOK and strength is not None:
                group = _look_group(index, name, items, strength, steps)
            else:
                group = (_strengthened(_bind(known, index, name, items), strength),)
            result.extend(group)
            total += _weight(group)
            error = table.too_long(total)
            if error is not None:
                raise error
        return cls(tuple(result))

    @classmethod
    def from_data(cls, data: Any, steps: Catalogue | None = None) -> Chain:
        """Read the JSON form once decoded (a list of step objects), checked like the text."""
        known = steps or catalogue()
        if not isinstance(data, list):
            raise ChainError("a chain in JSON is a list of steps, e.g. [{\"method\": \"apply_blur\", \"args\": [2]}]")
        error = table.too_long(len(data))
        if error is not None:
            raise error
        result: list[Step] = []
        total = 0
        for index, entry in enumerate(data, 1):
            if not isinstance(entry, dict) or not isinstance(entry.get("method"), str):
                raise ChainError(f"step {index}: expected an object with a \"method\" text")
            extra = set(entry) - {"method", "args", "kwargs"}
            if extra:
                raise ChainError(f"step {index} '{entry['method']}': unknown field {sorted(extra)[0]!r}")
            args, kwargs = entry.get("args", []), entry.get("kwargs", {})
            if not isinstance(args, list) or not isinstance(kwargs, dict):
                raise ChainError(f"step {index} '{entry['method']}': \"args\" is a list and \"kwargs\" an object")
            items: list[tuple[str | None, _Raw]] = [(None, _Value(v)) for v in args]
            items += [(str(k), _Value(v)) for k, v in kwargs.items()]
            items, strength = _take_strength(known, index, entry["method"], items)
            if _normal(entry["method"]) == LOOK:
                result.extend(_look_group(index, entry["method"], items, 1.0 if strength is None else strength, steps))
                continue
            step = _bind(known, index, entry["method"], items)
            look = table.look_named(step)
            # A preset step naming a look runs the look's steps, as in the text form.
            if look:
                group = _look_group(index, entry["method"], [(None, _Value(look))],
                                    1.0 if strength is None else strength, steps)
            else:
                group = (_strengthened(step, strength),)
            result.extend(group)
            total += _weight(group)
            error = table.too_long(total)
            if error is not None:
                raise error
        return cls(tuple(result))

    @classmethod
    def from_json(cls, text: str, steps: Catalogue | None = None) -> Chain:
        table.check_nesting(text, "chain JSON")
        try:
            data = json.loads(text)
        except json.JSONDecodeError as e:
            raise ChainError(f"chain JSON: {e}") from None
        return cls.from_data(data, steps)

    @classmethod
    def read(cls, spec: str, steps: Catalogue | None = None) -> Chain:
        """A chain from a --steps value: the text form, or "@FILE" holding the text or JSON form.

        The file is read with the bounds of `framewick.steps.read_chain_file`; every problem,
        with the file or with the chain in it, is a ChainError.
        """
        if not spec.startswith("@"):
            return cls.parse(spec, steps)
        path = spec[1:]
        if not path:
            raise ChainError("--steps @: no file name after '@'")
        text = table.read_chain_file(path)
        if text.lstrip()[:1] in ("[", "{"):
            table.check_nesting(text, f"--steps @{path}")
            try:
                data = json.loads(text)
            except json.JSONDecodeError as e:
                raise ChainError(f"--steps @{path}: chain JSON: {e}") from None
            except RecursionError:  # nesting is bounded above; this is a last line of defence
                raise ChainError(f"--steps @{path}: chain JSON nested too deeply") from None
            return cls.from_data(data, steps)
        return cls.parse(text, steps)

    @classmethod
    def coerce(cls, spec: Chain | str | Sequence[Mapping[str, Any]]) -> Chain:
        """A chain from a Chain, its text form, or its decoded JSON form."""
        if isinstance(spec, Chain):
            return spec
        if isinstance(spec, str):
            return cls.parse(spec)
        return cls.from_data(list(spec))

    def to_data(self) -> list[dict[str, Any]]:
        return [step.to_data() for step in self.steps]

    def to_json(self, indent: int | None = None) -> str:
        return json.dumps(self.to_data(), indent=indent, ensure_ascii=False)

    def to_text(self, steps: Catalogue | None = None) -> str:
        return f" {SEPARATOR} ".join(step.to_text(steps) for step in self.steps)

    def apply(self, obj: T, echo: Callable[[str], None] | None = None) -> T:
        """Run the steps on `obj` in order and return it.

        With `echo`, what each step prints is captured and handed to `echo` after the step
        (also when it fails); without, the library prints as it always does. Every step gets
        a picture it accepts, with alpha, grey and animations kept (the runner plugged in by
        the package, `framewick.photo.run_steps`).
        """
        provider = _hooks.runner
        if provider is not None:
            return provider()(obj, self, echo)
        for step in self.steps:  # no runner plugged in: each step is called on the object
            call_captured(echo, step.apply, obj)
        return obj

    def __iter__(self) -> Iterator[Step]:
        return iter(self.steps)

    def __len__(self) -> int:
        return len(self.steps)

    def __str__(self) -> str:
        return self.to_text()


# ---------------------------------------------------------------------------------------------
# Reading the text form


def _split(text: str, separator: str, what: str) -> list[str]:
    """Split `text` at `separator`s outside quotes and parentheses; refuse unbalanced ones."""
    parts, start, depth, quote, i = [], 0, 0, "", 0
    while i < len(text):
        c = text[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = ""
        elif c in _QUOTES:
            quote = c
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth < 0:
                raise ChainError(f"{what}: ')' without '(' in {text.strip()!r}")
        elif c == separator and depth == 0:
            parts.append(text[start:i])
            start = i + 1
        i += 1
    if quote:
        raise ChainError(f"{what}: unclosed {quote} in {text.strip()!r}")
    if depth:
        raise ChainError(f"{what}: '(' without ')' in {text.strip()!r}")
    parts.append(text[start:])
    return parts


def _split_name(part: str) -> tuple[str, bool, str]:
    """A step's name and, after the first ':', its argument text."""
    name, colon, rest = part.partition(":")
    return name.strip(), bool(colon), rest


def _closing_quote(text: str) -> int:
    """Where the quote that opens `text` closes (-1 if it does not)."""
    i = 1
    while i < len(text):
        if text[i] == "\\":
            i += 1
        elif text[i] == text[0]:
            return i
        i += 1
    return -1


def _unquote(text: str) -> str:
    body, out, i = text[1:-1], [], 0
    while i < len(body):
        if body[i] == "\\" and i + 1 < len(body):
            i += 1
        out.append(body[i])
        i += 1
    return "".join(out)


def _value(text: str, where: str) -> _Raw:
    stripped = text.strip()
    if stripped[:1] in _QUOTES:
        if _closing_quote(stripped) != len(stripped) - 1:
            raise ChainError(f"{where}: text after the closing quote in {stripped!r}")
        return _Quoted(_unquote(stripped))
    if stripped.startswith("("):
        if not stripped.endswith(")"):
            raise ChainError(f"{where}: text after ')' in {stripped!r}")
        inner = stripped[1:-1]
        items = _split(inner, ",", where) if inner.strip() else []
        return _Group(tuple(_unquote(i.strip()) if i.strip()[:1] in _QUOTES else i.strip() for i in items))
    if any(c in stripped for c in "()'\""):
        raise ChainError(f"{where}: quote {stripped!r} (it holds a quote or a parenthesis)")
    return _Bare(stripped)


def _items(rest: str, index: int, name: str) -> list[tuple[str | None, _Raw]]:
    where = f"step {index} '{name}'"
    if not rest.strip():
        return []
    items: list[tuple[str | None, _Raw]] = []
    for piece in _split(rest, ",", where):
        if not piece.strip():
            raise ChainError(f"{where}: empty argument (two ',' in a row, or one at an end)")
        stripped = piece.strip()
        match = _KEYWORD.fullmatch(stripped) if stripped[:1] not in _QUOTES + "(" else None
        if match:
            if not match.group(2).strip():
                raise ChainError(f"{where}: no value after '{match.group(1)}='")
            items.append((match.group(1), _value(match.group(2), where)))
        else:
            items.append((None, _value(stripped, where)))
    return items


def _bind(known: Catalogue, index: int, name: str, items: list[tuple[str | None, _Raw]]) -> Step:
    """Match written arguments to the step's parameters and convert them.

    1. Find the step. 2. Walk the items: positionals fill the parameters in order until the
    first keyword; a tuple parameter given a bare item also takes the bare items after it, up to
    the next keyword. 3. Refuse surplus, unknown, repeated and missing arguments. 4. Convert
    each value by its parameter's annotation.
    """
    info = known.resolve(name)
    if info is None:
        hint = known.suggest(name)
        more = f"; did you mean {' or '.join(repr(h) for h in hint)}?" if hint else "; 'framewick steps' lists them"
        raise ChainError(f"step {index}: unknown step {name!r}{more}")
    where = f"step {index} '{name}'"
    expects = f"{info.short} takes {', '.join(p.describe() for p in info.params) or 'no arguments'}"
    by_name = {p.name: p for p in info.params}
    positional_params = [p for p in info.params if not p.keyword_only]
    bound: dict[str, _Raw] = {}
    positional: list[str] = []
    absorbing: list[str] | None = None
    absorbing_param = ""
    seen_keyword = False

    def close_tuple() -> None:
        nonlocal absorbing
        if absorbing is not None:
            bound[absorbing_param] = _Group(tuple(absorbing))
            absorbing = None

    for keyword, raw in items:
        if keyword is None:
            if absorbing is not None and isinstance(raw, _Bare):
                absorbing.append(raw.text)
                continue
            if seen_keyword:
                raise ChainError(f"{where}: a plain argument after a keyword argument; {expects}")
            if len(positional) >= len(positional_params):
                raise ChainError(f"{where}: too many arguments; {expects}")
            param = positional_params[len(positional)]
            positional.append(param.name)
        else:
            close_tuple()
            seen_keyword = True
            if keyword not in by_name:
                raise ChainError(f"{where}: no parameter {keyword!r}; {expects}")
            if keyword in bound or keyword in positional:
                raise ChainError(f"{where}: {keyword} is given twice; {expects}")
            param = by_name[keyword]
        if param.kind == "tuple" and isinstance(raw, _Bare):
            absorbing, absorbing_param = [raw.text], param.name
        else:
            close_tuple()
            bound[param.name] = raw
    close_tuple()
    for param in info.params:
        if param.required and param.name not in bound:
            raise ChainError(f"{where}: missing {param.name} ({param.kind}); {expects}")
    values = {}
    for param_name, raw in bound.items():
        param = by_name[param_name]
        try:
            values[param_name] = _convert(param, raw)
        except _Refused as refused:
            raise ChainError(
                f"{where}: {param.name} expects {_EXPECTS.get(param.kind, param.kind)}, got {refused.got}"
            ) from None
    table.check(info, values, where)
    args = tuple(values[n] for n in positional)
    kwargs = {n: v for n, v in values.items() if n not in positional}
    return Step(info.method, args, kwargs)


# ---------------------------------------------------------------------------------------------
# Strength: a preset or a look blended with the picture before it


def _takes_strength(known: Catalogue, name: str) -> bool:
    if _normal(name) == LOOK:
        return True
    info = known.resolve(name)
    return info is not None and info.method == "apply_preset"


def _take_strength(known: Catalogue, index: int, name: str,
                   items: list[tuple[str | None, _Raw]]) -> tuple[list[tuple[str | None, _Raw]], float | None]:
    """The items without a preset's or a look's ``strength=``, and that strength (None: not given)."""
    if not any(keyword == STRENGTH for keyword, _ in items) or not _takes_strength(known, name):
        return items, None
    where = f"step {index} '{name}'"
    given = [raw for keyword, raw in items if keyword == STRENGTH]
    if len(given) > 1:
        raise ChainError(f"{where}: {STRENGTH} is given twice")
    try:
        value = _convert(Param(STRENGTH, "float"), given[0])
    except _Refused as refused:
        raise ChainError(f"{where}: {STRENGTH} expects {_EXPECTS['float']}, got {refused.got}") from None
    if not 0.0 <= value <= 1.0:
        raise ChainError(f"{where}: {STRENGTH} must be a number from 0 to 1, got {value!r}")
    return [(keyword, raw) for keyword, raw in items if keyword != STRENGTH], value


def _strengthened(step: Step, strength: float | None) -> Step:
    if strength is None or strength == 1:
        return step
    return Step(step.method, step.args, step.kwargs, strength)


def _weight(steps: Iterable[Step]) -> int:
    """How many steps run: a look at a strength counts the steps it holds (at most 32 deep)."""
    return sum(_weight(step.steps) if step.steps else 1 for step in steps)


def _look_group(index: int, name: str, items: list[tuple[str | None, _Raw]], strength: float,
                steps: Catalogue | None) -> tuple[Step, ...]:
    """A look at `strength`: its steps (at full strength), or one step holding them."""
    where = f"step {index} '{name}'"
    names = [raw for keyword, raw in items if keyword in (None, "name", "preset_name")]
    look = names[0] if len(items) == 1 and len(names) == 1 else None
    text = look.text if isinstance(look, (_Bare, _Quoted)) else look.value if isinstance(look, _Value) else None
    if not isinstance(text, str) or not text:
        raise ChainError(f"{where}: write look:NAME or look:NAME,strength=0.5 with one look name")
    inner = Chain.parse(f"{LOOK}:{_to_text_value(text)}", steps).steps
    if strength == 1:
        return inner
    return (Step(LOOK, (text.lower(),), {}, strength, inner),)
