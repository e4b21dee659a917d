"""Unit expressions: the grammar and its messages, every symbol, conversion and the compatibility rule."""

import re
import sys
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

from tq_pyo3 import Telquant, TQError
from tqtest import WHITE_SPACE, fails, rec, vec, want

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "dev"))
import facts  # noqa: E402  (the registry's rows, read from its source)

SLASH, EMPTY = "Unit string can only have one '/'", "Empty unit token"
CARET = "Missing exponent after '^' in \"%s\""
POWER = "Unable to read numeric power from \"%s\""
SYMBOL = "Missing unit symbol before exponent in \"%s\""
UNKNOWN = "Unknown unit: %s"
KMH = 1000.0 * 3600.0**-1.0
I32 = 2147483647


def parse_message(text):
    (message,) = fails(lambda: Telquant(1.0, text)).args
    return message


@pytest.mark.parametrize(
    "text, factor, exponents",
    [
        ("", 1.0, vec()),
        ("/", 1.0, vec()),
        ("()", 1.0, vec()),
        ("-", 1.0, vec()),
        ("[]", 1.0, vec()),
        ("--/-", 1.0, vec()),
        ("m^2-m^-2", 1.0, vec()),
        ("km/hr", KMH, vec(m=1, s=-1)),
        ("kg-m/s^2", 1.0, vec(m=1, kg=1, s=-2)),
        ("(m/s)", 1.0, vec(m=1, s=-1)),
        ("/s", 1.0, vec(s=-1)),
        ("m/", 1.0, vec(m=1)),
        ("-m-", 1.0, vec(m=1)),
        ("m--s", 1.0, vec(m=1, s=1)),
        ("m2", 1.0, vec(m=2)),
        ("m ^2", 1.0, vec(m=2)),
        ("m 2", 1.0, vec(m=2)),
        ("m^[2]", 1.0, vec(m=2)),
        ("(m)^2", 1.0, vec(m=2)),
        ("m^-2", 1.0, vec(m=-2)),
        ("m^(-2)", 1.0, vec(m=-2)),
        ("m^007", 1.0, vec(m=7)),
        ("m^00000000000000000001", 1.0, vec(m=1)),
        ("m^-0000000000002147483648", 1.0, vec(m=-I32 - 1)),
        ("km^0", 1.0, vec()),
        ("km^2", 1000.0**2.0, vec(m=2)),
        ("km^-1", 1000.0**-1.0, vec(m=-1)),
        ("/km^-2", 1000.0**2.0, vec(m=2)),
        ("/km2", 1000.0**-2.0, vec(m=-2)),
        ("mmol/l", 0.001 * 0.001**-1.0, vec(m=-3, mol=1)),
        ("m-s/kg-A", 1.0, vec(m=1, s=1, kg=-1, A=-1)),
        ("m^2147483647", 1.0, vec(m=I32)),
        ("m2147483647", 1.0, vec(m=I32)),
        ("s/m^-2147483648", 1.0, vec(m=I32 + 1, s=1)),
        ("m^2147483647-m^2147483647", 1.0, vec(m=2 * I32)),
        ("m2147483647/m^2147483647", 1.0, vec()),
        ("\tkm /\u00a0hr\n", KMH, vec(m=1, s=-1)),
        ("\u3000m\u2003^2", 1.0, vec(m=2)),
    ],
)
def test_valid_expressions_give_their_factor_and_exponents(text, factor, exponents):
    q = Telquant(1.0, text)
    assert (q.value(), q.base_units()) == (factor, exponents)


