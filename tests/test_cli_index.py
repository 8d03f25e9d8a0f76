"""`framewick version --check` against a local HTTPS package index: it says what it found, and it
ends in time with bounded memory whatever the index does."""

import contextlib
import os
import socket
import subprocess
import sys
import sysconfig
import threading
import time

import pytest
from werkzeug import Response

SCRIPT = os.path.join(sysconfig.get_path("scripts"), "framewick")
RULE = "=" * 50


def check(url, timeout=30):
    """Run `framewick version --check` against `url`; returns (process, seconds, peak RSS in MiB of
    the command and its check child)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env.update(PYTHONIOENCODING="utf-8", FRAMEWICK_INDEX_URL=url)
    # A wrapper reports the largest resident size among its waited-for descendants.
    wrapper = ("import resource, subprocess, sys; done = subprocess.run(sys.argv[1:]); "
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, file=sys.stderr); "
               "sys.exit(done.returncode)")
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-c", wrapper, SCRIPT, "version", "--check"], env=env,
                          capture_output=True, text=True, encoding="utf-8", timeout=timeout)
    seconds = time.monotonic() - started
    *lines, peak = done.stderr.splitlines()
    done.stderr = "".join(line + "\n" for line in lines)
    return done, seconds, int(peak) / 1024


def answer(version, released="2031-02-03T04:05:06.7Z"):
    return {"info": {"version": version}, "releases": {version.strip(): [{"upload_time_iso_8601": released}]}}


@pytest.mark.parametrize(("serve", "status", "out", "err"), [
    (lambda s: s.expect_request("/pypi/framewick/json").respond_with_json(answer("9.0.0")), 0,
     ["🚀 [FrameWick] NEW UPDATE AVAILABLE!", "✨ Latest Version: 9.0.0", "📅 Released on: 2031-02-03 04:05:06 (UTC)",
      "👉 Run: pip install --upgrade framewick", RULE], None),
    # packaging allows blanks around a version; they are not printed.
    (lambda s: s.expect_request("/pypi/framewick/json").respond_with_json(answer(" 9.1 \n")), 0,
     ["✨ Latest Version: 9.1"], None),
    (lambda s: s.expect_request("/pypi/framewick/json").respond_with_json(answer("1.0.0")), 0,
     ["framewick is up to date (the newest release is 1.0.0)"], None),
    (lambda s: s.expect_request("/pypi/framewick/json").respond_with_data("nope", status=404), 1,
     [], "the package index gave no usable answer: the index answered with status 404"),
    (lambda s: s.expect_request("/pypi/framewick/json").respond_with_data("<html>", status=200), 1,
     [], "the package index gave no usable answer: the answer is not a package description"),
    (lambda s: s.expect_request("/pypi/framewick/json").respond_with_json({"info": {"version": "not a version"}}), 1,
     [], "gave no usable answer"),
])
def test_check_reports_what_the_index_answered(serve, status, out, err, served):
    serve(served)
    done, _, _ = check(served.url_for("/pypi/"))
    assert done.returncode == status, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "framewick 1.0.0"
    for line in out:
        assert line in lines
    if err is None:
        assert done.stderr == ""
    else:
        assert err in done.stderr and len(done.stderr.splitlines()) == 1
        assert "up to date" not in done.stdout and "NEW UPDATE" not in done.stdout


def test_a_redirect_to_plain_http_is_not_trusted(served):
    from pytest_httpserver import HTTPServer

    plain = HTTPServer(host="localhost", port=0)
    plain.start()
    try:
        plain.expect_request("/plain").respond_with_json(answer("9.0.0"))
        served.expect_request("/pypi/framewick/json").respond_with_response(
            Response(status=302, headers={"Location": plain.url_for("/plain")}))
        done, _, _ = check(served.url_for("/pypi/"))
    finally:
        plain.stop()
    assert done.returncode == 1
    assert "gave no usable answer: the index redirected to an address that is not HTTPS" in done.stderr
    assert "NEW UPDATE" not in done.stdout


def test_unreachable_and_plain_http_indexes_are_said_so(trusted):
    with socket.socket() as closed:  # a port nobody listens on
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
    done, _, _ = check(f"https://127.0.0.1:{port}/pypi/")
    assert done.returncode == 1
    assert "framewick version: the package index could not be reached: no connection" in done.stderr
    assert "up to date" not in done.stdout
    done, _, _ = check("http://127.0.0.1/pypi/")
    assert done.returncode == 2 and "HTTPS only" in done.stderr


class RawIndex:
    """A TLS server on loopback that does `behaviour(tls)` to every connection after its request."""

    def __init__(self, context, behaviour):
        self.context, self.behaviour = context, behaviour
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.stop = threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        with contextlib.suppress(OSError):
            while not self.stop.is_set():
                conn, _ = self.listener.accept()
                threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        with contextlib.suppress(OSError), self.context.wrap_socket(conn, server_side=True) as tls:
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = tls.recv(4096)
                if not chunk:
                    return
                head += chunk
            self.behaviour(tls, self.stop)

    def close(self):
        self.stop.set()
        self.listener.close()


def trickle(tls, stop):
    """One byte every two seconds: each read is within the client's time-out, the answer never ends."""
    tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n")
    while not stop.wait(2.0):
        tls.sendall(b" ")


def huge(tls, stop):
    """An answer of 1.5 GB, sent as fast as the client reads."""
    tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1500000000\r\n\r\n"
                b'{"info": {"version": "9.0.0"}, "pad": "')
    block = b"x" * (1 << 20)
    for _ in range(1500):
        if stop.is_set():
            return
        tls.sendall(block)


@pytest.mark.parametrize(("behaviour", "message"), [
    (trickle, "could not be reached: no complete answer within 12 seconds"),
    (huge, "gave no usable answer: the answer is larger than 8 MiB"),
])
def test_a_hostile_index_cannot_hold_the_check_or_fill_memory(behaviour, message, authority, trusted):
    server = RawIndex(authority[0], behaviour)
    try:
        done, seconds, peak = check(f"https://localhost:{server.port}/pypi/")
    finally:
        server.close()
    assert done.returncode == 1
    assert message in done.stderr
    assert seconds < 15
    assert peak < 256, f"{peak:.0f} MiB resident"
