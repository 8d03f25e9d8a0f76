"""Untrusted gain-map JPEGs: an Ultra HDR file mutated (bytes flipped, cut short, segment lengths and
MPF offsets overwritten) goes through the native module. probe answers without raising; gain_map
decodes a whole map or raises UhdrError; nothing crashes (nor reaches the sanitizers under `make asan`).

FRAMEWICK_UHDR_FUZZ sets the number of mutated files (default 300).
"""

import os
import random
import sys

import pytest

_uhdr = pytest.importorskip("framewick.formats._uhdr", reason="built without libultrahdr")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
from test_uhdr import ultra_hdr_by_hand  # noqa: E402

CASES = int(os.environ.get("FRAMEWICK_UHDR_FUZZ", "300"))


def mutate(data, rng):
    b = bytearray(data)
    how = rng.choice(["flip", "cut", "length", "marker"])
    if how == "flip":
        for _ in range(rng.randint(1, 8)):
            b[rng.randrange(len(b))] = rng.randrange(256)
    elif how == "cut":
        del b[rng.randrange(2, len(b)):]
    else:  # a segment's length or an MPF offset, or a marker byte, overwritten
        at = rng.choice([i for i in range(len(b) - 3) if b[i] == 0xFF and b[i + 1] != 0])
        b[at + (2 if how == "length" else 1):at + 4] = bytes(rng.randrange(256) for _ in range(2 if how == "length" else 3))
    return bytes(b), how


def test_mutated_gain_map_jpegs_are_answered_or_refused():
    rng = random.Random(32)
    original = ultra_hdr_by_hand()[0]
    seen = {"map": 0, "error": 0, "none": 0}
    for _ in range(CASES):
        blob, how = mutate(original, rng)
        p = _uhdr.probe(blob)
        if p is None:
            seen["none"] += 1
            continue
        try:
            mode, (w, h), pixels, _ = _uhdr.gain_map(blob, 1 << 20)
            assert len(pixels) == w * h * len(mode), how
            seen["map"] += 1
        except _uhdr.UhdrError as error:
            assert "\n" not in str(error), how
            seen["error"] += 1
    assert seen["map"] and seen["error"]
    print(f"framewick uhdr fuzz: {CASES} mutated files, {seen}")
