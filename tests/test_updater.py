"""FrameWickUpdater against a real HTTPS index on loopback: the notice for a newer release, the
silent end of every failed check, the background thread, and the index address setting."""

import re
import socket
import sys
import threading
import traceback

import pytest
from werkzeug import Response

import framewick.utils.updater as updater_module
from framewick.utils.updater import FrameWickUpdater

RULE = "=" * 50
PATH = "/pypi/framewick/json"


def notice(latest, released, running="1.0.0", package="framewick"):
    """The seven lines of the notice, as the console receives them."""
    return (f"\n{RULE}\n"
            "🚀 [FrameWick] NEW UPDATE AVAILABLE!\n"
            f"✨ Latest Version: {latest}\n"
            f"📅 Released on: {released} (UTC)\n"
            f"\U0001F6E0\uFE0F Your Version: {running}\n"
            f"👉 Run: pip install --upgrade {package}\n"
            f"{RULE}\n\n")


def answer(latest="1.1.0", files=None, **extra):
    """An index answer naming `latest` as the newest version with `files` as its file records."""
    body = {"info": {"version": latest, "summary": "image editing"}, "releases": {"1.0.0": []}}
    if files is not None:
        body["releases"][latest] = files
    body.update(extra)
    return body


# ---------------------------------------------------------------------------------------------
# The index (fixtures in conftest): HTTPS on loopback with a certificate from a local authority

def asked_once(index, path=PATH):
    """The index saw exactly one plain GET of `path` (so a silent check did reach it)."""
    assert [(r.method, r.path, r.query_string) for r, _ in index.log] == [("GET", path, b"")]


# ---------------------------------------------------------------------------------------------
# Construction and the index address

def test_default_index_address_has_the_api_shape():
    assert re.fullmatch(r"https://[^/]+/pypi/", updater_module.INDEX_URL)


def test_api_url_reads_the_index_address_at_construction(monkeypatch):
    monkeypatch.setattr(updater_module, "INDEX_URL", "https://mirror.test/pypi/")
    first = FrameWickUpdater("framewick", "1.0.0")
    monkeypatch.setattr(updater_module, "INDEX_URL", "https://other.test/pypi/")
    second = FrameWickUpdater(current_version="2.0", package_name="pkg")
    assert vars(first) == {"package_name": "framewick", "current_version": "1.0.0",
                           "api_url": "https://mirror.test/pypi/framewick/json"}
    assert second.api_url == "https://other.test/pypi/pkg/json"


class Text(str):
    pass


@pytest.mark.parametrize("package_name, current_version, bad, got", [
    (None, "1.0.0", "package_name", "NoneType"),
    (Text("framewick"), "1.0.0", "package_name", "Text"),
    ("framewick", None, "current_version", "NoneType"),
    ("framewick", b"1.0.0", "current_version", "bytes"),
])
def test_init_takes_exact_str_only(package_name, current_version, bad, got):
    blank = FrameWickUpdater.__new__(FrameWickUpdater)
    with pytest.raises(TypeError) as err:
        blank.__init__(package_name, current_version)
    assert str(err.value) == f"Argument '{bad}' has incorrect type (expected str, got {got})"
    assert vars(blank) == {}


def test_notify_user_checks_its_arguments(capsys):
    u = FrameWickUpdater("framewick", "1.0.0")
    with pytest.raises(TypeError, match=r"^Argument 'upload_time' has incorrect type \(expected str, got NoneType\)$"):
        u._notify_user("1.1.0", None)
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------------------------------------
# A newer release: the notice

