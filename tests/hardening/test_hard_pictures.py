"""Untrusted pictures: truncated and corrupt files of every format Pillow writes here, and
decompression bombs. `load` and the overlay methods that read a file raise exactly Pillow's own
error (or succeed exactly where Pillow does) and leave `image` as it was; nothing disables
Pillow's pixel-count guard."""

import contextlib
import io
import struct
import warnings
import zlib

import pytest
from PIL import Image, ImageFile

import hard_support as hs

FORMATS = {"PNG": ".png", "JPEG": ".jpg", "GIF": ".gif", "BMP": ".bmp", "WEBP": ".webp",
           "TIFF": ".tiff", "ICO": ".ico", "PPM": ".ppm", "TGA": ".tga"}


def valid_bytes(fmt):
    """A small grain-rich picture in `fmt` (grain, so that every format has real data to cut)."""
    im = Image.merge("RGB", [Image.effect_noise((24, 16), 40 + 20 * i) for i in range(3)])
    buffer = io.BytesIO()
    im.save(buffer, fmt)
    return buffer.getvalue()


def damaged(data):
    """(label, bytes): the file cut short at several places, and bytes overwritten."""
    n = len(data)
    out = [(f"cut at {k}", data[:k]) for k in sorted({0, 4, 16, n // 3, n // 2, 2 * n // 3, n - 1}) if k < n]
    mid = n // 2
    out.append(("middle inverted", data[:mid] + bytes(b ^ 0xFF for b in data[mid:mid + 32]) + data[mid + 32:]))
    out.append(("tail zeroed", data[: n // 2] + bytes(n - n // 2)))
    out.append(("magic replaced", b"\x00\x11\x22\x33" + data[4:]))
    out.append(("garbage", bytes(range(256)) * 4))
    return out


CASES = [(fmt, label, blob) for fmt in FORMATS for label, blob in damaged(valid_bytes(fmt))]


def outcome(action):
    """('ok', value) or (exception type, its text), as Pillow itself gives it."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            return "ok", action()
    except Exception as e:
        return type(e), str(e)


def state(obj):
    return obj.image, obj.image.mode, obj.image.size, obj.image.tobytes()


@pytest.fixture
def base(tmp_path, monkeypatch):
    """A loaded RGB picture to lay the untrusted files over."""
    monkeypatch.chdir(tmp_path)
    Image.new("RGB", (20, 14), (10, 200, 30)).save("base.png")
    with contextlib.redirect_stdout(hs.Sink()):
        obj = hs.combined_class().load("base.png")
    obj.image.load()
    return obj


def write(tmp_path, fmt, label, blob):
    path = tmp_path / f"untrusted-{label.replace(' ', '-')}{FORMATS[fmt]}"
    path.write_bytes(blob)
    return str(path)


@pytest.mark.parametrize("fmt,label,blob", CASES, ids=[f"{f}-{l}" for f, l, _ in CASES])
def test_damaged_file_gives_pillows_own_outcome_and_keeps_the_picture(fmt, label, blob, base, tmp_path):
    path = write(tmp_path, fmt, label, blob)
    cls = hs.combined_class()

    def decoded():
        with Image.open(path) as im:
            return im.convert("RGBA").tobytes()

    # load: Image.open's outcome (it reads the header; the pixels are read later).
    expected = outcome(lambda: Image.open(path).close())
    with contextlib.redirect_stdout(hs.Sink()):
        got = outcome(lambda: cls.load(path))
    if expected[0] == "ok":
        assert got[0] == "ok", got
        loaded = got[1]
        before = loaded.image
        # The first use of the pixels meets the damage: reported by convert_mode, image kept.
        decode = outcome(decoded)
        with contextlib.redirect_stdout(hs.Sink()):
            assert loaded.convert_mode("RGB") is loaded
        if decode[0] != "ok":
            assert loaded.image is before
        loaded.image.close()
    else:
        assert got == expected

    # The overlays read the file whole: Pillow's decoding outcome, the picture untouched on error.
    decode = outcome(decoded)
    for method, args in (("add_watermark", (path, (0, 0))), ("double_exposure", (path, 0.5))):
        keep = state(base)
        result = outcome(lambda: getattr(base, method)(*args))
        if decode[0] == "ok":
            assert result[0] == "ok", (method, result)
        else:
            assert result == decode, method
            assert state(base) == keep, method


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_claiming(width, height):
    """A PNG whose header claims width x height RGB pixels, with no pixel data behind it."""
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b""))
            + chunk(b"IEND", b""))


def gif_claiming(width, height):
    screen = struct.pack("<HHBBB", width, height, 0, 0, 0)
    descriptor = b"," + struct.pack("<HHHHB", 0, 0, width, height, 0)
    return b"GIF89a" + screen + descriptor + b"\x02\x02\x44\x01\x00" + b";"


BOMBS = {
    "png 30000x30000": (png_claiming(30000, 30000), ".png", Image.DecompressionBombError),
    "gif 65535x65535": (gif_claiming(65535, 65535), ".gif", Image.DecompressionBombError),
    "png 10000x10000": (png_claiming(10000, 10000), ".png", Image.DecompressionBombWarning),
}


@pytest.mark.parametrize("bomb", BOMBS)
def test_decompression_bomb_is_refused_by_pillows_guard(bomb, base, tmp_path):
    blob, suffix, refusal = BOMBS[bomb]
    path = tmp_path / f"bomb{suffix}"
    path.write_bytes(blob)
    cls = hs.combined_class()
    with warnings.catch_warnings():
        warnings.simplefilter("error", Image.DecompressionBombWarning)
        with pytest.raises(refusal), contextlib.redirect_stdout(hs.Sink()):
            cls.load(str(path))
        for method, args in (("add_watermark", (str(path), (0, 0))), ("double_exposure", (str(path), 0.5))):
            keep = state(base)
            with pytest.raises(refusal):
                getattr(base, method)(*args)
            assert state(base) == keep


def test_nothing_disables_pillows_guards(run_py, tmp_path):
    path = tmp_path / "p.png"
    Image.new("RGBA", (12, 9), (1, 2, 3, 200)).save(path)
    Image.new("RGBA", (4, 3), (9, 9, 9, 255)).save(tmp_path / "mark.png")
    rc, out, err = run_py(f"""
        import contextlib, io
        from PIL import Image, ImageFile
        before = (Image.MAX_IMAGE_PIXELS, ImageFile.LOAD_TRUNCATED_IMAGES)
        import framewick.utils.storage, framewick.utils.inspector, framewick.utils.updater
        import framewick.modules.effects, framewick.modules.geometry, framewick.modules.overlays
        from framewick import FrameWick
        with contextlib.redirect_stdout(io.StringIO()):
            fw = FrameWick.load({str(path)!r})
            fw.convert_mode("RGB").apply_preset("noir").rotate(10).round_corners(3)
            fw.add_watermark({str(tmp_path / 'mark.png')!r}, (1, 1)).double_exposure({str(tmp_path / 'mark.png')!r})
            fw.apply_border(2).compare().extract_color_palette(3)
            fw.convert("png").save({str(tmp_path / 'out.png')!r})
        after = (Image.MAX_IMAGE_PIXELS, ImageFile.LOAD_TRUNCATED_IMAGES)
        print(before, after)
    """)
    assert rc == 0, err
    before, after = out.strip().split(") (")
    assert before + ")" == "(89478485, False)" and "(" + after == "(89478485, False)"
    assert (Image.MAX_IMAGE_PIXELS, ImageFile.LOAD_TRUNCATED_IMAGES) == (89478485, False)
