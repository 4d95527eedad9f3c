"""The shipped stubs agree with the built module, and a type checker uses them."""

import subprocess
import sys

import pytest

from conftest import EXAMPLES

pytest.importorskip("mypy")


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=300)


def test_stubs_match_the_module(tmp_path):
    done = run("mypy.stubtest", "_garnel", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_typed_host_checks_clean_and_a_wrong_call_does_not(tmp_path):
    good = run("mypy", "--strict", "--no-incremental", str(EXAMPLES / "typed_host.py"), cwd=tmp_path)
    assert good.returncode == 0, good.stdout + good.stderr

    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "from _garnel import Fleet\n"
        "fleet = Fleet(1, 2, '[]')\n"
        "fleet.route(1, 'later')\n"
        "name: str = fleet.next_to_load()\n"
        "fleet.observe('m', 'stop', {}, 1)\n"
    )
    bad = run("mypy", "--strict", "--no-incremental", str(wrong), cwd=tmp_path)
    assert bad.returncode == 1
    assert bad.stdout.count("error:") == 4, bad.stdout
