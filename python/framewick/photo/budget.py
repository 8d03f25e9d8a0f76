"""A size budget: the highest quality whose whole file (metadata included) fits in N bytes.

The picture is encoded into memory a few times and the file kept is one of those encodes:
1. at the highest quality allowed (the object's own quality: `--quality` or a `quality:` step
   sets it, else the default); if it fits, that is the file;
2. then at a quality guessed from how far that size is from the budget, aiming just under it
   (the logarithm of a file's size is close to a straight line in the quality over a stretch);
3. then by the secant through the nearest sizes above and below the budget, falling back to
   halving the interval when a guess makes no progress, until the highest quality that fits
   is found (the next one up is known not to fit) or the file is within a few per cent of
   the budget;
4. where the format has chroma subsampling (JPEG, AVIF, HEIC), the quality is found at the
   writer's own 4:2:0, and the finer steps 4:2:2 and 4:4:4 at that quality are tried when the
   file is more than 10 % under the budget; the richest one that fits is kept.
A budget that even the lowest quality cannot meet raises `OverBudget` naming the smallest size
reached.
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, Any

from framewick.status import BadValue

__all__ = ["BUDGET_FORMATS", "Fit", "OverBudget", "check", "check_budget_format", "fit", "parse_size"]

#: The formats whose writer takes a quality, so a budget can be met by choosing it.
BUDGET_FORMATS = {"JPEG": "JPEG", "WEBP": "WebP", "AVIF": "AVIF", "HEIF": "HEIC", "JXL": "JPEG XL"}

# Chroma subsampling where the writer takes it: the writer's default first, then the finer steps.
_SUBSAMPLING = {"JPEG": ("4:2:0", "4:2:2", "4:4:4"), "AVIF": ("4:2:0", "4:2:2", "4:4:4"),
                "HEIF": ("4:2:0", "4:2:2", "4:4:4")}
# The lowest quality tried.
_FLOOR = 1
# The share of the budget a guess aims at.
_AIM = 0.98
# A file at least this share of the budget is close enough to stop searching.
_CLOSE = 0.96
# Below this share of the budget, the finer subsampling steps are tried.
_WITHIN = 0.90

_SIZE = re.compile(r"\s*(\d+(?:\.\d+)?|\.\d+)\s*([kKmMgG]i?)?[bB]?\s*")
_UNITS = {"": 1, "k": 1000, "m": 1000**2, "g": 1000**3, "ki": 1024, "mi": 1024**2, "gi": 1024**3}


def parse_size(text: str) -> int:
    """Bytes for a size as people write it: "200000", "200k", "200kB", "1.5M", "64Ki", "2MiB".

    k, M and G are powers of 1000 (as file managers and web page weights count them); Ki, Mi
    and Gi are powers of 1024. ValueError for anything else, or a size below one byte."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise ValueError(f"{text!r} is not a size; e.g. 200k, 1.5M, 250000 (k = 1000, Ki = 1024)")
    value = float(match.group(1)) * _UNITS[(match.group(2) or "").lower()]
    if not math.isfinite(value) or value < 1:
        raise ValueError(f"{text!r}: a size must be at least 1 byte")
    return int(value)


def check_budget_format(fmt: str, what: str = "") -> None:
    """BadValue for a format whose writer has no quality to choose (PNG, GIF, TIFF, ...)."""
    if fmt not in BUDGET_FORMATS:
        can = ", ".join(BUDGET_FORMATS.values())
        where = f"{what}: " if what else ""
        raise BadValue(f"❌ Error: {where}{fmt} has no quality to fit a size budget; --max-bytes takes {can}")


def check(budget: object, fmt: str, what: str = "") -> None:
    """BadValue for a budget that is not a whole number of bytes, or a format without a quality."""
    if isinstance(budget, bool) or not isinstance(budget, int) or budget < 1:
        raise BadValue(f"❌ Error: max_bytes must be a whole number of bytes, at least 1, not {budget!r}")
    check_budget_format(fmt, what)


class OverBudget(BadValue):
    """No quality makes the file fit; `smallest` is the smallest size reached."""

    def __init__(self, text: str, smallest: int) -> None:
        super().__init__(text)
        self.smallest = smallest


@dataclass(frozen=True)
class Fit:
    """The file chosen for a budget: its bytes, the quality and subsampling it was encoded
    at (subsampling None where the format has no choice), and how many encodes it took."""

    data: bytes
    quality: int
    subsampling: str | None
    encodes: int
    budget: int

    @property
    def size(self) -> int:
        return len(self.data)

    def describe(self) -> str:
        sub = f", {self.subsampling}" if self.subsampling else ""
        return f"quality {self.quality}{sub}, {self.size:,} of {self.budget:,} bytes"

    def save_to(self, target: str | IO[bytes]) -> None:
        """Write the file to a path or a binary file."""
        if isinstance(target, str):
            with open(target, "wb") as out:
                out.write(self.data)
        else:
            target.write(self.data)

    def record(self) -> dict[str, Any]:
        """The fit as JSON takes it (the file's bytes left out)."""
        return {"quality": self.quality, "subsampling": self.subsampling, "bytes": self.size,
                "max_bytes": self.budget, "encodes": self.encodes}


