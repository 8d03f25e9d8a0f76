"""The size model of the step table: each step's size as Pillow makes it, and the chains refused."""

import pytest
from PIL import Image

from framewick.chain import Chain
from framewick.steps.sizes import MAX_SIDE, check, check_side, size_after
from framewick.steps import ChainError


@pytest.mark.parametrize("size", [(8, 8), (451, 300), (3, 977)])
@pytest.mark.parametrize("text", ["rotate:45", "rotate:30", "rotate:-17.5", "rotate:90", "rotate:270", "rotate:180",
                                  "rotate:360", "rotate:1e-9", "rotate:33,expand=false", "rotate:720.5",
                                  "thumbnail:(100,100)", "thumbnail:(2,500)", "thumbnail:(1000,1000)"])
def test_each_step_gives_the_size_pillow_gives(size, text):
    step = Chain.parse(text).steps[0]
    picture = Image.new("L", size)
    if step.method == "rotate":
        expected = picture.rotate(float(step.args[0]), expand=step.kwargs.get("expand", True)).size
    else:
        picture.thumbnail(step.args[0])
        expected = picture.size
    assert size_after(step, size) == expected


@pytest.mark.parametrize(("text", "size"), [
    ("resize:30,20 | border:5 | crop:1,2,11,7 | blur:3 | preset:noir | fit:9,4 | flip", (9, 4)),
    ("border:100 | rotate:90", (500, 651)),
    ("crop:0,0,451,300", (451, 300)),
])
def test_a_chain_gives_its_final_size(text, size):
    assert check(Chain.parse(text), (451, 300)) == size


@pytest.mark.parametrize(("text", "start", "frames", "limit", "expected"), [
    (" | ".join(["rotate:45"] * 24), (8, 8), 1, None, "step "),
    ("border:6688 | border:6688 | border:6688", (1, 1), 1, 100, "step 1 border:6688: the picture would become"),
    ("resize:10000,10000", (1, 1), 20, None, "20 frames of 10000x10000, 2,000,000,000 pixels"),
    ("crop:0,0,9999,9999", (451, 300), 1, None, "the box 0,0,9999,9999 is not inside the 451x300 picture"),
    ("crop:-1,0,10,10", (451, 300), 1, None, "is not inside"),
    ("resize:20,20 | crop:0,0,21,20", (451, 300), 1, None, "step 2 crop:0,0,21,20: the box"),
])
def test_chains_that_pass_the_limit_or_leave_the_picture_are_refused_naming_the_step(text, start, frames, limit,
                                                                                    expected):
    with pytest.raises(ChainError) as caught:
        check(Chain.parse(text), start, frames, limit)
    assert expected in str(caught.value) and "\n" not in str(caught.value)


def test_the_smallest_picture_gives_a_lower_bound_and_never_a_crop_refusal():
    assert check(Chain.parse("crop:0,0,9999,9999 | border:1"), (1, 1), exact=False) == (10001, 10001)
    with pytest.raises(ChainError, match="even a 1x1 picture would become"):
        check(Chain.parse("border:6688"), (1, 1), 1, 100, exact=False)


@pytest.mark.parametrize(("fmt", "fits"), [("JPEG", (65_500, 1)), ("WEBP", (16_383, 2)), ("GIF", (3, 65_535))])
def test_a_side_the_format_cannot_store_is_refused(fmt, fits):
    check_side(fits, fmt, "out")
    with pytest.raises(ChainError, match=f"{fmt} stores at most {MAX_SIDE[fmt]:,} pixels a side"):
        check_side((fits[0] + 1, fits[1] + 1), fmt, "out")
