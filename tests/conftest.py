"""Shared fixtures: real pictures on disk, recording stand-in pictures, a console that sees each
print call, and a fresh interpreter for anything that touches import state."""

import collections
import itertools
import os
import signal
import subprocess
import sys
import textwrap

import pytest
from PIL import Image

SUFFIX = {"PNG": ".png", "JPEG": ".jpg", "GIF": ".gif", "BMP": ".bmp", "WEBP": ".webp", "TIFF": ".tiff"}
DEFAULT_COLOR = {
    "1": 1, "L": 128, "LA": (128, 255), "P": 1, "RGB": (200, 30, 60),
    "RGBA": (200, 30, 60, 128), "CMYK": (10, 20, 30, 40),
}
# Palette for mode "P": index 0 black, 1 red, 2 green, 3 blue, the rest grey.
PALETTE = [0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255] + [128, 128, 128] * 252
_names = itertools.count()

# A suite started in the background of a shell without job control inherits SIGINT ignored, and
# so would every command a test starts (an ignored signal survives exec): the tests that stop a
# command with Ctrl-C need it to arrive, so the suite takes SIGINT back as Python's default.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def make_picture(tmp_path, mode="RGB", size=(8, 6), color=None, fmt="PNG", *,
                 pixels=None, noise=False, name=None, **save_args):
    """Write a small picture with Pillow and return its path as a str.

    The picture is filled with `color` (a per-mode default when None), then every (x, y) -> colour
    of `pixels` is painted; `noise` gives a grain-rich picture (for quality comparisons). Extra
    keywords go to Pillow's save (e.g. transparency=1 for a "P" picture)."""
    if noise:
        im = Image.merge("RGB", [Image.effect_noise(size, 60 + 10 * i) for i in range(3)]).convert(mode)
    else:
        im = Image.new(mode, size, DEFAULT_COLOR.get(mode, 0) if color is None else color)
    if mode == "P" and not noise:
        im.putpalette(PALETTE)
    for xy, value in (pixels or {}).items():
        im.putpixel(xy, value)
    path = tmp_path / (name or f"picture{next(_names)}_{mode}{SUFFIX.get(fmt, '.' + fmt.lower())}")
    im.save(path, fmt, **save_args)
    return str(path)


@pytest.fixture
def picture(tmp_path):
    """make_picture bound to the test's tmp_path."""
    def make(mode="RGB", size=(8, 6), color=None, fmt="PNG", **kwargs):
        return make_picture(tmp_path, mode, size, color, fmt, **kwargs)
    return make


@pytest.fixture(autouse=True)
def _close_opened_pictures(monkeypatch):
    """Pillow keeps a lazily opened file open until the picture is read or closed; close every
    picture opened during a test so no ResourceWarning surfaces later as an error."""
    opened = []
    real_open = Image.open

    def tracking_open(*args, **kwargs):
        im = real_open(*args, **kwargs)
        opened.append(im)
        return im

    monkeypatch.setattr(Image, "open", tracking_open)
    yield
    for im in opened:
        im.close()


# ---------------------------------------------------------------------------------------------
# Recording stand-ins

Event = collections.namedtuple("Event", "owner kind name args kwargs")
"""One observed access: kind is "get" (attribute read), "set" (attribute write) or "call"."""


class Compute:
    """A configured method result computed from the call: fn(*args, **kwargs)."""

    def __init__(self, fn):
        self.fn = fn


class Recorder:
    """Stand-in picture (or module) that records every attribute read, write and method call.

    Keyword attributes (mode, size, format, ADAPTIVE, ...) are returned on read; every other name
    reads as a method. A method's result is `results[name]`: an exception instance or class is
    raised, a Compute is called, anything else is returned; without a configured result the
    method returns a new Recorder labelled "<label>.<name>" that shares the log. Events go to
    `log` (shared between the Recorders of one test) in the order they happen."""

    def __init__(self, label="image", *, log=None, results=None, **attrs):
        object.__setattr__(self, "_label", label)
        object.__setattr__(self, "_log", [] if log is None else log)
        object.__setattr__(self, "_results", dict(results or {}))
        object.__setattr__(self, "_attrs", dict(attrs))

    def __repr__(self):
        return f"<Recorder {self._label}>"

    def __getattr__(self, name):
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        self._log.append(Event(self._label, "get", name, (), {}))
        if name in self._attrs:
            return self._attrs[name]

        def method(*args, **kwargs):
            self._log.append(Event(self._label, "call", name, args, kwargs))
            result = self._results.get(name, _MISSING)
            if result is _MISSING:
                return Recorder(f"{self._label}.{name}", log=self._log)
            if isinstance(result, BaseException) or (
                    isinstance(result, type) and issubclass(result, BaseException)):
                raise result
            if isinstance(result, Compute):
                return result.fn(*args, **kwargs)
            return result

        method.__name__ = name
        return method

    def __setattr__(self, name, value):
        self._log.append(Event(self._label, "set", name, (value,), {}))
        self._attrs[name] = value


