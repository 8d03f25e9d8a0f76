"""Colour grading with .cube LUT files: reading them, and the `Grading` mixin's `apply_lut`.

A .cube file (the Adobe/Resolve text format) holds a colour table: keyword lines (``TITLE``,
``LUT_3D_SIZE`` or ``LUT_1D_SIZE``, ``DOMAIN_MIN``/``DOMAIN_MAX``), comments starting with
``#``, blank lines, and then one row of three numbers per table entry, red varying fastest.
`read_cube` parses one and keeps it, keyed by the file's path, modification time and size, so a
batch reads each file once per worker process. Importing this module loads neither Pillow nor
NumPy: the chain parser checks LUT files without them.
"""

from __future__ import annotations

import math
import os
import re
import threading
from collections import OrderedDict
from dataclasses import dataclass, field
from typing import Any, Final

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
    """A parsed .cube file: the table as written (rows flattened, red fastest) and its domain.

    `prepared()` gives what a picture is filtered with (made once, then kept): a Pillow
    `Color3DLUT` for a 3D table, a `point` table of 256 levels per band for a 1D one.
    """

    path: str
    title: str
    size: int
    dimensions: int
    domain_min: tuple[float, float, float]
    domain_max: tuple[float, float, float]
    table: tuple[float, ...]
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
    lut = _parse(where, _read_text(where, info))
    with _cache_lock:
        _cache[key] = (stamp, lut)
        _cache.move_to_end(key)
        while len(_cache) > _CACHE_ENTRIES:
            _cache.popitem(last=False)
    return lut


def _reason(error: BaseException) -> str:
    return getattr(error, "strerror", None) or str(error) or type(error).__name__


def _read_text(where: str, info: os.stat_result) -> str:
    import stat

    if not stat.S_ISREG(info.st_mode):
        raise LUTError(f"{where}: not a cube LUT (not a regular file)")
    if info.st_size > MAX_FILE_BYTES:
        raise LUTError(f"{where}: not a cube LUT (larger than {MAX_FILE_BYTES >> 20} MiB)")
    try:
        with open(where, "rb") as f:
            data = f.read(MAX_FILE_BYTES + 1)
    except OSError as e:
        raise LUTError(f"{where}: cannot read the LUT file ({_reason(e)})") from None
    if b"\0" in data:
        raise LUTError(f"{where}: not a cube LUT (a binary file)")
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        try:
            return data.decode("latin-1")  # titles written by older tools; the numbers are ASCII
        except UnicodeDecodeError:  # pragma: no cover - latin-1 decodes every byte
            raise LUTError(f"{where}: not a cube LUT (not text)") from None


