"""framewick.formats._tiff: 8 and 16-bit and float TIFF on libtiff, in memory, checked against files
tifffile and Pillow write and against their reading of ours."""

import io

import numpy as np
import pytest
import tifffile
from PIL import Image

_tiff = pytest.importorskip("framewick.formats._tiff", reason="built without libtiff")

DTYPE = {8: np.uint8, 16: np.uint16, 32: np.float32}


def gradient(width, height, channels, dtype):
    index = np.arange(width * height * channels, dtype=np.float64).reshape(height, width, channels)
    if dtype == np.float32:
        return (index / index.size - 0.25).astype(np.float32)  # below 0 too: floats are not clipped
    return (index * 7919 % (np.iinfo(dtype).max + 1)).astype(dtype)


def pixels_of(found):
    return np.frombuffer(found["pixels"], DTYPE[found["bits"]]).reshape(found["height"], found["width"],
                                                                          found["channels"])


def tifffile_bytes(picture, **options):
    channels = picture.shape[2]
    if options.get("planarconfig") == "separate":
        picture = picture.transpose(2, 0, 1)
    elif channels == 1:
        picture = picture[..., 0]
    buffer = io.BytesIO()
    extrasamples = {"extrasamples": ["unassalpha"]} if channels in (2, 4) else {}
    tifffile.imwrite(buffer, picture, photometric="rgb" if channels >= 3 else "minisblack",
                     **extrasamples, **options)
    return buffer.getvalue()


