"""HDR gain maps: the second, smaller picture an HDR photo keeps beside its SDR base.

An HDR screen shows such a photo brighter where the gain map says so; every other screen shows
the SDR picture, which is the object's `image` as for any photo. The gain map rides with it as
`Photo.gain_map` (a companion, see framewick.photo.companions): read with the picture, moved by
every step that moves the picture's pixels (at its own scale, the new area neutral: no boost),
kept as it is by the tone and colour steps, and written back where the format holds one.

The forms read:

* Ultra HDR JPEG (`hdrgm` XMP) and ISO 21496-1 JPEG, through libultrahdr (framewick.formats._uhdr).
  A map value v (0 to 1) stands for the boost 2 ** (log2(min) * (1 - r) + log2(max) * r) with
  r = v ** (1 / gamma), per channel, applied as (SDR + offset_sdr) * boost - offset_hdr in linear
  light; the whole boost shows on a screen of `hdr_capacity_max` headroom or more.
* ISO 21496-1 in HEIC and AVIF: the gain-map input of a tone-map item ('tmap') derived from the
  primary, through framewick.formats._heif, its values read as the JPEG form's and its metadata
  from the item's payload (`from_tone_map`).
* Apple's HEIC gain map (an auxiliary picture of the primary, through framewick.formats._heif):
  the value, linearised by the sRGB curve, is g in HDR = SDR * (1 + (headroom - 1) * g). The
  headroom is the map's own XMP HDRGainMapHeadroom (a ratio), else the one Apple's maker note
  gives (tags 33 and 48, by Apple's published formula, in stops).

The two convert into each other: Apple's form is the Ultra HDR form with boosts 1 to headroom,
gamma 1 and no offsets, its values re-curved (`as_ultra_hdr`); the other way keeps boosts of 1
and above only (Apple's form cannot darken) and the headroom is the largest boost (`as_apple`).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from typing import Any, Final

from PIL import Image

from framewick.photo.companions import Companion

__all__ = ["APPLE", "GainMap", "CannotCarry", "Unreadable", "carry", "from_heif", "from_tone_map", "from_uhdr"]

APPLE: Final = "apple"
#: How each form is named to people.
FORM_NAMES: Final = {"ultrahdr": "Ultra HDR", "iso21496": "ISO 21496-1", "ultrahdr+iso21496": "Ultra HDR and ISO 21496-1",
                     APPLE: "Apple"}

Triple = tuple[float, float, float]


def _triple(value: Any) -> Triple:
    if isinstance(value, (int, float)):
        return (float(value),) * 3
    a, b, c = (float(v) for v in value)
    return a, b, c


@dataclass(eq=False)
class GainMap(Companion):
    """A gain map and what its values mean.

    `picture` is the map, an 8-bit Pillow picture (L, one channel for all three, or RGB), upright
    with the SDR picture, covering the whole of it at its own scale. `form` is what the file
    held: "ultrahdr" (`hdrgm` XMP), "iso21496" (ISO 21496-1 metadata), "ultrahdr+iso21496" (a
    JPEG with both, as Android writes them) or "apple". The boosts, gamma and offsets are per channel (red, green, blue), the
    boosts and capacities linear ratios; `use_base_cg` says whether the map works in the base's
    colour space (its profile, `Photo.icc`) or in the alternate's. For Apple's form, `headroom`
    is the ratio the map's full value stands for, and `xmp` the map's own XMP as it came.
    """

    picture: Image.Image
    form: str
    max_boost: Triple = (1.0, 1.0, 1.0)
    min_boost: Triple = (1.0, 1.0, 1.0)
    gamma: Triple = (1.0, 1.0, 1.0)
    offset_sdr: Triple = (0.0, 0.0, 0.0)
    offset_hdr: Triple = (0.0, 0.0, 0.0)
    hdr_capacity_min: float = 1.0
    hdr_capacity_max: float = 1.0
    use_base_cg: bool = True
    headroom: float | None = None
    xmp: bytes | None = field(default=None, repr=False)
    #: The map's pixels per picture pixel across and down, as the file had them; a moved map
    #: keeps them (None: as the map and the picture are now).
    scale: tuple[float, float] | None = None

    @property
    def size(self) -> tuple[int, int]:
        return self.picture.size

    @property
    def boost(self) -> float:
        """The largest boost the map can give."""
        return float(self.headroom) if self.form == APPLE and self.headroom else max(self.max_boost)

    @property
    def form_name(self) -> str:
        return FORM_NAMES.get(self.form, self.form)

    def neutral(self) -> int | tuple[int, ...]:
        """The map value that stands for no boost (log-gain 0), in the map's mode."""
        if self.form == APPLE:
            values = [0, 0, 0]
        else:
            values = []
            for low, high, gamma in zip(self.min_boost, self.max_boost, self.gamma):
                lo, hi = math.log2(low), math.log2(high)
                r = 0.0 if hi == lo else min(1.0, max(0.0, -lo / (hi - lo)))
                values.append(round(255 * r ** gamma))
        return values[0] if self.picture.mode == "L" else tuple(values)

    def with_picture(self, picture: Image.Image) -> GainMap:
        """The same metadata for another map (a moved one), not yet paired with a picture."""
        twin = replace(self, picture=picture)
        twin._of = None
        return twin

    def metadata(self) -> dict[str, Any]:
        """The metadata as framewick.formats._uhdr takes and gives it."""
        return {"max_content_boost": self.max_boost, "min_content_boost": self.min_boost, "gamma": self.gamma,
                "offset_sdr": self.offset_sdr, "offset_hdr": self.offset_hdr,
                "hdr_capacity_min": self.hdr_capacity_min, "hdr_capacity_max": self.hdr_capacity_max,
                "use_base_cg": self.use_base_cg}

    def as_ultra_hdr(self) -> GainMap:
        """This map in the Ultra HDR form (itself when it is one already)."""
        if self.form != APPLE:
            return self
        h = float(self.headroom or 1.0)
        top = math.log2(h)

        def value(v: int) -> int:
            return round(255 * math.log2(1 + (h - 1) * _srgb_to_linear(v / 255)) / top)

        table = [value(v) for v in range(256)] * len(self.picture.getbands())
        return replace(self, picture=self.picture.point(table), form="ultrahdr", max_boost=(h, h, h),
                       min_boost=(1.0, 1.0, 1.0), gamma=(1.0, 1.0, 1.0), offset_sdr=(0.0, 0.0, 0.0),
                       offset_hdr=(0.0, 0.0, 0.0), hdr_capacity_min=1.0, hdr_capacity_max=h, headroom=None,
                       xmp=None)

    def as_apple(self) -> tuple[Image.Image, float]:
        """This map in Apple's form: (the map, its headroom). Boosts below 1 become 1."""
        if self.form == APPLE:
            return self.picture, float(self.headroom or 1.0)
        h = max(self.boost, 1.0 + 1e-6)
        tables: list[int] = []
        for band in range(len(self.picture.getbands())):
            low, high, gamma = math.log2(self.min_boost[band]), math.log2(self.max_boost[band]), self.gamma[band]
            for v in range(256):
                r = (v / 255) ** (1 / gamma)
                g = (2 ** (low * (1 - r) + high * r) - 1) / (h - 1)
                tables.append(round(255 * _linear_to_srgb(min(1.0, max(0.0, g)))))
        return self.picture.point(tables), h


