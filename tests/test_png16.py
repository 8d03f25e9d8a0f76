"""framewick.formats._png: 8 and 16-bit PNG on libpng, checked against Pillow's reading and
against files built chunk by chunk here; also the codec binding's argument checks."""

import io
import struct
import zlib

import numpy as np
import pytest
from PIL import Image, ImageCms

_png = pytest.importorskip("framewick.formats._png", reason="built without libpng")

DTYPE = {8: np.uint8, 16: np.uint16}


def gradient(width, height, channels, bits):
    """A picture whose samples differ everywhere, spanning the whole range of `bits`."""
    top = (1 << bits) - 1
    index = np.arange(width * height * channels, dtype=np.uint64).reshape(height, width, channels)
    return (index * 7919 % (top + 1)).astype(DTYPE[bits])


def pixels_of(found):
    return np.frombuffer(found["pixels"], DTYPE[found["bits"]]).reshape(found["height"], found["width"],
                                                                          found["channels"])


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png_file(samples, colour_type, *, interlace=False, extra=b""):
    """A PNG written here, independently of libpng: `samples` (height, width, channels) of uint8 or
    uint16, stored big-endian, every row unfiltered; Adam7 passes when `interlace`."""
    height, width = samples.shape[:2]
    bits = samples.dtype.itemsize * 8
    big = samples.astype(samples.dtype.newbyteorder(">"))
    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
    data = b""
    for x0, y0, dx, dy in passes if interlace else [(0, 0, 1, 1)]:
        part = big[y0::dy, x0::dx]
        if part.size:
            data += b"".join(b"\0" + row.tobytes() for row in part)
    ihdr = struct.pack(">IIBBBBB", width, height, bits, colour_type, 0, 0, 1 if interlace else 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + chunk(b"IDAT", zlib.compress(data))
            + chunk(b"IEND", b""))


@pytest.mark.parametrize("bits", [8, 16])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_write_then_read_keeps_every_sample_and_pillow_agrees(channels, bits):
    picture = gradient(37, 23, channels, bits)
    file = _png.write(picture, 37, 23, channels, bits)
    found = _png.read(file, 0)
    assert (found["channels"], found["bits"]) == (channels, bits)
    assert np.array_equal(pixels_of(found), picture)
    seen = np.asarray(Image.open(io.BytesIO(file))).reshape(23, 37, -1)
    if seen.shape[2] == 4 and channels == 2:  # Pillow reads 16-bit grey + alpha as RGBA
        seen = seen[..., [0, 3]]
    # Pillow keeps 16-bit grey and reads 16-bit colour as its high bytes: both prove the file big-endian.
    expected = picture if bits == 8 or channels == 1 else (picture >> 8).astype(np.uint8)
    assert np.array_equal(seen, expected)


@pytest.mark.parametrize("colour_type, channels", [(0, 1), (4, 2), (2, 3), (6, 4)])
@pytest.mark.parametrize("interlace", [False, True])
def test_reads_sixteen_bit_files_written_elsewhere_whole_and_in_bands(colour_type, channels, interlace):
    picture = gradient(19, 13, channels, 16)
    file = png_file(picture, colour_type, interlace=interlace)
    found = _png.read(file, 0)
    assert found["interlaced"] is interlace and np.array_equal(pixels_of(found), picture)
    head, decoder = _png.decoder(file, 0)
    bands = [_png.rows(decoder, 5) for _ in range(4)]
    assert [len(b) // (19 * channels * 2) for b in bands] == [5, 5, 3, 0]
    assert b"".join(bands) == found["pixels"] and "pixels" not in head


@pytest.mark.parametrize("colour_type, key, channels", [(0, struct.pack(">H", 700), 2),
                                                        (2, struct.pack(">HHH", 700, 701, 702), 4)])
def test_sixteen_bit_trns_becomes_an_alpha_channel(colour_type, key, channels):
    picture = gradient(9, 5, channels - 1, 16)
    picture[2, 3] = [700, 701, 702][: channels - 1]
    found = _png.read(png_file(picture, colour_type, extra=chunk(b"tRNS", key)), 0)
    alpha = pixels_of(found)[..., -1]
    assert found["transparency"] and found["channels"] == channels and found["bits"] == 16
    assert alpha[2, 3] == 0 and (alpha == 0).sum() == 1 and alpha.max() == 65535


@pytest.mark.parametrize("mode, save, channels", [
    ("P", {"transparency": 1}, 4), ("1", {}, 1), ("L", {"bits": 4}, 1), ("I;16", {}, 1), ("LA", {}, 2)])
def test_low_depth_and_palette_files_expand_to_eight_bits(mode, save, channels):
    im = Image.fromarray(gradient(16, 8, 1, 8)[..., 0]).convert(mode if mode != "I;16" else "L")
    if mode == "I;16":
        im = Image.fromarray(gradient(16, 8, 1, 16)[..., 0])
    elif mode == "P":
        im = im.quantize(16)
    buffer = io.BytesIO()
    im.save(buffer, "PNG", **save)
    found = _png.read(buffer.getvalue(), 0)
    reference = Image.open(io.BytesIO(buffer.getvalue()))
    reference = reference.convert("RGBA" if mode == "P" else reference.mode if mode in ("I;16", "LA") else "L")
    assert found["channels"] == channels
    assert np.array_equal(pixels_of(found).squeeze(), np.asarray(reference))


def test_metadata_round_trip_and_pillow_reads_it():
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    exif = Image.Exif()
    exif[0x010F] = "Maker"
    # exif.tobytes() starts with JPEG's "Exif\0\0" marker, which eXIf does not hold.
    file = _png.write(gradient(8, 4, 3, 16), 8, 4, 3, 16, icc=icc, dpi=(300, 150), exif=exif.tobytes(),
                      text={"Title": "café", "Comment": "☃ snow"}, compress_level=9)
    found = _png.read(file, 0)
    assert found["icc"] == icc and found["text"] == {"Title": "café", "Comment": "☃ snow"}
    assert found["dpi"] == pytest.approx((300, 150), rel=1e-3) and found["exif"].startswith(b"MM\0*")
    seen = Image.open(io.BytesIO(file))
    assert seen.info["icc_profile"] == icc and seen.text == found["text"] and seen.getexif()[0x010F] == "Maker"


def test_colour_chunks_are_reported():
    extra = (chunk(b"gAMA", struct.pack(">I", 45455)) + chunk(b"sRGB", b"\1")
             + chunk(b"cHRM", struct.pack(">8I", 31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000)))
    found = _png.read(png_file(gradient(4, 4, 3, 8), 2, extra=extra), 0)
    assert found["gamma"] == pytest.approx(0.45455) and found["srgb"] == 1
    assert found["chrm"] == pytest.approx((0.3127, 0.329, 0.64, 0.33, 0.3, 0.6, 0.15, 0.06))


def damaged_files():
    good = png_file(gradient(64, 48, 3, 16), 2)
    idat = good.index(b"IDAT")
    flipped = bytearray(good)
    flipped[idat + 40] ^= 0xFF
    return [("truncated in IDAT", good[: idat + 200], "truncated"), ("no IEND", good[:-12], "truncated"),
            ("CRC", bytes(flipped), "damaged"), ("header only", good[:20], "truncated"),
            ("not a PNG", b"GIF89a" + good[6:], "not a PNG file")]


@pytest.mark.parametrize("name, file, words", damaged_files(), ids=lambda v: v if isinstance(v, str) else "")
def test_damaged_files_are_refused_with_one_line(name, file, words, capfd):
    with pytest.raises(_png.PngError, match=words) as caught:
        _png.read(file, 0)
    assert "\n" not in str(caught.value) and not isinstance(caught.value, _png.LimitError)
    assert capfd.readouterr().err == ""


def test_pixel_limit_is_checked_from_the_header_before_any_row():
    # A header claiming 40000 x 40000 with no picture data: the limit answers, not the truncation.
    huge = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 40000, 40000, 16, 2, 0, 0, 0))
    with pytest.raises(_png.LimitError, match="40000x40000, more than the limit of 1000000 pixels"):
        _png.read(huge, 1_000_000)
    with pytest.raises(_png.LimitError):
        _png.decoder(huge, 1_000_000)


