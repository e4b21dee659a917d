"""The module functions asin, acos and atan, and what the module shows to help() and inspect."""

import decimal
import fractions
import inspect
import io
import math
import pydoc
import struct

import pytest
from hypothesis import given, strategies as st

import tq_pyo3
from tq_pyo3 import Telquant, TQError

NAN = float("nan")
INF = float("inf")
RAD = (0.0,) * 7 + (1.0,)
NAMES = ("asin", "acos", "atan")
RANGE_MESSAGE = {
    "asin": "asin requires a value in the range [-1, 1]",
    "acos": "acos requires a value in the range [-1, 1]",
}
ABOVE_ONE = (
    math.nextafter(1.0, 2.0)
    if hasattr(math, "nextafter")
    else struct.unpack("<d", struct.pack("<q", struct.unpack("<q", struct.pack("<d", 1.0))[0] + 1))[0]
)


def same(a, b):
    """Bit-for-bit float equality (sign of zero matters), with NaN equal to NaN."""
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


class WithFloat:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class WithIndex:
    def __index__(self):
        return -1


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


def test_module_exports_the_type_the_error_and_three_functions_in_order():
    assert tq_pyo3.__all__ == ["Telquant", "TQError", "asin", "acos", "atan"]
    assert tq_pyo3.__doc__ == "Python module for tq (Telquant)."


@pytest.mark.parametrize("name", NAMES)
def test_functions_belong_to_the_module(name):
    fn = getattr(tq_pyo3, name)
    assert fn.__name__ == name
    assert fn.__module__ == "tq_pyo3"
    assert fn.__self__ is tq_pyo3


@pytest.mark.parametrize(
    "name, text",
    [
        ("asin", "Arcsine function for f64 input, returns Telquant in radians."),
        ("acos", "Arccosine function for f64 input, returns Telquant in radians."),
        ("atan", "Arctangent function for f64 input, returns Telquant in radians."),
    ],
)
def test_function_docstrings_and_signatures(name, text):
    fn = getattr(tq_pyo3, name)
    assert fn.__doc__ == text
    assert fn.__text_signature__ == "(x)"
    assert str(inspect.signature(fn)) == "(x)"


def test_class_signatures_are_visible_to_inspect():
    assert str(inspect.signature(Telquant)) == "(value, unit)"
    assert str(inspect.signature(Telquant.value_in)) == "(self, /, unit)"
    assert str(inspect.signature(Telquant(1.0, "m").value_in)) == "(unit)"
    assert str(inspect.signature(Telquant.atan)) == "(self, /)"


def test_help_on_the_module_renders_the_type_its_methods_and_the_functions():
    text = pydoc.render_doc(tq_pyo3, renderer=pydoc.plaintext)
    lines = [line.strip(" |") for line in text.splitlines()]
    for expected in [
        "tq_pyo3 - Python module for tq (Telquant).",
        "Telquant(value, unit)",
        "A dimensioned variable that combines a numerical value with physical units.",
        "sqrt(self, /)",
        "Square root.",
        "log10(self, /)",
        "value_in(self, /, unit)",
        "asin(x)",
        "Arcsine function for f64 input, returns Telquant in radians.",
        "acos(x)",
        "atan(x)",
        "Arctangent function for f64 input, returns Telquant in radians.",
    ]:
        assert expected in lines, expected
    assert any(line.startswith("class TQError") for line in lines)
    out = io.StringIO()
    pydoc.Helper(output=out).help(tq_pyo3)
    assert "Arccosine function for f64 input, returns Telquant in radians." in out.getvalue()


@pytest.mark.parametrize(
    "name, args, kwargs, expected",
    [
        ("asin", (1,), {}, math.pi / 2),
        ("asin", (True,), {}, math.pi / 2),
        ("asin", (), {"x": 1.0}, math.pi / 2),
        ("asin", (False,), {}, 0.0),
        ("asin", (-0.0,), {}, -0.0),
        ("asin", (-1.0,), {}, -math.pi / 2),
        ("asin", (WithFloat(-1.0),), {}, -math.pi / 2),
        ("asin", (WithIndex(),), {}, -math.pi / 2),
        ("asin", (NAN,), {}, NAN),
        ("acos", (-1.0,), {}, math.pi),
        ("acos", (-1,), {}, math.pi),
        ("acos", (), {"x": WithFloat(0.5)}, math.acos(0.5)),
        ("acos", (fractions.Fraction(1, 2),), {}, math.acos(0.5)),
        ("acos", (decimal.Decimal("0.5"),), {}, math.acos(0.5)),
        ("acos", (1.0,), {}, 0.0),
        ("atan", (NAN,), {}, NAN),
        ("atan", (1e308,), {}, math.pi / 2),
        ("atan", (-INF,), {}, -math.pi / 2),
        ("atan", (), {"x": 10**300}, math.pi / 2),
        ("atan", (WithIndex(),), {}, math.atan(-1.0)),
    ],
)
def test_functions_accept_plain_numbers_by_position_or_keyword(name, args, kwargs, expected):
    result = getattr(tq_pyo3, name)(*args, **kwargs)
    assert type(result) is Telquant
    assert result.base_units() == RAD
    assert same(result.value(), expected), result.value()


