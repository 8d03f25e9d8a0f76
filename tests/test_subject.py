"""Cover crops that keep the subject: gravity=smart and gravity=face on size, their checks, the
status line, --explain and the studio's preview of the box."""

import importlib.util
import io
import json

import pytest
from PIL import Image, ImageDraw

pytest.importorskip("cv2", reason="smart and face crops need OpenCV (python3-opencv)")

from framewick import FrameWick
from framewick.chain import Chain, ChainError
from framewick.photo import subject
from framewick.studio import preview

from test_cli import run

GROUND, OBJECT = (70, 95, 80), (250, 245, 220)


def with_object(size, centre, radius):
    """A plain ground with a bright disc at `centre` (fractions of the size), `radius` pixels."""
    picture = Image.new("RGB", size, GROUND)
    x, y = round(centre[0] * size[0]), round(centre[1] * size[1])
    ImageDraw.Draw(picture).ellipse((x - radius, y - radius, x + radius, y + radius), fill=OBJECT)
    return picture


def bright(picture):
    """How many pixels are the object's."""
    return sum(1 for v in picture.convert("L").tobytes() if v > 200)


CASES = [  # picture size, where the object is, its radius, the crop asked for
    ((1200, 600), (0.85, 0.5), 60, "400x400"),
    ((1200, 600), (0.1, 0.3), 50, "300x300"),
    ((600, 1200), (0.5, 0.12), 50, "400x400"),
    ((600, 1200), (0.3, 0.9), 40, "600x400"),
    ((1000, 800), (0.9, 0.1), 40, "300x600"),
    ((800, 800), (0.15, 0.8), 40, "800x300"),
    ((1600, 900), (0.7, 0.75), 35, "500x500"),
]


@pytest.mark.parametrize("gravity", ["smart", "face"])
@pytest.mark.parametrize("size, centre, radius, box", CASES)
def test_the_object_is_inside_the_crop(size, centre, radius, box, gravity):
    source = with_object(size, centre, radius)
    obj = FrameWick()
    obj.image = source
    obj.size(box, cover=True, gravity=gravity)
    w, h = map(int, box.split("x"))
    assert obj.image.size == (w, h)
    chosen, = subject.boxes_of(obj)
    assert (chosen.gravity, chosen.used, chosen.faces) == (gravity, "smart", ())
    scale = max(w / size[0], h / size[1])
    assert chosen.of == (round(size[0] * scale), round(size[1] * scale)) and chosen.source == size
    # the whole disc, as large as the picture's scale makes it, and the same box in the source
    assert bright(obj.image) == pytest.approx(bright(source) * scale ** 2, rel=0.06)
    left, top, right, bottom = chosen.source_box
    assert bright(source.crop(chosen.source_box)) == bright(source)
    assert (right - left, bottom - top) == pytest.approx((w / scale, h / scale), abs=2)


def drawn_face(picture, at, r):
    """A plain drawn face (hair, brows, eyes, nose, mouth) the frontal cascade finds."""
    from PIL import ImageFilter

    d = ImageDraw.Draw(picture)
    x, y = at
    d.ellipse((x - r, y - int(r * 1.3), x + r, y + int(r * 1.3)), fill=(225, 190, 160))
    for side in (-1, 1):
        ex, ey = x + side * int(r * 0.4), y - int(r * 0.25)
        d.rectangle((ex - int(r * 0.3), ey - int(r * 0.35), ex + int(r * 0.3), ey - int(r * 0.27)), fill=(60, 40, 30))
        d.ellipse((ex - int(r * 0.2), ey - int(r * 0.1), ex + int(r * 0.2), ey + int(r * 0.1)), fill=(40, 30, 30))
    d.polygon([(x, y - int(r * 0.1)), (x - int(r * 0.12), y + int(r * 0.35)), (x + int(r * 0.12), y + int(r * 0.35))],
              fill=(200, 160, 130))
    d.ellipse((x - int(r * 0.35), y + int(r * 0.55), x + int(r * 0.35), y + int(r * 0.7)), fill=(150, 60, 60))
    d.rectangle((x - int(r * 1.1), y - int(r * 1.5), x + int(r * 1.1), y - int(r * 0.95)), fill=(50, 35, 25))
    return picture.filter(ImageFilter.GaussianBlur(2))


@pytest.mark.parametrize("face_at, disc_at", [((900, 250), (100, 300)), ((250, 250), (1080, 120)),
                                              ((300, 250), (600, 450))])
def test_a_face_found_is_kept_over_a_brighter_subject(face_at, disc_at):
    picture = Image.new("RGB", (1200, 600), (90, 110, 140))
    ImageDraw.Draw(picture).ellipse((disc_at[0] - 60, disc_at[1] - 60, disc_at[0] + 60, disc_at[1] + 60), fill=OBJECT)
    picture = drawn_face(picture, face_at, 60)
    obj = FrameWick()
    obj.image = picture
    obj.size("300x300", cover=True, gravity="face")
    chosen, = subject.boxes_of(obj)
    assert chosen.used == "face" and len(chosen.faces) == 1
    left, top, right, bottom = chosen.source_box
    assert left <= face_at[0] - 60 and right >= face_at[0] + 60 and top <= face_at[1] - 60 and bottom >= face_at[1] + 60


