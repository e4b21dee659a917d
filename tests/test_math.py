"""The ten math methods and the module functions asin, acos and atan: unit test, domain test, C library."""

import itertools
import math

import pytest
from hypothesis import given, strategies as st

import tq_pyo3
from tq_pyo3 import Telquant, TQError
from tqtest import ABOVE_ONE, INF, METHODS, NAN, ORDER, fails, made, outcome, rec, vec, want

ANGLE_ONLY, INVERSE = ("sin", "cos", "tan"), ("asin", "acos", "atan")
DIMENSION = {n: "%s requires %s quantity" % (n, "an angle" if n in ANGLE_ONLY else "a unitless") for n in METHODS[1:]}
DOMAIN = dict(
    {n: "%s domain error (value <= 0)" % n for n in ("ln", "log2", "log10")},
    sqrt="sqrt of negative value",
    asin="asin requires a value in the range [-1, 1]",
    acos="acos requires a value in the range [-1, 1]",
)
RAD = vec(rad=1)


def call(q, name):  # the receiver must come through untouched
    before = rec(q)
    try:
        return getattr(q, name)()
    finally:
        assert rec(q) == before


@pytest.mark.parametrize("name", METHODS[1:])
def test_the_unit_test_comes_before_the_domain_test(name):
    units = ["", "rad/s", "rad-m", "rad^3/rad^3"] if name in ANGLE_ONLY else ["rad", "s^-1", "kg-m/s^2", "deg"]
    for q in [Telquant(-5.0, unit) for unit in units] + [Telquant(1.0, "") ** NAN, Telquant(2.0, "m").sqrt()]:
        assert fails(lambda: call(q, name)).args == (DIMENSION[name],)  # -5 is outside every domain


@pytest.mark.parametrize(
    "name, values",
    [
        ("sqrt", (-1e-300, -5e-324, -1.0, -INF)),
        ("ln", (0.0, -0.0, -5e-324, -1.0, -INF)),
        ("log2", (0.0, -0.0, -INF)),
        ("log10", (0.0, -0.0, -1.0)),
        ("asin", (ABOVE_ONE, -ABOVE_ONE, 2.0, -2, INF, -INF, 10**20)),
        ("acos", (ABOVE_ONE, -ABOVE_ONE, 2.0, -2, INF, -INF, 10**20)),
    ],
)
def test_values_outside_the_domain_raise_the_domain_message(name, values):
    for value in values:
        for unit in ("", "m^2", "s", "rad") if name == "sqrt" else ("",):
            assert fails(lambda: call(Telquant(value, unit), name)).args == (DOMAIN[name],)
        if name in INVERSE:
            assert fails(lambda: getattr(tq_pyo3, name)(value)).args == (DOMAIN[name],)


@pytest.mark.parametrize(
    "name, value, unit, expected, exponents",
    [
        ("sqrt", 4.0, "m^2", 2.0, vec(m=1)),
        ("sqrt", 8.0, "m^3", math.sqrt(8.0), vec(m=1.5)),
        ("sqrt", 9.0, "s^-2", 3.0, vec(s=-1)),
        ("sqrt", -0.0, "s^2", 0.0, vec(s=1)),
        ("sqrt", INF, "", INF, vec()),
        ("sqrt", NAN, "kg", NAN, vec(kg=0.5)),
        ("sqrt", 4.0, "rad^2", 2.0, RAD),
        ("sqrt", 1.0, "", 1.0, vec()),
        ("ln", 1.0, "", 0.0, vec()),
        ("log2", 0.5, "", -1.0, vec()),
        ("log10", 1000.0, "", 3.0, vec()),
        ("ln", INF, "", INF, vec()),
        ("log10", NAN, "", NAN, vec()),
        ("sin", -0.0, "rad", -0.0, vec()),
        ("sin", 90.0, "deg", 1.0, vec()),
        ("cos", -INF, "rad", NAN, vec()),
        ("sin", INF, "rad", NAN, vec()),
        ("tan", NAN, "rad", NAN, vec()),
        ("asin", 1.0, "", math.pi / 2, RAD),
        ("asin", -1.0, "", -math.pi / 2, RAD),
        ("asin", -0.0, "", -0.0, RAD),
        ("acos", -1.0, "", math.pi, RAD),
        ("acos", 1.0, "", 0.0, RAD),
        ("acos", NAN, "", NAN, RAD),
        ("atan", INF, "", math.pi / 2, RAD),
        ("atan", -INF, "", -math.pi / 2, RAD),
    ],
)
def test_results_carry_the_exact_value_and_units(name, value, unit, expected, exponents):
    result = call(Telquant(value, unit), name)
    assert rec(result) == want(expected, exponents)
    if name in INVERSE:
        assert rec(getattr(tq_pyo3, name)(value)) == rec(getattr(tq_pyo3, name)(x=value)) == rec(result)


