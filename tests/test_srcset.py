"""`framewick srcset`: widths x formats, the <picture> element, the manifest."""

import json
import os
import subprocess
import sysconfig
from html.parser import HTMLParser
from urllib.parse import unquote

import pytest
from PIL import Image

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
NASTY = 'Sea & "sky" <script>alert(1)</script>, 100w'


def run(*args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    return subprocess.run([SCRIPT, *args], env=env, capture_output=True, text=True, encoding="utf-8", timeout=180)


def make(path, size=(300, 200), description=None, where="exif"):
    picture = Image.merge("RGB", [Image.effect_noise(size, 20 + 10 * i) for i in range(3)])
    extra = {}
    if description and where == "exif":
        exif = Image.Exif()
        exif[0x010E] = description
        exif.get_ifd(0x8825).update({1: "N", 2: (52.0, 31.0, 12.0)})  # where it was taken
        extra["exif"] = exif
    elif description:
        extra["xmp"] = ("<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-"
                        "ns#'><rdf:Description xmlns:dc='http://purl.org/dc/elements/1.1/'><dc:description><rdf:Alt>"
                        "<rdf:li xml:lang='de'>Meer</rdf:li><rdf:li xml:lang='x-default'>"
                        + description.replace("&", "&amp;").replace("<", "&lt;")
                        + "</rdf:li></rdf:Alt></dc:description></rdf:Description></rdf:RDF></x:xmpmeta>").encode()
    picture.save(path, "JPEG", **extra)
    return str(path)


class Elements(HTMLParser):
    def __init__(self, text):
        super().__init__()
        self.found = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.found.append((tag, dict(attrs)))


def candidates(srcset):
    return [(unquote(url), int(w[:-1])) for url, w in (c.rsplit(" ", 1) for c in srcset.split(", "))]


@pytest.mark.parametrize("width, wanted, made", [
    (300, "100,200,400", [200, 100]), (300, "400,800", [300]), (300, "300,50", [300, 50]),
])
def test_every_width_not_wider_than_the_picture_in_every_format(width, wanted, made, tmp_path):
    make(tmp_path / "a b,c.jpg", (width, 200))
    done = run("srcset", str(tmp_path / "a b,c.jpg"), "-d", str(tmp_path / "out"), "--widths", wanted,
               "--formats", "avif,webp,jpg", "-j", "1")
    assert done.returncode == 0, done.stderr
    tags = Elements((tmp_path / "out" / "a b,c.html").read_text()).found
    assert [t for t, _ in tags] == ["picture", "source", "source", "img"]
    assert [a["type"] for _, a in tags[1:3]] == ["image/avif", "image/webp"]
    for (_, attrs), ext in zip(tags[1:], ["avif", "webp", "jpg"]):
        assert candidates(attrs["srcset"]) == [(f"a b,c-{w}.{ext}", w) for w in sorted(made)]
        for name, w in candidates(attrs["srcset"]):
            with Image.open(tmp_path / "out" / name) as written:
                assert written.size == (w, round(200 * w / width))
    img = tags[-1][1]
    assert (unquote(img["src"]), img["width"], img["height"]) == (f"a b,c-{made[0]}.jpg", str(made[0]),
                                                                  str(round(200 * made[0] / width)))
    assert "alt" not in img


@pytest.mark.parametrize("where", ["exif", "xmp"])
def test_alt_comes_from_the_description_escaped(where, tmp_path):
    make(tmp_path / "p.jpg", description=NASTY, where=where)
    done = run("srcset", str(tmp_path / "p.jpg"), "-d", str(tmp_path / "out"), "--widths", "100", "--formats", "jpg",
               "--metadata", "web")
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "out" / "p-100.jpg") as written:
        assert not written.getexif().get_ifd(0x8825)  # the location left out of the page's files
    text = (tmp_path / "out" / "p.html").read_text()
    assert "<script>" not in text
    assert Elements(text).found[-1][1]["alt"] == NASTY


def test_manifest_lists_files_placeholder_colour_and_keeps_earlier_entries(tmp_path):
    out = tmp_path / "out"
    make(tmp_path / "one.jpg")
    make(tmp_path / "two.jpg")
    assert run("srcset", str(tmp_path / "one.jpg"), "-d", str(out), "--widths", "100", "--formats", "webp").returncode == 0
    done = run("srcset", str(tmp_path / "two.jpg"), "-d", str(out), "--widths", "100,150", "--formats", "webp,jpg",
               "--json")
    assert done.returncode == 0, done.stderr
    pictures = json.loads((out / "manifest.json").read_text())["pictures"]
    assert [p["name"] for p in pictures] == ["one", "two"]
    assert json.loads(done.stdout) == pictures[1]
    for entry in pictures[1]["files"]:
        with Image.open(out / entry["path"]) as written:
            assert (written.format, written.size) == (entry["format"], (entry["width"], entry["height"]))
        assert entry["bytes"] == (out / entry["path"]).stat().st_size
    assert len(pictures[1]["files"]) == 4 and pictures[1]["color"].startswith("#")
    assert set(pictures[1]["placeholder"]) == {"blurhash", "thumbhash"}


