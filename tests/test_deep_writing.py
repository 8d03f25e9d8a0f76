"""Writing a deep picture: 16-bit PNG/TIFF/JPEG XL, 10/12-bit AVIF/HEIC, dithered 8-bit JPEG,
depth overrides, info's depth, and profile conversions at depth on LittleCMS."""

import io
import shutil
import subprocess

import numpy as np
import pytest
import tifffile
from PIL import Image, ImageCms

import formats_support as fs
from framewick import FrameWick
from framewick.photo import companions
from framewick.photo.deep import Deep
from framewick.photo.info import describe
from test_cli import run
from test_photo import adobe_like

_lcms = pytest.importorskip("framewick.formats._lcms")
XMP = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'


def gradient(width=512, height=16, channels=3, low=0, high=65535):
    row = np.linspace(low, high, width).round().astype(np.uint16)
    pixels = np.repeat(row[np.newaxis, :, np.newaxis], height, 0)
    pixels = np.repeat(pixels, channels, 2)
    if channels in (2, 4):
        pixels[:, :, -1] = np.linspace(65535, 1000, height).astype(np.uint16)[:, np.newaxis]
    if channels >= 3:
        pixels[:, :, 1] = pixels[:, ::-1, 1]
    return np.ascontiguousarray(pixels)


def deep_photo(tmp_path, pixels, bits=16, icc=None, with_metadata=True):
    """An object opened from the 8-bit view of `pixels`, carrying them as its deep picture."""
    deep = Deep(pixels, bits)
    deep.view8().save(tmp_path / "view.png")
    obj = FrameWick.open(tmp_path / "view.png")
    if with_metadata:
        exif = Image.Exif()
        exif[0x010F] = "DeepCam"
        exif.get_ifd(0x8769)[0x9003] = "2026:12:09 10:00:00"
        obj.photo.exif, obj.photo.xmp, obj.photo.dpi = exif.tobytes(), XMP, (300.0, 300.0)
    obj.photo.icc = icc
    companions.attach(obj.photo, "deep", deep, obj.image)
    return obj


def read_back(path, fmt):
    """(pixels, bits as coded, icc, exif, xmp) of a written file, read with the native readers."""
    data = path.read_bytes()
    if fmt == "TIFF":
        with tifffile.TiffFile(path) as t:
            page = t.pages[0]
            tags = {tag.code: tag.value for tag in page.tags.values()}
            exif = Image.open(path).getexif()
            return (page.asarray(), page.bitspersample, tags.get(34675), exif, tags.get(700))
    from framewick.formats import _avif, _jxl, _png

    if fmt == "HEIF":
        from framewick.formats import _heif

        mode, (w, h), pixels = _heif.decode(data, 0, bits=16)
        info = _heif.read(data, 0)
        return np.frombuffer(pixels, np.uint16).reshape(h, w, len(mode)), info.get("bit_depth"), \
            info.get("icc"), info.get("exif"), info.get("xmp")
    found = {"PNG": _png, "AVIF": _avif, "JXL": _jxl}[fmt].read(data, 0)
    dtype = np.float32 if found.get("dtype") == "float32" else np.uint16
    pixels = np.frombuffer(found["pixels"], dtype).reshape(found["height"], found["width"], -1)
    xmp = found.get("xmp") or (found.get("text") or {}).get("XML:com.adobe.xmp", "").encode() or None
    return pixels, found["bits"], found["icc"], found["exif"], xmp


