"""The Inspector mixin: the status report, histogram, metadata and the dominant-colour palette,
on real pictures (checked against a reference of the palette algorithm) and on stand-ins."""

import random
import traceback

import pytest
from PIL import Image

import framewick.utils.inspector as inspector_module
from framewick.utils.inspector import Inspector

EXTRACTING = "🔍 Extracting top {} dominant colors... 🧪"
EXTRACTED = "✅ Palette extracted successfully: {} 🎨"
TITLE = ["", "📊 --- Image Status Report --- 📊"]
END = ["-" * 30, ""]


def printed(capsys):
    """The lines printed so far, each without its line feed."""
    out = capsys.readouterr().out
    assert out == "" or out.endswith("\n"), repr(out)
    return out.split("\n")[:-1]


class Picture(Inspector):
    def __init__(self, image):
        self.image = image


def reference_palette(image, num_colors=5):
    """The palette algorithm step by step in Python, on the same 100x100 RGB copy."""
    img = image.copy().resize((100, 100)).convert("RGB")
    return palette_of(list(img.get_flattened_data()), num_colors)


def palette_of(pixels, num_colors):
    color_counts = {}
    for pixel in pixels:
        r, g, b = pixel
        key = (r // 16, g // 16, b // 16)
        color_counts[key] = color_counts.get(key, 0) + 1
    sorted_colors = sorted(color_counts.items(), key=lambda item: item[1], reverse=True)
    palette = []
    for (r_key, g_key, b_key), count in sorted_colors:
        palette.append("#{:02x}{:02x}{:02x}".format(r_key * 16, g_key * 16, b_key * 16).upper())
        if len(palette) >= num_colors:
            break
    return palette


def noise(mode, size, seed):
    rng = random.Random(seed)
    im = Image.new("RGB", size)
    im.putdata([(rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(size[0] * size[1])])
    return im.convert(mode)


def stripes(*bands):
    """A 100x100 picture (kept as it is by the 100x100 copy) of horizontal bands, top first:
    (colour, rows) pairs."""
    im = Image.new("RGB", (100, 100))
    top = 0
    for color, rows in bands:
        im.paste(color, (0, top, 100, top + rows))
        top += rows
    assert top == 100
    return im


# ---------------------------------------------------------------------------------------------
# The class

def test_class_shape():
    assert inspector_module.Image is Image
    assert Inspector.__bases__ == (object,) and type(Inspector) is type
    assert Inspector.__module__ == "framewick.utils.inspector"
    assert Inspector.__doc__ == "Module for analyzing image data and metadata 🔍"
    assert [n for n in vars(Inspector) if not n.startswith("__")] == [
        "compare", "histogram", "get_metadata", "extract_color_palette"]
    assert Inspector.get_metadata.__annotations__ == {"return": "dict"}
    assert Inspector.extract_color_palette.__annotations__ == {"num_colors": "int", "return": "list"}
    assert Inspector.extract_color_palette.__defaults__ == (5,)
    assert Inspector.extract_color_palette.__doc__ == (
        "\n        🎨 Extract the dominant color palette as clean Hex codes.\n        \n        Args:\n"
        "            num_colors (int): Number of dominant colors to return.\n        Returns:\n"
        "            list: A list of hex color strings (e.g., ['#FFFFFF', '#000000'])\n        ")


# ---------------------------------------------------------------------------------------------
# compare

@pytest.mark.parametrize("make, lines", [
    (lambda path: Image.open(path), ["800x600", "RGB", "PNG", "RGB"]),
    (lambda path: Image.open(path).rotate(90, expand=True), ["600x800", "RGB", "Unknown", "RGB"]),
    (lambda path: Image.new("RGBA", (3, 2)), ["3x2", "RGBA", "Unknown", "RGBA"]),
    (lambda path: Image.new("L", (1, 1)), ["1x1", "L", "Unknown", "L"]),
], ids=["loaded-png", "edited", "rgba", "grey"])
def test_compare_prints_the_report(picture, capsys, make, lines):
    o = Picture(make(picture(size=(800, 600))))
    assert o.compare() is o
    assert printed(capsys) == TITLE + [f"📏 Dimensions: {lines[0]}", f"🎭 Mode: {lines[1]}",
                                       f"📁 Format: {lines[2]}", f"🌈 Color Space: {lines[3]}"] + END


def test_compare_reads_each_entry_afresh(tape, capsys):
    o = Picture(tape("image", width=7, height=9, mode="CMYK", format=""))
    o.compare()
    assert tape.reads("image") == ["width", "height", "mode", "format", "mode"]
    assert printed(capsys)[2:6] == ["📏 Dimensions: 7x9", "🎭 Mode: CMYK", "📁 Format: Unknown",
                                    "🌈 Color Space: CMYK"]


# ---------------------------------------------------------------------------------------------
# histogram and get_metadata

def test_histogram_returns_the_pictures_histogram(capsys):
    im = noise("RGB", (20, 10), 1)
    o = Picture(im)
    assert o.histogram() == im.histogram()
    assert printed(capsys) == ["📊 Success: Histogram data generated 📈"]


@pytest.mark.parametrize("info", [{"dpi": (72, 72)}, None])
def test_get_metadata_hands_out_the_info_itself(tape, capsys, info):
    o = Picture(tape("image", info=info))
    assert o.get_metadata() is info
    assert printed(capsys) == ["📂 Success: Metadata extracted! ✨"]


class Meta(dict):
    pass


@pytest.mark.parametrize("info, name", [(Meta(), "Meta"), ([], "list")])
def test_get_metadata_refuses_a_non_dict_after_printing(tape, capsys, info, name):
    with pytest.raises(TypeError, match=f"^Expected dict, got {name}$"):
        Picture(tape("image", info=info)).get_metadata()
    assert printed(capsys) == ["📂 Success: Metadata extracted! ✨"]


def test_missing_image_propagates_with_a_traceback_entry(capsys):
    with pytest.raises(AttributeError) as err:
        Inspector.histogram(object())
    entries = [(f.filename, f.name) for f in traceback.extract_tb(err.value.__traceback__)]
    assert ("framewick_source/utils/inspector", "framewick.utils.inspector.Inspector.histogram") in entries
    assert printed(capsys) == []


# ---------------------------------------------------------------------------------------------
# extract_color_palette on real pictures

@pytest.mark.parametrize("color, palette", [
    ((255, 255, 255), ["#F0F0F0"]),
    ((0, 0, 0), ["#000000"]),
    ((15, 16, 255), ["#0010F0"]),
    ((31, 32, 239), ["#1020E0"]),
])
def test_palette_of_a_single_colour(capsys, color, palette):
    o = Picture(Image.new("RGB", (37, 21), color))
    assert o.extract_color_palette() == palette
    assert printed(capsys) == [EXTRACTING.format(5), EXTRACTED.format(palette)]


@pytest.mark.parametrize("num_colors", [1, 2, 100, 0, -4, 10**30])
def test_single_colour_gives_one_entry_for_any_count(capsys, num_colors):
    assert Picture(Image.new("RGB", (5, 5), (200, 30, 60))).extract_color_palette(num_colors) == ["#C01030"]


RED, GREEN, BLUE, GREY = (250, 0, 0), (0, 250, 0), (0, 0, 250), (128, 128, 128)
# First occurrence: grey, blue, red, green; counts 10, 20, 40, 30 rows' worth.
BANDS = stripes((GREY, 10), (BLUE, 20), (RED, 40), (GREEN, 30))


@pytest.mark.parametrize("num_colors, palette", [
    (2, ["#F00000", "#00F000"]),
    (3.9, ["#F00000", "#00F000", "#0000F0"]),
    (True, ["#F00000"]),
    (0, ["#F00000"]),
    (-1, ["#F00000"]),
    (4, ["#F00000", "#00F000", "#0000F0", "#808080"]),
    (50, ["#F00000", "#00F000", "#0000F0", "#808080"]),
])
def test_palette_is_most_frequent_first(capsys, num_colors, palette):
    assert Picture(BANDS).extract_color_palette(num_colors) == palette
    assert printed(capsys)[0] == EXTRACTING.format(int(num_colors))


@pytest.mark.parametrize("bands, palette", [
    (((RED, 50), (BLUE, 50)), ["#F00000", "#0000F0"]),
    (((BLUE, 50), (RED, 50)), ["#0000F0", "#F00000"]),
    (((GREY, 20), (RED, 40), (BLUE, 20), (GREEN, 20)), ["#F00000", "#808080", "#0000F0", "#00F000"]),
])
def test_equal_counts_keep_first_occurrence_order(capsys, bands, palette):
    assert Picture(stripes(*bands)).extract_color_palette(10) == palette


@pytest.mark.parametrize("num_colors", ["3", None, [3]])
def test_num_colors_must_be_a_number(capsys, num_colors):
    with pytest.raises(TypeError) as err:
        Picture(BANDS).extract_color_palette(num_colors)
    assert str(err.value) == (f"Argument 'num_colors' has incorrect type (expected int, "
                              f"got {type(num_colors).__name__})")
    assert printed(capsys) == []


@pytest.mark.parametrize("mode, size, seed", [
    ("RGB", (100, 100), 1), ("RGB", (137, 61), 2), ("RGBA", (64, 200), 3), ("P", (120, 90), 4),
    ("L", (33, 33), 5), ("CMYK", (150, 100), 6), ("1", (100, 120), 7),
])
@pytest.mark.parametrize("num_colors", [5, 4096])
def test_palette_follows_the_algorithm_on_any_picture(capsys, mode, size, seed, num_colors):
    im = noise(mode, size, seed)
    assert Picture(im).extract_color_palette(num_colors) == reference_palette(im, num_colors)


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "P", "LA"])
def test_palette_leaves_the_picture_unchanged(capsys, recwarn, mode):
    im = noise(mode, (130, 70), 8)
    before = (im.mode, im.size, im.tobytes(), im.getpalette(), dict(im.info))
    o = Picture(im)
    o.extract_color_palette()
    assert o.image is im
    assert (im.mode, im.size, im.tobytes(), im.getpalette(), dict(im.info)) == before
    assert recwarn.list == []


