"""Real-world files made with Pillow (and a few bytes by hand where Pillow writes no such file):
broken PNGs, 16-bit pictures, APNGs with a default image, nonsense resolutions, fax TIFFs,
layered PSDs, GIFs of identical frames, truncated TIFFs, EXIF Pillow cannot write back, EXIF
larger than a JPEG holds."""

import io
import os
import struct
import zlib

from PIL import ExifTags, GifImagePlugin, Image, TiffImagePlugin

ORIENTATION = 0x0112


def gradient(size=(64, 48), mode="RGB"):
    return Image.linear_gradient("L").resize(size).convert(mode)


def png_bytes(picture, **save):
    buffer = io.BytesIO()
    picture.save(buffer, "PNG", **save)
    return buffer.getvalue()


def chunks(data):
    """A PNG's chunks as (type, body) pairs."""
    pos, found = 8, []
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        found.append((kind, data[pos + 8:pos + 8 + length]))
        pos += 12 + length
    return found


def build_png(parts):
    """A PNG from (type, body) pairs, each with a correct CRC."""
    return b"\x89PNG\r\n\x1a\n" + b"".join(
        struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body)) for kind, body in parts)


def broken_png(kind, picture=None):
    """A PNG broken one way: "cut" (IDAT data cut in half, CRC correct), "corrupt" (IDAT bytes
    changed, CRC correct), "noend" (no IEND chunk), "truncated" (the file cut inside IDAT)."""
    data = png_bytes(picture if picture is not None else gradient())
    parts = chunks(data)
    if kind == "cut":
        return build_png([(k, b[:len(b) // 2] if k == b"IDAT" else b) for k, b in parts])
    if kind == "corrupt":
        return build_png([(k, b[:10] + bytes(x ^ 0x5A for x in b[10:40]) + b[40:] if k == b"IDAT" else b)
                          for k, b in parts])
    if kind == "noend":
        return build_png([(k, b) for k, b in parts if k != b"IEND"])
    if kind == "truncated":
        return data[:len(data) * 2 // 3]
    raise ValueError(kind)


def bomb_png(width, height):
    """A PNG whose header claims width x height (Pillow refuses it by size before decoding)."""
    parts = chunks(png_bytes(Image.new("1", (8, 8))))
    ihdr = struct.pack(">II", width, height) + parts[0][1][8:]
    return build_png([(b"IHDR", ihdr)] + parts[1:])


def grey16(size=(64, 48)):
    """An I;16 gradient whose values are multiples of 257 (each 8-bit level once, exactly)."""
    return gradient(size, "L").convert("I").point(lambda v: v * 257).convert("I;16")


def apng_with_default(durations=(500, 1000, 500, 1000)):
    """An APNG whose default image (black) is outside the animation, frames red, green, blue, white."""
    frames = [Image.new("RGB", (20, 20), c) for c in ("red", "green", "blue", "white")][:len(durations)]
    buffer = io.BytesIO()
    Image.new("RGB", (20, 20), "black").save(buffer, "PNG", save_all=True, append_images=frames, default_image=True,
                                             duration=list(durations), loop=0)
    return buffer.getvalue()


def jpeg_with_resolution(numerator, denominator):
    """A JPEG whose EXIF resolution is numerator/denominator (and no JFIF density)."""
    exif = Image.Exif()
    exif[0x011A] = TiffImagePlugin.IFDRational(numerator, denominator)
    exif[0x011B] = TiffImagePlugin.IFDRational(numerator, denominator)
    exif[0x0128] = 2
    buffer = io.BytesIO()
    gradient().save(buffer, "JPEG", exif=exif)
    return buffer.getvalue()


def tiff_nan_resolution():
    buffer = io.BytesIO()
    gradient().save(buffer, "TIFF", tiffinfo={282: TiffImagePlugin.IFDRational(0, 0),
                                              283: TiffImagePlugin.IFDRational(0, 0), 296: 2})
    return buffer.getvalue()


def fax_tiff(compression="group4"):
    buffer = io.BytesIO()
    gradient().convert("1").save(buffer, "TIFF", compression=compression)
    return buffer.getvalue()


def oriented_tiff(orientation=6, size=(60, 40)):
    """A TIFF tagged `orientation`, red with a blue top-left corner, and a camera make."""
    picture = Image.new("RGB", size, "red")
    picture.paste("blue", (0, 0, 10, 10))
    exif = Image.Exif()
    exif[ORIENTATION] = orientation
    exif[0x010F] = "FrameCam"
    buffer = io.BytesIO()
    picture.save(buffer, "TIFF", exif=exif)
    return buffer.getvalue()


def layered_psd(size=(12, 8), layers=(("red", (255, 0, 0)), ("blue", (0, 0, 255))), composite=(0, 200, 0)):
    """An RGB PSD with layers (each whole-picture, raw) and a composite picture of one colour."""
    width, height = size
    plane = width * height
    records, data = b"", b""
    for name, colour in layers:
        records += struct.pack(">iiiiH", 0, 0, height, width, 3)
        for channel in range(3):
            records += struct.pack(">hI", channel, plane + 2)
        title = bytes([len(name)]) + name.encode("latin-1")
        title += bytes(-len(title) % 4)
        extra = struct.pack(">II", 0, 0) + title
        records += b"8BIMnorm" + bytes([255, 0, 0, 0]) + struct.pack(">I", len(extra)) + extra
        for value in colour:
            data += struct.pack(">H", 0) + bytes([value]) * plane
    info = struct.pack(">h", len(layers)) + records + data
    info += bytes(len(info) % 2)
    layer_section = struct.pack(">I", len(info)) + info + struct.pack(">I", 0)
    header = b"8BPS" + struct.pack(">H", 1) + bytes(6) + struct.pack(">HIIHH", 3, height, width, 8, 3)
    image = struct.pack(">H", 0) + b"".join(bytes([v]) * plane for v in composite)
    return header + struct.pack(">I", 0) + struct.pack(">I", 0) + struct.pack(">I", len(layer_section)) \
        + layer_section + image


def identical_gif(count=3, durations=(100, 200, 300), disposal=(2, 1, 2)):
    """A GIF of `count` identical frames, each with its own duration and disposal (Pillow's
    writer would merge them, so the frames are written one by one)."""
    frame = Image.new("P", (20, 20), 1)
    frame.putpalette([0, 0, 0, 255, 0, 0] + [0] * 762)
    buffer = io.BytesIO()
    for part in GifImagePlugin.getheader(frame, info={"loop": 0})[0]:
        buffer.write(part)
    for index in range(count):
        for part in GifImagePlugin.getdata(frame, duration=durations[index], disposal=disposal[index]):
            buffer.write(part)
    buffer.write(b";")
    return buffer.getvalue()


def truncated_tiff():
    """A TIFF cut inside its first directory: Pillow warns "Truncated File Read", then refuses it."""
    buffer = io.BytesIO()
    gradient((32, 32)).save(buffer, "TIFF", description="x" * 40)
    return buffer.getvalue()[:52]


def unwritable_exif(orientation=6):
    """An EXIF block Pillow reads but cannot write back: ImageWidth stored as text, beside an
    orientation tag and a camera make."""
    entries = [(0x0100, 2, 4, b"abc\x00"), (0x010F, 2, 4, b"Cam\x00"), (ORIENTATION, 3, 1, struct.pack("<HH", orientation, 0))]
    body = struct.pack("<H", len(entries))
    for tag, kind, count, value in entries:
        body += struct.pack("<HHI", tag, kind, count) + value
    body += struct.pack("<I", 0)
    return b"Exif\x00\x00" + b"II*\x00" + struct.pack("<I", 8) + body


def jpeg_with_unwritable_exif(orientation=6, size=(60, 40)):
    picture = Image.new("RGB", size, "red")
    picture.paste((0, 0, 255), (0, 0, 10, 10))
    buffer = io.BytesIO()
    picture.save(buffer, "JPEG", exif=unwritable_exif(orientation), quality=95)
    return buffer.getvalue()


# An Android Ultra HDR photo's XMP: the gain-map version and the container directory naming the
# primary picture and the gain map appended after it, beside ordinary fields that must stay.
ULTRA_HDR_XMP = (
    '<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>\n'
    '<x:xmpmeta xmlns:x="adobe:ns:meta/">\n'
    ' <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">\n'
    '  <rdf:Description rdf:about="" xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/"\n'
    '    xmlns:Container="http://ns.google.com/photos/1.0/container/"\n'
    '    xmlns:Item="http://ns.google.com/photos/1.0/container/item/"\n'
    '    xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="4" hdrgm:Version="1.0">\n'
    '   <Container:Directory>\n'
    '    <rdf:Seq>\n'
    '     <rdf:li rdf:parseType="Resource"><Container:Item Item:Semantic="Primary" Item:Mime="image/jpeg"/></rdf:li>\n'
    '     <rdf:li rdf:parseType="Resource"><Container:Item Item:Semantic="GainMap" Item:Mime="image/jpeg"'
    ' Item:Length="{length}"/></rdf:li>\n'
    '    </rdf:Seq>\n'
    '   </Container:Directory>\n'
    '   <xmp:Label>Harbour</xmp:Label>\n'
    '  </rdf:Description>\n'
    ' </rdf:RDF>\n'
    '</x:xmpmeta>\n'
    '<?xpacket end="w"?>')
GAIN_MAP_XMP = (
    '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
    '<rdf:Description xmlns:hdrgm="http://ns.adobe.com/hdr-gain-map/1.0/" hdrgm:Version="1.0"'
    ' hdrgm:GainMapMax="2.0" hdrgm:HDRCapacityMax="2.0"/></rdf:RDF></x:xmpmeta>')
# MP types of the second picture's index entry.
MP_UNDEFINED, MP_DISPARITY, MP_LARGE_THUMBNAIL = 0x000000, 0x020002, 0x010002


def jpeg_bytes(picture, **save):
    buffer = io.BytesIO()
    picture.save(buffer, "JPEG", quality=90, **save)
    return buffer.getvalue()


def mpo(first, second, second_type=MP_UNDEFINED, xmp=None):
    """A JPEG of `first` with an MP index and `second` (JPEG bytes) appended, as cameras and
    phones write them: the index's second entry of `second_type`, `xmp` (text) in the first."""
    base = jpeg_bytes(first, **({"xmp": xmp.encode("utf-8")} if xmp else {}))
    ifd = struct.pack(">H", 3) + struct.pack(">HHL4s", 0xB000, 7, 4, b"0100") + struct.pack(">HHLL", 0xB001, 4, 1, 2)
    ifd += struct.pack(">HHLL", 0xB002, 7, 32, 8 + 42) + struct.pack(">L", 0)
    size = len(base) + 2 + 2 + 4 + 8 + 42 + 32
    entries = struct.pack(">LLLHH", 0x030000, size, 0, 0, 0) + struct.pack(">LLLHH", second_type, len(second), size - 10, 0, 0)
    body = b"MPF\x00" + b"MM\x00\x2a" + struct.pack(">L", 8) + ifd + entries
    return base[:2] + b"\xff\xe2" + struct.pack(">H", 2 + len(body)) + body + base[2:] + second


def ultra_hdr_hdrgm(size=(64, 48)):
    """An Ultra HDR JPEG in Android's first form: hdrgm XMP and a container directory."""
    gain_map = jpeg_bytes(Image.new("L", (size[0] // 4, size[1] // 4), 90), xmp=GAIN_MAP_XMP.encode())
    return mpo(gradient(size), gain_map, xmp=ULTRA_HDR_XMP.format(length=len(gain_map)))


def big_exif(maker_note, thumbnail):
    """A phone's EXIF block: Make, Model, DateTime, a maker note of `maker_note` random bytes and
    (unless 0) a noise JPEG of that side as the embedded thumbnail (IFD1, by hand: Pillow writes none)."""
    exif = Image.Exif()
    exif[0x010F], exif[0x0110], exif[0x0132] = "Xiaomi", "Phone", "2024:01:02 03:04:05"
    exif.get_ifd(ExifTags.IFD.Exif)[0x927C] = os.urandom(maker_note)
    tiff = bytearray(exif.tobytes()[6:])
    if thumbnail:
        o = "<" if tiff[:2] == b"II" else ">"
        ifd0 = struct.unpack(o + "I", tiff[4:8])[0]
        jpeg = io.BytesIO()
        Image.frombytes("RGB", (thumbnail,) * 2, os.urandom(3 * thumbnail ** 2)).save(jpeg, "JPEG", quality=95)
        at = len(tiff)  # IFD0's next directory: IFD1 (compression, offset and length), then the JPEG
        struct.pack_into(o + "I", tiff, ifd0 + 2 + 12 * struct.unpack(o + "H", tiff[ifd0:ifd0 + 2])[0], at)
        tiff += struct.pack(o + "HHHIHHHHIIHHII" + "I", 3, 0x0103, 3, 1, 6, 0, 0x0201, 4, 1, at + 42,
                            0x0202, 4, 1, len(jpeg.getvalue()), 0) + jpeg.getvalue()
    return b"Exif\0\0" + bytes(tiff)
