"""JPEG XL in Pillow through Debian's python3-pillow-jpegxl-plugin (`pillow_jxl`), when installed.

The plugin decodes a file whole when it is opened, and libjxl reports a damaged file by writing
its reason to the process's standard error (file descriptor 2, from C) while the plugin raises
a RuntimeError that says nothing about the file. Registered here is the plugin's reader with
that decode wrapped: libjxl's line is caught and becomes the reason of a `DecodeError`, and
nothing of it reaches the terminal.
"""

from __future__ import annotations

import os
import re
import struct
import sys
import tempfile
import threading
from collections.abc import Callable
from typing import TypeVar

import pillow_jxl  # noqa: F401  (ImportError when the plugin is not installed; importing registers it)
from PIL import Image
from pillow_jxl import JpegXLImagePlugin as _plugin

from framewick.formats import DecodeError, is_jxl

__all__ = ["PROVIDER", "register"]

PROVIDER = "pillow_jxl"

T = TypeVar("T")

# libjxl's report of a failure: "./lib/jxl/decode.cc:2041: premature end of input".
_LIBJXL_LINE = re.compile(rb"^\S+\.(?:cc|h):\d+: (.+)$")
# One redirection of fd 2 at a time: two overlapping ones would restore each other's descriptor.
_stderr_lock = threading.Lock()


def _captured_stderr(action: Callable[[], T]) -> tuple[T | RuntimeError, bytes]:
    """Run `action` with file descriptor 2 sent to a temporary file; returns (what `action`
    returned or the exception it raised, the bytes written to fd 2 meanwhile)."""
    with _stderr_lock, tempfile.TemporaryFile() as sink:
        try:
            sys.stderr.flush()
        except (AttributeError, OSError, ValueError):
            pass
        saved = os.dup(2)
        try:
            os.dup2(sink.fileno(), 2)
            try:
                outcome: T | RuntimeError = action()
            except RuntimeError as error:
                outcome = error
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        sink.seek(0)
        return outcome, sink.read()


def _reason(error: RuntimeError, chatter: bytes) -> str:
    """Why libjxl refused the file: its own last line where it wrote one, else the plugin's
    error unless that is its generic advice to rebuild the library."""
    found = [m.group(1).decode("utf-8", "replace").strip()
             for m in map(_LIBJXL_LINE.match, chatter.splitlines()) if m]
    if found:
        return found[-1]
    text = str(error).strip()
    if not text or "build `libjxl`" in text or text.startswith("Generic Error"):
        return "the JPEG XL decoder refused it as damaged"
    return text


def _pass_on(chatter: bytes) -> None:
    """Write back to fd 2 what was caught there but is not libjxl's (another thread's output)."""
    rest = b"".join(line for line in chatter.splitlines(keepends=True) if not _LIBJXL_LINE.match(line.rstrip(b"\r\n")))
    if rest:
        try:
            os.write(2, rest)
        except OSError:
            pass


class JXLImageFile(_plugin.JXLImageFile):
    """The plugin's reader, its decode kept quiet and its failures named. libjxl turns the
    picture upright by the codestream's orientation; the EXIF and XMP orientation, which then
    describe the turn already made, are reset to 1 so that nothing turns it twice, and
    `info["jxl"]["orientation"]` is that turn (1: none), for a caller that wants the pixels as
    stored; `info["jxl"]["bits"]` the bits per sample the codestream states (32 for float; None
    when its header cannot be read). The codestream is found past boxes of any size before it."""

    def _open(self) -> None:
        outcome, chatter = _captured_stderr(super()._open)
        _pass_on(chatter)
        if isinstance(outcome, RuntimeError):
            raise DecodeError(_reason(outcome, chatter)) from None
        from framewick.formats import tags

        assert self.fp is not None
        fp = self.fp

        def read(at: int, count: int) -> bytes:
            fp.seek(at)
            return fp.read(count)

        try:
            where = fp.tell()
            head = tags.jxl_codestream_head(read)
            fp.seek(where)
        except (OSError, ValueError, struct.error):
            head = b""
        turned = tags.jxl_orientation(head)
        self.info["jxl"] = {"orientation": turned, "bits": tags.jxl_bits(head)}
        if turned != 1:
            if isinstance(self.info.get("exif"), bytes):
                self.info["exif"] = tags.with_orientation(self.info["exif"], 1)
            if isinstance(self.info.get("xmp"), bytes):
                self.info["xmp"] = tags.xmp_with_orientation(self.info["xmp"], 1)


def register() -> None:
    """Put the quiet reader in the plugin's place (importing the plugin registered its own, with
    saving and the .jxl extension)."""
    if Image.OPEN.get(JXLImageFile.format, (None,))[0] is not JXLImageFile:
        Image.register_open(JXLImageFile.format, JXLImageFile, is_jxl)
