"""The module, the Telquant type, its docstrings, and how every entry point reads its arguments."""

import copy
import ctypes
import doctest
import functools
import gc
import inspect
import math
import operator
import pickle
import pydoc
import subprocess
import sys
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest

import tq_pyo3
from tq_pyo3 import Telquant, TQError
from tqtest import DIV, INF, METHODS, NAN, Idx, Num, fails, ieee, rec, refs, vec, want, ways

Q = Telquant(2, "m")


def test_import_works_with_warnings_as_errors_and_a_second_initialisation_is_refused():
    code = (
        "import importlib.util, tq_pyo3\n"
        "print(tq_pyo3.Telquant.__module__)\n"
        "spec = importlib.util.spec_from_file_location('tq_pyo3', tq_pyo3.__file__)\n"
        "try:\n    importlib.util.module_from_spec(spec)\n"
        "except ImportError as error:\n    print('initialized once' in str(error))\n"
        "print(tq_pyo3.Telquant(5, 'km').value())\n"
    )
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "tq_pyo3\nTrue\n5000.0\n"), done.stderr


def test_the_module_names_its_type_its_error_and_its_functions():
    assert tq_pyo3.__doc__ == "Python module for tq (Telquant)."
    assert type(tq_pyo3.__all__) is list and tq_pyo3.__all__ == ["Telquant", "TQError", "asin", "acos", "atan"]
    members = [getattr(tq_pyo3, name) for name in tq_pyo3.__all__]
    assert [(m.__module__, m.__name__, m.__qualname__) for m in members] == [
        ("tq_pyo3", name, name) for name in tq_pyo3.__all__
    ]
    assert all(f.__self__ is tq_pyo3 for f in members[2:])
    assert (repr(Telquant), Telquant.__bases__, Telquant.__hash__) == ("<class 'tq_pyo3.Telquant'>", (object,), None)
    assert (TQError.__doc__, TQError.__bases__) == (None, (Exception,))


CLASS_DOC = (
    "A dimensioned variable that combines a numerical value with physical units.\n\n"
    "The TQ class performs dimensional analysis to ensure physical correctness\n"
    "in mathematical operations. Units are stored internally as SI base unit\n"
    "exponents (m, kg, s, K, A, mol, cd, rad).\n\n"
    "Examples:\n    >>> from tq_pyo3 import Telquant\n"
    '    >>> velocity = Telquant(10.0, "m/s")\n    >>> time = Telquant(2.0, "s")\n'
    "    >>> distance = velocity * time\n"
    '    >>> distance.value_in("m")\n    20.0\n    >>> distance.value_in("km")\n    0.02'
)


def method_doc(summary, returns, raises="", args=""):
    """Summary, then the Args, Returns and Raises sections."""
    return (
        summary
        + (args and "\n\nArgs:\n    " + args)
        + "\n\nReturns:\n    "
        + returns
        + (raises and "\n\nRaises:\n    TQError: " + raises)
    )


