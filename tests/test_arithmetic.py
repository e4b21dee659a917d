"""Operators and comparisons: IEEE arithmetic on the value, exponents combined, units matched exactly."""

import math
import operator
import re
import struct
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import example, given, strategies as st

from tq_pyo3 import Telquant as T
from tqtest import (
    ABOVE_ONE,
    ADD,
    DIV,
    INF,
    MUL,
    NAN,
    ORDER,
    SUB,
    ieee,
    Idx,
    IdxFloat,
    Num,
    bits,
    fails,
    made,
    rec,
    vec,
    want,
)

R, U, N = T(1, "rad"), T(1, "m") / T(1, "m"), T(NAN, "m")
NAN_EXP = T(1, "m") ** NAN
ORDERINGS = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge}
INCOMPATIBLE = "Cannot compare values with incompatible units"
SNAN, QSNAN = (struct.unpack("<d", struct.pack("<Q", n))[0] for n in (0x7FF4000000000001, 0x7FFC000000000001))
SPACE = dict(
    T=T, R=R, U=U, NAN=NAN, SNAN=SNAN, INF=INF, Num=Num, Idx=Idx, IdxFloat=IdxFloat, Fraction=Fraction, Decimal=Decimal
)

# a, b; whether a's units accept b's (in +, - and comparisons); the order of the values, or None for none
PAIRS = [
    ("2 m, 2 m", T(2, "m"), T(2, "m"), True, "="),
    ("1 km, 1000 m", T(1, "km"), T(1000, "m"), True, "="),
    ("2 m, 3 m", T(2, "m"), T(3, "m"), True, "<"),
    ("3 m, 2 m", T(3, "m"), T(2, "m"), True, ">"),
    ("-0 m, 0 m", T(-0.0, "m"), T(0.0, "m"), True, "="),
    ("-inf, inf", T(-INF, "s"), T(INF, "s"), True, "<"),
    ("inf, max", T(INF, "m"), T(1.7976931348623157e308, "m"), True, ">"),
    ("NaN, itself", N, N, True, None),
    ("NaN, 2", T(NAN, "m"), T(2, "m"), True, None),
    ("2, NaN", T(2, "m"), T(NAN, "m"), True, None),
    ("m, s", T(2, "m"), T(2, "s"), False, None),
    ("m, m^2", T(2, "m"), T(2, "m^2"), False, None),
    ("NaN exponents, itself", NAN_EXP, NAN_EXP, False, None),
    ("angle, unitless", R, U, True, "="),
    ("unitless, angle", U, R, False, None),
    ("angle, smaller unitless", R, T(0.5, ""), True, ">"),
    ("angle, rad^2", R, T(1, "rad^2"), True, "="),
    ("rad^2, angle", T(2, "rad^2"), R, False, None),
    ("sqrt of rad^2, unitless", T(1, "rad^2") ** 0.5, U, True, "="),
    ("m-rad, m", T(1, "m-rad"), T(2, "m"), True, "<"),
    ("m, m-rad", T(2, "m"), T(1, "m-rad"), False, None),
    ("rad, m", R, T(1, "m"), False, None),
    ("-0 exponents, 0", T(2, "m") ** -1, T(0.5, "/m"), True, "="),
    ("m^(0.1+0.2), m^0.3", T(1, "m") ** 0.1 * T(1, "m") ** 0.2, T(1, "m") ** 0.3, False, None),
    ("1, one ulp above", T(1, "m"), T(ABOVE_ONE, "m"), True, "<"),
    ("one ulp above, 1", T(ABOVE_ONE, "m"), T(1, "m"), True, ">"),
    ("0, smallest subnormal", T(0.0, "s"), T(5e-324, "s"), True, "<"),
    ("max, one ulp below", T(1.7976931348623157e308, "m"), T(1.7976931348623155e308, "m"), True, ">"),
]


