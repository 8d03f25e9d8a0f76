"""Colour grading with .cube LUT files: reading them, and the `Grading` mixin's `apply_lut`.

A .cube file (the Adobe/Resolve text format) holds a colour table: keyword lines (``TITLE``,
``LUT_3D_SIZE`` or ``LUT_1D_SIZE``, ``DOMAIN_MIN``/``DOMAIN_MAX``), comments starting with
``#``, blank lines, and then one row of three numbers per table entry, red varying fastest.
`read_cube` parses one as a stream (its memory is the declared table's doubles and one piece of
text) and keeps it, keyed by the file's path, modification time and size, so a batch reads each
file once per worker process. Importing this module loads neither Pillow nor
NumPy: the chain parser checks LUT files without them.
"""

from __future__ import annotations

import math
import os
import re
import threading
from array import array
from collections import OrderedDict
from dataclasses import dataclass, field
from typing import Any, Final

from framewick._output import status
from framewick.steps.declare import SAME, declares, step
from framewick.steps.rules import FRACTION, Rule, file_problem

__all__ = ["CubeLUT", "Grading", "LUTError", "read_cube", "write_cube"]

MIN_SIZE: Final = 2
MAX_3D_SIZE: Final = 256
MAX_1D_SIZE: Final = 65536
#: The largest grid Pillow's Color3DLUT takes; a finer table is resampled to it once.
PILLOW_MAX_SIZE: Final = 65
#: A 256-point 3D table written with generous precision stays below this.
MAX_FILE_BYTES: Final = 1 << 30
_CACHE_ENTRIES: Final = 16
_KEYWORD: Final = re.compile(r"[A-Z][A-Z0-9_]*")


class LUTError(ValueError):
    """A LUT file that cannot be used, or a strength outside 0..1: one line naming the file."""


@dataclass(frozen=True, eq=False)
class CubeLUT:
    """A parsed .cube file: the table as written (rows flattened, red fastest; a read-only view
    of doubles, 8 bytes a value) and its domain.

    `prepared()` gives what a picture is filtered with (made once, then kept): a Pillow
    `Color3DLUT` for a 3D table, a `point` table of 256 levels per band for a 1D one.
    """

    path: str
    title: str
    size: int
    dimensions: int
    domain_min: tuple[float, float, float]
    domain_max: tuple[float, float, float]
    table: memoryview
    _prepared: dict[str, Any] = field(default_factory=dict, repr=False)

    @property
    def name(self) -> str:
        return os.path.basename(self.path)

    def prepared(self) -> Any:
        made = self._prepared.get("filter")
        if made is None:
            made = self._make_3d() if self.dimensions == 3 else self._make_1d()
            self._prepared["filter"] = made
        return made

    def _make_3d(self) -> Any:
        from PIL import ImageFilter

        unit = self.domain_min == (0.0, 0.0, 0.0) and self.domain_max == (1.0, 1.0, 1.0)
        if unit and self.size <= PILLOW_MAX_SIZE:
            return ImageFilter.Color3DLUT(self.size, list(self.table))
        size = min(self.size, PILLOW_MAX_SIZE)
        return ImageFilter.Color3DLUT(size, _resample_3d(self, size))

    def _make_1d(self) -> list[int]:
        """256 output levels for each of red, green and blue, read off the curves linearly."""
        levels: list[int] = []
        last = self.size - 1
        for channel in range(3):
            low, high = self.domain_min[channel], self.domain_max[channel]
            for v in range(256):
                at = min(max((v / 255 - low) / (high - low), 0.0), 1.0) * last
                i = min(int(at), last - 1)
                w = at - i
                y = self.table[3 * i + channel] * (1 - w) + self.table[3 * (i + 1) + channel] * w
                levels.append(min(max(round(y * 255), 0), 255))
        return levels


