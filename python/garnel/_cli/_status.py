"""`garnel status`: a serve's cards as `garnel serve` answers for them, from wherever reaches it.

The standard library's HTTP client only: no extra is needed to ask. The
card's report is `GET /` asked for text (a card of several, `GET /?gpu=N`),
the routes `GET /v1/models`, the cards and their bytes the
`garnel_card_bytes` lines of `GET /metrics`, and the swaps of on-demand
models its `garnel_swaps_total` and `garnel_swap_seconds` lines. A serve of
one card reads as it always has; of several, a section a card.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import time
import urllib.error
import urllib.request
from typing import TYPE_CHECKING, Any

from ._common import CommandError, answering, printable, write_answer

if TYPE_CHECKING:
    from ._common import Subparsers

DEFAULT_URL = "http://127.0.0.1:8080"
TIMEOUT_S = 10.0
# The most of an answer read: serve's are a few kilobytes.
ANSWER_LIMIT = 16 * 2**20
CARD_KINDS = ("total", "reserve", "usable", "committed", "free")
_CARD_LINE = re.compile(r'^garnel_card_bytes\{card="(\d+)",kind="(\w+)"\} (\S+)$', re.MULTILINE)
_SWAPS_LINE = re.compile(r'^garnel_swaps_total\{card="(\d+)",reason="(\w+)"\} (\S+)$', re.MULTILINE)
_SWAP_SECONDS = re.compile(r'^garnel_swap_seconds_(sum|count)\{card="(\d+)"\} (\S+)$', re.MULTILINE)
# Clears a terminal and puts the cursor home, between two reprints.
_CLEAR = "\x1b[H\x1b[2J"

EXAMPLES = f"""\
examples:
  garnel status                              the serve at {DEFAULT_URL}
  garnel status http://gpu-3:8080 --json     its models and card as one JSON document
  garnel status --watch 2                    reprinted every 2 s, until Ctrl-C

When serve has an api_key, give it in GARNEL_API_KEY.

exit status: 0 every admitted model is ready (an on-demand one only while on
the card), 1 one is not, 2 serve cannot be reached or refuses the key
"""


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value < 1e6:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds above 0")
    return value


def register(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "status",
        help="a running garnel serve's cards and models",
        description="Print the card's report and each model's route as a running garnel serve\n"
        "answers them; of several cards, a section a card.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "url", metavar="URL", nargs="?", default=DEFAULT_URL, help=f"(default: {DEFAULT_URL})"
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help='print {"models": <GET /v1/models>, "card": {total, reserve, usable, committed, '
        'free}}; of several cards, "cards": [{gpu, total, ...}, ...]',
    )
    parser.add_argument(
        "--watch", metavar="N", type=seconds, help="reprint every N seconds, until interrupted"
    )
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    base = base_url(args.url)
    key = os.environ.get("GARNEL_API_KEY", "")
    if args.watch is None:
        return show(base, key, args.json)
    clear = not args.json and sys.stdout is not None and sys.stdout.isatty()
    while True:
        if clear:
            write_answer(_CLEAR)
        try:
            show(base, key, args.json)
        except CommandError as error:  # serve may come back: say so, and keep watching
            if sys.stderr is not None:
                sys.stderr.write(f"garnel status: error: {printable(str(error))}\n")
        with answering() as out:
            out.flush()
        time.sleep(args.watch)


def base_url(text: str) -> str:
    url = text if "://" in text else "http://" + text
    scheme = url.split("://", 1)[0].lower()
    if scheme not in ("http", "https") or not url.split("://", 1)[1].strip("/"):
        raise CommandError(f"{text!r} is not the http:// or https:// address of a serve")
    return url.rstrip("/")


def show(base: str, key: str, as_json: bool) -> int:
    """Prints the cards once; returns 0 when every model that must be ready is."""
    listed = _json(base, "/v1/models", fetch(base, "/v1/models", key))
    models = listed.get("data") if isinstance(listed, dict) else None
    if not isinstance(models, list) or not all(_is_model(entry) for entry in models):
        raise CommandError(f"{base}/v1/models: not garnel serve's list of models")
    metrics = fetch(base, "/metrics", key).decode("utf-8", "replace")
    cards = card_bytes(base, metrics)
    if as_json:
        write_answer(json.dumps(status_json(base, listed, models, metrics, cards)) + "\n")
        return exit_status(models)
    several = len(cards) > 1
    for index, gpu in enumerate(cards):
        on_card = [entry for entry in models if not several or entry["garnel"].get("gpu") == gpu]
        if several:
            write_answer(("\n" if index else "") + f"GPU {gpu}\n")
        where = f"/?gpu={gpu}" if several else "/"
        report = fetch(base, where, key, accept="text/plain").decode("utf-8", "replace")
        # Line by line, each escaped: a name or a failure's detail cannot drive the terminal.
        write_answer("".join(printable(line) + "\n" for line in report.splitlines()))
        on_demand = any(entry["garnel"].get("on_demand") for entry in on_card)
        write_answer("\n" + routes_for_people(on_card, on_demand))
        if on_demand:
            write_answer("\n" + swaps_for_people(swaps(base, metrics, gpu)) + "\n")
    return exit_status(models)


def exit_status(models: list[dict[str, Any]]) -> int:
    """0 when every model that must be ready is, on every card; else 1."""
    return 0 if all(entry["garnel"]["ready"] for entry in models if must_be_ready(entry)) else 1


def routes_for_people(models: list[dict[str, Any]], on_demand: bool) -> str:
    """A line per model: its name, its route, and whether it is on demand and on the card."""
    names = [printable(entry["id"]) for entry in models]
    width = max(map(len, names), default=0)
    kinds = [printable(entry["garnel"]["route"]) for entry in models]
    kind_width = max(map(len, kinds), default=0) if on_demand else 0
    lines = []
    for name, kind, entry in zip(names, kinds, models):
        line = f"  {name:{width}}  {kind.ljust(kind_width)}{on_demand_note(entry)}"
        lines.append(line.rstrip(" ") + "\n")
    return "".join(lines)


def status_json(
    base: str,
    listed: Any,
    models: list[dict[str, Any]],
    metrics: str,
    cards: dict[int, dict[str, int]],
) -> dict[str, Any]:
    """One card: {"models", "card", "swaps"}, as it always was; several: {"models", "cards"},
    each card's bytes with its "gpu" and, where it has on-demand models, its "swaps"."""
    if len(cards) == 1:
        ((gpu, card),) = cards.items()
        document: dict[str, Any] = {"models": listed, "card": card}
        if any(entry["garnel"].get("on_demand") for entry in models):
            document["swaps"] = swaps(base, metrics, gpu)
        return document
    each = []
    for gpu, card in cards.items():
        entry: dict[str, Any] = {"gpu": gpu, **card}
        on_card = [model for model in models if model["garnel"].get("gpu") == gpu]
        if any(model["garnel"].get("on_demand") for model in on_card):
            entry["swaps"] = swaps(base, metrics, gpu)
        each.append(entry)
    return {"models": listed, "cards": each}


