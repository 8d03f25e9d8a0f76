"""Run under callgrind by the suite: the call-cost phases, then the small palette's phases."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import calls  # noqa: E402
import palette  # noqa: E402

if __name__ == "__main__":
    n_calls, n_palette = int(sys.argv[1]), int(sys.argv[2])
    calls.callgrind_phases(n_calls, python_standin=sys.argv[3:] == ["python"])
    if n_palette:
        palette.callgrind_phases(n_palette)
