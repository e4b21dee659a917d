"""The module, the Telquant type, its constructor, plain methods and argument handling."""

import copy
import ctypes
import gc
import operator
import pickle
import subprocess
import sys
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest

import tq_pyo3
from tq_pyo3 import Telquant, TQError

NEW = "Telquant.__new__()"
VALUE_IN = "Telquant.value_in()"

CLASS_DOC = (
    "A dimensioned variable that combines a numerical value with physical units.\n\n"
    "The TQ class performs dimensional analysis to ensure physical correctness\n"
    "in mathematical operations. Units are stored internally as SI base unit\n"
    "exponents (m, kg, s, K, A, mol, cd).\n\n"
    "Examples:\n"
    "    >>> from tq import TQ\n"
    '    >>> velocity = TQ(10.0, "m/s")\n'
    '    >>> time = TQ(2.0, "s")\n'
    "    >>> distance = velocity * time\n"
    '    >>> distance.value_in("m")\n'
    "    20.0\n"
    '    >>> distance.value_in("km")\n'
    "    0.02"
)


def run_python(code, *flags):
    return subprocess.run(
        [sys.executable, *flags, "-c", code],
        capture_output=True, text=True, timeout=120,
    )


def test_import_works_with_warnings_as_errors():
    done = run_python(
        "import tq_pyo3; print(tq_pyo3.Telquant.__module__)", "-W", "error"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "tq_pyo3\n"


def test_a_second_initialisation_in_one_process_is_refused():
    done = run_python(
        "import importlib.util, tq_pyo3\n"
        "spec = importlib.util.spec_from_file_location('tq_pyo3', tq_pyo3.__file__)\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as error:\n"
        "    print('refused', 'once' in str(error).lower())\n"
        "print(tq_pyo3.Telquant(5, 'km').value())\n"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "refused True\n5000.0\n"


def test_module_exports_and_names():
    assert tq_pyo3.__doc__ == "Python module for tq (Telquant)."
    assert type(tq_pyo3.__all__) is list
    assert tq_pyo3.__all__[:2] == ["Telquant", "TQError"]
    # The inverse trigonometric module functions may join, in this order.
    assert tq_pyo3.__all__[2:] in ([], ["asin", "acos", "atan"])
    for name in tq_pyo3.__all__:
        assert getattr(tq_pyo3, name).__module__ == "tq_pyo3"
    assert (Telquant.__module__, Telquant.__name__, Telquant.__qualname__) == (
        "tq_pyo3", "Telquant", "Telquant")
    assert repr(Telquant) == "<class 'tq_pyo3.Telquant'>"
    assert (TQError.__module__, TQError.__name__, TQError.__qualname__) == (
        "tq_pyo3", "TQError", "TQError")
    assert TQError.__doc__ is None
    assert TQError.__bases__ == (Exception,)
    assert isinstance(Telquant, type) and Telquant.__bases__ == (object,)


@pytest.mark.parametrize(
    "member, signature, doc",
    [
        (Telquant, "(value, unit)", CLASS_DOC),
        (Telquant.value, "($self)",
         "Get the raw value in SI base units.\n\nReturns:\n"
         "    float: The value in SI base units"),
        (Telquant.value_in, "($self, unit)",
         "Convert the value to the specified unit.\n\nArgs:\n"
         "    unit (str): The target unit string\n\nReturns:\n"
         "    float: The value in the target unit\n\nRaises:\n"
         "    TQError: If units are incompatible or unit string is invalid"),
        (Telquant.is_unitless, "($self)",
         "Check if the variable is dimensionless (unitless).\n\nReturns:\n"
         "    bool: True if dimensionless, False otherwise"),
        (Telquant.base_units, "($self)",
         "Get the base unit exponents as a tuple.\n\nReturns:\n"
         "    tuple: (m, kg, s, K, A, mol, cd, rad) exponents"),
    ],
)
def test_docstrings_and_text_signatures(member, signature, doc):
    assert member.__text_signature__ == signature
    assert member.__doc__ == doc


def test_the_type_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (Telquant,), {})


@pytest.mark.parametrize(
    "action, error",
    [
        (hash, TypeError), (float, TypeError), (int, TypeError),
        (operator.index, TypeError), (pickle.dumps, TypeError), (copy.copy, TypeError),
        (copy.deepcopy, TypeError), (weakref.ref, TypeError), (vars, TypeError),
        (lambda q: q.__dict__, AttributeError),
        (lambda q: setattr(q, "unit", "m"), AttributeError),
        (lambda q: setattr(q, "value", 1.0), AttributeError),
        (lambda q: delattr(q, "value"), AttributeError),
        # The interpreter's own refusals of badly called methods.
        (lambda q: q.value(1), TypeError), (lambda q: q.base_units(x=1), TypeError),
        (lambda q: Telquant.value(5.0), TypeError),
        (lambda q: Telquant.value_in("m", "m"), TypeError),
    ],
)
def test_instances_refuse(action, error):
    with pytest.raises(error):
        action(Telquant(1.0, "m"))


@pytest.mark.parametrize("value, unit", [(0.0, ""), (-0.0, "m"), (float("nan"), "s")])
def test_every_instance_is_true_and_untracked_by_the_collector(value, unit):
    q = Telquant(value, unit)
    assert bool(q) is True
    assert not gc.is_tracked(q)


@pytest.mark.parametrize(
    "args, kwargs",
    [((2, "m"), {}), ((2.0,), {"unit": "m"}), ((), {"value": 2.0, "unit": "m"}),
     ((), {"unit": "m", "value": 2})],
)
def test_arguments_bind_by_position_or_keyword(args, kwargs):
    for q in (Telquant(*args, **kwargs), Telquant.__new__(Telquant, *args, **kwargs)):
        assert type(q) is Telquant
        assert q.value() == 2.0
        assert q.base_units() == (1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)


class Float:
    """Reads as the given number, or raises a fresh copy of the given exception."""

    def __init__(self, outcome, cause=None):
        self.outcome, self.cause = outcome, cause

    def __float__(self):
        if isinstance(self.outcome, BaseException):
            raise type(self.outcome)(*self.outcome.args) from self.cause
        return self.outcome


class IndexLike:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "value, expected",
    [(2, 2.0), (True, 1.0), (False, 0.0), (-1.0, -1.0), (Float(-1.0), -1.0),
     (IndexLike(), 7.0), (Fraction(1, 4), 0.25), (Decimal("0.5"), 0.5),
     (2**53 + 1, 9007199254740992.0)],
)
def test_values_are_read_as_doubles(value, expected):
    q = Telquant(value, "")
    assert q.value() == expected
    assert q.is_unitless()