def _resample_3d(lut: CubeLUT, size: int) -> list[float]:
    """The table on a `size` grid over 0..1, read off `lut` trilinearly through its domain.

    Trilinear interpolation is separable: interpolate along red, then green, then blue.
    """
    import numpy as np

    n = lut.size
    grid = np.asarray(lut.table, dtype=np.float64).reshape(n, n, n, 3)  # [blue][green][red]
    x = np.linspace(0.0, 1.0, size)
    for channel, axis in ((0, 2), (1, 1), (2, 0)):
        low, high = lut.domain_min[channel], lut.domain_max[channel]
        at = np.clip((x - low) / (high - low), 0.0, 1.0) * (n - 1)
        i0 = np.minimum(at.astype(np.int64), n - 2)
        w = at - i0
        shape = [1, 1, 1, 1]
        shape[axis] = size
        w = w.reshape(shape)
        grid = np.take(grid, i0, axis=axis) * (1 - w) + np.take(grid, i0 + 1, axis=axis) * w
    return grid.reshape(-1).tolist()


# ---------------------------------------------------------------------------------------------
# Reading .cube files

_cache: OrderedDict[str, tuple[tuple[int, int], CubeLUT]] = OrderedDict()
_cache_lock = threading.Lock()


def read_cube(path: str) -> CubeLUT:
    """Parse the .cube file at `path`, or hand back the one parsed before if it is unchanged.

    Raises LUTError (and nothing else) for a file that cannot be used.
    """
    try:
        where = os.fspath(path)
    except TypeError:
        raise LUTError(f"a LUT file is given by its path, not {type(path).__name__}") from None
    if not isinstance(where, str):
        where = os.fsdecode(where)
    try:
        info = os.stat(where)
    except FileNotFoundError:
        raise LUTError(f"{where}: no such LUT file") from None
    except (OSError, ValueError) as e:
        raise LUTError(f"{where}: cannot read the LUT file ({_reason(e)})") from None
    stamp = (info.st_mtime_ns, info.st_size)
    key = os.path.abspath(where)
    with _cache_lock:
        hit = _cache.get(key)
        if hit is not None and hit[0] == stamp:
            _cache.move_to_end(key)
            return hit[1]
    lut = _parse_file(where, info)
    with _cache_lock:
        _cache[key] = (stamp, lut)
        _cache.move_to_end(key)
        while len(_cache) > _CACHE_ENTRIES:
            _cache.popitem(last=False)
    return lut


def _reason(error: BaseException) -> str:
    return getattr(error, "strerror", None) or str(error) or type(error).__name__


def _parse_file(where: str, info: os.stat_result) -> CubeLUT:
    import stat

    if not stat.S_ISREG(info.st_mode):
        raise LUTError(f"{where}: not a cube LUT (not a regular file)")
    if info.st_size > MAX_FILE_BYTES:
        raise LUTError(f"{where}: not a cube LUT (larger than {MAX_FILE_BYTES >> 20} MiB)")
    try:
        with open(where, "rb", buffering=0) as f:
            return _Parser(where).run(f)
    except OSError as e:
        raise LUTError(f"{where}: cannot read the LUT file ({_reason(e)})") from None


#: The file is read in pieces of about this size, each cut after its last line break.
CHUNK_BYTES: Final = 1 << 20
#: No line of a .cube file comes near this; a longer one is not a LUT.
MAX_LINE_BYTES: Final = 1 << 16
_NON_BLANK = re.compile(rb"\S")
_COMMENT = re.compile(rb"#[^\n]*")
_BOM = b"\xef\xbb\xbf"