def test_a_picture_with_alpha_gets_its_set_and_a_placeholder(tmp_path):
    picture = Image.merge("RGB", [Image.effect_noise((120, 80), 30)] * 3).convert("RGBA")
    picture.putalpha(Image.linear_gradient("L").resize((120, 80)))
    picture.save(tmp_path / "a.png")
    done = run("srcset", str(tmp_path / "a.png"), "-d", str(tmp_path / "out"), "--widths", "100", "--formats", "webp,jpg")
    assert done.returncode == 0, done.stderr
    entry = json.loads((tmp_path / "out" / "manifest.json").read_text())["pictures"][0]
    assert [f["path"] for f in entry["files"]] == ["a-100.webp", "a-100.jpg"] and "blurhash" in entry["placeholder"]


def test_a_set_that_fails_leaves_none_of_its_files_and_the_others_go_on(tmp_path):
    make(tmp_path / "small.jpg", (120, 80))
    make(tmp_path / "large.jpg", (1200, 800))
    out = tmp_path / "out"
    done = run("srcset", str(tmp_path / "small.jpg"), str(tmp_path / "large.jpg"), "-d", str(out),
               "--widths", "100,1000", "--formats", "webp,jpg", "--max-bytes", "4k", "-j", "2")
    assert done.returncode == 1 and "large.jpg: ❌ Error:" in done.stderr and "no quality fits 4,000 bytes" in done.stderr
    assert sorted(os.listdir(out)) == ["manifest.json", "small-100.jpg", "small-100.webp", "small.html"]
    assert all((out / n).stat().st_size <= 4000 for n in os.listdir(out) if n.startswith("small-"))


@pytest.mark.parametrize("args, message", [
    (["--formats", "webp,png", "--max-bytes", "10k"], "--max-bytes: --formats png is PNG, which has no quality"),
    (["--widths", "100,-5"], "--widths 100,-5: expected widths in pixels"),
    (["--formats", "jpg,jpeg"], "a format named twice"),
])
def test_usage_errors_write_nothing(args, message, tmp_path):
    make(tmp_path / "p.jpg")
    done = run("srcset", str(tmp_path / "p.jpg"), "-d", str(tmp_path / "out"), *args)
    assert done.returncode == 2 and message in done.stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("overwrite", [False, True])
def test_an_input_is_never_replaced_by_a_set(overwrite, tmp_path):
    make(tmp_path / "p.jpg")
    make(tmp_path / "p-100.jpg")  # an input named as p's set names a file
    before = (tmp_path / "p-100.jpg").read_bytes()
    done = run("srcset", str(tmp_path / "p.jpg"), str(tmp_path / "p-100.jpg"), "-d", str(tmp_path), "--widths", "100",
               "--formats", "jpg", *(["--overwrite"] if overwrite else []))
    assert done.returncode == 1 and (tmp_path / "p-100.jpg").read_bytes() == before
    assert "p-100.jpg would overwrite an input" in done.stderr and not (tmp_path / "p.html").exists()
    assert (tmp_path / "p-100-100.jpg").exists()  # the other input's set is made


def test_an_existing_set_is_skipped_unless_overwrite(tmp_path):
    make(tmp_path / "p.jpg")
    args = ["srcset", str(tmp_path / "p.jpg"), "-d", str(tmp_path / "out"), "--widths", "100", "--formats", "jpg"]
    assert run(*args).returncode == 0
    (tmp_path / "out" / "p.html").unlink()
    (tmp_path / "out" / "p-100.jpg").write_bytes(b"mine")
    done = run(*args)
    assert done.returncode == 0 and "skipped" in done.stdout and (tmp_path / "out" / "p-100.jpg").read_bytes() == b"mine"
    assert run(*args, "--overwrite").returncode == 0 and (tmp_path / "out" / "p.html").exists()


def test_sets_run_on_any_executor(tmp_path):
    from concurrent.futures import ThreadPoolExecutor

    from framewick.batch import Options
    from framewick.srcset import SetOptions, run_srcset

    paths = [make(tmp_path / f"p{i}.jpg") for i in range(3)]
    sets = SetOptions((100, 200), (("WEBP", ".webp"),))
    with ThreadPoolExecutor(2) as pool:
        result = run_srcset(paths, str(tmp_path / "out"), "grayscale", sets, pool, options=Options(strip=True))
    assert result.summary() == "3 pictures: 3 written, 0 skipped, 0 failed"
    manifest = json.loads((tmp_path / "out" / "manifest.json").read_text())
    assert [len(p["files"]) for p in manifest["pictures"]] == [2, 2, 2]
    with Image.open(tmp_path / "out" / "p2-200.webp") as written:
        assert written.size == (200, 133) and len(set(written.getpixel((5, 5)))) == 1  # the chain ran
