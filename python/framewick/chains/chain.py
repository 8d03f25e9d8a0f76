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

Both forms are read by `framewick.chains.grammar` into the same written steps, and from those
once into data (`read_parts`): steps with their values checked, and a `LookRef` for each look.
`expand` then puts each look's steps in its place, asking a resolver for the looks by name;
`Chain.parse` and `Chain.from_data` do both, with the looks files (`framewick.looks`) as the
resolver unless another (or None) is passed.

The steps and the values each one allows are the table of `framewick.steps`, so a chain is
parsed and checked without importing Pillow or the native modules; `Catalogue.from_class` reads
the same from a class's mixins (their `__annotations__`, `__code__` and `__defaults__`, through
`inspect.signature`), for a class with steps of its own. Every problem with a chain, a value
its step cannot take included (`framewick.steps.RULES`), is a `ChainError` whose text is one
line naming the step, found before any picture is read. `Chain.read` takes a --steps value: the
text form, or ``@FILE`` naming a file that holds the text or the JSON form.
"""

# Layers: this module sits on the step table (framewick.steps) and the chain grammar
# (framewick.chains.grammar). A look:NAME or preset:NAME step is kept as a `LookRef` while the
# chain is read, and expanded afterwards by a resolver the caller passes (by default the looks
# registry of framewick.chains.looks, which is chains-layer data as well). A chain never runs
# itself: Chain.apply hands it to the object's own `run_chain` (FrameWick's runs it through the
# photo runner), and calls each step on an object that has none.

from __future__ import annotations

import math
import os
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Final, Protocol, TypeVar

from framewick import steps as table
from framewick._output import call_captured
from framewick.chains import looks as registry
from framewick.chains.grammar import (Bare, Group, Item, Quoted, Raw, Value, Written, decode_json, json_value, normal,
                                      read_data, read_text, single, text_value, write)
from framewick.steps import ALIASES, ChainError, Param, StepInfo

__all__ = ["ALIASES", "Catalogue", "Chain", "ChainError", "LookRef", "Param", "Resolver", "Step", "StepInfo",
           "catalogue", "expand", "expand_look", "read_parts"]

T = TypeVar("T")

SEPARATOR: Final = "|"

NOT_STEPS: Final = table.NOT_STEPS
QUERIES: Final = table.QUERIES
#: A look given a strength is one step of this name (any other look is replaced by its steps).
LOOK: Final = "look"
#: The keyword that gives a preset or a look its strength, from 0 to 1.
STRENGTH: Final = "strength"
_PRESET: Final = "apply_preset"
#: How deep looks may use looks (a look using a look is 2 deep).
MAX_DEPTH: Final = registry.MAX_DEPTH

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


# ---------------------------------------------------------------------------------------------
# The steps, and the names that reach them


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
        steps = table.steps_of_class(combined)
        return cls(steps, table.names_of(steps))

    def resolve(self, name: str) -> StepInfo | None:
        method = self.names.get(normal(name))
        return self.steps[method] if method else None

    def suggest(self, name: str) -> list[str]:
        import difflib

        return difflib.get_close_matches(normal(name), self.names, n=3, cutoff=0.6)

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


_made: tuple[int, Catalogue] | None = None


def catalogue() -> Catalogue:
    """The declared steps (made again only when a step is declared; imports no Pillow)."""
    global _made
    steps = table.registry.steps()
    made = _made
    if made is None or made[0] != table.registry.generation:
        made = _made = (table.registry.generation, Catalogue(steps, table.names_of(steps)))
    return made[1]


# ---------------------------------------------------------------------------------------------


# ---------------------------------------------------------------------------------------------
# Arguments: what was written, and its conversion


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
    import json  # the JSON form was decoded by it already

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
    import json

    try:
        json.dumps(value)
    except (TypeError, ValueError):
        return False
    return True


def _convert(param: Param, raw: Raw) -> Any:
    if isinstance(raw, (Bare, Quoted)):
        return _from_text(param.kind, raw.text)
    if isinstance(raw, Group):
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
    method "look", holding the look's own steps in `steps`. `written` is the step's name as the
    chain wrote it (an alias, its case), "" for a step made in code; it does not make two steps
    different.
    """

    method: str
    args: tuple[Any, ...] = ()
    kwargs: Mapping[str, Any] = field(default_factory=dict)
    strength: float = 1.0
    steps: tuple[Step, ...] = ()
    written: str = field(default="", compare=False, repr=False)

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
            data["args"] = [json_value(v) for v in self.args]
        if self.kwargs or self.strength != 1:
            data["kwargs"] = {k: json_value(v) for k, v in self.kwargs.items()}
            if self.strength != 1:
                data["kwargs"][STRENGTH] = self.strength
        return data

    def to_text(self, steps: Catalogue | None = None) -> str:
        info = (steps or catalogue()).steps.get(self.method)
        return self._text(info.short if info else self.method)

    def as_written(self, steps: Catalogue | None = None) -> str:
        """The text form under the name the chain wrote (`to_text` for a step made in code)."""
        return self._text(self.written) if self.written else self.to_text(steps)

    def _text(self, name: str) -> str:
        items = [text_value(v) for v in self.args]
        items += [f"{k}={text_value(v)}" for k, v in self.kwargs.items()]
        if self.strength != 1:
            items.append(f"{STRENGTH}={text_value(self.strength)}")
        return f"{name}:{','.join(items)}" if items else name


