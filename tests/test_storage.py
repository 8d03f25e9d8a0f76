"""The Storage mixin: loading, colour-mode and format conversion, save quality and saving, with
their status lines and failures, on real picture files and on recording stand-ins."""

import os

import pytest
from PIL import Image

import framewick.utils.storage as storage_module
from framewick.utils.storage import Storage

LOADED = "📸 Image loaded: {}"
OPTIMIZED = "✨ Success: Optimization mode enabled (Quality: {}%) 🚀"
QUALITY_ERROR = "❌ Error: Quality must be between 1 and 100."
ATTEMPT = "🌈 Attempting to convert mode to: {}..."
MODE_DONE = "✅ Success: Mode changed to {} 🎭"
MODE_FAILED = "❌ Error: Could not convert mode to {}. Reason: {}"
CONVERTING = "🔄 Converting image to {} format... ⏳"
FORMAT_DONE = "✅ Success: Format is now set to {} ⚡"
FORMAT_FAILED = "❌ Error: Format conversion to {} failed. Reason: {}"
SAVED = "💾 Success: Image saved as '{}' ✅"
RED, BLUE, WHITE = (255, 0, 0), (0, 0, 255), (255, 255, 255)


class Picture(Storage):
    pass


class NoInit(Storage):
    def __init__(self):
        pass


def library_error(call):
    """The text of the exception a direct image-library call raises (the reason a line shows)."""
    with pytest.raises(Exception) as err:
        call()
    return str(err.value)


# ---------------------------------------------------------------------------------------------
# __init__ and optimize

def test_init_sets_only_the_quality(console):
    o = Picture.__new__(Picture)
    assert Storage.__init__(o) is None
    assert vars(o) == {"quality": 95} and type(o.quality) is int
    assert console.lines() == []


@pytest.mark.parametrize("value, stored", [(1, 1), (100, 100), (100.9, 100), (1.5, 1), (None, 85)])
def test_optimize_sets_the_quality(tape, console, value, stored):
    o = Picture()
    o.image = tape("image")
    assert (o.optimize() if value is None else o.optimize(value)) is o
    assert o.quality == stored
    assert console.lines() == [OPTIMIZED.format(stored)]
    assert tape.events == []


@pytest.mark.parametrize("value", [0, 101, -1, 0.9, -0.5, 10**100, -10**100, 2**32 + 50, 2**63 + 50, 2**64 + 50])
def test_optimize_refuses_out_of_range(console, value):
    o = Picture()
    o.quality = 42
    with pytest.raises(ValueError) as err:
        o.optimize(value)
    assert str(err.value) == QUALITY_ERROR
    assert o.quality == 42 and console.lines() == []


# ---------------------------------------------------------------------------------------------
# load

LOAD_CASES = [("PNG", "RGBA"), ("PNG", "P"), ("JPEG", "RGB"), ("JPEG", "L"), ("GIF", "P"), ("BMP", "RGB"),
              ("WEBP", "RGBA"), ("TIFF", "CMYK")]


@pytest.mark.parametrize("fmt, mode", LOAD_CASES)
def test_load_opens_the_file(picture, console, fmt, mode):
    path = picture(mode, (7, 5), fmt=fmt)
    o = Picture.load(path)
    assert type(o) is Picture and o.quality == 95 and set(vars(o)) == {"quality", "image"}
    assert (o.image.format, o.image.mode, o.image.size) == (fmt, mode, (7, 5))
    assert console.lines() == [LOADED.format(path)]


def test_load_through_an_object_makes_a_new_one(picture, console):
    path = picture()
    first = Picture.load(path)
    second = first.load(path)
    assert type(second) is Picture and second is not first and second.image is not first.image


@pytest.mark.parametrize("answer, found", [(True, True), ("yes", True), (1, True),
                                           (False, False), (0, False), ("", False), (None, False)])
