"""The package's own exceptions, and the extension's one that has no importable home.

Everything the extension raises passes through unchanged. `RosterError`,
`JournalError` and `SizingError` cover what only the package reads: roster
files and entries, journals, and a model's own files. All three are
`ValueError`s, so code that already catches the extension's bad-data errors
catches them too. `NvmlError` is the machine's: NVML did not tell a card's
size. `PanicException` is the extension's own class, found here
so that a host can name it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import _garnel


class RosterError(ValueError):
    """A roster file or roster entry that cannot be read; the message names both."""


class JournalError(ValueError):
    """A journal that cannot be written or replayed; the message names the file."""


class SizingError(ValueError):
    """A model's files cannot be sized: the message names the file and what is wrong."""


class MissingExtra(ImportError):
    """An optional dependency that this path needs is not installed."""


class NvmlError(RuntimeError):
    """NVML answers no card, or not the one asked for; the message says which, in NVML's words."""


PANIC_NAME = "pyo3_runtime.PanicException"
PANIC_DOC = "Raised when garnel finds one of its own invariants broken; not meant to be caught."


def _the_extensions_panic() -> type[BaseException]:
    """The class the extension made for its panics when it was created.

    The extension exports no such name, so it is found among BaseException's
    subclasses. pyo3's extensions make classes of the same name, with their
    own docstring; the name and the docstring together are garnel's alone.
    The extension makes its class when imported, above; of several (another
    build of garnel's boundary, as its test probe is), the first made is it.
    """
    for candidate in BaseException.__subclasses__():
        if (
            f"{candidate.__module__}.{candidate.__qualname__}" == PANIC_NAME
            and candidate.__doc__ == PANIC_DOC
        ):
            return candidate
    raise ImportError(f"{_garnel.__file__} made no {PANIC_NAME} on import, as it should")


if TYPE_CHECKING:

    class PanicException(BaseException):
        """Raised when garnel finds one of its own invariants broken; not meant to be caught.

        The extension's own class (shown as `pyo3_runtime.PanicException`),
        derived from BaseException so that `except Exception` does not hide it.
        """

else:
    PanicException = _the_extensions_panic()