UNITLESS, ANGLE, RANGE = (
    "If the value is not unitless",
    "If the value is not an angle",
    "If the value is not unitless or outside [-1, 1]",
)
DOCS = (
    [
        (Telquant, "(value, unit)", "(value, unit)", CLASS_DOC),
        (
            Telquant.value,
            "($self)",
            "(self, /)",
            method_doc("Get the raw value in SI base units.", "float: The value in SI base units"),
        ),
        (
            Telquant.value_in,
            "($self, unit)",
            "(self, /, unit)",
            method_doc(
                "Convert the value to the specified unit.",
                "float: The value in the target unit",
                "If units are incompatible or unit string is invalid",
                "unit (str): The target unit string",
            ),
        ),
        (
            Telquant.is_unitless,
            "($self)",
            "(self, /)",
            method_doc(
                "Check if the variable is dimensionless (unitless).", "bool: True if dimensionless, False otherwise"
            ),
        ),
        (
            Telquant.base_units,
            "($self)",
            "(self, /)",
            method_doc("Get the base unit exponents as a tuple.", "tuple: (m, kg, s, K, A, mol, cd, rad) exponents"),
        ),
    ]
    + [
        (getattr(Telquant, name), "($self)", "(self, /)", method_doc(summary, "TQ: " + returns, raises))
        for name, summary, returns, raises in [
            ("sqrt", "Square root.", "The square root", "If the operation fails"),
            ("ln", "Natural logarithm (requires unitless value).", "The natural logarithm (unitless)", UNITLESS),
            ("log2", "Base-2 logarithm (requires unitless value).", "The base-2 logarithm (unitless)", UNITLESS),
            ("log10", "Base-10 logarithm (requires unitless value).", "The base-10 logarithm (unitless)", UNITLESS),
            ("sin", "Sine (requires angle).", "The sine (unitless)", ANGLE),
            ("cos", "Cosine (requires angle).", "The cosine (unitless)", ANGLE),
            ("tan", "Tangent (requires angle).", "The tangent (unitless)", ANGLE),
            ("asin", "Arcsine (requires unitless value in [-1, 1]).", "The arcsine as an angle in radians", RANGE),
            ("acos", "Arccosine (requires unitless value in [-1, 1]).", "The arccosine as an angle in radians", RANGE),
            ("atan", "Arctangent (requires unitless value).", "The arctangent as an angle in radians", UNITLESS),
        ]
    ]
    + [
        (getattr(tq_pyo3, name), "(x)", "(x)", word + " function for f64 input, returns Telquant in radians.")
        for name, word in (("asin", "Arcsine"), ("acos", "Arccosine"), ("atan", "Arctangent"))
    ]
)


@pytest.mark.parametrize("member, text_signature, signature, doc", DOCS, ids=[d[0].__qualname__ for d in DOCS])
def test_docstrings_and_signatures_read_exactly(member, text_signature, signature, doc):
    assert (member.__doc__, member.__text_signature__) == (doc, text_signature)
    assert str(inspect.signature(member)) == signature


def test_every_method_of_the_type_has_its_docstring_above():
    methods = {name for name, member in vars(Telquant).items() if type(member) is type(Telquant.value)}
    assert methods == {d[0].__name__ for d in DOCS if d[0].__qualname__.startswith("Telquant.")}


def test_the_class_docstrings_example_runs_as_shown():
    test = doctest.DocTestParser().get_doctest(Telquant.__doc__, {}, "Telquant", None, 0)
    report = []
    runner = doctest.DocTestRunner()
    runner.run(test, out=report.append)
    assert test.examples and runner.failures == 0, "".join(report)


def test_help_and_inspect_show_the_type_its_methods_and_the_functions():
    lines = {line.strip(" |") for line in pydoc.render_doc(tq_pyo3, renderer=pydoc.plaintext).splitlines()}
    assert {
        "tq_pyo3 - Python module for tq (Telquant).",
        "Telquant(value, unit)",
        CLASS_DOC.split("\n")[0],
        "sqrt(self, /)",
        "Square root.",
        "value_in(self, /, unit)",
        "asin(x)",
        "atan(x)",
        "Arccosine function for f64 input, returns Telquant in radians.",
    } <= lines
    assert any(line.startswith("class TQError") for line in lines)
    assert [str(inspect.signature(getattr(Q, n))) for n in ("value_in", "atan")] == ["(unit)", "()"]