@dataclass(frozen=True)
class LookRef:
    """A step naming a look, as read: ``look:NAME[,strength=S]``, or ``preset:NAME`` where no
    preset has that name. `index` and `written` (the step's name as written) place it in its
    chain; `preset` tells the second form, which is a preset step when no look has the name."""

    name: str
    strength: float = 1.0
    index: int = 0
    written: str = LOOK
    preset: bool = False

    @property
    def where(self) -> str:
        return f"step {self.index} '{self.written}'"

    def to_data(self) -> dict[str, Any]:
        data: dict[str, Any] = {"method": LOOK, "args": [self.name]}
        if self.strength != 1:
            data["kwargs"] = {STRENGTH: self.strength}
        return data

    def to_text(self) -> str:
        strength = f",{STRENGTH}={text_value(self.strength)}" if self.strength != 1 else ""
        return f"{LOOK}:{text_value(self.name)}{strength}"


class _LookLike(Protocol):
    name: str
    steps: str
    file: str


class _Finder(Protocol):
    def find(self, name: str) -> _LookLike | None: ...


#: What answers a look by its name: an object with `find(name)` (a look, with `name`, `steps`
#: in the text form and the `file` its paths are relative to; or None), optionally with
#: `all_looks()` for the names an error suggests; or a function `name -> look, steps text or
#: None`. `framewick.looks` itself is one; None knows no look.
Resolver = _Finder | Callable[[str], Any] | None

#: The parts of a chain as read: its steps, and its looks by reference.
Part = Step | LookRef


