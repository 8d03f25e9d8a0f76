"""Colour grading with .cube files: parsing, refusals, the cache and apply_lut on pictures."""

import math
import os

import pytest
from PIL import Image, ImageChops, ImageOps

from framewick import FrameWick
from framewick.chain import Chain
from framewick.lut import LUTError, read_cube, write_cube

IDENTITY = lambda r, g, b: (r, g, b)  # noqa: E731
SWAP = lambda r, g, b: (b, g, r)  # noqa: E731


def noisy(mode="RGB", size=(64, 48)):
    picture = Image.merge("RGB", [Image.effect_noise(size, 70 + 20 * i) for i in range(3)])
    if mode == "RGBA":
        picture.putalpha(Image.linear_gradient("L").resize(size))
        return picture
    if mode == "LA":
        return Image.merge("LA", (picture.convert("L"), Image.linear_gradient("L").resize(size)))
    return picture.convert(mode)


def largest_difference(a, b):
    assert a.mode == b.mode and a.size == b.size
    return max(high for _, high in ImageChops.difference(a, b).getextrema())


def holding(picture):
    obj = FrameWick()
    obj.image = picture
    return obj


@pytest.fixture(scope="module")
def identities(tmp_path_factory):
    folder = tmp_path_factory.mktemp("identity")
    for size in (2, 17, 33):
        write_cube(folder / f"{size}.cube", size, IDENTITY)
    return lambda size: str(folder / f"{size}.cube")


@pytest.fixture
def cube(tmp_path):
    def make(colour=IDENTITY, size=17, name="grade.cube"):
        path = tmp_path / name
        write_cube(path, size, colour)
        return str(path)
    return make


