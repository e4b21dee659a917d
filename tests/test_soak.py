"""Every entry point, on its success path and on each error path, thousands of times: nothing may grow, neither
the reference counts of the objects the calls touch, nor tracemalloc's live memory, nor the C heap."""

import ctypes
import gc
import math
import sys
import sysconfig
import tracemalloc

import pytest
import tq_pyo3
from tq_pyo3 import Telquant, TQError
from tqtest import INIT, INTERNAL, RICHCOMPARE, Idx, Num, reader_count, slot  # noqa: F401 - CASES names them

ROUNDS = 2000
TOLERANCE = ROUNDS // 2  # bytes: under one per call, while the smallest object that could leak takes 24 or more


def fresh(text):  # a new str, neither interned nor shared with a constant
    return "".join(list(text))


UNIT, BAD, OTHER, SURROGATE = fresh("km/hr"), fresh("m/s/s"), fresh("s"), fresh("m\ud800")
# past the characters a call encodes on the stack: the interpreter encodes these
LONG, LONG_BAD = fresh("[km" + "-kg-kg^-1" * 4 + "]/hr"), fresh("m/s/s" + "-s" * 20)
VALUE = float(fresh("2.5"))
K_UNIT, K_VALUE, K_X, K_BAD = fresh("unit"), fresh("value"), fresh("x"), fresh("scale")
Q, R, S, U = Telquant(VALUE, UNIT), Telquant(1.0, fresh("rad")), Telquant(3.0, OTHER), Telquant(0.5, "")
NQ = Telquant(math.nan, fresh("m"))


