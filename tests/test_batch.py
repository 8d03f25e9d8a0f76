"""Batches: the library runner on the default pool, on a dask cluster and inline; the command."""

import os
import subprocess
import sys
import sysconfig
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from framewick._files import TEMP_PREFIX
from framewick.batch import BatchError, BatchInterrupted, Source, expand_inputs, plan, run_batch

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
CHAIN = "preset:noir | resize:32,24"


def run(*args, **kwargs):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run([SCRIPT, *args], env=env, capture_output=True, text=True, encoding="utf-8",
                          timeout=120, **kwargs)


def make_inputs(directory, count=4, size=(64, 48), bad=True, names=None):
    """`count` pictures p0.png ... (or `names`) and, with `bad`, a file bad.png that is no picture."""
    directory.mkdir(parents=True, exist_ok=True)
    for i, name in enumerate(names or [f"p{i}.png" for i in range(count)]):
        (directory / name).parent.mkdir(parents=True, exist_ok=True)
        Image.new("RGB", size, (40 * i, 120, 200)).save(directory / name)
    if bad:
        (directory / "bad.png").write_text("not a picture")
    return directory


def snapshot(directory):
    return {n: (directory / n).read_bytes() for n in sorted(os.listdir(directory))}


def tree(directory):
    return sorted(os.path.relpath(os.path.join(d, f), directory) for d, _, fs in os.walk(directory) for f in fs)


def assert_whole_pictures(directory, size=(32, 24)):
    """Every file under `directory` is a complete picture of `size`; no temporary file is left."""
    names = tree(directory)
    assert not [n for n in names if os.path.basename(n).startswith(TEMP_PREFIX)], names
    for name in names:
        with Image.open(directory / name) as image:
            image.load()
            assert image.size == size, name
    return names


# ---------------------------------------------------------------------------------------------
# Pictures that fail, outputs that exist, inputs that stay


def test_a_failing_picture_is_reported_and_the_rest_go_on(tmp_path):
    inputs = make_inputs(tmp_path / "in")
    before = snapshot(inputs)
    out = tmp_path / "out"
    done = run("batch", str(inputs), "--out-dir", str(out), "--steps", CHAIN, "--jobs", "2", "-v")
    assert done.returncode == 1
    assert assert_whole_pictures(out) == ["p0.png", "p1.png", "p2.png", "p3.png"]
    bad = inputs / "bad.png"
    assert done.stderr == f"{bad}: ❌ Error: {bad} is not a picture this Pillow can read\n"
    assert done.stdout.endswith(f"framewick batch: 5 pictures: 4 written, 0 skipped, 1 failed (into {out})\n")
    # With -v, each picture's lines arrive together, in the library's order.
    lines = done.stdout.splitlines()
    for i in range(4):
        block = ["🎯 Success: Preset 'noir' applied perfectly!", "📏 Success: Image resized to 32x24",
                 f"💾 Success: Image saved as '{out / f'p{i}.png'}' ✅"]
        start = lines.index(block[2]) - 2
        assert lines[start:start + 3] == block
    assert snapshot(inputs) == before


def test_debug_shows_the_traceback_from_the_worker(tmp_path):
    inputs = make_inputs(tmp_path / "in", count=1)
    plain = run("batch", str(inputs), "-d", str(tmp_path / "a"), "-s", CHAIN, "-q", "-j", "2")
    debug = run("batch", str(inputs), "-d", str(tmp_path / "b"), "-s", CHAIN, "-q", "-j", "2", "--debug")
    assert plain.returncode == debug.returncode == 1
    assert "Traceback" not in plain.stderr
    line = f"{inputs / 'bad.png'}: ❌ Error: {inputs / 'bad.png'} is not a picture this Pillow can read\n"
    assert debug.stderr.startswith(line + "Traceback (most recent call last):\n")
    # The frames are the worker's: the batch's own call and the photo layer's open below it.
    assert 'framewick/batch.py", line' in debug.stderr and "in process_one" in debug.stderr
    assert "PhotoError" in debug.stderr.splitlines()[-1]


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


# ---------------------------------------------------------------------------------------------
# Inputs, trees, dry runs and the usage errors found before any picture is read


