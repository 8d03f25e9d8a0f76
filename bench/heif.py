"""HEIC in and out: a 12 MP grid HEIC (4032 by 3024 in 512 by 512 tiles, as a phone stores its
photos; made once with heif-enc from a sample photograph) decoded by framewick's plugin
(`Image.open(...).load()`) against libvips' `heifload` (pyvips, the same libheif, pixels written
to memory), and written by `FrameWick.write` against `heifsave`, both with x265 at quality 85
(4:2:0 on both sides) from the same pixels (framewick's decode), in this process, interleaved.
Shrink-on-load: the same picture with a 320-pixel thumbnail (heif-enc `-t 320`, as a phone stores
one) opened for `size:200x` and resized, against `FrameWick.open` decoding it whole.
Memory: the peak resident size a fresh process gains while `FrameWick.open` decodes the file,
against the decoded picture's size.
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402

WIDTH, HEIGHT = 4032, 3024
QUALITY = 85


def available():
    """None when framewick reads and writes HEIC and the peers are here, else what is missing."""
    try:
        from framewick import formats

        if "framewick.formats.heif" not in formats.register():
            return "framewick.formats.heif (built without libheif)"
        from framewick.formats import _heif

        if not (_heif.DECODES and _heif.ENCODES):
            return "libheif's HEVC plugins (libheif-plugin-libde265, libheif-plugin-x265)"
    except ImportError as e:
        return f"framewick.formats ({e})"
    if shutil.which("heif-enc") is None:
        return "heif-enc (libheif-examples)"
    try:
        import pyvips  # noqa: F401
    except ImportError:
        return "pyvips"
    return None


def source(out_dir):
    """The 12 MP grid HEIC (made once)."""
    from PIL import Image

    import photos

    path = os.path.join(out_dir, f"phone_{WIDTH}x{HEIGHT}_grid.heic")
    if os.path.exists(path):
        return path
    png = os.path.join(out_dir, f"phone_{WIDTH}x{HEIGHT}.png")
    with Image.open(photos.photos(out_dir, count=1)[0]) as im:
        im.convert("RGB").resize((WIDTH, HEIGHT), Image.Resampling.LANCZOS).save(png, compress_level=1)
    tmp = path + f".{os.getpid()}.tmp.heic"
    subprocess.run(["heif-enc", "-q", "90", "--cut-tiles", "512", "-o", tmp, png], check=True, capture_output=True)
    os.replace(tmp, path)
    os.remove(png)
    return path


def thumbed_source(out_dir):
    """The 12 MP grid HEIC again, with a 320-pixel thumbnail (made once from the first)."""
    from PIL import Image

    path = os.path.join(out_dir, f"phone_{WIDTH}x{HEIGHT}_grid_thumb320.heic")
    if os.path.exists(path):
        return path
    png = path + f".{os.getpid()}.png"
    with Image.open(source(out_dir)) as im:
        im.save(png, compress_level=1)
    tmp = path + f".{os.getpid()}.tmp.heic"
    subprocess.run(["heif-enc", "-q", "90", "--cut-tiles", "512", "-t", "320", "-o", tmp, png], check=True,
                   capture_output=True)
    os.replace(tmp, path)
    os.remove(png)
    return path


def shrink(out_dir, repeats):
    """({side: [seconds per round]}: `size:200x` from the thumbnail, the whole decode), the result's size."""
    from framewick import FrameWick
    from framewick.chain import Chain

    src = thumbed_source(out_dir)
    chain = Chain.parse("size:200x")
    sizes = []

    def small():
        t0 = common.clock()
        obj = chain.apply(FrameWick.open(src, steps=chain), lambda text: None)
        took = common.clock() - t0
        sizes.append((obj.image.size, obj.photo.draft_scale))
        return took

    def whole():
        t0 = common.clock()
        FrameWick.open(src)
        return common.clock() - t0

    return common.interleaved({"small": small, "whole": whole}, repeats, warmup=1), sizes[-1]


def decode_framewick(src):
    from PIL import Image

    with Image.open(src) as im:
        im.load()
        return im.size


def decode_vips(src):
    import pyvips

    pyvips.cache_set_max(0)  # libvips would otherwise hand back the picture it decoded last round
    image = pyvips.Image.heifload(src)
    image.write_to_memory()
    return image.width, image.height


def measure(out_dir, repeats):
    """({side: [seconds per round]} for decoding and for writing, facts about the outputs)."""
    import pyvips
    from PIL import Image

    from framewick import FrameWick

    import photos

    src = source(out_dir)
    sides = {}

    def timed(fn, *args):
        def go():
            t0 = common.clock()
            fn(*args)
            return common.clock() - t0
        return go

    decode = common.interleaved({"framewick": timed(decode_framewick, src), "vips": timed(decode_vips, src)},
                                repeats, warmup=1)
    obj = FrameWick.open(src)
    obj.quality = QUALITY
    # Both writers get the same pixels: libheif's own decode (heifload) differs from framewick's
    # in its chroma upsampling (about 49 dB apart), and x265 makes a larger file of that picture
    # (3.67 against 3.59 MB): the two writers would not be timed on the same work. libvips reads
    # `pixels` in place: it is held until the writes are done.
    pixels = obj.image.tobytes()
    picture = pyvips.Image.new_from_memory(pixels, obj.image.width, obj.image.height, 3, "uchar")
    targets = {"framewick": os.path.join(out_dir, "heif_out_framewick.heic"),
               "vips": os.path.join(out_dir, "heif_out_vips.heic")}
    with common.quiet():
        write = common.interleaved({
            "framewick": timed(lambda: obj.write(targets["framewick"])),
            "vips": timed(lambda: picture.heifsave(targets["vips"], Q=QUALITY, compression="hevc",
                                                   subsample_mode="on")),
        }, repeats, warmup=1)
    del picture, pixels
    with Image.open(targets["framewick"]) as a, Image.open(targets["vips"]) as b:
        facts = {"bytes": {k: os.path.getsize(v) for k, v in targets.items()},
                 "psnr_between_outputs": photos.psnr(a, b) if a.size == b.size else None}
    sides["decode"], sides["write"] = decode, write
    return sides, facts


def memory(out_dir):
    """(peak bytes gained while decoding, resident bytes before, decoded bytes) in a fresh process."""
    src = source(out_dir)
    proc = subprocess.run([common.python(), os.path.abspath(__file__), "memory", src], capture_output=True, text=True,
                          check=True)
    gained, before = (int(v) for v in proc.stdout.split())
    return gained, before, WIDTH * HEIGHT * 3


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def _memory_child(src):
    from framewick import FrameWick  # imported first: the figure is what decoding takes
    from framewick import photo  # noqa: F401
    from framewick.formats import _heif  # noqa: F401

    before = _status("VmHWM")
    obj = FrameWick.open(src)
    assert obj.image.size == (WIDTH, HEIGHT)
    print(_status("VmHWM") - before, before)


if __name__ == "__main__" and sys.argv[1:2] == ["memory"]:
    _memory_child(sys.argv[2])