def must_be_ready(entry: dict[str, Any]) -> bool:
    """Whether a model must be ready for the card to be well: every one the plan of the
    moment admitted; an on-demand model off the card is loaded when it is asked for."""
    on_card = entry["garnel"].get("on_card", True)
    return bool(entry["garnel"]["route"] != "not_admitted" and on_card is not False)


def on_demand_note(entry: dict[str, Any]) -> str:
    garnel = entry["garnel"]
    if not garnel.get("on_demand"):
        return ""
    if garnel.get("on_card"):
        return "  on demand"
    if garnel["route"] == "not_admitted":
        return "  on demand, too large beside the pinned models"
    return "  on demand, off the card"


def swaps(base: str, metrics: str, gpu: int) -> dict[str, float]:
    """Card `gpu`'s swaps by reason, and the seconds of those for a request that got their
    model ready (`ready`, and their `ready_seconds` in all), from the metrics."""
    found = {
        reason: value for card, reason, value in _SWAPS_LINE.findall(metrics) if int(card) == gpu
    }
    seconds = {
        part: value for part, card, value in _SWAP_SECONDS.findall(metrics) if int(card) == gpu
    }
    try:
        return {
            "request": int(float(found["request"])),
            "idle": int(float(found["idle"])),
            "ready": int(float(seconds["count"])),
            "ready_seconds": float(seconds["sum"]),
        }
    except (KeyError, ValueError, OverflowError):
        raise CommandError(f"{base}/metrics: no garnel_swaps_total of every reason") from None


def swaps_for_people(counts: dict[str, float]) -> str:
    requested, idle, ready = int(counts["request"]), int(counts["idle"]), int(counts["ready"])
    line = f"swaps: {requested} for a request, {idle} of an idle model"
    if ready:
        mean = counts["ready_seconds"] / ready
        line += f"; a requested model ready {mean:.2f} s after its swap began, on average"
    return line


def _is_model(entry: object) -> bool:
    if not isinstance(entry, dict) or not isinstance(entry.get("id"), str):
        return False
    garnel = entry.get("garnel")
    return (
        isinstance(garnel, dict)
        and isinstance(garnel.get("route"), str)
        and isinstance(garnel.get("ready"), bool)
    )


def card_bytes(base: str, metrics: str) -> dict[int, dict[str, int]]:
    """Each card's bytes by kind, by its GPU in index order, from the metrics'
    `garnel_card_bytes` lines."""
    found: dict[int, dict[str, str]] = {}
    for gpu, kind, value in _CARD_LINE.findall(metrics):
        found.setdefault(int(gpu), {})[kind] = value
    try:
        cards = {
            gpu: {kind: int(float(kinds[kind])) for kind in CARD_KINDS}
            for gpu, kinds in sorted(found.items())
        }
    except (KeyError, ValueError, OverflowError):
        cards = {}
    if not cards:
        raise CommandError(f"{base}/metrics: no garnel_card_bytes of every kind")
    return cards


def fetch(base: str, path: str, key: str, accept: str = "") -> bytes:
    """The body of a GET; CommandError for serve unreached, a refused key or another answer."""
    headers = {"Authorization": f"Bearer {key}"} if key else {}
    if accept:
        headers["Accept"] = accept
    request = urllib.request.Request(base + path, headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=TIMEOUT_S) as answer:
            body: bytes = answer.read(ANSWER_LIMIT)
            return body
    except urllib.error.HTTPError as error:
        if error.code == 401:
            why = "GARNEL_API_KEY is not its key" if key else "give its key in GARNEL_API_KEY"
            raise CommandError(f"{base}: serve refuses the key (401): {why}") from None
        raise CommandError(
            f"{base}{path}: answered {error.code} {error.reason}: is this garnel serve?"
        ) from None
    except (urllib.error.URLError, OSError, ValueError) as error:
        reason = getattr(error, "reason", None) or error
        raise CommandError(f"cannot reach serve at {base}: {reason}") from None


def _json(base: str, path: str, body: bytes) -> Any:
    try:
        return json.loads(body)
    except ValueError:
        raise CommandError(f"{base}{path}: not JSON: is this garnel serve?") from None
