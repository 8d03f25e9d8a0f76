"""Injected faults: a dependency missing at import (then present: the retry succeeds), a `print`
that fails at each of a method's status lines, an interrupt raised by the picture inside
`convert_mode` and `convert`, and a module global taken away."""

import contextlib
import json

import pytest
from PIL import Image

import hard_support as hs

FAULTS = hs.FAULTS


def picture_state(obj):
    im = obj.image
    return im.mode, im.size, im.tobytes()


# ---------------------------------------------------------------------------------------------
# A dependency missing at import, in fresh interpreters

PROBE = r'''
import importlib, importlib.util, json, sys, types
# Reach the module without the package's __init__, which loads every image module itself.
spec = importlib.util.find_spec("framewick")
package = types.ModuleType("framewick")
package.__path__ = list(spec.submodule_search_locations)
sys.modules["framewick"] = package

def entries(exc):
    found, tb = [], exc.__traceback__
    while tb is not None:
        found.append([tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename])
        tb = tb.tb_next
    return found

name, blocked = sys.argv[1], sys.argv[2:]
saved = {b: sys.modules.get(b) for b in blocked}
for b in blocked:
    sys.modules[b] = None
attempts = []
for _ in range(3):
    try:
        importlib.import_module(name)
    except ImportError as e:
        attempts.append([type(e).__name__, str(e), entries(e), name in sys.modules])
    else:
        attempts.append(None)
for b, module in saved.items():
    if module is None:
        del sys.modules[b]
    else:
        sys.modules[b] = module
mod = importlib.import_module(name)
print("@@" + json.dumps({"attempts": attempts, "names": sorted(vars(mod))}))
'''

IMPORT_FAULTS = [
    ("storage", ["PIL"]), ("effects", ["PIL"]), ("effects", ["PIL.ImageChops"]),
    ("geometry", ["PIL"]), ("geometry", ["PIL.ImageOps"]), ("overlays", ["PIL"]),
    ("overlays", ["PIL.ImageFont"]), ("inspector", ["PIL"]), ("updater", ["requests"]),
    ("updater", ["packaging"]), ("updater", ["packaging.version"]),
]


def first_blocked_message(blocked):
    return f"import of {blocked} halted; None in sys.modules"


@pytest.mark.parametrize("short,blocked", IMPORT_FAULTS, ids=[f"{s}-{b[0]}" for s, b in IMPORT_FAULTS])
def test_missing_dependency_fails_the_import_and_the_retry_succeeds(short, blocked, run_py, tmp_path):
    probe = tmp_path / "probe.py"
    probe.write_text(PROBE)
    qualified = hs.MODULES[short]
    args = [qualified] + blocked
    rc, out, err = run_py(f"import runpy, sys; sys.argv = ['probe', *{args!r}]; "
                          f"runpy.run_path({str(probe)!r}, run_name='__main__')")
    assert rc == 0, err
    report = json.loads(out.split("@@", 1)[1])
    FAULTS["import"] += len(report["attempts"])
    for attempt in report["attempts"]:
        assert attempt is not None, "the import succeeded with a dependency missing"
        kind, message, entries, left = attempt
        assert (kind, message) == ("ModuleNotFoundError", first_blocked_message(blocked[0]))
        assert [f"init {qualified}", "framewick_source/" + qualified.split(".", 1)[1].replace(".", "/")] in entries
        assert not left, "a failed import left the module in sys.modules"
    assert hs.CLASSES[short] in report["names"] and "__test__" in report["names"]


def test_package_import_without_pillow_can_be_retried(run_py):
    rc, out, err = run_py("""
        import sys
        sys.modules["PIL"] = None
        for _ in range(2):
            try:
                from framewick import FrameWick
            except ModuleNotFoundError as e:
                assert str(e) == "import of PIL halted; None in sys.modules", e
            else:
                raise SystemExit("imported without Pillow")
        del sys.modules["PIL"]
        from framewick import FrameWick
        print(FrameWick().quality)
    """)
    FAULTS["import"] += 2
    assert (rc, out.strip()) == (0, "95"), err


