"""Real-world files through every path: 16-bit pictures, broken PNGs, APNG default images,
nonsense resolutions, fax and oriented TIFFs, layered PSDs, GIFs of identical frames, Pillow's
warnings, EXIF that cannot be written back, PNG text, and each open's own pixel limit."""

import array
import io
import json
import os
import shutil
import subprocess
import sys
import sysconfig
from xml.dom import minidom

import pytest
from PIL import ExifTags, Image, ImageChops, ImageOps, PngImagePlugin

import realfiles as R
from framewick import FrameWick
from framewick.chain import Chain
from framewick.photo import PhotoError, run_steps

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")


def cli(*args, cwd=None, timeout=120):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run([SCRIPT, *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True,
                          encoding="utf-8", timeout=timeout)


def saved(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def quiet_open(source, **kwargs):
    obj = FrameWick.open(source, **kwargs)
    return obj


def frames_of(path):
    """(duration, first pixel as RGB) of each frame of an animation, as Pillow reads it."""
    found = []
    with Image.open(path) as im:
        for index in range(getattr(im, "n_frames", 1)):
            im.seek(index)
            im.load()
            found.append((im.info.get("duration"), im.convert("RGB").getpixel((5, 5))))
    return found


def halves(mode):
    """A deep picture: left half level 40, right half level 200 (in 8-bit terms)."""
    left, right = {"I;16": (40 * 257, 200 * 257), "I": (40 * 257, 200 * 257), "F": (40 / 255, 200 / 255)}[mode]
    picture = Image.new(mode if mode != "I;16" else "I", (64, 48), left)
    picture.paste(right, (32, 0, 64, 48))
    return picture.convert("I;16") if mode == "I;16" else picture


# ---------------------------------------------------------------------------------------------
# 16-bit, 32-bit and float pictures


@pytest.mark.parametrize("mode", ["I;16", "I", "F"])
def test_deep_palette_counts_the_picture_scaled_by_its_range(tmp_path, mode, capsys):
    path = tmp_path / "deep.tif"
    halves(mode).save(path)
    obj = FrameWick.open(path)
    assert obj.image.mode == mode
    eight_bit = FrameWick()
    eight_bit.image = Image.new("L", (64, 48), 40)
    eight_bit.image.paste(200, (32, 0, 64, 48))
    assert obj.extract_color_palette(4) == eight_bit.extract_color_palette(4)  # as the 8-bit picture counts
    assert sorted(obj.extract_color_palette(2)) == ["#202020", "#C0C0C0"]
    assert obj.image.mode == mode  # the picture itself is left as it was
    done = cli("info", path, "--json")
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)
    top = sorted(record["palette"], key=lambda p: -p["share"])[:2]
    assert {p["color"] for p in top} == {"#202020", "#c0c0c0"} and all(0.4 < p["share"] < 0.6 for p in top)


MOVES = "rotate:90 | flip | crop:2,2,40,60 | resize:30,50 | thumbnail:10,10 | fit:8,8 | border:2"


def moved_by_pillow(picture):
    """What the moving chain above does, in plain Pillow."""
    picture = picture.transpose(Image.Transpose.ROTATE_90).transpose(Image.Transpose.FLIP_LEFT_RIGHT)
    picture = picture.crop((2, 2, 40, 60)).resize((30, 50), Image.Resampling.LANCZOS)
    return picture


@pytest.mark.parametrize("suffix", [".png", ".tif"])
def test_a_chain_that_only_moves_pixels_keeps_16_bits_on_every_path(tmp_path, suffix):
    source = tmp_path / "camera16.png"
    R.grey16().save(source)
    by_cli = tmp_path / f"cli{suffix}"
    done = cli("edit", source, "-o", by_cli, "--steps", MOVES, "-q")
    assert done.returncode == 0, done.stderr
    by_chain = FrameWick.open(source)
    run_steps(by_chain, MOVES, lambda line: None)
    by_chain.write(tmp_path / f"chain{suffix}")
    with Image.open(by_cli) as a, Image.open(tmp_path / f"chain{suffix}") as b:
        assert a.mode == b.mode == "I;16" and a.size == b.size == (12, 12)
        assert a.tobytes() == b.tobytes()
    # the first steps, against plain Pillow, value for value
    obj = FrameWick.open(source)
    run_steps(obj, "rotate:90 | flip | crop:2,2,40,60 | resize:30,50", lambda line: None)
    assert obj.image.mode == "I;16"
    assert obj.image.tobytes() == moved_by_pillow(Image.open(source)).tobytes()
    # a step that changes the pixels scales to 8 bits by the range, as before
    done = cli("edit", source, "-o", tmp_path / "blurred.png", "--steps", "rotate:90 | blur:1", "-q")
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "blurred.png") as blurred:
        assert blurred.mode == "L"


