"""What the hardening tests share: the catalogue of every framewick function, stand-ins for the
picture and for the libraries the modules call, and an oracle that says, from a function's
signature and annotations alone, what a call must do.

The oracle follows the binding and conversion rules of the frame (positional and keyword
binding, the count and keyword texts, the int/float/bool conversions, then the exact str/tuple
tests) and the few value checks of the modules' own; everything past binding runs against
stand-ins that accept anything, so a call either succeeds or fails for a reason the oracle knows.
"""

from __future__ import annotations

import ctypes
import dataclasses
import importlib
import os
import sys
import types
from collections import Counter

import numpy

MODULES = {
    "storage": "framewick.utils.storage",
    "effects": "framewick.modules.effects",
    "geometry": "framewick.modules.geometry",
    "overlays": "framewick.modules.overlays",
    "inspector": "framewick.utils.inspector",
    "updater": "framewick.utils.updater",
}
CLASSES = {"storage": "Storage", "effects": "Effects", "geometry": "Geometry", "overlays": "Overlays",
           "inspector": "Inspector", "updater": "FrameWickUpdater"}

# Calls made by the fuzz, per function, and their outcomes (printed at the end of the session).
CALLS: Counter = Counter()
OUTCOMES: Counter = Counter()
# Faults injected by test_hard_faults, by kind.
FAULTS: Counter = Counter()


def module(short):
    return importlib.import_module(MODULES[short])


# ---------------------------------------------------------------------------------------------
# The catalogue

@dataclasses.dataclass(frozen=True)
class Func:
    """One framewick function: a method of a module's class or a module-level lambda."""

    short: str            # the module's short name
    owner: str            # class name, or "PRESETS" for the preset lambdas
    name: str             # the key it is found under (method name or preset name)
    fn: object            # the function object itself
    classmethod: bool

    @property
    def label(self):
        return f"{self.short}.{self.owner}.{self.name}"

    @property
    def params(self):
        code = self.fn.__code__
        return code.co_varnames[:code.co_argcount]

    @property
    def defaults(self):
        return self.fn.__defaults__ or ()

    @property
    def annotations(self):
        return {k: v for k, v in self.fn.__annotations__.items() if k != "return"}

    @property
    def bare_name(self):
        # The name the argument messages carry: the one the function was made with.
        return self.fn.__code__.co_name


def catalogue():
    """Every function of every framewick class, plus the preset lambdas, in definition order."""
    found = []
    for short, cls_name in CLASSES.items():
        cls = getattr(module(short), cls_name)
        for name, value in vars(cls).items():
            if isinstance(value, classmethod):
                found.append(Func(short, cls_name, name, value.__func__, True))
            elif type(value).__name__ == "framewick_function":
                found.append(Func(short, cls_name, name, value, False))
    for name, fn in module("effects").PRESETS.items():
        found.append(Func("effects", "PRESETS", name, fn, False))
    return found


# ---------------------------------------------------------------------------------------------
# Stand-ins

class Picture:
    """A stand-in picture: the attributes of a small RGB picture, and every method (any name)
    accepts anything and returns a picture at once."""

    def __init__(self):
        self.mode = "RGB"
        self.size = (4, 4)
        self.width = 4
        self.height = 4
        self.format = None
        self.info = {}
        self.status_code = 404

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return self._any

    def _any(self, *args, **kwargs):
        return self

    def getdata(self, *args, **kwargs):
        return [(16, 32, 48), (255, 0, 7), (16, 32, 48), (1, 2, 3)]

    get_flattened_data = getdata

    def split(self, *args, **kwargs):
        return (self, self, self, self)

    def histogram(self, *args, **kwargs):
        return HISTOGRAM

    def __array__(self, dtype=None, copy=None):
        return numpy.full((2, 2, 3), 64, dtype=numpy.uint8)


HISTOGRAM = [0] * 768


class Stub:
    """Stands in for a library module, class or constant: any attribute is a Stub, and calling
    one returns a stand-in picture."""

    def __init__(self, label):
        object.__setattr__(self, "_label", label)

    def __repr__(self):
        return f"<Stub {self._label}>"

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return Stub(f"{self._label}.{name}")

    def __call__(self, *args, **kwargs):
        return Picture()


# The module globals each framewick module reads at run time, and the names its function-local
# imports take from PIL.
LIBRARY_GLOBALS = {
    "storage": ["Image"],
    "effects": ["ImageEnhance", "ImageOps", "ImageFilter", "Image", "ImageChops"],
    "geometry": ["Image", "ImageOps"],
    "overlays": ["Image", "ImageDraw", "ImageFont"],
    "inspector": ["Image"],
    "updater": ["threading", "requests", "version", "datetime"],
}
PIL_NAMES = ["Image", "ImageDraw", "ImageOps", "ImageEnhance", "ImageFilter", "ImageChops", "ImageFont"]


