"""Random programs over the whole Python surface of tq_pyo3, each call checked against the model (model.py).

A program draws its choices from a source: a seeded random.Random for the suite (RandomSource, test_model.py),
atheris's FuzzedDataProvider for the fuzzer (fuzz/fuzz_py.py), each with the methods of RandomSource. It builds a
pool of arguments (Telquants holding any record, NaNs of every sign and payload in every exponent and the value;
floats with every special value; ints far beyond 64 bits; unit texts of every kind, short and long, with
characters of each UTF-8 length; objects whose __float__ or __index__ answer fresh objects or raise) and makes
calls: the constructor and value_in by position and by keyword, with wrong counts and names; every operator
forward, reflected and as three-argument pow; the comparisons; every method; the module functions; str and repr;
and the slot functions called directly with operands the interpreter never passes. After each call the reader
count of every Telquant involved is 0 and no argument object gained or lost a reference.
"""

import ctypes
import gc
import math
import operator
import struct
import sys
import sysconfig
import warnings
from decimal import Decimal
from fractions import Fraction

import model
import tq_pyo3
from model import NOT_IMPLEMENTED, Raise, Record, record_of, telquant_of
from tq_pyo3 import Telquant, TQError

try:
    import numpy as np
except ImportError:  # NumPy has no wheel for every interpreter the suite runs on
    np = None

READERS = Telquant.__basicsize__ - ctypes.sizeof(ctypes.c_size_t)


def readers(q):
    return ctypes.c_size_t.from_address(id(q) + READERS).value


class Finding(AssertionError):
    """The module did something the model does not allow."""


def check(cond, *what):
    if not cond:
        raise Finding(" ".join(map(ascii, what)))


# ---- sources of choices ------------------------------------------------------------------------------------------


class RandomSource:
    def __init__(self, rng):
        self.rng = rng

    def int(self, lo, hi):
        return self.rng.randint(lo, hi)

    def bool(self):
        return self.rng.random() < 0.5

    def bytes(self, n):
        return bytes(self.rng.getrandbits(8) for _ in range(n))

    def float(self):
        return struct.unpack("<d", self.bytes(8))[0]

    def char(self):
        return chr(self.rng.choice((self.rng.randint(0, 0x7F), self.rng.randint(0x80, 0x10FFFF))))

    def more(self):
        return True


# ---- what the pool is made of ----------------------------------------------------------------------------------

SNAN, NEG_SNAN = struct.unpack("<2d", struct.pack("<2Q", 0x7FF0000000000001, 0xFFF4000000000123))
PAYLOAD_NAN, NEG_NAN = struct.unpack("<2d", struct.pack("<2Q", 0x7FF8DEADBEEF0001, 0xFFF8000000000000))
# fmt: off
SPECIAL = (0.0, -0.0, math.nan, NEG_NAN, SNAN, NEG_SNAN, PAYLOAD_NAN, math.inf, -math.inf, 5e-324, -5e-324,
           2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308, -1.7976931348623157e308, 1.0, -1.0,
           0.5, 2.0, -2.5, 1e-13, 1.0000000000000002, 0.9999999999999999, math.pi / 6, 3.0, 1e300, 1e-300, 1e16,
           1e-7, 123456.789, 2147483647.0, 2147483648.0)
EXPONENTS = (0.0, 0.0, 0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -2.0, 3.0, 1 / 3, 5e-324, 1e-13, math.nan, NEG_NAN, SNAN,
             PAYLOAD_NAN, math.inf, -math.inf, 2147483647.0, 2147483648.0, 1e300, 1.0000000000000002)
BIG_INTS = (2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**53 + 1, 2**63 - 1, 2**63, -(2**63), 2**64, 10**30, 2**1023,
            2**1024, -(2**1024), 10**400)
SYMBOLS = tuple(model.UNITS) + ("h", "KM", "meter", "\u00b5m", "x", "")
POWERS = ("", "2", "^2", "^-1", "^200", "^-200", "^-3", "^0", "^007", "^-0", " ^2", "^(-2)", "[2]", "^2147483647",
          "^2147483648", "^-2147483648", "^-2147483649", "2147483648", "^99999999999", "^", "^-", "^^2", "^0.5", "^+2",
          "-2", " 2")
