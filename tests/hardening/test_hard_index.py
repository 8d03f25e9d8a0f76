"""A hostile package index: a local HTTPS index (pytest-httpserver with a trustme authority, and a
raw TLS socket server for what HTTP servers won't do) that answers late, never, hugely, with
JSON of every wrong shape, with a redirect loop or by resetting the connection mid-body; and a
hundred checks started at once. Nothing is printed but a correct notice, nothing reaches the
caller, and every check thread ends within the check's 5 s time-out plus a second."""

import contextlib
import json
import socket
import ssl
import struct
import threading
import time

import pytest
import trustme
from werkzeug import Response

import hard_support as hs

TIME_OUT = 5.0
RULE = "=" * 50


def notice(latest, released, running="1.0.0", package="framewick"):
    """The seven texts of the notice, one per print."""
    return ["\n" + RULE, "🚀 [FrameWick] NEW UPDATE AVAILABLE!", f"✨ Latest Version: {latest}",
            f"📅 Released on: {released} (UTC)", f"\U0001F6E0\uFE0F Your Version: {running}",
            f"👉 Run: pip install --upgrade {package}", RULE + "\n"]


class Console:
    """A stdout for many threads: keeps the text of every print (list appends are atomic)."""

    encoding = "utf-8"
    errors = "strict"

    def __init__(self):
        self.writes = []

    def write(self, text):
        self.writes.append(text)
        return len(text)

    def flush(self):
        pass

    def texts(self):
        return [w for w in self.writes if w != "\n"]


# ---------------------------------------------------------------------------------------------
# The index

class RawIndex:
    """A TLS server on loopback that does to each connection what `behaviour(tls_socket)` does,
    after reading the request head."""

    def __init__(self, context, behaviour, handshake=True):
        self.context, self.behaviour, self.handshake = context, behaviour, handshake
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.connections = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        with contextlib.suppress(OSError):
            while True:
                conn, _ = self.listener.accept()
                self.connections.append(conn)
                threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        with contextlib.suppress(OSError, ssl.SSLError):
            if not self.handshake:
                time.sleep(TIME_OUT + 2)
                return
            with self.context.wrap_socket(conn, server_side=True) as tls:
                head = b""
                while b"\r\n\r\n" not in head:
                    chunk = tls.recv(4096)
                    if not chunk:
                        return
                    head += chunk
                self.behaviour(tls)

    def close(self):
        self.listener.close()
        for conn in self.connections:
            with contextlib.suppress(OSError):
                conn.close()


def reset_mid_body(tls):
    body = json.dumps({"info": {"version": "2.0"}, "pad": "x" * 100_000}).encode()
    tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                b"Content-Length: %d\r\n\r\n" % len(body) + body[: len(body) // 2])
    # An abortive close: the peer sees a reset, not an orderly end.
    tls.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    tls.close()


def answer_late(tls):
    time.sleep(TIME_OUT + 1.5)
    body = json.dumps({"info": {"version": "2.0"}}).encode()
    tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)


# ---------------------------------------------------------------------------------------------
# Running checks

class Checks:
    """Starts checks through start_check, seeing every thread it starts."""

    def __init__(self, monkeypatch):
        self.threads = []
        self.escaped = []
        checks = self

        class Thread(threading.Thread):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                checks.threads.append(self)

        monkeypatch.setattr(hs.module("updater"), "threading",
                            type("threading", (), {"Thread": Thread}))
        monkeypatch.setattr(threading, "excepthook", lambda args: self.escaped.append(args.exc_value))

    def run(self, packages, running="1.0.0"):
        """Starts one check per package name at once; returns the console's texts and the
        slowest thread's lifetime."""
        updater = hs.module("updater")
        console = Console()
        with contextlib.redirect_stdout(console):
            started = time.monotonic()
            for package in packages:
                u = updater.FrameWickUpdater(package, running)
                assert u.start_check() is u
            for thread in self.threads:
                thread.join(max(0.0, started + TIME_OUT + 1 - time.monotonic()))
            lifetime = time.monotonic() - started
            alive = [t for t in self.threads if t.is_alive()]
        assert not alive, f"{len(alive)} check threads outlived the time-out plus a second"
        assert len(self.threads) == len(packages)
        assert not self.escaped, self.escaped
        self.threads.clear()
        return console.texts(), lifetime


@pytest.fixture
def checks(monkeypatch):
    return Checks(monkeypatch)


# ---------------------------------------------------------------------------------------------
# Answers

LATEST = {"info": {"version": "2.0"}}


def with_files(files):
    return {"info": {"version": "2.0"}, "releases": {"2.0": files}}


