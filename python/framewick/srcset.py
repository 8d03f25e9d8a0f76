"""Responsive sets: every picture at several widths in several formats, a `<picture>` element
for each, and a manifest of them all.

`run_srcset` runs on the batch's own machinery (`framewick.batch.run_batch`: its inputs, its
plan, its process pool or any Executor, its interrupts); each worker makes one picture's set:

1. The picture is opened once, decoded no larger than the largest width needs (a JPEG at a
   reduced scale, as shrink-on-load chooses it for that width), and the chain is run on it once.
2. Each width is resized from that picture (Lanczos, from the same picture each time rather
   than from the previous width, so no width is resampled twice); widths above the picture's
   own are left out, and where none is left the picture's own width is written once.
3. Each width is written in each format as NAME-WIDTH.EXT, atomically, with `max_bytes` per
   file when given; NAME.html holds the `<picture>` element: a `<source>` per format but the
   last, whose files the `<img>` takes, with its width and height and, where the picture has
   a description (EXIF ImageDescription or XMP dc:description), its `alt`.
4. The outcome carries the picture's manifest entry (its files with width, height, format and
   bytes; the BlurHash and ThumbHash placeholders where their packages are installed; the
   dominant colour); `manifest.json` gathers them, keeping the entries of pictures not made
   again in this run.
A set whose files exist is skipped unless `overwrite`; one that fails leaves none of the
files it made, and never replaces an input.
"""

from __future__ import annotations

import copy
import html
import json
import os
import traceback
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from functools import partial
from typing import Any
from urllib.parse import quote

from framewick.batch import BatchResult, Job, Options, Outcome, expand_inputs, run_batch
from framewick.status import error_line

__all__ = ["MANIFEST", "SetOptions", "describe", "make_set", "page", "read_manifest", "run_srcset"]

MANIFEST = "manifest.json"
#: The media type each format's <source> declares.
MEDIA_TYPES = {"AVIF": "image/avif", "WEBP": "image/webp", "JPEG": "image/jpeg", "PNG": "image/png",
               "JXL": "image/jxl", "HEIF": "image/heic", "GIF": "image/gif", "TIFF": "image/tiff",
               "BMP": "image/bmp"}


@dataclass(frozen=True)
class SetOptions:
    """What each picture's set holds: its widths, its formats as (Pillow's name, extension) in
    the order the page offers them (the last is the `<img>`'s), the `sizes` attribute, a budget
    per file, and the inputs' real paths, which no file of a set may replace."""

    widths: tuple[int, ...]
    formats: tuple[tuple[str, str], ...]
    sizes: str = "100vw"
    max_bytes: int | None = None
    inputs: frozenset[str] = field(default_factory=frozenset)


def widths_for(wanted: Iterable[int], width: int) -> list[int]:
    """The widths a picture `width` wide gets, largest first: never wider than itself."""
    kept = sorted({w for w in wanted if w <= width}, reverse=True)
    return kept or [width]


# ---------------------------------------------------------------------------------------------
# What the picture says of itself


def describe(photo: Any) -> str | None:
    """The picture's own description: EXIF ImageDescription, else XMP dc:description (its
    x-default or first language); None when it has neither (or only blanks)."""
    exif = getattr(photo, "exif", None)
    if exif:
        from PIL import Image

        tags = Image.Exif()
        try:
            tags.load(exif)
            text = tags.get(0x010E)
        except Exception:  # a damaged block describes nothing
            text = None
        if isinstance(text, bytes):
            text = text.decode("utf-8", "replace")
        if isinstance(text, str) and text.strip("\x00 \t\r\n"):
            return text.strip("\x00 \t\r\n")
    xmp = getattr(photo, "xmp", None)
    return _xmp_description(xmp) if xmp else None


_RDF = "{http://www.w3.org/1999/02/22-rdf-syntax-ns#}"
_DC = "{http://purl.org/dc/elements/1.1/}"
_XML_LANG = "{http://www.w3.org/XML/1998/namespace}lang"


def _xmp_description(xmp: bytes) -> str | None:
    """dc:description of an XMP packet, read without resolving entities (defusedxml)."""
    try:
        from defusedxml import ElementTree
    except ImportError:
        return None
    try:
        root = ElementTree.fromstring(xmp.strip(b"\x00 \t\r\n"))
    except Exception:  # not XML, or XML that defusedxml refuses: no description
        return None
    for description in root.iter(f"{_DC}description"):
        items = list(description.iter(f"{_RDF}li"))
        items.sort(key=lambda item: item.get(_XML_LANG) != "x-default")
        for item in items or [description]:
            text = "".join(item.itertext()).strip()
            if text:
                return text
    return None


