"""Everyday editing: geometry sizes, placed overlays, the basic adjustments and the step help."""

import json
import os
import subprocess
import sysconfig

import pytest
from PIL import Image, ImageChops, ImageEnhance, ImageFilter, ImageOps

from framewick import FrameWick
from framewick import steps as table
from framewick.chain import Chain, ChainError
from framewick.photo import run_steps
from framewick.steps.geometries import GeometryError, parse_geometry, parse_gravity, placed

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")


def holding(picture):
    obj = FrameWick()
    obj.image = picture
    return obj


def noisy(mode="RGB", size=(64, 48)):
    picture = Image.merge("RGB", [Image.effect_noise(size, 60 + 15 * i).point(lambda v, i=i: v + 20 * i)
                                  for i in range(3)])
    if mode == "RGBA":
        picture.putalpha(Image.linear_gradient("L").resize(size))
        return picture
    return picture.convert(mode)


def stripes(size=(300, 100)):
    """Three vertical thirds: red, green, blue."""
    picture = Image.new("RGB", size, (255, 0, 0))
    third = size[0] // 3
    picture.paste((0, 255, 0), (third, 0, 2 * third, size[1]))
    picture.paste((0, 0, 255), (2 * third, 0, size[0], size[1]))
    return picture


def same(a, b):
    return a.mode == b.mode and a.size == b.size and not ImageChops.difference(a, b).getbbox()


# ---------------------------------------------------------------------------------------------
# Geometry and gravity


@pytest.mark.parametrize("text, expected", [
    ("600x600", (600, 400)), ("600x", (600, 400)), ("600", (600, 400)), ("x400", (600, 400)),
    ("50%", (600, 400)), ("50x25%", (600, 200)), ("x25%", (300, 200)), ("600x600!", (600, 600)),
    ("600x600^", (900, 600)), ("600x600>", (600, 400)), ("2000x2000>", None), ("600x600<", None),
    ("2400x2400<", (2400, 1600)), ("1200x800", None), ("1x1", (1, 1)), ("1x1^", (2, 1)),
])
def test_geometries_give_the_sizes_imagemagick_gives(text, expected):
    assert parse_geometry(text).size_for((1200, 800)) == expected


@pytest.mark.parametrize("text", ["", "x", "%", "800y600", "0x600", "800x0", "50%!", "50%^", "800!", "-5x5",
                                  "1.5x2", "800x600!!", "0%", "20000%"])
def test_geometries_that_are_not_one_are_refused(text):
    with pytest.raises(GeometryError):
        parse_geometry(text)


@pytest.mark.parametrize("gravity, corner", [
    ("top-left", (5, 5)), ("top", (45, 5)), ("bottom-right", (85, 35)), ("centre", (45, 20)),
    ("Bottom Right", (85, 35)), ("southeast", (85, 35)), ("center", (45, 20)), ("north_west", (5, 5)),
])
def test_gravity_places_with_a_margin(gravity, corner):
    assert placed((100, 50), (10, 10), parse_gravity(gravity), 5) == corner


# ---------------------------------------------------------------------------------------------
# size and rotate_fill


@pytest.mark.parametrize("gravity, colour", [("left", (255, 0, 0)), ("centre", (0, 255, 0)), ("right", (0, 0, 255))])
def test_size_cover_cuts_the_overflow_by_gravity(gravity, colour, console):
    obj = holding(stripes()).size("30x30", cover=True, gravity=gravity)
    assert obj.image.size == (30, 30)
    assert obj.image.getpixel((15, 15)) == colour
    assert console.lines() == ["📏 Success: Image resized to 30x30"]


def test_size_pads_a_fitted_picture_with_the_background():
    obj = holding(stripes()).size("100x100", background="white", gravity="bottom")
    assert obj.image.size == (100, 100)
    assert obj.image.getpixel((50, 10)) == (255, 255, 255) and obj.image.getpixel((2, 90))[0] > 200


def test_size_keeps_alpha_and_leaves_a_picture_that_fits(console):
    picture = noisy("RGBA", (64, 48))
    obj = holding(picture).size("100x100>")
    assert obj.image is picture and console.lines() == []
    result = run_steps(holding(picture), "size:50%").image
    assert result.mode == "RGBA" and result.size == (32, 24)
    assert result.getchannel("A").getextrema()[1] > 200


