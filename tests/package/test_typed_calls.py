"""The fleet's typed calls check their own arguments: a wrong one is refused,
naming the call and the argument, before the module hears of it or the
journal records it; every integer the module itself takes is taken."""

from __future__ import annotations

import pathlib
from typing import Any, Callable

import garnel
import numpy as np
import pytest
from garnel import Model
from package_support import GIB

U64 = "0 to 2**64 - 1"
I64 = "-2**63 to 2**63 - 1"
ROSTER = [Model("a", 2 * GIB), Model("b", GIB)]

Call = Callable[[garnel.Fleet], object]


class Index:
    """An integer through __index__ only, as numpy's integers are."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Count(int):
    pass


REFUSED: list[tuple[str, Call, type[Exception], str]] = [
    ("negative-bytes", lambda f: f.probe_ok("a", -5), ValueError, f"vram_bytes must be an int from {U64}, not -5"),
    ("bytes-past-u64", lambda f: f.probe_ok("a", 2**64), ValueError, f"vram_bytes must be an int from {U64}, not {2**64}"),
    ("float-bytes", lambda f: f.probe_ok("a", 5.0), TypeError, f"probe_ok: vram_bytes must be an int from {U64}, not float"),  # type: ignore[arg-type]
    ("bool-bytes", lambda f: f.probe_ok("a", True), TypeError, "probe_ok: vram_bytes must be an int from 0 to 2**64 - 1, not bool"),
    ("negative-index-bytes", lambda f: f.probe_ok("a", np.int64(-1)), ValueError, "vram_bytes must be an int from 0 to 2**64 - 1, not -1"),
    ("text-code", lambda f: f.process_exited("a", code="1"), TypeError, f"process_exited: code must be an int from {I64}, not str"),  # type: ignore[arg-type]
    ("bool-code", lambda f: f.process_exited("a", False), TypeError, "code must be an int from -2**63 to 2**63 - 1, not bool"),
    ("code-past-i64", lambda f: f.process_exited("a", 2**63), ValueError, f"code must be an int from {I64}, not {2**63}"),
    ("code-below-i64", lambda f: f.process_exited("a", -(2**63) - 1), ValueError, f"code must be an int from {I64}, not {-(2**63) - 1}"),
    ("int-presence", lambda f: f.probe_failed("a", gpu_present=0), TypeError, "probe_failed: gpu_present must be a bool, not int"),  # type: ignore[arg-type]
    ("bytes-probe-detail", lambda f: f.probe_failed("a", detail=b"x"), TypeError, "probe_failed: detail must be a str or None, not bytes"),  # type: ignore[arg-type]
    ("int-load-detail", lambda f: f.load_failed("a", 5), TypeError, "load_failed: detail must be a str or None, not int"),  # type: ignore[arg-type]
    ("no-endpoint", lambda f: f.set_endpoint("a", None), TypeError, "set_endpoint: endpoint must be a str, not NoneType"),  # type: ignore[arg-type]
    ("list-detail", lambda f: f.observe("a", "probe_ok", [5]), TypeError, "observe: detail must be a mapping, JSON text or None, not list"),  # type: ignore[arg-type]
]  # fmt: skip


def day(fleet: garnel.Fleet) -> garnel.Fleet:
    # Resident at 5 bytes and 1 byte, so the probe cache holds the ints that
    # 5.0 and True hash and compare equal to.
    fleet.load_started("a", 10)
    fleet.probe_ok("a", 5, 20)
    fleet.probe_ok("b", 1, 20)
    fleet.set_endpoint("a", "http://127.0.0.1:8001")
    return fleet


def state(fleet: garnel.Fleet) -> tuple[object, ...]:
    return fleet.report(99), fleet.committed_bytes(), fleet.route("a", 99), fleet.route("b", 99)


@pytest.mark.parametrize("journaled", [False, True], ids=["plain", "journaled"])
@pytest.mark.parametrize(
    ("call", "error", "message"), [case[1:] for case in REFUSED], ids=[case[0] for case in REFUSED]
)
def test_a_wrong_argument_is_refused_before_anything_happens(
    tmp_path: pathlib.Path, journaled: bool, call: Call, error: type[Exception], message: str
) -> None:
    journal = tmp_path / "card.journal"
    fleet = day(
        garnel.Fleet(24 * GIB, 10, ROSTER, clock=lambda: 50, journal=journal if journaled else None)
    )
    before, lines = state(fleet), journal.read_bytes() if journaled else b""
    with pytest.raises(error) as caught:
        call(fleet)
    assert message in str(caught.value)
    assert state(fleet) == before
    if journaled:
        fleet.close()
        assert journal.read_bytes() == lines


@pytest.mark.parametrize(
    ("call", "kind", "detail"),
    [
        (lambda f: f.probe_ok("a", np.int64(3 * GIB)), "probe_ok", '{"vramBytes":3221225472}'),
        (lambda f: f.probe_ok("a", Index(2**64 - 1)), "probe_ok", '{"vramBytes":18446744073709551615}'),
        (lambda f: f.probe_ok("a", Count(7)), "probe_ok", '{"vramBytes":7}'),
        (lambda f: f.probe_ok("a", 0), "probe_ok", '{"vramBytes":0}'),
        (lambda f: f.process_exited("a", -9), "process_exited", '{"code":-9}'),
        (lambda f: f.process_exited("a", np.int32(-(2**31))), "process_exited", '{"code":-2147483648}'),
        (lambda f: f.process_exited("a", -(2**63)), "process_exited", '{"code":-9223372036854775808}'),
        (lambda f: f.process_exited("a", Index(2**63 - 1)), "process_exited", '{"code":9223372036854775807}'),
        (lambda f: f.probe_failed("a", gpu_present=False, detail=""), "probe_failed", '{"gpuPresent":false,"detail":""}'),
    ],
)  # fmt: skip
def test_what_the_module_takes_is_taken(call: Call, kind: str, detail: str) -> None:
    fleet = day(garnel.Fleet(24 * GIB, 10, ROSTER, clock=lambda: 50))
    raw: Any = day(garnel.Fleet(24 * GIB, 10, ROSTER)).raw
    call(fleet)
    raw.observe("a", kind, detail, 50)
    assert state(fleet) == (raw.report(99), raw.committed_bytes()) + tuple(
        garnel.Route.from_json(raw.route(name, 99)) for name in "ab"
    )
