"""garnel.PanicException is the class the extension raises when an invariant
breaks, which the extension itself exports under no name."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

# Each run starts a fresh interpreter: which classes exist depends on what was
# imported before, and in what order.
MADE_ON_IMPORT = textwrap.dedent(
    """
    import sys
    # Classes of the same name made first, as pyo3's extensions make them.
    for doc in ("The exception raised when Rust code called from Python panics.", None):
        type("PanicException", (BaseException,), {"__module__": "pyo3_runtime", "__doc__": doc})
    before = set(BaseException.__subclasses__())
    import _garnel
    made = [c for c in BaseException.__subclasses__() if c not in before]
    import garnel
    assert made == [garnel.PanicException], (made, garnel.PanicException)
    assert "PanicException" in garnel.__all__ and "PanicException" not in vars(_garnel)
    panic = garnel.PanicException
    assert f"{panic.__module__}.{panic.__qualname__}" == "pyo3_runtime.PanicException"
    assert panic.__bases__ == (BaseException,)
    if sys.argv[1:]:
        # The module's boundary code, built into the test probe, raises a
        # class of its own making: alike in all but identity.
        sys.path.insert(0, sys.argv[1])
        import _garnel_probe
        try:
            try:
                _garnel_probe.fail_with("invariant broken")
            except Exception:
                raise AssertionError("a catch-all caught a panic")
        except BaseException as raised:
            twin = type(raised)
        assert twin is not panic and twin is _garnel_probe.panic_type()
        same = ("__module__", "__qualname__", "__doc__", "__bases__")
        assert [getattr(twin, a) for a in same] == [getattr(panic, a) for a in same]
        # Made after the module's, the twin leaves garnel's choice alone.
        import importlib
        for name in [n for n in sys.modules if n == "garnel" or n.startswith("garnel.")]:
            del sys.modules[name]
        assert importlib.import_module("garnel").PanicException is panic
    print("ok")
    """
)


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", MADE_ON_IMPORT, *args],
        capture_output=True,
        text=True,
        check=False,
        timeout=120,
    )


def test_panic_exception_is_the_class_the_module_makes_on_import() -> None:
    done = run()
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr


def test_the_module_boundary_raises_a_class_like_it() -> None:
    where = os.environ.get("GARNEL_PROBE_DIR")
    if not where:
        pytest.skip("GARNEL_PROBE_DIR is not set (./dev test builds the probe and sets it)")
    done = run(where)
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr
