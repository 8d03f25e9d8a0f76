"""The step table and its rules: what the classes declare, what the parser refuses, and that
every value the parser lets through is one the method takes."""

import contextlib
import io
import json
import os
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from PIL import Image

import framewick
from framewick import FrameWick, steps
from framewick.chain import Catalogue, Chain, ChainError, Step


@pytest.fixture
def files(tmp_path):
    """A watermark picture (4x3, RGBA), a cube LUT, and a file that is neither."""
    wm = tmp_path / "wm.png"
    Image.new("RGBA", (4, 3), (10, 200, 30, 128)).save(wm)
    cube = tmp_path / "id.cube"
    rows = [f"{r} {g} {b}" for b in (0, 1) for g in (0, 1) for r in (0, 1)]
    cube.write_text("LUT_3D_SIZE 2\n" + "\n".join(rows) + "\n")
    junk = tmp_path / "junk.png"
    junk.write_bytes(b"not a picture at all")
    return {"wm": str(wm), "cube": str(cube), "junk": str(junk), "dir": str(tmp_path)}


# ---------------------------------------------------------------------------------------------
# The table against the built classes and Pillow


def test_the_table_is_what_the_classes_declare():
    from_classes = Catalogue.from_class(FrameWick)
    table = {info.method: info for info in steps.STEPS}
    assert list(from_classes.steps) == list(table)  # the same steps, in the order of the bases
    for method, info in from_classes.steps.items():
        assert table[method] == info, method  # names, owner, parameters (kinds, defaults), doc line
    assert steps.names_of(steps.STEPS) == from_classes.names


def test_presets_modes_and_formats_match_the_libraries():
    from framewick.modules.effects import PRESETS

    assert steps.PRESET_NAMES == tuple(PRESETS)
    assert set(steps.MODES) == {m.upper() for m in Image.MODES if m.upper() in Image.MODES}
    # A format the parser takes is one Pillow writes in some mode, and a refused one in none.
    Image.init()
    for name in Image.SAVE:
        accepted = _accepts(f"format:{name}")
        written = any(_writes(name, mode) for mode in ("RGB", "RGBA", "L", "1", "P"))
        assert accepted == written, name


def _accepts(text):
    try:
        Chain.parse(text)
    except ChainError:
        return False
    return True


def _writes(fmt, mode):
    try:
        Image.new(mode, (16, 16)).save(io.BytesIO(), fmt)
    except Exception:
        return False
    return True


def test_to_data_lists_every_step_with_its_parameters():
    data = steps.to_data()
    assert json.loads(json.dumps(data)) == data
    assert [d["method"] for d in data] == [i.method for i in steps.STEPS]
    by_name = {d["name"]: d for d in data}
    assert by_name["grayscale"]["aliases"] == ["gray", "grey"]
    assert by_name["thumbnail"]["params"] == [{"name": "size", "kind": "tuple", "default": [128, 128],
                                               "required": False,
                                               "meaning": steps.HELP[("thumbnail", "size")][0],
                                               "range": steps.RULES[("thumbnail", "size")].allowed,
                                               "example": "256,256"}]
    assert by_name["resize"]["params"][0] == {"name": "width", "kind": "int", "default": None, "required": True,
                                              "meaning": "pixels; the aspect is not kept (size:800x keeps it)",
                                              "range": steps.RULES[("resize", "width")].allowed, "example": "800"}
    assert by_name["lut"]["method"] == "apply_lut"
    assert all(d["doc"] for d in data)


def test_parsing_imports_neither_pillow_nor_the_native_modules(run_py, tmp_path):
    (tmp_path / "chain.json").write_text('[{"method": "resize", "args": [10, 20]}]')
    code, out, err = run_py("""
        import sys
        from framewick.chain import Chain
        from framewick import steps
        Chain.parse('preset:noir | resize:640,480 | flip:vertical | quality:80 | grey:0.5')
        Chain.read('@chain.json')
        Chain.read('blur:3 | mode:rgb')
        steps.to_data()
        loaded = [m for m in sys.modules if m == 'PIL' or m.startswith(('PIL.', 'numpy', 'framewick.modules.',
                  'framewick.utils.', 'framewick.picture'))]
        print(loaded)
    """)
    assert (code, out.strip(), err) == (0, "[]", "")


