"""What the command line, the help and the checks read of the declared steps.

Every view here is made from the registry on each call (or when it has changed), so a step
declared anywhere appears in all of them at once: the names that reach a step, the JSON data of
``framewick steps --json``, the help lines, the check of a step's values, and the check of the
declarations against the classes that carry the methods.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any, Final

import inspect

from framewick.steps.declare import ALPHA_MOVES, PREFIX, Param, Rule, StepInfo, _first_line, _kind, registry
from framewick.steps.rules import ChainError

__all__ = ["NOT_STEPS", "QUERIES", "aliases", "check", "example_of", "help_lines", "in_plan", "mismatches", "names_of",
           "param_help", "planned", "rules", "helps", "steps_of_class", "to_data"]

#: Methods that return the object but are not steps: the chain's ends are the command's job.
NOT_STEPS: Final = frozenset({"load", "save"})
#: The inspector's queries return data instead of the object, so they end a chain.
QUERIES: Final = frozenset({"histogram", "get_metadata", "extract_color_palette"})


def aliases() -> dict[str, str]:
    """Short names beyond the ones made by dropping ``apply_``; each maps to a method's own name."""
    return registry.aliases()


def names_of(steps: Iterable[StepInfo]) -> dict[str, str]:
    """Every name that reaches a step, mapped to the method's own name.

    1. Every method's own name; 2. its name without "apply_", unless another method has that
    name; 3. the declared aliases, where their method exists and the name is still free.
    """
    steps = list(steps)
    names = {info.method: info.method for info in steps}
    for info in steps:
        names.setdefault(info.short, info.method)
    for alias, method in aliases().items():
        if method in names:
            names.setdefault(alias, method)
    return names


def rules() -> dict[tuple[str, str], Rule]:
    """The values each step allows, by (method, parameter)."""
    return {(info.method, p.name): p.rule for info in registry.steps() for p in info.params if p.rule is not None}


def helps() -> dict[tuple[str, str], tuple[str, str]]:
    """Each parameter's meaning and example, by (method, parameter)."""
    return {(info.method, p.name): (p.meaning, p.sample) for info in registry.steps() for p in info.params
            if p.meaning or p.sample}


def to_data() -> list[dict[str, Any]]:
    """The steps as JSON-ready data, for ``framewick steps --json``."""
    steps = registry.steps()
    names = names_of(steps)
    data = []
    for info in steps:
        others = [n for n, m in names.items() if m == info.method and n not in (info.method, info.short)]
        params = [{"name": p.name, "kind": p.kind, "default": None if p.required else _jsonable(p.default),
                   "required": p.required, **param_help(info, p)} for p in info.params]
        data.append({"name": info.short, "method": info.method, "aliases": others, "params": params,
                     "doc": info.doc, "example": example_of(info), "keeps_depth": keeps_depth(info)})
    return data


def keeps_depth(info: StepInfo) -> bool:
    """Whether the step keeps a deep picture's depth (for some of its values, where that depends
    on them: a preset's built-in ones, a border's black); nothing is imported to say so."""
    if callable(info.at_depth) or (info.alpha == ALPHA_MOVES and callable(info.keeps_depth)):
        return True
    return info.carries_depth()


def _jsonable(value: Any) -> Any:
    return list(value) if isinstance(value, tuple) else value


_RANGE_OF_KIND: Final = {
    "int": "any integer", "float": "any number", "number": "any number", "bool": "true or false",
    "str": "text", "tuple": "integers separated by commas",
}


def _declared(info: StepInfo, param: Param) -> Param:
    """The declared parameter (a class's own signature carries no words of its own)."""
    known = registry.get(info.method)
    found = known.param(param.name) if known is not None else None
    return found if found is not None else param


def param_help(info: StepInfo, param: Param) -> dict[str, Any]:
    """A parameter's meaning (unit and direction), range and example, as data."""
    declared = _declared(info, param)
    allowed = declared.rule.allowed if declared.rule is not None else _RANGE_OF_KIND.get(param.kind, param.kind)
    return {"meaning": declared.meaning, "range": allowed, "example": declared.sample}


def example_of(info: StepInfo) -> str:
    """One step as written in a chain: the step's short name and an example of each required value."""
    def written(param: Param) -> str:
        value = _declared(info, param).sample
        return f"({value})" if "," in value and not value.startswith('"') else value

    values = [written(p) for p in info.params if p.required]
    if not values and info.params:
        values = [f"{info.params[0].name}={written(info.params[0])}"]
    return f"{info.short}:{','.join(values)}" if values else info.short


