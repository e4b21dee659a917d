"""Threads sharing instances (with conversions that let other threads run mid-call), the internal-failure path,
and second initialisations racing each other."""

import collections
import concurrent.futures
import math
import struct
import subprocess
import sys
import threading
import time

import pytest
import tq_pyo3
from tq_pyo3 import Telquant, TQError
from tqtest import INIT, INTERNAL, RICHCOMPARE, fails, reader_count

THREADS, ROUNDS = 8, 200


class Yielding:
    """A number whose conversion lets other threads run before it answers (or raises, for None)."""

    def __init__(self, x):
        self.x = x

    def __float__(self):
        time.sleep(0)
        if self.x is None:
            raise ValueError("no number")
        return self.x


Instances = collections.namedtuple("Instances", "km hr rad half nan_m")


def instances():
    return Instances(
        Telquant(5.0, "km"),
        Telquant(2.0, "hr"),
        Telquant(math.pi / 6, "rad"),
        Telquant(0.5, ""),
        Telquant(math.nan, "m"),
    )


SHARED, BAD, SIXTH = instances(), Yielding(None), math.pi / 6
# More unit texts than a thread keeps parsed: each thread parses and keeps its own, and reads them again as new str
# objects; a str subclass is parsed anew on every call.
TEXTS, Text = ["km^%d" % i for i in range(-20, 20)] + ["kg-m/s^2", "m/s/s"], type("Text", (str,), {})


def records(texts):
    def record(text):
        try:
            q = Telquant(1.5, text)
            return q.base_units() + (q.value(),)
        except TQError as error:
            return TQError, str(error)

    return [record(t) for t in texts]


