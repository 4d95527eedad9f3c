import json
import os
import pathlib
import sys

import pytest

GIB = 2**30
U64_MAX = 2**64 - 1


def canonical(text: str) -> str:
    """The module's text form of the same JSON: compact, sorted keys, raw UTF-8."""
    return json.dumps(json.loads(text), separators=(",", ":"), ensure_ascii=False, sort_keys=True)


class Index:
    """An integer through __index__, which may run a hook first."""

    def __init__(self, value, hook=None):
        self.value = value
        self.hook = hook

    def __index__(self):
        if self.hook is not None:
            self.hook()
        return self.value


def snapshot(fleet, names=("m", "n"), now=5000):
    """Everything a fleet answers: its report, byte figures, next model and the
    route of each name (which shows an endpoint the report does not)."""
    routes = [fleet.route(name, now) for name in names]
    return fleet.report(now), fleet.committed_bytes(), fleet.free_bytes(), fleet.next_to_load(), routes


@pytest.fixture(scope="session")
def probe():
    """The test-only extension that fails inside the boundary guard."""
    where = os.environ.get("GARNEL_PROBE_DIR")
    if not where:
        pytest.skip("GARNEL_PROBE_DIR is not set (./dev test builds the probe and sets it)")
    sys.path.insert(0, where)
    try:
        import _garnel_probe
    finally:
        sys.path.remove(where)
    return _garnel_probe


@pytest.fixture
def example_roster() -> str:
    return json.dumps(
        [
            {"model": "a", "weightsBytes": 15032385536, "kvBytes": 2147483648},
            {"model": "b", "weightsBytes": 8589934592},
            {"model": "c", "weightsBytes": 1073741824, "kvBytes": 536870912},
        ]
    )


EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
