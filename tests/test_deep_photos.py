"""Photos at depth: deep files made here are opened with their pixels at depth beside the 8-bit
picture they always gave, carried through chains of moving and tone steps, and dropped with one
line by a step that works at 8 bits."""

import io
import json
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest
from PIL import Image, ImageFilter

import formats_support as fs
import rawdng
from framewick import FrameWick, quiet
from framewick.chain import Step
from framewick.cli import main
from framewick.photo import run_steps

_png = pytest.importorskip("framewick.formats._png", reason="built without libpng")
_tiff = pytest.importorskip("framewick.formats._tiff", reason="built without libtiff")

WIDTH, HEIGHT = 96, 40


def gradient(channels, width=WIDTH, height=HEIGHT):
    """Smooth 16-bit ramps, every channel different, with values no 8-bit picture holds."""
    x = np.linspace(0, 1, width)[None, :, None]
    y = np.linspace(0, 1, height)[:, None, None]
    c = np.arange(channels)[None, None, :]
    ramp = (x * (c + 1) + y * (3 - c)) / 4
    if channels in (2, 4):
        ramp[..., -1] = 0.6 + 0.4 * y[..., 0]
    return np.rint(ramp * 65535).astype(np.uint16)


def png(pixels):
    height, width, channels = pixels.shape
    return _png.write(pixels.tobytes(), width, height, channels, 16)


def tiff(pixels):
    height, width, channels = pixels.shape
    return _tiff.write(pixels.tobytes(), width, height, channels, 16)


def opened(data, **kwargs):
    return FrameWick.open(io.BytesIO(data), **kwargs)


def deep_of(obj):
    deep = obj.photo.deep_of(obj.image)
    assert deep is not None
    return deep


def close_to_8bit(obj, tolerance):
    """The deep picture's 8-bit view against the object's own picture (read from the file as its top 8
    bits, where the view rounds: half a level apart on average before any step)."""
    deep = deep_of(obj)
    view, image = np.asarray(deep.view8()).astype(int), np.asarray(obj.image).astype(int)
    assert deep.view8().mode == obj.image.mode and view.shape == image.shape
    assert np.abs(view - image).max() <= tolerance and np.abs(view - image).mean() < 1.0


@pytest.mark.parametrize("writer, channels, mode", [
    (png, 3, "RGB"), (png, 4, "RGBA"), (png, 2, "RGBA"), (tiff, 3, "RGB"), (tiff, 4, "RGBA"),
])
def test_sixteen_bit_files_open_at_depth_beside_todays_picture(writer, channels, mode):
    pixels = gradient(channels)
    data = writer(pixels)
    obj, eight = opened(data), opened(data, depth=8)
    assert eight.photo.deep is None
    assert obj.image.mode == eight.image.mode == mode and obj.image.tobytes() == eight.image.tobytes()
    deep = deep_of(obj)
    expected = pixels if channels != 2 else pixels[..., [0, 0, 0, 1]]  # grey+alpha reads as RGBA
    assert deep.bits == 16 and np.array_equal(deep.pixels, expected)


def test_a_sixteen_bit_transparent_colour_becomes_alpha():
    pixels = gradient(3)
    pixels[:10, :10] = (1000, 2000, 3000)
    data = png(pixels)
    body = struct.pack(">HHH", 1000, 2000, 3000)
    trns = struct.pack(">I", 6) + b"tRNS" + body + struct.pack(">I", zlib.crc32(b"tRNS" + body))
    at = data.index(b"IDAT") - 4
    obj = opened(data[:at] + trns + data[at:])
    assert obj.image.mode == "RGBA" and obj.image.getpixel((0, 0))[3] == 0 and obj.image.getpixel((20, 20))[3] == 255
    run_steps(obj, "invert | flip", lambda line: None)
    deep = deep_of(obj)
    assert deep.pixels[0, -1, 3] == 0 and deep.pixels[20, 20, 3] == 65535
    seen = deep.pixels[..., 3] > 0  # moved premultiplied, as Pillow resamples: no colour where nothing shows
    assert np.abs(deep.pixels[seen][:, :3].astype(int) - (65535 - pixels[:, ::-1])[seen]).max() <= 1


