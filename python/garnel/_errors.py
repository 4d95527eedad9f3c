"""The package's own exceptions, and the extension's one that has no importable home.

Everything the extension raises passes through unchanged. `RosterError`,
`JournalError` and `SizingError` cover what only the package reads: roster
files and entries, journals, and a model's own files. All three are
`ValueError`s, so code that already catches the extension's bad-data errors
catches them too.
"""

from __future__ import annotations


class RosterError(ValueError):
    """A roster file or roster entry that cannot be read; the message names both."""


class JournalError(ValueError):
    """A journal that cannot be written or replayed; the message names the file."""


class SizingError(ValueError):
    """A model's files cannot be sized: the message names the file and what is wrong."""


class MissingExtra(ImportError):
    """An optional dependency that this path needs is not installed."""
