"""The chain text form and JSON form: names, conversions by annotation, refusals, running."""

import json

import pytest

from framewick import FrameWick
from framewick.chain import ALIASES, Catalogue, Chain, ChainError, Step, catalogue


def one(text):
    chain = Chain.parse(text)
    assert len(chain) == 1
    return chain.steps[0]


@pytest.mark.parametrize(("text", "method", "args", "kwargs"), [
    ("resize:800,600", "resize", (800, 600), {}),
    ("border:10", "apply_border", (10,), {}),
    ("border:10,color=white", "apply_border", (10,), {"color": "white"}),
    ("blur", "apply_blur", (), {}),
    ("  Apply-Blur : 3 ", "apply_blur", (3,), {}),
    ("preset:vintage", "apply_preset", ("vintage",), {}),
    ("text:800,0,0", "add_text", ("800", (0, 0)), {}),     # a str parameter keeps the text
    ("contrast:2", "apply_contrast", (2.0,), {}),
    ("grey:0.25", "apply_grayscale", (0.25,), {}),
    ("gamma:1e-1", "adjust_gamma", (0.1,), {}),
    ("rotate:90,no", "rotate", (90.0, False), {}),
    ("rotate:90,YES", "rotate", (90.0, True), {}),
    ("rotate:-45,0", "rotate", (-45.0, False), {}),
    ("rotate:angle=1,expand=on", "rotate", (), {"angle": 1.0, "expand": True}),
    ("thumbnail:64,48", "thumbnail", ((64, 48),), {}),
    ("thumbnail:(64, 48)", "thumbnail", ((64, 48),), {}),
    ("thumbnail:size=64,48", "thumbnail", (), {"size": (64, 48)}),
    ("text:Hello,10,20", "add_text", ("Hello", (10, 20)), {}),
    ("text:Hello,10,20,font_size=24,color=red", "add_text", ("Hello", (10, 20)), {"font_size": 24, "color": "red"}),
    ("text:Hello,(10,20),24,red", "add_text", ("Hello", (10, 20), 24, "red"), {}),
    ("text:\"a, b | c=d\",(1,2)", "add_text", ("a, b | c=d", (1, 2)), {}),
    ("text:'say \\'hi\\'',(0,0)", "add_text", ("say 'hi'", (0, 0)), {}),
    ("corners:40", "round_corners", (40,), {}),              # unannotated: a number
    ("corners:12.5", "round_corners", (12.5,), {}),
    ("quality:80", "optimize", (80,), {}),
    ("mode:rgb", "convert_mode", ("rgb",), {}),
    ("crop:-4,-2,32,16", "crop", (-4, -2, 32, 16), {}),
    ("report", "compare", (), {}),
    ("compare", "compare", (), {}),
])
def test_text_is_converted_by_the_methods_annotations(text, method, args, kwargs):
    step = one(text)
    assert step == Step(method, args, kwargs)
    # The converted values have the annotation's type, not merely an equal value (90 vs 90.0).
    assert [type(v) for v in step.args] == [type(v) for v in args]
    assert {k: type(v) for k, v in step.kwargs.items()} == {k: type(v) for k, v in kwargs.items()}


def test_steps_run_in_the_order_written():
    chain = Chain.parse("preset:vintage | resize:800,600 | border:10 | compare | optimize:80")
    assert [s.method for s in chain] == ["apply_preset", "resize", "apply_border", "compare", "optimize"]
    assert Chain.parse("  ") == Chain(())