def test_inputs_from_files_directories_and_globs(tmp_path):
    a = make_inputs(tmp_path / "a", count=2, bad=False, names=["p0.png", "p1.png", "sub/s.png"])
    b = make_inputs(tmp_path / "b", count=1, bad=False)
    (a / "notes.txt").write_text("not listed: not a picture extension")
    (a / f"{TEMP_PREFIX}p9-x.png").write_text("a stale temporary file")
    found = expand_inputs([str(a), str(a / "p0.png"), str(tmp_path / "b" / "*.png")])
    assert found == [Source(str(a / "p0.png"), "p0.png"), Source(str(a / "p1.png"), "p1.png"),
                     Source(str(b / "p0.png"), "p0.png")]
    # Recursive: a directory's tree keeps its paths, a pattern's matches keep theirs from the
    # pattern's fixed part, and the output directory inside the tree is not walked.
    make_inputs(a / "out", count=1, bad=False)
    found = expand_inputs([str(a), str(tmp_path / "*" / "p0.png")], recursive=True, out_dir=str(a / "out"))
    assert [(s.path, s.relative) for s in found] == [
        (str(a / "p0.png"), "p0.png"), (str(a / "p1.png"), "p1.png"), (str(a / "sub" / "s.png"), "sub/s.png"),
        (str(b / "p0.png"), "b/p0.png")]
    for missing in [str(tmp_path / "none" / "*.jpg"), str(tmp_path / "missing.png")]:
        with pytest.raises(BatchError, match="no file matches|no such file"):
            expand_inputs([str(a), missing])
    # Two inputs with one output name stop the plan, naming both.
    with pytest.raises(BatchError) as caught:
        plan([str(a / "p0.png"), str(b / "p0.png")], str(tmp_path / "out"))
    assert str(caught.value) == f"{a / 'p0.png'} and {b / 'p0.png'} would both be written to {tmp_path / 'out' / 'p0.png'}"


def test_recursive_batch_and_dry_run(tmp_path):
    inputs = make_inputs(tmp_path / "in", bad=False, names=["a.png", "x/b.png", "x/y/c.png", ".hidden/d.png"])
    out = tmp_path / "out"
    args = ["batch", str(inputs), "-d", str(out), "-s", CHAIN, "-r", "--format", "JPEG", "-q"]
    dry = run(*args, "--dry-run")
    assert dry.returncode == 0, dry.stderr
    assert not out.exists()
    expected = ["a.jpg", "x/b.jpg", "x/y/c.jpg"]
    assert dry.stdout.splitlines()[:-1] == [f"write {inputs / n.replace('.jpg', '.png')} -> {out / n}" for n in expected]
    done = run(*args)
    assert done.returncode == 0, done.stderr
    assert assert_whole_pictures(out) == expected
    with Image.open(out / "x" / "y" / "c.jpg") as image:
        assert image.format == "JPEG"
    # Once written, a dry run names them as skipped and still touches nothing.
    (inputs / "x" / "new.png").write_bytes((inputs / "a.png").read_bytes())
    before = {n: os.stat(out / n).st_mtime_ns for n in tree(out)}
    dry = run(*args, "--dry-run")
    assert dry.stdout.splitlines() == [
        f"write {inputs / 'x' / 'new.png'} -> {out / 'x' / 'new.jpg'}",
        *[f"skip {inputs / n.replace('.jpg', '.png')}: {out / n} exists (--overwrite replaces it)" for n in expected],
        f"framewick batch: dry run, nothing written; 4 pictures: 1 to write, 3 skipped, 0 refused (into {out})"]
    assert {n: os.stat(out / n).st_mtime_ns for n in tree(out)} == before