@pytest.mark.parametrize(
    "text, message",
    [
        ("m/s/s", SLASH),
        ("//", SLASH),
        (" (m/s/s) ", SLASH),
        ("^/ /", SLASH),
        ("m\x00/s/s", SLASH),  # before any token
        (" ", EMPTY),
        ("\u3000", EMPTY),
        ("( )", EMPTY),
        ("m/ ", EMPTY),
        ("m- -s", EMPTY),
        ("m^", CARET % "m^"),
        (" [m^] ", CARET % "m^"),
        ("m^2^", CARET % "m^2^"),
        ("^", CARET % "^"),
        ("s/km^", CARET % "km^"),
        ("m^2147483648", POWER % "m^2147483648"),
        ("m2147483648", POWER % "m2147483648"),
        ("m^-2147483649", POWER % "m^-2147483649"),
        ("/ m^99999999999 ", POWER % "m^99999999999"),
        ("s^-18446744073709551616", POWER % "s^-18446744073709551616"),
        ("-2147483648", POWER % "2147483648"),
        ("^-2147483649", POWER % "^-2147483649"),  # the range before the symbol
        ("1", SYMBOL % "1"),
        (" 2 ", SYMBOL % "2"),
        ("^2", SYMBOL % "^2"),
        ("^-2147483648", SYMBOL % "^-2147483648"),
        ("m-2", SYMBOL % "2"),
        ("1/s", SYMBOL % "1"),
        ("m-^2", SYMBOL % "^2"),
        ("^2-x", SYMBOL % "^2"),
        ("x-^2", UNKNOWN % "x"),
        ("m/y-x", UNKNOWN % "y"),
        ("m^0.5", UNKNOWN % "m^0."),
        ("m^+2", UNKNOWN % "m^+"),
        ("m^-", UNKNOWN % "m^-"),
        ("m^^2", UNKNOWN % "m^"),
        ("m^ 2", UNKNOWN % "m^"),
        ("m ^ 2", UNKNOWN % "m ^"),
        ("kg*m", UNKNOWN % "kg*m"),
        ("kg m", UNKNOWN % "kg m"),
        ("kg\u00b7m", UNKNOWN % "kg\u00b7m"),
        ("m.s", UNKNOWN % "m.s"),
        ("[km]/h", UNKNOWN % "h"),
        ("1m", UNKNOWN % "1m"),
        ("m^\u22122", UNKNOWN % "m^\u2212"),
        ("m\uff12", UNKNOWN % "m\uff12"),
        ("m\u00b2", UNKNOWN % "m\u00b2"),
        ("(unitless)", UNKNOWN % "unitless"),
        ("m\x00", UNKNOWN % "m\x00"),
        ("m^\x002", UNKNOWN % "m^\x00"),
        ("m\U0001d426", UNKNOWN % "m\U0001d426"),
        ("\U0001f600" * 32, UNKNOWN % ("\U0001f600" * 32)),
        ("\U0010ffff" * 33, UNKNOWN % ("\U0010ffff" * 33)),
        ("m/" + "\U00010000" * 30, UNKNOWN % ("\U00010000" * 30)),
    ],  # four-byte characters at the length limits
)
def test_parse_failures_wrap_the_callers_text_and_the_parsers_message(text, message):
    assert parse_message(text) == "Failed to parse unit '%s': %s" % (text, message)


NOT_WHITE_SPACE = "\x00\x1c\x1d\x1e\x1f\u180e\u200b\u2060\ufeff"  # blanks to str.isspace() or to the eye only


@pytest.mark.parametrize("ws", WHITE_SPACE)
def test_every_unicode_white_space_character_is_trimmed_and_nothing_else(ws):
    q = Telquant(2.0, "%s%skm%s/%ss%s^2%s" % ((ws,) * 6))
    assert (q.value(), q.base_units()) == (2000.0, vec(m=1, s=-2))
    assert parse_message("m/%ss^%s" % (ws, ws)) == "Failed to parse unit 'm/%ss^%s': %s" % (ws, ws, CARET % "s^")
    assert parse_message("m-" + ws * 100).endswith(EMPTY)
    for other in NOT_WHITE_SPACE:
        assert parse_message(ws + other + "m" + ws).endswith(": " + UNKNOWN % (other + "m"))


# Every symbol of the registry's table; what each one means is held against pint in test_units_reference.py.
SYMBOLS = facts.unit_symbols()


def unit(symbol):
    q = Telquant(1, symbol)
    return q.value(), q.base_units()


@pytest.mark.parametrize("symbol", SYMBOLS)
def test_every_symbol_is_inverted_alike_after_the_slash_and_by_a_power_in_brackets(symbol):
    factor, exponents = unit(symbol)
    for text, power in (("/" + symbol, -1.0), ("[%s]^-1" % symbol, -1.0)):
        q = Telquant(1, text)
        assert (q.value(), q.base_units()) == (factor**power, tuple(e * power for e in exponents))
    assert Telquant(2.5, symbol).value_in(symbol) == 2.5 * factor / factor


