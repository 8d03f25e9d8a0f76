"""The `framewick` command line, run through the installed console script."""

import importlib.metadata
import json
import os
import subprocess
import sys
import sysconfig

import pytest
from PIL import Image

from framewick import cli

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
COMMANDS = ["edit", "batch", "info", "presets", "demo", "steps", "version"]


def run(*args, cwd=None, timeout=120):
    """Run the console script; returns the finished process (text, UTF-8)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run([SCRIPT, *args], cwd=cwd, env=env, capture_output=True, text=True,
                          encoding="utf-8", timeout=timeout)


@pytest.fixture
def photo(picture):
    """A 64x48 RGB picture: red, with a green strip a quarter wide on the left."""
    return picture(size=(64, 48), color=(200, 30, 60), pixels={(x, y): (20, 200, 40) for x in range(16) for y in range(48)})


def leftovers(directory):
    return [n for n in os.listdir(directory) if n.startswith(".")]


def test_console_script_is_installed():
    assert os.access(SCRIPT, os.X_OK)


def test_edit_runs_the_steps_in_order_and_saves(photo, tmp_path):
    out = tmp_path / "out.jpg"
    done = run("edit", photo, "-o", str(out), "--steps", "preset:vintage | resize:32,24 | border:2 | optimize:70")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        f"📸 Image loaded: {photo}",
        "🎯 Success: Preset 'vintage' applied perfectly!",
        "📏 Success: Image resized to 32x24",
        "✨ Success: Optimization mode enabled (Quality: 70%) 🚀",
        f"💾 Success: Image saved as '{out}' ✅",
    ]
    with Image.open(out) as result:
        assert (result.format, result.size) == ("JPEG", (36, 28))
        r, g, b = result.convert("RGB").getpixel((18, 14))
        assert abs(r - g) < 8 and abs(g - b) < 8  # vintage is grey
    assert leftovers(tmp_path) == []


def test_edit_quiet_hides_status_lines_and_steps_come_from_a_file(photo, tmp_path):
    (tmp_path / "chain.json").write_text(json.dumps([{"method": "resize", "args": [10, 8]}]))
    (tmp_path / "chain.txt").write_text("thumbnail:5,5 | border:1\n")
    done = run("edit", photo, "-o", str(tmp_path / "a.png"), "--steps", f"@{tmp_path / 'chain.json'}", "-q")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    done = run("-q", "edit", photo, "-o", str(tmp_path / "b.png"), "--steps", f"@{tmp_path / 'chain.txt'}")
    assert (done.returncode, done.stdout) == (0, "")
    with Image.open(tmp_path / "a.png") as a, Image.open(tmp_path / "b.png") as b:
        assert (a.size, b.size) == ((10, 8), (7, 6))


@pytest.mark.parametrize(("args", "message"), [
    (["edit", "{photo}", "-o", "{tmp}/o.png", "--steps", "blur | resiz:1,2"],
     "framewick edit: error: step 2: unknown step 'resiz'; did you mean 'resize'?"),
    (["edit", "{photo}", "-o", "{tmp}/o.png", "--steps", "resize:big,2"],
     "framewick edit: error: step 1 'resize': width expects an integer, e.g. 800, got 'big'"),
    (["edit", "{photo}", "-o", "{tmp}/o.png", "--steps", "border"],
     "framewick edit: error: step 1 'border': missing border_width (int)"),
    (["edit", "{photo}", "-o", "{tmp}/o.xyz"], "unknown picture format '.xyz'"),
    (["edit", "{photo}", "-o", "{tmp}/no/such/dir/o.png"], "does not exist"),
    (["edit", "{photo}", "-o", "{tmp}/o.png", "--steps", "@{tmp}/missing.txt"], "--steps @"),
    (["edit", "{photo}"], "framewick edit: error: the following arguments are required: -o/--output"),
    (["batch", "{photo}", "-d", "{tmp}/out", "--jobs", "0"], "argument -j/--jobs: expected a positive integer"),
    (["batch", "{photo}", "-d", "{tmp}/out", "--format", "nope"], "unknown picture format '.nope'"),
    (["info"], "the following arguments are required: IN"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    ([], "the following arguments are required: COMMAND"),
])
def test_usage_errors_exit_2_with_one_line_before_any_picture_is_read(args, message, photo, tmp_path):
    args = [a.format(photo=photo, tmp=tmp_path) for a in args]
    done = run(*args)
    assert done.returncode == 2
    assert done.stdout == ""  # not even the load line: nothing was read
    assert message in done.stderr
    assert len(done.stderr.splitlines()) == 1, done.stderr
    assert os.listdir(tmp_path) == [os.path.basename(photo)]


@pytest.mark.parametrize(("steps", "make_input", "error"), [
    ("blur", lambda tmp: str(tmp / "missing.png"), "❌ Error: File {input} not found!"),
    ("sharpen | resize:0,5", None, "❌ Error: Width and height must be positive integers."),
    ("blur", lambda tmp: (tmp / "fake.png").write_text("not a picture") and str(tmp / "fake.png"),
     "❌ Error: UnidentifiedImageError: cannot identify image file '{input}'"),
])
def test_processing_errors_exit_1_with_the_library_error_line(steps, make_input, error, photo, tmp_path):
    source = make_input(tmp_path) if make_input else photo
    done = run("edit", source, "-o", str(tmp_path / "out.png"), "--steps", steps)
    assert done.returncode == 1
    assert done.stderr == error.format(input=source) + "\n"
    assert not (tmp_path / "out.png").exists() and leftovers(tmp_path) == []
    debug = run("edit", source, "-o", str(tmp_path / "out.png"), "--steps", steps, "--debug")
    assert debug.returncode == 1 and "Traceback (most recent call last)" in debug.stderr


def test_info_shows_report_palette_and_metadata(photo):
    done = run("info", photo, "--colors", "2")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == f"📸 Image loaded: {photo}"
    assert lines[1:8] == ["", "📊 --- Image Status Report --- 📊", "📏 Dimensions: 64x48", "🎭 Mode: RGB",
                          "📁 Format: PNG", "🌈 Color Space: RGB", "-" * 30]
    assert "Palette: #C01030 #10C020" in lines  # most frequent first
    assert lines[-1].startswith("Metadata:")
    quiet = run("info", photo, "-q").stdout.splitlines()
    assert quiet[0] == "" and quiet[1] == "📊 --- Image Status Report --- 📊"  # the report stays
    assert not any(line.startswith(("📸", "🔍", "✅", "📂")) for line in quiet)


def test_presets_makes_a_labelled_contact_sheet_in_preset_order(photo, tmp_path):
    sheet = tmp_path / "sheet.png"
    done = run("presets", photo, "-o", str(sheet), "--cell", "32", "-q")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"framewick presets: contact sheet of {photo} written to {sheet}\n"
    with Image.open(sheet) as image:
        # Tiles of 32x24 in 4 columns and 2 rows, each with its label band below.
        assert image.size == (4 * (32 + 8) + 8, 2 * (24 + 26 + 8) + 8)

        def tile(index):  # the colour at the middle of the right (red) half of tile `index`
            x = 8 + (index % 4) * 40 + 24
            y = 8 + (index // 4) * 58 + 12
            return image.getpixel((x, y))

        vintage, cinematic, vibrant, dreamy, noir, warm, sepia, cool = (tile(i) for i in range(8))
        assert vintage[0] == vintage[1] == vintage[2] and noir[0] == noir[1] == noir[2]
        assert vibrant[0] > 200 and warm[2] > 60 and cool[2] > warm[2]
        assert sepia[0] > sepia[1] > sepia[2]  # the brown tint
        label = image.crop((8, 8 + 24, 8 + 32, 8 + 24 + 26)).convert("L")
        assert label.getextrema()[0] < 100  # dark lettering under the tile


def test_demo_writes_the_typical_request_and_a_before_after(tmp_path):
    done = run("demo", "out", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = tmp_path / "out"
    assert sorted(os.listdir(out)) == ["before-after.jpg", "demo.jpg", "sample.png"]
    with Image.open(out / "demo.jpg") as demo:
        assert (demo.format, demo.size) == ("JPEG", (820, 620))
        assert max(demo.convert("RGB").getpixel((3, 3))) < 20  # the black border
    with Image.open(out / "before-after.jpg") as pair:
        assert pair.format == "JPEG" and pair.width > pair.height
    text = done.stdout
    for expected in ["🎯 Success: Preset 'vintage' applied perfectly!", "📏 Success: Image resized to 800x600",
                     "📏 Dimensions: 820x620", "✨ Success: Optimization mode enabled (Quality: 80%) 🚀",
                     "💾 Success: Image saved as 'out/demo.jpg' ✅", "  result:         out/demo.jpg",
                     "  before/after:   out/before-after.jpg", "  sample picture: out/sample.png"]:
        assert expected in text
    assert text.index("800x600") < text.index("Status Report") < text.index("Quality: 80%")


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_help_with_an_example(command):
    done = run(command, "--help")
    assert done.returncode == 0
    assert "example:\n  framewick " + command in done.stdout


def test_step_list_in_help_comes_from_the_classes():
    from framewick.chain import catalogue

    edit_help = run("edit", "--help").stdout
    steps = run("steps").stdout
    for info in catalogue():
        assert info.signature() in edit_help and info.signature() in steps
        assert info.doc in steps
    assert "border, apply_border" in steps


def test_python_dash_m_and_version(tmp_path):
    done = subprocess.run([sys.executable, "-m", "framewick", "version"], cwd=tmp_path, capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, f"framewick {importlib.metadata.version('framewick')}\n")


class FakeAnswer:
    def __init__(self, status, data):
        self.status_code, self._data = status, data

    def json(self):
        return self._data


@pytest.mark.parametrize(("answer", "expected"), [
    (FakeAnswer(200, {"info": {"version": "9.0.0"}, "releases": {"9.0.0": [
        {"upload_time_iso_8601": "2031-02-03T04:05:06.7Z"}]}}),
     ["🚀 [FrameWick] NEW UPDATE AVAILABLE!", "✨ Latest Version: 9.0.0", "📅 Released on: 2031-02-03 04:05:06 (UTC)"]),
    (FakeAnswer(200, {"info": {"version": "1.0.0"}}), ["No newer release found"]),
    (ConnectionError("no network"), ["No newer release found"]),
])
def test_version_check_waits_for_the_update_check(answer, expected, monkeypatch, capsys):
    import requests

    asked = []

    def fake_get(url, timeout):
        asked.append((url, timeout))
        if isinstance(answer, Exception):
            raise answer
        return answer

    monkeypatch.setattr(requests, "get", fake_get)
    assert cli.main(["version", "--check"]) == 0
    out = capsys.readouterr().out
    assert out.startswith("framewick 1.0.0\n")
    for line in expected:
        assert line in out
    assert len(asked) == 1 and asked[0][0].endswith("/framewick/json") and asked[0][1] == 5
    # Without --check nothing is asked.
    asked.clear()
    assert cli.main(["version"]) == 0 and asked == []
