"""The frame under hostile use, each probe in a fresh interpreter so that a crash fails the test
rather than the run: the function type made or emptied by hand, runaway recursion through a
picture that is itself a framewick object, planted registry entries, and refused calls that must
not throw C++ exceptions."""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from framewick.utils.storage import Storage

REGISTRY = "_framewick_shared_2"
OBJECT_SIZE = 120  # the function object: a header and 13 pointers

PROBE = '''\
import ctypes, gc, json, sys, types
def emit(**report):
    sys.__stdout__.write("@@" + json.dumps(report) + "\\n")
def outcome(call):
    try:
        value = call()
    except BaseException as exc:
        return [type(exc).__name__, str(exc)]
    return ["ok", value if isinstance(value, (str, int, type(None))) else type(value).__name__]
'''


def probe(run_py, code):
    """Run PROBE + code in a fresh interpreter; return the one report it emits."""
    rc, out, err = run_py(PROBE + textwrap.dedent(code))
    return report_of(rc, out, err)


def report_of(rc, out, err):
    assert rc == 0, f"exit {rc}\n{err[-3000:]}"
    reports = [json.loads(line[2:]) for line in out.splitlines() if line.startswith("@@")]
    assert len(reports) == 1, out + err
    return reports[0]


def test_registry_name_is_the_function_types_module():
    # The probes below plant entries under REGISTRY (one of them a type of the object's size):
    # both must be what the frame has.
    assert repr(type(Storage.save)) == f"<class '{REGISTRY}.framewick_function'>"
    assert type(sys.modules[REGISTRY].function).__name__ == "PyCapsule"
    assert type(Storage.save).__basicsize__ == OBJECT_SIZE


# ---------------------------------------------------------------------------------------------
# The function type cannot be made by hand, and an emptied object reads safely

def test_function_type_cannot_be_instantiated(run_py):
    report = probe(run_py, """
        from framewick.utils.storage import Storage
        T = type(Storage.save)
        emit(made=outcome(lambda: T()), by_new=outcome(lambda: object.__new__(T)),
             subclass=outcome(lambda: type("Sub", (T,), {})),
             name=Storage.save.__name__)
    """)
    name = f"{REGISTRY}.framewick_function"
    assert report["made"] == ["TypeError", f"cannot create '{name}' instances"]
    assert report["by_new"][0] == "TypeError"
    assert report["subclass"][0] == "TypeError"
    assert report["name"] == "save"


def test_cleared_function_reads_as_none_and_still_calls(run_py):
    # tp_clear empties the fields when a collected cycle is broken; whatever still reaches the
    # object afterwards (a finalizer of the cycle) must not read a NULL field.
    report = probe(run_py, """
        from framewick.utils.storage import Storage
        f = Storage.optimize
        clear = ctypes.pythonapi.PyType_GetSlot
        clear.restype, clear.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        tp_clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(clear(type(f), 51))  # Py_tp_clear
        status = tp_clear(f)
        attrs = {a: outcome(lambda a=a: getattr(f, a)) for a in
                 ("__name__", "__qualname__", "__doc__", "__defaults__", "__kwdefaults__",
                  "__annotations__", "__code__", "__globals__", "__module__")}
        o = Storage()
        emit(status=status, attrs=attrs, repr=outcome(lambda: repr(f)[:25]),
             reduce=outcome(lambda: f.__reduce__()), referents=len(gc.get_referents(f)),
             call=outcome(lambda: (f(o, 7), o.quality)[1]), bound=outcome(lambda: f.__get__(o)(8) is o),
             collected=outcome(lambda: gc.collect() >= 0))
    """)
    assert report["status"] == 0
    module = report["attrs"].pop("__module__")
    assert module[0] == "AttributeError"
    assert report["attrs"] == {a: ["ok", None] for a in report["attrs"]}
    assert report["repr"] == ["ok", "<framewick function at 0x"]
    assert report["reduce"] == ["TypeError", "cannot pickle a cleared framewick function"]
    assert report["call"] == ["ok", 7] and report["bound"] == ["ok", True]
    assert report["collected"] == ["ok", True]
    assert report["referents"] == 1  # only its type is left to visit


# ---------------------------------------------------------------------------------------------
# Runaway recursion ends in RecursionError

RECURSION = {
    "rotate on itself": "fw = FrameWick(); fw.image = fw; fw.rotate(10)",
    "thumbnail on itself": "fw = FrameWick(); fw.image = fw; fw.thumbnail()",
    "histogram on itself": "fw = FrameWick(); fw.image = fw; fw.histogram()",
    "two holding each other": "a, b = FrameWick(), FrameWick(); a.image = b; b.image = a; a.rotate(10)",
}