@pytest.mark.parametrize("fmt, suffix, channels, tolerance, bits, kwargs", [
    ("PNG", ".png", 1, 0, 16, {}),
    ("PNG", ".png", 2, 0, 16, {}),
    ("PNG", ".png", 4, 0, 16, {}),
    ("TIFF", ".tif", 3, 0, 16, {}),
    ("JXL", ".jxl", 3, 0, 16, {}),
    ("AVIF", ".avif", 3, 40, 10, {}),
    ("AVIF", ".avif", 4, 10, 12, {"depth": 12}),
    ("HEIF", ".heic", 3, 700, 10, {}),
])
def test_deep_picture_written_at_depth_with_its_metadata(tmp_path, fmt, suffix, channels, tolerance, bits, kwargs):
    if fmt == "HEIF" and fs.HEIF_ENC is None:
        pytest.skip("no HEVC encoder")
    pixels = gradient(channels=channels)
    icc = adobe_like() if channels >= 3 else None
    obj = deep_photo(tmp_path, pixels, icc=icc)
    obj.quality = 100
    out = tmp_path / f"out{suffix}"
    obj.write(out, **kwargs)
    got, coded, icc_back, exif, xmp = read_back(out, fmt)
    assert coded == bits
    assert got.shape[2] in (channels, 3 if channels == 1 else channels)
    assert np.abs(got[:, :, :channels].astype(int) - pixels).max() <= tolerance
    assert len(np.unique(got[:, :, 0])) > 300  # more than 256 levels came through
    if icc is not None:
        assert icc_back == icc
    assert b"DeepCam" in bytes(exif.tobytes() if isinstance(exif, Image.Exif) else exif)
    assert xmp is not None and b"xmpmeta" in bytes(xmp)


def test_tiff_keeps_float_and_the_exif_block_and_resolution(tmp_path):
    pixels = (gradient(channels=3).astype(np.float32) / 65535) * np.float32(0.9)
    obj = deep_photo(tmp_path, pixels, bits=32)
    obj.write(tmp_path / "out.tif")
    from framewick.formats import _tiff

    found = _tiff.read((tmp_path / "out.tif").read_bytes(), 0)
    assert found["sample_format"] == "float" and found["dpi"] == (300.0, 300.0)
    assert np.array_equal(np.frombuffer(found["pixels"], np.float32).reshape(pixels.shape), pixels)
    with tifffile.TiffFile(tmp_path / "out.tif") as t:
        tags = t.pages[0].tags
        assert tags["Make"].value == "DeepCam" and tags["ExifTag"].value["DateTimeOriginal"] == "2026:12:09 10:00:00"


@pytest.mark.parametrize("with_metadata, source", [(True, None), (False, None), (True, "tiff_adobe_deflate")])
def test_tiff_written_to_a_path_is_the_file_written_to_a_stream(tmp_path, with_metadata, source):
    obj = deep_photo(tmp_path, gradient(channels=3), icc=adobe_like(), with_metadata=with_metadata)
    if source is not None:  # a TIFF's own compression is kept
        obj.photo.format, obj.image.info["compression"] = "TIFF", source
    stream = io.BytesIO()
    obj.write(stream, format="TIFF")
    obj.write(tmp_path / "out.tif")
    assert (tmp_path / "out.tif").read_bytes() == stream.getvalue()
    got, coded, icc, exif, xmp = read_back(tmp_path / "out.tif", "TIFF")
    assert coded == 16 and np.array_equal(got, gradient(channels=3)) and icc == adobe_like()
    assert (b"DeepCam" in exif.tobytes() and b"xmpmeta" in bytes(xmp)) if with_metadata else xmp is None


def run_lengths(rows):
    lengths = []
    for row in rows:
        edges = np.concatenate([[-1], np.flatnonzero(np.diff(row.astype(int))), [len(row) - 1]])
        lengths.extend(np.diff(edges))
    return np.array(lengths)


@pytest.mark.parametrize("quality", [95, 100])
def test_dithered_jpeg_of_a_gentle_gradient_does_not_band(tmp_path, quality):
    pixels = gradient(width=2048, height=64, channels=3, low=100 * 257, high=120 * 257)
    pixels[:, :, 1] = pixels[:, :, 0]
    pixels[:, :, 2] = pixels[:, :, 0]
    obj = deep_photo(tmp_path, pixels, with_metadata=False)
    obj.quality = quality
    obj.write(tmp_path / "deep.jpg")
    obj.write(tmp_path / "flat.jpg", depth=8)  # the 8-bit picture, undithered
    with Image.open(tmp_path / "deep.jpg") as deep, Image.open(tmp_path / "flat.jpg") as flat:
        dithered = run_lengths(np.asarray(deep.convert("L"))[4:60])
        banded = run_lengths(np.asarray(flat.convert("L"))[4:60])
    assert banded.mean() > 80  # a level every ~100 pixels: bands
    assert dithered.mean() < banded.mean() / 2 and np.percentile(dithered, 75) < np.percentile(banded, 75) / 2