@dataclass(frozen=True)
class Chain:
    """A sequence of steps, made from the text form (`parse`) or the JSON form (`from_json`).

    Both forms are read into the same data (steps, and looks by reference), and the looks are
    then expanded through a resolver: by default the looks files of `framewick.looks`.
    """

    steps: tuple[Step, ...] = ()
    #: True when every value was checked as the chain was read (parse, from_data, from_json,
    #: read); a chain built from Step objects directly is checked by its methods when it runs.
    checked: bool = field(default=False, compare=False, repr=False)

    @classmethod
    def parse(cls, text: str, steps: Catalogue | None = None, *, resolver: Resolver = registry) -> Chain:
        """Read the text form; raise ChainError naming the first step that cannot run."""
        return cls.from_written(read_text(text), steps, resolver=resolver)

    @classmethod
    def from_data(cls, data: Any, steps: Catalogue | None = None, *, resolver: Resolver = registry) -> Chain:
        """Read the JSON form once decoded (a list of step objects), checked like the text."""
        return cls.from_written(read_data(data), steps, resolver=resolver)

    @classmethod
    def from_written(cls, written: Sequence[Written], steps: Catalogue | None = None, *,
                     resolver: Resolver = registry) -> Chain:
        """The chain of steps read by the grammar (`framewick.chains.grammar`), looks expanded."""
        known = steps or catalogue()
        return cls(expand(_read_all(written, known), resolver, known), checked=True)

    @classmethod
    def from_json(cls, text: str, steps: Catalogue | None = None, *, resolver: Resolver = registry) -> Chain:
        return cls.from_data(decode_json(text), steps, resolver=resolver)

    @classmethod
    def read(cls, spec: str, steps: Catalogue | None = None, *, resolver: Resolver = registry) -> Chain:
        """A chain from a --steps value: the text form, or "@FILE" holding the text or JSON form.

        The file is read with the bounds of `framewick.steps.read_chain_file`; every problem,
        with the file or with the chain in it, is a ChainError.
        """
        if not spec.startswith("@"):
            return cls.parse(spec, steps, resolver=resolver)
        path = spec[1:]
        if not path:
            raise ChainError("--steps @: no file name after '@'")
        text = table.read_chain_file(path)
        if text.lstrip()[:1] in ("[", "{"):
            return cls.from_data(decode_json(text, f"--steps @{path}"), steps, resolver=resolver)
        return cls.parse(text, steps, resolver=resolver)

    @classmethod
    def coerce(cls, spec: Chain | str | Sequence[Mapping[str, Any]], *, resolver: Resolver = registry) -> Chain:
        """A chain from a Chain, its text form, or its JSON form (as text, or decoded)."""
        if isinstance(spec, Chain):
            return spec
        if isinstance(spec, str):
            if spec.lstrip().startswith("["):  # no step's name begins with "["
                return cls.from_json(spec, resolver=resolver)
            return cls.parse(spec, resolver=resolver)
        return cls.from_data(list(spec), resolver=resolver)

    def to_data(self) -> list[dict[str, Any]]:
        return [step.to_data() for step in self.steps]

    def to_json(self, indent: int | None = None) -> str:
        import json

        return json.dumps(self.to_data(), indent=indent, ensure_ascii=False)

    def to_text(self, steps: Catalogue | None = None) -> str:
        return f" {SEPARATOR} ".join(step.to_text(steps) for step in self.steps)

    def apply(self, obj: T, echo: Callable[[str], None] | None = None) -> T:
        """Run the steps on `obj` in order and return it.

        With `echo`, what each step prints is captured and handed to `echo` after the step
        (also when it fails); without, the library prints as it always does. Every step gets
        a picture it accepts, with alpha, grey and animations kept, when the object runs chains
        itself (`FrameWick.run_chain`, through `framewick.photo.run_steps`).
        """
        run = getattr(obj, "run_chain", None)
        if callable(run):
            run(self, echo)
            return obj
        for step in self.steps:  # an object of the caller's: each step is called on it
            call_captured(echo, step.apply, obj)
        return obj

    def __iter__(self) -> Iterator[Step]:
        return iter(self.steps)

    def __len__(self) -> int:
        return len(self.steps)

    def __str__(self) -> str:
        return self.to_text()


def read_parts(source: str | Sequence[Any], steps: Catalogue | None = None) -> list[Part]:
    """A chain's parts as written, its looks kept by reference: from the text form, or from the
    JSON form once decoded. Every step is checked as `Chain.parse` checks it; a look is not
    looked up, so a `LookRef` with `preset` set may still turn out to be an unknown preset."""
    written = read_text(source) if isinstance(source, str) else read_data(list(source))
    return _read_all(written, steps or catalogue())


# ---------------------------------------------------------------------------------------------
# Reading steps and look references


def _read_all(written: Sequence[Written], known: Catalogue) -> list[Part]:
    return [_read(w, known) for w in written]


def _read(w: Written, known: Catalogue) -> Part:
    """One written step as data: a look reference, or a step with its values checked."""
    items, strength = _take_strength(known, w)
    ref = _reference(w, items, strength, known)
    if ref is not None:
        return ref
    return _strengthened(_bind(known, w, items), strength)


