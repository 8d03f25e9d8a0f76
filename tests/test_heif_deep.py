"""framewick.formats._heif at depth and with Apple's HDR gain map: 10 and 12-bit pictures read
and written as 16-bit samples (checked against libheif's own heif-dec), and the gain map stored
as an auxiliary image and read back (checked with heif-dec and ExifTool)."""

import shutil
import struct
import subprocess

import numpy as np
import pytest
from PIL import Image

import formats_support as fs

_heif = pytest.importorskip("framewick.formats._heif", reason="built without libheif")
_png = pytest.importorskip("framewick.formats._png", reason="built without libpng")

HEIF_DEC, EXIFTOOL = shutil.which("heif-dec"), shutil.which("exiftool")
needs_tools = pytest.mark.skipif(fs.HEIF_ENC is None or HEIF_DEC is None, reason="libheif-examples are not installed")
APPLE = "urn:com:apple:photo:2020:aux:hdrgainmap"


def smooth(width, height, channels):
    """A 16-bit picture of smooth ramps (so that HEVC keeps it close), every channel different."""
    x = np.linspace(0, 1, width)[None, :, None]
    y = np.linspace(0, 1, height)[:, None, None]
    c = np.arange(channels)[None, None, :]
    ramp = (x * (c + 1) + y * (4 - c)) / 5
    return np.rint(ramp * 65535).astype(np.uint16)


def decoded16(data, via_rgb=False):
    mode, (w, h), pixels = _heif.decode(data, 0, via_rgb, bits=16)
    return mode, np.frombuffer(pixels, "=u2").reshape(h, w, len(mode))


