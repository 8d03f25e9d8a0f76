"""A studio served on a free loopback port for the length of a test, with its own looks and export directory."""

import contextlib
import threading

from framewick import looks
from framewick.studio import Studio, serve


@contextlib.contextmanager
def served_studio(tmp_path, monkeypatch, photo, **options):
    """Yield (studio, server) for `photo`, looks kept in tmp_path; the server is shut down after."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    looks.reset()
    (tmp_path / "out").mkdir()
    run = Studio([photo], looks_file=str(tmp_path / "looks.toml"), export_dir=str(tmp_path / "out"), **options)
    server = serve(run, 0)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield run, server
    finally:
        server.shutdown()
        server.server_close()
        looks.reset()
