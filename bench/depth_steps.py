"""Colour steps at depth: each step's work on a 3000 by 2000 RGB picture held at 16 bits (as
the runner gives it: float32 in 0-1, brought back to uint16 after), against the step's own
method on the same picture at 8 bits. Both in this process, interleaved, thread CPU time; the
agreement of each pair (the depth result brought to 8 bits against the 8-bit result) is shown
as the largest difference in levels.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402
import grading  # noqa: E402

SIZE = (3000, 2000)
STEPS = (("brightness", (1.2,)), ("apply_contrast", (1.3,)), ("saturation", (1.3,)), ("adjust_exposure", (0.5,)),
         ("levels", (10, 245, 1.2)), ("auto_levels", (1.0,)), ("adjust_gamma", (0.8,)), ("apply_blur", (2,)),
         ("unsharp", (2.0, 1.5, 3)), ("apply_lut", ("LUT",)), ("apply_preset", ("cinematic",)),
         ("vignette", (0.4,)))


def available():
    """None when the steps have their work at depth, else what is missing."""
    try:
        from framewick.steps.declare import registry
    except ImportError as e:
        return f"framewick.steps ({e})"
    info = registry.get("levels")
    return None if info is not None and getattr(info, "at_depth", "") else "the steps' at_depth"


def measure(out_dir, repeats):
    """{label: (seconds at depth per round, seconds at 8 bits per round, largest difference)}."""
    import numpy as np

    import pictures
    from framewick import FrameWick
    from framewick.steps.declare import registry

    picture = pictures.picture(*SIZE).convert("RGB")
    eight = np.asarray(picture)
    # The 16-bit picture: the 8-bit one with a smooth ramp below a level, so it has depth.
    ramp = np.linspace(0, 200, SIZE[0], dtype=np.float32)[np.newaxis, :, np.newaxis]
    deep = np.clip(eight.astype(np.float32) * 257 + ramp - 100, 0, 65535).round().astype(np.uint16)
    lut = grading.cube_file(out_dir)
    found = {}
    for method, args in STEPS:
        args = tuple(lut if a == "LUT" else a for a in args)
        info = registry.get(method)
        values = info.values(args)
        function = info.depth_function(values)
        obj = FrameWick()
        results = {}

        def at_depth():
            t0 = time.thread_time()
            colour = deep.astype(np.float32) * np.float32(1 / 65535)
            out = np.clip(function(colour, values), 0, 1)
            results["deep"] = np.rint(out * 65535).astype(np.uint16)
            return time.thread_time() - t0

        def at_8_bits():
            obj.image = picture
            t0 = time.thread_time()
            with common.quiet():
                getattr(obj, method)(*args)
            elapsed = time.thread_time() - t0
            results["eight"] = np.asarray(obj.image)
            return elapsed

        with common.no_gc():
            rounds = common.interleaved({"deep": at_depth, "eight": at_8_bits}, repeats, warmup=1)
        shown = np.rint(results["deep"] / 257.0).astype(int)
        found[f"{info.short}:{','.join(map(str, args)) if method != 'apply_lut' else 'grade_33.cube'}"] = \
            (rounds["deep"], rounds["eight"], int(np.abs(shown - np.asarray(results["eight"], dtype=int).reshape(shown.shape)).max()))
    return found