def _srgb_to_linear(v: float) -> float:
    return v / 12.92 if v <= 0.04045 else ((v + 0.055) / 1.055) ** 2.4


def _linear_to_srgb(v: float) -> float:
    return v * 12.92 if v <= 0.0031308 else 1.055 * v ** (1 / 2.4) - 0.055


class Unreadable(ValueError):
    """A gain map that is there but cannot be used; the text says why."""


def from_uhdr(picture: Image.Image, probe: dict[str, Any]) -> GainMap:
    """A gain map from framewick.formats._uhdr's gain_map() picture and probe() facts; its form
    names the metadata the file holds (hdrgm XMP, ISO 21496-1 or both), whichever libultrahdr
    took its numbers from."""
    m = probe["metadata"]
    form = "ultrahdr+iso21496" if probe.get("xmp") and probe.get("iso") else str(probe["form"])
    gain = GainMap(picture, form, _triple(m["max_content_boost"]), _triple(m["min_content_boost"]),
                   _triple(m["gamma"]), _triple(m["offset_sdr"]), _triple(m["offset_hdr"]),
                   float(m["hdr_capacity_min"]), float(m["hdr_capacity_max"]), bool(m.get("use_base_cg", True)))
    values = (*gain.max_boost, *gain.min_boost, *gain.gamma, gain.hdr_capacity_min, gain.hdr_capacity_max)
    if not all(math.isfinite(v) and v > 0 for v in values):
        raise Unreadable("its metadata holds numbers that are not positive")
    return gain


