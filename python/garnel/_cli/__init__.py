"""The operator's command line, one module a command: `plan`, `replay`, `size`, `serve`
and `status`.

Each command module has `register(subparsers)`, which adds its parser and sets
`handler=` through `set_defaults`: a callable taking the parsed namespace and
returning the exit status. A handler writes its answer with
`_common.write_answer`, which standard output may refuse, and passes every
name or other outside text it shows through `_common.printable`. It reports a
user's mistake by raising `CommandError` (or a `ValueError` or `OSError` with
a message fit for people); `main` prints it as one line and exits 2. A new
command lists its `register` in `_main.SUBCOMMANDS`. Nothing in the package
imports this one.
"""

from __future__ import annotations

from ._main import main

__all__ = ["main"]