def test_an_8bit_picture_held_at_depth_dithers_back_to_itself(tmp_path):
    from framewick.photo.deepwriting import dither

    eight = np.random.default_rng(3).integers(0, 256, (70, 90, 4), dtype=np.uint8)
    assert np.array_equal(dither(eight.astype(np.uint16) * 257), eight)
    assert np.array_equal(dither(eight.astype(np.float32) / 255), eight)


@pytest.mark.parametrize("depth, fmt, expected_bits", [(8, "png", 8), (16, "png", 16), (16, "tif", 16)])
def test_depth_override_on_an_8bit_and_a_deep_picture(tmp_path, depth, fmt, expected_bits):
    from framewick.formats import _png

    Image.fromarray(np.arange(256, dtype=np.uint8).reshape(16, 16)).convert("RGB").save(tmp_path / "plain.png")
    plain = FrameWick.open(tmp_path / "plain.png")
    plain.write(tmp_path / f"plain-out.{fmt}", depth=depth)
    deep = deep_photo(tmp_path, gradient(), with_metadata=False)
    deep.write(tmp_path / f"deep-out.{fmt}", depth=depth)
    for name, source in (("plain", np.asarray(plain.image)), ("deep", np.asarray(deep.image))):
        data = (tmp_path / f"{name}-out.{fmt}").read_bytes()
        if fmt == "png":
            found = _png.read(data, 0)
            bits = found["bits"]
            got = np.frombuffer(found["pixels"], np.uint16 if bits == 16 else np.uint8).reshape(source.shape)
        else:
            got = tifffile.imread(io.BytesIO(data))
            bits = got.dtype.itemsize * 8
        assert bits == expected_bits
        if name == "plain" or depth == 8:
            scale = 257 if expected_bits == 16 else 1  # the 8-bit picture as it is, widened for 16
            assert np.array_equal(got, source.astype(np.uint16) * scale)


@pytest.mark.parametrize("how", ["api", "cli"])
def test_more_than_8_bits_for_a_format_of_8_is_refused_and_nothing_written(tmp_path, how):
    Image.new("RGB", (8, 8), "red").save(tmp_path / "in.png")
    out = tmp_path / "out.jpg"
    if how == "api":
        with pytest.raises(ValueError, match="JPEG holds 8 bits per channel"):
            FrameWick.open(tmp_path / "in.png").write(out, depth=16)
    else:
        done = run("edit", str(tmp_path / "in.png"), "-o", str(out), "--depth", "16")
        assert done.returncode == 2 and "JPEG holds 8 bits per channel; --depth 16" in done.stderr
    assert not out.exists()


@pytest.mark.parametrize("bits", [10, 12, 16, 32])
def test_info_shows_the_depth_as_decoded(tmp_path, bits):
    pixels = gradient(width=64, height=4)
    if bits == 32:
        pixels = pixels.astype(np.float32) / 65535
    obj = deep_photo(tmp_path, pixels, bits=bits, with_metadata=False)
    assert describe(obj)["bit_depth"] == bits
    obj.image = obj.image.copy()  # replaced behind the runner's back: an 8-bit picture now
    assert describe(obj)["bit_depth"] == 8


