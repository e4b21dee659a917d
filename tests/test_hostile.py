"""Hostile input ends in a result or the documented exception, never a crash or a hang (the growth of parse
time with length is shown in bench/parse_scaling.py, not timed here)."""

import model
import pytest
from tq_pyo3 import Telquant
from tqtest import agrees, bits, fails, vec

INF = float("inf")

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
    ("\u3000" * MEGA + "m" + model.WHITE_SPACE * 1000, 1.0, vec(m=1)),
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
    (model.WHITE_SPACE * 10000 + "^2", 'Missing unit symbol before exponent in "^2"'),
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
        for text in (
            "[(" + blanks + "km" + blanks + ")]^(2)-(" + blanks + ")s/[" + blanks + "(hr)" + "]",
            "m-(" + "x" * (n + 1),
            "m-" + "(" * n + "m^-2" + "]" * n + "-x" * (n % 3),
        ):
            agrees(model.expect_new((1.0, text), None), lambda: Telquant(1.0, text))


def test_a_lone_surrogate_anywhere_in_a_long_text_raises_the_interpreters_encoding_error():
    for text in ("km" * MEGA + "\udbff", "\udc80" + "m" * MEGA):
        fails(lambda: Telquant(1.0, text), UnicodeEncodeError)
        fails(lambda: Telquant(1, "m").value_in(text), UnicodeEncodeError)
