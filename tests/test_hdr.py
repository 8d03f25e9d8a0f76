"""HDR photos through framewick: the gain map read with the picture (Ultra HDR, ISO 21496-1 and
Apple's HEIC form), carried through the steps where the picture goes, and written back."""

import io
import json
import os
import struct
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import formats_support as fs
from framewick import FrameWick
from framewick.photo import run_steps
from framewick.photo.hdr import with_xmp

_uhdr = pytest.importorskip("framewick.formats._uhdr", reason="built without libultrahdr")
_heif = pytest.importorskip("framewick.formats._heif", reason="built without libheif")
_avif = pytest.importorskip("framewick.formats._avif", reason="built without libavif")
import test_uhdr as U  # noqa: E402  (ultrahdr_app files and hand-built ones)

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
W, H = 320, 240
SPOT = (200, 60, 260, 120)  # where the base is red and the gain map bright
METADATA = {"max_content_boost": 4.0, "min_content_boost": 1.0, "gamma": 1.0, "offset_sdr": 1 / 64,
            "offset_hdr": 1 / 64, "hdr_capacity_min": 1.0, "hdr_capacity_max": 4.0, "use_base_cg": True}


def cli(*args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    return subprocess.run([SCRIPT, *map(str, args)], env=env, capture_output=True, text=True, timeout=120)


def marked(orientation=1, scale=4):
    """A base grey with a red spot and a gain map bright on the spot alone, both as a camera
    stores them under `orientation`."""
    base = Image.new("RGB", (W, H), (90, 90, 90))
    base.paste((220, 20, 20), SPOT)
    gain = Image.new("L", (W // scale, H // scale), 0)
    gain.paste(255, tuple(v // scale for v in SPOT))
    return fs.stored(base, orientation), fs.stored(gain, orientation)


def ultra_hdr(orientation=1):
    base, gain = marked(orientation)
    return _uhdr.join(U.jpeg(base), U.jpeg(gain), METADATA, exif=fs.exif(orientation) if orientation != 1 else None)


def apple_heic(orientation=1):
    base, gain = marked(orientation)
    return _heif.encode(base.tobytes(), "RGB", *base.size, 92, None, None, None, orientation,
                        gain_map=(gain.tobytes(), "L", *gain.size), headroom=3.0)


def tone_map(low=0.0, high=2.0, gamma=1.0, base=0.0, alternate=2.0, version=0, denominator=1 << 20):
    """An ISO 21496-1 metadata payload (one channel, the base's colour space); boosts in stops."""
    def fraction(value, signed=True):
        return struct.pack(">i" if signed else ">I", round(value * (1 << 20))) + struct.pack(">I", denominator)

    head = bytes([version]) + struct.pack(">HH", 0, 0) + bytes([0x40]) + fraction(base, False) + fraction(alternate, False)
    return head + fraction(low) + fraction(high) + fraction(gamma, False) + fraction(1 / 64) + fraction(1 / 64)


def iso_heic(orientation=1, metadata=None):
    base, gain = marked(orientation)
    return _heif.encode(base.tobytes(), "RGB", *base.size, 92, None, None, None, orientation,
                        gain_map=(gain.tobytes(), "L", *gain.size), tone_map=metadata or tone_map())


def iso_avif(orientation=1, gain=None):
    base, map_ = marked(orientation)
    gain = gain or map_
    return _avif.write(base.tobytes(), *base.size, 3, 8, depth=8, quality=90, orientation=orientation,
                       gain_map=(gain.tobytes(), gain.mode, *gain.size), gain_map_metadata=METADATA)


def spot_overlap(picture, gain):
    """How well the red of the picture and the bright of its gain map (at the picture's size) agree."""
    rgb = np.asarray(picture.convert("RGB"), dtype=int)
    red = (rgb[..., 0] > 160) & (rgb[..., 1] < 80)
    bright = np.asarray(gain.convert("L").resize(picture.size, Image.Resampling.BILINEAR)) > 128
    return (red & bright).sum() / max(1, (red | bright).sum())


def read_back(data):
    """(SDR picture, gain map picture) of a written Ultra HDR JPEG or HEIC."""
    if data[4:12] == b"ftypavif":
        found = _avif.gain_map(data, 0)
        return Image.open(io.BytesIO(data)).convert("RGB"), Image.frombytes(found["mode"], found["size"], found["pixels"])
    if data[4:8] == b"ftyp":
        found = _heif.gain_map(data, 0)
        return Image.open(io.BytesIO(data)).convert("RGB"), Image.frombytes(found["mode"], found["size"], found["pixels"])
    mode, size, pixels, _ = _uhdr.gain_map(data, 0)
    return Image.open(io.BytesIO(data)).convert("RGB"), Image.frombytes(mode, size, pixels)


# The primary's XMP of an Ultra HDR JPEG that also holds ISO 21496-1 metadata, as Android writes them.
HDRGM_XMP = (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
             b'<rdf:Description xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/" hdrgm:Version="1.0"/>'
             b'</rdf:RDF></x:xmpmeta>')
SOURCES = {"ultra-hdr": ultra_hdr, "apple-heic": apple_heic, "iso-heic": iso_heic, "iso-avif": iso_avif}
SUFFIXES = {"ultra-hdr": ".jpg", "apple-heic": ".heic", "iso-heic": ".heic", "iso-avif": ".avif"}
# The form each source's gain map is read as, and its largest boost.
FORMS = {"ultra-hdr": ("iso21496", 4.0), "apple-heic": ("apple", 3.0), "iso-heic": ("iso21496", 4.0),
         "iso-avif": ("iso21496", 4.0)}


@pytest.mark.parametrize("orientation", [1, 6, 8])
@pytest.mark.parametrize("source", SOURCES)
def test_the_gain_map_opens_upright_with_the_picture(source, orientation, tmp_path):
    path = tmp_path / f"in{SUFFIXES[source]}"
    path.write_bytes(SOURCES[source](orientation))
    obj = FrameWick.open(path)
    gain = obj.photo.gain_map_of(obj.image)
    assert obj.image.size == (W, H) and gain.size == (W // 4, H // 4)
    assert (gain.form, pytest.approx(gain.boost, rel=1e-3)) == FORMS[source]
    assert spot_overlap(obj.image, gain.picture) > 0.8


CHAINS = ["size:160x | crop:10,10,150,110 | turn:5,black | brightness:1.1",
          "fit:200,100 | flip:vertical | border:8 | rotate:90",
          "thumbnail:100,100 | corners:10 | size:300x300,background=white",
          "cut:200x150,gravity=smart | size:100x100,cover=true,gravity=face | cut:90x80,gravity=right"]


@pytest.mark.parametrize("out", [".jpg", ".heic", ".avif"])
@pytest.mark.parametrize("chain", CHAINS)
@pytest.mark.parametrize("source", SOURCES)
def test_the_gain_map_stays_where_the_picture_goes(source, chain, out, tmp_path):
    path = tmp_path / f"in{SUFFIXES[source]}"
    path.write_bytes(SOURCES[source](6))
    done = cli("edit", path, "-o", tmp_path / f"out{out}", "--steps", chain)
    assert done.returncode == 0 and "gain map" not in done.stderr, done.stderr
    picture, gain = read_back((tmp_path / f"out{out}").read_bytes())
    assert spot_overlap(picture, gain) > 0.6
    scale = picture.width / gain.width
    assert 3 < scale < 5 and abs(picture.height / gain.height - scale) < 0.2  # the map at its own scale
    if "cut:" not in chain:  # new area (the turn's corners, the border, the padding) has no boost
        assert np.asarray(gain.convert("L"))[:2, :2].max() < 24


@pytest.mark.skipif(U.APP is None, reason="ultrahdr_app (libuhdr-bin) is not installed")
@pytest.mark.parametrize("channels", [1, 3])
def test_the_hdr_rendition_after_the_chain_is_the_sources_moved(channels, tmp_path):
    hdr, sdr = U.pictures()
    hdr.tofile(tmp_path / "hdr.raw")
    sdr.tofile(tmp_path / "sdr.raw")
    U.app("-m", 0, "-p", "hdr.raw", "-y", "sdr.raw", "-a", 4, "-b", 3, "-t", 0, "-C", 0, "-c", 0, "-w", W, "-h", H,
          "-s", 4, "-M", int(channels == 3), "-z", "in.jpg", cwd=tmp_path)
    source = (tmp_path / "in.jpg").read_bytes()
    obj = run_steps(FrameWick.open(tmp_path / "in.jpg"), "size:160x | crop:10,10,150,110 | turn:5,black")
    obj.write(tmp_path / "out.jpg")
    out = (tmp_path / "out.jpg").read_bytes()

    def moved(band):
        band = Image.fromarray(band).resize((160, 120), Image.Resampling.LANCZOS).crop((10, 10, 150, 110))
        return np.asarray(band.rotate(5, Image.Resampling.BICUBIC, expand=True, fillcolor=0))

    def linear(data):
        _, size, pixels = _uhdr.hdr(data, "linear", 0)
        return np.frombuffer(pixels, np.float16).reshape(size[1], size[0], 4)[..., :3].astype(np.float32)

    want = np.stack([moved(band) for band in np.moveaxis(linear(source), -1, 0)], -1)
    got = linear(out)
    assert got.shape == want.shape
    peak = want.max()
    inner = (slice(8, -8), slice(8, -8))  # the rotated edges are soft in both
    psnr = 10 * np.log10(peak**2 / np.mean((got[inner] - want[inner]) ** 2))
    assert psnr >= 33, psnr


def damaged_heic(kind):
    import test_heif_deep as D

    if kind in BAD_TONE_MAPS:
        return iso_heic(metadata=BAD_TONE_MAPS[kind])
    if kind == "over the pixel limit":
        return D.with_gain_map(Image.new("L", (400, 300), 0), primary=fs.card(), headroom=2.0)
    return D._damaged_gain_maps()[kind]


BAD_TONE_MAPS = {"tone map cut short": tone_map()[:40], "tone map of version 1": tone_map(version=1),
                 "tone map over a zero": tone_map(denominator=0), "tone map of an HDR base": tone_map(base=2.0, alternate=0.0)}


@pytest.mark.parametrize("suffix, kind, size", [
    (".jpg", "cut-in-map", (320, 240)), (".jpg", "map-absent", (320, 240)), (".jpg", "map-scrambled", (320, 240)),
    (".heic", "zeroed", (64, 48)), (".heic", "NAL length past the end", (64, 48)),
    (".heic", "over the pixel limit", (96, 64)), (".avif", "over the pixel limit", (W, H))]
    + [(".heic", kind, (W, H)) for kind in BAD_TONE_MAPS])
def test_a_damaged_gain_map_leaves_the_sdr_picture_with_one_line(suffix, kind, size, tmp_path, capfd):
    path = tmp_path / f"in{suffix}"
    if suffix == ".avif":  # a gain map past the limit beside a picture within it
        path.write_bytes(iso_avif(gain=Image.new("L", (400, 300), 128)))
    else:
        path.write_bytes(U.damaged(kind) if suffix == ".jpg" else damaged_heic(kind))
    obj = FrameWick.open(path, max_pixels=100_000)
    assert obj.photo.gain_map is None and obj.image.size == size
    err = capfd.readouterr().err
    assert err.count("its gain map cannot be read") == 1 and "so the picture is SDR" in err


@pytest.mark.parametrize("options, suffix, line", [
    (["--sdr"], "jpg", ""),
    ([], "png", "PNG cannot hold the gain map"),
    ([], "webp", "WEBP cannot hold the gain map"),
    (["--steps", "caption:hi"], "jpg", "caption:hi cannot carry the gain map"),
], ids=["sdr", "png", "webp", "caption"])
@pytest.mark.parametrize("command", ["edit", "batch"])
def test_the_gain_map_left_out_on_purpose_or_where_it_cannot_go(command, options, suffix, line, tmp_path):
    path = tmp_path / "in.jpg"
    path.write_bytes(ultra_hdr())
    out = tmp_path / "done" / f"in.{suffix}"
    if command == "edit":
        out.parent.mkdir()
        done = cli("edit", path, "-o", out, *options)
    else:
        done = cli("batch", path, "-d", out.parent, "--format", suffix, *options)
    assert done.returncode == 0, done.stderr
    assert (done.stderr.count(line) == 1) if line else "gain map" not in done.stderr
    data = out.read_bytes()
    assert _uhdr.probe(data) is None and b"hdr-gain-map" not in data


def test_a_picture_replaced_outside_a_chain_loses_its_gain_map(tmp_path):
    path = tmp_path / "in.jpg"
    path.write_bytes(ultra_hdr())
    obj = FrameWick.open(path)
    run_steps(obj, "brightness:1.2 | apply_preset:vintage")  # tone steps keep it as it is
    gain = obj.photo.gain_map_of(obj.image)
    assert gain is not None and spot_overlap(marked()[0], gain.picture) > 0.8
    obj.image = obj.image.rotate(90, expand=True)
    assert obj.photo.gain_map_of(obj.image) is None
    obj.write(tmp_path / "out.jpg")
    assert _uhdr.probe((tmp_path / "out.jpg").read_bytes()) is None


@pytest.mark.parametrize("source, line", [(lambda: U.ultra_hdr_by_hand()[0], "HDR: Ultra HDR gain map 80×60, up to 4.0×"),
                                          (ultra_hdr, "HDR: ISO 21496-1 gain map 80×60, up to 4.0×"),
                                          (apple_heic, "HDR: Apple gain map 80×60, up to 3.0×"),
                                          (iso_heic, "HDR: ISO 21496-1 gain map 80×60, up to 4.0×"),
                                          (iso_avif, "HDR: ISO 21496-1 gain map 80×60, up to 4.0×"),
                                          (lambda: with_xmp(ultra_hdr(), HDRGM_XMP),
                                           "HDR: Ultra HDR and ISO 21496-1 gain map 80×60, up to 4.0×")])
def test_info_says_the_photo_is_hdr(source, line, tmp_path):
    path = tmp_path / {apple_heic: "in.heic", iso_heic: "in.heic", iso_avif: "in.avif"}.get(source, "in.jpg")
    path.write_bytes(source())
    assert line in cli("info", path).stdout
    record = json.loads(cli("info", path, "--json").stdout)
    assert record["hdr"]["gain_map"] == [80, 60] and f"{record['hdr']['max_boost']:.1f}×" in line


@pytest.mark.parametrize("gamma, low", [(1.0, 1.0), (2.2, 1.0), (1.0, 0.5)])
def test_apples_form_and_ultra_hdr_tell_the_same_boosts(gamma, low):
    from framewick.photo.hdr import GainMap

    ramp = Image.frombytes("L", (256, 1), bytes(range(256)))
    gain = GainMap(ramp, "ultrahdr", (4.0,) * 3, (low,) * 3, (gamma,) * 3, hdr_capacity_max=4.0)
    apple, headroom = gain.as_apple()
    back = GainMap(apple, "apple", headroom=headroom).as_ultra_hdr()

    def boosts(g):
        r = (np.arange(256) / 255) ** (1 / np.array(g.gamma[0]))
        return 2 ** (np.log2(g.min_boost[0]) * (1 - r) + np.log2(g.max_boost[0]) * r)[np.asarray(g.picture)[0]]

    want = np.maximum(boosts(gain), 1.0)  # Apple's form cannot darken
    assert headroom == pytest.approx(4.0) and np.abs(np.log2(boosts(back) / want)).max() < 0.05


@pytest.mark.parametrize("fmt", [None, "heic"])
def test_the_studio_says_the_photo_is_hdr_and_exports_its_gain_map(fmt, tmp_path):
    from framewick.studio.state import Studio

    path = tmp_path / "in.jpg"
    path.write_bytes(ultra_hdr())
    run = Studio([str(path)], looks_file=str(tmp_path / "l.toml"), export_dir=str(tmp_path))
    assert run.photo_facts(0)["hdr"] == {"form": "ISO 21496-1", "gain_map": [80, 60], "max_boost": 4.0}
    written = run.export(0, "size:160x | crop:10,10,150,110 | flip", fmt)
    picture, gain = read_back(Path(written["path"]).read_bytes())
    assert picture.size == (140, 100) and spot_overlap(picture, gain) > 0.6


@pytest.mark.parametrize("suffix, bits, kept", [(".heic", 10, True), (".avif", 10, True), (".jpg", 8, True),
                                               (".png", 16, False), (".tif", 16, False)])
def test_a_deep_picture_is_written_with_its_gain_map_where_the_format_holds_one(suffix, bits, kept, tmp_path, capfd):
    from framewick.photo import companions
    from framewick.photo.deep import Deep

    path = tmp_path / "in.jpg"
    path.write_bytes(ultra_hdr())
    obj = FrameWick.open(path)
    pixels = np.asarray(obj.image).astype(np.uint16) * 257 + np.linspace(0, 200, W).astype(np.uint16)[:, None]
    companions.attach(obj.photo, "deep", Deep(np.ascontiguousarray(pixels), 16), obj.image)
    capfd.readouterr()
    obj.write(tmp_path / f"out{suffix}")
    data = (tmp_path / f"out{suffix}").read_bytes()
    err = capfd.readouterr().err
    assert (err.count("cannot hold the gain map") == 0) == kept, err
    if suffix == ".heic":
        assert _heif.read(data, 0)["bit_depth"] == bits
    elif suffix == ".avif":
        assert _avif.read(data, 0)["bits"] == bits
    elif suffix == ".png":
        from framewick.formats import _png

        assert _png.read(data, 0)["bits"] == bits
    elif suffix == ".tif":
        import tifffile

        with tifffile.TiffFile(io.BytesIO(data)) as t:
            assert t.pages[0].bitspersample == bits
    if kept:
        picture, gain = read_back(data)
        assert spot_overlap(picture, gain) > 0.8
        # the base is the deep picture's (dithered for JPEG), not a flattened copy
        assert np.abs(np.asarray(picture, float) - pixels / 257).mean() < 3
    else:
        assert _heif.gain_map(data, 0) is None if data[4:8] == b"ftyp" else _uhdr.probe(data) is None


@pytest.mark.parametrize("low, high, gamma, base, alternate", [(0.0, 2.0, 1.0, 0.0, 2.0), (-1.0, 3.0, 2.2, 0.5, 2.5)])
def test_a_tone_map_items_metadata_reads_as_the_jpeg_forms(low, high, gamma, base, alternate, tmp_path):
    path = tmp_path / "in.heic"
    path.write_bytes(iso_heic(metadata=tone_map(low, high, gamma, base, alternate)))
    obj = FrameWick.open(path)
    gain = obj.photo.gain_map_of(obj.image)
    got = (gain.min_boost[2], gain.max_boost[0], gain.gamma[1], gain.hdr_capacity_min, gain.hdr_capacity_max,
           gain.offset_sdr[0])
    assert got == pytest.approx((2**low, 2**high, gamma, 2**base, 2**alternate, 1 / 64), rel=1e-4)
    assert gain.metadata()["use_base_cg"] is True


@pytest.mark.parametrize("out", [".avif", ".heic", ".jpg"])
def test_a_picture_kept_as_stored_comes_back_upright_with_its_gain_map(out, tmp_path):
    (tmp_path / "in.jpg").write_bytes(ultra_hdr(6))
    obj = FrameWick.open(tmp_path / "in.jpg", orient=False)
    assert obj.image.size == (H, W)
    obj.write(tmp_path / f"out{out}")
    back = FrameWick.open(tmp_path / f"out{out}")
    gain = back.photo.gain_map_of(back.image)
    assert back.image.size == (W, H) and spot_overlap(back.image, gain.picture) > 0.8
    assert spot_overlap(back.image, marked()[1]) > 0.8  # the spot where the upright picture has it


@pytest.mark.parametrize("chain, deep_kept, gain_kept", [
    ("size:50%", True, True),
    ("flip | crop:10,10,100,80", True, True),
    ("ev:0.5", True, True),
    ("caption:hi", False, False),
])
def test_a_deep_picture_and_its_gain_map_go_through_a_step_together(chain, deep_kept, gain_kept, tmp_path):
    from framewick.photo import companions
    from framewick.photo.deep import Deep

    path = tmp_path / "in.jpg"
    path.write_bytes(ultra_hdr())
    obj = FrameWick.open(path)
    pixels = np.asarray(obj.image).astype(np.uint16) * 257
    companions.attach(obj.photo, "deep", Deep(np.ascontiguousarray(pixels), 16), obj.image)
    lines = []
    run_steps(obj, chain, lines.append)
    deep = obj.photo.deep_of(obj.image)
    gain = companions.valid(obj.photo, "gain_map", obj.image)
    assert (deep is not None, gain is not None) == (deep_kept, gain_kept)
    if deep is not None:
        assert deep.size == obj.image.size


@pytest.mark.parametrize("change, message", [
    ({"gamma": None}, "no 'gamma'"),
    ({"offset_sdr": (0.1, 0.2)}, "offset_sdr must be one number or three, not 2"),
    ({"min_content_boost": (1.0, 0.0, 1.0)}, "min_content_boost must be positive"),
    ({"max_content_boost": float("inf")}, "max_content_boost must be a finite number"),
    ({"hdr_capacity_min": 0.5}, "capacities must be 1 or more"),
    ({"hdr_capacity_max": 1.0}, "the maximum the larger"),
], ids=["key-missing", "two-channels", "zero-boost", "infinite", "capacity-below-1", "capacities-equal"])
def test_avif_refuses_gain_map_metadata_it_cannot_store(change, message):
    base, gain = marked()
    metadata = {k: v for k, v in {**METADATA, **change}.items() if v is not None}
    with pytest.raises(ValueError, match=message):
        _avif.write(base.tobytes(), *base.size, 3, 8, depth=8, quality=90,
                    gain_map=(gain.tobytes(), gain.mode, *gain.size), gain_map_metadata=metadata)