def as_double_error(obj):
    """What the interpreter raises when it reads obj as a double."""
    as_double = ctypes.pythonapi.PyFloat_AsDouble
    as_double.argtypes = [ctypes.py_object]
    as_double.restype = ctypes.c_double
    with pytest.raises(Exception) as info:
        as_double(obj)
    return info.value


ROOT = ValueError("root cause")


class CustomTypeError(TypeError):
    pass


@pytest.mark.parametrize("value", ["a", None, b"1", [1.0], 1j, Float("1.0")])
def test_unreadable_values_name_the_value_argument(value):
    expected = "argument 'value': " + str(as_double_error(value))
    with pytest.raises(TypeError) as info:
        Telquant(value, 5)  # the value is converted before the unit
    assert type(info.value) is TypeError
    assert str(info.value) == expected


def test_a_wrapped_type_error_keeps_its_cause():
    with pytest.raises(TypeError) as info:
        Telquant(Float(TypeError("boom"), ROOT), "m")
    assert str(info.value) == "argument 'value': boom"
    assert info.value.__cause__ is ROOT


@pytest.mark.parametrize(
    "value, error, text",
    [(Float(CustomTypeError("boom")), CustomTypeError, "boom"),
     (Float(ValueError("bad value")), ValueError, "bad value"),
     (10**400, OverflowError, None)],
)
def test_other_conversion_errors_pass_unchanged(value, error, text):
    with pytest.raises(error) as info:
        Telquant(value, 5)
    assert type(info.value) is error
    assert text is None or str(info.value) == text
    assert not str(info.value).startswith("argument")


class Outer:
    class Inner:
        pass


class NonStrQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 5
        return super().__getattribute__(name)


class RaisingQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


OddName = NonStrQualname("OddName", (), {})
NoName = RaisingQualname("NoName", (), {})


@pytest.mark.parametrize(
    "unit, type_name",
    [(5, "int"), (b"m", "bytes"), (None, "NoneType"), (1.5, "float"),
     (["m"], "list"), (bytearray(b"m"), "bytearray"), (Outer.Inner(), "Outer.Inner"),
     (OddName(), "<failed to extract type name>"),
     (NoName(), "<failed to extract type name>")],
)
def test_units_that_are_not_text_are_refused(unit, type_name):
    expected = (
        f"argument 'unit': '{type_name}' object cannot be converted to 'PyString'"
    )
    for call in (lambda: Telquant(1.0, unit), lambda: Telquant(1.0, "m").value_in(unit)):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert str(info.value) == expected


def test_str_subclasses_are_accepted_as_units():
    class Unit(str):
        pass

    assert Telquant(1, Unit("km")).value() == 1000.0
    assert Telquant(1, "km").value_in(Unit("m")) == 1000.0