def apple_stops(maker_headroom: float, maker_gain: float) -> float:
    """The headroom in stops that Apple's maker-note tags 33 and 48 stand for."""
    if maker_headroom < 1.0:
        return -20.0 * maker_gain + 1.8 if maker_gain <= 0.01 else -0.101 * maker_gain + 1.601
    return -70.0 * maker_gain + 3.0 if maker_gain <= 0.01 else -0.303 * maker_gain + 2.303


def from_heif(picture: Image.Image, found: dict[str, Any]) -> GainMap:
    """A gain map from framewick.formats._heif's gain_map() answer (Apple's form)."""
    headroom = found.get("headroom")
    if headroom is None and found.get("maker_headroom") is not None and found.get("maker_gain") is not None:
        headroom = 2 ** max(0.0, apple_stops(float(found["maker_headroom"]), float(found["maker_gain"])))
    if headroom is None or not math.isfinite(headroom) or headroom <= 1.0:
        raise Unreadable("its headroom is not recorded" if headroom is None else f"its headroom {headroom:g} boosts nothing")
    h = float(headroom)
    return GainMap(picture, APPLE, (h, h, h), (1.0, 1.0, 1.0), hdr_capacity_max=h, headroom=h, xmp=found.get("xmp"))


def from_tone_map(picture: Image.Image, payload: bytes) -> GainMap:
    """A gain map from the input of an ISO 21496-1 tone-map item ('tmap') of a HEIC or AVIF
    and the item's payload, the metadata as the standard lays it out (big-endian): version 0,
    minimum and writer versions (16 bits each), a byte of flags (multichannel, base colour
    space), the base's and the alternate's headroom (log2, each a fraction of 32-bit terms), then
    per channel (one, or three when multichannel) the map's minimum and maximum (log2), its
    gamma, and the base's and alternate's offsets, as signed or unsigned fractions.

    Unreadable for a payload cut short, a version or fraction it cannot take, or one whose base
    is the HDR rendition (the map would darken it to SDR: framewick keeps the SDR base)."""
    import struct

    def fractions(at: int, count: int, signed: tuple[bool, ...]) -> list[float]:
        values = []
        for index in range(count):
            n_format = ">i" if signed[index % len(signed)] else ">I"
            (numerator,), (denominator,) = struct.unpack_from(n_format, payload, at), struct.unpack_from(">I", payload, at + 4)
            if denominator == 0:
                raise Unreadable("its tone-map metadata divides by zero")
            values.append(numerator / denominator)
            at += 8
        return values

    if len(payload) < 22 or payload[0] != 0:
        raise Unreadable("its tone-map metadata is cut short" if len(payload) < 22
                         else f"its tone-map metadata is of version {payload[0]}, which framewick does not read")
    minimum = struct.unpack_from(">H", payload, 1)[0]
    if minimum > 0:
        raise Unreadable(f"its tone-map metadata needs a reader of version {minimum}")
    flags = payload[5]
    channels = 3 if flags & 0x80 else 1
    if len(payload) < 22 + channels * 40:
        raise Unreadable("its tone-map metadata is cut short")
    base_headroom, alternate_headroom = fractions(6, 2, (False,))
    per_channel = [fractions(22 + 40 * c, 5, (True, True, False, True, True)) for c in range(channels)]
    if channels == 1:
        per_channel *= 3
    if alternate_headroom <= base_headroom:
        raise Unreadable("its base picture is the HDR rendition, which framewick does not carry")
    low, high, gamma, offset_base, offset_alternate = (tuple(values) for values in zip(*per_channel))
    if not all(math.isfinite(v) and abs(v) < 64 for v in (*low, *high, base_headroom, alternate_headroom)) \
            or not all(math.isfinite(g) and g > 0 for g in gamma):
        raise Unreadable("its tone-map metadata holds numbers out of range")
    return GainMap(picture, "iso21496", _triple(2 ** v for v in high), _triple(2 ** v for v in low), _triple(gamma),
                   _triple(offset_base), _triple(offset_alternate), 2 ** max(0.0, base_headroom), 2 ** alternate_headroom,
                   bool(flags & 0x40))


