"""str() and repr(): the value in SI base units, written positionally, and the unit text of the exponents."""

from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from tq_pyo3 import Telquant
from tqtest import INF, NAN, ORDER

NAN_REST = "*".join(s + "^NaN" for s in ORDER[1:])


def check_text(q, expected):
    value_text, unit_text = expected.split(" ")
    assert (str(q), repr(q)) == (expected, "Telquant(%s, '%s')" % (value_text, unit_text))


@pytest.mark.parametrize(
    "value, unit, expected",
    [
        (9.81, "m/s^2", "9.81 m/s^2"),
        (1, "N", "1 m*kg/s^2"),
        (1, "kg-m/s^2", "1 m*kg/s^2"),
        (230, "V", "230 m^2*kg/s^3*A"),
        (50, "/s", "50 1/s"),
        (0.5, "", "0.5 (unitless)"),
        (1, "km", "1000 m"),
        (6.5, "rad/s", "6.5 rad/s"),
        (-0.0, "K", "-0 K"),
        (0, "K", "0 K"),
        (-2.5, "m", "-2.5 m"),
        (1, "/m-s", "1 1/m*s"),
        (1, "rad-mol/kg-m^3", "1 mol*rad/m^3*kg"),
        (1, "m-kg-s-K-A-mol-cd-rad", "1 m*kg*s*K*A*mol*cd*rad"),
        (1, "/rad-cd-mol-A-K-s-kg-m", "1 1/m*kg*s*K*A*mol*cd*rad"),
        (1, "Ohm", "1 m^2*kg/s^3*A^2"),
        (1, "lux", "1 cd/m^2"),
        (1, "m/m", "1 (unitless)"),
        (1, "cm", "0.01 m"),
        (1, "ly", "9460700000000000 m"),
        (2, "m^2147483647", "2 m^2147483647"),
        (1, "m^2147483646/s^2147483646", "1 m^2147483646/s^2147483646"),
        (1, "m^-2147483648", "1 1/m^2147483647"),
        (1, "m^2147483647-m^2147483647", "1 m^2147483647"),
        (1, "/m^-2147483648-s^-2147483648", "1 m^2147483647*s^2147483647"),
        (NAN, "", "NaN (unitless)"),
        (-NAN, "m", "NaN m"),
        (INF, "", "inf (unitless)"),
        (-INF, "s", "-inf s"),
        (1e-7, "", "0.0000001 (unitless)"),
        (1.5e-5, "", "0.000015 (unitless)"),
        (1e21, "", "1" + "0" * 21 + " (unitless)"),
        (5e-324, "", "0." + "0" * 323 + "5 (unitless)"),
        (-5e-324, "m", "-0." + "0" * 323 + "5 m"),
        (1.7976931348623157e308, "", "17976931348623157" + "0" * 292 + " (unitless)"),
        (2**53, "", "9007199254740992 (unitless)"),
        (1 / 3, "", "0.3333333333333333 (unitless)"),
        (123456.789, "", "123456.789 (unitless)"),
    ],
)
def test_display_text_of_constructed_quantities(value, unit, expected):
    check_text(Telquant(value, unit), expected)


# Fractional, NaN and huge exponents come only from powers; integral magnitudes saturate to the 32-bit range.
@pytest.mark.parametrize(
    "value, unit, power, expected",
    [
        (4, "m", 0.5, "2 m^0.5"),
        (4, "m", -1.5, "0.125 1/m^1.5"),
        (9, "m/s^2", 0.5, "3 m^0.5/s"),
        (1, "m^2", 1 / 3, "1 m^0.6666666666666666"),
        (1, "m", 5e-324, "1 m^0." + "0" * 323 + "5"),
        (1, "m", -0.0, "1 (unitless)"),  # negative-zero exponents are left out
        (1, "m", 1e10, "1 m^2147483647"),
        (1, "m", 2**31, "1 m^2147483647"),
        (1, "m", 2**63, "1 m^2147483647"),
        (1, "m", -(2**31), "1 1/m^2147483647"),
        (1, "m", -(2**200), "1 1/m^2147483647"),
        (1, "m", 10**308, "1 m^2147483647"),  # then 0 * inf and 0 * NaN: NaN exponents go to the denominator
        (1, "m", INF, "1 m^2147483647/" + NAN_REST),
        (1, "m", -INF, "1 1/m^2147483647*" + NAN_REST),
        (1, "m", NAN, "1 1/m^NaN*" + NAN_REST),
    ],
)
def test_text_of_fractional_nan_and_huge_exponents(value, unit, power, expected):
    check_text(Telquant(value, unit) ** power, expected)


def positional(x):
    return format(Decimal(repr(x)).normalize(), "f")


# The longest texts there are: a subnormal value and every exponent a fraction of the most digits, either side.
@pytest.mark.parametrize(
    "value, power", [(-9.4e-323, 9.4e-323), (-2.225073858507201e-308, -9.4e-323), (-5e-324, -2.225073858507201e-308)]
)
def test_the_longest_texts_are_written_whole(value, power):
    q = Telquant(1, "-".join(ORDER)) ** power * value
    exponent = positional(abs(power))
    unit = "*".join("%s^%s" % (s, exponent) for s in ORDER)
    check_text(q, positional(value) + " " + (unit if power > 0 else "1/" + unit))
    assert len(str(q)) > 2600


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_every_finite_value_is_written_positionally_and_reads_back(x):
    value_text = str(Telquant(x, "")).split(" ")[0]
    assert float(value_text) == x
    assert value_text == format(Decimal(repr(x)).normalize(), "f")  # the shortest round-trip digits, no exponent


@given(st.lists(st.integers(-3, 3), min_size=8, max_size=8), st.booleans())
def test_factors_follow_the_base_order_within_numerator_and_denominator(exps, flip):
    tokens = ["%s^%d" % (s, e) for s, e in zip(ORDER, exps)]
    q = Telquant(1, "-".join(tokens[::-1] if flip else tokens))  # the written order makes no difference

    def part(sign):
        return "*".join(s if sign * e == 1 else "%s^%d" % (s, sign * e) for s, e in zip(ORDER, exps) if sign * e > 0)

    numerator, denominator = part(1), part(-1)
    unit = (numerator or "1") + "/" + denominator if denominator else numerator or "(unitless)"
    check_text(q, "1 " + unit)
