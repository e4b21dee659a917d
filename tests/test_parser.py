"""Unit expressions: the grammar's documented examples with their literal results, and the texts a random stream is
unlikely to draw, each held against the model (tests/model.py) in the constructor and in value_in."""

import model
import pytest
from hypothesis import given
from hypothesis import strategies as st
from programs import StrSub
from tq_pyo3 import Telquant
from tqtest import agrees

KMH = 0.2777777777777778  # 1000 x 3600**-1

# fmt: off
# the documented examples: text, factor, non-zero exponents; or text and the parser's message
EXAMPLES = [
    ("km/hr", KMH, {"m": 1, "s": -1}), ("kg-m/s^2", 1.0, {"m": 1, "kg": 1, "s": -2}), ("(m/s)", 1.0, {"m": 1, "s": -1}),
    ("/s", 1.0, {"s": -1}), ("m^2-m^-2", 1.0, {}), ("", 1.0, {}), ("m2", 1.0, {"m": 2}), ("m 2", 1.0, {"m": 2}),
    ("m^(-2)", 1.0, {"m": -2}), ("m^-2147483648", 1.0, {"m": -2147483648}), ("m^007", 1.0, {"m": 7}),
]
FAILURES = [
    ("m/s/s", "Unit string can only have one '/'"), (" ", "Empty unit token"), ("1", 'Missing unit symbol before '
    'exponent in "1"'), ("m-2", 'Missing unit symbol before exponent in "2"'), ("m^0.5", "Unknown unit: m^0."),
    ("m^", "Missing exponent after '^' in \"m^\""),
    ("m^2147483648", 'Unable to read numeric power from "m^2147483648"'),
    ("(unitless)", "Unknown unit: unitless"), ("km/h", "Unknown unit: h"), ("\u00b5m", "Unknown unit: \u00b5m"),
]
# texts the random stream is unlikely to draw: every rule's edge, each side of it
TEXTS = [
    "/", "()", "-", "[]", "--/-", "m/", "-m-", "m--s", "m ^2", "m^[2]", "(m)^2", "m^00000000000000000001",
    "m^-0000000000002147483648", "km^0", "/km^-2", "/km2", "mmol/l", "m-s/kg-A", "m^2147483647", "m2147483647",
    "s/m^-2147483648", "m^2147483647-m^2147483647", "m2147483647/m^2147483647", "\tkm /\u00a0hr\n", "\u3000m\u2003^2",
    "//", " (m/s/s) ", "^/ /", "m\x00/s/s", "\u3000", "( )", "m/ ", "m- -s", " [m^] ", "m^2^", "^", "s/km^",
    "m2147483648", "m^-2147483649", "/ m^99999999999 ", "s^-18446744073709551616", "-2147483648", "^-2147483649",
    " 2 ", "^2", "^-2147483648", "1/s", "m-^2", "^2-x", "x-^2", "m/y-x", "m^+2", "m^-", "m^^2", "m^ 2", "m ^ 2",
    "kg*m", "kg m", "kg\u00b7m", "m.s", "[km]/h", "1m", "m^\u22122", "m\uff12", "m\u00b2", "m\x00", "m^\x002",
    "m\U0001d426", "\U0001f600" * 32, "\U0010ffff" * 33, "m/" + "\U00010000" * 30, "KM", "Km", "kms", "TJ", "Tj",
    "mW", "Ms", "kn", "kN", "mA", "MA", "h", "L", "meter", "ohm", "Hz", "coulomb", "Coulomb", "C", "F", "lbs", "Btu",
    "\u200bkm", "\ufeffkm", "km^200-nm^200", "nm^200", "/km^200", "m\ud800", "\udfff", "x" * 70 + "(",
]
# fmt: on
NOT_WHITE_SPACE = "\x00\x1c\x1d\x1e\x1f\u180e\u200b\u2060\ufeff"  # blanks to str.isspace() or to the eye only


