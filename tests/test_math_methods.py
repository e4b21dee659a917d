"""The ten elementary-function methods of Telquant: unit rules, domains, exact results."""

import inspect
import math
import struct

import pytest
from hypothesis import given, strategies as st

from tq_pyo3 import Telquant, TQError

NAN = float("nan")
INF = float("inf")
UNITLESS = (0.0,) * 8
RAD = (0.0,) * 7 + (1.0,)
BASE = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")
METHODS = ("sqrt", "ln", "log2", "log10", "sin", "cos", "tan", "asin", "acos", "atan")
UNITLESS_ONLY = ("ln", "log2", "log10", "asin", "acos", "atan")
ANGLE_ONLY = ("sin", "cos", "tan")


def _next_up(x):
    if hasattr(math, "nextafter"):
        return math.nextafter(x, INF)
    (n,) = struct.unpack("<q", struct.pack("<d", x))
    return struct.unpack("<d", struct.pack("<q", n + 1 if x >= 0 else n - 1))[0]


ABOVE_ONE = _next_up(1.0)
assert 1.0 < ABOVE_ONE < 1.0 + 1e-15


def same(a, b):
    """Bit-for-bit float equality (sign of zero matters), with NaN equal to NaN."""
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


def exps(**powers):
    return tuple(float(powers.get(sym, 0.0)) for sym in BASE)


def unit_text(powers):
    return "-".join("%s^%d" % (sym, p) for sym, p in zip(BASE, powers) if p)


def call(q, name):
    """Call a method and check that the receiver came through untouched."""
    before = (q.value(), q.base_units())
    try:
        return getattr(q, name)()
    finally:
        after = (q.value(), q.base_units())
        assert all(same(a, b) for a, b in zip((after[0],) + after[1], (before[0],) + before[1]))


def raises_tq(q, name, message):
    with pytest.raises(TQError) as info:
        call(q, name)
    assert type(info.value) is TQError
    assert info.value.args == (message,)


DIMENSION_MESSAGE = {
    "ln": "ln requires a unitless quantity",
    "log2": "log2 requires a unitless quantity",
    "log10": "log10 requires a unitless quantity",
    "sin": "sin requires an angle quantity",
    "cos": "cos requires an angle quantity",
    "tan": "tan requires an angle quantity",
    "asin": "asin requires a unitless quantity",
    "acos": "acos requires a unitless quantity",
    "atan": "atan requires a unitless quantity",
}
DOMAIN_MESSAGE = {
    "sqrt": "sqrt of negative value",
    "ln": "ln domain error (value <= 0)",
    "log2": "log2 domain error (value <= 0)",
    "log10": "log10 domain error (value <= 0)",
    "asin": "asin requires a value in the range [-1, 1]",
    "acos": "acos requires a value in the range [-1, 1]",
}


# -5 lies outside the domain of every function that has one, so these cases also show that
# the unit test is made first.
@pytest.mark.parametrize("unit", ["m", "rad", "s^-1", "rad^2", "kg-m/s^2", "deg"])
@pytest.mark.parametrize("name", UNITLESS_ONLY)
def test_functions_of_unitless_values_reject_other_units_before_looking_at_the_value(name, unit):
    raises_tq(Telquant(-5.0, unit), name, DIMENSION_MESSAGE[name])


@pytest.mark.parametrize("unit", ["", "rad^2", "rad/s", "rad-m", "rad^-1", "m", "rad^3/rad^3"])
@pytest.mark.parametrize("name", ANGLE_ONLY)
def test_trigonometric_functions_accept_only_a_single_power_of_radian(name, unit):
    raises_tq(Telquant(0.0, unit), name, DIMENSION_MESSAGE[name])


@pytest.mark.parametrize(
    "name, value, unit",
    [("sqrt", v, u) for v in (-1e-300, -5e-324, -1.0, -INF) for u in ("", "m^2", "s", "rad")]
    + [(n, v, "") for n in ("ln", "log2", "log10") for v in (0.0, -0.0, -5e-324, -1.0, -INF)]
    + [(n, v, "") for n in ("asin", "acos") for v in (ABOVE_ONE, -ABOVE_ONE, 2.0, -2.0, INF, -INF, 1e300)],
)
def test_values_outside_the_domain_raise_the_domain_message(name, value, unit):
    raises_tq(Telquant(value, unit), name, DOMAIN_MESSAGE[name])


