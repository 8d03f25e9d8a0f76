"""The README's command lines run as written (inside the root, where the tests already run, the
`tools/devroot` prefix is left out), in the order the README gives them."""

import os
import re
import subprocess
import sysconfig
from pathlib import Path

from PIL import Image

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
README = Path(__file__).resolve().parent.parent / "README.md"


def readme_shell_lines():
    """The README's indented shell lines that run the command line, joined across '\\'."""
    text = README.read_text(encoding="utf-8").replace("\\\n", " ")
    return [line.strip() for line in text.splitlines()
            if line.startswith("    ") and "build/venv/bin/framewick" in line and not line.strip().startswith("#")]


def in_the_root(line):
    """The line as it runs inside the root with this build's console script."""
    line = re.sub(r"\s#\s.*$", "", line)  # a trailing comment
    line = re.sub(r"tools/devroot sh -c '(.*)'", r"\1", line)
    return line.replace("tools/devroot ", "").replace("build/venv/bin/framewick", SCRIPT)


def test_readme_command_lines_run_as_written(tmp_path):
    lines = readme_shell_lines()
    commands = {re.search(r"build/venv/bin/framewick (\S+)", line).group(1) for line in lines}
    assert commands >= {"edit", "info", "steps", "batch", "completion"}
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    done = subprocess.run([SCRIPT, "-q", "demo", "build/demo"], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    for line in lines:
        done = subprocess.run(["bash", "-c", in_the_root(line)], cwd=tmp_path, env=env, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, (line, done.stderr)
    with Image.open(tmp_path / "build" / "demo" / "piped.webp") as piped:
        assert (piped.format, piped.size) == ("WEBP", (320, 240))
    # The batch's inputs each write an output of their own.
    assert sorted(os.listdir(tmp_path / "build" / "out")) == ["before-after.webp", "demo.webp", "noir.webp",
                                                              "sample.webp"]
