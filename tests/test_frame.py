"""The module frame shared by every framewick module, observed through framewick.utils.storage:
initialisation and re-import, module and class shape, function objects, argument binding and
conversion, traceback entries, global lookup, the cached print and the catch rule."""

import builtins
import contextlib
import decimal
import enum
import fractions
import functools
import importlib.machinery
import inspect
import io
import json
import os
import pathlib
import sys
import textwrap

import numpy
import pytest
from PIL import Image

import framewick.utils.storage as storage_module
from framewick.utils.storage import Storage

SOURCE = "framewick_source/utils/storage"
MODULE = "framewick.utils.storage"


class Picture(Storage):
    pass


class MyStr(str):
    pass


def framewick_entries(exc):
    """[(function name, line, frame)] of the traceback entries that carry the module's source."""
    found, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE:
            found.append((code.co_name, tb.tb_lineno, tb.tb_frame))
        tb = tb.tb_next
    return found


def all_entries(exc):
    found, tb = [], exc.__traceback__
    while tb is not None:
        found.append((tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename))
        tb = tb.tb_next
    return found


@pytest.fixture
def obj(tape):
    """A Picture whose image is a recording stand-in (so any use of the image is seen)."""
    o = Picture()
    o.image = tape("image", mode="RGB", size=(4, 3))
    return o


# ---------------------------------------------------------------------------------------------
# Fresh-interpreter probes

PROBE = '''\
import importlib, importlib.machinery, importlib.util, json, os, sys, types
def emit(**report):
    sys.__stdout__.write("@@" + json.dumps(report) + "\\n")
def storage_file():
    """The installed storage extension, found without importing the framewick package."""
    for entry in sys.path:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = os.path.join(entry or ".", "framewick", "utils", "storage" + suffix)
            if os.path.isfile(candidate):
                return candidate
    raise LookupError("storage extension not found")
def entry_names(exc):
    names, tb = [], exc.__traceback__
    while tb is not None:
        names.append([tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename])
        tb = tb.tb_next
    return names
'''


def probe(run_py, code):
    """Run PROBE + code in a fresh interpreter; return the one report it emits."""
    rc, out, err = run_py(PROBE + textwrap.dedent(code))
    assert rc == 0, err
    reports = [json.loads(line[2:]) for line in out.splitlines() if line.startswith("@@")]
    assert len(reports) == 1, out + err
    return reports[0]


def test_installed_native_module_is_under_test():
    assert isinstance(storage_module.__loader__, importlib.machinery.ExtensionFileLoader)
    assert storage_module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert sys.modules[MODULE] is storage_module


def test_reimport_and_reload_return_the_same_module_without_running_it_again(run_py):
    report = probe(run_py, """
        import framewick.utils.storage as first
        first.marker = 1
        test_dict, cls = first.__test__, first.Storage
        del sys.modules["framewick.utils.storage"]
        second = importlib.import_module("framewick.utils.storage")
        reloaded = importlib.reload(second)
        emit(same=second is first, reloaded=reloaded is first, marker=hasattr(second, "marker"),
             test_dict=second.__test__ is test_dict, cls=second.Storage is cls,
             registered=sys.modules["framewick.utils.storage"] is first)
    """)
    assert report == dict(same=True, reloaded=True, marker=True, test_dict=True, cls=True,
                          registered=True)


IMPORT_FAILURES = {
    "PIL hidden": ("sys.modules['PIL'] = None", "del sys.modules['PIL']",
                   "ModuleNotFoundError", "import of PIL halted; None in sys.modules"),
    "PIL without Image": ("sys.modules['PIL'] = types.ModuleType('PIL')", "del sys.modules['PIL']",
                          "ImportError", "cannot import name Image"),
    "print missing": ("import builtins; saved = builtins.print; del builtins.print",
                      "builtins.print = saved", "NameError", "name 'print' is not defined"),
}


