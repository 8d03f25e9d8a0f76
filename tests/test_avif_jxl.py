"""AVIF (Pillow's own plugin) and JPEG XL (python3-pillow-jpegxl-plugin) on framewick's way in and
out: turned once, colour profile, EXIF and XMP kept, alpha, quality, AVIF animations."""

import io
import os
import subprocess
import sysconfig

import pytest
from PIL import Image, ImageCms, features

import formats_support as fs
from framewick import FrameWick, formats
from framewick.photo import PhotoError, describe

formats.register()
SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
ICC = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()

avif = pytest.mark.skipif(not features.check("avif"), reason="this Pillow has no AVIF")
jxl = pytest.mark.skipif("framewick.formats.jxl" not in formats.registered(), reason="pillow_jxl is not installed")


def run(*args):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    return subprocess.run([SCRIPT, *args], capture_output=True, text=True, env=env, timeout=120)


def orientation_of(exif):
    tags = Image.Exif()
    tags.load(exif)
    return tags.get(0x0112, 1)


def saved(im, fmt, **kwargs):
    buffer = io.BytesIO()
    im.save(buffer, fmt, **kwargs)
    return buffer.getvalue()


@pytest.mark.parametrize("fmt", [pytest.param("AVIF", marks=avif), pytest.param("JXL", marks=jxl)])
@pytest.mark.parametrize("orientation", range(1, 9))
def test_turned_once(fmt, orientation):
    """AVIF: Pillow writes the tag as irot/imir and reads them back as the tag; JPEG XL: the tag."""
    data = saved(fs.stored(fs.card(), orientation), fmt, exif=fs.exif(orientation), quality=90)
    obj = FrameWick.open(io.BytesIO(data))
    assert obj.image.size == (96, 64) and fs.same_card(obj.image)
    assert orientation_of(obj.photo.exif) == 1 and describe(obj)["metadata"]["Make"] == "Phone"
    # Written back it is upright with the tag 1, so nothing turns it again.
    out = io.BytesIO()
    obj.write(out, format=fmt)
    again = FrameWick.open(io.BytesIO(out.getvalue()))
    assert fs.same_card(again.image) and orientation_of(again.photo.exif) == 1


@pytest.mark.parametrize("fmt,suffix", [pytest.param("AVIF", ".avif", marks=avif),
                                        pytest.param("JXL", ".jxl", marks=jxl)])
def test_profile_exif_alpha_and_quality_kept(fmt, suffix, tmp_path):
    src = tmp_path / "in.png"
    fs.card(mode="RGBA").save(src, icc_profile=ICC, exif=fs.exif(make="Maker"))
    obj = FrameWick.open(src)
    obj.write(tmp_path / f"out{suffix}")
    back = FrameWick.open(tmp_path / f"out{suffix}")
    assert back.image.mode == "RGBA" and fs.same_card(back.image) and abs(back.image.getpixel((48, 32))[3] - 200) <= 3
    assert describe(back)["metadata"]["Make"] == "Maker"
    if fmt == "AVIF":
        assert back.photo.icc == ICC
    else:  # pillow_jxl embeds no profile: the file is labelled sRGB by libjxl
        assert "sRGB" in describe(back)["icc"] or "SRG" in describe(back)["icc"]
    noisy = Image.merge("RGB", [Image.effect_noise((128, 128), 50 + 10 * i) for i in range(3)])
    sizes = []
    for quality in (30, 95):
        obj = FrameWick()
        obj.image, obj.quality = noisy, quality
        obj.write(tmp_path / f"q{quality}{suffix}")
        sizes.append(os.path.getsize(tmp_path / f"q{quality}{suffix}"))
    assert sizes[0] * 2 < sizes[1]


@avif
def test_avif_keeps_xmp():
    src = io.BytesIO(saved(fs.card(), "JPEG", xmp=fs.XMP % 1, exif=fs.exif()))
    out = io.BytesIO()
    FrameWick.open(src).write(out, format="avif")
    assert b'dc:format="image/heic"' in FrameWick.open(io.BytesIO(out.getvalue())).photo.xmp