def test_a_decoder_refuses_every_band_after_damage():
    file = damaged_files()[0][1]
    _, decoder = _png.decoder(file, 0)
    for _ in range(2):
        with pytest.raises(_png.PngError, match="truncated"):
            _png.rows(decoder, 48)


@pytest.mark.parametrize("call, error, words", [
    (lambda: _png.read(b""), TypeError, r"read\(\) takes exactly 2 arguments \(1 given\)"),
    (lambda: _png.read(b"", 0, max_pixels=1), TypeError, "takes no keyword arguments"),
    (lambda: _png.read(b"", -1), ValueError, "max_pixels must be between 0 and"),
    (lambda: _png.write(b"\0" * 4, 2, 2, 1, 8, dpi=72, colour=1), TypeError, "unexpected keyword argument 'colour'"),
    (lambda: _png.write(b"\0" * 4, 2, 2, 1, 12), ValueError, "bits must be 8 or 16"),
    (lambda: _png.write(b"\0" * 3, 2, 2, 1, 8), ValueError, "3 bytes of pixels for 2x2 with 1 channels"),
    (lambda: _png.write(b"\0" * 4, 2, 2, 1, 8, text={"": "x"}), ValueError, "1 to 79 Latin-1"),
    (lambda: _png.write(b"\0" * 4, 2, 2, 1, 8, dpi=(72,)), ValueError, "not enough values"),
    (lambda: _png.write(b"\0" * 4, 2, 2, 1, 8, compress_level=10), ValueError, "compress_level"),
    (lambda: _png.rows(object(), 1), ValueError, "PyCapsule"),
])
def test_arguments_are_checked_before_any_work(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_threads_decode_at_once_and_a_decoder_serves_one_thread_at_a_time():
    from concurrent.futures import ThreadPoolExecutor
    pictures = [gradient(400, 300, 4, 16) + i for i in range(6)]
    files = [_png.write(p, 400, 300, 4, 16, compress_level=1) for p in pictures]
    with ThreadPoolExecutor(6) as pool:
        results = list(pool.map(lambda f: pixels_of(_png.read(f, 0)), files * 2))
    assert all(np.array_equal(r, pictures[i % 6]) for i, r in enumerate(results))
    _, decoder = _png.decoder(files[0], 0)
    with ThreadPoolExecutor(4) as pool:
        bands = list(pool.map(lambda _: _try_rows(decoder), range(300)))
    done = [b for b in bands if isinstance(b, bytes)]
    # Every band a thread got is one whole row; together they are the picture's first rows.
    rows = [pictures[0][r].tobytes() for r in range(len(done))]
    assert len(done) + bands.count("busy") == 300 and sorted(done) == sorted(rows)


def _try_rows(decoder):
    try:
        return _png.rows(decoder, 1)
    except RuntimeError as error:
        assert "in use by another thread" in str(error)
        return "busy"