def test_size_refuses_before_reading_the_picture():
    with pytest.raises(ValueError, match="❌ Error: size: geometry must be"):
        FrameWick().size("800y600")
    with pytest.raises(ChainError, match="step 1 'size': geometry must be .*at most"):
        Chain.parse("size:20000x20000!")
    with pytest.raises(ChainError, match="cover must be"):
        Chain.parse("size:50%,cover=true")
    with pytest.raises(ValueError, match="more than"):
        holding(Image.new("L", (10, 10))).size("10000000x")


def test_size_shrinks_on_load_only_when_the_result_is_the_same(tmp_path):
    path = tmp_path / "big.jpg"
    Image.linear_gradient("L").resize((1600, 1200)).convert("RGB").save(path)
    drafted = FrameWick.open(path, steps="brightness:1.1 | size:200x")
    assert drafted.photo.draft_scale > 1
    run_steps(drafted, "brightness:1.1 | size:200x")
    exact = FrameWick.open(path, exact=True)
    run_steps(exact, "brightness:1.1 | size:200x")
    assert drafted.image.size == exact.image.size == (200, 150)
    assert FrameWick.open(path, steps="size:10%").photo.draft_scale == 1  # a percentage of the drafted size differs


def test_rotate_fill_turns_counter_clockwise_and_fills_the_corners():
    picture = Image.new("RGB", (40, 20), (0, 0, 0))
    picture.paste((255, 0, 0), (0, 0, 4, 4))  # top left
    turned = holding(picture).rotate_fill(90).image
    assert turned.size == (20, 40) and turned.getpixel((1, 38)) == (255, 0, 0)  # now bottom left
    tilted = holding(Image.new("RGB", (40, 40), (0, 0, 0))).rotate_fill(45, "white").image
    assert tilted.getpixel((0, 0)) == (255, 255, 255)


# ---------------------------------------------------------------------------------------------
# Placed overlays


@pytest.fixture
def mark(tmp_path):
    path = tmp_path / "mark.png"
    Image.new("RGBA", (20, 10), (255, 0, 0, 255)).save(path)
    return str(path)


@pytest.mark.parametrize("kwargs, box", [
    ({"position": "bottom-right", "margin": 5}, (75, 65, 95, 75)),
    ({"position": "top-left", "margin": 0}, (0, 0, 20, 10)),
    ({"position": "centre", "margin": 30}, (40, 35, 60, 45)),
    ({"position": "bottom-right", "margin": 5, "scale": 0.5}, (45, 50, 95, 75)),
])
def test_place_watermark_puts_it_by_gravity_margin_and_scale(mark, kwargs, box):
    obj = holding(Image.new("RGB", (100, 80))).place_watermark(mark, **kwargs)
    assert obj.image.getbbox() == box


def test_place_watermark_opacity_and_alpha(mark):
    half = holding(Image.new("RGB", (100, 80))).place_watermark(mark, "top-left", 0, opacity=0.5).image
    assert half.getpixel((5, 5))[0] in (127, 128)
    clear = Image.new("RGBA", (100, 80), (0, 0, 0, 0))
    kept = run_steps(holding(clear), f"logo:{mark},position=top-left,margin=0").image
    assert kept.mode == "RGBA" and kept.getchannel("A").getextrema() == (0, 0)


def test_place_text_is_drawn_in_its_colour_where_it_is_placed():
    obj = holding(Image.new("RGB", (200, 100))).place_text("Hello", "bottom-left", 10, 24, "yellow")
    left, top, right, bottom = obj.image.getbbox()
    assert left >= 10 and bottom <= 90 and top > 50 and right < 150
    red, green, blue = obj.image.split()
    assert blue.getextrema()[1] == 0 and red.getextrema()[1] == 255
    faint = holding(Image.new("RGB", (200, 100))).place_text("Hello", "centre", 0, 24, "white", 0.25).image
    assert 50 < faint.getextrema()[0][1] < 80


# ---------------------------------------------------------------------------------------------
# The basic adjustments


@pytest.mark.parametrize("call, direct", [
    (lambda o: o.brightness(1.3), lambda im: ImageEnhance.Brightness(im).enhance(1.3)),
    (lambda o: o.saturation(0.4), lambda im: ImageEnhance.Color(im).enhance(0.4)),
    (lambda o: o.unsharp(2, 1.5, 3), lambda im: im.filter(ImageFilter.UnsharpMask(2, 150, 3))),
    (lambda o: o.auto_levels(1), lambda im: ImageOps.autocontrast(im, cutoff=1, preserve_tone=True)),
    (lambda o: o.levels(), lambda im: im),
    (lambda o: o.adjust_exposure(0), lambda im: im),
    (lambda o: o.temperature(0), lambda im: im),
])
def test_adjustments_are_the_pillow_calls_they_name(call, direct):
    picture = noisy()
    assert same(call(holding(picture)).image, direct(picture))


