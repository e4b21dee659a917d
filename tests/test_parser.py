"""Unit expressions: grammar, messages, conversion and the compatibility rule."""

import re

import pytest
from hypothesis import given, strategies as st

from tq_pyo3 import Telquant, TQError

ORDER = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")

SLASH = "Unit string can only have one '/'"
EMPTY = "Empty unit token"

# The trimmed white space: Unicode White_Space, nothing more, nothing less.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(
    chr(c) for c in range(0x2000, 0x200B)
) + "\u2028\u2029\u202f\u205f\u3000"


def vec(**exponents):
    return tuple(float(exponents.get(name, 0)) for name in ORDER)


def missing_exponent(token):
    return f"Missing exponent after '^' in \"{token}\""


def bad_power(token):
    return f"Unable to read numeric power from \"{token}\""


def missing_symbol(token):
    return f"Missing unit symbol before exponent in \"{token}\""


def unknown(symbol):
    return f"Unknown unit: {symbol}"


def parse_message(text):
    with pytest.raises(TQError) as info:
        Telquant(1.0, text)
    assert type(info.value) is TQError
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize(
    "text, factor, exponents",
    [
        ("", 1.0, vec()), ("/", 1.0, vec()), ("()", 1.0, vec()), ("-", 1.0, vec()),
        ("[]", 1.0, vec()), ("--/-", 1.0, vec()), ("m^2-m^-2", 1.0, vec()),
        ("km/hr", 1000.0 * 3600.0**-1.0, vec(m=1, s=-1)),
        ("kg-m/s^2", 1.0, vec(m=1, kg=1, s=-2)),
        ("(m/s)", 1.0, vec(m=1, s=-1)), ("/s", 1.0, vec(s=-1)),
        ("m/", 1.0, vec(m=1)), ("-m-", 1.0, vec(m=1)), ("m--s", 1.0, vec(m=1, s=1)),
        ("m2", 1.0, vec(m=2)), ("m^2", 1.0, vec(m=2)), ("m ^2", 1.0, vec(m=2)),
        ("m 2", 1.0, vec(m=2)), ("m^[2]", 1.0, vec(m=2)), ("(m)^2", 1.0, vec(m=2)),
        ("m^-2", 1.0, vec(m=-2)), ("m^(-2)", 1.0, vec(m=-2)),
        ("m^007", 1.0, vec(m=7)), ("m^00000000000000000001", 1.0, vec(m=1)),
        ("m^0", 1.0, vec()), ("km^0", 1.0, vec()),
        ("km^2", 1000.0**2.0, vec(m=2)), ("km^-1", 1000.0**-1.0, vec(m=-1)),
        ("/km^-2", 1000.0**2.0, vec(m=2)), ("/km2", 1000.0**-2.0, vec(m=-2)),
        ("mmol/l", 0.001 * 0.001**-1.0, vec(m=-3, mol=1)),
        ("m-s/kg-A", 1.0, vec(m=1, s=1, kg=-1, A=-1)),
        ("m^2147483647", 1.0, vec(m=2147483647)),
        ("m^-2147483648", 1.0, vec(m=-2147483648)),
        ("/m^-2147483648", 1.0, vec(m=2147483648)),
        ("m^2147483647-m^2147483647", 1.0, vec(m=4294967294)),
        ("\tkm /\u00a0hr\n", 1000.0 * 3600.0**-1.0, vec(m=1, s=-1)),
        ("\u3000m\u2003^2", 1.0, vec(m=2)),
    ],
)
def test_valid_expressions_give_their_factor_and_exponents(text, factor, exponents):
    q = Telquant(1.0, text)
    assert q.value() == factor
    assert q.base_units() == exponents


@pytest.mark.parametrize("ws", WHITE_SPACE)
def test_every_unicode_white_space_character_is_trimmed(ws):
    q = Telquant(2.0, f"{ws}{ws}km{ws}/{ws}s{ws}^2{ws}")
    assert q.value() == 2000.0
    assert q.base_units() == vec(m=1, s=-2)
    assert parse_message(f"m/{ws}s^{ws}") == (
        f"Failed to parse unit 'm/{ws}s^{ws}': " + missing_exponent("s^")
    )


@pytest.mark.parametrize("char", ["\u200b", "\ufeff", "\u180e", "\x1c", "\x1f", "\x00"])
def test_characters_outside_white_space_are_not_trimmed(char):
    assert parse_message(f"{char}km") == (
        f"Failed to parse unit '{char}km': Unknown unit: {char}km"
    )


