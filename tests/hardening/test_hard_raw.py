"""Untrusted camera RAW files: DNGs (from tests/rawdng.py) cut short, with bits flipped, runs of
bytes overwritten and blocks moved, read by the native reader (open, info, preview, develop at
full and half size) and by the photo layer. Each either succeeds or raises RawError (an
OSError), MemoryError, or PhotoError naming the file; nothing crashes (under `make asan` the
sanitizers see every call).

FRAMEWICK_FUZZ_CALLS scales the number of damaged files: a tenth of it (300 in the normal suite,
2,000 under `make asan`). Their outcomes are counted into the fuzz summary.
"""

import os
import random
import sys
import tempfile
import warnings

import pytest

import hard_support as hs

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import rawdng  # noqa: E402

_raw = pytest.importorskip("framewick.formats._raw")

FILES = max(40, int(os.environ.get("FRAMEWICK_FUZZ_CALLS", "3000")) // 10)
SEEDS = 8


def sources():
    """A plain DNG, one with a JPEG preview and GPS, one of 12 bits turned by its orientation."""
    known = rawdng.known_picture()
    out = []
    with tempfile.TemporaryDirectory() as d:
        for i, kwargs in enumerate(({"shot": None}, {"preview": known.resize((32, 24))},
                                    {"bits": 12, "pattern": "GBRG", "orientation": 6})):
            with open(rawdng.write_dng(os.path.join(d, f"s{i}.dng"), **kwargs), "rb") as f:
                out.append(f.read())
    return out


SOURCES = sources()


def mutate(rng, data):
    data = bytearray(data)
    kind = rng.randrange(4)
    if kind == 0:
        return bytes(data[:rng.randrange(len(data))]), "cut"
    if kind == 1:
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        return bytes(data), "flipped"
    if kind == 2:
        at, n = rng.randrange(len(data)), rng.randint(1, 64)
        data[at:at + n] = bytes(rng.randrange(256) for _ in range(n))
        return bytes(data), "overwritten"
    at, to, n = rng.randrange(len(data)), rng.randrange(len(data)), rng.randint(4, 256)
    data[to:to + n] = data[at:at + n]
    return bytes(data), "moved"


def native(blob, half):
    """Open, describe, take the preview and develop through the native reader."""
    try:
        raw = _raw.Raw(blob)
    except (_raw.RawError, MemoryError) as e:
        return type(e).__name__
    try:
        raw.info()
        try:
            raw.preview()
        except (_raw.RawError, MemoryError):
            pass
        kind, width, height, colours, bits, pixels = raw.develop(half=half)
        assert len(memoryview(pixels)) >= width * height * colours * bits // 8
        return "developed"
    except (_raw.RawError, MemoryError) as e:
        return type(e).__name__
    finally:
        raw.close()


@pytest.mark.parametrize("seed", range(SEEDS))
def test_damaged_raw_files(seed):
    rng = random.Random(seed)
    for _ in range(FILES // SEEDS):
        blob, how = mutate(rng, rng.choice(SOURCES))
        outcome = native(blob, half=rng.random() < 0.5)
        hs.CALLS["_raw.Raw.develop"] += 1
        hs.OUTCOMES[f"raw {how}: {outcome}"] += 1


@pytest.mark.parametrize("seed", range(2))
def test_damaged_raw_files_through_the_photo_layer(tmp_path, seed):
    from framewick import FrameWick
    from framewick.photo import PhotoError

    rng = random.Random(1000 + seed)
    path = tmp_path / "damaged.dng"
    for _ in range(max(10, FILES // 20)):
        blob, how = mutate(rng, rng.choice(SOURCES))
        path.write_bytes(blob)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # Pillow's TIFF reader warns on broken headers it refuses
            try:
                obj = FrameWick.open(path, raw=rng.choice([None, "half", "preview"]))
                obj.image.load()
                outcome = "opened"
            except PhotoError as e:
                assert str(path) in str(e) and "\n" not in str(e)
                outcome = "PhotoError"
            except ValueError as e:  # a damaged preview JPEG Pillow itself refuses
                outcome = type(e).__name__
        hs.CALLS["FrameWick.open(RAW)"] += 1
        hs.OUTCOMES[f"raw file {how}: {outcome}"] += 1


def test_threads_share_nothing_but_the_library():
    """Several pictures developed at once on threads (the interpreter's lock released in LibRaw)."""
    from concurrent.futures import ThreadPoolExecutor

    def develop(blob):
        return _raw.Raw(blob).develop()[1:4]

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(develop, SOURCES * 4))
    assert set(results) == {(64, 48, 3), (48, 64, 3)}
    raw = _raw.Raw(SOURCES[0])
    raw.close()
    raw.close()  # closing twice is harmless
    with pytest.raises(ValueError, match="closed"):
        raw.info()