# ---------------------------------------------------------------------------------------------
# Refusals while parsing


@pytest.mark.parametrize(("text", "expected"), [
    ("preset:nope", "preset_name must be a preset (vintage, cinematic, vibrant, dreamy, noir, warm, sepia, cool)"),
    ("preset:noirr", "got 'noirr'; did you mean 'noir'?"),
    ("preset:'noir '", "got 'noir '"),                      # the method does not trim
    ("preset:''", "got ''"),
    ("quality:0", "quality must be an integer from 1 to 100, got 0"),
    ("quality:101", "got 101"),
    ("resize:0,10", "width must be an integer of at least 1"),
    ("resize:10,-1", "height must be an integer of at least 1"),
    ("resize:100000,100000", "width times height at most 178,956,970 pixels, got 100000"),
    ("resize:2147483648,1", "width times height"),
    ("fit:0,10", "target_width must be an integer of at least 1"),
    ("fit:10,0", "target_height must be"),
    ("thumbnail:0,10", "size must be two integers from 1 to 2,147,483,647, e.g. 128,128, got 0,10"),
    ("thumbnail:10", "got 10"),
    ("thumbnail:1,2,3", "got 1,2,3"),
    ("grayscale:1.5", "factor must be a number from 0 to 1, got 1.5"),
    ("grey:-0.1", "got -0.1"),
    ("grey:nan", "factor expects a number"),
    ("flip:diagonal", "direction must be horizontal or vertical (in any case), got 'diagonal'"),
    ("flip:' vertical'", "got ' vertical'"),
    ("mode:XYZ", "target_mode must be one of the modes 1, CMYK, F, HSV, I, I;16"),
    ("mode:YCbCr", "got 'YCbCr'"),                          # upper-cased, it is no mode
    ("format:xyz", "target_format must be a picture format Pillow can write"),
    ("format:bufr", "this Pillow can write AVIF"),          # a stub without a writer
    ("format:''", "got ''"),
    ("blur:-3", "radius must be an integer from 0 to 2,147,483,583, got -3"),
    ("blur:2147483584", "got 2147483584"),
    ("blur:9223372036854775808", "radius must be"),
    ("gamma:-0.5", "gamma must be a number greater than 0"),
    ("gamma:0", "gamma must be a number greater than 0"),
    ("gamma:inf", "gamma expects a number"),
    ("corners:-1", "radius must be a number of at least 0"),
    ("crop:10,0,5,10", "right must be greater than left"),
    ("crop:0,10,10,10", "bottom must be greater than top"),
    ("crop:0,0,100000,100000", "the box at most 178,956,970 pixels"),
    ("crop:-2147483648,0,1,1", "left must be an integer from -2,147,483,647"),
    ("border:-1", "border_width must be an integer from 0 to 6,688, got -1"),
    ("border:2147483648", "border_width must be"),
    ("border:1,color=nocolour", "color must be a colour Pillow knows"),
    ("text:hi,1,2,3", "position must be two integers"),
    ("text:hi,1,1,font_size=0", "font_size must be an integer from 1 to 10,000, got 0"),
    ("text:hi,1,1,color='#12'", "color must be a colour Pillow knows"),
    ("exposure:{dir}/none.png", "overlay_image_path must be a picture file that exists, got"),
    ("exposure:{dir}/none.png", "(No such file or directory)"),
    ("exposure:{junk}", "(Pillow cannot read it as a picture)"),
    ("exposure:{dir}", "(not a regular file)"),
    ("exposure:{wm},1.5", "opacity must be a number from 0 to 1, got 1.5"),
    ("watermark:{dir}/none.png,0,0", "watermark_path must be a picture file"),
    ("watermark:{wm},0,0,10,10", "a box must be the watermark's size, 4x3"),
    ("watermark:{wm},1,2,3", "position must be two integers (x,y) or four"),
    ("watermark:{wm},0,2147483647", "the watermark's far corner must stay within 32-bit coordinates"),
    ("lut:{dir}/none.cube", "path must be a .cube LUT file that exists"),
    ("lut:{junk}", "path must be a .cube LUT file"),
    ("lut:{cube},1.5", "strength must be a number from 0 to 1, got 1.5"),
])
def test_values_a_step_cannot_take_are_refused_while_parsing(files, text, expected):
    text = text.format(**files)
    with pytest.raises(ChainError) as caught:
        Chain.parse(f"sharpen | {text}")
    message = str(caught.value)
    assert expected in message
    assert message.startswith("step 2 '") and "\n" not in message


