"""The corpus check: pictures in every mode and format this Pillow writes and reads back, plus the
real-world and broken-file recipes, through `info --json`, `edit` (the installed console script)
and `FrameWick.open`/`write`, each compared with what plain Pillow makes of the same file.

`make test` runs it small; FRAMEWICK_CORPUS_SCALE=2 (or more) adds sizes, animations, every EXIF
orientation and `edit` on every picture of the corpus.
"""

import io
import json
import os
import subprocess
import sysconfig
import warnings

import pytest
from PIL import Image, ImageOps

import realfiles as R
from framewick import FrameWick
from framewick.photo import PhotoError

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
SCALE = int(os.environ.get("FRAMEWICK_CORPUS_SCALE", "1"))

MODES = ["1", "L", "LA", "P", "PA", "RGB", "RGBA", "CMYK", "YCbCr", "LAB", "HSV", "I;16", "I;16B", "I", "F"]
# Formats Pillow saves but cannot read back alone (stubs, or an outside program needed).
_NOT_READ = {"BUFR", "GRIB", "HDF5", "WMF", "EPS", "PDF", "PALM", "MPO"}
DEEP = {"I;16", "I;16B", "I;16L", "I;16N", "I", "F"}
_TURN = {2: Image.Transpose.FLIP_LEFT_RIGHT, 3: Image.Transpose.ROTATE_180, 4: Image.Transpose.FLIP_TOP_BOTTOM,
         5: Image.Transpose.TRANSPOSE, 6: Image.Transpose.ROTATE_270, 7: Image.Transpose.TRANSVERSE,
         8: Image.Transpose.ROTATE_90}


def cli(*args, timeout=300):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run([SCRIPT, *map(str, args)], env=env, capture_output=True, text=True, encoding="utf-8",
                          timeout=timeout)


