"""Metadata by group through framewick.formats._meta (libexiv2): JPEGs made with Pillow carrying
EXIF (GPS, camera, serial numbers, people, rights, capture time, a maker note, a thumbnail), XMP,
IPTC, a profile and a comment; edits checked with ExifTool; EXIF blocks cut down to a JPEG's
room; damaged blocks."""

import io
import json
import os
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ET

import pytest
from PIL import ExifTags, Image, ImageCms, TiffImagePlugin

_meta = pytest.importorskip("framewick.formats._meta", reason="built without libexiv2")
EXIFTOOL = shutil.which("exiftool")
ROOM = 65533  # a JPEG's APP1 segment, "Exif\0\0" included

XMP = (
    '<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/">'
    '<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" '
    'xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:photoshop="http://ns.adobe.com/photoshop/1.0/" '
    'xmlns:exif="http://ns.adobe.com/exif/1.0/" xmlns:aux="http://ns.adobe.com/exif/1.0/aux/" '
    'xmlns:xmpRights="http://ns.adobe.com/xap/1.0/rights/" xmlns:Iptc4xmpExt="http://iptc.org/std/Iptc4xmpExt/2008-02-29/" '
    'photoshop:City="Lyon" photoshop:Credit="Agency" exif:GPSLatitude="45,45.0N" exif:GPSLongitude="4,50.0E" '
    'aux:SerialNumber="XMP-SN-77" aux:Lens="50mm" xmpRights:UsageTerms="CC BY 4.0">'
    '<dc:creator><rdf:Seq><rdf:li>Jo Maker</rdf:li></rdf:Seq></dc:creator>'
    '<dc:rights><rdf:Alt><rdf:li xml:lang="x-default">(c) Jo</rdf:li></rdf:Alt></dc:rights>'
    '<Iptc4xmpExt:LocationCreated><rdf:Bag><rdf:li rdf:parseType="Resource"><Iptc4xmpExt:City>Lyon</Iptc4xmpExt:City>'
    '</rdf:li></rdf:Bag></Iptc4xmpExt:LocationCreated>'
    '</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end="w"?>')


def rational(n, d=1):
    return TiffImagePlugin.IFDRational(n, d)


def segment(marker, body):
    return bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body


def iptc(*items):
    """An APP13 segment: a Photoshop resource block holding IPTC records (record 2)."""
    data = b"".join(b"\x1c\x02" + bytes([n]) + struct.pack(">H", len(v)) + v for n, v in items)
    data += b"\0" * (len(data) % 2)
    return segment(0xED, b"Photoshop 3.0\0" + b"8BIM\x04\x04\0\0" + struct.pack(">I", len(data)) + data)


def canon_note(order):
    """A Canon maker note as cameras write it: an IFD whose values fit in their entries (model id, serial)."""
    entries = [(0x000C, 4, 1, 123456), (0x0010, 4, 1, 0x80000001)]
    return (struct.pack(order + "H", len(entries)) + b"".join(struct.pack(order + "HHII", *e) for e in entries)
            + struct.pack(order + "I", 0))


def with_thumbnail(block, side=32):
    """An EXIF block given an IFD1 with a noise JPEG of `side` pixels (Pillow writes no IFD1)."""
    tiff = bytearray(block[6:])
    o = "<" if tiff[:2] == b"II" else ">"
    ifd0 = struct.unpack(o + "I", tiff[4:8])[0]
    jpeg = io.BytesIO()
    Image.frombytes("RGB", (side, side), os.urandom(3 * side * side)).save(jpeg, "JPEG", quality=95)
    at = len(tiff)
    struct.pack_into(o + "I", tiff, ifd0 + 2 + 12 * struct.unpack(o + "H", tiff[ifd0:ifd0 + 2])[0], at)
    tiff += struct.pack(o + "HHHIHHHHIIHHII" + "I", 3, 0x0103, 3, 1, 6, 0, 0x0201, 4, 1, at + 42,
                        0x0202, 4, 1, len(jpeg.getvalue()), 0) + jpeg.getvalue()
    return b"Exif\0\0" + bytes(tiff)


