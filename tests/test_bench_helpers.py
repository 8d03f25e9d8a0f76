"""The benchmark suite's pure helpers: the PSNR its peers are checked by, and the photographs'
cover-and-crop (the benchmarks themselves are measurements, not tests)."""

import importlib.util
import math
import pathlib

import pytest
from PIL import Image

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"


def _load(name):
    spec = importlib.util.spec_from_file_location(f"bench_{name}", BENCH / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


photos = _load("photos")


@pytest.mark.parametrize("delta, expected", [
    (0, math.inf),
    (1, 10 * math.log10(255 ** 2)),        # every value off by one: MSE 1, 48.13 dB
    (16, 10 * math.log10(255 ** 2 / 256)),  # MSE 256, 24.05 dB
])
def test_psnr_of_a_uniform_difference(delta, expected):
    a = Image.new("RGB", (7, 5), (100, 120, 140))
    b = Image.new("RGB", (7, 5), (100 + delta, 120 - delta, 140 + delta))
    assert photos.psnr(a, b) == pytest.approx(expected)
    assert photos.psnr(b, a) == pytest.approx(expected)


def test_psnr_counts_every_channel_and_mode():
    a = Image.new("RGB", (4, 4), (0, 0, 0))
    b = a.copy()
    b.putpixel((0, 0), (255, 0, 0))  # one value of 48 off by 255: MSE 255**2 / 48
    assert photos.psnr(a, b) == pytest.approx(10 * math.log10(48))
    # A grey picture is compared as RGB.
    assert photos.psnr(Image.new("L", (3, 3), 9), Image.new("RGB", (3, 3), (9, 9, 9))) == math.inf


def test_psnr_refuses_different_sizes():
    with pytest.raises(ValueError, match="sizes differ"):
        photos.psnr(Image.new("RGB", (4, 3)), Image.new("RGB", (3, 4)))


@pytest.mark.parametrize("size", [(40, 30), (13, 29), (100, 20)])
def test_cover_fills_the_target_whatever_the_shape(size):
    # Smaller than half the target (tiled first), taller, wider.
    img = Image.linear_gradient("L").convert("RGB").resize(size)
    out = photos.cover(img, (120, 90))
    assert out.size == (120, 90) and out.mode == "RGB"
    assert len(set(out.getchannel(0).tobytes())) > 1  # a picture, not a fill