# characters at both ends of each UTF-8 length, the blanks, brackets, NUL and a lone surrogate
CHARACTERS = ("\x7f", "\x80", "\u07ff", "\u0800", "\uffff", "\U00010000", "\U0010ffff", "\u00e9", "\U0001f600",
              "\u2212", "\x00", "\ud800", "\udfff", "*", ".", "\u00b7", "1") + tuple(model.WHITE_SPACE) + tuple("()[]")
# fmt: on
ERRORS = (TypeError, ValueError, ZeroDivisionError, OverflowError, DeprecationWarning, KeyboardInterrupt)


class TypeErrorSub(TypeError):
    pass


class BadText:
    def __str__(self):
        raise ValueError("no text")


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class Nameless(type):
    """A metaclass whose classes answer `answer` for __qualname__ (raising it when it is an exception type)."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            answer = type.__getattribute__(cls, "answer")
            if isinstance(answer, type):
                raise answer("no name")
            return answer
        return type.__getattribute__(cls, name)


NAMELESS = tuple(
    Nameless(n, (), {"answer": a})
    for n, a in (
        ("Raising", RuntimeError),
        ("Wrong", 5),
        ("Sub", StrSub("Sub")),
        ("Surrogate", "a\udc80"),
        ("Inner", "Outer.Inner"),
    )
)


class Num:
    """__float__ answers a fresh copy of x, or raises a fresh x (an exception type) with a cause."""

    def __init__(self, x):
        self.x = x

    def __float__(self):
        if self.x is BadText:
            raise TypeError(BadText())
        if isinstance(self.x, type):
            raise self.x("from __float__") from ValueError("cause")
        return type(self.x)(self.x) if type(self.x) is FloatSub else self.x

    def __repr__(self):
        return "Num(%r)" % (self.x,)


class Idx:
    """__index__ answers n, or a copy of n that nothing else holds (new), or raises a fresh n (an exception type);
    __float__ answers x, or raises TypeError when x is None."""

    def __init__(self, n, x=None, new=False):
        self.n, self.x, self.new = n, x, new

    def __index__(self):
        if isinstance(self.n, type):
            raise self.n("from __index__")
        return int(str(self.n)) if self.new and type(self.n) is int else self.n

    def __float__(self):
        if self.x is None:
            raise TypeError("no __float__")
        return self.x

    def __repr__(self):
        return "Idx(%r, %r)" % (self.n, self.x)


class Opaque:
    pass


def fresh_int(n):
    return int(str(n))


class Builder:
    def __init__(self, source):
        self.src = source

    def pick(self, seq):
        return seq[self.src.int(0, len(seq) - 1)]

    def number(self):
        choice = self.src.int(0, 3)
        if choice <= 1:
            return self.pick(SPECIAL)
        if choice == 2:
            return float(self.src.int(-4, 4))
        return self.src.float()

    def big_int(self):
        return fresh_int(self.pick(BIG_INTS) * self.pick((1, -1)) + self.pick((0, 0, 0, 1, -1, 2, -2)))

    def token(self):
        text = self.pick(SYMBOLS) + (self.pick(POWERS) if self.src.int(0, 2) == 0 else "")
        for _ in range(self.src.int(0, 1) * self.src.int(0, 2)):
            at = self.src.int(0, len(text))
            text = text[:at] + (self.pick(CHARACTERS) if self.src.bool() else self.src.char()) + text[at:]
        return text

    def text(self):
        """A unit expression: tokens joined by "-" and at most a few "/", at times long or around 32 characters."""
        shape = self.src.int(0, 9)
        if shape == 0:
            return "".join(self.src.char() for _ in range(self.src.int(0, 40)))
        if shape == 1:
            return self.pick(
                model.ORDER
                + (
                    "",
                    "/",
                    "-",
                    " ",
                    "()",
                    "m/s/",
                    "km/hr",
                    "kg-m/s^2",
                    "km^200",
                    "/nm^200",
                    "km^200-nm^200",
                    "ly^-30/pc^-30",
                    "fmol^-99",
                )
            )  # factors beyond doubles
        parts = [self.token() for _ in range(self.src.int(1, 4))]
        text = ""
        for part in parts:
            text += part + self.pick(("-", "-", "-", "-", "/", "--", "- -", " - ", "\u3000-"))
        text = text[: -self.src.int(0, 2) or None]
        if shape == 2:  # around the length the module encodes on the stack, in characters of every UTF-8 width
            width = self.pick(("m", "\x7f", "\x80", "\u07ff", "\u0800", "\uffff", "\U00010000", "\U0010ffff"))
            text = (self.pick((text, "", self.pick(SYMBOLS))) + width * 40)[: self.src.int(30, 34)]
        elif shape == 3:  # one token beyond any local buffer, sometimes with brackets inside
            text = self.pick(SYMBOLS[:3]) + self.pick(("(", "", "[]")) * self.src.int(1, 3) + "x" * self.src.int(60, 70)
        elif shape == 4:
            text = text * self.src.int(5, 40)
        return "".join(list(text))  # a fresh object

    def dims(self):
        """Unitless, an angle, or any exponents; now and then one lane off by a little (or NaN)."""
        shape = self.src.int(0, 4)
        if shape == 0:
            dims = [self.pick(EXPONENTS) if self.src.int(0, 2) == 0 else 0.0 for _ in range(8)]
        elif shape == 1:  # the longest texts: every exponent a fraction of the most digits
            dims = [self.pick((1, -1)) * self.pick((9.4e-323, 2.225073858507201e-308, 0.1 + 0.2)) for _ in range(8)]
        else:
            dims = [0.0] * 7 + [float(shape == 2)]
        if self.src.int(0, 2) == 0:
            dims[self.src.int(0, 7)] = self.pick((-0.0, 5e-324, 1e-13, 1.0, math.nan, NEG_SNAN, PAYLOAD_NAN))
        return dims

    def near(self, q):
        """A Telquant like q with its value one step up or down (or the same), its units now and then changed."""
        rec = record_of(q)
        n = model.bits(rec.value) + self.pick((-1, 0, 1))  # the neighbouring double (or an infinity or NaN)
        value = model.from_bits(n) if 0 <= n < 2**64 else rec.value
        dims = list(rec.dims)
        if self.src.int(0, 3) == 0:
            dims[self.src.int(0, 7)] = self.pick(EXPONENTS)
        return telquant_of(Record(value, dims))

    def telquant(self):
        """A Telquant: any record written into one, or one made by the constructor and powers."""
        if self.src.int(0, 1) == 0:
            return telquant_of(Record(self.number(), self.dims()))
        kind, q = model.capture(lambda: Telquant(self.number(), self.text()))
        if kind != "ok":
            q = Telquant(self.number(), self.pick(model.ORDER))
        for symbol in model.ORDER:
            if self.src.int(0, 5) == 0:
                q = q * Telquant(1.0, symbol) ** self.pick(EXPONENTS)  # pow(1, p) is 1 for every p
        return q

    def hostile(self):
        choice = self.src.int(0, 10)
        if choice == 0:
            return Num(self.pick(ERRORS + (TypeErrorSub, BadText)))
        if choice == 1:
            return Num(self.pick((self.number(), FloatSub(self.number()), self.big_int(), True, None, "2")))
        if choice == 2:
            return Idx(self.pick(ERRORS + (TypeErrorSub,)), self.pick((None, self.number())))
        if choice == 3:
            n = self.pick((self.big_int(), fresh_int(self.src.int(-300, 300)), True, self.number(), IntSub(2)))
            return Idx(n, self.pick((None, self.number(), 0.5)), self.src.bool())
        if choice == 4:
            return FloatSub(self.number())
        if choice == 5:
            return IntSub(self.big_int())
        if choice == 6:
            return StrSub(self.text())
        if choice == 7:
            return self.pick(
                (Fraction(self.src.int(-9, 9), self.src.int(1, 9)), Decimal(self.src.int(-99, 99)) / 8, Decimal("NaN"))
            )
        if choice == 8 and np is not None:
            return self.pick((np.float64, np.float32, np.int64, np.bool_))(self.src.int(-3, 3))
        return self.pick((None, Opaque(), b"m", bytearray(b"m"), 1 + 2j, [1.0], Telquant, self.pick(NAMELESS)()))

    def argument(self):
        choice = self.src.int(0, 10)
        if choice <= 2:
            return self.telquant()
        if choice == 3:
            return self.number()
        if choice == 4:
            return self.pick((self.big_int(), fresh_int(self.src.int(-300, 300)), True, False, self.src.int(-40, 40)))
        if choice == 10:
            return self.number() * self.src.int(1, 99)
        if choice == 5:
            return self.text()
        return self.hostile()


# ---- calls -------------------------------------------------------------------------------------------------------


def slot(number, *argtypes):
    """A slot function of the Telquant type, called through ctypes with any objects."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes, get_slot.restype = [ctypes.py_object, ctypes.c_int], ctypes.c_void_p
    return ctypes.PYFUNCTYPE(ctypes.py_object, *argtypes)(get_slot(Telquant, number))


