"""Looks files: reading them, which file wins, and looks expanded inside chains."""

import json
import os
import textwrap

import pytest
from PIL import Image

from framewick import FrameWick, looks
from framewick.chain import Chain, ChainError
from framewick.lut import write_cube


@pytest.fixture(autouse=True)
def no_user_looks(tmp_path, monkeypatch):
    """Every test starts with no looks, and with a config directory of its own."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    looks.reset()
    yield
    looks.reset()


def looks_file(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return str(path)


def steps_of(text):
    return [(s.method, s.args, dict(s.kwargs)) for s in Chain.parse(text)]


def test_a_look_using_a_look_and_preset_names(tmp_path):
    looks.load(looks_file(tmp_path / "looks.toml", """
        [looks.base]
        steps = "contrast:1.2 | preset:noir"
        description = "Contrast, then noir"
        [looks.House-Style]
        steps = "look:base | border:10,color=white | preset:base"
    """))
    assert steps_of("blur:2 | look:house-style | resize:8,8") == [
        ("apply_blur", (2,), {}),
        ("apply_contrast", (1.2,), {}), ("apply_preset", ("noir",), {}),
        ("apply_border", (10,), {"color": "white"}),
        ("apply_contrast", (1.2,), {}), ("apply_preset", ("noir",), {}),
        ("resize", (8, 8), {}),
    ]
    assert steps_of("preset:BASE") == steps_of("look:base") == steps_of('look:name="base"')
    found = looks.find("House-Style")
    assert (found.name, found.description, found.file) == ("house-style", "", str(tmp_path / "looks.toml"))
    assert looks.find("base").description == "Contrast, then noir"


@pytest.mark.parametrize("text, chain, message", [
    ('[looks.a]\nsteps = "look:a"', "look:a", "look 'a' -> 'a': a cycle"),
    ('[looks.a]\nsteps = "blur:1 | look:b"\n[looks.b]\nsteps = "preset:a"', "look:a", "look 'a' -> 'b' -> 'a': a cycle"),
    ('[looks.a]\nsteps = "look:b"\n[looks.b]\nsteps = "look:c"', "blur:1 | look:a", "look 'a' -> 'b' -> 'c': no such look"),
    ('[looks.film]\nsteps = "blur:1"', "look:flim", "look 'flim': no such look; did you mean 'film'?"),
    ('[looks.a]\nsteps = "blur:1"', "look", "write look:NAME with one look name"),
    ('[looks.a]\nsteps = "blur:1"', "look:a,b", "write look:NAME with one look name"),
    ('[looks.a]\nsteps = "text:\'unclosed"', "look:a", "look 'a' in "),
    ('[looks.a]\nsteps = "blur:1 | look:b"\n[looks.b]\nsteps = "blur:1 | resize:10"', "look:a",
     "looks.toml: step 2 'resize': missing height"),
    ('[looks.a]\nsteps = "blur:1 | look:b"\n[looks.b]\nsteps = "blur:1 | resize:10"', "look:a", "look 'a' -> 'b' in /"),
    ('[looks.a]\nsteps = "' + " | ".join(["look:b"] * 30) + '"\n[looks.b]\nsteps = "' + " | ".join(["look:c"] * 30) + '"\n'
     '[looks.c]\nsteps = "' + " | ".join(["blur:1"] * 30) + '"', "look:a", "looks.toml: the chain would have more than 10,000 steps"),
])
def test_looks_that_cannot_expand_are_chain_errors(tmp_path, text, chain, message):
    looks.load(looks_file(tmp_path / "looks.toml", text))
    with pytest.raises(ChainError) as refused:
        Chain.parse(chain)
    assert message in str(refused.value)


def test_paths_in_a_look_are_relative_to_its_file(tmp_path, monkeypatch):
    shared = tmp_path / "shared"
    (shared / "luts").mkdir(parents=True)
    write_cube(shared / "luts" / "film.cube", 2, lambda r, g, b: (b, g, r))
    Image.new("RGBA", (4, 4), (255, 0, 0, 128)).save(shared / "logo, small.png")
    Image.new("RGB", (4, 4), "blue").save(shared / "sky.png")
    looks.load(looks_file(shared / "looks.toml", """
        [looks.film]
        steps = "lut:luts/film.cube,0.8 | watermark:'logo, small.png',(1,1) | exposure:opacity=0.5,overlay_image_path=sky.png | lut:/elsewhere/x.cube"
    """))
    (tmp_path / "work").mkdir()
    monkeypatch.chdir(tmp_path / "work")
    steps = looks.expand("film")
    assert [text for text, _ in steps[:3]] == [
        f'lut:"{shared}/luts/film.cube",0.8',
        f"watermark:\"{shared}/logo, small.png\",(1,1)",
        f'exposure:opacity=0.5,overlay_image_path="{shared}/sky.png"',
    ]
    assert steps[3][0] == "lut:/elsewhere/x.cube" and {base for _, base in steps} == {str(shared)}


def test_a_look_runs_its_steps_on_the_picture(tmp_path, capsys):
    write_cube(tmp_path / "swap.cube", 2, lambda r, g, b: (b, g, r))
    looks.load(looks_file(tmp_path / "looks.toml", '[looks.swap]\nsteps = "lut:swap.cube | border:2"'))
    obj = FrameWick()
    obj.image = Image.new("RGB", (4, 4), (200, 100, 10))
    Chain.parse("look:swap").apply(obj)
    assert obj.image.size == (8, 8) and obj.image.getpixel((4, 4)) == (10, 100, 200)
    assert "🎨 Success: LUT 'swap.cube' applied!" in capsys.readouterr().out


def test_later_files_win_and_builtin_presets_stay(tmp_path):
    first = looks_file(tmp_path / "one.toml", '[looks.film]\nsteps = "blur:1"\n[looks.keep]\nsteps = "blur:3"')
    second = looks_file(tmp_path / "two.toml", '[looks.FILM]\nsteps = "blur:2"\ndescription = "second"')
    assert [look.name for look in looks.load(first)] == ["film", "keep"]
    looks.load(second)
    assert [(look.name, look.steps, look.file) for look in looks.all_looks()] == [
        ("film", "blur:2", second), ("keep", "blur:3", first)]
    assert steps_of("preset:film") == [("apply_blur", (2,), {})]
    assert steps_of("preset:noir") == [("apply_preset", ("noir",), {})]
    clash = looks_file(tmp_path / "three.toml", '[looks.Noir]\nsteps = "blur:9"')
    with pytest.raises(looks.LooksError, match=f"^{clash}: look 'Noir' has the name of a built-in preset"):
        looks.load(clash)
    assert steps_of("preset:noir") == [("apply_preset", ("noir",), {})] and looks.find("keep")


@pytest.mark.parametrize("env, where", [
    ({"XDG_CONFIG_HOME": "{tmp}/xdg"}, "{tmp}/xdg/framewick/looks.toml"),
    ({"XDG_CONFIG_HOME": None}, "{tmp}/home/.config/framewick/looks.toml"),
    ({"XDG_CONFIG_HOME": "relative/dir"}, "{tmp}/home/.config/framewick/looks.toml"),
])
def test_the_default_file_is_read_first_and_loses_to_later_ones(tmp_path, monkeypatch, env, where):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    for name, value in env.items():
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value.format(tmp=tmp_path))
    default = looks_file(tmp_path / where.format(tmp=tmp_path)[len(str(tmp_path)) + 1:],
                         '[looks.mine]\nsteps = "blur:1"\n[looks.other]\nsteps = "blur:5"')
    looks.reset()
    assert looks.default_path() == default
    looks.load(looks_file(tmp_path / "extra.toml", '[looks.mine]\nsteps = "blur:2"'))
    assert looks.find("mine").steps == "blur:2" and looks.find("other").file == default


def test_no_default_file_means_no_looks(tmp_path):
    assert looks.all_looks() == [] and looks.find("anything") is None
    assert steps_of("preset:vintage") == [("apply_preset", ("vintage",), {})]


@pytest.mark.parametrize("text, message", [
    ("[looks.a\nsteps = 1", "not a looks file (Expected ']'"),
    ('[look.a]\nsteps = "blur:1"', "unknown key 'look'; a looks file holds [looks.NAME] tables"),
    ('looks = "blur:1"', "'looks' is a table of looks"),
    ("[looks.a]\ndescription = 'no steps'", "look 'a' needs steps"),
    ("[looks.a]\nsteps = '  '", "look 'a' needs steps"),
    ("[looks.a]\nsteps = 3", "look 'a' needs steps"),
    ("[looks.a]\nsteps = 'blur:1'\ncolour = 'red'", "look 'a': unknown key 'colour'"),
    ("[looks.a]\nsteps = 'blur:1'\ndescription = 4", "look 'a': the description is text"),
    ('[looks."has space"]\nsteps = "blur:1"', "'has space' is not a look name"),
    ("[looks.a]\nsteps = 'blur:1'\n[looks.A]\nsteps = 'blur:2'", "two looks named 'a'"),
    (b"\xff\xfe[looks]", "not a looks file (not UTF-8 text)"),
])
def test_malformed_looks_files_are_refused_naming_the_file(tmp_path, text, message):
    path = tmp_path / "bad.toml"
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    with pytest.raises(looks.LooksError) as refused:
        looks.load(path)
    assert str(refused.value).startswith(f"{path}: ") and message in str(refused.value)
    assert looks.all_looks() == []


def test_missing_looks_file_and_a_broken_default(tmp_path):
    with pytest.raises(looks.LooksError, match="no such looks file"):
        looks.load(tmp_path / "none.toml")
    broken = looks_file(tmp_path / "config" / "framewick" / "looks.toml", "[looks")
    looks.reset()
    for _ in range(2):  # reported at every use until it is mended, never silently skipped
        with pytest.raises(looks.LooksError, match=f"^{broken}: not a looks file"):
            looks.find("x")
    with pytest.raises(ChainError, match=f"^{broken}: not a looks file"):
        Chain.parse("blur:1 | look:x")
    assert steps_of("preset:noir | blur:1") == [("apply_preset", ("noir",), {}), ("apply_blur", (1,), {})]
    assert os.path.isfile(broken)


def test_looks_and_lut_files_are_checked_without_pillow(tmp_path, run_py):
    pytest.importorskip("framewick.steps", reason="chains are parsed without Pillow from the step table")
    folder = tmp_path / "config" / "framewick"
    looks_file(folder / "looks.toml", '[looks.film]\nsteps = "lut:id.cube,0.5 | blur:1"')
    write_cube(folder / "id.cube", 2, lambda r, g, b: (r, g, b))
    code, out, err = run_py(f"""
        import os, sys
        os.environ["XDG_CONFIG_HOME"] = {str(tmp_path / "config")!r}
        from framewick.chain import Chain
        from framewick.lut import read_cube
        print(Chain.parse("preset:film").to_text(), read_cube({str(folder / "id.cube")!r}).size)
        print(sorted(m for m in sys.modules if m.split(".")[0] in ("PIL", "numpy") or ".modules." in m or ".utils." in m))
    """)
    assert code == 0, err
    assert out.splitlines() == [f"lut:{folder}/id.cube,0.5 | blur:1 2", "[]"]


# ---------------------------------------------------------------------------------------------
# Bounds: how deep looks nest, how long a chain grows, what a path may hold


def _deep_looks(count):
    lines = [f'[looks.l{i}]\nsteps = "look:l{i + 1}"' for i in range(count)]
    return "\n".join(lines + [f'[looks.l{count}]\nsteps = "blur:1"'])


def _wide_looks(levels, fan):
    """l0 is one step; each further look uses the one before `fan` times (l2 is fan**2 steps)."""
    lines = ['[looks.l0]\nsteps = "blur:1"']
    lines += [f'[looks.l{i}]\nsteps = "' + " | ".join([f"look:l{i - 1}"] * fan) + '"' for i in range(1, levels)]
    return "\n".join(lines)


@pytest.mark.parametrize("text, chain, message", [
    (_deep_looks(1500), "look:l0", "looks used inside looks more than 32 deep"),
    (_deep_looks(looks.MAX_DEPTH), "look:l0", "looks used inside looks more than 32 deep"),
    (_deep_looks(looks.MAX_DEPTH - 1), "look:l0", None),
    (_wide_looks(5, 10), " | ".join(["look:l4"] * 30), "more than 10,000 steps"),
    (_wide_looks(5, 10), "look:l4 | blur:1", "more than 10,000 steps"),
    (_wide_looks(5, 10), "look:l4", None),
    (_wide_looks(3, 10), " | ".join(["look:l2"] * 100) + " | blur:1", "more than 10,000 steps"),
    (_wide_looks(1, 1), " | ".join(["blur:1"] * 10_001), "chain: more than 10,000 steps"),
], ids=["1500-deep", "33-deep", "32-deep", "30-looks-of-10000", "10001", "10000", "100-looks-of-100-and-1",
        "10001-plain"])
def test_looks_nesting_and_the_whole_chain_are_bounded(tmp_path, text, chain, message):
    path = looks_file(tmp_path / "looks.toml", text)
    looks.load(path)
    if message is None:
        assert len(Chain.parse(chain)) in (1, 10_000)
        return
    with pytest.raises(ChainError) as refused:
        Chain.parse(chain)
    line = str(refused.value)
    assert message in line and "\n" not in line
    if "deep" in message:
        assert path in line


def test_a_json_chain_is_bounded_as_a_whole(tmp_path):
    looks.load(looks_file(tmp_path / "looks.toml", _wide_looks(5, 10)))
    with pytest.raises(ChainError, match="more than 10,000 steps"):
        Chain.from_data([{"method": "apply_preset", "args": ["l4"]}] * 2)
    with pytest.raises(ChainError, match="more than 10,000 steps"):
        Chain.from_data([{"method": "apply_blur"}] * 10_001)
    assert len(Chain.from_data([{"method": "apply_preset", "args": ["l4"]}])) == 10_000


@pytest.mark.parametrize("text", [
    "x = " + "[" * 100_000 + "]" * 100_000,
    "x = " + "{a = " * 50_000 + "1" + "}" * 50_000,
    "[looks.a]\nsteps = \"blur:1\"\nx = " + "[" * 33 + "]" * 33,
], ids=["arrays", "tables", "33"])
def test_a_looks_file_nested_too_deeply_is_refused_naming_the_file(tmp_path, text):
    path = looks_file(tmp_path / "deep.toml", text)
    with pytest.raises(looks.LooksError, match=f"^{path}: not a looks file .*nested deeper than 32 levels"):
        looks.load(path)


def test_brackets_in_strings_and_comments_do_not_count_as_nesting(tmp_path):
    brackets = "[" * 40
    path = looks_file(tmp_path / "looks.toml", f"""
        # {brackets}
        [looks.a]
        steps = "text:'{brackets}',1,2"
        description = '''{brackets}'''
    """)
    assert [look.name for look in looks.load(path)] == ["a"]


_BAD_PATHS = [
    ("lut", "path", "a\x00b.cube", "NUL"),
    ("watermark", "watermark_path", "w\x00.png", "NUL"),
    ("exposure", "overlay_image_path", "\ud800.png", "lone surrogate"),
    ("lut", "path", "\udfff.cube", "lone surrogate"),
]


@pytest.mark.parametrize("form, step, param, bad, reason", [
    (form, *case) for form in ("text", "json", "looks") for case in _BAD_PATHS
    if form != "looks" or "\x00" in case[2]  # TOML text cannot hold a lone surrogate
])
def test_a_path_no_file_can_have_is_a_chain_error_naming_the_step(tmp_path, form, step, param, bad, reason):
    args = [bad, [1, 2]] if step == "watermark" else [bad]
    if form == "text":
        run = lambda: Chain.parse(f'{step}:"{bad}"' + (",1,2" if step == "watermark" else ""))  # noqa: E731
    elif form == "json":
        run = lambda: Chain.from_json(json.dumps([{"method": step, "args": args}]))  # noqa: E731
    else:
        text = json.dumps(f'{step}:"{bad}"' + (",1,2" if step == "watermark" else ""))
        looks.load(looks_file(tmp_path / "looks.toml", f"[looks.x]\nsteps = {text}"))
        run = lambda: Chain.parse("look:x")  # noqa: E731
    with pytest.raises(ChainError) as refused:
        run()
    line = str(refused.value)
    assert f"'{step}': {param} must be" in line and f"cannot hold a {reason}" in line


def test_a_name_with_undecodable_bytes_is_still_a_file(tmp_path):
    name = os.fsdecode(b"\xff.cube")  # as the system hands it over: a surrogate that stands for the byte
    write_cube(tmp_path / name, 2, lambda r, g, b: (r, g, b))
    assert Chain.parse(f'lut:"{tmp_path / name}"').steps[0].args == (str(tmp_path / name),)


@pytest.mark.parametrize("looks_text, steps, message", [
    (_deep_looks(1500), "look:l0", "looks used inside looks more than 32 deep"),
    ("x = " + "[" * 100_000 + "]" * 100_000, "blur:1", "nested deeper than 32 levels"),
    (_wide_looks(5, 10), " | ".join(["look:l4"] * 30), "more than 10,000 steps"),
], ids=["deep-looks", "deep-array", "long-chain"])
def test_the_command_line_refuses_them_as_usage_errors_before_reading(tmp_path, looks_text, steps, message):
    import subprocess
    import sysconfig

    path = looks_file(tmp_path / "looks.toml", looks_text)
    script = os.path.join(sysconfig.get_path("scripts"), "framewick")
    done = subprocess.run([script, "edit", str(tmp_path / "missing.png"), "-o", str(tmp_path / "o.png"),
                           "--looks", path, "--steps", steps], capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and message in done.stderr and path in done.stderr, done.stderr
    assert len(done.stderr.splitlines()) == 1 and not (tmp_path / "o.png").exists()


@pytest.mark.parametrize("bad", ["looks\x00.toml", "\ud800.toml"])
def test_a_looks_file_name_no_file_can_have_is_a_looks_error(bad):
    with pytest.raises(looks.LooksError, match="a file name cannot hold a"):
        looks.load(bad)


def _blended_looks(levels, fan):
    """As _wide_looks, each look using the one before at half strength."""
    lines = ['[looks.l0]\nsteps = "blur:1"']
    lines += [f'[looks.l{i}]\nsteps = "' + " | ".join([f"look:l{i - 1},strength=0.5"] * fan) + '"'
              for i in range(1, levels)]
    return "\n".join(lines)


@pytest.mark.parametrize("text, chain, message", [
    (_blended_looks(5, 10), " | ".join(["look:l4,strength=0.5"] * 30), "more than 10,000 steps"),
    (_blended_looks(5, 10), "look:l4,strength=0.5 | blur:1", "more than 10,000 steps"),
    ("\n".join([f'[looks.l{i}]\nsteps = "look:l{i + 1},strength=0.5"' for i in range(1500)]
               + ['[looks.l1500]\nsteps = "blur:1"']), "look:l0,strength=0.5", "more than 32 deep"),
], ids=["30-blended", "10000-blended-and-1", "1500-deep-blended"])
def test_looks_at_a_strength_count_their_steps_and_depth_too(tmp_path, text, chain, message):
    looks.load(looks_file(tmp_path / "looks.toml", text))
    with pytest.raises(ChainError, match=message):
        Chain.parse(chain)
    with pytest.raises(ChainError, match=message):
        Chain.from_data([{"method": "apply_preset", "args": [chain.split(",")[0][5:]],
                          "kwargs": {"strength": 0.5}}] * (1 if "deep" in message else 30))


# ---------------------------------------------------------------------------------------------
# A resolver passed in instead of the looks files


class _Shelf:
    """A resolver object: its own looks, none of them in the looks files."""

    def __init__(self, base, **chains):
        self.looks = {name: looks.Look(name, text, "", str(base / "shelf.toml")) for name, text in chains.items()}

    def find(self, name):
        return self.looks.get(name.lower())

    def all_looks(self):
        return list(self.looks.values())


def _resolvers(tmp_path):
    shelf = _Shelf(tmp_path, film="contrast:1.5 | border:3", frame="look:film | invert")
    texts = {"film": "contrast:1.5 | border:3", "frame": "look:film | invert"}
    return {"object": shelf, "function": shelf.find, "texts": lambda name: texts.get(name.lower())}


@pytest.mark.parametrize("kind", ["object", "function", "texts"])
def test_a_resolver_passed_in_answers_the_looks_instead_of_the_files(tmp_path, kind):
    looks.load(looks_file(tmp_path / "looks.toml", '[looks.film]\nsteps = "blur:9"'))
    resolver = _resolvers(tmp_path)[kind]
    expected = [("apply_contrast", (1.5,), {}), ("apply_border", (3,), {}), ("invert", (), {})]
    for text in ("look:frame", "preset:FRAME"):
        chain = Chain.parse(text, resolver=resolver)
        assert [(s.method, s.args, dict(s.kwargs)) for s in chain] == expected
        assert Chain.from_data(chain.to_data(), resolver=resolver) == chain
    blended = Chain.parse("look:frame,strength=0.5", resolver=resolver).steps
    assert [(s.method, s.strength, len(s.steps)) for s in blended] == [("look", 0.5, 3)]
    assert steps_of("look:film") == [("apply_blur", (9,), {})]  # the files still answer by default


@pytest.mark.parametrize("resolver, text, message", [
    (None, "look:film", "look 'film': no such look"),
    (None, "preset:film", "step 1 'preset': preset_name must be a preset"),
    ("object", "look:flim", "look 'flim': no such look; did you mean 'film'?"),
    ("object", "preset:flim", "got 'flim'; did you mean 'film'?"),
    ("function", "look:flim", "look 'flim': no such look"),
    ("texts", "look:frame | look:nope", "look 'nope': no such look"),
])
def test_a_resolver_that_does_not_know_a_name_refuses_it(tmp_path, resolver, text, message):
    looks.load(looks_file(tmp_path / "looks.toml", '[looks.film]\nsteps = "blur:9"'))
    found = _resolvers(tmp_path)[resolver] if resolver else None
    with pytest.raises(ChainError, match=message):
        Chain.parse(text, resolver=found)


def test_a_resolvers_look_reads_its_files_next_to_it_and_expands_from_its_parts(tmp_path):
    from framewick.chains.chain import LookRef, expand, read_parts

    write_cube(tmp_path / "swap.cube", 2, lambda r, g, b: (b, g, r))
    shelf = _Shelf(tmp_path, graded="lut:swap.cube,0.5 | border:1")
    parts = read_parts("blur:1 | preset:graded,strength=0.5 | look:graded")
    assert [type(p).__name__ for p in parts] == ["Step", "LookRef", "LookRef"]
    assert parts[1] == LookRef("graded", 0.5, 2, "preset", preset=True)
    steps = expand(parts, shelf)
    assert steps == Chain.parse("blur:1 | preset:graded,strength=0.5 | look:graded", resolver=shelf).steps
    assert steps[2].args == (str(tmp_path / "swap.cube"), 0.5)
