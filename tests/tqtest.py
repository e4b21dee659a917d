"""Helpers shared by the test modules."""

import ctypes
import math
import operator
import struct
import sys
from fractions import Fraction

import pytest

import tq_pyo3
from tq_pyo3 import Telquant, TQError

ORDER = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")
NAN, INF = math.nan, math.inf
METHODS = ("sqrt", "ln", "log2", "log10", "sin", "cos", "tan", "asin", "acos", "atan")
# Unicode White_Space: exactly these characters are trimmed.
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
ABOVE_ONE = math.nextafter(1.0, 2.0) if hasattr(math, "nextafter") else 1.0 + 2.0**-52  # nextafter: Python 3.9 on


def vec(zero=0.0, **exps):
    """The eight exponents in base order; `zero` for those not named (-0.0 where IEEE products give it)."""
    return tuple(float(exps.get(s, zero)) for s in ORDER)


def bits(x):
    """A float's bit pattern, so -0.0 differs from 0.0 and a NaN's sign counts: a NaN made by an invalid
    operation is the positive quiet NaN on every processor, and a NaN operand passes on with its sign."""
    return struct.pack("<d", x)


MUL, DIV, ADD, SUB = operator.mul, operator.truediv, operator.add, operator.sub


def made(result, *operands):
    """The module's answer for an IEEE operation on `operands` that gave `result` in Python: the first NaN operand,
    quieted; else, for a NaN made from numbers, the positive quiet NaN. No processor's or compiler's choice."""
    nans = [x for x in operands if math.isnan(x)]
    if not math.isnan(result) or not nans:
        return NAN if math.isnan(result) else result
    quiet = struct.unpack("<Q", struct.pack("<d", nans[0]))[0] | 1 << 51
    return struct.unpack("<d", struct.pack("<Q", quiet))[0]


def ieee(op, a, b):
    """a op b (+, -, *, /) rounded once to a double, as IEEE arithmetic and the module do. Python's own float
    arithmetic rounds twice on an x87 unit (Debian's i386 CPython), so the exact result is rounded here instead:
    int / int is correctly rounded in CPython. Zeros, infinities and NaNs involve no rounding: Python's own then."""
    native = op(a, b)
    if not (math.isfinite(a) and math.isfinite(b) and math.isfinite(native)) or native == 0.0:
        return native
    try:
        return float(op(Fraction(a), Fraction(b)))
    except OverflowError:
        return native


def want(value, exps):  # a record, bit for bit
    return (bits(value),) + tuple(map(bits, exps))


def rec(q):
    assert type(q) is Telquant
    return want(q.value(), q.base_units())


def fails(call, error=TQError):
    """The exception call() raises, exactly of type `error`; without the traceback, whose frames hold arguments."""
    try:
        call()
    except BaseException as e:  # noqa: B036
        assert type(e) is error, repr(e)
        return e.with_traceback(None)
    pytest.fail("DID NOT RAISE %s" % error.__name__)


def outcome(call):
    """The type of the result, or TQError: nothing else may come out."""
    try:
        return type(call())
    except TQError:
        return TQError


def ways(function, names, *args):
    """Calls binding `args` to `names` by position (the fast path), by keyword, and for two, by both."""
    kwargs = dict(zip(names, args))
    mixed = [lambda: function(args[0], **{names[1]: args[1]})] if len(args) == 2 else []
    return [lambda: function(*args), lambda: function(**kwargs)] + mixed


def reader_count(q):
    """The machine word at the end of the instance, after the header and the record."""
    return ctypes.c_size_t.from_address(id(q) + Telquant.__basicsize__ - ctypes.sizeof(ctypes.c_size_t)).value


def refs(x):
    """Reference counts of x and of the objects it hands out from __index__ or __float__ (its attributes)."""
    return [sys.getrefcount(o) for o in (x, *getattr(x, "__dict__", {}).values()) if o is not None]


class Num:
    """__float__ answers x, or raises a fresh copy of the exception x (with `cause` as its __cause__)."""

    def __init__(self, x, cause=None):
        self.x, self.cause = x, cause

    def __float__(self):
        if isinstance(self.x, BaseException):
            raise type(self.x)(*self.x.args) from self.cause
        return self.x

    def __repr__(self):
        return "Num(%r)" % (self.x,)


class Idx:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

    def __repr__(self):
        return "Idx(%r)" % (self.n,)


class IdxFloat(Idx):
    def __float__(self):
        return 0.5


def slot(number, *argtypes):
    """A slot function of the Telquant type, to be called with arguments the interpreter never passes."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes, get_slot.restype = [ctypes.py_object, ctypes.c_int], ctypes.c_void_p
    return ctypes.PYFUNCTYPE(ctypes.py_object, *argtypes)(get_slot(Telquant, number))


RICHCOMPARE = slot(67, ctypes.py_object, ctypes.py_object, ctypes.c_int)
try:
    RICHCOMPARE(Telquant(1, ""), Telquant(1, ""), 6)  # no comparison code: the internal-failure class, no Exception
except BaseException as error:  # noqa: B036
    INTERNAL = type(error)
INIT = ctypes.PyDLL(tq_pyo3.__file__).PyInit_tq_pyo3
INIT.restype = ctypes.py_object
