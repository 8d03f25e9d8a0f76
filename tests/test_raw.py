"""Camera RAW files: DNGs made by tests/rawdng.py from a known picture, developed by LibRaw
through framewick.formats (the native reader, the Pillow plugin, the photo layer and the
command line).

Tolerances: a patch's middle (4 pixels in from its edges, away from the demosaicing's seams)
must come back within 3 levels of 255 per channel at full size and 5 at half size; a JPEG
preview within 8 (JPEG quality 90); a grey patch stays grey within 1 level between channels
(3 for the JPEG preview).
"""

import json
import os
import subprocess
import sys
import sysconfig
import tempfile

import pytest
from PIL import Image, ImageOps

sys.path.insert(0, os.path.dirname(__file__))

import rawdng  # noqa: E402
from framewick import FrameWick, formats  # noqa: E402
from framewick.cli import main as cli_main  # noqa: E402
from framewick.formats import raw as raw_plugin  # noqa: E402
from framewick.photo import PhotoError, describe  # noqa: E402

_raw = pytest.importorskip("framewick.formats._raw")
formats.register()  # Pillow alone then takes a DNG as RAW, as the plugin tests below open it
SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
# Undoing the turn that made a picture upright (to compare it with the stored layout).
UNDO = {2: Image.Transpose.FLIP_LEFT_RIGHT, 3: Image.Transpose.ROTATE_180, 4: Image.Transpose.FLIP_TOP_BOTTOM,
        5: Image.Transpose.TRANSPOSE, 6: Image.Transpose.ROTATE_90, 7: Image.Transpose.TRANSVERSE,
        8: Image.Transpose.ROTATE_270}


def assert_known(im, tolerance, margin=4, grey=1):
    """The developed picture's patches are the known picture's, and its greys are grey."""
    for row, col, got in rawdng.patch_centres(im, margin):
        want = rawdng.COLOURS[row][col]
        assert max(abs(g - w) for g, w in zip(got, want)) <= tolerance, (row, col, got, want)
        if want[0] == want[1] == want[2]:
            assert max(got) - min(got) <= grey, (row, col, got)


@pytest.fixture
def dng(tmp_path):
    def make(name="shot.dng", **kwargs):
        return rawdng.write_dng(tmp_path / name, **kwargs)
    return make


@pytest.mark.parametrize("bits", [12, 14])
@pytest.mark.parametrize("pattern", sorted(rawdng.PATTERNS))
def test_develops_the_known_picture(dng, pattern, bits):
    obj = FrameWick.open(dng(pattern=pattern, bits=bits))
    assert (obj.image.mode, obj.image.size, obj.photo.format) == ("RGB", (64, 48), "RAW")
    assert_known(obj.image, 3)


@pytest.mark.parametrize("orientation", range(1, 9))
def test_turned_upright_once(dng, orientation):
    obj = FrameWick.open(dng(orientation=orientation))
    swapped = orientation >= 5
    assert obj.image.size == ((48, 64) if swapped else (64, 48))
    assert obj.photo.orientation == 1  # LibRaw turned it: the EXIF written has no turn left
    stored = obj.image.transpose(UNDO[orientation]) if orientation != 1 else obj.image
    assert_known(stored, 3)
    kept = FrameWick.open(dng(name="kept.dng", orientation=orientation), orient=False)
    assert_known(kept.image, 3)


def test_half_size_and_shrink_on_load(dng):
    path = dng(orientation=6)
    half = FrameWick.open(path, raw="half")
    assert half.image.size == (24, 32)
    assert_known(half.image.transpose(UNDO[6]), 5, margin=2)
    # A chain whose first size-changing step shrinks 2x or more develops at half size.
    small = FrameWick.open(path, steps="resize:12,16")
    assert (small.image.size, small.photo.draft_scale) == ((24, 32), 2)
    assert FrameWick.open(path, steps="resize:12,16", exact=True).image.size == (48, 64)
    assert FrameWick.open(path, steps="resize:40,60").image.size == (48, 64)  # less than 2x


def test_preview_instead_of_developing(dng):
    known = rawdng.known_picture()
    path = dng(orientation=8, preview=known.resize((32, 24), Image.Resampling.BOX))
    # Without asking, the raw data is developed: never the preview Pillow's TIFF reader would give.
    with Image.open(path) as im:
        assert (im.format, im.size) == ("RAW", (48, 64))
    obj = FrameWick.open(path, raw="preview")
    assert obj.image.size == (24, 32)
    assert_known(obj.image.transpose(UNDO[8]), 8, margin=2, grey=3)
    with pytest.raises(PhotoError, match="no preview"):
        FrameWick.open(dng(name="bare.dng"), raw="preview")


