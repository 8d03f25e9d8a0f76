"""The basic adjustments (`brightness`, `saturation`, `adjust_exposure`, `temperature`, `tint`,
`auto_white_balance`, `levels`, `auto_levels`, `unsharp`, `vignette`) and `size` on a 3000 by
2000 RGB picture, each against the same Pillow calls written directly (the tables a `point`
takes are made once, outside the clock, as framewick keeps them). Both in this process,
interleaved; every pair of results is checked to be identical. The clock is the thread's CPU
time: Pillow does this work on the calling thread, and a machine shared with other builds then
does not decide the figure.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

SIZE = (3000, 2000)


def available():
    """None when FrameWick has the adjustments, else what is missing."""
    try:
        from framewick import FrameWick
    except ImportError as e:
        return f"framewick.FrameWick ({e})"
    return None if callable(getattr(FrameWick, "vignette", None)) else "FrameWick.vignette"


def cases():
    """{label: (framewick call on an object, the same Pillow calls on a picture)}."""
    from PIL import Image, ImageChops, ImageEnhance, ImageFilter, ImageOps, ImageStat

    from framewick import editing

    exposure = list(editing.exposure_table(0.5)) * 3
    levels = list(editing.levels_table(10, 245, 1.2)) * 3  # copies: the direct side has tables of its own
    warm = list(editing.gains_table(1.06, 1.0, 0.94))
    tint = list(editing.gains_table(1.0, 1.03, 1.0))
    mask = editing.vignette_mask(SIZE, 0.4, 0.5)

    def white_balance(im):
        means = ImageStat.Stat(im).mean
        grey = sum(means) / 3.0
        gains = [min(editing.MAX_GAIN, grey / m) for m in means]
        return im.point(editing.gains_table(*(round(g, 4) for g in gains)))

    return {
        "brightness:1.2": (lambda o: o.brightness(1.2), lambda im: ImageEnhance.Brightness(im).enhance(1.2)),
        "saturation:1.3": (lambda o: o.saturation(1.3), lambda im: ImageEnhance.Color(im).enhance(1.3)),
        "ev:0.5": (lambda o: o.adjust_exposure(0.5), lambda im: im.point(exposure)),
        "temperature:20": (lambda o: o.temperature(20), lambda im: im.point(warm)),
        "tint:-10": (lambda o: o.tint(-10), lambda im: im.point(tint)),
        "auto_white_balance": (lambda o: o.auto_white_balance(), white_balance),
        "levels:10,245,1.2": (lambda o: o.levels(10, 245, 1.2), lambda im: im.point(levels)),
        "auto_levels:1": (lambda o: o.auto_levels(1), lambda im: ImageOps.autocontrast(im, cutoff=1, preserve_tone=True)),
        "unsharp:2,1.5,3": (lambda o: o.unsharp(2, 1.5, 3), lambda im: im.filter(ImageFilter.UnsharpMask(2, 150, 3))),
        "vignette:0.4": (lambda o: o.vignette(0.4),
                         lambda im: ImageChops.multiply(im, Image.merge("RGB", [mask] * 3))),
        "size:1200x": (lambda o: o.size("1200x"), lambda im: im.resize((1200, 800), Image.Resampling.LANCZOS)),
    }


def measure(out_dir, repeats):
    """{label: (framewick seconds per round, direct seconds per round, identical results)}."""
    from PIL import Image

    import pictures

    picture = pictures.picture(*SIZE).convert("RGB")
    picture.load()
    if picture.size != SIZE:
        picture = picture.resize(SIZE)

    from framewick import FrameWick

    obj = FrameWick()
    found = {}
    for label, (fw_call, direct_call) in cases().items():
        results = {}

        def fw():
            results.pop("framewick", None)  # the last result is freed outside the clock, on both sides
            obj.image = picture
            t0 = time.thread_time()
            fw_call(obj)
            elapsed = time.thread_time() - t0
            results["framewick"] = obj.image
            return elapsed

        def direct():
            results.pop("direct", None)
            t0 = time.thread_time()
            results["direct"] = direct_call(picture)
            return time.thread_time() - t0

        with common.quiet():
            rounds = common.interleaved({"framewick": fw, "direct": direct}, repeats, warmup=1)
        a, b = results["framewick"], results["direct"]
        same = a.size == b.size and a.mode == b.mode and a.tobytes() == b.tobytes()
        found[label] = (rounds["framewick"], rounds["direct"], same)
        del a, b, results
        assert isinstance(picture, Image.Image)
    return found
