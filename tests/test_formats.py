"""framewick.formats on Pillow's public interfaces: the list of private ones still in use, a
failed decode that stays failed, and stub formats judged by trying them."""

import io
import os
import sys

import pytest
from PIL import Image

sys.path.insert(0, os.path.dirname(__file__))

import rawdng  # noqa: E402
from framewick import formats  # noqa: E402
from framewick.formats.private import PRIVATE  # noqa: E402

formats.register()


@pytest.mark.parametrize("entry", PRIVATE, ids=lambda e: e.name)
def test_every_private_interface_listed_is_still_there(entry):
    found = entry.present()
    if found is None:
        pytest.skip(f"{entry.library} is not installed")
    assert found, f"{entry.library} no longer has {entry.name} (used in {entry.used_in}: {entry.reason})"


def heic(tmp_path):
    heif = pytest.importorskip("framewick.formats.heif", reason="built without libheif")
    data = heif._heif.encode(bytes(600 * 400 * 3), "RGB", 600, 400, 90, None, None, None, 1)
    with Image.open(io.BytesIO(data)) as probe:
        assert probe.format == "HEIF"
    picture = Image.open(io.BytesIO(data))
    picture.pixel_limit = 1000  # libheif's limits refuse the decode
    return picture, Image.DecompressionBombError


def damaged_dng(tmp_path):
    pytest.importorskip("framewick.formats._raw", reason="built without LibRaw")
    path = rawdng.write_dng(tmp_path / "shot.dng")
    picture = Image.open(path)
    assert picture.format == "RAW"
    os.truncate(path, os.path.getsize(path) // 2)  # LibRaw reads the picture data at load: cut short
    return picture, OSError


@pytest.mark.parametrize("make", [heic, damaged_dng])
def test_a_failed_decode_is_never_a_blank_picture(tmp_path, make):
    picture, refusal = make(tmp_path)
    with picture:
        for _ in range(2):  # the second load must fail too, not hand over the blank memory
            with pytest.raises(refusal):
                picture.load()
            refusal = OSError


def test_stub_formats_count_once_a_handler_is_installed(run_py):
    code, out, err = run_py("""
        from PIL import BufrStubImagePlugin
        from framewick import formats

        def bufr():
            row = next(r for r in formats.listing() if r["format"] == "BUFR")
            return row["read"], row["write"], "BUFR" in formats.writable()

        class Handler:
            def open(self, im): pass
            def load(self, im): pass
            def save(self, im, fp, filename): fp.write(b"BUFR")
        before = bufr()
        BufrStubImagePlugin.register_handler(Handler())
        print(before, bufr())
    """)
    assert code == 0, err
    assert out.split() == ["(False,", "False,", "False)", "(True,", "True,", "True)"]