@pytest.mark.parametrize("unit", ["\ud800", "m/\udcff"])
def test_units_that_cannot_be_encoded_raise_the_interpreters_error(unit):
    with pytest.raises(UnicodeEncodeError) as info:
        Telquant(1.0, unit)
    assert type(info.value) is UnicodeEncodeError
    with pytest.raises(UnicodeEncodeError):
        Telquant(1.0, "m").value_in(unit)


MISSING_VALUE = "missing 1 required positional argument: 'value'"
MISSING_UNIT = "missing 1 required positional argument: 'unit'"
THREE_GIVEN = "takes 2 positional arguments but 3 were given"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing 2 required positional arguments: 'value' and 'unit'"),
        ((1.0,), {}, MISSING_UNIT), ((), {"value": 1.0}, MISSING_UNIT),
        ((), {"unit": "m"}, MISSING_VALUE), ((), {"unit": 5}, MISSING_VALUE),
        ((1.0, "m", 2), {}, THREE_GIVEN), (("a", 5, 6), {}, THREE_GIVEN),
        ((1.0, "m", 2.0), {"scale": 1}, THREE_GIVEN),
        ((1, 2, 3, 4), {}, "takes 2 positional arguments but 4 were given"),
        ((1.0, "m"), {"unit": "s"}, "got multiple values for argument 'unit'"),
        ((1.0,), {"value": 2.0}, "got multiple values for argument 'value'"),
        ((1.0, "m"), {"unit": 2, "a": 1}, "got multiple values for argument 'unit'"),
        ((1.0, "m"), {"scale": 2}, "got an unexpected keyword argument 'scale'"),
        ((1.0,), {"scale": 2}, "got an unexpected keyword argument 'scale'"),
        ((), {"value": 1, "Unit": "m"}, "got an unexpected keyword argument 'Unit'"),
        ((1.0, "m"), {"a": 1, "unit": 2}, "got an unexpected keyword argument 'a'"),
        ((1.0,), {"\u00fcnit": "m"}, "got an unexpected keyword argument '\u00fcnit'"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Telquant(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"{NEW} {message}"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{VALUE_IN} missing 1 required positional argument: 'unit'"),
        (("m", "s"), {}, f"{VALUE_IN} takes 1 positional arguments but 2 were given"),
        (("m",), {"unit": "m"}, f"{VALUE_IN} got multiple values for argument 'unit'"),
        ((), {"units": "m"}, f"{VALUE_IN} got an unexpected keyword argument 'units'"),
        ((5,), {}, "argument 'unit': 'int' object cannot be converted to 'PyString'"),
        ((), {"unit": b"m"},
         "argument 'unit': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_value_in_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Telquant(1.0, "m").value_in(*args, **kwargs)
    assert str(info.value) == message


def test_plain_methods_read_the_record_without_changing_it():
    q = Telquant(10.0, "m/s")
    exponents = q.base_units()
    assert exponents == (1.0, 0.0, -1.0, 0.0, 0.0, 0.0, 0.0, 0.0)
    assert all(type(e) is float for e in exponents)
    assert q.is_unitless() is False
    assert type(q.value()) is float and q.value() == 10.0
    assert q.value_in(unit="km/hr") == 10.0 / (1000.0 * 3600.0**-1.0)
    q.value_in("m/s"), q.is_unitless(), str(q), repr(q)
    assert (q.value(), q.base_units()) == (10.0, exponents)


def test_core_errors_become_tqerror_with_one_argument():
    with pytest.raises(Exception) as info:
        Telquant(1.0, "m/s/s")
    message = "Failed to parse unit 'm/s/s': Unit string can only have one '/'"
    assert type(info.value) is TQError
    assert info.value.args == (message,)
    assert str(info.value) == message


def test_failing_calls_leave_no_references_behind():
    unit = "".join(["m/", "s/s"])  # a fresh, non-interned string
    good = "".join(["k", "m"])
    value = float("1.25")
    odd = Float(TypeError("boom"), ROOT)
    q = Telquant(1.0, "m")
    calls = [
        lambda: Telquant(value, unit), lambda: Telquant(value, 5),
        lambda: Telquant(unit, unit), lambda: Telquant(odd, unit),
        lambda: Telquant(value, unit, unit), lambda: Telquant(value=value),
        lambda: Telquant(value, unit=unit, scale=unit),
        lambda: q.value_in(unit), lambda: q.value_in(good + "/s"),
        lambda: q.value_in(value), lambda: q.value_in(good),
        lambda: Telquant(value, good),  # succeeds and is dropped at once
    ]
    watched = (Telquant, TQError, unit, good, value, odd, q)

    def run_all():
        for call in calls:
            try:
                call()
            except (TQError, TypeError):
                pass

    run_all()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(500):
        run_all()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before