@avif
def test_animated_avif_is_edited_frame_by_frame(tmp_path):
    frames = [Image.new("RGB", (64, 48), c) for c in ((255, 0, 0), (0, 255, 0), (0, 0, 255))]
    frames[0].save(tmp_path / "a.avif", save_all=True, append_images=frames[1:], duration=[100, 200, 300], loop=0)
    done = run("edit", str(tmp_path / "a.avif"), "-o", str(tmp_path / "b.avif"), "--steps", "grayscale")
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "b.avif") as im:
        assert im.n_frames == 3
        seen = []
        for i in range(3):
            im.seek(i)
            im.load()
            r, g, b = im.convert("RGB").getpixel((5, 5))
            seen.append((im.info.get("duration"), abs(r - g) <= 3 and abs(g - b) <= 3))
    assert seen == [(100, True), (200, True), (300, True)]


@jxl
def test_jxl_from_a_jpeg_is_the_edited_picture_not_the_original_file(tmp_path):
    """pillow_jxl would rebuild a picture opened from a JPEG from the JPEG file itself."""
    src = tmp_path / "in.jpg"
    fs.card().save(src, quality=95, exif=fs.exif(make="Secret"), icc_profile=ICC)
    done = run("edit", str(src), "-o", str(tmp_path / "out.jxl"), "--strip")
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "out.jxl") as im:
        assert fs.same_card(im) and "exif" not in im.info


@jxl
@pytest.mark.skipif(fs.HEIF_ENC is None, reason="heif-enc (libheif-examples) is not installed")
def test_jxl_gets_other_profiles_converted_to_srgb(tmp_path):
    """pillow_jxl cannot embed a profile, so a Display P3 picture is converted before writing."""
    Image.new("RGB", (16, 16), (90, 140, 200)).save(tmp_path / "c.png")
    fs.heif_enc("--colour_primaries", 12, "--transfer_characteristic", 13, "--matrix_coefficients", 6,
                "-q", 98, "-o", tmp_path / "p3.heic", tmp_path / "c.png")
    FrameWick.open(tmp_path / "p3.heic").write(tmp_path / "out.jxl")
    with Image.open(tmp_path / "out.jxl") as im:
        assert fs.close(im.getpixel((8, 8)), fs.p3_to_srgb((90, 140, 200)), 4)


@jxl
def test_jxl_is_listed_and_named_when_missing(run_py, tmp_path):
    rows = {r["format"]: r for r in formats.listing()}
    assert rows["JXL"]["read"] and rows["JXL"]["write"] and rows["JXL"]["provider"] == "pillow_jxl"
    path = tmp_path / "x.jxl"
    path.write_bytes(saved(fs.card(), "JXL"))
    code, out, err = run_py(f"""
        import sys
        sys.modules["pillow_jxl"] = None  # as if the plugin were not installed
        from framewick import FrameWick
        try:
            FrameWick.open({str(path)!r})
        except ValueError as e:
            print(e)
    """)
    assert code == 0, err
    assert out.strip().endswith("install the Debian packages python3-pillow-jpegxl-plugin")


@jxl
@pytest.mark.parametrize("keep", [0.02, 0.3, 0.98])
@pytest.mark.parametrize("command", ["info", "edit", "batch", "open"])
def test_a_cut_jxl_is_one_line_of_ours_on_every_path(tmp_path, keep, command, capfd):
    data = saved(fs.card(), "JXL", lossless=True)
    path = tmp_path / "cut.jxl"
    path.write_bytes(data[:max(12, int(len(data) * keep))])
    if command == "open":
        with pytest.raises(PhotoError) as caught:
            FrameWick.open(path)
        errors, stderr = [str(caught.value)], capfd.readouterr().err
        os.write(2, b"back\n")  # standard error is where it was
        assert stderr == "" and capfd.readouterr().err == "back\n"
    else:
        done = run(command, str(path), *{"info": [], "edit": ["-o", str(tmp_path / "out.png")],
                                          "batch": ["-d", str(tmp_path / "out"), "--no-progress"]}[command])
        errors, stderr = [line for line in done.stderr.splitlines() if "❌" in line], done.stderr
        assert done.returncode != 0 and "decode.cc" not in stderr and "libjxl" not in stderr
    assert len(errors) == 1 and f"{path} could not be decoded: premature end of input" in errors[0]