def test_adjustments_go_the_way_their_help_says():
    grey = Image.new("RGB", (8, 8), (128, 128, 128))
    assert holding(grey).adjust_exposure(1).image.getpixel((0, 0)) == (176, 176, 176)  # twice the linear light
    assert holding(grey).adjust_exposure(-1).image.getpixel((0, 0))[0] < 128
    assert holding(grey).levels(0, 255, 2.0).image.getpixel((0, 0))[0] > 170  # gamma above 1 brightens
    assert holding(Image.new("L", (2, 1), 10)).levels(10, 245).image.getpixel((0, 0)) == 0
    warm = holding(grey).temperature(50).image.getpixel((0, 0))
    assert warm[0] > 128 > warm[2] and warm[1] == 128
    assert holding(grey).tint(50).image.getpixel((0, 0))[1] < 128
    cast = holding(Image.new("RGB", (8, 8), (150, 120, 90))).auto_white_balance().image.getpixel((0, 0))
    assert max(cast) - min(cast) <= 1 and abs(cast[0] - 120) <= 1
    shaded = holding(Image.new("RGB", (101, 101), (200, 200, 200))).vignette(0.8, 0.3).image
    assert shaded.getpixel((50, 50)) == (200, 200, 200) and shaded.getpixel((0, 0))[0] < 60


STEPS_ON_MODES = ["brightness:1.2", "saturation:1.5", "ev:0.5", "temperature:30", "tint:-20", "awb", "levels:5,250,1.2",
                  "auto_levels", "unsharp", "vignette", "size:50%", "rotate_fill:10"]


@pytest.mark.parametrize("step", STEPS_ON_MODES)
def test_adjustments_keep_alpha_and_grey(step):
    rgba = noisy("RGBA")
    alpha = rgba.getchannel("A")
    method = Chain.parse(step).steps[0].method
    direct = getattr(holding(rgba.copy()), method)(*Chain.parse(step).steps[0].args).image
    assert direct.mode == "RGBA"
    if method not in ("size", "rotate_fill"):
        assert same(direct.getchannel("A"), alpha)
    chained = run_steps(holding(rgba.copy()), step).image
    assert chained.mode == "RGBA"
    grey = run_steps(holding(noisy("L")), step).image
    assert grey.mode == ("RGB" if step.startswith(("temperature", "tint")) else "L")


@pytest.mark.parametrize("method, args", [
    ("brightness", (9,)), ("saturation", (-1,)), ("adjust_exposure", (11,)), ("temperature", (101,)),
    ("tint", (-101,)), ("levels", (200, 100)), ("levels", (0, 255, 0)), ("auto_levels", (50,)),
    ("unsharp", (2, 11)), ("vignette", (1.5,)), ("place_text", ("x", "middle-ish")),
    ("rotate_fill", (10, "no-such-colour")), ("place_watermark", ("missing.png",)),
])
def test_out_of_range_values_are_refused_before_the_picture_is_read(method, args):
    obj = FrameWick()  # no picture at all: reading one would raise AttributeError
    with pytest.raises(ValueError, match="^❌ Error: "):
        getattr(obj, method)(*args)
    text = f"{method}:" + ",".join(f'"{a}"' if isinstance(a, str) else str(a) for a in args)
    with pytest.raises(ChainError, match="must be"):
        Chain.parse(text)


def test_a_value_of_the_wrong_type_is_a_type_error():
    with pytest.raises(TypeError, match="Argument 'factor' has incorrect type"):
        FrameWick().brightness("1.2")


# ---------------------------------------------------------------------------------------------
# Help that says which way


def test_every_parameter_has_its_meaning_range_default_and_example():
    data = table.to_data()
    for step in data:
        for param in step["params"]:
            assert param["meaning"] and param["range"] and param["example"], (step["method"], param["name"])
    by_method = {step["method"]: step for step in data}
    assert "counter-clockwise" in by_method["rotate"]["params"][0]["meaning"]
    assert "above 1 darkens" in by_method["adjust_gamma"]["params"][0]["meaning"]
    assert "above 1 brightens" in by_method["levels"]["params"][2]["meaning"]


@pytest.mark.parametrize("info", [i for i in table.STEPS if not any(
    (rule := table.RULES.get((i.method, p.name))) and rule.reads_file for p in i.params)], ids=lambda i: i.method)
def test_every_example_is_a_chain_that_parses(info):
    assert Chain.parse(table.example_of(info)).steps[0].method == info.method


