"""Placeholders (BlurHash, ThumbHash, the dominant colour), the perceptual hash, and grouping
near-identical pictures: the library's functions and `info --placeholders`, `similar`."""

import base64
import json
import random

import pytest
from PIL import Image, ImageDraw, ImageFilter

from framewick.photo import placeholders as ph
from framewick.photo.similar import group_hashes

from test_cli import run


def scene(seed, size=(240, 160)):
    """A picture of a dozen coloured ellipses on a coloured ground, different for each seed."""
    rng = random.Random(seed)
    colour = lambda: tuple(rng.randrange(256) for _ in range(3))  # noqa: E731
    im = Image.new("RGB", size, colour())
    draw = ImageDraw.Draw(im)
    for _ in range(12):
        x, y = rng.randrange(size[0]), rng.randrange(size[1])
        draw.ellipse((x, y, x + rng.randrange(20, 120), y + rng.randrange(20, 120)), fill=colour())
    return im


def near(a, b, tolerance):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


@pytest.mark.parametrize("mode, colour, expect", [
    ("RGB", (30, 90, 200), (30, 90, 200)),
    ("L", 70, (70, 70, 70)),
    ("RGBA", (200, 40, 40, 255), (200, 40, 40)),
    ("I;16", 40000, (155, 155, 155)),  # 16 bits scaled to 8: 40000 / 65535 of 255
])
def test_hashes_of_a_plain_picture_say_its_colour(mode, colour, expect):
    import blurhash
    import thumbhash

    picture = Image.new(mode, (90, 60), colour)
    found = ph.placeholders(picture)
    assert set(found) == {"blurhash", "thumbhash", "phash", "dominant"}
    assert near(bytes.fromhex(found["dominant"][1:]), expect, 2)
    assert near(blurhash.decode(found["blurhash"], 4, 4)[1][1], expect, 8)  # its DC term is quantized
    r, g, b, a = thumbhash.thumb_hash_to_average_rgba(list(base64.b64decode(found["thumbhash"])))
    assert near((r * 255, g * 255, b * 255), expect, 6) and a == pytest.approx(1.0)
    assert len(found["phash"]) == 16 and int(found["phash"], 16) >= 0


def test_dominant_colour_leaves_out_what_is_transparent():
    picture = Image.new("RGBA", (60, 60), (255, 0, 0, 0))  # a transparent red ground
    ImageDraw.Draw(picture).rectangle((0, 0, 19, 59), fill=(0, 0, 255, 255))
    assert ph.dominant_colour(picture) == "#0000ff"


def test_a_missing_package_is_one_line_naming_it(monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "thumbhash", None)
    with pytest.raises(ph.MissingPackage, match="install python3-thumbhash$"):
        ph.thumbhash_of(Image.new("RGB", (8, 8)))
    told = []
    found = ph.placeholders(Image.new("RGB", (8, 8)), told.append)
    assert "thumbhash" not in found and {"blurhash", "phash", "dominant"} <= set(found)
    assert [e.package for e in told] == ["python3-thumbhash"]


@pytest.mark.parametrize("change", ["resize", "jpeg", "blur", "brighter"])
def test_a_copy_is_near_and_another_picture_is_not(change, tmp_path):
    original = scene(7)
    if change == "resize":
        copy = original.resize((120, 80))
    elif change == "jpeg":
        original.save(tmp_path / "q.jpg", quality=30)
        copy = Image.open(tmp_path / "q.jpg")
    elif change == "blur":
        copy = original.filter(ImageFilter.GaussianBlur(1))
    else:
        copy = original.point(lambda v: min(255, v + 20))
    first = ph.perceptual_hash(original)
    assert ph.hamming(first, ph.perceptual_hash(copy)) <= 8
    assert min(ph.hamming(first, ph.perceptual_hash(scene(seed))) for seed in range(20, 30)) > 8