KM, HR, TRIG = SHARED.km, SHARED.hr, ("sin", "cos", "tan", "asin", "acos", "atan")
# (call on a set of instances, its result, or the type and text of the exception it raises)
OPERATIONS = [
    (lambda s: Telquant(Yielding(3.0), "km/hr").value(), 3.0 * (1000.0 * 3600.0**-1)),
    (lambda s: Telquant(1.0, "m/s/s"), (TQError, "Failed to parse unit 'm/s/s': Unit string can only have one '/'")),
    (lambda s: (s.km.value(), s.km.value_in("m"), s.km.base_units()), (5000.0, 5000.0, (1.0, 0, 0, 0, 0, 0, 0, 0))),
    (
        lambda s: (s.half.is_unitless(), s.rad.is_unitless(), str(s.km / s.hr), repr(s.nan_m)),
        (True, False, "0.6944444444444444 m/s", "Telquant(NaN, 'm')"),
    ),
    (lambda s: (s.km * s.km).sqrt().value(), 5000.0),
    (lambda s: (-s.km).sqrt(), (TQError, "sqrt of negative value")),
    (
        lambda s: (s.half.ln().value(), s.half.log2().value(), (s.half * 200).log10().value()),
        (math.log(0.5), -1.0, 2.0),
    ),
    (lambda s: s.km.ln(), (TQError, "ln requires a unitless quantity")),
    (lambda s: [getattr(s.rad, f)().value() for f in TRIG[:3]], [getattr(math, f)(SIXTH) for f in TRIG[:3]]),
    (lambda s: [getattr(s.half, f)().value() for f in TRIG[3:]], [getattr(math, f)(0.5) for f in TRIG[3:]]),
    (lambda s: (tq_pyo3.asin(Yielding(1.0)).value(), tq_pyo3.acos(x=-1).value()), (math.pi / 2, math.pi)),
    (lambda s: tq_pyo3.atan(BAD), (ValueError, "no number")),
    (
        lambda s: ((s.km + s.km).value(), (s.km - s.km).value(), (-s.km).value(), abs(-s.hr).value()),
        (10000.0, 0.0, -5000.0, 7200.0),
    ),
    (lambda s: s.km + s.hr, (TQError, "Incompatible units for addition")),
    (lambda s: ((s.km * Yielding(2.0)).value(), (Yielding(3.0) * s.hr).value()), (10000.0, 21600.0)),
    (lambda s: s.km * BAD, (TypeError, "Cannot multiply TQ with this type")),
    (lambda s: ((s.km / s.hr).base_units()[2], (Yielding(1.0) / s.hr).value()), (-1.0, 1 / 7200)),
    (lambda s: BAD / s.km, (TypeError, "Cannot divide this type by TQ")),
    (lambda s: ((s.km**2).value(), (s.km ** Yielding(0.5)).base_units()[0]), (25e6, 0.5)),
    (lambda s: s.km**BAD, (TypeError, "Exponent must be int or float")),
    (
        lambda s: (
            s.km == s.km,
            s.km != s.hr,
            s.nan_m == s.nan_m,
            s.rad == s.half,
            s.km < s.km * 2,
            s.km <= s.km,
            s.km > s.km,
            s.km >= s.km,
        ),
        (True, True, False, False, True, True, False, True),
    ),
    (lambda s: s.nan_m < s.km, (TQError, "Cannot compare values with incompatible units")),
    (lambda s: records("".join(list(t)) for t in TEXTS), records(Text(t) for t in TEXTS)),
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


def exact(result):
    """A result with every float as its bit pattern, so -0.0, 0.0 and each NaN are told apart."""
    if isinstance(result, float):
        return struct.pack("<d", result)
    if isinstance(result, (tuple, list)):
        return tuple(map(exact, result))
    return result


def outcome_of(call, operands):
    try:
        return call(operands)
    except Exception as error:
        return (type(error), str(error))


def test_threads_on_shared_and_private_instances_get_the_bits_of_one_thread(busy_switching):
    alone = [outcome_of(call, SHARED) for call, _ in OPERATIONS]
    assert alone == [expected for _, expected in OPERATIONS]
    alone = [exact(result) for result in alone]
    refcounts = [sys.getrefcount(q) for q in SHARED]
    start, wrong, offsets, private = threading.Barrier(THREADS), [], iter(range(0, 5 * THREADS, 5)), []

    def work():
        offset, own = next(offsets), instances()
        private.append(own)
        start.wait()  # all threads at once, on the shared instances and on their own
        for i in range(ROUNDS * len(OPERATIONS)):
            k = (i + offset + i // len(OPERATIONS)) % len(OPERATIONS)
            result = exact(outcome_of(OPERATIONS[k][0], SHARED if i % 2 else own))
            if result != alone[k]:
                wrong.append((k, result, alone[k]))
        wrong.append(None)  # this thread is done

    run_threads(work)
    assert wrong == [None] * THREADS
    assert [reader_count(q) for own in (SHARED, *private) for q in own] == [0] * 5 * (THREADS + 1)
    assert [sys.getrefcount(q) for q in SHARED] == refcounts


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
        except BaseException as error:
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


# A fresh interpreter per trial: threads released together run the module's initialisation (by its entry point,
# as the import would; exactly one may succeed), then each at the same moment meets the first internal failure,
# the first type name of a foreign argument, the first instance and the first TQError.
FIRST_USE = r"""
import ctypes, importlib.util, sys, threading, time
init = ctypes.PyDLL(importlib.util.find_spec("tq_pyo3").origin).PyInit_tq_pyo3
init.restype = ctypes.py_object
get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.argtypes, get_slot.restype = [ctypes.py_object, ctypes.c_int], ctypes.c_void_p
threads, modules, refused, seen = int(sys.argv[1]), [], [], []
start = threading.Barrier(threads)

def at(moment):  # a spin to a moment fixed in advance: the threads on a processor then leave it at once
    while time.perf_counter() < moment:
        pass

def work(first, second):
    at(first)
    try:
        modules.append(init())
    except ImportError as error:
        refused.append("once per interpreter process" in str(error))
    start.wait()
    m = modules[0]
    richcompare = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(
        get_slot(m.Telquant, 67))
    at(second)
    try:
        richcompare(m.Telquant, m.Telquant, 6)  # the receivers are not looked at before the comparison code
    except BaseException as error:
        internal = type(error)
    try:
        m.Telquant(1.0, 5)
    except TypeError as error:
        named = str(error)
    q = m.Telquant(1.0, "m")
    try:
        m.Telquant(1.0, "m/s/s")
    except Exception as error:
        parse_error = type(error)
    seen.append((type(q), parse_error, internal, named))

now = time.perf_counter()
workers = [threading.Thread(target=work, args=(now + 0.03, now + 0.06)) for _ in range(threads)]
for t in workers:
    t.start()
for t in workers:
    t.join()
m = modules[0]
print(len(modules), refused.count(True), len(seen), len(set(seen)), set(seen) == {(m.Telquant, m.TQError,
      seen[0][2], "argument 'unit': 'int' object cannot be converted to 'PyString'")}, seen[0][2].__name__)
"""


def first_use_trial(_):
    run = subprocess.run([sys.executable, "-W", "error", "-c", FIRST_USE, str(THREADS)], capture_output=True, text=True)
    return run.stdout.strip() + run.stderr.strip()[-300:]


def test_first_use_from_many_threads_makes_one_type_and_one_exception_class():
    trials = 60  # two at a time
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        outcomes = collections.Counter(pool.map(first_use_trial, range(trials)))
    assert outcomes == {"1 %d %d 1 True InternalError" % (THREADS - 1, THREADS): trials}