def stand_in_preview(layout):
    """An embedded preview of a 128x96 picture (the known one, doubled), inverted so that a
    result shows which was used: at half its size, smaller than the target, squeezed to another
    shape, stored the other way up, or fitted into a box of its shape with black bars (as wide
    as a JPEG block, so its coding leaves them flat)."""
    inverted = ImageOps.invert(rawdng.known_picture())
    if layout == "letterboxed":
        boxed = Image.new("RGB", (64, 48))
        boxed.paste(inverted.resize((64, 32), Image.Resampling.BOX), (0, 8))
        return boxed
    return inverted.resize({"same": (64, 48), "smaller": (20, 15), "other shape": (64, 40),
                            "other way up": (48, 64)}[layout], Image.Resampling.BOX)


def doubled_with_preview(dng, layout):
    picture = rawdng.known_picture().resize((128, 96), Image.Resampling.NEAREST)
    return dng(picture=picture, preview=stand_in_preview(layout))


@pytest.mark.parametrize("layout, output, exact, used", [
    ("same", ".bmp", False, True), ("same", ".bmp", True, False), ("smaller", ".bmp", False, False),
    ("other shape", ".bmp", False, False), ("other way up", ".bmp", False, False),
    ("letterboxed", ".bmp", False, False), ("same", ".png", False, False), ("same", "API", False, False)])
def test_a_small_target_comes_from_the_preview_only_when_it_is_the_same_picture(dng, tmp_path, layout, output, exact,
                                                                                used):
    """edit --steps size:24x (24x18) to an 8-bit file: the preview stands in for the developed
    picture only when it shows the same picture at least that large, and never with --exact, for
    a file that keeps depth (PNG), or through the API, where the output is not known yet."""
    src, out = doubled_with_preview(dng, layout), tmp_path / "out.bmp"
    if output == "API":
        FrameWick.open(src, steps="size:24x").run_chain("size:24x").write(str(out))
    else:
        out = tmp_path / f"out{output}"
        assert cli_main(["-q", "edit", str(src), "-o", str(out), "--steps", "size:24x",
                         *(["--exact"] if exact else [])]) == 0
    with Image.open(out) as im:
        white_patch = im.convert("RGB").getpixel((3, 3))
        assert im.size == (24, 18) and ((max(white_patch) < 60) if used else (min(white_patch) > 200)), white_patch


def test_auto_white_balance(tmp_path):
    # A file whose as-shot neutral is wrong: the camera's balance leaves a cast on grey, the
    # automatic one (grey world, on a picture of greys) takes it away.
    greys = Image.new("RGB", (64, 48), (128, 128, 128))
    greys.paste((255, 255, 255), (0, 0, 16, 16))
    greys.paste((60, 60, 60), (32, 16, 64, 48))
    path = rawdng.write_dng(tmp_path / "cast.dng", greys, neutral=(0.5, 1.0, 1.0))
    with open(path, "r+b") as f:  # as-shot neutral rewritten to grey: the camera "saw" no cast
        data = f.read()
        f.seek(data.index((5000).to_bytes(4, "little") + (10000).to_bytes(4, "little")))
        f.write((10000).to_bytes(4, "little"))
    centre = (8, 32)
    cast = FrameWick.open(path).image.getpixel(centre)
    balanced = FrameWick.open(path, raw="auto-wb").image.getpixel(centre)
    assert max(cast) - min(cast) > 20
    assert max(balanced) - min(balanced) <= 3


@pytest.mark.parametrize("value, error", [("half,preview", "exclude"), ("bogus", "unknown RAW option")])
def test_options_refused(dng, value, error):
    with pytest.raises(ValueError, match=error):
        FrameWick.open(dng(), raw=value)


SHOT_TAGS = {"Make": "Framewick", "Model": "Test Body 1", "ISOSpeedRatings": 400, "ExposureTime": 0.004,
             "FNumber": 2.8, "FocalLength": 50.0, "LensModel": "Test Lens 50mm F1.8",
             "DateTimeOriginal": "2024:05:06 07:08:09", "GPSLatitudeRef": "N", "GPSLatitude": [48.0, 51.0, 30.0],
             "GPSLongitudeRef": "E", "GPSLongitude": [2.0, 17.0, 40.0], "GPSAltitude": 35.0}


