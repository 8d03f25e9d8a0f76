"""JPEG gain maps through framewick.formats._uhdr: files made with ultrahdr_app from generated HDR
and SDR pictures (ISO 21496-1), Ultra HDR files built here with hdrgm XMP, and damaged ones."""

import io
import re
import shutil
import struct
import subprocess

import numpy as np
import pytest
from PIL import Image, ImageCms

import formats_support as fs

_uhdr = pytest.importorskip("framewick.formats._uhdr", reason="built without libultrahdr")
APP = shutil.which("ultrahdr_app")
needs_app = pytest.mark.skipif(APP is None, reason="ultrahdr_app (libuhdr-bin) is not installed")
W, H = 320, 240


def pictures():
    """Linear HDR (RGBA half floats) with a bright spot up to 4x, and its SDR rendition (RGBA 8 bits)."""
    y, x = np.mgrid[0:H, 0:W].astype(np.float32)
    base = np.stack([x / W, y / H, np.full_like(x, 0.5)], -1) * 0.8 + 0.02
    boost = 1 + 3 * np.exp(-((x - W * 0.7) ** 2 + (y - H * 0.3) ** 2) / (2 * 40.0**2))
    alpha = np.ones((H, W, 1), np.float32)
    hdr = np.concatenate([base * boost[..., None], alpha], -1).astype(np.float16)
    sdr = np.concatenate([np.round(base ** (1 / 2.2) * 255), alpha * 255], -1).astype(np.uint8)
    return hdr, sdr


