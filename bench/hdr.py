"""HDR gain maps carried through a chain: a 12 MP Ultra HDR JPEG (4000 by 3000, a 1000 by 750
gain map; a generated photo-like picture whose highlights the map boosts up to 4x, joined by
libultrahdr) through `size:1200x | crop:100,100,900,700` and written as JPEG, with its gain map
against the same file's SDR picture alone (a plain JPEG of the same bytes), open to write, in
this process, interleaved.

Fidelity: the HDR rendition libultrahdr reconstructs (linear light) from framewick's output of
`size:1200x | crop:100,100,900,700 | turn:5,black`, against the source's rendition put through
the same resize (Lanczos), crop and turn (bicubic, corners black) band by band; PSNR over the
whole picture less a 4-pixel edge, the source rendition's peak as the full scale.
"""

import io
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

WIDTH, HEIGHT = 4000, 3000
CHAIN = "size:1200x | crop:100,100,900,700"
TURNED = CHAIN + " | turn:5,black"


def available():
    """None when framewick reads and joins gain maps, else what is missing."""
    try:
        from framewick.formats import _uhdr  # noqa: F401
    except ImportError as e:
        return f"framewick.formats._uhdr ({e})"
    return None


def source(out_dir):
    """The 12 MP Ultra HDR JPEG and its SDR picture alone as a plain JPEG (made once)."""
    import numpy as np
    from PIL import Image

    from framewick.formats import _uhdr

    path = os.path.join(out_dir, f"uhdr_{WIDTH}x{HEIGHT}.jpg")
    plain = os.path.join(out_dir, f"uhdr_{WIDTH}x{HEIGHT}_sdr.jpg")
    if os.path.exists(path) and os.path.exists(plain):
        return path, plain
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.float32)
    sky = np.stack([0.35 + 0.4 * x / WIDTH, 0.45 + 0.3 * y / HEIGHT, 0.7 - 0.2 * x / WIDTH], -1)
    sun = np.exp(-((x - 0.7 * WIDTH) ** 2 + (y - 0.3 * HEIGHT) ** 2) / (2 * (0.08 * WIDTH) ** 2))
    sdr = np.clip(sky + 0.3 * sun[..., None] + rng.normal(0, 0.02, sky.shape), 0, 1)
    base = Image.fromarray((sdr * 255 + 0.5).astype(np.uint8), "RGB")
    gain = Image.fromarray((255 * np.clip(sun, 0, 1) + 0.5).astype(np.uint8), "L").resize(
        (WIDTH // 4, HEIGHT // 4), Image.Resampling.BOX)
    coded = {}
    for name, picture in (("base", base), ("gain", gain)):
        out = io.BytesIO()
        picture.save(out, "JPEG", quality=92)
        coded[name] = out.getvalue()
    metadata = {"max_content_boost": 4.0, "min_content_boost": 1.0, "gamma": 1.0, "offset_sdr": 1 / 64,
                "offset_hdr": 1 / 64, "hdr_capacity_min": 1.0, "hdr_capacity_max": 4.0, "use_base_cg": True}
    with open(path, "wb") as f:
        f.write(_uhdr.join(coded["base"], coded["gain"], metadata))
    with open(plain, "wb") as f:
        f.write(coded["base"])
    return path, plain


def edit(src, target, chain=CHAIN):
    from framewick import FrameWick
    from framewick.photo import run_steps

    obj = FrameWick.open(src, steps=chain)
    run_steps(obj, chain)
    obj.write(target)


def measure(out_dir, repeats):
    """({side: [seconds per round]}, facts): the chain with and without the gain map."""
    hdr_src, sdr_src = source(out_dir)
    targets = {"hdr": os.path.join(out_dir, "uhdr_out.jpg"), "sdr": os.path.join(out_dir, "uhdr_out_sdr.jpg")}

    def timed(src, target):
        def go():
            t0 = common.clock()
            edit(src, target)
            return common.clock() - t0
        return go

    with common.quiet():
        sides = common.interleaved({"hdr": timed(hdr_src, targets["hdr"]), "sdr": timed(sdr_src, targets["sdr"])},
                                   repeats, warmup=1)
    from framewick.formats import _uhdr

    with open(targets["hdr"], "rb") as f:
        found = _uhdr.probe(f.read())
    facts = {"gain_map_size": found and found["gain_map_size"], "bytes": {k: os.path.getsize(v) for k, v in targets.items()}}
    return sides, facts


def fidelity(out_dir):
    """PSNR (dB) of the HDR rendition of framewick's output of TURNED against the source's moved."""
    import numpy as np
    from PIL import Image

    from framewick.formats import _uhdr

    hdr_src, _ = source(out_dir)
    target = os.path.join(out_dir, "uhdr_turned.jpg")
    with common.quiet():
        edit(hdr_src, target, TURNED)

    def linear(path):
        with open(path, "rb") as f:
            _, size, pixels = _uhdr.hdr(f.read(), "linear", 0)
        return np.frombuffer(pixels, np.float16).reshape(size[1], size[0], 4)[..., :3].astype(np.float32)

    source_hdr = linear(hdr_src)
    moved = []
    for band in range(3):
        picture = Image.fromarray(np.ascontiguousarray(source_hdr[..., band]), "F")
        picture = picture.resize((1200, 900), Image.Resampling.LANCZOS).crop((100, 100, 900, 700))
        moved.append(np.asarray(picture.rotate(5, Image.Resampling.BICUBIC, expand=True, fillcolor=0)))
    want = np.stack(moved, -1)
    got = linear(target)
    if got.shape != want.shape:
        return None
    inner = (slice(4, -4), slice(4, -4))
    mse = float(np.mean((got[inner] - want[inner]) ** 2))
    return 10 * np.log10(float(want.max()) ** 2 / max(mse, 1e-20))


if __name__ == "__main__":
    out = common.out_dir()
    sides, facts = measure(out, int(sys.argv[1]) if len(sys.argv) > 1 else 5)
    ratios = common.ratio_rounds(sides["hdr"], sides["sdr"])
    print("with / without the gain map:", [round(r, 3) for r in ratios], facts)
    print("HDR rendition PSNR:", fidelity(out))
