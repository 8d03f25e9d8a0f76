"""What a studio run holds: its photos, the files it may read, the looks file and the export folder.

A `Studio` is made once per run with the photos of the command line. Each photo is decoded the
first time it is needed and kept as a proxy (`preview.Proxy`); uploaded photos are kept as their
bytes. A chain from a request is read like `--steps` (text or JSON), after a check that every
file it names directly is one the studio was given: a LUT, watermark or overlay uploaded through
the page. Files named inside a look come from the looks files the user gave. No other path in
a request is ever opened.

Everything a request can change is here, behind locks: the cache of previews, the uploads,
the looks file and the export folder, the only places written to.
"""

from __future__ import annotations

import hashlib
import io
import os
import re
import secrets
import shlex
import threading
from collections import OrderedDict
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Final

from PIL import Image

from framewick._files import atomic_write
from framewick.chains import grammar
from framewick.chains import looks as looks_module
from framewick.chains.chain import Chain, ChainError, LookRef, Part, catalogue, read_parts
from framewick.chains.lut import read_cube
from framewick.photo import write_photo
from framewick.photo.planning import Plan, output_format_of
from framewick.photo.formats import extension, format_of_path, output_format
from framewick.steps import builtin_presets
from framewick.studio import lookfile, preview
from framewick.studio.controls import step_controls

#: The largest upload the page may send, a photo or a file a step reads.
MAX_UPLOAD_BYTES: Final = 64 << 20
#: Uploaded photos kept at once (their bytes stay in memory for the export).
MAX_UPLOADS: Final = 16
#: Files a step reads (LUTs, watermarks) uploaded per run.
MAX_FILES: Final = 64
#: The largest preview size asked for; a preview is never larger than its proxy anyway.
MAX_PREVIEW: Final = preview.PROXY_SIDE
_CACHE_ENTRIES: Final = 64
_SAFE = re.compile(r"[^A-Za-z0-9._-]+")
#: Where uploaded LUTs and pictures go, inside the export folder.
FILES_FOLDER: Final = "studio-files"


class StudioError(Exception):
    """A request that cannot be carried out: the HTTP status and the one line the page shows."""

    def __init__(self, status: int, line: str) -> None:
        super().__init__(line)
        self.status = status
        self.line = line


@dataclass
class Source:
    """A photo the studio may read: a file of the command line, or an upload's bytes."""

    name: str
    path: str | None = None
    data: bytes | None = None
    #: What an export's file name starts with: the file's own stem, or "upload-" and the
    #: upload's digest (no name sent by a page becomes part of a path).
    stem: str = ""
    proxy: preview.Proxy | None = None
    lock: threading.Lock = field(default_factory=threading.Lock)

    def opened(self) -> Any:
        """What open_photo reads: the path, or a fresh stream over the upload."""
        return self.path if self.path is not None else io.BytesIO(self.data or b"")


def safe_name(name: str, default: str = "photo") -> str:
    """A file name's last part with only letters, digits, '.', '_' and '-' (never empty or dotted)."""
    base = os.path.basename(name.replace("\\", "/"))
    cleaned = _SAFE.sub("-", base).strip(".-")[:100]
    return cleaned or default