@pytest.mark.parametrize("channels, bits", [(3, 16), (4, 16), (3, 32)])
def test_lcms_at_depth_matches_pillow_and_keeps_more_levels(channels, bits):
    wide = adobe_like()
    pixels = gradient(width=1024, height=8, channels=channels, low=20000, high=45000)
    pixels[:, :, 1] = pixels[:, ::-1, 1] // 2 + 12000  # colours well inside both gamuts
    pixels[:, :, 2] = 30000
    source = pixels if bits == 16 else pixels.astype(np.float32) / 65535
    out, count = _lcms.convert(source, 1024, 8, channels, bits, source=wide, target=None)
    dtype = np.uint16 if bits == 16 else np.float32
    got = np.frombuffer(out, dtype).reshape(8, 1024, count)
    assert count == channels
    eight = Image.fromarray(np.rint(pixels[:, :, :3] / 257).astype(np.uint8), "RGB")
    pillow = np.asarray(ImageCms.profileToProfile(eight, ImageCms.ImageCmsProfile(io.BytesIO(wide)),
                                                  ImageCms.createProfile("sRGB")))
    ours = got[:, :, :3].astype(np.float64) * (255 / 65535 if bits == 16 else 255)
    assert np.abs(ours - pillow).max() <= 2.5
    assert len(np.unique(got[:, :, 1])) > 3 * len(np.unique(pillow[:, :, 1]))
    if channels == 4:
        assert np.array_equal(got[:, :, 3], source[:, :, 3])


@pytest.mark.parametrize("source, channels, bits, message", [
    (b"not a profile" * 20, 3, 16, "source profile is not one LittleCMS reads"),
    (None, 2, 32, None),  # grey + alpha on the built-in grey: fine
    ("adobe", 2, 16, "2 channels do not fit a RGB profile"),
])
def test_lcms_refuses_what_does_not_fit(source, channels, bits, message):
    icc = adobe_like() if source == "adobe" else source
    pixels = np.zeros((4, 4, channels), np.uint16 if bits == 16 else np.float32)
    if message is None:
        out, count = _lcms.convert(pixels, 4, 4, channels, bits, source=icc)
        assert count == 2 and len(out) == pixels.nbytes
    else:
        with pytest.raises(_lcms.LcmsError, match=message):
            _lcms.convert(pixels, 4, 4, channels, bits, source=icc)


def test_srgb_converts_a_deep_picture_at_depth(tmp_path):
    from framewick.formats import _png

    wide = adobe_like()
    pixels = gradient(width=256, height=4)
    obj = deep_photo(tmp_path, pixels, icc=wide, with_metadata=False)
    obj.write(tmp_path / "srgb.png", srgb=True)
    found = _png.read((tmp_path / "srgb.png").read_bytes(), 0)
    got = np.frombuffer(found["pixels"], np.uint16).reshape(4, 256, 3)
    expected, _ = _lcms.convert(pixels, 256, 4, 3, 16, source=wide)
    assert found["bits"] == 16 and "sRGB" in ImageCms.getProfileDescription(
        ImageCms.ImageCmsProfile(io.BytesIO(found["icc"])))
    assert np.array_equal(got, np.frombuffer(expected, np.uint16).reshape(4, 256, 3))