@pytest.mark.parametrize(("data", "expected"), [
    ([{"method": "optimize", "args": [0]}], "quality must be an integer from 1 to 100"),
    ([{"method": "flip", "kwargs": {"direction": "up"}}], "direction must be horizontal or vertical"),
    ([{"method": "apply_preset", "args": ["nope"]}], "preset_name must be a preset"),
    ([{"method": "thumbnail", "args": [[0, 5]]}], "size must be two integers from 1"),
])
def test_the_json_form_is_held_to_the_same_rules(data, expected):
    with pytest.raises(ChainError, match=expected):
        Chain.from_data(data)


def test_bounds_are_inclusive_where_the_methods_are(files):
    chain = Chain.parse(f"quality:1 | quality:100 | grey:0 | grey:1 | blur:0 | blur:2147483583 | border:0 "
                        f"| border:6688 | crop:0,0,1,1 | resize:1,1 | FLIP:VERTICAL | mode:rgba | mode:i;16 "
                        f"| format:.Jpg | format:tif | exposure:{files['wm']},0 | exposure:{files['wm']},1 "
                        f"| watermark:{files['wm']},1,1,5,4 | lut:{files['cube']},0 | gamma:0.01 | corners:0")
    assert len(chain) == 21


@pytest.fixture
def looks_file(tmp_path, monkeypatch):
    from framewick import looks

    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))  # no user's looks file
    path = tmp_path / "looks.toml"
    path.write_text('[looks.teal]\nsteps = "contrast:1.2 | grey:0.5"\n')
    looks.reset()
    looks.load(path)
    yield looks
    looks.reset()


def test_a_look_or_an_added_preset_counts_as_a_preset(looks_file, monkeypatch):
    from framewick.modules import effects

    # Both forms run the look's steps in the preset step's place.
    look = Chain.parse("contrast:1.2 | grey:0.5")
    assert Chain.parse("preset:teal") == Chain.from_data([{"method": "apply_preset", "args": ["TEAL"]}]) == look
    assert Chain.from_data([{"method": "apply_preset", "kwargs": {"preset_name": "noir"}}]).steps[0].method == "apply_preset"
    with pytest.raises(ChainError, match="got 'tea'; did you mean 'teal'"):
        Chain.parse("preset:tea")
    monkeypatch.setitem(effects.PRESETS, "mine", lambda img: img)
    assert Chain.parse("preset:Mine").steps[0] == Step("apply_preset", ("Mine",))
    with pytest.raises(ChainError, match="did you mean 'mine'"):
        Chain.parse("preset:mime")


# ---------------------------------------------------------------------------------------------
# What the parser lets through, the method takes

_EDGE_INTS = [0, -1, 1, 2, 3, 2**31 - 1, 2**31, 2**63, -(2**31)]
_INTS = st.one_of(st.sampled_from(_EDGE_INTS), st.integers(-8, 40))
_FLOATS = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.floats(-2, 3),
                    st.sampled_from([0.0, 1.0, -0.0, 1e-300, 1e300]))
