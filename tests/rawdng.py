"""Camera RAW stand-ins: uncompressed DNG files made from a known sRGB picture.

`write_dng` mosaics a picture through a Bayer pattern the way a camera would record it: linear
light, each channel scaled by the as-shot neutral (the camera's response to white), between the
black and the white level. The colour matrix is the XYZ to linear-sRGB one, so the camera's
space is linear sRGB and a correct development gives the picture back.
"""

import io
import struct

import numpy
import tifffile
from PIL import Image

PATTERNS = {"RGGB": (0, 1, 1, 2), "BGGR": (2, 1, 1, 0), "GRBG": (1, 0, 2, 1), "GBRG": (1, 2, 0, 1)}
# XYZ (D65) to linear sRGB, the DNG ColorMatrix1 of a camera that sees in linear sRGB.
XYZ_TO_SRGB = ((3.2404542, -1.5371385, -0.4985314), (-0.9692660, 1.8760108, 0.0415560),
               (0.0556434, -0.2040259, 1.0572252))
NEUTRAL = (0.5, 1.0, 0.7)  # as shot: green strongest, as in most cameras
PATCH = 16
# The known picture's patches, row by row; the white one keeps LibRaw's auto brightness at 1.
COLOURS = [
    [(255, 255, 255), (128, 128, 128), (60, 60, 60), (200, 40, 40)],
    [(40, 160, 60), (50, 70, 190), (230, 200, 60), (90, 200, 210)],
    [(180, 90, 160), (20, 20, 20), (240, 150, 100), (128, 128, 128)],
]
SHOT = {"make": "Framewick", "model": "Test Body 1", "iso": 400, "shutter": (1, 250), "aperture": (28, 10),
        "focal": (50, 1), "time": "2024:05:06 07:08:09", "lens": "Test Lens 50mm F1.8",
        "gps": {"lat": ((48, 1), (51, 1), (30, 1)), "lat_ref": "N", "lon": ((2, 1), (17, 1), (40, 1)),
                "lon_ref": "E", "alt": (35, 1)}}


def known_picture():
    """The known picture: 4 by 3 flat patches of PATCH pixels (64 by 48)."""
    im = Image.new("RGB", (4 * PATCH, 3 * PATCH))
    for row, colours in enumerate(COLOURS):
        for col, colour in enumerate(colours):
            im.paste(colour, (col * PATCH, row * PATCH, (col + 1) * PATCH, (row + 1) * PATCH))
    return im


def patch_centres(im, margin=4):
    """The mean colour of each patch's middle (away from the demosaicing's edges), as a list
    of (row, col, (r, g, b)); `im` is the picture the patches are laid out on."""
    scale = im.width / (4 * PATCH)
    data = numpy.asarray(im.convert("RGB"), dtype=float)
    out = []
    for row in range(3):
        for col in range(4):
            p, m = PATCH * scale, margin * scale
            box = data[int(row * p + m):int((row + 1) * p - m), int(col * p + m):int((col + 1) * p - m)]
            out.append((row, col, tuple(box.reshape(-1, 3).mean(axis=0))))
    return out


def linear(srgb):
    v = numpy.asarray(srgb, dtype=float) / 255
    return numpy.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def mosaic(picture, pattern="RGGB", bits=14, black=None, neutral=NEUTRAL):
    """The CFA data of `picture` (an RGB Pillow picture) as uint16, and its black and white level."""
    white = (1 << bits) - 1
    black = (64 << (bits - 12)) if black is None else black
    lin = linear(numpy.asarray(picture.convert("RGB")))
    h, w = lin.shape[:2]
    cfa = numpy.empty((h, w), dtype=float)
    colours = PATTERNS[pattern]
    for i, (dy, dx) in enumerate(((0, 0), (0, 1), (1, 0), (1, 1))):
        c = colours[i]
        cfa[dy::2, dx::2] = lin[dy::2, dx::2, c] * neutral[c]
    return numpy.round(black + cfa * (white - black)).astype(numpy.uint16), black, white


def _srational(values, denominator=10000):
    out = []
    for v in values:
        out += [round(v * denominator), denominator]
    return out


def _rational(pairs):
    return [n for pair in pairs for n in pair]