_XMP_HEADER: Final = b"http://ns.adobe.com/xap/1.0/\x00"


def with_xmp(data: bytes, xmp: bytes) -> bytes:
    """An Ultra HDR JPEG (`data`, as libultrahdr joins it, without the base's XMP) with `xmp`
    put back into its primary picture, before the MPF index; the index's size of the primary
    grows by the segment (the gain map's offset counts from the index, so it stays). `data` as
    it is when its primary holds XMP already or its headers cannot be followed."""
    segment = _XMP_HEADER + xmp
    if len(segment) + 2 > 0xFFFF:
        return data
    return with_segment(data, b"\xff\xe1" + (len(segment) + 2).to_bytes(2, "big") + segment, _XMP_HEADER)


def with_segment(data: bytes, insert: bytes, header: bytes) -> bytes:
    """An Ultra HDR JPEG with the segment `insert` (marker included: XMP's APP1, IPTC's APP13,
    whose payload opens with `header`) put into its primary picture, as `with_xmp` describes;
    `data` as it is when the primary holds such a segment already or its headers cannot be followed."""
    at, where, mpf = 2, None, None
    while at + 4 <= len(data) and data[at] == 0xFF:
        marker, length = data[at + 1], int.from_bytes(data[at + 2:at + 4], "big")
        if marker == 0xDA or length < 2:
            break
        if data[at:at + 2] == insert[:2] and data[at + 4:at + 2 + length].startswith(header):
            return data
        if marker == 0xE2 and data[at + 4:at + 8] == b"MPF\x00" and mpf is None:
            where, mpf = at, at + 8  # the TIFF header inside the index
        at += 2 + length
    if where is None or mpf is None or data[:2] != b"\xff\xd8":
        return data
    out = bytearray(data[:where] + insert + data[where:])
    _grow_primary(out, mpf + len(insert), len(insert))
    return bytes(out)


def _grow_primary(out: bytearray, tiff: int, grown: int) -> None:
    """Add `grown` to the first MP entry's size (the primary picture) of the index at `tiff`."""
    order = "big" if out[tiff:tiff + 2] == b"MM" else "little"

    def number(at: int, size: int) -> int:
        return int.from_bytes(out[at:at + size], order)

    ifd = tiff + number(tiff + 4, 4)
    for index in range(number(ifd, 2)):
        entry = ifd + 2 + 12 * index
        if number(entry, 2) == 0xB002:  # the MP entries: 16 bytes each, the primary's first
            first = tiff + number(entry + 8, 4)
            out[first + 4:first + 8] = (number(first + 4, 4) + grown).to_bytes(4, order)
            return


# ---------------------------------------------------------------------------------------------
# Carrying the map through a step that moves the picture's pixels


class CannotCarry(ValueError):
    """A step's moves that do not lead to the picture the step gave."""


Size = tuple[int, int]
_SWAPS = frozenset({"ROTATE_90", "ROTATE_270", "TRANSPOSE", "TRANSVERSE"})