def _reference(w: Written, items: list[Item], strength: float | None, known: Catalogue) -> LookRef | None:
    """The look a step names, or None: look:NAME always, preset:NAME when no preset has the name
    (whether a look has it is the resolver's to say). This is the one place a look is
    recognised in a chain."""
    full = 1.0 if strength is None else strength
    if normal(w.name) == LOOK:
        name = single(items, ("name", "preset_name"))
        if not name:
            raise ChainError(f"{w.where}: write look:NAME with one look name (and strength=S to blend it)")
        return LookRef(name, full, w.index, w.name)
    info = known.resolve(w.name)
    if info is None or info.method != _PRESET:
        return None
    name = single(items, ("preset_name",))
    if name is None or table.is_preset(name):
        return None
    return LookRef(name, full, w.index, w.name, preset=True)


def _bind(known: Catalogue, w: Written, items: Sequence[Item]) -> Step:
    """Match written arguments to the step's parameters and convert them.

    1. Find the step. 2. Walk the items: positionals fill the parameters in order until the
    first keyword; a tuple parameter given a bare item also takes the bare items after it, up to
    the next keyword. 3. Refuse surplus, unknown, repeated and missing arguments. 4. Convert
    each value by its parameter's annotation. 5. Check the values by the step's rules.
    """
    name, where = w.name, w.where
    info = known.resolve(name)
    if info is None:
        hint = known.suggest(name)
        more = f"; did you mean {' or '.join(repr(h) for h in hint)}?" if hint else "; 'framewick steps' lists them"
        raise ChainError(f"step {w.index}: unknown step {name!r}{more}")
    expects = f"{info.short} takes {', '.join(p.describe() for p in info.params) or 'no arguments'}"
    by_name = {p.name: p for p in info.params}
    positional_params = [p for p in info.params if not p.keyword_only]
    bound: dict[str, Raw] = {}
    positional: list[str] = []
    absorbing: list[str] | None = None
    absorbing_param = ""
    seen_keyword = False

    def close_tuple() -> None:
        nonlocal absorbing
        if absorbing is not None:
            bound[absorbing_param] = Group(tuple(absorbing))
            absorbing = None

    for keyword, raw in items:
        if keyword is None:
            if absorbing is not None and isinstance(raw, Bare):
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
        if param.kind == "tuple" and isinstance(raw, Bare):
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
    return Step(info.method, args, kwargs, written=w.name.strip())


def _takes_strength(known: Catalogue, name: str) -> bool:
    if normal(name) == LOOK:
        return True
    info = known.resolve(name)
    return info is not None and info.method == _PRESET


def _take_strength(known: Catalogue, w: Written) -> tuple[list[Item], float | None]:
    """The items without a preset's or a look's ``strength=``, and that strength (None: not given)."""
    items = list(w.items)
    if not any(keyword == STRENGTH for keyword, _ in items) or not _takes_strength(known, w.name):
        return items, None
    given = [raw for keyword, raw in items if keyword == STRENGTH]
    if len(given) > 1:
        raise ChainError(f"{w.where}: {STRENGTH} is given twice")
    try:
        value = _convert(Param(STRENGTH, "float"), given[0])
    except _Refused as refused:
        raise ChainError(f"{w.where}: {STRENGTH} expects {_EXPECTS['float']}, got {refused.got}") from None
    if not 0.0 <= value <= 1.0:
        raise ChainError(f"{w.where}: {STRENGTH} must be a number from 0 to 1, got {value!r}")
    return [(keyword, raw) for keyword, raw in items if keyword != STRENGTH], value


def _strengthened(step: Step, strength: float | None) -> Step:
    if strength is None or strength == 1:
        return step
    return Step(step.method, step.args, step.kwargs, strength, written=step.written)


# ---------------------------------------------------------------------------------------------
# Expanding looks


def expand(parts: Sequence[Part], resolver: Resolver = registry, steps: Catalogue | None = None) -> tuple[Step, ...]:
    """The steps of a chain's parts, each look replaced by its steps (or, at a strength below 1,
    by one step holding them), through `resolver`.

    Refuses an unknown look, a cycle, looks used inside looks more than MAX_DEPTH deep and a
    chain of more than MAX_STEPS steps once expanded, each with a ChainError.
    """
    return tuple(_Expansion(resolver, steps or catalogue()).chain(parts))