@pytest.mark.parametrize("text, factor, exponents", EXAMPLES)
def test_documented_examples_give_their_factor_and_exponents(text, factor, exponents):
    q = Telquant(1.0, text)
    assert (q.value(), q.base_units()) == (factor, tuple(float(exponents.get(s, 0)) for s in model.ORDER))


@pytest.mark.parametrize("text, message", FAILURES)
def test_documented_failures_wrap_the_callers_text_and_the_parsers_message(text, message):
    expected = "Failed to parse unit '%s': %s" % (text, message)
    agrees(model.Raise(model.TQError, expected, (expected,)), lambda: Telquant(1.0, text))


METRES_PER_SECOND = Telquant(3.0, "m/s")


def each_way(text, q=METRES_PER_SECOND):
    agrees(model.expect_new((1.5, text), None), lambda: Telquant(1.5, text))
    agrees(model.expect_value_in(q, (text,), None), lambda: q.value_in(text))


@pytest.mark.parametrize("text", TEXTS + [t for t, *_ in EXAMPLES + FAILURES], ids=ascii)
def test_every_text_builds_and_converts_as_the_model_says(text):
    each_way(text)


@pytest.mark.parametrize("symbol", model.UNITS)
def test_every_symbol_alone_inverted_and_powered_as_the_model_says(symbol):
    for text in (symbol, "/" + symbol, "[%s]^-1" % symbol, "%s^3-%s2/%s" % (symbol, symbol, symbol)):
        each_way(text, Telquant(1.0, symbol))


@pytest.mark.parametrize("blank", model.WHITE_SPACE + NOT_WHITE_SPACE, ids=ascii)
def test_exactly_the_unicode_white_space_is_trimmed(blank):
    for text in ("%s%skm%s/%ss%s^2%s" % ((blank,) * 6), "m/%ss^%s" % (blank, blank), "m-" + blank * 100):
        each_way(text)


PIECES = st.sampled_from(sorted(model.UNITS) + list("^-/()[] 0123456789\t\u3000\x00\ud800")) | st.characters()


@given(st.lists(PIECES, max_size=12).map("".join) | st.text(max_size=40))
def test_any_text_builds_and_converts_as_the_model_says(text):
    each_way(text)


# ---- texts seen before: a thread keeps what its recent texts parse to -------------------------------------------

LONGEST = "m-" * 11 + "m"  # 23 characters: the longest text kept
# fmt: off
CLOSE = [  # texts a character apart, the same for 23 characters and different after, with zero characters, failures
    "m", "mm", "Mm", "km", "kN", "kn", "mA", "MA", "m ", " m", "\u00a0m", "m\x00", "m\x00s", "\x00", "", "s", "ms",
    "m/s", "m-s", "(m)", "[m]", "m^2", "m2", "m^-2", "kg-m/s^2", "kg-m/s^3", "kg-m/s^2-K", "kg-m/s^2 ", "m/s/s", "x",
    LONGEST, LONGEST[:-1], LONGEST[:-1] + "s", LONGEST + "m", LONGEST + "-s", LONGEST + "\x00", LONGEST + "-x",
    "m-" * 15 + "m", "m-" * 16, "m\u00e9", "\u00b5m", "m\U0001f600", "\ud800m",
]
# fmt: on


def test_texts_seen_before_as_the_same_str_a_new_one_or_a_subclass_answer_alike():
    texts = CLOSE + ["km^%d" % i for i in range(60)]  # more texts than a thread keeps
    for order in (texts, texts[::-1], texts[::7] + texts[::3], texts * 2):
        for text in order:
            for same in (text, "".join(list(text)), StrSub(text)):  # a str subclass is parsed on every call
                each_way(same)


def test_a_str_that_takes_the_place_of_one_freed_is_read_for_its_own_text():
    texts = ["mm", "km", "cm", "Mm", "kg", "mA"]  # one length: one size of block, which a new str takes over
    for i in range(600):
        text = "".join(list(texts[i % len(texts)]))
        each_way(text)
        del text
