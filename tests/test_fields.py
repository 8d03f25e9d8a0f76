"""Metadata by group when a picture is written: --keep, --drop and --metadata web through edit,
batch and write(), every output read back with ExifTool; what info shows by group."""

import concurrent.futures
import io
import json
import shutil
import subprocess

import pytest
from PIL import Image, ImageCms

from framewick import FrameWick
from framewick.batch import BatchError, Options, run_batch
from test_cli import run
from test_exiv2 import XMP, exif_block, iptc
from test_photo import adobe_like

pytest.importorskip("framewick.formats._meta", reason="built without libexiv2")
EXIFTOOL = shutil.which("exiftool")
pytestmark = pytest.mark.skipif(EXIFTOOL is None, reason="exiftool is not installed")
SRGB = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
# The capture time in XMP as well as in EXIF and IPTC.
PHONE_XMP = XMP.replace('aux:Lens="50mm"', 'aux:Lens="50mm" xmlns:xmp="http://ns.adobe.com/xap/1.0/" '
                        'xmp:CreateDate="2024-05-06T07:08:09" exif:DateTimeOriginal="2024-05-06T07:08:09"')
# What a web copy must not hold: parts of ExifTool's tag names.
LEAKS = ("GPS", "SerialNumber", "MakerNote", "City", "Country", "LocationCreated", "ThumbnailImage", "ThumbnailOffset")


def phone(path, exif=None, icc=SRGB):
    """A phone photo: EXIF with GPS, serial numbers, a maker note and a thumbnail; XMP with GPS, a
    serial, a city, creator, rights and the capture time; IPTC with a city, copyright and date."""
    out = io.BytesIO()
    Image.linear_gradient("L").resize((64, 48)).convert("RGB").save(
        out, "JPEG", quality=90, exif=exif or exif_block(), xmp=PHONE_XMP.encode(), icc_profile=icc)
    data = out.getvalue()
    app0 = 4 + int.from_bytes(data[4:6], "big")
    path.write_bytes(data[:app0] + iptc((80, b"Jo Maker"), (90, b"Lyon"), (101, b"France"),
                                        (116, b"(c) Jo IPTC"), (55, b"20240506")) + data[app0:])
    return path


