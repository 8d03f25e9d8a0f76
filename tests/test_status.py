"""The status sink: how each native call ended, heard where the method decides it; the quiet
switch and the listeners per thread and task; sys.stdout never replaced."""

import asyncio
import contextlib
import io
import sys
import threading

import pytest
from PIL import Image

import framewick
from framewick import status
from framewick.modules.effects import Effects
from framewick.modules.geometry import Geometry
from framewick.utils.storage import Storage


class Picture(Storage, Effects, Geometry):
    pass


def picture(image=None):
    obj = Picture()
    obj.image = Image.new("RGB", (6, 4), (200, 40, 10)) if image is None else image
    return obj


PRESET_LIST = "vintage / cinematic / vibrant / dreamy / noir / warm / sepia / cool"
# call, the method heard, the line of a failure (None: done), the exception the call raises
CALLS = {
    "done": (lambda o: o.apply_sharpen(), "apply_sharpen", None, None),
    "convert_mode swallowed": (lambda o: o.convert_mode("XYZ"), "convert_mode",
                               "❌ Error: Could not convert mode to XYZ. Reason: image has wrong mode", None),
    "convert swallowed": (lambda o: (setattr(o, "image", None), o.convert("jpg")), "convert",
                          "❌ Error: Format conversion to JPG failed. Reason: 'NoneType' object has no attribute 'mode'",
                          None),
    "preset swallowed": (lambda o: o.apply_preset("Nope"), "apply_preset",
                         f"⚠️ Warning: Preset 'nope' not found.\n  Available presets: 👉 {PRESET_LIST}", None),
    "resize refused": (lambda o: o.resize(0, 3), "resize", "❌ Error: Width and height must be positive integers.",
                       ValueError),
    "optimize refused": (lambda o: o.optimize(101), "optimize", "❌ Error: Quality must be between 1 and 100.",
                         ValueError),
    "Pillow's error": (lambda o: (setattr(o, "image", None), o.apply_sharpen()), "apply_sharpen", None,
                       AttributeError),
}


@pytest.mark.parametrize("quiet", [False, True], ids=["loud", "quiet"])
@pytest.mark.parametrize("case", CALLS)
def test_the_sink_hears_each_call_as_the_method_decided(case, quiet, capsys):
    call, method, line, raises = CALLS[case]
    obj = picture()
    with framewick.quiet() if quiet else contextlib.nullcontext(), status.listening() as heard:
        if raises:
            with pytest.raises(raises) as caught:
                call(obj)
            assert status.failure_line(caught.value) == line
        else:
            call(obj)
    outcome = heard.outcomes[-1]
    assert (outcome.method, outcome.line) == (method, line)
    assert outcome.error is (caught.value if raises else None)
    assert outcome.failed is (line is not None or raises is not None)
    if line is not None and raises is None:  # the designed line is printed (taken) as before
        assert line + "\n" in heard.text or quiet
    assert capsys.readouterr().out == ""  # every line went to the listener, or nowhere
    if quiet:
        assert heard.text == ""


def test_nested_calls_are_heard_first_and_by_every_listener():
    obj = picture()
    with status.listening(keep_done=False) as outer:
        with status.listening(take_lines=False) as inner:
            obj.apply_preset("warm").convert_mode("XYZ")
    assert [o.method for o in inner.outcomes] == ["lambda5", "apply_preset", "convert_mode"]
    assert [o.method for o in outer.outcomes] == ["convert_mode"]  # failures only
    assert outer.text.splitlines()[0] == "🎯 Success: Preset 'warm' applied perfectly!"  # taken by the outer
    assert inner.text == ""


def test_a_listener_that_fails_fails_a_returning_call_but_never_hides_a_raised_error(monkeypatch):
    def broken(self, method, line, error):
        raise RuntimeError("listener broke")

    unraisable = []
    monkeypatch.setattr(status.Listener, "outcome", broken)
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    obj = picture()
    with status.listening():
        with pytest.raises(RuntimeError, match="listener broke"):
            obj.apply_sharpen()
        with pytest.raises(ValueError, match="positive integers"):
            obj.resize(0, 1)
    assert [str(u.exc_value) for u in unraisable] == ["listener broke"]  # reported, not lost
    assert obj.image.size == (6, 4)