def test_load_checks_existence_then_makes_the_object_then_opens(monkeypatch, tape, console, answer, found):
    marker = tape("cls")

    class Probe(Storage):
        def __init__(self, *args, **kwargs):
            marker.init(*args, **kwargs)
            super().__init__()

    opened = tape("opened")
    monkeypatch.setattr(storage_module, "os", tape("os", path=tape("os.path", results={"exists": answer})))
    monkeypatch.setattr(storage_module, "Image", tape("Image", results={"open": opened}))
    exists = ("os.path", "exists", ("some/where.png",), {})
    if found:
        o = Probe.load("some/where.png")
        assert type(o) is Probe and o.image is opened and o.quality == 95
        assert tape.calls() == [exists, ("cls", "init", (), {}), ("Image", "open", ("some/where.png",), {})]
        assert console.lines() == [LOADED.format("some/where.png")]
    else:
        with pytest.raises(FileNotFoundError) as err:
            Probe.load("some/where.png")
        assert err.value.args == ("❌ Error: File some/where.png not found!",)
        assert tape.calls() == [exists] and console.lines() == []


def test_load_of_a_missing_file(tmp_path, console):
    path = str(tmp_path / "missing.png")
    with pytest.raises(FileNotFoundError) as err:
        Picture.load(path)
    assert err.value.args == (f"❌ Error: File {path} not found!",)
    assert console.lines() == []


def _text_file(tmp_path):
    (tmp_path / "notes.png").write_text("not a picture")
    return Picture, str(tmp_path / "notes.png")


def _directory(tmp_path):
    (tmp_path / "folder.png").mkdir()
    return Picture, str(tmp_path / "folder.png")


def _failing_class(tmp_path):
    class Refuses(Storage):
        def __init__(self):
            raise RuntimeError("no object today")
    Image.new("RGB", (2, 2)).save(tmp_path / "fine.png")
    return Refuses, str(tmp_path / "fine.png")


@pytest.mark.parametrize("prepare, exc_type", [(_text_file, Image.UnidentifiedImageError),
                                               (_directory, IsADirectoryError),
                                               (_failing_class, RuntimeError)])
def test_load_failures_propagate_silently(tmp_path, console, prepare, exc_type):
    cls, path = prepare(tmp_path)
    with pytest.raises(exc_type):
        cls.load(path)
    assert console.lines() == []


# ---------------------------------------------------------------------------------------------
# convert_mode

@pytest.mark.parametrize("target", ["rgb", "RGB", "Rgb"])
def test_convert_mode_composites_transparency_onto_white(picture, console, target):
    path = picture("RGBA", (3, 2), (0, 0, 255, 0), pixels={(0, 0): (255, 0, 0, 255)})
    o = Picture.load(path)
    console.clear()
    assert o.convert_mode(target) is o
    assert o.image.mode == "RGB" and o.image.size == (3, 2)
    assert o.image.getpixel((0, 0)) == RED and o.image.getpixel((2, 1)) == WHITE
    assert console.lines() == [ATTEMPT.format(target), MODE_DONE.format("RGB")]


PLAIN_MODE_CASES = [
    ("PNG", "LA", dict(color=(50, 0), pixels={(0, 0): (200, 255)}), "RGB"),
    ("PNG", "P", dict(color=3, pixels={(0, 0): 1}, transparency=3), "RGB"),
    ("PNG", "RGBA", dict(color=(0, 0, 255, 0)), "l"),
    ("PNG", "RGB", {}, "rgba"),
    ("GIF", "P", {}, "rgb"),
    ("TIFF", "CMYK", {}, "RGB"),
    ("WEBP", "RGBA", {}, "la"),
]


@pytest.mark.parametrize("fmt, mode, options, target", PLAIN_MODE_CASES)
def test_convert_mode_plain_conversion(picture, console, fmt, mode, options, target):
    # Everything but an RGBA picture turned RGB is the library's plain conversion (no white backdrop).
    path = picture(mode, (3, 2), fmt=fmt, **options)
    with Image.open(path) as reference:
        expected = reference.convert(target.upper())
    o = Picture.load(path)
    console.clear()
    assert o.convert_mode(target) is o
    assert o.image.mode == target.upper()
    assert o.image.tobytes() == expected.tobytes()
    assert console.lines() == [ATTEMPT.format(target), MODE_DONE.format(target.upper())]