def write(tmp_path, text, name="t.cube"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return str(path)


# ---------------------------------------------------------------------------------------------
# Grading pictures

@pytest.mark.parametrize("mode, graded_mode", [
    ("RGB", "RGB"), ("RGBA", "RGBA"), ("L", "RGB"), ("LA", "RGBA"), ("P", "RGB"), ("CMYK", "RGB"),
])
@pytest.mark.parametrize("size", [2, 17, 33])
def test_identity_lut_keeps_the_picture_and_its_alpha(identities, mode, graded_mode, size):
    picture = noisy(mode)
    obj = holding(picture)
    assert obj.apply_lut(identities(size)) is obj
    assert obj.image.mode == graded_mode
    expected = picture.convert(graded_mode)
    assert largest_difference(obj.image, expected) <= 1
    if "A" in graded_mode:
        assert obj.image.getchannel("A").tobytes() == expected.getchannel("A").tobytes()


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_swapping_lut_swaps_red_and_blue(cube, mode):
    picture = noisy(mode)
    obj = holding(picture).apply_lut(cube(SWAP, 9))
    bands = picture.split()
    expected = Image.merge(mode, (bands[2], bands[1], bands[0], *bands[3:]))
    assert largest_difference(obj.image, expected) <= 1


def test_strength_blends_with_the_original(cube):
    picture = noisy()
    path = cube(SWAP, 5)
    untouched = holding(picture).apply_lut(path, 0.0).image
    assert untouched.tobytes() == picture.tobytes() and untouched is not picture
    full = holding(picture).apply_lut(path, 1.0).image
    half = holding(picture).apply_lut(path, 0.5).image
    assert largest_difference(half, Image.blend(picture, full, 0.5)) <= 1
    # halfway between original and graded, channel by channel
    r0, _, b0 = picture.getpixel((3, 4))
    r, _, b = half.getpixel((3, 4))
    assert abs(r - (r0 + b0) / 2) <= 1.5 and abs(b - (r0 + b0) / 2) <= 1.5


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_one_dimensional_lut_applies_a_curve_per_channel(tmp_path, mode):
    # red inverted, green kept, blue cut to nothing
    rows = "\n".join(f"{1 - x:.6f} {x:.6f} 0" for x in (i / 15 for i in range(16)))
    path = write(tmp_path, f"LUT_1D_SIZE 16\n{rows}\n")
    picture = noisy(mode)
    graded = holding(picture).apply_lut(path).image
    red, green, blue, *alpha = picture.split()
    expected = Image.merge(mode, (ImageOps.invert(red), green, Image.new("L", picture.size, 0), *alpha))
    assert largest_difference(graded, expected) <= 1


def test_domain_and_fine_tables_are_read_through(tmp_path):
    # A true identity over a domain of 0..1, 0..2 and 0..4 (the rows hold the domain's own
    # coordinates), and a 1D table over 0..0.5 that reaches full output halfway: inputs above
    # it are clipped.
    n = 5
    rows = [f"{r / (n - 1)} {2 * g / (n - 1)} {4 * b / (n - 1)}" for b in range(n) for g in range(n) for r in range(n)]
    wide = write(tmp_path, "DOMAIN_MIN 0 0 0\nDOMAIN_MAX 1 2 4\nLUT_3D_SIZE 5\n" + "\n".join(rows), "wide.cube")
    picture = noisy()
    assert largest_difference(holding(picture).apply_lut(wide).image, picture) <= 1
    half = write(tmp_path, "LUT_1D_INPUT_RANGE 0 0.5\nLUT_1D_SIZE 2\n0 0 0\n1 1 1\n", "half.cube")
    graded = holding(Image.new("RGB", (2, 1), (64, 127, 200))).apply_lut(half).image
    assert graded.getpixel((0, 0)) == (128, 254, 255)


def test_a_table_finer_than_pillow_takes_is_resampled(tmp_path):
    level = [f"{i / 66:.6f}" for i in range(67)]
    rows = "\n".join(f"{level[b]} {level[g]} {level[r]}" for b in range(67) for g in range(67) for r in range(67))
    picture = noisy()
    graded = holding(picture).apply_lut(write(tmp_path, "LUT_3D_SIZE 67\n" + rows)).image
    bands = picture.split()
    assert largest_difference(graded, Image.merge("RGB", (bands[2], bands[1], bands[0]))) <= 1


def test_status_line_and_the_chain_step(cube, capsys, tmp_path):
    path = cube(SWAP, 3, name="film.cube")
    holding(noisy()).apply_lut(path)
    holding(noisy()).apply_lut(path, 0.25)
    assert capsys.readouterr().out.splitlines() == [
        "🎨 Success: LUT 'film.cube' applied!", "🎨 Success: LUT 'film.cube' applied at 25%!"]
    chain = Chain.parse(f"lut:{path},0.5")
    assert [(s.method, s.args) for s in chain] == [("apply_lut", (path, 0.5))]


# ---------------------------------------------------------------------------------------------
# Reading .cube files

GOOD_3D = "\n".join(f"{r} {g} {b}" for b in (0, 1) for g in (0, 1) for r in (0, 1))


@pytest.mark.parametrize("text", [
    f'TITLE "two"\nLUT_3D_SIZE 2\n{GOOD_3D}\n',
    f"# made by hand\n\nLUT_3D_SIZE 2\nDOMAIN_MIN 0 0 0\nDOMAIN_MAX 1 1 1\n\n{GOOD_3D}\n\n",
    "\ufeffLUT_3D_SIZE 2\r\n" + GOOD_3D.replace("\n", "\r\n") + "\r\n",
    "LUT_IN_VIDEO_RANGE\nLUT_3D_SIZE 2\n" + GOOD_3D.replace("\n", "\n# between rows\n", 2) + "  # trailing\n",
])
def test_cube_files_as_tools_write_them(tmp_path, text):
    lut = read_cube(write(tmp_path, text))
    assert (lut.size, lut.dimensions) == (2, 3)
    assert tuple(lut.table) == tuple(float(v) for v in GOOD_3D.split())
    assert (lut.domain_min, lut.domain_max) == ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))


ROWS_1D = "0 0 0\n1 1 1\n"


