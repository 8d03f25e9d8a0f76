"""Fuzzed arguments: every framewick function called with generated mixes of positional and
keyword arguments of many kinds, against stand-ins, the outcome checked against the oracle of
hard_support (success, or the exact exception and text the binding rules give).

FRAMEWICK_FUZZ_CALLS sets the number of calls for the whole run (`make fuzz`: 100,000; the
normal suite a few thousand). The count made is printed at the end of the session.
"""

import contextlib
import decimal
import enum
import math
import os
import sys
import warnings

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import hard_support as hs

TOTAL_CALLS = int(os.environ.get("FRAMEWICK_FUZZ_CALLS", "3000"))
FUNCS = hs.catalogue()
PER_FUNCTION = math.ceil(TOTAL_CALLS / len(FUNCS))
# Each example makes at least this many calls (one spec, executed in every form that applies).
MIN_CALLS_PER_EXAMPLE = 2


# ---------------------------------------------------------------------------------------------
# Hostile values

class Level(enum.IntEnum):
    LOW = 1
    NEGATIVE = -5
    HUGE = 2**80


class Bits(enum.IntFlag):
    A = 1
    B = 2


class Text(str):
    pass


class LoudText(str):
    def __eq__(self, other):
        raise RuntimeError("LoudText.__eq__ refused")

    __hash__ = str.__hash__


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("__index__ refused")


class BadInt:
    def __int__(self):
        raise ArithmeticError("__int__ refused")


class WrongInt:
    def __int__(self):
        return "seven"


class BadFloat:
    def __float__(self):
        raise FloatingPointError("__float__ refused")


class WrongFloat:
    def __float__(self):
        return 1


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class GoodIndex:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadBool:
    def __bool__(self):
        raise LookupError("__bool__ refused")


class BadLen:
    def __len__(self):
        raise IndexError("__len__ refused")


class BadEq:
    def __eq__(self, other):
        raise RuntimeError("__eq__ refused")

    __hash__ = object.__hash__


class Halt(BaseException):
    """Not an Exception: nothing may catch it."""


class Halting:
    def __index__(self):
        raise Halt("halted in __index__")

    def __bool__(self):
        raise Halt("halted in __bool__")


# A type name longer than the messages' 200-byte field, with multi-byte characters at the cut.
LongName = type("N" * 150 + "é" * 60, (), {})

HOSTILE = [BadIndex(), BadInt(), WrongInt(), BadFloat(), WrongFloat(), FloatLike(0.25),
           FloatLike(float("nan")), GoodIndex(7), GoodIndex(-3), GoodIndex(2**70), BadBool(), BadLen(),
           BadEq(), Halting(), LongName(), object(), numpy.arange(3), numpy.array(5),
           numpy.array([0.5]), 1j, float("nan"), -float("inf"), 10**400]

ints = st.one_of(st.integers(), st.integers(-2**300, 2**300),
                 st.sampled_from([0, 1, -1, 85, 100, 101, 2**31, 2**63, -2**63 - 1, 2**64, 10**400]))
floats = st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                   st.sampled_from([0.5, 1.0, 0.0, -0.0, 1e-300, 1e308, 255.5]))
# Bounded: int() of a Decimal with a million-digit exponent takes seconds, and shows nothing new.
decimals = st.one_of(st.decimals(min_value=decimal.Decimal("-1e400"), max_value=decimal.Decimal("1e400"),
                                 allow_nan=False),
                     st.sampled_from([decimal.Decimal("NaN"), decimal.Decimal("sNaN"),
                                      decimal.Decimal("Infinity"), decimal.Decimal("-Infinity"),
                                      decimal.Decimal("1e5000"), decimal.Decimal("2.5")]))
numpy_scalars = st.one_of(
    st.integers(-2**63, 2**63 - 1).map(numpy.int64), st.integers(0, 2**64 - 1).map(numpy.uint64),
    st.integers(-128, 127).map(numpy.int8), st.floats().map(numpy.float64),
    st.floats(width=32).map(numpy.float32), st.floats(width=16).map(numpy.float16),
    st.booleans().map(numpy.bool_), st.complex_numbers(max_magnitude=1e6).map(numpy.complex128),
    st.text(max_size=4).map(numpy.str_))
texts = st.one_of(st.text(max_size=12),
                  st.sampled_from(["RGB", "rgb", "RGBA", "L", "horizontal", "VERTICAL", "Vertical ",
                                   "vintage", "Noir", "cool", "", ".", " .Jpg ", "gif", "BMP", "x\x00y",
                                   "\udc80", "1.0.0", "2.0", "self", "quality"]))
scalars = st.one_of(
    ints, st.booleans(), floats, decimals, st.fractions(), st.complex_numbers(), numpy_scalars,
    st.sampled_from(list(Level) + list(Bits)), texts, texts.map(Text), texts.map(LoudText),
    st.binary(max_size=8), st.binary(max_size=4).map(bytearray), st.none(), st.sampled_from(HOSTILE))
values = st.one_of(scalars, st.tuples(ints, ints), st.lists(scalars, max_size=3),
                   st.lists(scalars, max_size=4).map(tuple))