@pytest.mark.parametrize("ext", [".jpg", ".png", ".tif", ".webp", ".avif"])
def test_metadata_shown_and_written(dng, tmp_path, ext):
    obj = FrameWick.open(dng())
    shown = describe(obj)
    assert shown["metadata"].items() >= SHOT_TAGS.items()
    assert shown["icc"] == "sRGB built-in"
    out = tmp_path / f"out{ext}"
    obj.write(out)
    with Image.open(out) as written:
        exif = written.getexif()
        shot, gps = exif.get_ifd(0x8769), exif.get_ifd(0x8825)
        assert (exif[0x010F], exif[0x0110], exif.get(0x0112, 1)) == ("Framewick", "Test Body 1", 1)
        assert (shot[0x8827], float(shot[0x829A]), float(shot[0x829D]), float(shot[0x920A])) == (400, 0.004, 2.8, 50)
        assert (shot[0xA434], shot[0x9003]) == ("Test Lens 50mm F1.8", "2024:05:06 07:08:09")
        assert (gps[1], [float(v) for v in gps[2]], gps[3], float(gps[6])) == ("N", [48, 51, 30], "E", 35)
        assert written.info["icc_profile"] == obj.photo.icc


@pytest.mark.parametrize("mode, make", [("RGB", None), ("I;16", None), ("I;16", "Framewick"), ("RGB", "Nikon")])
def test_plain_tiff_stays_pillows(tmp_path, mode, make):
    formats.register()
    im = Image.new(mode, (40, 30), 300 if mode == "I;16" else (10, 20, 30))
    exif = Image.Exif()
    if make:
        exif[0x010F] = make
    path = tmp_path / "plain.tif"
    im.save(path, exif=exif)
    with Image.open(path) as back:
        assert (back.format, back.size, back.mode) == ("TIFF", (40, 30), mode)


def test_limit_applies_before_development(dng, monkeypatch):
    path = dng()
    developed = []
    monkeypatch.setattr(raw_plugin.RawImageFile, "_develop", lambda self, raw: developed.append(1))
    with pytest.raises(PhotoError, match="too large: 64x48 is 3072 pixels"):
        FrameWick.open(path, max_pixels=3000)
    assert developed == []


