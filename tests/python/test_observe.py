import json
import sys

import pytest

from _garnel import Fleet
from conftest import GIB, snapshot

EXPECTED = "expected one of: load_started, probe_ok, probe_failed, process_exited, load_failed, stop"


@pytest.fixture
def fleet():
    return Fleet(80 * GIB, 0, json.dumps([{"model": "m", "weightsBytes": GIB}, {"model": "n", "weightsBytes": GIB}]))


def state(fleet, now=10_000):
    """The model's report line and route, which together show its residency."""
    line = fleet.report(now).splitlines()[1]
    return line[31:], json.loads(fleet.route("m", now))


def test_probe_ok_makes_the_model_resident(fleet):
    assert fleet.observe("m", "probe_ok", '{"vramBytes": 1073741824}', 5000) is None
    assert fleet.committed_bytes() == GIB
    line, route = state(fleet, 9999)
    assert line == "resident for 4s"
    assert route["route"] == "unknown"  # resident, but no endpoint yet


@pytest.mark.parametrize(
    "kind, detail, line",
    [
        ("load_started", "{}", "loading for 9s"),
        ("loadStarted", "null", "loading for 9s"),
        ("probe_ok", '{"vram_bytes": 5}', "resident for 9s"),
        ("probeOk", '{"vramBytes": "8", "vram_bytes": 8}', "resident for 9s"),
        ("probe_failed", "{}", "loaded but not answering"),
        ("probeFailed", '{"gpuPresent": false}', "the GPU was detached by the host"),
        ("probe_failed", '{"gpuPresent": 0, "gpu_present": false}', "loaded but not answering"),
        ("process_exited", '{"code": -9}', "the serving process exited"),
        ("processExited", "[]", "the serving process exited"),
        ("load_failed", '{"detail": "out of memory"}', "failed to load: out of memory"),
        ("loadFailed", '{"detail": 7}', "failed to load: unknown"),
        ("load_failed", '{"detail": ""}', "failed to load: "),
        ("stop", '"x"', "stopped on request"),
        ("stop_requested", "{}", "stopped on request"),
        ("stopRequested", "{}", "stopped on request"),
    ],
)
def test_every_accepted_kind(fleet, kind, detail, line):
    fleet.observe("m", kind, detail, 1000)
    assert state(fleet)[0] == line


def test_vram_bytes_read_from_either_spelling(fleet):
    fleet.observe("m", "probe_ok", '{"vramBytes": "8", "vram_bytes": 8}', 1)
    assert fleet.committed_bytes() == 0  # the camel key is present, so the snake key is not read
    fleet.observe("m", "probe_ok", '{"vram_bytes": 8}', 2)
    assert fleet.committed_bytes() == 8
    fleet.observe("m", "probe_ok", '{"vramBytes": 1.5e9}', 3)
    assert fleet.committed_bytes() == 1_500_000_000


def test_unknown_model_changes_nothing(fleet):
    before = snapshot(fleet)
    assert fleet.observe("ghost", "stop", "{}", 1) is None
    assert fleet.observe("M", "probe_ok", '{"vramBytes": 5}', 1) is None
    assert snapshot(fleet) == before


@pytest.mark.parametrize(
    "kind, quoted",
    [
        ("probe-ok", '"probe-ok"'),
        ('a"b', '"a\\"b"'),
        ("back\\slash", '"back\\\\slash"'),
        ("\t\r\n\x00", '"\\t\\r\\n\\0"'),
        ("\x01\x7f", '"\\u{1}\\u{7f}"'),
        ("Stop", '"Stop"'),
        ("stop ", '"stop "'),
        ("PROBE_OK", '"PROBE_OK"'),
        ("", '""'),
        ("caf\u00e9 \u2014", '"caf\u00e9 \u2014"'),
        ("e\u0301", '"e\\u{301}"'),  # a combining accent
        ("\u200b\u00ad", '"\\u{200b}\\u{ad}"'),  # invisible format characters
        ("\U0001f600", '"\U0001f600"'),
        ("\u0995\u09be \U0001f44d\U0001f3fd", '"\u0995\\u{9be} \U0001f44d\\u{1f3fd}"'),  # extenders beyond the marks
        ("\u00a0\u2028", '"\\u{a0}\\u{2028}"'),  # separators other than the blank
        ("\U0001fae8\U000e0001", '"\U0001fae8\\u{e0001}"'),  # the same under every interpreter's Unicode
    ],
)
def test_unknown_kind_message(fleet, kind, quoted):
    before = snapshot(fleet)
    with pytest.raises(ValueError) as caught:
        fleet.observe("m", kind, "{}", 1)
    assert str(caught.value) == f"unknown observation kind {quoted} \u2014 {EXPECTED}"
    assert snapshot(fleet) == before


