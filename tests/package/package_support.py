"""Shared by the package's tests. (Not a conftest.py: tests/python imports its
own conftest by that name, and a second one would shadow it.)"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

GIB = 2**30
REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE_ROSTER = REPO / "examples" / "roster.json"


def garnel_cli(
    *args: str, stdin: str | None = None, cwd: pathlib.Path | None = None, path: str = ""
) -> subprocess.CompletedProcess[str]:
    """`python -m garnel ARGS` as a user runs it; `path` goes first on PYTHONPATH."""
    env = dict(os.environ)
    env["PYTHONPATH"] = path
    return subprocess.run(
        [sys.executable, "-m", "garnel", *args],
        input=stdin,
        capture_output=True,
        text=True,
        check=False,
        cwd=cwd,
        env=env,
        timeout=120,
    )
