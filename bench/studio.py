"""The studio through its HTTP endpoint on a 12 MP (4000 by 3000) JPEG.

* first open: a fresh studio (nothing decoded yet) answers the page's first request for the
  photo, ``GET /preview?photo=0&steps=&size=1280``: decode, proxy, JPEG;
* preview: the next request, ``preset:vintage,strength=0.6 | size:1280x`` on the proxy, with the
  studio's preview cache emptied first so every round renders (``thumbnail:1280,1280`` stands in
  for ``size:1280x`` where the chains have no size step);
* edit: the same chain through ``framewick edit`` on the full-size file, a fresh process, for
  comparison: as it runs by default (the JPEG decoded at a reduced scale, since the chain ends
  in a reduction) and with ``--exact`` (decoded at full size).

The server runs in this process on a thread, as the command runs it; the requests go over a
loopback socket with http.client. Times are wall-clock seconds.
"""

import os
import subprocess
import sys
import threading
import time
from urllib.parse import urlencode

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402
import pictures  # noqa: E402

SIZE_STEP = "size:1280x"
STAND_IN = "thumbnail:1280,1280"


def available():
    try:
        import framewick.studio  # noqa: F401
    except ImportError:
        return "framewick.studio"
    return ""


def chain_text():
    """The figure's chain, and a note when the size step is not there yet."""
    from framewick.chain import Chain, ChainError

    try:
        Chain.parse(SIZE_STEP)
        return f"preset:vintage,strength=0.6 | {SIZE_STEP}", ""
    except ChainError:
        return f"preset:vintage,strength=0.6 | {STAND_IN}", f"{STAND_IN} stands in for {SIZE_STEP} (no size step yet)"


class Running:
    """A studio on a photo, served on a free port on a thread."""

    def __init__(self, photo, out):
        from framewick.studio import Studio, serve

        self.studio = Studio([photo], looks_file=os.path.join(out, "studio-looks.toml"), export_dir=out)
        self.server = serve(self.studio, 0)
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def get(self, steps, size=1280):
        import http.client

        query = urlencode({"photo": 0, "steps": steps, "size": size, "token": self.studio.token})
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        t0 = common.clock()
        connection.request("GET", f"/preview?{query}", headers={"Host": f"127.0.0.1:{self.server.port}"})
        answer = connection.getresponse()
        body = answer.read()
        elapsed = common.clock() - t0
        connection.close()
        if answer.status != 200:
            raise RuntimeError(f"preview {steps!r}: {answer.status} {body[:200]!r}")
        return elapsed, body

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def measure(out, repeats):
    """Seconds per round: {"first open", "preview" (three per round), "edit", "edit --exact"};
    and the chain, its note and the preview's size."""
    photo = pictures.jpeg(out, 4000, 3000, "studio_12mp.jpg")
    steps, note = chain_text()
    target = os.path.join(out, "studio_edit.jpg")
    script = os.path.join(os.path.dirname(sys.executable), "framewick")
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    rounds = {"first open": [], "preview": [], "edit": [], "edit --exact": []}
    size = None
    for r in range(repeats + 1):  # the first round warms the imports and the disk cache
        run = Running(photo, out)
        try:
            opened, _ = run.get("")
            previews = []
            for _ in range(3):
                run.studio._cache.clear()
                elapsed, body = run.get(steps)
                previews.append(elapsed)
            if size is None:
                from io import BytesIO

                from PIL import Image

                with Image.open(BytesIO(body)) as im:
                    size = im.size
        finally:
            run.close()
        edits = {}
        for name, more in [("edit", []), ("edit --exact", ["--exact"])]:
            t0 = time.perf_counter()
            subprocess.run([script, "-q", "edit", photo, "-o", target, "--overwrite", *more, "--steps", steps],
                           env=env, check=True)
            edits[name] = time.perf_counter() - t0
        if r:
            rounds["first open"].append(opened)
            rounds["preview"].extend(previews)
            for name, elapsed in edits.items():
                rounds[name].append(elapsed)
    return rounds, steps, note, size


if __name__ == "__main__":
    out = common.out_dir()
    rounds, steps, note, size = measure(out, 3)
    for name, values in rounds.items():
        print(f"{name}: {common.summary(values)}")
    print(steps, note, size)