def content(mode, size):
    """A picture of `mode` with something in every channel: gradients, a patch, some noise."""
    base = Image.linear_gradient("L").resize(size)
    other = Image.linear_gradient("L").rotate(90).resize(size)
    rgb = Image.merge("RGB", (base, other, ImageOps.invert(base)))
    rgb.paste((250, 20, 20), (0, 0, max(1, size[0] // 3), max(1, size[1] // 3)))
    if mode in ("I;16", "I;16B"):
        return base.convert("I").point(lambda v: v * 257).convert(mode)
    if mode == "I":
        return base.convert("I").point(lambda v: v * 100 - 3000)
    if mode == "F":
        return base.convert("F").point(lambda v: v / 255.0)
    if mode == "LA":
        return Image.merge("LA", (base, other))
    if mode == "PA":
        return Image.merge("RGBA", (*rgb.split()[:3], other)).convert("PA")
    if mode == "RGBA":
        return Image.merge("RGBA", (*rgb.split(), other))
    return rgb.convert(mode)


def _reads_back(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with Image.open(io.BytesIO(data)) as im:
            im.load()
            return im.format, im.mode, im.size


def build_corpus(folder):
    """Every (format, mode) this Pillow writes and reads back, as files in `folder`."""
    Image.init()
    sizes = [(13, 7)] if SCALE == 1 else [(13, 7), (1, 1), (257, 131)]
    made = []
    for fmt in sorted(set(Image.SAVE) - _NOT_READ):
        for mode in MODES:
            for size in sizes:
                buffer = io.BytesIO()
                try:
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        content(mode, size).save(buffer, fmt)
                    _reads_back(buffer.getvalue())
                except Exception:  # a mode or size this format does not take
                    continue
                ext = Image.registered_extensions()
                suffix = next((e for e, f in ext.items() if f == fmt), "." + fmt.lower())
                path = folder / f"{fmt.lower()}-{mode.replace(';', '')}-{size[0]}x{size[1]}{suffix}"
                path.write_bytes(buffer.getvalue())
                made.append(path)
    if SCALE > 1:
        frames = [content("RGB", (24, 16)).rotate(i * 30) for i in range(4)]
        for fmt, suffix in (("GIF", ".gif"), ("PNG", ".png"), ("WEBP", ".webp")):
            path = folder / f"animated{suffix}"
            frames[0].save(path, fmt, save_all=True, append_images=frames[1:], duration=[40, 80, 120, 160], loop=0)
            made.append(path)
        for orientation in range(1, 9):
            exif = Image.Exif()
            exif[R.ORIENTATION] = orientation
            path = folder / f"oriented-{orientation}.jpg"
            content("RGB", (30, 20)).save(path, exif=exif)
            made.append(path)
    return made


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("corpus")
    made = build_corpus(folder)
    assert len({p.name.split("-")[0] for p in made}) >= 8 and len(made) >= 40, [p.name for p in made]
    return made


def pillow_view(path):
    """What plain Pillow makes of a file: format, mode, upright size, frame count, first frame."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with Image.open(path) as im:
            frames = getattr(im, "n_frames", 1)
            fmt = im.format
            im.load()
            try:
                upright = ImageOps.exif_transpose(im)
            except Exception:  # Pillow cannot write this EXIF back: turned by the tag alone
                method = _TURN.get(im.getexif().get(R.ORIENTATION, 1))
                upright = im.transpose(method) if method is not None else im
            return fmt, im.mode, upright.size, frames, upright.copy()


def test_info_json_matches_pillow_on_every_picture(corpus):
    done = cli("info", "--json", "-q", *corpus)
    records = {r["path"]: r for r in map(json.loads, done.stdout.splitlines())}
    failed = [line for line in done.stderr.splitlines() if line.strip()]
    for path in corpus:
        fmt, mode, size, frames, _ = pillow_view(path)
        record = records.get(str(path))
        assert record is not None, (path.name, [line for line in failed if path.name in line])
        # A HEIF file is reported by its brand: HEIC for HEVC-coded ones.
        shown = "HEIF" if fmt == "HEIF" and record["format"] == "HEIC" else record["format"]
        assert (shown, record["mode"], tuple(record["size"]), record["frames"]) == (fmt, mode, size, frames), path.name
        if mode in DEEP:
            assert record["bit_depth"] in (16, 32), path.name
        assert record["palette"] and all(0 < p["share"] <= 1 for p in record["palette"]), path.name
    assert done.returncode == 0 and not failed, failed


def _same_picture(got, expected, lossless):
    """Whether two pictures agree: value for value in the same mode, else as RGBA."""
    if got.size != expected.size:
        return False
    if got.mode == expected.mode and lossless:
        return got.tobytes() == expected.tobytes()
    try:
        a, b = got.convert("RGBA"), expected.convert("RGBA")
    except ValueError:  # a mode Pillow itself cannot show as RGBA: the size is what can be compared
        return True
    if lossless:
        return a.tobytes() == b.tobytes()
    return True


def test_open_and_write_match_pillow_on_every_picture(corpus, tmp_path, capsys):
    for path in corpus:
        fmt, mode, size, frames, first = pillow_view(path)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            obj = FrameWick.open(path)
        assert (obj.image.mode, obj.image.size) == (first.mode, size), path.name
        assert obj.image.tobytes() == first.tobytes(), path.name
        for suffix in (".png", ".tif"):
            out = tmp_path / f"out{suffix}"
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                obj.write(out)
            with Image.open(out) as written:
                written.load()
                assert written.size == size, (path.name, suffix)
                if mode not in DEEP:
                    assert _same_picture(written, first, lossless=True), (path.name, suffix)
                elif mode.startswith("I;16"):
                    assert written.mode.startswith("I;16")
                    assert written.convert("I").tobytes() == first.convert("I").tobytes(), (path.name, suffix)
    capsys.readouterr()


def _edit_sample(corpus):
    """The pictures `edit` runs on: every one at a larger scale; else one per format and per mode."""
    if SCALE > 1:
        return corpus
    chosen, formats, modes = [], set(), set()
    for path in corpus:
        fmt, mode = path.name.split("-")[:2]
        if fmt not in formats or mode not in modes:
            chosen.append(path)
            formats.add(fmt)
            modes.add(mode)
    return chosen


def test_edit_matches_pillow(corpus, tmp_path):
    for path in _edit_sample(corpus):
        fmt, mode, size, frames, first = pillow_view(path)
        out = tmp_path / "flipped.png"
        done = cli("edit", path, "-o", out, "--steps", "flip", "-q", "--overwrite")
        assert done.returncode == 0 and not done.stderr, (path.name, done.stderr)
        with Image.open(out) as written:
            written.load()
            expected = first.transpose(Image.Transpose.FLIP_LEFT_RIGHT)
            if mode in DEEP:
                assert written.size == size and written.mode in ("I;16", "L"), path.name
                if mode.startswith("I;16"):
                    assert written.convert("I").tobytes() == expected.convert("I").tobytes(), path.name
            else:
                assert _same_picture(written, expected, lossless=True), path.name


BROKEN = {
    "cut.png": lambda: R.broken_png("cut"),
    "corrupt.png": lambda: R.broken_png("corrupt"),
    "noend.png": lambda: R.broken_png("noend"),
    "truncated.png": lambda: R.broken_png("truncated"),
    "cut.tif": R.truncated_tiff,
    "bomb.png": lambda: R.bomb_png(15000, 15000),
}


def test_broken_recipes_fail_on_every_path_as_pillow_does(tmp_path):
    paths = []
    for name, make in BROKEN.items():
        path = tmp_path / name
        path.write_bytes(make())
        paths.append(path)
        # plain Pillow cannot read them whole either (a missing end chunk it lets pass: it is
        # the one difference, made on purpose)
        if name != "noend.png":
            with pytest.raises((OSError, SyntaxError, ValueError, Image.DecompressionBombError)):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    with Image.open(path) as im:
                        im.load()
        with pytest.raises(PhotoError, match=name.replace(".", r"\.")):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                FrameWick.open(path)
        done = cli("edit", path, "-o", tmp_path / "out.png")
        assert done.returncode == 1 and done.stderr.count("\n") == 1 and name in done.stderr, done.stderr
        assert not (tmp_path / "out.png").exists()
    done = cli("info", "--json", *paths)
    assert done.returncode == 1 and done.stdout == ""
    assert len(done.stderr.splitlines()) == len(paths) and all(p.name in done.stderr for p in paths)


GOOD = {
    "default.png": R.apng_with_default,
    "same.gif": R.identical_gif,
    "layers.psd": R.layered_psd,
    "fax.tif": R.fax_tiff,
    "turned.tif": R.oriented_tiff,
    "dpi-big.jpg": lambda: R.jpeg_with_resolution(4294967295, 1),
    "dpi-zero.jpg": lambda: R.jpeg_with_resolution(0, 1),
    "dpi-nan.jpg": lambda: R.jpeg_with_resolution(0, 0),
    "nan.tif": R.tiff_nan_resolution,
    "odd-exif.jpg": R.jpeg_with_unwritable_exif,
}


def test_real_world_recipes_work_on_every_path(tmp_path, capsys):
    paths = []
    for name, make in GOOD.items():
        path = tmp_path / name
        path.write_bytes(make())
        paths.append(path)
        _, _, size, _, _ = pillow_view(path)
        for suffix in (".png", ".tif", ".jpg", ".gif"):
            out = tmp_path / f"out{suffix}"
            done = cli("edit", path, "-o", out, "--steps", "invert", "-q", "--overwrite")
            notes = [line for line in done.stderr.splitlines() if not line.startswith("framewick: ")]
            assert done.returncode == 0 and not notes, (name, suffix, done.stderr)
            with Image.open(out) as written:
                assert written.size == size, (name, suffix)
            FrameWick.open(path).write(tmp_path / f"plain{suffix}")
    capsys.readouterr()
    done = cli("info", "--json", *paths)
    assert done.returncode == 0 and len(done.stdout.splitlines()) == len(paths), done.stderr