@pytest.mark.parametrize("steps, words", [
    ("size:400x400,gravity=smart", "give cover=true"),
    ("size:400x,cover=true,gravity=face", "true only with a box"),
    ("size:400x400,cover=true,gravity=clever", "smart (the most salient part)"),
])
def test_chain_refuses_what_cannot_choose_a_box(steps, words):
    with pytest.raises(ChainError, match=words.replace("(", r"\(").replace(")", r"\)")):
        Chain.parse(steps)


@pytest.mark.parametrize("gravity, package", [("smart", "python3-opencv"), ("face", "python3-opencv and opencv-data")])
def test_without_opencv_the_gravity_is_refused_naming_the_package(monkeypatch, gravity, package):
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "cv2" else real(name, *a))
    with pytest.raises(ChainError, match=f"install {package}"):
        Chain.parse(f"size:100x100,cover=true,gravity={gravity}")
    Chain.parse("size:100x100,cover=true,gravity=top")


def test_edit_shows_the_box_and_explains_it(tmp_path):
    source = tmp_path / "in.png"
    with_object((1200, 600), (0.85, 0.5), 60).save(source)
    done = run("edit", str(source), "-o", str(tmp_path / "out.jpg"), "--explain", str(tmp_path / "why.png"),
               "--steps", "size:400x400,cover=true,gravity=smart")
    assert done.returncode == 0, done.stderr
    line, = [l for l in done.stdout.splitlines() if "resized" in l]
    left = int(line.split("box ")[1].split(",")[0])
    assert "smart: box" in line and line.endswith("of 800x400)") and 334 <= left <= 400
    with Image.open(tmp_path / "why.png") as why:
        assert why.size == (800, 400)
        yellow = why.convert("RGB").getpixel((left + 1, 200))
        assert yellow[0] > 200 and yellow[1] > 200 and yellow[2] < 80


@pytest.mark.parametrize("steps, shown", [
    ("size:200x200,cover=true,gravity=smart | brightness:1.1", (400, 200)),  # the whole picture, the box drawn
    ("size:200x200,cover=true,gravity=smart | border:5", (210, 210)),       # the size changed after: as it is
    ("size:200x200,cover=true", (200, 200)),
])
def test_studio_preview_shows_the_box_in_the_whole_picture(steps, shown):
    picture = with_object((900, 450), (0.8, 0.5), 40)
    proxy = preview.Proxy(picture, None, picture.size, "PNG")
    data = preview.render(proxy, Chain.parse(steps), FrameWick, None)
    with Image.open(io.BytesIO(data)) as seen:
        assert seen.size == shown
        if shown == (400, 200):
            assert seen.getpixel((50, 100))[1] < GROUND[1] * 0.6  # outside the box: dimmed


@pytest.mark.parametrize("command", ["edit", "batch"])
def test_json_record_gives_the_box(tmp_path, command):
    source = tmp_path / "in.png"
    with_object((1200, 600), (0.1, 0.5), 50).save(source)
    steps = "size:300x300,cover=true,gravity=smart | border:2"
    if command == "edit":
        done = run("edit", str(source), "-o", str(tmp_path / "out.png"), "--json", "--steps", steps)
    else:
        done = run("batch", str(source), "-d", str(tmp_path / "out"), "--json", "--steps", steps)
    assert done.returncode == 0, done.stderr
    crop, = json.loads(done.stdout)["crops"]
    assert crop["gravity"] == crop["used"] == "smart" and crop["of"] == [600, 300] and crop["source"] == [1200, 600]
    left, top, right, bottom = crop["box"]
    assert (right - left, bottom - top) == (300, 300) and left <= 10 and right >= 35
    assert crop["source_box"] == [2 * v for v in crop["box"]]


@pytest.mark.parametrize("size, centre, radius, box", CASES[:4])
@pytest.mark.parametrize("gravity", ["smart", "face"])
def test_cut_keeps_the_object_at_the_pictures_own_scale(size, centre, radius, box, gravity):
    source = with_object(size, centre, radius)
    obj = FrameWick()
    obj.image = source
    obj.crop_to(box, gravity=gravity)
    w, h = map(int, box.split("x"))
    assert obj.image.size == (min(w, size[0]), min(h, size[1]))
    assert bright(obj.image) == bright(source)
    chosen, = subject.boxes_of(obj)
    assert chosen.box == chosen.source_box and obj.image.tobytes() == source.crop(chosen.box).tobytes()


def test_a_deep_picture_is_cut_where_its_8_bit_picture_is(tmp_path):
    import numpy as np
    import tifffile

    pixels = np.full((600, 1200, 3), 20000, np.uint16)
    yy, xx = np.mgrid[:600, :1200]
    pixels[(xx - 1020) ** 2 + (yy - 300) ** 2 <= 60 ** 2] = 64000  # a bright disc far right
    tifffile.imwrite(tmp_path / "deep.tif", pixels, photometric="rgb")
    done = run("edit", str(tmp_path / "deep.tif"), "-o", str(tmp_path / "out.tif"), "--json",
               "--steps", "size:400x400,cover=true,gravity=smart")
    assert done.returncode == 0, done.stderr
    out = tifffile.imread(tmp_path / "out.tif")
    crop, = json.loads(done.stdout)["crops"]
    assert out.dtype == np.uint16 and out.shape == (400, 400, 3)
    disc = np.count_nonzero(out[:, :, 0] > 50000)
    left, _, right, _ = crop["box"]  # the disc is at 680 of 800, 40 across, once resized
    assert disc == pytest.approx(np.pi * 40 ** 2, rel=0.1) and left <= 640 and right >= 720
