"""`version --check`: one question to the package index, in a child process that cannot hang.

The library's own check (`FrameWickUpdater.start_check`) runs on a daemon thread and never
delays its caller, which suits a program that starts it and goes on. A command that waits for
the answer must itself end: a server can trickle one byte at a time (each read stays within the
request's time-out) or send gigabytes. So the check runs in a child process with a memory limit
(RLIMIT_AS) and a bounded read, and the parent kills it at a deadline. The child reports one
JSON line: what it found, and the updater's notice when there is a newer release.

The index address is the build setting, or the environment variable FRAMEWICK_INDEX_URL.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
TYPE_CHECKING = False  # typing is not imported at start-up; checkers read the block
if TYPE_CHECKING:
    from typing import Any

#: The child is killed after this many seconds; the command ends well within 15.
DEADLINE = 12.0
#: The child's address-space limit: far more than a check needs, and no further.
MEMORY_LIMIT = 256 << 20
#: No answer from an index is longer than this; a longer one is refused unread.
MAX_ANSWER = 8 << 20
ENV_URL = "FRAMEWICK_INDEX_URL"

_CHILD = "from framewick.cli.release_check import child; child()"


def ask(package: str, current: str, *, deadline: float = DEADLINE) -> dict[str, Any]:
    """Run the check in a child and return its report ({"status": ..., ...})."""
    command = [sys.executable, "-P", "-c", _CHILD, package, current, str(MEMORY_LIMIT)]
    try:
        child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as e:
        return {"status": "unreachable", "reason": f"the check could not start ({e.strerror or e})"}
    try:
        out, err = child.communicate(timeout=deadline)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        return {"status": "unreachable", "reason": f"no complete answer within {deadline:g} seconds"}
    try:
        report = json.loads(out.decode("utf-8").strip().splitlines()[-1])
        if isinstance(report, dict) and isinstance(report.get("status"), str):
            return report
    except (ValueError, IndexError):
        pass
    last = err.decode("utf-8", "replace").strip().splitlines()
    return {"status": "unreachable", "reason": f"the check failed ({last[-1] if last else f'status {child.returncode}'})"}


# ---------------------------------------------------------------------------------------------
# The child


def child() -> None:
    package, current, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
    try:
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    except (ImportError, ValueError, OSError):
        pass
    try:
        report = check(package, current)
    except MemoryError:
        report = {"status": "bad", "reason": "the answer did not fit in memory"}
    sys.stdout.write(json.dumps(report, ensure_ascii=False) + "\n")
    sys.stdout.flush()


def _https(url: Any) -> bool:
    return isinstance(url, str) and url.lower().startswith("https://")


def check(package: str, current: str) -> dict[str, Any]:
    """The updater's check, step by step, saying what happened instead of ending silently.

    1. The address: FRAMEWICK_INDEX_URL over the build setting; it must be HTTPS. 2. One GET
    with the updater's time-out, its body read up to MAX_ANSWER; every hop must stay HTTPS.
    3. Status 200 and a JSON object with info.version. 4. Compare with packaging; for a newer
    release, the updater's own notice, with the release time as it formats it.
    """
    import requests
    from packaging import version

    import framewick.utils.updater as updater_module
    from framewick._output import captured

    if os.environ.get(ENV_URL):
        updater_module.INDEX_URL = os.environ[ENV_URL]
    updater = updater_module.FrameWickUpdater(package, current)
    url = updater.api_url
    if not _https(url):
        return {"status": "refused", "reason": f"the index address {url!r} is not HTTPS"}
    try:
        response = requests.get(url, timeout=5, stream=True)
        with response:
            hops = [*getattr(response, "history", []), response]
            if not all(_https(getattr(hop, "url", url)) for hop in hops):
                return {"status": "bad", "reason": "the index redirected to an address that is not HTTPS"}
            if response.status_code != 200:
                return {"status": "bad", "reason": f"the index answered with status {response.status_code}"}
            body = bytearray()
            for chunk in response.iter_content(65536):
                body += chunk
                if len(body) > MAX_ANSWER:
                    return {"status": "bad", "reason": f"the answer is larger than {MAX_ANSWER >> 20} MiB"}
    except requests.RequestException as e:
        return {"status": "unreachable", "reason": _reason(e)}
    try:
        data = json.loads(bytes(body))
        latest = data["info"]["version"]
        if not isinstance(latest, str):
            raise TypeError(latest)
        latest = latest.strip()
        newer = version.parse(latest) > version.parse(current)
    except (ValueError, KeyError, TypeError, version.InvalidVersion) as e:
        return {"status": "bad", "reason": f"the answer is not a package description ({type(e).__name__})"}
    if not newer:
        return {"status": "current", "latest": latest}
    released = "Unknown"
    try:
        files = (data.get("releases") or {}).get(latest) or []
        stamp = files[0].get("upload_time_iso_8601", "Unknown") if files else "Unknown"
        if stamp != "Unknown":
            from datetime import datetime

            released = datetime.fromisoformat(stamp.replace("Z", "+00:00")).strftime("%Y-%m-%d %H:%M:%S")
    except (AttributeError, TypeError, ValueError, IndexError):
        released = "Unknown"
    with captured() as notice:
        updater._notify_user(latest, released)
    return {"status": "newer", "latest": latest, "notice": notice.text}


def _reason(error: Exception) -> str:
    import requests

    if isinstance(error, requests.Timeout):
        return "no answer within the time-out"
    if isinstance(error, requests.exceptions.SSLError):
        return "its certificate was not trusted"
    if isinstance(error, requests.ConnectionError):
        return "no connection"
    return type(error).__name__
