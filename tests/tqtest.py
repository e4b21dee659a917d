"""Helpers shared by the test modules."""

import ctypes
import struct

import model
import programs
import pytest
import tq_pyo3

ORDER = model.ORDER


def vec(zero=0.0, **exps):
    """The eight exponents in base order; `zero` for those not named."""
    return tuple(float(exps.get(s, zero)) for s in ORDER)


def bits(x):
    """A float's bit pattern, so -0.0 differs from 0.0 and a NaN's sign and payload count."""
    return struct.pack("<d", x)


def fails(call, error=tq_pyo3.TQError):
    """The exception call() raises, exactly of type `error`; without the traceback, whose frames hold arguments."""
    try:
        call()
    except BaseException as e:
        assert type(e) is error, repr(e)
        return e.with_traceback(None)
    pytest.fail("DID NOT RAISE %s" % error.__name__)


def agrees(expected, call):
    """call() does exactly what the model's `expected` outcome says (tests/programs.py compares them)."""
    kind, got = model.capture(call)
    programs.verify("call", expected, kind, got)


reader_count = programs.readers


class Num:
    """__float__ answers x, or raises a fresh copy of the exception x (with `cause` as its __cause__)."""

    def __init__(self, x, cause=None):
        self.x, self.cause = x, cause

    def __float__(self):
        if isinstance(self.x, BaseException):
            raise type(self.x)(*self.x.args) from self.cause
        return self.x


class Idx:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


def slot(number, *argtypes):
    """A slot function of the Telquant type, to be called with arguments the interpreter never passes."""
    return programs.slot(number, *argtypes)


RICHCOMPARE = programs.COMPARE_SLOT
INTERNAL = programs.INTERNAL
INIT = ctypes.PyDLL(tq_pyo3.__file__).PyInit_tq_pyo3
INIT.restype = ctypes.py_object
