"""Values from a model's files, quoted briefly in messages.

A file can hold a name of megabytes, a shape of a million dimensions or an
integer of thousands of digits. A message quotes a few dozen characters of
such a value (a real tensor's name whole), enough to find it, and never
turns a huge integer into digits: that would take time, a line of its own,
or a ValueError past 4300 digits.
"""

from __future__ import annotations

import reprlib

# Integers up to this many bits are written out; larger ones by their size.
FIGURE_BITS = 100


def figure(number: int, *, grouped: bool = False) -> str:
    """`number` in digits (in groups of three if `grouped`), or the power of
    two it is about when it is larger than any real count."""
    if number.bit_length() > FIGURE_BITS:
        return f"about 2**{number.bit_length() - 1}"
    return f"{number:,}" if grouped else str(number)


class _Brief(reprlib.Repr):
    def __init__(self) -> None:
        super().__init__()
        self.maxlevel = 2
        self.maxtuple = self.maxlist = self.maxdict = self.maxset = 4
        # Room for any real tensor's name whole.
        self.maxstring = 80
        self.maxother = 40

    def repr_int(self, x: int, level: int) -> str:
        return repr(x) if x.bit_length() <= FIGURE_BITS else figure(x)


_BRIEF = _Brief()


def quote(value: object) -> str:
    """`repr(value)` cut to a few dozen characters."""
    return _BRIEF.repr(value)