@pytest.mark.parametrize("running, latest, files, released", [
    ("1.0.0", "1.1.0", [{"upload_time_iso_8601": "2024-03-01T12:34:56.789012Z"}], "2024-03-01 12:34:56"),
    ("1.1.0rc1", "1.1.0", [{"upload_time_iso_8601": "2024-03-01T12:34:56Z"}], "2024-03-01 12:34:56"),
    ("1.0.0", "1.10", [{"upload_time_iso_8601": "2024-03-01T12:34:56+00:00"}], "2024-03-01 12:34:56"),
    ("1.0.0", "2.0", [{"upload_time_iso_8601": "2024-03-01T12:34:56"}], "2024-03-01 12:34:56"),
    # Another offset is shown in UTC, as the notice says; across midnight too.
    ("1.0.0", "2.0", [{"upload_time_iso_8601": "2024-03-01T12:34:56+05:00"}], "2024-03-01 07:34:56"),
    ("1.0.0", "2.0", [{"upload_time_iso_8601": "2024-02-29T22:00:00.5-03:30"}], "2024-03-01 01:30:00"),
    # Only the first file record counts; without a time (or without files) the time is Unknown.
    ("1.0.0", "2.0", [{"filename": "a.whl"}, {"upload_time_iso_8601": "2024-03-01T12:34:56Z"}], "Unknown"),
    ("1.0.0", "2.0", [], "Unknown"),
    ("1.0.0", "2.0", None, "Unknown"),
])
def test_newer_release_prints_the_notice(served, capsys, running, latest, files, released):
    served.expect_request(PATH).respond_with_json(answer(latest, files))
    assert FrameWickUpdater("framewick", running)._check_logic() is None
    assert capsys.readouterr().out == notice(latest, released, running=running)
    asked_once(served)


def test_notice_without_releases_table(served, capsys):
    served.expect_request(PATH).respond_with_json({"info": {"version": "3.0"}})
    FrameWickUpdater("framewick", "1.0.0")._check_logic()
    assert capsys.readouterr().out == notice("3.0", "Unknown")


# ---------------------------------------------------------------------------------------------
# Every failed or negative check ends silently

def respond(server, **how):
    server.expect_request(PATH).respond_with_response(Response(**how))


@pytest.mark.parametrize("running, setup", [
    ("1.0.0", lambda s: s.expect_request(PATH).respond_with_json(answer("1.0.0", []))),
    ("1.1.0.dev1", lambda s: s.expect_request(PATH).respond_with_json(answer("1.0.0", []))),
    ("1.0.0", lambda s: respond(s, response="Not Found", status=404)),
    ("1.0.0", lambda s: s.expect_request(PATH).respond_with_json(answer("2.0", []), status=500)),
    ("1.0.0", lambda s: respond(s, response="<html>maintenance</html>", status=200, content_type="text/html")),
    ("1.0.0", lambda s: s.expect_request(PATH).respond_with_json({"releases": {}})),
    ("1.0.0", lambda s: s.expect_request(PATH).respond_with_json({"info": {"name": "framewick"}})),
    ("1.0.0", lambda s: s.expect_request(PATH).respond_with_json(["not", "an", "object"])),
    ("1.0.0", lambda s: s.expect_request(PATH).respond_with_json(answer("not a version", []))),
    ("not a version", lambda s: s.expect_request(PATH).respond_with_json(answer("2.0", []))),
    ("1.0.0", lambda s: s.expect_request(PATH).respond_with_json(answer("2.0", [{"upload_time_iso_8601": "yesterday"}]))),
    ("1.0.0", lambda s: s.expect_request(PATH).respond_with_json(answer("2.0", [{"upload_time_iso_8601": None}]))),
    ("1.0.0", lambda s: s.expect_request(PATH).respond_with_json(answer("2.0", releases=["2.0"]))),
], ids=["equal", "older-than-dev", "404", "500", "not-json", "no-info", "no-version", "json-list",
        "bad-latest", "bad-running", "bad-time", "null-time", "releases-list"])
def test_failed_check_prints_nothing(served, capsys, running, setup):
    setup(served)
    assert FrameWickUpdater("framewick", running)._check_logic() is None
    assert capsys.readouterr() == ("", "")
    asked_once(served)


def test_unreachable_index_prints_nothing(trusted, monkeypatch, capsys):
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
    monkeypatch.setattr(updater_module, "INDEX_URL", f"https://127.0.0.1:{port}/pypi/")
    assert FrameWickUpdater("framewick", "1.0.0")._check_logic() is None
    assert capsys.readouterr() == ("", "")


