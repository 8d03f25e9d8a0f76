"""A photo's way in and out: `FrameWick.open` then `FrameWick.write` on a 4000 by 3000 JPEG
carrying EXIF (orientation 6, camera and date tags), an ICC profile and a DPI, against the same
work done directly with Pillow: open, `ImageOps.exif_transpose`, then `save` with `exif`,
`icc_profile` and `dpi` at the same quality and, as framewick saves a JPEG, with optimised
Huffman tables. The same direct work with Pillow's default encoder (no optimisation) is timed
beside them, to show what that pass costs. All in this process, interleaved.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402


def available():
    """None when FrameWick has open and write, else what is missing."""
    try:
        from framewick import FrameWick
    except ImportError as e:
        return f"framewick.FrameWick ({e})"
    missing = [m for m in ("open", "write") if not callable(getattr(FrameWick, m, None))]
    return f"FrameWick.{' and '.join(missing)}" if missing else None


def source(out_dir):
    """The 4000x3000 camera-like JPEG (made once from the first sample photograph)."""
    from PIL import Image, ImageCms

    import photos

    path = os.path.join(out_dir, "photo_exif_icc_4000x3000.jpg")
    if os.path.exists(path):
        return path
    with Image.open(photos.photos(out_dir, count=1)[0]) as im:
        img = im.convert("RGB")
    # Stored as a phone stores a portrait: 3000 wide, 4000 tall once turned.
    img = img.transpose(Image.Transpose.ROTATE_90)
    exif = Image.Exif()
    exif[0x0112] = 6            # orientation: turn 90 degrees clockwise to view
    exif[0x010F] = "framewick bench"  # make
    exif[0x0110] = "sample camera"    # model
    exif[0x0132] = "2026:12:09 00:00:00"  # date and time
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    tmp = path + f".{os.getpid()}.tmp.jpg"
    img.save(tmp, quality=92, exif=exif, icc_profile=icc, dpi=(300, 300))
    os.replace(tmp, path)
    return path


def run_framewick(src, target):
    from framewick import FrameWick
    FrameWick.open(src).write(target)


def run_direct(src, target, optimize=True):
    """framewick writes a JPEG as Storage.save does, with optimised Huffman tables (a second
    pass of the encoder), so the direct side does too; `optimize=False` is Pillow's default."""
    from PIL import Image, ImageOps

    with Image.open(src) as im:
        img = ImageOps.exif_transpose(im)
        img.save(target, quality=95, optimize=optimize, exif=img.getexif(), icc_profile=im.info.get("icc_profile"),
                 dpi=im.info.get("dpi"))


def run_direct_plain(src, target):
    run_direct(src, target, optimize=False)


def measure(out_dir, repeats):
    """Seconds per open-and-write, interleaved; and how the two outputs compare."""
    from PIL import Image

    import photos

    src = source(out_dir)
    fns = {"framewick": run_framewick, "direct": run_direct, "direct, Pillow's default encoder": run_direct_plain}
    targets = {n: os.path.join(out_dir, f"photo_io_{k}.jpg") for k, n in enumerate(fns)}

    def timed(name):
        def go():
            t0 = common.clock()
            fns[name](src, targets[name])
            return common.clock() - t0
        return go

    with common.quiet():
        rounds = common.interleaved({n: timed(n) for n in fns}, repeats, warmup=1)
    with Image.open(targets["framewick"]) as a, Image.open(targets["direct"]) as b:
        same = {"size": a.size == b.size, "psnr": photos.psnr(a, b) if a.size == b.size else None,
                "exif_orientation": (a.getexif().get(0x0112), b.getexif().get(0x0112)),
                "icc": (a.info.get("icc_profile") == b.info.get("icc_profile")),
                "dpi": (a.info.get("dpi"), b.info.get("dpi"))}
    return rounds, same
