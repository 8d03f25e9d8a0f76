"""HEIF/HEIC through framewick.formats: the native libheif module, the Pillow plugin, and the
photo layer and command line on phone-like files (made here with our writer and heif-enc)."""

import io
import json
import os
import subprocess
import sys
import sysconfig

import pytest
from PIL import Image, ImageChops, ImageCms, ImageFilter, ImageStat

import formats_support as fs
import realfiles as R

heif = pytest.importorskip("framewick.formats.heif", reason="built without libheif")

from framewick import FrameWick, formats  # noqa: E402
from framewick.formats import _heif  # noqa: E402
from framewick.photo import PhotoError, describe  # noqa: E402

formats.register()
needs_heif_enc = pytest.mark.skipif(fs.HEIF_ENC is None, reason="heif-enc (libheif-examples) is not installed")
SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")


def encode(im, orientation=1, exif=None, xmp=None, icc=None, quality=92):
    """An HEIC file of `im` (RGB or RGBA) from our writer; `orientation` becomes irot/imir."""
    return _heif.encode(im.tobytes(), im.mode, im.width, im.height, quality, exif, xmp, icc, orientation)


def run(*args, input=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    return subprocess.run([SCRIPT, *args], capture_output=True, input=input, env=env, timeout=120)


@pytest.fixture
def phone(tmp_path):
    """A HEIC made like a phone's: a 512-tile grid, irot 90 with EXIF orientation 6, Display P3
    (nclx), EXIF and XMP; heif-enc takes the turn, EXIF and XMP from the JPEG it is given."""
    if fs.HEIF_ENC is None:
        pytest.skip("heif-enc (libheif-examples) is not installed")
    source = tmp_path / "in.jpg"
    fs.stored(fs.card((1100, 700)), 6).save(source, quality=97, exif=fs.exif(6), xmp=fs.XMP % 6)
    fs.heif_enc("-q", 90, "--cut-tiles", 512, "--colour_primaries", 12, "--transfer_characteristic", 13,
                "--matrix_coefficients", 6, "-o", tmp_path / "IMG_0001.HEIC", source)
    return tmp_path / "IMG_0001.HEIC"


# ---- reading

def test_phone_photo_opens_upright_once_in_p3_with_its_metadata(phone, tmp_path):
    with Image.open(phone) as plain:  # Pillow alone, once registered
        assert plain.format == "HEIF" and plain.info["heif"]["turned_by_container"]
        assert plain.getexif()[0x0112] == 1  # the container turned it: the tag must not again
    obj = FrameWick.open(phone)
    assert obj.image.size == (1100, 700) and fs.same_card(obj.image)
    facts = describe(obj)
    assert facts["format"] == "HEIC" and facts["icc"] == "Display P3 (from nclx)"
    assert facts["container"] == {"brand": "heic", "images": 1, "depth_map": False, "gain_map": False,
                                  "thumbnail": False}
    assert facts["metadata"]["Make"] == "Phone" and facts["metadata"]["Orientation"] == 1
    assert b'tiff:Orientation="1"' in obj.photo.xmp
    # Written out it stays upright with its metadata, and its profile.
    obj.write(tmp_path / "out.jpg")
    with Image.open(tmp_path / "out.jpg") as out:
        assert fs.same_card(out) and out.getexif()[0x0112] == 1 and out.getexif()[0x010F] == "Phone"
        assert ImageCms.getProfileDescription(ImageCms.ImageCmsProfile(io.BytesIO(out.info["icc_profile"]))).strip() \
            == "Display P3 (from nclx)"


@pytest.mark.parametrize("tag", [False, True], ids=["container only", "container and EXIF"])
@pytest.mark.parametrize("orientation", range(1, 9))
def test_container_turn_applied_once_whatever_the_exif_tag(orientation, tag):
    # Stored as a camera stores it, the turn recorded as irot/imir (and, as a phone does, the tag).
    data = encode(fs.stored(fs.card(), orientation), orientation, exif=fs.exif(orientation if tag else None),
                  xmp=fs.XMP % orientation)
    with Image.open(io.BytesIO(data)) as plain:
        assert plain.info["heif"]["turned_by_container"] == (orientation != 1)
        assert plain.getexif().get(0x0112, 1) == 1 or orientation == 1
    obj = FrameWick.open(io.BytesIO(data))
    assert obj.image.size == (96, 64) and fs.same_card(obj.image)
    assert _orientation_of(obj.photo.exif) in (None, 1)


@pytest.mark.parametrize("orientation", range(1, 9))
def test_exif_tag_alone_turns_the_picture(orientation):
    data = encode(fs.stored(fs.card(), orientation), exif=fs.exif(orientation))
    obj = FrameWick.open(io.BytesIO(data))
    assert fs.same_card(obj.image) and obj.photo.orientation == orientation
    assert _orientation_of(obj.photo.exif) == 1
    # --no-orient keeps the stored pixels.
    assert fs.same_card(FrameWick.open(io.BytesIO(data), orient=False).image) == (orientation == 1)


@pytest.mark.parametrize("tag", [False, True], ids=["no EXIF", "EXIF with the tag"])
@pytest.mark.parametrize("orientation", range(2, 9))
def test_no_orient_keeps_the_pixels_as_stored_and_the_turn_as_the_tag(orientation, tag, tmp_path):
    # The container's turn is undone like a JPEG's tag, and kept as the tag: written out, the
    # picture still shows upright in anything that reads the tag.
    stored = fs.stored(fs.card(), orientation)
    data = encode(stored, orientation, exif=fs.exif(orientation) if tag else None, xmp=fs.XMP % orientation)
    obj = FrameWick.open(io.BytesIO(data), orient=False)
    assert obj.image.size == stored.size
    assert all(fs.close(a, b) for a, b in zip(fs.corners(obj.image), fs.corners(stored)))
    assert obj.photo.orientation == orientation == describe(obj)["orientation"]
    assert _orientation_of(obj.photo.exif) == orientation
    assert f'tiff:Orientation="{orientation}"'.encode() in obj.photo.xmp
    obj.write(tmp_path / "out.jpg")
    assert fs.same_card(FrameWick.open(tmp_path / "out.jpg").image)


@needs_heif_enc
def test_no_orient_on_the_command_line_matches_heif_enc_input(tmp_path):
    fs.card((96, 64)).save(tmp_path / "card.png")
    fs.heif_enc("--rotate-cw", 90, "--flip-h", "-o", tmp_path / "t.heic", tmp_path / "card.png")
    assert run("edit", str(tmp_path / "t.heic"), "-o", str(tmp_path / "as-stored.png"), "--no-orient").returncode == 0
    with Image.open(tmp_path / "as-stored.png") as out:
        assert out.size == (96, 64) and fs.same_card(out) and out.getexif()[0x0112] == 5


def _orientation_of(exif):
    tags = Image.Exif()
    tags.load(exif)
    return tags.get(0x0112)


@needs_heif_enc
def test_heif_enc_rotation_and_mirror_are_applied(tmp_path):
    fs.card((96, 64)).save(tmp_path / "card.png")
    fs.heif_enc("--rotate-cw", 90, "--flip-h", "-o", tmp_path / "t.heic", tmp_path / "card.png")
    with Image.open(tmp_path / "t.heic") as im:
        assert im.size == (64, 96) and im.info["heif"]["turned_by_container"]
        want = fs.card((96, 64)).transpose(Image.Transpose.ROTATE_270).transpose(Image.Transpose.FLIP_LEFT_RIGHT)
        assert all(fs.close(a, b) for a, b in zip(fs.corners(im), fs.corners(want)))


@needs_heif_enc
def test_grid_of_512_tiles_decodes_whole(tmp_path):
    card = fs.card((1600, 1100))
    card.paste((250, 120, 0), (500, 500, 540, 540))  # across four tiles' corner
    card.save(tmp_path / "big.png")
    fs.heif_enc("-q", 90, "--cut-tiles", 512, "-o", tmp_path / "grid.heic", tmp_path / "big.png")
    with Image.open(tmp_path / "grid.heic") as im:
        im.load()
        assert im.size == (1600, 1100) and fs.same_card(im)
        assert all(fs.close(im.getpixel(p), (250, 120, 0), 16) for p in ((505, 505), (535, 535), (505, 535)))


@needs_heif_enc
@pytest.mark.parametrize("bits", [10, 12])
def test_deep_pictures_are_scaled_to_8_bits(bits, tmp_path):
    level = [(65535, 32768, 8192)] * 32
    fs.png16(tmp_path / "deep.png", [level] * 32)
    fs.heif_enc("-b", bits, "-q", 95, "-o", tmp_path / "deep.heic", tmp_path / "deep.png")
    obj = FrameWick.open(tmp_path / "deep.heic")
    assert obj.image.mode == "RGB" and describe(obj)["bit_depth"] == bits
    assert fs.close(obj.image.getpixel((16, 16)), (255, 128, 32), 4)


@needs_heif_enc
@pytest.mark.parametrize("args", [[], ["--full_range_flag", 0], ["--matrix_coefficients", 1], ["-p", "chroma=422"],
                                  ["-p", "chroma=444"], ["--rotate-cw", 90, "--cut-tiles", 64], ["-b", 10]],
                         ids=["601 full", "limited range", "709", "4:2:2", "4:4:4", "turned grid", "10-bit"])
def test_rows_from_the_planes_match_libheifs_own_rgb(args, tmp_path):
    """The picture is handed to Pillow from its YCbCr planes row by row (so it is never held
    whole in RGB twice); the result must be libheif's own conversion but for the chroma filter."""
    photo = Image.merge("RGB", [Image.effect_noise((160, 120), 30 + 10 * i) for i in range(3)]).filter(
        ImageFilter.GaussianBlur(3))
    photo = Image.blend(photo, fs.card((160, 120)), 0.6)
    if "-b" in args:
        rgb = photo.tobytes()
        fs.png16(tmp_path / "p.png", [[tuple(257 * rgb[3 * (y * 160 + x) + c] for c in range(3)) for x in range(160)]
                                      for y in range(120)])
    else:
        photo.save(tmp_path / "p.png")
    fs.heif_enc("-q", 85, *args, "-o", tmp_path / "p.heic", tmp_path / "p.png")
    data = (tmp_path / "p.heic").read_bytes()
    mode, size, ours = _heif.decode(data, 0)
    _, _, theirs = _heif.decode(data, 0, True)
    diff = ImageChops.difference(Image.frombytes(mode, size, ours), Image.frombytes(mode, size, theirs))
    means = ImageStat.Stat(diff).mean
    assert max(means) < (0.05 if "chroma=444" in args else 1.5), means
    with Image.open(tmp_path / "p.heic") as im:
        assert im.tobytes() == ours


@needs_heif_enc
def test_alpha_is_kept(tmp_path):
    fs.card(mode="RGBA").save(tmp_path / "a.png")
    fs.heif_enc("-q", 95, "-o", tmp_path / "a.heic", tmp_path / "a.png")
    for data in ((tmp_path / "a.heic").read_bytes(), encode(fs.card(mode="RGBA"))):
        with Image.open(io.BytesIO(data)) as im:
            assert im.mode == "RGBA" and fs.same_card(im) and abs(im.getpixel((48, 32))[3] - 200) <= 3


P3_RED = (200, 60, 60)


@needs_heif_enc
def test_p3_colour_lands_on_its_srgb_value(tmp_path):
    Image.new("RGB", (64, 64), P3_RED).save(tmp_path / "p3.png")
    fs.heif_enc("-q", 98, "--colour_primaries", 12, "--transfer_characteristic", 13, "--matrix_coefficients", 6,
                "-o", tmp_path / "p3.heic", tmp_path / "p3.png")
    want = fs.p3_to_srgb(P3_RED)
    assert not fs.close(want, P3_RED, 10)  # the check below can tell converted from not
    done = run("edit", str(tmp_path / "p3.heic"), "-o", str(tmp_path / "srgb.png"), "--srgb")
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "srgb.png") as out:
        assert fs.close(out.getpixel((32, 32)), want, 3), (out.getpixel((32, 32)), want)
    # Without --srgb the pixels stay P3 and the profile says so, so a viewer shows the same red.
    assert run("edit", str(tmp_path / "p3.heic"), "-o", str(tmp_path / "kept.png")).returncode == 0
    with Image.open(tmp_path / "kept.png") as out:
        assert fs.close(out.getpixel((32, 32)), P3_RED, 3)
        converted = ImageCms.profileToProfile(out, ImageCms.ImageCmsProfile(io.BytesIO(out.info["icc_profile"])),
                                              ImageCms.createProfile("sRGB"))
        assert fs.close(converted.getpixel((32, 32)), want, 3)