@pytest.mark.parametrize("label, a, b, compatible, order", PAIRS, ids=[p[0] for p in PAIRS])
def test_sums_differences_and_comparisons_need_units_the_left_operand_accepts(label, a, b, compatible, order):
    before = rec(a), rec(b)
    if compatible:
        x, y = a.value(), b.value()
        assert rec(a + b) == (bits(made(ieee(ADD, x, y), x, y)),) + rec(a)[1:]
        assert rec(a - b) == (bits(made(ieee(SUB, x, y), x, y)),) + rec(a)[1:]
    else:
        assert fails(lambda: a + b).args == ("Incompatible units for addition",)
        assert fails(lambda: a - b).args == ("Incompatible units for subtraction",)
    assert (a == b) is (order == "=") and (a != b) is (order != "=")
    for symbol, compare in ORDERINGS.items():
        if order is None:
            assert fails(lambda: compare(a, b)).args == (INCOMPATIBLE,)
        else:
            assert compare(a, b) is (order in symbol)
    assert (rec(a), rec(b)) == before


@pytest.mark.parametrize("other", [2, 2.0, True, None, "2 m", [2], Fraction(2), Decimal(2)], ids=repr)
def test_a_quantity_never_equals_a_non_quantity_and_cannot_be_ordered_against_one(other):
    for q in (T(2, "m"), T(2, "")):
        assert (q == other, other == q, q != other, other != q) == (False, False, True, True)
        for compare in ORDERINGS.values():
            for a, b in ((q, other), (other, q)):
                with pytest.raises(TypeError, match="^'[<>]=?' not supported between instances of "):
                    compare(a, b)


# The interpreter's own messages name the type by its dotted name ({N}); {U} is "unsupported operand type(s) for ".
@pytest.mark.parametrize(
    "expression, pattern",
    [
        ("q + 1", r"{U}\+: '{N}' and 'int'"),
        ("1 + q", r"{U}\+: 'int' and '{N}'"),
        ("q + Fraction(1, 2)", r"{U}\+: '{N}' and 'Fraction'"),
        ("Decimal(1) + q", r"{U}\+: 'decimal.Decimal' and '{N}'"),
        ("q + Num(1.0)", r"{U}\+: '{N}' and 'Num'"),
        ("q - 1", "{U}-: '{N}' and 'int'"),
        ("1.5 - q", "{U}-: 'float' and '{N}'"),
        ("2 ** q", r"{U}\*\* or pow\(\): 'int' and '{N}'"),
        ("Fraction(2) ** q", r"{U}\*\* or pow\(\): '(float|Fraction)' and '{N}'"),  # older Fractions go via float
        ("pow(2, q, 5)", r"{U}(\*\* or )?pow\(\): 'int', '{N}', 'int'"),  # Python 3.8 and 3.9 name only "pow()"
        ("q // q", "{U}//: '{N}' and '{N}'"),
        ("q % q", "{U}%: '{N}' and '{N}'"),
        ("divmod(q, q)", r"{U}divmod\(\): '{N}' and '{N}'"),
        ("+q", r"bad operand type for unary \+: '{N}'"),
        ("'m' + q", r'can only concatenate str \(not "{N}"\) to str'),
    ],
)
def test_operands_the_slots_decline_get_the_interpreters_own_type_error(expression, pattern):
    text = str(fails(lambda: eval(expression, dict(SPACE, q=T(2, "m"))), TypeError))
    pattern = pattern.replace("{U}", r"unsupported operand type\(s\) for ").replace("{N}", "tq_pyo3.Telquant")
    assert re.match(pattern + r"\Z", text), text