class _Parser:
    """A .cube file read as a stream: memory is the table's floats plus one piece of text.

    1. Read keyword lines up to the first row of numbers, skipping blank runs without a loop
       per line. 2. Check the header; the table's declared size is now known. 3. Take every
       later piece, drop its comments, check that each line is blank or holds three words,
       and convert the words straight into the table's array of doubles; more rows than the
       size needs stop the reading at once. 4. Check the row count. Line breaks are LF, CRLF
       or CR; lines are counted from 1 for the messages.
    """

    def __init__(self, where: str) -> None:
        self.where = where
        self.title = ""
        self.sizes: dict[str, tuple[int, int]] = {}  # keyword -> (size, line)
        self.domain: dict[str, tuple[tuple[float, float, float], int]] = {}
        self.line = 1  # the number of the line the next piece starts with
        self.in_table = False
        self.want = 0  # values the table needs, once the header is read
        self.table: Any = None
        self.size = self.dimensions = 0
        self.low = self.high = (0.0, 0.0, 0.0)
        self.total = 0.0

    def fail(self, text: str, line: int | None = None) -> LUTError:
        return LUTError(f"{self.where}: line {line}: {text}" if line else f"{self.where}: {text}")

    def run(self, f: Any) -> CubeLUT:
        pending = b""
        first = True
        while True:
            data = f.read(CHUNK_BYTES)
            if first and data.startswith(_BOM):
                data = data[len(_BOM):]
            first = False
            if b"\0" in data:
                raise self.fail("not a cube LUT (a binary file)")
            if not data:
                if pending:
                    self.piece(pending + b"\n")
                break
            data = pending + data if pending else data
            # The last line break; a CR at the very end waits, for the LF that may follow it.
            cut = max(data.rfind(b"\n"), data.rfind(b"\r", 0, len(data) - 1))
            pending = data[cut + 1:]
            if cut >= 0:
                self.piece(data[:cut + 1])
            del data
            if len(pending) > MAX_LINE_BYTES:
                raise self.fail(f"not a cube LUT (a line longer than {MAX_LINE_BYTES >> 10} KiB)", self.line)
        if not self.in_table:
            self.start_table()
        if len(self.table) != self.want:
            keyword = "LUT_3D_SIZE" if self.dimensions == 3 else "LUT_1D_SIZE"
            raise self.fail(f"{len(self.table) // 3} rows of numbers, but {keyword} {self.size} needs "
                            f"{self.want // 3}")
        if not math.isfinite(self.total):  # each value is finite: their sum overflowed
            raise self.fail("the table's values are too large to use")
        return CubeLUT(self.where, self.title, self.size, self.dimensions, self.low, self.high,
                       memoryview(self.table).toreadonly())

    # 1. The header

    def piece(self, text: bytes) -> None:
        """A run of whole lines, each ending in a line break."""
        if b"\r" in text:
            text = text.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
        if self.in_table:
            self.rows(text)
            return
        at = 0
        while True:
            found = _NON_BLANK.search(text, at)
            if found is None:
                self.line += text.count(b"\n", at)
                return
            start = text.rfind(b"\n", 0, found.start()) + 1
            self.line += text.count(b"\n", at, start)
            stop = text.index(b"\n", start)
            words = text[start:stop].split()
            if not words[0].startswith(b"#"):
                if not _KEYWORD.fullmatch(words[0].decode("latin-1")):
                    self.start_table()
                    self.rows(text[start:])
                    return
                self.keyword(text[start:stop], words)
            self.line += 1
            at = stop + 1

    def keyword(self, raw: bytes, words: list[bytes]) -> None:
        number, keyword = self.line, words[0].decode("ascii")
        line = _text(raw)
        if keyword in self.sizes or keyword in self.domain or (keyword == "TITLE" and self.title):
            raise self.fail(f"a second {keyword} line", number)
        if keyword == "TITLE":
            self.title = line.strip()[5:].strip().strip('"') or " "
        elif keyword in ("LUT_3D_SIZE", "LUT_1D_SIZE"):
            limit = MAX_3D_SIZE if keyword == "LUT_3D_SIZE" else MAX_1D_SIZE
            if len(words) != 2 or not words[1].isdigit():
                raise self.fail(f"{keyword} takes one whole number, got {line.strip()!r}", number)
            size = int(words[1])
            if not MIN_SIZE <= size <= limit:
                raise self.fail(f"{keyword} {size} is outside {MIN_SIZE}..{limit}", number)
            self.sizes[keyword] = (size, number)
        elif keyword in ("DOMAIN_MIN", "DOMAIN_MAX"):
            self.domain[keyword] = (_three(self.where, number, line.split()), number)
        elif keyword in ("LUT_1D_INPUT_RANGE", "LUT_3D_INPUT_RANGE"):
            low, high = _numbers(self.where, number, line.split(), 2)
            self.domain["DOMAIN_MIN"] = ((low, low, low), number)
            self.domain["DOMAIN_MAX"] = ((high, high, high), number)
            self.sizes[keyword] = (0, number)  # counts as seen, for the repeat check
        # Other keywords (LUT_IN_VIDEO_RANGE and the like) describe the footage, not the table.

    # 2. The header checked; the table made for the size it declares

    def start_table(self) -> None:
        sizes, where = self.sizes, self.where
        if "LUT_3D_SIZE" in sizes and "LUT_1D_SIZE" in sizes:
            raise self.fail("both LUT_1D_SIZE and LUT_3D_SIZE (a shaper with a cube is not supported; "
                            "use a file with one table)", sizes["LUT_1D_SIZE"][1])
        if "LUT_3D_SIZE" in sizes:
            self.size, self.dimensions = sizes["LUT_3D_SIZE"][0], 3
        elif "LUT_1D_SIZE" in sizes:
            self.size, self.dimensions = sizes["LUT_1D_SIZE"][0], 1
        else:
            raise LUTError(f"{where}: not a cube LUT (no LUT_3D_SIZE or LUT_1D_SIZE line before the table)")
        low, low_line = self.domain.get("DOMAIN_MIN", ((0.0, 0.0, 0.0), 0))
        high, high_line = self.domain.get("DOMAIN_MAX", ((1.0, 1.0, 1.0), 0))
        for channel, band in enumerate(("red", "green", "blue")):
            if not low[channel] < high[channel]:
                raise self.fail(f"the domain's minimum {low[channel]:g} is not below its maximum "
                                f"{high[channel]:g} for {band}", max(low_line, high_line))
        self.low, self.high = low, high
        self.want = 3 * self.size ** self.dimensions
        # Grown as rows arrive (never past `want`), so a short file stays small.
        self.table = array("d")
        self.in_table = True

    # 3. The rows

    def rows(self, text: bytes) -> None:
        first = self.line
        self.line += text.count(b"\n")
        if _NON_BLANK.search(text) is None:
            return
        if b"#" in text:
            text = _COMMENT.sub(b"", text)
        lines = text.split(b"\n")
        if not set(map(len, map(bytes.split, lines))) <= {0, 3}:
            self.bad_row(lines, first)
        words = text.split()
        if len(self.table) + len(words) > self.want:
            keyword = "LUT_3D_SIZE" if self.dimensions == 3 else "LUT_1D_SIZE"
            raise self.fail(f"more rows of numbers than {keyword} {self.size} needs ({self.want // 3})")
        try:
            values = array("d", map(float, words))
            total = math.fsum(values)
        except (ValueError, OverflowError):
            values, total = None, math.nan
        if values is None or not math.isfinite(total):
            self.bad_value(lines, first)
        self.table.extend(values)
        self.total += total

    def bad_row(self, lines: list[bytes], first: int) -> None:
        for number, line in enumerate(lines, first):
            words = line.split()
            if len(words) in (0, 3):
                continue
            if _KEYWORD.fullmatch(_text(words[0])):
                raise self.fail(f"{_text(words[0])} after the table starts (keywords come before the rows)", number)
            raise self.fail(f"a row holds three numbers, got {len(words)}", number)

    def bad_value(self, lines: list[bytes], first: int) -> None:
        """The slow path: name the first value that is not a finite number."""
        for number, line in enumerate(lines, first):
            for word in line.split():
                try:
                    ok = math.isfinite(float(word))
                except ValueError:
                    ok = False
                if not ok:
                    raise self.fail(f"{_text(word)!r} is not a number", number)
        raise self.fail("the table's values are too large to use")