@needs_heif_enc
@pytest.mark.parametrize("primaries,transfer,name", [
    (1, 13, "sRGB (from nclx)"), (1, 1, "BT.709 (from nclx)"), (9, 14, "BT.2020 (from nclx)"),
    (9, 16, "BT.2020 PQ (from nclx)"), (12, 8, "Display P3 linear (from nclx)"),
])
def test_nclx_descriptions_become_named_profiles(primaries, transfer, name, tmp_path):
    Image.new("RGB", (16, 16), (90, 140, 200)).save(tmp_path / "c.png")
    fs.heif_enc("--colour_primaries", primaries, "--transfer_characteristic", transfer, "--matrix_coefficients", 6,
                "-o", tmp_path / "c.heic", tmp_path / "c.png")
    with Image.open(tmp_path / "c.heic") as im:
        profile = ImageCms.ImageCmsProfile(io.BytesIO(im.info["icc_profile"]))
        assert ImageCms.getProfileDescription(profile).strip() == name
        assert profile.profile.xcolor_space.strip() == "RGB"


@needs_heif_enc
def test_icc_profile_exif_and_xmp_from_the_file_are_kept(tmp_path):
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    fs.card().save(tmp_path / "c.jpg", quality=95, icc_profile=icc, exif=fs.exif(make="Maker"), xmp=fs.XMP % 1)
    fs.heif_enc("-o", tmp_path / "c.heic", tmp_path / "c.jpg")
    obj = FrameWick.open(tmp_path / "c.heic")
    assert obj.photo.icc == icc and b'dc:format="image/heic"' in obj.photo.xmp
    assert describe(obj)["metadata"]["Make"] == "Maker"