# ---------------------------------------------------------------------------------------------
# The page


def _url(name: str) -> str:
    """A file name as a URL relative to the page: percent-encoded, so that neither a blank nor
    a comma in it can split a srcset candidate."""
    return quote(name, safe="")


def page(name: str, files: Sequence[Mapping[str, Any]], formats: Sequence[str], sizes: str,
         alt: str | None) -> str:
    """The `<picture>` element for one picture's files (each with path, width, height, format)."""
    def srcset(fmt: str) -> str:
        mine = sorted((f for f in files if f["format"] == fmt), key=lambda f: f["width"])
        return ", ".join(f"{_url(f['path'])} {f['width']}w" for f in mine)

    def attr(value: str) -> str:
        return html.escape(value, quote=True)

    lines = ["<picture>"]
    for fmt in formats[:-1]:
        lines.append(f'  <source type="{MEDIA_TYPES.get(fmt, "image/" + fmt.lower())}" '
                     f'srcset="{attr(srcset(fmt))}" sizes="{attr(sizes)}">')
    last = formats[-1]
    largest = max((f for f in files if f["format"] == last), key=lambda f: f["width"])
    alt_attr = f' alt="{attr(alt)}"' if alt is not None else ""
    lines.append(f'  <img src="{attr(_url(largest["path"]))}" srcset="{attr(srcset(last))}" sizes="{attr(sizes)}" '
                 f'width="{largest["width"]}" height="{largest["height"]}"{alt_attr} loading="lazy" decoding="async">')
    lines.append("</picture>")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------------------------
# One picture's set (runs in a worker)


def _copy(obj: Any) -> Any:
    """A copy of the opened picture's object that a step can change without touching `obj`."""
    clone = copy.copy(obj)
    photo = getattr(obj, "photo", None)
    if photo is not None:
        clone.photo = copy.copy(photo)
        clone.photo.frames = list(photo.frames)
    return clone


def _placeholders(picture: Any, notes: list[str]) -> dict[str, str]:
    from framewick.photo.placeholders import placeholders

    return placeholders(picture, lambda e: notes.append(f"framewick: a placeholder is left out: {e}\n"),
                        keys=("blurhash", "thumbhash"))


def make_set(job: Job, chain: Any, options: Options, sets: SetOptions) -> Outcome:
    """Make one picture's set (see the module's description); `job.target` is its page."""
    from framewick import _limits
    from framewick.chain import Chain, Step
    from framewick.photo import run_steps, write_photo
    from framewick.photo.placeholders import dominant_colour
    from framewick.photo.planning import Plan
    from framewick.photo.classes import class_for

    out_dir = os.path.dirname(job.target)
    name = os.path.splitext(os.path.basename(job.target))[0]
    lines: list[str] = []
    made: list[str] = []
    try:
        paths = {(w, fmt): os.path.join(out_dir, f"{name}-{w}{ext}") for w in sets.widths
                 for fmt, ext in sets.formats}
        for path in [job.target, *paths.values()]:
            if os.path.realpath(path) in sets.inputs:
                raise _limits.LimitError(f"❌ Error: {path} would overwrite an input")
        if not job.overwrite:
            there = [p for p in [job.target, *paths.values()] if os.path.lexists(p)]
            if there:
                return Outcome(job.source, job.target, "skipped", f"{there[0]} exists (--overwrite replaces it)")
        # Decoded no larger than the largest width needs; the chain itself runs as given.
        hint = Chain((*chain.steps, Step("size", (f"{max(sets.widths)}x>",))))
        opening = Plan.make(hint, max_pixels=options.max_pixels, what=job.target)
        with _limits.open_regular(job.source) as fp:
            obj = opening.open(fp, job.source, lines.append, cls=class_for(hint), exact=options.exact,
                               orient=options.orient, raw=options.raw)
        Plan.make(chain, max_pixels=options.max_pixels, what=job.target).run(obj, lines.append)
        files: list[dict[str, Any]] = []
        for width in widths_for(sets.widths, obj.image.width):
            sized = _copy(obj)
            if width != obj.image.width:
                run_steps(sized, Chain((Step("size", (f"{width}x",)),)), lines.append, strict=True)
            for fmt, ext in sets.formats:
                path = paths.get((width, fmt)) or os.path.join(out_dir, f"{name}-{width}{ext}")
                if os.path.realpath(path) in sets.inputs:
                    raise _limits.LimitError(f"❌ Error: {path} would overwrite an input")
                if not job.overwrite and os.path.lexists(path):
                    raise _limits.LimitError(f"❌ Error: {path} exists (--overwrite replaces it)")
                fits: list[Any] = []
                write_photo(sized, path, format=fmt, strip=options.strip, background=options.background,
                            srgb=options.srgb, echo=lines.append, max_bytes=sets.max_bytes, on_fit=fits.append,
                            keep=options.keep, drop=options.drop)
                made.append(path)
                entry = {"path": os.path.basename(path), "width": sized.image.width, "height": sized.image.height,
                         "format": fmt, "bytes": os.path.getsize(path)}
                if fits:
                    entry |= {"quality": fits[-1].quality, "subsampling": fits[-1].subsampling}
                files.append(entry)
            del sized
        alt = describe(getattr(obj, "photo", None))
        notes: list[str] = []
        record: dict[str, Any] = {"name": name, "source": job.source, "page": os.path.basename(job.target),
                                  "files": files,
                                  "placeholder": _placeholders(obj.image, notes),
                                  "color": dominant_colour(obj.image), "alt": alt}
        from framewick._files import atomic_write

        text = page(name, files, [fmt for fmt, _ in sets.formats], sets.sizes, alt)

        def write_page(temp: str) -> None:
            with open(temp, "w", encoding="utf-8") as out:
                out.write(text)

        atomic_write(job.target, write_page)
        lines.extend(notes)
    except Exception as error:
        _remove(made)
        return Outcome(job.source, job.target, "failed", error_line(error), "".join(lines),
                       "".join(traceback.format_exception(error)))
    except BaseException:
        _remove(made)
        raise
    return Outcome(job.source, job.target, "written", "", "".join(lines), record=record)