class Nameless(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


NUMBER, NAMELESS, HUGE = Num(4.0), Nameless("Nameless", (), {})(), 10**400
WRAPPED, RAISING = Num(TypeError("inner"), ValueError("cause")), Num(ValueError("no"))
# Fresh heap objects, whose counts show a leaked reference: big ints, a float subclass, and objects handing them out
BIG, BIG40, SUB = int(fresh("1000003")), int(fresh("1099511627779")), type("Sub", (float,), {})(VALUE)
INDEX, INDEX40, INDEX_HUGE = Idx(int(fresh("1000005"))), Idx(BIG40 + 2), Idx(HUGE + 1)
SUBNUM = Num(type(SUB)(VALUE))  # a float subclass from __float__ is deprecated: DeprecationWarning, an error here
OBJ = ctypes.py_object
REPR, STR, NEGATIVE, ABSOLUTE = slot(66, OBJ), slot(70, OBJ), slot(30, OBJ), slot(6, OBJ)
ADD, MULTIPLY, POWER = slot(7, OBJ, OBJ), slot(29, OBJ, OBJ), slot(33, OBJ, OBJ, OBJ)
T, F, V, O, E, W = TypeError, TQError, ValueError, OverflowError, UnicodeEncodeError, DeprecationWarning  # noqa: E741
# (a call, the exception it must raise or None); keywords are fresh strings too
# fmt: off
CASES = [
    (expression, expected, eval("lambda: " + expression))
    for expression, expected in [
        ("Telquant(VALUE, UNIT)", None), ("Telquant(**{K_VALUE: VALUE, K_UNIT: UNIT})", None),
        ("Telquant(NUMBER, UNIT)", None), ("Telquant(VALUE, BAD)", F), ("Telquant(VALUE, 5)", T),
        ("Telquant(VALUE, NAMELESS)", T), ("Telquant(UNIT, UNIT)", T), ("Telquant(WRAPPED, UNIT)", T),
        ("Telquant(RAISING, UNIT)", V), ("Telquant(HUGE, UNIT)", O), ("Telquant(VALUE, SURROGATE)", E),
        ("Telquant(VALUE, UNIT, UNIT)", T), ("Telquant(VALUE, UNIT, **{K_UNIT: UNIT})", T),
        ("Telquant(VALUE, UNIT, **{K_BAD: UNIT})", T), ("Telquant(**{K_UNIT: UNIT})", T), ("Telquant()", T),
        ("Telquant(VALUE, LONG)", None), ("Telquant(VALUE, LONG_BAD)", F), ("Telquant(VALUE, LONG + SURROGATE)", E),
        ("Q.value_in(LONG)", None), ("Q.value_in(LONG_BAD)", F), ("Q.value()", None), ("Q.value_in(UNIT)", None),
        ("Q.value_in(**{K_UNIT: UNIT})", None), ("Q.value_in(BAD)", F), ("Q.value_in(OTHER)", F),
        ("Q.value_in(VALUE)", T), ("Q.value_in(SURROGATE)", E), ("Q.value_in()", T), ("Q.value_in(UNIT, UNIT)", T),
        ("Q.value_in(**{K_BAD: UNIT})", T), ("Q.is_unitless()", None), ("Q.base_units()", None), ("str(Q)", None),
        ("repr(NQ)", None), ("Q.sqrt()", None), ("(-Q).sqrt()", F), ("U.ln()", None), ("Q.ln()", F), ("(-U).ln()", F),
        ("U.log2()", None), ("(U * 0).log10()", F), ("R.sin()", None), ("R.cos()", None), ("U.tan()", F),
        ("U.asin()", None), ("(U * 3).acos()", F), ("Q.atan()", F), ("tq_pyo3.asin(VALUE / 5)", None),
        ("tq_pyo3.acos(**{K_X: 0.5})", None), ("tq_pyo3.atan(NUMBER)", None), ("tq_pyo3.asin(VALUE)", F),
        ("tq_pyo3.acos(UNIT)", T), ("tq_pyo3.atan(HUGE)", O), ("tq_pyo3.atan(WRAPPED)", T), ("tq_pyo3.atan()", T),
        ("tq_pyo3.asin(VALUE, VALUE)", T), ("tq_pyo3.acos(**{K_BAD: VALUE})", T), ("Q + Q", None), ("Q + S", F),
        ("Q + VALUE", T), ("VALUE + Q", T), ("Q - Q", None), ("Q - S", F), ("Q * S", None), ("Q * VALUE", None),
        ("NUMBER * Q", None), ("Q * UNIT", T), ("UNIT * Q", T), ("Q * RAISING", T), ("Q / S", None),
        ("Q / VALUE", None), ("VALUE / Q", None), ("Q / UNIT", T), ("UNIT / Q", T), ("Q ** 3", None),
        ("Q ** VALUE", None), ("Q ** INDEX", None), ("Q ** 2 ** 40", None), ("Q ** HUGE", T), ("Q ** UNIT", T),
        ("VALUE ** Q", T), ("pow(Q, 2, 5)", None), ("-Q", None), ("abs(Q)", None), ("Q == S", None), ("Q != Q", None),
        ("Q < Q * 2", None), ("R >= U", None), ("Q < S", F), ("NQ < NQ", F), ("Q == VALUE", None), ("Q < VALUE", T),
        ("RICHCOMPARE(Q, Q, 6)", INTERNAL), ("RICHCOMPARE(Q, S, -1)", INTERNAL), ("RICHCOMPARE(VALUE, Q, 0)", None),
        ("REPR(VALUE)", T), ("STR(NAMELESS)", T), ("NEGATIVE(UNIT)", T), ("ABSOLUTE(VALUE)", T),
        ("INIT()", ImportError), ("ADD(VALUE, VALUE)", None), ("MULTIPLY(VALUE, VALUE)", None),
        ("POWER(VALUE, Q, None)", None), ("Telquant(BIG, UNIT)", None),
        ("Telquant(**{K_VALUE: SUB, K_UNIT: UNIT})", None), ("Telquant(SUBNUM, UNIT)", W),
        ("Telquant(INDEX40, UNIT)", None), ("Telquant(INDEX_HUGE, UNIT)", O), ("tq_pyo3.atan(BIG)", None),
        ("tq_pyo3.atan(**{K_X: INDEX})", None), ("tq_pyo3.asin(SUB)", F), ("tq_pyo3.acos(SUBNUM)", W),
        ("Q * BIG", None), ("SUB * Q", None), ("Q * SUBNUM", T), ("INDEX * Q", None), ("Q / SUB", None),
        ("BIG / Q", None), ("SUBNUM / Q", T), ("Q / INDEX40", None), ("Q ** BIG", None), ("Q ** BIG40", None),
        ("Q ** SUB", None), ("Q ** INDEX40", None), ("Q ** INDEX_HUGE", T), ("Q ** SUBNUM", T),
        ("pow(Q, INDEX, BIG)", None), ("Q == BIG", None), ("SUB != Q", None), ("Q < INDEX", T), ("BIG40 >= Q", T),
    ]
]
# fmt: on

# fmt: off
SHARED = dict(
    Telquant=Telquant, TQError=TQError, internal_failure=INTERNAL, asin=tq_pyo3.asin, acos=tq_pyo3.acos,
    atan=tq_pyo3.atan, module=tq_pyo3, NotImplemented=NotImplemented, true=True, false=False, unit=UNIT, bad=BAD,
    name_value=sys.intern("value"), name_unit=sys.intern("unit"), name_x=sys.intern("x"), other=OTHER, value=VALUE,
    name_qualname=sys.intern("__qualname__"), surrogate=SURROGATE, key_unit=K_UNIT, key_value=K_VALUE, key_x=K_X,
    key_scale=K_BAD, number=NUMBER, nameless=NAMELESS, huge=HUGE, q=Q, r=R, s=S, u=U, nan_q=NQ, big=BIG,
    big40=BIG40, sub=SUB, index=INDEX, index_n=INDEX.n, index40=INDEX40, index40_n=INDEX40.n,
    index_huge_n=INDEX_HUGE.n, subnum=SUBNUM, subnum_x=SUBNUM.x, long=LONG, long_bad=LONG_BAD,
)
# fmt: on


def run(name, expected, call, times):
    for _ in range(times):
        try:
            call()
        except BaseException as error:
            if type(error) is not expected:
                raise
        else:
            assert expected is None, name


def refcounts():
    # Immortal objects (Python 3.12 on) keep no real count, and an extension built for older interpreters may
    # move theirs either way; only mortal objects are watched.
    counts = {name: sys.getrefcount(obj) for name, obj in SHARED.items()}
    return {name: count for name, count in counts.items() if count < 2**29}


def c_heap_bytes():
    """Bytes allocated from the C heap, or None where glibc's mallinfo2 is not there."""
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return None
    fields = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    mallinfo2.restype = type("MallInfo2", (ctypes.Structure,), {"_fields_": [(n, ctypes.c_size_t) for n in fields]})
    info = mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.fixture
def frozen_heap():  # the objects alive now are left out of garbage collection, so the collections below stay quick
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def test_thousands_of_calls_of_every_entry_point_end_as_documented_and_leak_nothing(frozen_heap):
    for case in CASES:
        run(*case, 50)  # warm caches: method lookups, interned texts, exception classes
    gc.collect()
    heap, moved = c_heap_bytes(), {}
    for case in CASES:  # a reference leaked by a case grows a count by ROUNDS; the interpreter's caches by two at most
        counts = refcounts()
        run(*case, ROUNDS)
        after = refcounts()
        moved.update({(case[0], n): after.get(n, 0) - c for n, c in counts.items() if abs(after.get(n, 0) - c) > 2})
    gc.collect()
    heap_after = c_heap_bytes()
    assert moved == {}
    assert [reader_count(q) for q in (Q, R, S, U, NQ)] == [0] * 5  # after every error path too
    # Free-threaded 3.13 makes the type immortal, so threads that make results do not contend on its count.
    immortal_type = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info < (3, 14)
    assert ("Telquant" in refcounts()) != immortal_type
    assert {"TQError", "asin", "q", "unit", "key_unit", "big", "index_n", "subnum_x"} <= refcounts().keys()
    if heap is not None:  # the C heap serves the core's texts and every Python object above 512 bytes; the
        # interpreter's own caches and the refcount tables above move it by a few kB, a leak by 48 kB or more a case
        assert heap_after - heap < TOLERANCE * 16, (heap, heap_after)
    leaks = {}
    tracemalloc.start()
    try:
        for case in CASES:
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            run(*case, ROUNDS)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
            if grown >= TOLERANCE:
                leaks[case[0]] = grown
    finally:
        tracemalloc.stop()
    assert leaks == {}
