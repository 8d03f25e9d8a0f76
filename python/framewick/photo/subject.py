"""Crops that keep the subject: the boxes of `gravity=smart` and `gravity=face`.

`smart` cuts the box of the size asked for where a saliency map sums highest: OpenCV's
spectral-residual saliency (no trained model), computed on a copy at most `MAP_SIDE` a side.
`face` finds faces with the Haar cascade of Debian's opencv-data, and cuts the box centred on
all the faces when they fit in it together, else on the largest; with no face found it cuts as
`smart` does.

OpenCV and NumPy are imported only when such a crop runs. `available(gravity)` says, without
importing them, whether this machine can (a text naming the package to install when not), so a
chain asking for them is refused before any picture is read.

Each crop is recorded on the object it ran on (`boxes_of(obj)`: where the box was cut, in the
resized picture and in the picture the step was given), and, inside `explaining(path)`, drawn
into a picture at `path`: the saliency map over the picture, the faces and the box.
"""

from __future__ import annotations

import contextvars
import os
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Final

from framewick.steps.rules import CASCADE, cascade_path, subject_gravity_missing as available

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["CASCADE", "GRAVITIES", "MAP_SIDE", "SubjectBox", "available", "best_window", "boxes_of",
           "choose", "chooses", "crops_record", "explaining", "face_window", "in_context", "keeping"]

#: The gravities that look at the picture.
GRAVITIES: Final = ("smart", "face")
#: The largest side of the copy the saliency map is computed on.
MAP_SIDE: Final = 320
#: The largest side of the grey copy faces are looked for in.
FACE_SIDE: Final = 800
#: The attribute of the object the boxes are recorded on.
RECORD: Final = "subject_boxes"

Box = tuple[int, int, int, int]

_explain: contextvars.ContextVar[str | None] = contextvars.ContextVar("framewick_explain", default=None)
_keep: contextvars.ContextVar[bool] = contextvars.ContextVar("framewick_keep_cut", default=False)


@dataclass(frozen=True)
class SubjectBox:
    """One crop's choice: the gravity asked for and the one used (face falls back to smart), the
    box (left, top, right, bottom) in the picture it was cut from and that picture's size, the
    same box in the picture the step was given, and the faces found."""

    gravity: str
    used: str
    box: Box
    of: tuple[int, int]
    source_box: Box
    source: tuple[int, int]
    faces: tuple[Box, ...] = ()
    #: The picture the box was cut from, kept only inside `keeping()` (for `in_context`).
    cut_from: Any = field(default=None, compare=False, repr=False)

    def record(self) -> dict[str, Any]:
        return {"gravity": self.gravity, "used": self.used, "box": list(self.box), "of": list(self.of),
                "source_box": list(self.source_box), "source": list(self.source), "faces": [list(f) for f in self.faces]}

    def line(self) -> str:
        """The words the status line adds."""
        found = {0: "no face found, ", 1: "1 face, "}.get(len(self.faces), f"{len(self.faces)} faces, ") \
            if self.gravity == "face" else ""
        l, t, r, b = self.box
        return f"{self.gravity}: {found}box {l},{t},{r},{b} of {self.of[0]}x{self.of[1]}"


# ---------------------------------------------------------------------------------------------
# What this machine can do



# ---------------------------------------------------------------------------------------------
# Choosing the box


def _small(picture: Image.Image, side: int) -> Image.Image:
    """The picture at most `side` a side (itself when it is), by box averaging, without a copy
    first; a deep picture (16-bit, float) brought to 8 bits by its range."""
    from PIL import Image

    from framewick.photo import modes

    if picture.mode in modes.DEEP:
        picture = modes.to_8bit(picture)
    scale = side / max(picture.size)
    if scale >= 1:
        return picture
    return picture.resize((max(1, round(picture.width * scale)), max(1, round(picture.height * scale))),
                          Image.Resampling.BOX)


def saliency(picture: Image.Image) -> Any:
    """The spectral-residual saliency of a copy at most MAP_SIDE a side: a float32 array of the
    copy's size, 0 to 1."""
    import cv2
    import numpy as np

    small = _small(picture, MAP_SIDE)
    if small.mode not in ("RGB", "L"):
        small = small.convert("RGB")
    found, heat = cv2.saliency.StaticSaliencySpectralResidual_create().computeSaliency(np.asarray(small))
    if not found:
        return np.zeros((small.height, small.width), np.float32)
    return heat.astype(np.float32)


