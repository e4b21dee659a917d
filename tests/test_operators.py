"""Arithmetic operators on Telquant: +, -, *, /, **, pow(), unary minus and abs()."""

import math
import operator
import struct
from decimal import Decimal
from fractions import Fraction

import pytest

from tq_pyo3 import Telquant as T
from tq_pyo3 import TQError

INF = math.inf
NAN = math.nan
SYMBOLS = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")


def dims(**exps):
    return tuple(float(exps.get(s, 0)) for s in SYMBOLS)


def key(x):
    """The bit pattern of a float (so -0.0 differs from 0.0), with all NaNs alike."""
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def rec(q):
    return key(q.value()), q.base_units()


def assert_record(q, value, base_units):
    assert type(q) is T
    assert key(q.value()) == key(value), (q.value(), value)
    assert q.base_units() == base_units


class FloatLike:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x

    def __repr__(self):
        return f"FloatLike({self.x!r})"


class IndexLike:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

    def __repr__(self):
        return f"IndexLike({self.n!r})"


class IndexAndFloat(IndexLike):
    def __float__(self):
        return 0.5


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


class ReflectedOnly:
    """Offers the reflected operators; the forward Telquant slot answers first and refuses."""

    def __rmul__(self, other):
        return "reflected"

    def __rtruediv__(self, other):
        return "reflected"


class MyInt(int):
    pass


class MyFloat(float):
    pass


Q = T(2, "m")
S = T(1, "s")
R = T(1, "rad")
U = T(1, "m") / T(1, "m")
NAN_EXP = T(1, "m") ** NAN

MUL_TQ = "Cannot multiply TQ with this type"
MUL_OTHER = "Cannot multiply this type with TQ"
DIV_TQ = "Cannot divide TQ by this type"
DIV_OTHER = "Cannot divide this type by TQ"
EXPONENT = "Exponent must be int or float"
ADD = "Incompatible units for addition"
SUB = "Incompatible units for subtraction"