GOOD = {
    "int": st.one_of(st.integers(1, 100), st.floats(1, 99), st.booleans()),
    "float": st.one_of(st.floats(0, 1), st.integers(0, 1)),
    "str": st.sampled_from(["RGB", "rgb", "horizontal", "vertical", "vintage", "noir", "png", ".",
                            "1.0.0", "white"]),
    "tuple": st.tuples(st.integers(0, 9), st.integers(0, 9)),
    "bool": st.booleans(),
}
EXTRA_KEYWORDS = ["q", "x", "Self", "img_", "é", "quality", "path", "radius", "self", "cls", ""]


def argument(func, position):
    """A value for the parameter at `position` (receiver excluded): often a good one."""
    params = func.params
    index = position + (0 if func.owner == "PRESETS" else 1)
    ann = func.annotations.get(params[index]) if index < len(params) else None
    good = GOOD.get(ann)
    return st.one_of(good, values) if good is not None else values


@st.composite
def call_spec(draw, func):
    """(receiver mode, positional args after the receiver, keyword args, through tp_call)."""
    first = 0 if func.owner == "PRESETS" else 1
    n = len(func.params) - first
    if draw(st.integers(0, 2)) == 0:
        # A well-formed call: the receiver, then the parameters in order, some defaults left out.
        count = draw(st.integers(len(func.params) - len(func.defaults) - first, n))
        args = [draw(argument(func, i)) for i in range(count)]
        return ("bound" if func.owner != "PRESETS" else "positional"), args, {}, draw(st.booleans())
    count = draw(st.integers(0, n + 1))
    args = [draw(argument(func, i)) for i in range(count)]
    names = draw(st.lists(st.sampled_from(list(func.params) + EXTRA_KEYWORDS), max_size=3))
    kwargs = {}
    for name in names:
        key = draw(st.sampled_from([name, Text(name)]))
        kwargs[key] = draw(argument(func, func.params.index(name) - first)
                           if name in func.params[first:] else values)
    modes = ["positional", "keyword", "absent"] + ([] if func.owner == "PRESETS" else ["bound"])
    mode = draw(st.sampled_from(modes))
    return mode, args, kwargs, draw(st.booleans())


def forms(func, mode, args, kwargs, tp_call):
    """(callable, args, kwargs, the receiver-inclusive args and kwargs the oracle sees)."""
    receiver = hs.receiver_for(func) if func.owner != "PRESETS" else hs.Picture()
    raw = func.fn.__call__ if tp_call else func.fn
    # A receiver given by keyword is always the real one: past binding, the body must run on it.
    kwargs = {k: (receiver if k == func.params[0] else v) for k, v in kwargs.items()}
    if mode == "bound":
        if func.classmethod:
            target = getattr(receiver, func.name)
        else:
            target = getattr(receiver, func.name)
        return target, args, kwargs, [receiver] + args, kwargs
    if mode == "positional":
        return raw, [receiver] + args, kwargs, [receiver] + args, kwargs
    if mode == "keyword":
        kw = {func.params[0]: receiver, **kwargs}
        return raw, args, kw, args, kw
    # No receiver at all: keywords only, none of them the receiver's, so binding must refuse.
    kw = {k: v for k, v in kwargs.items() if k != func.params[0]}
    return raw, [], kw, [], kw


def run_call(func, spec):
    mode, args, kwargs, tp_call = spec
    target, call_args, call_kwargs, oracle_args, oracle_kwargs = forms(func, mode, args, kwargs, tp_call)
    expected, bound_values = hs.expect(func, oracle_args, oracle_kwargs)
    try:
        result = target(*call_args, **call_kwargs)
        got = None
    except BaseException as e:  # every outcome is compared with the oracle's
        got = e
    hs.CALLS[func.label] += 1
    hs.OUTCOMES["success" if got is None else type(got).__name__] += 1
    assert sys.exception() is None, "the exception context leaked out of the call"
    where = f"{func.label} mode={mode} tp_call={tp_call} args={call_args!r} kwargs={call_kwargs!r}"
    if expected is None:
        assert got is None, f"{where}: expected success, raised {type(got).__name__}: {got}"
        hs.check_result(func, bound_values, result)
    else:
        assert got is not None, f"{where}: expected {type(expected).__name__}: {expected}, succeeded"
        assert not isinstance(got, SystemError), f"{where}: SystemError {got}"
        assert hs.same_exception(expected, got), (
            f"{where}: expected {type(expected).__name__}: {expected!s}\n"
            f"                      got {type(got).__name__}: {got!s}")


@pytest.fixture
def standins(monkeypatch):
    hs.install_standins(monkeypatch)


@pytest.mark.parametrize("func", FUNCS, ids=[f.label for f in FUNCS])
def test_fuzzed_calls_match_the_binding_rules(func, standins):
    before = hs.CALLS[func.label]

    @settings(max_examples=math.ceil(PER_FUNCTION / MIN_CALLS_PER_EXAMPLE), deadline=None,
              database=None, suppress_health_check=list(HealthCheck))
    @given(specs=st.lists(call_spec(func), min_size=MIN_CALLS_PER_EXAMPLE, max_size=4))
    def fuzz(specs):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            # NumPy's own warnings about the gamma curve's arithmetic are no binding outcome.
            warnings.filterwarnings("ignore", category=RuntimeWarning,
                                    message=r"(overflow|invalid value|divide by zero) encountered")
            for spec in specs:
                run_call(func, spec)

    with contextlib.redirect_stdout(hs.Sink()):
        fuzz()
    assert hs.CALLS[func.label] - before >= PER_FUNCTION