# ---------------------------------------------------------------------------------------------
# extract_color_palette on pixels Pillow would not produce

class Pixels:
    """A picture whose 100x100 RGB copy yields `pixels` through `getdata` only (as before
    get_flattened_data existed)."""

    def __init__(self, pixels):
        self.pixels = pixels
        self.calls = []

    def copy(self):
        self.calls.append("copy")
        return self

    def resize(self, size):
        self.calls.append(("resize", size))
        return self

    def convert(self, mode):
        self.calls.append(("convert", mode))
        return self

    def getdata(self):
        self.calls.append("getdata")
        return iter(self.pixels)


class Channel(int):
    pass


@pytest.mark.parametrize("pixels", [
    [(255, 0, 0), [255, 0, 0], (0, 0, 255), (0, 0, 255), [0, 0, 255]],   # lists count with tuples
    [(255, 0, 0)] * 3 + [(0, 1, 2)] * 3 + [(True, 17, Channel(40))] * 4,  # int subclasses
    [(300, -20, 16), (0, 0, 0), (300, -20, 16)],                          # outside 0..255
    [(1, 2, 3), (2**70, 0, 0), (2**70, 0, 5)],
    [(16, 32, 48), (Channel(16), 32, 48), (0, 0, 0)],
    [],
], ids=["lists", "subclasses", "out-of-range", "huge", "mixed", "empty"])
@pytest.mark.parametrize("num_colors", [1, 2, 10])
def test_any_pixel_values_follow_the_algorithm(capsys, pixels, num_colors):
    source = Pixels(pixels)
    assert Picture(source).extract_color_palette(num_colors) == palette_of(pixels, num_colors)
    assert source.calls == ["copy", ("resize", (100, 100)), ("convert", "RGB"), "getdata"]