def exif_block(make="TestCam", maker_note=b"TESTNOTE" * 24, thumbnail=32, comment=None):
    exif = Image.Exif()
    exif[0x010F], exif[0x0110], exif[0x0112] = make, "T-1", 1
    exif[0x013B], exif[0x8298] = "Jo Maker", "(c) Jo"
    sub = exif.get_ifd(ExifTags.IFD.Exif)
    sub[0x9003], sub[0x829A], sub[0x829D] = "2024:05:06 07:08:09", rational(1, 250), rational(28, 10)
    sub[0xA431], sub[0xA435] = "SN-123456", "LENS-987"
    if comment:
        sub[0x9286] = b"ASCII\0\0\0" + comment
    if make == "Canon":
        maker_note = canon_note(">")
    if maker_note:
        sub[0x927C] = maker_note
    gps = exif.get_ifd(ExifTags.IFD.GPSInfo)
    gps[1], gps[2], gps[3], gps[4] = "N", (rational(45), rational(45), rational(0)), "E", (rational(4), rational(50), rational(0))
    block = exif.tobytes()
    assert block[6:8] == b"MM"  # the Canon note above is written big-endian, as Pillow writes the block
    return with_thumbnail(block, thumbnail) if thumbnail else block


def photo(make="TestCam"):
    """A phone photo: EXIF with a maker note and a thumbnail, XMP, IPTC, an sRGB profile, a comment."""
    picture = Image.linear_gradient("L").resize((64, 48)).convert("RGB")
    out = io.BytesIO()
    srgb = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    picture.save(out, "JPEG", quality=90, exif=exif_block(make), xmp=XMP.encode(), icc_profile=srgb, comment=b"shot on a walk")
    data = out.getvalue()
    app0 = 4 + struct.unpack(">H", data[4:6])[0]
    return data[:app0] + iptc((80, b"Jo Maker"), (90, b"Lyon"), (101, b"France"), (116, b"(c) Jo IPTC"),
                              (55, b"20240506")) + data[app0:]


def pixels(data):
    return Image.open(io.BytesIO(data)).convert("RGB").tobytes()