@pytest.mark.parametrize("cause", IMPORT_FAILURES)
def test_failed_first_import_is_reported_and_can_be_retried(run_py, cause):
    block, unblock, exc_type, message = IMPORT_FAILURES[cause]
    report = probe(run_py, block + """
try:
    import framewick.utils.storage
except Exception as exc:
    failure = [type(exc).__name__, str(exc), entry_names(exc)]
else:
    failure = None
""" + unblock + """
left = "framewick.utils.storage" in sys.modules
import framewick.utils.storage as mod
from PIL import Image
obj = mod.Storage()
emit(failure=failure, left=left, image=mod.Image is Image, quality=obj.quality)
""")
    assert report["failure"] is not None, "the first import did not fail"
    assert report["failure"][:2] == [exc_type, message]
    assert ["init framewick.utils.storage", SOURCE] in report["failure"][2]
    assert report["left"] is False
    assert report["image"] is True and report["quality"] == 95


def test_image_already_imported_as_submodule_is_found_in_sys_modules(run_py):
    # The package lacks the attribute, but "PIL.Image" is registered: that module is taken.
    report = probe(run_py, """
        import PIL, PIL.Image
        real = PIL.Image
        del PIL.Image
        import framewick.utils.storage as mod
        emit(image=mod.Image is real)
    """)
    assert report == {"image": True}


@pytest.mark.parametrize("preexisting", [False, True], ids=["absent", "present"])
def test_loading_under_another_name_registers_the_qualified_name(run_py, preexisting):
    report = probe(run_py, f"""
        sentinel = types.ModuleType("sentinel")
        if {preexisting}:
            sys.modules["framewick.utils.storage"] = sentinel
        origin = storage_file()
        found = importlib.util.spec_from_file_location("storage", origin)
        mod = importlib.util.module_from_spec(found)
        found.loader.exec_module(mod)
        entry = sys.modules.get("framewick.utils.storage")
        emit(name=mod.__name__, file=mod.__file__ == origin, cls_module=mod.Storage.__module__,
             registered=entry is mod, sentinel=entry is sentinel)
    """)
    assert report["name"] == "storage" and report["file"] is True
    assert report["cls_module"] == MODULE
    assert (report["registered"], report["sentinel"]) == ((False, True) if preexisting else (True, False))


def test_failed_load_under_another_name_leaves_no_broken_module_behind(run_py):
    # Sound behaviour: a failed initialisation must not leave a half-built module registered under
    # the qualified name, where a later import would pick it up without its class.
    report = probe(run_py, """
        found = importlib.util.spec_from_file_location("storage", storage_file())
        mod = importlib.util.module_from_spec(found)
        sys.modules["PIL"] = None
        try:
            found.loader.exec_module(mod)
        except ModuleNotFoundError:
            failed = True
        else:
            failed = False
        del sys.modules["PIL"]
        left = "framewick.utils.storage" in sys.modules
        try:
            usable = hasattr(importlib.import_module("framewick.utils.storage"), "Storage")
        except ImportError:
            usable = False
        emit(failed=failed, left=left, usable=usable)
    """)
    assert report == {"failed": True, "left": False, "usable": True}


def test_exec_on_another_module_object_is_refused(run_py):
    report = probe(run_py, """
        import ctypes
        import framewick.utils.storage as mod
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes, api.PyModule_GetDef.restype = [ctypes.py_object], ctypes.c_void_p
        api.PyModule_ExecDef.argtypes, api.PyModule_ExecDef.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_int
        other = types.ModuleType("other")
        try:
            api.PyModule_ExecDef(other, api.PyModule_GetDef(mod))
        except Exception as exc:
            error = [type(exc).__name__, str(exc)]
        else:
            error = None
        emit(error=error, untouched="Storage" not in vars(other), still=sys.modules["framewick.utils.storage"] is mod)
    """)
    assert report == dict(
        error=["RuntimeError", "Module 'storage' has already been imported. Re-initialisation is not supported."],
        untouched=True, still=True)


