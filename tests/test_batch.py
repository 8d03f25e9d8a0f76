"""Batches: the library runner on the default pool, on a dask cluster and inline; the command."""

import os
import signal
import subprocess
import sysconfig
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from framewick import FrameWick
from framewick._files import TEMP_PREFIX
from framewick.batch import BatchInterrupted, expand_inputs, plan, run_batch

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
CHAIN = "preset:noir | resize:32,24"


def run(*args, **kwargs):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run([SCRIPT, *args], env=env, capture_output=True, text=True, encoding="utf-8",
                          timeout=120, **kwargs)


def make_inputs(directory, count=4, size=(64, 48), bad=True):
    """`count` pictures p0.png ... and, with `bad`, a file bad.png that is no picture."""
    directory.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        Image.new("RGB", size, (40 * i, 120, 200)).save(directory / f"p{i}.png")
    if bad:
        (directory / "bad.png").write_text("not a picture")
    return directory


def snapshot(directory):
    return {n: (directory / n).read_bytes() for n in sorted(os.listdir(directory))}


def assert_whole_pictures(directory, size=(32, 24)):
    """Every file in `directory` is a complete picture of `size`; no temporary file is left."""
    names = sorted(os.listdir(directory))
    assert not [n for n in names if n.startswith(TEMP_PREFIX)], names
    for name in names:
        with Image.open(directory / name) as image:
            image.load()
            assert image.size == size, name
    return names


def test_a_failing_picture_is_reported_and_the_rest_go_on(tmp_path):
    inputs = make_inputs(tmp_path / "in")
    before = snapshot(inputs)
    done = run("batch", str(inputs), "--out-dir", str(tmp_path / "out"), "--steps", CHAIN, "--jobs", "2")
    assert done.returncode == 1
    assert assert_whole_pictures(tmp_path / "out") == ["p0.png", "p1.png", "p2.png", "p3.png"]
    assert done.stderr == (f"{inputs / 'bad.png'}: ❌ Error: UnidentifiedImageError: "
                           f"cannot identify image file '{inputs / 'bad.png'}'\n")
    assert done.stdout.endswith(f"framewick batch: 5 pictures: 4 written, 0 skipped, 1 failed (into {tmp_path / 'out'})\n")
    # Each picture's lines arrive together, in the library's order.
    for i in range(4):
        block = [f"📸 Image loaded: {inputs / f'p{i}.png'}", "🎯 Success: Preset 'noir' applied perfectly!",
                 "📏 Success: Image resized to 32x24", f"💾 Success: Image saved as '{tmp_path / 'out' / f'p{i}.png'}' ✅"]
        lines = done.stdout.splitlines()
        start = lines.index(block[0])
        assert lines[start:start + 4] == block
    assert snapshot(inputs) == before


def test_existing_outputs_are_skipped_unless_overwrite(tmp_path):
    inputs = make_inputs(tmp_path / "in", count=3, bad=False)
    out = tmp_path / "out"
    out.mkdir()
    Image.new("RGB", (5, 5)).save(out / "p1.png")
    kept = (out / "p1.png").read_bytes()
    done = run("batch", str(inputs / "*.png"), "-d", str(out), "-s", CHAIN, "-q")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"framewick batch: 3 pictures: 2 written, 1 skipped, 0 failed (into {out})\n"
    assert (out / "p1.png").read_bytes() == kept
    done = run("batch", str(inputs), "-d", str(out), "-s", CHAIN, "--overwrite", "-q")
    assert done.returncode == 0 and "3 written" in done.stdout
    assert assert_whole_pictures(out) == ["p0.png", "p1.png", "p2.png"]


@pytest.mark.parametrize("overwrite", [[], ["--overwrite"]])
def test_inputs_are_never_overwritten(tmp_path, overwrite):
    inputs = make_inputs(tmp_path / "in", count=2, bad=False)
    before = snapshot(inputs)
    done = run("batch", str(inputs), "-d", str(inputs), "-s", CHAIN, *overwrite)
    assert done.returncode == 1
    assert "would overwrite an input" in done.stderr
    assert snapshot(inputs) == before
    # Another extension is another file, so the same directory is fine then.
    done = run("batch", str(inputs), "-d", str(inputs), "-s", CHAIN, "--format", "jpg", "-q")
    assert done.returncode == 0
    assert sorted(os.listdir(inputs)) == ["p0.jpg", "p0.png", "p1.jpg", "p1.png"]
    assert {n: b for n, b in snapshot(inputs).items() if n.endswith(".png")} == before


def test_inputs_from_files_directories_and_globs(tmp_path):
    a = make_inputs(tmp_path / "a", count=2, bad=False)
    b = make_inputs(tmp_path / "b", count=1, bad=False)
    (a / "notes.txt").write_text("not listed: not a picture extension")
    (a / f"{TEMP_PREFIX}p9-x.png").write_text("a stale temporary file")
    found, problems = expand_inputs([str(a), str(a / "p0.png"), str(tmp_path / "b" / "*.png"),
                                     str(tmp_path / "none" / "*.jpg"), str(tmp_path / "missing.png")])
    assert found == [str(a / "p0.png"), str(a / "p1.png"), str(b / "p0.png"), str(tmp_path / "missing.png")]
    assert [(p.status, p.reason) for p in problems] == [
        ("failed", f"❌ Error: No file matches {tmp_path / 'none' / '*.jpg'}")]
    # Two inputs with one output name: the second is refused rather than replacing the first.
    jobs, decided = plan(found[:3], str(tmp_path / "out"))
    assert [j.source for j in jobs] == found[:2]
    assert [(d.source, d.status) for d in decided] == [(found[2], "failed")]
    assert "is already written to" in decided[0].reason