def test_numpy_missing_when_gamma_runs_then_present(run_py, tmp_path):
    path = tmp_path / "p.png"
    Image.new("RGB", (4, 3), (64, 128, 255)).save(path)
    rc, out, err = run_py(f"""
        import sys
        from framewick import FrameWick
        fw = FrameWick.load({str(path)!r})
        before = fw.image
        sys.modules["numpy"] = None
        try:
            fw.adjust_gamma(2.0)
        except ModuleNotFoundError as e:
            assert str(e) == "import of numpy halted; None in sys.modules", e
            assert fw.image is before
        else:
            raise SystemExit("gamma ran without NumPy")
        del sys.modules["numpy"]
        print(fw.adjust_gamma(2.0).image.getpixel((0, 0)))
    """)
    FAULTS["import"] += 1
    assert rc == 0, err
    assert out.splitlines()[-1] == "(16, 64, 255)"


# ---------------------------------------------------------------------------------------------
# print failing

class FailingStdout:
    """A stdout whose writes fail from the `fail_at`-th print on (only that one if `once`)."""

    encoding = "utf-8"
    errors = "strict"

    def __init__(self, fail_at, once=False):
        self.fail_at, self.once = fail_at, once
        self.writes = []

    def write(self, text):
        prints = sum(1 for w in self.writes if w != "\n") + (text != "\n")
        if text != "\n" and (prints == self.fail_at or (prints > self.fail_at and not self.once)):
            self.writes.append(None)
            raise OSError(28, "No space left on device")
        self.writes.append(text)
        return len(text)

    def flush(self):
        pass

    def lines(self):
        return [w for w in self.writes if w not in ("\n", None)]


# (method, args, how many lines it prints, which of them come before the change).
PRINTING = [
    ("optimize", (80,), 1, set()),
    ("convert_mode", ("RGB",), 2, {1}),
    ("convert", (" .jpg",), 2, {1}),
    ("save", ("out.png",), 1, set()),
    ("apply_sharpen", (), 1, set()),
    ("apply_contrast", (1.5,), 1, set()),
    ("apply_grayscale", (0.5,), 1, set()),
    ("apply_sepia", (), 1, set()),
    ("apply_preset", ("Noir",), 1, set()),
    ("apply_preset", ("nothing",), 1, set()),
    ("flip", ("vertical",), 1, set()),
    ("resize", (5, 4), 1, set()),
    ("round_corners", (2,), 1, set()),
    ("compare", (), 6, {1, 2, 3, 4, 5, 6}),
    ("histogram", (), 1, set()),
    ("get_metadata", (), 1, set()),
    ("extract_color_palette", (2,), 2, {1}),
]
CASES = [(m, a, k, before) for m, a, n, before in PRINTING for k in range(1, n + 1)]


def state(obj):
    return picture_state(obj) + (obj.quality,)


@pytest.fixture
def source(tmp_path, monkeypatch):
    """An RGBA picture (convert_mode("RGB") composites it, convert(".jpg") converts it) and an
    RGB one (for the effects that blend with RGB)."""
    monkeypatch.chdir(tmp_path)
    Image.new("RGBA", (8, 6), (200, 30, 60, 128)).save(tmp_path / "source.png")
    Image.new("RGB", (8, 6), (200, 30, 60)).save(tmp_path / "source-rgb.png")
    return str(tmp_path / "source.png")


def source_for(name, source):
    return source if name in ("convert_mode", "convert") else source.replace(".png", "-rgb.png")


@pytest.mark.parametrize("name,args,k,before", CASES, ids=[f"{m}{a}-print{k}" for m, a, k, _ in CASES])
def test_failing_print_propagates_and_leaves_the_picture_as_the_rules_say(name, args, k, before, source):
    cls = hs.combined_class()
    source = source_for(name, source)
    with contextlib.redirect_stdout(FailingStdout(10**6)) as fine:
        reference = cls.load(source)
        original = state(reference)
        getattr(reference, name)(*args)
    expected_lines = fine.lines()[1:]          # without load's line
    with contextlib.redirect_stdout(FailingStdout(10**6)):
        obj = cls.load(source)
    failing = FailingStdout(k)
    with contextlib.redirect_stdout(failing), pytest.raises(OSError, match="No space left on device"):
        getattr(obj, name)(*args)
    FAULTS["print"] += 1
    assert failing.lines() == expected_lines[:k - 1]
    assert state(obj) == (original if k in before else state(reference))


