"""framewick.modules.effects: the module's shape, the filters and pixel-math effects on real
pixels, the order and arguments of the library calls (through recording stand-ins), the status
lines, and the preset table with apply_preset."""

import builtins
import math
import re
import sys

import pytest
from PIL import Image

import framewick.modules.effects as effects
from framewick.modules.effects import PRESETS, Effects
from mixins import holder, loadable, source_entries

MODULE = "framewick.modules.effects"
SOURCE = "framewick_source/modules/effects"
NAMES = ["vintage", "cinematic", "vibrant", "dreamy", "noir", "warm", "sepia", "cool"]
LISTED = " / ".join(NAMES)


holding = holder(Effects)
Picture = loadable(Effects)


def rgb(color, size=(3, 2), mode="RGB"):
    return holding(Image.new(mode, size, color))


entries = source_entries(SOURCE)


def warning(name, listed=LISTED):
    return f"\u26a0\ufe0f Warning: Preset '{name}' not found.\n  Available presets: \U0001f449 {listed}"


@pytest.fixture
def presets():
    """PRESETS, restored to its original entries and order after the test."""
    saved = dict(PRESETS)
    yield PRESETS
    PRESETS.clear()
    PRESETS.update(saved)


# --- Module and class shape --------------------------------------------------------------------

def test_module_globals_in_binding_order():
    names = [k for k in vars(effects) if not k.startswith("__")]
    assert names == ["ImageEnhance", "ImageOps", "ImageFilter", "Image", "ImageChops", "PRESETS", "Effects"]
    for name in names[:5]:
        assert getattr(effects, name) is sys.modules[f"PIL.{name}"]
    assert effects.__name__ == MODULE and effects.__doc__ is None
    assert "numpy" not in vars(effects) and "np" not in vars(effects)


def test_class_shape():
    methods = ["apply_blur", "apply_sharpen", "adjust_gamma", "apply_camscanner", "auto_enhance",
               "apply_grayscale", "apply_contrast", "apply_sepia", "apply_preset", "invert"]
    assert Effects.__bases__ == (object,) and type(Effects) is type
    assert Effects.__module__ == MODULE
    assert [k for k in vars(Effects) if not k.startswith("__")] == methods
    for name in methods:
        fn = vars(Effects)[name]
        assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, f"Effects.{name}", MODULE)
        assert "return" not in fn.__annotations__


@pytest.mark.parametrize("name, params, annotations, defaults", [
    ("apply_blur", ["self", "radius"], {"radius": "int"}, (2,)),
    ("apply_sharpen", ["self"], {}, None),
    ("adjust_gamma", ["self", "gamma"], {"gamma": "float"}, None),
    ("apply_grayscale", ["self", "factor"], {"factor": "float"}, (1.0,)),
    ("apply_contrast", ["self", "factor"], {"factor": "float"}, None),
    ("apply_preset", ["self", "preset_name"], {"preset_name": "str"}, None),
    ("invert", ["self"], {}, None),
])
def test_signatures(name, params, annotations, defaults):
    fn = getattr(Effects, name)
    assert fn.__code__.co_varnames[:fn.__code__.co_argcount] == tuple(params)
    assert fn.__annotations__ == annotations and fn.__defaults__ == defaults
    if defaults:
        assert type(fn.__defaults__[0]) is type(defaults[0])


@pytest.mark.parametrize("owner, doc", [
    (Effects, "Module for advanced visual filters \U0001f3a8"),
    (Effects.apply_blur, "Apply Gaussian blur to the image \U0001f32b\ufe0f"),
    (Effects.apply_sharpen, " \U0001f60e Make it crisp! \U0001f60e "),
    (Effects.adjust_gamma, "Adjust image gamma (brightness curve) \U0001f4a1"),
    (Effects.apply_camscanner, "Simulate a scanned document look (high contrast/grayscale) \U0001f4c4"),
    (Effects.auto_enhance, "Automatically improve image quality \U0001f916"),
    (Effects.apply_grayscale, " \U0001f60e Make it moody! \U0001f60e "),
    (Effects.apply_contrast, " \U0001f60e Pop those colors! \U0001f60e \n" + " " * 8
     + "factor: 1.0 is original, < 1.0 is lower contrast, > 1.0 is higher contrast\n" + " " * 8),
    (Effects.apply_sepia, " \U0001f60e Fast Sepia Filter using Matrix Transformation \U0001f60e "),
    (Effects.apply_preset, "\n".join([
        " ", " " * 8 + "\U0001f39e\ufe0f Apply a professional mood to your image! \U0001f39e\ufe0f ", " " * 8,
        " " * 8 + "Supported presets:", " " * 8 + "- " + ", ".join(NAMES), " " * 8, " " * 8 + "Args:",
        " " * 12 + "preset_name (str): The name of the preset to apply.", " " * 12, " " * 8])),
    (Effects.invert, "Flip the colors! \U0001f504"),
])
def test_docstrings(owner, doc):
    assert owner.__doc__ == doc


