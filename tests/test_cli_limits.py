"""What the command line refuses before it reads or works, what it names when something fails, and
how it ends on odd inputs and outputs; through the installed `framewick`."""

import os
import signal
import subprocess
import sysconfig
import textwrap

import pytest
from PIL import Image

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
ENV = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")} | {"PYTHONIOENCODING": "utf-8"}


def run(*args, timeout=120, **kwargs):
    kwargs.setdefault("capture_output", "stdout" not in kwargs)
    return subprocess.run([SCRIPT, *map(str, args)], env=ENV, timeout=timeout, text=True, encoding="utf-8",
                          **kwargs)


def usage_error(done, *names):
    assert done.returncode == 2, (done.stdout, done.stderr)
    assert len(done.stderr.splitlines()) == 1 and "Traceback" not in done.stderr, done.stderr
    for name in names:
        assert name in done.stderr, done.stderr
    return done.stderr


@pytest.fixture
def photo(tmp_path):
    path = tmp_path / "in.png"
    Image.effect_noise((451, 300), 40).convert("RGB").save(path)
    return path


# ---------------------------------------------------------------------------------------------
# Refused before the picture is read (the input named below does not exist: reading it would
# fail with exit status 1)


@pytest.mark.parametrize(("args", "names"), [
    (["edit", "{missing}", "-o", "/proc/z.jpg"], ["'/proc/z.jpg'", "cannot write"]),
    (["edit", "{missing}", "-o", "{photo}/z.jpg"], ["/z.jpg'", "is not a directory"]),
    (["batch", "{photo}", "--out-dir", "/proc/x"], ["'/proc/x'", "cannot write"]),
    (["batch", "{photo}", "--out-dir", "{photo}"], ["in.png' is not a directory"]),
    (["batch", "{photo}", "--out-dir", "{photo}/sub", "--dry-run"], ["is not a directory"]),
    (["edit", "{missing}", "-o", "{tmp}/x.png", "--format", "jpg"], ["--format jpg", "PNG", "JPEG"]),
    (["edit", "{missing}", "-o", "{tmp}/x.jpg", "-s", "format:png"], ["step 1 format:png", "PNG", "JPEG"]),
    (["edit", "{missing}", "-o", "-", "--format", "png", "-s", "format:jpeg | blur"], ["format:jpeg", "--format png"]),
    (["batch", "{photo}", "-d", "{tmp}/o", "--format", "png", "-s", "format:jpg"], ["format:jpg", "--format png"]),
    (["edit", "{missing}", "-o", "{tmp}/x.jpg", "-s", "fit:1,100000"], ["JPEG stores at most 65,500", "1x100000"]),
    (["edit", "{missing}", "-o", "{tmp}/x.webp", "-s", "resize:16384,2"], ["WEBP stores at most 16,383"]),
    (["edit", "{missing}", "-o", "{tmp}/x.png", "--max-pixels", "100", "-s", "border:6688 | border:6688 | border:6688"],
     ["step 1 border:6688", "more than the limit of 100"]),
    (["batch", "{photo}", "-d", "{tmp}/o", "--max-pixels", "100", "-s", "border:5"], ["step 1 border:5"]),
    (["edit", "{missing}", "-o", "{tmp}/x.png", "-s", "gamma:0"], ["gamma must be a number greater than 0"]),
    (["edit", "{missing}", "-o", "{tmp}/x.png", "-s", "blur:-3"], ["radius must be an integer from 0"]),
])
def test_refused_before_any_picture_is_read_naming_what_the_user_gave(tmp_path, photo, args, names):
    fill = {"missing": tmp_path / "missing.png", "photo": photo, "tmp": tmp_path}
    done = run(*[a.format(**fill) for a in args])
    usage_error(done, *[n.format(**fill) for n in names])
    assert ".framewick-tmp" not in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["in.png"]


@pytest.mark.parametrize(("steps", "expected"), [
    ("crop:0,0,9999,9999", "step 1 crop:0,0,9999,9999: the box 0,0,9999,9999 is not inside the 451x300 picture"),
    ("resize:100,100 | crop:50,50,101,60", "step 2 crop:50,50,101,60: the box"),
    (" | ".join(["rotate:45"] * 24), "rotate:45.0: even a 1x1 picture would become"),
])
def test_refused_once_the_size_is_known_before_any_step_runs(tmp_path, photo, steps, expected):
    done = run("edit", photo, "-o", tmp_path / "out.png", "-s", steps, timeout=60)
    usage_error(done, expected)
    assert "Warning" not in done.stderr and not (tmp_path / "out.png").exists()