@pytest.mark.parametrize("first_load", ["succeeded", "failed"])
def test_second_interpreter_is_refused(run_py, first_load):
    pytest.importorskip("_interpreters")
    report = probe(run_py, f"""
        import _interpreters
        if "{first_load}" == "failed":
            sys.modules["PIL"] = None
        try:
            import framewick.utils.storage
        except ImportError:
            pass
        if sys.modules.get("PIL", 0) is None:
            del sys.modules["PIL"]
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        result = _interpreters.run_string(iid, "import framewick.utils.storage")
        _interpreters.destroy(iid)
        emit(error=None if result is None else [result.type.__name__, result.msg])
    """)
    assert report["error"] == ["ImportError", "Interpreter change detected - this module can only be "
                               "loaded into one interpreter per process."]


@pytest.mark.parametrize("sub_load", ["succeeded", "failed"])
def test_a_destroyed_subinterpreter_releases_its_claim(run_py, tmp_path, sub_load):
    pytest.importorskip("_interpreters")
    Image.new("RGB", (8, 6), (200, 10, 10)).save(tmp_path / "p.png")
    picture = str(tmp_path / "p.png")
    sub = textwrap.dedent(f"""
        import sys
        if "{sub_load}" == "failed":  # the effects module is claimed, and its load fails
            sys.modules["PIL"] = None
            try:
                import framewick.modules.effects
            except ImportError:
                pass
        else:
            from framewick import FrameWick
            FrameWick.load({picture!r}).apply_sharpen().resize(4, 3)
    """)
    report = probe(run_py, f"""
        import _interpreters
        legacy = _interpreters.new_config("legacy")
        iid = _interpreters.create(legacy)
        first = _interpreters.exec(iid, {sub!r})
        try:
            import framewick.modules.effects  # the subinterpreter claimed it, even where its load failed
            alive = None
        except ImportError as e:
            alive = str(e)
        _interpreters.destroy(iid)
        import framewick
        from framewick import FrameWick
        o = FrameWick.load({picture!r}).apply_sharpen()
        with framewick.quiet():
            o.resize(4, 3)
        try:
            o.resize(0, 3)
        except ValueError as e:
            entry = entry_names(e)[-1][0]
        iid = _interpreters.create(legacy)
        again = _interpreters.exec(iid, "import framewick.utils.storage")
        _interpreters.destroy(iid)
        emit(first=first is None, alive=alive, size=list(o.image.size), entry=entry,
             code=FrameWick.save.__code__.co_varnames, again=again.msg)
    """)
    refused = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert report == dict(first=True, alive=refused, size=[4, 3], entry="framewick.modules.geometry.Geometry.resize",
                          code=["self", "filename"], again=refused)


# ---------------------------------------------------------------------------------------------
# Module and class shape

def test_module_globals():
    g = vars(storage_module)
    assert g["Image"] is Image and g["os"] is os and g["Storage"] is Storage
    assert type(g["__test__"]) is dict and g["__test__"] == {}
    assert g["__builtins__"] is builtins
    assert storage_module.__doc__ is None
    assert storage_module.__package__ == "framewick.utils"
    assert "__path__" not in g
    assert [k for k in g if k in {"Image", "os", "Storage", "__test__"}] == ["Image", "os", "Storage", "__test__"]


def test_class_shape():
    assert type(Storage) is type and Storage.__bases__ == (object,)
    assert (Storage.__name__, Storage.__qualname__, Storage.__module__) == ("Storage", "Storage", MODULE)
    assert Storage.__doc__ == "Module for advanced file operations, conversion, and optimization 💾"
    members = [k for k in vars(Storage) if not (k.startswith("__") and k.endswith("__")) or k == "__init__"]
    assert members == ["__init__", "optimize", "convert_mode", "convert", "save", "load"]
    loader = vars(Storage)["load"]
    assert type(loader) is classmethod
    assert Storage.load.__self__ is Storage and Picture.load.__self__ is Picture
    assert Storage.load.__func__ is loader.__func__
    assert vars(Picture()) == {"quality": 95}


CONVERT_MODE_DOC = ("\n        🌈 Change the color mode of the image! 🌈\n        \n        Args:\n"
                    "            target_mode (str): 'RGB', 'RGBA' (with transparency), 'L' (Grayscale), 'CMYK', etc.\n        ")
CONVERT_DOC = ("\n        🔄 Professional Format Converter 🔄\n        Supports: JPEG, PNG, WEBP, GIF, TIFF, BMP, ICO, etc.\n"
               "        \n        Args:\n            target_format (str): The extension/format you want to switch to.\n        ")