@pytest.mark.parametrize(
    "name, x",
    [(n, x) for n in ("asin", "acos") for x in (ABOVE_ONE, -ABOVE_ONE, 2.0, -2, INF, -INF, 10**20)],
)
def test_values_outside_minus_one_to_one_raise_the_range_message(name, x):
    with pytest.raises(TQError) as info:
        getattr(tq_pyo3, name)(x)
    assert type(info.value) is TQError
    assert info.value.args == (RANGE_MESSAGE[name],)


def _interpreter_text(obj):
    # The float conversion's own complaint about obj, as the interpreter words it.
    with pytest.raises(TypeError) as info:
        math.atan(obj)
    return str(info.value)


class FloatReturnsStr:
    def __float__(self):
        return "0.5"


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("x", ["0.5", None, [0.5], b"1", 1j, FloatReturnsStr(), Telquant(0.5, "")])
def test_arguments_that_are_no_numbers_raise_the_argument_error_for_x(name, x):
    with pytest.raises(TypeError) as info:
        getattr(tq_pyo3, name)(x)
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'x': " + _interpreter_text(x)


def test_argument_error_keeps_the_cause_of_the_conversion_failure():
    cause = KeyError("inner")
    failing = TypeError("no float here")
    failing.__cause__ = cause
    with pytest.raises(TypeError) as info:
        tq_pyo3.atan(x=FloatRaises(failing))
    assert str(info.value) == "argument 'x': no float here"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize(
    "exc",
    [ValueError("bad value"), MyTypeError("subclass passes unchanged"), ZeroDivisionError("zd")],
)
def test_conversion_failures_other_than_plain_type_errors_pass_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        tq_pyo3.acos(FloatRaises(exc))
    assert info.value is exc


def test_an_int_beyond_the_double_range_raises_overflow_without_the_argument_prefix():
    with pytest.raises(OverflowError) as info:
        tq_pyo3.asin(10**400)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{}() missing 1 required positional argument: 'x'"),
        ((0.5, 0.5), {}, "{}() takes 1 positional arguments but 2 were given"),
        ((0.5, 0.5, 0.5), {}, "{}() takes 1 positional arguments but 3 were given"),
        ((0.5, 0.5), {"y": 1}, "{}() takes 1 positional arguments but 2 were given"),
        ((), {"y": 0.5}, "{}() got an unexpected keyword argument 'y'"),
        ((), {"x": 0.5, "y": 0.5}, "{}() got an unexpected keyword argument 'y'"),
        ((), {"X": 0.5}, "{}() got an unexpected keyword argument 'X'"),
        ((0.5,), {"x": 0.5}, "{}() got multiple values for argument 'x'"),
        (("not a number",), {"x": 0.5}, "{}() got multiple values for argument 'x'"),
    ],
)
def test_argument_extraction_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(tq_pyo3, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message.format(name)


@pytest.mark.parametrize("name", NAMES)
@given(x=st.floats())
def test_function_of_a_number_equals_the_method_on_a_unitless_quantity(name, x):
    fn = getattr(tq_pyo3, name)
    reference = getattr(math, name)
    if name != "atan" and abs(x) > 1.0:
        with pytest.raises(TQError) as info:
            fn(x)
        assert info.value.args == (RANGE_MESSAGE[name],)
        with pytest.raises(TQError) as info:
            getattr(Telquant(x, ""), name)()
        assert info.value.args == (RANGE_MESSAGE[name],)
    else:
        result = fn(x)
        method_result = getattr(Telquant(x, ""), name)()
        assert type(result) is Telquant
        assert result.base_units() == method_result.base_units() == RAD
        assert same(result.value(), reference(x))
        assert same(method_result.value(), result.value())