@pytest.mark.parametrize(
    "name, value, unit, expected, expected_exps",
    [
        ("sqrt", 4.0, "m^2", 2.0, exps(m=1)),
        ("sqrt", 2.0, "m", math.sqrt(2.0), exps(m=0.5)),
        ("sqrt", 8.0, "m^3", math.sqrt(8.0), exps(m=1.5)),
        ("sqrt", 9.0, "s^-2", 3.0, exps(s=-1)),
        ("sqrt", -0.0, "s^2", 0.0, exps(s=1)),
        ("sqrt", 0.0, "", 0.0, UNITLESS),
        ("sqrt", INF, "", INF, UNITLESS),
        ("sqrt", NAN, "kg", NAN, exps(kg=0.5)),
        ("sqrt", 4.0, "rad^2", 2.0, RAD),
        ("sqrt", 5e-324, "", math.sqrt(5e-324), UNITLESS),
        ("ln", 1.0, "", 0.0, UNITLESS),
        ("ln", math.e, "", math.log(math.e), UNITLESS),
        ("ln", 5e-324, "", math.log(5e-324), UNITLESS),
        ("ln", INF, "", INF, UNITLESS),
        ("ln", NAN, "", NAN, UNITLESS),
        ("log2", 8.0, "", 3.0, UNITLESS),
        ("log2", 0.5, "", -1.0, UNITLESS),
        ("log2", INF, "", INF, UNITLESS),
        ("log2", NAN, "", NAN, UNITLESS),
        ("log10", 1000.0, "", 3.0, UNITLESS),
        ("log10", INF, "", INF, UNITLESS),
        ("log10", NAN, "", NAN, UNITLESS),
        ("sin", 0.0, "rad", 0.0, UNITLESS),
        ("sin", -0.0, "rad", -0.0, UNITLESS),
        ("sin", 90.0, "deg", 1.0, UNITLESS),
        ("sin", INF, "rad", NAN, UNITLESS),
        ("sin", NAN, "rad", NAN, UNITLESS),
        ("cos", 0.0, "rad", 1.0, UNITLESS),
        ("cos", 2.0, "rad", math.cos(2.0), UNITLESS),
        ("cos", -INF, "rad", NAN, UNITLESS),
        ("tan", 0.0, "rad", 0.0, UNITLESS),
        ("tan", 1.0, "rad", math.tan(1.0), UNITLESS),
        ("tan", INF, "rad", NAN, UNITLESS),
        ("asin", 1.0, "", math.pi / 2, RAD),
        ("asin", -1.0, "", -math.pi / 2, RAD),
        ("asin", -0.0, "", -0.0, RAD),
        ("asin", NAN, "", NAN, RAD),
        ("acos", -1.0, "", math.pi, RAD),
        ("acos", 1.0, "", 0.0, RAD),
        ("acos", 0.5, "", math.acos(0.5), RAD),
        ("acos", NAN, "", NAN, RAD),
        ("atan", 1.0, "", math.atan(1.0), RAD),
        ("atan", 1e300, "", math.pi / 2, RAD),
        ("atan", INF, "", math.pi / 2, RAD),
        ("atan", -INF, "", -math.pi / 2, RAD),
        ("atan", NAN, "", NAN, RAD),
    ],
)
def test_results_carry_the_exact_value_and_units(name, value, unit, expected, expected_exps):
    result = call(Telquant(value, unit), name)
    assert type(result) is Telquant
    assert same(result.value(), expected), result.value()
    assert result.base_units() == expected_exps


def test_a_unitless_half_has_an_arccosine_in_radians_but_no_cosine():
    half = Telquant(0.5, "")
    raises_tq(half, "cos", "cos requires an angle quantity")
    angle = half.acos()
    assert angle.base_units() == RAD and angle.value() == math.acos(0.5)


def test_results_render_in_base_units():
    assert str(Telquant(1.0, "").ln()) == "0 (unitless)"
    assert str(Telquant(4.0, "m^2").sqrt()) == "2 m"
    assert str(Telquant(90.0, "deg").sin()) == "1 (unitless)"


@pytest.mark.parametrize("name", METHODS[1:])
def test_a_nan_exponent_fails_the_unit_test_of_every_function_but_sqrt(name):
    q = Telquant(1.0, "") ** NAN
    assert q.value() == 1.0 and all(math.isnan(e) for e in q.base_units())
    raises_tq(q, name, DIMENSION_MESSAGE[name])


def test_sqrt_keeps_nan_exponents():
    root = call(Telquant(1.0, "") ** NAN, "sqrt")
    assert root.value() == 1.0
    assert all(math.isnan(e) for e in root.base_units())


def test_negative_zero_exponents_count_as_zero_in_both_unit_tests():
    unitless = Telquant(1.0, "") ** -1
    angle = Telquant(2.0, "rad^-1") ** -1
    assert all(math.copysign(1.0, e) < 0 for e in unitless.base_units())
    assert angle.base_units() == RAD and math.copysign(1.0, angle.base_units()[0]) < 0
    assert unitless.ln().value() == 0.0
    assert unitless.asin().value() == math.pi / 2
    assert angle.sin().value() == math.sin(0.5)


def test_fractional_exponents_from_sqrt_feed_the_unit_tests():
    raises_tq(Telquant(2.0, "m").sqrt(), "ln", "ln requires a unitless quantity")
    raises_tq(Telquant(2.0, "rad").sqrt(), "sin", "sin requires an angle quantity")
    assert Telquant(16.0, "m^4").sqrt().sqrt().base_units() == exps(m=1)
    assert Telquant(4.0, "rad^2").sqrt().cos().value() == math.cos(2.0)
    assert Telquant(4.0, "m^2/m^2").sqrt().log2().value() == 1.0


powers = st.lists(st.integers(-7, 7), min_size=8, max_size=8)