LAYOUTS = {
    "strips": {}, "big-endian": {"byteorder": ">"}, "planar": {"planarconfig": "separate"},
    "tiled": {"tile": (16, 16)}, "deflate": {"compression": "zlib"},
    "deflate+predictor": {"compression": "zlib", "predictor": True}, "strips of 5 rows": {"rowsperstrip": 5},
    "tiled planar big-endian deflate": {"tile": (16, 32), "planarconfig": "separate", "byteorder": ">",
                                        "compression": "zlib"},
    "BigTIFF": {"bigtiff": True},
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("channels, dtype", [(3, np.uint16), (4, np.uint16), (1, np.uint8), (2, np.float32)])
def test_reads_what_tifffile_writes(layout, channels, dtype):
    if layout == "deflate+predictor" and dtype == np.float32:
        pytest.skip("tifffile writes the floating-point predictor only with imagecodecs")
    picture = gradient(37, 21, channels, dtype)
    found = _tiff.read(tifffile_bytes(picture, **LAYOUTS[layout]), 0)
    assert found["sample_format"] == ("float" if dtype == np.float32 else "uint")
    assert found["alpha"] == ("unassociated" if channels in (2, 4) else None)
    assert np.array_equal(pixels_of(found), picture)


@pytest.mark.parametrize("compression, predictor", [("deflate", True), ("deflate", False), ("none", False)])
@pytest.mark.parametrize("channels, bits", [(1, 8), (2, 16), (3, 16), (4, 16), (3, 8), (3, "float")])
def test_tifffile_reads_what_we_write(channels, bits, compression, predictor):
    if bits == "float" and predictor:
        pytest.skip("tifffile reads the floating-point predictor only with imagecodecs")
    picture = gradient(29, 17, channels, DTYPE[32 if bits == "float" else bits])
    file = _tiff.write(picture, 29, 17, channels, bits, compression=compression, predictor=predictor)
    with tifffile.TiffFile(io.BytesIO(file)) as tif:
        page = tif.pages[0]
        assert page.compression == (8 if compression == "deflate" else 1)
        assert np.array_equal(page.asarray().reshape(picture.shape), picture)


@pytest.mark.parametrize("array, bits", [(gradient(31, 9, 1, np.uint16)[..., 0], 16),
                                         (gradient(31, 9, 1, np.float32)[..., 0], "float")])
def test_lzw_both_ways_with_pillow(array, bits):
    buffer = io.BytesIO()
    Image.fromarray(array).save(buffer, "TIFF", compression="tiff_lzw")
    found = _tiff.read(buffer.getvalue(), 0)
    assert found["compression"] == 5 and np.array_equal(pixels_of(found)[..., 0], array)
    ours = _tiff.write(array, 31, 9, 1, bits, compression="lzw")
    assert np.array_equal(np.asarray(Image.open(io.BytesIO(ours))), array)


@pytest.mark.parametrize("alpha, stored", [("associated", "associated"), ("unassociated", "unassociated"),
                                           (None, "unspecified")])
def test_metadata_round_trip(alpha, stored):
    icc = bytes(range(256))
    file = _tiff.write(gradient(8, 4, 4, np.uint16), 8, 4, 4, 16, icc=icc, dpi=(300, 150), alpha=alpha)
    found = _tiff.read(file, 0)
    assert (found["icc"], found["dpi"], found["alpha"]) == (icc, (300, 150), stored)
    with tifffile.TiffFile(io.BytesIO(file)) as tif:
        assert tif.pages[0].tags[34675].value == icc


def test_resolution_in_centimetres_and_orientation_are_reported():
    file = tifffile_bytes(gradient(4, 4, 3, np.uint16), resolution=(100, 50), resolutionunit="CENTIMETER",
                          extratags=[(274, "H", 1, 6, True)])
    found = _tiff.read(file, 0)
    assert found["dpi"] == pytest.approx((254, 127)) and found["orientation"] == 6


def test_min_is_white_grey_is_turned_round():
    picture = gradient(8, 4, 1, np.uint16)
    buffer = io.BytesIO()
    tifffile.imwrite(buffer, picture[..., 0], photometric="miniswhite")
    assert np.array_equal(pixels_of(_tiff.read(buffer.getvalue(), 0)), 65535 - picture)


def damaged_files():
    plain = tifffile_bytes(gradient(64, 64, 3, np.uint16))
    deflated = tifffile_bytes(gradient(64, 64, 3, np.uint16), compression="zlib", rowsperstrip=64)
    with tifffile.TiffFile(io.BytesIO(deflated)) as tif:
        start = tif.pages[0].dataoffsets[0]
    broken = bytearray(deflated)
    broken[start + 10: start + 18] = b"\xff" * 8
    ours = _tiff.write(gradient(64, 64, 3, np.uint16), 64, 64, 3, 16)
    return [("strips cut short", plain[:-50], "damaged"), ("deflate stream broken", bytes(broken), "damaged"),
            ("directory cut off", ours[: len(ours) // 2], "damaged"), ("not a TIFF", b"GIF89a" + plain[6:], "not a TIFF"),
            ("signed samples", tifffile_bytes(gradient(4, 4, 1, np.uint16).astype(np.int16)), "not supported"),
            ("CMYK", _cmyk(), "not supported")]


def _cmyk():
    buffer = io.BytesIO()
    tifffile.imwrite(buffer, np.zeros((4, 4, 4), np.uint8), photometric="separated")
    return buffer.getvalue()


@pytest.mark.parametrize("name, file, words", damaged_files(), ids=lambda v: v if isinstance(v, str) else "")
def test_damaged_or_unsupported_files_are_refused_with_one_line_and_nothing_on_stderr(name, file, words, capfd):
    with pytest.raises(_tiff.TiffError, match=words) as caught:
        _tiff.read(file, 0)
    assert "\n" not in str(caught.value) and not isinstance(caught.value, _tiff.LimitError)
    assert capfd.readouterr().err == ""


def test_pixel_limit_is_checked_before_decoding():
    # Strips that are not there: the limit answers first.
    file = tifffile_bytes(gradient(300, 200, 3, np.uint16))[:4096]
    with pytest.raises(_tiff.LimitError, match="300x200, more than the limit of 59999 pixels"):
        _tiff.read(file, 59_999)


@pytest.mark.parametrize("options, error, words", [
    ({"compression": "zip"}, ValueError, "compression must be 'deflate', 'lzw' or 'none', not 'zip'"),
    ({"alpha": "straight"}, ValueError, "alpha must be 'unassociated' or 'associated'"),
    ({"quality": 5}, TypeError, "unexpected keyword argument 'quality'"),
    ({"dpi": -1}, ValueError, "dpi must be between 0.001 and 1e[+]07, not -1"),
])
def test_write_arguments_are_checked(options, error, words):
    with pytest.raises(error, match=words):
        _tiff.write(b"\0" * 8, 2, 2, 1, 16, **options)


@pytest.mark.parametrize("bits", [12, "double", 8.0])
def test_write_takes_eight_sixteen_or_float(bits):
    with pytest.raises(ValueError, match="bits_or_float must be 8, 16 or 'float'"):
        _tiff.write(b"\0" * 8, 2, 2, 1, bits)


@pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA"])
@pytest.mark.parametrize("compression", ["packbits", "tiff_adobe_deflate", "jpeg"])
def test_reads_eight_bit_files_pillow_writes(mode, compression):
    if compression == "jpeg" and mode in ("LA", "RGBA"):
        pytest.skip("Pillow writes JPEG-compressed TIFF without alpha only")
    picture = Image.fromarray(gradient(24, 16, len(mode), np.uint8).squeeze(), mode)
    buffer = io.BytesIO()
    picture.save(buffer, "TIFF", compression=compression)
    found = _tiff.read(buffer.getvalue(), 0)
    expected = np.asarray(Image.open(io.BytesIO(buffer.getvalue()))).astype(int)
    difference = np.abs(pixels_of(found).reshape(expected.shape).astype(int) - expected)
    assert found["bits"] == 8 and difference.max() <= (1 if compression == "jpeg" else 0)


def test_threads_read_and_write_at_once_without_mixing_their_files():
    from concurrent.futures import ThreadPoolExecutor
    pictures = [gradient(300, 200, 3, np.uint16) + i for i in range(6)]
    files = [_tiff.write(p, 300, 200, 3, 16, compression="lzw") for p in pictures]
    files[3] = files[3][: len(files[3]) // 2]

    def read(file):
        try:
            return pixels_of(_tiff.read(file, 0))
        except _tiff.TiffError:
            return None

    with ThreadPoolExecutor(6) as pool:
        results = list(pool.map(read, files * 3))
    for i, result in enumerate(results):
        assert (result is None) if i % 6 == 3 else np.array_equal(result, pictures[i % 6])


@pytest.mark.parametrize("predictor", [True, False])
@pytest.mark.parametrize("channels, bits, width, height", [
    (3, 16, 1000, 200), (4, 16, 777, 301), (1, 16, 3001, 97), (2, 8, 5000, 121), (3, 8, 1, 100000),
])
def test_deflated_strips_are_the_same_file_in_threads_and_decode_exactly(channels, bits, width, height, predictor):
    """Several strips (the last one short), compressed one after another and in threads: the
    same bytes, and tifffile decodes every sample as written, noise and all (the predictor's
    differences wrap), with the tags as asked."""
    rng = np.random.default_rng(width)
    picture = gradient(width, height, channels, DTYPE[bits])
    picture[::3] = rng.integers(0, 1 << bits, picture[::3].shape, dtype=DTYPE[bits])
    icc = bytes(range(200))
    files = {threads: _tiff.write(picture, width, height, channels, bits, predictor=predictor, icc=icc,
                                  dpi=(240, 96), threads=threads) for threads in (1, 2, 5)}
    assert files[1] == files[2] == files[5]
    with tifffile.TiffFile(io.BytesIO(files[1])) as tif:
        page = tif.pages[0]
        assert len(page.dataoffsets) >= 2 and page.compression == 8 and page.predictor == (2 if predictor else 1)
        assert page.tags[34675].value == icc and page.tags[282].value == (240, 1)
        assert np.array_equal(page.asarray().reshape(picture.shape), picture)
    assert np.array_equal(pixels_of(_tiff.read(files[2], 0)), picture)


@pytest.mark.parametrize("threads", [0, 65])
def test_write_threads_are_checked(threads):
    with pytest.raises(ValueError, match="threads must be between 1 and 64"):
        _tiff.write(b"\0" * 8, 2, 2, 1, 16, threads=threads)


@pytest.mark.parametrize("layout", ["strips", "strips of 5 rows", "big-endian", "tiled", "planar",
                                    "deflate+predictor"])
@pytest.mark.parametrize("channels", [3, 4])
def test_the_8_bit_reading_comes_in_bands_of_whole_rows_with_the_deep_pixels(layout, channels):
    picture = gradient(37, 21, channels, np.uint16)
    bands = []
    found = _tiff.read(tifffile_bytes(picture, **LAYOUTS[layout]), 0, eight=lambda first, band: bands.append((first, band)))
    assert found["eight"] and np.array_equal(pixels_of(found), picture)
    firsts = [first for first, _ in bands]
    assert firsts == sorted(firsts) and firsts[0] == 0
    eight = np.frombuffer(b"".join(band for _, band in bands), np.uint8).reshape(picture.shape)
    assert np.array_equal(eight, (picture >> 8).astype(np.uint8))


@pytest.mark.parametrize("picture", [gradient(9, 7, 3, np.uint8), gradient(9, 7, 3, np.float32)])
def test_only_16_bit_samples_have_an_8_bit_reading(picture):
    found = _tiff.read(tifffile_bytes(picture), 0, eight=lambda first, band: pytest.fail("called"))
    assert not found["eight"] and np.array_equal(pixels_of(found), picture)


def test_an_error_of_the_8_bit_reader_ends_the_reading():
    def refuse(first, band):
        raise KeyError("no room")
    with pytest.raises(KeyError, match="no room"):
        _tiff.read(tifffile_bytes(gradient(9, 7, 3, np.uint16)), 0, eight=refuse)


def test_deflating_writers_in_several_threads_at_once_keep_their_files_apart():
    from concurrent.futures import ThreadPoolExecutor
    pictures = [gradient(700, 300, 3, np.uint16) + i for i in range(4)]

    def write(picture):
        return _tiff.write(picture, 700, 300, 3, 16, threads=3)

    with ThreadPoolExecutor(4) as pool:
        files = list(pool.map(write, pictures * 2))
    for i, file in enumerate(files):
        assert np.array_equal(pixels_of(_tiff.read(file, 0)), pictures[i % 4])


@pytest.mark.parametrize("compression, channels, bits", [("none", 3, 16), ("deflate", 4, 16), ("lzw", 3, "float"),
                                                         ("none", 1, 8)])
def test_written_to_a_file_descriptor_is_the_file_written_in_memory(tmp_path, compression, channels, bits):
    picture = gradient(300, 77, channels, DTYPE[32 if bits == "float" else bits])
    options = dict(compression=compression, icc=bytes(range(130)), dpi=(300, 300), threads=2)
    expected = _tiff.write(picture, 300, 77, channels, bits, **options)
    with open(tmp_path / "out.tif", "w+b") as out:
        size = _tiff.write(picture, 300, 77, channels, bits, fd=out.fileno(), **options)
    assert size == len(expected) and (tmp_path / "out.tif").read_bytes() == expected


def test_a_write_the_system_refuses_is_its_error_not_the_files(tmp_path):
    (tmp_path / "out.tif").write_bytes(b"")
    with open(tmp_path / "out.tif", "rb") as read_only:
        with pytest.raises(OSError) as refused:
            _tiff.write(gradient(8, 8, 3, np.uint16), 8, 8, 3, 16, fd=read_only.fileno())
    assert refused.value.errno == 9 and not isinstance(refused.value, _tiff.TiffError)