@pytest.mark.parametrize("pixels, error", [
    ([(1, 2, 3), (1, 2)], ValueError),
    ([(1, 2, 3), (1, 2, 3, 4)], ValueError),
    ([(1, 2, 3), 7], TypeError),
    ([(1, 2, 3), (1.5, 2, "3")], TypeError),
    ([(1, 2, 3), (16.0, 0, 0), (16.0, 0, 0)], ValueError),  # "{:02x}" of the float 16.0
])
def test_pixels_that_break_the_algorithm_raise_as_it_would(capsys, pixels, error):
    with pytest.raises(error):
        palette_of(pixels, 5)
    with pytest.raises(error):
        Picture(Pixels(pixels)).extract_color_palette()
    assert printed(capsys) == [EXTRACTING.format(5)]


# ---------------------------------------------------------------------------------------------
# The cached sorted replaced before the module loads: its result is walked as a for loop walks it

@pytest.mark.parametrize("result, outcome", [
    ("tuple(found)", "same"),
    ("iter(found)", "same"),
    ("(entry for entry in found)", "same"),
    ("type('L', (list,), {})(found)", "same"),
    ("found[::-1]", "reversed"),
    ("42", "TypeError: 'int' object is not iterable"),
    ("[((1, 2), 5)]", "ValueError: not enough values to unpack (expected 3, got 2)"),
], ids=["tuple", "iterator", "generator", "list-subclass", "other-order", "not-iterable", "bad-entries"])
def test_palette_walks_whatever_the_cached_sorted_gives(run_py, result, outcome):
    code, out, err = run_py(f"""
        import builtins
        real_sorted = builtins.sorted

        armed = False

        def sorted(items, **kwargs):
            found = real_sorted(items, **kwargs)
            return {result} if armed else found  # unarmed while the imports sort things

        builtins.sorted = sorted
        import framewick.utils.inspector as inspector
        builtins.sorted = real_sorted
        armed = True

        class Pixels:
            # Lists, not int tuples: the counting goes the general way, through sorted.
            def copy(self): return self
            def resize(self, size): return self
            def convert(self, mode): return self
            def getdata(self): return iter([[255, 0, 0]] * 3 + [[0, 0, 255]] * 2 + [[0, 200, 0]])

        obj = type("O", (inspector.Inspector,), {{}})()
        obj.image = Pixels()
        try:
            print("RESULT", obj.extract_color_palette(10))
        except Exception as e:
            print("RESULT", f"{{type(e).__name__}}: {{e}}")
    """)
    assert code == 0 and err == "", err
    expected = {"same": "['#F00000', '#0000F0', '#00C000']", "reversed": "['#00C000', '#0000F0', '#F00000']"}
    assert out.splitlines()[-1] == "RESULT " + expected.get(outcome, outcome)