@pytest.mark.parametrize("bits, depth", [(8, None), (16, None), (16, 8)])
def test_exif_of_an_avif_reaches_a_jpeg(tmp_path, bits, depth):
    """An AVIF's EXIF block comes without JPEG's "Exif" marker; the JPEG still carries it."""
    from framewick.formats import _avif

    exif = Image.Exif()
    exif[0x010F] = "AvifCam"
    pixels = gradient(width=64, height=8) if bits == 16 else (gradient(width=64, height=8) // 257).astype(np.uint8)
    (tmp_path / "in.avif").write_bytes(_avif.write(pixels, 64, 8, 3, bits, depth=10 if bits == 16 else 8,
                                                   quality=90, exif=exif.tobytes()[6:]))
    FrameWick.open(tmp_path / "in.avif").write(tmp_path / "out.jpg", depth=depth)
    with Image.open(tmp_path / "out.jpg") as im:
        assert im.getexif()[0x010F] == "AvifCam"


def _source(path, fmt, pixels, icc):
    from framewick.formats import _avif, _png, _tiff

    h, w, c = pixels.shape
    if fmt == "png":
        data = _png.write(pixels, w, h, c, 16, icc=icc, text={"XML:com.adobe.xmp": XMP.decode()})
    elif fmt == "tif":
        data = _tiff.write(pixels, w, h, c, 16, icc=icc)
    else:
        data = _avif.write(pixels, w, h, c, 16, depth=10, quality=100, icc=icc, xmp=XMP)
    path.write_bytes(data)


@pytest.mark.parametrize("source", ["png", "tif", "avif"])
@pytest.mark.parametrize("target, depth, bits", [("png", None, 16), ("tif", None, 16), ("png", "8", 8)])
def test_edit_keeps_a_deep_file_deep_through_a_chain(tmp_path, source, target, depth, bits):
    from framewick.formats import _png

    ramp = np.linspace(0, 65535, 160 * 100).round().astype(np.uint16).reshape(100, 160, 1)
    pixels = np.ascontiguousarray(np.concatenate([ramp, ramp[::-1, ::-1], ramp // 2 + 9000], axis=2))
    icc = adobe_like()
    _source(tmp_path / f"in.{source}", source, pixels, icc)
    out = tmp_path / f"out.{target}"
    done = run("edit", str(tmp_path / f"in.{source}"), "-o", str(out), "--steps", "size:50% | levels:10,245,1.1",
               *(["--depth", depth] if depth else []))
    assert done.returncode == 0, done.stderr
    if target == "png":
        found = _png.read(out.read_bytes(), 0)
        got_bits, got_icc = found["bits"], found["icc"]
        got = np.frombuffer(found["pixels"], np.uint16 if got_bits == 16 else np.uint8).reshape(50, 80, 3)
    else:
        with tifffile.TiffFile(out) as t:
            got, got_bits, got_icc = t.pages[0].asarray(), t.pages[0].bitspersample, t.pages[0].tags[34675].value
    assert got_bits == bits and got_icc == icc and got.shape == (50, 80, 3)
    assert (len(np.unique(got[:, :, 0])) > 1000) == (bits == 16)


def heif_colourspace(path):
    import shutil
    import subprocess

    tool = shutil.which("heif-info")
    if tool is None:
        pytest.skip("heif-info (libheif-examples) is not installed")
    out = subprocess.run([tool, str(path)], capture_output=True, text=True, timeout=60).stdout
    return "monochrome" if "colorspace: monochrome" in out else "colour"


@pytest.mark.parametrize("suffix", [".heic", ".avif"])
@pytest.mark.parametrize("mode, bits", [("L", 8), ("LA", 8), ("I;16", 10), ("deep LA", 10)])
def test_a_grey_picture_goes_to_heic_and_avif_as_monochrome(tmp_path, mode, bits, suffix):
    from framewick.formats import _avif, _heif

    if suffix == ".heic" and fs.HEIF_ENC is None:
        pytest.skip("no HEVC encoder")
    ramp = np.linspace(0, 65535, 96 * 64).round().astype(np.uint16).reshape(64, 96)
    if mode == "deep LA":
        picture = np.ascontiguousarray(np.stack([ramp, ramp[:, ::-1]], -1))
    elif mode == "I;16":
        picture = Image.fromarray(ramp)
    else:
        grey = Image.fromarray((ramp >> 8).astype(np.uint8))
        picture = grey if mode == "L" else Image.merge("LA", (grey, grey.transpose(Image.Transpose.FLIP_LEFT_RIGHT)))
    if mode == "deep LA":
        obj, mode = deep_photo(tmp_path, picture, with_metadata=False), "LA"
    else:
        picture.save(tmp_path / "in.png")
        obj = FrameWick.open(tmp_path / "in.png")
        assert obj.image.mode == mode
    obj.quality = 100
    out = tmp_path / f"out{suffix}"
    obj.write(out)
    data = out.read_bytes()
    if suffix == ".avif":
        found = _avif.read(data, 0)
        assert (found["channels"], found["bits"]) == (len(mode) if mode != "I;16" else 1, bits)
        got = np.frombuffer(found["pixels"], np.uint16 if bits > 8 else np.uint8).reshape(64, 96, -1)
    else:
        assert heif_colourspace(out) == "monochrome" and _heif.read(data, 0)["bit_depth"] == bits
        back, (w, h), pixels = _heif.decode(data, 0, bits=16 if bits > 8 else 8)
        got = np.frombuffer(pixels, np.uint16 if bits > 8 else np.uint8).reshape(h, w, len(back))
        got = got[:, :, [0, 3]] if back == "RGBA" else got[:, :, :1]
    want = np.asarray(picture, dtype=np.uint16)
    want = want[:, :, np.newaxis] if want.ndim == 2 else want
    scale = 1 if bits > 8 else 257
    assert np.abs(got.astype(int) * scale - want.astype(int) * scale).max() <= 4 * 257
    if bits > 8:
        assert len(np.unique(got[:, :, 0])) > 600  # more than 8 bits came through


@pytest.mark.parametrize("colour_space, kept", [(b"GRAY", False), (b"RGB ", True)])
def test_grey_to_heic_where_the_encoder_refuses_monochrome_goes_as_rgb(colour_space, kept):
    from framewick.formats import heif

    icc = bytes(16) + colour_space + bytes(108)
    calls = []

    def encode(picture, profile):
        calls.append((picture.mode, profile))
        if picture.mode in ("L", "LA"):
            raise heif._heif.HeifError("monochrome is not supported")
        return b"coded"

    for mode in ("L", "LA"):
        assert heif.grey_or_colour(Image.new(mode, (4, 4)), icc, encode) == b"coded"
    assert [mode for mode, _ in calls] == ["L", "RGB", "LA", "RGBA"]
    assert [profile for mode, profile in calls if mode.startswith("RGB")] == [icc if kept else None] * 2


@pytest.mark.parametrize("orientation", range(2, 9))
def test_a_deep_picture_kept_as_stored_comes_back_upright_from_avif(tmp_path, orientation):
    stored = gradient(64, 40)
    stored[2:10, 2:12, 2] = 60000  # a spot in one corner, so every turn and mirror shows
    obj = deep_photo(tmp_path, stored, with_metadata=False)
    exif = Image.Exif()
    exif[0x0112] = orientation
    obj.photo.exif = exif.tobytes()
    obj.write(tmp_path / "stored.png")
    FrameWick.open(tmp_path / "stored.png", orient=False).write(tmp_path / "out.avif")
    back, upright = (FrameWick.open(tmp_path / name).photo.deep.pixels for name in ("out.avif", "stored.png"))
    assert back.shape == upright.shape and np.abs(back.astype(int) - upright).max() < 1024


def own_decoder(path):
    """The picture as the format's own decoder shows it (heif-dec, libjxl): turned by the
    container or the codestream, never by the EXIF tag."""
    if path.suffix == ".jxl":
        from framewick.formats import _jxl

        found = _jxl.read(path.read_bytes(), 0)
        pixels = np.frombuffer(found["pixels"], found["dtype"]).reshape(found["height"], found["width"], -1)
        return Image.fromarray((pixels >> 8).astype(np.uint8) if pixels.dtype == np.uint16 else pixels)
    if shutil.which("heif-dec") is None:
        pytest.skip("heif-dec (libheif-examples) is not installed")
    subprocess.run(["heif-dec", path, path.with_suffix(".png")], capture_output=True, check=True, timeout=120)
    return Image.open(path.with_suffix(".png")).convert("RGB")


@pytest.mark.parametrize("suffix", [".heic", ".jxl"])
@pytest.mark.parametrize("depth", [None, 8])
@pytest.mark.parametrize("orientation", range(1, 9))
def test_a_picture_kept_as_stored_shows_upright_in_framewick_and_the_formats_own_decoder(tmp_path, orientation,
                                                                                          depth, suffix):
    stored = gradient(64, 40)
    stored[2:14, 2:20, 2] = 60000
    obj = deep_photo(tmp_path, stored, with_metadata=False)
    obj.photo.exif = fs.exif(orientation)
    obj.write(tmp_path / "stored.png")
    upright = np.asarray(FrameWick.open(tmp_path / "stored.png").image, int)
    FrameWick.open(tmp_path / "stored.png", orient=False).write(tmp_path / f"out{suffix}", depth=depth)
    for back in (FrameWick.open(tmp_path / f"out{suffix}").image, own_decoder(tmp_path / f"out{suffix}")):
        assert back.size == (upright.shape[1], upright.shape[0]) and np.abs(np.asarray(back, int) - upright).mean() < 3