def expand_look(name: str, resolver: Resolver = registry, steps: Catalogue | None = None) -> list[tuple[str, str]]:
    """The steps of look `name` in the text form, the looks it uses expanded in place, each with
    the directory of the looks file it came from: (step text, directory). Paths in the steps
    are made absolute; nothing else is checked, so no file is read."""
    expansion = _Expansion(resolver, steps or catalogue(), bind=False)
    out: list[Any] = []
    expansion.look(LookRef(name), (), out)
    return out


# A look's steps as read, or an error to raise at each use of the look.
_Read = list[Any] | ChainError


class _Expansion:
    """One expansion of a chain's looks: the resolver, the steps counted so far, and each
    look's steps read once.

    With `bind` false, a look's plain steps are kept as written (with their paths made
    absolute) and come out as (text, directory) pairs, unchecked.
    """

    def __init__(self, resolver: Resolver, known: Catalogue, bind: bool = True) -> None:
        self.resolver = resolver
        self.known = known
        self.bind = bind
        self.count = 0
        self.read: dict[str, tuple[Any, _Read]] = {}

    def chain(self, parts: Sequence[Part]) -> list[Step]:
        out: list[Any] = []
        for part in parts:
            if isinstance(part, LookRef):
                self.reference(part, (), out)
                continue
            out.append(part)
            self.count += _weight(part)
            error = table.too_long(self.count)
            if error is not None:
                raise error
        return out

    def reference(self, ref: LookRef, trail: tuple[str, ...], out: list[Any]) -> None:
        """Append what `ref` runs to `out`: the look's steps, or one step holding them."""
        if ref.strength == 1:
            self.look(ref, trail, out)
            return
        if not self.bind:  # kept as the step the chain reads, after its look is checked for cycles
            self.look(ref, trail, [])
            out.append((ref.to_text(), self.directory(trail)))
            return
        inner: list[Any] = []
        self.look(ref, trail, inner)
        out.append(Step(LOOK, (ref.name.lower(),), {}, ref.strength, tuple(inner), written=ref.written))

    def look(self, ref: LookRef, trail: tuple[str, ...], out: list[Any]) -> None:
        trail = (*trail, ref.name)
        found, parts = self.steps_of(ref, trail)
        if len(trail) > MAX_DEPTH:
            shown = _trail((*trail[:2], "...", *trail[-2:])).replace("'...'", "...")
            raise ChainError(f"{shown}{_in(found)}: looks used inside looks more than {MAX_DEPTH} deep "
                             f"(at most {MAX_DEPTH} levels)")
        if isinstance(parts, ChainError):
            raise ChainError(f"{_trail(trail)}{_in(found)}: {parts}")
        lowered = [n.lower() for n in trail]
        for part in parts:
            if isinstance(part, LookRef):
                if part.name.lower() in lowered:
                    raise ChainError(f"{_trail((*trail, part.name))}: a cycle")
                self.reference(part, trail, out)
                continue
            if self.bind:
                out.append(part)
                self.count += 1
            else:
                out.append((write(part), _directory(found)))
                self.count += 1
            if self.count > table.MAX_STEPS:
                first = self.find(trail[0]) or found
                raise ChainError(f"{_trail(trail[:1])}{_in(first)}: the chain would have more than "
                                 f"{table.MAX_STEPS:,} steps once its looks are expanded (at most {table.MAX_STEPS:,})")

    def steps_of(self, ref: LookRef, trail: tuple[str, ...]) -> tuple[Any, _Read]:
        """The look `ref` names and its steps as read (paths made absolute against its file);
        an unknown name is refused, as a look or, for preset:NAME, as a preset."""
        key = ref.name.lower()
        if key not in self.read:
            found = self.find(ref.name)
            if found is None:
                raise self.unknown(ref, trail)
            self.read[key] = (found, self.parts_of(found))
        return self.read[key]

    def parts_of(self, found: Any) -> _Read:
        text = found if isinstance(found, str) else getattr(found, "steps", None)
        if not isinstance(text, str):
            return ChainError(f"the resolver answered {type(found).__name__}, not a look with steps")
        base = _directory(found)
        try:
            written = read_text(text, "steps")
            if base:
                written = [_rebased(w, base, self.known) for w in written]
            if not self.bind:
                return [_reference_or_written(w, self.known) for w in written]
            return _read_all(written, self.known)
        except ChainError as e:
            return e

    def find(self, name: str) -> Any:
        """The resolver's answer for `name` (None: no such look)."""
        resolver = self.resolver
        try:
            if resolver is None:
                return None
            if hasattr(resolver, "find"):
                return resolver.find(name)
            return resolver(name)
        except ValueError as e:  # a looks file that cannot be read (LooksError), met on the way
            raise ChainError(str(e).replace("\n", " ")) from None

    def names(self) -> list[str]:
        every = getattr(self.resolver, "all_looks", None)
        try:
            return [look.name for look in every()] if callable(every) else []
        except ValueError:
            return []

    def directory(self, trail: tuple[str, ...]) -> str:
        return _directory(self.read[trail[-1].lower()][0]) if trail else ""

    def unknown(self, ref: LookRef, trail: tuple[str, ...]) -> ChainError:
        if ref.preset and len(trail) == 1:
            return _unknown_preset(ref, self.names())
        if ref.preset:  # a step of a look: reported with the look, as its other steps are
            user = self.read[trail[-2].lower()][0]
            return ChainError(f"{_trail(trail[:-1])}{_in(user)}: {_unknown_preset(ref, self.names())}")
        import difflib

        hint = difflib.get_close_matches(ref.name.lower(), self.names(), n=3, cutoff=0.6)
        more = f"; did you mean {' or '.join(repr(h) for h in hint)}?" if hint else ""
        user = self.read[trail[-2].lower()][0] if len(trail) > 1 else None
        used = f" (used in {user.file})" if getattr(user, "file", "") else ""
        return ChainError(f"{_trail(trail)}: no such look{used}{more}")


