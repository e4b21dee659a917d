"""The ten math methods and the module functions asin, acos and atan: unit test, domain test, C library."""

import math

import pytest
from hypothesis import given, strategies as st

import tq_pyo3
from tq_pyo3 import Telquant
from tqtest import ABOVE_ONE, INF, METHODS, NAN, ORDER, fails, rec, vec, want

ANGLE_ONLY, INVERSE = ("sin", "cos", "tan"), ("asin", "acos", "atan")
DIMENSION = {n: "%s requires %s quantity" % (n, "an angle" if n in ANGLE_ONLY else "a unitless") for n in METHODS[1:]}
DOMAIN = dict({n: "%s domain error (value <= 0)" % n for n in ("ln", "log2", "log10")}, sqrt="sqrt of negative value",
              asin="asin requires a value in the range [-1, 1]", acos="acos requires a value in the range [-1, 1]")
RAD = vec(rad=1)


def call(q, name):  # the receiver must come through untouched
    before = rec(q)
    try:
        return getattr(q, name)()
    finally:
        assert rec(q) == before


@pytest.mark.parametrize("name", METHODS[1:])
def test_the_unit_test_comes_before_the_domain_test(name):
    units = ["", "rad^2", "rad/s", "rad-m", "rad^-1", "m", "rad^3/rad^3"] if name in ANGLE_ONLY else [
        "m", "rad", "s^-1", "rad^2", "kg-m/s^2", "deg"]
    for q in [Telquant(-5.0, unit) for unit in units] + [Telquant(1.0, "") ** NAN, Telquant(2.0, "m").sqrt()]:
        assert fails(lambda: call(q, name)).args == (DIMENSION[name],)  # -5 is outside every domain


@pytest.mark.parametrize(
    "name, values",
    [("sqrt", (-1e-300, -5e-324, -1.0, -INF)), ("ln", (0.0, -0.0, -5e-324, -1.0, -INF)), ("log2", (0.0, -0.0, -INF)),
     ("log10", (0.0, -0.0, -1.0)), ("asin", (ABOVE_ONE, -ABOVE_ONE, 2.0, -2, INF, -INF, 10**20)),
     ("acos", (ABOVE_ONE, -ABOVE_ONE, 2.0, -2, INF, -INF, 10**20))],
)
def test_values_outside_the_domain_raise_the_domain_message(name, values):
    for value in values:
        for unit in ("", "m^2", "s", "rad") if name == "sqrt" else ("",):
            assert fails(lambda: call(Telquant(value, unit), name)).args == (DOMAIN[name],)
        if name in INVERSE:
            assert fails(lambda: getattr(tq_pyo3, name)(value)).args == (DOMAIN[name],)


@pytest.mark.parametrize(
    "name, value, unit, expected, exponents",
    [("sqrt", 4.0, "m^2", 2.0, vec(m=1)), ("sqrt", 8.0, "m^3", math.sqrt(8.0), vec(m=1.5)),
     ("sqrt", 9.0, "s^-2", 3.0, vec(s=-1)), ("sqrt", -0.0, "s^2", 0.0, vec(s=1)), ("sqrt", INF, "", INF, vec()),
     ("sqrt", NAN, "kg", NAN, vec(kg=0.5)), ("sqrt", 4.0, "rad^2", 2.0, RAD), ("sqrt", 1.0, "", 1.0, vec()),
     ("ln", 1.0, "", 0.0, vec()), ("log2", 0.5, "", -1.0, vec()), ("log10", 1000.0, "", 3.0, vec()),
     ("ln", INF, "", INF, vec()), ("log10", NAN, "", NAN, vec()), ("sin", -0.0, "rad", -0.0, vec()),
     ("sin", 90.0, "deg", 1.0, vec()), ("cos", -INF, "rad", NAN, vec()), ("tan", NAN, "rad", NAN, vec()),
     ("asin", 1.0, "", math.pi / 2, RAD), ("asin", -1.0, "", -math.pi / 2, RAD), ("asin", -0.0, "", -0.0, RAD),
     ("acos", -1.0, "", math.pi, RAD), ("acos", 1.0, "", 0.0, RAD), ("acos", NAN, "", NAN, RAD),
     ("atan", INF, "", math.pi / 2, RAD), ("atan", -INF, "", -math.pi / 2, RAD)],
)
def test_results_carry_the_exact_value_and_units(name, value, unit, expected, exponents):
    result = call(Telquant(value, unit), name)
    assert rec(result) == want(expected, exponents)
    if name in INVERSE:
        assert rec(getattr(tq_pyo3, name)(value)) == rec(getattr(tq_pyo3, name)(x=value)) == rec(result)


def test_sqrt_keeps_nan_exponents_and_feeds_fractional_ones_to_the_unit_tests():
    assert rec((Telquant(1.0, "") ** NAN).sqrt()) == want(1.0, (NAN,) * 8)
    assert fails(lambda: Telquant(2.0, "rad").sqrt().sin()).args == (DIMENSION["sin"],)
    assert rec(Telquant(16.0, "m^4").sqrt().sqrt()) == want(2.0, vec(m=1))
    assert Telquant(4.0, "rad^2").sqrt().cos().value() == math.cos(2.0)
    assert Telquant(4.0, "m^2/m^2").sqrt().log2().value() == 1.0


def test_negative_zero_exponents_count_as_zero_in_both_unit_tests():
    unitless, angle = Telquant(1.0, "") ** -1, Telquant(2.0, "rad^-1") ** -1
    assert rec(unitless) == want(1.0, vec(-0.0)) and rec(angle) == want(0.5, vec(-0.0, rad=1))
    assert (unitless.ln().value(), unitless.asin().value(), angle.sin().value()) == (0.0, math.pi / 2, math.sin(0.5))


@given(st.lists(st.integers(-7, 7), min_size=8, max_size=8), st.floats())
def test_sqrt_halves_every_exponent_and_refuses_only_negative_values(powers, v):
    q = Telquant(v, "-".join("%s^%d" % (s, p) for s, p in zip(ORDER, powers) if p))
    if v < 0:
        assert fails(lambda: call(q, "sqrt")).args == (DOMAIN["sqrt"],)
    else:
        root = call(q, "sqrt")
        assert rec(root) == want(math.fabs(math.sqrt(v)), [0.5 * p for p in powers])
        assert (root**2).base_units() == q.base_units()


@pytest.mark.parametrize("name", METHODS[1:])
@given(v=st.floats())
def test_functions_match_the_math_library_inside_their_domain_and_refuse_values_outside(name, v):
    unit, exponents = ("rad", vec()) if name in ANGLE_ONLY else ("", RAD if name in INVERSE else vec())
    try:
        expected = getattr(math, "log" if name == "ln" else name)(v)
    except ValueError:  # outside the domain; the trigonometric functions of an infinity are NaN here
        expected = NAN if name in ANGLE_ONLY else None
    functions = [lambda: call(Telquant(v, unit), name)] + [lambda: getattr(tq_pyo3, name)(v)] * (name in INVERSE)
    for function in functions:
        if expected is None:
            assert fails(function).args == (DOMAIN[name],)
        else:
            assert rec(function()) == want(expected, exponents)