def _text(raw: bytes) -> str:
    """A line's bytes as text: UTF-8, else Latin-1 (titles written by older tools)."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


def _all_numbers(words: list[str]) -> bool:
    try:
        return all(math.isfinite(float(w)) for w in words)
    except ValueError:
        return False


def _numbers(where: str, number: int, words: list[str], count: int) -> tuple[float, ...]:
    if len(words) != count + 1 or not _all_numbers(words[1:]):
        raise LUTError(f"{where}: line {number}: {words[0]} takes {count} numbers, got {' '.join(words[1:])!r}")
    return tuple(float(w) for w in words[1:])


def _three(where: str, number: int, words: list[str]) -> tuple[float, float, float]:
    r, g, b = _numbers(where, number, words, 3)
    return (r, g, b)


def write_cube(path: str | os.PathLike[str], size: int, colour: Any, title: str = "") -> None:
    """Write a 3D .cube file of `size` points a side: `colour(r, g, b)` gives each point's
    output for inputs from 0 to 1, as three numbers from 0 to 1."""
    if not MIN_SIZE <= size <= MAX_3D_SIZE:
        raise ValueError(f"a LUT size is {MIN_SIZE}..{MAX_3D_SIZE}, not {size}")
    last = size - 1
    lines = [f'TITLE "{title}"'] if title else []
    lines.append(f"LUT_3D_SIZE {size}")
    for b in range(size):
        for g in range(size):
            for r in range(size):
                out = colour(r / last, g / last, b / last)
                lines.append(" ".join(f"{v:.6f}" for v in out))
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


# ---------------------------------------------------------------------------------------------
# The step


def _check_strength(where: str, strength: Any) -> float:
    if isinstance(strength, bool) or not isinstance(strength, (int, float)):
        raise TypeError(f"Argument 'strength' has incorrect type (expected float, got {type(strength).__name__})")
    value = float(strength)
    if not 0.0 <= value <= 1.0:  # NaN fails both comparisons
        raise LUTError(f"{where}: strength {strength!r} is outside 0..1")
    return value


#: Modes graded as they are; the others are graded in RGB (RGBA where they carry alpha).
_DIRECT: Final = frozenset({"RGB", "RGBA"})
_WITH_ALPHA: Final = frozenset({"LA", "PA", "La", "RGBa"})


def _gradable(image: Any) -> Any:
    if image.mode in _DIRECT:
        return image
    if image.mode in _WITH_ALPHA or (image.mode == "P" and "transparency" in image.info):
        return image.convert("RGBA")
    return image.convert("RGB")


def _is_lut(value: str, _: Any) -> bool | str:
    """The rule of apply_lut's path: a .cube file that can be read (its error line if not)."""
    reason = file_problem(value)
    if reason:
        return reason
    try:
        read_cube(value)
    except (ValueError, OSError) as e:
        return str(e).replace("\n", " ")
    return True