OBJ = ctypes.py_object
UNARY_SLOTS = {"repr": slot(66, OBJ), "str": slot(70, OBJ), "neg": slot(30, OBJ), "abs": slot(6, OBJ)}
BINARY_SLOTS = {"+": slot(7, OBJ, OBJ), "-": slot(36, OBJ, OBJ), "*": slot(29, OBJ, OBJ), "/": slot(37, OBJ, OBJ)}
POWER_SLOT, COMPARE_SLOT = slot(33, OBJ, OBJ, OBJ), slot(67, OBJ, OBJ, ctypes.c_int)
BINARY = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "**": operator.pow}
COMPARE = (operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge)
METHODS = [name for name, member in vars(Telquant).items() if type(member) is type(Telquant.value)]
FUNCTIONS = ("asin", "acos", "atan")
NAMES = ("value", "unit", "x", "units", "Unit", "", "\ud800", "valu\u0435")
try:
    COMPARE_SLOT(Telquant(1, ""), Telquant(1, ""), 6)
except BaseException as error:
    INTERNAL = type(error)  # the module's class for a broken invariant, not reachable by name

# A stand-in with the Telquant type's name and no number slots: where a Telquant slot answers NotImplemented, the
# interpreter's own error for the same expression on it is the one expected.
SHADOW = type("tq_pyo3.Telquant", (), {})()