def heif_dec(tmp_path, data, *extra):
    (tmp_path / "in.heic").write_bytes(data)
    done = subprocess.run([HEIF_DEC, *extra, str(tmp_path / "in.heic"), str(tmp_path / "out.png")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done


def coded_by_heif_dec(path, bits):
    """The samples heif-dec decoded, from its 16-bit PNG: it shifts them up (1023 becomes 65472),
    where framewick scales them to the full range (1023 becomes 65535)."""
    found = _png.read(path.read_bytes(), 0)
    assert found["bits"] == 16
    pixels = np.frombuffer(found["pixels"], "=u2").reshape(found["height"], found["width"], found["channels"])
    return pixels >> (16 - bits)


def coded(ours, bits):
    top = (1 << bits) - 1
    back = (ours.astype(np.int64) * top + 32767) // 65535
    assert np.array_equal((back * 65535 + top // 2) // top, ours)  # v * 65535 / (2^bits - 1), rounded
    return back


# ---- the picture at depth

@needs_tools
@pytest.mark.parametrize("bits", [10, 12])
@pytest.mark.parametrize("channels", [1, 3, 4], ids=["grey", "RGB", "RGBA"])
def test_heif_enc_deep_picture_decodes_as_heif_dec_writes_it(channels, bits, tmp_path):
    picture = smooth(72, 40, channels)
    if channels == 1:
        Image.fromarray(picture[..., 0]).save(tmp_path / "src.png")  # Pillow's I;16
    else:
        (tmp_path / "src.png").write_bytes(_png.write(picture.tobytes(), 72, 40, channels, 16))
    fs.heif_enc("-b", bits, "-q", 90, "-o", tmp_path / "deep.heic", tmp_path / "src.png")
    data = (tmp_path / "deep.heic").read_bytes()
    mode, ours = decoded16(data)
    heif_dec(tmp_path, data)
    assert mode == ("RGBA" if channels == 4 else "RGB") and _heif.read(data, 0)["bit_depth"] == bits
    assert np.array_equal(coded(ours, bits), coded_by_heif_dec(tmp_path / "out.png", bits))


@pytest.mark.parametrize("via_rgb", [False, True])
@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_an_8_bit_file_at_16_bits_is_its_8_bit_picture_widened(mode, via_rgb):
    data = _heif.encode(fs.card(mode=mode).tobytes(), mode, 96, 64, 90, None, None, None, 6)
    _, size, eight = _heif.decode(data, 0, via_rgb)
    _, sixteen = decoded16(data, via_rgb)
    assert sixteen.shape[1::-1] == size == (64, 96)
    assert np.array_equal(sixteen, np.frombuffer(eight, np.uint8).reshape(sixteen.shape).astype(np.uint16) * 257)
    # The decoder (the planar path) hands out its rows at the same depth.
    _, _, decoder = _heif.decoder(data, 0, bits=16)
    assert _heif.rows(decoder, 10, 5) == decoded16(data)[1][10:15].tobytes()


@pytest.mark.parametrize("depth", [None, 10, 12])
@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_16_bit_pixels_are_coded_deep_and_come_back_close(mode, depth):
    picture = smooth(96, 64, len(mode))
    data = _heif.encode(picture.tobytes(), mode, 96, 64, 95, None, None, None, 1, bits=16, depth=depth)
    assert _heif.read(data, 0)["bit_depth"] == (depth or 10)
    got_mode, back = decoded16(data)
    error = np.abs(back.astype(np.int64) - picture)
    assert got_mode == mode and error.mean() < 160 and error.max() < 1500, (error.mean(), error.max())
    assert len(np.unique(back[..., 0])) > 256  # more levels than 8 bits hold


def _damaged_deep():
    data = _heif.encode(smooth(64, 40, 4).tobytes(), "RGBA", 64, 40, 90, None, None, None, 1, bits=16)
    cases = {f"cut at {k}": data[:k] for k in (40, len(data) // 2, len(data) - 8)}
    for seed in range(4):
        flipped = bytearray(data)
        flipped[seed::max(1, len(data) // 9)] = bytes(b ^ 0x5A for b in flipped[seed::max(1, len(data) // 9)])
        cases[f"bits flipped {seed}"] = bytes(flipped)
    return cases


@pytest.mark.parametrize("label", list(_damaged_deep()))
def test_a_damaged_deep_file_is_one_error_or_a_whole_picture(label):
    blob = _damaged_deep()[label]
    try:
        mode, (w, h), pixels = _heif.decode(blob, 0, bits=16)
    except _heif.HeifError as error:
        assert "\n" not in str(error)
    else:  # a flip libheif cannot notice (in the pixels)
        assert (mode, w, h, len(pixels)) == ("RGBA", 64, 40, 64 * 40 * 4 * 2)


@needs_tools
def test_a_10_bit_encode_is_what_heif_dec_reads(tmp_path):
    picture = smooth(80, 48, 3)
    data = _heif.encode(picture.tobytes(), "RGB", 80, 48, 90, None, None, None, 6, bits=16)
    heif_dec(tmp_path, data)
    assert np.array_equal(coded(decoded16(data)[1], 10), coded_by_heif_dec(tmp_path / "out.png", 10))


@pytest.mark.parametrize("kw,message", [
    ({"bits": 12}, "bits must be 8 or 16"),
    ({"depth": 16}, "depth must be 8, 10 or 12"),
    ({"bits": 16, "pixels": bytes(96 * 64 * 3)}, "bytes of pixels for 96x64 with 3 channels of 16 bits"),
    ({"gain_map": (bytes(12), "RGBA", 2, 2)}, "gain map mode must be 'L' or 'RGB'"),
    ({"gain_map": (bytes(5), "L", 2, 2)}, "5 bytes of pixels for 2x2"),
    ({"gain_map": (bytes(4), "L", 2, 2), "headroom": 2.0, "gain_map_xmp": b"<x/>"}, "headroom or its XMP, not both"),
    ({"headroom": 2.0}, "need a gain_map"),
    ({"gain_map": (bytes(4), "L", 2, 2), "headroom": -1.0}, "headroom must be between 0 and 1000"),
])
def test_bad_arguments_are_one_clear_error(kw, message):
    pixels = kw.pop("pixels", fs.card().tobytes())
    with pytest.raises(ValueError, match=message):
        _heif.encode(pixels, "RGB", 96, 64, 90, None, None, None, 1, **kw)


# ---- the gain map

def with_gain_map(gain, orientation=1, primary=None, **kw):
    primary = primary or fs.card()
    return _heif.encode(fs.stored(primary, orientation).tobytes(), primary.mode, *fs.stored(primary, orientation).size,
                        92, None, b"<x:xmpmeta/>", None, orientation,
                        gain_map=(gain.tobytes(), gain.mode, *gain.size), **kw)


def gain_picture(mode, size=(48, 32)):
    """A gain map whose halves differ (left dark, right bright), so that a turn shows."""
    im = Image.new(mode, size, 40 if mode == "L" else (40, 60, 80))
    im.paste(220 if mode == "L" else (220, 200, 180), (size[0] // 2, 0, *size))
    return im


@pytest.mark.parametrize("orientation", [1, 6, 7])
@pytest.mark.parametrize("mode", ["L", "RGB"])
def test_gain_map_written_and_read_back_upright(mode, orientation):
    upright = gain_picture(mode)
    data = with_gain_map(fs.stored(upright, orientation), orientation, headroom=2.25)
    facts = _heif.read(data, 0)
    assert facts["gain_map"] and facts["images"] == 1 and facts["xmp"] == b"<x:xmpmeta/>"  # the primary stays primary
    assert fs.same_card(Image.frombytes(*_heif.decode(data, 0)))
    found = _heif.gain_map(data, 0)
    assert (found["type"], found["mode"], found["size"], found["error"]) == (APPLE, mode, upright.size, None)
    assert found["headroom"] == 2.25 and b"HDRGainMapHeadroom" in found["xmp"]
    back = np.asarray(Image.frombytes(found["mode"], found["size"], found["pixels"]), dtype=int)
    assert np.abs(back - np.asarray(upright, dtype=int)).mean() < 4


@pytest.mark.parametrize("xmp,headroom", [
    (b'<rdf:Description HDRGainMap:HDRGainMapHeadroom="1.75"/>', 1.75),
    (b"<HDRGainMap:HDRGainMapHeadroom>\n 3e0</HDRGainMap:HDRGainMapHeadroom>", 3.0),
    (b"<HDRGainMap:HDRGainMapHeadroom>high</HDRGainMap:HDRGainMapHeadroom>", None),
    (b"<x:xmpmeta/>", None),
])
def test_a_gain_maps_own_xmp_is_carried_as_given(xmp, headroom):
    found = _heif.gain_map(with_gain_map(gain_picture("L"), gain_map_xmp=xmp), 0)
    assert found["xmp"] == xmp and found["headroom"] == headroom and found["pixels"]


def test_pictures_without_a_gain_map_have_none():
    assert _heif.gain_map(_heif.encode(fs.card().tobytes(), "RGB", 96, 64, 90, None, None, None, 1), 0) is None


@needs_tools
@pytest.mark.skipif(EXIFTOOL is None, reason="exiftool is not installed")
def test_libheif_and_exiftool_see_apples_gain_map(tmp_path):
    data = with_gain_map(gain_picture("L", (40, 30)), 1, headroom=1.5)
    heif_dec(tmp_path, data, "--with-aux", "--no-colons")
    with Image.open(tmp_path / "out-urn_com_apple_photo_2020_aux_hdrgainmap.png") as aux:
        assert aux.size == (40, 30) and abs(aux.convert("L").getpixel((35, 5)) - 220) < 6
    tags = subprocess.run([EXIFTOOL, "-s", "-HDRGainMap*", "-AuxiliaryImageType", str(tmp_path / "in.heic")],
                          capture_output=True, text=True, timeout=60).stdout
    assert "HDRGainMapHeadroom" in tags and "1.5" in tags and APPLE in tags


def apple_exif(entries, header=b"Apple iOS\0\0\x01MM", cut=None):
    """EXIF (big-endian) whose Exif IFD holds Apple's maker note with `entries`: (tag, type, (n, d))."""
    values = 14 + 2 + 12 * len(entries) + 4
    ifd = struct.pack(">H", len(entries)) + b"".join(
        struct.pack(">HHII", tag, kind, 1, values + 8 * i) for i, (tag, kind, _) in enumerate(entries)) + bytes(4)
    note = header + ifd + b"".join(struct.pack(">II", *fraction) for _, _, fraction in entries)
    note = note[:cut]
    tiff = b"MM\0\x2a" + struct.pack(">IHHHII", 8, 1, 0x8769, 4, 1, 26) + bytes(4)
    tiff += struct.pack(">HHHII", 1, 0x927C, 7, len(note), 44) + bytes(4) + note
    return b"Exif\0\0" + tiff


SRATIONAL, RATIONAL = 10, 5


@pytest.mark.parametrize("exif,expected", [
    (apple_exif([(33, SRATIONAL, (3, 2)), (48, SRATIONAL, (1, 100))]), (1.5, 0.01)),
    (apple_exif([(33, RATIONAL, (5, 4))]), (1.25, None)),
    (apple_exif([(33, SRATIONAL, (3, 0)), (48, SRATIONAL, (0xFFFFFFFF, 4))]), (None, -0.25)),
    (apple_exif([(33, SRATIONAL, (3, 2))], cut=30), (None, None)),
    (apple_exif([(33, SRATIONAL, (3, 2))], header=b"Nikon\0\0\0\0\0\0\x01MM"), (None, None)),
    (None, (None, None)),
], ids=["both", "headroom alone", "zero denominator", "note cut short", "not Apple's", "no EXIF"])
def test_apples_maker_note_values_come_with_the_gain_map(exif, expected):
    data = _heif.encode(fs.card().tobytes(), "RGB", 96, 64, 90, exif, None, None, 1,
                        gain_map=(bytes(48 * 32), "L", 48, 32), headroom=2.0)
    found = _heif.gain_map(data, 0)
    assert (found["maker_headroom"], found["maker_gain"]) == expected and found["pixels"]


def _damaged_gain_maps():
    """The primary's data untouched, the gain map's coded data (after it in the file) broken."""
    primary = Image.effect_noise((64, 48), 60).convert("RGB")
    plain = _heif.encode(primary.tobytes(), "RGB", 64, 48, 92, None, None, None, 1)
    data = with_gain_map(gain_picture("L"), primary=primary, headroom=2.0)
    start = data.index(b"mdat") + len(plain) - plain.index(b"mdat")  # the primary's data comes first
    end = data.index(b"<?xpacket", start)
    assert data[:start].endswith(plain[plain.index(b"mdat"):])
    return {"zeroed": data[:start] + bytes(end - start) + data[end:],
            "NAL length past the end": data[:start] + b"\xff\xff\xff\xff" + data[start + 4:]}


@pytest.mark.parametrize("damage", ["zeroed", "NAL length past the end", "over the pixel limit"])
def test_a_damaged_gain_map_never_fails_the_picture(damage):
    limit = 0
    if damage == "over the pixel limit":  # the gain map alone over it: never decoded
        data, limit = with_gain_map(gain_picture("L", (100, 80)), headroom=2.0), 96 * 64
    else:
        data = _damaged_gain_maps()[damage]
    assert _heif.read(data, limit)["gain_map"]
    size = _heif.decode(data, limit)[1]
    found = _heif.gain_map(data, limit)
    assert found["pixels"] is None and found["mode"] is None and found["headroom"] == 2.0, found
    assert found["error"].startswith("the gain map") and "\n" not in found["error"]
    assert size == ((96, 64) if limit else (64, 48))
    if limit:  # the primary's own limit is still the file's
        with pytest.raises(_heif.LimitError):
            _heif.gain_map(data, limit - 1)
