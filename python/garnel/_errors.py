"""The package's own exceptions, for inputs only the package reads.

Everything the extension raises passes through unchanged; the first two cover a
roster file or in-code roster entry the package turns into JSON, and a journal
it reads back. Both are `ValueError`s, so code that already catches the
module's bad-data errors catches them too. The third is the command line's.
"""

from __future__ import annotations


class RosterError(ValueError):
    """A roster file or roster entry that cannot be read; the message names both."""


class JournalError(ValueError):
    """A journal line that cannot be replayed; the message names the file and line."""


class CommandError(Exception):
    """A mistake in what the user asked the command line for: one line, exit status 2."""
