"""The studio's web server: the page, its files, the previews and the few requests that write.

The standard library's threading HTTP server, bound to 127.0.0.1: one thread per request, so
a slow export never holds up a preview. Every request is checked before anything else:

1. The Host header must be the server's own address (127.0.0.1:PORT or localhost:PORT), so a
   page of another site that rebinds its name to 127.0.0.1 gets nothing (DNS rebinding).
2. The run's token must be given, as ``?token=`` or the ``X-Studio-Token`` header; it is
   compared in constant time. Without it: 403.
3. A request that changes something (POST) must come from the studio's own page: an Origin
   header, when the browser sends one, must be the server's own; its body must be JSON or, for
   uploads, carry the token in the header (which a form of another site cannot set).

No part of a URL becomes a file path: the page's own files are found in a fixed table, and
photos by their number.
"""

from __future__ import annotations

import hmac
import json
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any, Final
from urllib.parse import parse_qs, unquote, urlsplit

from framewick.chain import ChainError
from framewick.studio.state import MAX_UPLOAD_BYTES, Studio, StudioError, safe_name

TOKEN_HEADER: Final = "X-Studio-Token"
#: The page and its files, by the path they are asked for: (file in the package, content type).
PAGE_FILES: Final = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/studio.js": ("studio.js", "text/javascript; charset=utf-8"),
    "/studio.css": ("studio.css", "text/css; charset=utf-8"),
}
MAX_JSON_BYTES: Final = 1 << 20
_SECURITY_HEADERS: Final = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
                               "connect-src 'self'; form-action 'none'; frame-ancestors 'none'; base-uri 'none'",
    "X-Content-Type-Options": "nosniff",
    "X-Frame-Options": "DENY",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
    "Cross-Origin-Resource-Policy": "same-origin",
}


def _page_file(name: str) -> bytes:
    return resources.files("framewick.studio").joinpath("page", name).read_bytes()


class StudioServer(ThreadingHTTPServer):
    """A threading HTTP server on loopback serving one `Studio`."""

    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    def __init__(self, studio: Studio, port: int = 0, host: str = "127.0.0.1") -> None:
        self.studio = studio
        super().__init__((host, port), Handler)
        self.port = self.server_address[1]
        self.hosts = frozenset({f"127.0.0.1:{self.port}", f"localhost:{self.port}"})
        self.origins = frozenset(f"http://{h}" for h in self.hosts)

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/?token={self.studio.token}"