OWN_ERRORS = [
    ("2 m + 1 s", lambda: Q + S, TQError, ADD),
    ("2 m - 1 s", lambda: Q - S, TQError, SUB),
    ("unitless + angle", lambda: U + R, TQError, ADD),
    ("unitless - angle", lambda: U - R, TQError, SUB),
    ("rad^2 + rad", lambda: T(2, "rad^2") + R, TQError, ADD),
    ("m + m-rad", lambda: T(1, "m") + T(1, "m-rad"), TQError, ADD),
    ("rad + m", lambda: R + T(1, "m"), TQError, ADD),
    ("NaN exponent + itself", lambda: NAN_EXP + NAN_EXP, TQError, ADD),
    ("NaN exponent - itself", lambda: NAN_EXP - NAN_EXP, TQError, SUB),
    ("m^(0.1+0.2) + m^0.3", lambda: T(1, "m") ** 0.1 * T(1, "m") ** 0.2 + T(1, "m") ** 0.3, TQError, ADD),
    ("q * str", lambda: Q * "ab", TypeError, MUL_TQ),
    ("q * list", lambda: Q * [1], TypeError, MUL_TQ),
    ("q * None", lambda: Q * None, TypeError, MUL_TQ),
    ("q * complex", lambda: Q * 1j, TypeError, MUL_TQ),
    ("q * object", lambda: Q * object(), TypeError, MUL_TQ),
    ("q * huge int", lambda: Q * 10**400, TypeError, MUL_TQ),
    ("q * failing __float__", lambda: Q * BadFloat(), TypeError, MUL_TQ),
    ("q * object with __rmul__", lambda: Q * ReflectedOnly(), TypeError, MUL_TQ),
    ("str * q", lambda: "ab" * Q, TypeError, MUL_OTHER),
    ("list * q", lambda: [1] * Q, TypeError, MUL_OTHER),
    ("tuple * q", lambda: (1,) * Q, TypeError, MUL_OTHER),
    ("bytes * q", lambda: b"x" * Q, TypeError, MUL_OTHER),
    ("None * q", lambda: None * Q, TypeError, MUL_OTHER),
    ("complex * q", lambda: 1j * Q, TypeError, MUL_OTHER),
    ("huge int * q", lambda: 10**400 * Q, TypeError, MUL_OTHER),
    ("failing __float__ * q", lambda: BadFloat() * Q, TypeError, MUL_OTHER),
    ("q / str", lambda: Q / "ab", TypeError, DIV_TQ),
    ("q / list", lambda: Q / [1], TypeError, DIV_TQ),
    ("q / None", lambda: Q / None, TypeError, DIV_TQ),
    ("q / complex", lambda: Q / 1j, TypeError, DIV_TQ),
    ("q / huge int", lambda: Q / 10**400, TypeError, DIV_TQ),
    ("q / failing __float__", lambda: Q / BadFloat(), TypeError, DIV_TQ),
    ("q / object with __rtruediv__", lambda: Q / ReflectedOnly(), TypeError, DIV_TQ),
    ("str / q", lambda: "ab" / Q, TypeError, DIV_OTHER),
    ("list / q", lambda: [1] / Q, TypeError, DIV_OTHER),
    ("None / q", lambda: None / Q, TypeError, DIV_OTHER),
    ("complex / q", lambda: 1j / Q, TypeError, DIV_OTHER),
    ("huge int / q", lambda: 10**400 / Q, TypeError, DIV_OTHER),
    ("q ** q", lambda: Q**Q, TypeError, EXPONENT),
    ("q ** str", lambda: Q ** "2", TypeError, EXPONENT),
    ("q ** None", lambda: Q**None, TypeError, EXPONENT),
    ("q ** list", lambda: Q ** [2], TypeError, EXPONENT),
    ("q ** complex", lambda: Q**1j, TypeError, EXPONENT),
    ("q ** 10**400", lambda: Q ** (10**400), TypeError, EXPONENT),
    ("q ** -10**400", lambda: Q ** -(10**400), TypeError, EXPONENT),
    ("q ** huge __index__", lambda: Q ** IndexLike(10**400), TypeError, EXPONENT),
    ("q ** failing __float__", lambda: Q ** BadFloat(), TypeError, EXPONENT),
    ("pow(q, str, 5)", lambda: pow(Q, "2", 5), TypeError, EXPONENT),
    ("pow(q, q, 5)", lambda: pow(Q, Q, 5), TypeError, EXPONENT),
]


@pytest.mark.parametrize("label, action, exc_type, text", OWN_ERRORS, ids=[r[0] for r in OWN_ERRORS])
def test_refused_operations_raise_the_exact_exception_and_text_and_leave_operands_alone(
    label, action, exc_type, text
):
    before = [rec(x) for x in (Q, S, R, U)]
    with pytest.raises(exc_type) as info:
        action()
    assert type(info.value) is exc_type
    assert info.value.args == (text,)
    # the failed conversion's exception is replaced, not chained
    assert info.value.__cause__ is None
    assert info.value.__context__ is None
    assert [rec(x) for x in (Q, S, R, U)] == before