@needs_heif_enc
def test_container_facts_images_and_thumbnail(tmp_path):
    fs.card((200, 120)).save(tmp_path / "a.png")
    fs.card((120, 200)).save(tmp_path / "b.png")
    fs.heif_enc("-t", 64, "-o", tmp_path / "two.heic", tmp_path / "a.png", tmp_path / "b.png")
    facts = describe(FrameWick.open(tmp_path / "two.heic"))
    assert facts["container"]["images"] == 2 and facts["container"]["thumbnail"] is True
    assert facts["size"] == [200, 120]


def _primary_reference_to_a_thumbnail(path):
    """The file's primary-item reference (pitm) pointed, in place, at its first thumbnail."""
    data = bytearray(path.read_bytes())
    thmb, pitm = data.index(b"thmb"), data.index(b"pitm")  # 16-bit ids: thmb's 'from' is a thumbnail
    data[pitm + 8:pitm + 10] = data[thmb + 4:thmb + 6]
    path.write_bytes(data)


@needs_heif_enc
@pytest.mark.parametrize("others", [0, 1])
def test_the_top_level_picture_and_its_profile_never_a_thumbnail(others, tmp_path):
    """A picture with an ICC profile and thumbnails (heif-enc gives these an nclx box alone) whose
    primary reference names a thumbnail: the first top-level image and its profile, on every path."""
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    fs.card((300, 200)).save(tmp_path / "main.png", icc_profile=icc)
    fs.card((120, 180)).save(tmp_path / "other.png")
    source = tmp_path / "IMG_2.heic"
    fs.heif_enc("-t", 96, "-o", source, *[tmp_path / "main.png", tmp_path / "other.png"][:1 + others])
    _primary_reference_to_a_thumbnail(source)
    obj = FrameWick.open(source)
    assert obj.image.size == (300, 200) and fs.same_card(obj.image) and obj.photo.icc == icc
    assert json.loads(run("info", str(source), "--json").stdout)["size"] == [300, 200]
    assert run("edit", str(source), "-o", str(tmp_path / "e.jpg")).returncode == 0
    assert run("batch", str(source), "-d", str(tmp_path), "--format", "jpg").returncode == 0
    for out in (tmp_path / "e.jpg", tmp_path / "IMG_2.jpg"):
        with Image.open(out) as im:
            assert im.size == (300, 200) and im.info["icc_profile"] == icc


