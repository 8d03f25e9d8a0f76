"""framewick.modules.geometry: the Geometry mixin on real pictures and on recording stand-ins."""

import builtins
import sys

import PIL
import pytest
from PIL import Image, ImageOps

import framewick.modules.geometry as geometry
from framewick.modules.geometry import Geometry
from mixins import holder, loadable, source_entries

SOURCE = "framewick_source/modules/geometry"
LANCZOS = Image.Resampling.LANCZOS


shape = holder(Geometry)
Picture = loadable(Geometry)


@pytest.fixture
def rgb():
    """A 300 by 200 RGB picture whose four quadrants differ, so orientation shows in pixels."""
    im = Image.new("RGB", (300, 200), (10, 20, 30))
    im.paste((200, 0, 0), (0, 0, 150, 100))
    im.paste((0, 200, 0), (150, 0, 300, 100))
    im.paste((0, 0, 200), (0, 100, 150, 200))
    return im


@pytest.fixture
def stand_in(tape):
    return shape(tape("image", mode="RGB", size=(300, 200)))


entries = source_entries(SOURCE)


# ---------------------------------------------------------------------------------------------
# Module and class shape

METHODS = {
    "rotate": ("Rotate the image by a specific angle 🔄", (True,),
               {"angle": "float", "expand": "bool"}, ("self", "angle", "expand")),
    "flip": (" 😎 Flip the image! direction: 'horizontal' or 'vertical' 😎 ", ("horizontal",),
             {"direction": "str"}, ("self", "direction")),
    "crop": ("Crop a specific region of the image ✂️", None,
             dict.fromkeys(["left", "top", "right", "bottom"], "int"), ("self", "left", "top", "right", "bottom")),
    "thumbnail": ("Create a thumbnail of the image 🖼️", ((128, 128),), {"size": "tuple"}, ("self", "size")),
    "round_corners": (" 🎨 Give your image some smooth edges! 🎨 ", (40,), {},
                      ("self", "radius", "Image", "ImageDraw", "ImageOps", "mask", "draw")),
    "resize": (" 😎 Shrink it or expand it! 😎 ", None, {"width": "int", "height": "int"},
               ("self", "width", "height")),
    "fit": ("Perfect fit for social media! ✂️", None, {"target_width": "int", "target_height": "int"},
            ("self", "target_width", "target_height")),
}


def test_module_and_class_shape():
    assert geometry.Image is Image and geometry.ImageOps is ImageOps
    assert "ImageDraw" not in vars(geometry) and geometry.__test__ == {}
    assert Geometry.__bases__ == (object,) and type(Geometry) is type
    assert Geometry.__module__ == "framewick.modules.geometry" and Geometry.__qualname__ == "Geometry"
    assert Geometry.__doc__ == "Module for geometric transformations 📐"
    assert [k for k in vars(Geometry) if not k.startswith("__")] == list(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_method_attributes(name):
    doc, defaults, annotations, varnames = METHODS[name]
    fn = vars(Geometry)[name]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, f"Geometry.{name}", "framewick.modules.geometry")
    assert fn.__doc__ == doc
    assert fn.__defaults__ == defaults
    assert fn.__annotations__ == annotations
    assert fn.__code__.co_varnames == varnames
    assert fn.__code__.co_filename == SOURCE
    if name == "round_corners":
        assert type(fn.__defaults__[0]) is int


# ---------------------------------------------------------------------------------------------
# rotate

@pytest.mark.parametrize("args, size", [
    ((90,), (200, 300)),
    ((90, False), (300, 200)),
    ((45, 0), (300, 200)),
    ((45,), Image.new("RGB", (300, 200)).rotate(45.0, expand=True).size),
])
def test_rotate_sizes(rgb, console, args, size):
    obj = shape(rgb)
    assert obj.rotate(*args) is obj
    assert obj.image.size == size and obj.image is not rgb
    assert rgb.size == (300, 200) and console.writes == []


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


class FloatLike:
    def __float__(self):
        return 12.5


@pytest.mark.parametrize("call, angle, expand", [
    (lambda o: o.rotate(90), 90.0, True),
    (lambda o: o.rotate(90, expand=False), 90.0, False),
    (lambda o: o.rotate(angle=True, expand=[]), 1.0, False),
    (lambda o: o.rotate(FloatLike(), Truthy(True)), 12.5, True),
    (lambda o: o.rotate(-30.25, "no"), -30.25, True),
])
def test_rotate_hands_pillow_a_float_and_an_exact_bool(stand_in, tape, call, angle, expand):
    result = call(stand_in)
    [(owner, name, args, kwargs)] = tape.calls()
    assert (owner, name) == ("image", "rotate")
    assert type(args[0]) is float and args == (angle,)
    assert list(kwargs) == ["expand"] and kwargs["expand"] is expand
    assert result is stand_in and stand_in.image._label == "image.rotate"


