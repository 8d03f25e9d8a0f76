"""A batch stopped by SIGINT or SIGTERM, sent to the command, to its workers or to the whole
process group, leaves only whole pictures and says what it had not done."""

import os
import signal
import subprocess
import sysconfig
import time

import pytest
from PIL import Image

from framewick._files import TEMP_PREFIX

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
COUNT = 12
SIZE = (1200, 900)


@pytest.fixture(scope="module")
def slow_inputs(tmp_path_factory):
    """Pictures of noise: large PNGs whose compressed save takes long enough to be caught."""
    directory = tmp_path_factory.mktemp("slow")
    noise = Image.merge("RGB", [Image.effect_noise(SIZE, 90 + 20 * i) for i in range(3)])
    noise.save(directory / "p00.png", compress_level=1)
    data = (directory / "p00.png").read_bytes()
    for i in range(1, COUNT):
        (directory / f"p{i:02d}.png").write_bytes(data)
    return directory


def children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as file:
        return [int(p) for p in file.read().split()]


def wait_for_temp_file(process, out, deadline):
    """Poll until a worker is writing (its temporary file is there), then let the save get going."""
    while True:
        assert process.poll() is None, process.communicate()
        assert time.monotonic() < deadline, "no temporary file appeared"
        if out.is_dir() and any(n.startswith(TEMP_PREFIX) for n in os.listdir(out)):
            time.sleep(0.05)
            return
        time.sleep(0.005)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["INT", "TERM"])
@pytest.mark.parametrize("to", ["parent", "workers", "group"])
def test_a_stopped_batch_leaves_only_whole_pictures(tmp_path, slow_inputs, signum, to):
    out = tmp_path / "out"
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    process = subprocess.Popen([SCRIPT, "batch", str(slow_inputs), "-d", str(out), "-j", "2", "-q",
                                "-s", "sharpen | optimize:100", "--no-progress"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        wait_for_temp_file(process, out, time.monotonic() + 60)
        if to == "parent":
            os.kill(process.pid, signum)
        elif to == "workers":
            for pid in children(process.pid):
                os.kill(pid, signum)
        else:
            os.killpg(process.pid, signum)
        _, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    # SIGTERM, to the command or to its workers, is "terminated"; SIGINT is an interrupt.
    terminated = signum == signal.SIGTERM
    assert process.returncode == (143 if terminated else 130), err
    names = sorted(os.listdir(out))
    assert not [n for n in names if n.startswith(TEMP_PREFIX)], names
    for name in names:
        with Image.open(out / name) as image:
            image.load()
            assert image.size == SIZE
    assert len(names) < COUNT
    # The last line counts every picture: the ones written and the ones the batch never did.
    last = err.splitlines()[-1]
    assert last.startswith(f"framewick batch: {'terminated' if terminated else 'interrupted'}; {COUNT} pictures: {len(names)} written, 0 skipped, 0 failed, ")
    assert last.endswith(" not started")
    assert "Traceback" not in err