@given(powers, st.floats(min_value=0.0, allow_nan=False))
def test_sqrt_halves_every_exponent_and_is_the_exact_root(ps, v):
    q = Telquant(v, unit_text(ps))
    root = call(q, "sqrt")
    assert type(root) is Telquant
    assert root.base_units() == tuple(0.5 * p for p in ps)
    assert same(root.value(), math.sqrt(v))
    assert (root ** 2).base_units() == q.base_units()
    assert root.is_unitless() == q.is_unitless()


@given(powers, st.floats(max_value=-5e-324))
def test_sqrt_of_any_negative_value_is_refused_whatever_the_units(ps, v):
    raises_tq(Telquant(v, unit_text(ps)), "sqrt", "sqrt of negative value")


@pytest.mark.parametrize("name, ref", [("ln", math.log), ("log2", math.log2), ("log10", math.log10)])
@given(v=st.floats())
def test_logarithms_match_the_math_library_and_refuse_values_not_above_zero(name, ref, v):
    q = Telquant(v, "")
    if v > 0.0 or math.isnan(v):
        result = call(q, name)
        assert result.base_units() == UNITLESS
        assert same(result.value(), ref(v))
    else:
        raises_tq(q, name, DOMAIN_MESSAGE[name])


@pytest.mark.parametrize("name, ref", [("asin", math.asin), ("acos", math.acos), ("atan", math.atan)])
@given(v=st.floats())
def test_inverse_functions_give_radians_matching_the_math_library(name, ref, v):
    q = Telquant(v, "")
    if name == "atan" or not abs(v) > 1.0:
        result = call(q, name)
        assert type(result) is Telquant
        assert result.base_units() == RAD
        assert same(result.value(), ref(v))
    else:
        raises_tq(q, name, DOMAIN_MESSAGE[name])


@pytest.mark.parametrize("name, ref", [("sin", math.sin), ("cos", math.cos), ("tan", math.tan)])
@given(v=st.floats(allow_infinity=False))
def test_trigonometric_functions_of_radians_match_the_math_library(name, ref, v):
    result = call(Telquant(v, "rad"), name)
    assert type(result) is Telquant
    assert result.base_units() == UNITLESS
    assert same(result.value(), ref(v))


@pytest.mark.parametrize("name", METHODS)
def test_methods_take_no_arguments(name):
    q = Telquant(0.5, "")
    pattern = r"^(Telquant\.)?%s\(\) takes no arguments \(%d given\)$"
    with pytest.raises(TypeError, match=pattern % (name, 1)):
        getattr(q, name)(1)
    with pytest.raises(TypeError, match=pattern % (name, 2)):
        getattr(q, name)(1, 2)
    with pytest.raises(TypeError, match=r"^(Telquant\.)?%s\(\) takes no keyword arguments$" % name):
        getattr(q, name)(x=1)
    with pytest.raises(TypeError, match="descriptor '%s'" % name):
        getattr(Telquant, name)(0.5)


DOCS = {
    "sqrt": ("Square root.", "The square root", "If the operation fails"),
    "ln": ("Natural logarithm (requires unitless value).", "The natural logarithm (unitless)",
           "If the value is not unitless"),
    "log2": ("Base-2 logarithm (requires unitless value).", "The base-2 logarithm (unitless)",
             "If the value is not unitless"),
    "log10": ("Base-10 logarithm (requires unitless value).", "The base-10 logarithm (unitless)",
              "If the value is not unitless"),
    "sin": ("Sine (requires angle).", "The sine (unitless)", "If the value is not an angle"),
    "cos": ("Cosine (requires angle).", "The cosine (unitless)", "If the value is not an angle"),
    "tan": ("Tangent (requires angle).", "The tangent (unitless)", "If the value is not an angle"),
    "asin": ("Arcsine (requires unitless value in [-1, 1]).", "The arcsine as an angle in radians",
             "If the value is not unitless or outside [-1, 1]"),
    "acos": ("Arccosine (requires unitless value in [-1, 1]).", "The arccosine as an angle in radians",
             "If the value is not unitless or outside [-1, 1]"),
    "atan": ("Arctangent (requires unitless value).", "The arctangent as an angle in radians",
             "If the value is not unitless"),
}


def test_sqrt_docstring_reads_exactly():
    assert Telquant.sqrt.__doc__ == (
        "Square root.\n\nReturns:\n    TQ: The square root\n\nRaises:\n    TQError: If the operation fails"
    )


@pytest.mark.parametrize("name", METHODS)
def test_method_docstrings_and_signatures(name):
    summary, returns, raises = DOCS[name]
    expected = "%s\n\nReturns:\n    TQ: %s\n\nRaises:\n    TQError: %s" % (summary, returns, raises)
    method = getattr(Telquant, name)
    assert method.__name__ == name
    assert method.__doc__ == expected
    assert method.__text_signature__ == "($self)"
    assert str(inspect.signature(method)) == "(self, /)"
    bound = getattr(Telquant(1.0, ""), name)
    assert bound.__doc__ == expected
    assert str(inspect.signature(bound)) == "()"