# CPython 3.13.0 to 3.13.2 crash in pow(a, b, m) when m alone is a Decimal (python/cpython#130230).
DECIMAL_MODULUS_CRASHES = (3, 13) <= sys.version_info[:3] < (3, 13, 3)


def invoke(fn, args, kwargs):
    """fn(*args) with no keyword dict at all when kwargs is None, else fn(*args, **kwargs)."""
    return fn(*args) if kwargs is None else fn(*args, **kwargs)


def from_numpy(x):
    return np is not None and isinstance(x, np.generic)


def through_interpreter(expected, expression, operands):
    """What the interpreter makes of a slot's answer: NotImplemented gives the stand-in's outcome."""
    if expected is not NOT_IMPLEMENTED:
        return expected
    if any(from_numpy(x) for x in operands):
        return None  # NumPy's scalar operators answer in their own ways
    kind, got = model.capture(lambda: expression(*[SHADOW if model.is_telquant(x) else x for x in operands]))
    if kind == "ok":
        return ("bool", got) if type(got) is bool else None
    return Raise(type(got), str(got))


class Program:
    def __init__(self, source):
        self.src = source
        self.build = Builder(source)
        self.pool = [self.build.argument() for _ in range(source.int(1, 6))]

    def arg(self):
        if self.pool and self.src.int(0, 3):
            return self.build.pick(self.pool)
        x = self.build.argument()
        self.pool.append(x)
        return x

    def tq(self):
        for x in self.pool:
            if model.is_telquant(x) and self.src.bool():
                return x if self.src.int(0, 3) else self.build.near(x)
        x = self.build.telquant()
        self.pool.append(x)
        return x

    def value(self, name):
        """A likely argument for the parameter `name`: mostly a number for value and x, a unit text for unit."""
        if self.src.int(0, 9) == 0:
            return self.arg()
        return self.build.text() if name == "unit" else self.build.number()

    def call_args(self, names, make):
        """Arguments for a call taking `names` (made by make(name)), now and then with wrong counts or names; kwargs
        None: no keyword dict at all."""
        shape = self.src.int(0, 11)
        values = [make(name) for name in names]
        if shape <= 5:
            return tuple(values), None
        if shape == 6:
            return tuple(values), {}
        if shape <= 8:
            return (), {"".join(list(n)): v for n, v in zip(names, values)}
        if shape == 9:
            return tuple(values[:1]), {"".join(list(n)): v for n, v in zip(names[1:], values[1:])}
        args = tuple(self.arg() for _ in range(self.src.int(0, 3)))
        kwargs = {self.build.pick(NAMES): self.arg() for _ in range(self.src.int(0, 2))}
        return args, (kwargs if kwargs or self.src.bool() else None)

    def step(self):
        """One call: (what, call, expected outcome, the objects handed over)."""
        op = self.src.int(0, 13)
        if op <= 1:
            args, kwargs = self.call_args(("value", "unit"), self.value)
            return "Telquant", lambda: invoke(Telquant, args, kwargs), model.expect_new(args, kwargs), args, kwargs
        if op == 2:
            q = self.tq()
            args, kwargs = self.call_args(("unit",), self.value)
            return (
                "value_in",
                lambda: invoke(q.value_in, args, kwargs),
                model.expect_value_in(q, args, kwargs),
                (q,) + args,
                kwargs,
            )
        if op <= 4:
            sym = self.build.pick(tuple(BINARY))
            a, b = (self.tq(), self.arg()) if self.src.bool() else (self.arg(), self.tq())
            if sym == "**" and self.src.bool():
                m = self.arg()
                if DECIMAL_MODULUS_CRASHES and type(m) is Decimal and Decimal not in (type(a), type(b)):
                    m = 7
                expected = model.expect_binary("**", a, b) if model.is_telquant(a) else NOT_IMPLEMENTED
                return "pow3", lambda: pow(a, b, m), through_interpreter(expected, pow, (a, b, m)), (a, b, m), None
            expected = None if from_numpy(a) else model.expect_binary(sym, a, b)
            return sym, lambda: BINARY[sym](a, b), through_interpreter(expected, BINARY[sym], (a, b)), (a, b), None
        if op == 5:
            code = self.src.int(0, 5)
            a, b = (self.tq(), self.arg()) if self.src.bool() else (self.arg(), self.tq())
            expected = through_interpreter(model.expect_compare(code, a, b), COMPARE[code], (a, b))
            return model.COMPARISONS[code], lambda: COMPARE[code](a, b), expected, (a, b), None
        if op <= 7:
            name, q = self.build.pick(METHODS), self.tq()
            if name == "value_in":
                name = "value"
            if self.src.int(0, 7) == 0:
                extra = self.arg()
                text = "Telquant.%s() takes no arguments (1 given)" % name
                if sys.version_info < (3, 9):
                    text = text.replace("Telquant.", "")
                return name, lambda: getattr(q, name)(extra), Raise(TypeError, text), (q, extra), None
            return name, lambda: getattr(q, name)(), model.expect_method(name, q), (q,), None
        if op == 8:
            name = self.build.pick(FUNCTIONS)
            args, kwargs = self.call_args(("x",), self.value)
            fn = getattr(tq_pyo3, name)
            return (
                name + "()",
                lambda: invoke(fn, args, kwargs),
                model.expect_function(name, args, kwargs),
                args,
                kwargs,
            )
        if op == 9:
            q, which = self.tq(), self.build.pick((str, repr, operator.neg, abs))
            name = {str: "str", repr: "repr", operator.neg: "neg", abs: "abs"}[which]
            return name, lambda: which(q), model.expect_method(name, q), (q,), None
        if op == 10:
            name, x = self.build.pick(tuple(UNARY_SLOTS)), self.arg()
            return "slot " + name, lambda: UNARY_SLOTS[name](x), model.expect_method(name, x), (x,), None
        if op == 11:
            sym, a, b = self.build.pick(tuple(BINARY)), self.arg(), self.arg()
            if sym == "**":
                m = self.arg()
                return "slot **", lambda: POWER_SLOT(a, b, m), model.expect_binary("**", a, b), (a, b, m), None
            return "slot " + sym, lambda: BINARY_SLOTS[sym](a, b), model.expect_binary(sym, a, b), (a, b), None
        code, a, b = self.src.int(-1, 7), self.arg(), self.arg()
        return "slot cmp", lambda: COMPARE_SLOT(a, b, code), model.expect_compare(code, a, b), (a, b), None