def install_standins(monkeypatch):
    """Replace every library the modules reach (module globals and `from PIL import ...` inside
    methods) by Stubs, for the rest of the test."""
    for short, names in LIBRARY_GLOBALS.items():
        mod = module(short)
        for name in names:
            monkeypatch.setattr(mod, name, Stub(name))
    fake_pil = types.ModuleType("PIL")
    for name in PIL_NAMES:
        setattr(fake_pil, name, Stub(f"PIL.{name}"))
    monkeypatch.setitem(sys.modules, "PIL", fake_pil)


class Sink:
    """A stdout that takes every write and keeps nothing."""

    encoding = "utf-8"
    errors = "strict"

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def combined_class():
    """The class that combines the seven mixins (the package's own)."""
    import framewick
    return framewick.FrameWick


def receiver_for(func):
    """A fresh receiver for `func` (for a class method: the class it is called on)."""
    if func.owner == "PRESETS":
        return None
    if func.short == "updater":
        updater = module("updater").FrameWickUpdater("framewick", "1.0.0")
        return updater
    cls = combined_class()
    if func.classmethod:
        return cls
    obj = cls()
    obj.image = Picture()
    return obj


# ---------------------------------------------------------------------------------------------
# The oracle

def tp_name(tp) -> str:
    """The C-level name of a type (tp_name), which the interpreter's messages show: a class made
    by a class statement has its bare name, a built-in or extension type its dotted name."""
    offset = 3 * ctypes.sizeof(ctypes.c_void_p)  # after ob_refcnt, ob_type, ob_size
    address = ctypes.c_void_p.from_address(id(tp) + offset).value
    return ctypes.string_at(address).decode("utf-8")


def c_format_s(text: str, precision: int) -> str:
    """What "%.<precision>s" of PyUnicode_FromFormat makes of a UTF-8 text: cut after
    `precision` bytes, a broken character replaced."""
    return text.encode("utf-8")[:precision].decode("utf-8", "replace")


_PyFloat_AsDouble = ctypes.pythonapi.PyFloat_AsDouble
_PyFloat_AsDouble.argtypes = [ctypes.py_object]
_PyFloat_AsDouble.restype = ctypes.c_double


def as_double(value) -> float:
    """The interpreter's own float conversion of an argument (the `float` annotation's rule)."""
    return _PyFloat_AsDouble(value)


_P = ctypes.sizeof(ctypes.c_void_p)
_TP_AS_NUMBER = 12 * _P          # PyTypeObject.tp_as_number: after the 3-word head and tp_name ... tp_repr
_NB_INT, _NB_INDEX = 16 * _P, 33 * _P   # PyNumberMethods.nb_int, .nb_index


def is_number(tp) -> bool:
    """Whether a type takes part in the number protocol as int() uses it: it fills the nb_int or
    nb_index slot. (An attribute `__int__` found through the class is not enough: numpy.str_
    inherits one from numpy.generic while its slots are str's; int() would parse its text.)"""
    numbers = ctypes.c_void_p.from_address(id(tp) + _TP_AS_NUMBER).value
    if not numbers:
        return False
    return any(ctypes.c_void_p.from_address(numbers + slot).value for slot in (_NB_INT, _NB_INDEX))


def as_int(param: str, value):
    """The `int` annotation's rule: an exact int as it is, any other number through int(),
    anything else refused."""
    if type(value) is int:
        return value
    if is_number(type(value)):
        return int(value)
    raise TypeError(f"Argument '{c_format_s(param, 200)}' has incorrect type "
                    f"(expected int, got {c_format_s(tp_name(type(value)), 200)})")


def exact_type(param: str, value, expected: type):
    if type(value) is not expected:
        raise TypeError(f"Argument '{c_format_s(param, 200)}' has incorrect type "
                        f"(expected {expected.__name__}, got {c_format_s(tp_name(type(value)), 200)})")


def _same_text(a: str, b: str) -> bool:
    return str.__eq__(str.__str__(a), str.__str__(b))


