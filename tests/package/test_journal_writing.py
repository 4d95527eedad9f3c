"""Writing a journal: a call re-entering a journaled fleet, a second writer, and a
write that fails all leave the journal and the fleet agreeing."""

from __future__ import annotations

import io
import json
import pathlib
import re
import subprocess
import sys
import textwrap
from typing import Any

import garnel
import pytest
from garnel import JournalError, Model
from package_support import GIB

ROSTER = [Model(f"m{i}", GIB) for i in range(3)]
posix_only = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals and limits")


def run_python(script: str, *args: str) -> dict[str, Any]:
    """Run a script in a fresh interpreter and read the JSON it prints; a hang fails."""
    try:
        done = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(script), *args],
            capture_output=True,
            text=True,
            check=False,
            timeout=60,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("the script hung")
    assert done.returncode == 0, done.stdout + done.stderr
    result: dict[str, Any] = json.loads(done.stdout)
    return result


# A journaled call is re-entered by a signal handler (raised from the clock or
# from the journal's own write) or by the `now` argument's __index__; the inner
# call must fail at once, as the module fails a call into a fleet in use.
REENTRY = """
    import io, json, signal, sys
    import garnel

    outer, inner, via = sys.argv[1:]
    fleet = None
    seen = []

    def call_again(*_):
        try:
            fleet.report(7) if inner == "report" else fleet.stop("m0", 7)
            seen.append("answered")
        except RuntimeError as error:
            seen.append(str(error))

    armed = False

    def fire():
        global armed
        if armed:
            armed = False
            signal.raise_signal(signal.SIGUSR1)

    class Now:
        def __index__(self):
            call_again()
            return 5

    class Sink(io.StringIO):
        def write(self, text):
            fire()
            return super().write(text)

    def clock():
        fire()
        return 5

    signal.signal(signal.SIGUSR1, call_again)
    sink = Sink()
    roster = [garnel.Model(f"m{i}", 2**30) for i in range(3)]
    fleet = garnel.Fleet(8 * 2**30, 0, roster, clock=clock, journal=sink, journal_queries=True)
    start = len(sink.getvalue())
    now = Now() if via == "index" else None
    armed = via != "index"
    if outer == "stop":
        fleet.stop("m1", now)
    elif outer == "set_endpoint":
        fleet.set_endpoint("m1", "http://m1", now)
    else:
        fleet.report(now)
    ops = [json.loads(line)["op"] for line in sink.getvalue()[start:].splitlines()]
    print(json.dumps({"inner": seen, "ops": ops}))
"""


@posix_only
@pytest.mark.parametrize("via", ["clock", "index", "write"])
@pytest.mark.parametrize(
    ("outer", "inner", "message"),
    [
        ("stop", "report", "Already mutably borrowed"),
        ("stop", "stop", "Already borrowed"),
        ("set_endpoint", "report", "Already mutably borrowed"),
        ("set_endpoint", "stop", "Already borrowed"),
        ("report", "stop", "Already borrowed"),
        # Unlike the module's shared queries: a journaled query holds the journal alone.
        ("report", "report", "Already borrowed"),
    ],
)
def test_a_call_inside_a_journaled_call_fails_at_once(
    outer: str, inner: str, message: str, via: str
) -> None:
    result = run_python(REENTRY, outer, inner, via)
    assert result == {"inner": [message], "ops": [outer if outer != "stop" else "observe"]}


class Drifting:
    """A `now` whose every reading is a minute later than the one before."""

    def __init__(self) -> None:
        self.ms = 0

    def __index__(self) -> int:
        self.ms += 60_000
        return self.ms


def test_the_line_records_the_time_the_module_got() -> None:
    text = io.StringIO()
    fleet = garnel.Fleet(8 * GIB, 0, ROSTER, clock=lambda: 0, journal=text)
    fleet.load_started("m0", Drifting())
    line = json.loads(text.getvalue().splitlines()[-1])
    assert line["now"] == 60_000
    assert garnel.replay(io.StringIO(text.getvalue())).report(10**6) == fleet.report(10**6)


# A second writer.

HOLDER = """
    import sys
    import garnel

    fleet = garnel.Fleet(8 * 2**30, 0, "[]", journal=sys.argv[1])
    print("{}", flush=True)
    sys.stdin.readline()
    fleet.close()
    print("{}", flush=True)
    sys.stdin.readline()
"""


