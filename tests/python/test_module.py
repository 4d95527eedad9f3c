import importlib.util
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap

import pytest

import _garnel


def test_contents():
    assert _garnel.__all__ == ["plan", "Fleet", "__version__"]
    assert _garnel.__version__ == "0.4.7"
    assert _garnel.__doc__ == ""
    assert _garnel.__name__ == "_garnel"
    assert [name for name in vars(_garnel) if not name.startswith("__")] == ["plan", "Fleet"]


def test_the_version_is_written_once():
    import importlib.metadata

    import garnel

    versions = {
        "_garnel": _garnel.__version__,
        "garnel": garnel.__version__,
        "installed metadata": importlib.metadata.version("garnel"),
    }
    pyproject = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    if pyproject.exists():  # absent where the suites run outside the source tree
        versions["pyproject.toml"] = re.search(r'^version = "(.*)"$', pyproject.read_text(), re.M).group(1)
    assert len(set(versions.values())) == 1, versions


def test_second_initialisation_returns_the_same_module():
    spec = importlib.util.find_spec("_garnel")
    again = importlib.util.module_from_spec(spec)
    assert again is _garnel


def test_built_for_the_stable_abi():
    assert _garnel.__file__.endswith(".abi3.so")


SUBINTERPRETER = textwrap.dedent(
    """
    import os, sys
    import _garnel
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    read, write = os.pipe()
    code = '''
    import os, sys
    sys.path[:0] = {path!r}
    try:
        import _garnel
        outcome = "imported"
    except ImportError as error:
        outcome = "ImportError: " + str(error)
    os.write({write}, outcome.encode())
    '''.format(path=sys.path, write=write)
    interpreter = interpreters.create()
    interpreters.run_string(interpreter, code)
    interpreters.destroy(interpreter)
    print(os.read(read, 4096).decode())
    """
)


def test_a_sub_interpreter_is_refused():
    done = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ImportError: "), done.stdout


class TestPanic:
    def test_class(self, probe):
        panic = probe.panic_type()
        assert f"{panic.__module__}.{panic.__qualname__}" == "pyo3_runtime.PanicException"
        assert panic.__bases__ == (BaseException,)
        assert not issubclass(panic, Exception)
        assert probe.panic_type() is panic

    def test_a_cpp_exception_becomes_a_panic_with_its_message(self, probe):
        with pytest.raises(BaseException) as caught:
            probe.fail_with("invariant broken: caf\u00e9")
        assert type(caught.value) is probe.panic_type()
        assert str(caught.value) == "invariant broken: caf\u00e9"

    def test_a_failure_without_a_message_gets_a_fixed_one(self, probe):
        with pytest.raises(BaseException) as caught:
            probe.fail_silently()
        assert type(caught.value) is probe.panic_type()
        assert str(caught.value) != ""

    def test_exhausted_memory_ends_the_process(self, probe):
        script = "import sys; sys.path.insert(0, sys.argv[1]); import _garnel_probe; _garnel_probe.fail_out_of_memory()"
        where = os.path.dirname(probe.__file__)
        done = subprocess.run([sys.executable, "-c", script, where], capture_output=True, text=True, timeout=60)
        assert done.returncode == -signal.SIGABRT, (done.returncode, done.stderr)
        assert "garnel: out of memory" in done.stderr

    def test_except_exception_does_not_swallow_it(self, probe):
        def host_handler():
            try:
                probe.fail_with("x")
            except Exception:  # what a host's catch-all does
                return "swallowed"
            return "returned"

        with pytest.raises(BaseException):
            host_handler()