def app(*args, cwd):
    done = subprocess.run([APP, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.fixture(scope="module", params=[1, 3], ids=["one-channel", "three-channel"])
def iso_file(request, tmp_path_factory):
    """An ISO 21496-1 JPEG from ultrahdr_app, its gain map a quarter the size, one or three channels."""
    if APP is None:
        pytest.skip("ultrahdr_app (libuhdr-bin) is not installed")
    d = tmp_path_factory.mktemp("iso")
    hdr, sdr = pictures()
    hdr.tofile(d / "hdr.raw")
    sdr.tofile(d / "sdr.raw")
    app("-m", 0, "-p", "hdr.raw", "-y", "sdr.raw", "-a", 4, "-b", 3, "-t", 0, "-C", 0, "-c", 0, "-w", W, "-h", H,
        "-s", 4, "-M", int(request.param == 3), "-z", "out.jpg", cwd=d)
    return (d / "out.jpg").read_bytes(), request.param


def jpeg(im, **kw):
    out = io.BytesIO()
    im.save(out, "JPEG", quality=95, **kw)
    return out.getvalue()


def ultra_hdr_by_hand(with_map=True, mpf_offset=None):
    """An Ultra HDR JPEG as Android writes it: hdrgm XMP naming the gain map, an MPF index, the
    gain map (L, its own hdrgm XMP: boost 1x to 4x, capacity 1x to 4x) behind the primary."""
    ns = ('xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
          '<rdf:Description rdf:about="" xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/"')
    gain = np.tile(np.linspace(0, 255, 80).astype(np.uint8), (60, 1))
    map_jpeg = jpeg(Image.fromarray(gain, "L"), xmp=(
        f'<x:xmpmeta {ns} hdrgm:Version="1.0" hdrgm:GainMapMin="0" hdrgm:GainMapMax="2" hdrgm:Gamma="1" '
        'hdrgm:OffsetSDR="0.015625" hdrgm:OffsetHDR="0.015625" hdrgm:HDRCapacityMin="0" hdrgm:HDRCapacityMax="2" '
        'hdrgm:BaseRenditionIsHDR="False"/></rdf:RDF></x:xmpmeta>').encode())
    primary = jpeg(fs.card((W, H)), xmp=(
        f'<x:xmpmeta {ns} xmlns:Container="http://ns.google.com/photos/1.0/container/" '
        'xmlns:Item="http://ns.google.com/photos/1.0/container/item/" hdrgm:Version="1.0"><Container:Directory>'
        '<rdf:Seq><rdf:li rdf:parseType="Resource"><Container:Item Item:Semantic="Primary" Item:Mime="image/jpeg"/>'
        '</rdf:li><rdf:li rdf:parseType="Resource"><Container:Item Item:Semantic="GainMap" Item:Mime="image/jpeg" '
        f'Item:Length="{len(map_jpeg)}"/></rdf:li></rdf:Seq></Container:Directory></rdf:Description></rdf:RDF>'
        '</x:xmpmeta>').encode())
    if not with_map:
        return primary, map_jpeg
    # MPF: a big-endian TIFF IFD (version, count, entries); offsets count from the TIFF header.
    ifd = struct.pack(">H", 3) + struct.pack(">HHI4s", 0xB000, 7, 4, b"0100") + struct.pack(
        ">HHII", 0xB001, 4, 1, 2) + struct.pack(">HHII", 0xB002, 7, 32, 8 + 2 + 36 + 4) + struct.pack(">I", 0)
    payload_size = 4 + 8 + len(ifd) + 32
    at = 2 + 2 + struct.unpack(">H", primary[4:6])[0]  # after SOI and JFIF
    total = len(primary) + 4 + payload_size
    offset = total - (at + 8) if mpf_offset is None else mpf_offset
    entries = struct.pack(">IIIHH", 0x030000, total, 0, 0, 0) + struct.pack(">IIIHH", 0, len(map_jpeg), offset, 0, 0)
    mpf = b"\xff\xe2" + struct.pack(">H", payload_size + 2) + b"MPF\0MM\0*" + struct.pack(">I", 8) + ifd + entries
    return primary[:at] + mpf + primary[at:] + map_jpeg, map_jpeg


def app_metadata(data, tmp_path):
    """The metadata as ultrahdr_app's probe prints it: {name: [floats]}."""
    (tmp_path / "probe.jpg").write_bytes(data)
    text = app("-m", 1, "-j", "probe.jpg", "-P", cwd=tmp_path)
    return {k: [float(v) for v in vs.split()] for k, vs in re.findall(r"--(\w+) ([^\n]+)", text)}


# ---- probe and gain_map

def test_probe_of_an_iso_file_agrees_with_ultrahdr_app(iso_file, tmp_path):
    data, channels = iso_file
    p = _uhdr.probe(data)
    assert (p["form"], p["iso"], p["error"]) == ("iso21496", True, None)
    assert (p["width"], p["height"], p["gain_map_size"], p["gain_map_channels"]) == (W, H, (W // 4, H // 4), channels)
    want = app_metadata(data, tmp_path)
    m = p["metadata"]
    for key, name in (("max_content_boost", "maxContentBoost"), ("min_content_boost", "minContentBoost"),
                      ("gamma", "gamma"), ("offset_sdr", "offsetSdr"), ("offset_hdr", "offsetHdr")):
        assert m[key] == pytest.approx(want[name] * (3 // len(want[name])), rel=1e-4), key
    assert m["hdr_capacity_max"] == pytest.approx(want["hdrCapacityMax"][0], rel=1e-4)
    assert 3.5 < max(m["max_content_boost"]) < 4.5  # the spot's boost
    assert ImageCms.ImageCmsProfile(io.BytesIO(p["icc"])).profile.xcolor_space.strip() == "RGB"


def test_probe_and_gain_map_of_a_hand_built_ultra_hdr_file():
    data, map_jpeg = ultra_hdr_by_hand()
    p = _uhdr.probe(data)
    assert (p["form"], p["xmp"], p["iso"], p["error"]) == ("ultrahdr", True, False, None)
    assert (p["gain_map_size"], p["gain_map_channels"]) == ((80, 60), 1)
    m = p["metadata"]  # the XMP's log2 values, linear
    assert m["max_content_boost"] == pytest.approx((4, 4, 4)) and m["min_content_boost"] == pytest.approx((1, 1, 1))
    assert m["hdr_capacity_max"] == pytest.approx(4) and m["offset_sdr"] == pytest.approx((0.015625,) * 3)
    mode, size, pixels, metadata = _uhdr.gain_map(data, 80 * 60)
    assert (mode, size, metadata) == ("L", (80, 60), m)
    assert pixels == Image.open(io.BytesIO(map_jpeg)).tobytes()


def test_gain_map_pixels_are_the_second_picture(iso_file):
    data, channels = iso_file
    mode, size, pixels, _ = _uhdr.gain_map(data, 0)
    with Image.open(io.BytesIO(data)) as mpo:
        mpo.seek(1)
        want = mpo.convert(mode)
    assert (mode, size) == (("L", "RGB")[channels == 3], want.size)
    diff = np.abs(np.frombuffer(pixels, np.uint8).astype(int) - np.asarray(want, int).ravel())
    assert diff.max() <= 2  # libjpeg's and Pillow's colour conversion may round apart


def test_gain_map_past_the_pixel_limit_is_refused_before_decoding():
    data, _ = ultra_hdr_by_hand()
    with pytest.raises(_uhdr.LimitError, match="4800 pixels, more than the limit of 4799"):
        _uhdr.gain_map(data, 80 * 60 - 1)


@pytest.mark.parametrize("data", [
    jpeg(fs.card()),
    jpeg(fs.card(), xmp=b'<x:xmpmeta xmlns:x="adobe:ns:meta/"/>'),
    b"\x89PNG\r\n\x1a\n" + bytes(40),
    b"",
], ids=["plain", "plain-xmp", "png", "empty"])
def test_files_without_a_gain_map_probe_as_none(data):
    assert _uhdr.probe(data) is None


def test_a_multi_picture_jpeg_without_gain_map_metadata_probes_as_none():
    out = io.BytesIO()
    fs.card().save(out, "MPO", save_all=True, append_images=[fs.card((48, 32))])
    assert _uhdr.probe(out.getvalue()) is None


# ---- damaged gain maps: never an exception from probe, the base untouched

def damaged(kind):
    data, map_jpeg = ultra_hdr_by_hand(mpf_offset=10**7 if kind == "mpf-past-end" else None)
    if kind == "cut-in-map":
        return data[:-len(map_jpeg) // 2]
    if kind == "cut-in-map-headers":
        return data[:-len(map_jpeg) + 40]
    if kind == "map-absent":
        return ultra_hdr_by_hand(with_map=False)[0]
    if kind == "map-scrambled":  # headers intact, the gain map's coded data overwritten
        return data[:-300] + b"\x00\x7f" * 25 + b"\xff\xd5" + b"\x00\x7f" * 24 + data[-200:]
    return data


@pytest.mark.parametrize("kind, probe_fails, map_fails", [
    ("cut-in-map", True, True),
    ("cut-in-map-headers", True, True),
    ("map-absent", True, True),
    ("map-scrambled", False, True),
    ("mpf-past-end", False, False),  # libultrahdr finds the map behind the primary all the same
])
def test_a_damaged_gain_map_is_answered_not_raised(kind, probe_fails, map_fails, capfd):
    data = damaged(kind)
    p = _uhdr.probe(data)
    assert p["form"] == "ultrahdr" and (p["error"] is not None) == probe_fails
    assert (p["metadata"] is None) == probe_fails
    if map_fails:
        with pytest.raises(_uhdr.UhdrError):
            _uhdr.gain_map(data, 0)
    else:
        assert _uhdr.gain_map(data, 0)[2] == _uhdr.gain_map(damaged("intact"), 0)[2]
    assert fs.same_card(Image.open(io.BytesIO(data)))  # the SDR base reads as before
    assert capfd.readouterr().out == ""  # libultrahdr's complaints never reach standard output


# ---- join

def psnr_pq(a, b):
    """PSNR of two RGBA 10:10:10:2 renditions over their 10-bit RGB samples."""
    def rgb(raw):
        words = np.frombuffer(raw, "<u4")
        return np.stack([(words >> s) & 1023 for s in (0, 10, 20)]).astype(np.float64)
    mse = np.mean((rgb(a) - rgb(b)) ** 2)
    return 10 * np.log10(1023**2 / max(mse, 1e-12))


@needs_app
@pytest.mark.parametrize("with_metadata", [False, True], ids=["bare", "exif-icc"])
def test_join_of_re_encoded_base_and_gain_map_decodes_to_the_source_hdr(iso_file, with_metadata, tmp_path):
    data, channels = iso_file
    p = _uhdr.probe(data)
    with Image.open(io.BytesIO(data)) as mpo:
        base = jpeg(mpo.convert("RGB"))
    mode, size, pixels, metadata = _uhdr.gain_map(data, 0)
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    extra = {"exif": fs.exif(make="Joined"), "icc": icc} if with_metadata else {}
    joined = _uhdr.join(base, jpeg(Image.frombytes(mode, size, pixels)), metadata, **extra)

    q = _uhdr.probe(joined)
    assert (q["error"], q["gain_map_size"], q["gain_map_channels"]) == (None, size, channels)
    assert q["metadata"]["max_content_boost"] == pytest.approx(metadata["max_content_boost"], rel=1e-3)
    if with_metadata:
        assert q["icc"] == icc and Image.open(io.BytesIO(joined)).getexif()[0x010F] == "Joined"
        assert joined.count(b"ICC_PROFILE\0") == 1 and joined[:joined.find(b"\xff\xd8", 2)].count(b"Exif\0\0") == 1
    renditions = []
    for name, file in (("source.jpg", data), ("joined.jpg", joined)):
        (tmp_path / name).write_bytes(file)
        app("-m", 1, "-j", name, "-o", 2, "-O", 5, "-z", name + ".raw", cwd=tmp_path)
        renditions.append((tmp_path / (name + ".raw")).read_bytes())
    assert psnr_pq(*renditions) >= 35
    assert psnr_pq(_uhdr.hdr(joined, "pq", 0)[2], renditions[1]) >= 50  # hdr() is libultrahdr's own decode


@pytest.mark.parametrize("change, error, message", [
    (lambda a: {**a, "base": b"GIF89a"}, _uhdr.UhdrError, "the base is not a JPEG"),
    (lambda a: {**a, "map": a["map"][:30]}, _uhdr.UhdrError, "the gain map is not a JPEG"),
    (lambda a: {**a, "metadata": {k: v for k, v in a["metadata"].items() if k != "gamma"}}, ValueError, "no 'gamma'"),
    (lambda a: {**a, "metadata": {**a["metadata"], "gamma": (1, 1)}}, ValueError, "one number or three, not 2"),
    (lambda a: {**a, "metadata": {**a["metadata"], "max_content_boost": -2.0}}, ValueError, "must be positive"),
    (lambda a: {**a, "metadata": {**a["metadata"], "offset_sdr": float("nan")}}, ValueError, "finite number"),
    (lambda a: {**a, "metadata": None}, TypeError, "metadata must be a dict"),
], ids=["base-not-jpeg", "map-cut", "key-missing", "two-channels", "negative-boost", "nan", "not-a-dict"])
def test_join_refuses_bad_input_clearly(change, error, message):
    data, map_jpeg = ultra_hdr_by_hand()
    good = {"base": jpeg(fs.card()), "map": map_jpeg, "metadata": _uhdr.probe(data)["metadata"]}
    assert _uhdr.probe(_uhdr.join(good["base"], good["map"], good["metadata"]))["error"] is None
    bad = change(good)
    with pytest.raises(error, match=message):
        _uhdr.join(bad["base"], bad["map"], bad["metadata"])
