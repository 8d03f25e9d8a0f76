"""framewick.modules.overlays: the Overlays mixin on real pictures and on recording stand-ins."""

import json
import math

import PIL
import pytest
from PIL import Image, ImageDraw, ImageFont

import framewick.modules.overlays as overlays
from framewick.modules.overlays import Overlays
from mixins import holder, loadable, source_entries

SOURCE = "framewick_source/modules/overlays"


layer = holder(Overlays)
Picture = loadable(Overlays)


entries = source_entries(SOURCE)


def lit(im):
    """How many pixels of an L picture are not black."""
    return sum(im.histogram()[1:])


@pytest.fixture
def black():
    return Image.new("L", (200, 100), 0)


@pytest.fixture
def stand_in(tape):
    return layer(tape("image", mode="RGB", size=(4, 4)))


# ---------------------------------------------------------------------------------------------
# Module and class shape

METHODS = {
    "add_text": ("Add custom text to the image 📝", (30, "white"),
                 {"text": "str", "position": "tuple", "font_size": "int", "color": "str"},
                 ("self", "text", "position", "font_size", "color", "draw")),
    "add_watermark": ("Add a watermark image 💧", None, {"watermark_path": "str", "position": "tuple"},
                      ("self", "watermark_path", "position", "watermark")),
    "apply_border": ("Apply a border around the image 🖼️", ("black",), {"border_width": "int", "color": "str"},
                     ("self", "border_width", "color", "ImageOps")),
    "double_exposure": ("Blend two images together (Double Exposure) 🎭", (0.5,),
                        {"overlay_image_path": "str", "opacity": "float"},
                        ("self", "overlay_image_path", "opacity", "overlay")),
}


def test_module_and_class_shape():
    assert (overlays.Image, overlays.ImageDraw, overlays.ImageFont) == (Image, ImageDraw, ImageFont)
    assert "ImageOps" not in vars(overlays) and overlays.__test__ == {}
    assert Overlays.__bases__ == (object,) and type(Overlays) is type
    assert Overlays.__module__ == "framewick.modules.overlays" and Overlays.__qualname__ == "Overlays"
    assert Overlays.__doc__ == "Module for adding elements on top of the image ✍️"
    assert [k for k in vars(Overlays) if not k.startswith("__")] == list(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_method_attributes(name):
    doc, defaults, annotations, varnames = METHODS[name]
    fn = vars(Overlays)[name]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, f"Overlays.{name}", "framewick.modules.overlays")
    assert (fn.__doc__, fn.__defaults__, fn.__annotations__) == (doc, defaults, annotations)
    assert fn.__code__.co_varnames == varnames and fn.__code__.co_filename == SOURCE


def test_module_loads_without_a_print_builtin(run_py):
    rc, out, err = run_py("""
        import builtins, json, sys
        from PIL import Image, ImageDraw, ImageFont, ImageOps  # Pillow itself needs print to load
        del builtins.print
        import framewick.modules.overlays as o
        try:
            import framewick.modules.geometry
        except NameError as exc:
            geometry = str(exc)
        sys.stdout.write(json.dumps([o.Overlays.__name__, geometry]))
    """)
    assert rc == 0, err
    assert json.loads(out) == ["Overlays", "name 'print' is not defined"]


# ---------------------------------------------------------------------------------------------
# add_text

def test_add_text_draws_into_the_picture_itself(black, console):
    alias = black
    obj = layer(black)
    assert obj.add_text("Hello", (10, 10)) is obj
    assert obj.image is alias and lit(alias) > 0
    left, top, _, _ = alias.getbbox()
    assert left >= 10 and top >= 10
    assert console.writes == []


def test_larger_font_size_covers_more_pixels(console):
    counts = []
    for size in (10, 40):
        obj = layer(Image.new("L", (300, 100), 0)).add_text("Hello", (5, 5), size)
        counts.append(lit(obj.image))
    assert 0 < counts[0] * 4 < counts[1]


def test_add_text_draws_in_the_given_colour(console):
    obj = layer(Image.new("RGB", (120, 60), (0, 0, 0))).add_text("W", (10, 10), 40, "red")
    colours = {colour for _, colour in obj.image.getcolors(10000)}
    assert (255, 0, 0) in colours and all(g == 0 and b == 0 for _, g, b in colours)