SAVE_DOC = " 😎 The moment of truth! ✨\n        \n        Save the processed image to disk 💾"

# name: (docstring, defaults, annotations, parameters and locals, argument count, signature)
METHODS = {
    "__init__": (None, None, {}, ("self",), 1, "(self)"),
    "optimize": (" 😎 Make it lightweight! 😎 ", (85,), {"quality": "int"}, ("self", "quality"), 2,
                 "(self, quality: 'int' = 85)"),
    "convert_mode": (CONVERT_MODE_DOC, None, {"target_mode": "str"}, ("self", "target_mode", "background", "e"), 2,
                     "(self, target_mode: 'str')"),
    "convert": (CONVERT_DOC, None, {"target_format": "str"}, ("self", "target_format", "fmt", "e"), 2,
                "(self, target_format: 'str')"),
    "save": (SAVE_DOC, None, {"filename": "str"}, ("self", "filename"), 2, "(self, filename: 'str')"),
    "load": ("🪄 Load an image from a path 📂", None, {"path": "str"}, ("cls", "path", "instance"), 2,
             "(cls, path: 'str')"),
}


def function(name):
    member = vars(Storage)[name]
    return member.__func__ if name == "load" else member


@pytest.mark.parametrize("name", METHODS)
def test_function_attributes(name):
    doc, defaults, annotations, varnames, argcount, signature = METHODS[name]
    f = function(name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, "Storage." + name, MODULE)
    assert f.__doc__ == doc
    assert f.__defaults__ == defaults
    assert f.__annotations__ == annotations
    assert f.__code__.co_varnames == varnames and f.__code__.co_argcount == argcount
    assert f.__code__.co_filename == SOURCE
    assert f.__globals__ is vars(storage_module)
    assert str(inspect.signature(f)) == signature
    assert type(f) is type(function("optimize"))


def test_binding_like_a_plain_function():
    o = Picture()
    assert vars(Storage)["save"].__get__(None, Picture) is Storage.save
    bound = o.optimize
    assert bound.__self__ is o and bound.__func__ is Storage.optimize
    assert str(inspect.signature(bound)) == "(quality: 'int' = 85)"
    assert str(inspect.signature(Picture.load)) == "(path: 'str')"


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_name_setters(attr):
    f = Storage.save
    original = getattr(f, attr)
    for bad in (None, 5, b"save"):
        with pytest.raises(TypeError) as err:
            setattr(f, attr, bad)
        assert str(err.value) == f"{attr} must be set to a string object"
        assert getattr(f, attr) == original
    try:
        setattr(f, attr, "renamed")
        assert getattr(f, attr) == "renamed"
    finally:
        setattr(f, attr, original)


def test_assigning_defaults_warns_and_leaves_calls_alone():
    f = Storage.optimize
    with pytest.raises(TypeError) as err:
        f.__defaults__ = [10]
    assert str(err.value) == "__defaults__ must be set to a tuple object"
    with pytest.warns(RuntimeWarning):
        f.__defaults__ = (10,)
    try:
        o = Picture()
        o.optimize()
        assert o.quality == 85
    finally:
        with pytest.warns(RuntimeWarning):
            f.__defaults__ = (85,)


# ---------------------------------------------------------------------------------------------
# Argument binding