def test_convert_mode_to_an_unknown_mode_reports_and_keeps_the_image(picture, console):
    o = Picture.load(picture("RGB"))
    original = o.image
    reason = library_error(lambda: original.convert("XYZ"))
    console.clear()
    assert o.convert_mode("xyz") is o and o.image is original
    assert console.lines() == [ATTEMPT.format("xyz"), MODE_FAILED.format("xyz", reason)]


def test_convert_mode_composite_calls(monkeypatch, tape, console):
    bands = tuple(tape(band) for band in "RGBA")
    image = tape("image", mode="RGBA", size=(4, 3), results={"split": bands})
    background = tape("background")
    monkeypatch.setattr(storage_module, "Image", tape("Image", results={"new": background}))
    o = Picture()
    o.image = image
    assert o.convert_mode("rgb") is o and o.image is background
    calls = tape.calls()
    assert calls == [("Image", "new", ("RGB", (4, 3), (255, 255, 255)), {}),
                     ("image", "split", (), {}),
                     ("background", "paste", (image,), {"mask": bands[3]})]
    assert type(calls[0][2][2]) is tuple
    assert console.lines() == [ATTEMPT.format("rgb"), MODE_DONE.format("RGB")]


@pytest.mark.parametrize("target, mode, mode_read", [
    ("l", "RGBA", False), ("RGBA", "RGBA", False), ("RGB", "RGB", True), ("rgb", "LA", True), ("rgb", "P", True),
])
def test_convert_mode_tests_the_mode_only_for_rgb(tape, console, target, mode, mode_read):
    converted = tape("converted")
    o = Picture()
    o.image = tape("image", mode=mode, size=(4, 3), results={"convert": converted})
    assert o.convert_mode(target) is o and o.image is converted
    assert tape.calls() == [("image", "convert", (target.upper(),), {})]
    assert ("mode" in tape.reads("image")) is mode_read
    assert console.lines() == [ATTEMPT.format(target), MODE_DONE.format(target.upper())]


def test_convert_mode_failure_midway_keeps_the_image(monkeypatch, tape, console):
    image = tape("image", mode="RGBA", size=(4, 3), results={"split": ValueError("no bands")})
    monkeypatch.setattr(storage_module, "Image", tape("Image"))
    o = Picture()
    o.image = image
    assert o.convert_mode("rgb") is o and o.image is image
    assert [name for _, name, _, _ in tape.calls()] == ["new", "split"]
    assert console.lines() == [ATTEMPT.format("rgb"), MODE_FAILED.format("rgb", "no bands")]


# ---------------------------------------------------------------------------------------------
# convert

FORMAT_CASES = [
    # source format and mode, target format, resulting fmt, resulting mode, whether a new image is made
    ("PNG", "RGBA", " .Jpg ", "JPG", "RGB", True),
    ("PNG", "RGBA", "j.p.g", "JPG", "RGB", True),
    ("PNG", "P", "jpeg", "JPEG", "RGB", True),
    ("JPEG", "L", "JPG", "JPG", "L", False),
    ("JPEG", "RGB", "gif", "GIF", "P", True),
    ("GIF", "P", "gif", "GIF", "P", False),
    ("PNG", "RGBA", "bmp", "BMP", "RGBA", False),
    ("PNG", "L", ".bmp", "BMP", "RGB", True),
    ("PNG", "RGBA", "webp", "WEBP", "RGBA", False),
    ("TIFF", "CMYK", "tiff", "TIFF", "CMYK", False),
    ("PNG", "RGB", "\t png\n", "PNG", "RGB", False),
    ("PNG", "RGB", "tar.gz", "TARGZ", "RGB", False),
    ("PNG", "RGB", "", "", "RGB", False),
]


