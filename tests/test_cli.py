"""The `framewick` command line, run through the installed console script."""

import importlib.metadata
import io
import json
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest
from pathlib import Path
from PIL import Image

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
COMMANDS = ["edit", "batch", "info", "presets", "demo", "steps", "formats", "version", "completion"]
VERSION = importlib.metadata.version("framewick")


def run(*args, cwd=None, timeout=120, input=None, env=None, text=True):
    """Run the console script; returns the finished process (text, UTF-8, unless text=False)."""
    environment = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    environment["PYTHONIOENCODING"] = "utf-8"
    environment.update(env or {})
    return subprocess.run([SCRIPT, *args], cwd=cwd, env=environment, capture_output=True, timeout=timeout,
                          input=input, **({"text": True, "encoding": "utf-8"} if text else {}))


@pytest.fixture
def photo(picture):
    """A 64x48 RGB picture: red, with a green strip a quarter wide on the left."""
    return picture(size=(64, 48), color=(200, 30, 60), pixels={(x, y): (20, 200, 40) for x in range(16) for y in range(48)})


@pytest.fixture
def looks_file(tmp_path):
    path = tmp_path / "looks.toml"
    path.write_text(textwrap.dedent('''\
        [looks.framed]
        steps = "preset:noir | border:3,color=white"
        description = "Black and white with a white frame"
        '''))
    return path


def leftovers(directory):
    return [n for n in os.listdir(directory) if n.startswith(".")]


def one_line_usage_error(done):
    assert done.returncode == 2, (done.stdout, done.stderr)
    assert done.stdout == ""
    assert len(done.stderr.splitlines()) == 1, done.stderr
    return done.stderr


# ---------------------------------------------------------------------------------------------
# edit


def test_edit_runs_the_steps_in_order_and_writes(photo, tmp_path):
    out = tmp_path / "out.jpg"
    done = run("edit", photo, "-o", str(out), "--steps", "preset:vintage | resize:32,24 | border:2 | optimize:70")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
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
    # The chain: every value a step would refuse or only warn about.
    (["--steps", "blur | resiz:1,2"], "framewick edit: error: step 2: unknown step 'resiz'; did you mean 'resize' or 'size'?"),
    (["--steps", "resize:big,2"], "step 1 'resize': width expects an integer, e.g. 800, got 'big'"),
    (["--steps", "border"], "step 1 'border': missing border_width (int)"),
    (["--steps", "preset:vintag"], "'vintag'"),
    (["--steps", "quality:101"], "step 1 'quality'"),
    (["--steps", "grayscale:1.5"], "step 1 'grayscale'"),
    (["--steps", "flip:diagonal"], "step 1 'flip'"),
    (["--steps", "mode:XYZ"], "step 1 'mode'"),
    (["--steps", "watermark:{tmp}/none.png,(0,0)"], "step 1 'watermark'"),
    (["--steps", "@{tmp}/missing.txt"], "--steps @"),
    (["--steps", "@/dev/zero"], "--steps @/dev/zero"),
    # The output, before the picture is read.
    (["-o", "{tmp}/o.xyz"], "unknown format '.xyz'"),
    (["-o", "{tmp}/noext"], "no extension"),
    (["-o", "{tmp}/no/such/dir/o.png"], "does not exist"),
    (["-o", "{tmp}"], "is a directory"),
    (["-o", "-"], "needs --format"),
    (["--format", "xyz"], "--format xyz: unknown format 'xyz'; this Pillow can write: "),
    (["--background", "no-such-colour"], "--background no-such-colour"),
    (["--max-pixels", "0"], "argument --max-pixels: expected a positive integer"),
    (["--looks", "{tmp}/missing.toml"], "--looks"),
])
def test_edit_usage_errors_exit_2_with_one_line_and_read_nothing(args, message, photo, tmp_path):
    given = [a.format(tmp=tmp_path) for a in args]
    if "-o" not in given:
        given += ["-o", str(tmp_path / "o.png")]
    done = run("edit", photo, *given)
    assert message.format(tmp=tmp_path) in one_line_usage_error(done)
    assert os.listdir(tmp_path) == [os.path.basename(photo)]