@pytest.mark.parametrize(
    "symbol",
    [
        "KM",
        "Km",
        "kms",
        "TJ",
        "tj",
        "mW",
        "Ms",
        "h",
        "L",
        "meter",
        "ohm",
        "Hz",
        "coulomb",
        "c",
        "M",
        "k",
        "mil",
        "sec",
        "lbs",
        "Btu",
        "KG",
        "um2x",
        "rads",
        "\u00b5m",
        "\uff4d",
        "\u200bkm",
        "\ufeffkm",
    ],
)
def test_symbols_outside_the_registry_are_unknown_case_and_all(symbol):
    assert parse_message(symbol) == "Failed to parse unit '%s': Unknown unit: %s" % (symbol, symbol)


@pytest.mark.parametrize(
    "unit, target, expected",
    [
        ("km", "m", 1000.0),
        ("km", "(m)", 1000.0),
        ("m", "km", 0.001),
        ("km/hr", "m/s", KMH),
        ("deg", "rad", 0.017453292519943295),
        ("rad", "", 1.0),
        ("rad", "deg", 57.29577951308232),
        ("rad", "rad^2", 1.0),
        ("rad", "/rad^7", 1.0),
        ("m-rad", "m", 1.0),
        ("m/m", "", 1.0),
        ("", "m/m", 1.0),
        ("rad^2", "rad^2", 1.0),
        ("km", "mi", 1000 / 1609.344),
        ("F", "K", 0.5555555555555556),
        ("F", "C", 0.5555555555555556),
        ("gal", "l", 3.785411784),
        ("rev", "deg", 360.0),
        ("yr", "mo", 11.991786447638603),
        ("MA", "mA", 1e9),
        ("Tj", "kWh", 1e12 / 3600000),
        ("Coulomb", "mA-s", 1 / 0.001),
    ],
)
def test_value_in_divides_by_the_factor_of_a_target_the_units_accept(unit, target, expected):
    assert Telquant(1.0, unit).value_in(target) == expected


@pytest.mark.parametrize(
    "unit, target",
    [
        ("", "rad"),
        ("m", "s"),
        ("m", "(s)"),
        ("m", " s "),
        ("rad^2", ""),
        ("rad^2", "rad"),
        ("/rad", ""),
        ("m", "m-rad"),
        ("rad", "m"),
        ("m-rad", "s"),
        ("C", "Coulomb"),
        ("kn", "kN"),
        ("mA", "kg"),
        ("ha", "l"),
        ("Ohm", "V"),
        ("lux", "cd"),
        ("eV", "W"),
    ],
)
def test_value_in_refuses_targets_the_units_do_not_accept_echoing_them(unit, target):
    assert fails(lambda: Telquant(1.0, unit).value_in(target)).args == ("Incompatible unit conversion to: " + target,)


@pytest.mark.parametrize(
    "unit, expected",
    [
        ("", True),
        ("m/m", True),
        ("rad/rad", True),
        ("m^2-m^-2", True),
        ("rad", False),
        ("m", False),
        ("/s", False),
        ("deg", False),
    ],
)
def test_is_unitless_requires_all_eight_exponents_zero(unit, expected):
    assert Telquant(3.0, unit).is_unitless() is expected


SAMPLE = {s: unit(s) for s in "m km hr g mA mmol J deg lux F kOhm".split()}


@st.composite
def expression(draw):
    """A composed expression with the factor and exponents it must give."""
    pad, parts, factor, exponents = st.sampled_from(["", " ", "\t", "\u00a0"]), [], 1.0, [0.0] * 8
    joiner = draw(st.sampled_from(["-", "--"]))
    for sign in (1, -1):
        tokens = []
        for s, p in draw(st.lists(st.tuples(st.sampled_from(sorted(SAMPLE)), st.integers(-4, 4)), max_size=4)):
            forms = [f"{s}^{p}", f"{s} ^{p}", f"{s}^({p})"] + [f"{s}{p}", f"{s} {p}"] * (p >= 0) + [s] * (p == 1)
            tokens.append(draw(pad) + draw(st.sampled_from(forms)) + draw(pad))
            factor *= SAMPLE[s][0] ** float(sign * p)
            exponents = [e + r * sign * p for e, r in zip(exponents, SAMPLE[s][1])]
        parts.append(joiner.join(tokens))
    text = parts[0] + ("/" + parts[1] if parts[1] or draw(st.booleans()) else "")
    for _ in range(draw(st.integers(0, 3))):  # brackets may go anywhere
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from("()[]")) + text[at:]
    return text, factor, tuple(exponents)


@given(expression(), st.floats(-1e6, 1e6))
def test_composed_expressions_accumulate_factors_and_exponents_in_text_order(case, x):
    text, factor, exponents = case
    q = Telquant(x, text)
    assert (q.value(), q.base_units()) == (x * factor, exponents)
    assert Telquant(1.0, text).value_in(text) == 1.0


