"""str() and repr(): the value in SI base units and the unit text of the exponents."""

from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from tq_pyo3 import Telquant

NAN = float("nan")
INF = float("inf")
ORDER = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")


def check_text(q, expected):
    """str() is the display text; repr() wraps the same value and unit texts."""
    assert str(q) == expected
    value_text, unit_text = expected.split(" ")
    assert repr(q) == f"Telquant({value_text}, '{unit_text}')"


@pytest.mark.parametrize(
    "value, unit, expected",
    [
        (9.81, "m/s^2", "9.81 m/s^2"), (1, "N", "1 m*kg/s^2"),
        (1, "kg-m/s^2", "1 m*kg/s^2"), (230, "V", "230 m^2*kg/s^3*A"),
        (50, "/s", "50 1/s"), (0.5, "", "0.5 (unitless)"), (1, "km", "1000 m"),
        (6.5, "rad/s", "6.5 rad/s"), (0.25, "mol/m^3", "0.25 mol/m^3"),
        (-0.0, "K", "-0 K"), (0, "K", "0 K"), (-2.5, "m", "-2.5 m"),
        (1, "/m-s", "1 1/m*s"), (1, "rad-mol/kg-m^3", "1 mol*rad/m^3*kg"),
        (1, "m-kg-s-K-A-mol-cd-rad", "1 m*kg*s*K*A*mol*cd*rad"),
        (1, "/rad-cd-mol-A-K-s-kg-m", "1 1/m*kg*s*K*A*mol*cd*rad"),
        (1, "Ohm", "1 m^2*kg/s^3*A^2"), (1, "lux", "1 cd/m^2"),
        (1, "m/m", "1 (unitless)"), (1, "cm", "0.01 m"), (1, "mi", "1609.344 m"),
        (1, "ly", "9460700000000000 m"),
        (2, "m^2147483647", "2 m^2147483647"),
        (1, "m^-2147483648", "1 1/m^2147483647"),
        (1, "m^2147483647-m^2147483647", "1 m^2147483647"),
        (1, "/m^-2147483648-s^-2147483648", "1 m^2147483647*s^2147483647"),
        (NAN, "", "NaN (unitless)"), (-NAN, "m", "NaN m"),
        (INF, "", "inf (unitless)"), (-INF, "s", "-inf s"),
        (1e-7, "", "0.0000001 (unitless)"), (1.5e-5, "", "0.000015 (unitless)"),
        (1e16, "", "1" + "0" * 16 + " (unitless)"),
        (1e21, "", "1" + "0" * 21 + " (unitless)"),
        (5e-324, "", "0." + "0" * 323 + "5 (unitless)"),
        (1.7976931348623157e308, "", "17976931348623157" + "0" * 292 + " (unitless)"),
        (2**53, "", "9007199254740992 (unitless)"), (100, "", "100 (unitless)"),
        (1 / 3, "", "0.3333333333333333 (unitless)"), (0.1, "", "0.1 (unitless)"),
        (123456.789, "", "123456.789 (unitless)"),
    ],
)
def test_display_text_of_constructed_quantities(value, unit, expected):
    check_text(Telquant(value, unit), expected)


NAN_REST = "kg^NaN*s^NaN*K^NaN*A^NaN*mol^NaN*cd^NaN*rad^NaN"


# Fractional, NaN and infinite exponents only come from powers of quantities.
@pytest.mark.skipif(
    not hasattr(Telquant, "__pow__"),
    reason="text of fractional exponents needs the power operator to build them",
)
@pytest.mark.parametrize(
    "value, unit, power, expected",
    [
        (4, "m", 0.5, "2 m^0.5"),
        (4, "m", -1.5, "0.125 1/m^1.5"),
        (1, "m", 2.5, "1 m^2.5"),
        (9, "m/s^2", 0.5, "3 m^0.5/s"),
        (1, "m", 1 / 3, "1 m^0.3333333333333333"),
        (1, "m^2", 1 / 3, "1 m^0.6666666666666666"),
        (1, "m", 1e10, "1 m^2147483647"),
        (1, "m", -0.0, "1 (unitless)"),  # a negative-zero exponent is skipped
        (1, "m", INF, "1 m^2147483647/" + NAN_REST),
        (1, "m", -INF, "1 1/m^2147483647*" + NAN_REST),
        (1, "m", NAN, "1 1/m^NaN*" + NAN_REST),
    ],
)
def test_text_of_fractional_nan_and_huge_exponents(value, unit, power, expected):
    check_text(Telquant(value, unit) ** power, expected)


def positional(x):
    """The shortest round-trip digits of x, written without an exponent."""
    return format(Decimal(repr(x)).normalize(), "f")


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_every_finite_value_is_written_positionally_and_reads_back(x):
    q = Telquant(x, "")
    value_text, unit_text = str(q).split(" ")
    assert unit_text == "(unitless)"
    assert float(value_text) == x
    assert value_text == positional(x)
    assert repr(q) == f"Telquant({value_text}, '(unitless)')"


def factor_text(symbol, magnitude):
    return symbol if magnitude == 1 else f"{symbol}^{magnitude}"


@given(st.lists(st.integers(-3, 3), min_size=8, max_size=8), st.booleans())
def test_factors_follow_the_base_order_within_numerator_and_denominator(exps, flip):
    tokens = [f"{s}^{e}" for s, e in zip(ORDER, exps)]
    if flip:  # the written order of the tokens makes no difference
        tokens.reverse()
    q = Telquant(1, "-".join(tokens))
    numerator = "*".join(factor_text(s, e) for s, e in zip(ORDER, exps) if e > 0)
    denominator = "*".join(factor_text(s, -e) for s, e in zip(ORDER, exps) if e < 0)
    if numerator and denominator:
        unit = f"{numerator}/{denominator}"
    elif denominator:
        unit = f"1/{denominator}"
    else:
        unit = numerator or "(unitless)"
    check_text(q, f"1 {unit}")
