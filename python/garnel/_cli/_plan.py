"""`garnel plan`: can this card hold this roster?"""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .._model import Model
from .._roster import Plan, plan, read_roster, roster_from_bytes
from ._common import (
    DEFAULT_RESERVE_PCT,
    GIB,
    MIB,
    CommandError,
    count,
    gib,
    parse_size,
    percentage,
    printable,
    write_answer,
)

if TYPE_CHECKING:
    from ._common import Subparsers

EXAMPLES = """\
examples:
  garnel plan examples/roster.json --card 24GiB
  garnel plan roster.toml --card 81920MiB --reserve-pct 5
  garnel plan roster.json --gpu 1 --json      (the card's size from NVML: garnel[nvml])
  cat roster.json | garnel plan - --card 80GB

exit status: 0 every model fits, 1 a model was rejected, 2 bad input
"""


def register(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "plan",
        help="can this card hold this roster?",
        description="Plan a roster onto one card: which models fit, in roster order,\n"
        "and by how much the others fall short.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "roster",
        metavar="ROSTER",
        help="a JSON or TOML roster file, or - for standard input",
    )
    parser.add_argument(
        "--card",
        metavar="SIZE",
        type=parse_size,
        help="the card's memory: bytes, or e.g. 24GiB, 81920MiB, 80GB "
        "(default: the total of GPU --gpu through NVML)",
    )
    parser.add_argument(
        "--reserve-pct",
        metavar="N",
        type=percentage,
        default=DEFAULT_RESERVE_PCT,
        help="percent of the card held back, never less than 1 GiB (default: %(default)s)",
    )
    parser.add_argument(
        "--gpu",
        metavar="N",
        type=count,
        default=0,
        help="the NVML GPU index (default: 0)",
    )
    parser.add_argument("--json", action="store_true", help="print the plan as JSON")
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    if args.roster == "-":
        if sys.stdin is None:  # started with standard input closed
            raise CommandError("ROSTER is -, but there is no standard input to read")
        models = roster_from_bytes(sys.stdin.buffer.read(), "<stdin>")
    else:
        models = read_roster(args.roster)
    if args.card is not None:
        total, where = args.card, "given with --card"
    else:
        total, where = nvml_total_bytes(args.gpu)
    result = plan(total, args.reserve_pct, models)
    if args.json:
        write_answer(result.json + "\n")
    else:
        write_answer(plan_for_people(result, models, total, where, args.reserve_pct))
    return 0 if result.fits else 1


def plan_for_people(
    result: Plan,
    models: Sequence[Model],
    total: int,
    where: str,
    reserve_pct: int,
) -> str:
    """The card's figures, a line per model, and the module's explanation."""
    reserve = total - result.usable_bytes
    figures = [
        ("card", total, where),
        ("reserve", reserve, f"{reserve_pct} %, never below 1 GiB"),
        ("usable", result.usable_bytes, ""),
    ]
    digits = len(str(total))
    lines = []
    for label, byte_count, note in figures:
        note = f"  ({note})" if note else ""
        lines.append(f"{label:8}{gib(byte_count):>8} GiB  {byte_count:>{digits}} bytes{note}\n")
    lines.append("\n")
    names = [printable(model.name) for model in models]
    width = max(map(len, names), default=0)
    # The plan lists rejections in roster order; walking the roster greedily
    # again tells which entry each one is, duplicate names included.
    rejections = iter(result.rejected)
    free = result.usable_bytes
    for model, name in zip(models, names):
        needed = model.needed_bytes
        if needed <= free:
            free -= needed
            verdict = "admitted"
        else:
            rejection = next(rejections)
            verdict = f"REJECTED, short by {shortfall(rejection.short_bytes)}"
        lines.append(f"  {name:{width}}  {gib(needed):>7} GiB  {verdict}\n")
    lines.append(f"\n{explanation(result)}\n")
    return "".join(lines)


def shortfall(byte_count: int) -> str:
    """A shortfall with enough digits never to read as none: GiB, else MiB, else bytes."""
    if byte_count >= GIB:
        return f"{gib(byte_count)} GiB"
    if byte_count >= MIB:
        return f"{byte_count / MIB:.1f} MiB"
    return f"{byte_count} byte{'' if byte_count == 1 else 's'}"


_REJECTED = "\n  REJECTED "


def explanation(result: Plan) -> str:
    """The module's explanation, its rejected names escaped for a terminal.

    It is a header line, then a line per rejection in order: the name after
    `_REJECTED` and figures with no line feed; so each name is cut exactly.
    """
    text = result.explain
    if all(rejection.model.isprintable() for rejection in result.rejected):
        return text
    end = text.index("\n")  # the header names no model
    parts = [text[:end]]
    for rejection in result.rejected:
        figures = end + len(_REJECTED) + len(rejection.model)
        end = text.find("\n", figures)
        end = len(text) if end < 0 else end
        parts.append(f"{_REJECTED}{printable(rejection.model)}{text[figures:end]}")
    return "".join(parts)


def nvml_total_bytes(gpu: int) -> tuple[int, str]:
    """The total memory of one GPU through NVML, and how the figure was found."""
    advice = "give the card's size with --card, e.g. --card 24GiB"
    try:
        nvml: Any = importlib.import_module("pynvml")
    except ImportError:
        raise CommandError(
            f"no --card, and NVML is not installed (pip install 'garnel[nvml]'): {advice}"
        ) from None
    try:
        nvml.nvmlInit()
    except nvml.NVMLError as error:
        raise CommandError(f"no --card, and NVML answers no card ({error}): {advice}") from None
    try:
        handle = nvml.nvmlDeviceGetHandleByIndex(gpu)
        total = int(nvml.nvmlDeviceGetMemoryInfo(handle).total)
        name = nvml.nvmlDeviceGetName(handle)
    except nvml.NVMLError as error:
        raise CommandError(
            f"no --card, and NVML cannot read GPU {gpu} ({error}): {advice}"
        ) from None
    finally:
        try:
            nvml.nvmlShutdown()
        except nvml.NVMLError:
            pass
    if isinstance(name, bytes):  # older nvidia-ml-py gives bytes
        name = name.decode("utf-8", "replace")
    return total, f"GPU {gpu}, {name}, through NVML"
