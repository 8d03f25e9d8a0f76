"""What a step is: its declaration, and the registry every step table is read from.

A step is one editing method of a mixin, declared once beside the method:

* its names (the method's own, the short one without ``apply_``, and its aliases), its owner
  mixin and where that lives, the first line of its docstring;
* its parameters: kind (the annotation), default, and for each what the chain's checks, the
  help and the studio need: the rule for its values, what it means (unit and direction), an
  example as written in a chain, the file it names, its choices, the studio's slider and start;
* what it does to the picture: the size it gives (`size`), whether it gives the same result at
  any scale (`scale_free`) or reduces the picture (`reduces`, for shrink-on-load), how far its
  output rows reach into the input (`rows`), whether it keeps a deep picture's depth, which
  working modes it takes, what it does with alpha, and the status line it prints on failure.

The native mixins' steps are declared in `framewick.steps.native`; a mixin written in Python
declares its steps with `declares` on the class and `step` on each method, which read the kinds
and defaults from the method's own signature. The registry collects them; nothing else keys on
a method's name. Nothing here imports Pillow.
"""

from __future__ import annotations

import importlib
import inspect
import threading
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, Final, TypeVar

__all__ = ["ALPHA_COMBINED", "ALPHA_KEPT", "ALPHA_MOVES", "Param", "Preset", "REQUIRED", "Rule", "SAME",
           "StepInfo", "declares", "registry", "step"]

REQUIRED: Any = inspect.Parameter.empty
PREFIX: Final = "apply_"

Size = tuple[int, int]
Values = Mapping[str, Any]
Test = Callable[[Any, Values], "bool | str"]

#: What a step does with alpha: it runs on the picture as it is, alpha included, so the alpha
#: moves with the pixels (sizes, turns, crops, and the steps that set mode, format or quality);
ALPHA_MOVES: Final = "moves"
#: it runs on the colour and its own alpha is combined with the one there (the smaller of two);
ALPHA_COMBINED: Final = "combined"
#: it runs on the colour alone and gets the alpha back unchanged.
ALPHA_KEPT: Final = "kept"


def SAME(values: Values, size: Size, exact: bool) -> Size:
    """The size model of a step that keeps the picture's size."""
    return size


@dataclass(frozen=True)
class Rule:
    """What one parameter allows: the words for the error line, and the test of a value.

    The test gets the value and all the step's values (defaults filled in); it returns True for
    a value the step takes, False to refuse it, or a text to refuse it with that reason added.
    """

    allowed: str
    test: Test
    reads_file: bool = False


@dataclass(frozen=True)
class Param:
    """One parameter of a step: name, kind (its annotation), default, and what it means.

    Only the name, kind, default and whether it is keyword-only make two parameters equal (a
    method's signature gives those); the rest is the declaration's.
    """

    name: str
    kind: str
    default: Any = REQUIRED
    keyword_only: bool = False
    #: The values it takes; None takes every value the kind converts.
    rule: Rule | None = field(default=None, compare=False)
    #: Its unit and which way it goes, in words.
    meaning: str = field(default="", compare=False)
    #: One value as written in a chain.
    sample: str = field(default="", compare=False)
    #: "lut" or "picture" for a parameter naming a file the step reads, else "".
    file: str = field(default="", compare=False)
    #: The fixed values it takes (a function of the looks' names where looks count), or None.
    choices: tuple[str, ...] | Callable[[Iterable[str]], list[str]] | None = field(default=None, compare=False)
    #: The range a slider covers where the rule allows far more than anyone drags to.
    slider: tuple[float, float] | None = field(default=None, compare=False)
    #: Where the studio starts a required parameter (REQUIRED: from its control's range).
    start: Any = field(default=REQUIRED, compare=False)

    @property
    def required(self) -> bool:
        return self.default is REQUIRED

    def describe(self) -> str:
        text = f"{self.name}: {self.kind}"
        return text if self.required else f"{text} = {self.default!r}"