@pytest.mark.parametrize("depth", [None, 8])
def test_float_rgb_tiff_pillow_cannot_read_opens(depth):
    pixels = (gradient(3) / 65535).astype(np.float32)
    obj = opened(_tiff.write(pixels.tobytes(), WIDTH, HEIGHT, 3, "float", dpi=(300.0, 300.0)), depth=depth)
    assert obj.image.mode == "RGB" and obj.photo.format == "TIFF" and obj.photo.dpi == (300.0, 300.0)
    if depth == 8:
        assert obj.photo.deep is None
    else:
        assert deep_of(obj).bits == 32 and np.array_equal(deep_of(obj).pixels, pixels)


@pytest.mark.parametrize("orientation", [1, 6, 3])
def test_avif_at_depth_turns_as_its_picture(orientation):
    _avif = pytest.importorskip("framewick.formats._avif", reason="built without libavif")
    pixels = gradient(3)
    data = _avif.write(pixels.tobytes(), WIDTH, HEIGHT, 3, 16, depth=10, quality=100, orientation=orientation)
    obj = opened(data)
    deep = deep_of(obj)
    assert deep.bits == 10 and obj.image.size == deep.size == ((HEIGHT, WIDTH) if orientation == 6 else (WIDTH, HEIGHT))
    upright = np.rot90(pixels, -1) if orientation == 6 else pixels[::-1, ::-1] if orientation == 3 else pixels
    assert np.abs(deep.pixels.astype(int) - upright).max() <= 33  # 10 bits, lossless, as the codec rounds
    close_to_8bit(obj, 2)


@pytest.mark.skipif(fs.HEIF_ENC is None, reason="libheif-examples are not installed")
def test_ten_bit_heic_opens_at_depth(tmp_path):
    pixels = gradient(3)
    (tmp_path / "src.png").write_bytes(png(pixels))
    fs.heif_enc("-b", 10, "-q", 95, "-o", tmp_path / "deep.heic", tmp_path / "src.png")
    obj = FrameWick.open(tmp_path / "deep.heic")
    assert deep_of(obj).bits == 10 and len(np.unique(deep_of(obj).pixels[..., 0])) > 256
    close_to_8bit(obj, 3)


def test_raw_developed_at_sixteen_bits_keeps_todays_picture(tmp_path):
    rawdng.write_dng(tmp_path / "shot.dng")
    obj, eight = FrameWick.open(tmp_path / "shot.dng"), FrameWick.open(tmp_path / "shot.dng", depth=8)
    assert obj.image.tobytes() == eight.image.tobytes() and eight.photo.deep is None
    deep = deep_of(obj)
    assert deep.bands == "RGB" and np.array_equal((deep.pixels >> 8).astype(np.uint8), np.asarray(obj.image))


@pytest.mark.parametrize("ext", [".ppm", ".png", ".tif"])
@pytest.mark.parametrize("orientation, raw", [(1, None), (6, None), (3, "half")])
def test_raw_whose_output_is_not_known_yet_is_read_at_depth_when_first_used(tmp_path, ext, orientation, raw):
    """Opened without a known output, a RAW file's 16-bit picture is read out of LibRaw only
    when something uses it, and it is the picture developed at 16 bits at once; every file
    written from it is the same."""
    src = rawdng.write_dng(tmp_path / "shot.dng", orientation=orientation)
    later, now = FrameWick.open(src, raw=raw), FrameWick.open(src, raw=raw, depth=16)
    twin = later.photo.deep.paired(later.image)  # a copy made before the reading shares it
    later.write(tmp_path / f"later{ext}")
    now.write(tmp_path / f"now{ext}")
    assert (tmp_path / f"later{ext}").read_bytes() == (tmp_path / f"now{ext}").read_bytes()
    assert np.array_equal(deep_of(later).pixels, deep_of(now).pixels) and twin.pixels is deep_of(later).pixels