@pytest.mark.parametrize("src, mode, target, fmt, result_mode, new", FORMAT_CASES)
def test_convert(picture, console, src, mode, target, fmt, result_mode, new):
    o = Picture.load(picture(mode, (5, 4), fmt=src))
    original = o.image
    console.clear()
    assert o.convert(target) is o
    assert (o.image is not original) is new
    assert (o.image.mode, o.image.size, o.image.format) == (result_mode, (5, 4), fmt)
    assert console.lines() == [CONVERTING.format(fmt), FORMAT_DONE.format(fmt)]


ADAPTIVE = object()
CONVERT_CALLS = [
    ("RGBA", "jpg", [("image", "convert", ("RGB",), {})]),
    ("P", " .JPEG", [("image", "convert", ("RGB",), {})]),
    ("LA", "jpeg", []),
    ("RGB", "gif", [("image", "convert", ("P",), {"palette": ADAPTIVE})]),
    ("P", "gif", []),
    ("L", "bmp", [("image", "convert", ("RGB",), {})]),
    ("RGBA", "bmp", []),
    ("RGB", "png", []),
]


@pytest.mark.parametrize("mode, target, calls", CONVERT_CALLS)
def test_convert_calls_and_sets_the_format_on_the_result(monkeypatch, tape, console, mode, target, calls):
    monkeypatch.setattr(storage_module, "Image", tape("Image", ADAPTIVE=ADAPTIVE))
    o = Picture()
    o.image = tape("image", mode=mode, results={"convert": tape("image.convert")})
    o.convert(target)
    fmt = target.strip().upper().replace(".", "")
    assert tape.calls() == calls
    holder = "image.convert" if calls else "image"
    assert tape.sets() == [(holder, "format", fmt)]
    assert o.image._label == holder


@pytest.mark.parametrize("mode", ["LA", "CMYK"])
def test_convert_failure_reports_and_keeps_the_image(console, mode):
    o = Picture()
    o.image = original = Image.new(mode, (3, 3))
    reason = library_error(lambda: original.convert("P", palette=Image.ADAPTIVE))
    assert o.convert("gif") is o and o.image is original and original.format is None
    assert console.lines() == [CONVERTING.format("GIF"), FORMAT_FAILED.format("GIF", reason)]


# ---------------------------------------------------------------------------------------------
# save

def test_save_passes_quality_and_optimize(tape, console):
    class Watched(Picture):
        def __getattribute__(self, name):
            if name in ("image", "quality"):
                marker.read(name)
            return super().__getattribute__(name)

    marker = tape("object")
    o = Watched()
    o.image = tape("image")
    o.quality = 42
    assert o.save("out.png") is o
    calls = tape.calls()
    assert calls == [("object", "read", ("image",), {}), ("object", "read", ("quality",), {}),
                     ("image", "save", ("out.png",), {"quality": 42, "optimize": True})]
    assert list(calls[2][3]) == ["quality", "optimize"] and calls[2][3]["optimize"] is True
    assert console.lines() == [SAVED.format("out.png")]
    assert o.quality == 42 and tape.sets() == []


SAVE_CASES = [
    ("PNG", "RGB", "out.png", "PNG", "RGB"),
    ("PNG", "RGBA", "out.png", "PNG", "RGBA"),
    ("PNG", "RGB", "out.jpg", "JPEG", "RGB"),
    ("PNG", "L", "out.jpeg", "JPEG", "L"),
    ("GIF", "P", "out.gif", "GIF", "P"),
    ("JPEG", "RGB", "out.bmp", "BMP", "RGB"),
    ("PNG", "RGBA", "out.webp", "WEBP", "RGBA"),
    ("TIFF", "CMYK", "out.tif", "TIFF", "CMYK"),
]


@pytest.mark.parametrize("src, mode, name, fmt, result_mode", SAVE_CASES)
def test_save_writes_the_file(picture, tmp_path, console, src, mode, name, fmt, result_mode):
    o = Picture.load(picture(mode, (6, 5), fmt=src))
    target = str(tmp_path / name)
    console.clear()
    assert o.optimize(90).save(target) is o
    assert console.lines() == [OPTIMIZED.format(90), SAVED.format(target)]
    with Image.open(target) as written:
        assert (written.format, written.mode, written.size) == (fmt, result_mode, (6, 5))


