"""The plan: a chain checked before any picture is read, then once the header is read."""

import builtins
import os

import pytest
from PIL import Image

from framewick.chain import Chain, ChainError
from framewick.photo.planning import Plan
from framewick._limits import LimitError


@pytest.mark.parametrize("frames", [1, 3])
def test_a_plan_opens_its_picture_once(tmp_path, monkeypatch, frames):
    path = str(tmp_path / "in.gif")
    pictures = [Image.new("P", (40, 30), i) for i in range(frames)]
    pictures[0].save(path, save_all=True, append_images=pictures[1:])
    opened, real = [], builtins.open

    def counting(file, *args, **kwargs):
        if isinstance(file, (str, os.PathLike)) and os.fspath(file) == path:
            opened.append(file)
        return real(file, *args, **kwargs)

    plan = Plan.make(Chain.parse("invert"), fmt="PNG", max_pixels=1_000_000)
    monkeypatch.setattr(builtins, "open", counting)
    obj = plan.open(path, path, None)
    assert len(opened) == 1 and obj.image.size == (40, 30)


@pytest.mark.parametrize("steps, fmt, error, words", [
    ("resize:2000,2000", "PNG", ChainError, "4,000,000 pixels"),       # no picture gets through
    ("format:png", "JPEG", LimitError, "prepares PNG, but the output 'x.jpg' writes JPEG"),
])
def test_what_no_picture_could_get_through_is_refused_before_reading(steps, fmt, error, words):
    with pytest.raises(error, match=words):
        Plan.make(Chain.parse(steps), fmt=fmt, max_pixels=1_000_000, where="the output 'x.jpg'")


@pytest.mark.parametrize("pillow, size, refused", [
    (10_000, (150, 150), True),           # past twice Pillow's limit as a program set it
    (10_000, (100, 100), False),
    (None, (20_000, 20_000), False),      # the limit lifted: opening and the steps alike
    (89_478_485, (20_000, 20_000), True),
])
def test_the_steps_are_held_to_the_limit_the_picture_was_opened_under(monkeypatch, pillow, size, refused):
    from framewick.steps import sizes

    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", pillow)
    chain = Chain.parse("border:1")
    if refused:
        with pytest.raises(ChainError, match="more than the limit of"):
            sizes.check(chain, size)
    else:
        assert sizes.check(chain, size) == (size[0] + 2, size[1] + 2)


@pytest.mark.parametrize("steps, method, args", [
    ("size:50%", "size", ("50%",)),
    ("brightness:1.2", "brightness", (1.2,)),
    ("vignette:0.5", "vignette", (0.5,)),
])
def test_a_planned_step_does_not_check_its_values_again(tmp_path, monkeypatch, steps, method, args):
    from framewick import editing

    path = str(tmp_path / "in.png")
    Image.new("RGB", (64, 48), "teal").save(path)
    checked, real = [], editing.check
    monkeypatch.setattr(editing, "check", lambda *a: checked.append(a[2]) or real(*a))
    plan = Plan.make(Chain.parse(steps), fmt="PNG")
    obj = plan.open(path, path, None)
    plan.run(obj, lambda line: None)
    assert checked == []
    getattr(obj, method)(*args)  # called directly, the method checks its values itself
    assert checked == [method]


@pytest.mark.parametrize("steps, limit, refused", [("border:20", 2_000, True), ("border:20", 100_000, False),
                                                  ("invert", 2_000, False)])
def test_a_preview_is_planned_on_its_proxy(tmp_path, steps, limit, refused):
    from framewick import FrameWick
    from framewick.studio import preview

    path = str(tmp_path / "in.png")
    Image.new("RGB", (40, 30), "teal").save(path)
    proxy = preview.make_proxy(path, max_pixels=limit)
    chain = Chain.parse(steps)
    if refused:
        with pytest.raises(ChainError, match="step 1 border"):
            preview.render(proxy, chain, FrameWick, None, max_pixels=limit)
    else:
        assert preview.render(proxy, chain, FrameWick, None, max_pixels=limit)[:2] == b"\xff\xd8"


