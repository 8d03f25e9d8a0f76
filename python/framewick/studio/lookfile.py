"""Writing a look into a looks file: added at its end, or put in place of the look it replaces.

The file is read, changed as text (so the other looks, their comments and their order stay as
written), checked by reading the result back as TOML, and written atomically: a reader finds
the old file or the new one, never half of either. A change that would alter anything but the
one look is refused rather than written.
"""

from __future__ import annotations

import os
import re
import threading
import tomllib
from typing import Any, Final

from framewick._files import atomic_write
from framewick.steps import builtin_presets

#: As a looks file names its looks: letters, digits, '_' and '-'.
NAME: Final = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_-]*")
MAX_FILE_BYTES: Final = 1 << 20
MAX_DESCRIPTION: Final = 500
_HEADER = re.compile(r"^[ \t]*\[[ \t]*looks[ \t]*\.[ \t]*(?:\"([^\"]*)\"|'([^']*)'|([A-Za-z0-9_-]+))[ \t]*\][ \t]*(?:#.*)?$")
_TABLE = re.compile(r"^[ \t]*\[")

_lock = threading.Lock()


class LookFileError(ValueError):
    """A look that cannot be saved as asked; the text is one line."""


class LookExists(LookFileError):
    """The file has a look of that name already; saving again with `replace` replaces it."""


def check_name(name: str) -> str:
    """The look's name in lower case (as looks are found), or LookFileError."""
    if not NAME.fullmatch(name or ""):
        raise LookFileError(f"{name!r} is not a look name (letters, digits, '_' and '-')")
    if name.lower() in builtin_presets():
        raise LookFileError(f"{name!r} is the name of a built-in preset, which a look cannot take; choose another name")
    return name.lower()


def _toml_string(text: str) -> str:
    out = []
    for c in text:
        if c in "\\\"":
            out.append("\\" + c)
        elif c == "\n":
            out.append("\\n")
        elif c == "\t":
            out.append("\\t")
        elif ord(c) < 0x20 or ord(c) == 0x7F:
            out.append(f"\\u{ord(c):04X}")
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def _looks_of(text: str, path: str) -> dict[str, Any]:
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise LookFileError(f"{path}: not a looks file ({e}); nothing was written") from None
    looks = document.get("looks", {})
    if not isinstance(looks, dict):
        raise LookFileError(f"{path}: 'looks' is not a table of looks; nothing was written")
    return document


def _read(path: str) -> str:
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_FILE_BYTES + 1)
    except FileNotFoundError:
        return ""
    except OSError as e:
        raise LookFileError(f"{path}: cannot read the looks file ({e.strerror or e})") from None
    if len(data) > MAX_FILE_BYTES:
        raise LookFileError(f"{path}: larger than {MAX_FILE_BYTES >> 20} MiB; nothing was written")
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise LookFileError(f"{path}: not UTF-8 text; nothing was written") from None


def _without(text: str, name: str) -> str:
    """`text` without the table of look `name` (its header up to the next table)."""
    lines = text.splitlines(keepends=True)
    out, skipping = [], False
    for line in lines:
        header = _HEADER.match(line.rstrip("\r\n"))
        if header:
            found = next(g for g in header.groups() if g is not None)
            skipping = found.lower() == name
        elif skipping and _TABLE.match(line):
            skipping = False
        if not skipping:
            out.append(line)
    return "".join(out)


def save_look(path: str, name: str, steps: str, description: str = "", *, replace: bool = False) -> bool:
    """Write look `name` with `steps` (a chain's text form) into the looks file at `path`.

    Returns True when a look of that name was replaced. Raises LookExists when there is one and
    `replace` is false, LookFileError for a name a look cannot take or a file that cannot be
    changed safely; the file is then as it was.
    """
    key = check_name(name)
    if not steps.strip():
        raise LookFileError("a look needs at least one step")
    description = " ".join(description.split())
    if len(description) > MAX_DESCRIPTION:
        raise LookFileError(f"the description is longer than {MAX_DESCRIPTION} characters")
    with _lock:
        text = _read(path)
        before = _looks_of(text, path)
        looks = {k.lower(): v for k, v in before.get("looks", {}).items()}
        existed = key in looks
        if existed and not replace:
            raise LookExists(f"{path} has a look named {key!r} already")
        kept = _without(text, key) if existed else text
        if kept and not kept.endswith("\n"):
            kept += "\n"
        table = f"[looks.{key}]\nsteps = {_toml_string(steps.strip())}\n"
        if description:
            table += f"description = {_toml_string(description)}\n"
        new = kept + ("\n" if kept.strip() else "") + table
        try:
            after = _looks_of(new, path)
        except LookFileError:
            after = {}
        expected = dict(before)
        expected["looks"] = {k: v for k, v in before.get("looks", {}).items() if k.lower() != key}
        got = dict(after)
        got["looks"] = {k: v for k, v in after.get("looks", {}).items() if k != key}
        wanted = {"steps": steps.strip(), **({"description": description} if description else {})}
        if got != expected or after.get("looks", {}).get(key) != wanted:
            raise LookFileError(f"{path}: look {key!r} is written in a way this cannot replace safely; "
                                "edit the file by hand (nothing was written)")
        directory = os.path.dirname(os.path.abspath(path))
        os.makedirs(directory, exist_ok=True)
        data = new.encode("utf-8")

        def write(temp: str) -> None:
            with open(temp, "wb") as f:
                f.write(data)

        atomic_write(path, write)
    return existed