@pytest.mark.parametrize(("text", "expected"), [
    ("blurr", "step 1: unknown step 'blurr'; did you mean 'blur'"),
    ("blur | resize:800", "step 2 'resize': missing height (int)"),
    ("preset:", "step 1 'preset': missing preset_name (str)"),
    ("border:1,red,3", "step 1 'border': too many arguments"),
    ("sharpen:1", "step 1 'sharpen': too many arguments; sharpen takes no arguments"),
    ("resize:8.5,6", "step 1 'resize': width expects an integer"),
    ("resize:800,six", "height expects an integer, e.g. 800, got 'six'"),
    ("contrast:lots", "step 1 'contrast': factor expects a number"),
    ("contrast:nan", "factor expects a number"),
    ("rotate:90,maybe", "expand expects true/false"),
    ("thumbnail:64,x", "size expects integers separated by commas"),
    ("blur:(1,2)", "radius expects an integer, e.g. 800, got (1,2)"),
    ("corners:round", "radius expects a number"),
    ("border:10,width=3", "no parameter 'width'"),
    ("border:3,border_width=4", "border_width is given twice"),
    ("border:color=red,3", "a plain argument after a keyword argument"),
    ("blur |", "step 2: empty step"),
    ("resize:1,,2", "empty argument"),
    ("text:'unclosed,(1,2)", "unclosed '"),
    ("text:'a'b,(1,2)", "text after the closing quote"),
    ("thumbnail:(64,48", "'(' without ')'"),
    ("preset:it's", "unclosed '"),
    ("9lives", "is not a step name"),
    # The chain's ends and the inspector's queries are not steps.
    ("load:x.png", "unknown step 'load'"),
    ("save:x.png", "unknown step 'save'"),
    ("histogram", "unknown step 'histogram'"),
    ("get_metadata", "unknown step 'get_metadata'"),
    ("extract_color_palette:3", "unknown step 'extract_color_palette'"),
    ("__init__", "unknown step '__init__'"),
    ("_check_logic", "unknown step '_check_logic'"),
])
def test_refusals_are_one_line_naming_the_step(text, expected):
    with pytest.raises(ChainError) as caught:
        Chain.parse(text)
    message = str(caught.value)
    assert expected in message
    assert "\n" not in message


@pytest.mark.parametrize("text", [
    "preset:vintage | resize:800,600 | border:10",
    "text:\"a, b | c\",(10,20),font_size=24 | rotate:90.5,false | thumbnail:64,64",
    "corners:12.5 | corners:40 | gamma:2 | crop:1,2,3,4 | text:\" RGB\",(0,0)",
    "text:'',(1,1) | border:0,color=\"#FF0000\" | mode:rgb",
])
def test_text_and_json_forms_round_trip(text):
    chain = Chain.parse(text)
    assert Chain.parse(chain.to_text()) == chain
    again = Chain.from_json(chain.to_json())
    assert again == chain
    assert [type(v) for s in again for v in s.args] == [type(v) for s in chain for v in s.args]


def test_json_form_is_documented_shape():
    data = json.loads(Chain.parse("border:10,color=white | thumbnail:64,64").to_json())
    assert data == [{"method": "apply_border", "args": [10], "kwargs": {"color": "white"}},
                    {"method": "thumbnail", "args": [[64, 64]]}]
    # Short names and text values are accepted in JSON too, converted as in the text form.
    assert Chain.from_data([{"method": "rotate", "args": ["90", "no"]}]) == Chain.parse("rotate:90,no")


@pytest.mark.parametrize(("data", "expected"), [
    ([{"method": "resize", "args": [1.5, 2]}], "width expects an integer, e.g. 800, got 1.5"),
    ([{"method": "resize", "args": [True, 2]}], "width expects an integer"),
    ([{"method": "thumbnail", "args": [[1, "a"]]}], "size expects integers"),
    ([{"method": "rotate", "args": [90, 2]}], "expand expects true/false"),
    ([{"method": "resize", "args": [1]}], "step 1 'resize': missing height"),
    ([{"method": "resize", "args": [1, 2], "extra": 1}], "unknown field 'extra'"),
    ([{"args": [1]}], "step 1: expected an object with a \"method\" text"),
    ({"method": "blur"}, "a chain in JSON is a list of steps"),
])
def test_json_refusals(data, expected):
    with pytest.raises(ChainError) as caught:
        Chain.from_data(data)
    assert expected in str(caught.value)


def test_json_that_does_not_parse_is_refused():
    with pytest.raises(ChainError, match="chain JSON"):
        Chain.from_json("[{")


def test_every_editing_method_is_reachable_and_the_short_names_are_derived():
    steps = catalogue()
    mixins = [k for k in FrameWick.__mro__ if k not in (FrameWick, object)]
    assert [k.__name__ for k in mixins][:5] == ["Storage", "Effects", "Geometry", "Overlays", "Inspector"]
    for info in steps:
        assert steps.resolve(info.method) is info
        if info.method.startswith("apply_"):
            assert steps.resolve(info.method.removeprefix("apply_")) is info
    for short, method in {"border": "apply_border", "blur": "apply_blur", "preset": "apply_preset"}.items():
        assert steps.resolve(short).method == method
    # Every alias names a step that exists, so none is a silent typo.
    assert {alias: steps.resolve(alias).method for alias in ALIASES} == dict(ALIASES)
    assert {"load", "save", "histogram", "get_metadata", "extract_color_palette"}.isdisjoint(steps.steps)
    assert {"compare", "optimize", "convert", "invert", "double_exposure", "fit"} <= set(steps.steps)