def _parse(where: str, text: str) -> CubeLUT:
    """1. Read keyword lines up to the first row of numbers. 2. Check the header. 3. Take every
    later non-comment line as a row of three numbers, converting them in one pass. 4. Check the
    row count. Lines are counted from 1 for the messages."""
    title = ""
    sizes: dict[str, tuple[int, int]] = {}  # keyword -> (size, line)
    domain: dict[str, tuple[tuple[float, float, float], int]] = {}
    lines = text.splitlines()
    first_row = len(lines)
    for number, line in enumerate(lines, 1):
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        keyword = words[0]
        if not _KEYWORD.fullmatch(keyword):
            first_row = number - 1
            break
        if keyword in sizes or keyword in domain or (keyword == "TITLE" and title):
            raise LUTError(f"{where}: line {number}: a second {keyword} line")
        if keyword == "TITLE":
            title = line.strip()[5:].strip().strip('"') or " "
        elif keyword in ("LUT_3D_SIZE", "LUT_1D_SIZE"):
            limit = MAX_3D_SIZE if keyword == "LUT_3D_SIZE" else MAX_1D_SIZE
            if len(words) != 2 or not words[1].isdigit():
                raise LUTError(f"{where}: line {number}: {keyword} takes one whole number, got {line.strip()!r}")
            size = int(words[1])
            if not MIN_SIZE <= size <= limit:
                raise LUTError(f"{where}: line {number}: {keyword} {size} is outside {MIN_SIZE}..{limit}")
            sizes[keyword] = (size, number)
        elif keyword in ("DOMAIN_MIN", "DOMAIN_MAX"):
            domain[keyword] = (_three(where, number, words), number)
        elif keyword in ("LUT_1D_INPUT_RANGE", "LUT_3D_INPUT_RANGE"):
            low, high = _numbers(where, number, words, 2)
            domain["DOMAIN_MIN"] = ((low, low, low), number)
            domain["DOMAIN_MAX"] = ((high, high, high), number)
            sizes[keyword] = (0, number)  # counts as seen, for the repeat check
        # Other keywords (LUT_IN_VIDEO_RANGE and the like) describe the footage, not the table.

    if "LUT_3D_SIZE" in sizes and "LUT_1D_SIZE" in sizes:
        raise LUTError(f"{where}: line {sizes['LUT_1D_SIZE'][1]}: both LUT_1D_SIZE and LUT_3D_SIZE "
                       "(a shaper with a cube is not supported; use a file with one table)")
    if "LUT_3D_SIZE" in sizes:
        size, dimensions = sizes["LUT_3D_SIZE"][0], 3
    elif "LUT_1D_SIZE" in sizes:
        size, dimensions = sizes["LUT_1D_SIZE"][0], 1
    else:
        raise LUTError(f"{where}: not a cube LUT (no LUT_3D_SIZE or LUT_1D_SIZE line before the table)")
    low, low_line = domain.get("DOMAIN_MIN", ((0.0, 0.0, 0.0), 0))
    high, high_line = domain.get("DOMAIN_MAX", ((1.0, 1.0, 1.0), 0))
    for channel, band in enumerate(("red", "green", "blue")):
        if not low[channel] < high[channel]:
            line = max(low_line, high_line)
            raise LUTError(f"{where}: line {line}: the domain's minimum {low[channel]:g} is not below "
                           f"its maximum {high[channel]:g} for {band}")

    # The rows, converted in bulk: str.split and float() over the whole table at once.
    body = lines[first_row:]
    data = "\n".join(body)
    if "#" in data:  # comments among the rows: drop them first
        body = [line.partition("#")[0] for line in body]
        data = "\n".join(body)
    counts = list(map(len, map(str.split, body)))
    if not set(counts) <= {0, 3}:
        index = next(i for i, c in enumerate(counts) if c not in (0, 3))
        words = body[index].split()
        number = first_row + 1 + index
        if _KEYWORD.fullmatch(words[0]):
            raise LUTError(f"{where}: line {number}: {words[0]} after the table starts "
                           "(keywords come before the rows)")
        raise LUTError(f"{where}: line {number}: a row holds three numbers, got {len(words)}")
    rows = counts.count(3)
    want = size ** dimensions
    if rows != want:
        keyword = "LUT_3D_SIZE" if dimensions == 3 else "LUT_1D_SIZE"
        raise LUTError(f"{where}: {rows} rows of numbers, but {keyword} {size} needs {want}")
    try:
        values = tuple(map(float, data.split()))
        total = math.fsum(values)
    except (ValueError, OverflowError):
        values, total = (), math.nan
    if not math.isfinite(total):
        _find_bad_value(where, body, first_row)
    return CubeLUT(where, title, size, dimensions, low, high, values)


def _all_numbers(words: list[str]) -> bool:
    try:
        return all(math.isfinite(float(w)) for w in words)
    except ValueError:
        return False


def _find_bad_value(where: str, body: list[str], first_row: int) -> None:
    """The slow path: name the first value that is not a finite number."""
    for number, line in enumerate(body, first_row + 1):
        for word in line.split():
            try:
                ok = math.isfinite(float(word))
            except ValueError:
                ok = False
            if not ok:
                raise LUTError(f"{where}: line {number}: {word!r} is not a number")
    raise LUTError(f"{where}: the table's values are too large to use")


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


class Grading:
    """Colour grading from LUT files, in the user layer: Pillow's Color3DLUT does the work."""

    def apply_lut(self, path: str, strength: float = 1.0):
        """Grade the colours with a .cube LUT file, blended with the original by strength (0 to 1)."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"Argument 'path' has incorrect type (expected str, got {type(path).__name__})")
        amount = _check_strength(os.fspath(path), strength)
        lut = read_cube(path)
        graded = _grade(lut, self.image, amount)  # type: ignore[attr-defined]
        self.image = graded  # type: ignore[attr-defined]
        shown = f" at {amount:.0%}" if amount < 1.0 else ""
        print(f"🎨 Success: LUT '{lut.name}' applied{shown}!")
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
