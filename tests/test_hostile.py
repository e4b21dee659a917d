"""Hostile input: every call ends in a result or the documented exception, never a crash or a hang.

Megabyte unit expressions, a million tokens, NUL characters, lone surrogates, every Unicode white-space
character, deep brackets, exponents at and beyond the 32-bit limits, and values that are NaN, infinite,
subnormal or ints beyond the double range. How parse time grows with length is shown in
bench/parse_scaling.py, not timed here.
"""

from __future__ import annotations

import math
import operator
import struct
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

import tq_pyo3
from tq_pyo3 import Telquant, TQError

MEGA = 1_000_000
INT32_MAX, INT32_MIN = 2**31 - 1, -(2**31)
INF, NAN = math.inf, math.nan
SYMBOLS = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")
NAN_REST = "*".join(s + "^NaN" for s in SYMBOLS[1:])
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
# Taken for blanks by str.isspace() or by eye, but not Unicode White_Space: never trimmed.
NOT_WHITE_SPACE = "\x1c\x1d\x1e\x1f\u180e\u200b\u2060\ufeff"


def vec(**exps):
    return tuple(float(exps.get(s, 0)) for s in SYMBOLS)


def bits(x):
    return "NaN" if math.isnan(x) else struct.pack("<d", x)


def parse_error(text, message):
    return "Failed to parse unit '" + text + "': " + message


def check_message(error, expected):
    """The exception's one argument is expected; a mismatch is shown shortened, not megabytes of it."""
    if error.args != (expected,):
        pytest.fail("got %.200r...\nnot %.200r..." % (error.args, expected))


