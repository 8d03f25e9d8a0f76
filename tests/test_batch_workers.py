"""A batch whose worker dies (killed by the kernel for memory, or by a signal): the picture it had
fails naming the cause, the rest are done by a fresh worker, the summary is printed, and no
process outlives the command, whatever happens to it."""

import os
import signal
import subprocess
import sys
import sysconfig
import textwrap
import time

import pytest
from PIL import Image

from framewick._files import TEMP_PREFIX

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
ENV = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}

SUICIDE = '''
import os, signal
from framewick.batch import process_one

def dies_on_p2(job, chain, options):
    if os.path.basename(job.source) == "p2.png":
        os.kill(os.getpid(), signal.SIGKILL)
    return process_one(job, chain, options)
'''


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    return True


def children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as file:
        return [int(p) for p in file.read().split()]


@pytest.fixture
def inputs(tmp_path):
    directory = tmp_path / "in"
    directory.mkdir()
    for i in range(6):
        Image.new("RGB", (40, 30), (40 * i, 90, 200)).save(directory / f"p{i}.png")
    return directory


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_worker_that_dies_fails_its_picture_and_a_fresh_one_does_the_rest(tmp_path, inputs, jobs):
    (tmp_path / "suicide.py").write_text(SUICIDE)
    script = textwrap.dedent(f"""
        import multiprocessing, sys
        sys.path.insert(0, {str(tmp_path)!r})
        from framewick.batch import run_batch
        from suicide import dies_on_p2
        result = run_batch([{str(inputs)!r}], {str(tmp_path / 'out')!r}, "resize:20,15", jobs={jobs},
                           worker=dies_on_p2)
        print(result.summary())
        for o in result.failed:
            print(o.source.rsplit("/", 1)[1], o.reason)
        print("children", len(multiprocessing.active_children()))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "6 pictures: 5 written, 0 skipped, 1 failed",
        "p2.png ❌ Error: worker died: killed by signal 9 (out of memory?)",
        "children 0",
    ]
    assert sorted(os.listdir(tmp_path / "out")) == [f"p{i}.png" for i in range(6) if i != 2]


@pytest.fixture(scope="module")
def slow_inputs(tmp_path_factory):
    """Pictures of noise whose compressed save takes long enough for a worker to be caught in it."""
    directory = tmp_path_factory.mktemp("slow")
    noise = Image.merge("RGB", [Image.effect_noise((1200, 900), 90 + 20 * i) for i in range(3)])
    noise.save(directory / "p00.png", compress_level=1)
    data = (directory / "p00.png").read_bytes()
    for i in range(1, 6):
        (directory / f"p{i:02d}.png").write_bytes(data)
    return directory


def start_batch(slow_inputs, out):
    return subprocess.Popen([SCRIPT, "batch", str(slow_inputs), "-d", str(out), "-j", "2", "-q", "--no-progress",
                             "-s", "sharpen | optimize:100"], env=ENV, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)


def wait_for_temp_file(process, out):
    deadline = time.monotonic() + 60
    while not (out.is_dir() and any(n.startswith(TEMP_PREFIX) for n in os.listdir(out))):
        assert process.poll() is None, process.communicate()
        assert time.monotonic() < deadline, "no temporary file appeared"
        time.sleep(0.005)


def writer_of_a_temporary_file(pid):
    """The worker that has a temporary file open (it is writing a picture)."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        for child in children(pid):
            try:
                fds = os.listdir(f"/proc/{child}/fd")
                targets = [os.readlink(f"/proc/{child}/fd/{fd}") for fd in fds]
            except OSError:
                continue
            if any(os.path.basename(t).startswith(TEMP_PREFIX) for t in targets):
                return child
        time.sleep(0.002)
    raise AssertionError("no worker was caught writing")


def test_the_command_goes_on_when_a_worker_is_killed_and_exits_1(tmp_path, slow_inputs):
    out = tmp_path / "out"
    process = start_batch(slow_inputs, out)
    try:
        wait_for_temp_file(process, out)
        os.kill(writer_of_a_temporary_file(process.pid), signal.SIGKILL)  # no cleanup runs in it
        stdout, stderr = process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    assert process.returncode == 1, stderr
    failures = stderr.splitlines()
    assert len(failures) == 1 and failures[0].endswith(": ❌ Error: worker died: killed by signal 9 (out of memory?)")
    assert stdout.splitlines()[-1] == f"framewick batch: 6 pictures: 5 written, 0 skipped, 1 failed (into {out})"
    names = sorted(os.listdir(out))
    assert len(names) == 5 and not [n for n in names if n.startswith(".")]  # its temporary file is gone too
    assert not group_alive(process.pid)


@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGHUP, signal.SIGTERM, signal.SIGINT])
def test_no_worker_outlives_the_command(tmp_path, slow_inputs, signum):
    out = tmp_path / "out"
    process = start_batch(slow_inputs, out)
    try:
        wait_for_temp_file(process, out)
        workers = children(process.pid)
        assert workers
        os.kill(process.pid, signum)
        process.communicate(timeout=60)
        deadline = time.monotonic() + 30
        while group_alive(process.pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not group_alive(process.pid), "a worker outlived the command"
    finally:
        if group_alive(process.pid):
            os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    # A worker stopped by its parent's end leaves no temporary file.
    assert not [n for n in os.listdir(out) if n.startswith(TEMP_PREFIX)]