def test_run_batch_on_the_default_pool(tmp_path):
    inputs = make_inputs(tmp_path / "in", count=3)
    seen = []
    result = run_batch([str(inputs)], str(tmp_path / "out"), CHAIN, jobs=2, on_outcome=seen.append)
    assert sorted((o.source, o.status) for o in result.outcomes) == sorted(
        [(str(inputs / f"p{i}.png"), "written") for i in range(3)] + [(str(inputs / "bad.png"), "failed")])
    assert seen == result.outcomes and not result.ok
    assert result.summary() == "4 pictures: 3 written, 0 skipped, 1 failed"
    assert assert_whole_pictures(tmp_path / "out") == ["p0.png", "p1.png", "p2.png"]
    written = {o.source: o.output for o in result.written}
    assert written[str(inputs / "p0.png")].startswith(f"📸 Image loaded: {inputs / 'p0.png'}\n")


def test_progress_bar_counts_every_picture(tmp_path, capsys):
    inputs = make_inputs(tmp_path / "in", count=2, bad=False)
    with ThreadPoolExecutor(1) as pool:
        run_batch([str(inputs)], str(tmp_path / "out"), [{"method": "resize", "args": [32, 24]}],
                  executor=pool, progress=True)
    assert "2/2" in capsys.readouterr().err


def interrupting_save(real_save, after):
    """A save that writes `after` pictures normally, then half a file, then is interrupted."""
    calls = []

    def save(self, filename):
        calls.append(filename)
        if len(calls) <= after:
            return real_save(self, filename)
        with open(filename, "wb") as file:
            file.write(b"\x89PNG\r\n\x1a\n truncated")
        raise KeyboardInterrupt

    return save


def test_an_interrupted_batch_leaves_no_partial_output(tmp_path, monkeypatch):
    inputs = make_inputs(tmp_path / "in", count=5, bad=False)
    monkeypatch.setattr(FrameWick, "save", interrupting_save(FrameWick.save, after=2))
    with ThreadPoolExecutor(1) as pool, pytest.raises(BatchInterrupted) as caught:
        run_batch([str(inputs)], str(tmp_path / "out"), CHAIN, executor=pool)
    assert len(caught.value.result.written) == 2
    assert assert_whole_pictures(tmp_path / "out") == ["p0.png", "p1.png"]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_killed_batch_command_leaves_only_whole_outputs(tmp_path, signum):
    inputs = make_inputs(tmp_path / "in", count=40, size=(640, 480), bad=False)
    out = tmp_path / "out"
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    process = subprocess.Popen([SCRIPT, "batch", str(inputs), "-d", str(out), "-j", "1", "-q",
                                "-s", "blur:6 | sharpen | blur:6 | resize:32,24"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not (out.is_dir() and any(not n.startswith(".") for n in os.listdir(out))):
        assert process.poll() is None and time.monotonic() < deadline, "no output appeared"
        time.sleep(0.01)
    process.send_signal(signum)
    _, err = process.communicate(timeout=60)
    assert process.returncode == 130, err
    assert "framewick batch: interrupted" in err
    names = assert_whole_pictures(out)
    assert 1 <= len(names) < 40


@pytest.fixture(scope="module")
def cluster_executor():
    """A two-worker dask cluster on loopback (two threads each), shared by this module's tests."""
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=2, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client.get_executor()


def test_run_batch_on_a_dask_cluster(tmp_path, cluster_executor):
    inputs = make_inputs(tmp_path / "in", count=6)
    result = run_batch([str(inputs / "*.png")], str(tmp_path / "out"), CHAIN, executor=cluster_executor)
    assert result.summary() == "7 pictures: 6 written, 0 skipped, 1 failed"
    assert [o.source for o in result.failed] == [str(inputs / "bad.png")]
    assert assert_whole_pictures(tmp_path / "out") == [f"p{i}.png" for i in range(6)]
    # Workers run two pictures at once on threads: each outcome holds its own picture's lines only.
    for outcome in result.written:
        assert outcome.output.splitlines() == [
            f"📸 Image loaded: {outcome.source}", "🎯 Success: Preset 'noir' applied perfectly!",
            "📏 Success: Image resized to 32x24", f"💾 Success: Image saved as '{outcome.target}' ✅"]
    again = run_batch([str(inputs)], str(tmp_path / "out"), CHAIN, executor=cluster_executor)
    assert again.summary() == "7 pictures: 0 written, 6 skipped, 1 failed"


def test_captures_on_two_threads_keep_their_own_lines(capsys):
    import threading

    from framewick._output import captured

    barrier = threading.Barrier(2)
    texts = {}

    def work(name):
        with captured() as buffer:
            for i in range(50):
                print(f"{name} {i}")
                if i == 10:
                    barrier.wait()
        texts[name] = buffer.getvalue()

    threads = [threading.Thread(target=work, args=(n,)) for n in "ab"]
    for t in threads:
        t.start()
    print("main thread line")
    for t in threads:
        t.join()
    assert texts == {n: "".join(f"{n} {i}\n" for i in range(50)) for n in "ab"}
    assert capsys.readouterr().out == "main thread line\n"