BINDING_ERRORS = [
    (lambda o: Storage.optimize(), "optimize() takes at least 1 positional argument (0 given)"),
    (lambda o: Storage.optimize(quality=5), "optimize() takes at least 1 positional argument (0 given)"),
    (lambda o: o.optimize(1, 2), "optimize() takes at most 2 positional arguments (3 given)"),
    (lambda o: o.convert_mode(), "convert_mode() takes exactly 2 positional arguments (1 given)"),
    (lambda o: o.convert_mode("RGB", "L"), "convert_mode() takes exactly 2 positional arguments (3 given)"),
    (lambda o: o.convert_mode("RGB", "L", target_mode="P"),
     "convert_mode() takes exactly 2 positional arguments (3 given)"),
    (lambda o: functools.partial(Storage.convert, o, "png")("x"),
     "convert() takes exactly 2 positional arguments (3 given)"),
    (lambda o: Storage.save(), "save() takes exactly 2 positional arguments (0 given)"),
    (lambda o: o.save(), "save() takes exactly 2 positional arguments (1 given)"),
    (lambda o: Storage.__init__(o, 1), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda o: Picture(1), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda o: Storage.load(), "load() takes exactly 2 positional arguments (1 given)"),
    (lambda o: vars(Storage)["load"].__func__(), "load() takes exactly 2 positional arguments (0 given)"),
    (lambda o: o.optimize(90, quality=80), "optimize() got multiple values for keyword argument 'quality'"),
    (lambda o: Storage.optimize(*(o, 1), **{"quality": 2}),
     "optimize() got multiple values for keyword argument 'quality'"),
    (lambda o: o.optimize(self=o), "optimize() got multiple values for keyword argument 'self'"),
    (lambda o: Storage.load(cls=Picture, path="x"), "load() got multiple values for keyword argument 'cls'"),
    (lambda o: o.optimize(q=10), "optimize() got an unexpected keyword argument 'q'"),
    (lambda o: Storage.optimize.__call__(o, q=10), "optimize() got an unexpected keyword argument 'q'"),
    (lambda o: o.save(fielname="x.png"), "save() got an unexpected keyword argument 'fielname'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS, ids=[m for _, m in BINDING_ERRORS])
def test_binding_errors(obj, tape, console, call, message):
    with pytest.raises(TypeError) as err:
        call(obj)
    assert str(err.value) == message
    assert console.lines() == [] and tape.events == []
    method = message.split("(")[0]
    assert [name for name, _, _ in framewick_entries(err.value)] == [f"{MODULE}.Storage.{method}"]


@pytest.mark.parametrize("call", [lambda o: Storage.optimize(o, **{1: 2}),
                                  lambda o: Storage.optimize.__call__(o, **{1: 2})])
def test_keywords_must_be_strings(obj, call):
    with pytest.raises(TypeError, match=r"^(optimize\(\) )?keywords must be strings$"):
        call(obj)


BINDING_OK = [
    (lambda o: Storage.optimize(o, 10), 10),
    (lambda o: o.optimize(quality=11), 11),
    (lambda o: Storage.optimize(self=o, quality=12), 12),
    (lambda o: Storage.optimize(quality=13, self=o), 13),
    (lambda o: Storage.optimize(*[o], **{"quality": 14}), 14),
    (lambda o: o.optimize(**{"".join(["qual", "ity"]): 15}), 15),  # equal text, not the same object
    (lambda o: functools.partial(Storage.optimize, quality=16)(o), 16),
    (lambda o: functools.partial(o.optimize)(17), 17),
    (lambda o: Storage.optimize.__call__(o, 18), 18),
    (lambda o: Storage.optimize.__call__(o, quality=19), 19),
    (lambda o: vars(Storage)["optimize"].__get__(o, Picture)(20), 20),
    (lambda o: o.optimize(), 85),
]


@pytest.mark.parametrize("call, quality", BINDING_OK)
def test_binding_accepts(obj, console, call, quality):
    assert call(obj) is obj
    assert obj.quality == quality


def test_receiver_and_path_by_keyword(picture):
    path = picture()
    assert type(vars(Storage)["load"].__func__(cls=Picture, path=path)) is Picture
    assert type(Storage.load(path=path)) is Storage


# ---------------------------------------------------------------------------------------------
# Annotated arguments

STR_METHODS = {
    "save": ("filename", lambda o, v: o.save(v)),
    "load": ("path", lambda o, v: Picture.load(v)),
    "convert_mode": ("target_mode", lambda o, v: o.convert_mode(v)),
    "convert": ("target_format", lambda o, v: o.convert(v)),
}
NOT_STR = [(None, "NoneType"), (b"x.png", "bytes"), (pathlib.Path("x.png"), "PosixPath"),
           (MyStr("x.png"), "MyStr"), (5, "int"), (numpy.zeros(1), "numpy.ndarray"),
           (type("Bildé", (), {})(), "Bildé"), (type("L" * 250, (), {})(), "L" * 200)]


@pytest.mark.parametrize("method", STR_METHODS)
@pytest.mark.parametrize("value, type_name", NOT_STR, ids=[t[:20] for _, t in NOT_STR])
def test_str_parameters_take_exactly_str(obj, tape, console, method, value, type_name):
    param, call = STR_METHODS[method]
    with pytest.raises(TypeError) as err:
        call(obj, value)
    assert str(err.value) == f"Argument '{param}' has incorrect type (expected str, got {type_name})"
    assert console.lines() == [] and tape.events == []
    assert framewick_entries(err.value) == []


class Level(enum.IntEnum):
    HIGH = 42


class OddInt(int):
    def __repr__(self):
        return "odd"

    def __format__(self, format_text):
        return "odd"


class Indexable:
    def __index__(self):
        return 33


INT_ACCEPTED = [
    (90, 90), (90.9, 90), (True, 1), (Level.HIGH, 42), (OddInt(77), 77), (decimal.Decimal("77.8"), 77),
    (fractions.Fraction(201, 2), 100), (numpy.int64(60), 60), (numpy.float64(55.5), 55), (Indexable(), 33),
]


@pytest.mark.parametrize("value, stored", INT_ACCEPTED, ids=[
    "int", "float", "bool", "IntEnum", "int subclass", "Decimal", "Fraction", "numpy int", "numpy float",
    "__index__"])
def test_int_parameter_converts(console, value, stored):
    o = Picture()
    o.optimize(value)
    assert type(o.quality) is int and o.quality == stored
    assert console.lines() == [f"✨ Success: Optimization mode enabled (Quality: {stored}%) 🚀"]


@pytest.mark.parametrize("value, type_name", [("5", "str"), (b"5", "bytes"), (None, "NoneType"), ([90], "list"),
                                              (type("Q" * 201, (), {})(), "Q" * 200)])
def test_int_parameter_refuses_non_numbers(console, value, type_name):
    o = Picture()
    with pytest.raises(TypeError) as err:
        o.optimize(value)
    assert str(err.value) == f"Argument 'quality' has incorrect type (expected int, got {type_name})"
    assert o.quality == 95 and console.lines() == []


@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf"), decimal.Decimal("NaN")])
def test_int_parameter_conversion_errors_are_the_interpreters(console, value):
    with pytest.raises((ValueError, OverflowError)) as expected:
        int(value)
    o = Picture()
    with pytest.raises(expected.type) as err:
        o.optimize(value)
    assert str(err.value) == str(expected.value)
    assert o.quality == 95 and console.lines() == []


# ---------------------------------------------------------------------------------------------
# Traceback entries

def _unknown_extension(pic, tmp_path):
    Picture.load(pic()).save(str(tmp_path / "out.unknownext"))


def _no_quality(pic, tmp_path):
    class NoInit(Storage):
        def __init__(self):
            pass
    o = NoInit()
    o.image = Image.new("RGB", (2, 2))
    o.save(str(tmp_path / "out.png"))


def _not_a_picture(pic, tmp_path):
    path = tmp_path / "text.png"
    path.write_text("not a picture")
    Picture.load(str(path))


@pytest.mark.parametrize("failing, exc_type, method", [
    (_unknown_extension, ValueError, "save"),
    (_no_quality, AttributeError, "save"),
    (_not_a_picture, Image.UnidentifiedImageError, "load"),
])
def test_error_leaving_a_method_gets_one_entry(picture, tmp_path, console, failing, exc_type, method):
    with pytest.raises(exc_type) as err:
        failing(picture, tmp_path)
    entries = framewick_entries(err.value)
    assert [name for name, _, _ in entries] == [f"{MODULE}.Storage.{method}"]
    assert entries[0][2].f_globals is vars(storage_module)
    names = [name for name, _ in all_entries(err.value)]
    # The method's entry sits between the caller's frames and the library's frames it called.
    position = names.index(f"{MODULE}.Storage.{method}")
    assert all(SOURCE != f and "PIL" not in f for _, f in all_entries(err.value)[:position])


def test_binding_and_conversion_errors_carry_the_definition_line(obj):
    lines = []
    for call in (lambda: Storage.optimize(), lambda: obj.optimize(q=1), lambda: obj.optimize(float("nan"))):
        with pytest.raises((TypeError, ValueError)) as err:
            call()
        (entry,) = framewick_entries(err.value)
        assert entry[0] == f"{MODULE}.Storage.optimize"
        lines.append(entry[1])
    assert len(set(lines)) == 1, lines


# ---------------------------------------------------------------------------------------------
# Globals and the cached print

def test_image_global_is_looked_up_at_use(monkeypatch, tape, console, picture):
    path = picture()
    opened = tape("opened")
    monkeypatch.setattr(storage_module, "Image", tape("Image", results={"open": opened}))
    assert Picture.load(path).image is opened
    assert tape.calls() == [("Image", "open", (path,), {})]


@pytest.mark.parametrize("name", ["os", "Image"])
def test_missing_global_raises_name_error(monkeypatch, console, picture, name):
    path = picture()
    monkeypatch.delattr(storage_module, name)
    with pytest.raises(NameError) as err:
        Picture.load(path)
    assert str(err.value) == f"name '{name}' is not defined"
    assert console.lines() == []


def test_global_falls_back_to_builtins(monkeypatch, tape, console):
    monkeypatch.delattr(storage_module, "os")
    monkeypatch.setattr(builtins, "os", tape("os", path=tape("os.path", results={"exists": False})), raising=False)
    with pytest.raises(FileNotFoundError):
        Picture.load("anything.png")
    assert tape.calls() == [("os.path", "exists", ("anything.png",), {})]


@pytest.mark.parametrize("where", [builtins, storage_module], ids=["builtins", "module global"])
def test_print_is_cached(monkeypatch, console, where):
    seen = []
    monkeypatch.setattr(where, "print", lambda *a, **k: seen.append(a), raising=False)
    Picture().optimize(50)
    assert seen == []
    assert console.lines() == ["✨ Success: Optimization mode enabled (Quality: 50%) 🚀"]


def test_print_writes_to_the_current_stdout():
    with contextlib.redirect_stdout(io.StringIO()) as out:
        Picture().optimize(7)
    assert out.getvalue() == "✨ Success: Optimization mode enabled (Quality: 7%) 🚀\n"


# ---------------------------------------------------------------------------------------------
# Catching

class Halt(BaseException):
    pass


PROTECTED = {
    "convert_mode": (lambda o: o.convert_mode("l"), "🌈 Attempting to convert mode to: l...",
                     "❌ Error: Could not convert mode to l. Reason: 'XYZ'"),
    "convert": (lambda o: o.convert("gif"), "🔄 Converting image to GIF format... ⏳",
                "❌ Error: Format conversion to GIF failed. Reason: 'XYZ'"),
}


@pytest.mark.parametrize("method", PROTECTED)
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, Halt])
def test_base_exceptions_pass_through(tape, console, method, exc_type):
    call, announce, _ = PROTECTED[method]
    o = Picture()
    o.image = original = tape("image", mode="RGB", results={"convert": exc_type("stop")})
    with pytest.raises(exc_type):
        call(o)
    assert console.lines() == [announce] and o.image is original


@pytest.mark.parametrize("method", PROTECTED)
@pytest.mark.parametrize("outer", [None, LookupError("outer")], ids=["no handler", "inside a handler"])
def test_exceptions_are_caught_reported_and_context_restored(tape, console, method, outer):
    call, announce, failure = PROTECTED[method]
    inner = KeyError("XYZ")
    o = Picture()
    o.image = original = tape("image", mode="RGB", results={"convert": inner})
    if outer is None:
        assert call(o) is o
        assert sys.exception() is None
    else:
        try:
            raise outer
        except LookupError:
            assert call(o) is o
            assert sys.exception() is outer
    assert console.lines() == [announce, failure] and o.image is original
    assert [name for name, _, _ in framewick_entries(inner)] == [f"{MODULE}.Storage.{method}"]
