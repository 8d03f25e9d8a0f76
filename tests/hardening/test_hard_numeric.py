"""Every numeric parameter of every mixin method at the values where native code overflows
(0, -1, 2**31-1, 2**31, 2**63, their negatives, NaN and the infinities), on pictures of every
mode: no value kills the interpreter. The probes run in child interpreters (nm_sweep.py); a
crash is a child dying of a signal. At the normal scale a few modes are swept; at a larger
FRAMEWICK_HARDENING_SCALE, all of them."""

import os

import pytest

import nm_sweep

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
FULL = int(os.environ.get("FRAMEWICK_HARDENING_SCALE", "1")) > 1


@pytest.mark.skipif(SANITIZED, reason="the probes ask Pillow for pictures of billions of pixels, which the "
                                      "sanitizer's allocator reports instead of failing")
def test_no_numeric_value_crashes_a_method():
    modes = None if FULL else {"L", "LA", "P", "RGB", "RGBA", "CMYK", "I;16", "F"}
    outcomes, crashes = nm_sweep.sweep(modes=modes)
    assert [nm_sweep.label(p) + f" (signal {sig})" for p, sig in crashes] == []
    # Every probe ran, and the refusals of the modules' own checks were among the outcomes.
    assert len(outcomes) == len(nm_sweep.probes(modes=modes))
    refused = {nm_sweep.case_name(p[0]) for p, o in outcomes.items() if o == "refused"}
    assert {"effects.apply_blur(V)", "geometry.resize(V, 4)", "storage.optimize(V)"} <= refused
