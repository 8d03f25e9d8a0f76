"""valgrind memcheck over the chain of every method (tools/hardening/memcheck-run, also
`make memcheck`): no invalid access, no unexplained definitely-lost block. About half a minute;
skipped where valgrind is missing or the interpreter already carries a sanitizer runtime."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="a sanitizer runtime is preloaded")
def test_memcheck_finds_nothing_in_the_chain(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    proc = subprocess.run([str(ROOT / "tools/hardening/memcheck-run"), str(tmp_path), sys.executable],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert "ERROR SUMMARY: 0 errors" in proc.stderr