# ---- checking an outcome ---------------------------------------------------------------------------------------


def verify(where, expected, kind, got):
    if expected is None:  # left to another library: any result, or an ordinary exception
        check(kind == "ok" or (isinstance(got, Exception) and not isinstance(got, (SystemError, TQError))), where, got)
        return
    if isinstance(expected, Raise):
        check(kind == "raise", where, "returned", got, "instead of raising", expected)
        if expected.kind == model.INTERNAL:
            check(type(got) is INTERNAL and not isinstance(got, Exception), where, "raised", got, "not", expected)
        else:
            check(type(got) is expected.kind, where, "raised", got, "instead of", expected)
        check(expected.text is None or str(got) == expected.text, where, "text", str(got), "instead of", expected)
        check(expected.args is None or got.args == expected.args, where, "args", got.args, expected.args)
        check(expected.cause is None or type(got.__cause__) is expected.cause, where, "cause", got.__cause__)
        return
    check(kind == "ok", where, "raised", got, "instead of", expected)
    if expected is NOT_IMPLEMENTED:
        check(got is NotImplemented, where, "returned", got, "instead of NotImplemented")
        return
    tag, value = expected
    if tag == "tq":
        check(type(got) is Telquant and readers(got) == 0, where, "returned", got, "instead of a new Telquant")
        check(record_of(got) == value, where, "record", record_of(got), "instead of", value)
    elif tag == "float":
        check(type(got) is float and model.bits(got) == model.bits(value), where, got, "instead of", value)
    elif tag == "bool":
        check(got is value, where, got, "instead of", value)
    elif tag == "dims":
        check(type(got) is tuple and all(type(e) is float for e in got), where, got, "is no tuple of floats")
        check(list(map(model.bits, got)) == list(map(model.bits, value)), where, got, "instead of", value)
    else:
        check(type(got) is str and got == value, where, got, "instead of", value)