FIXED = re.compile(
    "|".join(
        re.escape(m).replace("%s", "(?P<%s>.+)" % g) + r"\Z"
        for g, m in (("", SLASH), ("", EMPTY), ("c", CARET), ("p", POWER), ("s", SYMBOL), ("u", UNKNOWN))
    ),
    re.S,
)
unit_like = st.lists(
    st.sampled_from(sorted(SAMPLE) + list("^-/()[] 0123456789\t\u3000\x00\ud800")) | st.characters(), max_size=12
).map("".join)


@given(unit_like | st.text(st.characters(exclude_categories=()), max_size=40))
def test_any_text_gives_a_record_an_encoding_error_or_one_of_the_fixed_messages(text):
    unbracketed = re.sub(r"[()\[\]]", "", text)
    try:
        q = Telquant(1.5, text)
    except UnicodeEncodeError:
        assert any("\ud800" <= c <= "\udfff" for c in text)
    except TQError as error:
        prefix = "Failed to parse unit '%s': " % text
        assert error.args[0].startswith(prefix)
        match = FIXED.match(error.args[0], len(prefix))
        assert match, error.args
        assert (match.group(0) == SLASH) == (unbracketed.count("/") > 1)
        piece = next((p for p in match.groupdict().values() if p is not None), None)
        if piece is not None:  # a trimmed token or symbol of the text, without brackets or "/"
            assert piece == piece.strip(WHITE_SPACE) and piece in unbracketed and not set(piece) & set("/()[]")
        assert match.group("c") is None or piece.endswith("^")
        assert match.group("p") is None or piece[-1] in "0123456789"
    else:
        assert unbracketed.count("/") <= 1 and all(e == int(e) for e in q.base_units())


# ---- texts seen before: a thread keeps what its recent texts parse to --------------------------------------------

Text = type("Text", (str,), {})  # a str subclass is parsed anew on every call, as a text seen for the first time
METRE = Telquant(1.0, "m")
LONGEST = "m-" * 11 + "m"  # 23 characters: the longest text kept
CLOSE = [  # texts a character apart, the same for 23 characters and different after, with zero characters, failures
    *("m", "mm", "Mm", "km", "kN", "kn", "mA", "MA", "m ", " m", "\u00a0m", "m\x00", "m\x00s", "\x00", "", "s", "ms"),
    *("m/s", "m-s", "(m)", "[m]", "m^2", "m2", "m^-2", "kg-m/s^2", "kg-m/s^3", "kg-m/s^2-K", "kg-m/s^2 ", "m/s/s", "x"),
    *(LONGEST, LONGEST[:-1], LONGEST[:-1] + "s", LONGEST + "m", LONGEST + "-s", LONGEST + "\x00", LONGEST + "-x"),
    *("m-" * 15 + "m", "m-" * 16, "m\u00e9", "\u00b5m", "m\U0001f600", "\ud800m"),
]


def answers(text):
    """What construction and value_in give for `text`: records as bits, or the exception's type and text."""

    def outcome(call):
        try:
            return call()
        except (TQError, UnicodeEncodeError) as error:
            return type(error), str(error)

    return outcome(lambda: rec(Telquant(1.5, text))), outcome(lambda: METRE.value_in(text))


def fresh(text):
    return "".join(list(text))  # a new str object of that text


def test_texts_seen_before_give_what_a_text_never_seen_gives():
    texts = CLOSE + ["km^%d" % i for i in range(60)]  # more texts than a thread keeps
    expected = [answers(Text(t)) for t in texts]
    assert expected[0] == (want(1.5, vec(m=1)), 1.0) and expected[4][1] == (
        TQError,
        "Incompatible unit conversion to: kN",
    )
    for order in (texts, texts[::-1], texts[::7] + texts[::3], texts * 2):
        for t in order:  # each text as the same object again, and as a new one
            assert (answers(t), answers(fresh(t))) == (expected[texts.index(t)],) * 2, repr(t)


def test_a_str_that_takes_the_place_of_one_freed_is_read_for_its_own_text():
    texts = ["mm", "km", "cm", "Mm", "kg", "mA"]  # one length: one size of block, which a new str takes over
    expected = [answers(Text(t)) for t in texts]
    for i in range(600):
        text = fresh(texts[i % len(texts)])
        assert answers(text) == expected[i % len(texts)], i
        del text