# ---------------------------------------------------------------------------------------------
# The palette of an exact RGB picture of Pillow's, counted from its bytes

class Wrapped:
    """A stand-in that hands each step to a real picture: the same pixels, but not exactly
    Pillow's picture class, so the palette takes the pixel-tuple path."""

    def __init__(self, im):
        self.im = im
        self.mode = im.mode

    def copy(self):
        return Wrapped(self.im.copy())

    def resize(self, size):
        return Wrapped(self.im.resize(size))

    def convert(self, mode):
        return Wrapped(self.im.convert(mode))

    def get_flattened_data(self):
        return self.im.get_flattened_data()


@pytest.mark.parametrize("mode, size, seed", [
    ("RGB", (100, 100), 11), ("RGB", (1, 1), 12), ("RGB", (257, 31), 13), ("RGB", (3, 400), 14),
    ("RGBA", (120, 80), 15), ("P", (64, 64), 16), ("L", (150, 150), 17), ("CMYK", (99, 101), 18),
    ("I;16", (50, 70), 19), ("F", (40, 40), 20),
])
@pytest.mark.parametrize("num_colors", [1, 5, 4096])
def test_bytes_and_tuple_paths_give_the_same_palette(monkeypatch, capsys, mode, size, seed, num_colors):
    im = noise(mode, size, seed) if mode not in ("I;16", "F") else noise("L", size, seed).convert(mode)
    expected, paths = reference_palette(im, num_colors), []
    for name in ("tobytes", "get_flattened_data"):
        def spy(self, *args, _name=name, _real=getattr(Image.Image, name), **kwargs):
            paths.append(_name)
            return _real(self, *args, **kwargs)
        monkeypatch.setattr(Image.Image, name, spy)
    fast = Picture(im).extract_color_palette(num_colors)
    fast_paths, fast_lines, paths[:] = paths[:], printed(capsys), []
    slow = Picture(Wrapped(im)).extract_color_palette(num_colors)
    assert fast == slow == expected
    assert fast_paths == ["tobytes"] and paths == ["get_flattened_data"]
    assert fast_lines == printed(capsys) and len(fast_lines) == 2


def test_tuple_path_for_objects_that_only_look_like_pillows(capsys):
    class RGBStandIn(Pixels):
        mode = "RGB"

        def tobytes(self):
            raise AssertionError("tobytes read from a stand-in")

    pixels = [(255, 0, 0)] * 3 + [(0, 0, 255)] * 4
    assert Picture(RGBStandIn(pixels)).extract_color_palette() == palette_of(pixels, 5)