def test_rotate_refusals_touch_nothing(stand_in, tape, console):
    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(TypeError, match="must be real number, not str"):
        stand_in.rotate("90", BadTruth())  # the angle converts first: the truth test never runs
    with pytest.raises(ZeroDivisionError, match="no truth"):
        stand_in.rotate(90, BadTruth())
    with pytest.raises(TypeError, match=r"rotate\(\) takes at least 2 positional arguments \(1 given\)"):
        stand_in.rotate()
    assert tape.calls() == [] and console.writes == []


# ---------------------------------------------------------------------------------------------
# flip

def test_flip_default_mirrors_left_to_right(rgb, console):
    obj = shape(rgb)
    assert obj.flip() is obj
    assert obj.image.getpixel((0, 0)) == (0, 200, 0) and obj.image.getpixel((299, 0)) == (200, 0, 0)
    assert obj.image.tobytes() == rgb.transpose(Image.FLIP_LEFT_RIGHT).tobytes()
    assert rgb.getpixel((0, 0)) == (200, 0, 0)
    assert console.lines() == ["🔄 Success: Image flipped horizontally"]


@pytest.mark.parametrize("direction, corner, line", [
    ("Vertical", (0, 0, 200), "🔄 Success: Image flipped Vertically"),
    ("vertical", (0, 0, 200), "🔄 Success: Image flipped vertically"),
    ("HORIZONTAL", (0, 200, 0), "🔄 Success: Image flipped HORIZONTALly"),
])
def test_flip_echoes_the_callers_direction(rgb, console, direction, corner, line):
    obj = shape(rgb).flip(direction)
    assert obj.image.getpixel((0, 0)) == corner
    assert console.lines() == [line]


class MyStr(str):
    pass


@pytest.mark.parametrize("direction, exc_type, message", [
    ("diagonal", ValueError, "❌ Error: Direction must be 'horizontal' or 'vertical'."),
    (" horizontal", ValueError, "❌ Error: Direction must be 'horizontal' or 'vertical'."),
    (None, TypeError, "Argument 'direction' has incorrect type (expected str, got NoneType)"),
    (MyStr("vertical"), TypeError, "Argument 'direction' has incorrect type (expected str, got MyStr)"),
])
def test_flip_refusals(stand_in, tape, console, direction, exc_type, message):
    before = stand_in.image
    with pytest.raises(exc_type) as info:
        stand_in.flip(direction)
    assert str(info.value) == message
    assert stand_in.image is before and tape.calls() == [] and console.writes == []
    # The module's own check leaves through the method; the type test adds no entry.
    assert entries(info.value) == (["framewick.modules.geometry.Geometry.flip"] if exc_type is ValueError else [])


def test_flip_reads_the_transpose_constants_at_use(stand_in, tape, monkeypatch, console):
    monkeypatch.setattr(geometry, "Image", tape("Image", FLIP_LEFT_RIGHT="lr", FLIP_TOP_BOTTOM="tb"))
    stand_in.flip().flip("vertical")
    assert [c[1:3] for c in tape.calls()] == [("transpose", ("lr",)), ("transpose", ("tb",))]
    monkeypatch.delattr(geometry, "Image")
    with pytest.raises(NameError, match="name 'Image' is not defined"):
        stand_in.flip()


# ---------------------------------------------------------------------------------------------
# crop, thumbnail

def test_crop_truncates_coordinates_into_one_box(stand_in, tape):
    assert stand_in.crop(10.9, True, 100, 50) is stand_in
    [(_, name, args, kwargs)] = tape.calls()
    assert (name, args, kwargs) == ("crop", ((10, 1, 100, 50),), {})
    assert all(type(v) is int for v in args[0])
    assert stand_in.image._label == "image.crop"


def test_crop_real_picture(rgb, console):
    obj = shape(rgb).crop(140, 90, 160, 110)
    assert obj.image.size == (20, 20)
    assert obj.image.getpixel((0, 0)) == (200, 0, 0) and obj.image.getpixel((19, 19)) == (10, 20, 30)
    assert rgb.size == (300, 200) and console.writes == []


