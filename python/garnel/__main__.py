"""python -m garnel: the same command line as the `garnel` script."""

from __future__ import annotations

from ._cli import main

raise SystemExit(main())