def test_runaway_recursion_raises_recursion_error(run_py):
    report = probe(run_py, f"""
        import threading
        from framewick import FrameWick
        cases = {RECURSION!r}
        results = {{name: outcome(lambda s=s: exec(s, {{"FrameWick": FrameWick}}))[0] for name, s in cases.items()}}
        # The same on a thread with a small stack, then an ordinary call still works.
        seen = []
        threading.stack_size(512 * 1024)
        t = threading.Thread(target=lambda: seen.append(outcome(lambda: exec(cases["rotate on itself"],
                                                                              {{"FrameWick": FrameWick}}))[0]))
        t.start(); t.join()
        from PIL import Image
        fw = FrameWick(); fw.image = Image.new("RGB", (4, 2))
        emit(results=results, thread=seen, after=fw.rotate(90).image.size)
    """)
    assert report["results"] == {name: "RecursionError" for name in RECURSION}
    assert report["thread"] == ["RecursionError"]
    assert report["after"] == [2, 4]


# ---------------------------------------------------------------------------------------------
# The registry accepts only the frame's own record

PLANTED = {
    # A type of exactly the function object's size: a check of the size alone took it.
    "same-sized type": ("function = type('Fake', (), {'__slots__': tuple(f's{i}' for i in range(13))})\n"
                        f"assert function.__basicsize__ == {OBJECT_SIZE}",
                        "is not a framewick type record"),
    "plain object": ("function = 42", "is not a framewick type record"),
    "another module's capsule": ("import _datetime\nfunction = _datetime.datetime_CAPI",
                                 "is not a framewick type record"),
    "the right name, another version": ("record = (ctypes.c_uint32 * 4)(1, 120, 0, 0)",
                                        "has the wrong size, try recompiling"),
    "the right name, another size": ("record = (ctypes.c_uint32 * 4)(2, 64, 0, 0)",
                                     "has the wrong size, try recompiling"),
}

CAPSULE = f"""
new = ctypes.pythonapi.PyCapsule_New
new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
NAME = b"{REGISTRY}.function"
function = new(ctypes.addressof(record), NAME, None)
"""


@pytest.mark.parametrize("case", PLANTED)
def test_planted_registry_entry_fails_the_import(run_py, case):
    plant, text = PLANTED[case]
    if plant.startswith("record"):
        plant += CAPSULE
    report = probe(run_py, plant + f"""
registry = types.ModuleType("{REGISTRY}")
registry.function = function
sys.modules["{REGISTRY}"] = registry
first = outcome(lambda: __import__("framewick.utils.storage"))
# Taken away, the next import makes and publishes the real type.
del registry.function
for name in [m for m in sys.modules if m.startswith("framewick")]:
    del sys.modules[name]
import framewick.utils.storage as storage
emit(first=first, after=type(storage.Storage.save).__name__, entry=type(registry.function).__name__)
""")
    assert report["first"][0] == "TypeError" and text in report["first"][1], report["first"]
    assert report["after"] == "framewick_function" and report["entry"] == "PyCapsule"


def test_every_module_shares_the_one_published_type(run_py):
    report = probe(run_py, f"""
        import framewick.modules.effects, framewick.modules.geometry, framewick.modules.overlays
        import framewick.utils.inspector, framewick.utils.storage, framewick.utils.updater
        classes = [framewick.modules.effects.Effects, framewick.modules.geometry.Geometry,
                   framewick.modules.overlays.Overlays, framewick.utils.inspector.Inspector,
                   framewick.utils.storage.Storage, framewick.utils.updater.FrameWickUpdater]
        found = [{{id(type(v)) for v in vars(c).values() if type(v).__name__ == "framewick_function"}}
                 for c in classes]
        entry = sys.modules["{REGISTRY}"].function
        emit(per_class=[len(f) for f in found], kinds=len(set().union(*found)), entry=type(entry).__name__)
    """)
    assert report == {"per_class": [1] * 6, "kinds": 1, "entry": "PyCapsule"}


# ---------------------------------------------------------------------------------------------
# Refused calls throw no C++ exception

COUNTER_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
#include <stdlib.h>
/* Every C++ throw allocates its exception here first. The C++ runtime came in with a module
   loaded privately, so it is looked up in the runtime itself when it is not in the global scope. */
