"""The package's import contracts hold, and catch an import that breaks them."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys

import garnel
import pytest
from package_support import REPO

pytest.importorskip("importlinter", reason="the layer contracts need import-linter (dev tools)")

PYPROJECT = REPO / "pyproject.toml"
# lint-imports itself, by the interpreter running the tests rather than a script on PATH.
LINT_IMPORTS = "import sys; from importlinter.cli import lint_imports_command as c; sys.exit(c())"


def lint_imports(root: pathlib.Path) -> subprocess.CompletedProcess[str]:
    """lint-imports over the package copied under `root`, with the project's contracts."""
    env = dict(os.environ, PYTHONPATH=str(root))
    return subprocess.run(
        [
            sys.executable,
            "-c",
            LINT_IMPORTS,
            str(PYPROJECT),
            "--no-cache",
        ],
        capture_output=True,
        text=True,
        check=False,
        cwd=root,
        env=env,
        timeout=120,
    )


@pytest.fixture
def package_copy(tmp_path: pathlib.Path) -> pathlib.Path:
    """A copy of the installed package, to plant imports in."""
    shutil.copytree(pathlib.Path(garnel.__file__).parent, tmp_path / "garnel")
    return tmp_path


def test_the_package_keeps_its_contracts(package_copy: pathlib.Path) -> None:
    done = lint_imports(package_copy)
    assert done.returncode == 0, done.stdout + done.stderr


# (module, line planted at its end, the contract it breaks)
PLANTED = [
    ("_sizing/_shape.py", "from .._fleet import Fleet", "layers"),
    ("_model.py", "from ._roster import plan", "layers"),
    ("_roster/_plan.py", "from .._cli import main", "imported by nothing"),
    ("__init__.py", "from ._cli import main", "imported by nothing"),
    ("_fleet/_journal.py", "from ._replay import replay", "no import cycles"),
    ("_cli/_plan.py", "from .._roster._entries import byte_count", "private module"),
    ("_serve/_setup.py", "from .._roster import plan", "public garnel API"),
]


@pytest.mark.parametrize(("module", "line", "contract"), PLANTED, ids=[p[0] for p in PLANTED])
def test_a_planted_import_breaks_its_contract(
    package_copy: pathlib.Path, module: str, line: str, contract: str
) -> None:
    with open(package_copy / "garnel" / module, "a", encoding="utf-8") as file:
        file.write(f"\n{line}  # noqa\n")
    done = lint_imports(package_copy)
    assert done.returncode == 1, done.stdout + done.stderr
    broken = [row for row in done.stdout.splitlines() if row.endswith("BROKEN")]
    assert any(contract in row for row in broken), done.stdout