@pytest.mark.parametrize(
    "text, message",
    [
        ("m/s/s", SLASH), ("m/s/", SLASH), ("//", SLASH), (" (m/s/s) ", SLASH),
        ("x/y/z", SLASH), ("^/ /", SLASH),  # checked before any token is read
        (" ", EMPTY), ("\u3000", EMPTY), ("( )", EMPTY), ("m/ ", EMPTY),
        ("m- -s", EMPTY),
        ("m^", missing_exponent("m^")), (" [m^] ", missing_exponent("m^")),
        ("m^2^", missing_exponent("m^2^")), ("^", missing_exponent("^")),
        ("s/km^", missing_exponent("km^")),
        ("m^2147483648", bad_power("m^2147483648")),
        ("m2147483648", bad_power("m2147483648")),
        ("m^-2147483649", bad_power("m^-2147483649")),
        ("m^99999999999999999999", bad_power("m^99999999999999999999")),
        ("/ m^2147483648 ", bad_power("m^2147483648")),
        ("1", missing_symbol("1")), (" 2 ", missing_symbol("2")),
        ("^2", missing_symbol("^2")), ("^-2", missing_symbol("^-2")),
        ("m-2", missing_symbol("2")), ("1/s", missing_symbol("1")),
        ("m-^2", missing_symbol("^2")), ("^2-x", missing_symbol("^2")),
        ("x-^2", unknown("x")), ("x/y", unknown("x")), ("m/y-x", unknown("y")),
        ("m^0.5", unknown("m^0.")), ("m^+2", unknown("m^+")), ("m^-", unknown("m^-")),
        ("m^^2", unknown("m^")), ("m^ 2", unknown("m^")), ("m ^ 2", unknown("m ^")),
        ("kg*m", unknown("kg*m")), ("kg m", unknown("kg m")),
        ("kg\u00b7m", unknown("kg\u00b7m")), ("m.s", unknown("m.s")),
        ("KM", unknown("KM")), ("[km]/h", unknown("h")), ("1m", unknown("1m")),
        ("\u00b5m", unknown("\u00b5m")), ("m^\u22122", unknown("m^\u2212")),
        ("m\uff12", unknown("m\uff12")), ("m\u00b2", unknown("m\u00b2")),
        ("(unitless)", unknown("unitless")), ("m*kg/s^2", unknown("m*kg")),
        ("m\x00", unknown("m\x00")), ("m\x00/s/s", SLASH),
    ],
)
def test_parse_failures_wrap_the_callers_text_and_the_parser_message(text, message):
    assert parse_message(text) == f"Failed to parse unit '{text}': {message}"


@pytest.mark.parametrize(
    "unit, target, expected",
    [
        ("km", "m", 1000.0), ("km", "(m)", 1000.0), ("m", "km", 0.001),
        ("km/hr", "m/s", 1000.0 * 3600.0**-1.0), ("deg", "rad", 0.017453292519943295),
        ("rad", "", 1.0), ("rad", "deg", 57.29577951308232), ("rad", "rad^2", 1.0),
        ("rad", "/rad^7", 1.0), ("m-rad", "m", 1.0), ("m/m", "", 1.0),
        ("", "m/m", 1.0), ("rad^2", "rad^2", 1.0),
    ],
)
def test_value_in_divides_by_the_targets_factor(unit, target, expected):
    assert Telquant(1.0, unit).value_in(target) == expected


@pytest.mark.parametrize(
    "unit, target",
    [("", "rad"), ("m", "s"), ("m", "(s)"), ("m", " s "), ("rad^2", ""),
     ("rad^2", "rad"), ("/rad", ""), ("m", "m-rad"), ("rad", "m"), ("m-rad", "s")],
)
def test_value_in_refuses_incompatible_targets_echoing_them(unit, target):
    with pytest.raises(TQError) as info:
        Telquant(1.0, unit).value_in(target)
    assert info.value.args == (f"Incompatible unit conversion to: {target}",)


@pytest.mark.parametrize(
    "target, message",
    [("m/s/s", SLASH), ("x", unknown("x")), (" [m^] ", missing_exponent("m^"))],
)
def test_value_in_parse_failures_come_before_the_dimension_check(target, message):
    with pytest.raises(TQError) as info:
        Telquant(5.0, "s").value_in(target)
    assert info.value.args == (f"Failed to parse unit '{target}': {message}",)