# the type's name carries its module (so that __module__ is "tq_pyo3"), and the interpreter's
# messages use that name
NAME = "tq_pyo3.Telquant"
UNSUPPORTED = r"^unsupported operand type\(s\) for "
INTERPRETER_ERRORS = [
    ("q + 1", lambda: Q + 1, UNSUPPORTED + r"\+: '{N}' and 'int'$"),
    ("1 + q", lambda: 1 + Q, UNSUPPORTED + r"\+: 'int' and '{N}'$"),
    ("q + Fraction", lambda: Q + Fraction(1, 2), UNSUPPORTED + r"\+: '{N}' and 'Fraction'$"),
    ("Decimal + q", lambda: Decimal(1) + Q, UNSUPPORTED + r"\+: 'decimal.Decimal' and '{N}'$"),
    ("q + __float__ object", lambda: Q + FloatLike(1.0), UNSUPPORTED + r"\+: '{N}' and 'FloatLike'$"),
    ("q + str", lambda: Q + "m", UNSUPPORTED + r"\+: '{N}' and 'str'$"),
    ("str + q", lambda: "m" + Q, r'^can only concatenate str \(not "{N}"\) to str$'),
    ("q - 1", lambda: Q - 1, UNSUPPORTED + r"-: '{N}' and 'int'$"),
    ("1.5 - q", lambda: 1.5 - Q, UNSUPPORTED + r"-: 'float' and '{N}'$"),
    ("2 ** q", lambda: 2**Q, UNSUPPORTED + r"\*\* or pow\(\): 'int' and '{N}'$"),
    ("Decimal ** q", lambda: Decimal(2) ** Q, UNSUPPORTED + r"\*\* or pow\(\): 'decimal.Decimal' and '{N}'$"),
    # Fraction hands over to float first on older interpreters
    ("Fraction ** q", lambda: Fraction(2) ** Q, UNSUPPORTED + r"\*\* or pow\(\): '(float|Fraction)' and '{N}'$"),
    # Python 3.8 and 3.9 name only "pow()" here
    ("pow(2, q, 5)", lambda: pow(2, Q, 5), UNSUPPORTED + r"(\*\* or )?pow\(\): 'int', '{N}', 'int'$"),
    ("+q", lambda: +Q, r"^bad operand type for unary \+: '{N}'$"),
    ("q // q", lambda: Q // Q, UNSUPPORTED + r"//: '{N}' and '{N}'$"),
    ("q % q", lambda: Q % Q, UNSUPPORTED + r"%: '{N}' and '{N}'$"),
    ("divmod(q, q)", lambda: divmod(Q, Q), UNSUPPORTED + r"divmod\(\): '{N}' and '{N}'$"),
]


@pytest.mark.parametrize(
    "label, action, pattern", INTERPRETER_ERRORS, ids=[r[0] for r in INTERPRETER_ERRORS]
)
def test_operands_the_slots_decline_get_the_interpreters_own_type_error(label, action, pattern):
    with pytest.raises(TypeError, match=pattern.replace("{N}", NAME)) as info:
        action()
    assert type(info.value) is TypeError


@pytest.mark.parametrize(
    "result, value, base_units",
    [
        (lambda: T(2, "m") + T(3, "m"), 5.0, dims(m=1)),
        (lambda: T(2, "m") - T(3, "m"), -1.0, dims(m=1)),
        (lambda: T(5, "m") - T(5, "m"), 0.0, dims(m=1)),
        (lambda: T(1, "km") + T(1, "m"), 1001.0, dims(m=1)),
        (lambda: T(2, "kg-m/s^2") + T(1, "kg-m/s^2"), 3.0, dims(kg=1, m=1, s=-2)),
        (lambda: R + U, 2.0, dims(rad=1)),
        (lambda: R - U, 0.0, dims(rad=1)),
        (lambda: R + T(2, "rad^2"), 3.0, dims(rad=1)),
        (lambda: T(1, "m-rad") + T(2, "m"), 3.0, dims(m=1, rad=1)),
        (lambda: T(0.5, "m") ** -1 + T(1, "/m"), 3.0, dims(m=-1)),
        (lambda: T(NAN, "m") + T(1, "m"), NAN, dims(m=1)),
        (lambda: T(INF, "m") - T(INF, "m"), NAN, dims(m=1)),
        (lambda: T(2, "m") * T(3, "s"), 6.0, dims(m=1, s=1)),
        (lambda: T(2, "m") * T(3, "m^-1"), 6.0, dims()),
        (lambda: R * R, 1.0, dims(rad=2)),
        (lambda: T(6, "m") / T(2, "s"), 3.0, dims(m=1, s=-1)),
        (lambda: T(6, "m") / T(2, "m"), 3.0, dims()),
        (lambda: T(2, "m") / 0, INF, dims(m=1)),
        (lambda: T(-2, "m") / 0.0, -INF, dims(m=1)),
        (lambda: T(2, "m") / -0.0, -INF, dims(m=1)),
        (lambda: T(0, "m") / 0, NAN, dims(m=1)),
        (lambda: T(2, "m") / FloatLike(0.0), INF, dims(m=1)),
        (lambda: T(2, "m") / T(0, "s"), INF, dims(m=1, s=-1)),
        (lambda: T(0, "m") / T(0, "s"), NAN, dims(m=1, s=-1)),
        (lambda: 1 / T(2, "s"), 0.5, dims(s=-1)),
        (lambda: 1 / T(0, "m"), INF, dims(m=-1)),
        (lambda: -1 / T(-0.0, "m"), INF, dims(m=-1)),
        (lambda: 0 / T(0, "m"), NAN, dims(m=-1)),
        (lambda: -T(2, "m"), -2.0, dims(m=1)),
        (lambda: abs(-T(2, "m")), 2.0, dims(m=1)),
        (lambda: abs(T(-3, "s")), 3.0, dims(s=1)),
        (lambda: -T(INF, "m"), -INF, dims(m=1)),
        (lambda: abs(T(-INF, "m")), INF, dims(m=1)),
    ],
)
def test_arithmetic_between_quantities_follows_ieee_rules_and_combines_exponents(result, value, base_units):
    assert_record(result(), value, base_units)


@pytest.mark.parametrize(
    "result, value",
    [
        (lambda: -T(0, "m"), -0.0),
        (lambda: -T(-0.0, "m"), 0.0),
        (lambda: abs(T(-0.0, "m")), 0.0),
        (lambda: T(-0.0, "m") + T(-0.0, "m"), -0.0),
        (lambda: T(0.0, "m") - T(0.0, "m"), 0.0),
        (lambda: T(-0.0, "m") - T(0.0, "m"), -0.0),
        (lambda: T(-0.0, "m") * 3, -0.0),
        (lambda: 3 * T(-0.0, "m"), -0.0),
        (lambda: T(0, "m") * -1, -0.0),
        (lambda: T(0, "m") / -2, -0.0),
        (lambda: -0.0 / T(2, "m"), -0.0),
        (lambda: T(-0.0, "m") ** 0.5, 0.0),
        (lambda: T(-0.0, "m") ** 3, -0.0),
        (lambda: T(-0.0, "m") ** -1, -INF),
    ],
)
def test_negative_zero_keeps_its_sign_through_ieee_arithmetic(result, value):
    assert key(result().value()) == key(value)


def test_negation_flips_and_abs_clears_the_sign_bit_of_a_nan_value():
    n = T(NAN, "m")
    sign = math.copysign(1.0, n.value())
    assert math.copysign(1.0, (-n).value()) == -sign
    assert math.copysign(1.0, abs(-n).value()) == 1.0
    assert math.copysign(1.0, abs(n).value()) == 1.0


NUMBERS = [3, 3.0, -1, True, 2**60, Fraction(1, 2), Decimal("1.5"), FloatLike(2.5), FloatLike(-1.0),
           IndexLike(4), IndexLike(-1), MyInt(5), MyFloat(0.25), INF, NAN]


@pytest.mark.parametrize("x", NUMBERS, ids=repr)
def test_a_plain_number_on_either_side_scales_the_value_and_keeps_the_units(x):
    q = T(2, "m")
    f = float(x)
    assert_record(q * x, f * 2.0, dims(m=1))
    assert_record(x * q, f * 2.0, dims(m=1))
    assert_record(q / x, 2.0 / f, dims(m=1))
    assert_record(x / q, f / 2.0, dims(m=-1))


def test_false_is_the_number_zero_on_either_side():
    assert_record(Q * False, 0.0, dims(m=1))
    assert_record(False * Q, 0.0, dims(m=1))
    assert_record(Q / False, INF, dims(m=1))
    assert_record(False / Q, 0.0, dims(m=-1))


def test_a_number_divided_by_a_quantity_forms_exponents_as_zero_minus_each_exponent():
    # zero exponents become +0.0, never -0.0
    r = 1 / T(2, "s")
    assert [math.copysign(1.0, e) for e in r.base_units()] == [1.0, 1.0, -1.0, 1.0, 1.0, 1.0, 1.0, 1.0]
    r = 1 / T(2, "m") ** -1  # the -0.0 exponents of the divisor give +0.0 as well
    assert_record(r, 2.0, dims(m=1))
    assert all(math.copysign(1.0, e) == 1.0 for e in r.base_units())


def test_raising_to_a_negative_power_leaves_negative_zero_exponents_as_ieee_products_give_them():
    r = T(4, "m^2") ** -1
    assert_record(r, 0.25, dims(m=-2))
    assert [math.copysign(1.0, e) for e in r.base_units()[1:]] == [-1.0] * 7


@pytest.mark.parametrize(
    "base, exponent, value, base_units",
    [
        (T(2, "m"), 2, 4.0, dims(m=2)),
        (T(2, "m"), 2.0, 4.0, dims(m=2)),
        (T(2, "m/s"), 3, 8.0, dims(m=3, s=-3)),
        (T(2, "m"), True, 2.0, dims(m=1)),
        (T(2, "m"), False, 1.0, dims()),
        (T(NAN, "m"), 0, 1.0, dims()),
        (T(2, "m"), -1, 0.5, dims(m=-1)),
        (T(-2, "m"), 3, -8.0, dims(m=3)),
        (T(4, "m^2"), 0.5, 2.0, dims(m=1)),
        (T(-4, "m^2"), 0.5, NAN, dims(m=1)),
        (T(1, "m"), 0.5, 1.0, dims(m=0.5)),
        (T(0, "m"), -1, INF, dims(m=-1)),
        (T(0, "m"), -0.5, INF, dims(m=-0.5)),
        (T(4, "m^2"), Fraction(1, 2), 2.0, dims(m=1)),
        (T(4, "m^2"), Decimal("0.5"), 2.0, dims(m=1)),
        (T(4, "m^2"), FloatLike(0.5), 2.0, dims(m=1)),
        (T(2, "m"), IndexLike(3), 8.0, dims(m=3)),
        (T(2, "m"), IndexLike(-2), 0.25, dims(m=-2)),
        (T(2, "m"), MyInt(3), 8.0, dims(m=3)),
        (T(2, "m"), IndexAndFloat(3), 8.0, dims(m=3)),  # __index__ is asked first
        (T(2, "m"), 2**40, INF, dims(m=2.0**40)),
        (T(1, "m"), 2**40, 1.0, dims(m=2.0**40)),
        (T(1, "m"), IndexLike(2**40), 1.0, dims(m=2.0**40)),
        (T(1, "m"), 2**31 - 1, 1.0, dims(m=2.0**31 - 1)),
        (T(2, "m"), -(2**31), 0.0, dims(m=-(2.0**31))),
        (T(-8, "m^3"), 1 / 3, NAN, dims(m=3 * (1 / 3))),
    ],
    ids=repr,
)
def test_powers_take_int_and_float_exponents_and_scale_every_exponent(base, exponent, value, base_units):
    assert_record(base**exponent, value, base_units)
    assert_record(pow(base, exponent), value, base_units)


def test_a_nan_exponent_gives_nan_unit_exponents():
    z = T(1, "m") ** NAN
    assert z.value() == 1.0  # pow(1, NaN) is 1
    assert all(math.isnan(e) for e in z.base_units())
    assert not z.is_unitless()
    assert math.isnan((T(2, "m") ** NAN).value())
    assert all(math.isnan(e) for e in (z * T(2, "s")).base_units())


def test_exponents_are_not_snapped_to_nearby_values():
    assert (T(1, "m") ** 0.1 * T(1, "m") ** 0.2).base_units()[0] == 0.1 + 0.2 != 0.3


@pytest.mark.parametrize("modulo", [5, 0, -3, 1.5, None, "x", T(1, "s")], ids=repr)
@pytest.mark.parametrize("exponent", [2, 2.0, -1, 0.5, True])
def test_three_argument_pow_ignores_the_modulo(exponent, modulo):
    q = T(4, "m^2")
    assert rec(pow(q, exponent, modulo)) == rec(q**exponent)


def test_a_factor_is_read_through_float_while_an_exponent_is_read_through_index_first():
    obj = IndexAndFloat(3)
    assert_record(Q * obj, 1.0, dims(m=1))
    assert_record(Q**obj, 8.0, dims(m=3))


OPERATIONS = {
    "a + b": lambda a, b: a + b,
    "a - b": lambda a, b: a - b,
    "a * b": lambda a, b: a * b,
    "a / b": lambda a, b: a / b,
    "a * 1": lambda a, b: a * 1,
    "1 * a": lambda a, b: 1 * a,
    "a / 1": lambda a, b: a / 1,
    "3 / a": lambda a, b: 3 / a,
    "a ** 1": lambda a, b: a**1,
    "a ** 0.5": lambda a, b: a**0.5,
    "pow(a, 2, 5)": lambda a, b: pow(a, 2, 5),
    "-a": lambda a, b: -a,
    "abs(a)": lambda a, b: abs(a),
}


@pytest.mark.parametrize("operation", list(OPERATIONS.values()), ids=list(OPERATIONS))
def test_every_result_is_a_new_plain_telquant_and_the_operands_stay_unchanged(operation):
    a, b = T(2, "m"), T(3, "m")
    before = rec(a), rec(b)
    r = operation(a, b)
    assert type(r) is T
    assert r is not a and r is not b
    assert (rec(a), rec(b)) == before


@pytest.mark.parametrize(
    "augmented, other, value, base_units",
    [
        (operator.iadd, T(1, "m"), 3.0, dims(m=1)),
        (operator.isub, T(1, "m"), 1.0, dims(m=1)),
        (operator.imul, 3, 6.0, dims(m=1)),
        (operator.imul, T(3, "s"), 6.0, dims(m=1, s=1)),
        (operator.itruediv, 4, 0.5, dims(m=1)),
        (operator.ipow, 2, 4.0, dims(m=2)),
    ],
)
def test_augmented_assignment_binds_a_new_object_and_leaves_the_old_one_alone(augmented, other, value, base_units):
    q = T(2, "m")
    alias = q
    q = augmented(q, other)
    assert q is not alias
    assert_record(q, value, base_units)
    assert_record(alias, 2.0, dims(m=1))


def test_numpy_scalars_work_as_plain_numbers_on_the_right():
    np = pytest.importorskip("numpy")
    assert_record(Q * np.float64(3), 6.0, dims(m=1))
    assert_record(Q / np.int64(2), 1.0, dims(m=1))
    assert_record(Q * np.float32(0.5), 1.0, dims(m=1))
    assert_record(Q ** np.int64(3), 8.0, dims(m=3))
    assert_record(T(4, "m^2") ** np.float64(0.5), 2.0, dims(m=1))


def test_numpy_scalars_on_the_left_also_give_a_telquant():
    # NumPy's scalar operators step aside for an unknown operand, so the reflected slot answers
    np = pytest.importorskip("numpy")
    assert_record(np.float64(3) * Q, 6.0, dims(m=1))
    assert_record(np.int64(3) * Q, 6.0, dims(m=1))
    assert_record(np.float64(3) / Q, 1.5, dims(m=-1))
    assert_record(np.int64(2) / Q, 1.0, dims(m=-1))


def test_a_numpy_array_is_no_plain_number():
    np = pytest.importorskip("numpy")
    with pytest.raises(TypeError) as info:
        Q * np.array([1.0, 2.0])
    assert info.value.args == (MUL_TQ,)