def test_unanswered_request_times_out_silently(trusted, monkeypatch, capsys):
    """An index that takes the connection and never answers: the 5 s time-out ends the check
    (about 5 s; deselect with -k 'not times_out')."""
    with socket.create_server(("127.0.0.1", 0)) as mute:
        monkeypatch.setattr(updater_module, "INDEX_URL", f"https://127.0.0.1:{mute.getsockname()[1]}/pypi/")
        u = FrameWickUpdater("framewick", "1.0.0")
        check = threading.Thread(target=u._check_logic, daemon=True)
        check.start()
        check.join(60)
        assert not check.is_alive(), "the request was not bounded by a time-out"
    assert capsys.readouterr() == ("", "")


def test_request_is_one_get_with_a_five_second_timeout(tape, monkeypatch, capsys):
    monkeypatch.setattr(updater_module, "requests", tape("requests", results={"get": OSError("offline")}))
    u = FrameWickUpdater("framewick", "1.0.0")
    assert u._check_logic() is None
    assert tape.calls() == [("requests", "get", (u.api_url,), {"timeout": 5})]
    assert capsys.readouterr() == ("", "")


def test_interrupt_is_not_swallowed(tape, monkeypatch, capsys):
    monkeypatch.setattr(updater_module, "requests", tape("requests", results={"get": KeyboardInterrupt}))
    with pytest.raises(KeyboardInterrupt) as err:
        FrameWickUpdater("framewick", "1.0.0")._check_logic()
    entries = [(f.filename, f.name) for f in traceback.extract_tb(err.value.__traceback__)]
    assert ("framewick_source/utils/updater", "framewick.utils.updater.FrameWickUpdater._check_logic") in entries
    assert capsys.readouterr().out == ""


def test_failing_print_ends_the_notice_silently(served, monkeypatch):
    class Breaks:
        """Console that fails on the third line."""
        def __init__(self):
            self.lines = []

        def write(self, text):
            if text != "\n" and len(self.lines) == 2:
                raise OSError("console gone")
            if text != "\n":
                self.lines.append(text)

        def flush(self):
            pass

    console = Breaks()
    monkeypatch.setattr(sys, "stdout", console)
    served.expect_request(PATH).respond_with_json(answer("2.0", []))
    assert FrameWickUpdater("framewick", "1.0.0")._check_logic() is None
    assert console.lines == [f"\n{RULE}", "🚀 [FrameWick] NEW UPDATE AVAILABLE!"]


# ---------------------------------------------------------------------------------------------
# The background thread

def test_start_check_returns_at_once_and_checks_in_the_background(served, capsys):
    release = threading.Event()

    def slow_index(request):
        release.wait(30)
        return Response('{"info": {"version": "2.0"}}', content_type="application/json")

    served.expect_request(PATH).respond_with_handler(slow_index)
    before = set(threading.enumerate())
    u = FrameWickUpdater("framewick", "1.0.0")
    try:
        # The index holds its answer back until both calls have returned.
        assert u.start_check() is u
        assert u.start_check() is u
        assert capsys.readouterr().out == ""
        # Only the checks' threads: the local index serves each request on a thread of its own.
        checks = [t for t in threading.enumerate() if t not in before and t.daemon and "_check_logic" in t.name]
        assert len(checks) == 2
    finally:
        release.set()
    for t in checks:
        t.join(30)
    assert capsys.readouterr().out == notice("2.0", "Unknown") * 2


def test_program_ending_during_a_check_exits_cleanly(served, authority, run_py, tmp_path):
    arrived, release = threading.Event(), threading.Event()
    go = tmp_path / "request-arrived"

    def holding_index(request):
        go.touch()
        arrived.set()
        release.wait(60)
        return Response('{"info": {"version": "2.0"}}', content_type="application/json")

    served.expect_request(PATH).respond_with_handler(holding_index)
    try:
        # The program ends while its check waits for the answer.
        rc, out, err = run_py(f"""
            import os, sys, time
            os.environ["REQUESTS_CA_BUNDLE"] = {authority[1]!r}
            os.environ["NO_PROXY"] = "localhost,127.0.0.1"
            for name in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
                os.environ.pop(name, None)
            import framewick.utils.updater as m
            m.INDEX_URL = {served.url_for("/pypi/")!r}
            u = m.FrameWickUpdater("framewick", "1.0.0").start_check()
            for _ in range(600):
                if os.path.exists({str(go)!r}):
                    break
                time.sleep(0.05)
            """)
    finally:
        release.set()
    assert arrived.is_set()
    assert (rc, out, err) == (0, "", "")


