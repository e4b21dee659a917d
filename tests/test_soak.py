"""Leak soak: every entry point, on its success path and on each of its error paths, thousands of times.

A leaked reference shows up in sys.getrefcount of the objects every call touches (the type, the exception
classes, the module functions, the interned argument names, the argument objects themselves); a leaked
Python object in tracemalloc's count of live memory; a leaked C++ allocation in the C heap's count of
allocated bytes (glibc's mallinfo2, where available).
"""

from __future__ import annotations

import ctypes
import gc
import math
import sys
import tracemalloc

import pytest

import tq_pyo3
from tq_pyo3 import Telquant, TQError

ROUNDS = 2000
# Bytes of growth tolerated over ROUNDS calls of one case: less than one byte per call, while the
# smallest object that could leak (an int, a float, an exception) is 24 bytes or more.
TOLERANCE = ROUNDS // 2


def fresh(text):
    """A new str object equal to text, neither interned nor shared with any constant."""
    return "".join(list(text))


UNIT = fresh("km/hr")
BAD_UNIT = fresh("m/s/s")
OTHER_UNIT = fresh("s")
SURROGATE = fresh("m\ud800")
VALUE = float(fresh("2.5"))
KEY_UNIT, KEY_VALUE, KEY_X, KEY_BAD = fresh("unit"), fresh("value"), fresh("x"), fresh("scale")
QUALNAME = sys.intern("__qualname__")

Q = Telquant(VALUE, UNIT)
R = Telquant(1.0, fresh("rad"))
S = Telquant(3.0, OTHER_UNIT)
U = Telquant(0.5, "")
NAN_Q = Telquant(math.nan, fresh("m"))


class Number:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x


class Index:
    def __index__(self):
        return 3


class FloatRaises:
    def __init__(self, make_error):
        self.make_error = make_error

    def __float__(self):
        raise self.make_error()


class RaisingQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


Nameless = RaisingQualname("Nameless", (), {})


def wrapped_type_error():
    error = TypeError("inner")
    error.__cause__ = ValueError("cause")
    return error


NUMBER, INDEX, NAMELESS = Number(4.0), Index(), Nameless()
FLOAT_TYPE_ERROR = FloatRaises(wrapped_type_error)
FLOAT_VALUE_ERROR = FloatRaises(lambda: ValueError("no"))
HUGE = 10**400