def _brute_force(items, threshold):
    """The groups by comparing every pair: each group a set of names."""
    parent = list(range(len(items)))

    def root(i):
        while parent[i] != i:
            i = parent[i]
        return i

    for i in range(len(items)):
        for j in range(i + 1, len(items)):
            if ph.hamming(items[i][1], items[j][1]) <= threshold:
                parent[root(j)] = root(i)
    groups = {}
    for i, (name, _) in enumerate(items):
        groups.setdefault(root(i), set()).add(name)
    return sorted((g for g in groups.values() if len(g) > 1), key=sorted)


@pytest.mark.parametrize("threshold", [0, 1, 4, 8, 14, 15, 30])
def test_grouping_finds_every_pair_comparing_all_would(threshold):
    rng = random.Random(threshold)
    items = []
    for n in range(60):  # families of hashes a few bits apart, and strangers
        base = rng.getrandbits(64)
        for k in range(rng.randrange(1, 4)):
            flipped = base
            for _ in range(rng.randrange(0, threshold + 3)):
                flipped ^= 1 << rng.randrange(64)
            items.append((f"{n}-{k}", f"{flipped:016x}"))
    found = sorted((set(g.names) for g in group_hashes(items, threshold)), key=sorted)
    assert found == _brute_force(items, threshold)
    for group in group_hashes(items, threshold):
        assert group.distances[0] == 0
        assert group.distances == [ph.hamming(group.hashes[0], h) for h in group.hashes]


@pytest.fixture
def folder(tmp_path):
    """Two pictures each with a resized JPEG copy, a lone third picture, and a broken file."""
    for seed in (1, 2):
        scene(seed).save(tmp_path / f"s{seed}.png")
        scene(seed).resize((120, 80)).save(tmp_path / f"s{seed}-small.jpg", quality=60)
    scene(3).save(tmp_path / "lone.png")
    (tmp_path / "broken.jpg").write_bytes(b"not a picture")
    return tmp_path


def test_similar_groups_copies_and_reports_a_broken_file_without_stopping(folder):
    done = run("similar", str(folder), "--json")
    assert done.returncode == 1
    groups = [json.loads(line) for line in done.stdout.splitlines()]
    names = sorted(sorted(p["path"].rsplit("/", 1)[1] for p in g["pictures"]) for g in groups)
    assert names == [["s1-small.jpg", "s1.png"], ["s2-small.jpg", "s2.png"]]
    assert [line for line in done.stderr.splitlines() if "broken.jpg" in line] != []
    text = run("similar", str(folder / "s1.png"), str(folder / "lone.png"))
    assert text.returncode == 0 and "No near-identical pictures among 2" in text.stdout


def test_without_imagehash_similar_is_a_usage_error_naming_the_package(folder, tmp_path):
    shadow = tmp_path / "shadow"
    shadow.mkdir()
    (shadow / "imagehash.py").write_text("raise ImportError('not here')\n")
    done = run("similar", str(folder), env={"PYTHONPATH": str(shadow)})
    assert done.returncode == 2 and "python3-imagehash" in done.stderr and done.stdout == ""


def test_info_gives_the_placeholders(folder):
    done = run("info", str(folder / "s1.png"), "--placeholders", "--json")
    record = json.loads(done.stdout)
    assert done.returncode == 0
    assert record["placeholders"]["phash"] == ph.perceptual_hash(Image.open(folder / "s1.png"))
    assert record["placeholders"]["dominant"].startswith("#")
    assert "placeholders" not in json.loads(run("info", str(folder / "s1.png"), "--json").stdout)


def test_a_hash_whose_library_fails_is_left_out_with_one_line(tmp_path):
    # Debian's ThumbHash encoder fails on any translucent picture; the other values still come.
    path = tmp_path / "glass.png"
    Image.new("RGBA", (64, 48), (200, 30, 30, 128)).save(path)
    done = run("info", str(path), "--placeholders", "--json")
    found = json.loads(done.stdout)["placeholders"]
    assert done.returncode == 0, done.stderr
    assert {"blurhash", "phash", "dominant"} <= set(found)
    if "thumbhash" not in found:
        assert done.stderr.count("thumbhash library failed on this picture") == 1, done.stderr