def tags_of(*paths):
    done = subprocess.run([EXIFTOOL, "-j", "-a", "-u", "-G1", *map(str, paths)], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return [{k: v for k, v in found.items() if not k.startswith(("System:", "File:", "ExifTool:"))}
            for found in json.loads(done.stdout)]


def leaks(tags):
    return sorted(k for k in tags if any(leak in k.split(":", 1)[-1] for leak in LEAKS) or k.startswith("IFD1:"))


def test_the_phone_photo_holds_every_field_to_drop(tmp_path):
    tags = tags_of(phone(tmp_path / "phone.jpg"))[0]
    assert len(leaks(tags)) > 12 and "IPTC:City" in tags and "XMP-aux:SerialNumber" in tags


@pytest.mark.parametrize("ext", ["jpg", "png", "webp", "avif", "heic", "tif"])
def test_web_copy_has_no_location_serial_or_maker_note_and_keeps_rights_and_capture(ext, tmp_path):
    source = phone(tmp_path / "phone.jpg")
    out = tmp_path / f"web.{ext}"
    done = run("edit", str(source), "-o", str(out), "--metadata", "web")
    assert done.returncode == 0, done.stderr
    tags = tags_of(out)[0]
    assert leaks(tags) == []
    assert tags["IFD0:Copyright"] == "(c) Jo" and tags["XMP-dc:Rights"] == "(c) Jo"
    assert tags["ExifIFD:DateTimeOriginal"] == "2024:05:06 07:08:09" and tags["XMP-xmp:CreateDate"].startswith("2024:05:06")
    assert tags["XMP-dc:Creator"] == "Jo Maker" and tags["IFD0:Make"] == "TestCam"
    assert tags["ICC_Profile:ProfileDescription"] == "sRGB built-in"


@pytest.mark.parametrize("ext, keep, drop, present, absent", [
    ("jpg", None, None, ["GPSLatitude", "ExifIFD:SerialNumber", "MakerNote", "IFD1:"], []),
    ("webp", None, "location", ["IFD0:Make", "ExifIFD:SerialNumber", "IFD0:Copyright"], ["GPS", "City"]),
    ("jpg", "rights", None, ["IFD0:Copyright", "XMP-dc:Rights", "XMP-xmpRights:UsageTerms", "ICC_Profile:"],
     ["IFD0:Make", "DateTimeOriginal", "IFD0:Artist", "XMP-dc:Creator", "GPS", "IFD1:"]),
    ("png", ["camera"], ["serial"], ["IFD0:Make", "XMP-aux:Lens"], ["SerialNumber", "IFD0:Copyright", "XMP-dc:Rights", "GPS"]),
    ("jpg", None, ("thumbnail", "maker-notes"), ["GPSLatitude", "IFD0:Copyright"], ["IFD1:", "MakerNote"]),
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
        assert bare.tobytes() == dropped.tobytes() and "icc_profile" not in dropped.info
    tags = tags_of(tmp_path / "no-icc.png")[0]
    assert tags["IFD0:Copyright"] == "(c) Jo" and "XMP-exif:GPSLatitude" in tags


@pytest.mark.parametrize("how", ["cli", "pool", "executor"])
def test_batch_drops_the_groups_on_every_picture(how, tmp_path):
    (tmp_path / "in").mkdir()
    for name in ("a", "b"):
        phone(tmp_path / "in" / f"{name}.jpg")
    out = tmp_path / "out"
    if how == "cli":
        done = run("batch", str(tmp_path / "in"), "-d", str(out), "--format", "webp", "--drop", "location,serial",
                   "--jobs", "1")
        assert done.returncode == 0, done.stderr
    else:
        with concurrent.futures.ThreadPoolExecutor(2) if how == "executor" else _none() as executor:
            result = run_batch([str(tmp_path / "in")], str(out), "", executor, jobs=1, format="webp",
                               options=Options(drop=("location", "serial")))
        assert result.ok and len(result.written) == 2
    found = tags_of(out / "a.webp", out / "b.webp")
    assert [leaks(tags) for tags in found] == [["ExifIFD:MakerNoteUnknownText", "IFD1:Compression", "IFD1:ThumbnailImage",
                                                 "IFD1:ThumbnailLength", "IFD1:ThumbnailOffset"]] * 2
    assert all(tags["IFD0:Make"] == "TestCam" for tags in found)


class _none:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize("args, text", [
    (["--drop", "faces"], "--drop: unknown metadata group 'faces'; the groups are location, camera, serial"),
    (["--keep", "rights,places"], "--keep: unknown metadata group 'places'"),
    (["--metadata", "print"], "unknown metadata preset 'print'; the presets are web"),
    (["--strip", "--drop", "location"], "--strip and --drop: --strip leaves out all the metadata"),
    (["--strip", "--metadata", "web"], "give one of them"),
])
@pytest.mark.parametrize("command", ["edit", "batch"])
def test_unknown_groups_and_strip_with_groups_are_usage_errors(command, args, text, tmp_path):
    source = phone(tmp_path / "phone.jpg")
    where = ["-o", str(tmp_path / "out.jpg")] if command == "edit" else ["-d", str(tmp_path / "out")]
    done = run(command, str(source), *where, *args)
    assert done.returncode == 2 and text in done.stderr
    assert not (tmp_path / "out.jpg").exists() and not (tmp_path / "out").exists()


@pytest.mark.parametrize("call", [
    lambda obj, tmp: obj.write(tmp / "out.jpg", drop="faces"),
    lambda obj, tmp: obj.write(tmp / "out.jpg", keep=["rights", 3]),
    lambda obj, tmp: run_batch([str(tmp / "phone.jpg")], str(tmp / "out"), "", options=Options(keep=("gps",))),
])
def test_api_refuses_unknown_groups_before_writing(call, tmp_path):
    obj = FrameWick.open(phone(tmp_path / "phone.jpg"))
    with pytest.raises((ValueError, BatchError), match="unknown metadata group|group names"):
        call(obj, tmp_path)
    assert not (tmp_path / "out.jpg").exists() and not (tmp_path / "out").exists()


BROKEN_EXIF = b"Exif\0\0MM\0*\0\0\0\x08\xff\xff" + b"\1" * 30


@pytest.mark.parametrize("exif, xmp, gone, kept, line", [
    (BROKEN_EXIF, None, "IFD0:", "XMP-dc:Rights", "could not edit the EXIF block, so it was left out"),
    (None, b"<x:xmpmeta>broken", "XMP-", "IFD0:Copyright", "could not edit the XMP packet, so it was left out"),
])
def test_a_block_libexiv2_cannot_edit_is_left_out_with_a_line(exif, xmp, gone, kept, line, tmp_path, capfd):
    obj = FrameWick.open(phone(tmp_path / "phone.jpg"))
    obj.photo.exif, obj.photo.xmp = exif or obj.photo.exif, xmp or obj.photo.xmp
    obj.write(tmp_path / "out.jpg", drop="location")
    err = capfd.readouterr().err
    assert err.count(line) == 1
    names = " ".join(tags_of(tmp_path / "out.jpg")[0])
    assert gone not in names and kept in names and "GPS" not in names


@pytest.mark.parametrize("ext, line", [
    ("jpg", "the metadata is more than JPEG holds, so the embedded thumbnail and the maker notes were left out"),
    ("png", "the EXIF block is more than libexiv2 writes (64 KB), so the embedded thumbnail and the maker notes "
            "were left out"),
])
def test_an_oversized_exif_block_is_cut_with_one_line(ext, line, tmp_path, capfd):
    obj = FrameWick.open(phone(tmp_path / "big.jpg"))
    obj.photo.exif = exif_block(maker_note=b"N" * 120000, thumbnail=200)  # more than a JPEG file holds
    obj.write(tmp_path / f"out.{ext}", drop="location")
    assert capfd.readouterr().err.count(line) == 1
    tags = tags_of(tmp_path / f"out.{ext}")[0]
    assert tags["IFD0:Copyright"] == "(c) Jo" and tags["IFD0:Make"] == "TestCam" and leaks(tags) == [
        "ExifIFD:LensSerialNumber", "ExifIFD:SerialNumber", "XMP-aux:SerialNumber"]


def test_info_shows_the_fields_by_group(tmp_path):
    source = phone(tmp_path / "phone.jpg")
    web = tmp_path / "web.jpg"
    assert run("edit", str(source), "-o", str(web), "--metadata", "web").returncode == 0
    text = run("info", str(source)).stdout
    assert "  location: GPSLatitudeRef, GPSLatitude, GPSLongitudeRef, GPSLongitude, City" in text
    assert "  maker-notes: MakerNote (EXIF)" in text
    records = [json.loads(line) for line in run("info", "--json", str(source), str(web)).stdout.splitlines()]
    assert records[0]["groups"]["rights"]["Iptc.Application2.Copyright"] == "(c) Jo IPTC"
    assert records[0]["groups"]["location"]["Xmp.photoshop.City"] == "Lyon"
    assert [r["groups"]["location"] for r in records] == [records[0]["groups"]["location"], {}]
    assert records[1]["groups"]["rights"]["Exif.Image.Copyright"] == "(c) Jo"


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