def slot(number, *argtypes):
    """A slot function of the Telquant type, called directly (op codes and receivers Python never passes)."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    get_slot.restype = ctypes.c_void_p
    return ctypes.PYFUNCTYPE(ctypes.py_object, *argtypes)(get_slot(Telquant, number))


OBJ, INT = ctypes.py_object, ctypes.c_int
RICHCOMPARE, REPR, STR = slot(67, OBJ, OBJ, INT), slot(66, OBJ), slot(70, OBJ)
NEGATIVE, ABSOLUTE = slot(30, OBJ), slot(6, OBJ)
ADD, MULTIPLY, POWER = slot(7, OBJ, OBJ), slot(29, OBJ, OBJ), slot(33, OBJ, OBJ, OBJ)
INIT = ctypes.PyDLL(tq_pyo3.__file__).PyInit_tq_pyo3
INIT.restype = ctypes.py_object


def internal_error():
    try:
        RICHCOMPARE(Q, Q, 6)
    except BaseException as error:  # noqa: B036 - the internal-failure class is a BaseException
        return type(error)
    raise AssertionError("no internal failure")


INTERNAL = internal_error()

# (name, call, exception the call must raise or None)
CASES = [
    ("new", lambda: Telquant(VALUE, UNIT), None),
    ("new by keyword", lambda: Telquant(**{KEY_VALUE: VALUE, KEY_UNIT: UNIT}), None),
    ("new from __float__", lambda: Telquant(NUMBER, UNIT), None),
    ("new bad unit", lambda: Telquant(VALUE, BAD_UNIT), TQError),
    ("new unit not str", lambda: Telquant(VALUE, 5), TypeError),
    ("new unit type unnamed", lambda: Telquant(VALUE, NAMELESS), TypeError),
    ("new value not number", lambda: Telquant(UNIT, UNIT), TypeError),
    ("new value TypeError with cause", lambda: Telquant(FLOAT_TYPE_ERROR, UNIT), TypeError),
    ("new value ValueError", lambda: Telquant(FLOAT_VALUE_ERROR, UNIT), ValueError),
    ("new value overflow", lambda: Telquant(HUGE, UNIT), OverflowError),
    ("new surrogate", lambda: Telquant(VALUE, SURROGATE), UnicodeEncodeError),
    ("new surplus", lambda: Telquant(VALUE, UNIT, UNIT), TypeError),
    ("new twice", lambda: Telquant(VALUE, UNIT, **{KEY_UNIT: UNIT}), TypeError),
    ("new unexpected", lambda: Telquant(VALUE, UNIT, **{KEY_BAD: UNIT}), TypeError),
    ("new missing one", lambda: Telquant(**{KEY_UNIT: UNIT}), TypeError),
    ("new missing two", lambda: Telquant(), TypeError),
    ("value", lambda: Q.value(), None),
    ("value_in", lambda: Q.value_in(UNIT), None),
    ("value_in keyword", lambda: Q.value_in(**{KEY_UNIT: UNIT}), None),
    ("value_in bad unit", lambda: Q.value_in(BAD_UNIT), TQError),
    ("value_in incompatible", lambda: Q.value_in(OTHER_UNIT), TQError),
    ("value_in not str", lambda: Q.value_in(VALUE), TypeError),
    ("value_in surrogate", lambda: Q.value_in(SURROGATE), UnicodeEncodeError),
    ("value_in missing", lambda: Q.value_in(), TypeError),
    ("value_in surplus", lambda: Q.value_in(UNIT, UNIT), TypeError),
    ("value_in unexpected", lambda: Q.value_in(**{KEY_BAD: UNIT}), TypeError),
    ("is_unitless", lambda: Q.is_unitless(), None),
    ("base_units", lambda: Q.base_units(), None),
    ("str", lambda: str(Q), None),
    ("repr", lambda: repr(NAN_Q), None),
    ("sqrt", lambda: Q.sqrt(), None),
    ("sqrt negative", lambda: (-Q).sqrt(), TQError),
    ("ln", lambda: U.ln(), None),
    ("ln units", lambda: Q.ln(), TQError),
    ("ln domain", lambda: (-U).ln(), TQError),
    ("log2", lambda: U.log2(), None),
    ("log10", lambda: U.log10(), None),
    ("log10 domain", lambda: (U * 0).log10(), TQError),
    ("sin", lambda: R.sin(), None),
    ("cos", lambda: R.cos(), None),
    ("tan", lambda: R.tan(), None),
    ("tan not angle", lambda: U.tan(), TQError),
    ("asin", lambda: U.asin(), None),
    ("acos domain", lambda: (U * 3).acos(), TQError),
    ("atan units", lambda: Q.atan(), TQError),
    ("asin()", lambda: tq_pyo3.asin(VALUE / 5), None),
    ("acos() keyword", lambda: tq_pyo3.acos(**{KEY_X: 0.5}), None),
    ("atan()", lambda: tq_pyo3.atan(NUMBER), None),
    ("asin() domain", lambda: tq_pyo3.asin(VALUE), TQError),
    ("acos() not number", lambda: tq_pyo3.acos(UNIT), TypeError),
    ("atan() overflow", lambda: tq_pyo3.atan(HUGE), OverflowError),
    ("atan() missing", lambda: tq_pyo3.atan(), TypeError),
    ("asin() surplus", lambda: tq_pyo3.asin(VALUE, VALUE), TypeError),
    ("acos() unexpected", lambda: tq_pyo3.acos(**{KEY_BAD: VALUE}), TypeError),
    ("+", lambda: Q + Q, None),
    ("+ incompatible", lambda: Q + S, TQError),
    ("+ number", lambda: Q + VALUE, TypeError),
    ("number +", lambda: VALUE + Q, TypeError),
    ("-", lambda: Q - Q, None),
    ("- incompatible", lambda: Q - S, TQError),
    ("*", lambda: Q * S, None),
    ("* number", lambda: Q * VALUE, None),
    ("number *", lambda: NUMBER * Q, None),
    ("* bad", lambda: Q * UNIT, TypeError),
    ("bad *", lambda: UNIT * Q, TypeError),
    ("/", lambda: Q / S, None),
    ("/ number", lambda: Q / VALUE, None),
    ("number /", lambda: VALUE / Q, None),
    ("/ bad", lambda: Q / UNIT, TypeError),
    ("bad /", lambda: UNIT / Q, TypeError),
    ("** int", lambda: Q**3, None),
    ("** float", lambda: Q**VALUE, None),
    ("** __index__", lambda: Q**INDEX, None),
    ("** big int", lambda: Q ** (2**40), None),
    ("** huge int", lambda: Q**HUGE, TypeError),
    ("** bad", lambda: Q**UNIT, TypeError),
    ("number **", lambda: VALUE**Q, TypeError),
    ("pow() with modulo", lambda: pow(Q, 2, 5), None),
    ("neg", lambda: -Q, None),
    ("abs", lambda: abs(Q), None),
    ("==", lambda: Q == S, None),
    ("!=", lambda: Q != Q, None),
    ("<", lambda: Q < Q * 2, None),
    ("<=", lambda: Q <= Q, None),
    (">", lambda: Q > Q, None),
    (">=", lambda: R >= U, None),
    ("< incompatible", lambda: Q < S, TQError),
    ("< NaN", lambda: NAN_Q < NAN_Q, TQError),
    ("== number", lambda: Q == VALUE, None),
    ("< number", lambda: Q < VALUE, TypeError),
    ("compare op 6", lambda: RICHCOMPARE(Q, Q, 6), INTERNAL),
    ("compare op -1", lambda: RICHCOMPARE(Q, S, -1), INTERNAL),
    ("compare non-Telquant", lambda: RICHCOMPARE(VALUE, Q, 0), None),
    ("repr of non-Telquant", lambda: REPR(VALUE), TypeError),
    ("str of unnamed type", lambda: STR(NAMELESS), TypeError),
    ("neg of non-Telquant", lambda: NEGATIVE(UNIT), TypeError),
    ("abs of non-Telquant", lambda: ABSOLUTE(VALUE), TypeError),
    ("add of non-Telquants", lambda: ADD(VALUE, VALUE), None),
    ("multiply of non-Telquants", lambda: MULTIPLY(VALUE, VALUE), None),
    ("power of non-Telquant", lambda: POWER(VALUE, Q, None), None),
    ("second initialisation", lambda: INIT(), ImportError),
]

SHARED = {
    "Telquant": Telquant, "TQError": TQError, "internal-failure class": INTERNAL,
    "asin": tq_pyo3.asin, "acos": tq_pyo3.acos, "atan": tq_pyo3.atan, "module": tq_pyo3,
    "NotImplemented": NotImplemented, "True": True, "False": False,
    "'value'": sys.intern("value"), "'unit'": sys.intern("unit"), "'x'": sys.intern("x"),
    "'__qualname__'": QUALNAME,
    "unit text": UNIT, "bad unit text": BAD_UNIT, "other unit text": OTHER_UNIT, "surrogate text": SURROGATE,
    "value": VALUE, "keyword unit": KEY_UNIT, "keyword value": KEY_VALUE, "keyword x": KEY_X,
    "keyword scale": KEY_BAD, "__float__ object": NUMBER, "__index__ object": INDEX,
    "unnamed object": NAMELESS, "huge int": HUGE, "q": Q, "r": R, "s": S, "u": U, "NaN q": NAN_Q,
}


def run(case, times):
    _, call, expected = case
    for _ in range(times):
        try:
            call()
        except BaseException as error:  # noqa: B036
            if expected is None or type(error) is not expected:
                raise


# Immortal objects (Python 3.12 on: True, False, NotImplemented, some interned names) keep no real count, and
# an extension built for older interpreters may move theirs either way; only mortal objects are watched.
IMMORTAL = 2**29


def refcounts():
    counts = {name: sys.getrefcount(obj) for name, obj in SHARED.items()}
    return {name: count for name, count in counts.items() if count < IMMORTAL}


def c_heap_bytes():
    """Bytes allocated from the C heap, or None where glibc's mallinfo2 is not there."""

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_each_entry_point_ends_as_documented(case):
    _, call, expected = case
    if expected is None:
        call()
    else:
        with pytest.raises(BaseException) as info:  # noqa: B017
            call()
        assert type(info.value) is expected


