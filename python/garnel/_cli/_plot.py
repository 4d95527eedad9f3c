"""`garnel replay --plot`: a picture of a card over a journal's day, with matplotlib.

Above, the committed bytes as a stacked area by model and the usable line;
below, one lane per model coloured by its state, with its server's exits and
its failed loads marked. matplotlib is the `plot` extra, imported here only.
"""

from __future__ import annotations

from collections import defaultdict
from pathlib import Path
from typing import TYPE_CHECKING

from .._errors import MissingExtra
from ._common import CommandError

if TYPE_CHECKING:
    from .._fleet import Day

GIB = 2**30
FORMATS = {".svg": "svg", ".png": "png"}
STATE_COLOURS = {
    "loading": "#f2b134",
    "resident": "#2f9e44",
    "lost": "#e03131",
    "failed": "#862e9c",
    "stopped": "#adb5bd",
}
# The models' colours in the area: none of the states' own.
MODEL_COLOURS = ("#4e79a7", "#76b7b2", "#9c755f", "#edc948", "#ff9da7", "#bab0ac", "#f28e2b")
MARKERS = {"process_exited": ("v", "its server exited"), "load_failed": ("X", "a load failed")}


def need_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise MissingExtra("plotting needs matplotlib: pip install 'garnel[plot]'") from None


def picture_format(path: str) -> str:
    fmt = FORMATS.get(Path(path).suffix.lower())
    if fmt is None:
        raise CommandError(f"--plot {path}: give a file name ending in .svg or .png")
    return fmt


def time_unit(span_ms: int) -> tuple[float, str]:
    """Milliseconds per unit, and its name, for a day this long."""
    if span_ms > 3 * 3600_000:
        return 3600_000.0, "h"
    if span_ms > 3 * 60_000:
        return 60_000.0, "min"
    return 1000.0, "s"


def plot_day(day: Day, path: str) -> None:
    """Draws the day into `path`, an .svg or a .png file."""
    fmt = picture_format(path)
    import matplotlib
    from matplotlib.artist import Artist
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    per, unit = time_unit(day.end - day.start)

    def at(now: int) -> float:
        return (now - day.start) / per

    end = at(day.end)
    names = day.names
    # Each model's bytes held, as steps: one value from each change to the next.
    times = sorted({day.start, day.end, *(change.now for change in day.changes)})
    held: dict[str, list[float]] = {name: [] for name in names}
    current = dict.fromkeys(names, 0)
    changes = iter(day.changes)
    pending = next(changes, None)
    for now in times:
        while pending is not None and pending.now <= now:
            current[pending.model] = pending.held_bytes
            pending = next(changes, None)
        for name in names:
            held[name].append(current[name] / GIB)
    # Each model's lane: (start, width) spans of each state, and its marks.
    spans: dict[str, dict[str, list[tuple[float, float]]]] = {n: defaultdict(list) for n in names}
    marks: dict[str, list[tuple[float, int]]] = defaultdict(list)
    since = dict.fromkeys(names, 0.0)
    states = dict(day.initial)
    for change in day.changes:
        x = at(change.now)
        if x > since[change.model]:
            spans[change.model][states[change.model]].append(
                (since[change.model], x - since[change.model])
            )
        since[change.model], states[change.model] = x, change.state
        if change.event:
            marks[change.event].append((x, names.index(change.model)))
    for name in names:
        if end > since[name]:
            spans[name][states[name]].append((since[name], end - since[name]))

    # The same day draws the same file; an SVG's text stays text.
    with matplotlib.rc_context({"svg.hashsalt": "garnel", "svg.fonttype": "none", "font.size": 9}):
        figure = Figure(figsize=(10, 3.4 + 0.32 * len(names)), layout="constrained")
        area, lanes = figure.subplots(
            2, 1, sharex=True, height_ratios=[3, max(1.2, 0.32 * len(names))]
        )
        xs = [at(now) for now in times]
        # Each model's colour is its place in the roster's, held or not.
        colours = [MODEL_COLOURS[index % len(MODEL_COLOURS)] for index in range(len(names))]
        shown = [index for index, name in enumerate(names) if any(held[name])]
        if shown:
            area.stackplot(
                xs,
                *(held[names[i]] for i in shown),
                labels=[names[i] for i in shown],
                colors=[colours[i] for i in shown],
                step="post",
            )
            area.legend(loc="upper left", bbox_to_anchor=(1.01, 1), frameon=False)
        area.axhline(day.usable_bytes / GIB, color="black", linestyle="--", linewidth=1)
        area.text(end, day.usable_bytes / GIB, "usable ", va="bottom", ha="right")
        area.set_ylabel("GiB committed")
        area.set_ylim(0, max(day.usable_bytes / GIB, *(sum(v) for v in zip(*held.values()))) * 1.12)
        area.set_title(f"{day.source}, life {day.life}: the card over its day")
        for row, name in enumerate(names):
            for state, ranges in spans[name].items():
                colour = STATE_COLOURS.get(state)
                if colour is not None:
                    lanes.broken_barh(ranges, (row - 0.4, 0.8), facecolors=colour)
        for event, (marker, _) in MARKERS.items():
            if marks[event]:
                xs_marked, rows = zip(*marks[event])
                lanes.scatter(xs_marked, rows, marker=marker, color="black", zorder=3, s=30)
        lanes.set_yticks(range(len(names)))
        lanes.set_yticklabels(
            [n + (" (not admitted)" if day.initial[n] == "not_admitted" else "") for n in names]
        )
        lanes.set_ylim(len(names) - 0.5, -0.5)
        lanes.set_xlim(0, max(end, 1e-9))
        lanes.set_xlabel(f"time since the card's journal began ({unit})")
        legend: list[Artist] = [
            Patch(color=colour, label=state) for state, colour in STATE_COLOURS.items()
        ]
        legend += [
            Line2D([], [], marker=marker, color="black", linestyle="", label=label)
            for marker, label in MARKERS.values()
        ]
        lanes.legend(
            handles=legend,
            loc="upper center",
            bbox_to_anchor=(0.5, -0.35 - 0.02 * len(names)),
            ncols=len(legend),
            frameon=False,
        )
        metadata = {"Date": None} if fmt == "svg" else {"Software": None}
        figure.savefig(path, format=fmt, dpi=110, metadata=metadata)