def test_add_text_call_sequence(stand_in, tape, monkeypatch):
    draw = tape("draw")
    font = object()
    monkeypatch.setattr(overlays, "ImageDraw", tape("ImageDraw", results={"Draw": draw}))
    monkeypatch.setattr(overlays, "ImageFont", tape("ImageFont", results={"load_default": font}))
    picture = stand_in.image
    stand_in.add_text(color="#00ff00", position=(3, 4), text="Hi", font_size=12.7)
    assert tape.calls() == [
        ("ImageDraw", "Draw", (picture,), {}),
        ("ImageFont", "load_default", (), {"size": 12}),
        ("draw", "text", ((3, 4), "Hi"), {"fill": "#00ff00", "font": font}),
    ]
    assert type(tape.calls()[1][3]["size"]) is int


class OldImageFont:
    """A Pillow whose load_default takes no size (before 10.1): only the bitmap font."""

    calls = []

    @classmethod
    def load_default(cls, *args, **kwargs):
        cls.calls.append(kwargs)
        if kwargs:
            raise TypeError("load_default() got an unexpected keyword argument 'size'")
        return ImageFont.load_default_imagefont()


class NoFreeType(OldImageFont):
    """A Pillow built without FreeType: the scalable font cannot be made."""

    calls = []
    load_default_imagefont = staticmethod(ImageFont.load_default_imagefont)

    @classmethod
    def load_default(cls, *args, **kwargs):
        cls.calls.append(kwargs)
        raise ImportError("The _imagingft C module is not installed")


@pytest.mark.parametrize("stand_in_font, calls", [(OldImageFont, [{"size": 30}, {}]), (NoFreeType, [{"size": 30}])])
def test_add_text_falls_back_to_the_bitmap_font(monkeypatch, console, stand_in_font, calls):
    monkeypatch.setattr(stand_in_font, "calls", [])
    monkeypatch.setattr(overlays, "ImageFont", stand_in_font)
    expected = Image.new("L", (100, 30), 0)
    ImageDraw.Draw(expected).text((2, 2), "fallback", fill="white", font=ImageFont.load_default_imagefont())
    obj = layer(Image.new("L", (100, 30), 0)).add_text("fallback", (2, 2))
    assert obj.image.tobytes() == expected.tobytes()
    assert stand_in_font.calls == calls and console.writes == []


def test_add_text_bad_font_size_for_freetype_still_draws(black, console):
    obj = layer(black).add_text("Hi", (5, 5), 0)
    assert lit(obj.image) > 0


REFUSALS = [
    (("Hi",), {}, "add_text() takes at least 3 positional arguments (2 given)"),
    (("Hi", [1, 2]), {}, "Argument 'position' has incorrect type (expected tuple, got list)"),
    (("Hi", (1, 2)), {"color": (255, 0, 0)}, "Argument 'color' has incorrect type (expected str, got tuple)"),
    (("Hi", (1, 2), "big"), {}, "Argument 'font_size' has incorrect type (expected int, got str)"),
    ((None, (1, 2)), {}, "Argument 'text' has incorrect type (expected str, got NoneType)"),
    # font_size converts before any type test: it is named though text is wrong too.
    ((None, [1], "big"), {}, "Argument 'font_size' has incorrect type (expected int, got str)"),
    ((None, [1], 12), {}, "Argument 'text' has incorrect type (expected str, got NoneType)"),
]


@pytest.mark.parametrize("args, kwargs, message", REFUSALS)
def test_add_text_refusals_touch_nothing(black, tape, monkeypatch, console, args, kwargs, message):
    monkeypatch.setattr(overlays, "ImageDraw", tape("ImageDraw"))
    obj = layer(black)
    with pytest.raises(TypeError) as info:
        obj.add_text(*args, **kwargs)
    assert str(info.value) == message
    assert tape.calls() == [] and lit(black) == 0 and console.writes == []


# ---------------------------------------------------------------------------------------------
# add_watermark

def test_transparent_watermark_changes_nothing(picture, console):
    path = picture("RGBA", size=(20, 20), color=(255, 255, 255, 0))
    base = Image.new("RGB", (50, 40), (10, 20, 30))
    alias, before = base, base.tobytes()
    obj = layer(base)
    assert obj.add_watermark(path, (5, 5)) is obj
    assert obj.image is alias and alias.tobytes() == before and console.writes == []


def test_opaque_watermark_replaces_the_covered_area(picture, console):
    path = picture("RGB", size=(20, 10), color=(250, 0, 0))
    base = Image.new("RGB", (50, 40), (10, 20, 30))
    obj = layer(base).add_watermark(path, (30, 35))
    assert obj.image is base
    assert base.getpixel((30, 35)) == base.getpixel((49, 39)) == (250, 0, 0)
    assert base.getpixel((29, 35)) == base.getpixel((30, 34)) == (10, 20, 30)
    assert base.getbbox() == (0, 0, 50, 40)
    assert sum(1 for x in range(50) for y in range(40) if base.getpixel((x, y)) == (250, 0, 0)) == 20 * 5