@pytest.mark.parametrize("ext, steps", [(".tif", []), (".png", []), (".tif", ["--steps", "flip"])])
def test_edit_at_16_bits_writes_what_the_api_writes(tmp_path, ext, steps):
    """The command line, which develops at 16 bits at once, and the API, which reads the 16 bits
    out when it writes them, give the same file."""
    src = rawdng.write_dng(tmp_path / "shot.dng")
    assert main(["-q", "edit", str(src), "-o", str(tmp_path / f"cli{ext}"), "--depth", "16", *steps]) == 0
    obj = FrameWick.open(src)
    if steps:
        run_steps(obj, steps[1], lambda line: None)
    obj.write(tmp_path / f"api{ext}")
    assert (tmp_path / f"cli{ext}").read_bytes() == (tmp_path / f"api{ext}").read_bytes()


@pytest.mark.parametrize("options", [[], ["--strip"], ["--drop", "icc"], ["--keep", "camera"]])
def test_unchanged_raw_to_tiff_is_the_file_numpy_writes(tmp_path, options):
    """A DNG written to a 16-bit TIFF as developed (its samples handed to the writer as they
    are) is the file of the same pixels through the steps' way (flipped there and back)."""
    src = rawdng.write_dng(tmp_path / "shot.dng")
    for name, steps in (("as_developed", []), ("through_steps", ["--steps", "flip | flip"])):
        assert main(["-q", "edit", str(src), "-o", str(tmp_path / f"{name}.tif"), "--depth", "16", *steps, *options]) == 0
    assert (tmp_path / "as_developed.tif").read_bytes() == (tmp_path / "through_steps.tif").read_bytes()


@pytest.mark.parametrize("ext, numpy_used", [(".tif", False), (".png", True)])
def test_unchanged_raw_to_tiff_needs_no_numpy(tmp_path, ext, numpy_used):
    src = rawdng.write_dng(tmp_path / "shot.dng")
    code = ("import sys; from framewick.cli import main; "
            f"main(['-q', 'edit', {str(src)!r}, '-o', {str(tmp_path / ('out' + ext))!r}, '--depth', '16']); "
            "print('numpy' in sys.modules)")
    found = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert found.stdout.split() == [str(numpy_used)]
    assert (tmp_path / f"out{ext}").stat().st_size > 0


@pytest.mark.parametrize("orientation", [1, 6])
@pytest.mark.parametrize("written_as", ["TIFF", "PNG"])
def test_raw_opened_for_writing_at_depth_gives_libraws_8_bit_picture_when_read(tmp_path, orientation, written_as):
    """A RAW opened to be written unchanged at depth is developed at 16 bits alone; its 8-bit
    picture, asked for afterwards, is the one an 8-bit development gives, beside the same deep
    picture."""
    from framewick.photo import open_photo

    src = rawdng.write_dng(tmp_path / "shot.dng", orientation=orientation)
    deep = open_photo(src, depth=16, written_as=written_as)
    both = open_photo(src, depth=16, written_as="JPEG")  # today's development: 8-bit rows filled as they come
    eight = open_photo(src)
    assert deep.image.size == eight.image.size
    assert np.array_equal(deep.photo.deep_of(deep.image).pixels, both.photo.deep_of(both.image).pixels)
    assert deep.image.tobytes() == eight.image.tobytes() == both.image.tobytes()


def smooth_dng(tmp_path):
    """A DNG of a smooth picture: its 16-bit development lies between 8-bit levels nearly everywhere."""
    picture = rawdng.known_picture().resize((90, 60), Image.Resampling.BICUBIC).filter(ImageFilter.GaussianBlur(6))
    return rawdng.write_dng(tmp_path / "smooth.dng", picture)


@pytest.mark.parametrize("ext", [".ppm", ".bmp", ".jpg", ".webp"])
def test_raw_written_at_8_bits_is_libraws_8_bit_development(tmp_path, ext):
    """An unedited RAW file written to an 8-bit format is LibRaw's 8-bit development of it (the
    file depth=8 writes), not a dither of its 16-bit picture."""
    src = smooth_dng(tmp_path)
    deep, eight = tmp_path / f"deep{ext}", tmp_path / f"eight{ext}"
    obj = FrameWick.open(src)
    assert deep_of(obj) is not None
    obj.write(str(deep))
    FrameWick.open(src, depth=8).write(str(eight))
    assert deep.read_bytes() == eight.read_bytes()