def test_preset_functions():
    assert type(PRESETS) is dict and list(PRESETS) == NAMES
    for i, fn in enumerate(PRESETS.values()):
        assert fn.__name__ == ("lambda" if i == 0 else f"lambda{i}")
        assert (fn.__qualname__, fn.__module__, fn.__doc__) == ("<lambda>", MODULE, None)
        assert fn.__code__.co_varnames[:fn.__code__.co_argcount] == ("img",)
        assert fn.__globals__ is vars(effects)


# --- Real pixels ---------------------------------------------------------------------------------

@pytest.mark.parametrize("gamma, expected", [
    (0.5, {0: 0, 64: 127, 128: 180, 255: 255}),
    (2.0, {0: 0, 64: 16, 128: 64, 255: 255}),
    (2, {0: 0, 64: 16, 128: 64, 255: 255}),
    (1.0, {v: v for v in range(256)}),
    (0, {v: 255 for v in (0, 1, 128, 255)}),
])
def test_adjust_gamma_curve(console, gamma, expected):
    values = list(expected)
    im = Image.new("RGB", (len(values), 1))
    im.putdata([(v, v, v) for v in values])
    obj = holding(im)
    assert obj.adjust_gamma(gamma) is obj
    assert list(obj.image.get_flattened_data()) == [(expected[v],) * 3 for v in values]
    assert console.text() == ""


@pytest.mark.parametrize("mode, color, pixel", [("RGBA", (10, 200, 30, 0), (10, 200, 30)), ("L", 77, (77, 77, 77))])
def test_adjust_gamma_leaves_rgb(mode, color, pixel):
    obj = rgb(color, mode=mode)
    obj.adjust_gamma(1.0)
    assert (obj.image.mode, obj.image.getpixel((0, 0))) == ("RGB", pixel)


# White: red and green sums exceed 255 and are limited; blue is 0.937 * 255 = 238.935, which
# Pillow's matrix conversion rounds.
@pytest.mark.parametrize("color, expected", [((255, 255, 255), (255, 255, 239)), ((0, 0, 0), (0, 0, 0)),
                                             ((255, 255, 255, 0), (255, 255, 239))])
def test_apply_sepia(console, color, expected):
    obj = rgb(color, mode="RGBA" if len(color) == 4 else "RGB")
    assert obj.apply_sepia() is obj
    assert (obj.image.mode, obj.image.getpixel((1, 1))) == ("RGB", expected)
    assert console.lines() == ["\U0001f4dc Success: Fast Sepia effect applied!"]


@pytest.mark.parametrize("mode, color, expected_mode, expected", [
    ("RGBA", (10, 20, 30, 40), "RGBA", (245, 235, 225, 40)),
    ("L", 100, "RGB", (155, 155, 155)),
    ("LA", (100, 7), "RGB", (155, 155, 155)),
    ("RGB", (0, 128, 255), "RGB", (255, 127, 0)),
])
def test_invert(mode, color, expected_mode, expected):
    obj = rgb(color, mode=mode)
    assert obj.invert() is obj
    assert (obj.image.mode, obj.image.getpixel((0, 0))) == (expected_mode, expected)


@pytest.mark.parametrize("call, mode, expected_mode", [
    (lambda o: o.apply_camscanner(), "RGB", "L"),
    (lambda o: o.auto_enhance(), "RGB", "RGB"),
    (lambda o: o.apply_blur(), "RGBA", "RGBA"),
    (lambda o: o.apply_sharpen(), "RGB", "RGB"),
    (lambda o: o.apply_contrast(-1), "RGB", "RGB"),
    (lambda o: o.apply_grayscale(0.5), "RGB", "RGB"),
])
def test_modes_left(console, call, mode, expected_mode):
    obj = holding(Image.new(mode, (5, 4), "red"))
    before = obj.image
    assert call(obj) is obj
    assert obj.image is not before and (obj.image.mode, obj.image.size) == (expected_mode, (5, 4))