def test_watermark_pasted_through_its_own_alpha(stand_in, tape, picture):
    path = picture("L", size=(3, 2))
    stand_in.add_watermark(path, (1, 1))
    [(_, name, (watermark, position, mask), kwargs)] = tape.calls()
    assert (name, position, kwargs) == ("paste", (1, 1), {})
    assert mask is watermark and (watermark.mode, watermark.size) == ("RGBA", (3, 2))


def test_watermark_bad_file_leaves_the_picture(tmp_path, console):
    base = Image.new("RGB", (10, 10), (1, 2, 3))
    obj = layer(base)
    with pytest.raises(FileNotFoundError) as info:
        obj.add_watermark(str(tmp_path / "missing.png"), (0, 0))
    assert entries(info.value) == ["framewick.modules.overlays.Overlays.add_watermark"]
    assert obj.image is base and base.getcolors() == [(100, (1, 2, 3))] and console.writes == []


@pytest.mark.parametrize("args, message", [
    ((None, (0, 0)), "Argument 'watermark_path' has incorrect type (expected str, got NoneType)"),
    (("missing.png", [0, 0]), "Argument 'position' has incorrect type (expected tuple, got list)"),
    ((b"missing.png", [0, 0]), "Argument 'watermark_path' has incorrect type (expected str, got bytes)"),
])
def test_watermark_refusals_open_nothing(stand_in, tape, monkeypatch, args, message):
    monkeypatch.setattr(overlays, "Image", tape("Image"))
    with pytest.raises(TypeError) as info:
        stand_in.add_watermark(*args)
    assert str(info.value) == message and tape.calls() == [] and entries(info.value) == []


# ---------------------------------------------------------------------------------------------
# apply_border

@pytest.mark.parametrize("args, size, frame", [
    ((10,), (120, 70), (0, 0, 0)),
    ((5, "red"), (110, 60), (255, 0, 0)),
    ((2.9, "#0000ff"), (104, 54), (0, 0, 255)),
])
def test_border_frames_the_picture(console, args, size, frame):
    original = Image.new("RGB", (100, 50), (9, 99, 199))
    obj = layer(original)
    assert obj.apply_border(*args) is obj
    im, width = obj.image, (size[0] - 100) // 2
    assert im.size == size and im is not original
    assert im.getpixel((0, 0)) == im.getpixel((width - 1, width - 1)) == im.getpixel((size[0] - 1, size[1] - 1)) == frame
    assert im.crop((width, width, width + 100, width + 50)).tobytes() == original.tobytes()
    assert original.size == (100, 50) and console.writes == []


def test_border_of_zero_is_a_same_size_copy():
    original = Image.new("RGB", (30, 20), (5, 6, 7))
    obj = layer(original).apply_border(0)
    assert obj.image is not original and obj.image.tobytes() == original.tobytes()


def test_border_imports_image_ops_at_each_call(stand_in, tape, monkeypatch):
    monkeypatch.setattr(PIL, "ImageOps", tape("ImageOps"), raising=False)
    picture = stand_in.image
    stand_in.apply_border(True)
    assert tape.calls() == [("ImageOps", "expand", (picture,), {"border": 1, "fill": "black"})]
    assert stand_in.image._label == "ImageOps.expand" and "ImageOps" not in vars(overlays)


@pytest.mark.parametrize("args, message", [
    (("x",), "Argument 'border_width' has incorrect type (expected int, got str)"),
    ((3, (0, 0, 0)), "Argument 'color' has incorrect type (expected str, got tuple)"),
    (("x", (0, 0, 0)), "Argument 'border_width' has incorrect type (expected int, got str)"),
    ((None,), "Argument 'border_width' has incorrect type (expected int, got NoneType)"),
])
def test_border_refusals(stand_in, tape, console, args, message):
    with pytest.raises(TypeError) as info:
        stand_in.apply_border(*args)
    assert str(info.value) == message and tape.calls() == [] and console.writes == []


# ---------------------------------------------------------------------------------------------
# double_exposure

@pytest.fixture
def white_file(picture):
    return lambda size=(4, 4): picture("RGB", size=size, color=(255, 255, 255))


@pytest.mark.parametrize("opacity, value", [
    ((), 127), ((1.0,), 255), ((0,), 0), ((1,), 255), ((0.25,), 63),
    ((2.0,), 255), ((-1.0,), 0),  # Pillow bounds an alpha outside 0 to 255 itself
])
def test_double_exposure_blends_at_the_alpha(white_file, console, opacity, value):
    base = Image.new("RGB", (4, 4), (0, 0, 0))
    obj = layer(base)
    assert obj.double_exposure(white_file(), *opacity) is obj
    assert obj.image is base and base.getcolors() == [(16, (value,) * 3)]
    assert console.writes == []


