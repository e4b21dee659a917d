"""The module, the Telquant type and its docstrings, and how every entry point binds and reads its arguments: the
documented messages with their literal texts, and hostile arguments held against the model."""

import copy
import ctypes
import doctest
import functools
import gc
import inspect
import operator
import pickle
import pydoc
import subprocess
import sys
import weakref
from decimal import Decimal
from fractions import Fraction

import model
import programs
import pytest
import tq_pyo3
from programs import FloatSub, Idx, IntSub, Num, StrSub
from tq_pyo3 import Telquant, TQError
from tqtest import agrees, fails

Q = Telquant(2, "m")
METHODS = [name for name, member in vars(Telquant).items() if type(member) is type(Telquant.value)]
FUNCTIONS = [getattr(tq_pyo3, name) for name in ("asin", "acos", "atan")]
# A call of the type (through its vectorcall slot on Python 3.14 and later) and a call of __new__ (through tp_new,
# which every Python has): both bind their arguments alike and say the same on every error.
NEWS = (Telquant, functools.partial(Telquant.__new__, Telquant))


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
    assert [(m.__module__, m.__name__, m.__qualname__) for m in members] == [("tq_pyo3", n, n) for n in tq_pyo3.__all__]
    assert all(f.__self__ is tq_pyo3 for f in FUNCTIONS)
    assert (repr(Telquant), Telquant.__bases__, Telquant.__hash__) == ("<class 'tq_pyo3.Telquant'>", (object,), None)
    assert (TQError.__doc__, TQError.__bases__) == (None, (Exception,))


@pytest.mark.parametrize("member", [Telquant] + [getattr(Telquant, n) for n in METHODS] + FUNCTIONS, ids=repr)
def test_every_docstring_has_its_signature_line_and_its_sections(member):
    doc, signature = member.__doc__, member.__text_signature__
    assert doc and doc == doc.strip() and doc.split("\n")[0].endswith(".") and "\n--\n" not in doc
    if member in FUNCTIONS:
        assert signature == "(x)" and doc.endswith("returns Telquant in radians.")
    elif member is not Telquant:
        assert signature == "($self%s)" % (", unit" if member.__name__ == "value_in" else "")
        assert "\n\nReturns:\n    " in doc
        if member.__name__ in model.MATH_METHODS:  # "Returns:\n    TQ: ...", then "Raises:\n    TQError: ..."
            assert doc.count("\n\n") == 2 and "\n\nReturns:\n    TQ: " in doc and "\n\nRaises:\n    TQError: " in doc
    else:
        assert signature == "(value, unit)" and doc.startswith("A dimensioned variable that combines")
        test = doctest.DocTestParser().get_doctest(doc, {}, "Telquant", None, 0)
        runner = doctest.DocTestRunner()
        report = []
        runner.run(test, out=report.append)
        assert test.examples and runner.failures == 0, "".join(report)


def test_help_and_inspect_show_the_type_its_methods_and_the_functions():
    lines = {line.strip(" |") for line in pydoc.render_doc(tq_pyo3, renderer=pydoc.plaintext).splitlines()}
    assert {
        "tq_pyo3 - Python module for tq (Telquant).",
        "Telquant(value, unit)",
        "sqrt(self, /)",
        "asin(x)",
        "value_in(self, /, unit)",
        Telquant.sqrt.__doc__.split("\n")[0],
        tq_pyo3.acos.__doc__,
    } <= lines
    assert any(line.startswith("class TQError") for line in lines)
    assert [str(inspect.signature(getattr(Q, n))) for n in ("value_in", "atan")] == ["(unit)", "()"]


@pytest.mark.parametrize("action, error", [
    (hash, TypeError), (float, TypeError), (int, TypeError), (operator.index, TypeError), (pickle.dumps, TypeError),
    (copy.copy, TypeError), (copy.deepcopy, TypeError), (weakref.ref, TypeError), (vars, TypeError),
    (lambda q: {q}, TypeError), (lambda q: type("Sub", (Telquant,), {}), TypeError),
    (lambda q: q.__dict__, AttributeError),
    (lambda q: setattr(q, "value", 1.0), AttributeError), (lambda q: delattr(q, "value"), AttributeError),
    (lambda q: Telquant.value_in("m", "m"), TypeError),
])  # fmt: skip
def test_instances_are_immutable_unhashable_and_the_type_is_final(action, error):
    fails(lambda: action(Telquant(1.0, "m")), error)


@pytest.mark.parametrize("name", [n for n in METHODS if n != "value_in"])
def test_methods_without_parameters_refuse_arguments_with_the_interpreters_own_text(name):
    method = getattr(Telquant(0.5, ""), name)
    for args, kwargs, text in (((1, 2), {}, r"no arguments \(2 given\)"), ((), {"x": 1}, "no keyword arguments")):
        with pytest.raises(TypeError, match=r"^(Telquant\.)?%s\(\) takes %s$" % (name, text)):
            method(*args, **kwargs)