def _unknown_preset(ref: LookRef, looks: Sequence[str]) -> ChainError:
    """A preset step naming neither a preset nor a look: refused by the preset's own rule."""
    rule = table.RULES.get((_PRESET, "preset_name"))
    allowed = rule.allowed if rule is not None else "a preset or a look"
    known = [*table.preset_names(), *looks]
    import difflib

    hint = difflib.get_close_matches(ref.name.lower(), known, n=3, cutoff=0.6)
    more = f"; did you mean {' or '.join(repr(h) for h in hint)}?" if hint else ""
    return ChainError(f"{ref.where}: preset_name must be {allowed}, got {ref.name!r}{more}")


def _reference_or_written(w: Written, known: Catalogue) -> LookRef | Written:
    items, strength = _take_strength(known, w)
    return _reference(w, items, strength, known) or w


def _weight(step: Step) -> int:
    """How many steps run: a look at a strength counts the steps it holds."""
    return sum(_weight(inner) for inner in step.steps) if step.steps else 1


def _trail(names: Sequence[str]) -> str:
    return "look " + " -> ".join(repr(n) for n in names)


def _in(look: Any) -> str:
    file = getattr(look, "file", "")
    return f" in {file}" if file else ""


def _directory(look: Any) -> str:
    """Where the paths in a look's steps are relative to: its file's directory ("" for none)."""
    directory = getattr(look, "directory", None)
    if isinstance(directory, str):
        return directory
    file = getattr(look, "file", "")
    return os.path.dirname(file) if isinstance(file, str) else ""


def _rebased(w: Written, base: str, known: Catalogue) -> Written:
    """`w` with the file it names (if its step takes one) made absolute against `base`."""
    info = known.resolve(w.name)
    declared = table.registry.get(info.method) if info is not None else None
    param = next(iter(declared.file_params), None) if declared is not None else None
    if info is None or param is None:
        return w
    first = next((p.name for p in info.params if not p.keyword_only), None)
    items = list(w.items)
    for index, (keyword, raw) in enumerate(items):
        if keyword == param or (keyword is None and index == 0 and first == param):
            items[index] = (keyword, _absolute(raw, base))
    return Written(w.index, w.name, tuple(items))


def _absolute(raw: Raw, base: str) -> Raw:
    text = raw.text if isinstance(raw, (Bare, Quoted)) else raw.value if isinstance(raw, Value) else None
    if not isinstance(text, str) or not text or os.path.isabs(text):
        return raw
    path = os.path.normpath(os.path.join(base, text))
    return Value(path) if isinstance(raw, Value) else Quoted(path)