@pytest.mark.parametrize("factor", [0, 1, 1.0])
def test_grayscale_blend_weights_the_grey_copy(console, factor):
    obj = rgb((200, 30, 60))
    grey = obj.image.convert("L").getpixel((0, 0))
    obj.apply_grayscale(factor)
    assert obj.image.getpixel((0, 0)) == ((grey,) * 3 if factor else (200, 30, 60))


@pytest.mark.parametrize("factor", [1.0001, -0.1, math.nan, math.inf, -5e-324])
def test_grayscale_range_check(console, factor):
    obj = rgb((1, 2, 3))
    before = obj.image
    with pytest.raises(ValueError, match=r"^❌ Error: Factor must be between 0\.0 and 1\.0$") as info:
        obj.apply_grayscale(factor)
    assert obj.image is before and console.text() == ""
    assert entries(info.value) == [f"{MODULE}.Effects.apply_grayscale"]


@pytest.mark.parametrize("call", [lambda o: o.apply_grayscale(0.5),
                                  lambda o: o.apply_preset("warm"), lambda o: o.apply_preset("Cool")])
@pytest.mark.parametrize("mode", ["RGBA", "L", "P"])
def test_pillow_refuses_other_modes(console, call, mode):
    obj = holding(Image.new(mode, (3, 3)))
    before = obj.image
    with pytest.raises(ValueError, match="^image"):
        call(obj)
    assert obj.image is before and obj.image.mode == mode and console.text() == ""


# --- Status lines --------------------------------------------------------------------------------

@pytest.mark.parametrize("call, line", [
    (lambda o: o.apply_sharpen(), "\U0001f3af Success: Image sharpened!"),
    (lambda o: o.apply_contrast(1), "\U0001f317 Success: Contrast adjusted by factor 1.0"),
    (lambda o: o.apply_contrast(1e-05), "\U0001f317 Success: Contrast adjusted by factor 1e-05"),
    (lambda o: o.apply_contrast(True), "\U0001f317 Success: Contrast adjusted by factor 1.0"),
    (lambda o: o.apply_grayscale(), "\U0001f311 Success: Grayscale effect applied with factor 1.0"),
    (lambda o: o.apply_grayscale(0.1 + 0.2), "\U0001f311 Success: Grayscale effect applied with factor "
                                             "0.30000000000000004"),
    (lambda o: o.apply_grayscale(0), "\U0001f311 Success: Grayscale effect applied with factor 0.0"),
])
def test_status_lines(console, call, line):
    obj = rgb((9, 99, 199))
    assert call(obj) is obj
    assert console.lines() == [line]


@pytest.mark.parametrize("call", [lambda o: o.apply_blur(), lambda o: o.apply_camscanner(),
                                  lambda o: o.auto_enhance(), lambda o: o.invert()])
def test_silent_methods(console, call):
    call(rgb((9, 99, 199)))
    assert console.text() == ""


@pytest.mark.parametrize("call", [lambda o: o.apply_sharpen(), lambda o: o.apply_contrast(2),
                                  lambda o: o.apply_grayscale(), lambda o: o.apply_sepia(),
                                  lambda o: o.apply_preset("noir")])
def test_line_printed_after_the_picture_is_replaced(monkeypatch, call):
    obj = rgb((9, 99, 199))
    before, seen = obj.image, []

    class Watch:
        def write(self, text):
            seen.append(obj.image)

        def flush(self):
            pass

    monkeypatch.setattr(sys, "stdout", Watch())
    call(obj)
    # One print of one text: the text, then the line feed.
    assert len(seen) == 2 and all(im is obj.image and im is not before for im in seen)


def test_print_is_the_builtin_cached_at_load(monkeypatch, console):
    monkeypatch.setattr(builtins, "print", lambda *a, **k: pytest.fail("looked up at call"))
    rgb((1, 1, 1)).apply_sharpen()
    assert console.lines() == ["\U0001f3af Success: Image sharpened!"]


# --- Argument conversion and binding -------------------------------------------------------------