def help_lines(info: StepInfo) -> list[str]:
    """The lines `framewick steps` shows under a step: each parameter, then an example."""
    lines = []
    for param in info.params:
        about = param_help(info, param)
        default = "required" if param.required else f"default {_written_default(param.default)}"
        lines.append(f"{param.name}: {about['meaning']}" if about["meaning"] else param.name)
        lines.append(f"    {about['range']}; {default}; e.g. {about['example'] or '-'}")
    lines.append(f"example: {example_of(info)}")
    return lines


def _written_default(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, tuple):
        return ",".join(map(str, value))
    return '""' if value == "" else str(value)


#: Set while a plan runs its chain: the values were checked when the chain was read.
_PLANNED: ContextVar[bool] = ContextVar("framewick_planned", default=False)


@contextmanager
def planned() -> Iterator[None]:
    """Within it (in this thread or task), the steps that run are a plan's, whose values were
    checked when its chain was read and whose sizes once the picture's header was read: a method
    that checks its own arguments for a direct call runs without checking them again."""
    token = _PLANNED.set(True)
    try:
        yield
    finally:
        _PLANNED.reset(token)


def in_plan() -> bool:
    """Whether the step running now is a plan's (see `planned`)."""
    return _PLANNED.get()


def check(info: StepInfo, values: Mapping[str, Any], where: str) -> None:
    """Refuse, with a ChainError naming `where`, the first of `values` its rule does not allow.

    `values` are the arguments written in the chain, already converted by their annotations; a
    rule that looks at other parameters sees their defaults where they were not written. The
    rules are the declared step's (a class's own step of the same name is held to them where
    its parameters are the same).
    """
    declared = registry.get(info.method)
    if declared is None:
        return
    given = [(name, p.rule) for name in values if (p := declared.param(name)) is not None]
    if not any(rule for _, rule in given):
        return
    everything = {p.name: p.default for p in info.params if not p.required}
    everything.update(values)
    # Files are looked at last, so a value that is plainly wrong is reported without reading one.
    for name, rule in sorted(((n, r) for n, r in given if r is not None), key=lambda item: item[1].reads_file):
        try:
            verdict = rule.test(values[name], everything)
        except (KeyError, TypeError):  # a class's own step of the same name, with other parameters
            continue
        if verdict is True:
            continue
        line = f"{where}: {name} must be {rule.allowed}, got {_shown(values[name])}"
        if isinstance(verdict, str):
            line += ("; " if verdict.startswith("did you mean") else " (") + verdict + \
                ("" if verdict.startswith("did you mean") else ")")
        raise ChainError(line)


def _shown(value: Any) -> str:
    if isinstance(value, tuple):
        return ",".join(str(v) for v in value)
    return repr(value)


def mismatches(combined: type) -> list[str]:
    """Where the declarations and the methods of `combined` (a class of the mixins) disagree:
    a step declared but not there, a method there but not declared, or one whose names, owner,
    parameters (kinds, defaults) or docstring line differ. Empty when they agree."""
    found = {info.method: info for info in steps_of_class(combined)}
    declared = {info.method: info for info in registry.steps() if info.method in found
                or any(info.owner == klass.__name__ for klass in combined.__mro__)}
    problems = [f"{m}: declared, not a method of {combined.__name__}" for m in declared if m not in found]
    problems += [f"{m}: a method of {combined.__name__}, not declared" for m in found if m not in declared]
    for method, info in found.items():
        if method in declared and declared[method] != info:
            problems.append(f"{method}: declared as {declared[method].signature()} by {declared[method].owner}, "
                            f"is {info.signature()} by {info.owner}" + ("" if declared[method].doc == info.doc
                                                                      else f" (doc {info.doc!r})"))
    if list(found) != [m for m in declared if m in found]:
        problems.append("the steps are not declared in the order of the class's bases")
    if names_of(declared.values()) != names_of(found.values()):
        problems.append("the names that reach the steps differ")
    return problems


def steps_of_class(combined: type) -> list[StepInfo]:
    """The steps of `combined`'s base classes, read from their methods, in the order of its MRO.

    A step is a public method of a base that returns the object: everything except the class
    method `load`, `save`, the inspector's queries and a method whose annotations declare a
    return type (the queries declare theirs).
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
        short = name[len(PREFIX):] if name.startswith(PREFIX) else name
        steps.append(StepInfo(name, short, owner, params, _first_line(member.__doc__)))
    return steps
