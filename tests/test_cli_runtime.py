"""What the command line costs and how it ends: the imports before work, a terminate signal during
a write, and `framewick.quiet` in a process with several threads."""

import os
import signal
import subprocess
import sys
import sysconfig
import threading
import time

import pytest
from PIL import Image

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
HEAVY = ("PIL", "numpy", "requests", "framewick.utils.storage", "framewick.modules.effects")


def imported_by(args, run_py, tmp_path, watched=HEAVY):
    """Those of the `watched` modules a fresh interpreter has imported after running the command
    line on `args`."""
    code, out, err = run_py(f"""
        import contextlib, io, sys
        from framewick.cli import main
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            status = main({list(args)!r})
        print(status, *sorted(m for m in {tuple(watched)!r} if m in sys.modules))
        """)
    assert code == 0, err
    status, *modules = out.split()
    return int(status), modules


@pytest.mark.parametrize(("args", "status"), [
    (["--help"], 0),
    (["--version"], 0),
    (["steps"], 0),
    (["steps", "--json"], 0),
    (["presets"], 0),
    (["edit", "--help"], 0),
    (["edit", "in.png", "-o", "out.png", "--steps", "resiz:10,10"], 2),  # the chain is refused first
    (["edit", "in.png", "-o", "out.png", "--steps", "quality:101"], 2),
])
def test_listing_and_refusing_import_no_picture_library_network_or_native_module(args, status, run_py, tmp_path):
    assert imported_by(args, run_py, tmp_path) == (status, [])


#: What an edit of a common picture to a common format has no use for: the other commands, the
#: studio, batches, the format plugins and Pillow's other readers, colour profiles, XML.
NOT_FOR_AN_EDIT = ("requests", "numpy", "dask", "shtab", "framewick.studio", "framewick.batch", "framewick.cli.batch",
                   "framewick.cli.studio", "framewick.cli.info", "framewick.cli.completion", "framewick.formats.heif",
                   "framewick.formats.raw", "framewick.formats.jxl", "pillow_jxl", "PIL.TiffImagePlugin",
                   "PIL.AvifImagePlugin", "PIL.WebPImagePlugin", "PIL.ImageCms", "xml.dom.minidom")


#: Pillow's common readers and writers: an edit loads those of its picture and output alone
#: (PNG's always: the writer adds PNG text with it).
COMMON = ("PIL.BmpImagePlugin", "PIL.GifImagePlugin", "PIL.JpegImagePlugin", "PIL.PngImagePlugin", "PIL.PpmImagePlugin")


@pytest.mark.parametrize(("source", "output", "readers"), [
    ("in.png", "out.png", ["PIL.PngImagePlugin"]),
    ("in.jpg", "out.jpg", ["PIL.JpegImagePlugin", "PIL.PngImagePlugin"]),
    ("in.bmp", "out.gif", ["PIL.BmpImagePlugin", "PIL.GifImagePlugin", "PIL.PngImagePlugin"]),
])
def test_an_edit_imports_only_what_its_picture_and_steps_need(source, output, readers, run_py, tmp_path):
    Image.new("RGB", (8, 6)).save(tmp_path / source)
    watched = ("PIL", *NOT_FOR_AN_EDIT, *COMMON)
    status, modules = imported_by(["edit", source, "-o", output, "--steps", "border:1"], run_py, tmp_path, watched)
    assert (status, modules) == (0, ["PIL", *readers])
    assert (tmp_path / output).is_file()


@pytest.mark.parametrize("collecting", [True, False])
@pytest.mark.parametrize("args", [["steps"], ["edit", "in.png", "-o", "out.png", "--steps", "resiz:1,1"], ["--nope"]])
def test_the_command_line_leaves_the_collector_as_it_found_it(run_py, collecting, args):
    code, out, err = run_py(f"""
        import contextlib, gc, io
        from framewick.cli import main
        (gc.enable if {collecting!r} else gc.disable)()
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            main({args!r})
        print(gc.isenabled())
        """)
    assert (code, out.strip()) == (0, str(collecting)), err


def test_a_format_beyond_the_common_ones_still_finds_its_plugins(run_py, tmp_path):
    Image.new("RGB", (8, 6)).save(tmp_path / "in.tif")
    watched = ("PIL.TiffImagePlugin", "PIL.WebPImagePlugin", "framewick.formats.raw")
    status, modules = imported_by(["edit", "in.tif", "-o", "out.webp"], run_py, tmp_path, watched)
    assert (status, modules) == (0, sorted(watched))
    with Image.open(tmp_path / "out.webp") as out:
        assert (out.format, out.size) == ("WEBP", (8, 6))