def test_thumbnail_of_a_large_16_bit_picture_keeps_its_depth():
    picture = R.grey16((400, 300))
    buffer = io.BytesIO()
    picture.save(buffer, "PNG")
    obj = FrameWick.open(io.BytesIO(buffer.getvalue()))
    obj.thumbnail((40, 40))
    assert obj.image.mode == "I;16" and obj.image.size == (40, 30)
    expected = picture.convert("I")
    expected.thumbnail((40, 40))
    assert obj.image.convert("I").tobytes() == expected.tobytes()


@pytest.mark.parametrize("colour, mode, edge", [("black", "I;16", 0), ("white", "L", 255)])
def test_a_border_keeps_16_bits_where_its_colour_can_be_said_in_them(colour, mode, edge, capsys):
    obj = FrameWick.open(io.BytesIO(R.png_bytes(R.grey16())))
    obj.apply_border(3, colour)
    assert obj.image.mode == mode and obj.image.size == (70, 54) and obj.image.getpixel((0, 0)) == edge
    chained = FrameWick.open(io.BytesIO(R.png_bytes(R.grey16())))
    run_steps(chained, f"border:3,color={colour}", lambda line: None)
    assert chained.image.tobytes() == obj.image.tobytes()


METHODS = [("apply_blur", ()), ("apply_sharpen", ()), ("apply_contrast", (1.5,)), ("apply_grayscale", (0.5,)),
           ("auto_enhance", ()), ("adjust_gamma", (0.8,)), ("apply_sepia", ()), ("invert", ()),
           ("apply_camscanner", ()), ("round_corners", (5,)), ("add_text", ("hi", (1, 1)))] + \
          [("apply_preset", (name,)) for name in ("vintage", "cinematic", "vibrant", "dreamy", "noir", "warm", "sepia", "cool")]


def opened(mode):
    """A picture of `mode` opened through FrameWick.open (from TIFF, or PNG/GIF for palettes)."""
    if mode in ("I;16", "I", "F"):
        picture, fmt = halves(mode), "TIFF"
    elif mode == "P":
        picture, fmt = R.gradient().convert("P"), "GIF"
    else:
        picture, fmt = R.gradient().convert(mode), "TIFF" if mode in ("CMYK", "1") else "PNG"
    buffer = io.BytesIO()
    picture.save(buffer, fmt)
    obj = FrameWick.open(io.BytesIO(buffer.getvalue()))
    assert obj.image.mode == mode
    return obj


@pytest.mark.parametrize("mode", ["I;16", "I", "F", "P", "1", "CMYK", "L", "LA", "RGBA"])
def test_every_method_works_on_a_picture_opened_in_any_mode(mode, capsys):
    for method, args in METHODS:
        obj = opened(mode)
        getattr(obj, method)(*args)
        assert obj.image.mode in ("L", "LA", "RGB", "RGBA"), (mode, method)
    capsys.readouterr()
    # the deep picture is scaled by its range, not clipped to white
    if mode in ("I;16", "I", "F"):
        obj = opened(mode).apply_blur(0)
        assert obj.image.getpixel((2, 2)) == 40 and obj.image.getpixel((60, 2)) == 200