def best_window(heat: Any, size: tuple[int, int]) -> tuple[int, int]:
    """The top left corner of the window of `size` (width, height) whose sum of `heat` is the
    highest; among windows as high, the one nearest the middle.

    1. An integral image gives every window's sum at once. 2. Take the highest; windows within
    a millionth of it count as equal (a flat map), and the one nearest the middle is taken.
    """
    import numpy as np

    h, w = heat.shape
    bw, bh = min(size[0], w), min(size[1], h)
    total = np.zeros((h + 1, w + 1), np.float64)
    total[1:, 1:] = heat.astype(np.float64).cumsum(0).cumsum(1)
    sums = total[bh:, bw:] - total[:-bh, bw:] - total[bh:, :-bw] + total[:-bh, :-bw]
    best = sums.max()
    ys, xs = np.nonzero(sums >= best - max(abs(best) * 1e-6, 1e-9))
    cy, cx = (sums.shape[0] - 1) / 2, (sums.shape[1] - 1) / 2
    pick = int(np.argmin((ys - cy) ** 2 + (xs - cx) ** 2))
    return int(xs[pick]), int(ys[pick])


def faces_in(picture: Image.Image) -> list[Box]:
    """The frontal faces found, as boxes in the picture's own pixels."""
    import cv2
    import numpy as np
    from PIL import Image

    grey = _small(picture, FACE_SIDE).convert("L")
    scale = picture.width / grey.width
    array = cv2.equalizeHist(np.asarray(grey))
    side = max(20, min(grey.size) // 25)
    found = cv2.CascadeClassifier(cascade_path()).detectMultiScale(array, scaleFactor=1.1, minNeighbors=5,
                                                                    minSize=(side, side))
    return [(round(x * scale), round(y * scale), round((x + w) * scale), round((y + h) * scale))
            for x, y, w, h in (found if len(found) else [])]


def face_window(faces: list[Box], room: tuple[int, int], size: tuple[int, int]) -> tuple[int, int]:
    """The top left corner of a box of `size` in a picture of `room`: centred on all the faces
    when they fit in it together, else on the largest face; kept inside the picture."""
    union = (min(f[0] for f in faces), min(f[1] for f in faces), max(f[2] for f in faces), max(f[3] for f in faces))
    if union[2] - union[0] > size[0] or union[3] - union[1] > size[1]:
        union = max(faces, key=lambda f: (f[2] - f[0]) * (f[3] - f[1]))

    def along(low: int, high: int, side: int, space: int) -> int:
        return min(max(0, round((low + high - side) / 2)), max(0, space - side))

    return along(union[0], union[2], size[0], room[0]), along(union[1], union[3], size[1], room[1])


def choose(picture: Image.Image, size: tuple[int, int], gravity: str,
           original: Image.Image | None = None) -> SubjectBox:
    """The box of `size` to cut from `picture` by `gravity` ("smart" or "face"); `original` is the
    picture the step was given, when `picture` is it resized (the box is also given in its
    pixels, and faces are looked for in it: a face too small to find in a picture brought
    down to the crop's size may be found there)."""
    room = picture.size
    source = original.size if original is not None else room
    size = (min(size[0], room[0]), min(size[1], room[1]))
    faces: list[Box] = []
    if gravity == "face":
        fx, fy = room[0] / source[0], room[1] / source[1]
        faces = [(round(l * fx), round(t * fy), round(r * fx), round(b * fy))
                 for l, t, r, b in faces_in(original if original is not None else picture)]
    heat = None
    if faces:
        left, top = face_window(faces, room, size)
    else:
        heat = saliency(picture)
        sx, sy = heat.shape[1] / room[0], heat.shape[0] / room[1]
        x, y = best_window(heat, (max(1, round(size[0] * sx)), max(1, round(size[1] * sy))))
        left = min(max(0, round(x / sx)), room[0] - size[0])
        top = min(max(0, round(y / sy)), room[1] - size[1])
    box = (left, top, left + size[0], top + size[1])
    fx, fy = source[0] / room[0], source[1] / room[1]
    in_source = (round(box[0] * fx), round(box[1] * fy), round(box[2] * fx), round(box[3] * fy))
    chosen = SubjectBox(gravity, "face" if faces else "smart", box, room, in_source, source, tuple(faces),
                        picture if _keep.get() else None)
    path = _explain.get()
    if path is not None:
        explain(picture, chosen, heat if heat is not None else saliency(picture), path)
    return chosen


# ---------------------------------------------------------------------------------------------
# The record and the explanation


def chooses(chain: Any) -> bool:
    """Whether `chain` (a Chain or its steps, looks' steps included) has a crop choosing its box."""
    from framewick.steps.declare import registry

    for step in getattr(chain, "steps", chain):
        if step.steps and chooses(step.steps):
            return True
        info = registry.get(step.method)
        param = info.param("gravity") if info is not None else None
        if param is None or param.rule is None or param.rule.test.__name__ != "is_crop_gravity":
            continue
        gravity = info.values(step.args, step.kwargs).get("gravity")  # type: ignore[union-attr]
        if isinstance(gravity, str) and gravity.strip().lower() in GRAVITIES:
            return True
    return False


def replayed(obj: Any, picture: Image.Image, size: tuple[int, int], gravity: str,
             original: Image.Image | None = None) -> SubjectBox | None:
    """The box chosen last on `obj` when this is the same step run again on one band of the
    deep picture ("F": the deep picture's bands are moved by running each moving step again on
    them), so every band is cut where the 8-bit picture was; else None."""
    boxes = getattr(obj, RECORD, None)
    if picture.mode != "F" or not boxes:
        return None
    last = boxes[-1]
    source = original.size if original is not None else picture.size
    same = (last.gravity, last.of, last.source) == (gravity, picture.size, source)
    return last if same and (last.box[2] - last.box[0], last.box[3] - last.box[1]) == size else None


def remember(obj: Any, chosen: SubjectBox) -> None:
    """Add `chosen` to the boxes recorded on `obj` (a new list: a step's private copy of the
    object hands it back whole)."""
    setattr(obj, RECORD, [*getattr(obj, RECORD, []), chosen])


def boxes_of(obj: Any) -> list[SubjectBox]:
    """The boxes the smart and face crops chose on `obj`, in the order they ran."""
    return list(getattr(obj, RECORD, []))


def crops_record(obj: Any) -> dict[str, Any]:
    """The boxes chosen on `obj` as edit's and batch's --json records give them: {"crops": [...]},
    or nothing when no crop chose its box."""
    boxes = boxes_of(obj)
    return {"crops": [box.record() for box in boxes]} if boxes else {}


class explaining:
    """Within it, each smart or face crop in this thread (or task) writes `path`: the picture it
    cut from, dimmed, the saliency map over it in red, the faces in cyan and the box in yellow."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self._token: contextvars.Token[str | None] | None = None

    def __enter__(self) -> explaining:
        self._token = _explain.set(self.path)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._token is not None:
            _explain.reset(self._token)


class keeping:
    """Within it, each box chosen keeps the picture it was cut from (`SubjectBox.cut_from`)."""

    def __enter__(self) -> keeping:
        self._token = _keep.set(True)
        return self

    def __exit__(self, *exc: object) -> None:
        _keep.reset(self._token)


def in_context(chosen: SubjectBox, result: Image.Image) -> Image.Image | None:
    """`result` (the picture after the crop and any steps after it that keep its size) put back
    where its box was cut, in the whole picture dimmed, the box outlined in yellow: how the
    studio shows a crop that chose its box. None when the box's picture was not kept or the
    steps after the crop changed the size."""
    from PIL import Image, ImageDraw

    before = chosen.cut_from
    if before is None or result.size != (chosen.box[2] - chosen.box[0], chosen.box[3] - chosen.box[1]):
        return None
    mode = "RGBA" if "A" in result.getbands() or "A" in before.getbands() else "RGB"
    before, result = _small(before, max(before.size)), _small(result, max(result.size))  # 8 bits
    shown = Image.blend(before.convert(mode), Image.new(mode, before.size, "black"), 0.6)
    shown.paste(result.convert(mode), chosen.box[:2])
    width = max(2, round(min(before.size) / 150))
    ImageDraw.Draw(shown).rectangle((chosen.box[0], chosen.box[1], chosen.box[2] - 1, chosen.box[3] - 1),
                                    outline=(255, 230, 0), width=width)
    return shown


def explain(picture: Image.Image, chosen: SubjectBox, heat: Any, path: str) -> None:
    """Write the explanation of `chosen` (see `explaining`) to `path`, at most 1200 a side; its
    format is the extension's (a temporary file renamed into place)."""
    import numpy as np
    from PIL import Image, ImageDraw

    shown = _small(picture, 1200).convert("RGB")
    scale = shown.width / picture.width
    top = float(heat.max()) or 1.0
    red = Image.fromarray(np.clip(heat / top * 255.0, 0, 255).astype(np.uint8), "L").resize(shown.size)
    dim = Image.blend(shown, Image.new("RGB", shown.size, "black"), 0.5)
    glow = Image.merge("RGB", (red, Image.new("L", shown.size, 0), Image.new("L", shown.size, 0)))
    out = Image.composite(glow, dim, red.point(lambda v: min(255, v * 2)))
    draw = ImageDraw.Draw(out)
    width = max(2, round(min(shown.size) / 200))
    for face in chosen.faces:
        draw.rectangle([round(v * scale) for v in face], outline=(0, 255, 255), width=width)
    draw.rectangle([round(v * scale) for v in chosen.box[:2]] + [round(v * scale) - 1 for v in chosen.box[2:]],
                   outline=(255, 230, 0), width=width)
    folder, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, f".{name}.{os.getpid()}.tmp")
    try:
        out.save(temporary, format=Image.registered_extensions().get(os.path.splitext(name)[1].lower(), "PNG"))
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
