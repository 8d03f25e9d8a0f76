"""Cover crops that keep the subject: `size:WxH,cover=true` with gravity=smart and gravity=face
on 12 MP pictures (4000 by 3000 and 3000 by 4000) of a bright object on a plain, grainy ground,
off-centre, at several places and crop shapes. For each: whether the whole object is inside the
crop (its bright pixels counted in the result against the source's, scaled), and the thread CPU
time of the step against the same step with gravity=centre, interleaved (the time the choice
adds per picture). Run alone: `python bench/subject.py [--quick]`.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

#: (picture size, the object's centre as fractions, its radius in pixels, the crop).
CASES = [
    ((4000, 3000), (0.85, 0.5), 220, "1080x1080"),
    ((4000, 3000), (0.12, 0.3), 200, "1080x1080"),
    ((4000, 3000), (0.7, 0.85), 180, "1080x1350"),
    ((4000, 3000), (0.3, 0.15), 160, "1920x1080"),
    ((3000, 4000), (0.5, 0.1), 200, "1920x1080"),
    ((3000, 4000), (0.2, 0.8), 220, "1200x628"),
    ((3000, 4000), (0.8, 0.6), 180, "1080x1080"),
    ((4000, 3000), (0.93, 0.1), 150, "800x1200"),
]
GRAVITIES = ("centre", "smart", "face")


def available():
    """None when the smart and face gravities can run here, else what is missing."""
    try:
        from framewick.photo.subject import available as can
    except ImportError as e:
        return f"framewick.photo.subject ({e})"
    return can("face")


def picture(size, centre, radius, seed):
    """A grainy, gently shaded ground with a bright disc on it."""
    from PIL import Image, ImageDraw

    ground = Image.linear_gradient("L").resize(size).point(lambda v: 60 + v // 6)
    grain = Image.effect_noise(size, 12).point(lambda v: v - 128 + 128)
    grey = Image.blend(ground, grain, 0.25)
    rgb = Image.merge("RGB", (grey.point(lambda v: v * 0.8), grey, grey.point(lambda v: v * 0.85)))
    x, y = round(centre[0] * size[0]), round(centre[1] * size[1])
    ImageDraw.Draw(rgb).ellipse((x - radius, y - radius, x + radius, y + radius), fill=(250, 240, 215))
    return rgb


def bright(im):
    return im.convert("L").point(lambda v: 255 if v > 200 else 0).histogram()[255]


def measure(repeats=3):
    """{case label: {"inside": {gravity: bool}, "seconds": {gravity: [per round]}}}."""
    from framewick import FrameWick, quiet

    found = {}
    for index, (size, centre, radius, crop) in enumerate(CASES):
        source = picture(size, centre, radius, index)
        source.load()
        whole = bright(source)
        w, h = map(int, crop.split("x"))
        scale = max(w / size[0], h / size[1])
        seconds = {g: [] for g in GRAVITIES}
        inside = {}
        for round_ in range(repeats + 1):  # the first round warms up and is not counted
            order = GRAVITIES if round_ % 2 == 0 else tuple(reversed(GRAVITIES))
            for gravity in order:
                obj = FrameWick()
                obj.image = source
                t0 = time.thread_time()
                with quiet():
                    obj.size(crop, cover=True, gravity=gravity)
                spent = time.thread_time() - t0
                if round_:
                    seconds[gravity].append(spent)
                kept = bright(obj.image)
                inside[gravity] = abs(kept - whole * scale ** 2) <= 0.06 * whole * scale ** 2
        found[f"{size[0]}x{size[1]} object at {centre} -> {crop}"] = {"inside": inside, "seconds": seconds}
    return found


def main(argv):
    import statistics

    why = available()
    if why:
        print(f"n/a: {why}")
        return 0
    result = measure(1 if "--quick" in argv else 3)
    added = {g: [] for g in GRAVITIES[1:]}
    for label, item in result.items():
        med = {g: statistics.median(s) for g, s in item["seconds"].items()}
        for g in added:
            added[g].append(med[g] - med["centre"])
        marks = " ".join(f"{g}:{'in' if item['inside'][g] else 'CUT'}" for g in GRAVITIES)
        print(f"{label:48} {marks}  centre {med['centre'] * 1e3:6.0f} ms, smart +{(med['smart'] - med['centre']) * 1e3:4.0f}"
              f" ms, face +{(med['face'] - med['centre']) * 1e3:4.0f} ms")
    for g in added:
        kept = sum(item["inside"][g] for item in result.values())
        print(f"gravity={g}: subject inside the crop in {kept} of {len(result)}; time added per 12 MP picture "
              f"median {statistics.median(added[g]) * 1e3:.0f} ms (range {min(added[g]) * 1e3:.0f} to "
              f"{max(added[g]) * 1e3:.0f} ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