# ---------------------------------------------------------------------------------------------
# Only an answer that came over HTTPS all the way is trusted

@pytest.fixture
def plain():
    """An index on loopback over plain HTTP."""
    from pytest_httpserver import HTTPServer

    server = HTTPServer(host="localhost", port=0, threaded=True)
    server.start()
    yield server
    server.clear()
    server.stop()


def redirect(server, path, to):
    server.expect_request(path).respond_with_response(Response(status=302, headers={"Location": to}))


@pytest.mark.parametrize("route", ["to-http", "through-http-back-to-https"])
def test_redirect_to_plain_http_is_not_trusted(served, plain, capsys, route):
    redirect(served, PATH, plain.url_for(PATH))
    if route == "to-http":
        plain.expect_request(PATH).respond_with_json(answer("9.0", []))
    else:
        redirect(plain, PATH, served.url_for("/pypi/again/json"))
        served.expect_request("/pypi/again/json").respond_with_json(answer("9.0", []))
    assert FrameWickUpdater("framewick", "1.0.0")._check_logic() is None
    assert capsys.readouterr() == ("", "")
    assert [r.path for r, _ in plain.log] == [PATH]  # the redirect was followed, its answer ignored


def test_redirect_within_https_is_followed(served, capsys):
    redirect(served, PATH, served.url_for("/pypi/moved/json"))
    served.expect_request("/pypi/moved/json").respond_with_json(answer("9.0", []))
    FrameWickUpdater("framewick", "1.0.0")._check_logic()
    assert capsys.readouterr().out == notice("9.0", "Unknown")


class Answer:
    """A stand-in response carrying a newer release, with only the attributes given."""

    status_code = 200

    def __init__(self, **attrs):
        vars(self).update(attrs)

    def json(self):
        return answer("9.0", [])


class Hop:
    def __init__(self, **attrs):
        vars(self).update(attrs)


@pytest.mark.parametrize("index_url, response, asked, trusted", [
    ("http://127.0.0.1/pypi/", Answer(), False, False),
    ("ftp://mirror.test/pypi/", Answer(), False, False),
    ("//mirror.test/pypi/", Answer(), False, False),
    ("https:/mirror.test/pypi/", Answer(), False, False),
    ("httpsx://mirror.test/pypi/", Answer(), False, False),
    ("HTTPS://mirror.test/pypi/", Answer(), True, True),
    ("https://mirror.test/pypi/", Answer(), True, True),
    ("https://mirror.test/pypi/", Answer(url="https://mirror.test/pypi/framewick/json", history=[]), True, True),
    ("https://mirror.test/pypi/", Answer(url="http://mirror.test/pypi/framewick/json"), True, False),
    ("https://mirror.test/pypi/", Answer(url=None), True, False),
    ("https://mirror.test/pypi/", Answer(url=b"https://mirror.test/"), True, False),
    ("https://mirror.test/pypi/", Answer(history=[Hop(url="https://a.test/"), Hop(url="http://b.test/")]), True,
     False),
    ("https://mirror.test/pypi/", Answer(history=[Hop(url="HTTPS://a.test/"), Hop()]), True, True),
    ("https://mirror.test/pypi/", Answer(history=None), True, False),
], ids=["http", "ftp", "no-scheme", "one-slash", "httpsx", "upper-case", "plain-stand-in", "https-url",
        "http-url", "url-none", "url-bytes", "http-hop", "hops-https-or-silent", "history-not-iterable"])
def test_only_https_addresses_and_answers_count(monkeypatch, capsys, index_url, response, asked, trusted):
    asks = []
    monkeypatch.setattr(updater_module, "INDEX_URL", index_url)
    monkeypatch.setattr(updater_module, "requests",
                        type("requests", (), {"get": staticmethod(lambda *a, **k: asks.append((a, k)) or response)}))
    u = FrameWickUpdater("framewick", "1.0.0")
    assert u.api_url == index_url + "framewick/json"
    assert u._check_logic() is None
    assert asks == ([((u.api_url,), {"timeout": 5})] if asked else [])
    assert capsys.readouterr().out == (notice("9.0", "Unknown") if trusted else "")