@pytest.mark.parametrize(
    "expression, value, exponents",
    [
        ("T(2, 'm') * T(3, 's')", 6.0, vec(m=1, s=1)),
        ("T(2, 'm') * T(3, 'm^-1')", 6.0, vec()),
        ("R * R", 1.0, vec(rad=2)),
        ("T(6, 'm') / T(2, 'm')", 3.0, vec()),
        ("T(-2, 'm') / 0.0", -INF, vec(m=1)),
        ("T(2, 'm') / -0.0", -INF, vec(m=1)),
        ("T(0, 'm') / 0", NAN, vec(m=1)),
        ("T(2, 'm') / Num(0.0)", INF, vec(m=1)),
        ("1 / T(2, 's')", 0.5, vec(s=-1)),
        ("T(2, 'm') / T(0, 's')", INF, vec(m=1, s=-1)),
        ("T(0, 'm') / T(0, 's')", NAN, vec(m=1, s=-1)),
        ("-1 / T(-0.0, 'm')", INF, vec(m=-1)),
        ("0 / T(0, 'm')", NAN, vec(m=-1)),
        ("-0.0 / T(2, 'm')", -0.0, vec(m=-1)),
        ("1 / T(2, 'm') ** -1", 2.0, vec(m=1)),  # exponents 0.0 - e: never -0.0, also from the -0.0 of the divisor
        ("-T(2, 'm')", -2.0, vec(m=1)),
        ("-T(0, 'm')", -0.0, vec(m=1)),
        ("-T(-0.0, 'm')", 0.0, vec(m=1)),
        ("abs(T(-0.0, 'm'))", 0.0, vec(m=1)),
        ("T(1, 'km') + T(1, 'm')", 1001.0, vec(m=1)),
        ("T(-0.0, 'm') + T(-0.0, 'm')", -0.0, vec(m=1)),
        ("T(-0.0, 'm') - T(0.0, 'm')", -0.0, vec(m=1)),
        ("T(NAN, 'm') + T(1, 'm')", NAN, vec(m=1)),
        ("T(INF, 'm') - T(INF, 'm')", NAN, vec(m=1)),
        ("T(-INF, 'm') * 0", NAN, vec(m=1)),
        ("T(1, 'km^200-nm^200')", NAN, vec(m=400)),  # made: the positive NaN
        ("T(-NAN, 'm') * 2", -NAN, vec(m=1)),
        ("-T(NAN, 'm')", -NAN, vec(m=1)),  # a NaN operand keeps its sign,
        ("T(SNAN, 'm') * T(NAN, 's')", QSNAN, vec(m=1, s=1)),
        ("T(-NAN, 'm') + T(NAN, 'm')", -NAN, vec(m=1)),  # the left
        ("2 / T(SNAN, 'm')", QSNAN, vec(m=-1)),  # one, quieted
        ("T(1, 'm') ** INF", 1.0, vec(NAN, m=INF)),
        ("3 * T(-0.0, 'm')", -0.0, vec(m=1)),
        ("T(0, 'm') * -1", -0.0, vec(m=1)),
        ("T(0, 'm') / -2", -0.0, vec(m=1)),
        ("T(2, 'm/s') ** 3", 8.0, vec(m=3, s=-3)),
        ("T(2, 'm') ** True", 2.0, vec(m=1)),
        ("T(2, 'm') ** False", 1.0, vec()),
        ("T(NAN, 'm') ** 0", 1.0, vec()),
        ("T(2, 'm') ** -1", 0.5, vec(-0.0, m=-1)),
        ("T(-2, 'm') ** 3", -8.0, vec(m=3)),
        ("T(-4, 'm^2') ** 0.5", NAN, vec(m=1)),
        ("T(0, 'm') ** -0.5", INF, vec(-0.0, m=-0.5)),
        ("T(4, 'm^2') ** Fraction(1, 2)", 2.0, vec(m=1)),
        ("T(4, 'm^2') ** Num(0.5)", 2.0, vec(m=1)),
        ("T(2, 'm') ** Idx(-2)", 0.25, vec(-0.0, m=-2)),
        ("T(2, 'm') ** IdxFloat(3)", 8.0, vec(m=3)),
        ("T(2, 'm') * IdxFloat(3)", 1.0, vec(m=1)),  # ** asks __index__ first
        ("T(2, 'm') ** 2 ** 40", INF, vec(m=2.0**40)),
        ("T(1, 'm') ** Idx(2 ** 40)", 1.0, vec(m=2.0**40)),
        ("T(1, 'm') ** IdxFloat(2 ** 31 - 1)", 1.0, vec(m=2.0**31 - 1)),
        ("T(4, 'm') ** IdxFloat(2**31)", 2.0, vec(m=0.5)),
        (
            "T(2, 'm') ** IdxFloat(-2 ** 31)",
            0.0,
            vec(-0.0, m=-(2.0**31)),
        ),  # __index__ in the 32-bit range, else __float__
        ("T(4, 'm') ** IdxFloat(-2 ** 31 - 1)", 2.0, vec(m=0.5)),
        ("T(-8, 'm^3') ** (1 / 3)", NAN, vec(m=3 * (1 / 3))),
        ("T(-0.0, 'm') ** 0.5", 0.0, vec(m=0.5)),
        ("T(-0.0, 'm') ** 3", -0.0, vec(m=3)),
        ("T(-0.0, 'm') ** -1", -INF, vec(-0.0, m=-1)),
        ("T(1, 'm') ** NAN", 1.0, (NAN,) * 8),
        ("T(2, 'm') ** NAN", NAN, (NAN,) * 8),
        ("T(1, 'm') ** NAN * T(2, 's')", 2.0, (NAN,) * 8),
        ("T(1, 'm') ** 0.1 * T(1, 'm') ** 0.2", 1.0, vec(m=0.1 + 0.2)),
    ],
)
def test_arithmetic_follows_ieee_rules_and_combines_exponents_exactly(expression, value, exponents):
    assert rec(eval(expression, SPACE)) == want(value, exponents)