# (expression, value of Telquant(1.0, expression), exponents) or (expression, TQError message)
BIG_VALID = [
    ("m-" * MEGA, 1.0, vec(m=MEGA)),  # a million tokens, 2 MB
    ("m^2-" * (MEGA // 4) + "/" + "s^3-" * (MEGA // 4), 1.0, vec(m=MEGA // 2, s=-3 * (MEGA // 4))),
    ("km-" * MEGA, INF, vec(m=MEGA)),  # the factor overflows to infinity
    ("nm-" * MEGA, 0.0, vec(m=MEGA)),  # and underflows to zero
    ("km-nm-" * (MEGA // 2), 0.0, vec(m=MEGA)),  # 1000 * 1e-9, again and again, down to zero
    ("(" * MEGA + "m" + ")" * MEGA, 1.0, vec(m=1)),
    ("[(" * MEGA + "kg" + ")]" * MEGA + "/" + "-".join(["(((s)))"] * 3), 1.0, vec(kg=1, s=-3)),
    ("-" * MEGA, 1.0, vec()),
    ("/" + "-" * MEGA, 1.0, vec()),
    ("\u3000" * MEGA + "m" + WHITE_SPACE * 1000, 1.0, vec(m=1)),
    ("m^" + "0" * MEGA + "7", 1.0, vec(m=7)),
    ("m^2147483647-" * 1000, 1.0, vec(m=1000 * INT32_MAX)),
    ("s/m^-2147483648", 1.0, vec(m=2**31, s=1)),  # the denominator negates the power as a double
    ("m2147483647/m^2147483647", 1.0, vec()),
]

BIG_INVALID = [
    ("m" * MEGA, "Unknown unit: " + "m" * MEGA),
    ("m/" * MEGA, "Unit string can only have one '/'"),
    (" " * MEGA, "Empty unit token"),
    ("m-" * MEGA + "x", "Unknown unit: x"),
    ("m^" + "9" * MEGA, 'Unable to read numeric power from "m^' + "9" * MEGA + '"'),
    ("m^" + "-" * MEGA + "2", "Unknown unit: m^-"),  # only the first "-" follows a "^"
    ("^" * MEGA, "Missing exponent after '^' in \"" + "^" * MEGA + '"'),
    ("(" * MEGA + "2" + ")" * MEGA, 'Missing unit symbol before exponent in "2"'),
    (WHITE_SPACE * 10000 + "^2", 'Missing unit symbol before exponent in "^2"'),
]

AT_LIMITS = [
    ("m^2147483647", vec(m=INT32_MAX)),
    ("m2147483647", vec(m=INT32_MAX)),
    ("m^-2147483648", vec(m=INT32_MIN)),
    ("m^-0000000000002147483648", vec(m=INT32_MIN)),
    ("/m^-2147483648", vec(m=2**31)),
    ("m^2147483648", 'Unable to read numeric power from "m^2147483648"'),
    ("m^-2147483649", 'Unable to read numeric power from "m^-2147483649"'),
    ("s4294967296", 'Unable to read numeric power from "s4294967296"'),
    ("s^-18446744073709551616", 'Unable to read numeric power from "s^-18446744073709551616"'),
    ("-2147483648", 'Unable to read numeric power from "2147483648"'),  # the range comes before the symbol
    ("^-2147483648", 'Missing unit symbol before exponent in "^-2147483648"'),
    ("^-2147483649", 'Unable to read numeric power from "^-2147483649"'),
]


@pytest.mark.parametrize("text, value, exponents", BIG_VALID, ids=range(len(BIG_VALID)))
def test_huge_valid_expressions_build_their_record(text, value, exponents):
    q = Telquant(1.0, text)
    assert q.base_units() == exponents
    if value is not None:
        assert bits(q.value()) == bits(value)
    assert Telquant(2.0, "") * q == q * 2.0 or math.isnan(q.value())
    assert " " not in str(q).split(" ", 1)[1]


@pytest.mark.parametrize("text, message", BIG_INVALID, ids=range(len(BIG_INVALID)))
def test_huge_invalid_expressions_fail_with_their_message(text, message):
    with pytest.raises(TQError) as info:
        Telquant(1.0, text)
    check_message(info.value, parse_error(text, message))
    with pytest.raises(TQError) as info:
        Telquant(1.0, "m").value_in(text)
    check_message(info.value, parse_error(text, message))


def test_bracketed_tokens_of_every_length_up_to_a_few_hundred():
    # Token and text lengths cross every small buffer size a parser might keep on the stack.
    for n in range(300):
        blanks = " " * n
        q = Telquant(1.0, "[(" + blanks + "km" + blanks + ")]^(2)-(" + blanks + ")s/[" + blanks + "(hr)" + "]")
        assert q.base_units() == vec(m=2) and q.value() == 1e6 * 3600.0**-1
        with pytest.raises(TQError) as info:
            Telquant(1.0, "m-(" + "x" * n + "[x])")
        check_message(info.value, parse_error("m-(" + "x" * n + "[x])", "Unknown unit: " + "x" * (n + 1)))


@pytest.mark.parametrize("text, expected", AT_LIMITS)
def test_exponents_at_and_beyond_the_32_bit_limits(text, expected):
    if isinstance(expected, tuple):
        q = Telquant(3.0, text)
        assert q.base_units() == expected and q.value() == 3.0
        assert str(q) in ("3 m^2147483647", "3 1/m^2147483647")  # saturated, whatever the size
    else:
        with pytest.raises(TQError) as info:
            Telquant(3.0, text)
        assert info.value.args == (parse_error(text, expected),)


@pytest.mark.parametrize(
    "text, message",
    [("\x00", "Unknown unit: \x00"), ("m\x00", "Unknown unit: m\x00"), ("\x00m/s", "Unknown unit: \x00m"),
     ("m/\x00" * 2, "Unit string can only have one '/'"), ("m^\x002", "Unknown unit: m^\x00"),
     ("\x00" * MEGA, "Unknown unit: " + "\x00" * MEGA)],
    ids=range(6),
)
def test_nul_characters_are_ordinary_characters_of_the_text(text, message):
    with pytest.raises(TQError) as info:
        Telquant(1.0, text)
    check_message(info.value, parse_error(text, message))


@pytest.mark.parametrize("text", ["\ud800", "m\udfff", "\udc80m/s", "m/s\ud83d\ude00", "km" * MEGA + "\udbff"], ids=range(5))
def test_lone_surrogates_raise_the_interpreters_encoding_error(text):
    q = Telquant(1.0, "m")
    for call in (lambda: Telquant(1.0, text), lambda: q.value_in(text), lambda: Telquant(value=1, unit=text)):
        with pytest.raises(UnicodeEncodeError):
            call()


@pytest.mark.parametrize("ws", WHITE_SPACE)
def test_every_white_space_character_is_trimmed_and_nothing_else(ws):
    assert Telquant(1.0, ws * 3 + "km" + ws + "^2" + ws).base_units() == vec(m=2)
    assert Telquant(1.0, ws + "s" + ws + "/" + ws + "m" + ws).base_units() == vec(s=1, m=-1)
    with pytest.raises(TQError, match="Empty unit token"):
        Telquant(1.0, "m-" + ws * 100)
    for other in NOT_WHITE_SPACE:
        with pytest.raises(TQError) as info:
            Telquant(1.0, ws + other + "m" + ws)
        assert info.value.args[0].endswith("Unknown unit: " + other + "m")


VALUES = [NAN, -NAN, INF, -INF, 5e-324, -5e-324, 2.2250738585072014e-308, -0.0, 0.0, 1.7976931348623157e308,
          2**1023, -(2**1023), True, Fraction(1, 3), Decimal("1e400"), Decimal("-nan")]


@pytest.mark.parametrize("value", VALUES, ids=map(repr, VALUES))
def test_extreme_values_pass_through_every_operation(value):
    x = float(value)
    unitless, metres, angle = Telquant(value, ""), Telquant(value, "m"), Telquant(value, "rad")
    assert bits(metres.value()) == bits(x) and bits(tq_pyo3.atan(value).value()) == bits(math.atan(x))
    for q in (unitless, metres, angle):
        for name in ("sqrt", "ln", "log2", "log10", "sin", "cos", "tan", "asin", "acos", "atan"):
            try:
                result = getattr(q, name)()
            except TQError:
                continue
            assert type(result) is Telquant
        for other in (q, unitless, metres, angle, Telquant(1.0, "s")):
            for op in (operator.add, operator.sub, operator.lt, operator.le, operator.gt, operator.ge):
                try:
                    op(q, other)
                except TQError:
                    pass
            same_units = q.base_units()[:7] == other.base_units()[:7] and (
                q is angle or q.base_units() == other.base_units())
            assert (q == other) == (same_units and q.value() == other.value())
            assert type(q * other) is type(q / other) is Telquant
        for exponent in (value, 0, -1, INT32_MAX, INT32_MIN, 2**63, -(2**63), 0.5, INF, NAN):
            powered = q**exponent
            assert type(powered) is Telquant and " " not in str(powered).split(" ", 1)[1]
        value_text, unit_text = str(q).split(" ", 1)
        assert repr(q) == "Telquant(" + value_text + ", '" + unit_text + "')"
        assert type(-q) is type(abs(q)) is type(q * value) is type(value / q) is Telquant


def test_the_smallest_subnormal_is_written_out_in_full():
    assert str(Telquant(5e-324, "")) == "0." + "0" * 323 + "5 (unitless)"
    assert repr(Telquant(-5e-324, "m")) == "Telquant(-0." + "0" * 323 + "5, 'm')"


@pytest.mark.parametrize("big", [2**1024, -(2**1024), 10**400, 10**4300], ids=["2**1024", "-2**1024", "1e400", "1e4300"])
def test_ints_beyond_the_double_range(big):
    q = Telquant(2.0, "m")
    for call in (lambda: Telquant(big, "m"), lambda: tq_pyo3.asin(big), lambda: tq_pyo3.acos(x=big)):
        with pytest.raises(OverflowError):
            call()
    for call, message in [
        (lambda: q * big, "Cannot multiply TQ with this type"), (lambda: big * q, "Cannot multiply this type with TQ"),
        (lambda: q / big, "Cannot divide TQ by this type"), (lambda: big / q, "Cannot divide this type by TQ"),
        (lambda: q**big, "Exponent must be int or float"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message and info.value.__cause__ is None


@pytest.mark.parametrize(
    "exponent, m, text",
    [(INT32_MAX, INT32_MAX, "1 m^2147483647"), (INT32_MIN, INT32_MIN, "1 1/m^2147483647"),
     (2**31, 2**31, "1 m^2147483647"), (2**63, 2**63, "1 m^2147483647"), (-(2**200), -(2**200), "1 1/m^2147483647"),
     (10**308, 1e308, "1 m^2147483647"), (5e-324, 5e-324, "1 m^0." + "0" * 323 + "5"),
     # 0 * inf and 0 * NaN: the seven other exponents become NaN and land in the denominator
     (INF, INF, "1 m^2147483647/" + NAN_REST), (-INF, -INF, "1 1/m^2147483647*" + NAN_REST),
     (NAN, NAN, "1 1/m^NaN*" + NAN_REST)],
)
def test_powers_at_and_beyond_the_32_bit_limits(exponent, m, text):
    q = Telquant(1.0, "m") ** exponent
    assert bits(q.base_units()[0]) == bits(float(m)) and str(q) == text


# Any text at all, surrogates included: a record, the interpreter's encoding error, or TQError with the
# wrapped text and one of the parser's fixed messages.
FIXED = ("Unit string can only have one '/'", "Empty unit token", "Missing exponent after '^' in \"",
         "Unable to read numeric power from \"", "Missing unit symbol before exponent in \"", "Unknown unit: ")


@given(st.text(st.characters(blacklist_categories=()), max_size=40)
       | st.lists(st.sampled_from(list("m^-/()[]0123456789 \x00\ud800\u3000") + ["kg", "s", "Ohm"]),
                  max_size=30).map("".join))
def test_any_text_ends_in_a_record_an_encoding_error_or_a_fixed_message(text):
    try:
        q = Telquant(1.5, text)
    except UnicodeEncodeError:
        assert any("\ud800" <= c <= "\udfff" for c in text)
    except TQError as error:
        (message,) = error.args
        prefix = "Failed to parse unit '" + text + "': "
        assert message.startswith(prefix)
        assert message[len(prefix):].startswith(FIXED)
    else:
        assert all(e == int(e) for e in q.base_units())
        assert q.value() >= 0 or math.isnan(q.value())