def test_save_quality_reaches_the_encoder(picture, tmp_path, console):
    o = Picture.load(picture("RGB", (64, 64), noise=True))
    low, high = str(tmp_path / "low.jpg"), str(tmp_path / "high.jpg")
    o.optimize(5).save(low)
    o.optimize(95).save(high)
    assert os.path.getsize(low) < os.path.getsize(high) / 2


@pytest.mark.parametrize("mode, name, exc_type", [
    ("RGBA", "out.jpg", OSError), ("RGB", "out.unknownext", ValueError), ("RGB", "missing/out.png", FileNotFoundError),
])
def test_save_failures_propagate_silently(tmp_path, console, mode, name, exc_type):
    o = Picture()
    o.image = Image.new(mode, (3, 3))
    with pytest.raises(exc_type):
        o.save(str(tmp_path / name))
    assert console.lines() == []


def test_save_without_quality(tape, console):
    o = NoInit()
    o.image = tape("image")
    with pytest.raises(AttributeError) as err:
        o.save("out.png")
    assert str(err.value) == "'NoInit' object has no attribute 'quality'"
    assert tape.calls() == [] and console.lines() == []


@pytest.mark.parametrize("call, lines", [
    (lambda o: o.convert_mode("L"), [ATTEMPT.format("L"),
                                     MODE_FAILED.format("L", "'Picture' object has no attribute 'image'")]),
    (lambda o: o.convert(".png"), [CONVERTING.format("PNG"),
                                   FORMAT_FAILED.format("PNG", "'Picture' object has no attribute 'image'")]),
], ids=["convert_mode", "convert"])
def test_object_without_image_reports(console, call, lines):
    o = Picture()
    assert call(o) is o
    assert console.lines() == lines and vars(o) == {"quality": 95}


def test_save_without_image(console):
    with pytest.raises(AttributeError) as err:
        Picture().save("out.png")
    assert str(err.value) == "'Picture' object has no attribute 'image'"
    assert console.lines() == []


# ---------------------------------------------------------------------------------------------
# A whole chain

@pytest.mark.parametrize("src, mode, target, name, fmt, result_mode", [
    ("PNG", "RGBA", " .JPG", "out.jpg", "JPEG", "RGB"),
    ("JPEG", "RGB", "gif", "out.gif", "GIF", "P"),
    ("PNG", "L", "bmp", "out.bmp", "BMP", "RGB"),
])
def test_load_convert_optimize_save(picture, tmp_path, console, src, mode, target, name, fmt, result_mode):
    path, out = picture(mode, (9, 7), fmt=src), str(tmp_path / name)
    fmt_name = target.strip().upper().replace(".", "")
    o = Picture.load(path)
    assert o.convert(target).optimize(80).save(out) is o
    assert console.lines() == [LOADED.format(path), CONVERTING.format(fmt_name), FORMAT_DONE.format(fmt_name),
                               OPTIMIZED.format(80), SAVED.format(out)]
    with Image.open(out) as written:
        assert (written.format, written.mode, written.size) == (fmt, result_mode, (9, 7))


# ---------------------------------------------------------------------------------------------
# save over a file: a failed save leaves the old file as it was, a successful one is a plain save

class Breaking:
    """A picture whose save writes part of the file (as Pillow does once it has opened it) and then
    fails with `exc`; with `remove`, it removes the file instead."""

    def __init__(self, exc, remove=False):
        self.exc, self.remove = exc, remove

    def save(self, filename, **kwargs):
        if self.remove:
            os.remove(filename)
        else:
            with open(filename, "w+b") as f:
                f.write(b"partial")
        raise self.exc


def real_cmyk():
    return Image.new("CMYK", (4, 4), (1, 2, 3, 4))


def state(path):
    """What a save must keep of a file: its bytes, inode, permissions, links and modification time."""
    st = os.stat(path)
    with open(path, "rb") as f:
        return f.read(), st.st_ino, st.st_mode, st.st_nlink, st.st_mtime_ns


