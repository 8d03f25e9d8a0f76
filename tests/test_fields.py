"""Metadata by group when a picture is written: --keep, --drop and --metadata web through edit,
batch and write(), every output read back with ExifTool; what info shows by group."""

import io
import json
import shutil
import subprocess

import pytest
from PIL import Image, ImageCms

from framewick import FrameWick
from test_cli import run
from test_exiv2 import XMP, exif_block, iptc
from test_photo import adobe_like

pytest.importorskip("framewick.formats._meta", reason="built without libexiv2")
EXIFTOOL = shutil.which("exiftool")
pytestmark = pytest.mark.skipif(EXIFTOOL is None, reason="exiftool is not installed")
SRGB = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
PHONE_XMP = XMP.replace('aux:Lens="50mm"', 'aux:Lens="50mm" xmlns:xmp="http://ns.adobe.com/xap/1.0/" '
                        'xmp:CreateDate="2024-05-06T07:08:09" exif:DateTimeOriginal="2024-05-06T07:08:09"')
LEAKS = ("GPS", "SerialNumber", "MakerNote", "City", "Country", "LocationCreated", "ThumbnailImage", "ThumbnailOffset")


IPTC = ((90, b"Lyon"), (116, b"(c) Jo IPTC"), (55, b"20240506"))
# An agency's IPTC: every location field, the by-line, rights, date and time, keywords and caption.
AGENCY = ((90, b"Lyon"), (92, b"Vieux Lyon"), (95, b"Rhone"), (101, b"France"), (100, b"FRA"), (80, b"Ann By"),
          (116, b"(c) Jo IPTC"), (110, b"IPTC Credit"), (115, b"IPTC Source"), (55, b"20240506"), (60, b"070809+0200"),
          (25, b"kw1"), (25, b"kw2"), (120, b"A caption"))
IPTC_PLACES = {"iptc": {"City", "Sub-location", "Province-State", "Country-PrimaryLocationName",
                         "Country-PrimaryLocationCode"},
               "xmp": {"City", "Location", "State", "Country", "CountryCode"}}


def phone(path, icc=SRGB, records=IPTC):
    """A phone photo: EXIF (GPS, serials, maker note, thumbnail), XMP (GPS, serial, city, creator,
    rights, capture time) and IPTC (`records`: city, copyright, date)."""
    out = io.BytesIO()
    Image.linear_gradient("L").resize((64, 48)).convert("RGB").save(
        out, "JPEG", quality=90, exif=exif_block(), xmp=PHONE_XMP.encode(), icc_profile=icc)
    data = out.getvalue()
    app0 = 4 + int.from_bytes(data[4:6], "big")
    path.write_bytes(data[:app0] + iptc(*records) + data[app0:])
    return path


def iptc_of(tags, xmp=False):
    """The IPTC tags ExifTool found (with `xmp`, the XMP ones IPTC maps to), without their families."""
    families = ("XMP-photoshop:", "XMP-iptcCore:", "XMP-dc:") if xmp else ("IPTC:",)
    return {k.split(":", 1)[1]: v for k, v in tags.items() if k.startswith(families)}