def _remove(paths: Iterable[str]) -> None:
    for path in paths:
        try:
            os.remove(path)
        except OSError:
            pass


# ---------------------------------------------------------------------------------------------
# The run and the manifest


def read_manifest(out_dir: str) -> dict[str, Any]:
    """The manifest in `out_dir` ({"pictures": [...]}), empty when there is none or it cannot be
    read as one."""
    try:
        with open(os.path.join(out_dir, MANIFEST), encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return {"pictures": []}
    if not isinstance(data, dict) or not isinstance(data.get("pictures"), list):
        return {"pictures": []}
    return data


def write_manifest(out_dir: str, result: BatchResult) -> str:
    """Write manifest.json: the sets made now, and the entries of the others already there, in
    name order; atomically. Returns its path."""
    from framewick._files import atomic_write

    entries = {entry.get("name"): entry for entry in read_manifest(out_dir)["pictures"] if isinstance(entry, dict)}
    for outcome in result.written:
        entries[outcome.record["name"]] = dict(outcome.record)
    path = os.path.join(out_dir, MANIFEST)
    text = json.dumps({"pictures": [entries[k] for k in sorted(entries, key=str)]}, indent=2, ensure_ascii=False)

    def write(temp: str) -> None:
        with open(temp, "w", encoding="utf-8") as out:
            out.write(text + "\n")

    atomic_write(path, write)
    return path


def run_srcset(inputs: Iterable[str], out_dir: str, chain: Any, sets: SetOptions, executor: Executor | None = None,
               *, jobs: int | None = None, overwrite: bool = False, options: Options | None = None,
               progress: bool = False, on_outcome: Callable[[Outcome], None] | None = None) -> BatchResult:
    """Make every picture's set into `out_dir` on the batch's machinery (`run_batch`: a process
    pool of `jobs`, or `executor`), then write the manifest (also after an interrupt, for the
    sets that were finished). BatchError, ChainError and BatchInterrupted as run_batch raises."""
    from framewick.batch import BatchInterrupted
    from framewick.chain import Chain

    inputs = list(inputs)
    chain = Chain.coerce(chain)
    if not sets.inputs:
        real = frozenset(os.path.realpath(s.path) for s in expand_inputs(inputs, out_dir=out_dir))
        sets = SetOptions(sets.widths, sets.formats, sets.sizes, sets.max_bytes, real)
    try:
        result = run_batch(inputs, out_dir, chain, executor, jobs=jobs, overwrite=overwrite, options=options,
                           progress=progress, on_outcome=on_outcome, worker=partial(make_set, sets=sets),
                           outputs=".html")
    except BatchInterrupted as interrupted:
        write_manifest(out_dir, interrupted.result)
        raise
    write_manifest(out_dir, result)
    return result