FAILURES = [
    (real_cmyk, OSError, "cannot write mode CMYK as PNG"),
    (lambda: Breaking(OSError(28, "No space left on device")), OSError, "[Errno 28] No space left on device"),
    (lambda: Breaking(KeyboardInterrupt()), KeyboardInterrupt, ""),
]
FAILURE_IDS = ["pillow-cmyk-as-png", "partial-write", "interrupt"]


@pytest.mark.parametrize("via", ["path", "symlink", "hardlink"])
@pytest.mark.parametrize("make, exc_type, message", FAILURES, ids=FAILURE_IDS)
def test_failed_save_leaves_the_existing_file_as_it_was(tmp_path, console, via, make, exc_type, message):
    real = tmp_path / "photo.png"
    Image.new("RGB", (5, 3), RED).save(real)
    os.chmod(real, 0o640)
    os.utime(real, ns=(1_000_000_000, 2_000_000_000))
    target = real
    if via != "path":
        target = tmp_path / "other.png"
        (os.symlink if via == "symlink" else os.link)(real, target)
    before, names = state(real), sorted(os.listdir(tmp_path))
    o = Picture()
    o.image = make()
    with pytest.raises(exc_type) as err:
        o.save(str(target))
    assert str(err.value) == message and console.lines() == []
    assert state(real) == before and sorted(os.listdir(tmp_path)) == names  # no spare left behind
    assert os.path.islink(target) == (via == "symlink")


def test_failed_save_that_removed_the_file_puts_it_back(tmp_path, console):
    path = tmp_path / "photo.png"
    Image.new("RGB", (5, 3), RED).save(path)
    os.chmod(path, 0o604)
    os.utime(path, ns=(1_000_000_000, 2_000_000_000))
    data, _, mode, _, mtime = state(path)
    o = Picture()
    o.image = Breaking(ValueError("gone"), remove=True)
    with pytest.raises(ValueError, match="^gone$"):
        o.save(str(path))
    assert state(path)[::2] == (data, mode, mtime) and os.listdir(tmp_path) == ["photo.png"]


def test_old_bytes_that_cannot_be_put_back_stay_in_the_spare(tmp_path, console):
    class Replacing:
        def save(self, filename, **kwargs):
            os.remove(filename)
            os.mkdir(filename)  # nothing can be written back where the file was
            raise OSError("disk went away")

    path = tmp_path / "photo.png"
    Image.new("RGB", (5, 3), RED).save(path)
    data = path.read_bytes()
    o = Picture()
    o.image = Replacing()
    with pytest.raises(OSError) as err:
        o.save(str(path))
    assert str(err.value) == "disk went away"
    [spare] = [p for p in tmp_path.iterdir() if p.name != "photo.png"]
    assert spare.name.startswith(".photo.png.") and spare.read_bytes() == data
    assert err.value.__notes__ == [f"the file's previous contents are kept in {spare}"]


@pytest.mark.parametrize("make, exc_type, message", FAILURES, ids=FAILURE_IDS)
def test_failed_save_to_a_new_file_leaves_nothing(tmp_path, console, make, exc_type, message):
    o = Picture()
    o.image = make()
    with pytest.raises(exc_type):
        o.save(str(tmp_path / "new.png"))
    assert os.listdir(tmp_path) == [] and console.lines() == []


@pytest.mark.parametrize("via", ["path", "symlink", "hardlink"])
def test_successful_save_over_a_file_is_a_plain_save(tmp_path, console, via):
    real = tmp_path / "photo.png"
    Image.new("RGB", (5, 3), RED).save(real)
    os.chmod(real, 0o640)
    target = real if via == "path" else tmp_path / "other.png"
    if via != "path":
        (os.symlink if via == "symlink" else os.link)(real, target)
    _, inode, mode, links, _ = state(real)
    o = Picture()
    o.image = Image.new("RGB", (2, 2), BLUE)
    assert o.save(str(target)) is o
    assert console.lines() == [SAVED.format(target)]
    assert state(real)[1:4] == (inode, mode, links) and os.path.islink(target) == (via == "symlink")
    with Image.open(target) as written:
        assert written.size == (2, 2) and written.getpixel((0, 0)) == BLUE
    assert sorted(os.listdir(tmp_path)) == sorted({"photo.png", target.name})


