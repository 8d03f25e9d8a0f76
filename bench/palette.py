"""Palette: extract_color_palette(5) natively against its twin, on a small and a large picture.

On the large picture most of the time is Pillow's (copy, resize to 100 by 100, RGB, the pixel
sequence); the Pillow steps alone are timed next to the method to give their share.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402
import pictures  # noqa: E402
import twins  # noqa: E402


def pillow_steps(image):
    """The Pillow calls of the palette algorithm, alone (steps 2 to 4), as the native method makes
    them: the pixel tuple get_flattened_data gives is counted as it is, anything else listed."""
    img = image.copy().resize((100, 100))
    img = img.convert("RGB")
    flattened = getattr(img, "get_flattened_data", None)
    data = flattened() if flattened is not None else img.getdata()
    return data if type(data) is tuple else list(data)


def subjects(size):
    cls, _ = common.combined_class()
    image = pictures.picture(*size)
    fw = cls()
    fw.image = image
    tw = twins.TwinFrameWick()
    tw.image = image
    return fw, tw, image


def measure(size, repeats, inner):
    """Seconds per palette for framewick, the twin and the Pillow steps, interleaved."""
    fw, tw, image = subjects(size)
    import contextlib
    import io

    lines = []
    for o in (fw, tw):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            got = o.extract_color_palette(5)
        lines.append((got, out.getvalue()))
    assert lines[0] == lines[1] and len(lines[0][0]) == 5, lines
    a = lines[0][0]
    with common.quiet():

        def timed(fn):
            def run():
                t0 = common.clock()
                for _ in range(inner):
                    fn()
                return (common.clock() - t0) / inner
            return run

        sides = {
            "framewick": timed(lambda: fw.extract_color_palette(5)),
            "twin": timed(lambda: tw.extract_color_palette(5)),
            "pillow": timed(lambda: pillow_steps(image)),
        }
        return common.interleaved(sides, repeats, warmup=1), a


def callgrind_phases(n):
    """Under callgrind: framewick, twin and Pillow steps on the small picture, n calls each."""
    fw, tw, image = subjects((100, 100))
    with common.quiet():
        for fn in (lambda: fw.extract_color_palette(5), lambda: tw.extract_color_palette(5),
                   lambda: pillow_steps(image)):
            fn()
            os.getppid()
            for _ in range(n):
                fn()
            os.getppid()