@pytest.mark.parametrize(
    "action, error",
    [
        (hash, TypeError),
        (float, TypeError),
        (int, TypeError),
        (operator.index, TypeError),
        (pickle.dumps, TypeError),
        (copy.copy, TypeError),
        (copy.deepcopy, TypeError),
        (weakref.ref, TypeError),
        (vars, TypeError),
        (lambda q: {q}, TypeError),
        (lambda q: type("Sub", (Telquant,), {}), TypeError),
        (lambda q: q.__dict__, AttributeError),
        (lambda q: setattr(q, "value", 1.0), AttributeError),
        (lambda q: setattr(q, "unit", "m"), AttributeError),
        (lambda q: delattr(q, "value"), AttributeError),
        (lambda q: Telquant.value_in("m", "m"), TypeError),
    ],
)
def test_instances_are_immutable_unhashable_and_the_type_is_final(action, error):
    fails(lambda: action(Telquant(1.0, "m")), error)


@pytest.mark.parametrize("name", ("value", "is_unitless", "base_units") + METHODS)
def test_methods_without_parameters_refuse_arguments_with_the_interpreters_own_text(name):
    method = getattr(Telquant(0.5, ""), name)
    for args, kwargs, text in (
        ((1,), {}, r"no arguments \(1 given\)"),
        ((1, 2), {}, r"no arguments \(2 given\)"),
        ((), {"x": 1}, "no keyword arguments"),
    ):
        with pytest.raises(TypeError, match=r"^(Telquant\.)?%s\(\) takes %s$" % (name, text)):
            method(*args, **kwargs)
    with pytest.raises(TypeError, match="descriptor '%s'" % name):
        getattr(Telquant, name)(0.5)


def test_results_are_plain_types_and_instances_true_and_untracked():  # binding: ways() in the tables below
    v = Telquant.__new__(Telquant, unit="m/s", value=10)
    results = (v.value(), v.value_in(unit="km/hr"), v.is_unitless()) + v.base_units()
    assert [type(x) for x in results] == [float, float, bool] + [float] * 8 and results[:2] == (10.0, 36.0)
    for value, unit in ((0.0, ""), (-0.0, "m"), (NAN, "s")):  # every instance is true and unknown to the collector
        assert bool(Telquant(value, unit)) is True and not gc.is_tracked(Telquant(value, unit))


MyInt, MyFloat = type("MyInt", (int,), {}), type("MyFloat", (float,), {})
NEW_NAMES = ("value", "unit")
# A call of the type (through its vectorcall slot on Python 3.14 and later) and a call of __new__ (through tp_new,
# which every Python has): both bind their arguments alike and say the same on every error.
NEWS = (Telquant, functools.partial(Telquant.__new__, Telquant))


@pytest.mark.skipif(sys.version_info < (3, 14), reason="interpreters before 3.14 take no vectorcall slot")
def test_calls_of_the_type_take_the_vectorcall_slot_from_python_3_14_on():
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes, get_slot.restype = [ctypes.py_object, ctypes.c_int], ctypes.c_void_p
    assert get_slot(Telquant, 82) not in (None, get_slot(Telquant, 65))  # Py_tp_vectorcall, beside Py_tp_new


NUMBERS = [
    (2, 2.0),
    (True, 1.0),
    (False, 0.0),
    (-1.5, -1.5),
    (MyInt(5), 5.0),
    (MyFloat(0.25), 0.25),
    (Num(-1.0), -1.0),
    (Idx(7), 7.0),
    (Fraction(1, 4), 0.25),
    (Decimal("0.5"), 0.5),
    (2**53 + 1, 2.0**53),
    (2**60, 2.0**60),
    (INF, INF),
    (NAN, NAN),
    (int("1000003"), 1000003.0),
    (Idx(int("1000005")), 1000005.0),  # fresh big ints
    (Idx(int("1099511627779")), 2.0**40 + 3),
]