@pytest.mark.parametrize("where", ["threads", "tasks"])
def test_quiet_and_listeners_belong_to_their_own_thread_or_task(where, capsys):
    seen = {}

    def work(name):
        obj = picture()
        if name == "quiet":
            framewick.quiet(True)
        with status.listening(take_lines=name == "listening") as heard:
            for q in range(1, 30):
                obj.optimize(q)
        seen[name] = heard.text.count("\n"), len(heard.outcomes)

    names = ["quiet", "listening", "loud"]
    if where == "threads":
        threads = [threading.Thread(target=work, args=(n,)) for n in names]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    else:
        async def task(name):
            await asyncio.sleep(0)
            work(name)

        async def main():
            await asyncio.gather(*(task(n) for n in names))

        asyncio.run(main())
    assert not status.is_quiet()
    assert seen == {"quiet": (0, 29), "listening": (29, 29), "loud": (0, 29)}
    assert capsys.readouterr().out.count("✨ Success: Optimization mode enabled") == 29  # the loud one's


class StdoutProbe:
    """Stands in for the effects module's ImageFilter: notes sys.stdout whenever a step uses it."""

    def __init__(self, real, seen):
        self.real, self.seen = real, seen

    def __getattr__(self, name):
        self.seen.append(sys.stdout)
        return getattr(self.real, name)


def _cli_edit(tmp_path, to_stdout):
    from framewick.cli import main

    out = "-" if to_stdout else str(tmp_path / "out.png")
    assert main(["edit", str(tmp_path / "in.png"), "-o", out, "--format", "png", "--steps", "sharpen"]) == 0


def _run_steps(tmp_path, **kwargs):
    from framewick.photo import run_steps

    run_steps(picture(), "sharpen", **kwargs)


def _captured(tmp_path):
    from framewick._output import call_captured

    call_captured(lambda text: None, picture().apply_sharpen)


CALLERS = {
    "method": lambda tmp_path: framewick.FrameWick.load(str(tmp_path / "in.png")).apply_sharpen(),
    "run_steps": _run_steps,
    "run_steps with echo": lambda tmp_path: _run_steps(tmp_path, echo=lambda text: None),
    "quiet run_steps": lambda tmp_path: framewick.quiet(True) and _run_steps(tmp_path),
    "call_captured": _captured,
    "edit to a file": lambda tmp_path: _cli_edit(tmp_path, False),
    "edit to stdout": lambda tmp_path: _cli_edit(tmp_path, True),
}


@pytest.mark.parametrize("caller", CALLERS)
def test_nothing_replaces_stdout_while_a_chain_runs(caller, tmp_path, monkeypatch):
    import framewick.modules.effects as effects

    Image.new("RGB", (6, 4)).save(tmp_path / "in.png")
    seen = []
    monkeypatch.setattr(effects, "ImageFilter", StdoutProbe(effects.ImageFilter, seen))
    stream = io.TextIOWrapper(io.BytesIO(), encoding="utf-8")
    monkeypatch.setattr(sys, "stdout", stream)
    try:
        CALLERS[caller](tmp_path)
    finally:
        framewick.quiet(False)
    # The command line guards its standard streams once, when it starts (a reader that goes away);
    # a chain never puts anything in their place.
    assert seen and all(getattr(s, "_stream", s) is stream for s in seen) and len(set(map(id, seen))) == 1
    assert sys.stdout is stream


def _refused():
    try:
        picture().resize(0, 3)
    except ValueError as error:
        return error


def _limit():
    from framewick._limits import LimitError

    return LimitError("❌ Error: big.png is too large: 1 frame of 9x9 counts as 81 pixels\nmore")


ERRORS = {
    "a native method's refusal": (_refused, "❌ Error: Width and height must be positive integers."),
    "the Python layer's own": (_limit, "❌ Error: big.png is too large: 1 frame of 9x9 counts as 81 pixels"),
    "anything else, whatever its text": (lambda: ValueError("❌ Error: looks like ours"),
                                         "❌ Error: ValueError: ❌ Error: looks like ours"),
    "a refusal's twin not refused": (lambda: ValueError("❌ Error: Width and height must be positive integers."),
                                     "❌ Error: ValueError: ❌ Error: Width and height must be positive integers."),
}


@pytest.mark.parametrize("which", ["command line", "batch"])
@pytest.mark.parametrize("case", ERRORS)
def test_an_error_is_framewicks_own_by_what_raised_it_not_by_its_text(case, which):
    from framewick.batch import error_line as batch_line
    from framewick.cli._common import error_line as cli_line

    make, expected = ERRORS[case]
    assert (cli_line if which == "command line" else batch_line)(make()) == expected