def tags_of(*paths):
    done = subprocess.run([EXIFTOOL, "-j", "-a", "-u", "-G1", *map(str, paths)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return [{k: v for k, v in found.items() if not k.startswith(("System:", "File:", "ExifTool:"))}
            for found in json.loads(done.stdout)]


def leaks(tags):
    return sorted(k for k in tags if any(leak in k.split(":", 1)[-1] for leak in LEAKS) or k.startswith("IFD1:"))


@pytest.mark.parametrize("ext", ["jpg", "png", "webp", "avif", "heic", "tif"])
def test_web_copy_has_no_location_serial_or_maker_note_and_keeps_rights_and_capture(ext, tmp_path):
    out = tmp_path / f"web.{ext}"
    done = run("edit", str(phone(tmp_path / "phone.jpg")), "-o", str(out), "--metadata", "web")
    assert done.returncode == 0, done.stderr
    tags = tags_of(out)[0]
    assert leaks(tags) == []
    assert [tags.get(k) for k in ("IFD0:Copyright", "XMP-dc:Rights", "ExifIFD:DateTimeOriginal", "XMP-dc:Creator",
                                  "IFD0:Make", "ICC_Profile:ProfileDescription")] == [
        "(c) Jo", "(c) Jo", "2024:05:06 07:08:09", "Jo Maker", "TestCam", "sRGB built-in"]
    assert tags["XMP-xmp:CreateDate"].startswith("2024:05:06")


@pytest.mark.parametrize("ext, keep, drop, present, absent", [
    ("jpg", None, None, ["GPSLatitude", "ExifIFD:SerialNumber", "MakerNote", "IFD1:"], []),
    ("webp", None, "location", ["IFD0:Make", "ExifIFD:SerialNumber", "IFD0:Copyright"], ["GPS", "City"]),
    ("jpg", "rights", None, ["IFD0:Copyright", "XMP-dc:Rights", "XMP-xmpRights:UsageTerms", "ICC_Profile:"],
     ["IFD0:Make", "DateTimeOriginal", "IFD0:Artist", "XMP-dc:Creator", "GPS", "IFD1:"]),
    ("png", ["camera"], ["serial"], ["IFD0:Make", "XMP-aux:Lens"], ["SerialNumber", "IFD0:Copyright", "XMP-dc:Rights", "GPS"]),
    ("tif", "people,capture", "capture", ["IFD0:Artist", "XMP-dc:Creator"], ["DateTimeOriginal", "CreateDate", "Make"]),
    ("png", None, "all", [], ["IFD0:", "ExifIFD:", "XMP-", "ICC_Profile:"]),
])
def test_write_keeps_and_drops_groups_field_by_field(ext, keep, drop, present, absent, tmp_path):
    out = tmp_path / f"out.{ext}"
    FrameWick.open(phone(tmp_path / "phone.jpg")).write(out, keep=keep, drop=drop)
    names = " ".join(tags_of(out)[0])
    assert [p for p in present if p not in names] == []
    assert [a for a in absent if a in names] == []


def test_dropping_the_profile_converts_to_srgb_as_strip_does_and_keeps_the_fields(tmp_path):
    source = phone(tmp_path / "wide.jpg", icc=adobe_like())
    FrameWick.open(source).write(tmp_path / "bare.png", strip=True)
    FrameWick.open(source).write(tmp_path / "no-icc.png", drop="icc")
    with Image.open(tmp_path / "bare.png") as bare, Image.open(tmp_path / "no-icc.png") as dropped:
        assert bare.tobytes() == dropped.tobytes() and "icc_profile" not in dropped.info and dropped.getexif()[0x8298]


def test_batch_drops_the_groups_on_every_picture(tmp_path):
    (tmp_path / "in").mkdir()
    sources = [str(phone(tmp_path / "in" / f"{name}.jpg")) for name in ("a", "b")]
    done = run("batch", *sources, "-d", str(tmp_path / "out"), "--format", "webp", "--drop", "location,serial")
    assert done.returncode == 0, done.stderr
    found = tags_of(tmp_path / "out" / "a.webp", tmp_path / "out" / "b.webp")
    assert [leaks(tags) for tags in found] == [["ExifIFD:MakerNoteUnknownText", "IFD1:Compression", "IFD1:ThumbnailImage",
                                                 "IFD1:ThumbnailLength", "IFD1:ThumbnailOffset"]] * 2
    assert all(tags["IFD0:Make"] == "TestCam" for tags in found)


@pytest.mark.parametrize("args, text", [
    (["--drop", "faces"], "--drop: unknown metadata group 'faces'; the groups are location, camera, serial"),
    (["--keep", "rights,places"], "--keep: unknown metadata group 'places'"),
    (["--metadata", "print"], "unknown metadata preset 'print'; the presets are web"),
    (["--strip", "--metadata", "web"], "--strip and --metadata: --strip leaves out all the metadata"),
])
@pytest.mark.parametrize("command", ["edit", "batch"])
def test_unknown_groups_and_strip_with_groups_are_usage_errors(command, args, text, tmp_path):
    where = ["-o", str(tmp_path / "out.jpg")] if command == "edit" else ["-d", str(tmp_path / "out")]
    done = run(command, str(phone(tmp_path / "phone.jpg")), *where, *args)
    assert done.returncode == 2 and text in done.stderr
    assert not (tmp_path / "out.jpg").exists() and not (tmp_path / "out").exists()


BROKEN_EXIF = b"Exif\0\0MM\0*\0\0\0\x08\xff\xff" + b"\1" * 30
BIG_EXIF = exif_block(maker_note=b"N" * 120000, thumbnail=200)  # more than a JPEG holds
SERIALS = ["ExifIFD:LensSerialNumber", "ExifIFD:SerialNumber", "XMP-aux:SerialNumber"]


@pytest.mark.parametrize("exif, xmp, ext, line, left", [
    (BROKEN_EXIF, None, "jpg", "could not edit the EXIF block, so it was left out", ["XMP-aux:SerialNumber"]),
    (None, b"<x:xmpmeta>broken", "jpg", "could not edit the XMP packet, so it was left out",
     ["ExifIFD:LensSerialNumber", "ExifIFD:MakerNoteUnknownText", "ExifIFD:SerialNumber", "IFD1:Compression",
      "IFD1:ThumbnailImage", "IFD1:ThumbnailLength", "IFD1:ThumbnailOffset"]),
    (BIG_EXIF, None, "jpg", "the metadata is more than JPEG holds, so the embedded thumbnail and the maker notes "
                            "were left out", SERIALS),
    (BIG_EXIF, None, "png", "the EXIF block is more than libexiv2 writes (64 KB), so the embedded thumbnail and "
                            "the maker notes were left out", SERIALS),
], ids=["broken-exif", "broken-xmp", "big-exif-jpg", "big-exif-png"])
def test_what_the_editor_cannot_keep_is_left_out_with_one_line(exif, xmp, ext, line, left, tmp_path, capfd):
    obj = FrameWick.open(phone(tmp_path / "phone.jpg"))
    obj.photo.exif, obj.photo.xmp = exif or obj.photo.exif, xmp or obj.photo.xmp
    obj.write(tmp_path / f"out.{ext}", drop="location")
    assert capfd.readouterr().err.count(line) == 1
    tags = tags_of(tmp_path / f"out.{ext}")[0]
    assert leaks(tags) == left and ("IFD0:Copyright" in tags) == (exif is not BROKEN_EXIF)
    assert ("XMP-dc:Rights" in tags) == (xmp is None)


def test_info_shows_the_fields_by_group(tmp_path):
    source, web = phone(tmp_path / "phone.jpg"), tmp_path / "web.jpg"
    assert run("edit", str(source), "-o", str(web), "--metadata", "web").returncode == 0
    assert "  location: GPSLatitudeRef, GPSLatitude, GPSLongitudeRef, GPSLongitude, City" in run("info", str(source)).stdout
    first, second = (json.loads(line)["groups"] for line in run("info", "--json", str(source), str(web)).stdout.splitlines())
    assert first["rights"]["Iptc.Application2.Copyright"] == "(c) Jo IPTC" and first["location"]["Xmp.photoshop.City"] == "Lyon"
    assert second["location"] == {} and second["rights"]["Exif.Image.Copyright"] == "(c) Jo"
    assert second["rights"]["Iptc.Application2.Copyright"] == "(c) Jo IPTC"


@pytest.mark.parametrize("ext, bits", [("png", "PNG:BitDepth"), ("tif", "IFD0:BitsPerSample"), ("avif", None)])
def test_a_picture_written_at_depth_gets_the_same_fields(ext, bits, tmp_path):
    from test_deep_writing import deep_photo, gradient

    obj = deep_photo(tmp_path, gradient(64, 8), icc=adobe_like())
    obj.photo.exif, obj.photo.xmp = exif_block(), PHONE_XMP.encode()
    obj.write(tmp_path / f"deep.{ext}", drop="location,icc")
    tags = tags_of(tmp_path / f"deep.{ext}")[0]
    assert bits is None or str(tags[bits]).startswith("16")
    assert [k for k in tags if "GPS" in k or "City" in k or k.startswith("ICC")] == []
    assert tags["IFD0:Make"] == "TestCam" and tags["XMP-dc:Rights"] == "(c) Jo"


@pytest.mark.parametrize("ext", ["jpg", "tif", "png", "webp", "heic"])
@pytest.mark.parametrize("preset", [None, "web"])
def test_iptc_is_kept_and_web_drops_its_location_but_not_its_copyright(ext, preset, tmp_path):
    out = tmp_path / f"out.{ext}"
    done = run("edit", str(phone(tmp_path / "agency.jpg", records=AGENCY)), "-o", str(out),
               *(["--metadata", preset] if preset else []))
    assert done.returncode == 0, done.stderr
    found = iptc_of(tags_of(out)[0], xmp=ext not in ("jpg", "tif"))
    places = {k for k in found if any(word in k.lower() for word in ("city", "location", "country", "province", "state"))}
    assert places == (set() if preset else IPTC_PLACES["iptc" if ext in ("jpg", "tif") else "xmp"])
    if ext in ("jpg", "tif"):  # the format's own IPTC block
        assert [found.get(k) for k in ("CopyrightNotice", "By-line", "Credit", "Source", "Keywords")] == [
            "(c) Jo IPTC", "Ann By", "IPTC Credit", "IPTC Source", ["kw1", "kw2"]]
        assert (found["DateCreated"], found["TimeCreated"]) == ("2024:05:06", "07:08:09+02:00")
    else:  # carried into XMP, where the XMP has none of the same (its rights, credit and creator stay)
        assert [found.get(k) for k in ("Rights", "Credit", "Creator", "Source", "Subject", "Description")] == [
            "(c) Jo", "Agency", "Jo Maker", "IPTC Source", ["kw1", "kw2"], "A caption"]
        assert found["DateCreated"] == "2024:05:06 07:08:09+02:00"


@pytest.mark.parametrize("ext, keep, drop, present, absent", [
    ("jpg", "rights", None, ["CopyrightNotice", "Credit", "Source"], ["City", "By-line", "DateCreated", "Keywords"]),
    ("tif", None, "people,capture", ["City", "CopyrightNotice", "Keywords"], ["By-line", "DateCreated", "TimeCreated"]),
    ("jpg", "location", "location", [], ["City", "CopyrightNotice", "By-line", "Keywords"]),
])
def test_the_groups_edit_iptc_field_by_field(ext, keep, drop, present, absent, tmp_path):
    out = tmp_path / f"out.{ext}"
    FrameWick.open(phone(tmp_path / "agency.jpg", records=AGENCY)).write(out, keep=keep, drop=drop)
    found = {k.split(":", 1)[1] for k in tags_of(out)[0] if k.startswith("IPTC:")}
    assert [p for p in present if p not in found] == [] and [a for a in absent if a in found] == []


@pytest.mark.filterwarnings("ignore:Metadata Warning")  # Pillow's own, on IPTC stored as LONGs
def test_a_tiffs_iptc_stored_as_photoshop_does_is_read_and_kept(tmp_path):
    source = tmp_path / "ps.tif"
    Image.linear_gradient("L").convert("RGB").save(source, compression="tiff_lzw")
    done = subprocess.run([EXIFTOOL, "-q", "-overwrite_original", "-IPTC:City=Paris", "-IPTC:By-line=Ann",
                           "-IPTC:CopyrightNotice=(c) Me", str(source)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    FrameWick.open(source).write(tmp_path / "out.jpg", drop="location")
    FrameWick.open(source).write(tmp_path / "out.tif")
    jpeg, tiff = (iptc_of(tags) for tags in tags_of(tmp_path / "out.jpg", tmp_path / "out.tif"))
    assert (jpeg.get("City"), jpeg["By-line"], jpeg["CopyrightNotice"]) == (None, "Ann", "(c) Me")
    assert (tiff["City"], tiff["By-line"]) == ("Paris", "Ann")


@pytest.mark.parametrize("records, xmp, ext, drop, line", [
    (b"\x1c\x02\x78\xff\xf0broken", None, "jpg", "location", "could not edit the IPTC records, so they were left out"),
    (None, b"<x:xmpmeta>broken", "png", None, "the IPTC fields could not be carried into XMP, so they were left out"),
    (None, None, "gif", None, "GIF has no place for IPTC, so the IPTC fields were left out"),
], ids=["broken", "broken-xmp", "gif"])
def test_iptc_a_format_cannot_keep_is_left_out_with_one_line(records, xmp, ext, drop, line, tmp_path, capfd):
    obj = FrameWick.open(phone(tmp_path / "phone.jpg"))
    obj.photo.iptc, obj.photo.xmp = records or obj.photo.iptc, xmp or obj.photo.xmp
    obj.write(tmp_path / f"out.{ext}", drop=drop)
    assert capfd.readouterr().err.count(line) == 1
    tags = tags_of(tmp_path / f"out.{ext}")[0]
    assert not any(k.startswith("IPTC:") for k in tags)
    assert ext == "gif" or tags["IFD0:Copyright"] == "(c) Jo"


@pytest.mark.parametrize("drop", [None, "location"])
def test_iptc_past_a_segment_goes_on_in_more_segments_and_comes_back_whole(drop, tmp_path, capfd):
    caption, keywords = "ABCDEFGHIJ" * 3000, [f"keyword {n:04} " + "x" * 50 for n in range(1100)]  # 100 KB
    obj = FrameWick.open(phone(tmp_path / "phone.jpg"))
    obj.photo.iptc = b"".join(b"\x1c\x02" + bytes([n]) + len(v).to_bytes(2, "big") + v for n, v in
                              [(90, b"Lyon"), (120, caption.encode()), *((25, k.encode()) for k in keywords)])
    obj.write(tmp_path / "out.jpg", drop=drop)
    FrameWick.open(tmp_path / "out.jpg").write(tmp_path / "again.jpg")  # read back whole by framewick too
    assert "left out" not in capfd.readouterr().err
    for found in (iptc_of(tags) for tags in tags_of(tmp_path / "out.jpg", tmp_path / "again.jpg")):
        assert (found["Caption-Abstract"], found["Keywords"], found.get("City")) == (caption, keywords,
                                                                                     None if drop else "Lyon")


@pytest.mark.parametrize("kind, ext, depth", [("ultra-hdr", "jpg", None), ("phone", "tif", 16)])
def test_iptc_goes_with_a_gain_map_and_with_a_picture_written_at_depth(kind, ext, depth, tmp_path):
    source = phone(tmp_path / "agency.jpg", records=AGENCY)
    if kind == "ultra-hdr":
        from test_hdr import ultra_hdr

        data = ultra_hdr()
        app0 = 4 + int.from_bytes(data[4:6], "big")
        source.write_bytes(data[:app0] + iptc(*AGENCY) + data[app0:])
    out = tmp_path / f"out.{ext}"
    FrameWick.open(source).write(out, drop="location", depth=depth)
    found = iptc_of(tags_of(out)[0])
    assert (found.get("City"), found["CopyrightNotice"], found["By-line"]) == (None, "(c) Jo IPTC", "Ann By")
    written = FrameWick.open(out)
    assert (written.photo.gain_map is not None) == (kind == "ultra-hdr")
    assert depth is None or written.photo.deep is not None