# 20000 by 20000 is over the pixel bound, 20000 by a small size is a cheap picture.
_SIZES = st.one_of(st.sampled_from([0, -1, 2**31, 2**63, 20_000]), st.integers(-2, 24))


def _arguments(files):
    """A strategy of argument lists per step, from edge values and small ones."""
    pictures = st.sampled_from([files["wm"], files["junk"], files["dir"], files["dir"] + "/none.png"])
    text = st.text(max_size=6)
    return {
        "optimize": st.tuples(_INTS),
        "convert_mode": st.tuples(st.one_of(st.sampled_from(steps.MODES + ("rgb", "ycbcr", "rgba ", "xyz")), text)),
        "convert": st.tuples(st.sampled_from(["jpeg", ".JPG", "png", "gif", "bmp", "tif", "webp", "pdf", "xbm",
                                              "bufr", "xyz", "", " Png "])),
        "apply_blur": st.tuples(_INTS),
        "adjust_gamma": st.tuples(_FLOATS),
        "apply_grayscale": st.tuples(_FLOATS),
        "apply_contrast": st.tuples(_FLOATS),
        "apply_preset": st.tuples(st.one_of(st.sampled_from(steps.PRESET_NAMES + ("NOIR", "noir ", "")), text)),
        "rotate": st.tuples(_FLOATS, st.booleans()),
        "flip": st.tuples(st.one_of(st.sampled_from(["Horizontal", "VERTICAL", "diagonal"]), text)),
        "crop": st.tuples(_INTS, _INTS, _INTS, _INTS),
        "thumbnail": st.tuples(st.lists(_SIZES, min_size=0, max_size=3).map(tuple)),
        "round_corners": st.tuples(st.one_of(_FLOATS, _INTS)),
        "resize": st.tuples(_SIZES, _SIZES),
        "fit": st.tuples(_SIZES, _SIZES),
        "add_text": st.tuples(text, st.tuples(_INTS, _INTS), st.integers(-2, 40),
                              st.sampled_from(["red", "#00ff00", "nocolour", "rgb(1,2,3)"])),
        "add_watermark": st.tuples(pictures, st.one_of(st.tuples(_INTS, _INTS),
                                                       st.tuples(_INTS, _INTS).map(lambda p: p + (p[0] + 4, p[1] + 3)),
                                                       st.tuples(_INTS, _INTS, _INTS, _INTS))),
        "apply_border": st.tuples(_SIZES, st.sampled_from(["white", "#FF0000", "bogus"])),
        "double_exposure": st.tuples(pictures, _FLOATS),
        "apply_lut": st.tuples(st.sampled_from([files["cube"], files["junk"], files["dir"] + "/none.cube"]), _FLOATS),
    }


_FAILED = ("❌", "⚠️")


def _runs(step, mode):
    """Whether `step` runs on a small picture of `mode`: no exception and no failure line."""
    obj = FrameWick()
    obj.image = Image.new(mode, (8, 6), {"RGB": (200, 30, 60), "RGBA": (200, 30, 60, 128), "L": 90}[mode])
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            step.apply(obj)
        except (ValueError, TypeError, OSError, OverflowError, MemoryError, ZeroDivisionError) as e:
            return f"{type(e).__name__}: {e}"
    failed = [line for line in out.getvalue().splitlines() if line.startswith(_FAILED)]
    return failed[0] if failed else ""