@pytest.mark.parametrize("call, exc, message", [
    (lambda o: o.apply_blur("3"), TypeError, "Argument 'radius' has incorrect type (expected int, got str)"),
    (lambda o: o.apply_blur(None), TypeError, "Argument 'radius' has incorrect type (expected int, got NoneType)"),
    (lambda o: o.adjust_gamma("2"), TypeError, "must be real number, not str"),
    (lambda o: o.apply_contrast(None), TypeError, "must be real number, not NoneType"),
    (lambda o: o.adjust_gamma(), TypeError, "adjust_gamma() takes exactly 2 positional arguments (1 given)"),
    (lambda o: o.apply_contrast(), TypeError, "apply_contrast() takes exactly 2 positional arguments (1 given)"),
    (lambda o: o.apply_grayscale(0.5, 1), TypeError,
     "apply_grayscale() takes at most 2 positional arguments (3 given)"),
    (lambda o: o.apply_preset(None), TypeError,
     "Argument 'preset_name' has incorrect type (expected str, got NoneType)"),
    (lambda o: o.apply_preset(3), TypeError, "Argument 'preset_name' has incorrect type (expected str, got int)"),
    (lambda o: o.apply_blur(math.inf), OverflowError, None),
])
def test_refused_before_the_picture_is_read(tape, console, call, exc, message):
    obj = holding(tape("image"))
    with pytest.raises(exc) as info:
        call(obj)
    if message:
        assert str(info.value) == message
    assert tape.events == [] and console.text() == ""


def test_keywords_bind(console):
    obj = rgb((5, 5, 5))
    assert obj.apply_blur(radius=1) is obj and Effects.apply_grayscale(self=obj, factor=0.25) is obj


# --- Call order and arguments (recording stand-ins) ----------------------------------------------

def test_apply_blur_passes_the_int_radius(tape, monkeypatch):
    monkeypatch.setattr(effects, "ImageFilter", tape("ImageFilter"))
    obj = holding(tape("image"))
    obj.apply_blur(2.9)
    assert [(o, n, tuple(map(repr, a))) for o, n, a, _ in tape.calls()] == [
        ("ImageFilter", "GaussianBlur", ("2",)),
        ("image", "filter", ("<Recorder ImageFilter.GaussianBlur>",)),
    ]
    assert type(tape.calls()[0][2][0]) is int
    assert repr(obj.image) == "<Recorder image.filter>"


def test_apply_grayscale_calls(tape, monkeypatch):
    monkeypatch.setattr(effects, "ImageOps", tape("ImageOps"))
    monkeypatch.setattr(effects, "Image", tape("Image"))
    image = tape("image")
    holding(image).apply_grayscale(1)
    calls = tape.calls()
    assert [(o, n) for o, n, _, _ in calls] == [("ImageOps", "grayscale"), ("ImageOps.grayscale", "convert"),
                                                ("Image", "blend")]
    assert calls[0][2] == (image,) and calls[1][2] == ("RGB",)
    first, second, alpha = calls[2][2]
    assert first is image and repr(second) == "<Recorder ImageOps.grayscale.convert>"
    assert type(alpha) is float and alpha == 1.0


@pytest.mark.parametrize("method, factor, enhanced", [("apply_contrast", 3, 3.0), ("apply_camscanner", None, 2.0)])
def test_enhancer_gets_a_float(tape, monkeypatch, console, method, factor, enhanced):
    monkeypatch.setattr(effects, "ImageEnhance", tape("ImageEnhance"))
    obj = holding(tape("image"))
    getattr(obj, method)(*([] if factor is None else [factor]))
    (owner, name, args, _), = [c for c in tape.calls() if c[1] == "enhance"]
    assert owner == "ImageEnhance.Contrast" and type(args[0]) is float and args == (enhanced,)


def test_stored_intermediate_pictures(tape, monkeypatch):
    # camscanner keeps the grey picture when the contrast step fails ...
    monkeypatch.setattr(effects, "ImageEnhance", tape("ImageEnhance", results={"Contrast": RuntimeError}))
    obj = holding(tape("image"))
    with pytest.raises(RuntimeError):
        obj.apply_camscanner()
    assert repr(obj.image) == "<Recorder image.convert>"
    # ... and sepia the RGB one when the matrix step fails; the matrix is a fresh list each time.
    second = tape("rgb", results={"convert": ValueError("matrix")})
    for _ in range(2):
        obj.image = tape("image", results={"convert": second})
        with pytest.raises(ValueError, match="matrix"):
            obj.apply_sepia()
        assert obj.image is second
    matrices = [c[2][1] for c in tape.calls("rgb")]
    assert matrices[0] == [0.393, 0.769, 0.189, 0, 0.349, 0.686, 0.168, 0, 0.272, 0.534, 0.131, 0]
    assert type(matrices[0]) is list and matrices[0] is not matrices[1]
    assert [type(v) for v in matrices[0][3::4]] == [int] * 3