def test_a_palette_picture_whose_plugin_left_no_palette_object_goes_through_steps(tmp_path):
    R.gradient((13, 7)).convert("P").save(tmp_path / "icon.icns")
    obj = FrameWick.open(tmp_path / "icon.icns")
    assert obj.image.mode == "P" and obj.image.palette is None  # as Pillow's ICNS reader leaves it
    run_steps(obj, "flip | invert", lambda line: None)
    assert obj.image.mode == "RGB"


def test_a_transparent_grey_value_becomes_alpha_on_the_same_pixels(tmp_path):
    source = tmp_path / "trns16.png"
    picture = R.grey16()
    grey = picture.getpixel((0, 20))
    picture.save(source, transparency=grey)
    done = cli("edit", source, "-o", tmp_path / "out.png", "--steps", "blur:0", "-q")
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "out.png") as out, Image.open(source) as src:
        assert out.mode == "LA"
        wanted = [v == grey for v in array.array("H", src.tobytes())]  # I;16 is little-endian
        got = [v == 0 for v in out.getchannel("A").tobytes()]
        assert any(wanted) and got == wanted


# ---------------------------------------------------------------------------------------------
# info tells one story


@pytest.mark.parametrize("fmt, name, orientation", [("JPEG", "shot.jpg", 6), ("GIF", "anim.gif", 1),
                                                    ("JPEG", "plain.jpg", 1)])
def test_info_plain_and_json_agree(tmp_path, fmt, name, orientation):
    path = tmp_path / name
    exif = Image.Exif()
    exif[R.ORIENTATION] = orientation
    exif[0x010F] = "FrameCam"
    if fmt == "GIF":
        frames = [Image.new("P", (20, 10), i) for i in range(3)]
        frames[0].save(path, save_all=True, append_images=frames[1:], duration=100)
    else:
        R.gradient((40, 20)).save(path, exif=exif)
    plain, as_json = cli("info", path), cli("info", path, "--json")
    assert plain.returncode == as_json.returncode == 0, plain.stderr + as_json.stderr
    record = json.loads(as_json.stdout)
    lines = plain.stdout.splitlines()
    assert record["format"] == fmt and f"📁 Format: {fmt}" in lines
    assert record["orientation"] == orientation and f"Orientation: {orientation}" in lines
    if fmt == "JPEG":
        assert record["metadata"]["Orientation"] == orientation and f"  Orientation: {orientation}" in lines


# ---------------------------------------------------------------------------------------------
# Broken PNGs, truncated TIFFs and Pillow's warnings


@pytest.mark.parametrize("kind", ["cut", "corrupt", "noend", "truncated"])
def test_a_png_that_does_not_decode_whole_is_an_error_on_every_path(tmp_path, kind):
    path = saved(tmp_path, f"{kind}.png", R.broken_png(kind))
    with pytest.raises(PhotoError, match=f"{kind}.png"):
        FrameWick.open(path)
    with pytest.raises(PhotoError, match=f"{kind}.png"):
        FrameWick.open(path, steps="resize:10,10")
    out = tmp_path / "out.png"
    for args in (["edit", path, "-o", out], ["edit", path, "-o", out, "--steps", "rotate:90"], ["info", path],
                 ["info", path, "--json"]):
        done = cli(*args)
        assert done.returncode == 1, (args, done.stdout)
        assert done.stderr.splitlines() == [done.stderr.strip()] and f"{kind}.png" in done.stderr, done.stderr
    assert not out.exists()
    done = cli("batch", path, "--out-dir", tmp_path / "outdir", "--steps", "invert")
    assert done.returncode == 1 and not any((tmp_path / "outdir").glob("*.png"))


@pytest.mark.parametrize("make, name", [(R.truncated_tiff, "cut.tif"), (lambda: R.bomb_png(10000, 9000), "big.png")])
def test_the_command_line_shows_only_its_own_line_never_pillows_warnings(tmp_path, make, name):
    path = saved(tmp_path, name, make())
    for args in (["info", path], ["edit", path, "-o", tmp_path / "out.png"]):
        done = cli(*args)
        assert done.returncode == 1
        assert done.stderr.count("\n") == 1 and done.stderr.startswith("❌ Error:") and name in done.stderr, done.stderr
        assert "Warning" not in done.stderr