@needs_heif_enc
def test_a_phones_192_kb_exif_becomes_a_jpeg(tmp_path):
    fs.card((300, 200)).save(tmp_path / "x.png", exif=R.big_exif(160_000, 160))
    fs.heif_enc("-o", tmp_path / "x.heic", tmp_path / "x.png")
    FrameWick.open(tmp_path / "x.heic").write(tmp_path / "x.jpg")
    with Image.open(tmp_path / "x.jpg") as im:
        assert fs.same_card(im) and im.getexif()[0x010F] == "Xiaomi" and len(im.info["exif"]) <= 65533


# ---- writing

def test_written_heic_is_upright_without_irot_and_keeps_metadata(tmp_path):
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    src = tmp_path / "in.jpg"
    fs.stored(fs.card(), 6).save(src, quality=95, exif=fs.exif(6), icc_profile=icc, xmp=fs.XMP % 6)
    obj = FrameWick.open(src)
    obj.write(tmp_path / "out.heif")
    with Image.open(tmp_path / "out.heif") as im:
        assert im.format == "HEIF" and not im.info["heif"]["turned_by_container"]
        assert fs.same_card(im) and im.info["icc_profile"] == icc
        assert _orientation_of(im.info["exif"]) == 1 and im.getexif()[0x010F] == "Phone"
        assert b'tiff:Orientation="1"' in im.info["xmp"]