def test_an_animation_is_measured_with_all_its_frames(tmp_path):
    frames = [Image.new("L", (1, 1), 40 * (i % 2)) for i in range(20)]
    frames[0].save(tmp_path / "a.gif", save_all=True, append_images=frames[1:])
    usage_error(run("edit", tmp_path / "a.gif", "-o", tmp_path / "o.gif", "-s", "resize:10000,10000"),
                "20 frames of 10000x10000")
    # Each frame counts as at least 16,384 pixels: 20 one-pixel frames pass a limit of 327,680 only.
    assert run("edit", tmp_path / "a.gif", "-o", tmp_path / "o.gif", "--max-pixels", "327680").returncode == 0
    done = run("edit", tmp_path / "a.gif", "-o", tmp_path / "p.gif", "--max-pixels", "327679")
    assert done.returncode == 1 and "20 frames of 1x1 count as 327,680 pixels" in done.stderr, done.stderr


def test_a_batch_refuses_a_crop_outside_one_picture_and_does_the_others(tmp_path):
    (tmp_path / "in").mkdir()
    Image.new("RGB", (40, 30)).save(tmp_path / "in" / "big.png")
    Image.new("RGB", (20, 10)).save(tmp_path / "in" / "small.png")
    done = run("batch", tmp_path / "in", "-d", tmp_path / "out", "-s", "crop:0,0,30,20", "-q")
    assert done.returncode == 1
    assert "small.png: ❌ Error:" in done.stderr and "is not inside the 20x10 picture" in done.stderr
    assert os.listdir(tmp_path / "out") == ["big.png"]


# ---------------------------------------------------------------------------------------------
# Errors name the user's file


def test_a_truncated_jpeg_is_named(tmp_path):
    Image.effect_noise((200, 100), 40).convert("RGB").save(tmp_path / "full.jpg")
    (tmp_path / "cut.jpg").write_bytes((tmp_path / "full.jpg").read_bytes()[:200])
    done = run("edit", tmp_path / "cut.jpg", "-o", tmp_path / "o.png")
    assert done.returncode == 1 and str(tmp_path / "cut.jpg") in done.stderr, done.stderr


def test_a_failed_write_names_the_output_and_never_the_temporary_file(tmp_path):
    from framewick._files import WriteError, atomic_write

    with pytest.raises(WriteError) as caught:
        atomic_write("/proc/z.jpg", lambda temp: None)
    assert str(caught.value).startswith("❌ Error: cannot write /proc/z.jpg: ")

    def vanish(temp):
        os.unlink(temp)
        os.rmdir(tmp_path / "sub")

    (tmp_path / "sub").mkdir()
    with pytest.raises(WriteError, match="cannot write .*/sub/z.png: No such file"):
        atomic_write(str(tmp_path / "sub" / "z.png"), vanish)


# ---------------------------------------------------------------------------------------------
# Inputs that never end or never come


def test_standard_input_is_read_within_a_bound(tmp_path):
    with open("/dev/zero", "rb") as zero:
        done = run("edit", "-", "-o", tmp_path / "o.png", "--max-pixels", "1000", stdin=zero, timeout=60)
    assert done.returncode == 1 and "standard input holds more than 16,793,216 bytes" in done.stderr, done.stderr
    assert "16 MiB" in run("edit", "--help").stdout.replace("\n", " ")


def test_only_regular_files_are_pictures_however_they_are_named(tmp_path):
    (tmp_path / "d").mkdir()
    Image.new("RGB", (8, 6)).save(tmp_path / "d" / "a.png")
    os.mkfifo(tmp_path / "d" / "b.png")
    done = run("batch", f"{tmp_path}/d/*.png", "-d", tmp_path / "out", "-q", timeout=60)
    assert done.returncode == 0, done.stderr
    assert os.listdir(tmp_path / "out") == ["a.png"]
    usage_error(run("batch", tmp_path / "d" / "b.png", "-d", tmp_path / "o2", timeout=60), "a FIFO")
    usage_error(run("edit", tmp_path / "d" / "b.png", "-o", tmp_path / "o.png", timeout=60), "a FIFO")
    usage_error(run("info", "/dev/zero", timeout=60), "a character device")


