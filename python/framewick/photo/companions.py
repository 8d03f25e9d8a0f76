"""Companions of a photo's picture: what rides beside the 8-bit `obj.image` (its pixels at their
depth, its gain map), each valid only while the picture it was made for is still the object's.

A companion remembers its picture by a weak reference and is valid for a picture only when that
is the very same object (identity, as `Photo.frames_of`). Code that replaces `obj.image` behind
the runner's back (a method called directly, a picture assigned) thereby leaves the companion
pointing at a picture that is no longer there: it is never paired with a picture it does not
describe. The weak reference holds nothing alive: once the old picture is gone, so is the pairing.

The runner, after a step, either carries a companion to the step's result (`paired` gives a
copy attached to the new picture) or drops it with one line (`drop`), hidden while quiet.
"""

from __future__ import annotations

import copy
import weakref
from typing import Any, TypeVar

from framewick.status import note

C = TypeVar("C", bound="Companion")

#: The companions a photo can carry, by the `Photo` attribute holding each, and the end of the
#: line said when a step cannot carry it ({step} is the step as written in the chain).
KINDS: dict[str, str] = {
    "deep": "{step} works at 8 bits, so the picture is 8-bit from here",
    "gain_map": "{step} cannot carry the gain map, so the picture is SDR from here",
}


class Companion:
    """Something a photo carries beside its 8-bit picture, paired with that picture by identity."""

    _of: weakref.ReferenceType[Any] | None = None

    def attach(self: C, picture: Any) -> C:
        """Pair with `picture` (in place); returns itself."""
        self._of = weakref.ref(picture)
        return self

    def valid_for(self, picture: Any) -> bool:
        """Whether this companion still belongs to `picture` (the very object it was paired with)."""
        return self._of is not None and picture is not None and self._of() is picture

    def paired(self: C, picture: Any) -> C:
        """A shallow copy paired with `picture` (the pixels shared, never changed in place), so a
        copy of the photo that still holds this one keeps its own pairing."""
        twin = copy.copy(self)
        return twin.attach(picture)


def attach(photo: Any, kind: str, companion: Companion | None, picture: Any) -> None:
    """Give `photo` the `kind` companion, paired with `picture` (None: the photo has none)."""
    _known(kind)
    setattr(photo, kind, companion.attach(picture) if companion is not None else None)


def valid(photo: Any, kind: str, picture: Any) -> Any:
    """The photo's `kind` companion when it still belongs to `picture`, else None."""
    _known(kind)
    companion = getattr(photo, kind, None) if photo is not None else None
    if isinstance(companion, Companion) and companion.valid_for(picture):
        return companion
    return None


def carried(photo: Any, picture: Any) -> dict[str, Any]:
    """Every companion of `photo` still valid for `picture`, by kind."""
    found = {}
    for kind in KINDS:
        companion = valid(photo, kind, picture)
        if companion is not None:
            found[kind] = companion
    return found


def reattach(photo: Any, kinds: dict[str, Companion | None], picture: Any) -> None:
    """Store each of `kinds` on `photo`, paired with `picture` (a step's new result); a kind
    given as None is dropped silently."""
    for kind, companion in kinds.items():
        attach(photo, kind, companion.paired(picture) if companion is not None else None, picture)


def drop(photo: Any, kind: str, step: str, name: str = "") -> None:
    """Drop the photo's `kind` companion because `step` (as written in the chain) cannot carry
    it, with the one line that says so on standard error (nothing while quiet)."""
    line = KINDS[kind].format(step=step)
    setattr(photo, kind, None)
    note(f"framewick: {name or getattr(photo, 'name', '') or '<picture>'}: {line}")


def discard(photo: Any, kind: str) -> None:
    """Drop the photo's `kind` companion on purpose, without a word."""
    _known(kind)
    setattr(photo, kind, None)


def _known(kind: str) -> None:
    if kind not in KINDS:
        raise KeyError(f"no companion of a photo is called {kind!r}")
