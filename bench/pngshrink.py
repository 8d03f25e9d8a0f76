"""A 48 MP PNG brought to 800 wide: `framewick edit big.png -o out.jpg --steps size:800x`
against `vipsthumbnail -s 800 big.png -o out.jpg`, both writing JPEG (vipsthumbnail's own
format) at framewick's default quality, 95, with optimised Huffman tables.

The PNG (8000 by 6000 RGB, made once in a process of its own) is a sample photograph scaled up
with Lanczos and given a fine grain, as a camera's picture has, saved by Pillow at its default
compression. Each side is a whole fresh process, interleaved, started by a small launcher that
reports its wall clock, CPU time and peak resident size (wait4 ru_maxrss; the launcher keeps
the bench's own size out of it). Once more, untimed, each side writes PNG, which is compared
(PSNR) with an exact resize of the full picture: Pillow's Lanczos from 8000x6000 to 800x600.
"""

import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

WIDTH, HEIGHT = 8000, 6000
TARGET = 800


def available():
    """None when both sides can run, else what is missing."""
    if shutil.which("vipsthumbnail") is None:
        return "vipsthumbnail (libvips-tools)"
    try:
        from framewick.formats import _png  # noqa: F401
    except ImportError as e:
        return f"framewick.formats._png ({e})"
    return None


def source(out_dir):
    """The 48 MP PNG (made once, in a process of its own)."""
    return common.made_apart("pngshrink", out_dir, os.path.join(out_dir, f"photo_{WIDTH}x{HEIGHT}.png"))


def make_source(out_dir, path):
    from PIL import Image

    import photos

    with Image.open(photos.photos(out_dir, count=1)[0]) as im:
        picture = photos.cover(im.convert("RGB"), (WIDTH, HEIGHT))
    grain = Image.merge("RGB", [Image.effect_noise((WIDTH, HEIGHT), 24) for _ in range(3)])
    picture = Image.blend(picture, grain, 0.06)
    tmp = path + f".{os.getpid()}.tmp.png"
    picture.save(tmp)
    os.replace(tmp, path)


def commands(out_dir, src, ext="jpg"):
    """Each side's command, writing `ext` (JPEG at quality 95 with optimised tables, or PNG)."""
    framewick = os.path.join(os.path.dirname(sys.executable), "framewick")
    vips_out = os.path.abspath(os.path.join(out_dir, f"png48_vips.{ext}"))
    return {
        "framewick": [framewick, "-q", "edit", src, "-o", os.path.join(out_dir, f"png48_framewick.{ext}"),
                      "--overwrite", "--quality", "95", "--steps", f"size:{TARGET}x"],
        "vipsthumbnail": ["vipsthumbnail", "-s", str(TARGET), src, "-o",
                          vips_out + ("[Q=95,optimize_coding]" if ext == "jpg" else "")],
    }


def measure(out_dir, repeats):
    """({side: [wall seconds]}, {side: [CPU seconds]}, {side: [peak bytes]}, facts about the outputs)."""
    src = source(out_dir)
    cmds = commands(out_dir, src)
    rounds, cpu, peaks, failures = common.launched_rounds(cmds, repeats)
    facts = {"failures": failures}
    if not failures:
        lossless = commands(out_dir, src, "png")
        for name, cmd in lossless.items():
            status, last = common.launched(cmd)[3:]
            if status != 0:
                failures[name] = f"exit status {status}: {last}"
        if not failures:
            facts.update(fidelity(out_dir, src, {n: c[c.index("-o") + 1] for n, c in lossless.items()}))
    return rounds, cpu, peaks, facts


def fidelity(out_dir, src, outputs):
    """{"size": {side: size}, "psnr": {side: dB}} of each side's output against Pillow's Lanczos
    resize of the full picture to the same size (made once)."""
    from PIL import Image

    import photos

    exact_path = os.path.join(out_dir, f"png48_exact_{TARGET}.png")
    sizes, psnr = {}, {}
    for name, path in outputs.items():
        with Image.open(path) as im:
            sizes[name] = im.size
            out = im.convert("RGB")
        if not os.path.exists(exact_path) or Image.open(exact_path).size != out.size:
            with Image.open(src) as whole:
                whole.convert("RGB").resize(out.size, Image.Resampling.LANCZOS).save(exact_path)
        with Image.open(exact_path) as exact:
            psnr[name] = photos.psnr(out, exact) if exact.size == out.size else None
    return {"size": sizes, "psnr": psnr}
