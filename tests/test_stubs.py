"""The type stubs: checked against the built modules, and used by mypy on the README's examples."""

import os
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"
MODULES = ["framewick.utils.storage", "framewick.modules.effects", "framewick.modules.geometry",
           "framewick.modules.overlays", "framewick.utils.inspector", "framewick.utils.updater"]

# Every module's exec slot sets `__test__` to an empty dict (as compiled extension modules
# commonly do); it is no part of the typed interface, so the stubs leave it out.
ALLOWLIST = r"framewick\.(utils|modules)\.[a-z]+\.__test__" + "\n"

# Completion must follow a chain: every editing method returns the combined class, and the
# annotations are enforced (a str where an int belongs is an error).
PROBE = """
from framewick import FrameWick
from framewick.modules.effects import PRESETS
from framewick.utils.updater import FrameWickUpdater

photo = FrameWick.load("in.png")
reveal_type(photo.apply_preset("noir").resize(800, 600).apply_border(10).compare().optimize(80))
reveal_type(photo.rotate(90).thumbnail((64, 64)).add_text("hi", (1, 2)).round_corners(5).invert())
reveal_type(photo.extract_color_palette(3))
reveal_type(photo.image)
reveal_type(PRESETS["noir"](photo.image))
reveal_type(FrameWickUpdater("framewick", "1.0.0").start_check())
photo.resize("800", 600)
"""

MYPY_CONFIG = """
[mypy]
strict = True
warn_unused_ignores = True
# The cluster example only needs dask's names, not a check of dask itself.
[mypy-distributed.*,dask.*]
follow_imports = skip
"""


def run(args, cwd):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON") and k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          encoding="utf-8", timeout=600)


def test_stubtest_finds_the_stubs_true_to_the_modules(tmp_path):
    (tmp_path / "allowlist.txt").write_text(ALLOWLIST)
    done = run(["mypy.stubtest", *MODULES, "--allowlist", "allowlist.txt"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_on_the_readme_examples_and_a_chain(tmp_path):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)
    assert len(blocks) >= 3
    files = []
    for index, block in enumerate(blocks):
        (tmp_path / f"readme_{index}.py").write_text(block, encoding="utf-8")
        files.append(f"readme_{index}.py")
    (tmp_path / "probe.py").write_text(PROBE, encoding="utf-8")
    (tmp_path / "mypy.ini").write_text(MYPY_CONFIG)
    done = run(["mypy", "--config-file", "mypy.ini", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                *files, "probe.py"], tmp_path)
    lines = done.stdout.splitlines()
    assert not [line for line in lines if line.startswith("readme_")], done.stdout + done.stderr
    # The class lives in a private module and is re-exported by the package.
    notes = [line.split("Revealed type is ", 1)[1].replace("framewick.picture.", "framewick.")
             for line in lines if "Revealed type is" in line]
    assert notes == ['"framewick.FrameWick"', '"framewick.FrameWick"', '"list[str]"',
                     '"PIL.Image.Image"', '"PIL.Image.Image"', '"framewick.utils.updater.FrameWickUpdater"']
    errors = [line for line in lines if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("probe.py:13: error: Argument 1 to \"resize\""), done.stdout