@pytest.mark.parametrize("text, message", [
    ("", "not a cube LUT (no LUT_3D_SIZE or LUT_1D_SIZE line"),
    ("<html><body>nothing here</body></html>\n", "not a cube LUT"),
    (b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR", "not a cube LUT (a binary file)"),
    ("LUT_3D_SIZE 2\n0 0 0\n1 1 1\n", "2 rows of numbers, but LUT_3D_SIZE 2 needs 8"),
    ("LUT_1D_SIZE 3\n" + ROWS_1D, "2 rows of numbers, but LUT_1D_SIZE 3 needs 3"),
    ("LUT_1D_SIZE 2\n0 0 0\n1 one 1\n", "line 3: 'one' is not a number"),
    ("LUT_1D_SIZE 2\n0 0 0\n1 nan 1\n", "line 3: 'nan' is not a number"),
    ("LUT_1D_SIZE 2\n0 0 0\n1 inf 1\n", "line 3: 'inf' is not a number"),
    ("LUT_1D_SIZE 2\n0 0 0\n1 1\n", "line 3: a row holds three numbers, got 2"),
    ("LUT_1D_SIZE 2\n0 0 0 0\n1 1 1\n", "line 2: a row holds three numbers, got 4"),
    ("LUT_1D_SIZE 2\n0 0 0\nLUT_3D_SIZE 2\n1 1 1\n", "line 3: LUT_3D_SIZE after the table starts"),
    ("LUT_3D_SIZE 1\n", "line 1: LUT_3D_SIZE 1 is outside 2..256"),
    ("LUT_3D_SIZE 257\n", "line 1: LUT_3D_SIZE 257 is outside 2..256"),
    ("# c\nLUT_1D_SIZE 65537\n", "line 2: LUT_1D_SIZE 65537 is outside 2..65536"),
    ("LUT_3D_SIZE 2.5\n", "line 1: LUT_3D_SIZE takes one whole number"),
    ("LUT_3D_SIZE 2\nLUT_3D_SIZE 2\n", "line 2: a second LUT_3D_SIZE line"),
    ("LUT_3D_SIZE 2\nLUT_1D_SIZE 2\n", "line 2: both LUT_1D_SIZE and LUT_3D_SIZE"),
    ("LUT_1D_SIZE 2\nDOMAIN_MIN 0 0.5 0\nDOMAIN_MAX 1 0.5 1\n" + ROWS_1D,
     "line 3: the domain's minimum 0.5 is not below its maximum 0.5 for green"),
    ("LUT_1D_SIZE 2\nDOMAIN_MAX 1 1 -1\n" + ROWS_1D, "line 2: the domain's minimum 0 is not below its maximum -1 for blue"),
    ("LUT_1D_SIZE 2\nDOMAIN_MIN 0 0\n" + ROWS_1D, "line 2: DOMAIN_MIN takes 3 numbers"),
])
def test_malformed_files_are_refused_naming_file_and_line(tmp_path, text, message):
    path = write(tmp_path, text)
    with pytest.raises(LUTError) as refused:
        read_cube(path)
    assert str(refused.value).startswith(f"{path}: {message}")
    assert "\n" not in str(refused.value)


def test_missing_and_unreadable_paths(tmp_path):
    for path, message in [(tmp_path / "none.cube", "no such LUT file"), (tmp_path, "not a cube LUT (not a regular file)")]:
        with pytest.raises(LUTError, match=f"^{str(path)}: " + message.replace("(", r"\(").replace(")", r"\)")):
            read_cube(str(path))
    with pytest.raises(LUTError, match="by its path, not int"):
        read_cube(3)


@pytest.mark.parametrize("strength", [-0.1, 1.5, math.nan, math.inf])
def test_strength_outside_the_range_and_a_bad_file_lose_nothing(cube, tmp_path, capsys, strength):
    picture = noisy()
    obj = holding(picture)
    path = cube()
    with pytest.raises(LUTError, match=f"^{path}: strength .* is outside 0..1$"):
        obj.apply_lut(path, strength)
    with pytest.raises(LUTError, match="not a number"):
        obj.apply_lut(write(tmp_path, "LUT_1D_SIZE 2\n0 0 0\n1 x 1\n"))
    with pytest.raises(TypeError, match="Argument 'strength' has incorrect type"):
        obj.apply_lut(path, "0.5")
    assert obj.image is picture and capsys.readouterr().out == ""


def test_parsed_lut_is_kept_until_the_file_changes(cube):
    path = cube(IDENTITY, 3)
    first = read_cube(path)
    assert read_cube(path) is first
    assert read_cube(os.path.join(os.path.dirname(path), ".", os.path.basename(path))) is first
    first.prepared()
    assert first.prepared() is first.prepared()  # the filter is made once
    write_cube(path, 4, SWAP)
    os.utime(path, ns=(1, 1))
    changed = read_cube(path)
    assert changed is not first and changed.size == 4


# ---------------------------------------------------------------------------------------------
# Reading as a stream: memory follows the declared table, not the file

_PEAK = """
import resource, sys
def status(key):
    return int(next(l.split()[1] for l in open("/proc/self/status") if l.startswith(key))) * 1024
{limit}
from framewick.lut import read_cube
before = status("VmRSS:")
lut = read_cube(sys.argv[1])
print(lut.size, len(lut.table), status("VmHWM:") - before)
"""


def _peak(run_py, path, limit_bytes=None):
    """(size, values, bytes the parse raised the high-water mark by) in a fresh interpreter,
    under an address-space limit when given."""
    limit = "" if limit_bytes is None else f"resource.setrlimit(resource.RLIMIT_AS, ({limit_bytes}, {limit_bytes}))"
    code, out, err = run_py(_PEAK.format(limit=limit).replace("sys.argv[1]", repr(str(path))))
    assert code == 0, err
    size, values, peak = map(int, out.split())
    return size, values, peak


# A sanitizer runtime reserves terabytes of address space and keeps freed memory in quarantine:
# an address-space limit or a high-water mark says nothing under it.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
memory_figure = pytest.mark.skipif(SANITIZED, reason="a sanitizer runtime is preloaded")


@memory_figure
def test_a_tiny_file_reads_small_under_an_address_space_limit(cube, run_py):
    # ulimit -v 1000000: no read reserves a gigabyte up front any more.
    assert _peak(run_py, cube(IDENTITY, 2), limit_bytes=1_000_000 * 1024)[:2] == (2, 24)


@memory_figure
def test_blank_lines_cost_nothing_and_a_table_costs_its_doubles(tmp_path, run_py):
    blank = tmp_path / "blank.cube"
    with open(blank, "w") as f:
        f.write("LUT_3D_SIZE 2\n" + "\n" * (8 << 20) + GOOD_3D + "\n" + "\r\n" * (8 << 20) + "# end\n" * 1000)
    size, values, peak = _peak(run_py, blank, limit_bytes=1 << 30)
    assert (size, values) == (2, 24) and peak < 16 << 20
    table = tmp_path / "t64.cube"
    write_cube(table, 64, SWAP)
    doubles = 3 * 8 * 64 ** 3  # 6 MiB; the file is about 7 MiB
    size, values, peak = _peak(run_py, table)
    assert (size, values) == (64, 3 * 64 ** 3) and peak < 2 * doubles + (8 << 20), peak


@pytest.mark.parametrize("text, message", [
    ("LUT_3D_SIZE 2\n" + GOOD_3D + "\n" + GOOD_3D + "\n", "more rows of numbers than LUT_3D_SIZE 2 needs (8)"),
    ("LUT_3D_SIZE 2\n" + "0" * (2 << 20) + "\n", "line 2: not a cube LUT (a line longer than 64 KiB)"),
    ("LUT_1D_SIZE 2\r0 0 0\r1 1 x\r", "line 3: 'x' is not a number"),
    ("LUT_1D_SIZE 2\n0 0 0\n1e308 1e308 1e308\n", "the table's values are too large to use"),
    ("LUT_1D_SIZE 2\n0 0 0\n" + "\n" * (3 << 20) + "1 1\n", f"line {3 + (3 << 20)}: a row holds three numbers, got 2"),
    ("LUT_1D_SIZE 2\n" + "\n" * (3 << 20) + "0 0 0\n1 1 1\n\0", "not a cube LUT (a binary file)"),
], ids=["too-many-rows", "long-line", "cr-only", "too-large", "short-row-far-down", "nul-far-down"])
def test_refusals_found_across_pieces_of_the_stream(tmp_path, text, message):
    path = write(tmp_path, text)
    with pytest.raises(LUTError) as refused:
        read_cube(path)
    assert str(refused.value) == f"{path}: {message}"


def test_a_table_split_across_pieces_reads_whole(tmp_path):
    # Rows straddling the 1 MiB pieces, CRLF pairs among them, comments and a last row without
    # a line break: the table comes out exactly as written.
    rows = [f"{r / 63:.9f} {g / 63:.9f} {b / 63:.9f}" for b in range(64) for g in range(64) for r in range(64)]
    text = "TITLE \"caf\u00e9\"\r\nLUT_3D_SIZE 64\r\n" + "\r\n# a comment\r\n".join(rows)
    lut = read_cube(write(tmp_path, text))
    assert lut.title == "caf\u00e9" and len(lut.table) == 3 * 64 ** 3
    assert list(lut.table) == [float(v) for row in rows for v in row.split()]