def damaged(data):
    """(label, bytes): cut short in the header, the tags and the picture data; bits flipped."""
    n = len(data)
    cuts = [(f"cut at {k}", data[:k]) for k in (8, 100, 400, n // 2, n - 100)]
    flips = []
    for at in (4, 10, 30, 60, 150, 250, n // 3, n - 40):
        flipped = bytearray(data)
        flipped[at] ^= 0x5A
        flips.append((f"flipped at {at}", bytes(flipped)))
    return cuts + flips


def source_bytes():
    with tempfile.TemporaryDirectory() as d, open(rawdng.write_dng(os.path.join(d, "shot.dng")), "rb") as f:
        return f.read()


@pytest.mark.parametrize("label, blob", damaged(source_bytes()), ids=lambda v: v if isinstance(v, str) else "")
@pytest.mark.filterwarnings("ignore::UserWarning")  # Pillow's TIFF reader warns on a broken header
def test_damaged_file_is_one_line_naming_it(tmp_path, label, blob):
    """A DNG damaged in its TIFF header is Pillow's TIFF reader's to refuse; damaged further on,
    LibRaw's; a flip the file survives may change what is developed, not crash."""
    path = tmp_path / "broken.dng"
    path.write_bytes(blob)
    try:
        obj = FrameWick.open(path)
    except PhotoError as error:
        text = str(error)
        assert str(path) in text and "\n" not in text and text.startswith("❌ Error: ")
    else:  # a flip the file survives still gives a whole picture
        assert obj.image.mode == "RGB" and label.startswith("flipped")
    if label.startswith("cut at") and not label.endswith(" 8"):
        with pytest.raises(PhotoError):
            FrameWick.open(path)


def test_native_reader(dng):
    path = dng()
    with open(path, "rb") as f:
        from_bytes = _raw.Raw(f.read())
    assert from_bytes.info()["make"] == "Framewick"
    kind, width, height, colours, bits, pixels = from_bytes.develop(bits=16)
    assert (kind, width, height, colours, bits, len(memoryview(pixels))) == ("bitmap", 64, 48, 3, 16, 64 * 48 * 6)
    with pytest.raises(ValueError, match="closed"):
        from_bytes.develop()  # developing frees LibRaw's memory at once
    with pytest.raises(_raw.RawError) as caught:
        _raw.Raw(b"\x00" * 1000)
    assert caught.value.code == _raw.FILE_UNSUPPORTED and isinstance(caught.value, OSError)


@pytest.mark.parametrize("orientation", [1, 2, 3, 6, 8])
def test_sixteen_bits_read_out_alone_in_two_threads_are_libraws_own(dng, orientation):
    path = dng(picture=rawdng.known_picture().resize((300, 560)), orientation=orientation)  # rows for two threads
    alone = _raw.Raw(str(path)).develop(bits=16, alone=True)
    own = _raw.Raw(str(path)).develop(bits=16)  # LibRaw's own output picture
    assert alone[:5] == own[:5] and bytes(alone[5]) == bytes(own[5])


@pytest.mark.parametrize("call, error, words", [
    (lambda raw: raw.info(1), TypeError, r"info\(\) takes exactly 0 arguments \(1 given\)"),
    (lambda raw: raw.develop(True), TypeError, r"develop\(\) takes exactly 0 arguments"),
    (lambda raw: raw.develop(colour=True), TypeError, "unexpected keyword argument 'colour'"),
    (lambda raw: raw.develop(bits=12), ValueError, "bits must be 8 or 16, not 12"),
    (lambda raw: raw.develop(bits="8"), TypeError, "integer"),
    (lambda raw: raw.develop(alone=True), ValueError, "alone takes 16 bits"),
])
def test_a_wrong_call_is_refused_and_leaves_the_file_open(dng, call, error, words):
    raw = _raw.Raw(str(dng()))
    with pytest.raises(error, match=words):
        call(raw)
    assert raw.develop(half=1, flip=0)[1:3] == (32, 24)  # the flags taken by their truth


def test_without_libraw_a_raw_file_names_the_package(tmp_path, monkeypatch):
    monkeypatch.setattr(raw_plugin, "_raw", None)
    path = tmp_path / "shot.orf"
    path.write_bytes(b"IIRO\x08\x00\x00\x00" + bytes(200))
    with pytest.raises(PhotoError, match="install the Debian package libraw-dev"):
        FrameWick.open(path)


def run(*args):
    return subprocess.run([SCRIPT, *map(str, args)], capture_output=True, text=True, timeout=120)


def test_command_line(dng, tmp_path):
    path = dng(orientation=6)
    shown = json.loads(run("info", "--json", path).stdout)
    assert (shown["format"], shown["size"], shown["metadata"]["Model"]) == ("RAW", [48, 64], "Test Body 1")
    previewed = run("info", "--raw", "preview", dng(name="p.dng", preview=Image.new("RGB", (32, 24))))
    assert "Dimensions: 32x24" in previewed.stdout, previewed.stderr
    done = run("edit", path, "-o", tmp_path / "half.png", "--raw", "half", "--steps", "border:1")
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "half.png") as im:
        assert im.size == (26, 34)
    os.mkdir(tmp_path / "out")
    done = run("batch", os.path.dirname(path), "-d", tmp_path / "out", "--steps", "resize:12,16", "--format", "jpg")
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "out" / "shot.jpg") as im:
        assert im.size == (12, 16) and im.getexif()[0x0110] == "Test Body 1"
    refused = run("edit", path, "-o", tmp_path / "x.png", "--raw", "bogus")
    assert refused.returncode != 0 and "unknown RAW option" in refused.stderr


@pytest.mark.parametrize("layout, said", [("preview", "holds no picture data that can be developed"),
                                           ("sensor", "holds no picture data that can be developed"),
                                           ("bare", "could not be read: damaged camera RAW file")])
@pytest.mark.parametrize("command", ["info", "edit", "batch", "open"])
def test_a_cr2_with_metadata_only_is_one_line_naming_it(tmp_path, layout, said, command):
    path = rawdng.write_metadata_cr2(tmp_path / "meta.cr2", layout)
    if command == "open":
        with pytest.raises(PhotoError) as caught:
            FrameWick.open(path)
        errors = [str(caught.value)]
    else:
        done = run(command, path, *{"info": [], "edit": ["-o", tmp_path / "out.png"], "batch": ["-d", tmp_path / "out"]}[command])
        errors = [line for line in done.stderr.splitlines() if "❌" in line] if done.returncode else []
    assert len(errors) == 1 and f"{path} {said}" in errors[0]


@pytest.fixture(scope="module")
def tall_picture():
    """A picture of more rows than one band of streamed rows, with detail in every row."""
    picture = rawdng.known_picture().resize((150, 210), Image.Resampling.BICUBIC)
    return Image.merge("RGB", [picture.getchannel(0).rotate(17), picture.getchannel(1), picture.getchannel(2)])


@pytest.mark.parametrize("half", [False, True])
@pytest.mark.parametrize("orientation", range(1, 9))
def test_streamed_rows_are_libraws_own(tmp_path, tall_picture, orientation, half):
    """The rows the plugin streams from LibRaw's working picture are the bytes of LibRaw's own
    8-bit output copy, and the 16-bit picture read out in the same pass is its own 16-bit copy
    (curve, brightness and turn alike), for every turn, kept or applied."""
    path = rawdng.write_dng(tmp_path / "tall.dng", tall_picture, orientation=orientation)
    for orient in (True, False):
        own = {bits: _raw.Raw(str(path)).develop(half=half, flip=orient, bits=bits) for bits in (8, 16)}
        bands = []

        def sink(width, height, colours):
            return bands.append
        streamed = _raw.Raw(str(path)).develop(half=half, flip=orient, bits=16, sink=sink)
        assert streamed[:5] == own[16][:5]
        assert bytes(memoryview(streamed[5])) == bytes(memoryview(own[16][5]))
        assert b"".join(bands) == bytes(memoryview(own[8][5]))
        kept, bands[:] = _raw.Raw(str(path)), []  # 8 bits now, the 16-bit picture read out later
        assert kept.develop(half=half, flip=orient, sink=sink, keep=True) is None
        assert b"".join(bands) == bytes(memoryview(own[8][5]))
        later = kept.deep()
        assert later[:5] == own[16][:5] and bytes(memoryview(later[5])) == bytes(memoryview(own[16][5]))
        with Image.open(path) as im:
            im.configure("half" if half else None, orient=orient)
            im.load()
            assert (im.size, im.tobytes()) == (own[8][1:3], bytes(memoryview(own[8][5])))


@pytest.mark.parametrize("first, then, words", [
    (dict(), "deep", "not developed with keep=True"),
    (dict(keep=True, bits=16), None, "keep takes 8 bits and a sink"),
    (dict(keep=True), None, "keep takes 8 bits and a sink"),
    (dict(keep=True, sink=lambda w, h, c: len), "develop", "developed already"),
    (dict(keep=True, sink=lambda w, h, c: len), "deep", "closed"),
])
def test_the_kept_picture_is_read_once_and_only_when_kept(dng, first, then, words):
    raw = _raw.Raw(str(dng()))
    if then is None:
        with pytest.raises(ValueError, match=words):
            raw.develop(**first)
        return
    if first:
        raw.develop(**first)
        if words == "closed":
            raw.deep()
    with pytest.raises(ValueError, match=words):
        getattr(raw, then)()


@pytest.mark.parametrize("bands_taken", [None, 0, 1, 2])
def test_stream_refusals_close_the_file(tmp_path, tall_picture, bands_taken):
    """A sink (None) or a writer refusing a band, the first or one while the next is being
    read, ends the development with its error and closes the file."""
    path = rawdng.write_dng(tmp_path / "tall.dng", tall_picture)

    def refuse(width, height, colours):
        if bands_taken is None:
            raise OSError("no room")
        taken = []

        def write(band):
            if len(taken) == bands_taken:
                raise OSError("no room")
            taken.append(band)
        return write
    for bits in (8, 16):
        raw = _raw.Raw(str(path))
        with pytest.raises(OSError, match="no room"):
            raw.develop(sink=refuse, bits=bits)
        with pytest.raises(ValueError, match="closed"):
            raw.develop()


def test_importing_framewick_leaves_tiffs_to_pillow(run_py, dng):
    """framewick's own open develops a DNG; Pillow's Image.open elsewhere in the process still
    gets Pillow's TIFF until `formats.register()` is called."""
    path = str(dng(preview=Image.new("RGB", (32, 24))))  # a first IFD Pillow's TIFF reader can read
    code, out, err = run_py(f"""
        from PIL import Image
        from framewick import FrameWick, formats

        def pillows():
            with Image.open({path!r}) as im:
                return im.format
        print(pillows(), FrameWick.open({path!r}).photo.format)
        formats.register()
        print(pillows())
    """)
    assert code == 0, err
    assert out.split() == ["TIFF", "RAW", "RAW"]