@pytest.mark.parametrize("args, message", [
    (("1", 0, 10, 10), "Argument 'left' has incorrect type (expected int, got str)"),
    ((0, 0, 10, None), "Argument 'bottom' has incorrect type (expected int, got NoneType)"),
    ((0, [0], "x", 10), "Argument 'top' has incorrect type (expected int, got list)"),
])
def test_crop_refuses_non_numbers(stand_in, tape, args, message):
    with pytest.raises(TypeError) as info:
        stand_in.crop(*args)
    assert str(info.value) == message and tape.calls() == []


def test_thumbnail_shrinks_in_place(rgb, console):
    alias = rgb
    obj = shape(rgb)
    assert obj.thumbnail() is obj
    assert obj.image is alias and alias.size == (128, 85)
    obj.thumbnail((64, 64))
    assert alias.size == (64, 43) and console.writes == []


def test_thumbnail_passes_the_size_only(stand_in, tape):
    stand_in.thumbnail()
    assert tape.calls() == [("image", "thumbnail", ((128, 128),), {})]
    assert tape.sets() == [] and stand_in.image._label == "image"


@pytest.mark.parametrize("size, type_name", [([64, 64], "list"), (None, "NoneType"), ("64", "str")])
def test_thumbnail_refuses_other_than_tuple(stand_in, tape, console, size, type_name):
    with pytest.raises(TypeError, match=rf"^Argument 'size' has incorrect type \(expected tuple, got {type_name}\)$"):
        stand_in.thumbnail(size)
    assert tape.calls() == [] and console.writes == []


# ---------------------------------------------------------------------------------------------
# round_corners

def test_round_corners_makes_transparent_corners(console):
    original = Image.new("RGB", (100, 80), (50, 100, 150))
    obj = shape(original)
    assert obj.round_corners() is obj
    im = obj.image
    assert im is not original and original.mode == "RGB"
    assert (im.mode, im.size) == ("RGBA", (100, 80))
    for corner in [(0, 0), (99, 0), (0, 79), (99, 79), (5, 5)]:
        assert im.getpixel(corner)[3] == 0
    assert im.getpixel((50, 40)) == (50, 100, 150, 255)
    assert im.getpixel((50, 0))[3] == 255 and im.getpixel((0, 40))[3] == 255
    assert console.lines() == ["🎯 Success: Corners rounded with radius 40!"]


def test_round_corners_zero_radius_is_fully_opaque(console):
    obj = shape(Image.new("L", (30, 20), 77)).round_corners(0)
    assert obj.image.mode == "LA"
    assert obj.image.getchannel("A").getextrema() == (255, 255)
    assert console.lines() == ["🎯 Success: Corners rounded with radius 0!"]


def test_round_corners_replaces_an_existing_alpha(console):
    original = Image.new("RGBA", (60, 60), (1, 2, 3, 0))
    obj = shape(original).round_corners(radius=10)
    assert obj.image.getpixel((30, 30)) == (1, 2, 3, 255) and obj.image.getpixel((0, 0))[3] == 0
    assert original.getpixel((30, 30)) == (1, 2, 3, 0)
    assert console.lines() == ["🎯 Success: Corners rounded with radius 10!"]


def test_round_corners_imports_at_each_call(monkeypatch, tape, console):
    # The names come from PIL at call time, not from the module globals.
    monkeypatch.setattr(geometry, "Image", None)
    monkeypatch.setattr(geometry, "ImageOps", None)
    draw = tape("draw")
    monkeypatch.setattr(PIL, "ImageDraw", tape("ImageDraw", results={"Draw": draw}), raising=False)
    obj = shape(Image.new("RGB", (40, 30)))
    obj.round_corners(7.5)
    [(_, _, (mask,), _), (_, name, args, kwargs)] = tape.calls()
    assert (mask.mode, mask.size) == ("L", (40, 30))
    assert (name, args, kwargs) == ("rounded_rectangle", ((0, 0, 40, 30),), {"radius": 7.5, "fill": 255})
    # Nothing was drawn on the mask, so the whole picture is transparent.
    assert obj.image.getchannel("A").getextrema() == (0, 0)
    assert console.lines() == ["🎯 Success: Corners rounded with radius 7.5!"]


def test_round_corners_radius_pillow_refuses(console):
    original = Image.new("RGB", (20, 20))
    obj = shape(original)
    with pytest.raises(TypeError) as info:
        obj.round_corners("big")
    assert obj.image is original and console.writes == []
    assert entries(info.value) == ["framewick.modules.geometry.Geometry.round_corners"]


