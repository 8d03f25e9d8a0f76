"""The package: FrameWick, its version, what importing it does, and the README's promises."""

import importlib
import importlib.metadata
import os
import pickle
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest
from PIL import Image

import framewick
from framewick import FrameWick

README = Path(__file__).resolve().parent.parent / "README.md"
SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
MODULES = ["framewick.utils.storage", "framewick.modules.effects", "framewick.modules.geometry",
           "framewick.modules.overlays", "framewick.utils.inspector", "framewick.utils.updater"]


def test_version_is_the_distributions():
    assert framewick.__version__ == importlib.metadata.version("framewick")
    assert set(framewick.__all__) == {"FrameWick", "__version__", "quiet"}


def test_framewick_combines_the_seven_mixins():
    names = [k.__name__ for k in FrameWick.__mro__]
    assert names == ["FrameWick", "Storage", "Effects", "Geometry", "Overlays", "Inspector", "Grading", "Editing", "object"]
    assert repr(FrameWick) == "<class 'framewick.FrameWick'>"
    assert pickle.loads(pickle.dumps(FrameWick)) is FrameWick


def test_the_typical_request_chains_on_one_object(picture, tmp_path, console):
    obj = FrameWick.load(picture(size=(64, 48)))
    assert type(obj) is FrameWick and obj.quality == 95
    target = str(tmp_path / "out.jpg")
    steps = [lambda o: o.apply_preset("vintage"), lambda o: o.resize(80, 60), lambda o: o.apply_border(10),
             lambda o: o.compare(), lambda o: o.optimize(80), lambda o: o.save(target)]
    for step in steps:
        assert step(obj) is obj
    with Image.open(target) as saved:
        assert (saved.format, saved.size) == ("JPEG", (100, 80))
    assert console.lines()[-1] == f"💾 Success: Image saved as '{target}' ✅"


NETWORK_PROBE = """
    import socket, sys
    attempts = []

    def hook(event, args):
        if event == "socket.connect" and args[0].family in (socket.AF_INET, socket.AF_INET6):
            attempts.append(args[1])
        elif event in ("socket.getaddrinfo", "socket.gethostbyname"):
            attempts.append(args[0])

    sys.addaudithook(hook)
    import framewick
    from framewick import FrameWick
    from framewick.cli import main
    assert main(["-q", "demo", "d"]) == 0
    assert main(["-q", "edit", "d/sample.png", "-o", "d/e.png", "--steps", "preset:noir | thumbnail:40,40"]) == 0
    assert main(["-q", "info", "d/e.png"]) == 0
    assert main(["-q", "batch", "d", "-d", "o", "--steps", "blur", "--jobs", "1"]) == 0
    assert main(["version"]) == 0
    print("ATTEMPTS", attempts, "updater" in sys.modules, "framewick.utils.updater" in sys.modules)
"""


def test_importing_and_the_commands_never_touch_the_network(run_py):
    code, out, err = run_py(NETWORK_PROBE)
    assert code == 0, err
    assert out.splitlines()[-1] == "ATTEMPTS [] False False"


def test_importing_one_native_module_loads_that_module_alone(run_py):
    code, out, err = run_py("""
        import sys
        import framewick.utils.storage
        print(sorted(m for m in sys.modules if m.startswith("framewick.") and m.count(".") == 2))
    """)
    assert (code, out) == (0, "['framewick.utils.storage']\n"), err


def test_stubs_and_py_typed_are_installed_beside_the_modules():
    package = Path(framewick.__file__).parent
    assert (package / "py.typed").is_file()
    for name in MODULES:
        module = importlib.import_module(name)
        stub = Path(module.__file__).parent / (name.rsplit(".", 1)[1] + ".pyi")
        assert stub.is_file(), stub


# ---------------------------------------------------------------------------------------------
# The README, as a newcomer would follow it


def readme_python():
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)


@pytest.fixture
def demo_dir(tmp_path):
    """A working directory where `make demo` has run (its files in build/demo)."""
    done = subprocess.run([SCRIPT, "-q", "demo", "build/demo"], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return tmp_path


def test_readme_python_examples_run(demo_dir):
    blocks = readme_python()
    assert len(blocks) >= 4
    shutil.copy(demo_dir / "build" / "demo" / "sample.png", demo_dir / "photo.png")  # the opening example's
    for index, block in enumerate(blocks):
        script = demo_dir / f"example{index}.py"
        script.write_text(textwrap.dedent(block), encoding="utf-8")
        env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
        done = subprocess.run([sys.executable, str(script)], cwd=demo_dir, env=env,
                              capture_output=True, text=True, encoding="utf-8", timeout=180)
        assert done.returncode == 0, (index, done.stderr)
    assert (demo_dir / "build" / "cluster-out" / "sample.png").is_file()
    with Image.open(demo_dir / "out.jpg") as out, Image.open(demo_dir / "build" / "demo" / "noir.png") as noir:
        assert (out.size, noir.size) == ((820, 620), (656, 496))


def test_gallery_images_exist_and_are_small():
    text = README.read_text(encoding="utf-8")
    images = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", text)
    assert images == ["docs/presets.jpg", "docs/before-after.jpg", "docs/lut-before-after.jpg", "docs/studio.png"]
    for image in images:
        path = README.parent / image
        # photos as JPEG within 60 KB; the studio's screenshot of a photo as a palette PNG within 200 KB
        assert path.stat().st_size <= (200 if image.endswith(".png") else 60) * 1024
        with Image.open(path) as picture:
            # photos as JPEG; the studio's screenshot as a palette PNG (text stays sharp)
            assert picture.format == ("PNG" if image.endswith(".png") else "JPEG") and picture.width >= 600