def test_the_internal_failure_class_is_a_base_exception_of_this_module():
    assert issubclass(INTERNAL, BaseException) and not issubclass(INTERNAL, Exception)
    assert INTERNAL.__module__ == "tq_pyo3" and INTERNAL.__name__ == "InternalError"


def test_thousands_of_calls_of_every_entry_point_leak_nothing():
    for case in CASES:
        run(case, 50)  # warm caches: method lookups, interned texts, exception classes
    gc.collect()
    counts_before = refcounts()
    heap_before = c_heap_bytes()
    for case in CASES:
        run(case, ROUNDS)
    gc.collect()
    heap_after = c_heap_bytes()
    counts_after = refcounts()
    # A reference leaked by one case grows a count by ROUNDS; the interpreter's own caches (the type
    # attribute cache keeps names such as 'value') move a count by one or two at most.
    grown = {name: counts_after.get(name, 0) - count for name, count in counts_before.items()
             if abs(counts_after.get(name, 0) - count) > 2}
    assert grown == {}
    assert {"Telquant", "TQError", "asin", "q", "unit text", "keyword unit"} <= counts_before.keys()
    if heap_before is not None:
        # The C heap serves the core's message texts and every Python object above 512 bytes.
        assert heap_after - heap_before < TOLERANCE * 4, (heap_before, heap_after)

    leaks = {}
    tracemalloc.start()
    try:
        for case in CASES:
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            run(case, ROUNDS)
            gc.collect()
            grown_bytes = tracemalloc.get_traced_memory()[0] - before
            if grown_bytes >= TOLERANCE:
                leaks[case[0]] = grown_bytes
    finally:
        tracemalloc.stop()
    assert leaks == {}
