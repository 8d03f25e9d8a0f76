"""Groups of near-identical pictures, by the perceptual hash.

Each picture is hashed once (`perceptual_hash` of a small copy, decoded small where the format
allows). Two pictures are near when their hashes differ in at most `threshold` bits, and a
group is every picture joined to another of it by such a pair.

Finding the pairs does not compare every hash with every other:

1. Cut each 64-bit hash into `threshold + 1` pieces at fixed places. Two hashes differing in at
   most `threshold` bits agree exactly on at least one piece (there are more pieces than
   differing bits), so every near pair shares a (piece, value) key.
2. Bucket the hashes by each of their keys; compare only hashes within one bucket, and join
   those that are near (union-find).
With a threshold of 15 or more a piece is shorter than 4 bits, the buckets hold most of the
hashes and the pairs are all compared.
"""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Final

__all__ = ["BITS", "DEFAULT_THRESHOLD", "Group", "group_hashes"]

#: Bits in the perceptual hash.
BITS: Final = 64
#: The default largest distance: a resized, recompressed or lightly edited copy stays well
#: within it, while unrelated pictures differ in about half of the 64 bits.
DEFAULT_THRESHOLD: Final = 8
#: The threshold from which the pieces are too short for buckets to help.
ALL_PAIRS_FROM: Final = 15


@dataclass
class Group:
    """Near-identical pictures: their names, hashes, and each one's distance to the first."""

    names: list[str] = field(default_factory=list)
    hashes: list[str] = field(default_factory=list)
    distances: list[int] = field(default_factory=list)


def _pieces(threshold: int) -> list[tuple[int, int]]:
    """`threshold + 1` (shift, mask) pieces covering the 64 bits, as even as they come."""
    count = threshold + 1
    pieces, start = [], 0
    for index in range(count):
        width = BITS // count + (1 if index < BITS % count else 0)
        pieces.append((start, (1 << width) - 1))
        start += width
    return pieces


def _candidates(values: Sequence[int], threshold: int) -> Iterable[tuple[int, int]]:
    """Pairs of indices that may be near (every near pair among them)."""
    if threshold >= ALL_PAIRS_FROM:
        yield from ((i, j) for i in range(len(values)) for j in range(i + 1, len(values)))
        return
    seen: set[tuple[int, int]] = set()
    for shift, mask in _pieces(threshold):
        buckets: dict[int, list[int]] = defaultdict(list)
        for index, value in enumerate(values):
            buckets[(value >> shift) & mask].append(index)
        for members in buckets.values():
            for a in range(len(members)):
                for b in range(a + 1, len(members)):
                    pair = (members[a], members[b])
                    if pair not in seen:
                        seen.add(pair)
                        yield pair


def group_hashes(items: Sequence[tuple[str, str]], threshold: int = DEFAULT_THRESHOLD) -> list[Group]:
    """The groups of two or more among (name, hex hash) `items`, in the order of their first
    member; within a group, in the order given."""
    if not 0 <= threshold < BITS:
        raise ValueError(f"the threshold is a number of bits from 0 to {BITS - 1}")
    values = [int(h, 16) for _, h in items]
    parent = list(range(len(values)))

    def root(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for i, j in _candidates(values, threshold):
        if (values[i] ^ values[j]).bit_count() <= threshold:
            a, b = root(i), root(j)
            if a != b:
                parent[max(a, b)] = min(a, b)
    members: dict[int, list[int]] = defaultdict(list)
    for index in range(len(values)):
        members[root(index)].append(index)
    groups = []
    for indices in sorted(members.values(), key=lambda found: found[0]):
        if len(indices) < 2:
            continue
        first = values[indices[0]]
        groups.append(Group([items[i][0] for i in indices], [items[i][1] for i in indices],
                            [(values[i] ^ first).bit_count() for i in indices]))
    return groups