@pytest.mark.parametrize("inputs, message", [
    (["{d}/*.jpg"], "{d}/*.jpg: no file matches"),
    (["{d}", "{d}/nothing-here.png"], "{d}/nothing-here.png: no such file or directory"),
    (["{d}/p0.png", "{d}/other/p0.png"], "{d}/p0.png and {d}/other/p0.png would both be written to {o}/p0.png"),
    (["{d}", "--format", "pcd"], "--format pcd: unknown format 'pcd'; this Pillow can write: "),
    (["{d}", "--background", "no-such-colour"], "--background no-such-colour: not a colour"),
])
def test_usage_errors_come_before_any_work(tmp_path, inputs, message):
    d = make_inputs(tmp_path / "in", count=2, names=["p0.png", "other/p0.png"], bad=False)
    out = tmp_path / "out"
    done = run("batch", *[i.format(d=d) for i in inputs], "-d", str(out), "-s", CHAIN)
    assert done.returncode == 2
    assert done.stderr.startswith("framewick batch: error: " + message.format(d=d, o=out))
    assert len(done.stderr.splitlines()) == 1 and done.stdout == ""
    assert not out.exists()


# ---------------------------------------------------------------------------------------------
# How pictures are read and written


def test_reading_and_writing_options(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    # A camera JPEG stored sideways (orientation 6), and a half-transparent PNG.
    exif = Image.Exif()
    exif[0x0112] = 6
    Image.new("RGB", (48, 32), (20, 200, 20)).save(src / "turned.jpg", exif=exif.tobytes())
    Image.new("RGBA", (48, 32), (0, 0, 255, 0)).save(src / "clear.png")
    out = tmp_path / "out"
    done = run("batch", str(src), "-d", str(out), "-s", "border:1", "--format", ".JPG", "--background", "red", "-q")
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(out)) == ["clear.jpg", "turned.jpg"]
    with Image.open(out / "turned.jpg") as turned, Image.open(out / "clear.jpg") as clear:
        assert turned.size == (34, 50)  # upright, then framed
        r, g, b = clear.convert("RGB").getpixel((20, 15))
        assert r > 200 and g < 50 and b < 50  # flattened onto red
    kept = run("batch", str(src / "turned.jpg"), "-d", str(tmp_path / "kept"), "-s", "border:1", "--no-orient", "-q")
    assert kept.returncode == 0, kept.stderr
    with Image.open(tmp_path / "kept" / "turned.jpg") as image:
        assert image.size == (50, 34)
    # A picture over --max-pixels fails alone, with the photo layer's reason.
    Image.new("RGB", (200, 200)).save(src / "large.png")
    done = run("batch", str(src / "*.png"), "-d", str(tmp_path / "limited"), "--max-pixels", "5000", "-q")
    assert done.returncode == 1
    assert done.stderr.startswith(f"{src / 'large.png'}: ❌ Error: ")
    assert os.listdir(tmp_path / "limited") == ["clear.png"]


# ---------------------------------------------------------------------------------------------
# The library runner


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
    assert written[str(inputs / "p0.png")].startswith("🎯 Success: Preset 'noir' applied perfectly!\n")
    assert "PhotoError" in result.failed[0].traceback and not result.written[0].traceback


@pytest.mark.parametrize("exact", [False, True])
def test_large_jpegs_through_the_workers_are_pillows_resize_or_within_the_floor(tmp_path, exact):
    """Each worker's picture against Pillow's own calls on the whole picture: every pixel the same
    with exact; decoded smaller (3/8 here) and within shrink-on-load's floor without."""
    from formats_support import photo_like, psnr
    from PIL import ImageOps

    from framewick.batch import Options
    from framewick.photo.shrink import FLOOR_DB

    (tmp_path / "in").mkdir()
    for i in range(3):
        photo_like((1600, 1200)).rotate(90 * i, expand=False).save(tmp_path / "in" / f"p{i}.jpg", quality=92)
    result = run_batch([str(tmp_path / "in")], str(tmp_path / "out"), "resize:300,225 | border:4", jobs=2,
                       format="png", options=Options(exact=exact))
    assert result.summary() == "3 pictures: 3 written, 0 skipped, 0 failed"
    for i in range(3):
        with Image.open(tmp_path / "in" / f"p{i}.jpg") as source, Image.open(tmp_path / "out" / f"p{i}.png") as out:
            direct = ImageOps.expand(source.resize((300, 225), Image.Resampling.LANCZOS), border=4, fill="black")
            assert out.size == (308, 233)
            if exact:
                assert out.convert("RGB").tobytes() == direct.tobytes()
            else:
                assert FLOOR_DB <= psnr(out, direct) < float("inf")


