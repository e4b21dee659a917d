"""Hostile input ends in a result or the documented exception, never a crash or a hang (the growth of parse
time with length is shown in bench/parse_scaling.py, not timed here)."""

import math
import operator
from decimal import Decimal
from fractions import Fraction

import pytest

import tq_pyo3
from tq_pyo3 import Telquant, TQError
from tqtest import INF, METHODS, NAN, WHITE_SPACE, bits, fails, made, outcome, vec

MEGA, PARSE = 1_000_000, "Failed to parse unit '%s': %s"


BIG_VALID = [
    ("m-" * MEGA, 1.0, vec(m=MEGA)),  # a million tokens, 2 MB
    ("m^2-" * (MEGA // 4) + "/" + "s^3-" * (MEGA // 4), 1.0, vec(m=MEGA // 2, s=-3 * (MEGA // 4))),
    ("km-" * MEGA, INF, vec(m=MEGA)),
    ("nm-" * MEGA, 0.0, vec(m=MEGA)),  # the factor overflows, or underflows
    ("km-nm-" * (MEGA // 2), 0.0, vec(m=MEGA)),
    ("(" * MEGA + "m" + ")" * MEGA, 1.0, vec(m=1)),
    ("[(" * MEGA + "kg" + ")]" * MEGA + "/" + "-".join(["(((s)))"] * 3), 1.0, vec(kg=1, s=-3)),
    ("/" + "-" * MEGA, 1.0, vec()),
    ("\u3000" * MEGA + "m" + WHITE_SPACE * 1000, 1.0, vec(m=1)),
    ("m^" + "0" * MEGA + "7", 1.0, vec(m=7)),
    ("m^2147483647-" * 1000, 1.0, vec(m=1000 * (2**31 - 1))),
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
    ("\x00" * MEGA, "Unknown unit: " + "\x00" * MEGA),
]


@pytest.mark.parametrize("text, value, exponents", BIG_VALID, ids=range(len(BIG_VALID)))
def test_huge_valid_expressions_build_their_record(text, value, exponents):
    q = Telquant(1.0, text)
    assert (bits(q.value()), q.base_units()) == (bits(value), exponents)
    assert " " not in str(q).split(" ", 1)[1]


@pytest.mark.parametrize("text, message", BIG_INVALID, ids=range(len(BIG_INVALID)))
def test_huge_invalid_expressions_fail_with_their_message(text, message):
    assert fails(lambda: Telquant(1.0, text)).args == (PARSE % (text, message),)
    assert fails(lambda: Telquant(1.0, "m").value_in(text)).args == (PARSE % (text, message),)


def test_bracketed_tokens_of_every_length_up_to_a_few_hundred():
    for n in range(300):  # token and text lengths cross every small buffer a parser might keep on the stack
        blanks = " " * n
        q = Telquant(1.0, "[(" + blanks + "km" + blanks + ")]^(2)-(" + blanks + ")s/[" + blanks + "(hr)" + "]")
        assert q.base_units() == vec(m=2) and q.value() == 1e6 * 3600.0**-1
        text = "m-(" + "x" * (n + 1)  # one bracket: the copy without it is one byte shorter than the token
        assert fails(lambda: Telquant(1.0, text)).args == (PARSE % (text, "Unknown unit: " + "x" * (n + 1)),)


def test_lone_surrogates_raise_the_interpreters_encoding_error():
    for text in ("\ud800", "m\udfff", "\udc80m/s", "m/s\ud83d\ude00", "km" * MEGA + "\udbff"):
        fails(lambda: Telquant(1.0, text), UnicodeEncodeError)
        fails(lambda: Telquant(value=1, unit=text), UnicodeEncodeError)
        fails(lambda: Telquant(1, "m").value_in(text), UnicodeEncodeError)


VALUES = [
    NAN,
    -NAN,
    INF,
    -INF,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    -0.0,
    0.0,
    1.7976931348623157e308,
    2**1023,
    -(2**1023),
    True,
    Fraction(1, 3),
    Decimal("1e400"),
    Decimal("-nan"),
]


@pytest.mark.parametrize("value", VALUES, ids=map(repr, VALUES))
def test_extreme_values_pass_through_every_operation(value):
    x = float(value)
    unitless, metres, angle = Telquant(value, ""), Telquant(value, "m"), Telquant(value, "rad")
    assert bits(metres.value()) == bits(x) and bits(tq_pyo3.atan(value).value()) == bits(made(math.atan(x), x))
    for q in (unitless, metres, angle):
        assert {outcome(getattr(q, name)) for name in METHODS} <= {Telquant, TQError}
        for other in (q, unitless, metres, angle, Telquant(1.0, "s")):
            operators = (operator.add, operator.sub, operator.lt, operator.le, operator.gt, operator.ge)
            assert {outcome(lambda: op(q, other)) for op in operators} <= {Telquant, bool, TQError}
            units, others = q.base_units(), other.base_units()
            accepted = units[:7] == others[:7] and (q is angle or units == others)
            assert (q == other) == (accepted and q.value() == other.value())
            assert type(q * other) is type(q / other) is Telquant
        for exponent in (value, 0, -1, 2**31 - 1, -(2**31), 2**63, -(2**63), 0.5, INF, NAN):
            powered = q**exponent
            assert type(powered) is Telquant and " " not in str(powered).split(" ", 1)[1]
        value_text, unit_text = str(q).split(" ", 1)
        assert repr(q) == "Telquant(" + value_text + ", '" + unit_text + "')"
        assert type(-q) is type(abs(q)) is type(q * value) is type(value / q) is Telquant
