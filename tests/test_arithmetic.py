"""Operators and comparisons: the documented examples with their literal results, the operand pairs and numbers a
random stream is unlikely to draw held against the model in every operator, and what the interpreter says where the
slots step aside."""

import math
import operator
import re
from decimal import Decimal
from fractions import Fraction

import model
import programs
import pytest
from hypothesis import given
from hypothesis import strategies as st
from model import Record, telquant_of
from tq_pyo3 import Telquant as T
from tq_pyo3 import TQError
from tqtest import agrees, fails

NAN, INF, MAX = math.nan, math.inf, 1.7976931348623157e308
R, U = T(1, "rad"), T(1, "m") / T(1, "m")
SPACE = dict(T=T, Fraction=Fraction, Decimal=Decimal, Num=programs.Num, q=T(2, "m"))
OPERATORS = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "**": operator.pow}

# fmt: off
# the documented examples: an expression, and the record's value and non-zero exponents or the TQError's text
EXAMPLES = [
    ("R + T(2, '')", 3.0, {"rad": 1}), ("T(2, '') + R", "Incompatible units for addition"),
    ("T(1, 'm') - T(1, 's')", "Incompatible units for subtraction"), ("T(5, 'm') - T(5, 'm')", 0.0, {"m": 1}),
    ("1 / T(2, 's')", 0.5, {"s": -1}), ("T(2, 'm') ** 3", 8.0, {"m": 3}), ("T(4, 'm^2') ** -1", 0.25, {"m": -2}),
    ("T(4, 'm^2') ** 0.5", 2.0, {"m": 1}), ("-T(0, 'm')", -0.0, {"m": 1}), ("abs(T(-3, 's'))", 3.0, {"s": 1}),
    ("T(2, 'm') ** 2 ** 40", INF, {"m": 2.0**40}), ("pow(T(2, 'm'), 2, 5)", 4.0, {"m": 2}),
    ("T(2, 'm') / 0", INF, {"m": 1}), ("T(2, 'm') * Fraction(1, 2)", 1.0, {"m": 1}),
    ("T(1, 'm') < T(1, 's')", "Cannot compare values with incompatible units"),
    ("T(NAN, 'm') < T(2, 'm')", "Cannot compare values with incompatible units"),
]
VALUES = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 1.0000000000000002, 5e-324, -5e-324, MAX, -MAX, INF, -INF, NAN, -NAN,
          model.from_bits(0x7FF4000000000001), model.from_bits(0xFFF8DEAD00000000), 1e308, 1e-308, 3.0]
DIMS = [{}, {"m": 1}, {"s": -2}, {"rad": 1}, {"rad": 2}, {"rad": 1, "m": 1}, {"m": -0.0}, {"cd": 1e-13}, {"rad": NAN},
        {"mol": NAN}, {"m": 0.1 + 0.2}, {"m": 0.3}, {"K": INF}, {"A": 5e-324}]
NUMBERS = [0, 2, -1, 2**31 - 1, 2**31, -(2**31), 2**40, 2**63, 10**400, True, False, 0.5, -0.0, NAN, INF,
           Fraction(1, 3), Decimal("0.1"), programs.Idx(2, 0.5), programs.Idx(2**31, 0.5),
           programs.Idx(-(2**31) - 1, 0.25),
           programs.Num(1.5), programs.Num(ValueError), programs.Num(KeyboardInterrupt), programs.Num(MemoryError),
           programs.Idx(KeyboardInterrupt), "2", None, [2], 1j, b"2"]
# fmt: on


@pytest.mark.parametrize("expression, expected", [(e[0], e[1:]) for e in EXAMPLES], ids=[e[0] for e in EXAMPLES])
def test_documented_examples(expression, expected):
    call = lambda: eval(expression, dict(SPACE, R=R, NAN=NAN))  # noqa: E731
    if isinstance(expected[0], str):
        agrees(model.Raise(TQError, expected[0], (expected[0],)), call)
    else:
        q = call()
        assert q.value() == expected[0] or (math.isnan(expected[0]) and math.isnan(q.value()))
        assert q.base_units() == tuple(float(expected[1].get(s, 0)) for s in model.ORDER)