@pytest.mark.parametrize("modulo", [5, 0, -3, 1.5, None, "x", T(1, "s")], ids=repr)
def test_three_argument_pow_ignores_the_modulo(modulo):
    q = T(4, "m^2")
    for exponent in (2, -1, 0.5, True):
        assert rec(pow(q, exponent, modulo)) == rec(q**exponent)
    for exponent in ("2", q, None, [2], 1j, Idx(10**400)):
        assert fails(lambda: pow(q, exponent, modulo), TypeError).args == ("Exponent must be int or float",)


def test_results_are_new_plain_telquants_and_operands_never_change():
    a, b = T(2, "m"), T(3, "m")
    before = rec(a), rec(b)
    results = [a + b, a - b, a * b, a / b, a * 1, 1 * a, a / 1, 3 / a, a**1, a**0.5, pow(a, 2, 5), -a, abs(a)]
    results += [
        operator.iadd(a, b),
        operator.isub(a, b),
        operator.imul(a, 3),
        operator.itruediv(a, b),
        operator.ipow(a, 2),
    ]  # no in-place slots: augmented assignment binds a new object
    assert all(type(r) is T and r is not a and r is not b for r in results)
    assert (rec(a), rec(b)) == before


def test_numpy_scalars_work_as_numbers_on_either_side():
    np = pytest.importorskip("numpy")
    q = T(2, "m")
    assert [rec(r) for r in (q * np.float64(3), q / np.int64(2), q * np.float32(0.5), q ** np.int64(3))] == [
        want(6.0, vec(m=1)),
        want(1.0, vec(m=1)),
        want(1.0, vec(m=1)),
        want(8.0, vec(m=3)),
    ]
    # NumPy's scalar operators step aside for an unknown operand, so the reflected slot answers with a Telquant.
    assert [rec(r) for r in (np.float64(3) * q, np.int64(3) * q, np.float64(3) / q, np.int64(2) / q)] == [
        want(6.0, vec(m=1)),
        want(6.0, vec(m=1)),
        want(1.5, vec(m=-1)),
        want(1.0, vec(m=-1)),
    ]
    assert fails(lambda: q * np.array([1.0, 2.0]), TypeError).args == ("Cannot multiply TQ with this type",)


# ---- properties --------------------------------------------------------------------------------------------------


def unit_text(exps):
    return "-".join("%s^%d" % (s, e) for s, e in zip(ORDER, exps) if e)


def raw(q):  # the record bit for bit, NaN payload and sign included
    return tuple(struct.pack("<d", x) for x in (q.value(),) + q.base_units())


int_exps = st.tuples(*[st.integers(-4, 4)] * 8)
finite = st.floats(allow_nan=False, allow_infinity=False)
numbers = st.floats() | st.integers(-(2**70), 2**70) | st.booleans() | st.fractions() | st.decimals(allow_nan=False)


@st.composite
def quantities(draw, values=st.floats()):  # whole exponents, and sometimes a fractional, infinite or NaN m exponent
    q = T(draw(values), unit_text(draw(int_exps)))
    return q * T(1.0, "m") ** draw(st.floats()) if draw(st.booleans()) else q  # pow(1, p) is 1 for every p