@pytest.mark.parametrize("name,args", [("convert_mode", ("RGB",)), ("convert", (" .jpg",))])
def test_failing_success_line_is_caught_and_reported_by_the_failure_line(name, args, source):
    cls = hs.combined_class()
    with contextlib.redirect_stdout(FailingStdout(10**6)) as fine:
        reference = getattr(cls.load(source), name)(*args)
    with contextlib.redirect_stdout(FailingStdout(10**6)):
        obj = cls.load(source)
    failing = FailingStdout(2, once=True)
    with contextlib.redirect_stdout(failing):
        assert getattr(obj, name)(*args) is obj
    FAULTS["print"] += 1
    attempt = fine.lines()[1]
    failure = ("❌ Error: Could not convert mode to RGB. Reason: [Errno 28] No space left on device"
               if name == "convert_mode" else
               "❌ Error: Format conversion to JPG failed. Reason: [Errno 28] No space left on device")
    assert failing.lines() == [attempt, failure]
    assert state(obj) == state(reference)


def test_failing_print_leaves_the_saved_file_and_no_loaded_object(source, tmp_path):
    cls = hs.combined_class()
    with contextlib.redirect_stdout(FailingStdout(1)), pytest.raises(OSError):
        cls.load(source)
    with contextlib.redirect_stdout(FailingStdout(10**6)):
        obj = cls.load(source)
    with contextlib.redirect_stdout(FailingStdout(1)), pytest.raises(OSError):
        obj.save("written.png")
    FAULTS["print"] += 2
    with Image.open(tmp_path / "written.png") as written:
        assert written.size == (8, 6)


NOTICE_LINES = 7


@pytest.mark.parametrize("k", range(1, NOTICE_LINES + 1))
def test_failing_print_in_the_update_notice(k, monkeypatch):
    updater = hs.module("updater")
    u = updater.FrameWickUpdater("framewick", "1.0.0")
    failing = FailingStdout(k)
    with contextlib.redirect_stdout(failing), pytest.raises(OSError):
        u._notify_user("2.0", "2024-03-01 12:34:56")
    assert len(failing.lines()) == k - 1
    # Inside the check the same failure ends it silently, the notice left partial.
    answer = {"info": {"version": "2.0"}, "releases": {"2.0": [{"upload_time_iso_8601": "2024-03-01T12:34:56Z"}]}}

    class Response:
        status_code = 200

        def json(self):
            return answer

    monkeypatch.setattr(updater, "requests", type("requests", (), {"get": staticmethod(lambda *a, **k: Response())}))
    failing = FailingStdout(k)
    with contextlib.redirect_stdout(failing):
        assert u._check_logic() is None
    FAULTS["print"] += 2
    assert len(failing.lines()) == k - 1


# ---------------------------------------------------------------------------------------------
# An interrupt raised by the picture

class Interrupting:
    """A picture whose every method raises `exc`."""

    def __init__(self, mode, exc):
        self.mode, self.size, self.exc = mode, (4, 4), exc

    def convert(self, *args, **kwargs):
        raise self.exc("interrupted in convert")

    def split(self, *args, **kwargs):
        raise self.exc("interrupted in split")


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("name,arg,mode", [
    ("convert_mode", "L", "RGB"), ("convert_mode", "rgb", "RGBA"),
    ("convert", "jpg", "RGBA"), ("convert", "gif", "RGB"), ("convert", "bmp", "L"),
])
def test_interrupt_inside_conversion_passes_through(name, arg, mode, exc):
    cls = hs.combined_class()
    obj = cls()
    obj.image = picture = Interrupting(mode, exc)
    out = FailingStdout(10**6)
    with contextlib.redirect_stdout(out), pytest.raises(exc, match="interrupted in"):
        getattr(obj, name)(arg)
    FAULTS["interrupt"] += 1
    assert obj.image is picture
    assert len(out.lines()) == 1 and not out.lines()[0].startswith("❌"), out.lines()


# ---------------------------------------------------------------------------------------------
# A global taken away

@pytest.fixture
def take_global():
    """take(module, name) deletes a module global; afterwards every touched module dict is put
    back as it was, in its order too (other tests read the globals' order)."""
    saved = {}

    def take(mod, name):
        saved.setdefault(mod, dict(vars(mod)))
        delattr(mod, name)

    yield take
    for mod, items in saved.items():
        globals_ = vars(mod)
        globals_.clear()
        globals_.update(items)