@dataclass(frozen=True)
class StepInfo:
    """An editing method as a step: its names, parameters, docstring line and what it does.

    Two are equal when a method's signature and docstring make them so (method, short name,
    owner, parameters, doc line); everything else is the declaration's.
    """

    method: str
    short: str
    owner: str
    params: tuple[Param, ...]
    doc: str
    #: Where the owner mixin lives (a module name).
    module: str = field(default="", compare=False)
    aliases: tuple[str, ...] = field(default=(), compare=False)
    #: The picture's size after the step: (values, size before, exact) -> size. With `exact`
    #: a step may refuse (ChainError) a size it cannot work on. None: not known.
    size: Callable[[Values, Size, bool], Size] | None = field(default=None, compare=False)
    #: Whether its result is the same at any scale of the picture (so shrink-on-load may pass it).
    scale_free: bool | Callable[[Values], bool] = field(default=False, compare=False)
    #: For a step that can reduce the picture: the size it asks of a picture of a size, when
    #: that is smaller on both sides, else None. Shrink-on-load decides by it.
    reduces: Callable[[Values, Size], Size | None] | None = field(default=None, compare=False)
    #: Whether the reduced size follows from the picture's own (a picture decoded smaller must
    #: then still be brought to the same size).
    reduces_by_aspect: bool = field(default=False, compare=False)
    #: Rows of margin a strip of the picture needs for each output row to be exact (0 for a per-pixel
    #: step), None for a step that works on the whole picture; or a function of the values.
    rows: int | None | Callable[[Values], int | None] = field(default=None, compare=False)
    #: For a step whose result blends with the whole picture's mean grey (so strips need that
    #: mean first): (grey first, factor), or a function of the values giving it or None.
    mean_blend: tuple[bool, float] | None | Callable[[Values], tuple[bool, float] | None] = \
        field(default=None, compare=False)
    #: Whether it runs on a deep (16-bit, 32-bit, float) picture as it is, keeping the depth.
    keeps_depth: bool | Callable[[Values], bool] = field(default=False, compare=False)
    #: Where its work on a deep picture's colour is done, as "module:function" (imported on first
    #: use, so declaring a step loads nothing): `function(colour, values) -> colour`, on float32
    #: (height, width, 1 or 3) in 0-1 with alpha split off, giving at full precision what the
    #: method gives at 8 bits. "" for none; or a function of the values giving the reference or "".
    at_depth: str | Callable[[Values], str] = field(default="", compare=False)
    #: The working modes it takes (of L, LA, RGB, RGBA); None: all four.
    modes: tuple[str, ...] | None = field(default=None, compare=False)
    alpha: str = field(default=ALPHA_KEPT, compare=False)
    #: Where it moves the picture's pixels, for a companion at another scale (an HDR gain map):
    #: (values, size before) -> moves (see framewick.steps.moves), "draws" for a step that paints
    #: other pixels over the picture, or None (pixels stay where they are when the size does).
    moves: Callable[[Values, Size], tuple[tuple[Any, ...], ...]] | str | None = field(default=None, compare=False)
    #: The resampling filter (Pillow's name: "LANCZOS", "BICUBIC", ...) by which the step makes a
    #: move that is one region of the picture brought to a new size (a single "box" move), with
    #: nothing else done to the pixels: such a move of a deep picture is then made at depth, every
    #: band as the step's own resize would make it. "" where the step resamples otherwise
    #: (thumbnail's reduction first) or its moves are not plain resamples.
    resamples: str = field(default="", compare=False)
    #: Whether its moves only copy whole pixels (a cut within the picture, a mirror), with
    #: nothing else done to them: a deep picture's samples are then copied the same way.
    copies: bool = field(default=False, compare=False)
    #: Pillow's reducing_gap of that resample (thumbnail's 2.0): a picture that many times its new
    #: size or more is first reduced by whole factors (the means of blocks), as Pillow's resize
    #: with a reducing_gap does. None: resampled as it is.
    reducing_gap: float | None = field(default=None, compare=False)
    #: How the status line begins by which it reports a failure and nothing else, or "".
    fails_with: str = field(default="", compare=False)
    #: The module the declaration was made in.
    declared_in: str = field(default="", compare=False)

    def signature(self) -> str:
        return f"{self.method}({', '.join(p.describe() for p in self.params)})"

    def param(self, name: str) -> Param | None:
        return next((p for p in self.params if p.name == name), None)

    def values(self, args: Iterable[Any] = (), kwargs: Mapping[str, Any] | None = None) -> dict[str, Any]:
        """The step's arguments by parameter name, defaults filled in."""
        values = {p.name: p.default for p in self.params if not p.required}
        values.update(zip((p.name for p in self.params), args))
        values.update(kwargs or {})
        return values

    def reduced(self, values: Values, size: Size) -> Size | None:
        """The size the step asks of a picture of `size` (`reduces`), when it reduces the
        picture on both sides; None when it does not, cannot, or its values do not say."""
        if self.reduces is None:
            return None
        try:
            return self.reduces(values, size)
        except (KeyError, TypeError, ValueError):
            return None

    def answer(self, what: Any, values: Values) -> Any:
        """A field that may be a function of the values, for these values."""
        return what(values) if callable(what) else what

    def depth_function(self, values: Values | None = None) -> Callable[[Any, Values], Any] | None:
        """The function `at_depth` names for these values (imported now), or None when the step
        has none. A reference that cannot be imported is a TypeError naming the step."""
        reference = self.answer(self.at_depth, values or {}) if callable(self.at_depth) else self.at_depth
        if not reference:
            return None
        return _resolve(self.method, reference)

    def carries_depth(self, values: Values | None = None) -> bool:
        """Whether a deep picture keeps its depth through the step (defaults for missing values):
        it moves pixels (runs on the picture as it is, alpha included, and changes the picture's
        geometry or says it keeps depth), it only combines a mask of its own with the alpha
        (rounded corners), or it has a depth implementation."""
        values = {**self.values(), **(values or {})}
        try:
            if self.alpha == ALPHA_MOVES:
                return self.size is not SAME or bool(self.answer(self.keeps_depth, values))
            if self.alpha == ALPHA_COMBINED and not self.at_depth:
                return True
            return bool(self.answer(self.at_depth, values))
        except (KeyError, TypeError, ValueError):
            return False

    @property
    def needs_rgb(self) -> bool:
        return self.modes is not None and "L" not in self.modes and "LA" not in self.modes

    @property
    def file_params(self) -> dict[str, str]:
        """The parameters naming a file, and what each file is ("lut" or "picture")."""
        return {p.name: p.file for p in self.params if p.file}


