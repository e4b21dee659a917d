"""Threads sharing instances, the internal-failure path, and the refusal of a second initialisation.

Many threads call every operation on the same instances at once, with the interpreter switching threads
as often as it can, and with number conversions that call back into Python (where another thread may
run in the middle of a call). Every result must be right, and every instance's reader count must be back
at zero afterwards.
"""

from __future__ import annotations

import ctypes
import math
import sys
import threading
import time

import pytest

import tq_pyo3
from tq_pyo3 import Telquant, TQError

THREADS = 8
ROUNDS = 200


def reader_count(q):
    """The reader count: the machine word at the end of the instance (after the header and the record)."""
    size = ctypes.sizeof(ctypes.c_size_t)
    return ctypes.c_size_t.from_address(id(q) + Telquant.__basicsize__ - size).value


class Yielding:
    """A number whose conversion lets other threads run before it answers."""

    def __init__(self, x):
        self.x = x

    def __float__(self):
        time.sleep(0)  # releases the interpreter lock
        return self.x


class Raising:
    def __float__(self):
        time.sleep(0)
        raise ValueError("no number")


KM, HR, RAD, HALF, NAN_M = (Telquant(5.0, "km"), Telquant(2.0, "hr"), Telquant(math.pi / 6, "rad"),
                            Telquant(0.5, ""), Telquant(math.nan, "m"))
SHARED = (KM, HR, RAD, HALF, NAN_M)


def raises(error, message, call):
    try:
        call()
    except error as caught:
        return str(caught) == message
    return False


# (name, call, check of the result): each call uses the shared instances only.
OPERATIONS = [
    ("new", lambda: Telquant(Yielding(3.0), "km/hr"), lambda r: r.value() == 3.0 * (1000.0 * 3600.0**-1)),
    ("new fails", lambda: raises(TQError, "Failed to parse unit 'm/s/s': Unit string can only have one '/'",
                                 lambda: Telquant(1.0, "m/s/s")), bool),
    ("value", lambda: KM.value(), lambda r: r == 5000.0),
    ("value_in", lambda: KM.value_in("m"), lambda r: r == 5000.0),
    ("value_in fails", lambda: raises(TQError, "Incompatible unit conversion to: s", lambda: KM.value_in("s")), bool),
    ("is_unitless", lambda: HALF.is_unitless() and not RAD.is_unitless(), bool),
    ("base_units", lambda: KM.base_units(), lambda r: r == (1.0, 0, 0, 0, 0, 0, 0, 0)),
    ("str", lambda: str(KM / HR), lambda r: r == "0.6944444444444444 m/s"),
    ("repr", lambda: repr(NAN_M), lambda r: r == "Telquant(NaN, 'm')"),
    ("sqrt", lambda: (KM * KM).sqrt(), lambda r: r.value() == 5000.0 and r.base_units()[0] == 1.0),
    ("sqrt fails", lambda: raises(TQError, "sqrt of negative value", lambda: (-KM).sqrt()), bool),
    ("ln", lambda: HALF.ln().value(), lambda r: r == math.log(0.5)),
    ("log2", lambda: HALF.log2().value(), lambda r: r == -1.0),
    ("log10", lambda: (HALF * 200).log10().value(), lambda r: r == 2.0),
    ("ln fails", lambda: raises(TQError, "ln requires a unitless quantity", KM.ln), bool),
    ("sin", lambda: RAD.sin().value(), lambda r: r == math.sin(math.pi / 6)),
    ("cos", lambda: RAD.cos().value(), lambda r: r == math.cos(math.pi / 6)),
    ("tan", lambda: RAD.tan().value(), lambda r: r == math.tan(math.pi / 6)),
    ("cos fails", lambda: raises(TQError, "cos requires an angle quantity", HALF.cos), bool),
    ("asin", lambda: HALF.asin(), lambda r: r.value() == math.asin(0.5) and r.base_units()[7] == 1.0),
    ("acos", lambda: HALF.acos().value(), lambda r: r == math.acos(0.5)),
    ("atan", lambda: HALF.atan().value(), lambda r: r == math.atan(0.5)),
    ("asin()", lambda: tq_pyo3.asin(Yielding(1.0)).value(), lambda r: r == math.pi / 2),
    ("acos()", lambda: tq_pyo3.acos(x=-1).value(), lambda r: r == math.pi),
    ("atan() fails", lambda: raises(ValueError, "no number", lambda: tq_pyo3.atan(Raising())), bool),
    ("+", lambda: (KM + KM).value(), lambda r: r == 10000.0),
    ("+ fails", lambda: raises(TQError, "Incompatible units for addition", lambda: KM + HR), bool),
    ("-", lambda: (KM - KM).value(), lambda r: r == 0.0),
    ("*", lambda: KM * Yielding(2.0), lambda r: r.value() == 10000.0),
    ("* reflected", lambda: Yielding(3.0) * HR, lambda r: r.value() == 21600.0),
    ("* fails", lambda: raises(TypeError, "Cannot multiply TQ with this type", lambda: KM * Raising()), bool),
    ("/", lambda: (KM / HR).base_units(), lambda r: r == (1.0, 0, -1.0, 0, 0, 0, 0, 0)),
    ("/ reflected", lambda: (Yielding(1.0) / HR).value(), lambda r: r == 1 / 7200),
    ("/ fails", lambda: raises(TypeError, "Cannot divide this type by TQ", lambda: Raising() / KM), bool),
    ("**", lambda: (KM**2).value(), lambda r: r == 25e6),
    ("** float", lambda: (KM ** Yielding(0.5)).base_units()[0], lambda r: r == 0.5),
    ("** fails", lambda: raises(TypeError, "Exponent must be int or float", lambda: KM ** Raising()), bool),
    ("neg", lambda: (-KM).value(), lambda r: r == -5000.0),
    ("abs", lambda: abs(-HR).value(), lambda r: r == 7200.0),
    ("==", lambda: (KM == KM, KM != HR, NAN_M == NAN_M, RAD == HALF), lambda r: r == (True, True, False, False)),
    ("<", lambda: (KM < KM * 2, KM <= KM, KM > KM, KM >= KM), lambda r: r == (True, True, False, True)),
    ("< fails", lambda: raises(TQError, "Cannot compare values with incompatible units", lambda: KM < HR), bool),
    ("< NaN fails", lambda: raises(TQError, "Cannot compare values with incompatible units", lambda: NAN_M < KM),
     bool),
]


