"""The grammar of a chain's text and JSON forms: what was written, before any step is known.

The text form is steps separated by ``|``; a step is a name, optionally followed by ``:`` and
items separated by ``,``; an item is a value or ``keyword=value``; a value is bare text, text in
``'`` or ``"`` quotes (a backslash takes the next character literally), or a group of items in
parentheses. ``|``, ``,`` and ``=`` inside quotes or parentheses separate nothing.

The JSON form is a list of objects ``{"method": NAME, "args": [...], "kwargs": {...}}``.

Both forms are read into the same thing, a `Written` step per step: its number, its name as
written, and its items, each a keyword (or None) and a `Raw` value. Which step a name reaches
and what its values mean is the chain's business (`framewick.chains.chain`), not the grammar's.
Every problem is a `ChainError` whose text is one line naming the step.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Final

from framewick.steps import ChainError, too_long

__all__ = [
    "MAX_NESTING", "SEPARATOR", "Bare", "Group", "Item", "Quoted", "Raw", "Value", "Written", "decode_json", "is_name",
    "items", "json_value", "normal", "quoted", "read_data", "read_text", "single", "split", "split_name", "text_value",
    "unquote", "write",
]

SEPARATOR: Final = "|"
QUOTES: Final = "'\""
_NAME_TEXT = re.compile(r"[A-Za-z_][A-Za-z0-9_-]*")
_KEYWORD = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\s*=(.*)", re.DOTALL)
# Characters that make a text value need quotes in the text form.
_SPECIAL = frozenset("|,()='\"\\:")
#: The fields a step object of the JSON form may have.
_FIELDS: Final = frozenset({"method", "args", "kwargs"})


# ---------------------------------------------------------------------------------------------
# What was written


@dataclass(frozen=True)
class Bare:
    """A value written without quotes (surrounding blanks removed)."""

    text: str


@dataclass(frozen=True)
class Quoted:
    """A value written in quotes: its text, unquoted."""

    text: str


@dataclass(frozen=True)
class Group:
    """Items written in parentheses, ``(10,20)``: each item's text."""

    items: tuple[str, ...]


@dataclass(frozen=True)
class Value:
    """A value of the JSON form, as decoded."""

    value: Any


Raw = Bare | Quoted | Group | Value
#: One item of a step: its keyword (None for a plain item) and its value.
Item = tuple[str | None, Raw]


@dataclass(frozen=True)
class Written:
    """One step as written: its number in its chain, its name and its items."""

    index: int
    name: str
    items: tuple[Item, ...] = ()

    @property
    def where(self) -> str:
        """How an error line names the step: ``step 2 'resize'``."""
        return f"step {self.index} '{self.name}'"


def normal(name: str) -> str:
    """A step's name as it is looked up: case and ``-`` versus ``_`` do not matter."""
    return name.strip().lower().replace("-", "_")


def is_name(name: str) -> bool:
    return _NAME_TEXT.fullmatch(name) is not None


# ---------------------------------------------------------------------------------------------
# Reading the text form