PROBE = '''
import os, sys
from framewick.batch import Outcome, process_one

def probe(job, chain, options):
    outcome = process_one(job, chain, options)
    seen = sorted(m for m in ("requests", "numpy", "framewick.utils.updater", "framewick.utils.inspector",
                              "framewick.modules.effects") if m in sys.modules)
    return Outcome(outcome.source, outcome.target, outcome.status, str(os.getpid()), ",".join(seen))
'''


def test_pool_workers_are_started_once_and_stay_lean(tmp_path):
    """Twelve pictures on two workers: two processes do all of them, and none imports what the
    chain does not need: the release check (requests), NumPy, or the modules of other steps."""
    inputs = make_inputs(tmp_path / "in", count=12, bad=False)
    (tmp_path / "probe.py").write_text(PROBE)
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        from framewick.batch import run_batch
        from probe import probe
        result = run_batch([{str(inputs)!r}], {str(tmp_path / 'out')!r}, "resize:32,24 | border:1", jobs=2,
                           worker=probe)
        print(result.summary())
        print(sorted({{o.reason for o in result.outcomes}}))
        print(sorted({{o.output for o in result.outcomes}}))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    summary, pids, imported = done.stdout.splitlines()
    assert summary == "12 pictures: 12 written, 0 skipped, 0 failed"
    assert 1 <= len(eval(pids)) <= 2
    assert eval(imported) == [""]


def test_progress_bar_counts_every_picture(tmp_path, capsys):
    inputs = make_inputs(tmp_path / "in", count=2, bad=False)
    with ThreadPoolExecutor(1) as pool:
        run_batch([str(inputs)], str(tmp_path / "out"), [{"method": "resize", "args": [32, 24]}],
                  executor=pool, progress=True)
    assert "2/2" in capsys.readouterr().err


def test_an_interrupted_batch_leaves_no_partial_output_and_counts_the_rest(tmp_path, monkeypatch):
    import framewick.photo

    inputs = make_inputs(tmp_path / "in", count=5, bad=False)
    real_write = framewick.photo.write_photo
    calls = []

    def write(obj, target, **kwargs):
        calls.append(target)
        if len(calls) > 2:
            raise KeyboardInterrupt
        return real_write(obj, target, **kwargs)

    monkeypatch.setattr(framewick.photo, "write_photo", write)
    with ThreadPoolExecutor(1) as pool, pytest.raises(BatchInterrupted) as caught:
        run_batch([str(inputs)], str(tmp_path / "out"), CHAIN, executor=pool)
    result = caught.value.result
    assert len(result.written) == 2 and result.interrupted and not result.ok
    # The third is interrupted; the one the thread may have taken meanwhile is too, the rest never start.
    assert result.summary().startswith("5 pictures: 2 written, 0 skipped, 0 failed, ")
    assert len(result.of("interrupted")) + len(result.not_started) == 3 and result.of("interrupted")
    assert assert_whole_pictures(tmp_path / "out") == ["p0.png", "p1.png"]


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
            "🎯 Success: Preset 'noir' applied perfectly!", "📏 Success: Image resized to 32x24",
            f"💾 Success: Image saved as '{outcome.target}' ✅"]
    again = run_batch([str(inputs)], str(tmp_path / "out"), CHAIN, executor=cluster_executor)
    assert again.summary() == "7 pictures: 0 written, 6 skipped, 1 failed"


def test_captures_on_two_threads_keep_their_own_lines(capsys):
    import threading

    from framewick._output import captured
    from framewick.utils.storage import Storage

    barrier = threading.Barrier(2)
    texts = {}

    def work(name):
        with captured() as heard:
            for i in range(50):
                Storage().optimize(name + i)
                if i == 10:
                    barrier.wait()
        texts[name] = heard.text

    threads = [threading.Thread(target=work, args=(n,)) for n in (1, 51)]
    for t in threads:
        t.start()
    print("main thread line")
    for t in threads:
        t.join()
    assert texts == {n: "".join(f"✨ Success: Optimization mode enabled (Quality: {n + i}%) 🚀\n" for i in range(50))
                     for n in (1, 51)}
    assert capsys.readouterr().out == "main thread line\n"