def test_every_value_the_parser_takes_the_method_takes(files):
    arguments = {m: a for m, a in _arguments(files).items() if hasattr(FrameWick, m)}
    # What a step does on RGB with its plain values, per mode: a mode the step itself cannot take
    # (grayscale and the warm or cool presets blend with an RGB picture) is not the value's fault.
    modes = ("RGB", "RGBA", "L")

    @settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(st.sampled_from(sorted(arguments)).flatmap(lambda m: st.tuples(st.just(m), arguments[m])))
    def check(case):
        method, args = case
        text = Step(method, tuple(args)).to_text()
        try:
            chain = Chain.parse(text)
        except ChainError:
            return
        step = chain.steps[0]
        on_rgb = _runs(step, "RGB")
        assert on_rgb == "", f"{text}: {on_rgb}"
        for mode in modes[1:]:
            problem = _runs(step, mode)
            assert problem == "" or "images do not match" in problem, f"{text} on {mode}: {problem}"

    check()


# ---------------------------------------------------------------------------------------------
# --steps values and chain files


@pytest.mark.parametrize(("content", "expected"), [
    pytest.param("[" * 100_000 + "]" * 100_000, "nested deeper than 8 levels", id="deep-list"),
    pytest.param('{"a": ' * 50_000 + "1" + "}" * 50_000, "nested deeper than 8 levels", id="deep-object"),
    pytest.param(b"\x89PNG\r\n\x1a\n\xff\xfe", "not UTF-8 text (byte 0x89 at offset 0)", id="binary"),
    pytest.param(b"blur\x00", "not text (it holds a NUL byte at offset 4)", id="nul"),
    pytest.param("blur | " * 200_000, "larger than 1024 KiB", id="huge"),
    pytest.param('[{"method": "blur", "args": [', "chain JSON: Expecting value", id="broken-json"),
    pytest.param('{"method": "blur"}', "a chain in JSON is a list of steps", id="json-object"),
    pytest.param("preset:nope", "step 1 'preset': preset_name must be a preset", id="bad-step"),
    pytest.param('[{"method": "optimize", "args": [101]}]', "step 1 'optimize': quality must be an integer from 1 to 100",
                 id="bad-json-step"),
])
def test_bad_chain_files_are_one_line_chain_errors(tmp_path, content, expected):
    path = tmp_path / "chain.txt"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    with pytest.raises(ChainError) as caught:
        Chain.read(f"@{path}")
    assert expected in str(caught.value)
    assert "\n" not in str(caught.value)


@pytest.mark.parametrize(("target", "expected"), [
    ("/dev/zero", "not a regular file"),
    ("fifo", "not a regular file"),
    (".", "not a regular file"),
    ("missing.txt", "No such file or directory"),
    ("", "no file name after '@'"),
])
def test_chain_files_that_are_not_files_are_refused_at_once(tmp_path, target, expected):
    if target == "fifo":
        os.mkfifo(tmp_path / "fifo")  # no writer: opening it for a blocking read would hang
    path = target if target.startswith("/") or not target else str(tmp_path / target)
    with pytest.raises(ChainError, match=expected):
        Chain.read(f"@{path}")


def test_chain_files_hold_the_text_or_the_json_form(tmp_path):
    text = tmp_path / "chain.txt"
    text.write_bytes("\ufeffpreset:noir |\n  resize:64,48 |\n  text:\"é, ü\",(1,2)\n".encode())
    data = tmp_path / "chain.json"
    data.write_text("\n  " + Chain.parse("preset:noir | resize:64,48 | text:\"é, ü\",(1,2)").to_json(indent=2))
    expected = Chain.parse("preset:noir | resize:64,48 | text:\"é, ü\",(1,2)")
    assert Chain.read(f"@{text}") == Chain.read(f"@{data}") == expected
    assert Chain.read("preset:noir | resize:64,48 | text:\"é, ü\",(1,2)") == expected
    # Exactly the bound is still read.
    exact = tmp_path / "exact.txt"
    exact.write_text("blur" + " " * (steps.MAX_CHAIN_BYTES - 4))
    assert Chain.read(f"@{exact}") == Chain.parse("blur")


def test_deep_json_given_directly_is_refused_too():
    with pytest.raises(ChainError, match="nested deeper"):
        Chain.from_json("[" * 100_000)
    # A string full of brackets is not nesting.
    chain = Chain.from_json(json.dumps([{"method": "add_text", "args": ["[" * 50, [0, 0]]}]))
    assert chain.steps[0].args[0] == "[" * 50