@pytest.mark.parametrize("bands", [3, 5])
def test_invert_unpacks_exactly_four_bands(tape, bands):
    # The same text the interpreter gives for `r, g, b, a = bands`.
    with pytest.raises(ValueError) as plain:
        r, g, b, a = list(range(bands))
    message = str(plain.value)
    image = tape("image", mode="RGBA", results={"split": list(range(bands))})
    obj = holding(image)
    with pytest.raises(ValueError, match=re.escape(message)):
        obj.invert()
    assert obj.image is image


def trace(tape):
    return [(e.owner, e.kind, e.name) + ((tuple(a if type(a) in (int, float, str, tuple) else repr(a)
                                               for a in e.args), e.kwargs) if e.kind == "call" else ())
            for e in tape.events]


@pytest.mark.parametrize("name, expected", [
    ("vintage", [("ImageEnhance", "get", "Contrast"), ("img", "get", "convert"), ("img", "call", "convert", ("L",), {}),
                 ("img.convert", "get", "convert"), ("img.convert", "call", "convert", ("RGB",), {}),
                 ("ImageEnhance", "call", "Contrast", ("<Recorder img.convert.convert>",), {}),
                 ("ImageEnhance.Contrast", "get", "enhance"), ("ImageEnhance.Contrast", "call", "enhance", (0.8,), {})]),
    ("cinematic", [("ImageEnhance", "get", "Color"), ("ImageEnhance", "get", "Contrast"),
                   ("ImageEnhance", "call", "Contrast", ("<Recorder img>",), {}),
                   ("ImageEnhance.Contrast", "get", "enhance"), ("ImageEnhance.Contrast", "call", "enhance", (1.3,), {}),
                   ("ImageEnhance", "call", "Color", ("<Recorder ImageEnhance.Contrast.enhance>",), {}),
                   ("ImageEnhance.Color", "get", "enhance"), ("ImageEnhance.Color", "call", "enhance", (0.9,), {})]),
    ("vibrant", [("ImageEnhance", "get", "Color"), ("ImageEnhance", "call", "Color", ("<Recorder img>",), {}),
                 ("ImageEnhance.Color", "get", "enhance"), ("ImageEnhance.Color", "call", "enhance", (1.5,), {})]),
    ("dreamy", [("ImageEnhance", "get", "Brightness"), ("ImageFilter", "get", "GaussianBlur"),
                ("ImageFilter", "call", "GaussianBlur", (), {"radius": 1}), ("img", "get", "filter"),
                ("img", "call", "filter", ("<Recorder ImageFilter.GaussianBlur>",), {}),
                ("ImageEnhance", "call", "Brightness", ("<Recorder img.filter>",), {}),
                ("ImageEnhance.Brightness", "get", "enhance"),
                ("ImageEnhance.Brightness", "call", "enhance", (1.1,), {})]),
    ("warm", [("ImageChops", "get", "blend"), ("Image", "get", "new"), ("img", "get", "size"),
              ("Image", "call", "new", ("RGB", (4, 3), (255, 100, 100)), {}),
              ("ImageChops", "call", "blend", ("<Recorder img>", "<Recorder Image.new>", 0.1), {})]),
    ("sepia", [("ImageChops", "get", "blend"), ("img", "get", "convert"), ("img", "call", "convert", ("L",), {}),
               ("img.convert", "get", "convert"), ("img.convert", "call", "convert", ("RGB",), {}),
               ("Image", "get", "new"), ("img", "get", "size"),
               ("Image", "call", "new", ("RGB", (4, 3), (112, 66, 20)), {}),
               ("ImageChops", "call", "blend", ("<Recorder img.convert.convert>", "<Recorder Image.new>", 0.3), {})]),
])
def test_preset_chains(tape, monkeypatch, name, expected):
    for module in ("ImageEnhance", "ImageFilter", "ImageChops", "Image"):
        monkeypatch.setattr(effects, module, tape(module))
    PRESETS[name](tape("img", size=(4, 3)))
    assert trace(tape) == expected
    numbers = [a for e in tape.events if e.kind == "call" for a in (*e.args, *e.kwargs.values())
               if type(a) in (int, float)]
    assert all(type(n) is float for n in numbers if n != 1) and all(type(n) is int for n in numbers if n == 1)