@pytest.mark.parametrize(("args", "message"), [
    (["edit", "{photo}"], "framewick edit: error: the following arguments are required: -o/--output"),
    (["batch", "{photo}", "-d", "{tmp}/out", "--jobs", "0"], "argument -j/--jobs: expected a positive integer"),
    (["info"], "the following arguments are required: IN"),
    (["info", "{photo}", "--colors", "0"], "expected a positive integer"),
    (["info", "-", "-"], "'-' (standard input) can be given once"),
    (["presets", "{photo}"], "needs -o SHEET"),
    (["presets", "{photo}", "-o", "{tmp}/s.png", "--quality", "101"], "--quality 101"),
    (["completion", "tcsh"], "invalid choice: 'tcsh'"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    ([], "the following arguments are required: COMMAND"),
])
def test_other_usage_errors(args, message, photo, tmp_path):
    done = run(*[a.format(photo=photo, tmp=tmp_path) for a in args])
    assert message in one_line_usage_error(done)
    assert os.listdir(tmp_path) == [os.path.basename(photo)]


@pytest.mark.parametrize("spelling", ["same", "dotted", "symlink", "hardlink"])
def test_edit_never_overwrites_its_input_by_any_path(spelling, photo, tmp_path):
    before = Path(photo).read_bytes()
    if spelling == "same":
        output = photo
    elif spelling == "dotted":
        output = os.path.join(os.path.dirname(photo), ".", "sub", "..", os.path.basename(photo))
        os.mkdir(tmp_path / "sub")
    elif spelling == "symlink":
        output = str(tmp_path / "link.png")
        os.symlink(photo, output)
    else:
        output = str(tmp_path / "hard.png")
        os.link(photo, output)
    done = run("edit", photo, "-o", output, "--steps", "blur", "--overwrite")
    assert "is the input" in one_line_usage_error(done)
    assert Path(photo).read_bytes() == before


def test_edit_replaces_another_existing_file_only_with_overwrite(photo, tmp_path):
    out = tmp_path / "out.png"
    out.write_bytes(b"precious")
    assert "exists; --overwrite replaces it" in one_line_usage_error(run("edit", photo, "-o", str(out)))
    assert out.read_bytes() == b"precious"
    done = run("edit", photo, "-o", str(out), "--overwrite", "--steps", "resize:8,6", "-q")
    assert done.returncode == 0, done.stderr
    with Image.open(out) as image:
        assert image.size == (8, 6)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize(("steps", "make_input", "args", "error"), [
    ("blur", lambda tmp: str(tmp / "missing.png"), [], "❌ Error: File {input} not found!"),
    ("blur", lambda tmp: (tmp / "fake.png").write_text("not a picture") and str(tmp / "fake.png"), [], "{input}"),
    ("blur", None, ["--max-pixels", "1000"], "3072"),  # 64x48 pixels over the limit
])
def test_processing_errors_exit_1_with_one_line_and_write_nothing(steps, make_input, args, error, photo, tmp_path):
    source = make_input(tmp_path) if make_input else photo
    done = run("edit", source, "-o", str(tmp_path / "out.png"), "--steps", steps, *args)
    assert done.returncode == 1
    assert len(done.stderr.splitlines()) == 1 and done.stderr.startswith("❌ Error: ")
    assert error.format(input=source) in done.stderr
    assert not (tmp_path / "out.png").exists() and leftovers(tmp_path) == []
    debug = run("edit", source, "-o", str(tmp_path / "out.png"), "--steps", steps, "--debug", *args)
    assert debug.returncode == 1 and "Traceback (most recent call last)" in debug.stderr


def test_edit_options_reach_the_photo_layer(picture, tmp_path):
    # An RGBA picture to JPEG: the alpha is flattened onto --background; --format picks the format.
    source = picture(mode="RGBA", size=(8, 6), color=(0, 0, 0, 0))
    out = tmp_path / "flat.bin"
    done = run("edit", source, "-o", str(out), "--format", ".JPG", "--background", "#00ff00", "-q")
    assert done.returncode == 0, done.stderr
    with Image.open(out) as image:
        assert image.format == "JPEG"
        r, g, b = image.getpixel((4, 3))
        assert g > 240 and r < 16 and b < 16


# ---------------------------------------------------------------------------------------------
# Pipes


def test_pipe_in_and_out_keeps_text_off_the_picture(photo):
    done = run("edit", "-", "-o", "-", "--format", "png", "--steps", "border:1", input=Path(photo).read_bytes(),
               text=False)
    assert done.returncode == 0, done.stderr
    with Image.open(io.BytesIO(done.stdout)) as image:  # the whole of standard output is the picture
        assert (image.format, image.size) == ("PNG", (66, 50))
    assert "💾 Success: Image saved as" in done.stderr.decode()
    piped = run("info", "-", "--json", input=Path(photo).read_bytes(), text=False)
    assert piped.returncode == 0, piped.stderr
    assert json.loads(piped.stdout)["size"] == [64, 48]


# ---------------------------------------------------------------------------------------------
# info


def test_info_shows_report_what_the_photo_carries_palette_and_metadata(photo, picture):
    other = picture(size=(10, 10), color=(0, 0, 255), fmt="JPEG", dpi=(300, 300))
    done = run("info", photo, other, "--colors", "2")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    report = lines.index("📊 --- Image Status Report --- 📊")
    assert lines[report + 1:report + 6] == ["📏 Dimensions: 64x48", "🎭 Mode: RGB", "📁 Format: PNG",
                                            "🌈 Color Space: RGB", "-" * 30]
    for expected in ["Palette: #C01030 #10C020", "Orientation: 1", "Frames: 1", "Bit depth: 8",
                     "DPI: 300 x 300", "📏 Dimensions: 10x10"]:
        assert expected in lines
    quiet = run("info", photo, "-q").stdout.splitlines()
    assert "📊 --- Image Status Report --- 📊" in quiet  # the report stays
    assert not any(line.startswith(("🔍", "✅")) for line in quiet)


def test_info_json_is_one_object_per_picture_and_status_lines_go_to_stderr(photo, picture, tmp_path):
    tagged = Image.new("RGB", (8, 6), (10, 10, 10))
    exif = tagged.getexif()
    exif[0x0112] = 6  # rotate 90
    exif[0x010F] = "Camera Maker"
    tagged.save(tmp_path / "tagged.jpg", exif=exif, icc_profile=b"\0" * 64)
    done = run("info", "--json", "--colors", "2", photo, str(tmp_path / "missing.png"), str(tmp_path / "tagged.jpg"))
    assert done.returncode == 1  # one picture failed, the others were described
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert [r["path"] for r in records] == [photo, str(tmp_path / "tagged.jpg")]
    first, second = records
    assert {"path", "format", "mode", "size", "frames", "dpi", "orientation", "icc", "bit_depth", "palette",
            "metadata"} <= set(first)
    assert (first["format"], first["mode"], first["size"], first["frames"]) == ("PNG", "RGB", [64, 48], 1)
    assert [p["color"] for p in first["palette"]] == ["#c01030", "#10c020"]
    shares = [p["share"] for p in first["palette"]]
    assert abs(shares[0] - 0.75) < 0.03 and abs(shares[1] - 0.25) < 0.03
    assert second["orientation"] == 6 and second["size"] == [6, 8]  # turned upright
    assert "Camera Maker" in json.dumps(second["metadata"])
    assert "🔍 Extracting top 2 dominant colors... 🧪" in done.stderr
    assert f"missing.png: ❌ Error: File {tmp_path / 'missing.png'} not found!" in done.stderr


# ---------------------------------------------------------------------------------------------
# steps, presets, looks


def test_steps_and_presets_list_in_json_with_parameters_and_looks(looks_file):
    from framewick.steps import PRESET_NAMES, STEPS

    steps = json.loads(run("steps", "--json", "--looks", str(looks_file)).stdout)
    by_method = {s["method"]: s for s in steps["steps"]}
    assert set(by_method) == {info.method for info in STEPS}
    border = by_method["apply_border"]
    assert border["name"] == "border"
    assert {k: border["params"][0][k] for k in ("name", "kind", "default", "required")} == \
        {"name": "border_width", "kind": "int", "default": None, "required": True}
    assert border["params"][0]["meaning"] == "pixels added on each side"
    assert border["params"][1]["default"] == "black"
    look = {"name": "framed", "steps": "preset:noir | border:3,color=white",
            "description": "Black and white with a white frame", "file": str(looks_file)}
    assert steps["looks"] == [look]
    presets = json.loads(run("--looks", str(looks_file), "presets", "--json").stdout)
    assert [p["name"] for p in presets["presets"]] == list(PRESET_NAMES)
    assert presets["looks"] == [look]
    text = run("presets", "--looks", str(looks_file)).stdout
    assert "  vintage    grey, contrast" in text and "  cinematic  " in text and "framed  (" + str(looks_file) + ")" in text
    assert "Black and white with a white frame" in run("steps", "--looks", str(looks_file)).stdout


def test_a_look_runs_in_edit_and_joins_the_contact_sheet_labelled(photo, looks_file, tmp_path):
    out = tmp_path / "look.png"
    done = run("edit", photo, "-o", str(out), "--steps", "look:framed", "--looks", str(looks_file), "-q")
    assert done.returncode == 0, done.stderr
    with Image.open(out) as image:
        assert image.size == (70, 54) and image.getpixel((0, 0)) == (255, 255, 255)
    sheet = tmp_path / "sheet.png"
    done = run("presets", photo, "-o", str(sheet), "--cell", "32", "-q", "--looks", str(looks_file))
    assert done.returncode == 0, done.stderr
    with Image.open(sheet) as image:
        # Nine tiles (eight presets and the look) in rows of four: three rows.
        assert image.size == (4 * (32 + 8) + 8, 3 * (24 + 26 + 16 + 8) + 8)
        x, y = 8 + 16, 8 + 2 * 58 + 12  # the look's tile, first in the third row
        assert image.getpixel((x, y))[0] == image.getpixel((x, y))[1]  # noir is grey
        label = image.crop((8, 8 + 2 * 58 + 24, 8 + 32, 8 + 2 * 58 + 50)).convert("L")
        assert label.getextrema()[0] < 100  # lettering under it


def test_presets_makes_a_labelled_contact_sheet_in_preset_order(photo, tmp_path):
    sheet = tmp_path / "sheet.png"
    done = run("presets", photo, "-o", str(sheet), "--cell", "32", "-q")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"framewick presets: contact sheet of {photo} written to {sheet}\n"
    with Image.open(sheet) as image:
        assert image.size == (4 * (32 + 8) + 8, 2 * (24 + 26 + 16 + 8) + 8)

        def tile(index):  # the colour at the middle of the right (red) half of tile `index`
            x = 8 + (index % 4) * 40 + 24
            y = 8 + (index // 4) * 74 + 12
            return image.getpixel((x, y))

        vintage, cinematic, vibrant, dreamy, noir, warm, sepia, cool = (tile(i) for i in range(8))
        assert vintage[0] == vintage[1] == vintage[2] and noir[0] == noir[1] == noir[2]
        assert vibrant[0] > 200 and warm[2] > 60 and cool[2] > warm[2]
        assert sepia[0] > sepia[1] > sepia[2]  # the brown tint


def test_a_broken_looks_file_is_a_usage_error(tmp_path, photo):
    bad = tmp_path / "bad.toml"
    bad.write_text("[looks.x\nsteps = 1")
    assert "--looks" in one_line_usage_error(run("steps", "--looks", str(bad)))


# ---------------------------------------------------------------------------------------------
# demo, help, version, completion


def test_demo_writes_the_typical_request_and_a_before_after(tmp_path):
    done = run("demo", "out", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = tmp_path / "out"
    assert sorted(os.listdir(out)) == ["before-after.jpg", "demo.jpg", "sample.png"]
    with Image.open(out / "demo.jpg") as demo:
        assert (demo.format, demo.size) == ("JPEG", (820, 620))
        assert max(demo.convert("RGB").getpixel((3, 3))) < 20  # the black border
    text = done.stdout
    for expected in ["🎯 Success: Preset 'vintage' applied perfectly!", "📏 Success: Image resized to 800x600",
                     "📏 Dimensions: 820x620", "💾 Success: Image saved as 'out/demo.jpg' ✅",
                     "  result:         out/demo.jpg", "  before/after:   out/before-after.jpg"]:
        assert expected in text
    assert text.index("800x600") < text.index("Status Report") < text.index("Quality: 80%")


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_help_with_an_example(command):
    done = run(command, "--help")
    assert done.returncode == 0
    assert "example:\n  framewick " + command in done.stdout


def test_step_list_in_help_matches_the_classes():
    from framewick.chain import catalogue

    edit_help = run("edit", "--help").stdout
    steps = run("steps").stdout
    for info in catalogue():
        assert info.signature() in edit_help and info.signature() in steps
        assert info.doc in steps
    assert "border, apply_border" in steps


def test_version_in_every_spelling(tmp_path):
    assert run("--version").stdout == f"framewick {VERSION}\n"
    done = subprocess.run([sys.executable, "-m", "framewick", "version"], cwd=tmp_path, capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, f"framewick {VERSION}\n")


def test_completion_scripts_complete_commands_options_steps_and_presets(tmp_path, looks_file):
    for shell in ("bash", "zsh", "fish"):
        done = run("completion", shell, "--looks", str(looks_file))
        assert done.returncode == 0, done.stderr
        for word in ("edit", "batch", "steps", "overwrite", "preset:vintage", "apply_border", "look:framed"):
            assert word in done.stdout, (shell, word)
    script = tmp_path / "framewick.bash"
    script.write_text(run("completion", "bash").stdout)
    probe = ('source "$1"; COMP_WORDS=(framewick edit --steps pre); COMP_CWORD=3; _shtab_framewick; '
             'echo "${COMPREPLY[@]}"; COMP_WORDS=(framewick pres); COMP_CWORD=1; _shtab_framewick; echo "${COMPREPLY[@]}"')
    shown = subprocess.run(["bash", "-c", probe, "bash", str(script)], capture_output=True, text=True).stdout.splitlines()
    assert "preset:noir" in shown[0].split() and shown[1].split() == ["presets"]
    # Without shtab: a clear message, not a traceback.
    (tmp_path / "shtab").mkdir()
    (tmp_path / "shtab" / "__init__.py").write_text("raise ImportError('no shtab here')")
    done = run("completion", "bash", env={"PYTHONPATH": str(tmp_path)})
    assert done.returncode == 1 and "needs shtab" in done.stderr and "Traceback" not in done.stderr