def test_globs_and_walks_do_not_follow_links_back_into_the_tree(tmp_path):
    d = tmp_path / "d"
    (d / "sub").mkdir(parents=True)
    Image.new("RGB", (8, 6)).save(d / "a.png")
    Image.new("RGB", (8, 6)).save(d / "sub" / "b.png")
    os.symlink(".", d / "loop1")
    os.symlink("..", d / "sub" / "loop2")
    done = run("batch", f"{d}/**/*.png", "-d", tmp_path / "out", "--dry-run", "-r", timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1].startswith("framewick batch: dry run, nothing written; 2 pictures: 2 to write")
    done = run("batch", d, "-d", tmp_path / "out", "--dry-run", "-r", timeout=60)
    assert "2 pictures: 2 to write" in done.stdout
    assert "symbolic links" in run("batch", "--help").stdout


# ---------------------------------------------------------------------------------------------
# Standard output closed or broken, the demo's files, control characters


def test_a_closed_or_broken_standard_output_does_not_fail_a_done_edit(tmp_path, photo):
    done = subprocess.run(["sh", "-c", f'exec "$0" edit "$1" -o "$2" >&-', SCRIPT, photo, tmp_path / "o.png"],
                          env=ENV, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    with Image.open(tmp_path / "o.png") as written:
        assert written.size == (451, 300)
    read, write = os.pipe()
    os.close(read)
    try:
        done = subprocess.run([SCRIPT, "edit", photo, "-o", tmp_path / "p.png"], env=ENV, stdout=write,
                              stderr=subprocess.PIPE, text=True, timeout=120)
    finally:
        os.close(write)
    assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
    assert (tmp_path / "p.png").exists()
    # A picture for a closed standard output would go nowhere: refused, not reported as written.
    done = subprocess.run(["sh", "-c", f'exec "$0" edit "$1" -o - --format png >&-', SCRIPT, photo],
                          env=ENV, capture_output=True, text=True, timeout=120)
    usage_error(done, "standard output is closed")


def test_demo_replaces_files_only_with_overwrite(tmp_path):
    (tmp_path / "demo.jpg").write_bytes(b"mine")
    usage_error(run("demo", tmp_path, "-q"), "demo.jpg", "--overwrite")
    assert sorted(os.listdir(tmp_path)) == ["demo.jpg"] and (tmp_path / "demo.jpg").read_bytes() == b"mine"
    assert run("demo", tmp_path, "-q", "--overwrite").returncode == 0
    assert sorted(os.listdir(tmp_path)) == ["before-after.jpg", "demo.jpg", "sample.png"]


def test_plain_listings_show_control_characters_escaped(tmp_path):
    looks = tmp_path / "looks.toml"
    looks.write_text(textwrap.dedent('''\
        [looks.evil]
        steps = "blur"
        description = "clear\\u001b[2J bell\\u0007 back\\rfake line\\nnext"
        '''))
    picture = Image.new("RGB", (8, 6))
    exif = Image.Exif()
    exif[0x010E] = "title\x1b]0;pwned\x07 and\rover"
    picture.save(tmp_path / "p.jpg", exif=exif)
    for args in (["steps"], ["presets"], ["info", tmp_path / "p.jpg"]):
        done = run("--looks", looks, *args)
        assert done.returncode == 0, done.stderr
        assert not {"\x1b", "\x07", "\r"} & set(done.stdout), args
    assert "clear\\x1b[2J bell\\x07 back\\rfake line\\nnext" in run("--looks", looks, "steps").stdout
    (tmp_path / "d").mkdir()
    Image.new("RGB", (8, 6)).save(tmp_path / "d" / "a\x1b[2J.png")
    done = run("batch", tmp_path / "d", "-d", tmp_path / "out", "--dry-run")
    assert "\x1b" not in done.stdout and "a\\x1b[2J.png" in done.stdout
    assert "title\\x1b]0;pwned\\x07 and\\rover" in run("info", tmp_path / "p.jpg").stdout