def test_noir_and_cool_differ_only_in_constants(tape, monkeypatch):
    for module in ("ImageEnhance", "ImageChops", "Image"):
        monkeypatch.setattr(effects, module, tape(module))
    PRESETS["noir"](tape("img", size=(1, 1)))
    PRESETS["cool"](tape("img", size=(1, 1)))
    assert ("ImageEnhance.Contrast", "enhance", (1.8,), {}) in tape.calls()
    assert ("Image", "new", ("RGB", (1, 1), (100, 100, 255)), {}) in tape.calls()
    assert tape.calls("ImageChops")[0][2][2] == 0.1


# --- apply_preset --------------------------------------------------------------------------------

@pytest.mark.parametrize("given", ["noir", "Noir", "NOIR"])
def test_preset_name_is_lower_cased(console, given):
    obj = rgb((200, 30, 60))
    expected = PRESETS["noir"](obj.image)
    assert obj.apply_preset(given) is obj
    assert obj.image.tobytes() == expected.tobytes()
    assert console.lines() == ["\U0001f3af Success: Preset 'noir' applied perfectly!"]


@pytest.mark.parametrize("given, shown", [("noir ", "noir "), (" Noir", " noir"), ("", ""), ("Blur", "blur"),
                                          ("VINTAGE\t", "vintage\t"),
                                          # names of each character width, spliced into a line of emoji
                                          ("Café", "café"), ("ΩMEGA", "ωmega"), ("🙂", "🙂"),
                                          ("é" * 300, "é" * 300), ("x\u4e2d\U0001f600y", "x\u4e2d\U0001f600y")])
def test_unknown_preset_warns(console, given, shown):
    obj = rgb((1, 2, 3))
    before = obj.image
    assert obj.apply_preset(given) is obj
    assert obj.image is before
    assert console.text() == warning(shown) + "\n"


@pytest.mark.parametrize("name", ["vintage", "noir", "sepia"])
@pytest.mark.parametrize("mode, color", [("RGBA", (200, 30, 60, 9)), ("L", 90)])
def test_grey_presets_accept_any_mode(console, name, mode, color):
    obj = rgb(color, mode=mode)
    obj.apply_preset(name)
    r, g, b = obj.image.getpixel((0, 0))
    assert obj.image.mode == "RGB"
    assert (r == g == b) is (name != "sepia")


@pytest.mark.parametrize("name", NAMES)
def test_presets_keep_the_size_of_an_rgb_picture(console, name):
    obj = rgb((200, 100, 50), size=(7, 5))
    obj.apply_preset(name)
    assert (obj.image.mode, obj.image.size) == ("RGB", (7, 5))


@pytest.mark.parametrize("name, tint, alpha, grey", [("warm", (255, 100, 100), 0.1, False),
                                                     ("cool", (100, 100, 255), 0.1, False),
                                                     ("sepia", (112, 66, 20), 0.3, True)])
def test_tint_presets_blend_towards_their_colour(console, name, tint, alpha, grey):
    obj = rgb((200, 100, 50))
    first = (obj.image.convert("L").getpixel((0, 0)),) * 3 if grey else (200, 100, 50)
    got = obj.apply_preset(name).image.getpixel((0, 0))
    assert all(abs(g - (f * (1 - alpha) + t * alpha)) <= 1 for g, f, t in zip(got, first, tint)), got


def test_user_entries_are_seen_at_the_next_call(console, presets):
    obj = rgb((1, 2, 3))
    presets["flip"] = lambda img: img.transpose(Image.Transpose.FLIP_LEFT_RIGHT)
    obj.apply_preset("FLiP")
    obj.apply_preset("missing")
    del presets["vintage"]
    obj.apply_preset("vintage")
    assert console.text() == "\n".join([
        "\U0001f3af Success: Preset 'flip' applied perfectly!",
        warning("missing", LISTED + " / flip"),
        warning("vintage", " / ".join(NAMES[1:] + ["flip"])),
    ]) + "\n"


def test_a_replaced_table_is_used(console, monkeypatch):
    monkeypatch.setattr(effects, "PRESETS", {"only": lambda img: img.convert("L")})
    obj = rgb((1, 2, 3))
    obj.apply_preset("noir").apply_preset("Only")
    assert obj.image.mode == "L"
    assert console.text() == warning("noir", "only") + "\n\U0001f3af Success: Preset 'only' applied perfectly!\n"