@pytest.mark.parametrize("opacity, alpha", [
    (0.5, 127), (1.0, 255), (0, 0), (0.999, 254), (2.0, 510), (-0.1, -25), (True, 255),
])
def test_double_exposure_alpha_is_truncated_not_clamped(stand_in, tape, monkeypatch, opacity, alpha):
    overlay = tape("overlay")
    opened = tape("opened", results={"convert": overlay})
    monkeypatch.setattr(overlays, "Image", tape("Image", results={"open": opened}))
    picture = stand_in.image
    stand_in.double_exposure("over.png", opacity)
    assert tape.calls() == [
        ("Image", "open", ("over.png",), {}),
        ("opened", "convert", ("RGBA",), {}),
        ("overlay", "putalpha", (alpha,), {}),
        ("image", "paste", (overlay, (0, 0), overlay), {}),
    ]
    assert type(tape.calls()[2][2][0]) is int and stand_in.image is picture


@pytest.mark.parametrize("opacity, exc_type, message", [
    (math.inf, OverflowError, "cannot convert float infinity to integer"),
    (-math.inf, OverflowError, "cannot convert float infinity to integer"),
    (math.nan, ValueError, "cannot convert float NaN to integer"),
])
def test_double_exposure_non_finite_opacity(stand_in, tape, monkeypatch, opacity, exc_type, message):
    monkeypatch.setattr(overlays, "Image", tape("Image", results={"open": tape("opened")}))
    with pytest.raises(exc_type) as info:
        stand_in.double_exposure("over.png", opacity)
    assert str(info.value) == message
    assert entries(info.value) == ["framewick.modules.overlays.Overlays.double_exposure"]
    assert [c[1] for c in tape.calls()] == ["open", "convert"]


def test_double_exposure_larger_overlay_is_cut(white_file):
    base = Image.new("RGB", (4, 3), (0, 0, 0))
    layer(base).double_exposure(white_file((10, 10)), 1.0)
    assert base.size == (4, 3) and base.getcolors() == [(12, (255, 255, 255))]


def test_double_exposure_smaller_overlay_covers_the_top_left(white_file):
    base = Image.new("RGB", (6, 5), (0, 0, 0))
    layer(base).double_exposure(white_file((2, 3)), 1.0)
    assert base.getbbox() == (0, 0, 2, 3) and sorted(base.getcolors()) == [(6, (255, 255, 255)), (24, (0, 0, 0))]


@pytest.mark.parametrize("args, message", [
    (("over.png", "0.5"), "must be real number, not str"),
    ((None,), "Argument 'overlay_image_path' has incorrect type (expected str, got NoneType)"),
    ((None, "0.5"), "must be real number, not str"),
])
def test_double_exposure_refusals_open_nothing(stand_in, tape, monkeypatch, args, message):
    monkeypatch.setattr(overlays, "Image", tape("Image"))
    with pytest.raises(TypeError) as info:
        stand_in.double_exposure(*args)
    assert str(info.value) == message and tape.calls() == []


# ---------------------------------------------------------------------------------------------
# State, chains

@pytest.mark.parametrize("method, in_place", [
    ("add_text", True), ("add_watermark", True), ("apply_border", False), ("double_exposure", True),
])
def test_which_methods_change_the_picture_in_place(white_file, console, method, in_place):
    base = Image.new("RGB", (40, 40), (0, 0, 0))
    args = {"add_text": ("X", (0, 0)), "add_watermark": (white_file((3, 3)), (1, 1)),
            "apply_border": (2, "white"), "double_exposure": (white_file(),)}[method]
    obj = layer(base)
    getattr(obj, method)(*args)
    assert (obj.image is base) is in_place
    assert (base.getbbox() is not None) is in_place  # the alias sees the change only in place


def test_chain_on_a_loaded_picture(picture, white_file, console):
    path = picture("RGB", size=(40, 30), color=(0, 0, 0))
    obj = Picture.load(path)
    assert obj.double_exposure(white_file((10, 10)), 1.0).apply_border(3, "red").add_text("A", (0, 0), 8) is obj
    assert obj.image.size == (46, 36)
    assert obj.image.getpixel((3, 3)) == (255, 255, 255) and obj.image.getpixel((45, 35)) == (255, 0, 0)
    assert console.lines() == [f"📸 Image loaded: {path}"]