def fresh(x):
    """An object only this program holds, whose reference count moves only by what the call does."""
    if isinstance(x, (bool, type)) or x is None or (np is not None and isinstance(x, np.generic)):
        return False
    if isinstance(x, int):
        return not -5 <= x <= 256
    if isinstance(x, (str, bytes)):
        return len(x) > 1
    return True


# Classes whose reference counts every raise moves and must give back: the type, TQError and the interpreter's
# exceptions the module raises or passes on (mortal up to 3.11). From 3.14 on, and on a free-threaded build, the
# interpreter itself takes and drops references to classes (as it specialises code, or deferred), so their counts
# tell nothing there.
CLASSES = (Telquant, TQError, TypeError, MemoryError, OverflowError, UnicodeEncodeError, ValueError, SystemError)
if sys.version_info >= (3, 14) or sysconfig.get_config_var("Py_GIL_DISABLED"):
    CLASSES = ()


def watched(args, kwargs):
    objs = list(args) + list((kwargs or {}).values()) + list(kwargs or {})
    objs += [held for x in objs if isinstance(x, (Num, Idx)) for held in vars(x).values()]
    return list(CLASSES) + [x for x in objs if fresh(x)]


def run_step(program, trace=None):
    where, call, expected, args, kwargs = program.step()
    if trace:
        trace(where, args, kwargs)
    objs = watched(args, kwargs)
    before = [sys.getrefcount(o) for o in objs]
    kind, got = model.capture(call)
    verify(where, expected, kind, got)
    keep = got if kind == "ok" and model.is_telquant(got) and len(program.pool) < 24 else None
    del got
    after = [sys.getrefcount(o) - (o is Telquant and keep is not None) for o in objs]  # keep holds the type
    if after != before:
        gc.collect()
        after = [sys.getrefcount(o) - (o is Telquant and keep is not None) for o in objs]
        check(
            after == before,
            where,
            "reference counts moved",
            [(type(o).__name__, b, a) for o, b, a in zip(objs, before, after) if a != b],
        )
    for x in list(args) + list((kwargs or {}).values()):
        if model.is_telquant(x):
            check(readers(x) == 0, where, "reader count", readers(x))
    if keep is not None:
        program.pool.append(keep)


def run_program(source, steps, trace=None):
    """A program of up to `steps` calls; raises Finding at the first call the model does not allow. Once it is
    done, every Telquant it made has been read by no one and has given back its reference to the type."""
    type_refs = sys.getrefcount(Telquant)
    with warnings.catch_warnings():
        warnings.simplefilter("error" if source.bool() else "ignore")  # a warning may fail a conversion too
        program = Program(source)
        for _ in range(steps):
            if not source.more():
                break
            run_step(program, trace)
    check(all(readers(x) == 0 for x in program.pool if model.is_telquant(x)), "pool", "reader counts")
    del program
    if sys.getrefcount(Telquant) != type_refs:
        gc.collect()
    refs = sys.getrefcount(Telquant)
    check(refs == type_refs or not CLASSES, "program", "references to the type", refs, "instead of", type_refs)
