"""Times placing a roster of 1,000 models across 8 cards against planning the
same split card by card.

    .venv/bin/python bench/place.py            # 9 rounds of 200 ms batches
    .venv/bin/python bench/place.py --quick    # 3 rounds of 50 ms

The roster is 1,000 `Model`s of 32 to 896 MiB, one in ten pinned to a card,
so that most are placed and some go nowhere; the cards are eight of 80 GiB.
Three calls are timed alternately in interleaved rounds, each figure the
median over the rounds:

- `garnel.place(cards, roster)`;
- the same split planned card by card: 8 calls of `garnel.plan` on the models
  the placement put (or rejected) on each card, which is the least a host
  doing it by hand would call; placement should cost at most twice that
  (it first walks the roster across the cards, in Python);
- 8 calls of the bare module's `plan` on JSON text written beforehand, shown
  for scale.

Exits 1 when the target is missed, 2 on a usage error. A benchmark for people,
not a test: pytest never collects it.
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import statistics
import sys
import time
from typing import Callable

import _garnel
import garnel

GIB = 2**30
MIB = 2**20
CARDS = [80 * GIB] * 8
RESERVE_PCT = 10
MODELS = 1000
TARGET = 2.0

Batch = Callable[[], None]


def roster(seed: int = 7) -> list[garnel.Model]:
    rng = random.Random(seed)
    models = []
    for index in range(MODELS):
        weights = rng.randrange(32 * MIB, 896 * MIB)
        kv = rng.choice([0, rng.randrange(256 * MIB)])
        pin = rng.randrange(len(CARDS)) if rng.random() < 0.1 else None
        models.append(garnel.Model(f"model-{index:04}", weights, kv, pin))
    return models


def split(placement: garnel.Placement, models: list[garnel.Model]) -> list[list[garnel.Model]]:
    """Each card's models, as the placement put them there, in roster order."""
    card_of: dict[str, int | None] = dict(placement.placed)
    card_of.update((rejection.model, rejection.gpu) for rejection in placement.rejected)
    return [[m for m in models if card_of[m.name] == card] for card in range(len(CARDS))]


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds (default: 9)")
    parser.add_argument(
        "--batch-ms", type=float, default=200.0, help="length of one timed batch (default: 200)"
    )
    parser.add_argument("--quick", action="store_true", help="3 rounds of 50 ms")
    options = parser.parse_args()
    if options.quick:
        options.rounds, options.batch_ms = 3, 50.0
    print(f"Python {sys.version.split()[0]}; garnel {garnel.__version__} from {garnel.__file__}")

    models = roster()
    placement = garnel.place(CARDS, models, reserve_pct=RESERVE_PCT)
    per_card = split(placement, models)
    texts = [json.dumps([m.entry() for m in card]) for card in per_card]
    print(
        f"{len(models)} models on {len(CARDS)} cards of 80 GiB: {len(placement.placed)} placed, "
        f"{len(placement.rejected)} rejected, per card {[len(card) for card in per_card]}"
    )
    assert list(placement.cards) == [
        garnel.plan(total, RESERVE_PCT, card) for total, card in zip(CARDS, per_card)
    ]

    def by_placement() -> None:
        garnel.place(CARDS, models, reserve_pct=RESERVE_PCT)

    def by_plan() -> None:
        for total, card in zip(CARDS, per_card):
            garnel.plan(total, RESERVE_PCT, card)

    def by_module() -> None:
        for total, text in zip(CARDS, texts):
            _garnel.plan(total, RESERVE_PCT, text)

    cases: list[tuple[str, Batch]] = [
        ("place()", by_placement),
        ("8 x plan()", by_plan),
        ("8 x _garnel.plan", by_module),
    ]
    figures = timed(cases, options.rounds, options.batch_ms / 1000)
    print(f"\nper call, median of {options.rounds} interleaved rounds")
    for name, _ in cases:
        print(f"{name:20} {figures[name] * 1e3:8.3f} ms")
    ratio = figures["place()"] / figures["8 x plan()"]
    verdict = "pass" if ratio <= TARGET else "FAIL"
    print(f"\nplace() / 8 x plan(): {ratio:.2f}x (target {TARGET:g}x)  {verdict}")
    return 0 if verdict == "pass" else 1


def timed(cases: list[tuple[str, Batch]], rounds: int, batch_s: float) -> dict[str, float]:
    """Seconds a call of each case, median over interleaved rounds of about batch_s each."""
    repeats = {}
    for name, call in cases:
        start = time.perf_counter()
        call()
        repeats[name] = max(1, int(batch_s / max(time.perf_counter() - start, 1e-9)))
    samples: dict[str, list[float]] = {name: [] for name, _ in cases}
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds):
            # Rotate which goes first, so none always runs warm.
            for name, call in cases[r % len(cases) :] + cases[: r % len(cases)]:
                start = time.perf_counter()
                for _ in range(repeats[name]):
                    call()
                samples[name].append((time.perf_counter() - start) / repeats[name])
    finally:
        gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


if __name__ == "__main__":
    sys.exit(main())