def test_results_are_plain_types_and_instances_true_and_untracked():
    for q in (Telquant(0.0, ""), Telquant(-0.0, "m"), Telquant(float("nan"), "s")):
        assert bool(q) is True and not gc.is_tracked(q)


@pytest.mark.skipif(sys.version_info < (3, 14), reason="interpreters before 3.14 take no vectorcall slot")
def test_calls_of_the_type_take_the_vectorcall_slot_from_python_3_14_on():
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes, get_slot.restype = [ctypes.py_object, ctypes.c_int], ctypes.c_void_p
    assert get_slot(Telquant, 82) not in (None, get_slot(Telquant, 65))  # Py_tp_vectorcall, beside Py_tp_new


NEW, VALUE_IN = "Telquant.__new__()", "Telquant.value_in()"


# the documented messages, exactly
@pytest.mark.parametrize("call, message", [
    (lambda: Telquant(), NEW + " missing 2 required positional arguments: 'value' and 'unit'"),
    (lambda: Telquant(1.0), NEW + " missing 1 required positional argument: 'unit'"),
    (lambda: Telquant(unit="m"), NEW + " missing 1 required positional argument: 'value'"),
    (lambda: Telquant(1.0, "m", 2), NEW + " takes 2 positional arguments but 3 were given"),
    (lambda: Telquant(1.0, "m", 2.0, scale=1), NEW + " takes 2 positional arguments but 3 were given"),
    (lambda: Telquant(1.0, "m", unit="s"), NEW + " got multiple values for argument 'unit'"),
    (lambda: Telquant(1.0, "m", scale=2), NEW + " got an unexpected keyword argument 'scale'"),
    (lambda: Telquant(1.0, b"m"), "argument 'unit': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: Telquant(1.0, 5), "argument 'unit': 'int' object cannot be converted to 'PyString'"),
    (lambda: Q.value_in(), VALUE_IN + " missing 1 required positional argument: 'unit'"),
    (lambda: Q.value_in("m", "s"), VALUE_IN + " takes 1 positional arguments but 2 were given"),
    (lambda: tq_pyo3.atan(0.5, 0.5), "atan() takes 1 positional arguments but 2 were given"),
    (lambda: tq_pyo3.asin(y=1), "asin() got an unexpected keyword argument 'y'"),
])  # fmt: skip
def test_documented_argument_errors(call, message):
    assert fails(call, TypeError).args == (message,)


class OddQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            if cls.__name__ == "NoName":
                raise RuntimeError("no name")
            return 5
        return super().__getattribute__(name)


Inner = type("Inner", (), {"__qualname__": "Outer.Inner"})
# fmt: off
ARGUMENTS = [2, True, False, -1.5, -1, IntSub(5), FloatSub(0.25), Num(-1.0), Idx(7), Idx(7, 0.5), Fraction(1, 4),
             Decimal("0.5"), 2**53 + 1, 2**60, 10**400, -(2**1024), Idx(10**400), float("inf"), float("nan"), "ab",
             None, [1.0], b"1", 1j, Num("0.5"), Num(TypeError), Num(programs.TypeErrorSub), Num(ValueError),
             Num(ZeroDivisionError), Num(KeyboardInterrupt), Num(MemoryError), Num(programs.BadText), "m", StrSub("km"),
             "m\ud800", bytearray(b"m"), Inner(), OddQualname("OddName", (), {})(), OddQualname("NoName", (), {})()]
KEYWORDS = [(), {"value": 1.0}, {"unit": "m"}, {"x": 1}, {"Unit": "m"}, {"\u00fcnit": "m"}, {"unit": 2, "a": 1},
            {"a": 1, "unit": 2}]
# fmt: on


def every_call_with(x):
    for args in ((x, "m"), (1.5, x), (x,), (x, x, x), ()):
        for kwargs in KEYWORDS:
            kwargs = dict(kwargs) or None
            for new in NEWS:
                agrees(model.expect_new(args, kwargs), lambda: programs.invoke(new, args, kwargs))
            agrees(model.expect_value_in(Q, args[1:], kwargs), lambda: programs.invoke(Q.value_in, args[1:], kwargs))
            for f in FUNCTIONS:
                agrees(
                    model.expect_function(f.__name__, args[:1], kwargs), lambda: programs.invoke(f, args[:1], kwargs)
                )


@pytest.mark.parametrize("x", ARGUMENTS, ids=repr)
def test_every_argument_in_every_place_of_every_call_as_the_model_says(x):
    held = [o for o in ([x] + list(vars(x).values()) if isinstance(x, (Num, Idx)) else [x]) if programs.fresh(o)]
    before = [sys.getrefcount(o) for o in held]
    every_call_with(x)
    assert [sys.getrefcount(o) for o in held] == before  # no call keeps or drops a reference to its arguments
