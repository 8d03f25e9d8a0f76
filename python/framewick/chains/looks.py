"""Looks: named chains kept in TOML files, which chains use as ``look:NAME`` or ``preset:NAME``.

A looks file maps names to chains in the text form, each with an optional description::

    [looks.film]
    steps = "lut:film.cube,0.8 | contrast:1.1 | border:12,color=white"
    description = "Warm film grade with a white border"

Paths in a look's steps (``lut:``, ``watermark:``, ``logo:`` and ``exposure:`` files) are relative to the
looks file. ``$XDG_CONFIG_HOME/framewick/looks.toml`` (``~/.config/framewick/looks.toml``
without it) is read on first use when it exists; `load` adds more files, and a later file wins
on a name. A look cannot take the name of a built-in preset, so the presets stay as they are.

In a chain, ``look:NAME`` is replaced by the look's steps, and so is ``preset:NAME`` when no
preset has that name; a look may use another look. This module is the registry a chain asks by
default (`find`, `all_looks`); the expansion itself is the chain's (`framewick.chains.chain`),
which takes any other resolver as well. Nothing here imports Pillow.
"""

from __future__ import annotations

import os
import re
import stat
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Final

from framewick.steps import MAX_STEPS as TABLE_MAX_STEPS
from framewick.steps import builtin_presets, unusable_path

__all__ = ["Look", "LooksError", "all_looks", "default_path", "find", "load", "reset"]

#: Looks inside looks can multiply; a chain longer than this, all its looks expanded, is
#: refused rather than built (the chain's own bound, framewick.steps.MAX_STEPS).
MAX_STEPS: Final = TABLE_MAX_STEPS
#: How deep looks may use looks (a look using a look is 2 deep).
MAX_DEPTH: Final = 32
#: How deep a looks file may nest tables and arrays; a look needs 2 ([looks.NAME]).
MAX_NESTING: Final = 32
MAX_FILE_BYTES: Final = 1 << 20
_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_-]*")


class LooksError(ValueError):
    """A looks file that cannot be used; the text is one line naming the file."""


@dataclass(frozen=True)
class Look:
    """A named chain: its steps in the text form, a description, and the file it came from."""

    name: str
    steps: str
    description: str
    file: str

    @property
    def directory(self) -> str:
        """Where the paths in the steps are relative to."""
        return os.path.dirname(self.file)


_lock = threading.RLock()
_looks: dict[str, Look] = {}
_default_read = False