_resolved: dict[str, Callable[[Any, Values], Any]] = {}


def _resolve(method: str, reference: str) -> Callable[[Any, Values], Any]:
    found = _resolved.get(reference)
    if found is not None:
        return found
    module, _, name = reference.partition(":")
    try:
        found = getattr(importlib.import_module(module), name) if module and name else None
    except (ImportError, AttributeError) as e:
        raise TypeError(f"step {method}: its work at depth {reference!r} cannot be found ({e})") from None
    if not callable(found):
        raise TypeError(f"step {method}: its work at depth {reference!r} is not a function")
    _resolved[reference] = found
    return found


@dataclass(frozen=True)
class Preset:
    """One built-in preset of `apply_preset`: its name, what it does, and how it may be run."""

    name: str
    description: str
    #: Made of colour operations only: the same at any scale.
    scale_free: bool = True
    #: Rows of margin a strip needs (None: the preset reads the whole picture).
    rows: int | None = None
    #: For a preset whose contrast blends with the whole picture's mean grey: (grey first, factor).
    mean: tuple[bool, float] | None = None


# ---------------------------------------------------------------------------------------------
# Declaring a mixin written in Python

F = TypeVar("F", bound=Callable[..., Any])
T = TypeVar("T", bound=type)


def step(*, aliases: Iterable[str] = (), params: Mapping[str, Mapping[str, Any]] | None = None,
         **what: Any) -> Callable[[F], F]:
    """Declare the method below as a step: `params` adds to each parameter of its signature
    (rule, meaning, sample, file, choices, slider, start), `what` sets the StepInfo's fields
    (size is required). The class's `declares` registers it."""
    if "size" not in what:
        raise TypeError("a step's declaration says what it does to the size (size=SAME for none)")

    def mark(fn: F) -> F:
        fn.__framewick_step__ = (tuple(aliases), dict(params or {}), what)  # type: ignore[attr-defined]
        return fn

    return mark