@pytest.fixture
def busy_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_every_reader_count_starts_at_zero():
    assert [reader_count(q) for q in SHARED] == [0] * len(SHARED)


def test_threads_sharing_instances_get_correct_results(busy_switching):
    start = threading.Barrier(THREADS)
    wrong = []
    done = []

    def work(offset):
        start.wait()
        for i in range(ROUNDS):
            for k in range(len(OPERATIONS)):
                name, call, check = OPERATIONS[(k + offset + i) % len(OPERATIONS)]
                try:
                    result = call()
                    if not check(result):
                        wrong.append((name, result))
                except Exception as error:  # any exception here is a wrong result, reported below
                    wrong.append((name, repr(error)))
        done.append(offset)

    threads = [threading.Thread(target=work, args=(n * 5,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
    assert sorted(done) == [n * 5 for n in range(THREADS)]
    assert [reader_count(q) for q in SHARED] == [0] * len(SHARED)
    assert KM.value() == 5000.0 and KM.base_units() == (1.0, 0, 0, 0, 0, 0, 0, 0)


def richcompare_slot():
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    get_slot.restype = ctypes.c_void_p
    address = get_slot(Telquant, 67)  # Py_tp_richcompare
    assert address
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(address)


@pytest.mark.parametrize("op", [6, 7, -1, 1000, -(2**31), 2**31 - 1])
@pytest.mark.parametrize("left, right", [(KM, KM), (KM, HR), (KM, 3.0), (3.0, KM)])
def test_a_comparison_code_outside_the_six_is_an_internal_failure(op, left, right):
    with pytest.raises(BaseException) as info:  # noqa: B017 - it must not be an Exception
        richcompare_slot()(left, right, op)
    error = info.value
    assert not isinstance(error, Exception)
    assert type(error).__name__ == "InternalError" and type(error).__module__ == "tq_pyo3"
    assert type(error).__bases__ == (BaseException,)
    assert error.args == ("invalid compareop",)
    assert reader_count(KM) == 0


@pytest.mark.parametrize("op, expected", [(0, False), (1, True), (2, True), (3, False), (4, False), (5, True)])
def test_the_six_comparison_codes_answer_through_the_slot(op, expected):
    assert richcompare_slot()(KM, Telquant(5.0, "km"), op) is expected


def test_the_internal_failure_escapes_except_exception_in_threads_too():
    caught = []

    def work():
        try:
            try:
                richcompare_slot()(KM, KM, 6)
            except Exception:  # must not catch it
                caught.append("Exception")
        except BaseException as error:  # noqa: B036
            caught.append(type(error).__name__)

    threads = [threading.Thread(target=work) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert caught == ["InternalError"] * THREADS


def test_a_second_initialisation_through_the_library_is_refused():
    init = ctypes.PyDLL(tq_pyo3.__file__).PyInit_tq_pyo3
    init.restype = ctypes.py_object
    for _ in range(3):
        with pytest.raises(ImportError, match="once"):
            init()
    assert tq_pyo3.Telquant is Telquant and Telquant(1.0, "m").value() == 1.0


def test_concurrent_second_initialisations_are_all_refused(busy_switching):
    init = ctypes.PyDLL(tq_pyo3.__file__).PyInit_tq_pyo3
    init.restype = ctypes.py_object
    outcomes = []

    def work():
        try:
            init()
            outcomes.append("module")
        except ImportError:
            outcomes.append("ImportError")

    threads = [threading.Thread(target=work) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert outcomes == ["ImportError"] * THREADS
