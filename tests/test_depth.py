"""Steps at depth: each colour step's full-precision work agrees with its 8-bit method and keeps depth."""

import numpy as np
import pytest
from PIL import Image

from framewick import FrameWick
from framewick.chains.lut import write_cube
from framewick.steps.declare import StepInfo, registry


def photo(mode, size=(96, 64), seed=7):
    """A photo-like picture: gradients in each band, a soft blob and noise."""
    w, h = size
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    blob = 90 * np.exp(-((x - w * 0.6) ** 2 + (y - h * 0.4) ** 2) / (2 * (w / 6) ** 2))
    bands = [20 + 200 * x / w + blob, 230 - 180 * y / h + blob / 2, 60 + 120 * (x + y) / (w + h)]
    rgb = np.stack(bands, axis=2) + rng.normal(0, 12, (h, w, 3))
    picture = Image.fromarray(np.clip(rgb, 0, 255).round().astype(np.uint8))
    return picture.convert(mode)


def as_float(picture):
    colour = np.asarray(picture, dtype=np.float32) / 255.0
    return colour[:, :, None] if colour.ndim == 2 else colour


def eight_bit(picture, method, args, kwargs):
    obj = FrameWick()
    obj.image = picture
    getattr(obj, method)(*args, **kwargs)
    return np.asarray(obj.image.convert("RGB" if obj.image.mode not in ("L", "RGB") else obj.image.mode))


def at_depth(colour, method, args, kwargs):
    info = registry.get(method)
    values = info.values(args, kwargs)
    return info.depth_function(values)(colour, values)


def differences(picture, method, args, kwargs):
    """Level by level, the 8-bit method's result less the depth function's quantised to 8 bits."""
    expected = eight_bit(picture, method, args, kwargs).astype(int)
    colour = as_float(picture)
    got = at_depth(colour, method, args, kwargs)
    assert np.array_equal(colour, as_float(picture)), "the depth function changed its input"
    assert got.dtype == np.float32 and got.shape[:2] == picture.size[::-1]
    got = np.round(np.clip(got, 0, 1) * 255).astype(int)
    expected = expected[:, :, None] if expected.ndim == 2 else expected
    return np.abs(np.broadcast_to(got, np.broadcast_shapes(got.shape, expected.shape)) - expected)


@pytest.fixture(scope="module")
def luts(tmp_path_factory):
    where = tmp_path_factory.mktemp("luts")

    def film(r, g, b):  # a cross-channel grade with a toe and a shoulder
        s = lambda v: v * v * (3 - 2 * v)
        return (s(0.85 * r + 0.15 * g), 0.1 + 0.8 * s(g) ** 1.1, 0.9 * b + 0.08 * r)

    write_cube(where / "film.cube", 17, film)
    curve = "\n".join(f"{(i / 31) ** 0.7:.6f} {i / 31:.6f} {min(1.0, 1.2 * i / 31):.6f}" for i in range(32))
    (where / "curve.cube").write_text(f"LUT_1D_SIZE 32\nDOMAIN_MIN 0 0 0.1\nDOMAIN_MAX 1 1 0.9\n{curve}\n")
    return where


TONES = [
    ("brightness", (1.3,), {}), ("brightness", (0.6,), {}),
    ("apply_contrast", (1.4,), {}), ("apply_contrast", (0.5,), {}),
    ("saturation", (1.6,), {}), ("saturation", (0.3,), {}),
    ("adjust_exposure", (0.7,), {}), ("adjust_exposure", (-1.5,), {}),
    ("temperature", (40,), {}), ("tint", (-30,), {}), ("auto_white_balance", (), {}),
    ("levels", (20, 235, 1.2), {}), ("levels", (), {"black": 5, "gamma": 0.7}),
    ("auto_levels", (), {}), ("auto_levels", (4.0,), {}), ("auto_enhance", (), {}),
    ("adjust_gamma", (0.6,), {}), ("adjust_gamma", (2.2,), {}), ("invert", (), {}),
    ("apply_blur", (), {}), ("apply_blur", (1,), {}), ("apply_blur", (7,), {}), ("apply_blur", (300,), {}),
    ("apply_sharpen", (), {}), ("apply_sepia", (), {}), ("apply_camscanner", (), {}),
    ("vignette", (), {}), ("vignette", (0.8, 0.3), {}),
]
#: Pillow rounds each of its blur's six box passes to 8 bits, which brightens by half a level on
#: average: a step that adds to a blur may be a level further off.
BLURRED = [("unsharp", (2.0, 1.5, 0), {}), ("unsharp", (), {"radius": 5.0, "amount": 0.8, "threshold": 0})]
COLOUR_ONLY = [
    ("apply_grayscale", (), {}), ("apply_grayscale", (0.4,), {}),
    *[("apply_preset", (name,), {}) for name in ("vintage", "cinematic", "vibrant", "noir", "warm", "sepia", "cool")],
]


@pytest.mark.parametrize("mode", ["L", "RGB"])
@pytest.mark.parametrize("method, args, kwargs", TONES)
def test_work_at_depth_agrees_with_the_8_bit_method(mode, method, args, kwargs):
    assert differences(photo(mode), method, args, kwargs).max() <= 2


@pytest.mark.parametrize("method, args, kwargs", COLOUR_ONLY)
def test_colour_steps_at_depth_agree_with_the_8_bit_method(method, args, kwargs):
    assert differences(photo("RGB"), method, args, kwargs).max() <= 2


@pytest.mark.parametrize("mode, method, args, kwargs", [*[("L", *case) for case in BLURRED],
                                                        *[("RGB", *case) for case in BLURRED],
                                                        ("RGB", "apply_preset", ("dreamy",), {})])