def test_a_picture_above_pillows_warning_size_opens_without_a_warning(tmp_path):
    # 90 million pixels: past Pillow's warning size, under its refusal; pytest turns warnings into errors
    path = saved(tmp_path, "big.png", R.bomb_png(10000, 9000))
    with pytest.raises(PhotoError, match="could not be decoded"):
        FrameWick.open(path)


# ---------------------------------------------------------------------------------------------
# APNG, GIF and PSD


def test_apng_default_image_stays_out_of_the_animation(tmp_path):
    source = saved(tmp_path, "default.png", R.apng_with_default())
    wanted = [(500, (0, 255, 255)), (1000, (255, 127, 255)), (500, (255, 255, 0)), (1000, (0, 0, 0))]
    for suffix in (".gif", ".webp"):
        done = cli("edit", source, "-o", tmp_path / f"out{suffix}", "--steps", "invert", "-q")
        assert done.returncode == 0, done.stderr
        got = frames_of(tmp_path / f"out{suffix}")
        assert [d for d, _ in got] == [d for d, _ in wanted], suffix
        assert all(max(abs(a - b) for a, b in zip(c, w)) <= 8 for (_, c), (_, w) in zip(got, wanted)), suffix
    FrameWick.open(source).write(tmp_path / "again.png")
    with Image.open(tmp_path / "again.png") as again:
        assert again.info.get("default_image") and again.n_frames == 5
    assert frames_of(tmp_path / "again.png")[1:] == frames_of(source)[1:]
    assert [d for d, _ in frames_of(tmp_path / "again.png")[1:]] == [500, 1000, 500, 1000]


def test_a_gif_of_identical_frames_is_written(tmp_path):
    source = saved(tmp_path, "same.gif", R.identical_gif())
    done = cli("edit", source, "-o", tmp_path / "out.gif", "--steps", "invert", "-q")
    assert done.returncode == 0, done.stderr
    got = frames_of(tmp_path / "out.gif")
    assert sum(d for d, _ in got) == 600 and {c for _, c in got} == {(0, 255, 255)}
    FrameWick.open(source).write(tmp_path / "plain.gif")
    assert sum(d for d, _ in frames_of(tmp_path / "plain.gif")) == 600


def test_a_gif_whose_frames_decode_in_different_modes_is_written_as_apng(tmp_path):
    frames = [R.gradient((24, 16)).rotate(i * 30) for i in range(4)]
    frames[0].save(tmp_path / "mixed.gif", save_all=True, append_images=frames[1:], duration=[40, 80, 120, 160])
    obj = FrameWick.open(tmp_path / "mixed.gif")
    assert len({frame.mode for frame in obj.photo.frames}) > 1  # P, then RGB, as Pillow decodes them
    obj.write(tmp_path / "out.png")
    assert [d for d, _ in frames_of(tmp_path / "out.png")] == [40, 80, 120, 160]


def test_a_layered_psd_is_read_as_its_composite(tmp_path):
    source = saved(tmp_path, "layers.psd", R.layered_psd())
    obj = FrameWick.open(source)
    assert obj.image.size == (12, 8) and obj.image.getpixel((3, 3)) == (0, 200, 0)
    done = cli("edit", source, "-o", tmp_path / "out.png", "--steps", "flip", "-q")
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "out.png") as out:
        assert out.getpixel((3, 3)) == (0, 200, 0)
    record = json.loads(cli("info", source, "--json").stdout)
    assert record["frames"] == 1 and record["format"] == "PSD"


# ---------------------------------------------------------------------------------------------
# Metadata a format cannot carry as it is