def default_path() -> str:
    """``$XDG_CONFIG_HOME/framewick/looks.toml``; a relative or empty XDG_CONFIG_HOME is ignored."""
    base = os.environ.get("XDG_CONFIG_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "framewick", "looks.toml")


def _read_default() -> None:
    """Read the default file once, before any other (so the others win over it)."""
    global _default_read
    if _default_read:
        return
    with _lock:
        if _default_read:
            return
        path = default_path()
        if os.path.isfile(path):
            _add(_read(path))  # a broken file raises here, and again at the next use
        _default_read = True


def _add(looks: Sequence[Look]) -> None:
    for look in looks:
        _looks[look.name] = look


def load(path: str | os.PathLike[str]) -> list[Look]:
    """Add the looks of the file at `path` (its looks win over those read before); return them."""
    with _lock:
        _read_default()
        looks = _read(path)
        _add(looks)
    return looks


def find(name: str) -> Look | None:
    """The look called `name` (any case), or None."""
    _read_default()
    return _looks.get(name.lower())


def all_looks() -> list[Look]:
    """Every look known, in the order their names were first read."""
    _read_default()
    with _lock:
        return list(_looks.values())


def reset() -> None:
    """Forget every look, and read the default file again at the next use."""
    global _default_read
    with _lock:
        _looks.clear()
        _default_read = False


# ---------------------------------------------------------------------------------------------
# Reading a looks file


def _read(path: str | os.PathLike[str]) -> list[Look]:
    try:
        where = os.fsdecode(os.fspath(path))
    except TypeError:
        raise LooksError(f"a looks file is given by its path, not {type(path).__name__}") from None
    data = _read_bytes(where)
    import tomllib

    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise LooksError(f"{where}: not a looks file (not UTF-8 text)") from None
    _check_nesting(text, where)
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise LooksError(f"{where}: not a looks file ({e})") from None
    except RecursionError:  # nesting is bounded above; this is a last line of defence
        raise LooksError(f"{where}: not a looks file (nested too deeply)") from None
    extra = sorted(set(document) - {"looks"})
    if extra:
        raise LooksError(f"{where}: unknown key {extra[0]!r}; a looks file holds [looks.NAME] tables")
    tables = document.get("looks", {})
    if not isinstance(tables, dict):
        raise LooksError(f"{where}: 'looks' is a table of looks, e.g. [looks.film]")
    origin = os.path.abspath(where)
    found: dict[str, Look] = {}
    for name, entry in tables.items():
        found_name = _check_name(where, name)
        if found_name in found:
            raise LooksError(f"{where}: two looks named {found_name!r} (names are not case-sensitive)")
        if not isinstance(entry, dict):
            raise LooksError(f"{where}: look {name!r} is a table with steps = \"...\"")
        unknown = sorted(set(entry) - {"steps", "description"})
        if unknown:
            raise LooksError(f"{where}: look {name!r}: unknown key {unknown[0]!r} (a look has steps and description)")
        steps, description = entry.get("steps"), entry.get("description", "")
        if not isinstance(steps, str) or not steps.strip():
            raise LooksError(f"{where}: look {name!r} needs steps, a chain as text, e.g. steps = \"preset:noir | border:10\"")
        if not isinstance(description, str):
            raise LooksError(f"{where}: look {name!r}: the description is text")
        found[found_name] = Look(found_name, steps.strip(), description.strip(), origin)
    return list(found.values())


# TOML's strings and comments, where brackets do not nest, and the brackets that do.
_TOML_TOKEN = re.compile(r'"""(?:[^\\]|\\.)*?(?:"""|\Z)|\'\'\'.*?(?:\'\'\'|\Z)|"(?:[^"\\\n]|\\.)*"?|'
                         r"'[^'\n]*'?|#[^\n]*|[\[\]{}]", re.DOTALL)


def _check_nesting(text: str, where: str) -> None:
    """Refuse arrays and tables nested deeper than MAX_NESTING before the TOML reader recurses."""
    depth = 0
    for token in _TOML_TOKEN.finditer(text):
        c = token.group()
        if c in ("[", "{"):
            depth += 1
            if depth > MAX_NESTING:
                raise LooksError(f"{where}: not a looks file (arrays or tables nested deeper than {MAX_NESTING} "
                                 "levels; a look is [looks.NAME] with steps = \"...\")")
        elif c in ("]", "}"):
            depth = max(0, depth - 1)


def _read_bytes(where: str) -> bytes:
    reason = unusable_path(where)
    if reason:
        raise LooksError(f"{where!r}: not a looks file ({reason})")
    try:
        info = os.stat(where)
        if not stat.S_ISREG(info.st_mode):
            raise LooksError(f"{where}: not a looks file (not a regular file)")
        if info.st_size > MAX_FILE_BYTES:
            raise LooksError(f"{where}: not a looks file (larger than {MAX_FILE_BYTES >> 20} MiB)")
        with open(where, "rb") as f:
            return f.read(MAX_FILE_BYTES + 1)
    except FileNotFoundError:
        raise LooksError(f"{where}: no such looks file") from None
    except OSError as e:
        raise LooksError(f"{where}: cannot read the looks file ({e.strerror or e})") from None


def _check_name(where: str, name: str) -> str:
    if not _NAME.fullmatch(name):
        raise LooksError(f"{where}: {name!r} is not a look name (letters, digits, '_' and '-')")
    lowered = name.lower()
    if lowered in _builtin_names():
        raise LooksError(f"{where}: look {name!r} has the name of a built-in preset, which a looks file "
                         "cannot replace; choose another name")
    return lowered


def _builtin_names() -> frozenset[str]:
    return frozenset(builtin_presets())