def bind(func: Func, args: list, kwargs: dict) -> dict:
    """The frame's binding of a call (receiver included in `args`); raises the count or keyword
    TypeError exactly as the frame must."""
    params, name = func.params, func.bare_name
    n, m, given = len(params), len(params) - len(func.defaults), len(args)

    def count_error():
        if m == n:
            qualifier, expected = "exactly", n
        elif given < m:
            qualifier, expected = "at least", m
        else:
            qualifier, expected = "at most", n
        plural = "" if expected == 1 else "s"
        return TypeError(f"{c_format_s(name, 200)}() takes {qualifier} {expected} "
                         f"positional argument{plural} ({given} given)")

    if given > n or (not kwargs and given < m):
        raise count_error()
    bound = dict(zip(params, args))
    for key, value in kwargs.items():
        later = [p for p in params[given:] if _same_text(p, key)]
        if later:
            bound[later[0]] = value
            continue
        text = str.__str__(key)
        if any(_same_text(p, key) for p in params[:given]):
            raise TypeError(f"{name}() got multiple values for keyword argument '{text}'")
        raise TypeError(f"{name}() got an unexpected keyword argument '{text}'")
    if any(p not in bound for p in params[given:m]):
        raise count_error()
    for p, default in zip(params[m:], func.defaults):
        bound.setdefault(p, default)
    return bound


def convert(func: Func, bound: dict) -> dict:
    """The annotation conversions, in signature order, then the exact-type tests in signature
    order; returns the values the body sees."""
    values = dict(bound)
    annotations = func.annotations
    for p in func.params:
        ann = annotations.get(p)
        if ann == "int":
            values[p] = as_int(p, bound[p])
        elif ann == "float":
            values[p] = as_double(bound[p])
        elif ann == "bool":
            values[p] = bool(bound[p])
    for p in func.params:
        ann = annotations.get(p)
        if ann in ("str", "tuple"):
            exact_type(p, bound[p], str if ann == "str" else tuple)
    return values


QUALITY_RANGE = "❌ Error: Quality must be between 1 and 100."
FACTOR_RANGE = "❌ Error: Factor must be between 0.0 and 1.0"
BLUR_RANGE = "❌ Error: Blur radius must be between -2147483583 and 2147483583."
DIRECTION = "❌ Error: Direction must be 'horizontal' or 'vertical'."
SIZE_RANGE = "❌ Error: Width and height must be positive integers."


def shown(value) -> str:
    """A value as a status line shows it (f-string rules): a str as it is, an exact int or float
    as its repr (for an int, within the interpreter's digit limit), anything else as
    format(value, "")."""
    if type(value) is str:
        return value
    if type(value) in (int, float):
        return repr(value)
    return format(value, "")


def body(func: Func, values: dict):
    """The modules' own checks of converted values, and the status lines that show an argument
    (against stand-ins nothing else can fail)."""
    name = func.name if func.owner != "PRESETS" else None
    if name == "optimize" and not (1 <= values["quality"] <= 100):
        raise ValueError(QUALITY_RANGE)
    if name == "apply_grayscale" and not (0.0 <= values["factor"] <= 1.0):
        raise ValueError(FACTOR_RANGE)
    if name == "apply_blur" and not (-2147483583 <= values["radius"] <= 2147483583):
        raise ValueError(BLUR_RANGE)
    if name == "flip" and values["direction"].lower() not in ("horizontal", "vertical"):
        raise ValueError(DIRECTION)
    if name == "resize" and (values["width"] <= 0 or values["height"] <= 0):
        raise ValueError(SIZE_RANGE)
    if name == "double_exposure":
        int(values["opacity"] * 255.0)
    if name == "load" and not os.path.exists(values["path"]):
        raise FileNotFoundError("❌ Error: File " + values["path"] + " not found!")
    for shown_param in {"resize": ("width", "height"), "round_corners": ("radius",),
                        "extract_color_palette": ("num_colors",)}.get(name, ()):
        shown(values[shown_param])


def expect(func: Func, args: list, kwargs: dict):
    """(None, values) when the call must succeed, else (exception, None)."""
    try:
        values = convert(func, bind(func, args, kwargs))
        body(func, values)
    except BaseException as e:  # the oracle's own outcome is the expectation, whatever it is
        return e, None
    return None, values


RETURNS_SELF_NOT = {"__init__", "load", "histogram", "get_metadata", "extract_color_palette",
                    "_check_logic", "_notify_user"}


def check_result(func: Func, values: dict, result):
    """What a successful call returns."""
    if func.owner == "PRESETS":
        assert isinstance(result, Picture), result
    elif func.name in ("__init__", "_check_logic", "_notify_user"):
        assert result is None, result
    elif func.name == "load":
        assert isinstance(result, values["cls"]), result
    elif func.name == "histogram":
        assert result is HISTOGRAM
    elif func.name == "get_metadata":
        assert result is values["self"].image.info
    elif func.name == "extract_color_palette":
        assert isinstance(result, list) and all(type(c) is str for c in result), result
    else:
        assert result is values["self"], result


def same_exception(expected: BaseException, got: BaseException) -> bool:
    return type(expected) is type(got) and str(expected) == str(got)