# (module, global, method, args, whether the picture must be untouched).
GLOBALS = [
    ("storage", "Image", "load", None, True), ("storage", "os", "load", None, True),
    ("effects", "ImageFilter", "apply_blur", (2,), True), ("effects", "ImageFilter", "apply_sharpen", (), True),
    ("effects", "ImageEnhance", "apply_contrast", (1.2,), True), ("effects", "ImageOps", "auto_enhance", (), True),
    ("effects", "ImageOps", "apply_grayscale", (0.5,), True), ("effects", "Image", "apply_grayscale", (0.5,), True),
    ("effects", "PRESETS", "apply_preset", ("noir",), True), ("effects", "ImageEnhance", "apply_camscanner", (), False),
    ("effects", "ImageChops", "apply_preset", ("warm",), True), ("effects", "Image", "adjust_gamma", (2.0,), True),
    ("geometry", "Image", "flip", (), True), ("geometry", "Image", "resize", (4, 4), True),
    ("geometry", "ImageOps", "fit", (4, 4), True),
    ("overlays", "ImageDraw", "add_text", ("hi", (0, 0)), True),
    ("overlays", "Image", "add_watermark", ("mark.png", (0, 0)), True),
    ("overlays", "Image", "double_exposure", ("mark.png",), True),
    ("updater", "threading", "start_check", (), None), ("updater", "INDEX_URL", "__init__", None, None),
]


@pytest.mark.parametrize("short,name,method,args,untouched", GLOBALS,
                         ids=[f"{s}.{g}-{m}" for s, g, m, _, _ in GLOBALS])
def test_removed_global_raises_name_error(short, name, method, args, untouched, source, take_global):
    Image.new("RGBA", (3, 3), (0, 0, 255, 255)).save("mark.png")
    mod = hs.module(short)
    cls = hs.combined_class()
    with contextlib.redirect_stdout(FailingStdout(10**6)):
        obj = cls.load(source).convert_mode("RGB")
    before = picture_state(obj)
    u = hs.module("updater").FrameWickUpdater("framewick", "1.0.0")   # made while all is there
    take_global(mod, name)
    if method == "__init__":
        call = lambda: mod.FrameWickUpdater.__init__(u, "framewick", "1.0.0")
    elif method == "start_check":
        call = u.start_check
    elif method == "load":
        call = lambda: cls.load(source)
    else:
        call = lambda: getattr(obj, method)(*args)
    with contextlib.redirect_stdout(FailingStdout(10**6)), pytest.raises(NameError) as caught:
        call()
    FAULTS["global"] += 1
    assert str(caught.value) == f"name '{name}' is not defined"
    assert any(tb.tb_frame.f_code.co_filename.startswith("framewick_source/")
               for tb in _walk(caught.value.__traceback__))
    if untouched:
        assert picture_state(obj) == before


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def test_removed_global_inside_a_protected_step_is_reported(source, take_global):
    storage = hs.module("storage")
    cls = hs.combined_class()
    out = FailingStdout(10**6)
    with contextlib.redirect_stdout(out):
        obj = cls.load(source)
        before = obj.image
        take_global(storage, "Image")
        assert obj.convert_mode("RGB") is obj          # RGBA to RGB needs Image.new
        assert obj.convert("GIF") is obj               # RGBA to P needs Image.ADAPTIVE
    FAULTS["global"] += 2
    assert obj.image is before
    assert out.lines()[-3:] == [
        "❌ Error: Could not convert mode to RGB. Reason: name 'Image' is not defined",
        "🔄 Converting image to GIF format... ⏳",
        "❌ Error: Format conversion to GIF failed. Reason: name 'Image' is not defined",
    ]


def test_removed_global_inside_the_check_is_swallowed(take_global):
    updater = hs.module("updater")
    u = updater.FrameWickUpdater("framewick", "1.0.0")
    for name in ("requests", "version", "datetime"):
        take_global(updater, name)
        out = FailingStdout(10**6)
        with contextlib.redirect_stdout(out):
            assert u._check_logic() is None
        assert out.lines() == []
        FAULTS["global"] += 1