@given(quantities(), numbers)
def test_a_number_scales_a_quantity_from_either_side_divides_it_and_divides_by_it(q, x):
    f = float(x)
    v = q.value()
    assert rec(q * x) == rec(x * q) == (bits(made(ieee(MUL, f, v), f, v)),) + rec(q)[1:]
    assert rec(q / x)[1:] == rec(q)[1:] and (f == 0 or rec(q / x)[0] == bits(made(ieee(DIV, v, f), v, f)))
    # x / q: the exponents are 0.0 - e, so a zero exponent gives +0.0 whatever the sign of the zero it came from
    assert rec(x / q)[1:] == want(0, [0.0 - e for e in q.base_units()])[1:]
    assert v == 0 or rec(x / q)[0] == bits(made(ieee(DIV, f, v), f, v))


@given(quantities())
def test_negation_and_abs_change_only_the_sign_bit(q):
    assert raw(-(-q)) == raw(q)
    assert raw(-q) == tuple(struct.pack("<d", x) for x in (-q.value(),) + q.base_units())
    assert raw(abs(q)) == raw(abs(-q)) == tuple(struct.pack("<d", x) for x in (math.fabs(q.value()),) + q.base_units())


@given(quantities(), quantities())
@example(T(-NAN, "m") ** -NAN, T(SNAN, "s") ** SNAN)  # NaN everywhere on both sides, of other bits: the left passes on
def test_products_and_quotients_add_and_subtract_the_exponents(a, b):
    ea, eb = a.base_units(), b.base_units()
    va, vb = a.value(), b.value()
    assert rec(a * b) == want(made(ieee(MUL, va, vb), va, vb), [made(ieee(ADD, x, y), x, y) for x, y in zip(ea, eb)])
    assert rec(a / b)[1:] == want(0, [made(ieee(SUB, x, y), x, y) for x, y in zip(ea, eb)])[1:]


@given(quantities(), st.integers(-40, 40))
def test_an_int_power_and_the_same_float_power_give_the_same_record(q, n):
    assert rec(q**n) == rec(q ** float(n))
    assert rec(q**n)[1:] == want(0, [made(ieee(MUL, e, float(n)), e) for e in q.base_units()])[1:]
    try:
        expected = math.pow(q.value(), n)  # the C library's pow, where it neither overflows nor fails
    except (OverflowError, ValueError):
        return
    assert rec(q**n)[0] == bits(expected)


@st.composite
def operand_pairs(draw):
    """Units equal, or differing in rad or elsewhere (the left one often an angle); values often equal or opposite."""
    left = list(draw(st.tuples(*[st.integers(-2, 2)] * 7, st.sampled_from([0, 1, 1, 2]))))
    right = list(left)
    change = draw(st.sampled_from(["none", "rad", "other"]))
    if change == "rad":
        right[7] = draw(st.sampled_from([0, 1, 2]))
    elif change == "other":
        right[draw(st.integers(0, 6))] = draw(st.integers(-2, 2))
    va = draw(finite)
    return left, right, va, draw(st.sampled_from([va, -va, 0.0, -0.0]) | finite)


@given(operand_pairs())
@example(((0,) * 8, (0,) * 7 + (1,), 1.0, 1.0))  # unitless, then an angle
@example(((0,) * 7 + (1,), (0,) * 8, 1.0, 1.0))  # an angle, then unitless
def test_the_left_operand_accepts_equal_units_and_an_angle_any_rad_exponent_and_orders_consistently(case):
    left, right, va, vb = case
    a, b = T(va, unit_text(left)), T(vb, unit_text(right))
    if left[:7] == right[:7] and (left[7] == 1 or left[7] == right[7]):
        assert rec(a + b) == (bits(va + vb),) + rec(a)[1:]
        assert rec(a - b) == (bits(va - vb),) + rec(a)[1:]
        lt, eq, gt = a < b, a == b, a > b
        assert (lt, eq, gt) == (va < vb, va == vb, va > vb) and [lt, eq, gt].count(True) == 1
        assert (a <= b, a >= b, a != b) == (lt or eq, gt or eq, not eq)
    else:
        assert fails(lambda: a + b).args == ("Incompatible units for addition",)
        assert fails(lambda: a - b).args == ("Incompatible units for subtraction",)
        assert (a == b, a != b) == (False, True)
        assert fails(lambda: a <= b).args == (INCOMPATIBLE,)
