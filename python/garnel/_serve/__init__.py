"""`garnel serve`: the host itself, serving a roster of models from a machine's cards as planned.

This subpackage owns the host: its configuration file (`_config`), sizing
the roster, placing it across the cards and planning each, and the argv of
each server (`_setup`), the server processes (`_process`), the supervisor
that starts, probes and restarts them and tells the Fleet (`_supervisor`),
the swaps that bring on-demand models onto the card and take them off it, a
new Fleet each (`_swap`), the HTTP proxy that routes every request by the
Fleet (`_proxy`), the hooks through which they tell what happened
(`_events`), the metrics they feed (`_metrics`), the status page and the
logs' tails (`_page`), NVML (`_nvml`) and the host's start and stop
(`_host`). Each card has its own Fleet, journal, supervisor and swaps; the
proxy, the metrics and the pages are the host's, over every card. It is the
package's first user: it imports only the public `garnel` API. Reading and
planning need nothing beyond the standard library; serving needs aiohttp and
prometheus-client, the `serve` extra, imported only by `serve()`.
"""

from __future__ import annotations

import os

from garnel import MissingExtra

from ._config import Config, ConfigError, read_config
from ._setup import Setup, check_programs, prepare

__all__ = [
    "Config",
    "ConfigError",
    "Setup",
    "check_programs",
    "need_extra",
    "prepare",
    "read_config",
    "serve",
]


def need_extra() -> None:
    """Raises MissingExtra, naming the extra, when serving cannot work here."""
    for module in ("aiohttp", "prometheus_client"):
        try:
            __import__(module)
        except ImportError:
            raise MissingExtra(f"serving needs {module}: pip install 'garnel[serve]'") from None
    if not hasattr(os, "killpg"):
        raise MissingExtra("serving needs a POSIX system: its servers run in process groups")


def serve(setup: Setup) -> int:
    """Serves the planned roster until SIGTERM or SIGINT; returns the exit status."""
    need_extra()
    from ._host import serve as run

    return run(setup)