@declares
class Grading:
    """Colour grading from LUT files, in the user layer: Pillow's Color3DLUT does the work."""

    @step(at_depth="framewick.depth.grading:lut", size=SAME, params={
        "path": dict(rule=Rule("a .cube LUT file that exists", _is_lut, reads_file=True),
                     meaning="a .cube colour table file", sample="film.cube", file="lut"),
        "strength": dict(rule=FRACTION, meaning="0 leaves the picture, 1 grades it fully", sample="0.8")})
    def apply_lut(self, path: str, strength: float = 1.0):
        """Grade the colours with a .cube LUT file, blended with the original by strength (0 to 1)."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"Argument 'path' has incorrect type (expected str, got {type(path).__name__})")
        amount = _check_strength(os.fspath(path), strength)
        lut = read_cube(path)
        graded = _grade(lut, self.image, amount)  # type: ignore[attr-defined]
        self.image = graded  # type: ignore[attr-defined]
        shown = f" at {amount:.0%}" if amount < 1.0 else ""
        status(f"🎨 Success: LUT '{lut.name}' applied{shown}!")
        return self


def _grade(lut: CubeLUT, image: Any, strength: float) -> Any:
    """`image` graded by `lut`: a new picture; L, P and other modes come back as RGB or RGBA."""
    from PIL import Image

    source = _gradable(image)
    if strength == 0.0:
        return source.copy() if source is image else source
    prepared = lut.prepared()
    if lut.dimensions == 3:
        graded = source.filter(prepared)
    elif source.mode == "RGBA":
        graded = source.point(prepared + list(range(256)))
    else:
        graded = source.point(prepared)
    if strength < 1.0:
        graded = Image.blend(source, graded, strength)
    return graded