def carry(gain: GainMap, moves: tuple[tuple[Any, ...], ...], before: Size, after: Size) -> GainMap:
    """The gain map moved as `moves` (see framewick.steps.moves) move a picture of `before`
    into one of `after`, at the map's own scale; new area is neutral. CannotCarry when the moves
    do not give `after`."""
    picture = gain.picture
    current = before
    fill = gain.neutral()
    nominal = gain.scale or (picture.width / before[0], picture.height / before[1])
    for move in moves:
        sx, sy = picture.width / current[0], picture.height / current[1]
        kind = move[0]
        if kind == "box":
            box, size = move[1], (int(move[2][0]), int(move[2][1]))
            picture = _box(picture, box, _scaled(size, *nominal), sx, sy, fill)
            current = size
        elif kind == "turn":
            angle, size = float(move[1]), (int(move[2][0]), int(move[2][1]))
            picture = _turn(picture, angle, current, size, sx, sy, _scaled(size, *nominal), fill)
            current = size
        elif kind == "transpose":
            picture = picture.transpose(Image.Transpose[move[1]])
            if move[1] in _SWAPS:
                current, nominal = (current[1], current[0]), (nominal[1], nominal[0])
        else:
            raise CannotCarry(f"no move called {kind!r}")
    if tuple(current) != tuple(after):
        raise CannotCarry(f"the moves give {current[0]}x{current[1]}, the step {after[0]}x{after[1]}")
    moved = gain.with_picture(picture)
    moved.scale = nominal
    return moved


def _scaled(size: Size, sx: float, sy: float) -> Size:
    return max(1, round(size[0] * sx)), max(1, round(size[1] * sy))


def _box(picture: Image.Image, box: tuple[float, ...], out: Size, sx: float, sy: float, fill: Any) -> Image.Image:
    """The region `box` (picture pixels) of the map, brought to `out` (map pixels); what lies
    outside the map is `fill`."""
    bx0, by0, bx1, by1 = box[0] * sx, box[1] * sy, box[2] * sx, box[3] * sy
    kx, ky = out[0] / (bx1 - bx0), out[1] / (by1 - by0)  # output pixels per map pixel
    # The part inside the map, at whole output pixels, and the exact region of the map it shows.
    ox0 = min(out[0], max(0, round((0 - bx0) * kx)))
    oy0 = min(out[1], max(0, round((0 - by0) * ky)))
    ox1 = max(ox0, min(out[0], round((picture.width - bx0) * kx)))
    oy1 = max(oy0, min(out[1], round((picture.height - by0) * ky)))
    if ox1 <= ox0 or oy1 <= oy0:
        return Image.new(picture.mode, out, fill)
    source = (_inside(bx0 + ox0 / kx, picture.width), _inside(by0 + oy0 / ky, picture.height),
              _inside(bx0 + ox1 / kx, picture.width), _inside(by0 + oy1 / ky, picture.height))
    part = picture.resize((ox1 - ox0, oy1 - oy0), Image.Resampling.LANCZOS, box=source)
    if part.size == out:
        return part
    canvas = Image.new(picture.mode, out, fill)
    canvas.paste(part, (ox0, oy0))
    return canvas


def _inside(value: float, end: int) -> float:
    return min(float(end), max(0.0, value))


def _turn(picture: Image.Image, angle: float, before: Size, after: Size, sx: float, sy: float, out: Size,
          fill: Any) -> Image.Image:
    """The map turned as Pillow's rotate turns a picture of `before` into one of `after`."""
    angle %= 360.0
    if angle == 180.0 and after == before:
        return picture.transpose(Image.Transpose.ROTATE_180)
    if angle in (90.0, 270.0) and after == (before[1], before[0]):
        return picture.transpose(Image.Transpose.ROTATE_90 if angle == 90.0 else Image.Transpose.ROTATE_270)
    ox, oy = out[0] / after[0], out[1] / after[1]
    turn = -math.radians(angle)
    cos, sin = math.cos(turn), math.sin(turn)
    w2, h2 = after[0] / 2, after[1] / 2
    w, h = before[0] / 2, before[1] / 2
    data = (sx * cos / ox, sx * sin / oy, sx * (-cos * w2 - sin * h2 + w),
            -sy * sin / ox, sy * cos / oy, sy * (sin * w2 - cos * h2 + h))
    return picture.transform(out, Image.Transform.AFFINE, data, Image.Resampling.BICUBIC, fillcolor=fill)