def test_failed_save_where_no_spare_can_be_made_beside_the_file(run_py, tmp_path):
    # The spare's name is taken by a folder (the first save of a fresh process uses serial 1):
    # the old bytes are held in memory instead, and still come back.
    code, out, err = run_py(f"""
        import os
        from PIL import Image
        from framewick.utils.storage import Storage
        path = {str(tmp_path / "photo.png")!r}
        Image.new("RGB", (5, 3)).save(path)
        os.mkdir(os.path.join({str(tmp_path)!r}, f".photo.png.{{os.getpid()}}-1.framewick-spare"))
        before = open(path, "rb").read()
        o = Storage()
        o.image = Image.new("CMYK", (4, 4))
        try:
            o.save(path)
        except OSError as e:
            print(e)
        print(open(path, "rb").read() == before, len(os.listdir({str(tmp_path)!r})))
    """)
    assert (code, out, err) == (0, "cannot write mode CMYK as PNG\nTrue 2\n", "")


# A save under a file-size limit: the old file comes back whole, or is never touched.
_LIMITED_SAVE = """
import errno, os, resource
from PIL import Image
from framewick.utils.storage import Storage
folder, old_bytes, limit, new_side, blocked = {folder!r}, {old_bytes}, {limit}, {new_side}, {blocked}
path = os.path.join(folder, "photo.bmp")
side = int((old_bytes / 3) ** 0.5)
Image.effect_noise((side, side), 60).convert("RGB").save(path)
for serial in range(1, blocked + 1):  # the spare's names taken: the bytes are held in memory
    os.mkdir(os.path.join(folder, f".photo.bmp.{{os.getpid()}}-{{serial}}.framewick-spare"))
before = open(path, "rb").read()
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
o = Storage()
o.image = Image.effect_noise((new_side, new_side), 60).convert("RGB")
try:
    o.save(path)
    print("saved")
except OSError as e:
    print(errno.errorcode.get(e.errno), e.strerror if e.errno == errno.EFBIG and e.filename else "")
print(open(path, "rb").read() == before, sorted(n for n in os.listdir(folder) if not n.startswith(".photo.bmp.")))
"""


@pytest.mark.parametrize("old_bytes, limit, blocked, refused", [
    (400_000, 200_000, 0, True),       # the case: no spare fits, nor does a write-back
    (400_000, 200_000, 8, True),
    (100_000, 200_000, 0, False),      # a spare fits: the new picture fails at the limit, the old comes back
    (100_000, 200_000, 8, False),      # held in memory: the old size fits under the limit again
], ids=["spare-too-big", "held-too-big", "spare", "held"])
def test_a_save_under_a_file_size_limit_never_loses_the_old_file(run_py, tmp_path, old_bytes, limit, blocked,
                                                                 refused):
    code, out, err = run_py(_LIMITED_SAVE.format(folder=str(tmp_path), old_bytes=old_bytes, limit=limit,
                                                 new_side=400, blocked=blocked))
    assert code == 0, err
    reason, kept = out.splitlines()
    assert kept == "True ['photo.bmp']"  # whole, and no spare left behind
    if refused:
        assert reason.startswith("EFBIG ❌ Error: Cannot save over a file of ") and "left untouched" in reason
    else:
        assert reason.startswith("EFBIG") and "left untouched" not in reason  # Pillow's own failure


def test_a_save_that_fits_under_the_limit_still_replaces_the_file(run_py, tmp_path):
    code, out, err = run_py(_LIMITED_SAVE.format(folder=str(tmp_path), old_bytes=400_000, limit=1_000_000,
                                                 new_side=100, blocked=8))
    assert (code, out.splitlines()) == (0, [f"💾 Success: Image saved as '{tmp_path / 'photo.bmp'}' ✅", "saved",
                                            "False ['photo.bmp']"]), err