def test_a_journal_has_one_writer(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "card.journal"
    first = garnel.Fleet(8 * GIB, 0, ROSTER, journal=path)
    with pytest.raises(JournalError, match=rf"{re.escape(str(path))}: .*another fleet"):
        garnel.Fleet(8 * GIB, 0, ROSTER, journal=str(path))
    first.load_started("m0", 1)
    first.close()
    with garnel.Fleet(8 * GIB, 0, ROSTER, journal=path) as second:
        second.load_started("m1", 2)

    # Another process: its fleet holds the journal until the process dies.
    holder = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(HOLDER), str(path)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout is not None and holder.stdout.readline() == "{}\n"
        with pytest.raises(JournalError, match="another fleet"):
            garnel.Fleet(8 * GIB, 0, ROSTER, journal=path)
        if sys.platform == "win32":
            # Windows frees a dead process's locks only when it gets round to it.
            assert holder.stdin is not None
            holder.stdin.write("close\n")
            holder.stdin.flush()
            assert holder.stdout.readline() == "{}\n"
    finally:
        holder.kill()  # on POSIX, its death alone frees the journal
        holder.wait()
    with garnel.Fleet(8 * GIB, 0, ROSTER, journal=path) as third:
        third.load_started("m2", 3)
    assert [json.loads(line)["op"] for line in path.read_text().splitlines()] == [
        "fleet", "observe", "fleet", "observe", "fleet", "fleet", "observe"
    ]  # fmt: skip

    # A file given is the caller's to share: no lock.
    shared = io.StringIO()
    garnel.Fleet(8 * GIB, 0, ROSTER, journal=shared)
    garnel.Fleet(8 * GIB, 0, ROSTER, journal=shared)


# A write that fails: a file size limit gives a short write and then EFBIG,
# exactly as a full disk does.

FULL_DISK = """
    import json, resource, signal, sys
    import garnel

    path, room = sys.argv[1], int(sys.argv[2])
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    roster = [garnel.Model(f"m{i}", 2**30) for i in range(3)]
    fleet = garnel.Fleet(8 * 2**30, 0, roster, clock=lambda: 9, journal=path)
    fleet.load_started("m0", 1)
    fleet.probe_ok("m0", 2**30, 2)
    before = fleet.report(10)
    size = len(open(path, "rb").read())
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size + room, hard))
    errors = []
    try:
        fleet.load_started("m1", 3)  # takes effect, but cannot be written
    except garnel.JournalError as error:
        errors.append(str(error))
    resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    for later in (lambda: fleet.load_started("m2", 4), lambda: fleet.set_endpoint("m0", "x")):
        try:
            later()
        except garnel.JournalError as error:
            errors.append(str(error))
    print(json.dumps({
        "errors": errors,
        "changed": fleet.route("m1", 10).kind.value,
        "untouched": fleet.route("m2", 10).kind.value,
        "endpoint": fleet.route("m0", 10).endpoint,
        "before": before,
        "size": size,
    }))
"""


@posix_only
@pytest.mark.parametrize("room", [0, 25], ids=["fails whole", "fails part-way"])
def test_a_failed_write_cuts_the_journal_back_and_stops_it(
    tmp_path: pathlib.Path, room: int
) -> None:
    path = tmp_path / "full.journal"
    result = run_python(FULL_DISK, str(path), str(room))
    first, *later = result["errors"]
    assert f"{path}: " in first and "File too large" in first
    assert "took effect in the fleet but is not in the journal" in first
    assert later == [first, first]
    # The failed call took effect; the later ones were refused before the module.
    assert (result["changed"], result["untouched"], result["endpoint"]) == (
        "warming",
        "unknown",
        None,
    )
    assert path.stat().st_size == result["size"]
    assert garnel.replay(path).report(10) == result["before"]


class FullSink(io.StringIO):
    def __init__(self) -> None:
        super().__init__()
        self.full = False

    def write(self, text: str) -> int:
        if self.full:
            raise OSError(28, "No space left on device")
        return super().write(text)


def test_a_failed_write_to_a_file_given_stops_the_journal() -> None:
    sink = FullSink()
    fleet = garnel.Fleet(8 * GIB, 0, ROSTER, clock=lambda: 9, journal=sink, journal_queries=True)
    fleet.load_started("m0", 1)
    sink.full = True
    with pytest.raises(
        JournalError, match="took effect in the fleet but is not in the journal .*No space left"
    ) as failed:
        fleet.probe_ok("m0", GIB, 2)
    sink.full = False
    for later in (lambda: fleet.stop("m0", 3), lambda: fleet.report(3)):
        with pytest.raises(JournalError) as refused:
            later()
        assert str(refused.value) == str(failed.value)
    assert fleet.raw.committed_bytes() == GIB  # the probe took effect, the stop did not