def cli(*args):
    return subprocess.run([SCRIPT, *args], capture_output=True, text=True, encoding="utf-8", timeout=120)


def test_the_command_line_shows_the_help_and_the_descriptions():
    listed = cli("steps")
    assert listed.returncode == 0 and "degrees, counter-clockwise" in listed.stdout
    assert "example: size:800x600" in listed.stdout
    data = json.loads(cli("steps", "--json").stdout)
    levels = next(s for s in data["steps"] if s["method"] == "levels")
    assert levels["params"][0] == {"name": "black", "kind": "int", "default": 0, "required": False,
                                   "meaning": table.HELP[("levels", "black")][0], "range": "an integer from 0 to 254, "
                                   "below white", "example": "10"}
    presets = json.loads(cli("presets", "--json").stdout)["presets"]
    assert all(p["description"] for p in presets) and len(presets) == 8


def test_edit_runs_the_new_steps_and_refuses_bad_values(tmp_path, mark):
    source = tmp_path / "in.png"
    noisy(size=(120, 90)).save(source)
    out = tmp_path / "out.png"
    done = cli("edit", str(source), "-o", str(out), "--steps",
               f"size:60x60^,cover=true | brightness:1.1 | vignette:0.3 | logo:{mark},scale=0.25 | caption:Hi,font_size=12")
    assert done.returncode == 0, done.stderr
    with Image.open(out) as result:
        assert result.size == (60, 60)
    refused = cli("edit", str(source), "-o", str(tmp_path / "no.png"), "--steps", "saturation:12")
    assert refused.returncode == 2 and "'saturation': factor must be a number from 0 to 8" in refused.stderr
    assert not (tmp_path / "no.png").exists()


# ---------------------------------------------------------------------------------------------
# The command line: --quality, quiet batches, info like batch, a scheduler


@pytest.mark.parametrize("quality", [5, 30, 50, 75, 90, 100])
def test_the_jpeg_quality_is_estimated_from_the_tables(tmp_path, quality):
    from framewick.photo.quality import estimate_jpeg_quality

    path = tmp_path / "q.jpg"
    noisy().save(path, quality=quality)
    with Image.open(path) as picture:
        assert estimate_jpeg_quality(picture) == (quality, True)
    with Image.open(tmp_path / "q.jpg") as picture:
        picture.load()
        assert estimate_jpeg_quality(picture.convert("RGB")) is None  # no tables: no estimate


def test_quality_on_edit_and_batch_and_what_info_estimates(tmp_path):
    source = tmp_path / "in.png"
    noisy().save(source)
    done = cli("edit", str(source), "-o", str(tmp_path / "out.jpg"), "--quality", "40", "--steps", "brightness:1.1")
    assert done.returncode == 0, done.stderr
    shown = cli("info", str(tmp_path / "out.jpg"))
    assert "JPEG quality (estimated): 40" in shown.stdout
    both = cli("edit", str(source), "-o", str(tmp_path / "two.jpg"), "--quality", "40", "--steps", "quality:50")
    assert both.returncode == 2 and "--quality 40 and a quality: step" in both.stderr
    assert not (tmp_path / "two.jpg").exists()
    batch = cli("batch", str(source), "--out-dir", str(tmp_path / "out"), "--format", "jpg", "--quality", "60")
    assert batch.returncode == 0, batch.stderr
    record = json.loads(cli("info", str(tmp_path / "out" / "in.jpg"), "--json").stdout)
    assert record["jpeg_quality"] == 60


def test_batch_shows_each_pictures_lines_only_when_verbose(tmp_path):
    for name in ("a", "b"):
        noisy().save(tmp_path / f"{name}.png")
    quiet = cli("batch", str(tmp_path / "a.png"), str(tmp_path / "b.png"), "--out-dir", str(tmp_path / "q"),
                "--steps", "size:50% | quality:80")
    assert quiet.returncode == 0 and "📏" not in quiet.stdout + quiet.stderr
    assert quiet.stdout.splitlines()[-1].startswith("framewick batch: 2 pictures: 2 written")
    loud = cli("batch", str(tmp_path / "a.png"), str(tmp_path / "b.png"), "--out-dir", str(tmp_path / "v"),
               "--steps", "size:50%", "-v")
    assert loud.returncode == 0 and loud.stdout.count("📏 Success: Image resized to 32x24") == 2