@pytest.mark.parametrize("x, f", NUMBERS, ids=repr)
def test_every_entry_point_reads_numbers_as_doubles_and_keeps_no_reference(x, f):
    calls = [c for new in NEWS for c in ways(new, NEW_NAMES, x, "m")] + ways(tq_pyo3.atan, ("x",), x)
    before = refs(x)
    built = [c() for c in calls]
    results = [Q * x, x * Q, Q / x, x / Q, Q**x, pow(Q, x, x)]
    assert (Q == x, x != Q) == (False, True)
    after = refs(x)  # outside an assert, whose rewriting keeps its parts (True, False) alive
    assert after == before
    assert [rec(q) for q in built] == [want(f, vec(m=1))] * 6 + [want(math.atan(f), vec(rad=1))] * 2
    assert [rec(q) for q in results[:4]] == [want(f * 2.0, vec(m=1))] * 2 + [
        want(ieee(DIV, 2.0, f) if f else INF, vec(m=1)),
        want(f / 2.0, vec(m=-1)),
    ]  # exponents 0.0 - e: +0.0 where e is 0
    assert rec(results[4]) == rec(results[5]) == rec(Q**f)


def interpreter_text(x):
    """What the interpreter says when it fails to read x as a double."""
    as_double = ctypes.pythonapi.PyFloat_AsDouble
    as_double.argtypes, as_double.restype = [ctypes.py_object], ctypes.c_double
    return str(fails(lambda: as_double(x), TypeError))


CustomTypeError = type("CustomTypeError", (TypeError,), {})
ReflectedOnly = type("ReflectedOnly", (), dict.fromkeys(["__rmul__", "__rtruediv__"], lambda a, b: "reflected"))
ReflectedOnly.__repr__ = lambda self: "ReflectedOnly()"
MESSAGES = [
    "Cannot multiply TQ with this type",
    "Cannot multiply this type with TQ",
    "Cannot divide TQ by this type",
    "Cannot divide this type by TQ",
    "Exponent must be int or float",
]


@pytest.mark.parametrize(
    "x, error",
    [
        ("ab", TypeError),
        (None, TypeError),
        ([1.0], TypeError),
        (b"1", TypeError),
        (1j, TypeError),
        (ReflectedOnly(), TypeError),
        (Num("0.5"), TypeError),
        (Num(TypeError("boom"), ValueError("root")), TypeError),
        (Num(CustomTypeError("boom")), CustomTypeError),
        (Num(ValueError("bad")), ValueError),
        (Num(ZeroDivisionError("zd")), ZeroDivisionError),
        (10**400, OverflowError),
        (-(2**1024), OverflowError),
        (Idx(10**400), OverflowError),
    ],
    ids=repr,
)
def test_non_numbers_get_an_argument_error_or_their_own_and_operators_replace_it_by_theirs(x, error):
    calls = [(c, "value") for new in NEWS for c in ways(new, NEW_NAMES, x, 5)] + [
        (c, "x") for f in (tq_pyo3.asin, tq_pyo3.acos, tq_pyo3.atan) for c in ways(f, ("x",), x)
    ]
    before = refs(x)
    for call, name in calls:
        e = fails(call, error)
        if error is TypeError:  # only exactly TypeError is rewritten, and it keeps its cause
            text = "argument '%s': %s" % (name, interpreter_text(x))
            assert (str(e), e.__cause__) == (text, getattr(x, "cause", None))
        else:  # any other error passes unchanged
            assert not str(e).startswith("argument") and (not isinstance(x, Num) or e.args == x.x.args)
    for call, text in zip((lambda: Q * x, lambda: x * Q, lambda: Q / x, lambda: x / Q, lambda: Q**x), MESSAGES):
        e = fails(call, TypeError)
        assert (e.args, e.__cause__, e.__context__) == ((text,), None, None)
    assert refs(x) == before


Inner = type("Inner", (), {"__qualname__": "Outer.Inner"})


class OddQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            if cls.__name__ == "NoName":
                raise RuntimeError("no name")
            return 5
        return super().__getattribute__(name)


