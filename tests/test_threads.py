"""Threads sharing instances (with conversions that let other threads run mid-call), the internal-failure path,
and second initialisations racing each other."""

import ctypes
import math
import sys
import threading
import time

import pytest

import tq_pyo3
from tq_pyo3 import Telquant, TQError
from tqtest import INIT, INTERNAL, RICHCOMPARE, fails

THREADS, ROUNDS = 8, 200


def reader_count(q):
    """The machine word at the end of the instance, after the header and the record."""
    return ctypes.c_size_t.from_address(id(q) + Telquant.__basicsize__ - ctypes.sizeof(ctypes.c_size_t)).value


class Yielding:
    """A number whose conversion lets other threads run before it answers (or raises, for None)."""

    def __init__(self, x):
        self.x = x

    def __float__(self):
        time.sleep(0)
        if self.x is None:
            raise ValueError("no number")
        return self.x


KM, HR, RAD, HALF = Telquant(5.0, "km"), Telquant(2.0, "hr"), Telquant(math.pi / 6, "rad"), Telquant(0.5, "")
NAN_M, BAD, SIXTH = Telquant(math.nan, "m"), Yielding(None), math.pi / 6
SHARED, TRIG = (KM, HR, RAD, HALF, NAN_M), ("sin", "cos", "tan", "asin", "acos", "atan")
# (call, its result, or the type and text of the exception it raises); each call uses the shared instances
OPERATIONS = [
    (lambda: Telquant(Yielding(3.0), "km/hr").value(), 3.0 * (1000.0 * 3600.0**-1)),
    (lambda: Telquant(1.0, "m/s/s"), (TQError, "Failed to parse unit 'm/s/s': Unit string can only have one '/'")),
    (lambda: (KM.value(), KM.value_in("m"), KM.base_units()), (5000.0, 5000.0, (1.0, 0, 0, 0, 0, 0, 0, 0))),
    (lambda: (HALF.is_unitless(), RAD.is_unitless(), str(KM / HR), repr(NAN_M)),
     (True, False, "0.6944444444444444 m/s", "Telquant(NaN, 'm')")),
    (lambda: (KM * KM).sqrt().value(), 5000.0), (lambda: (-KM).sqrt(), (TQError, "sqrt of negative value")),
    (lambda: (HALF.ln().value(), HALF.log2().value(), (HALF * 200).log10().value()), (math.log(0.5), -1.0, 2.0)),
    (lambda: KM.ln(), (TQError, "ln requires a unitless quantity")),
    (lambda: [getattr(RAD, f)().value() for f in TRIG[:3]], [getattr(math, f)(SIXTH) for f in TRIG[:3]]),
    (lambda: [getattr(HALF, f)().value() for f in TRIG[3:]], [getattr(math, f)(0.5) for f in TRIG[3:]]),
    (lambda: (tq_pyo3.asin(Yielding(1.0)).value(), tq_pyo3.acos(x=-1).value()), (math.pi / 2, math.pi)),
    (lambda: tq_pyo3.atan(BAD), (ValueError, "no number")),
    (lambda: ((KM + KM).value(), (KM - KM).value(), (-KM).value(), abs(-HR).value()), (10000.0, 0.0, -5000.0, 7200.0)),
    (lambda: KM + HR, (TQError, "Incompatible units for addition")),
    (lambda: ((KM * Yielding(2.0)).value(), (Yielding(3.0) * HR).value()), (10000.0, 21600.0)),
    (lambda: KM * BAD, (TypeError, "Cannot multiply TQ with this type")),
    (lambda: ((KM / HR).base_units()[2], (Yielding(1.0) / HR).value()), (-1.0, 1 / 7200)),
    (lambda: BAD / KM, (TypeError, "Cannot divide this type by TQ")),
    (lambda: ((KM**2).value(), (KM ** Yielding(0.5)).base_units()[0]), (25e6, 0.5)),
    (lambda: KM**BAD, (TypeError, "Exponent must be int or float")),
    (lambda: (KM == KM, KM != HR, NAN_M == NAN_M, RAD == HALF, KM < KM * 2, KM <= KM, KM > KM, KM >= KM),
     (True, True, False, False, True, True, False, True)),
    (lambda: NAN_M < KM, (TQError, "Cannot compare values with incompatible units")),
]


@pytest.fixture
def busy_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(work):
    threads = [threading.Thread(target=work) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_threads_sharing_instances_get_correct_results(busy_switching):
    assert [reader_count(q) for q in SHARED] == [0] * len(SHARED)
    start, wrong, offsets = threading.Barrier(THREADS), [], iter(range(0, 5 * THREADS, 5))

    def work():
        offset = next(offsets)
        start.wait()
        for i in range(ROUNDS * len(OPERATIONS)):
            call, expected = OPERATIONS[(i + offset + i // len(OPERATIONS)) % len(OPERATIONS)]
            try:
                result = call()
            except Exception as error:
                result = (type(error), str(error))
            if result != expected:
                wrong.append((result, expected))
        wrong.append(None)  # this thread is done

    run_threads(work)
    assert wrong == [None] * THREADS
    assert [reader_count(q) for q in SHARED] == [0] * len(SHARED)


@pytest.mark.parametrize("op", [6, 7, -1, 1000, -(2**31), 2**31 - 1])
def test_a_comparison_code_outside_the_six_is_an_internal_failure_even_in_threads(op):
    assert (INTERNAL.__module__, INTERNAL.__name__) == ("tq_pyo3", "InternalError")
    assert INTERNAL.__bases__ == (BaseException,)
    for left, right in ((KM, KM), (KM, HR), (KM, 3.0), (3.0, KM)):
        assert fails(lambda: RICHCOMPARE(left, right, op), INTERNAL).args == ("invalid compareop",)
        assert reader_count(KM) == 0
    caught = []

    def work():
        try:
            try:
                RICHCOMPARE(KM, KM, op)
            except Exception:  # must not catch it
                caught.append("Exception")
        except BaseException as error:  # noqa: B036
            caught.append(type(error))

    run_threads(work)
    assert caught == [INTERNAL] * THREADS
    assert [RICHCOMPARE(KM, Telquant(5.0, "km"), code) for code in range(6)] == [False, True, True, False, False, True]


def test_second_initialisations_are_all_refused_even_when_they_race(busy_switching):
    outcomes = []

    def work():
        try:
            INIT()
            outcomes.append("module")
        except ImportError as error:
            outcomes.append("once" in str(error))

    work()
    run_threads(work)
    assert outcomes == [True] * (THREADS + 1)
    assert tq_pyo3.Telquant is Telquant and Telquant(1.0, "m").value() == 1.0