def test_sqrt_keeps_nan_exponents_and_halves_rad_squared_into_an_angle():
    assert rec((Telquant(1.0, "") ** NAN).sqrt()) == want(1.0, (NAN,) * 8)
    assert Telquant(4.0, "rad^2").sqrt().cos().value() == math.cos(2.0)


@pytest.mark.parametrize("symbol", ORDER)
def test_every_exponent_alone_or_beside_rad_decides_the_unit_tests_exactly(symbol):
    plain = {name: call(Telquant(0.5, "rad" if name in ANGLE_ONLY else ""), name) for name in METHODS[1:]}
    u, r = Telquant(0.5, ""), Telquant(0.5, "rad")
    for e, beside in itertools.product((1.0, 5e-324, -5e-324, 1e-13, -1e-13, -0.0), (False, True)):
        # pow(1, e) is 1 and scales the exponents by e; dividing by 1/rad adds rad^1 and keeps a -0.0 exponent
        q = 0.5 * Telquant(1.0, symbol) ** e / Telquant(1.0, "/rad" if beside else "")
        exps = [e * (s == symbol) - (-1.0 if beside and s == "rad" else 0.0) for s in ORDER]
        assert rec(q) == want(0.5, exps)
        unitless, angle = not any(exps), not any(exps[:7]) and exps[7] == 1  # -0.0 is zero
        assert q.is_unitless() is unitless, (e, beside)
        for name in METHODS[1:]:
            if angle if name in ANGLE_ONLY else unitless:
                assert rec(call(q, name)) == rec(plain[name])
            else:
                assert fails(lambda: call(q, name)).args == (DIMENSION[name],)
        # the left operand's units decide: an angle accepts any rad exponent on the right, nothing else does
        checks = [
            lambda: q.value_in(""),
            lambda: q.value_in("rad"),
            lambda: q + u,
            lambda: u - q,
            lambda: q <= r,
            lambda: r > q,
        ]
        expected = [unitless or angle, angle, unitless or angle, unitless, angle, not any(exps[:7])]
        assert [outcome(c) is not TQError for c in checks] == expected
        assert [q == u, u == q, q == r, r == q] == expected[2:]


@given(st.lists(st.integers(-7, 7), min_size=8, max_size=8), st.floats())
def test_sqrt_halves_every_exponent_and_refuses_only_negative_values(powers, v):
    q = Telquant(v, "-".join("%s^%d" % (s, p) for s, p in zip(ORDER, powers) if p))
    if v < 0:
        assert fails(lambda: call(q, "sqrt")).args == (DOMAIN["sqrt"],)
    else:
        root = call(q, "sqrt")  # a NaN is the operand's, quieted, whatever the C library gives (RISC-V: its own)
        assert rec(root) == want(math.fabs(made(math.sqrt(v), v)), [0.5 * p for p in powers])
        assert (root**2).base_units() == q.base_units()


@pytest.mark.parametrize("name", METHODS[1:])
@given(v=st.floats())
def test_functions_match_the_math_library_inside_their_domain_and_refuse_values_outside(name, v):
    unit, exponents = ("rad", vec()) if name in ANGLE_ONLY else ("", RAD if name in INVERSE else vec())
    try:  # a NaN result is the operand's, quieted, whatever the C library gives (RISC-V's gives its own NaN)
        expected = made(getattr(math, "log" if name == "ln" else name)(v), v)
    except ValueError:  # outside the domain; the trigonometric functions of an infinity are NaN here
        expected = NAN if name in ANGLE_ONLY else None
    functions = [lambda: call(Telquant(v, unit), name)] + [lambda: getattr(tq_pyo3, name)(v)] * (name in INVERSE)
    for function in functions:
        if expected is None:
            assert fails(function).args == (DOMAIN[name],)
        else:
            assert rec(function()) == want(expected, exponents)