def write_dng(path, picture=None, *, pattern="RGGB", bits=14, orientation=1, neutral=NEUTRAL, shot=SHOT,
              preview=None, black=None):
    """Write `picture` (default: the known one) as an uncompressed DNG at `path`.

    `preview` (a Pillow picture) adds an embedded JPEG preview as the main page, the raw data
    then going in a sub-page, as cameras write DNGs. `shot` gives make, model, shooting data and
    GPS (None: make and model only)."""
    picture = known_picture() if picture is None else picture
    cfa, black, white = mosaic(picture, pattern, bits, black, neutral)
    shot = shot or {"make": SHOT["make"], "model": SHOT["model"]}
    main = [
        (50706, 1, 4, (1, 4, 0, 0), True),                   # DNGVersion
        (50708, 2, 0, f"{shot['make']} {shot['model']}", True),  # UniqueCameraModel
        (50721, 10, 9, _srational(v for row in XYZ_TO_SRGB for v in row), True),  # ColorMatrix1
        (50778, 3, 1, 21, True),                              # CalibrationIlluminant1: D65
        (50728, 5, 3, _rational((round(n * 10000), 10000) for n in neutral), True),  # AsShotNeutral
        (271, 2, 0, shot["make"], True),
        (272, 2, 0, shot["model"], True),
        (274, 3, 1, orientation, True),
    ]
    if "iso" in shot:
        main += [
            (33434, 5, 1, shot["shutter"], True),   # ExposureTime
            (33437, 5, 1, shot["aperture"], True),  # FNumber
            (34664, 4, 1, 0, True),                 # becomes the Exif block's pointer (ISO)
            (37386, 5, 1, shot["focal"], True),     # FocalLength
            (306, 2, 0, shot["time"], True),        # DateTime
            (36867, 2, 0, shot["time"], True),      # DateTimeOriginal
            (42036, 2, 0, shot["lens"], True),      # LensModel
            (34852, 4, 1, 0, True),                 # becomes GPSInfo once its block is appended
        ]
    raw_tags = [
        (33421, 3, 2, (2, 2), True),                          # CFARepeatPatternDim
        (33422, 1, 4, PATTERNS[pattern], True),               # CFAPattern
        (50714, 4, 1, black, True),                           # BlackLevel
        (50717, 4, 1, white, True),                           # WhiteLevel
    ]
    with tifffile.TiffWriter(path, bigtiff=False) as tif:
        if preview is None:
            tif.write(cfa, photometric=32803, subfiletype=0, extratags=main + raw_tags, metadata=None)
        else:
            # Written uncompressed, then pointed at the JPEG (tifffile compresses JPEG only
            # through a codec package Debian does not have).
            tif.write(numpy.zeros((preview.height, preview.width, 3), numpy.uint8), photometric="rgb",
                      subifds=1, subfiletype=1, rowsperstrip=preview.height, extratags=main, metadata=None)
            tif.write(cfa, photometric=32803, subfiletype=0, extratags=raw_tags, metadata=None)
    if preview is not None:
        jpeg = io.BytesIO()
        preview.convert("RGB").save(jpeg, "JPEG", quality=90)
        _attach_jpeg(path, jpeg.getvalue())
    if "gps" in shot:
        gps = shot["gps"]
        _append_block(path, 34852, 34853, [
            (1, 2, 2, gps["lat_ref"].encode() + b"\0"), (2, 5, 3, _rational(gps["lat"])),
            (3, 2, 2, gps["lon_ref"].encode() + b"\0"), (4, 5, 3, _rational(gps["lon"])),
            (5, 1, 1, b"\0"), (6, 5, 1, _rational([gps["alt"]]))])
    if "iso" in shot:
        _append_block(path, 34664, 34665, [(34855, 3, 1, struct.pack("<H", shot["iso"]))])
    return str(path)


def _attach_jpeg(path, jpeg):
    """Append `jpeg` and make the main page a JPEG-compressed one holding it."""
    with tifffile.TiffFile(path) as tif:
        tags = tif.pages[0].tags
        at = {code: tags[code].offset for code in (259, 262, 273, 279)}
    with open(path, "r+b") as f:
        start = f.seek(0, 2)
        f.write(jpeg)
        for code, kind, value in ((259, 3, 7), (262, 3, 6), (273, 4, start), (279, 4, len(jpeg))):
            f.seek(at[code])
            f.write(struct.pack("<HHI", code, kind, 1) + struct.pack("<H" if kind == 3 else "<I", value).ljust(4, b"\0"))


def _append_block(path, placeholder, tag_code, entries):
    """Append a block of tags (GPS, Exif) to the file and turn the main page's placeholder tag
    into the tag pointing at it (tifffile does not write those pointers itself)."""
    with tifffile.TiffFile(path) as tif:
        entry = tif.pages[0].tags[placeholder].offset
    with open(path, "r+b") as f:
        f.seek(0, 2)
        start = f.tell() + (f.tell() & 1)
        table = struct.pack("<H", len(entries))
        extra = b""
        extra_at = start + 2 + 12 * len(entries) + 4
        for tag, kind, count, value in entries:
            blob = value if isinstance(value, bytes) else struct.pack(f"<{len(value)}I", *value)
            if len(blob) <= 4:
                table += struct.pack("<HHI", tag, kind, count) + blob.ljust(4, b"\0")
            else:
                table += struct.pack("<HHII", tag, kind, count, extra_at + len(extra))
                extra += blob
        f.seek(start)
        f.write(table + b"\0\0\0\0" + extra)
        f.seek(entry)
        f.write(struct.pack("<HHII", tag_code, 4, 1, start))



def write_metadata_cr2(path, layout):
    """A Canon CR2 holding only metadata ("CR\x02\x00" at offset 8, no strips): a first directory
    of a JPEG "preview" then a thumbnail's, of the "sensor" size uncompressed, or "bare"."""
    short = lambda tag, *v: (tag, 3, len(v), struct.pack(f"<{len(v)}H", *v))  # noqa: E731
    first = [(0x010F, 2, 6, b"Canon\0"), (0x0110, 2, 7, b"EOS R5\0")]
    first += {"bare": [], "sensor": [short(256, 64), short(257, 48)],
              "preview": [short(256, 64), short(257, 48), short(258, 8, 8, 8), short(259, 6), short(262, 2)]}[layout]
    ifds = [first] if layout == "bare" else [first, [short(259, 6)]]
    out = bytearray(b"II*\0\x10\0\0\0CR\x02\0\0\0\0\0")
    for n, entries in enumerate(ifds):
        body_at = len(out) + 6 + 12 * len(entries)
        body = b"".join(v for *_, v in sorted(entries) if len(v) > 4)
        out += struct.pack("<H", len(entries))
        for tag, kind, count, value in sorted(entries):
            out += struct.pack("<HHI", tag, kind, count) + (value.ljust(4, b"\0") if len(value) <= 4 else
                                                            struct.pack("<I", body_at))
            body_at += len(value) if len(value) > 4 else 0
        out += struct.pack("<I", len(out) + 4 + len(body) if n + 1 < len(ifds) else 0) + body
    with open(path, "wb") as f:
        f.write(out)
    return path
