"""Algebraic rules of Telquant arithmetic that hold for many inputs."""

import math
import operator
import struct

from hypothesis import example, given
from hypothesis import strategies as st

from tq_pyo3 import Telquant as T
from tq_pyo3 import TQError

SYMBOLS = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")


def unit_text(exps):
    """Base units carry the factor 1, so the record keeps the value bit for bit."""
    return "-".join(f"{s}^{e}" for s, e in zip(SYMBOLS, exps) if e)


def key(x):
    """Bit pattern of a float; NaNs are told apart only by their sign."""
    return ("nan", math.copysign(1.0, x)) if math.isnan(x) else struct.pack("<d", x)


def loose(x):
    """Like key, with every NaN alike."""
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def record(q, k=loose):
    assert type(q) is T
    return k(q.value()), tuple(k(e) for e in q.base_units())


int_exps = st.tuples(*[st.integers(-4, 4)] * 8)
any_floats = st.floats()
finite = st.floats(allow_nan=False, allow_infinity=False)


@st.composite
def quantities(draw, values=any_floats):
    """Whole exponents from a unit text, and sometimes a fractional, infinite or NaN m exponent."""
    q = T(draw(values), unit_text(draw(int_exps)))
    if draw(st.booleans()):
        q = q * T(1.0, "m") ** draw(any_floats)  # pow(1, p) is 1 for every p, so the value stays
    return q


numbers = st.one_of(
    any_floats,
    st.integers(-(2**70), 2**70),
    st.booleans(),
    st.fractions(),
    st.decimals(allow_nan=False),
)


@given(quantities(), numbers)
def test_a_number_scales_a_quantity_the_same_from_either_side(q, x):
    expected = loose(float(x) * q.value()), record(q)[1]
    assert record(q * x) == record(x * q) == expected


@given(quantities(), numbers)
def test_dividing_by_a_number_keeps_the_exponents_bit_for_bit(q, x):
    r = q / x
    assert record(r)[1] == record(q)[1]
    if float(x) != 0:
        assert loose(r.value()) == loose(q.value() / float(x))


@given(quantities(values=finite.filter(bool)), finite)
def test_a_number_divided_by_a_quantity_negates_the_exponents_from_plus_zero(q, x):
    r = x / q
    assert loose(r.value()) == loose(x / q.value())
    # a zero exponent gives +0.0 (never -0.0), whatever the sign of the zero it came from
    assert [loose(e) for e in r.base_units()] == [loose(0.0 - e) for e in q.base_units()]


@given(quantities())
def test_double_negation_restores_the_record_bit_for_bit(q):
    assert record(-(-q), key) == record(q, key)
    assert key((-q).value()) == key(-q.value())
    assert record(-q, key)[1] == record(q, key)[1]


@given(quantities())
def test_abs_clears_only_the_sign_bit(q):
    assert key(abs(q).value()) == key(math.fabs(q.value()))
    assert record(abs(-q), key) == record(abs(q), key)
    assert record(abs(q), key)[1] == record(q, key)[1]


@given(quantities(), quantities())
def test_products_and_quotients_add_and_subtract_the_exponents(a, b):
    ea, eb = a.base_units(), b.base_units()
    product, quotient = a * b, a / b
    assert record(product)[1] == tuple(loose(x + y) for x, y in zip(ea, eb))
    assert record(quotient)[1] == tuple(loose(x - y) for x, y in zip(ea, eb))
    assert loose(product.value()) == loose(a.value() * b.value())


@given(quantities(), st.integers(-40, 40))
def test_an_int_power_and_the_same_float_power_give_the_same_record(q, n):
    r = q**n
    assert record(r) == record(q ** float(n))
    assert record(r)[1] == tuple(loose(e * n) for e in q.base_units())
    try:
        expected = math.pow(q.value(), n)  # the C library's pow, where it neither overflows nor fails
    except (OverflowError, ValueError):
        return
    assert loose(r.value()) == loose(expected)


@st.composite
def exponent_pairs(draw):
    """A left exponent vector (often an angle) and a right one equal to it, or differing in rad or elsewhere."""
    left = list(draw(st.tuples(*[st.integers(-2, 2)] * 7, st.sampled_from([0, 1, 1, 2]))))
    right = list(left)
    change = draw(st.sampled_from(["none", "rad", "other"]))
    if change == "rad":
        right[7] = draw(st.sampled_from([0, 1, 2]))
    elif change == "other":
        right[draw(st.integers(0, 6))] = draw(st.integers(-2, 2))
    return tuple(left), tuple(right)


def compatible(left, right):
    return left[:7] == right[:7] if left[7] == 1 else left == right


@given(exponent_pairs(), finite, finite)
@example(((0,) * 8, (0,) * 7 + (1,)), 1.0, 1.0)  # unitless, then an angle
@example(((0,) * 7 + (1,), (0,) * 8), 1.0, 1.0)  # an angle, then unitless
def test_sums_differences_and_comparisons_accept_exactly_the_compatible_units(pair, va, vb):
    left, right = pair
    a, b = T(va, unit_text(left)), T(vb, unit_text(right))
    if compatible(left, right):
        assert record(a + b) == (loose(va + vb), record(a)[1])
        assert record(a - b) == (loose(va - vb), record(a)[1])
        assert (a == b) is (va == vb)
        assert (a < b) is (va < vb)
    else:
        for op, text in ((operator.add, "addition"), (operator.sub, "subtraction")):
            try:
                op(a, b)
            except TQError as e:
                assert e.args == (f"Incompatible units for {text}",)
            else:
                raise AssertionError(f"{left} {text} {right} did not fail")
        assert (a == b) is False
        assert (a != b) is True
        try:
            a <= b  # noqa: B015
        except TQError as e:
            assert e.args == ("Cannot compare values with incompatible units",)
        else:
            raise AssertionError(f"{left} <= {right} did not fail")


value_pairs = finite.flatmap(lambda v: st.tuples(st.just(v), st.sampled_from([v, -v, 0.0, -0.0]) | finite))


@given(int_exps, value_pairs)
def test_ordering_is_consistent_with_equality_for_compatible_finite_values(exps, values):
    va, vb = values
    a, b = T(va, unit_text(exps)), T(vb, unit_text(exps))
    lt, eq, gt = a < b, a == b, a > b
    assert [lt, eq, gt].count(True) == 1
    assert (lt, eq, gt) == (va < vb, va == vb, va > vb)
    assert (a <= b) is (lt or eq)
    assert (a >= b) is (gt or eq)
    assert (a != b) is (not eq)
    assert (b > a) is lt
    assert (b == a) is eq