class Studio:
    """One run of the studio: its photos, token, looks file and export folder."""

    def __init__(self, photos: Sequence[str], *, looks_file: str, export_dir: str,
                 max_pixels: int | None = None, token: str | None = None,
                 error_line: Callable[[BaseException], str] = str) -> None:
        self.sources = [Source(os.path.basename(p) or p, path=os.path.abspath(p),
                               stem=safe_name(os.path.splitext(os.path.basename(p))[0])) for p in photos]
        self.looks_file = os.path.abspath(looks_file)
        self.export_dir = os.path.abspath(export_dir)
        self.max_pixels = max_pixels
        self.token = token or secrets.token_urlsafe(24)
        self.error_line = error_line
        self._files: dict[str, str] = {}  # absolute path -> what it is ("lut" or "picture")
        self._lock = threading.Lock()
        self._cache: OrderedDict[tuple[Any, ...], bytes] = OrderedDict()
        self._export_lock = threading.Lock()
        from framewick import FrameWick

        self.cls = FrameWick

    # -----------------------------------------------------------------------------------------
    # Photos

    def source(self, index: Any) -> Source:
        try:
            number = int(index)
        except (TypeError, ValueError):
            raise StudioError(400, f"photo {index!r}: not a photo number") from None
        with self._lock:
            if not 0 <= number < len(self.sources):
                raise StudioError(404, f"photo {number}: there is no such photo")
            return self.sources[number]

    def proxy(self, index: Any) -> preview.Proxy:
        """The photo's proxy, decoded the first time it is asked for."""
        source = self.source(index)
        with source.lock:
            if source.proxy is None:
                try:
                    source.proxy = preview.make_proxy(source.opened(), self.max_pixels)
                except (OSError, ValueError) as e:
                    raise StudioError(422, self.error_line(e)) from None
            return source.proxy

    def add_upload(self, name: str, data: bytes) -> int:
        """Keep an uploaded photo (decoded now, so a bad one is refused at once); its number."""
        if len(data) > MAX_UPLOAD_BYTES:
            raise StudioError(413, f"the upload is larger than {MAX_UPLOAD_BYTES >> 20} MiB")
        source = Source(safe_name(name), data=bytes(data), stem=f"upload-{hashlib.sha256(data).hexdigest()[:8]}")
        try:
            source.proxy = preview.make_proxy(source.opened(), self.max_pixels)
        except (OSError, ValueError) as e:
            raise StudioError(422, self.error_line(e).replace("<stream>", source.name)) from None
        with self._lock:
            uploads = sum(1 for s in self.sources if s.path is None)
            if uploads >= MAX_UPLOADS:
                raise StudioError(413, f"at most {MAX_UPLOADS} photos can be uploaded in one run")
            self.sources.append(source)
            return len(self.sources) - 1

    def add_file(self, kind: str, name: str, data: bytes) -> str:
        """Keep a file a step reads (a .cube LUT or a picture) in the export folder; its path."""
        if kind not in ("lut", "picture"):
            raise StudioError(400, f"kind {kind!r}: a file is a 'lut' or a 'picture'")
        if len(data) > MAX_UPLOAD_BYTES:
            raise StudioError(413, f"the upload is larger than {MAX_UPLOAD_BYTES >> 20} MiB")
        # The file is named by its content: no name sent by the page becomes part of a path.
        digest = hashlib.sha256(data).hexdigest()[:24]
        folder = os.path.join(self.export_dir, FILES_FOLDER)
        path = os.path.join(folder, f"{digest}{'.cube' if kind == 'lut' else _picture_extension(data)}")
        with self._lock:
            if len(self._files) >= MAX_FILES and path not in self._files:
                raise StudioError(413, f"at most {MAX_FILES} files can be uploaded in one run")
        os.makedirs(folder, exist_ok=True)
        if not os.path.exists(path):
            def write(temp: str) -> None:
                with open(temp, "wb") as f:
                    f.write(data)

            atomic_write(path, write)
        problem = self._file_problem(kind, path)
        if problem:
            os.unlink(path)
            raise StudioError(422, f"{safe_name(name)}: {problem}")
        with self._lock:
            self._files[path] = kind
        return path

    def _file_problem(self, kind: str, path: str) -> str:
        if kind == "lut":
            try:
                read_cube(path)
            except (ValueError, OSError) as e:
                return str(e).replace("\n", " ")
            return ""
        try:
            with Image.open(path) as picture:
                if self.max_pixels is not None and picture.width * picture.height > self.max_pixels:
                    return f"more than {self.max_pixels} pixels"
        except Exception:
            return "not a picture this Pillow can read"
        return ""

    # -----------------------------------------------------------------------------------------
    # Chains

    def _guard_path(self, index: int, name: str, value: Any) -> None:
        with self._lock:
            known = isinstance(value, str) and value in self._files
        if not known:
            raise ChainError(f"step {index} '{name}': the studio reads only the files given to it; "
                             "choose the file with the step's file picker")

    def _guard(self, written: Sequence[grammar.Written]) -> None:
        """Refuse a step that names a file the studio was not given, before any is read."""
        for step in written:
            info = catalogue().resolve(step.name)
            param = _file_param(info)
            if param is None:
                continue
            raw = next((raw for keyword, raw in step.items if keyword == param), None)
            if raw is None and step.items and step.items[0][0] is None:
                raw = step.items[0][1]
            if raw is not None:
                value = raw.value if isinstance(raw, grammar.Value) else getattr(raw, "text", None)
                self._guard_path(step.index, step.name, value)

    def chain(self, spec: str | list[Any]) -> Chain:
        """A chain from a request: the text form, its JSON text, or the decoded JSON form."""
        if isinstance(spec, str) and spec.lstrip().startswith("["):
            spec = grammar.decode_json(spec)
        written = grammar.read_text(spec) if isinstance(spec, str) else grammar.read_data(spec)
        self._guard(written)
        return Chain.from_written(written)

    def data_of(self, text: str) -> list[Any]:
        """The JSON form of a pasted chain (text or JSON), its look steps kept as looks."""
        text = text.strip()
        if not text:
            return []
        source = grammar.decode_json(text) if text.startswith("[") else text
        self.chain(source)  # the whole chain is read first, so its errors are the runner's
        # Each step as the page keeps it: by its method's own name, a look as a preset step.
        return [_page_entry(part) for part in read_parts(source)]

    def text_of(self, data: list[Any]) -> str:
        """The text form of the page's chain (its JSON form), with looks named, not expanded."""
        if not isinstance(data, list):
            raise ChainError("a chain in JSON is a list of steps, e.g. [{\"method\": \"apply_blur\", \"args\": [2]}]")
        parts = []
        for index, entry in enumerate(data, 1):
            try:
                steps = self.chain([entry]).steps  # checked as the runner will read it
                part = read_parts([entry])[0]
            except ChainError as e:
                line = str(e)
                raise ChainError(f"step {index}" + line[len("step 1"):] if line.startswith("step 1") else line) from None
            if isinstance(part, LookRef):
                parts.append(part.to_text())
            else:
                parts.extend(step.to_text() for step in steps)
        return " | ".join(parts)

    def command(self, text: str, index: int = 0) -> str:
        """The `framewick edit` command that gives the export of photo `index` under `text`."""
        source = self.sources[index] if 0 <= index < len(self.sources) else None
        name = source.path if source is not None and source.path else (source.name if source else "photo.jpg")
        words = ["framewick", "edit", name, "-o", self._export_name(source, None, check=False)]
        if self.looks_file != os.path.abspath(looks_module.default_path()) and os.path.exists(self.looks_file):
            words[1:1] = ["--looks", self.looks_file]
        if text:
            words += ["--steps", text]
        return shlex.join(words)

    # -----------------------------------------------------------------------------------------
    # Previews

    def preview(self, index: Any, spec: str | list[Any], size: Any = None, *, small: bool = False) -> bytes:
        """The JPEG of photo `index` under the chain, at most `size` pixels on its long side."""
        side = _size(size)
        proxy = self.proxy(index)
        chain = self.chain(spec)
        key = (int(index), chain, side, small)
        with self._lock:
            cached = self._cache.get(key)
            if cached is not None:
                self._cache.move_to_end(key)
                return cached
        try:
            data = preview.render(proxy, chain, self.cls, side, small=small)
        except ChainError:
            raise
        except Exception as e:  # a step failing on this picture: the line `edit` prints
            raise StudioError(422, self.error_line(e)) from None
        with self._lock:
            self._cache[key] = data
            while len(self._cache) > _CACHE_ENTRIES:
                self._cache.popitem(last=False)
        return data

    # -----------------------------------------------------------------------------------------
    # Looks and exports: the only writes

    def looks(self) -> list[dict[str, str]]:
        return [{"name": look.name, "description": look.description, "steps": look.steps, "file": look.file}
                for look in sorted(looks_module.all_looks(), key=lambda look: look.name)]

    def save_look(self, name: str, description: str, data: list[Any] | str, replace: bool) -> dict[str, Any]:
        """Write the chain (its JSON form, or text) as look `name` into the looks file."""
        text = self.text_of(self.data_of(data) if isinstance(data, str) else data)
        self.chain(text)  # the look must read back as the chain it was made from
        try:
            replaced = lookfile.save_look(self.looks_file, name, text, description, replace=replace)
        except lookfile.LookExists as e:
            raise StudioError(409, str(e)) from None
        except lookfile.LookFileError as e:
            raise StudioError(400, str(e)) from None
        except OSError as e:
            raise StudioError(500, f"{self.looks_file}: {e.strerror or e}") from None
        try:
            looks_module.load(self.looks_file)
        except ValueError as e:
            raise StudioError(500, str(e)) from None
        return {"name": name.lower(), "file": self.looks_file, "steps": text, "replaced": replaced}

    def _export_name(self, source: Source | None, fmt: str | None, *, check: bool = True) -> str:
        name = source.name if source is not None else "photo.jpg"
        stem, ext = (source.stem if source is not None else "photo"), os.path.splitext(safe_name(name))[1]
        if source is not None and source.path is None and source.proxy is not None and source.proxy.format:
            try:
                ext = extension(output_format(source.proxy.format)[0])
            except ValueError:
                ext = ".jpg"
        if fmt:
            try:
                ext = extension(output_format(fmt)[0])
            except ValueError as e:
                raise StudioError(400, f"format {fmt!r}: {e}") from None
        elif not ext or format_of_path(name) is None:
            ext = ".jpg"
        candidate = os.path.join(self.export_dir, f"{stem}-studio{ext}")
        number = 2
        while check and os.path.lexists(candidate):
            candidate = os.path.join(self.export_dir, f"{stem}-studio-{number}{ext}")
            number += 1
        return candidate

    def export(self, index: Any, data: list[Any] | str, fmt: str | None = None) -> dict[str, Any]:
        """Write photo `index` at full size under the chain into the export folder, as `edit`
        does (orientation, metadata, profile), under a name no file has yet."""
        source = self.source(index)
        chain = self.chain(data)
        lines: list[str] = []
        with self._export_lock:
            target = self._export_name(source, fmt)
            if source.path is not None and os.path.exists(target) and os.path.samefile(source.path, target):
                raise StudioError(409, f"{target} is the input; nothing was written")
            try:
                # As `edit` does it: what no picture could get through is refused before reading,
                # then every step's size once the header is read, the file opened once.
                plan = Plan.make(chain, fmt=output_format_of(None, target), max_pixels=self.max_pixels,
                                 what=f"export {os.path.basename(target)!r}")
                obj = plan.open(source.opened(), source.name, lines.append, cls=self.cls)
                plan.run(obj, lines.append)
                write_photo(obj, target, echo=lines.append)
            except ChainError:
                raise
            except Exception as e:
                raise StudioError(422, self.error_line(e)) from None
        return {"path": target, "name": os.path.basename(target), "lines": "".join(lines).splitlines()}

    # -----------------------------------------------------------------------------------------
    # What the page starts from

    def photo_facts(self, index: Any) -> dict[str, Any]:
        """What the page shows of photo `index`: its name, full size, format and, for an HDR
        photo, its gain map (form, size, largest boost; None for SDR)."""
        source = self.source(index)
        proxy = self.proxy(index)
        return {"name": source.name, "size": list(proxy.full_size), "format": proxy.format, "hdr": proxy.hdr}

    def describe(self) -> dict[str, Any]:
        look_list = self.looks()
        with self._lock:
            photos = [{"index": i, "name": s.name} for i, s in enumerate(self.sources)]
        return {"photos": photos, "steps": step_controls([look["name"] for look in look_list]),
                "presets": list(builtin_presets()), "looks": look_list, "looks_file": self.looks_file,
                "export_dir": self.export_dir, "proxy_side": preview.PROXY_SIDE}