@pytest.mark.parametrize("ext", [".ppm", ".jpg"])
def test_edit_writes_an_unchanged_raw_as_libraws_8_bit_development(tmp_path, ext):
    src = smooth_dng(tmp_path)
    outs = [tmp_path / f"plain{ext}", tmp_path / f"eight{ext}"]
    assert main(["-q", "edit", str(src), "-o", str(outs[0])]) == 0
    assert main(["-q", "edit", str(src), "-o", str(outs[1]), "--depth", "8"]) == 0
    FrameWick.open(src, depth=8).write(str(tmp_path / f"api{ext}"))
    assert outs[0].read_bytes() == outs[1].read_bytes() == (tmp_path / f"api{ext}").read_bytes()


@pytest.mark.parametrize("chain", ["flip", "levels:10,245,1.1"])
def test_an_edited_raw_is_dithered_from_its_deep_picture(tmp_path, chain):
    from framewick.photo.deepwriting import dither

    obj = FrameWick.open(smooth_dng(tmp_path))
    run_steps(obj, chain, lambda line: None)
    obj.write(str(tmp_path / "out.ppm"))
    with Image.open(tmp_path / "out.ppm") as written:
        assert np.array_equal(np.asarray(written), dither(deep_of(obj).pixels))


@pytest.mark.parametrize("channels, floating", [(3, False), (4, False), (2, False), (4, True)])
@pytest.mark.parametrize("chain, moved", [
    ("flip", lambda p: p[:, ::-1]), ("flip:vertical | crop:4,2,80,38", lambda p: p[::-1][2:38, 4:80]),
    ("crop_to:50x30,gravity=east", lambda p: p[5:35, 46:96]),
])
def test_cuts_and_mirrors_copy_the_deep_samples_alpha_and_all(chain, moved, channels, floating):
    pixels = gradient(channels)
    if channels in (2, 4):
        pixels[:, :30, -1] = np.arange(30, dtype=np.uint16)  # nearly and wholly transparent: colour kept all the same
    if floating:
        pixels = pixels.astype(np.float32) / 65535
    obj = opened(_tiff.write(pixels.tobytes(), WIDTH, HEIGHT, channels, "float" if floating else 16))
    run_steps(obj, chain, lambda line: None)
    assert np.array_equal(deep_of(obj).pixels, moved(pixels))


@pytest.mark.parametrize("chain, box", [("crop:-4,-2,80,38", (-4, -2, 80, 38)), ("crop:90,30,100,44", (90, 30, 100, 44))])
def test_a_cut_past_the_edges_is_filled_as_the_step_fills_it(chain, box):
    pixels = gradient(3)
    obj = opened(png(pixels))
    run_steps(obj, chain, lambda line: None)
    left, top, right, bottom = box
    expected = np.zeros((bottom - top, right - left, 3), np.uint16)  # black where the box leaves the picture
    inside = pixels[max(top, 0):min(bottom, HEIGHT), max(left, 0):min(right, WIDTH)]
    expected[max(-top, 0):max(-top, 0) + inside.shape[0], max(-left, 0):max(-left, 0) + inside.shape[1]] = inside
    assert np.array_equal(deep_of(obj).pixels, expected)


@pytest.mark.parametrize("chain", ["size:50%", "thumbnail:20,20", "fit:40,30"])
def test_without_the_resampling_module_the_bands_give_the_same_picture(monkeypatch, chain):
    import sys

    import framewick.formats
    from framewick.photo import carry

    pixels = np.random.default_rng(7).integers(0, 65536, (HEIGHT, WIDTH, 4), dtype=np.uint16)
    band, moved, results = carry._moved_band, [], []
    monkeypatch.setattr(carry, "_moved_band", lambda *a: moved.append(1) or band(*a))
    for hidden in (False, True):
        if hidden:  # as if not built
            monkeypatch.setitem(sys.modules, "framewick.formats._resample", None)
            monkeypatch.delattr(framewick.formats, "_resample", raising=False)
        obj = opened(png(pixels))
        run_steps(obj, chain, lambda line: None)
        results.append(deep_of(obj).pixels)
        assert bool(moved) is hidden
    assert np.array_equal(results[0], results[1])