def split(text: str, separator: str, what: str = "chain") -> list[str]:
    """Split `text` at `separator`s outside quotes and parentheses; refuse unbalanced ones,
    naming `what` in the error."""
    parts, start, depth, quote, i = [], 0, 0, "", 0
    while i < len(text):
        c = text[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = ""
        elif c in QUOTES:
            quote = c
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth < 0:
                raise ChainError(f"{what}: ')' without '(' in {text.strip()!r}")
        elif c == separator and depth == 0:
            parts.append(text[start:i])
            start = i + 1
        i += 1
    if quote:
        raise ChainError(f"{what}: unclosed {quote} in {text.strip()!r}")
    if depth:
        raise ChainError(f"{what}: '(' without ')' in {text.strip()!r}")
    parts.append(text[start:])
    return parts


def split_name(part: str) -> tuple[str, bool, str]:
    """A step's name, whether a ':' follows it, and the argument text after the first ':'."""
    name, colon, rest = part.partition(":")
    return name.strip(), bool(colon), rest


def _closing_quote(text: str) -> int:
    """Where the quote that opens `text` closes (-1 if it does not)."""
    i = 1
    while i < len(text):
        if text[i] == "\\":
            i += 1
        elif text[i] == text[0]:
            return i
        i += 1
    return -1


def unquote(text: str) -> str:
    """The text inside the quotes that open and close `text`, its backslashes undone."""
    body, out, i = text[1:-1], [], 0
    while i < len(body):
        if body[i] == "\\" and i + 1 < len(body):
            i += 1
        out.append(body[i])
        i += 1
    return "".join(out)


def _value(text: str, where: str) -> Raw:
    stripped = text.strip()
    if stripped[:1] in QUOTES:
        if _closing_quote(stripped) != len(stripped) - 1:
            raise ChainError(f"{where}: text after the closing quote in {stripped!r}")
        return Quoted(unquote(stripped))
    if stripped.startswith("("):
        if not stripped.endswith(")"):
            raise ChainError(f"{where}: text after ')' in {stripped!r}")
        inner = stripped[1:-1]
        found = split(inner, ",", where) if inner.strip() else []
        return Group(tuple(unquote(i.strip()) if i.strip()[:1] in QUOTES else i.strip() for i in found))
    if any(c in stripped for c in "()'\""):
        raise ChainError(f"{where}: quote {stripped!r} (it holds a quote or a parenthesis)")
    return Bare(stripped)


def items(rest: str, where: str) -> list[Item]:
    """The items of a step's argument text (after its ':'); `where` names the step in errors."""
    if not rest.strip():
        return []
    found: list[Item] = []
    for piece in split(rest, ",", where):
        stripped = piece.strip()
        if not stripped:
            raise ChainError(f"{where}: empty argument (two ',' in a row, or one at an end)")
        match = _KEYWORD.fullmatch(stripped) if stripped[:1] not in QUOTES + "(" else None
        if match:
            if not match.group(2).strip():
                raise ChainError(f"{where}: no value after '{match.group(1)}='")
            found.append((match.group(1), _value(match.group(2), where)))
        else:
            found.append((None, _value(stripped, where)))
    return found


def read_text(text: str, what: str = "chain") -> list[Written]:
    """The steps of the text form, in order (none for blank text).

    Refuses unbalanced quotes or parentheses, more than MAX_STEPS steps, an empty step, a name
    that is not one, and items that cannot be read.
    """
    if not text.strip():
        return []
    parts = split(text, SEPARATOR, what)
    error = too_long(len(parts))
    if error is not None:
        raise error
    written = []
    for index, part in enumerate(parts, 1):
        part = part.strip()
        if not part:
            raise ChainError(f"step {index}: empty step (two '|' in a row, or one at an end)")
        name, has_args, rest = split_name(part)
        if not is_name(name):
            raise ChainError(f"step {index}: {name!r} is not a step name; write name:arguments")
        where = f"step {index} '{name}'"
        written.append(Written(index, name, tuple(items(rest, where)) if has_args else ()))
    return written


# ---------------------------------------------------------------------------------------------
# Reading the JSON form


def read_data(data: Any) -> list[Written]:
    """The steps of the JSON form once decoded: a list of step objects."""
    if not isinstance(data, list):
        raise ChainError("a chain in JSON is a list of steps, e.g. [{\"method\": \"apply_blur\", \"args\": [2]}]")
    error = too_long(len(data))
    if error is not None:
        raise error
    written = []
    for index, entry in enumerate(data, 1):
        if not isinstance(entry, dict) or not isinstance(entry.get("method"), str):
            raise ChainError(f"step {index}: expected an object with a \"method\" text")
        extra = set(entry) - _FIELDS
        if extra:
            raise ChainError(f"step {index} '{entry['method']}': unknown field {sorted(extra)[0]!r}")
        args, kwargs = entry.get("args", []), entry.get("kwargs", {})
        if not isinstance(args, list) or not isinstance(kwargs, dict):
            raise ChainError(f"step {index} '{entry['method']}': \"args\" is a list and \"kwargs\" an object")
        found: list[Item] = [(None, Value(v)) for v in args]
        found += [(str(k), Value(v)) for k, v in kwargs.items()]
        written.append(Written(index, entry["method"], tuple(found)))
    return written


#: The deepest nesting of the JSON form: a list of steps, a step, its args, a tuple value.
MAX_NESTING: Final = 8
_JSON_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"?|[\[\]{}]', re.DOTALL)


def decode_json(text: str, where: str = "") -> Any:
    """The JSON form in `text` decoded, its nesting bounded before the decoder recurses.

    Every problem is a ChainError starting with `where` (the file it came from) or, without
    one, with "chain JSON".
    """
    depth = 0
    for token in _JSON_TOKEN.finditer(text):
        c = token.group()[0]
        if c in "[{":
            depth += 1
            if depth > MAX_NESTING:
                raise ChainError(f"{where or 'chain JSON'}: nested deeper than {MAX_NESTING} levels; a chain is a "
                                 "list of steps, e.g. [{\"method\": \"apply_blur\", \"args\": [2]}]")
        elif c in "]}":
            depth -= 1
    what = f"{where}: chain JSON" if where else "chain JSON"
    import json

    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        raise ChainError(f"{what}: {e}") from None
    except RecursionError:  # nesting is bounded above; this is a last line of defence
        raise ChainError(f"{what} nested too deeply") from None


# ---------------------------------------------------------------------------------------------
# Writing


def quoted(text: str) -> str:
    """`text` in double quotes, its quotes and backslashes escaped."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def text_value(value: Any) -> str:
    """A value in the text form: numbers and booleans as the parser reads them back, a tuple
    in parentheses, text quoted where it needs to be."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, tuple):
        return "(" + ",".join(text_value(v) for v in value) + ")"
    text = str(value)
    if text and text == text.strip() and not _SPECIAL.intersection(text):
        return text
    return quoted(text)


def json_value(value: Any) -> Any:
    """A value in the JSON form (a tuple becomes a list)."""
    return list(value) if isinstance(value, tuple) else value


def _raw_text(raw: Raw) -> str:
    if isinstance(raw, Bare):
        return raw.text
    if isinstance(raw, Quoted):
        return quoted(raw.text)
    if isinstance(raw, Group):
        return "(" + ",".join(text_value(item) for item in raw.items) + ")"
    return text_value(raw.value)


def write(step: Written) -> str:
    """The text form of a written step: its name and items as written (quoted text requoted)."""
    written = [f"{k}={_raw_text(raw)}" if k is not None else _raw_text(raw) for k, raw in step.items]
    return f"{step.name}:{','.join(written)}" if written else step.name


def single(found: Sequence[Item], keywords: Sequence[str]) -> str | None:
    """The text of the one item in `found`, given plainly or by one of `keywords`; None when
    there is not exactly one such item or it is no text."""
    if len(found) != 1 or found[0][0] not in (None, *keywords):
        return None
    raw = found[0][1]
    text = raw.text if isinstance(raw, (Bare, Quoted)) else raw.value if isinstance(raw, Value) else None
    return text if isinstance(text, str) else None