@pytest.mark.parametrize(
    "unit, expected",
    [("", True), ("m/m", True), ("rad/rad", True), ("m^2-m^-2", True),
     ("rad", False), ("m", False), ("/s", False), ("deg", False)],
)
def test_is_unitless_requires_all_eight_exponents_zero(unit, expected):
    assert Telquant(3.0, unit).is_unitless() is expected


# Symbols with their factors and exponents, for composing expressions.
SAMPLE = {
    "m": (1.0, vec(m=1)), "km": (1000.0, vec(m=1)), "hr": (3600.0, vec(s=1)),
    "g": (0.001, vec(kg=1)), "mA": (0.001, vec(A=1)), "mmol": (0.001, vec(mol=1)),
    "J": (1.0, vec(m=2, kg=1, s=-2)), "deg": (0.017453292519943295, vec(rad=1)),
    "lux": (1.0, vec(m=-2, cd=1)), "F": (0.5555555555555556, vec(K=1)),
    "kOhm": (1000.0, vec(m=2, kg=1, s=-3, A=-2)),
}


@st.composite
def token(draw):
    symbol = draw(st.sampled_from(sorted(SAMPLE)))
    power = draw(st.integers(-4, 4))
    forms = [f"{symbol}^{power}", f"{symbol} ^{power}", f"{symbol}^({power})"]
    if power >= 0:
        forms += [f"{symbol}{power}", f"{symbol} {power}"]
    if power == 1:
        forms.append(symbol)
    pad = st.sampled_from(["", " ", "\t", "\u00a0"])
    return draw(pad) + draw(st.sampled_from(forms)) + draw(pad), symbol, power


@st.composite
def expression(draw):
    numerator = draw(st.lists(token(), max_size=4))
    denominator = draw(st.lists(token(), max_size=4))
    joiner = draw(st.sampled_from(["-", "--"]))
    text = joiner.join(t for t, _, _ in numerator)
    if denominator or draw(st.booleans()):
        text += "/" + joiner.join(t for t, _, _ in denominator)
    # Brackets are removed before anything else, so they may go anywhere.
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(st.sampled_from("()[]")) + text[at:]
    factor = 1.0
    exponents = [0.0] * 8
    for sign, tokens in ((1, numerator), (-1, denominator)):
        for _, symbol, power in tokens:
            row_factor, row_exponents = SAMPLE[symbol]
            p = float(sign * power)
            factor *= row_factor**p
            exponents = [e + r * p for e, r in zip(exponents, row_exponents)]
    return text, factor, tuple(exponents)


@given(expression(), st.floats(-1e6, 1e6))
def test_composed_expressions_accumulate_factors_and_exponents_in_text_order(case, x):
    text, factor, exponents = case
    q = Telquant(x, text)
    assert q.value() == x * factor
    assert q.base_units() == exponents
    assert Telquant(1.0, text).value_in(text) == 1.0


FIXED_MESSAGE = re.compile(
    r"Unit string can only have one '/'\Z"
    r"|Empty unit token\Z"
    r"|Missing exponent after '\^' in \"(?P<caret>.+)\"\Z"
    r"|Unable to read numeric power from \"(?P<power>.+)\"\Z"
    r"|Missing unit symbol before exponent in \"(?P<symbol>.+)\"\Z"
    r"|Unknown unit: (?P<unknown>.+)\Z",
    re.S,
)

unit_like_text = st.lists(
    st.one_of(
        st.sampled_from(sorted(SAMPLE) + list("^-/()[] 0123456789\t\u3000")),
        st.characters(exclude_categories=("Cs",)),
    ),
    max_size=12,
).map("".join)


@given(unit_like_text)
def test_any_text_constructs_or_fails_with_one_of_the_fixed_messages(text):
    unbracketed = re.sub(r"[()\[\]]", "", text)
    try:
        q = Telquant(1.0, text)
    except TQError as error:
        message = error.args[0]
        prefix = f"Failed to parse unit '{text}': "
        assert message.startswith(prefix)
        match = FIXED_MESSAGE.match(message, len(prefix))
        assert match, message
        assert (match.group(0) == SLASH) == (unbracketed.count("/") > 1)
        piece = next((p for p in match.groupdict().values() if p is not None), None)
        if piece is not None:
            assert piece == piece.strip(WHITE_SPACE)
            assert not set(piece) & set("/()[]")
            assert piece in unbracketed
        if match.group("caret") is not None:
            assert piece.endswith("^")
        if match.group("power") is not None:
            assert piece[-1] in "0123456789"
    else:
        assert type(q) is Telquant
        assert unbracketed.count("/") <= 1