def test_sigterm_during_the_write_leaves_no_temporary_file_and_no_output(tmp_path):
    # A picture that takes a while to compress (long enough on a busy machine too), so the signal
    # lands while the file is written.
    Image.effect_noise((3600, 3600), 80).convert("RGB").save(tmp_path / "big.bmp")
    out = tmp_path / "out" / "big.png"
    out.parent.mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    child = subprocess.Popen([SCRIPT, "edit", str(tmp_path / "big.bmp"), "-o", str(out), "-q"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not os.listdir(out.parent) and child.poll() is None and time.monotonic() < deadline:
        time.sleep(0.002)
    seen = os.listdir(out.parent)
    child.send_signal(signal.SIGTERM)
    _, err = child.communicate(timeout=60)
    assert seen and seen[0].startswith("."), f"the write was not caught in progress: {seen}"
    assert child.returncode == 143 and "framewick edit: terminated" in err
    assert os.listdir(out.parent) == []


def test_quiet_silences_this_threads_status_lines_only(tmp_path, capfd):
    import builtins

    import framewick
    from framewick import FrameWick

    Image.new("RGB", (8, 6)).save(tmp_path / "p.png")
    print_before = builtins.print
    obj = FrameWick.load(str(tmp_path / "p.png"))
    capfd.readouterr()
    ready, done = threading.Event(), threading.Event()

    def other():  # prints while the main thread is quiet
        ready.wait()
        FrameWick.load(str(tmp_path / "p.png")).resize(4, 3)
        print("other thread")
        done.set()

    worker = threading.Thread(target=other)
    worker.start()
    with framewick.quiet():
        obj.resize(6, 4)
        ready.set()
        done.wait(10)
    worker.join()
    obj.resize(5, 4)  # loud again
    framewick.quiet(True)
    try:
        obj.resize(4, 4)
        framewick.quiet(True)  # switching on twice needs one switch off
    finally:
        framewick.quiet(False)
    obj.resize(3, 3)
    assert builtins.print is print_before
    lines = capfd.readouterr().out.splitlines()
    assert lines == [f"📸 Image loaded: {tmp_path / 'p.png'}", "📏 Success: Image resized to 4x3", "other thread",
                     "📏 Success: Image resized to 5x4", "📏 Success: Image resized to 3x3"]


def test_a_step_that_fails_only_by_its_status_line_fails_the_edit(tmp_path, monkeypatch, capsys):
    import framewick.photo
    from framewick.cli import main

    Image.new("RGB", (8, 6)).save(tmp_path / "in.png")
    seen = []

    def failing(obj, chain, echo=None, *, strict=False, owned=False):
        seen.append(strict)
        echo("❌ Error: Failed to convert mode: conversion not supported\n")
        raise framewick.photo.StepFailed("❌ Error: Failed to convert mode: conversion not supported")

    monkeypatch.setattr(framewick.photo, "run_steps", failing)
    assert main(["edit", str(tmp_path / "in.png"), "-o", str(tmp_path / "out.png"), "--steps", "mode:L"]) == 1
    assert seen == [True]  # the command line asks the runner to treat such a line as a failure
    assert sorted(os.listdir(tmp_path)) == ["in.png"]  # nothing written, no temporary file
    assert capsys.readouterr().err == "❌ Error: Failed to convert mode: conversion not supported\n"


@pytest.mark.parametrize("first", ["framewick", "native"])
def test_quiet_drops_framewicks_status_lines_and_nothing_else(tmp_path, run_py, first):
    # Whichever side makes the shared flag first, both read the same one.
    Image.new("RGB", (8, 6)).save(tmp_path / "p.png")
    code, out, err = run_py(f"""
        import asyncio, sys, threading
        {"import framewick.utils.storage" if first == "native" else "import framewick"}
        import framewick
        from framewick import FrameWick
        from framewick.lut import write_cube
        write_cube("id.cube", 2, lambda r, g, b: (r, g, b))
        obj = FrameWick.load("p.png")
        framewick.quiet(True)
        print("caller while quiet")
        sys.stdout.write("another library while quiet\\n")
        obj.resize(4, 3).apply_lut("id.cube")
        other = threading.Thread(target=lambda: obj.optimize(50))  # another thread: loud
        other.start()
        other.join()
        framewick.quiet(False)
        with framewick.quiet():
            print("caller in the block")
            obj.apply_sharpen()
        obj.resize(2, 2)

        async def task(name, silent):
            if silent:
                framewick.quiet(True)  # this task's context only
            await asyncio.sleep(0.01)
            FrameWick.load("p.png").apply_sepia()
            print(name, "done")

        async def main():
            await asyncio.gather(task("quiet task", True), task("loud task", False))

        asyncio.run(main())
        obj.apply_sepia()
    """)
    assert code == 0, err
    assert out.splitlines() == [
        "📸 Image loaded: p.png", "caller while quiet", "another library while quiet",
        "✨ Success: Optimization mode enabled (Quality: 50%) 🚀", "caller in the block",
        "📏 Success: Image resized to 2x2", "quiet task done", "📸 Image loaded: p.png",
        "📜 Success: Fast Sepia effect applied!", "loud task done", "📜 Success: Fast Sepia effect applied!"]


def test_a_planted_quiet_flag_is_refused_not_called(run_py):
    code, out, err = run_py("""
        import sys, types
        sys.modules["framewick.status"] = types.SimpleNamespace(quiet_flag=print)
        try:
            import framewick.utils.storage
        except TypeError as e:
            print(e)
    """)
    assert (code, out) == (0, "framewick.status.quiet_flag is not a context variable "
                              "(found builtin_function_or_method)\n"), err
