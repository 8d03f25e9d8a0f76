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