@pytest.mark.parametrize(
    "unit, type_name",
    [
        (5, "int"),
        (b"m", "bytes"),
        (None, "NoneType"),
        (["m"], "list"),
        (bytearray(b"m"), "bytearray"),
        (Inner(), "Outer.Inner"),
        (OddQualname("OddName", (), {})(), "<failed to extract type name>"),
        (OddQualname("NoName", (), {})(), "<failed to extract type name>"),
    ],
)
def test_units_that_are_not_str_are_refused_with_their_type_name(unit, type_name):
    for call in [c for new in NEWS for c in ways(new, NEW_NAMES, 1.0, unit)] + ways(Q.value_in, ("unit",), unit):
        text = str(fails(call, TypeError))
        assert text == "argument 'unit': '%s' object cannot be converted to 'PyString'" % type_name
    text_type = type("Unit", (str,), {})  # a str subclass is text
    assert Telquant(1, text_type("km")).value() == Telquant(1, "km").value_in(text_type("m")) == 1000.0


NEW, VALUE_IN = "Telquant.__new__()", "Telquant.value_in()"
CALLS = {
    NEW: NEWS,
    VALUE_IN: (Q.value_in,),
    "asin()": (tq_pyo3.asin,),
    "acos()": (tq_pyo3.acos,),
    "atan()": (tq_pyo3.atan,),
}
MISSING = "missing 1 required positional argument: '%s'"
GIVEN = "takes %d positional arguments but %d were given"
MULTIPLE = "got multiple values for argument '%s'"
UNEXPECTED = "got an unexpected keyword argument '%s'"


@pytest.mark.parametrize(
    "display, args, kwargs, message",
    [
        (NEW, (), {}, "missing 2 required positional arguments: 'value' and 'unit'"),
        (NEW, (1.0,), {}, MISSING % "unit"),
        (NEW, (), {"value": 1.0}, MISSING % "unit"),
        (NEW, (), {"unit": 5}, MISSING % "value"),
        (NEW, (1.0, "m", 2), {}, GIVEN % (2, 3)),
        (NEW, ("a", 5, 6), {"scale": 1}, GIVEN % (2, 3)),
        (NEW, (1, 2, 3, 4), {}, GIVEN % (2, 4)),
        (NEW, (1.0, "m"), {"unit": "s"}, MULTIPLE % "unit"),
        (NEW, (1.0,), {"value": 2.0}, MULTIPLE % "value"),
        (NEW, (1.0, "m"), {"unit": 2, "a": 1}, MULTIPLE % "unit"),
        (NEW, (1.0, "m"), {"a": 1, "unit": 2}, UNEXPECTED % "a"),
        (NEW, (), {"value": 1, "Unit": "m"}, UNEXPECTED % "Unit"),
        (NEW, (1.0,), {"\u00fcnit": "m"}, UNEXPECTED % "\u00fcnit"),
        (VALUE_IN, (), {}, MISSING % "unit"),
        (VALUE_IN, ("m", "s"), {}, GIVEN % (1, 2)),
        (VALUE_IN, ("m",), {"unit": "m"}, MULTIPLE % "unit"),
        (VALUE_IN, (), {"units": "m"}, UNEXPECTED % "units"),
        ("asin()", (), {}, MISSING % "x"),
        ("acos()", (0.5, 0.5), {"y": 1}, GIVEN % (1, 2)),
        ("atan()", (0.5,) * 3, {}, GIVEN % (1, 3)),
        ("asin()", (), {"x": 0.5, "y": 0.5}, UNEXPECTED % "y"),
        ("acos()", (), {"X": 0.5}, UNEXPECTED % "X"),
        ("atan()", ("not a number",), {"x": 0.5}, MULTIPLE % "x"),
    ],
)
def test_argument_extraction_errors_name_the_callable(display, args, kwargs, message):
    for function in CALLS[display]:  # with no keywords, called once with an empty dict and once without one
        for call in [lambda: function(*args, **kwargs)] + [lambda: function(*args)] * (not kwargs):
            assert str(fails(call, TypeError)) == "%s %s" % (display, message)