@pytest.mark.parametrize("orientation", range(1, 9))
def test_a_turn_given_as_heif_orientation_becomes_irot_and_the_tag(orientation):
    out = io.BytesIO()  # the pixels as stored, the tag as read from an HEIC turned upright
    fs.stored(fs.card(), orientation).save(out, "HEIF", exif=fs.exif(1), heif_orientation=orientation)
    assert _orientation_of(_heif.read(out.getvalue(), 0)["exif"]) == orientation and fs.same_card(Image.open(out))


def test_quality_comes_from_the_object(tmp_path):
    noisy = Image.merge("RGB", [Image.effect_noise((128, 128), 50 + 10 * i) for i in range(3)])
    sizes = []
    for quality in (30, 95):
        obj = FrameWick()
        obj.image = noisy
        obj.quality = quality
        obj.write(tmp_path / f"q{quality}.heic")
        sizes.append(os.path.getsize(tmp_path / f"q{quality}.heic"))
    assert sizes[0] * 2 < sizes[1]


def test_plain_pillow_saves_other_modes_and_refuses_bad_quality(tmp_path):
    for mode in ("L", "LA", "P"):
        im = fs.card().convert(mode)
        im.save(tmp_path / f"{mode}.heic")
        with Image.open(tmp_path / f"{mode}.heic") as back:
            assert back.mode == ("RGBA" if mode == "LA" else "RGB")
    with pytest.raises(ValueError, match="quality"):
        fs.card().save(tmp_path / "bad.heic", quality=101)


# ---- streams, damage and limits

@needs_heif_enc
def test_from_a_pipe_and_a_file_object(phone, tmp_path):
    data = phone.read_bytes()
    done = run("edit", "-", "-o", str(tmp_path / "piped.png"), input=data)
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "piped.png") as im:
        assert im.size == (1100, 700) and fs.same_card(im)
    info = run("info", "-", "--json", input=data)
    record = json.loads(info.stdout)
    assert record["format"] == "HEIC" and record["container"]["images"] == 1
    assert fs.same_card(FrameWick.open(io.BytesIO(data)).image)