def exiftool(data, tmp_path):
    path = tmp_path / "check.jpg"
    path.write_bytes(data)
    done = subprocess.run([EXIFTOOL, "-j", "-a", "-u", "-G1", str(path)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)[0]


def group_of(found, key):
    return [g for g, fields in found.items() if key in fields]


# ---- fields


@pytest.mark.parametrize("key, group", [
    ("Exif.GPSInfo.GPSLatitude", "location"), ("Xmp.exif.GPSLatitude", "location"),
    ("Xmp.photoshop.City", "location"), ("Xmp.iptcExt.LocationCreated", "location"),
    ("Iptc.Application2.City", "location"), ("Iptc.Application2.CountryName", "location"),
    ("Exif.Image.Make", "camera"), ("Xmp.aux.Lens", "camera"),
    ("Exif.Photo.BodySerialNumber", "camera"), ("Exif.Photo.LensSerialNumber", "camera"), ("Xmp.aux.SerialNumber", "camera"),
    ("Exif.Photo.DateTimeOriginal", "capture"), ("Exif.Photo.ExposureTime", "capture"),
    ("Iptc.Application2.DateCreated", "capture"),
    ("Exif.Image.Artist", "people"), ("Xmp.dc.creator", "people"), ("Iptc.Application2.Byline", "people"),
    ("Exif.Image.Copyright", "rights"), ("Xmp.dc.rights", "rights"), ("Xmp.xmpRights.UsageTerms", "rights"),
    ("Xmp.photoshop.Credit", "rights"), ("Iptc.Application2.Copyright", "rights"),
    ("Exif.Photo.MakerNote", "maker-notes"), ("Exif.Thumbnail.JPEGInterchangeFormat", "thumbnail"),
    ("Icc.Profile", "icc"), ("Exif.Image.Orientation", "picture"), ("Comment", "other"),
])
def test_every_field_is_listed_once_in_its_group(key, group):
    found = _meta.fields(photo())
    assert tuple(found) == _meta.GROUPS
    assert group_of(found, key) == [group]


def test_maker_notes_libexiv2_decodes_are_maker_notes():
    found = _meta.fields(photo("Canon"))
    assert group_of(found, "Exif.Canon.SerialNumber") == ["maker-notes"]
    assert found["camera"]["Exif.Image.Make"] == ("Canon", "Ascii")
    assert found["icc"]["Icc.Profile"][0].startswith("sRGB built-in, ")


# ---- edit


@pytest.mark.skipif(EXIFTOOL is None, reason="exiftool is not installed")
@pytest.mark.parametrize("make", ["TestCam", "Canon"])
def test_web_groups_leave_no_location_serial_or_maker_note(make, tmp_path):
    data = photo(make)
    out = _meta.edit(data, keep=["rights", "people", "capture", "icc"],
                     drop=["location", "serial", "maker-notes", "thumbnail"])
    tags = exiftool(out, tmp_path)
    names = " ".join(tags)
    for gone in ("GPS", "Serial", "MakerNote", "Canon:", "IFD1:", "Thumbnail", "City", "Country", "IFD0:Model", "XMP-aux:"):
        assert gone not in names
    assert "ExifTool:Warning" not in tags and "ExifTool:Error" not in tags
    assert tags["IFD0:Copyright"] == "(c) Jo" and tags["XMP-dc:Rights"] == "(c) Jo"
    assert tags["IPTC:CopyrightNotice"] == "(c) Jo IPTC" and tags["XMP-xmpRights:UsageTerms"] == "CC BY 4.0"
    assert tags["ExifIFD:DateTimeOriginal"] == "2024:05:06 07:08:09" and tags["IFD0:Artist"] == "Jo Maker"
    assert tags["ICC_Profile:ProfileDescription"] == "sRGB built-in"
    assert pixels(out) == pixels(data)
    packet = out[out.index(b"<x:xmpmeta"):out.index(b"</x:xmpmeta>") + len(b"</x:xmpmeta>")]
    ET.fromstring(packet)  # well-formed


@pytest.mark.parametrize("keep, drop, left, serials", [
    (None, None, set(_meta.GROUPS), True),
    (None, "all", set(), False),
    (["rights"], None, {"rights", "icc", "picture"}, False),
    ("all", ["thumbnail", "icc"], set(_meta.GROUPS) - {"thumbnail", "icc"}, True),
    (["camera", "picture"], ["serial", "picture"], {"camera", "icc"}, False),
    (["serial"], None, {"camera", "icc", "picture"}, True),
    (None, ("location", "other", "maker-notes"), set(_meta.GROUPS) - {"location", "other", "maker-notes"}, True),
])
def test_keep_and_drop_choose_the_groups_left(keep, drop, left, serials):
    found = _meta.fields(_meta.edit(photo(), keep=keep, drop=drop))
    assert {g for g, fields in found.items() if fields} == left
    assert any("Serial" in k for k in found["camera"]) == serials
    assert ("Exif.Image.Make" in found["camera"]) == (bool(found["camera"]) and keep != ["serial"])


@pytest.mark.parametrize("call, error, text", [
    (lambda d: _meta.edit(d, keep=["faces"]), ValueError, "unknown metadata group 'faces'"),
    (lambda d: _meta.edit(d, drop=[1]), TypeError, "drop must name groups as str"),
    (lambda d: _meta.edit(d, keep=None, drop=None, warnings=()), TypeError, "warnings must be a list or None"),
    (lambda d: _meta.fit_exif(d, -1), ValueError, "limit must be between"),
    (lambda d: _meta.fields(b"not a picture at all"), _meta.MetaError, "libexiv2 cannot read this file"),
    (lambda d: _meta.edit(d, drop="icc", keep="all", other=1), TypeError, "unexpected keyword argument 'other'"),
    (lambda d: _meta.edit(encoded("AVIF")), _meta.MetaError, "cannot write this file's metadata"),
])
def test_bad_arguments_are_refused_clearly(call, error, text):
    with pytest.raises(error, match=text):
        call(photo())


def encoded(fmt, **save):
    out = io.BytesIO()
    Image.linear_gradient("L").resize((64, 48)).convert("RGB").save(
        out, fmt, exif=exif_block(thumbnail=0), xmp=XMP.encode(), **save)
    return out.getvalue()


@pytest.mark.parametrize("fmt, save, fixed", [
    ("PNG", {}, set()), ("WEBP", {"lossless": True}, set()),
    ("TIFF", {}, {"Exif.Image.ImageWidth", "Exif.Image.StripOffsets", "Exif.Image.BitsPerSample"}),
])
def test_other_formats_are_edited_around_the_same_pixels(fmt, save, fixed):
    data = encoded(fmt, **save)
    for drop in ("location", "all"):
        out = _meta.edit(data, drop=drop)
        found = _meta.fields(out)
        assert not found["location"] and bool(found["rights"]) == (drop != "all")
        assert fixed <= set(found["picture"])  # a TIFF's layout survives even "all"
        assert pixels(out) == pixels(data)


# ---- damaged blocks


def damaged(kind):
    """The photo with one block damaged: 'exif' (IFD0 says it holds more entries than the block
    has room for), 'xmp' (an unclosed element), 'iptc' (a record longer than its block)."""
    data = photo()
    if kind == "exif":
        at = data.index(b"Exif\0\0") + 6
        return data[:at + 8] + struct.pack("<H", 0x3FFF) + data[at + 10:]
    if kind == "xmp":
        return data.replace(b"</dc:creator>", b"</dc:creatorx>")
    if kind == "iptc":
        return data.replace(b"\x1c\x02\x5a\x00\x04Lyon", b"\x1c\x02\x5a\xff\xf0Lyon")
    raise ValueError(kind)


@pytest.mark.parametrize("kind, lost, kept", [
    ("exif", "Exif.Image.Copyright", "Xmp.dc.rights"),
    ("xmp", "Xmp.dc.rights", "Exif.Image.Copyright"),
    ("iptc", "Iptc.Application2.Copyright", "Xmp.dc.rights"),
])
def test_a_damaged_block_is_reported_and_left_out(kind, lost, kept, capfd):
    data = damaged(kind)
    warnings = []
    found = _meta.fields(data, warnings=warnings)
    assert warnings and all(isinstance(w, str) and "\n" not in w for w in warnings)
    assert group_of(found, kept) == ["rights"]
    edit_warnings = []
    out = _meta.edit(data, drop=["location"], warnings=edit_warnings)
    assert edit_warnings
    after = _meta.fields(out)
    assert not after["location"] and not group_of(after, lost) and group_of(after, kept) == ["rights"]
    assert pixels(out) == pixels(photo())  # the damage was in the metadata only
    assert capfd.readouterr().err == ""


# ---- fit_exif


def block_192k():
    """A 192 KB block: a 30 KB thumbnail, a 150 KB maker note, a 12 KB user comment."""
    block = exif_block(maker_note=os.urandom(150_000), thumbnail=160, comment=b"c" * 12_000)
    assert 185_000 < len(block) < 200_000
    return block


@pytest.mark.parametrize("make, limit, dropped, kept", [
    (block_192k, ROOM, ["thumbnail", "maker-notes"], ["Exif.Photo.UserComment", "Exif.Image.Make"]),
    (lambda: exif_block(maker_note=b"n" * 500, thumbnail=260), ROOM, ["thumbnail"], ["Exif.Photo.MakerNote"]),
    (lambda: exif_block(maker_note=None, thumbnail=0, comment=b"c" * 80_000), ROOM, ["Exif.Photo.UserComment"],
     ["Exif.Photo.DateTimeOriginal"]),
    (block_192k, 1500, ["thumbnail", "maker-notes", "Exif.Photo.UserComment"], ["Exif.Image.Copyright"]),
    (lambda: block_192k()[6:], ROOM, ["thumbnail", "maker-notes"], ["Exif.Photo.UserComment"]),
    (block_192k, 40, ["all"], []),
    (lambda: exif_block(), ROOM, [], ["Exif.Photo.MakerNote", "Exif.Thumbnail.JPEGInterchangeFormat"]),
])
def test_fit_exif_drops_thumbnail_then_maker_notes_then_the_largest(make, limit, dropped, kept):
    block = make()
    fitted, left_out = _meta.fit_exif(block, limit)
    assert left_out == dropped
    if dropped == ["all"]:
        assert fitted is None
        return
    assert len(fitted) <= limit
    assert fitted.startswith(b"Exif\0\0") == block.startswith(b"Exif\0\0")
    if not dropped:
        assert fitted == block
    jpeg = io.BytesIO()
    Image.new("RGB", (8, 8)).save(jpeg, "JPEG", exif=fitted if fitted.startswith(b"Exif") else b"Exif\0\0" + fitted)
    found = _meta.fields(jpeg.getvalue())
    for key in kept:
        assert group_of(found, key)
    assert not found["thumbnail"] if "thumbnail" in dropped else True


@pytest.mark.parametrize("block", [b"Exif\0\0" + b"\xa5" * 70_000, b"MM\0*\0\0\0\x08" + b"\xff" * 70_000])
def test_fit_exif_answers_none_for_a_damaged_block(block, capfd):
    warnings = []
    assert _meta.fit_exif(block, ROOM, warnings=warnings) == (None, ["all"])
    assert warnings
    assert capfd.readouterr().err == ""


def test_each_call_hears_only_its_own_warnings():
    """Calls on several threads at once (the lock is released): libexiv2's messages go to the call
    that caused them."""
    from concurrent.futures import ThreadPoolExecutor
    clean, broken = photo(), damaged("xmp")

    def run(data):
        warnings = []
        _meta.edit(data, drop="location", warnings=warnings)
        return data is broken, warnings

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(run, [clean, broken] * 12))
    assert all(bool(warnings) == is_broken for is_broken, warnings in results)
