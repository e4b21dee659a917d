"""str() and repr(): the documented examples with their literal texts, and records a random stream is unlikely to
hold, each held against the model (tests/model.py)."""

import math

import model
import pytest
from hypothesis import given
from hypothesis import strategies as st
from model import Record, telquant_of
from tqtest import agrees

NAN, INF, I32 = math.nan, math.inf, 2**31 - 1

# fmt: off
# value, non-zero exponents, the text str() gives; repr() is "Telquant(<value>, '<unit text>')"
EXAMPLES = [
    (9.81, {"m": 1, "s": -2}, "9.81 m/s^2"), (1, {"m": 1, "kg": 1, "s": -2}, "1 m*kg/s^2"),
    (230, {"m": 2, "kg": 1, "s": -3, "A": -1}, "230 m^2*kg/s^3*A"), (50, {"s": -1}, "50 1/s"),
    (0.5, {}, "0.5 (unitless)"), (1000, {"m": 1}, "1000 m"), (6.5, {"rad": 1, "s": -1}, "6.5 rad/s"),
    (2, {"m": 0.5}, "2 m^0.5"), (2, {"m": -1.5}, "2 1/m^1.5"), (0.25, {"mol": 1, "m": -3}, "0.25 mol/m^3"),
    (-0.0, {"K": 1}, "-0 K"), (NAN, {}, "NaN (unitless)"), (INF, {}, "inf (unitless)"),
    (1e-7, {}, "0.0000001 (unitless)"), (1e16, {}, "10000000000000000 (unitless)"), (-2.5, {}, "-2.5 (unitless)"),
    (5e-324, {}, "0." + "0" * 323 + "5 (unitless)"),
    (1, {"m": 1 / 3}, "1 m^0." + "3" * 16), (1, {"m": 1e10}, "1 m^2147483647"), (1, {"m": -INF}, "1 1/m^2147483647"),
    (1, {"m": NAN}, "1 1/m^NaN"), (1, {"m": -0.0}, "1 (unitless)"),
]
VALUES = [0.0, -0.0, NAN, -NAN, INF, -INF, 5e-324, 2.225073858507201e-308, 1.7976931348623157e308, 1e21, 1e22, 1e-5,
          0.1, 0.5, 2.0**53, 2.0**53 + 2, 123456.789, 1 / 3, 9.4e-323, -1.5e-5, 100.0, 0.001]
EXPONENTS = [0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 0.5, 1 / 3, I32, I32 + 1.0, -I32 - 1.0, 2.0**63, 1e300, INF, -INF, NAN,
             -NAN, 5e-324, -9.4e-323, 2.225073858507201e-308, 1.0000000000000002, 2147483646.5]
# fmt: on


def record(value, exponents):
    return Record(value, [exponents.get(s, 0.0) for s in model.ORDER])


@pytest.mark.parametrize("value, exponents, text", EXAMPLES)
def test_documented_examples_read_exactly(value, exponents, text):
    q = telquant_of(record(value, exponents))
    assert (str(q), repr(q)) == (text, "Telquant(%s, '%s')" % tuple(text.split(" ")))


@pytest.mark.parametrize("value", VALUES + [v for v, *_ in EXAMPLES], ids=repr)
def test_every_value_reads_as_the_model_writes_it(value):
    for exponents in ({}, {"m": 1}, {"s": -1}):
        q = telquant_of(record(value, exponents))
        agrees(model.expect_method("str", q), lambda: str(q))
        agrees(model.expect_method("repr", q), lambda: repr(q))


@pytest.mark.parametrize("e", EXPONENTS, ids=repr)
def test_every_exponent_in_every_place_reads_as_the_model_writes_it(e):
    for symbol in model.ORDER:
        for other in ({}, {"m": 1.0}, {"rad": -2.0}, {s: e for s in model.ORDER}):
            q = telquant_of(record(-5e-324, {**other, symbol: e}))
            agrees(model.expect_method("str", q), lambda: str(q))


@given(st.floats(), st.lists(st.floats(), min_size=8, max_size=8))
def test_any_record_reads_as_the_model_writes_it_and_its_value_reads_back(value, exponents):
    q = telquant_of(Record(value, exponents))
    agrees(model.expect_method("repr", q), lambda: repr(q))
    text = str(q).split(" ")[0]
    assert math.isnan(value) if text == "NaN" else float(text) == value and "e" not in text