_MISSING = object()


class Tape:
    """Makes Recorders that share one event log, and reads the log back."""

    def __init__(self):
        self.events = []

    def __call__(self, label="image", *, results=None, **attrs):
        return Recorder(label, log=self.events, results=results, **attrs)

    def calls(self, owner=None):
        """(owner, name, args, kwargs) of every call, in order (only `owner`'s when given)."""
        return [(e.owner, e.name, e.args, e.kwargs) for e in self.events
                if e.kind == "call" and owner in (None, e.owner)]

    def reads(self, owner=None):
        return [e.name for e in self.events if e.kind == "get" and owner in (None, e.owner)]

    def sets(self, owner=None):
        return [(e.owner, e.name, e.args[0]) for e in self.events
                if e.kind == "set" and owner in (None, e.owner)]


@pytest.fixture
def tape():
    return Tape()


# ---------------------------------------------------------------------------------------------
# Console

class Console:
    """What the code under test printed to sys.stdout, read through pytest's capsys (which owns
    sys.stdout during a test, so it cannot be swapped in a fixture)."""

    def __init__(self, capsys):
        self._capsys = capsys
        self._text = ""

    def text(self):
        """Everything printed so far in this test (since the last clear)."""
        self._text += self._capsys.readouterr().out
        return self._text

    def lines(self):
        """The printed lines, each without its line feed; fails on an unterminated last line."""
        text = self.text()
        assert text == "" or text.endswith("\n"), repr(text)
        return text.split("\n")[:-1]

    @property
    def writes(self):
        """The output as the writes a print of each line makes: [line, "\\n", line, "\\n", ...]."""
        return [piece for line in self.lines() for piece in (line, "\n")]

    def clear(self):
        self.text()
        self._text = ""


@pytest.fixture
def console(capsys):
    return Console(capsys)


# ---------------------------------------------------------------------------------------------
# Fresh interpreter

@pytest.fixture
def run_py(tmp_path):
    """Run a snippet in a fresh interpreter (the one running the tests) and return
    (returncode, stdout, stderr). Runs in tmp_path so no source tree is importable."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONIOENCODING"] = "utf-8"

    def run(code, timeout=120):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, env=env,
                              capture_output=True, text=True, encoding="utf-8", timeout=timeout)
        return proc.returncode, proc.stdout, proc.stderr

    return run


# ---------------------------------------------------------------------------------------------
# A package index: HTTPS on loopback with a certificate from a local authority


@pytest.fixture(scope="module")
def authority(tmp_path_factory):
    """(server TLS context for localhost, path of the authority's bundle for clients)."""
    import ssl

    import trustme

    ca = trustme.CA()
    bundle = tmp_path_factory.mktemp("ca") / "ca.pem"
    ca.cert_pem.write_to_path(str(bundle))
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert("localhost", "127.0.0.1").configure_cert(context)
    return context, str(bundle)


@pytest.fixture(scope="module")
def index(authority):
    from pytest_httpserver import HTTPServer

    server = HTTPServer(host="localhost", port=0, ssl_context=authority[0], threaded=True)
    server.start()
    yield server
    server.clear()
    if server.is_running():
        server.stop()


@pytest.fixture
def trusted(monkeypatch, authority):
    """requests trusts the local authority and goes to loopback directly."""
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", authority[1])
    for name in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("NO_PROXY", "localhost,127.0.0.1")


@pytest.fixture
def served(index, trusted, monkeypatch):
    """The updater's index address points at the index; each test starts with no handlers and no log."""
    import framewick.utils.updater

    index.clear()
    monkeypatch.setattr(framewick.utils.updater, "INDEX_URL", index.url_for("/pypi/"))
    yield index
    index.clear()
