"""Pictures for the format tests: an asymmetric test card whose corners say how it was turned,
a photo-like picture and how close two pictures are, heif-enc from Debian's libheif-examples,
and 16-bit RGB PNGs (which Pillow cannot write)."""

import math
import os
import shutil
import struct
import subprocess
import zlib

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageStat

# The card's four corner colours, far apart so that lossy codecs cannot confuse them.
TL, TR, BL, BR = (230, 30, 30), (30, 200, 30), (30, 30, 230), (240, 240, 40)
MIDDLE = (128, 128, 128)

# The transpose that undoes each EXIF orientation's turn (the inverse of what turns it upright).
STORED = {2: Image.Transpose.FLIP_LEFT_RIGHT, 3: Image.Transpose.ROTATE_180, 4: Image.Transpose.FLIP_TOP_BOTTOM,
          5: Image.Transpose.TRANSPOSE, 6: Image.Transpose.ROTATE_90, 7: Image.Transpose.TRANSVERSE,
          8: Image.Transpose.ROTATE_270}

HEIF_ENC = shutil.which("heif-enc")


def card(size=(96, 64), mode="RGB"):
    """An upright test card: a colour block in each corner on grey (alpha 200 where RGBA)."""
    w, h = size
    im = Image.new("RGB", size, MIDDLE)
    bw, bh = w // 3, h // 3
    for colour, (x, y) in ((TL, (0, 0)), (TR, (w - bw, 0)), (BL, (0, h - bh)), (BR, (w - bw, h - bh))):
        im.paste(colour, (x, y, x + bw, y + bh))
    if mode == "RGBA":
        im.putalpha(200)
    return im


def stored(upright, orientation):
    """The pixels a camera stores for `upright` when it records `orientation`."""
    method = STORED.get(orientation)
    return upright if method is None else upright.transpose(method)


def corners(im):
    """The colour near each corner (TL, TR, BL, BR), RGB."""
    rgb = im.convert("RGB")
    w, h = rgb.size
    dx, dy = max(2, w // 12), max(2, h // 12)
    return [rgb.getpixel(p) for p in ((dx, dy), (w - 1 - dx, dy), (dx, h - 1 - dy), (w - 1 - dx, h - 1 - dy))]


def close(a, b, tolerance=12):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def same_card(im, tolerance=12):
    """Whether `im` shows the card upright (its corners where they belong)."""
    return all(close(got, want, tolerance) for got, want in zip(corners(im), (TL, TR, BL, BR)))


def heif_enc(*args, cwd=None):
    """Run heif-enc; its x265 may print a harmless CPU-mask line inside the root."""
    proc = subprocess.run([HEIF_ENC, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr + proc.stdout
    return proc


def png16(path, rgb16):
    """Write a 16-bit RGB PNG of `rgb16`, rows of (r, g, b) tuples of 0-65535."""
    height, width = len(rgb16), len(rgb16[0])
    raw = b"".join(b"\x00" + b"".join(struct.pack(">HHH", *px) for px in row) for row in rgb16)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 16, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
    return os.fspath(path)


XMP = (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
       b'<rdf:Description xmlns:tiff="http://ns.adobe.com/tiff/1.0/" xmlns:dc="http://purl.org/dc/elements/1.1/" '
       b'tiff:Orientation="%d" dc:format="image/heic"/></rdf:RDF></x:xmpmeta>')


def exif(orientation=None, make="Phone"):
    tags = Image.Exif()
    tags[0x010F] = make
    if orientation is not None:
        tags[0x0112] = orientation
    return tags.tobytes()


def p3_to_srgb(rgb):
    """A Display P3 colour (0-255) as sRGB (0-255, clipped): both use sRGB's curve and D65."""
    def linear(v):
        v /= 255
        return v / 12.92 if v <= 0.04045 else ((v + 0.055) / 1.055) ** 2.4

    def encoded(v):
        v = min(max(v, 0.0), 1.0)
        return 255 * (12.92 * v if v <= 0.0031308 else 1.055 * v ** (1 / 2.4) - 0.055)

    r, g, b = (linear(v) for v in rgb)
    # Display P3 to sRGB in linear light (both D65).
    m = ((1.2249401, -0.2249404, 0.0), (-0.0420569, 1.0420571, 0.0), (-0.0196376, -0.0786361, 1.0982735))
    return tuple(round(encoded(row[0] * r + row[1] * g + row[2] * b)) for row in m)


def photo_like(size=(1200, 900), *, blocks=True):
    """Gradients, shapes (with `blocks`, bars of colour too) and noise, blurred a little, up to
    every edge: what a camera gives, made here."""
    width, height = size
    ramp = Image.linear_gradient("L").resize(size)
    side = Image.linear_gradient("L").rotate(90).resize(size)
    im = Image.merge("RGB", (ramp, side, ImageChops.invert(ramp)))
    draw = ImageDraw.Draw(im)
    for i in range(12):
        x, y = (i * 97) % width, (i * 61) % height
        draw.ellipse((x, y, x + width // 6, y + height // 7), fill=((i * 40) % 256, 200 - i * 10, 60 + i * 15))
        if blocks:
            draw.rectangle((y % width, x % height, y % width + 40, x % height + 90), fill=(250 - i * 20, 30, i * 20))
    noise = Image.merge("RGB", [Image.effect_noise(size, 18 + 4 * i) for i in range(3)])
    im = Image.blend(im, noise, 0.15)
    return im.filter(ImageFilter.GaussianBlur(1.2))


def psnr(a, b):
    """How close two pictures are, in decibels over their RGB samples (inf: identical)."""
    diff = ImageChops.difference(a.convert("RGB"), b.convert("RGB"))
    mse = sum(v * v for v in ImageStat.Stat(diff).rms) / 3
    return math.inf if mse == 0 else 10 * math.log10(255 ** 2 / mse)