def test_a_new_mixin_method_is_a_step_without_touching_the_parser():
    class Halo:
        def apply_halo(self, strength: "float" = 0.5, square: "bool" = False):
            """A glow around the edges 🌒"""
            return self

        def measure(self) -> "dict":
            return {}

    class Extended(FrameWick, Halo):
        pass

    steps = Catalogue.from_class(Extended)
    step = Chain.parse("halo:0.75,yes", steps).steps[0]
    assert step == Step("apply_halo", (0.75, True))
    assert steps.resolve("measure") is None  # a declared return type marks a query
    assert "apply_halo(strength: float = 0.5, square: bool = False)" in steps.describe()
    assert "A glow around the edges 🌒" in steps.describe()


def test_step_list_comes_from_the_classes():
    text = catalogue().describe()
    for info in Catalogue.from_class(FrameWick):
        method = getattr(FrameWick, info.method)
        first = next(line.strip() for line in method.__doc__.splitlines() if line.strip())
        assert first in text
        assert info.signature() in text
    assert "apply_border(border_width: int, color: str = 'black')" in text


def test_apply_runs_on_the_object_and_hands_each_steps_lines_to_echo(picture):
    obj = FrameWick.load(picture(size=(64, 48)))
    lines = []
    result = Chain.parse("preset:noir | resize:32,24 | border:2 | blur").apply(obj, lines.append)
    assert result is obj
    assert obj.image.size == (36, 28) and obj.image.mode == "RGB"
    assert lines == ["🎯 Success: Preset 'noir' applied perfectly!\n", "📏 Success: Image resized to 32x24\n"]


def test_echo_gets_the_lines_of_a_failing_step_and_the_error_propagates(picture, console):
    obj = FrameWick.load(picture(size=(64, 48)))
    console.clear()
    lines = []
    # The parser refuses a size of 0; a chain made directly still reaches the method's own check.
    chain = Chain((Step("apply_sharpen"), Step("resize", (0, 5))))
    with pytest.raises(ValueError, match="Width and height must be positive"):
        chain.apply(obj, lines.append)
    assert lines == ["🎯 Success: Image sharpened!\n"]
    assert console.text() == ""  # captured, not printed


def test_a_step_that_does_not_return_the_object_is_refused():
    class Odd:
        def apply_blur(self, radius=2):
            return "something else"

    with pytest.raises(ChainError, match="returned str, not the picture object"):
        Chain.parse("blur").apply(Odd())


def test_the_chain_layer_expands_looks_itself_and_reaches_the_runner_without_importing_it(tmp_path, run_py):
    config = tmp_path / "config" / "framewick"
    config.mkdir(parents=True)
    (config / "looks.toml").write_text('[looks.film]\nsteps = "blur:1 | border:2"\n', encoding="utf-8")
    code, out, err = run_py(f"""
        import os, sys
        os.environ["XDG_CONFIG_HOME"] = {str(tmp_path / "config")!r}
        from framewick.chain import Chain
        loaded = lambda: [m in sys.modules for m in ("framewick.chains.looks", "framewick.photo")]
        print(loaded())
        chain = Chain.parse("look:film | invert")
        print(chain, loaded())
        from PIL import Image
        from framewick import FrameWick
        obj = FrameWick()
        obj.image = Image.new("RGBA", (4, 4), (10, 20, 30, 40))
        chain.apply(obj)
        print(obj.image.mode, obj.image.size, loaded())
    """)
    assert code == 0, err
    # The photo runner keeps the alpha that invert alone would drop.
    assert out.splitlines() == ["[True, False]", "blur:1 | border:2 | invert [True, False]",
                                "RGBA (8, 8) [True, True]"]


@pytest.mark.parametrize("runs_chains", [True, False])
def test_apply_hands_the_chain_to_an_object_that_runs_chains_else_calls_each_step(runs_chains):
    class Own:
        def __init__(self):
            self.calls = []

        def invert(self):
            self.calls.append("invert")
            return self

        def resize(self, width, height):
            self.calls.append(("resize", width, height))
            return self

    if runs_chains:
        Own.run_chain = lambda self, chain, echo=None: self.calls.append(("chain", str(chain)))
    chain = Chain.parse("invert | resize:4,3")
    obj = Own()
    assert chain.apply(obj) is obj
    assert obj.calls == ([("chain", "invert | resize:4,3")] if runs_chains else ["invert", ("resize", 4, 3)])