@pytest.mark.parametrize("step", [("vignette", (5.0,)), ("brightness", (-1.0,)), ("size", ("nonsense",))])
def test_a_chain_built_from_steps_keeps_the_methods_own_checks(tmp_path, step):
    from framewick.chains.chain import Step

    path = str(tmp_path / "in.png")
    Image.new("RGB", (40, 30), "red").save(path)
    plan = Plan.make(Chain((Step(*step),)))
    picture = plan.open(path, path, None)
    with pytest.raises(ValueError, match="❌"):
        plan.run(picture, None)


# ---------------------------------------------------------------------------------------------
# The API's ways in: FrameWick.open(..., steps=) and Chain.apply -> FrameWick.run_chain


@pytest.mark.parametrize("steps, method", [("size:50%", "size"), ("brightness:1.2", "brightness"),
                                           ([{"method": "vignette", "args": [0.5]}], "vignette")])
def test_a_chain_applied_to_a_picture_is_checked_once(tmp_path, monkeypatch, steps, method):
    from framewick import FrameWick, editing
    from framewick.chains.chain import Step

    path = str(tmp_path / "in.png")
    Image.new("RGB", (64, 48), "teal").save(path)
    checked, real = [], editing.check
    monkeypatch.setattr(editing, "check", lambda *a: checked.append(a[2]) or real(*a))
    chain = Chain.coerce(steps)
    obj = FrameWick.open(path, steps=steps)
    chain.apply(obj, lambda line: None)
    assert checked == []
    Chain(tuple(Step(s.method, s.args, s.kwargs) for s in chain)).apply(obj, lambda line: None)
    assert checked == [method]  # built from Step objects: the method checks its values itself


@pytest.mark.parametrize("opened_with, steps, refused", [
    (None, "invert | border:100", True),           # the default limit (twice Pillow's, set to 1000 here)
    (None, "crop:0,0,20,20 | border:5", False),
    (100_000, "invert | border:100", False),        # held to the limit the picture was opened under
    (100_000, "size:400x400!", True),
])
def test_a_chain_applied_to_a_picture_is_refused_before_any_step(tmp_path, monkeypatch, opened_with, steps,
                                                                 refused):
    from framewick import FrameWick

    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)
    path = str(tmp_path / "in.png")
    Image.new("RGB", (30, 20), "teal").save(path)
    obj = FrameWick.open(path, max_pixels=opened_with)
    before = obj.image.tobytes()
    if refused:
        with pytest.raises(ChainError, match="more than the limit of"):
            Chain.parse(steps).apply(obj)
        assert obj.image.tobytes() == before  # nothing ran
    else:
        Chain.parse(steps).apply(obj, lambda line: None)
        assert obj.image.tobytes() != before


def test_the_api_keeps_its_lenient_ways(tmp_path):
    from framewick import FrameWick
    from framewick.chains.chain import Step

    path = str(tmp_path / "in.gif")
    frames = [Image.new("L", (10, 10), v) for v in (0, 120, 250)]
    frames[0].save(path, save_all=True, append_images=frames[1:])
    # Every frame counts by its own pixels; a crop box past the picture is Pillow's to fill.
    obj = FrameWick.open(path, steps="crop:0,0,20,10", max_pixels=600)

    lines: list[str] = []
    Chain((Step("crop", (0, 0, 20, 10)), Step("convert_mode", ("NOPE",)), Step("apply_sepia"))).apply(obj, lines.append)
    assert obj.image.size == (20, 10) and len(obj.photo.frames) == 3
    assert "❌ Error: Could not convert mode to NOPE" in "".join(lines)  # and the chain went on
    assert "Sepia effect applied" in lines[-1]
    with pytest.raises(ChainError, match="step 1 resize:20,20: the picture would become 3 frames"):
        FrameWick.open(path, steps="resize:20,20", max_pixels=600)