def test_moving_steps_move_the_deep_pixels_exactly():
    pixels = gradient(3)
    obj = opened(png(pixels))
    run_steps(obj, "flip | crop:4,2,80,38 | rotate:90 | border:3,color=red", lambda line: None)
    moved = np.rot90(pixels[:, ::-1][2:38, 4:80], 1)
    expected = np.pad(moved, ((3, 3), (3, 3), (0, 0)))
    expected[:3, :, 0] = expected[-3:, :, 0] = expected[:, :3, 0] = expected[:, -3:, 0] = 65535
    assert np.array_equal(deep_of(obj).pixels, expected)
    close_to_8bit(obj, 1)


@pytest.mark.parametrize("chain, tolerance", [
    # The 8-bit path resamples RGBA premultiplied at 8 bits, a few levels off where alpha is low.
    ("size:50% | turn:7,white | corners:6", 4),
    ("thumbnail:40,40 | fit:30,30", 6),
    ("size:120x60,background=blue", 4),
    ("preset:warm,strength=0.5", 2),
])
def test_chains_keep_the_deep_picture_in_step_with_the_8_bit_one(chain, tolerance):
    obj = opened(png(gradient(4)))
    run_steps(obj, chain, lambda line: None)
    close_to_8bit(obj, tolerance)


@pytest.mark.parametrize("writer, mode", [(png, "RGBA"), (tiff, "LA")])
def test_rounded_corners_cut_a_grey_and_alpha_picture_and_keep_it_deep(writer, mode):
    obj = opened(writer(gradient(2)))
    run_steps(obj, "corners:6", lambda line: None)
    assert obj.image.mode == mode and deep_of(obj).pixels[0, 0, -1] == 0
    close_to_8bit(obj, 1)  # the 8-bit picture's corners are cut as the deep one's


def test_tone_steps_keep_thousands_of_levels():
    ramp = np.arange(65536, dtype=np.uint16).reshape(16, 4096)  # every 16-bit value once
    obj = opened(png(np.repeat(ramp[..., None], 3, axis=2)))
    run_steps(obj, "levels:20,235,1.2 | ev:0.5 | invert", lambda line: None)
    assert len(np.unique(deep_of(obj).pixels[..., 0])) >= 4000
    assert len(np.unique(np.asarray(obj.image)[..., 0])) <= 256
    close_to_8bit(obj, 4)  # each step at 8 bits rounds what the one before rounded


@pytest.mark.parametrize("quieted", [False, True])
def test_a_step_at_8_bits_drops_the_deep_picture_with_one_line(capsys, quieted):
    obj = opened(png(gradient(3)))
    if quieted:
        with quiet():
            run_steps(obj, "flip | text:hi,(1,1) | flip", lambda line: None)
    else:
        run_steps(obj, "flip | text:hi,(1,1) | flip", lambda line: None)
    assert obj.photo.deep is None
    err = capsys.readouterr().err
    assert err == ("" if quieted else "framewick: <stream>: text:hi,(1,1) works at 8 bits, so the picture is 8-bit "
                   "from here\n")


def test_a_failing_step_leaves_the_deep_picture_paired():
    obj = opened(png(gradient(3)))
    run_steps(obj, "flip", lambda line: None)
    flipped = obj.photo.deep
    with pytest.raises(ValueError):
        run_steps(obj, [Step("resize", (0, 10))], lambda line: None)
    assert obj.photo.deep_of(obj.image) is flipped


@pytest.mark.parametrize("call", [lambda obj: obj.flip(), lambda obj: setattr(obj, "image", obj.image.copy())])
def test_a_picture_changed_outside_a_chain_loses_its_deep_picture(call):
    obj = opened(png(gradient(3)))
    call(obj)
    assert obj.photo.deep_of(obj.image) is None


def test_the_command_line_says_the_drop_unless_quiet(tmp_path, capsys):
    (tmp_path / "in.png").write_bytes(png(gradient(3)))
    for flags, said in (([], True), (["-q"], False)):
        code = main(["edit", str(tmp_path / "in.png"), "-o", str(tmp_path / "out.png"), "--overwrite",
                     "--steps", "size:50% | text:hi,(1,1)", *flags])
        assert code == 0
        assert ("text:hi,(1,1) works at 8 bits" in capsys.readouterr().err) is said


@pytest.mark.parametrize("name, keeps", [("size", True), ("rotate_fill", True), ("round_corners", True),
                                          ("levels", True), ("preset", True), ("add_text", False),
                                          ("convert_mode", False)])
