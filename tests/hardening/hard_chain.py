"""A chain that calls every framewick method on real pictures (with arguments that work, and
with arguments each method refuses), recording what each step leaves behind.

Used by test_hard_threads (eight threads, each chain compared with the same chain run alone)
and, run as a script, by tools/hardening/memcheck-run (valgrind over one chain, plus every path
of the update check against a stand-in index):

    python tests/hardening/hard_chain.py WORKDIR
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import sys
import threading

from PIL import Image


def make_inputs(workdir):
    """The pictures a chain reads: an RGBA source, a watermark and an overlay."""
    os.makedirs(workdir, exist_ok=True)
    paths = {name: os.path.join(workdir, f"{name}.png") for name in ("source", "mark", "overlay")}
    source = Image.linear_gradient("L").resize((40, 30))
    Image.merge("RGBA", [source, source.rotate(90), source.transpose(Image.Transpose.FLIP_LEFT_RIGHT),
                         Image.new("L", (40, 30), 200)]).save(paths["source"])
    mark = Image.new("RGBA", (10, 8), (255, 255, 255, 0))
    mark.paste((250, 10, 10, 255), (2, 2, 8, 6))
    mark.save(paths["mark"])
    Image.radial_gradient("L").resize((50, 20)).convert("RGB").save(paths["overlay"])
    from framewick.lut import write_cube

    paths["lut"] = os.path.join(workdir, "swap.cube")
    write_cube(paths["lut"], 5, lambda r, g, b: (b, g, r))
    return paths


def fingerprint(picture):
    return picture.mode, picture.size, hashlib.sha256(picture.tobytes()).hexdigest()


def run_chain(workdir, tag, inputs):
    """Every method of the five mixins, in one chain with detours; returns the observations."""
    from framewick import FrameWick

    seen = []

    def step(label, fn, *args, **kwargs):
        try:
            result = fn(*args, **kwargs)
        except Exception as e:  # a refusal is an observation like any other
            seen.append((label, "raised", type(e).__name__, str(e)))
            return None
        if isinstance(result, FrameWick):
            seen.append((label, fingerprint(result.image)))
        else:
            seen.append((label, repr(result)))
        return result

    fw = FrameWick.load(inputs["source"])
    seen.append(("load", fingerprint(fw.image), fw.quality))
    # Storage
    step("convert_mode rgb", fw.convert_mode, "rgb")              # RGBA onto white
    step("convert_mode RGBA", fw.convert_mode, "RGBA")
    step("convert_mode bad", fw.convert_mode, "NOPE")              # reported, image kept
    step("convert gif", fw.convert, "gif")
    step("convert .jpg", fw.convert, " .Jpg ")
    step("convert bmp", fw.convert, "bmp")
    step("convert png", fw.convert, "png")
    step("optimize", fw.optimize, 80.9)
    step("optimize default", fw.optimize)
    step("optimize refused", fw.optimize, 0)
    step("optimize wrong type", fw.optimize, "80")
    # Effects
    step("apply_blur", fw.apply_blur, 1.5)
    step("apply_sharpen", fw.apply_sharpen)
    step("adjust_gamma", fw.adjust_gamma, 0.8)
    step("apply_grayscale", fw.apply_grayscale, 0.5)
    step("apply_grayscale refused", fw.apply_grayscale, float("nan"))
    step("apply_contrast", fw.apply_contrast, 1)
    step("apply_sepia", fw.apply_sepia)
    for name in ("vintage", "Cinematic", "VIBRANT", "dreamy", "noir", "warm", "sepia", "cool", "none "):
        step(f"apply_preset {name}", fw.apply_preset, name)
    step("apply_preset wrong type", fw.apply_preset, None)
    step("auto_enhance", fw.auto_enhance)
    step("apply_camscanner", fw.apply_camscanner)
    step("invert L", fw.invert)
    step("convert_mode for invert", fw.convert_mode, "RGBA")
    step("invert RGBA", fw.invert)
    step("apply_blur keyword", fw.apply_blur, radius=True)
    # Geometry
    step("rotate", fw.rotate, 30)
    step("rotate kept", fw.rotate, 90, expand=0)
    step("flip", fw.flip)
    step("flip Vertical", fw.flip, "Vertical")
    step("flip refused", fw.flip, "diagonal")
    step("crop", fw.crop, 1.9, 2, 38, 28)
    step("crop count", fw.crop, 1, 2, 3)
    step("thumbnail", fw.thumbnail, (30, 30))
    step("thumbnail wrong type", fw.thumbnail, [30, 30])
    step("round_corners", fw.round_corners, 5)
    step("resize", fw.resize, 33.2, 24)
    step("resize refused", fw.resize, 0.5, 24)
    step("fit", fw.fit, 20, 18)
    # Overlays
    step("convert_mode for text", fw.convert_mode, "RGB")
    step("add_text", fw.add_text, "hi", (2, 2), font_size=12.7, color="yellow")
    step("add_text wrong type", fw.add_text, "hi", [2, 2])
    step("add_watermark", fw.add_watermark, inputs["mark"], (3, 3))
    step("add_watermark missing", fw.add_watermark, os.path.join(workdir, "missing.png"), (0, 0))
    step("apply_border", fw.apply_border, 3, "red")
    step("double_exposure", fw.double_exposure, inputs["overlay"], 0.3)
    step("double_exposure keyword", fw.double_exposure, overlay_image_path=inputs["overlay"])
    step("double_exposure unexpected", fw.double_exposure, inputs["overlay"], opacity=0.1, alpha=1)
    # Grading
    step("apply_lut", fw.apply_lut, inputs["lut"], 0.5)
    step("apply_lut missing", fw.apply_lut, os.path.join(workdir, "missing.cube"))
    # Editing
    step("size", fw.size, "60x40^", cover=True, gravity="top")
    step("size refused", fw.size, "60y40")
    step("size padded", fw.size, "50x50", background="white")
    step("crop_to", fw.crop_to, "30x20", "bottom-right")
    step("crop_to refused", fw.crop_to, "30y20")
    step("rotate_fill", fw.rotate_fill, 7.5, "navy")
    step("place_watermark", fw.place_watermark, inputs["mark"], "bottom-right", 2, 0.3, 0.5)
    step("place_text", fw.place_text, "hi", "centre", 0, 9, "yellow", 0.7)
    step("brightness", fw.brightness, 1.2)
    step("saturation", fw.saturation, 0.7)
    step("adjust_exposure", fw.adjust_exposure, -0.5)
    step("temperature", fw.temperature, 30)
    step("tint", fw.tint, -20)
    step("auto_white_balance", fw.auto_white_balance)
    step("levels", fw.levels, 5, 240, 1.3)
    step("levels refused", fw.levels, 200, 100)
    step("auto_levels", fw.auto_levels, 1)
    step("unsharp", fw.unsharp, 1.5, 1.2, 2)
    step("vignette", fw.vignette, 0.5, 0.4)
    step("vignette wrong type", fw.vignette, "0.5")
    # Inspector
    step("compare", fw.compare)
    step("histogram", lambda: fw.histogram()[:8])
    step("get_metadata", fw.get_metadata)
    step("extract_color_palette", fw.extract_color_palette, 4)
    step("extract_color_palette refused", fw.extract_color_palette, "4")
    # Storage again: written to disk and read back.
    out = os.path.join(workdir, f"{tag}-out.jpg")
    step("save", fw.convert("jpg").save, out)
    step("save wrong type", fw.save, b"out.jpg")
    step("load missing", FrameWick.load, os.path.join(workdir, "missing.png"))
    with open(out, "rb") as f:
        seen.append(("saved", hashlib.sha256(f.read()).hexdigest()))
    fw.image.close()
    return seen


class FakeResponse:
    def __init__(self, status, data):
        self.status_code, self._data = status, data

    def json(self):
        if isinstance(self._data, BaseException):
            raise self._data
        return self._data


def run_update_checks():
    """Every path of the update check against a stand-in index (the network is requests' code,
    not framewick's), and the check started on a thread."""
    import framewick.utils.updater as updater

    answers = [
        FakeResponse(200, {"info": {"version": "2.0"}, "releases": {"2.0": [{"upload_time_iso_8601": "2024-03-01T12:34:56.7Z"}]}}),
        FakeResponse(200, {"info": {"version": "2.0"}, "releases": {"2.0": [{"upload_time_iso_8601": "2024-03-01T12:34:56+02:00"}]}}),
        FakeResponse(200, {"info": {"version": "2.0"}, "releases": {"2.0": [{}]}}),
        FakeResponse(200, {"info": {"version": "2.0"}}),
        FakeResponse(200, {"info": {"version": "0.1"}}),
        FakeResponse(200, {"info": {"version": "not a version"}}),
        FakeResponse(200, {"info": {"version": "2.0"}, "releases": {"2.0": [{"upload_time_iso_8601": "noon"}]}}),
        FakeResponse(200, ValueError("not JSON")),
        FakeResponse(404, {}),
    ]
    queue = list(answers)

    class Requests:
        @staticmethod
        def get(url, timeout):
            if not queue:
                raise ConnectionError("offline")
            return queue.pop(0)

    real = updater.requests
    updater.requests = Requests
    try:
        u = updater.FrameWickUpdater("framewick", "1.0.0")
        for _ in range(len(answers) + 1):
            u._check_logic()
        u._notify_user("2.0", "Unknown")
        before = set(threading.enumerate())
        u.start_check()
        for thread in set(threading.enumerate()) - before:
            thread.join(10)
        for bad in [(None, "1.0.0"), ("framewick",), ("a", "b", "c")]:
            try:
                updater.FrameWickUpdater(*bad)
            except TypeError:
                pass
    finally:
        updater.requests = real


def methods_called(seen):
    """The names of the methods a chain's observations show it called."""
    called = {label.split()[0] for label, *_ in seen} | {"__init__"}   # load calls __init__
    return called


def main(workdir):
    from framewick import FrameWick

    with open(os.devnull, "w", encoding="utf-8") as null, contextlib.redirect_stdout(null):
        inputs = make_inputs(workdir)
        for round_ in range(2):
            seen = run_chain(workdir, f"memcheck{round_}", inputs)
        run_update_checks()
    methods = {name for cls in FrameWick.__mro__[1:-1] for name in vars(cls)
               if not name.startswith("__") or name == "__init__"}
    missing = methods - methods_called(seen)
    if missing:
        raise SystemExit(f"hard_chain: methods not called: {sorted(missing)}")
    print(f"hard_chain: all {len(methods)} mixin methods and the updater's 4 ran")


if __name__ == "__main__":
    main(sys.argv[1])