# (body, the notice's (latest, released) or None for silence)
SHAPES = {
    "not json": (b"<html>not json</html>", None),
    "empty": (b"", None),
    "list": ([], None), "string": ("info", None), "null": (None, None), "number": (2.0, None),
    "no info": ({}, None), "info null": ({"info": None}, None), "info list": ({"info": ["2.0"]}, None),
    "no version": ({"info": {}}, None), "version null": ({"info": {"version": None}}, None),
    "version number": ({"info": {"version": 2}}, None),
    "version list": ({"info": {"version": ["2.0"]}}, None),
    "version invalid": ({"info": {"version": "two point oh"}}, None),
    "version older": ({"info": {"version": "0.9"}}, None),
    "version equal": ({"info": {"version": "1.0.0"}}, None),
    "releases list": ({"info": {"version": "2.0"}, "releases": []}, None),
    "releases null": ({"info": {"version": "2.0"}, "releases": None}, None),
    "releases string": ({"info": {"version": "2.0"}, "releases": "2.0"}, None),
    "no releases": (LATEST, ("2.0", "Unknown")),
    "release missing": ({"info": {"version": "2.0"}, "releases": {"1.0": [{}]}}, ("2.0", "Unknown")),
    "files empty": (with_files([]), ("2.0", "Unknown")),
    "files null": (with_files(None), ("2.0", "Unknown")),
    "files empty dict": (with_files({}), ("2.0", "Unknown")),
    "files dict": (with_files({"a": 1}), None),
    "files string": (with_files("abc"), None),
    "files number": (with_files(7), None),
    "file null": (with_files([None]), None),
    "file list": (with_files([[1, 2]]), None),
    "file without time": (with_files([{}]), ("2.0", "Unknown")),
    "time null": (with_files([{"upload_time_iso_8601": None}]), None),
    "time number": (with_files([{"upload_time_iso_8601": 1709296496}]), None),
    "time garbage": (with_files([{"upload_time_iso_8601": "yesterday at noon"}]), None),
    "time Unknown": (with_files([{"upload_time_iso_8601": "Unknown"}]), ("2.0", "Unknown")),
    "time with Z": (with_files([{"upload_time_iso_8601": "2024-03-01T12:34:56.789012Z"}]),
                    ("2.0", "2024-03-01 12:34:56")),
    "time naive": (with_files([{"upload_time_iso_8601": "2024-03-01T12:34:56"}]), ("2.0", "2024-03-01 12:34:56")),
    "deep nesting": (b"[" * 100_000 + b"]" * 100_000, None),
    "huge number": (b'{"info": {"version": 1e999}}', None),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_every_shape_of_answer_prints_a_correct_notice_or_nothing(shape, served, checks):
    body, expected = SHAPES[shape]
    package = "p" + str(abs(hash(shape)))
    handler = served.expect_request(f"/pypi/{package}/json")
    if isinstance(body, bytes):
        handler.respond_with_data(body, content_type="application/json")
    else:
        handler.respond_with_json(body)
    texts, _ = checks.run([package])
    assert texts == (notice(*expected, package=package) if expected else [])


@pytest.mark.parametrize("status", [301, 304, 400, 404, 418, 500, 503])
def test_other_status_codes_print_nothing(status, served, checks):
    served.expect_request("/pypi/framewick/json").respond_with_json(LATEST, status=status)
    assert checks.run(["framewick"])[0] == []


def test_redirect_loop_ends_silently(served, checks):
    loop = served.url_for("/pypi/framewick/json")
    served.expect_request("/pypi/framewick/json").respond_with_response(
        Response(status=302, headers={"Location": loop}))
    served.expect_request("/pypi/downgrade/json").respond_with_response(
        Response(status=302, headers={"Location": loop.replace("https://", "http://")}))
    assert checks.run(["framewick", "downgrade"])[0] == []


def test_huge_answers(served, checks):
    pad = "🚀" * 5_000_000                      # 20 MB of UTF-8 in a description field
    served.expect_request("/pypi/big/json").respond_with_json(
        {"info": {"version": "2.0", "description": pad}, "releases": {"2.0": []}})
    served.expect_request("/pypi/junk/json").respond_with_data(b"x" * 20_000_000)
    texts, _ = checks.run(["big", "junk"])
    assert texts == notice("2.0", "Unknown", package="big")


def test_late_mute_and_reset_indexes_end_within_the_time_out(authority, trusted, checks, monkeypatch):
    updater = hs.module("updater")
    servers = {name: RawIndex(authority[0], behaviour, handshake)
               for name, behaviour, handshake in [("late", answer_late, True), ("mute", None, False),
                                                  ("reset", reset_mid_body, True)]}
    try:
        # One updater per server: the address is read when the updater is made.
        made = []
        real = updater.FrameWickUpdater
        for name, server in servers.items():
            monkeypatch.setattr(updater, "INDEX_URL", f"https://127.0.0.1:{server.port}/pypi/")
            made.append(real(name, "1.0.0"))
        console = Console()
        with contextlib.redirect_stdout(console):
            started = time.monotonic()
            for u in made:
                u.start_check()
            for thread in checks.threads:
                thread.join(max(0.0, started + TIME_OUT + 1 - time.monotonic()))
        assert not [t for t in checks.threads if t.is_alive()], "a check outlived the time-out plus a second"
        assert len(checks.threads) == 3
        assert console.texts() == [] and not checks.escaped
    finally:
        for server in servers.values():
            server.close()


def test_a_hundred_checks_at_once(served, checks):
    served.expect_request("/pypi/framewick/json").respond_with_json(
        with_files([{"upload_time_iso_8601": "2024-03-01T12:34:56Z"}]))
    texts, lifetime = checks.run(["framewick"] * 100)
    # The seven lines of a hundred notices, interleaved as the threads ran.
    assert sorted(texts) == sorted(notice("2.0", "2024-03-01 12:34:56") * 100)
    assert lifetime < TIME_OUT + 1


def test_untrusted_certificate_is_refused_silently(index, monkeypatch, checks, tmp_path):
    # The index's authority is not trusted: the check fails in the TLS handshake, silently.
    other = tmp_path / "other.pem"
    trustme.CA().cert_pem.write_to_path(str(other))
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(other))
    monkeypatch.setenv("NO_PROXY", "localhost,127.0.0.1")
    monkeypatch.setattr(hs.module("updater"), "INDEX_URL", index.url_for("/pypi/"))
    index.clear()
    index.expect_request("/pypi/framewick/json").respond_with_json(LATEST)
    assert checks.run(["framewick"])[0] == []
    assert not index.log
    index.clear()
