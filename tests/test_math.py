"""The ten math methods and the module functions asin, acos and atan: the documented examples with their literal
results, and every method on the values and units at the edges of its tests, held against the model."""

import math

import model
import pytest
import tq_pyo3
from model import Record, telquant_of
from tq_pyo3 import Telquant
from tqtest import agrees

NAN, INF = math.nan, math.inf
ABOVE_ONE = 1.0000000000000002

# fmt: off
# method, value, unit: the record's value and exponents, or the TQError's text
EXAMPLES = [
    ("sqrt", 4.0, "m^2", (2.0, "m")), ("sqrt", -4.0, "m^2", "sqrt of negative value"),
    ("sqrt", -0.0, "s^2", (0.0, "s")),
    ("ln", 1.0, "", (0.0, "")), ("ln", 0.0, "", "ln domain error (value <= 0)"), ("log10", 1000.0, "", (3.0, "")),
    ("log2", 8.0, "", (3.0, "")), ("asin", 1.0, "", (math.pi / 2, "rad")), ("acos", -1.0, "", (math.pi, "rad")),
    ("asin", ABOVE_ONE, "", "asin requires a value in the range [-1, 1]"), ("atan", 1e300, "", (math.pi / 2, "rad")),
    ("atan", 1.0, "m", "atan requires a unitless quantity"), ("cos", 0.0, "", "cos requires an angle quantity"),
    ("cos", 0.0, "rad", (1.0, "")), ("sin", 90.0, "deg", (1.0, "")),
    ("sin", 1.0, "rad/s", "sin requires an angle quantity"),
    ("ln", -5.0, "m", "ln requires a unitless quantity"),
]
VALUES = [0.0, -0.0, 1.0, -1.0, ABOVE_ONE, -ABOVE_ONE, 0.9999999999999999, 0.5, 2.0, 1000.0, 5e-324, -5e-324, 1e-300,
          -1e-300, 1e300, 1.7976931348623157e308, INF, -INF, NAN, -NAN, model.from_bits(0x7FF4000000000001)]
UNITS = ["", "rad", "deg", "m", "m^2", "rad^2", "rad/s", "rad-m", "/rad", "m/m", "rad/rad"]
# one exponent off by a little, or NaN, beside or instead of an angle's
ODD = [-0.0, 5e-324, -5e-324, 1e-13, 1.0000000000000002, NAN]
# fmt: on


@pytest.mark.parametrize("name, value, unit, expected", EXAMPLES)
def test_documented_examples(name, value, unit, expected):
    q = Telquant(value, unit)
    if isinstance(expected, str):
        agrees(model.Raise(model.TQError, expected, (expected,)), getattr(q, name))
    else:
        r = getattr(q, name)()
        assert (r.value(), r.base_units()) == (expected[0], Telquant(1, expected[1]).base_units())


@pytest.mark.parametrize("name", model.MATH_METHODS)
def test_every_method_at_the_edges_of_its_tests_as_the_model_says(name):
    for value in VALUES:
        for q in [Telquant(value, unit) for unit in UNITS] + [
            telquant_of(Record(value, [e if i == lane else float(lane == 7 and i == 7) for i in range(8)]))
            for lane in range(8)
            for e in ODD
        ]:
            agrees(model.expect_method(name, q), getattr(q, name))
        if name in model.INVERSE:
            function = getattr(tq_pyo3, name)
            agrees(model.expect_function(name, (value,), None), lambda: function(value))
            agrees(model.expect_function(name, (), {"x": value}), lambda: function(x=value))
