"""Untrusted HEIC files: mutated files (bytes flipped, cut short, box sizes and item
references overwritten, pieces repeated) of every shape framewick meets (plain, alpha, grid,
10-bit, with EXIF, XMP and a thumbnail) go through the native module and the photo layer.
Each either decodes to a whole picture or is refused with HeifError / PhotoError; nothing
crashes (under `make asan` nothing reaches the sanitizers either).

FRAMEWICK_HEIF_FUZZ sets the number of mutated files (default 240).
"""

import io
import os
import random
import shutil
import struct
import subprocess

import pytest
from PIL import Image

_heif = pytest.importorskip("framewick.formats._heif", reason="built without libheif")

from framewick import FrameWick, formats  # noqa: E402
from framewick.photo import PhotoError  # noqa: E402

formats.register()
CASES = int(os.environ.get("FRAMEWICK_HEIF_FUZZ", "240"))
BOXES = (b"ftyp", b"meta", b"hdlr", b"pitm", b"iloc", b"iinf", b"infe", b"iref", b"iprp", b"ipco", b"ipma",
         b"ispe", b"hvcC", b"colr", b"pixi", b"irot", b"imir", b"auxC", b"mdat", b"idat", b"dinf", b"grid")


def grain(size, mode="RGB"):
    im = Image.merge("RGB", [Image.effect_noise(size, 40 + 15 * i) for i in range(3)])
    if mode == "RGBA":
        im.putalpha(Image.linear_gradient("L").resize(size))
    return im


def sources(tmp_path_factory):
    """(label, bytes) of the files to mutate."""
    out = []
    exif = Image.Exif()
    exif[0x0112] = 6
    for mode, orientation in (("RGB", 1), ("RGBA", 6)):
        im = grain((72, 40), mode)
        out.append((f"{mode} irot {orientation}", _heif.encode(im.tobytes(), mode, im.width, im.height, 60,
                                                               exif.tobytes(), b"<x:xmpmeta/>", None, orientation)))
    enc = shutil.which("heif-enc")
    if enc:
        d = tmp_path_factory.mktemp("heif_sources")
        grain((200, 136)).save(d / "g.png")
        level = b"".join(struct.pack(">HHH", 4096 * (x % 16), 30000, 65535 - 4096 * (x % 16)) for x in range(24))
        for args, label in ((["--cut-tiles", "64", "-t", "32"], "grid and thumbnail"), (["-b", "10"], "10-bit")):
            src = d / "g.png" if label != "10-bit" else _png16(d / "d.png", level, 24, 16)
            subprocess.run([enc, *args, "-q", "50", "-o", str(d / "o.heic"), str(src)], check=True,
                           capture_output=True)
            out.append((label, (d / "o.heic").read_bytes()))
    return out


def _png16(path, row, width, height):
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = (b"\x00" + row) * height
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 16, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
    return path


def mutate(data, rng):
    """One mutation of `data`: what a damaged download, a broken writer or an attacker gives."""
    b = bytearray(data)
    kind = rng.randrange(5)
    if kind == 0:  # a few bytes flipped anywhere
        for _ in range(rng.randint(1, 8)):
            b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
        return bytes(b), "flipped"
    if kind == 1:  # cut short
        return bytes(b[:rng.randrange(len(b))]), "cut"
    if kind == 2:  # a box's size, or a field just after its type, overwritten
        at = [i - 4 for box in BOXES for i in _find_all(data, box) if i >= 4]
        if at:
            i = rng.choice(at) + rng.choice((0, 8, 12, 16, 20))
            value = rng.choice((0, 1, 7, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, len(b), rng.randrange(1 << 32)))
            b[i:i + 4] = struct.pack(">I", value)[: max(0, min(4, len(b) - i))]
        return bytes(b), "box field"
    if kind == 3:  # a run of bytes overwritten with noise
        i = rng.randrange(len(b))
        n = rng.randint(1, 64)
        b[i:i + n] = bytes(rng.randrange(256) for _ in range(n))
        return bytes(b[: len(data)]), "noise"
    i, j = sorted(rng.randrange(len(b)) for _ in range(2))  # a piece repeated
    return bytes(b[:j] + b[i:j] + b[j:]), "repeated"


def _find_all(data, needle):
    i = data.find(needle)
    while i != -1:
        yield i
        i = data.find(needle, i + 1)


@pytest.fixture(scope="module")
def originals(tmp_path_factory):
    return sources(tmp_path_factory)


def test_mutated_heic_files_decode_or_are_refused(originals):
    rng = random.Random(23)
    seen = {"decoded": 0, "refused": 0}
    for n in range(CASES):
        label, data = originals[n % len(originals)]
        blob, how = mutate(data, rng)
        try:
            _heif.read(blob, 1 << 24)
            mode, size, pixels = _heif.decode(blob, 1 << 24)
            assert len(pixels) == size[0] * size[1] * len(mode)
        except _heif.HeifError:
            pass
        try:
            obj = FrameWick.open(io.BytesIO(blob), max_pixels=1 << 24)
        except PhotoError as error:
            assert "\n" not in str(error), (label, how)
            seen["refused"] += 1
        else:
            assert obj.image.width > 0 and obj.image.height > 0
            seen["decoded"] += 1
    assert seen["refused"] > 0 and sum(seen.values()) == CASES
    print(f"framewick heif fuzz: {CASES} mutated files, {seen['decoded']} decoded, {seen['refused']} refused")
