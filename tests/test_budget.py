"""A size budget: `write(max_bytes=...)`, `--max-bytes` on edit and batch."""

import io
import json
import os
import shutil
import subprocess
import sysconfig

import pytest
from PIL import Image

from framewick import FrameWick
from framewick.photo.budget import parse_size

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")


def run(*args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    return subprocess.run([SCRIPT, *args], env=env, capture_output=True, text=True, encoding="utf-8", timeout=120)


def photo_like(path, size=(240, 180), xmp=None):
    """Smooth shapes with grain: a file whose size follows the quality as a photo's does."""
    w, h = size
    grain = Image.merge("RGB", [Image.effect_noise(size, 12 + 4 * i) for i in range(3)])
    ramp = Image.linear_gradient("L").resize(size).convert("RGB")
    picture = Image.blend(ramp, grain, 0.5)
    picture.paste((200, 40, 40), (w // 4, h // 4, w // 2, h // 2))
    picture.save(path, "PNG", **({"pnginfo": _xmp_info(xmp)} if xmp else {}))
    return str(path)


def _xmp_info(xmp):
    from PIL import PngImagePlugin

    info = PngImagePlugin.PngInfo()
    info.add_itxt("XML:com.adobe.xmp", xmp)
    return info


@pytest.mark.parametrize("text, expected", [
    ("200000", 200_000), ("200k", 200_000), ("200kB", 200_000), ("1.5M", 1_500_000), ("64Ki", 65_536),
    ("2MiB", 2 * 1024**2), (" 12 K ", 12_000),
])
def test_sizes_as_people_write_them(text, expected):
    assert parse_size(text) == expected


@pytest.mark.parametrize("text", ["", "k", "-5k", "0", "0.4", "12 apples", "1e9", "200kk"])
def test_what_is_no_size_is_refused(text):
    with pytest.raises(ValueError):
        parse_size(text)


def _quality_encoded(path, quality, fmt):
    """The size of the same picture written without a budget at `quality`."""
    buffer = io.BytesIO()
    FrameWick.open(path).optimize(quality).write(buffer, format=fmt)
    return len(buffer.getvalue())


@pytest.mark.parametrize("fmt", ["jpg", "webp", "avif", "heic", "jxl"])
def test_the_highest_quality_that_fits_is_written(fmt, tmp_path, capsys):
    source = photo_like(tmp_path / "in.png", xmp="<x:xmpmeta xmlns:x='adobe:ns:meta/'>" + "pad " * 500
                        + "</x:xmpmeta>")
    full = _quality_encoded(source, 95, fmt)
    budget = full * 6 // 10
    out = tmp_path / f"out.{fmt}"
    FrameWick.open(source).write(out, max_bytes=budget)
    size = out.stat().st_size
    line = capsys.readouterr().out
    quality = int(line.split("(quality ")[1].split(",")[0].split(")")[0])
    assert size <= budget
    assert f"{size:,} of {budget:,} bytes" in line
    # the next quality up does not fit, or the file is already close to the budget
    assert size >= 0.96 * budget or _quality_encoded(source, quality + 1, fmt) > budget
    with Image.open(out) as written:
        assert written.size == (240, 180)


def _chroma(path):
    """The chroma subsampling a JPEG or an HEIC file was coded at, as "4:4:4"."""
    if path.suffix == ".jpg":
        with Image.open(path) as written:
            return {(1, 1): "4:4:4", (2, 1): "4:2:2", (2, 2): "4:2:0"}[written.layer[0][1:3]]
    exiftool = shutil.which("exiftool")
    if exiftool is None:
        pytest.skip("exiftool is not installed")
    done = subprocess.run([exiftool, "-s3", "-ChromaFormat", str(path)], capture_output=True, text=True, timeout=60)
    return done.stdout.strip()


@pytest.mark.parametrize("fmt", ["jpg", "heic"])
@pytest.mark.parametrize("room, chroma", [(None, "4:4:4"), (1.0, "4:2:0")], ids=["roomy", "tight"])
def test_finer_chroma_is_taken_only_when_the_file_is_well_under_the_budget(fmt, room, chroma, tmp_path, capsys):
    source = photo_like(tmp_path / "in.png")
    budget = 10_000_000 if room is None else int(_quality_encoded(source, 70, fmt) * room)
    out = tmp_path / f"out.{fmt}"
    FrameWick.open(source).optimize(70).write(out, max_bytes=budget)
    assert f"(quality 70, {chroma}," in capsys.readouterr().out
    assert _chroma(out) == chroma


@pytest.mark.parametrize("budget", [0, -5, 1.5, True])
def test_a_budget_that_is_no_size_is_refused_before_writing(budget, tmp_path):
    with pytest.raises(ValueError, match="max_bytes must be a whole number of bytes"):
        FrameWick.open(photo_like(tmp_path / "in.png")).write(tmp_path / "out.jpg", max_bytes=budget)
    assert not (tmp_path / "out.jpg").exists()


@pytest.mark.parametrize("target", ["out.jpg", "stream"])
def test_a_budget_no_quality_meets_names_the_smallest_size_and_writes_nothing(target, tmp_path):
    source = photo_like(tmp_path / "in.png")
    path = tmp_path / "out.jpg"
    path.write_bytes(b"old")
    stream = io.BytesIO()
    with pytest.raises(ValueError, match=r"no quality fits 300 bytes: the smallest file, at quality 1, is [\d,]+ bytes"):
        FrameWick.open(source).write(path if target == "out.jpg" else stream, format="jpg", max_bytes=300)
    assert path.read_bytes() == b"old" and stream.getvalue() == b""
    assert sorted(os.listdir(tmp_path)) == ["in.png", "out.jpg"]  # no temporary file left


@pytest.mark.parametrize("args, message", [
    (["-o", "{d}/out.png"], "--max-bytes: output '{d}/out.png' is PNG, which has no quality"),
    (["-o", "{d}/out.jpg", "--format", "gif"], "--max-bytes: --format gif is GIF, which has no quality"),
    (["-o", "{d}/out.jpg", "--max-bytes", "lots"], "argument --max-bytes: 'lots' is not a size"),
])
def test_edit_refuses_a_budget_it_cannot_use(args, message, tmp_path):
    source = photo_like(tmp_path / "in.png")
    args = [a.format(d=tmp_path) for a in args]
    done = run("edit", source, *args, *(["--max-bytes", "20k"] if "--max-bytes" not in args else []))
    assert done.returncode == 2
    assert message.format(d=tmp_path) in done.stderr and len(done.stderr.splitlines()) == 1
    assert sorted(os.listdir(tmp_path)) == ["in.png"]


def test_edit_json_carries_the_quality_chosen(tmp_path):
    source = photo_like(tmp_path / "in.png")
    done = run("edit", source, "-o", str(tmp_path / "out.webp"), "--max-bytes", "4k", "--json")
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)
    assert record["bytes"] == (tmp_path / "out.webp").stat().st_size <= 4000 == record["max_bytes"]
    assert f"(quality {record['quality']}, " in done.stderr and record["encodes"] >= 2


def test_batch_fits_each_picture_and_a_budget_too_small_fails_only_its_picture(tmp_path):
    inputs = tmp_path / "in"
    inputs.mkdir()
    photo_like(inputs / "small.png", (60, 45))
    photo_like(inputs / "large.png", (1200, 900))
    out = tmp_path / "out"
    done = run("batch", str(inputs), "-d", str(out), "--format", "jpg", "--max-bytes", "3k", "--json", "-j", "2")
    assert done.returncode == 1
    records = {os.path.basename(r["input"]): r for r in map(json.loads, done.stdout.splitlines())}
    assert records["small.png"]["status"] == "written" and records["small.png"]["bytes"] <= 3000
    assert (out / "small.jpg").stat().st_size == records["small.png"]["bytes"]
    assert records["large.png"]["status"] == "failed" and "no quality fits 3,000 bytes" in records["large.png"]["reason"]
    assert not (out / "large.jpg").exists()
    assert "1 written, 0 skipped, 1 failed" in done.stderr


def test_batch_refuses_a_budget_for_outputs_kept_in_a_format_without_quality(tmp_path):
    source = photo_like(tmp_path / "in.png")
    done = run("batch", source, "-d", str(tmp_path / "out"), "--max-bytes", "20k")
    assert done.returncode == 2 and "which has no quality to choose" in done.stderr
    assert not (tmp_path / "out").exists()