def _damaged():
    data = encode(fs.card((160, 120)))
    n = len(data)
    cases = [(f"cut at {k}", data[:k]) for k in (16, 40, n // 4, n // 2, n - 8)]
    for seed in range(6):
        flipped = bytearray(data)
        for i in range(seed, n, max(1, n // 7)):
            flipped[i] ^= 0x5A
        cases.append((f"bits flipped {seed}", bytes(flipped)))
    return cases


@pytest.mark.parametrize("label,blob", _damaged(), ids=[c[0] for c in _damaged()])
def test_damaged_file_is_one_error_naming_it(label, blob, tmp_path):
    path = tmp_path / "broken.heic"
    path.write_bytes(blob)
    try:
        obj = FrameWick.open(path)
    except PhotoError as error:
        assert str(error).startswith(f"❌ Error: {path} ") and "\n" not in str(error)
    else:  # a flip libheif cannot notice (in the pixels) still gives a whole picture
        assert obj.image.size == (160, 120)
    done = run("info", str(path))
    assert done.returncode in (0, 1) and b"Traceback" not in done.stderr
    if done.returncode == 1:
        assert done.stderr.decode().count("\n") == 1 and str(path) in done.stderr.decode()


def test_a_failed_decode_fails_again_rather_than_reading_the_file_as_pixels(tmp_path):
    data = encode(fs.card((160, 120)))
    path = tmp_path / "cut.heic"
    path.write_bytes(data[: len(data) - 40])
    with Image.open(path) as im:
        for _ in range(2):
            with pytest.raises(OSError):
                im.load()


def test_storage_load_takes_heic(tmp_path):
    path = tmp_path / "s.heic"
    path.write_bytes(encode(fs.card()))
    obj = FrameWick.load(str(path))
    assert obj.image.format == "HEIF" and fs.same_card(obj.image)


def test_limits_reach_libheif(tmp_path, monkeypatch):
    data = encode(fs.card((300, 200)))
    with pytest.raises(_heif.LimitError):
        _heif.read(data, 1000)
    with pytest.raises(_heif.LimitError):
        _heif.decode(encode(fs.card((600, 400))), 1000)  # libheif's own limit (with room for the coded size's padding)
    with pytest.raises(PhotoError, match="too large"):
        FrameWick.open(io.BytesIO(data), max_pixels=1000)
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 10_000)  # Pillow refuses at twice this
    with pytest.raises(Image.DecompressionBombError):
        Image.open(io.BytesIO(data))
    # A caller's larger limit is what libheif gets.
    assert FrameWick.open(io.BytesIO(data), max_pixels=60_000).image.size == (300, 200)


def test_without_the_module_a_heic_names_the_packages(run_py, tmp_path):
    path = tmp_path / "x.heic"
    path.write_bytes(encode(fs.card()))
    code, out, err = run_py(f"""
        import sys
        sys.modules["framewick.formats._heif"] = None  # as if built without libheif
        from framewick import FrameWick, formats
        print(formats.register())
        try:
            FrameWick.open({str(path)!r})
        except ValueError as e:
            print(e)
    """)
    assert code == 0, err
    assert "framewick.formats.heif" not in out.splitlines()[0]
    assert out.splitlines()[1] == (f"❌ Error: {path} is a HEIF/HEIC picture, and this framewick reads none: install "
                                   "the Debian packages libheif-dev, libheif-plugin-libde265 and libheif-plugin-x265 "
                                   "(then reinstall framewick)")


# ---- every command

@needs_heif_enc
def test_every_command_takes_heic_in_and_out(phone, tmp_path):
    for args, out in (
        (["edit", str(phone), "-o", str(tmp_path / "e.heic"), "--steps", "resize:550,350"], tmp_path / "e.heic"),
        (["edit", str(phone), "-o", str(tmp_path / "e2.bin"), "--format", "heic"], tmp_path / "e2.bin"),
        (["presets", str(phone), "-o", str(tmp_path / "sheet.heif"), "--cell", "80"], tmp_path / "sheet.heif"),
    ):
        done = run(*args)
        assert done.returncode == 0, done.stderr
        with Image.open(out) as im:
            assert im.format == "HEIF"
    with Image.open(tmp_path / "e.heic") as im:
        assert im.size == (550, 350) and fs.same_card(im) and im.getexif()[0x010F] == "Phone"
    done = run("batch", str(phone), "-d", str(tmp_path / "batch"), "--format", "heic", "--steps", "grayscale")
    assert done.returncode == 0, done.stderr
    (made,) = os.listdir(tmp_path / "batch")
    assert made.endswith(".heic")
    text = run("info", str(phone)).stdout.decode()
    assert "Container: brand: heic, images: 1" in text and "Bit depth: 8" in text


def test_formats_command_and_format_errors_share_one_list():
    listed = json.loads(run("formats", "--json").stdout)
    heif_row = next(r for r in listed["formats"] if r["format"] == "HEIF")
    assert heif_row["read"] and heif_row["write"] and ".heic" in heif_row["extensions"]
    assert {"plugin": "framewick.formats.heif", "registered": True} in listed["plugins"]
    refused = run("edit", "a.png", "-o", "b.x", "--format", "nope").stderr.decode()
    assert "heic" in refused and "jxl" in refused
    steps = run("edit", "a.png", "-o", "b.png", "--steps", "convert:nope").stderr.decode()
    assert "HEIF" in steps
    assert formats.writable()["HEIC"] == "HEIF"


def test_registered_for_plain_pillow_users(run_py):
    code, out, err = run_py("""
        from PIL import Image
        import framewick.formats
        print(framewick.formats.register())
        print(Image.registered_extensions()[".heic"], Image.MIME["HEIF"])
    """)
    assert code == 0, err
    assert out.splitlines()[1] == "HEIF image/heic"