# ---------------------------------------------------------------------------------------------
# A step declared anywhere is seen everywhere


@pytest.fixture
def square():
    """Declares, while the test runs, a mixin with one step: `square`, which makes the picture a
    square of `side` pixels (and so may let a JPEG be decoded smaller)."""
    from framewick.steps import declares, registry, step
    from framewick.steps.rules import between

    def declare():
        @declares
        class Squares:
            @step(aliases=("sq",), size=lambda values, size, exact: (values["side"], values["side"]),
                  reduces=lambda values, size: (values["side"],) * 2 if values["side"] < min(size) else None,
                  params={"side": dict(rule=steps.Rule("an integer from 1 to 4000", between(1, 4000)),
                                       meaning="pixels of each side", sample="300", slider=(1, 2000))})
            def square(self, side: int, colour: str = "white"):
                """Make the picture a square, cut or padded."""
                return self

        return Squares

    yield declare
    registry.remove("square")


def _completion():
    from framewick.cli.completion import words

    return {"square", "sq"} <= set(words())


def _help():
    from framewick.cli._common import step_list

    return "  square, sq\n      square(side: int, colour: str = 'white')\n      Make the picture a square" in step_list() \
        and "        side: pixels of each side\n            an integer from 1 to 4000; required; e.g. 300" in step_list()


def _controls():
    from framewick.studio.controls import step_controls

    found = [s for s in step_controls() if s["method"] == "square"]
    return bool(found) and found[0]["params"][0].items() >= {"control": "slider", "min": 1, "max": 2000}.items()


def _size_model():
    from framewick.steps.sizes import check

    return check([Step("square", (300,), {})], (1000, 500)) == (300, 300)


def _shrink_on_load():
    from framewick.photo.shrink import draft_scale

    return draft_scale([Step("brightness", (1.1,), {}), Step("square", (100,), {})], (1000, 800)) == 4


def _parsed_and_checked():
    try:
        Chain.parse("sq:0")
    except ChainError as e:
        return "side must be an integer from 1 to 4000, got 0" in str(e)
    return False


@pytest.mark.parametrize("seen", [
    lambda: any(d["method"] == "square" and d["aliases"] == ["sq"] and d["example"] == "square:300"
                and d["params"][0]["meaning"] == "pixels of each side" for d in steps.to_data()),
    _help, _completion, _controls, _size_model, _shrink_on_load, _parsed_and_checked,
], ids=["steps --json", "framewick steps", "completion", "studio controls", "size model", "shrink-on-load",
        "chain rules"])
def test_a_step_declared_in_a_test_module_is_seen_everywhere(square, seen):
    assert not seen()
    square()
    assert seen()


@pytest.mark.parametrize(("body", "problem"), [
    ("def square(self, side: int, colour: str = 'white'):\n    'Make the picture a square, cut or padded.'", None),
    ("def square(self, side: int, colour: str = 'black'):\n    'Make the picture a square, cut or padded.'",
     "square: declared as square(side: int, colour: str = 'white')"),
    ("def square(self, side: float, colour: str = 'white'):\n    'Make the picture a square, cut or padded.'",
     "is square(side: float"),
    ("def cube(self, side: int):\n    'Not declared.'", "cube: a method of"),
])
def test_the_declarations_are_checked_against_the_methods(square, body, problem):
    declared = square()
    namespace: dict = {}
    exec(body, namespace)
    method = next(v for k, v in namespace.items() if not k.startswith("__"))
    built = type("Squares", (), {method.__name__: method})
    found = steps.mismatches(type("Combined", (built,), {}))
    if problem is None:
        assert found == [] and steps.mismatches(type("Combined", (declared,), {})) == []
    else:
        assert any(problem in line for line in found), found
