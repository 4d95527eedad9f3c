"""garnel.place: one roster across several cards, each card planned by the module,
and pins read from every roster shape."""

from __future__ import annotations

import json
import pathlib
from dataclasses import replace

import _garnel
import garnel
import pytest
from garnel import Model, RosterError
from hypothesis import given, settings
from hypothesis import strategies as st
from package_support import GIB

U64_MAX = 2**64 - 1
PROPERTY = settings(max_examples=150, derandomize=True, deadline=None, database=None)


def module_plan(total: int, reserve_pct: int, models: list[Model]) -> str:
    """The module's own plan of these models, from JSON written here, not by the package."""
    entries = [
        {"model": m.name, "weightsBytes": m.weights_bytes, "kvBytes": m.kv_bytes} for m in models
    ]
    return _garnel.plan(total, reserve_pct, json.dumps(entries))


@st.composite
def machines(draw: st.DrawFn) -> tuple[list[int], list[Model], int | list[int]]:
    # A 2 or 4 GiB card keeps 1 GiB back at most reserves: GiB models fill such cards exactly.
    card = st.one_of(st.integers(GIB // 2, 96 * GIB), st.sampled_from([2 * GIB, 4 * GIB]))
    cards = draw(st.lists(card, min_size=1, max_size=8))
    weights = st.one_of(
        st.integers(0, 100 * GIB), st.integers(0, 4).map(lambda n: n * GIB), st.just(U64_MAX)
    )
    kv = st.one_of(st.just(0), st.sampled_from([GIB, U64_MAX]))
    pins = st.one_of(st.none(), st.integers(0, len(cards) - 1))
    count = draw(st.integers(0, 16))
    models = [Model(f"m{index}", draw(weights), draw(kv), draw(pins)) for index in range(count)]
    reserve = st.sampled_from([0, 10, 50, 100])
    # One reserve for every card, or one a card (serve's [[card]] tables each give theirs).
    return (
        cards,
        models,
        draw(st.one_of(reserve, st.lists(reserve, min_size=len(cards), max_size=len(cards)))),
    )


@PROPERTY
@given(machines())
def test_every_card_is_the_modules_plan_and_every_rejection_had_nowhere_to_go(
    machine: tuple[list[int], list[Model], int | list[int]],
) -> None:
    cards, models, reserve_pct = machine
    placement = garnel.place(cards, models, reserve_pct=reserve_pct)
    reserves = reserve_pct if isinstance(reserve_pct, list) else [reserve_pct] * len(cards)
    went = {**placement.placed, **{r.model: r.gpu for r in placement.rejected}}
    assert sorted(went) == sorted(m.name for m in models)
    assert len(placement.placed) + len(placement.rejected) == len(models)
    for index, (total, reserve, card) in enumerate(zip(cards, reserves, placement.cards)):
        on_card = [m for m in models if went[m.name] == index]
        assert card.json == module_plan(total, reserve, on_card)
        assert card.committed_bytes <= card.usable_bytes
        assert {name for name, at in placement.placed.items() if at == index} == set(card.admitted)

    # Walk the roster again: each model saw the cards as the models before it left them.
    left = [card.usable_bytes for card in placement.cards]
    for model in models:
        needed = model.needed_bytes
        holds = [k for k, free in enumerate(left) if needed <= free]
        at = went[model.name]
        assert at is not None
        if model.name in placement.placed:
            assert at == (model.gpu if model.gpu is not None else holds[0])
            left[at] -= needed
        elif model.gpu is not None:
            assert (at, needed > left[at]) == (model.gpu, True)
        else:
            assert not holds and at == left.index(max(left))
    assert placement.fits == (not placement.rejected)

    if len(cards) == 1:
        alone = garnel.plan(cards[0], reserves[0], models)
        assert placement.cards == (alone,) and str(placement) == str(alone)
        assert placement.rejected == tuple(replace(r, gpu=0) for r in alone.rejected)


CARD_24, USABLE_24 = 24 * GIB, 23_192_823_406  # 21.6 GiB usable at the default reserve
CARD_48, USABLE_48 = 48 * GIB, 46_385_646_802  # 43.2 GiB


@pytest.mark.parametrize(
    ("cards", "roster", "placed", "rejected"),
    [
        # Two 15 GiB models: the second fits only on the second card.
        ([CARD_24, CARD_24], [("a", 15, None), ("b", 15, None)], {"a": 0, "b": 1}, []),
        # Pinned to the full card, rejected there though GPU 1 stands empty.
        (
            [CARD_24, CARD_24],
            [("a", 20, 0), ("b", 10, 0)],
            {"a": 0},
            [("b", 0, 10 * GIB - (USABLE_24 - 20 * GIB))],
        ),
        # Larger than either card: rejected on the one it is least short on.
        (
            [CARD_24, CARD_48],
            [("a", 10, None), ("huge", 100, None), ("c", 30, None)],
            {"a": 0, "c": 1},
            [("huge", 1, 100 * GIB - USABLE_48)],
        ),
        # Short on both by as much: the lower index.
        ([CARD_24, CARD_24], [("a", 30, None)], {}, [("a", 0, 30 * GIB - USABLE_24)]),
    ],
    ids=["spread", "pinned", "larger-than-every-card", "tie"],
)
def test_placement_by_pencil(
    cards: list[int],
    roster: list[tuple[str, int, int | None]],
    placed: dict[str, int],
    rejected: list[tuple[str, int, int]],
) -> None:
    models = [Model(name, gib * GIB, gpu=gpu) for name, gib, gpu in roster]
    placement = garnel.place(cards, models)
    assert placement.placed == placed
    assert [(r.model, r.gpu, r.short_bytes) for r in placement.rejected] == rejected
    assert placement.fits == (not rejected)


def test_a_model_larger_than_every_card_says_how_many_it_needs() -> None:
    placement = garnel.place([CARD_24, CARD_48], [Model("a", 10 * GIB), Model("huge", 100 * GIB)])
    text = str(placement)
    assert text.startswith("GPU 0: 1 of 1 admitted, 10.0 GiB committed of 21.6 GiB usable\n")
    assert "GPU 1: 0 of 1 admitted, 0.0 GiB committed of 43.2 GiB usable\n  REJECTED huge" in text
    assert text.endswith(
        "\n\n1 of 2 placed on 2 cards\n  REJECTED huge on GPU 1 \u2014 needs 100.0 GiB, more "
        "than the 43.2 GiB usable on any card: it needs 3 cards, and a model is not split "
        "across cards"
    )


PINNED = [("a", 1, 1), ("b", 2, None)]


def roster_shapes(tmp_path: pathlib.Path) -> dict[str, object]:
    """The same two models, `a` pinned to GPU 1, in every shape a roster comes in."""
    json_entries = [
        {"model": n, "weightsBytes": w, **({"gpu": g} if g is not None else {})}
        for n, w, g in PINNED
    ]
    toml = "".join(
        f'[[model]]\nname = "{n}"\nweights_bytes = {w}\n'
        + (f"gpu = {g}\n" if g is not None else "")
        for n, w, g in PINNED
    )
    (tmp_path / "r.json").write_text(json.dumps(json_entries))
    (tmp_path / "r.toml").write_text(toml)
    sized = {"path": "no-such-model", "model": "a", "weightsBytes": 1, "kvBytes": 0, "gpu": 1}
    return {
        "models": [Model(n, w, gpu=g) for n, w, g in PINNED],
        "mappings": json_entries,
        "json text": json.dumps(json_entries),
        "json file": garnel.read_roster(tmp_path / "r.json"),
        "toml file": garnel.read_roster(tmp_path / "r.toml"),
        "path entry": [sized, json_entries[1]],
    }


def test_a_pin_is_read_from_every_roster_shape(tmp_path: pathlib.Path) -> None:
    for shape, roster in roster_shapes(tmp_path).items():
        placement = garnel.place([GIB * 8, GIB * 8], roster)  # type: ignore[arg-type]
        assert placement.placed == {"a": 1, "b": 0}, shape


def test_a_pin_reaches_the_module_only_when_set() -> None:
    # The roster JSON of an unpinned model is what it always was; the module passes over "gpu".
    assert Model("a", 1, 2).entry() == {"model": "a", "weightsBytes": 1, "kvBytes": 2}
    pinned = [Model("a", 3 * GIB, gpu=4)]
    assert garnel.plan(CARD_24, 10, pinned) == garnel.plan(CARD_24, 10, [Model("a", 3 * GIB)])
    with garnel.Fleet(CARD_24, 10, pinned) as fleet:
        assert fleet.next_to_load() == "a"


TWO_CARDS = [CARD_24, CARD_24]


@pytest.mark.parametrize(
    ("cards", "roster", "error", "message"),
    [
        (
            TWO_CARDS,
            [Model("a", 1, gpu=2), {"model": "b", "weightsBytes": 1, "gpu": 1}, Model("c", 1, gpu=9)],
            RosterError,
            (
                "could not place the roster: entry 0 (a): pinned to GPU 2, but the cards given "
                "are GPU 0 to 1; entry 2 (c): pinned to GPU 9, but the cards given are GPU 0 to 1"
            ),
        ),
        ([CARD_24], [Model("a", 1, gpu=1)], RosterError, "GPU 1, but the cards given are GPU 0 alone"),
        (TWO_CARDS, [{"model": "a", "weightsBytes": 1, "gpu": -1}], RosterError, 'entry 0 (a): "gpu" is not'),
        (TWO_CARDS, [{"model": "a", "weightsBytes": 1, "gpu": True}], RosterError, "a whole number from 0 up): True"),
        (TWO_CARDS, '[{"model": "a", "weightsBytes": 1, "gpu": 1.5}]', RosterError, "from 0 up): 1.5"),
        (TWO_CARDS, '[{"model": "a", "weightsBytes": 1}, {"model": "a", "weightsBytes": 1}]', RosterError, "entry 1 (a): the name of entry 0 again"),
        ([], [], ValueError, "no cards to place the roster on"),
        (CARD_24, [], TypeError, "one a card, not int"),
        ([CARD_24, -1], [], OverflowError, ""),
    ],
    ids=["beyond-the-cards", "beyond-one-card", "negative", "bool", "float", "json-text-twice", "no-cards", "one-int", "negative-card"],
)  # fmt: skip
def test_a_bad_pin_or_card_list_is_refused_naming_the_entry(
    cards: object, roster: object, error: type[Exception], message: str
) -> None:
    with pytest.raises(error) as caught:
        garnel.place(cards, roster, reserve_pct=10)  # type: ignore[arg-type]
    assert message in str(caught.value)


def test_each_card_keeps_its_own_reserve() -> None:
    # 22 GiB: more than GPU 0's 21.6 usable at 10 %, less than GPU 1's 23 at 0 % (1 GiB kept).
    placement = garnel.place([CARD_24, CARD_24], [Model("a", 22 * GIB)], reserve_pct=[10, 0])
    assert placement.placed == {"a": 1}
    assert [card.usable_bytes for card in placement.cards] == [USABLE_24, 23 * GIB]
    with pytest.raises(ValueError, match="1 reserves for 2 cards: give one for every card"):
        garnel.place([CARD_24, CARD_24], [], reserve_pct=[10])
