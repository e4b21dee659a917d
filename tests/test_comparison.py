"""The six comparisons on Telquant: exact IEEE values, matched units, no hash."""

import math
import operator
from decimal import Decimal
from fractions import Fraction

import pytest

from tq_pyo3 import Telquant as T
from tq_pyo3 import TQError

NAN = math.nan
INF = math.inf
INCOMPATIBLE = "Cannot compare values with incompatible units"
ORDERINGS = (operator.lt, operator.le, operator.gt, operator.ge)

U = T(1, "m") / T(1, "m")  # unitless 1
NAN_EXP = T(1, "m") ** NAN


def snapshot(*qs):
    return [repr((q.value(), q.base_units())) for q in qs]


# expected: "<", "=", ">" for the order of the values, or None when no order exists
CASES = [
    ("equal lengths", T(2, "m"), T(2, "m"), "="),
    ("shorter", T(2, "m"), T(3, "m"), "<"),
    ("longer", T(3, "m"), T(2, "m"), ">"),
    ("km against m", T(1, "km"), T(1000, "m"), "="),
    ("negative zero against zero", T(-0.0, "m"), T(0.0, "m"), "="),
    ("infinity against the largest finite", T(INF, "m"), T(1.7976931348623157e308, "m"), ">"),
    ("minus against plus infinity", T(-INF, "s"), T(INF, "s"), "<"),
    ("m against s", T(2, "m"), T(2, "s"), None),
    ("m against m^2", T(2, "m"), T(2, "m^2"), None),
    ("NaN against NaN", T(NAN, "m"), T(NAN, "m"), None),
    ("NaN against 2", T(NAN, "m"), T(2, "m"), None),
    ("2 against NaN", T(2, "m"), T(NAN, "m"), None),
    ("NaN exponents", NAN_EXP, T(1, "m") ** NAN, None),
    ("angle against unitless", T(1, "rad"), U, "="),
    ("unitless against angle", U, T(1, "rad"), None),
    ("angle against smaller unitless", T(1, "rad"), T(0.5, ""), ">"),
    ("unitless against larger angle", T(0.5, ""), T(1, "rad"), None),
    ("angle against rad^2", T(1, "rad"), T(1, "rad^2"), "="),
    ("rad^2 against angle", T(1, "rad^2"), T(1, "rad"), None),
    ("computed angle against unitless", T(1, "rad^2") ** 0.5, U, "="),
    ("m-rad against m", T(1, "m-rad"), T(2, "m"), "<"),
    ("m against m-rad", T(2, "m"), T(1, "m-rad"), None),
    ("negative zero exponents match zero", T(2, "m") ** -1, T(0.5, "/m"), "="),
    ("m^(0.1+0.2) against m^0.3", T(1, "m") ** 0.1 * T(1, "m") ** 0.2, T(1, "m") ** 0.3, None),
]


@pytest.mark.parametrize("label, a, b, order", CASES, ids=[c[0] for c in CASES])
def test_comparisons_follow_the_value_order_when_units_match_and_refuse_ordering_otherwise(label, a, b, order):
    before = snapshot(a, b)
    assert (a == b) is (order == "=")
    assert (a != b) is (order != "=")
    if order is None:
        for compare in ORDERINGS:
            with pytest.raises(TQError) as info:
                compare(a, b)
            assert type(info.value) is TQError
            assert info.value.args == (INCOMPATIBLE,)
    else:
        assert (a < b) is (order == "<")
        assert (a <= b) is (order in "<=")
        assert (a > b) is (order == ">")
        assert (a >= b) is (order in ">=")
    assert snapshot(a, b) == before


def test_a_nan_quantity_is_unequal_to_itself():
    n = T(NAN, "m")
    assert (n == n) is False
    assert (n != n) is True
    with pytest.raises(TQError, match=f"^{INCOMPATIBLE}$"):
        n < n  # noqa: B015


@pytest.mark.parametrize(
    "other", [2, 2.0, True, None, "2 m", [2], Fraction(2), Decimal(2), object()], ids=repr
)
@pytest.mark.parametrize("q", [T(2, "m"), T(2, "")], ids=["2 m", "unitless 2"])
def test_a_quantity_never_equals_a_non_quantity_and_cannot_be_ordered_against_one(q, other):
    assert (q == other) is False
    assert (other == q) is False
    assert (q != other) is True
    assert (other != q) is True
    for compare in ORDERINGS:
        with pytest.raises(TypeError, match="^'[<>]=?' not supported between instances of "):
            compare(q, other)
        with pytest.raises(TypeError, match="^'[<>]=?' not supported between instances of "):
            compare(other, q)


@pytest.mark.parametrize("compare", (operator.eq, operator.ne) + ORDERINGS)
def test_comparison_results_are_plain_bools(compare):
    assert type(compare(T(1, "m"), T(2, "m"))) is bool


def test_quantities_are_unhashable():
    assert T.__hash__ is None
    with pytest.raises(TypeError, match="unhashable type"):
        hash(T(1, "m"))
    with pytest.raises(TypeError, match="unhashable type"):
        {T(1, "m")}  # noqa: B018


def test_sorting_and_membership_use_the_comparisons():
    qs = [T(3, "m"), T(1, "km"), T(-2, "m")]
    assert [q.value() for q in sorted(qs)] == [-2.0, 3.0, 1000.0]
    assert max(qs).value() == 1000.0
    assert T(1, "m") < T(2, "m") < T(3, "m")
    assert T(1000, "m") in qs
    assert T(3, "s") not in qs
    with pytest.raises(TQError, match=f"^{INCOMPATIBLE}$"):
        sorted([T(1, "m"), T(1, "s")])