def test_unknown_kind_message_runs_no_interpreter_code(fleet, monkeypatch):
    # The fleet is held for exclusive use while the message is made; nothing
    # a host has put in sys.modules may run then, or change the error.
    monkeypatch.setitem(sys.modules, "unicodedata", None)
    with pytest.raises(ValueError) as caught:
        fleet.observe("m", "caf\u00e9\u0301", "{}", 1)
    assert str(caught.value) == f'unknown observation kind "caf\u00e9\\u{{301}}" \u2014 {EXPECTED}'


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("m", "bogus", "{", 1), ValueError, "bad json: "),  # the detail is read before the kind
        (("m", "stop", "", 1), ValueError, "bad json: "),
        (("m", "stop", "{} {}", 1), ValueError, "bad json: "),
        (("m", "stop", "{}", -1), OverflowError, ""),
        (("m", "stop", "{}", 2**64), OverflowError, ""),
        (("m", "stop", "{}", 2.0), TypeError, "argument 'now': "),
        ((None, "stop", "{}", 1), TypeError, "argument 'model': 'NoneType' object cannot be converted to 'PyString'"),
        (("m", 5, "{}", 1), TypeError, "argument 'kind': 'int' object cannot be converted to 'PyString'"),
        (("m", "stop", {}, 1), TypeError, "argument 'detail_json': 'dict' object cannot be converted to 'PyString'"),
        (("m", "bogus", "{}", 1.0), TypeError, "argument 'now': "),  # every conversion comes before the kind
        (("m", "stop", "\ud800", 1), UnicodeEncodeError, ""),
        (("m", "stop", "{}"), TypeError, "Fleet.observe() missing 1 required positional argument: 'now'"),
        (("m", "stop", "{}", 1, 2), TypeError, "Fleet.observe() takes 4 positional arguments but 5 were given"),
    ],
)
def test_observe_refusals_leave_the_fleet_as_it_was(fleet, args, error, message):
    fleet.observe("m", "load_started", "{}", 0)
    before = snapshot(fleet)
    with pytest.raises(error) as caught:
        fleet.observe(*args)
    assert type(caught.value) is error
    assert str(caught.value).startswith(message)
    assert snapshot(fleet) == before


def test_null_detail_and_keywords_and_bool_clock(fleet):
    fleet.observe("m", "stop", "null", True)
    fleet.observe(model="n", kind="stop", detail_json="{}", now=7)
    assert [line[31:] for line in fleet.report(0).splitlines()[1:]] == ["stopped on request"] * 2


OBSERVE_DOC = "\n".join(
    [
        "kind: load_started \u00b7 probe_ok \u00b7 probe_failed \u00b7 process_exited \u00b7",
        "      load_failed \u00b7 stop",
        "Record something observed. `kind` is one of:",
        "load_started \u00b7 probe_ok \u00b7 probe_failed \u00b7 process_exited \u00b7 load_failed \u00b7 stop",
        "",
        "Either key spelling is accepted (`gpu_present` or `gpuPresent`,",
        "`vram_bytes` or `vramBytes`) because the mapping lives in the core now,",
        "once. It used to live here AND in the Node binding with different",
        "spellings, so a dict written the other language's way silently lost its",
        "most important field.",
        "",
        "Raises on an unrecognised `kind`; it used to return silently, which made",
        "a typo indistinguishable from a model that never changed state.",
    ]
)


def test_docstring():
    assert Fleet.observe.__doc__ == OBSERVE_DOC
    assert Fleet.observe.__text_signature__ == "($self, model, kind, detail_json, now)"