def test_steps_json_says_which_steps_keep_depth(capsys, name, keeps):
    assert main(["steps", "--json"]) == 0
    steps = {s["name"]: s for s in json.loads(capsys.readouterr().out)["steps"]}
    assert steps[name]["keeps_depth"] is keeps


@pytest.mark.parametrize("chain", ["size:50%", "rotate:30,expand=true", "crop:4,2,80,38 | flip", "fit:40,30"])
@pytest.mark.parametrize("channels", [3, 4])
def test_bands_moved_in_threads_match_bands_moved_in_turn(monkeypatch, capsys, chain, channels):
    import threading

    from framewick.photo import carry

    band, where, results = carry._moved_band, set(), []
    monkeypatch.setattr(carry, "idle_cores", lambda: 2)
    monkeypatch.setattr(carry, "resampled_at_depth", lambda *a: None)  # the bands move through the step
    monkeypatch.setattr(carry, "copied_at_depth", lambda *a: None)
    monkeypatch.setattr(carry, "_moved_band", lambda *a: where.add(threading.current_thread().name) or band(*a))
    for threads, smallest in ((1, 1 << 20), (2, 0)):
        monkeypatch.setattr(carry, "BAND_THREADS", threads)
        monkeypatch.setattr(carry, "THREADED_PIXELS", smallest)
        obj, lines = opened(png(gradient(channels))), []
        kept = deep_of(obj)  # held by the caller as well: left as it was
        run_steps(obj, chain, lines.append)
        assert np.array_equal(kept.pixels, gradient(channels))
        results.append((deep_of(obj).pixels, lines))
    assert "MainThread" in where and len(where) > 1  # in turn, then in threads
    assert np.array_equal(results[0][0], results[1][0])
    assert results[0][1] == results[1][1]  # the bands' own lines are heard by no one
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("chain", ["size:50%", "size:37%", "size:250x", "size:300%", "resize:70,33", "fit:40,30",
                                   "fit:96,21", "size:96x13!", "size:50x40!", "thumbnail:40,40", "thumbnail:20,20",
                                   "thumbnail:7,50", "size:60x30,cover=true", "size:30x36,cover=true,gravity=top"])
@pytest.mark.parametrize("channels, threads, floating", [(3, 1, False), (3, 3, False), (4, 2, False), (2, 1, False),
                                                      (3, 2, True), (4, 1, True)])