def _kind(annotation: Any) -> str:
    if annotation is inspect.Parameter.empty:
        return "number"
    return annotation.__name__ if isinstance(annotation, type) else str(annotation)


def _first_line(doc: str | None) -> str:
    return next((line.strip() for line in (doc or "").splitlines() if line.strip()), "")


def declares(cls: T) -> T:
    """Register every method of `cls` marked by `step`, in the order the class defines them."""
    for name, member in vars(cls).items():
        mark = getattr(member, "__framewick_step__", None)
        if mark is None:
            continue
        aliases, extras, what = mark
        params = []
        for p in list(inspect.signature(member).parameters.values())[1:]:
            if p.kind in (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD):
                continue
            params.append(Param(p.name, _kind(p.annotation), p.default, p.kind is inspect.Parameter.KEYWORD_ONLY,
                                **extras.get(p.name, {})))
        unknown = set(extras) - {p.name for p in params}
        if unknown:
            raise TypeError(f"{cls.__name__}.{name}: no parameter {', '.join(sorted(unknown))}")
        short = name[len(PREFIX):] if name.startswith(PREFIX) else name
        registry.add(StepInfo(name, short, cls.__name__, tuple(params), _first_line(member.__doc__),
                              module=cls.__module__, aliases=aliases, declared_in=cls.__module__, **what))
    return cls


# ---------------------------------------------------------------------------------------------
# The registry


class Registry:
    """Every declared step, in the order of FrameWick's bases and of each class's methods.

    The built-in declarations are imported on first use, in `PROVIDERS` order; a step declared
    anywhere else comes after them. `generation` changes whenever a step is added or removed,
    for tables made from the registry to know when to be made again.
    """

    #: The modules that declare the built-in steps, in the order of FrameWick's bases.
    PROVIDERS: Final = ("framewick.steps.native", "framewick.chains.lut", "framewick.editing")

    def __init__(self) -> None:
        self._steps: dict[str, tuple[int, StepInfo]] = {}
        self._presets: dict[str, Preset] = {}
        self._count = 0
        self._loaded = False
        self._lock = threading.RLock()
        self.generation = 0
        self._cache: tuple[int, tuple[StepInfo, ...]] | None = None

    def _load(self) -> None:
        if self._loaded:
            return
        with self._lock:
            if self._loaded:
                return
            for name in self.PROVIDERS:
                importlib.import_module(name)
            self._loaded = True

    def add(self, info: StepInfo) -> StepInfo:
        """Register `info` (replacing a step of the same method); returns it."""
        if info.size is None:
            raise TypeError(f"step {info.method}: its declaration says nothing of the size")
        with self._lock:
            self._count += 1
            self._steps[info.method] = (self._count, info)
            self.generation += 1
        return info

    def remove(self, method: str) -> None:
        with self._lock:
            if self._steps.pop(method, None) is not None:
                self.generation += 1

    def add_preset(self, preset: Preset) -> None:
        with self._lock:
            self._presets[preset.name] = preset
            self.generation += 1

    def steps(self) -> tuple[StepInfo, ...]:
        self._load()
        cached = self._cache
        if cached is not None and cached[0] == self.generation:
            return cached[1]
        with self._lock:
            rank = {name: index for index, name in enumerate(self.PROVIDERS)}
            ordered = sorted(self._steps.values(),
                             key=lambda item: (rank.get(item[1].declared_in, len(rank)), item[0]))
            found = tuple(info for _, info in ordered)
            self._cache = (self.generation, found)
        return found

    def get(self, method: str) -> StepInfo | None:
        self._load()
        item = self._steps.get(method)
        return item[1] if item is not None else None

    def presets(self) -> tuple[Preset, ...]:
        self._load()
        return tuple(self._presets.values())

    def preset(self, name: str) -> Preset | None:
        self._load()
        return self._presets.get(name)

    def aliases(self) -> dict[str, str]:
        """Every alias, mapped to its method."""
        return {alias: info.method for info in self.steps() for alias in info.aliases}

    def mixins(self) -> dict[str, str]:
        """Each mixin that owns a step, and where it lives, in the order of FrameWick's bases."""
        return {info.owner: info.module for info in self.steps()}


registry: Final = Registry()