@pytest.mark.parametrize("numerator, denominator", [(4294967295, 1), (0, 1), (0, 0)])
@pytest.mark.parametrize("suffix", [".png", ".jpg", ".tif", ".bmp"])
def test_a_nonsense_resolution_never_stops_the_picture(tmp_path, numerator, denominator, suffix):
    source = saved(tmp_path, "dpi.jpg", R.jpeg_with_resolution(numerator, denominator))
    out = tmp_path / f"out{suffix}"
    done = cli("edit", source, "-o", out, "-q")
    assert done.returncode == 0, done.stderr
    with Image.open(out) as written:
        assert written.size == (64, 48)
        dpi = written.info.get("dpi")  # left out, or Pillow's default where the source had none usable
        assert dpi is None or all(1 <= float(v) <= 96.1 for v in dpi) or suffix in (".jpg", ".tif")
    done = cli("edit", out, "-o", tmp_path / "again.png", "-q")  # and what was written is written again
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("suffix", [".tif", ".png", ".jpg"])
def test_a_tiff_of_resolution_0_over_0_is_written(tmp_path, suffix):
    source = saved(tmp_path, "nan.tif", R.tiff_nan_resolution())
    done = cli("edit", source, "-o", tmp_path / f"out{suffix}", "--steps", "invert", "-q")
    assert done.returncode == 0, done.stderr
    assert json.loads(cli("info", source, "--json").stdout)["dpi"] is None


@pytest.mark.parametrize("compression", ["group3", "group4"])
def test_a_fax_tiff_is_written_back_to_tiff(tmp_path, compression):
    source = saved(tmp_path, "fax.tif", R.fax_tiff(compression))
    for steps in ("blur:1", "rotate:90"):  # steps get bilevel pictures as L
        out = tmp_path / "out.tif"
        done = cli("edit", source, "-o", out, "--steps", steps, "-q", "--overwrite")
        assert done.returncode == 0, done.stderr
        with Image.open(out) as written:
            written.load()
            assert written.mode == "L" and written.info["compression"] == "tiff_lzw"
    FrameWick.open(source).write(tmp_path / "same.tif")
    with Image.open(tmp_path / "same.tif") as written, Image.open(source) as src:
        assert written.mode == "1" and written.info["compression"] == compression
        assert written.tobytes() == src.tobytes()


def test_an_oriented_tiff_comes_out_upright_with_its_own_tags(tmp_path):
    source = saved(tmp_path, "turned.tif", R.oriented_tiff(6))
    with Image.open(source) as src:
        upright = ImageOps.exif_transpose(src).convert("RGB")
    for suffix in (".tif", ".png"):
        out = tmp_path / f"out{suffix}"
        done = cli("edit", source, "-o", out, "-q")
        assert done.returncode == 0, done.stderr
        with Image.open(out) as written:
            assert written.size == (40, 60)
            assert ImageChops.difference(written.convert("RGB"), upright).getbbox() is None
            if suffix == ".tif":
                tags = written.getexif()
                assert tags.get(0x010F) == "FrameCam" and tags.get(R.ORIENTATION, 1) == 1


def test_exif_pillow_cannot_write_back_never_fails_the_picture(tmp_path):
    source = saved(tmp_path, "odd.jpg", R.jpeg_with_unwritable_exif(6))
    record = json.loads(cli("info", source, "--json").stdout)
    assert record["size"] == [40, 60] and record["orientation"] == 6
    for suffix in (".jpg", ".tif", ".png"):
        out = tmp_path / f"out{suffix}"
        done = cli("edit", source, "-o", out, "--steps", "invert", "-q")
        assert done.returncode == 0, done.stderr
        with Image.open(out) as written:
            assert written.size == (40, 60)
            tags = written.getexif()
            assert tags.get(0x010F) == "Cam" and tags.get(R.ORIENTATION, 1) == 1 and 0x0100 not in tags or suffix == ".tif"
    assert FrameWick.open(source).image.size == (40, 60)


def test_info_json_carries_a_pngs_text_chunks(tmp_path):
    chunks = PngImagePlugin.PngInfo()
    chunks.add_text("Title", "Harbour at dawn")
    chunks.add_text("Comment", "long " * 100, zip=True)
    chunks.add_itxt("Author", "Zoë", lang="en")
    path = tmp_path / "text.png"
    R.gradient().save(path, pnginfo=chunks)
    metadata = json.loads(cli("info", path, "--json").stdout)["metadata"]
    assert metadata["Title"] == "Harbour at dawn" and metadata["Comment"] == "long " * 100
    assert metadata["Author"] == "Zoë"