def test_info_takes_directories_and_patterns_like_batch(tmp_path):
    (tmp_path / "shots" / "deeper").mkdir(parents=True)
    noisy().save(tmp_path / "shots" / "one.png")
    noisy().save(tmp_path / "shots" / "deeper" / "two.jpg")
    (tmp_path / "shots" / "notes.txt").write_text("not a picture")
    flat = [json.loads(line)["path"] for line in cli("info", str(tmp_path / "shots"), "--json").stdout.splitlines()]
    assert [os.path.basename(p) for p in flat] == ["one.png"]
    walked = cli("info", str(tmp_path / "shots"), "--recursive", "--json").stdout.splitlines()
    assert sorted(os.path.basename(json.loads(line)["path"]) for line in walked) == ["one.png", "two.jpg"]
    matched = cli("info", str(tmp_path / "shots" / "*.png"), "--json").stdout.splitlines()
    assert len(matched) == 1
    nothing = cli("info", str(tmp_path / "*.gif"))
    assert nothing.returncode == 2 and "no file matches" in nothing.stderr


@pytest.fixture
def scheduler(tmp_path):
    """A dask.distributed scheduler with one worker process on loopback; its address."""
    pytest.importorskip("distributed")
    import sys

    code = ("import sys, warnings; warnings.simplefilter('ignore')\n"
            "from distributed import LocalCluster\n"
            "with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host='127.0.0.1',"
            " dashboard_address=None) as cluster:\n"
            "    print(cluster.scheduler_address, flush=True)\n"
            "    sys.stdin.read()\n")
    with subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, cwd=tmp_path) as process:
        try:
            address = process.stdout.readline().strip()
            assert address.startswith("tcp://127.0.0.1:"), address
            yield address
        finally:
            process.stdin.close()
            try:
                process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def test_batch_runs_on_a_scheduler_with_the_same_summary_and_failures(tmp_path, scheduler):
    noisy().save(tmp_path / "good.png")
    (tmp_path / "bad.png").write_bytes(b"not a picture at all")
    done = cli("batch", str(tmp_path / "good.png"), str(tmp_path / "bad.png"), "--out-dir", str(tmp_path / "out"),
               "--steps", "size:50% | ev:0.5", "--scheduler", scheduler)
    assert done.returncode == 1
    assert done.stdout.splitlines()[-1].startswith("framewick batch: 2 pictures: 1 written, 0 skipped, 1 failed")
    assert "bad.png" in done.stderr
    with Image.open(tmp_path / "out" / "good.png") as result:
        assert result.size == (32, 24)


def test_a_scheduler_that_cannot_be_reached_is_one_line_and_exit_1(tmp_path):
    pytest.importorskip("distributed")
    noisy().save(tmp_path / "a.png")
    done = cli("batch", str(tmp_path / "a.png"), "--out-dir", str(tmp_path / "out"), "--scheduler", "tcp://127.0.0.1:9")
    assert done.returncode == 1
    assert done.stderr.strip().splitlines() == [
        done.stderr.strip()] and "cannot reach the scheduler at tcp://127.0.0.1:9" in done.stderr
    assert not (tmp_path / "out").exists()


def test_a_look_with_the_new_steps_runs_in_batch_with_its_logo_beside_the_looks_file(tmp_path):
    (tmp_path / "house").mkdir()
    Image.new("RGBA", (8, 4), (255, 0, 0, 255)).save(tmp_path / "house" / "mark.png")
    looks_file = tmp_path / "house" / "looks.toml"
    looks_file.write_text('[looks.stamped]\nsteps = "size:40x40^,cover=true | logo:mark.png,top-left,0 | awb"\n'
                          'description = "square, stamped, balanced"\n')
    Image.new("RGB", (80, 60), (90, 90, 90)).save(tmp_path / "in.png")
    done = cli("batch", str(tmp_path / "in.png"), "--out-dir", str(tmp_path / "out"), "--steps", "look:stamped",
               "--looks", str(looks_file))
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "out" / "in.png") as result:
        assert result.size == (40, 40) and result.convert("RGB").getpixel((1, 1))[0] > 200
    listed = json.loads(cli("presets", "--json", "--looks", str(looks_file)).stdout)
    assert listed["looks"][0]["description"] == "square, stamped, balanced"


@pytest.mark.parametrize("text", ["size:50%", "size:30x30,cover=true", "size:100x100,background=white",
                                  "size:600x600>", "size:200x", "rotate_fill:17", "rotate_fill:17,expand=false",
                                  "vignette | unsharp | levels:5,250"])
def test_the_size_model_knows_what_the_new_steps_give(text):
    from framewick.steps import sizes

    chain = Chain.parse(text)
    predicted = sizes.check(chain.steps, (300, 100))
    assert predicted == run_steps(holding(stripes()), chain).image.size