class Handler(BaseHTTPRequestHandler):
    server: StudioServer
    protocol_version = "HTTP/1.1"
    server_version = "framewick-studio"
    sys_version = ""

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        pass  # the terminal shows the one address line, not a line per preview

    # -------------------------------------------------------------------------------------------
    # Answers

    def _send(self, status: int, body: bytes, content_type: str, headers: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in {**_SECURITY_HEADERS, **(headers or {})}.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _text(self, status: int, line: str) -> None:
        self._send(status, (line + "\n").encode("utf-8"), "text/plain; charset=utf-8")

    def _json(self, status: int, data: Any) -> None:
        self._send(status, json.dumps(data, ensure_ascii=False).encode("utf-8"), "application/json; charset=utf-8")

    def _refuse(self, status: int, line: str) -> None:
        self.close_connection = True
        self._text(status, line)

    # -------------------------------------------------------------------------------------------
    # The checks every request passes

    def _allowed(self, changes: bool) -> bool:
        host = self.headers.get("Host", "")
        if host not in self.server.hosts:
            self._refuse(HTTPStatus.FORBIDDEN, f"host {host!r} is not this studio's address")
            return False
        given = self.headers.get(TOKEN_HEADER) or self._query().get("token", "")
        if not hmac.compare_digest(given.encode("utf-8", "replace"), self.server.studio.token.encode("utf-8")):
            self._refuse(HTTPStatus.FORBIDDEN, "this studio's token is missing or wrong; open the address it printed")
            return False
        if changes:
            origin = self.headers.get("Origin")
            if origin is not None and origin not in self.server.origins:
                self._refuse(HTTPStatus.FORBIDDEN, f"origin {origin!r} may not change anything here")
                return False
            site = self.headers.get("Sec-Fetch-Site")
            if site is not None and site not in ("same-origin", "none"):
                self._refuse(HTTPStatus.FORBIDDEN, f"a request from another site ({site}) may not change anything here")
                return False
        return True

    def _query(self) -> dict[str, str]:
        """The query of the request being answered (one handler answers every request of a
        kept-alive connection, so nothing of an earlier one may stay)."""
        query = parse_qs(urlsplit(self.path).query, keep_blank_values=True)
        return {k: v[-1] for k, v in query.items()}

    def _route(self) -> str:
        return unquote(urlsplit(self.path).path)

    # -------------------------------------------------------------------------------------------
    # GET: the page, its state, previews

    def do_HEAD(self) -> None:
        self.do_GET()

    def do_GET(self) -> None:
        if not self._allowed(changes=False):
            return
        route, query, studio = self._route(), self._query(), self.server.studio
        try:
            if route in PAGE_FILES:
                name, content_type = PAGE_FILES[route]
                body = _page_file(name)
                if name == "index.html":  # the token is URL-safe text: nothing to escape
                    body = body.replace(b"__TOKEN__", studio.token.encode("ascii"))
                self._send(HTTPStatus.OK, body, content_type)
            elif route == "/api/state":
                self._json(HTTPStatus.OK, studio.describe())
            elif route == "/api/photo":
                self._json(HTTPStatus.OK, studio.photo_facts(query.get("photo", "0")))
            elif route in ("/preview", "/thumb"):
                body = studio.preview(query.get("photo", "0"), query.get("steps", ""), query.get("size"),
                                      small=route == "/thumb")
                self._send(HTTPStatus.OK, body, "image/jpeg")
            else:
                self._refuse(HTTPStatus.NOT_FOUND, f"{route}: no such page")
        except ChainError as e:
            self._text(HTTPStatus.BAD_REQUEST, str(e))
        except StudioError as e:
            self._text(e.status, e.line)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    # -------------------------------------------------------------------------------------------
    # POST: chains read, looks saved, exports written, uploads kept

    def _body(self, limit: int) -> bytes:
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            raise StudioError(HTTPStatus.LENGTH_REQUIRED, "a request body needs its Content-Length") from None
        if length < 0 or length > limit:
            raise StudioError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, f"the request body is larger than {limit} bytes")
        data = bytearray()
        while len(data) < length:
            piece = self.rfile.read(min(length - len(data), 1 << 20))
            if not piece:
                break
            data += piece
        if len(data) != length:
            raise StudioError(HTTPStatus.BAD_REQUEST, "the request body ended early")
        return bytes(data)

    def _json_body(self) -> dict[str, Any]:
        if self.headers.get_content_type() != "application/json":
            raise StudioError(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "this request takes a JSON body")
        try:
            data = json.loads(self._body(MAX_JSON_BYTES))
        except (json.JSONDecodeError, UnicodeDecodeError, RecursionError) as e:
            raise StudioError(HTTPStatus.BAD_REQUEST, f"the request body is not JSON ({e})") from None
        if not isinstance(data, dict):
            raise StudioError(HTTPStatus.BAD_REQUEST, "the request body is a JSON object")
        return data

    def do_POST(self) -> None:
        if not self._allowed(changes=True):
            return
        route, studio = self._route(), self.server.studio
        try:
            if route == "/api/upload":
                self._upload()
                return
            body = self._json_body()
            if route == "/api/chain":
                self._json(HTTPStatus.OK, self._chain(body))
            elif route == "/api/look":
                self._json(HTTPStatus.OK, studio.save_look(str(body.get("name", "")), str(body.get("description", "")),
                                                           body.get("steps", []), bool(body.get("replace", False))))
            elif route == "/api/export":
                fmt = body.get("format") or None
                self._json(HTTPStatus.OK, studio.export(body.get("photo", 0), body.get("steps", []),
                                                        str(fmt) if fmt else None))
            else:
                self._refuse(HTTPStatus.NOT_FOUND, f"{route}: no such request")
        except ChainError as e:
            self._json(HTTPStatus.BAD_REQUEST, {"error": str(e), "line": f"framewick edit: error: {e}"})
        except StudioError as e:
            self.close_connection = True  # a body left unread would be taken for the next request
            self._json(e.status, {"error": e.line, "line": e.line})
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def _chain(self, body: dict[str, Any]) -> dict[str, Any]:
        """A chain from the page (its JSON form, or pasted text): its text, JSON and command."""
        studio = self.server.studio
        if "text" in body:
            text = str(body["text"]).strip()
            data = studio.data_of(text)
        else:
            data = body.get("steps", [])
        text = studio.text_of(data)
        photo = body.get("photo", 0)
        return {"steps": data, "text": text, "command": studio.command(text, int(photo) if str(photo).isdigit() else 0)}

    def _upload(self) -> None:
        studio = self.server.studio
        if self.headers.get(TOKEN_HEADER) is None:
            raise StudioError(HTTPStatus.FORBIDDEN, f"an upload carries the token in the {TOKEN_HEADER} header")
        query = self._query()
        name = query.get("name", "upload")
        data = self._body(MAX_UPLOAD_BYTES)
        kind = query.get("kind", "photo")
        if kind == "photo":
            index = studio.add_upload(name, data)
            self._json(HTTPStatus.OK, {"photo": index, "name": studio.sources[index].name})
        else:
            path = studio.add_file(kind, name, data)
            self._json(HTTPStatus.OK, {"path": path, "name": safe_name(name)})


def serve(studio: Studio, port: int = 0) -> StudioServer:
    """A server for `studio` on 127.0.0.1 (`port` 0: a free one), ready for serve_forever."""
    return StudioServer(studio, port)


def run_in_thread(server: StudioServer) -> threading.Thread:
    thread = threading.Thread(target=server.serve_forever, name="framewick-studio", daemon=True)
    thread.start()
    return thread
