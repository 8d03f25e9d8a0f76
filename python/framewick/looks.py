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
preset has that name; a look may use another look. Nothing here imports Pillow.
"""

from __future__ import annotations

import difflib
import os
import re
import stat
import sys
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Final

from framewick.chain import ChainError
from framewick.steps import MAX_STEPS as TABLE_MAX_STEPS
from framewick.steps import too_long, unusable_path
from framewick.chain import _split as _chain_split
from framewick.chain import _unquote

__all__ = ["Look", "LooksError", "all_looks", "default_path", "expand", "expand_parts", "find", "load", "reset"]

#: The built-in presets, in their table order; a looks file cannot reuse these names.
BUILTIN_PRESETS: Final = ("vintage", "cinematic", "vibrant", "dreamy", "noir", "warm", "sepia", "cool")
#: Where a look's steps may name a file: the step's method and that parameter.
PATH_PARAMS: Final = {"apply_lut": "path", "add_watermark": "watermark_path", "double_exposure": "overlay_image_path",
                      "place_watermark": "watermark_path"}
_METHODS: Final = {"lut": "apply_lut", "apply_lut": "apply_lut", "watermark": "add_watermark",
                   "add_watermark": "add_watermark", "exposure": "double_exposure",
                   "double_exposure": "double_exposure", "preset": "apply_preset",
                   "apply_preset": "apply_preset", "look": "look", "logo": "place_watermark",
                   "place_watermark": "place_watermark"}
#: Looks inside looks can multiply; a chain longer than this, all its looks expanded, is
#: refused rather than built (the chain's own bound, framewick.steps.MAX_STEPS).
MAX_STEPS: Final = TABLE_MAX_STEPS
#: How deep looks may use looks (a look using a look is 2 deep).
MAX_DEPTH: Final = 32
#: How deep a looks file may nest tables and arrays; a look needs 2 ([looks.NAME]).
MAX_NESTING: Final = 32
MAX_FILE_BYTES: Final = 1 << 20
_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_-]*")
_KEYWORD = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\s*=(.*)", re.DOTALL)
_QUOTES = "'\""


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
    try:
        from framewick.steps import PRESET_NAMES  # the step table, where it lists them
    except ImportError:
        PRESET_NAMES = BUILTIN_PRESETS
    return frozenset(PRESET_NAMES) | frozenset(BUILTIN_PRESETS)


def _preset_names() -> frozenset[str]:
    """The presets a preset:NAME step reaches: the built-in ones, and any that a program added
    to the effects table (only looked at when that module is already loaded: no import here)."""
    effects = sys.modules.get("framewick.modules.effects")
    table = getattr(effects, "PRESETS", None)
    names = _builtin_names()
    if isinstance(table, dict):
        names |= frozenset(k for k in table if isinstance(k, str))
    return names


# ---------------------------------------------------------------------------------------------
# Looks in chains


def expand_parts(parts: Sequence[str], steps: Any = None) -> list[str]:
    """The steps of a chain, split at '|', with each look step replaced by the look's steps.

    Steps that are not looks come back as written; a look's steps come back with their file
    paths made absolute, each checked first (against `steps`, the chain's step catalogue) so
    that a step a look gets wrong is reported with the look and its file. Raises ChainError for
    an unknown look, a cycle or a bad step in a look.
    """
    from framewick.chain import Chain

    result: list[str] = []
    try:
        for part in parts:
            blended = _blended(part)
            if blended is not None:  # the chain reads it as one step holding the look's steps
                _expand(blended[0], (), [], MAX_STEPS)  # an unknown look or a cycle is reported here
                result.append(blended[1])
                continue
            name = _look_in(part)
            if name is None:
                result.append(part)
                error = too_long(len(result))
                if error is not None:
                    raise error
                continue
            out: list[_Expanded] = []
            _expand(name, (), out, MAX_STEPS - len(result))
            for text, _, trail, number, file in out:
                try:
                    Chain.parse(text, steps)
                except ChainError as e:
                    line = str(e)
                    if line.startswith("step 1"):
                        line = f"step {number}" + line[len("step 1"):]
                    raise ChainError(f"{_trail(trail)} in {file}: {line}") from None
                result.append(text)
    except LooksError as e:  # a broken default file, met while looking a name up
        raise ChainError(str(e)) from None
    return result


def expand(name: str) -> list[tuple[str, str]]:
    """The steps of look `name`, the looks it uses expanded in place: (step text, directory).

    The step texts already carry absolute paths; the directory is the looks file's.
    """
    out: list[_Expanded] = []
    _expand(name, (), out, MAX_STEPS)
    return [(text, base) for text, base, *_ in out]


# A step of an expanded look: its text, its base directory, the looks that led to it, its
# number within its own look and that look's file.
_Expanded = tuple[str, str, tuple[str, ...], int, str]


def _trail(names: Sequence[str]) -> str:
    return "look " + " -> ".join(repr(n) for n in names)


def _expand(name: str, trail: tuple[str, ...], out: list[_Expanded], limit: int) -> None:
    """Append the steps of look `name` to `out`, refusing more than `limit` steps in `out` and
    looks used more than MAX_DEPTH deep (the trail is the looks that led here)."""
    trail = (*trail, name)
    look = find(name)
    if look is None:
        known = [look.name for look in all_looks()]
        hint = difflib.get_close_matches(name.lower(), known, n=3, cutoff=0.6)
        more = f"; did you mean {' or '.join(repr(h) for h in hint)}?" if hint else ""
        user = find(trail[-2]) if len(trail) > 1 else None
        used = f" (used in {user.file})" if user else ""
        raise ChainError(f"{_trail(trail)}: no such look{used}{more}")
    if len(trail) > MAX_DEPTH:
        shown = _trail((*trail[:2], "...", *trail[-2:])).replace("'...'", "...")
        raise ChainError(f"{shown} in {look.file}: looks used inside looks more than {MAX_DEPTH} deep "
                         f"(at most {MAX_DEPTH} levels)")
    try:
        parts = _split(look.steps, "|")
    except ValueError as e:
        raise ChainError(f"{_trail(trail)} in {look.file}: {e}") from None
    for number, part in enumerate(map(str.strip, parts), 1):
        blended = _blended(part)
        if blended is not None:
            if blended[0].lower() in (n.lower() for n in trail):
                raise ChainError(f"{_trail((*trail, blended[0]))}: a cycle")
            _expand(blended[0], trail, [], MAX_STEPS)  # checked for cycles through it; the chain expands it
            out.append((blended[1], look.directory, trail, number, look.file))
            continue
        inner = _look_in(part)
        if inner is None:
            out.append((_absolute(part, look.directory), look.directory, trail, number, look.file))
        elif inner.lower() in (n.lower() for n in trail):
            raise ChainError(f"{_trail((*trail, inner))}: a cycle")
        else:
            _expand(inner, trail, out, limit)
        if len(out) > limit:
            first = find(trail[0]) or look
            raise ChainError(f"{_trail(trail[:1])} in {first.file}: the chain would have more than {MAX_STEPS:,} steps once its "
                             f"looks are expanded (at most {MAX_STEPS:,})")


def _look_in(part: str) -> str | None:
    """The look a step names: look:NAME, or preset:NAME where no preset is called NAME."""
    name, colon, rest = part.partition(":")
    method = _METHODS.get(name.strip().lower().replace("-", "_"))
    if method not in ("look", "apply_preset"):
        return None
    value = _single(rest, "name" if method == "look" else "preset_name") if colon else None
    if method == "look":
        if value is None or not value:
            raise ChainError(f"step {part.strip()!r}: write look:NAME with one look name")
        return value
    if value is None or value.lower() in _preset_names() or find(value) is None:
        return None  # a preset, or an unknown name the preset step itself reports
    return value


def _blended(part: str) -> tuple[str, str] | None:
    """A look given a strength (look:NAME,strength=S, or preset:NAME naming a look): its name,
    and the step as the chain reads it (look:NAME,strength=S); None for any other step."""
    name, colon, rest = part.partition(":")
    method = _METHODS.get(name.strip().lower().replace("-", "_"))
    if method not in ("look", "apply_preset") or not colon:
        return None
    try:
        items = [item.strip() for item in _split(rest, ",")]
    except ValueError:
        return None
    strengths = [item for item in items if (m := _KEYWORD.fullmatch(item)) and m.group(1) == "strength"]
    others = [item for item in items if item not in strengths]
    if len(strengths) != 1 or len(others) != 1:
        return None
    value = _single(others[0], "name" if method == "look" else "preset_name")
    if not value or (method == "apply_preset" and (value.lower() in _preset_names() or find(value) is None)):
        return None
    return value, f"look:{value},{strengths[0]}"  # a look's name needs no quotes (or is no look)


def _single(rest: str, keyword: str) -> str | None:
    """The one value of a step's arguments, given plainly or as keyword=...; None otherwise."""
    try:
        items = _split(rest, ",")
    except ValueError:
        return None
    if len(items) != 1:
        return None
    text = items[0].strip()
    match = _KEYWORD.fullmatch(text) if text[:1] not in _QUOTES else None
    if match:
        if match.group(1) != keyword:
            return None
        text = match.group(2).strip()
    return _unquote(text) if text[:1] in _QUOTES else text


def _absolute(part: str, base: str) -> str:
    """`part` with its file argument (if the step takes one) made absolute against `base`."""
    name, colon, rest = part.partition(":")
    method = _METHODS.get(name.strip().lower().replace("-", "_"), "")
    param = PATH_PARAMS.get(method)
    if param is None or not colon:
        return part
    items = _split(rest, ",")
    for index, item in enumerate(items):
        text = item.strip()
        match = _KEYWORD.fullmatch(text) if text[:1] not in _QUOTES + "(" else None
        if match:
            if match.group(1) == param:
                items[index] = f"{param}={_rebased(match.group(2), base)}"
        elif index == 0:
            items[index] = _rebased(text, base)
    return f"{name}:{','.join(items)}"


def _rebased(value: str, base: str) -> str:
    text = value.strip()
    if text[:1] in _QUOTES:
        text = _unquote(text)
    if not text or os.path.isabs(text):
        return value
    path = os.path.normpath(os.path.join(base, text))
    return '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _split(text: str, separator: str) -> list[str]:
    """Split at `separator`s outside quotes and parentheses, as the chain's text form does."""
    return _chain_split(text, separator, "steps")