# ---------------------------------------------------------------------------------------------
# The pixel limit is each call's own


def test_no_thread_changes_another_threads_pixel_limit(tmp_path):
    (tmp_path / "bomb.png").write_bytes(R.bomb_png(15000, 15000))  # 225 million pixels
    R.gradient((8, 8)).save(tmp_path / "small.png")
    code = f"""
import threading, sys
from PIL import Image
from framewick import FrameWick
from framewick.photo import PhotoError
own = Image.MAX_IMAGE_PIXELS
stop = threading.Event()
seen = set()

def lifting():
    while not stop.is_set():
        FrameWick.open({str(tmp_path / 'small.png')!r}, max_pixels=10**12)
        seen.add(Image.MAX_IMAGE_PIXELS)

worker = threading.Thread(target=lifting)
worker.start()
opened = refused = 0
try:
    for _ in range(400):
        try:
            FrameWick.open({str(tmp_path / 'bomb.png')!r})
            opened += 1
        except PhotoError as error:
            refused += "too large" in str(error)
finally:
    stop.set()
    worker.join()
print(opened, refused, seen == {{own}}, Image.MAX_IMAGE_PIXELS == own)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0", "400", "True", "True"]


def test_a_calls_own_limit_lifts_and_lowers_for_that_call_only(tmp_path):
    path = saved(tmp_path, "bomb.png", R.bomb_png(15000, 15000))
    with pytest.raises(PhotoError, match="too large"):
        FrameWick.open(path)
    with pytest.raises(PhotoError, match="could not be decoded"):  # past the size check: the data is missing
        FrameWick.open(path, max_pixels=10**12)
    R.gradient((8, 8)).save(tmp_path / "small.png")
    with pytest.raises(PhotoError, match="more than the limit of 10"):
        FrameWick.open(tmp_path / "small.png", max_pixels=10)
    limit = Image.MAX_IMAGE_PIXELS
    assert FrameWick.open(tmp_path / "small.png").image.size == (8, 8) and Image.MAX_IMAGE_PIXELS == limit


# ---- JPEGs with pictures appended: gain maps, depth maps and previews are not frames

def ultra_hdr_iso(tmp_path):
    """An Ultra HDR JPEG as libultrahdr 2 writes it (ISO 21496-1, no hdrgm XMP), from a linear
    half-float HDR picture."""
    if shutil.which("ultrahdr_app") is None:
        pytest.skip("ultrahdr_app (libuhdr-bin) is not installed")
    numpy = pytest.importorskip("numpy")
    y, x = numpy.mgrid[0:48, 0:64]
    hdr = numpy.stack([x / 16.0, y / 24.0, numpy.full(x.shape, 0.5), numpy.ones(x.shape)], -1).astype("<f2")
    hdr.tofile(tmp_path / "hdr.raw")
    subprocess.run(["ultrahdr_app", "-m", "0", "-p", tmp_path / "hdr.raw", "-a", "4", "-t", "0", "-w", "64", "-h", "48",
                    "-z", tmp_path / "uhdr.jpg"], check=True, capture_output=True, timeout=60)
    return (tmp_path / "uhdr.jpg").read_bytes()


APPENDED = {
    "gain map, hdrgm": (lambda tmp_path: R.ultra_hdr_hdrgm(), 1),
    "gain map, ISO 21496-1": (ultra_hdr_iso, 1),
    "large preview": (lambda tmp_path: R.mpo(R.gradient(), R.jpeg_bytes(R.gradient((32, 24))), R.MP_LARGE_THUMBNAIL), 1),
    "stereo pair": (lambda tmp_path: R.mpo(R.gradient(), R.jpeg_bytes(R.gradient().rotate(180)), R.MP_DISPARITY), 2),
    "unmarked second picture": (lambda tmp_path: R.mpo(R.gradient(), R.jpeg_bytes(R.gradient().rotate(180))), 2),
}


@pytest.mark.parametrize("case", APPENDED)
def test_only_genuine_frames_of_a_jpeg_with_appended_pictures_count(case, tmp_path):
    make, frames = APPENDED[case]
    source = saved(tmp_path, "photo.jpg", make(tmp_path))
    assert len(FrameWick.open(source).photo.frames) == (frames if frames > 1 else 0)
    assert json.loads(cli("info", source, "--json").stdout)["frames"] == frames
    to_jpeg = cli("edit", source, "-o", tmp_path / "out.jpg")
    assert to_jpeg.returncode == 0 and ("2 frames" in to_jpeg.stderr) == (frames == 2)
    assert cli("edit", source, "-o", tmp_path / "out.png").returncode == 0
    with Image.open(tmp_path / "out.png") as out:
        assert getattr(out, "n_frames", 1) == frames and out.size == (64, 48)
    assert cli("batch", source, "-d", tmp_path / "done", "--format", "webp").returncode == 0
    with Image.open(tmp_path / "done" / "photo.webp") as out:
        assert getattr(out, "n_frames", 1) == frames


@pytest.mark.parametrize("suffix", [".jpg", ".png", ".webp", ".tif"])
def test_a_written_ultra_hdr_photo_describes_no_gain_map_and_keeps_its_other_xmp(suffix, tmp_path):
    source = saved(tmp_path, "photo.jpg", R.ultra_hdr_hdrgm())
    out = tmp_path / f"out{suffix}"
    assert cli("edit", source, "-o", out, "--steps", "crop:0,0,32,24").returncode == 0
    with Image.open(out) as written:
        packet = written.info.get("xmp") or written.info.get("XML:com.adobe.xmp") or written.tag_v2.get(700)
    text = packet if isinstance(packet, str) else packet.decode()
    minidom.parseString(text)  # well-formed
    assert "hdr-gain-map" not in text and "hdrgm" not in text and "Container" not in text
    assert 'xmp:Rating="4"' in text and "<xmp:Label>Harbour</xmp:Label>" in text
    if shutil.which("exiftool") and suffix == ".jpg":
        tags = json.loads(subprocess.run(["exiftool", "-j", "-a", "-G1", out], capture_output=True, text=True).stdout)[0]
        assert not [key for key in tags if "Warning" in key or "Error" in key], tags


@pytest.mark.parametrize("packet, kept", [
    (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
     b'<rdf:Description xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/"><hdrgm:GainMapMax>2</hdrgm:GainMapMax>'
     b'<hdrgm:Gamma>1</hdrgm:Gamma></rdf:Description></rdf:RDF></x:xmpmeta>', b"<rdf:Description/>"),
    (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><a xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/">', None),
    (b'<!DOCTYPE x [<!ENTITY e "http://ns.adobe.com/hdr-gain-map/1.0/">]><x>&e;</x>', None),
], ids=["fields as elements", "broken packet", "entities"])
def test_gain_map_fields_in_any_shape_leave_no_trace(packet, kept):
    from framewick.photo.xmp import without_gain_map

    cleaned = without_gain_map(packet)
    assert (cleaned is None) if kept is None else (kept in cleaned and b"hdrgm" not in cleaned)


# ---- EXIF larger than the format holds

@pytest.mark.parametrize("maker_note, thumbnail, left", [
    (130_000, 160, ["the embedded thumbnail", "the maker notes"]),
    (50_000, 160, ["the embedded thumbnail"]),
    (130_000, 0, ["the maker notes"]),
])
def test_exif_is_cut_down_in_order_until_it_fits(maker_note, thumbnail, left):
    from framewick.photo import exif as photo_exif
    data, what = photo_exif.fitted(R.big_exif(maker_note, thumbnail), 65533)
    kept = Image.Exif()
    kept.load(data)
    assert what == left and len(data) <= 65533 and kept[0x010F] == "Xiaomi" and not kept.get_ifd(ExifTags.IFD.IFD1)
    assert (0x927C in kept.get_ifd(ExifTags.IFD.Exif)) is ("the maker notes" not in left)


@pytest.mark.parametrize("suffix, cut", [(".jpg", True), (".webp", False), (".png", False)])
@pytest.mark.parametrize("path", ["edit", "batch", "api"])
def test_a_phones_large_exif_never_stops_the_picture(tmp_path, suffix, cut, path, capsys):
    source = saved(tmp_path, "IMG_1.png", R.png_bytes(R.gradient(), exif=R.big_exif(130_000, 160)))
    out = tmp_path / "out" / ("IMG_1" + suffix)
    out.parent.mkdir()
    if path == "api":
        FrameWick.open(source).write(out)
        stderr = capsys.readouterr().err
    else:
        done = cli(path, source, *(["-o", out] if path == "edit" else ["-d", out.parent, "--format", suffix[1:]]))
        assert done.returncode == 0, done.stderr
        stderr = done.stderr
    with Image.open(out) as im:
        exif = im.getexif()
    assert exif[0x010F] == "Xiaomi" and (0x927C in exif.get_ifd(ExifTags.IFD.Exif)) is not cut
    assert stderr.count("the embedded thumbnail and the maker notes were left out") == cut


@pytest.mark.parametrize("writer", ["tifffile", "Pillow"])
@pytest.mark.parametrize("path", ["edit", "batch", "python"])
def test_a_big_endian_16_bit_deflate_tiff_is_written_with_its_own_values(tmp_path, writer, path):
    numpy = pytest.importorskip("numpy")
    values = (numpy.arange(48 * 64, dtype=numpy.uint32).reshape(48, 64) * 21).astype(">u2")
    source, out = tmp_path / "be.tif", tmp_path / "out" / "be.tif"
    out.parent.mkdir()
    if writer == "tifffile":
        pytest.importorskip("tifffile").imwrite(source, values, byteorder=">", compression="zlib")
    else:
        Image.frombytes("I;16B", (64, 48), values.tobytes()).save(source, compression="tiff_adobe_deflate")
    if path == "python":
        FrameWick.open(source).rotate(90).rotate(-90).write(out)
    else:
        where = ["-o", out] if path == "edit" else ["-d", out.parent]
        assert cli(path, source, *where, "--steps", "rotate:90 | rotate:-90", "-q").returncode == 0
    with Image.open(out) as written:
        assert written.convert("I").get_flattened_data() == tuple(values.reshape(-1).tolist())


# Tags libtiff will not take back as Pillow hands them over: free space of the old file (refused),
# a DNG tag (it would crash), a separation's ink names.
ODD_TAGS = {"free space": [(288, "I", 1, 1000, True), (289, "I", 1, 10, True)],
            "DNG version": [(50706, "B", 4, (1, 4, 0, 0), True)], "ink names": [(333, "s", 0, "cyan", True)]}


@pytest.mark.parametrize("tags", ODD_TAGS.values(), ids=ODD_TAGS.keys())
@pytest.mark.parametrize("path", ["edit", "python"])
def test_a_16_bit_rgba_tiff_is_written_without_the_tags_that_cannot_be(tmp_path, tags, path):
    numpy = pytest.importorskip("numpy")
    pixels = numpy.zeros((30, 40, 4), dtype=numpy.uint16)
    pixels[..., 0], pixels[:, 20:, 3] = 60000, 65535  # red; the left half transparent
    source, out = tmp_path / "rgba.tif", tmp_path / "out.tif"
    pytest.importorskip("tifffile").imwrite(source, pixels, photometric="rgb", extrasamples=[2], compression="zlib",
                                            extratags=tags + [(0x013B, "s", 0, "Ada", True)])
    if path == "python":
        FrameWick.open(source).write(out)
    else:
        assert cli("edit", source, "-o", out, "--steps", "blur:0", "-q").returncode == 0
    with Image.open(out) as written:
        red, green, blue, alpha = written.getpixel((35, 5))
        assert written.getpixel((5, 5))[3] == 0 and abs(red - 60000 / 257) < 1 and (green, blue, alpha) == (0, 0, 255)
        kept = written.getexif()
        assert kept.get(0x013B) == "Ada" and not {288, 289, 333, 50706} & set(kept)