def test_resampled_at_depth_is_what_the_step_gives_each_band(monkeypatch, chain, channels, threads, floating):
    from framewick.photo import carry

    pixels = np.random.default_rng(len(chain)).integers(0, 65536, (HEIGHT, WIDTH, channels), dtype=np.uint16)
    if channels in (2, 4):
        pixels[:, :8, -1] = 0  # transparent: colour from the 8-bit picture
    if floating:
        pixels = pixels.astype(np.float32) / 50000  # past 1.0 too: floats are not clipped
    pixels[:, WIDTH // 3:WIDTH // 2] = 65535  # edges where Lanczos overshoots: clipped, not wrapped
    monkeypatch.setattr(carry, "idle_cores", lambda: threads)
    monkeypatch.setattr(carry, "THREADED_PIXELS", 0)
    native, used = carry.resampled_at_depth, []
    results = []
    for spy in (lambda *a: used.append(native(*a)) or used[-1], lambda *a: None):
        monkeypatch.setattr(carry, "resampled_at_depth", spy)
        obj = opened(_tiff.write(pixels.tobytes(), WIDTH, HEIGHT, channels, "float") if floating else png(pixels))
        run_steps(obj, chain, lambda line: None)
        results.append(deep_of(obj).pixels)
    reduced = chain in ("thumbnail:20,20", "thumbnail:7,50")  # a float picture's reduction goes through its bands
    assert used and (used[0] is not None) is not (floating and reduced)
    assert np.array_equal(results[0], results[1])


_resample = pytest.importorskip("framewick.formats._resample", reason="built without the resampling module")


@pytest.mark.parametrize("name, number", [("LANCZOS", 1), ("BILINEAR", 2), ("BICUBIC", 3), ("BOX", 4), ("HAMMING", 5)])
@pytest.mark.parametrize("size, box", [((31, 17), (0, 0, 57, 23)), ((120, 9), (0, 0, 57, 23)),
                                       ((40, 40), (3.25, 1.5, 50.75, 22)), ((57, 11), (0, 0, 57, 23)),
                                       ((1, 1), (0, 0, 57, 23)), ((5, 300), (0, 0, 57, 23))])
def test_resampling_module_gives_pillows_16_bit_resize(name, number, size, box):
    pixels = np.random.default_rng(number).integers(0, 65536, (23, 57, 3), dtype=np.uint16)
    out = np.empty((size[1], size[0], 3), np.uint16)
    _resample.resample(pixels, 57, 23, 3, out, *size, box, number, threads=2)
    for c in range(3):
        band = Image.fromarray(np.ascontiguousarray(pixels[:, :, c]))
        expected = band.resize(size, getattr(Image.Resampling, name), box=box)
        assert np.array_equal(out[:, :, c], np.asarray(expected)), c


@pytest.mark.parametrize("change, words", [
    ({"out": np.empty((5, 5, 3), np.uint16)}, "bytes to fill"),
    ({"pixels": np.zeros((23, 57, 2), np.uint16)}, "bytes of pixels"),
    ({"out": np.empty((6, 5, 3), np.uint16)[:, ::2]}, "contiguous"),
    ({"box": (0, 0, 58, 23)}, "box must be between"),
    ({"box": (9, 0, 9, 23)}, "box must have a width"),
    ({"filter": 0}, "filter must be between"),
    ({"premultiply": True}, "premultiply takes 2 or 4 channels"),
])
def test_resampling_module_refuses_what_does_not_fit(change, words):
    call = {"pixels": np.zeros((23, 57, 3), np.uint16), "out": np.empty((6, 5, 3), np.uint16), "box": (0, 0, 57, 23),
            "filter": 1, "premultiply": False}
    call.update(change)
    with pytest.raises((ValueError, BufferError), match=words):
        _resample.resample(call["pixels"], 57, 23, 3, call["out"], 5, 6, call["box"], call["filter"], threads=2,
                           premultiply=call["premultiply"])


@pytest.mark.parametrize("out, words", [(np.empty((6, 14, 3), np.float32), "bytes to fill"),
                                        (np.empty((6, 15, 3), np.float32)[::-1], "contiguous")])
def test_reduction_refuses_a_buffer_that_does_not_fit(out, words):
    with pytest.raises((ValueError, BufferError), match=words):
        _resample.reduce(np.zeros((23, 57, 3), np.uint16), 57, 23, 3, out, 4, 4)


@pytest.mark.parametrize("chain, named", [
    ("Text:hi,(1,1)", "Text:hi,(1,1)"),  # an alias, in the case it was typed
    ("add_text:hi,(1,1)", "add_text:hi,(1,1)"),
    ("caption:hi", "caption:hi"),
    ("mode:P", "mode:P"),
    ('[{"method": "text", "args": ["hi", [1, 1]]}]', "text:hi,(1,1)"),
])
def test_the_drop_names_the_step_as_it_was_written(capsys, chain, named):
    from framewick.chain import Chain

    obj = opened(png(gradient(3)))
    run_steps(obj, Chain.from_json(chain) if chain.startswith("[") else chain, lambda line: None)
    assert obj.photo.deep is None
    assert capsys.readouterr().err == f"framewick: <stream>: {named} works at 8 bits, so the picture is 8-bit from here\n"


@pytest.mark.parametrize("chain", ["rotate:90", "rotate:30", "size:50%", "border:3", "thumbnail:40,40"])
@pytest.mark.parametrize("writer, channels", [(png, 4), (tiff, 2)])
def test_transparent_pixels_keep_the_colour_the_8_bit_picture_keeps(chain, writer, channels):
    pixels = gradient(channels)
    pixels[:, : WIDTH // 2, -1] = 0  # the left half transparent, its colour still there
    obj = opened(writer(pixels))
    run_steps(obj, chain, lambda line: None)
    deep = deep_of(obj)
    clear = deep.pixels[..., -1] == 0
    assert clear.any()
    view, image = np.asarray(deep.view8()), np.asarray(obj.image)
    assert np.array_equal(view[clear], image[clear])