def test_steps_on_a_blur_at_depth_agree_with_the_8_bit_method(mode, method, args, kwargs):
    off = differences(photo(mode), method, args, kwargs)
    assert off.max() <= 3 and np.mean(off > 2) < 0.005


@pytest.mark.parametrize("mode", ["L", "RGB"])
@pytest.mark.parametrize("name, strength", [("film.cube", 1.0), ("film.cube", 0.6), ("curve.cube", 1.0)])
def test_a_lut_at_depth_agrees_with_the_8_bit_lut(luts, mode, name, strength):
    assert differences(photo(mode), "apply_lut", (str(luts / name), strength), {}).max() <= 2


@pytest.mark.parametrize("radius, amount, threshold", [(2.0, 1.5, 3), (1.0, 0.8, 10), (4.0, 2.0, 6)])
def test_unsharp_at_depth_sharpens_where_the_8_bit_method_does(radius, amount, threshold):
    # Values whose difference from the blur is right at the threshold may fall either side of it.
    off = differences(photo("RGB"), "unsharp", (radius, amount, threshold), {})
    assert np.mean(off > 2) < 0.03 and np.mean(off) < 0.5


def gradient16():
    """Every 16-bit level once, 1024 by 64."""
    return np.arange(65536, dtype=np.uint16).reshape(64, 1024, 1)


def run_deep(pixels, steps, luts):
    colour = pixels.astype(np.float32) / 65535.0
    for method, args in steps:
        args = tuple(str(luts / a) if isinstance(a, str) and a.endswith(".cube") else a for a in args)
        info = registry.get(method)
        values = info.values(args)
        colour = np.clip(info.depth_function(values)(colour, values), 0, 1)
    return np.round(colour * 65535).astype(np.uint16)


@pytest.mark.parametrize("steps, least", [
    ([("levels", (20, 235, 1.2)), ("adjust_exposure", (0.5,))], 4000),
    ([("apply_lut", ("film.cube",))], 4000),
    ([("apply_preset", ("cinematic",)), ("apply_contrast", (1.2,))], 4000),
    ([("auto_levels", (1.0,)), ("apply_blur", (3,)), ("adjust_gamma", (0.8,))], 4000),
])
def test_a_16_bit_gradient_keeps_thousands_of_levels(luts, steps, least):
    deep = run_deep(gradient16(), steps, luts)
    assert len(np.unique(deep[:, :, 0])) >= least
    obj = FrameWick()
    obj.image = Image.fromarray((gradient16()[:, :, 0] / 257).round().astype(np.uint8))
    for method, args in steps:
        getattr(obj, method)(*(str(luts / a) if isinstance(a, str) and a.endswith(".cube") else a for a in args))
    assert len(np.unique(np.asarray(obj.image))) <= 256


def test_every_step_naming_work_at_depth_finds_it():
    named = [info for info in registry.steps() if isinstance(info.at_depth, str) and info.at_depth]
    assert len(named) >= 20
    assert all(callable(info.depth_function()) for info in named)


@pytest.mark.parametrize("name, works", [("Warm", True), ("noir", True), ("no-such-look", False)])
def test_presets_work_at_depth_only_when_built_in(name, works):
    assert (registry.get("apply_preset").depth_function({"preset_name": name}) is not None) == works


@pytest.mark.parametrize("reference", ["framewick.depth.tones:nothing", "framewick.no_such_room:f", "no colon"])
def test_a_reference_that_cannot_be_found_names_the_step(reference):
    info = StepInfo("shine", "shine", "Test", (), "", at_depth=reference, size=lambda v, s, e: s)
    with pytest.raises(TypeError, match="step shine: its work at depth"):
        info.depth_function({})


@pytest.mark.parametrize("stops", [-2.0, 0.5, 3.0])
def test_exposure_at_depth_follows_linear_light_between_16_bit_levels(stops):
    values = np.random.default_rng(3).random((50, 40, 3), dtype=np.float32)
    linear = np.where(values <= 0.04045, values / 12.92, ((values + 0.055) / 1.055) ** 2.4) * 2.0 ** stops
    linear = np.minimum(linear.astype(np.float64), 1.0)
    expected = np.where(linear <= 0.0031308, 12.92 * linear, 1.055 * linear ** (1 / 2.4) - 0.055)
    got = at_depth(values, "adjust_exposure", (stops,), {})
    assert np.abs(got - expected).max() < 0.5 / 65535


@pytest.mark.parametrize("method, args", [
    ("apply_blur", (3,)), ("unsharp", ()), ("apply_sharpen", ()), ("apply_contrast", (1.5,)),
    ("auto_levels", (1.0,)), ("auto_enhance", ()), ("auto_white_balance", ()), ("adjust_exposure", (1.0,)),
    ("apply_lut", ("film.cube",)), ("apply_preset", ("dreamy",)), ("apply_preset", ("noir",)),
])
def test_a_float_picture_s_nan_counts_as_black_and_spreads_no_further(luts, method, args):
    args = tuple(str(luts / a) if isinstance(a, str) and a.endswith(".cube") else a for a in args)
    colour = as_float(photo("RGB"))
    holed = colour.copy()
    holed[10, 20] = np.nan
    holed[30, 5, 1] = np.inf
    holed[40, 50, 2] = -np.inf
    filled = colour.copy()
    filled[10, 20] = 0.0
    filled[30, 5, 1] = 1.0
    filled[40, 50, 2] = 0.0
    got = at_depth(holed, method, args, {})
    assert np.isfinite(got).all()
    assert np.array_equal(got, at_depth(filled, method, args, {}))
