"""A whole chain: the typical request through framewick against the same Pillow calls written
directly, on a 4000 by 3000 JPEG.

Time is measured in this process, the two sides interleaved. Peak memory is a process's high
water mark, so each side runs alone in a fresh interpreter (`chain.py SIDE SOURCE TARGET`),
which reports its peak resident size.
"""

import os
import resource
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402


def run_framewick(source, target):
    cls, _ = common.combined_class()
    (cls.load(source).apply_preset("vintage").resize(800, 600).apply_border(10).compare()
        .optimize(80).save(target))


def run_direct(source, target):
    """The chain's Pillow calls, in the chain's order, with its constants and keywords."""
    from PIL import Image, ImageEnhance, ImageOps

    img = Image.open(source)
    img = ImageEnhance.Contrast(img.convert("L").convert("RGB")).enhance(0.8)  # preset vintage
    img = img.resize((800, 600), Image.Resampling.LANCZOS)
    img = ImageOps.expand(img, border=10, fill="black")
    img.width, img.height, img.mode, img.format, img.mode  # what compare reads  # noqa: B018
    img.save(target, quality=80, optimize=True)


SIDES = {"framewick": run_framewick, "direct": run_direct}


def measure(source, out_dir, repeats):
    """Seconds per chain, interleaved."""
    targets = {name: os.path.join(out_dir, f"chain_{name}.jpg") for name in SIDES}

    def timed(name):
        def run():
            t0 = common.clock()
            SIDES[name](source, targets[name])
            return common.clock() - t0
        return run

    with common.quiet():
        rounds = common.interleaved({n: timed(n) for n in SIDES}, repeats, warmup=1)
    from PIL import Image
    with Image.open(targets["framewick"]) as a, Image.open(targets["direct"]) as b:
        assert a.size == b.size == (820, 620) and a.tobytes() == b.tobytes(), "the two chains differ"
    return rounds


def peak_rss(side, source, target):
    """Peak resident size (bytes) of a fresh interpreter running one side once."""
    import subprocess
    out = subprocess.run([common.python(), os.path.abspath(__file__), side, source, target],
                         check=True, capture_output=True, text=True).stdout
    return int(out.strip().splitlines()[-1])


def measure_memory(source, out_dir, repeats):
    targets = {name: os.path.join(out_dir, f"chain_mem_{name}.jpg") for name in SIDES}
    return common.interleaved({n: (lambda n=n: peak_rss(n, source, targets[n])) for n in SIDES},
                              repeats, warmup=0)


if __name__ == "__main__":
    side, source, target = sys.argv[1:4]
    with common.quiet():
        SIDES[side](source, target)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