Encoder = Callable[[dict[str, Any]], bytes]


def fit(encode: Encoder, fmt: str, budget: int, ceiling: int, name: str = "") -> Fit:
    """The highest quality from `ceiling` down whose file, `encode({"quality": q, ...})`,
    is at most `budget` bytes (see the module's description). OverBudget when none is."""
    check(budget, fmt, name)
    ceiling = max(_FLOOR, min(100, int(ceiling)))
    steps = _SUBSAMPLING.get(fmt)
    base = steps[0] if steps else None
    files: dict[tuple[int, str | None], bytes] = {}

    def size(quality: int, sub: str | None = base) -> int:
        key = (quality, sub)
        if key not in files:
            files[key] = encode({"quality": quality} | ({"subsampling": sub} if sub else {}))
        return len(files[key])

    def done(quality: int) -> Fit:
        chosen = base
        if steps and size(quality) < _WITHIN * budget:
            for finer in steps[1:]:
                if size(quality, finer) > budget:
                    break
                chosen = finer
        return Fit(files[(quality, chosen)], quality, chosen, len(files), budget)

    fits: dict[int, int] = {}  # quality -> size, at the base subsampling
    over: dict[int, int] = {}
    first = size(ceiling)
    if first <= budget:
        return done(ceiling)
    over[ceiling] = first
    axis, quality_at, slope = _AXES.get(fmt, _LINEAR)
    aim = math.log(budget * _AIM)
    guess = quality_at(axis(ceiling) - (math.log(first) - aim) / slope)
    while True:
        low = max(fits, default=_FLOOR - 1)
        high = min(over)
        if high - low <= 1 or (fits and fits[low] >= _CLOSE * budget):
            break
        if low <= guess <= high:  # a guess that rounds onto a quality already tried: the next one in
            quality = min(high - 1, max(low + 1, int(round(guess))))
        else:  # the line points outside what is left: halve it instead
            quality = (low + high) // 2
        measured = size(quality)
        (fits if measured <= budget else over)[quality] = measured
        guess = _next_guess(fits | over, aim, axis, quality_at)
    if not fits:
        smallest = min(over.values())
        lowest = min(over)
        raise OverBudget(f"❌ Error: {name + ': ' if name else ''}no quality fits {budget:,} bytes: the smallest "
                         f"file, at quality {lowest}, is {smallest:,} bytes", smallest)
    return done(max(fits))


def _next_guess(sizes: dict[int, int], aim: float, axis: Callable[[int], float],
                quality_at: Callable[[float], float]) -> float:
    """The quality where the line through the two sizes nearest the one aimed at (`aim`, a
    logarithm), drawn on the format's axis, reaches it."""
    (qa, sa), (qb, sb) = sorted(sizes.items(), key=lambda item: abs(math.log(item[1]) - aim))[:2]
    xa, xb = axis(qa), axis(qb)
    slope = (math.log(sb) - math.log(sa)) / (xb - xa) if xb != xa else 0.0
    if slope <= 1e-6:  # flat or falling: no line to follow (the caller halves the interval)
        return -1.0
    return quality_at(xa + (aim - math.log(sa)) / slope)


def _jpeg_axis(quality: float) -> float:
    """libjpeg scales its tables by 5000/Q below 50 and by 200 - 2Q from 50 on; a file's size
    goes about as a power of that scale, so its logarithm is close to a line in this."""
    scale = 5000 / quality if quality < 50 else 200 - 2 * quality
    return -math.log(max(scale, 1.0))


def _jpeg_quality(x: float) -> float:
    scale = math.exp(-x)
    return 5000 / scale if scale > 100 else (200 - scale) / 2


def _identity(value: float) -> float:
    return value


# Per format: the axis the logarithm of the size is about straight on, its inverse, and about
# how steep that line is (for the first guess; the secant takes over from there).
_LINEAR = (_identity, _identity, 0.03)
_AXES: dict[str, tuple[Callable[[Any], float], Callable[[float], float], float]] = {
    "JPEG": (_jpeg_axis, _jpeg_quality, 0.6), "WEBP": (_identity, _identity, 0.03),
    "AVIF": (_identity, _identity, 0.035), "HEIF": (_identity, _identity, 0.035),
    "JXL": (_identity, _identity, 0.03),
}