# ---------------------------------------------------------------------------------------------
# resize, fit

@pytest.mark.parametrize("args", [(0, 100), (100, -1), (0.5, 100), (-5, "not looked at")])
def test_resize_refuses_non_positive_sizes(rgb, console, args):
    obj = shape(rgb)
    if isinstance(args[1], str):
        # A value that is no number fails the conversion before the check runs.
        with pytest.raises(TypeError, match="Argument 'height' has incorrect type"):
            obj.resize(*args)
    else:
        with pytest.raises(ValueError) as info:
            obj.resize(*args)
        assert str(info.value) == "❌ Error: Width and height must be positive integers."
    assert obj.image is rgb and rgb.size == (300, 200) and console.writes == []


def test_resize_exact_size(rgb, console):
    obj = shape(rgb)
    assert obj.resize(800.9, 600) is obj
    assert obj.image.size == (800, 600) and rgb.size == (300, 200)
    assert console.lines() == ["📏 Success: Image resized to 800x600"]


def test_resize_hands_pillow_the_size_and_lanczos(stand_in, tape, console):
    stand_in.resize(width=64, height=True)
    assert tape.calls() == [("image", "resize", ((64, 1), LANCZOS), {})]
    assert console.lines() == ["📏 Success: Image resized to 64x1"]


def test_fit_crops_around_the_centre(rgb, console):
    obj = shape(rgb)
    assert obj.fit(100, 100) is obj
    assert obj.image.size == (100, 100)
    assert obj.image.tobytes() == ImageOps.fit(rgb, (100, 100), LANCZOS).tobytes()
    # The centre of the picture is where the four quadrants meet.
    assert obj.image.getpixel((10, 10))[0] > 150 and obj.image.getpixel((90, 90))[:2] == (10, 20)
    assert console.writes == []


def test_fit_uses_the_module_image_ops_at_use(stand_in, tape, monkeypatch, console):
    monkeypatch.setattr(geometry, "ImageOps", tape("ImageOps"))
    picture = stand_in.image
    stand_in.fit(50.5, 0)
    assert tape.calls() == [("ImageOps", "fit", (picture, (50, 0), LANCZOS), {})]
    assert stand_in.image._label == "ImageOps.fit" and console.writes == []


# ---------------------------------------------------------------------------------------------
# State, chains, print, tracebacks

@pytest.mark.parametrize("call, in_place", [
    (lambda o: o.rotate(90), False),
    (lambda o: o.flip(), False),
    (lambda o: o.crop(0, 0, 10, 10), False),
    (lambda o: o.thumbnail(), True),
    (lambda o: o.round_corners(), False),
    (lambda o: o.resize(30, 30), False),
    (lambda o: o.fit(30, 30), False),
])
def test_which_methods_change_the_picture_in_place(rgb, console, call, in_place):
    alias, before = rgb, rgb.tobytes()
    obj = shape(rgb)
    call(obj)
    assert (obj.image is alias) is in_place
    if not in_place:
        assert (alias.mode, alias.size, alias.tobytes()) == ("RGB", (300, 200), before)


def test_chain_on_a_loaded_picture(picture, console, tmp_path):
    path = picture("RGB", size=(300, 200))
    obj = Picture.load(path)
    assert obj.rotate(90).flip().resize(80, 60).round_corners(5) is obj
    assert (obj.image.size, obj.image.mode) == ((80, 60), "RGBA")
    assert console.lines() == [
        f"📸 Image loaded: {path}",
        "🔄 Success: Image flipped horizontally",
        "📏 Success: Image resized to 80x60",
        "🎯 Success: Corners rounded with radius 5!",
    ]


def test_print_is_the_one_cached_at_load(monkeypatch, console, rgb):
    monkeypatch.setattr(builtins, "print", lambda *a, **k: sys.exit("replacement print used"))
    shape(rgb).flip()
    assert console.lines() == ["🔄 Success: Image flipped horizontally"]


def test_pillow_errors_propagate_with_the_methods_entry(tape, console):
    obj = shape(tape("image", results={"crop": ValueError("bad box")}))
    with pytest.raises(ValueError, match="bad box") as info:
        obj.crop(0, 0, 1, 1)
    assert entries(info.value) == ["framewick.modules.geometry.Geometry.crop"]
    assert obj.image._label == "image" and console.writes == []

