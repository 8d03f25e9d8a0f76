"""The hardening tests' own hooks: the figures (faults injected, fuzzed calls and their
outcomes), printed at the end of the session."""

import hard_support


def pytest_terminal_summary(terminalreporter):
    faults = hard_support.FAULTS
    if faults:
        terminalreporter.write_line(
            f"framewick faults injected: {sum(faults.values())} "
            f"({', '.join(f'{kind} {n}' for kind, n in sorted(faults.items()))})")
    calls = hard_support.CALLS
    if calls:
        terminalreporter.write_line(
            f"framewick fuzz: {sum(calls.values())} calls of {len(calls)} functions "
            f"(fewest {min(calls.values())}, most {max(calls.values())} per function)")
        outcomes = ", ".join(f"{name} {count}" for name, count in hard_support.OUTCOMES.most_common())
        terminalreporter.write_line(f"framewick fuzz outcomes: {outcomes}")
