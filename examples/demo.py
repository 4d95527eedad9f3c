"""Plans a roster for one 24 GiB card and prints what garnel decided.

Usage: python examples/demo.py [ROSTER_JSON_FILE]
"""

import json
import pathlib
import sys

import _garnel

CARD_BYTES = 24 * 2**30  # a 24 GiB card
RESERVE_PCT = 10  # held back for the runtime, never less than one GiB


def main() -> None:
    path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("roster.json"))
    roster_json = path.read_text(encoding="utf-8")

    print(f"Can a 24 GiB card, {RESERVE_PCT}% held back, hold {path.name}?\n")
    plan_text = _garnel.plan(CARD_BYTES, RESERVE_PCT, roster_json)
    plan = json.loads(plan_text)
    print(plan["explain"])
    print()
    print(plan_text)


if __name__ == "__main__":
    main()