unsigned long framewick_exceptions_made = 0;
void *__cxa_allocate_exception(size_t size) {
    static void *(*real)(size_t);
    if (!real) {
        real = (void *(*)(size_t))dlsym(RTLD_NEXT, "__cxa_allocate_exception");
        void *runtime = real ? NULL : dlopen("libstdc++.so.6", RTLD_LAZY | RTLD_NOLOAD);
        if (runtime) real = (void *(*)(size_t))dlsym(runtime, "__cxa_allocate_exception");
        if (!real) abort();
    }
    ++framewick_exceptions_made;
    return real(size);
}
"""

REFUSED = [
    "o.crop('a', 1, 2, 3)",                 # int: not a number
    "o.crop(float('nan'), 1, 2, 3)",        # int: int() itself fails
    "o.crop(1, 2, 3, float('inf'))",        # int: OverflowError from int()
    "o.rotate('x')",                        # float
    "o.rotate(10, expand=Bad())",           # bool: __bool__ raises
    "o.flip(None)",                         # str
    "o.thumbnail([1, 2])",                  # tuple
    "o.crop(1, 2, 3)",                      # missing argument
    "o.crop(1, 2, 3, 4, 5)",                # surplus argument
    "o.flip(q=1)",                          # unknown keyword
    "o.flip('vertical', direction='x')",    # duplicate keyword
    "FrameWick.crop(o, 1, 2, 3, **{'bottom': 4, 'top': 2})",  # duplicate through the classic call
    "FrameWick.flip.__call__(o, None)",     # the classic call
]


@pytest.fixture(scope="module")
def throw_counter(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("no C compiler to build the throw counter")
    d = tmp_path_factory.mktemp("counter")
    (d / "counter.c").write_text(COUNTER_C)
    lib = d / "libcounter.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O2", str(d / "counter.c"), "-o", str(lib), "-ldl"], check=True)
    return str(lib)


def test_refused_calls_throw_no_cxx_exception(tmp_path, throw_counter):
    # Preloaded so that its __cxa_allocate_exception comes before the C++ runtime's (right after
    # a sanitizer runtime, which must stay first).
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    parts = [p for p in env.get("LD_PRELOAD", "").split(":") if p]
    at = 1 if parts and "asan" in os.path.basename(parts[0]) else 0
    env["LD_PRELOAD"] = ":".join(parts[:at] + [throw_counter] + parts[at:])
    code = PROBE + textwrap.dedent(f"""
        from framewick import FrameWick
        made = ctypes.c_ulong.in_dll(ctypes.CDLL({throw_counter!r}), "framewick_exceptions_made")
        class Bad:
            def __bool__(self):
                raise ZeroDivisionError("no truth")
        o = FrameWick()
        o.image = None
        counts = {{}}
        for call in {REFUSED!r}:
            before = made.value
            result = outcome(lambda: eval(call, {{"o": o, "FrameWick": FrameWick, "Bad": Bad}}))
            counts[call] = [result[0], made.value - before]
        # A failure inside a body is thrown: the counter sees it.
        before = made.value
        body = outcome(lambda: o.flip("sideways"))[0]
        emit(counts=counts, body=[body, made.value - before])
    """)
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                          encoding="utf-8", timeout=120)
    report = report_of(proc.returncode, proc.stdout, proc.stderr)
    assert report["body"][0] == "ValueError" and report["body"][1] > 0, "the counter saw no throw"
    kinds = {call: kind for call, (kind, _) in report["counts"].items()}
    assert all(kind in ("TypeError", "ValueError", "OverflowError", "ZeroDivisionError")
               for kind in kinds.values()), kinds
    thrown = {call: n for call, (_, n) in report["counts"].items() if n}
    assert thrown == {}


# The count and keyword texts are put together natively; keywords that do not fit that way take
# the interpreter's formatting, with the same result.
KEYWORD_TEXTS = {
    "short": "q",
    "not ASCII": "größe",
    "longer than the message buffer": "k" * 500,
    "a lone surrogate": "x\ud800y",
}


@pytest.mark.parametrize("key", KEYWORD_TEXTS.values(), ids=KEYWORD_TEXTS)
def test_keyword_texts(key):
    o = Storage()
    with pytest.raises(TypeError) as err:
        o.optimize(**{key: 1})
    assert str(err.value) == f"optimize() got an unexpected keyword argument '{key}'"


# (The one-digit counts are in test_frame's binding table.)
@pytest.mark.parametrize("call, text", [
    (lambda o: o.optimize(*range(11)), "optimize() takes at most 2 positional arguments (12 given)"),
    (lambda o: Storage.save(*[o] * 1000), "save() takes exactly 2 positional arguments (1000 given)"),
])
def test_count_texts_with_longer_numbers(call, text):
    with pytest.raises(TypeError) as err:
        call(Storage())
    assert str(err.value) == text