def test_a_non_str_key_breaks_the_listing(console, presets):
    presets[7] = lambda img: img
    with pytest.raises(TypeError, match="expected str instance, int found"):
        rgb((1, 2, 3)).apply_preset("nope")
    assert console.text() == ""


def test_failing_preset_traceback(console):
    obj = holding(Image.new("RGBA", (2, 2)))
    with pytest.raises(ValueError) as info:
        obj.apply_preset("COOL")
    assert entries(info.value) == [f"{MODULE}.Effects.apply_preset", f"{MODULE}.lambda7"]


# --- Together with Storage, and without NumPy ----------------------------------------------------

def test_chain_after_load(console, picture):
    path = picture("RGBA", size=(6, 4), color=(10, 20, 30, 40))
    obj = Picture.load(path)
    assert obj.invert().apply_preset("vintage").apply_blur(1).adjust_gamma(1.0) is obj
    assert (obj.image.mode, obj.image.size, obj.quality) == ("RGB", (6, 4), 95)
    assert console.lines() == [f"\U0001f4f8 Image loaded: {path}",
                               "\U0001f3af Success: Preset 'vintage' applied perfectly!"]


def test_without_numpy(run_py):
    code, out, err = run_py("""
        import sys
        sys.modules["numpy"] = None
        import framewick.modules.effects as effects
        from PIL import Image

        class FX(effects.Effects):
            pass

        obj = FX()
        obj.image = Image.new("RGBA", (3, 3), (10, 20, 30, 40))
        obj.invert().apply_sepia().apply_preset("noir").apply_grayscale(0.5).apply_contrast(2)
        before = obj.image
        try:
            obj.adjust_gamma(2.0)
        except ImportError as exc:
            print("refused", type(exc).__name__, obj.image is before)
    """)
    assert code == 0, err
    assert out.splitlines()[-1] == "refused ModuleNotFoundError True"


# --- Blur radii Pillow cannot take -----------------------------------------------------------------
# Pillow's box blur overflows a C int (and writes out of bounds) from a radius magnitude of
# 2**31 - 64 on; such a radius is refused before Pillow is called.

BLUR_RANGE = "❌ Error: Blur radius must be between -2147483583 and 2147483583."
REFUSED_RADII = [2**31 - 64, -(2**31 - 64), 2**31 - 1, 2**31, -(2**31), 2**63, -(2**63), 10**40, 2.2e9]


@pytest.mark.parametrize("radius", REFUSED_RADII)
def test_blur_radius_out_of_range_is_refused_before_pillow(tape, monkeypatch, console, radius):
    monkeypatch.setattr(effects, "ImageFilter", tape("ImageFilter"))
    obj = holding(tape("image"))
    with pytest.raises(ValueError) as info:
        obj.apply_blur(radius)
    assert str(info.value) == BLUR_RANGE
    assert tape.events == [] and console.text() == ""


@pytest.mark.parametrize("radius", [2**31 - 65, -(2**31 - 65), 2147483583.9, 0, -1])
def test_blur_radius_in_range_reaches_pillow(tape, monkeypatch, radius):
    monkeypatch.setattr(effects, "ImageFilter", tape("ImageFilter"))
    holding(tape("image")).apply_blur(radius)
    assert tape.calls()[0][:3] == ("ImageFilter", "GaussianBlur", (int(radius),))


def test_blur_radii_that_crashed_pillow_leave_the_interpreter_alive(run_py):
    # On real pictures of every mode Pillow blurs: a crash would end the child with a signal.
    code, out, err = run_py(f"""
        from PIL import Image
        from framewick.modules.effects import Effects
        obj = type("O", (Effects,), {{}})()
        for mode in ["L", "LA", "RGB", "RGBA", "CMYK"]:
            for radius in {REFUSED_RADII[:7]!r}:
                obj.image = before = Image.new(mode, (6, 5))
                try:
                    obj.apply_blur(radius)
                except ValueError as e:
                    assert str(e) == {BLUR_RANGE!r} and obj.image is before, (mode, radius)
                else:
                    raise AssertionError((mode, radius))
            obj.apply_blur(2**31 - 65)
            assert obj.image.mode == mode and obj.image.size == (6, 5)
        print("alive")
    """)
    assert (code, out, err) == (0, "alive\n", "")
