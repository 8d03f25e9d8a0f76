"""Shrink-on-load of large PNGs: reduced as their rows are decoded when the chain allows it, within
the quality floor of decoding them whole; --exact, and every file the reduction does not suit,
read whole as before, with the same errors."""

import struct
import zlib

import numpy as np
import pytest
from PIL import Image, PngImagePlugin

import formats_support as fs

pytest.importorskip("framewick.formats._png", reason="built without libpng")

from framewick import FrameWick  # noqa: E402
from framewick.chain import Chain  # noqa: E402
from framewick.photo.metadata import PhotoError  # noqa: E402
from framewick.photo.shrink import FLOOR_DB  # noqa: E402

SIZE = (1201, 899)  # sides no factor divides: the reduced boxes take parts of pixels


@pytest.fixture(scope="module")
def photo():
    return fs.photo_like(SIZE)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def interlaced(path, picture):
    """An Adam7-interlaced RGB PNG of `picture` (Pillow writes none)."""
    pixels = np.asarray(picture.convert("RGB"))
    raw = b""
    for x0, y0, dx, dy in ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
                           (0, 1, 1, 2)):
        part = pixels[y0::dy, x0::dx]
        if part.size:
            raw += b"".join(b"\x00" + row.tobytes() for row in part)
    head = struct.pack(">IIBBBBB", picture.width, picture.height, 8, 2, 0, 0, 1)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def with_alpha(picture, mode):
    """`picture` with a smooth alpha, and a fully transparent corner whose hidden colour is red."""
    colour = picture.convert("L" if mode == "LA" else "RGB")
    colour.paste(255 if mode == "LA" else (255, 0, 0), (0, 0, 300, 200))
    alpha = Image.linear_gradient("L").resize(picture.size).point(lambda v: 255 - v * 215 // 255)
    alpha.paste(0, (0, 0, 300, 200))
    colour.putalpha(alpha)
    return colour


def shown(picture):
    """What a picture shows: colour over black (premultiplied) and its alpha, as one RGBA picture."""
    if picture.mode not in ("RGBA", "LA"):
        return picture.convert("RGB")
    rgba = picture.convert("RGBA")
    over = Image.alpha_composite(Image.new("RGBA", picture.size, (0, 0, 0, 255)), rgba).convert("RGB")
    return Image.merge("RGBA", (*over.split(), rgba.getchannel("A")))


def both(path, steps):
    """The chain's result with shrink-on-load and with --exact, and the first's draft scale."""
    fast = FrameWick.open(path, steps=steps)
    exact = FrameWick.open(path, steps=steps, exact=True)
    scale = fast.photo.draft_scale
    Chain.parse(steps).apply(fast, lambda text: None)
    Chain.parse(steps).apply(exact, lambda text: None)
    return fast, exact, scale


@pytest.mark.parametrize("kind, steps, size", [
    ("RGB", "size:200x", (200, 150)),
    ("RGB", "resize:120,90", (120, 90)),
    ("L", "thumbnail:(250,250)", (250, 187)),
    ("P", "size:x150", (200, 150)),
    ("P transparent", "size:200x", (200, 150)),
    ("RGBA", "size:200x", (200, 150)),
    ("LA", "fit:180,180", (180, 180)),
    ("interlaced", "size:200x", (200, 150)),
    ("turned", "size:150x", (150, 112)),
])
def test_reduced_while_decoding_within_the_floor_of_the_whole_picture(tmp_path, photo, kind, steps, size):
    path = tmp_path / "big.png"
    if kind == "interlaced":
        interlaced(path, photo)
    elif kind == "P transparent":
        photo.convert("P").save(path, transparency=3)
    elif kind in ("RGBA", "LA"):
        with_alpha(photo, kind).save(path)
    elif kind == "turned":
        fs.stored(photo, 6).save(path, exif=fs.exif(6))
    else:
        photo.convert(kind).save(path)
    fast, exact, scale = both(path, steps)
    assert scale > 1
    assert fast.image.size == exact.image.size == size and fast.image.mode == exact.image.mode
    assert fast.photo.exif == exact.photo.exif
    assert fs.psnr(shown(fast.image), shown(exact.image)) >= FLOOR_DB
    if fast.image.mode in ("RGBA", "LA"):
        assert fs.psnr(fast.image.getchannel("A"), exact.image.getchannel("A")) >= FLOOR_DB


@pytest.mark.parametrize("mode, hidden, shown_colour", [("RGBA", (255, 0, 0, 0), (0, 200, 0, 255)),
                                                      ("LA", (255, 0), (0, 255))])
def test_what_is_fully_transparent_lends_no_colour(tmp_path, mode, hidden, shown_colour):
    path = tmp_path / "half.png"
    picture = Image.new(mode, SIZE, hidden)
    picture.paste(Image.new(mode, (SIZE[0] - 600, SIZE[1]), shown_colour), (600, 0))
    picture.save(path)
    fast, exact, scale = both(path, "size:200x")
    assert scale > 1
    for result in (fast.image, exact.image):
        pixels = np.asarray(result)
        assert pixels[pixels[:, :, -1] > 0][:, 0].max() <= 2  # no red (no white) where anything shows


def test_exact_and_unreduced_chains_decode_the_whole_picture(tmp_path, photo):
    path = tmp_path / "big.png"
    info = PngImagePlugin.PngInfo()
    info.add_text("Title", "Mountains")
    photo.save(path, pnginfo=info)
    whole = Image.open(path).convert("RGB").tobytes()
    for obj in (FrameWick.open(path, steps="size:200x", exact=True), FrameWick.open(path, steps="blur:2 | size:200x"),
                FrameWick.open(path, steps="size:1000x")):
        assert obj.photo.draft_scale == 1 and obj.image.tobytes() == whole
    assert FrameWick.open(path, steps="size:200x").photo.text == {"Title": "Mountains"}


def damaged(path, photo, how):
    photo.save(path)
    data = bytearray(path.read_bytes())
    idat = data.index(b"IDAT")
    if how == "cut in the picture data":
        del data[idat + 5000:]
    elif how == "cut before the end chunk":
        del data[-12:]
    elif how == "picture data CRC":
        length = struct.unpack(">I", data[idat - 4:idat])[0]
        data[idat + 4 + length] ^= 0xFF
    elif how == "broken deflate stream":
        data[idat + 40:idat + 60] = b"\xff" * 20
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("how", ["cut in the picture data", "cut before the end chunk", "picture data CRC",
                                 "broken deflate stream"])
def test_damaged_files_fail_or_pass_as_when_decoded_whole(tmp_path, photo, how):
    path = tmp_path / "big.png"
    damaged(path, photo, how)
    outcomes = []
    for exact in (False, True):
        try:
            FrameWick.open(path, steps="size:200x", exact=exact)
            outcomes.append(("read",))
        except PhotoError as error:
            outcomes.append(("refused", str(error)))
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("kind", ["16-bit", "RGB with a transparent colour", "text after the picture data",
                                  "animation"])
def test_files_the_reduction_does_not_suit_are_read_whole(tmp_path, photo, kind):
    path = tmp_path / "odd.png"
    if kind == "16-bit":
        fs.png16(path, [[(x * 50, y * 60, 9000) for x in range(1000)] for y in range(800)])
    elif kind == "RGB with a transparent colour":
        photo.save(path, transparency=(10, 20, 30))
    elif kind == "text after the picture data":
        photo.save(path)
        data = path.read_bytes()
        path.write_bytes(data[:-12] + chunk(b"tEXt", b"Comment\x00late") + data[-12:])
    else:
        photo.save(path, save_all=True, append_images=[photo.rotate(180)])
    fast, exact, scale = both(path, "size:200x")
    assert scale == 1 and fast.image.tobytes() == exact.image.tobytes() and fast.photo.text == exact.photo.text
