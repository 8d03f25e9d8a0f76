"""Pictures framewick makes itself: the demo's sample, the preset contact sheet, before/after."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from PIL import Image, ImageDraw, ImageFont

from framewick import FrameWick
from framewick._output import call_captured

_LABEL_HEIGHT = 26
_GAP = 8
_BACKDROP = (250, 250, 247)
_INK = (30, 30, 30)
_NOTE_HEIGHT = 16
_NOTE_INK = (90, 90, 90)


def sample_picture(size: tuple[int, int] = (1200, 900)) -> Image.Image:
    """A landscape drawn from gradients and shapes, so the demo needs no third-party picture."""
    width, height = size
    ramp = Image.linear_gradient("L").resize(size)  # 0 at the top, 255 at the bottom
    sky = Image.merge("RGB", (ramp.point(lambda v: 40 + v * 200 // 255),
                              ramp.point(lambda v: 90 + v * 110 // 255),
                              ramp.point(lambda v: 210 - v * 90 // 255)))
    draw = ImageDraw.Draw(sky)
    unit = min(width, height)
    sun = (int(width * 0.68), int(height * 0.30), int(unit * 0.13))
    draw.ellipse((sun[0] - sun[2], sun[1] - sun[2], sun[0] + sun[2], sun[1] + sun[2]), fill=(255, 214, 90))
    horizon = int(height * 0.62)
    draw.polygon([(0, horizon), (int(width * 0.25), int(height * 0.42)), (int(width * 0.52), horizon)],
                 fill=(92, 110, 150))
    draw.polygon([(int(width * 0.35), horizon), (int(width * 0.72), int(height * 0.47)), (width, horizon)],
                 fill=(70, 96, 135))
    draw.rectangle((0, horizon, width, height), fill=(52, 120, 72))
    lake = (int(width * 0.08), int(height * 0.74), int(width * 0.55), int(height * 0.92))
    draw.ellipse(lake, fill=(60, 140, 200))
    for i in range(7):
        x = int(width * (0.62 + 0.05 * i))
        base = int(height * (0.80 + 0.02 * (i % 3)))
        tall = int(unit * 0.16)
        draw.polygon([(x, base - tall), (x - tall // 3, base), (x + tall // 3, base)], fill=(25, 80, 45))
        draw.rectangle((x - unit // 160, base, x + unit // 160, base + unit // 40), fill=(90, 60, 35))
    draw.rectangle((int(width * 0.2), int(height * 0.64), int(width * 0.3), int(height * 0.72)), fill=(200, 70, 60))
    return sky


def _font(size: int) -> Any:
    try:
        return ImageFont.load_default(size=size)
    except (TypeError, OSError):  # a Pillow without FreeType has only the small bitmap font
        return ImageFont.load_default()


def _label(draw: ImageDraw.ImageDraw, box: tuple[int, int, int, int], text: str) -> None:
    """Write `text` centred in `box`."""
    font = _font(max(12, box[3] - box[1] - 10))
    left, top, right, bottom = draw.textbbox((0, 0), text, font=font)
    x = box[0] + (box[2] - box[0] - (right - left)) // 2 - left
    y = box[1] + (box[3] - box[1] - (bottom - top)) // 2 - top
    draw.text((x, y), text, fill=_INK, font=font)


def _fitted(draw: ImageDraw.ImageDraw, text: str, font: Any, width: int) -> str:
    """`text` cut at a word (with an ellipsis) to fit `width` pixels."""
    if draw.textlength(text, font=font) <= width:
        return text
    words = text.split()
    while words and draw.textlength(" ".join(words) + " …", font=font) > width:
        words.pop()
    return " ".join(words) + " …" if words else "…"


def labelled_grid(tiles: Sequence[tuple[str, Image.Image]], columns: int,
                  notes: Sequence[str] | None = None) -> Image.Image:
    """Tiles of one size side by side in rows of `columns`, each with its label below, and with
    `notes`, a line of smaller text under each label (cut to the tile's width)."""
    width = max(t.width for _, t in tiles)
    height = max(t.height for _, t in tiles)
    columns = max(1, min(columns, len(tiles)))
    rows = (len(tiles) + columns - 1) // columns
    note_height = _NOTE_HEIGHT if notes else 0
    cell_w, cell_h = width + _GAP, height + _LABEL_HEIGHT + note_height + _GAP
    sheet = Image.new("RGB", (columns * cell_w + _GAP, rows * cell_h + _GAP), _BACKDROP)
    draw = ImageDraw.Draw(sheet)
    small = _font(_NOTE_HEIGHT - 4)
    for index, (name, tile) in enumerate(tiles):
        x = _GAP + (index % columns) * cell_w
        y = _GAP + (index // columns) * cell_h
        tile = tile if tile.mode == "RGB" else tile.convert("RGB")
        sheet.paste(tile, (x + (width - tile.width) // 2, y + (height - tile.height) // 2))
        _label(draw, (x, y + height, x + width, y + height + _LABEL_HEIGHT), name)
        if notes and index < len(notes) and notes[index]:
            line = _fitted(draw, notes[index], small, width)
            left = x + (width - int(draw.textlength(line, font=small))) // 2
            draw.text((left, y + height + _LABEL_HEIGHT), line, fill=_NOTE_INK, font=small)
    return sheet


def preset_sheet(base: Any, cell: int = 200, columns: int = 4, echo: Callable[[str], None] | None = None,
                 looks: Sequence[str] = (), descriptions: Sequence[str] | None = None) -> Image.Image:
    """The picture of `base` (a FrameWick object) under each preset, then under each look in
    `looks`, every tile labelled with its name (a look's as "look:NAME") and, by default, the
    one-line description of each preset and look (or `descriptions`, in the same order)."""
    from framewick.chain import Chain
    from framewick.photo import run_steps
    from framewick.steps import builtin_presets

    small = FrameWick()
    small.image = base.image
    call_captured(echo, small.convert_mode, "RGB")  # "warm" and "cool" blend with an RGB picture
    call_captured(echo, small.thumbnail, (cell, cell))
    tiles = []
    for name in builtin_presets():
        one = FrameWick()
        one.image = small.image.copy()
        call_captured(echo, one.apply_preset, name)
        tiles.append((name, one.image))
    for name in looks:
        one = FrameWick()
        one.image = small.image.copy()
        run_steps(one, Chain.parse(f"look:{name}"), echo, strict=True)
        picture = one.image if one.image.mode in ("RGB", "RGBA", "L") else one.image.convert("RGB")
        picture.thumbnail(small.image.size)  # a look may change the size; its tile fits the presets' size
        tiles.append((f"look:{name}", picture))
    if descriptions is None:
        from framewick.looks import find
        from framewick.steps import registry

        found = [find(name) for name in looks]
        descriptions = [preset.description for preset in registry.presets()] + \
            [look.description if look is not None else "" for look in found]
    return labelled_grid(tiles, columns, descriptions)


def before_after(before: Image.Image, after: Image.Image, height: int = 300) -> Image.Image:
    """The two pictures at one height side by side, labelled "before" and "after"."""
    def scaled(picture: Image.Image) -> Image.Image:
        width = max(1, round(picture.width * height / picture.height))
        return picture.convert("RGB").resize((width, height), Image.Resampling.LANCZOS)

    return labelled_grid([("before", scaled(before)), ("after", scaled(after))], 2)