def quantity(value, dims):
    return telquant_of(Record(value, [dims.get(s, 0.0) for s in model.ORDER]))


@pytest.mark.parametrize("dims", DIMS, ids=repr)
def test_every_operator_and_comparison_on_pairs_of_edge_values_as_the_model_says(dims):
    for left in DIMS:
        for va, vb in zip(VALUES, VALUES[3:] + VALUES[:3]):
            a, b = quantity(va, left), quantity(vb, dims)
            for sym, op in OPERATORS.items():
                agrees(model.expect_binary(sym, a, b), lambda: op(a, b))
            for code, op in enumerate(programs.COMPARE):
                agrees(model.expect_compare(code, a, b), lambda: op(a, b))


@pytest.mark.parametrize("x", NUMBERS, ids=repr)
def test_numbers_on_either_side_of_every_operator_as_the_model_says(x):
    for q in (quantity(2.0, {"m": 1}), quantity(-0.0, {}), quantity(NAN, {"s": -1})):
        for sym, op in OPERATORS.items():
            for a, b in ((q, x), (x, q)):
                expected = programs.through_interpreter(model.expect_binary(sym, a, b), op, (a, b))
                agrees(expected, lambda: op(a, b))
        agrees(model.expect_binary("**", q, x), lambda: pow(q, x, x))  # the modulo is never read


# The interpreter's own messages name the type by its dotted name ({N}); {U} is "unsupported operand type(s) for ".
@pytest.mark.parametrize("expression, pattern", [
    ("q + 1", r"{U}\+: '{N}' and 'int'"), ("1 + q", r"{U}\+: 'int' and '{N}'"), ("1.5 - q", "{U}-: 'float' and '{N}'"),
    ("Decimal(1) + q", r"{U}\+: 'decimal.Decimal' and '{N}'"), ("2 ** q", r"{U}\*\* or pow\(\): 'int' and '{N}'"),
    ("pow(2, q, 5)", r"{U}(\*\* or )?pow\(\): 'int', '{N}', 'int'"),  # Python 3.8 and 3.9 name only "pow()"
    ("q // q", "{U}//: '{N}' and '{N}'"), ("divmod(q, q)", r"{U}divmod\(\): '{N}' and '{N}'"),
    ("+q", r"bad operand type for unary \+: '{N}'"), ("'m' + q", r'can only concatenate str \(not "{N}"\) to str'),
    ("q < 3", "'<' not supported between instances of '{N}' and 'int'"), ("hash(q)", "unhashable type: '{N}'"),
])  # fmt: skip
def test_operands_the_slots_decline_get_the_interpreters_own_type_error(expression, pattern):
    text = str(fails(lambda: eval(expression, SPACE), TypeError))
    pattern = pattern.replace("{U}", r"unsupported operand type\(s\) for ").replace("{N}", "tq_pyo3.Telquant")
    assert re.match(pattern + r"\Z", text), text


def test_numpy_scalars_work_as_numbers_on_either_side():
    np = pytest.importorskip("numpy")
    q = T(2, "m")
    for x in (np.float64(3), np.int64(2), np.float32(0.5)):
        for op in (operator.mul, operator.truediv):  # NumPy's operators step aside for an unknown operand
            agrees(model.expect_binary("*" if op is operator.mul else "/", q, x), lambda: op(q, x))
            agrees(model.expect_binary("*" if op is operator.mul else "/", x, q), lambda: op(x, q))
    assert fails(lambda: q * np.array([1.0, 2.0]), TypeError).args == ("Cannot multiply TQ with this type",)


exponents = st.lists(st.floats() | st.sampled_from([0.0, 1.0, -1.0, 2.0]), min_size=8, max_size=8)


@given(st.floats(), exponents, st.floats(), exponents)
def test_any_two_records_in_every_operator_as_the_model_says(va, ea, vb, eb):
    a, b = telquant_of(Record(va, ea)), telquant_of(Record(vb, eb))
    for sym, op in OPERATORS.items():
        agrees(model.expect_binary(sym, a, b), lambda: op(a, b))
    for code, op in enumerate(programs.COMPARE):
        agrees(model.expect_compare(code, a, b), lambda: op(a, b))