def _file_param(info: Any) -> str | None:
    """The parameter by which a step names a file the studio must have been given, if any."""
    return next(iter(info.file_params), None) if info is not None else None


def _picture_extension(data: bytes) -> str:
    """The extension of the format Pillow finds in `data` (".img" when it finds none)."""
    try:
        with Image.open(io.BytesIO(data)) as picture:
            return extension(picture.format or "") if picture.format else ".img"
    except Exception:
        return ".img"


def _size(size: Any) -> int | None:
    if size in (None, ""):
        return None
    try:
        value = int(size)
    except (TypeError, ValueError):
        raise StudioError(400, f"size {size!r}: expected a number of pixels") from None
    if not 1 <= value <= 100_000:
        raise StudioError(400, f"size {value}: expected 1 to {MAX_PREVIEW} pixels")
    return min(value, MAX_PREVIEW)


def _page_entry(part: Part) -> dict[str, Any]:
    """A part of a chain as the page keeps it: a step by its method's own name, a look as a
    preset step naming it."""
    if not isinstance(part, LookRef):
        return part.to_data()
    entry: dict[str, Any] = {"method": "apply_preset", "args": [part.name]}
    if part.strength != 1:
        entry["kwargs"] = {"strength": part.strength}
    return entry


__all__ = ["MAX_UPLOAD_BYTES", "Source", "Studio", "StudioError", "safe_name"]
