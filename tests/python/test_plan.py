import json
import re

import pytest

import _garnel
from _garnel import plan
from conftest import GIB, U64_MAX, Index, canonical

EXAMPLE_PLAN = (
    '{"admitted":["a","c"],"committed_bytes":18790481920,"declared":3,'
    '"explain":"2 of 3 admitted, 17.5 GiB committed of 21.6 GiB usable\\n'
    '  REJECTED b \u2014 needs 8.0 GiB, 5.6 GiB free, short by 2.4 GiB","fits":false,'
    '"headroom_bytes":4402341486,"rejected":[{"free_bytes":6012954222,"model":"b",'
    '"needed_bytes":8589934592,"short_bytes":2576980370}],"usable_bytes":23192823406}'
)
EMPTY_PLAN = (
    '{"admitted":[],"committed_bytes":0,"declared":0,'
    '"explain":"0 of 0 admitted, 0.0 GiB committed of 0.0 GiB usable","fits":true,'
    '"headroom_bytes":0,"rejected":[],"usable_bytes":0}'
)


def test_example_card(example_roster):
    assert plan(25769803776, 10, example_roster) == EXAMPLE_PLAN


def test_empty_card():
    assert plan(0, 0, "[]") == EMPTY_PLAN


def test_keywords_bind_in_any_order():
    assert plan(declared_json="[]", reserve_pct=5, total_bytes=1) == plan(1, 5, "[]")


class MyInt(int):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "total, pct, usable",
    [
        (25769803776, 10, 23192823406),
        (25769803776, 0, 24696061952),
        (8589934592, 5, 7516192768),
        (536870912, 0, 0),
        (10000000057, 100, 57),
        (10000000057, 101, 57),
        (10000000057, 255, 57),
        (85899345920, 255, 20),
        (GIB, 50, 0),
        (True, True, 0),
        (Index(10000000057), Index(100), 57),
        (MyInt(10000000057), MyInt(100), 57),
        (U64_MAX, 0, U64_MAX - GIB),
    ],
)
def test_usable_bytes_of_the_budget(total, pct, usable):
    result = json.loads(plan(total, pct, "[]"))
    assert result["usable_bytes"] == usable
    assert result["headroom_bytes"] == usable


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2), {}, "plan() missing 1 required positional argument: 'declared_json'"),
        ((1,), {}, "plan() missing 2 required positional arguments: 'reserve_pct' and 'declared_json'"),
        ((), {}, "plan() missing 3 required positional arguments: 'total_bytes', 'reserve_pct', and 'declared_json'"),
        ((1, 2, "[]", 4), {}, "plan() takes 3 positional arguments but 4 were given"),
        ((1, 2, "[]"), {"extra": 1}, "plan() got an unexpected keyword argument 'extra'"),
        ((1, 2, "[]"), {"total_bytes": 1}, "plan() got multiple values for argument 'total_bytes'"),
        ((1,), {"reserve_pct": 2}, "plan() missing 1 required positional argument: 'declared_json'"),
        ((0, 0, b"[]"), {}, "argument 'declared_json': 'bytes' object cannot be converted to 'PyString'"),
        ((0, 0, None), {}, "argument 'declared_json': 'NoneType' object cannot be converted to 'PyString'"),
        ((0, 0, ["[]"]), {}, "argument 'declared_json': 'list' object cannot be converted to 'PyString'"),
    ],
)
def test_binding_and_text_refusals(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        plan(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1.0, 0, "[]"), TypeError, r"^argument 'total_bytes': 'float' object cannot be interpreted as an integer$"),
        (("1", 0, "[]"), TypeError, r"^argument 'total_bytes': "),
        ((None, 0, "[]"), TypeError, r"^argument 'total_bytes': "),
        ((0, 1.5, "[]"), TypeError, r"^argument 'reserve_pct': "),
        ((-1, 0, "[]"), OverflowError, r"^(?!argument)"),
        ((2**64, 0, "[]"), OverflowError, r"^(?!argument)"),
        ((0, 256, "[]"), OverflowError, r"^out of range integral type conversion attempted$"),
        ((0, -1, "[]"), OverflowError, r"^out of range integral type conversion attempted$"),
        # Beyond a C long, the interpreter's own message for the conversion.
        ((0, 2**63, "[]"), OverflowError, r"^Python int too large to convert to C long$"),
        ((0, -(2**63) - 1, "[]"), OverflowError, r"^Python int too large to convert to C long$"),
        ((0, Index(2**100), "[]"), OverflowError, r"^Python int too large to convert to C long$"),
        ((0, Index(300), "[]"), OverflowError, r"^out of range integral type conversion attempted$"),
        ((Index(1.5), 0, "[]"), TypeError, r"^argument 'total_bytes': __index__ returned non-int"),
        ((Index(2**64), 0, "[]"), OverflowError, r"^(?!argument)"),
        # The first bad argument is the one reported.
        ((1.0, 999, b"x"), TypeError, r"^argument 'total_bytes': "),
        ((0, 999, b"x"), OverflowError, r"^out of range"),
    ],
)
def test_integer_refusals(args, error, message):
    with pytest.raises(error) as caught:
        plan(*args)
    assert type(caught.value) is error
    assert re.search(message, str(caught.value))


class LoudName(type):
    @property
    def __name__(cls):
        raise KeyError("metaclass code ran")


class Odd(metaclass=LoudName):
    pass


def test_refusing_a_text_argument_runs_no_metaclass_code():
    with pytest.raises(TypeError) as caught:
        plan(0, 0, Odd())
    assert str(caught.value) == "argument 'declared_json': 'Odd' object cannot be converted to 'PyString'"


def test_lone_surrogate_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        plan(0, 0, "[\ud800]")


