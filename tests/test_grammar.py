"""The chain grammar as a public module: what the text and JSON forms read into, and back."""

import ast
import pathlib

import pytest

import framewick.chains
from framewick.chains import grammar
from framewick.chains.grammar import Bare, Group, Quoted, Value, Written
from framewick.steps import ChainError


@pytest.mark.parametrize("text, separator, parts", [
    ("a | b|c", "|", ["a ", " b", "c"]),
    ("text:'a | b' | blur", "|", ["text:'a | b' ", " blur"]),
    ('text:"x \\" | y" | blur', "|", ['text:"x \\" | y" ', " blur"]),
    ("thumbnail:(64,48),size=3", ",", ["thumbnail:(64,48)", "size=3"]),
    ("(64,48),'a,b',c", ",", ["(64,48)", "'a,b'", "c"]),
    ("", "|", [""]),
])
def test_split_ignores_separators_inside_quotes_and_parentheses(text, separator, parts):
    assert grammar.split(text, separator) == parts


@pytest.mark.parametrize("text, message", [
    ("text:'open | blur", "chain: unclosed ' in"),
    ("crop:(1,2 | blur", "chain: '(' without ')'"),
    ("crop:1,2) | blur", "chain: ')' without '('"),
])
def test_split_refuses_what_is_not_balanced(text, message):
    with pytest.raises(ChainError, match=message.replace("(", r"\(").replace(")", r"\)")):
        grammar.split(text, "|")


@pytest.mark.parametrize("text, data", [
    ("border:10,color=white", [{"method": "border", "args": [10], "kwargs": {"color": "white"}}]),
    ("look:film,strength=0.5 | blur", [{"method": "look", "args": ["film"], "kwargs": {"strength": 0.5}},
                                       {"method": "blur"}]),
    ("text:'a, b',(1,2)", [{"method": "text", "args": ["a, b", [1, 2]]}]),
])
def test_both_forms_read_into_the_same_steps_and_items(text, data):
    from_text, from_data = grammar.read_text(text), grammar.read_data(data)
    assert [(w.index, w.name, [k for k, _ in w.items]) for w in from_text] == \
        [(w.index, w.name, [k for k, _ in w.items]) for w in from_data]
    assert all(isinstance(raw, Value) for w in from_data for _, raw in w.items)


@pytest.mark.parametrize("step", [
    Written(1, "text", ((None, Quoted("a, b | 'c'")), (None, Group(("1", "2"))), ("color", Bare("red")))),
    Written(1, "lut", ((None, Quoted("/a dir/x.cube")), (None, Bare("0.5")))),
    Written(1, "watermark", (("watermark_path", Quoted('say "hi" \\ there')),)),
    Written(1, "blur", ()),
])
def test_a_written_step_reads_back_as_itself(step):
    assert grammar.read_text(grammar.write(step)) == [step]


@pytest.mark.parametrize("text, message", [
    ("blur | | invert", "step 2: empty step"),
    ("blur:1,,2", "step 1 'blur': empty argument"),
    ("9lives:1", "step 1: '9lives' is not a step name"),
    ("text:'a'b", "step 1 'text': text after the closing quote"),
    ("border:width=", "step 1 'border': no value after 'width='"),
    (" | ".join(["blur"] * 10_001), "chain: more than 10,000 steps"),
])
def test_the_text_form_refuses_what_it_cannot_read(text, message):
    with pytest.raises(ChainError, match=message):
        grammar.read_text(text)


@pytest.mark.parametrize("data, message", [
    ({"method": "blur"}, "a chain in JSON is a list of steps"),
    (["blur"], "step 1: expected an object with a \"method\" text"),
    ([{"method": "blur", "arg": [1]}], "step 1 'blur': unknown field 'arg'"),
    ([{"method": "blur", "args": 1}], "step 1 'blur': \"args\" is a list"),
])
def test_the_json_form_refuses_what_is_no_step(data, message):
    with pytest.raises(ChainError, match=message):
        grammar.read_data(data)


@pytest.mark.parametrize("text, where, message", [
    ("[" * 9 + "]" * 9, "", "chain JSON: nested deeper than 8 levels"),
    ('[{"method": "blur", "args": ["[[[[[[[[[["]}]', "", None),   # brackets inside a string do not nest
    ('[{"method": ', "--steps @c.json", "--steps @c.json: chain JSON: Expecting value"),
    ("[" * 100_000, "--steps @c.json", "--steps @c.json: nested deeper than 8 levels"),
])
def test_json_is_bounded_before_it_is_decoded(text, where, message):
    if message is None:
        assert grammar.decode_json(text, where)[0]["method"] == "blur"
        return
    with pytest.raises(ChainError, match=message):
        grammar.decode_json(text, where)


_ABOVE = ("framewick.photo", "framewick.cli", "framewick.studio", "framewick.batch", "framewick.picture",
          "framewick.cli.samples", "framewick.looks", "framewick.chain", "framewick.lut")


@pytest.mark.parametrize("path", sorted(pathlib.Path(framewick.chains.__file__).parent.glob("*.py")), ids=lambda p: p.name)
def test_the_chains_layer_imports_nothing_above_it(path):
    """Anywhere in a module, at its top or inside a function."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom) and node.module:
            found |= {node.module} | {f"{node.module}.{a.name}" for a in node.names}
        elif isinstance(node, ast.Import):
            found |= {a.name for a in node.names}
    assert not sorted(m for m in found if m.startswith(_ABOVE) and not m.startswith("framewick.chains"))