def test_str_subclass_is_text():
    assert plan(0, 0, MyStr("[]")) == EMPTY_PLAN


class RaisesFromIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class OwnTypeError(TypeError):
    pass


def test_type_error_from_index_is_prefixed_and_keeps_its_cause():
    cause = KeyError("inner")
    error = TypeError("no integer here")
    error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        plan(RaisesFromIndex(error), 0, "[]")
    assert str(caught.value) == "argument 'total_bytes': no integer here"
    assert caught.value.__cause__ is cause


@pytest.mark.parametrize("error", [OwnTypeError("sub"), ValueError("v"), ZeroDivisionError("z")])
def test_other_errors_from_index_pass_unchanged(error):
    with pytest.raises(type(error)) as caught:
        plan(RaisesFromIndex(error), 0, "[]")
    assert caught.value is error


POSITION = r" at line \d+ column \d+$"


@pytest.mark.parametrize(
    "text, ends",
    [
        ("", " at line 1 column 0"),
        ("   ", " at line 1 column 3"),
        ("[] x", " at line 1 column 4"),
        ("[]]", " at line 1 column 3"),
        ("[1,\n2,]", " at line 2 column 3"),
        ("[1e400]", " at line 1 column 6"),
        ("[1]\0", " at line 1 column 4"),
        ("\ufeff[]", " at line 1 column 1"),
        ("[" * 128 + "]" * 128, " at line 1 column 128"),
        ("[{}, " + "[" * 127 + "]" * 127 + "]", " at line 1 column 132"),
        ('["\u00e9', POSITION),
        ("[\u00e9]", POSITION),
        ('{"a" 1}', POSITION),
        ("\f[]", POSITION),  # JSON whitespace is blank, tab, line feed and carriage return only
        ("[]\v", POSITION),
        ("\u00a0[]", POSITION),
    ],
)
def test_bad_json(text, ends):
    with pytest.raises(ValueError) as caught:
        plan(0, 0, text)
    message = str(caught.value)
    assert message.startswith("bad json: ")
    assert re.search(ends if ends == POSITION else re.escape(ends) + "$", message), message
    assert "json.exception" not in message


def test_nesting_just_below_the_limit_reaches_the_roster_reader():
    with pytest.raises(ValueError, match="^could not read the roster: entry 0: missing \"model\"$"):
        plan(0, 0, "[" * 127 + "]" * 127)


def test_whitespace_around_the_value_is_json():
    assert plan(0, 0, " \t\r\n[] \n") == EMPTY_PLAN


@pytest.mark.parametrize(
    "roster, message",
    [
        ("{}", "expected an array of declared models"),
        ('"[]"', "expected an array of declared models"),
        ("[5]", 'entry 0: missing "model"'),
        ('[{"model": ""}]', 'entry 0: "model" is empty'),
        ('[{"model": "a"}]', 'entry 0: a: "weightsBytes" missing or not a whole byte count'),
        ('[{"model": "a", "weightsBytes": -0.5}]', 'entry 0: a: "weightsBytes" missing or not a whole byte count'),
        ('[{"model": "a", "weightsBytes": 1, "kvBytes": "1"}]', 'entry 0: a: "kvBytes" is not a whole byte count'),
        (
            '[{"model": "ok", "weightsBytes": 1}, {"weightsBytes": 1}, {"model": "big", "weightsBytes": 2.5}]',
            'entry 1: missing "model"; entry 2: big: "weightsBytes" missing or not a whole byte count',
        ),
    ],
)
def test_bad_roster(roster, message):
    with pytest.raises(ValueError) as caught:
        plan(0, 0, roster)
    assert str(caught.value) == "could not read the roster: " + message


def test_last_repeated_key_counts_and_byte_counts_read_by_value():
    roster = (
        '[{"model": "a", "weightsBytes": 1, "weightsBytes": -0},'
        ' {"model": "b", "weights_bytes": 1e3, "kv_bytes": null},'
        ' {"model": "c", "weightsBytes": 18446744073709551616}]'
    )
    result = json.loads(plan(2 * GIB, 0, roster))
    assert result["admitted"] == ["a", "b"]
    assert result["committed_bytes"] == 1000
    assert result["rejected"] == [
        {"free_bytes": GIB - 1000, "model": "c", "needed_bytes": U64_MAX, "short_bytes": U64_MAX - GIB + 1000}
    ]


ODD_NAMES = ['q"uote', "back\\slash", "line\nfeed", "tab\t", "\x01\x1f", "del\x7f", "caf\u00e9 \u2014 \U0001f600", "/"]


@pytest.mark.parametrize("name", ODD_NAMES)
def test_names_come_back_in_the_text_form(name):
    roster = json.dumps([{"model": name, "weightsBytes": 0}, {"model": name, "weightsBytes": 2**70}])
    text = plan(2 * GIB, 0, roster)
    assert text == canonical(text)
    result = json.loads(text)
    assert result["admitted"] == [name]
    assert result["rejected"][0]["model"] == name
    assert f"REJECTED {name} \u2014" in result["explain"]


def test_escapes_are_the_promised_ones():
    text = plan(0, 0, json.dumps([{"model": "\"\\\b\f\n\r\t\x00\x1f\x7f/\u00e9", "weightsBytes": 1}]))
    assert '"model":"\\"\\\\\\b\\f\\n\\r\\t\\u0000\\u001f\x7f/\u00e9"' in text


def test_function_metadata():
    assert plan.__module__ == "_garnel"
    assert plan.__name__ == "plan"
    assert plan.__text_signature__ == "(total_bytes, reserve_pct, declared_json)"
    assert plan.__doc__ == "Can this card hold this roster? Returns a JSON string."
    assert _garnel.plan is plan
