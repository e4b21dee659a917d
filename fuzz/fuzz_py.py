#!/usr/bin/env python3
"""Coverage-guided fuzzer of the whole Python surface of tq_pyo3 (atheris on a sanitized, coverage-instrumented build).

Each input is read by atheris.FuzzedDataProvider as a short program: it builds a pool of hostile arguments (floats
with every special value, ints far beyond 64 bits, bools, str with any code point, bytes, None, NumPy scalars,
Telquants of random units, objects whose __float__ or __index__ misbehave) and then runs a sequence of calls drawn
from the constructor, value_in, every operator (forward, reflected, three-argument pow, and the slots called
directly with operands the interpreter never passes), the comparisons, every method, the module functions, str and
repr, by position and by keyword, with wrong counts and wrong keywords.

The oracle is a plain model of the documented behaviour, computed from the records bit for bit:
  * a call returns exactly what the model says (a Telquant with the model's record, a float, a bool, a tuple of
    eight floats, a str), or raises exactly the model's exception type with its documented text: TQError with a
    message from the fixed set, TypeError with the documented texts or the interpreter's own (taken from the same
    expression on a stand-in object without number slots), or whatever a hostile object raised, passed through;
  * afterwards the reader count of every instance is 0, and no argument object gained or lost a reference;
  * any other outcome (SystemError, tq_pyo3.InternalError, a wrong type, record or text) ends the run with the
    input saved; a sanitizer report ends it too.
Run through `make fuzz-py` (dev/checks/fuzz.py), which loads atheris's ASan runtime with LD_PRELOAD.
"""

import ctypes
import ctypes.util
import gc
import math
import operator
import os
import re
import struct
import sys
import warnings

import atheris

import tq_pyo3
from tq_pyo3 import Telquant, TQError

try:
    import numpy as np
except ImportError:  # the fuzzer runs without NumPy scalars
    np = None

# ---- reading and writing records ---------------------------------------------------------------------------

HEAD = object.__basicsize__  # the record follows the object header: eight exponents, then the value
READERS = Telquant.__basicsize__ - ctypes.sizeof(ctypes.c_size_t)
ORDER = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")


def record(q):
    """(value, dims) read from the instance's memory, independent of the methods under test."""
    dims = tuple(ctypes.c_double.from_address(id(q) + HEAD + 8 * i).value for i in range(8))
    return ctypes.c_double.from_address(id(q) + HEAD + 64).value, dims


def readers(q):
    return ctypes.c_size_t.from_address(id(q) + READERS).value


def made(value, dims):
    """A Telquant holding exactly this record (written in place into a new instance)."""
    q = Telquant(1.0, "")
    for i, e in enumerate(dims):
        ctypes.c_double.from_address(id(q) + HEAD + 8 * i).value = e
    ctypes.c_double.from_address(id(q) + HEAD + 64).value = value
    return q


def bits(x):
    return "nan" if x != x else struct.pack("<d", x)


def same(a, b):
    return bits(a) == bits(b)


# The C library's functions, so the model computes the same bits as the core.
LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("pow", "sqrt", "log", "log2", "log10", "sin", "cos", "tan", "asin", "acos", "atan", "fabs"):
    getattr(LIBM, _name).restype = ctypes.c_double
    getattr(LIBM, _name).argtypes = [ctypes.c_double] * (2 if _name == "pow" else 1)


def c_fn(name, *args):
    return getattr(LIBM, name)(*args)


def fdiv(a, b):  # IEEE division, which Python's / refuses for a zero divisor
    if b == 0.0 and a == a:
        if a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    if b == 0.0:
        return a
    return a / b


# ---- the model ----------------------------------------------------------------------------------------------

ZERO = (0.0,) * 8
BASE = {"": ZERO, **{s: tuple(1.0 if j == i else 0.0 for j in range(8)) for i, s in enumerate(ORDER)}}
PARSE_REASON = (
    r"(Unknown unit: .*|Unit string can only have one '/'|Empty unit token|"
    r"Missing exponent after '\^' in \".*\"|Missing unit symbol before exponent in \".*\"|"
    r"Unable to read numeric power from \".*\")"
)


class Finding(AssertionError):
    pass


def check(cond, *what):
    if not cond:
        raise Finding(" ".join(map(repr, what)))


def compatible(a, b):
    return all(a[i] == b[i] for i in range(7)) and (a[7] == 1.0 or a[7] == b[7])


def unitless(dims):
    return all(e == 0.0 for e in dims)


def angle(dims):
    return all(e == 0.0 for e in dims[:7]) and dims[7] == 1.0


def is_tq(x):
    return isinstance(x, Telquant)


class Raise:
    """An expected exception: its type and a test of its text (a str is matched exactly, a Pattern in full)."""

    def __init__(self, kind, text=None, args=None):
        self.kind, self.text, self.args = kind, text, args


class Loose:
    """An outcome left to another library (NumPy's own operators): any value or any exception of a type that an
    ordinary failure raises; InternalError and SystemError stay findings."""


NOT_IMPLEMENTED = object()  # the slot answers NotImplemented


def capture(call):
    """Runs call(): ("ok", result) or ("raise", exception); the exception's traceback is dropped."""
    try:
        return "ok", call()
    except BaseException as error:  # noqa: B036 - hostile objects raise BaseException subclasses
        error.__traceback__ = None
        if error.__cause__ is not None:
            error.__cause__.__traceback__ = None
        if error.__context__ is not None:
            error.__context__.__traceback__ = None
        return "raise", error


def as_double(x):
    """PyFloat_AsDouble of x: math.ldexp(x, 0) reads its argument the same way and returns it unchanged."""
    kind, got = capture(lambda: math.ldexp(x, 0))
    return (got, None) if kind == "ok" else (None, got)


def passed_through(error):
    """The exception a hostile conversion raised, expected unchanged."""
    return Raise(type(error), str(error), error.args)


def argument(name, error):
    """number_arg/TextArg: exactly TypeError is rewritten with the argument's name (or replaced by the error its
    text raised), others pass unchanged."""
    if type(error) is TypeError:
        kind, text = capture(lambda: str(error))
        if kind != "ok":
            return passed_through(text)
        return Raise(TypeError, "argument '%s': %s" % (name, text))
    return passed_through(error)


def qualname(x):
    """type_name_of: the __qualname__ of x's type, or the fixed text when it cannot be read as a str."""
    kind, name = capture(lambda: getattr(type(x), "__qualname__"))
    return name if kind == "ok" and isinstance(name, str) else "<failed to extract type name>"


MISSING = object()


def bind(display, names, args, kwargs):
    """The argument binding: a list of values, or the Raise of its TypeError."""
    if len(args) > len(names):
        return Raise(
            TypeError,
            "%s takes %d positional arguments but %d %s given"
            % (display, len(names), len(args), "was" if len(args) == 1 else "were"),
        )
    out = list(args) + [MISSING] * (len(names) - len(args))
    for key, value in kwargs.items():
        if key not in names:
            return Raise(TypeError, "%s got an unexpected keyword argument '%s'" % (display, key))
        i = names.index(key)
        if out[i] is not MISSING:
            return Raise(TypeError, "%s got multiple values for argument '%s'" % (display, names[i]))
        out[i] = value
    missing = [n for n, v in zip(names, out) if v is MISSING]
    if len(missing) == 1:
        return Raise(TypeError, "%s missing 1 required positional argument: '%s'" % (display, missing[0]))
    if missing:
        return Raise(
            TypeError,
            "%s missing %d required positional arguments: '%s' and '%s'"
            % (display, len(missing), missing[0], missing[1]),
        )
    return out


def text_arg(obj):
    """TextArg: the UTF-8 text, or the Raise for a non-str or an unencodable str."""
    if not isinstance(obj, str):
        return None, Raise(TypeError, "argument 'unit': '%s' object cannot be converted to 'PyString'" % qualname(obj))
    kind, got = capture(lambda: str.encode(obj, "utf-8"))
    return (obj, None) if kind == "ok" else (None, argument("unit", got))


def parse_failure(unit):
    return Raise(TQError, re.compile(re.escape("Failed to parse unit '%s': " % unit) + PARSE_REASON, re.S))


def telquant(value, dims):
    return ("tq", value, dims)


def model_new(args, kwargs):
    bound = bind("Telquant.__new__()", ("value", "unit"), args, kwargs)
    if isinstance(bound, Raise):
        return bound
    value, error = as_double(bound[0])
    if error is not None:
        return argument("value", error)
    unit, failed = text_arg(bound[1])
    if failed is not None:
        return failed
    if unit in BASE:
        return telquant(value * 1.0, BASE[unit])
    return ("tq-or-parse", unit)


def model_value_in(q, args, kwargs):
    bound = bind("Telquant.value_in()", ("unit",), args, kwargs)
    if isinstance(bound, Raise):
        return bound
    unit, failed = text_arg(bound[0])
    if failed is not None:
        return failed
    value, dims = record(q)
    if unit in BASE:
        if not compatible(dims, BASE[unit]):
            return Raise(TQError, "Incompatible unit conversion to: " + unit)
        return ("float", value / 1.0)
    return ("float-or-error", unit)


def unary(kind, x):
    if not is_tq(x):
        return Raise(TypeError, "'%s' object cannot be converted to 'Telquant'" % qualname(x))
    value, dims = record(x)
    return telquant(-value if kind == "neg" else c_fn("fabs", value), dims)


def additive(kind, a, b):
    if not (is_tq(a) and is_tq(b)):
        return NOT_IMPLEMENTED
    (va, da), (vb, db) = record(a), record(b)
    if not compatible(da, db):
        return Raise(TQError, "Incompatible units for %s" % ("addition" if kind == "+" else "subtraction"))
    return telquant(va + vb if kind == "+" else va - vb, da)


MIXED_TEXT = {
    "*": ("Cannot multiply TQ with this type", "Cannot multiply this type with TQ"),
    "/": ("Cannot divide TQ by this type", "Cannot divide this type by TQ"),
}


def multiplicative(kind, a, b):
    forward, reflected = MIXED_TEXT[kind]
    if is_tq(a):
        va, da = record(a)
        if is_tq(b):
            vb, db = record(b)
            if kind == "*":
                return telquant(va * vb, tuple(x + y for x, y in zip(da, db)))
            return telquant(fdiv(va, vb), tuple(x - y for x, y in zip(da, db)))
        x, error = as_double(b)
        if error is not None:
            return Raise(TypeError, forward)
        return telquant(x * va, da) if kind == "*" else telquant(fdiv(va, x), da)
    if not is_tq(b):
        return NOT_IMPLEMENTED
    vb, db = record(b)
    x, error = as_double(a)
    if error is not None:
        return Raise(TypeError, reflected)
    if kind == "*":
        return telquant(x * vb, db)
    return telquant(fdiv(x, vb), tuple(0.0 - e for e in db))


def integer_exponent(e):
    if isinstance(e, int):
        n = int.__index__(e)
    else:
        kind, n = capture(lambda: operator.index(e))
        if kind != "ok":
            return None
    return n if -(2**31) <= n < 2**31 else None


def power(a, e):
    if not is_tq(a):
        return NOT_IMPLEMENTED
    va, da = record(a)
    n = integer_exponent(e)
    if n is not None:
        p = float(n)
    else:
        p, error = as_double(e)
        if error is not None:
            return Raise(TypeError, "Exponent must be int or float")
    return telquant(c_fn("pow", va, p), tuple(x * p for x in da))


COMPARE = ("<", "<=", "==", "!=", ">", ">=")


def comparison(code, a, b):
    if not (is_tq(a) and is_tq(b)):
        return NOT_IMPLEMENTED
    (va, da), (vb, db) = record(a), record(b)
    ok = compatible(da, db)
    if code == 2:
        return ("bool", ok and va == vb)
    if code == 3:
        return ("bool", not (ok and va == vb))
    if not ok or va != va or vb != vb:
        return Raise(TQError, "Cannot compare values with incompatible units")
    return ("bool", [va < vb, va <= vb, None, None, va > vb, va >= vb][code])


def method(name, q):
    value, dims = record(q)
    if name == "value":
        return ("float", value)
    if name == "is_unitless":
        return ("bool", unitless(dims))
    if name == "base_units":
        return ("dims", dims)
    if name == "sqrt":
        if value < 0.0:
            return Raise(TQError, "sqrt of negative value")
        return telquant(c_fn("fabs", c_fn("sqrt", value)), tuple(e * 0.5 for e in dims))
    if name in ("ln", "log2", "log10"):
        if not unitless(dims):
            return Raise(TQError, name + " requires a unitless quantity")
        if 0.0 >= value:
            return Raise(TQError, name + " domain error (value <= 0)")
        return telquant(c_fn("log" if name == "ln" else name, value), ZERO)
    if name in ("sin", "cos", "tan"):
        if not angle(dims):
            return Raise(TQError, name + " requires an angle quantity")
        return telquant(c_fn(name, value), ZERO)
    if not unitless(dims):
        return Raise(TQError, name + " requires a unitless quantity")
    if name != "atan" and c_fn("fabs", value) > 1.0:
        return Raise(TQError, name + " requires a value in the range [-1, 1]")
    return telquant(c_fn(name, value), (0.0,) * 7 + (1.0,))


def function(name, args, kwargs):
    bound = bind(name + "()", ("x",), args, kwargs)
    if isinstance(bound, Raise):
        return bound
    x, error = as_double(bound[0])
    if error is not None:
        return argument("x", error)
    return method(name, made(x * 1.0, ZERO))


# ---- comparing an outcome with the model ----------------------------------------------------------------------

INTERNAL = getattr(tq_pyo3, "InternalError", None)


def verify(where, expected, kind, got):
    if isinstance(expected, Loose):
        if kind == "raise":
            check(
                isinstance(got, Exception) and not isinstance(got, (SystemError, TQError)),
                where,
                "unexpected exception",
                got,
            )
        return
    if isinstance(expected, Raise):
        check(kind == "raise", where, "returned", got, "instead of raising", expected.kind)
        check(type(got) is expected.kind, where, "raised", got, "instead of", expected.kind, expected.text)
        text = str(got)
        if isinstance(expected.text, str):
            check(text == expected.text, where, "text", text, "instead of", expected.text)
        elif expected.text is not None:
            check(expected.text.fullmatch(text), where, "text", text, "does not match", expected.text.pattern)
        if expected.args is not None:
            check(got.args == expected.args, where, "args", got.args, expected.args)
        if expected.kind is TQError:
            check(len(got.args) == 1, where, "TQError args", got.args)
        return
    check(kind == "ok", where, "raised", got, "instead of", expected)
    if expected is NOT_IMPLEMENTED:
        check(got is NotImplemented, where, "returned", got, "instead of NotImplemented")
        return
    tag = expected[0]
    if tag in ("tq", "tq-or-parse"):
        check(type(got) is Telquant, where, "returned", type(got), "instead of Telquant")
        if tag == "tq":
            value, dims = record(got)
            check(
                same(value, expected[1]) and all(map(same, dims, expected[2])),
                where,
                "record",
                record(got),
                "instead of",
                expected[1:],
            )
        return
    if tag in ("float", "float-or-error"):
        check(type(got) is float, where, "returned", got, "instead of a float")
        if tag == "float":
            check(same(got, expected[1]), where, got, "instead of", expected[1])
        return
    if tag == "bool":
        check(got is expected[1], where, got, "instead of", expected[1])
        return
    if tag == "dims":
        check(type(got) is tuple and len(got) == 8 and all(type(e) is float for e in got), where, got)
        check(all(map(same, got, expected[1])), where, got, "instead of", expected[1])
        return
    if tag == "str":
        check(type(got) is str, where, "returned", got, "instead of a str")
        return
    raise AssertionError(expected)


def verify_parse(where, expected, kind, got):
    """Unit text the model does not parse: a success of the documented type or a parse failure."""
    tag = expected[0]
    if kind == "raise" and type(got) is TQError:
        unit = expected[1]
        alternatives = [parse_failure(unit)]
        if tag == "float-or-error":
            alternatives.append(Raise(TQError, "Incompatible unit conversion to: " + unit))
        for alt in alternatives:
            if alt.text.fullmatch(str(got)) if hasattr(alt.text, "fullmatch") else str(got) == alt.text:
                return
        check(False, where, "TQError text", str(got), "for unit", unit)
    verify(where, expected, kind, got)


# ---- the hostile pool ---------------------------------------------------------------------------------------


class Bomb(BaseException):
    """Not an Exception: only code that catches everything stops it."""


class TypeErrorSub(TypeError):
    pass


class FloatSub(float):
    def __float__(self):  # never consulted: a float subclass is read directly
        raise Bomb("float subclass __float__ called")


class IntSub(int):
    pass


class StrSub(str):
    pass


class BadText:
    def __str__(self):
        raise ValueError("no text")


class Nameless(type):
    """A metaclass whose classes have no readable __qualname__ (it raises, or it is not a str)."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            answer = type.__getattribute__(cls, "answer")
            if isinstance(answer, type):
                raise answer("no name")
            return answer
        return type.__getattribute__(cls, name)


NAMELESS = (
    Nameless("Raising", (), {"answer": RuntimeError}),
    Nameless("Wrong", (), {"answer": 5}),
    Nameless("Subclassed", (), {"answer": StrSub("Subclassed")}),
    Nameless("Fine", (), {"answer": "Fine"}),
)


class Num:
    """__float__ answers x, or raises a fresh exception of type x with a cause; BadText: a TypeError whose text
    cannot be made."""

    def __init__(self, x):
        self.x = x

    def __float__(self):
        if self.x is BadText:
            raise TypeError(BadText())
        if isinstance(self.x, type):
            raise self.x("from __float__") from ValueError("cause")
        return self.x


class Idx:
    """__index__ answers n, or raises a fresh exception of type n."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        if isinstance(self.n, type):
            raise self.n("from __index__")
        return self.n


class IdxNum(Idx):
    def __init__(self, n, x):
        Idx.__init__(self, n)
        self.x = x

    def __float__(self):
        if isinstance(self.x, type):
            raise self.x("from __float__")
        return self.x


class Opaque:
    pass


# A stand-in with the Telquant type's name and no number slots: an expression on it raises the interpreter's own
# error, which an expression on a Telquant must raise too when the Telquant slot steps aside.
Shadow = type("tq_pyo3.Telquant", (), {})
SHADOW = Shadow()

SPECIAL_FLOATS = (
    0.0,
    -0.0,
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    2.225073858507201e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    1.0,
    -1.0,
    0.5,
    2.0,
    1e-13,
    1.0000000000000002,
    0.9999999999999999,
    math.pi / 6,
    3.0,
    -2.5,
    1e300,
    1e-300,
)
EXPONENTS = (
    0.0,
    0.0,
    0.0,
    0.0,
    0.0,
    1.0,
    -1.0,
    2.0,
    0.5,
    -0.0,
    5e-324,
    -5e-324,
    1e-13,
    3.0,
    -2.0,
    math.nan,
    math.inf,
    1.0000000000000002,
    0.9999999999999999,
    2147483647.0,
    1e300,
)
BIG_INTS = (
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**63 - 1,
    2**63,
    -(2**63),
    2**64,
    10**30,
    2**1023,
    2**1024,
    -(2**1024),
    10**400,
    2**53 + 1,
)
ERRORS = (TypeError, ValueError, Bomb, TypeErrorSub, ZeroDivisionError, OverflowError, DeprecationWarning, BadText)
TOKENS = (
    "m",
    "kg",
    "s",
    "K",
    "A",
    "mol",
    "cd",
    "rad",
    "km",
    "hr",
    "deg",
    "N",
    "J",
    "W",
    "lux",
    "g",
    "min",
    "",
    "-",
    "/",
    "^",
    "^-",
    "2",
    "-1",
    "0.5",
    "(",
    ")",
    "[",
    "]",
    " ",
    "\u00a0",
    "2147483648",
    "x",
    "\x00",
    "\ud800",
    "\U0001f600",
    "é",
    "m^2",
    "s^-1",
    "/s",
)
NAMES = ("value", "unit", "x", "units", "scale", "", "\ud800", "valuе")


def fresh_int(n):
    """n as a new int object (arithmetic at run time, so never a shared constant), unless it is a cached small int."""
    return int(str(n)) if not -5 <= n <= 256 else n


def fresh_str(text):
    return "".join(list(text)) if len(text) > 1 else text


class Builder:
    def __init__(self, fdp):
        self.fdp = fdp

    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def number(self):
        choice = self.fdp.ConsumeIntInRange(0, 3)
        if choice == 0:
            return self.pick(SPECIAL_FLOATS) * 1.0
        if choice == 1:
            return self.fdp.ConsumeFloat()
        if choice == 2:
            return float(self.fdp.ConsumeIntInRange(-4, 4))
        return struct.unpack("<d", self.fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]

    def big_int(self):
        if self.fdp.ConsumeBool():
            return fresh_int(self.pick(BIG_INTS) * self.pick((1, -1, 1)) + self.fdp.ConsumeIntInRange(-2, 2))
        return fresh_int(self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 80)))

    def text(self):
        choice = self.fdp.ConsumeIntInRange(0, 4)
        if choice == 0:
            return fresh_str(self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 12)))
        if choice == 1:
            return fresh_str(self.pick(ORDER + ("",)))
        return fresh_str("".join(self.pick(TOKENS) for _ in range(self.fdp.ConsumeIntInRange(1, 6))))

    def dims(self):
        return tuple(self.pick(EXPONENTS) if self.fdp.ConsumeIntInRange(0, 3) == 0 else 0.0 for _ in range(7)) + (
            self.pick((0.0, 1.0, 1.0, 1.0, -0.0, 5e-324, 2.0, 1.0000000000000002, 0.5, math.nan)),
        )

    def telquant(self):
        choice = self.fdp.ConsumeIntInRange(0, 3)
        if choice <= 1:
            return made(self.number(), self.dims())
        if choice == 2:
            q = made(self.number(), ZERO)
            for sym in ORDER:
                if self.fdp.ConsumeIntInRange(0, 3) == 0:
                    q = q * Telquant(1.0, sym) ** self.pick(EXPONENTS)
            return q
        kind, q = capture(lambda: Telquant(self.number(), self.text()))
        return q if kind == "ok" else made(1.0, ZERO)

    def failing(self):
        return self.pick(ERRORS)

    def hostile(self):
        choice = self.fdp.ConsumeIntInRange(0, 9)
        if choice == 0:
            return Num(self.failing())
        if choice == 1:
            return Num(
                self.pick((self.number(), FloatSub(self.number()), self.big_int(), self.text(), None, IntSub(3), True))
            )
        if choice == 2:
            return Idx(self.failing())
        if choice == 3:
            return Idx(
                self.pick(
                    (
                        self.big_int(),
                        fresh_int(self.fdp.ConsumeIntInRange(-300, 300)),
                        IntSub(2),
                        True,
                        self.number(),
                        self.text(),
                    )
                )
            )
        if choice == 4:
            return IdxNum(
                self.pick((self.big_int(), self.failing(), 2)),
                self.pick((self.number(), self.failing(), FloatSub(0.5))),
            )
        if choice == 5:
            return FloatSub(self.number())
        if choice == 6:
            return IntSub(self.big_int())
        if choice == 7:
            return StrSub(self.text())
        if choice == 8 and np is not None:
            return self.numpy()
        return self.pick(
            (None, Opaque(), b"m", bytearray(b"m"), 1 + 2j, [1.0], Telquant, math.nan, self.pick(NAMELESS)())
        )

    def numpy(self):
        x = self.number()
        choice = self.fdp.ConsumeIntInRange(0, 7)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if choice == 0:
                return np.float64(x)
            if choice == 1:
                return np.float32(x)
            if choice == 2:
                return np.float16(x)
            if choice == 3:
                return np.int64(self.fdp.ConsumeIntInRange(-(2**63), 2**63 - 1))
            if choice == 4:
                return np.uint64(self.fdp.ConsumeIntInRange(0, 2**64 - 1))
            if choice == 5:
                return np.bool_(self.fdp.ConsumeBool())
            if choice == 6:
                return np.complex128(x, self.number())
            return np.longdouble(x)

    def argument(self):
        choice = self.fdp.ConsumeIntInRange(0, 9)
        if choice <= 2:
            return self.telquant()
        if choice == 3:
            return self.number()
        if choice == 4:
            return self.pick((self.big_int(), fresh_int(self.fdp.ConsumeIntInRange(-300, 300)), True, False))
        if choice == 5:
            return self.text()
        return self.hostile()


# ---- the calls ------------------------------------------------------------------------------------------------


def slot(number, *argtypes):
    """A slot function of the Telquant type (numbers from Python's typeslots.h), called through ctypes."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes, get_slot.restype = [ctypes.py_object, ctypes.c_int], ctypes.c_void_p
    address = get_slot(Telquant, number)
    assert address, number
    return ctypes.PYFUNCTYPE(ctypes.py_object, *argtypes)(address)


OBJ = ctypes.py_object
SLOTS = {
    "repr": slot(66, OBJ),
    "str": slot(70, OBJ),
    "neg": slot(30, OBJ),
    "abs": slot(6, OBJ),
    "+": slot(7, OBJ, OBJ),
    "-": slot(36, OBJ, OBJ),
    "*": slot(29, OBJ, OBJ),
    "/": slot(37, OBJ, OBJ),
    "**": slot(33, OBJ, OBJ, OBJ),
    "cmp": slot(67, OBJ, OBJ, ctypes.c_int),
}
BINARY = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "**": operator.pow}
COMPARE_OPS = (operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge)
METHODS = (
    "value",
    "is_unitless",
    "base_units",
    "sqrt",
    "ln",
    "log2",
    "log10",
    "sin",
    "cos",
    "tan",
    "asin",
    "acos",
    "atan",
)
FUNCTIONS = ("asin", "acos", "atan")


def invoke(fn, args, kwargs):
    """fn(*args) when there are no keywords, so the call reaches the entry point without a keyword dict (its
    positional fast path); fn(*args, **kwargs) hands it a dict, even an empty one."""
    if kwargs is None:
        return fn(*args)
    return fn(*args, **kwargs)


def shadowed(x):
    return SHADOW if is_tq(x) else x


def from_numpy(x):
    return np is not None and isinstance(x, np.generic)


def binary_model(sym, a, b):
    if sym in ("+", "-"):
        return additive(sym, a, b)
    if sym in ("*", "/"):
        return multiplicative(sym, a, b)
    return power(a, b)


def interpreted(expected, expression, a, b, *rest):
    """What the interpreter makes of a slot's answer: NotImplemented becomes the stand-in's error."""
    if expected is not NOT_IMPLEMENTED:
        return expected
    if from_numpy(a) or from_numpy(b):
        return Loose()
    kind, got = capture(lambda: expression(shadowed(a), shadowed(b), *map(shadowed, rest)))
    if kind == "ok":
        return ("bool", got) if type(got) is bool else Loose()
    return Raise(type(got), str(got))


class Program:
    def __init__(self, fdp):
        self.fdp = fdp
        self.build = Builder(fdp)
        self.pool = [self.build.argument() for _ in range(fdp.ConsumeIntInRange(1, 6))]

    def arg(self):
        if self.pool and self.fdp.ConsumeIntInRange(0, 3) != 0:
            return self.build.pick(self.pool)
        x = self.build.argument()
        self.pool.append(x)
        return x

    def tq(self):
        for x in self.pool:
            if is_tq(x) and self.fdp.ConsumeBool():
                return x
        x = self.build.telquant()
        self.pool.append(x)
        return x

    def call_args(self, names):
        """Positional and keyword arguments for a call taking `names`, now and then with wrong counts or names;
        keywords None: no keyword dict at all."""
        shape = self.fdp.ConsumeIntInRange(0, 7)
        values = [self.arg() for _ in names]
        if shape <= 1:
            return tuple(values), None
        if shape == 2:
            return tuple(values), {}
        if shape == 3:
            return (), {fresh_str(n): v for n, v in zip(names, values)}
        if shape == 4:
            return tuple(values[:1]), {fresh_str(n): v for n, v in zip(names[1:], values[1:])}
        args = tuple(self.arg() for _ in range(self.fdp.ConsumeIntInRange(0, 3)))
        kwargs = {fresh_str(self.build.pick(NAMES)): self.arg() for _ in range(self.fdp.ConsumeIntInRange(0, 2))}
        return args, (kwargs if kwargs or self.fdp.ConsumeBool() else None)

    def step(self):
        op = self.fdp.ConsumeIntInRange(0, 12)
        if op == 0:
            args, kwargs = self.call_args(("value", "unit"))
            return "Telquant", (lambda: invoke(Telquant, args, kwargs)), model_new(args, kwargs or {}), args, kwargs
        if op == 1:
            q = self.tq()
            args, kwargs = self.call_args(("unit",))
            return (
                "value_in",
                (lambda: invoke(q.value_in, args, kwargs)),
                model_value_in(q, args, kwargs or {}),
                args,
                kwargs,
            )
        if op in (2, 3):  # a binary operator, as an expression
            sym = self.build.pick(tuple(BINARY))
            a, b = (self.tq(), self.arg()) if self.fdp.ConsumeBool() else (self.arg(), self.tq())
            if sym == "**" and self.fdp.ConsumeBool():
                m = self.arg()
                expected = interpreted(power(a, b) if is_tq(a) else NOT_IMPLEMENTED, pow, a, b, m)
                return "pow3", (lambda: pow(a, b, m)), expected, (a, b, m), {}
            # NumPy's scalar operators on the left answer before the Telquant slot does, in their own ways.
            expected = Loose() if from_numpy(a) else interpreted(binary_model(sym, a, b), BINARY[sym], a, b)
            return sym, (lambda: BINARY[sym](a, b)), expected, (a, b), {}
        if op == 4:  # unary
            q, neg = self.tq(), self.fdp.ConsumeBool()
            return (
                ("neg" if neg else "abs"),
                (lambda: -q if neg else abs(q)),
                unary("neg" if neg else "abs", q),
                (q,),
                {},
            )
        if op == 5:
            code = self.fdp.ConsumeIntInRange(0, 5)
            a, b = (self.tq(), self.arg()) if self.fdp.ConsumeBool() else (self.arg(), self.tq())
            expected = interpreted(comparison(code, a, b), COMPARE_OPS[code], a, b)
            return COMPARE[code], (lambda: COMPARE_OPS[code](a, b)), expected, (a, b), {}
        if op in (6, 7):
            name, q = self.build.pick(METHODS), self.tq()
            if self.fdp.ConsumeIntInRange(0, 7) == 0:
                extra = self.arg()
                return (
                    name,
                    (lambda: getattr(q, name)(extra)),
                    Raise(TypeError, "Telquant.%s() takes no arguments (1 given)" % name),
                    (q, extra),
                    {},
                )
            return name, (lambda: getattr(q, name)()), method(name, q), (q,), {}
        if op == 8:
            name = self.build.pick(FUNCTIONS)
            args, kwargs = self.call_args(("x",))
            fn = getattr(tq_pyo3, name)
            return name + "()", (lambda: invoke(fn, args, kwargs)), function(name, args, kwargs or {}), args, kwargs
        if op == 9:
            q, which = self.tq(), self.build.pick((str, repr))
            return which.__name__, (lambda: which(q)), ("str",), (q,), {}
        if op == 10:  # a unary slot on any object
            name, x = self.build.pick(("repr", "str", "neg", "abs")), self.arg()
            if name in ("repr", "str"):
                expected = ("str",) if is_tq(x) else unary(name, x)
            else:
                expected = unary(name, x)
            return "slot " + name, (lambda: SLOTS[name](x)), expected, (x,), {}
        if op == 11:  # a binary slot on any two objects, as the interpreter never passes them
            sym, a, b = self.build.pick(tuple(BINARY)), self.arg(), self.arg()
            if sym == "**":
                m = self.arg()
                return "slot **", (lambda: SLOTS["**"](a, b, m)), power(a, b), (a, b, m), {}
            return "slot " + sym, (lambda: SLOTS[sym](a, b)), binary_model(sym, a, b), (a, b), {}
        code, a, b = self.fdp.ConsumeIntInRange(0, 5), self.arg(), self.arg()
        return "slot cmp", (lambda: SLOTS["cmp"](a, b, code)), comparison(code, a, b), (a, b), {}


def fresh(x):
    """An object only this input holds: not a cached small int, a one-character str, a singleton or a type, whose
    counts move with every use anywhere in the interpreter."""
    if isinstance(x, bool) or x is None or isinstance(x, type) or (np is not None and isinstance(x, np.bool_)):
        return False
    if isinstance(x, int):
        return not -5 <= x <= 256
    if isinstance(x, (str, bytes, bytearray)):
        return len(x) > 1
    return True


def watched(args, kwargs):
    """Every fresh argument object, with what it holds, whose reference count must not move."""
    objs = []
    kwargs = kwargs or {}
    for x in list(args) + list(kwargs.values()) + list(kwargs):
        objs.append(x)
        for inner in ("x", "n"):
            held = getattr(x, inner, None) if isinstance(x, (Num, Idx)) else None
            if held is not None:
                objs.append(held)
    return [x for x in objs if fresh(x)]


TRACE = bool(os.environ.get("FUZZ_PY_TRACE"))  # print each call before it is made, to replay a saved input


def run_step(program):
    where, call, expected, args, kwargs = program.step()
    if TRACE:
        print("call", where, ascii(args), ascii(kwargs), file=sys.stderr, flush=True)
    objs = watched(args, kwargs)
    before = [sys.getrefcount(o) for o in objs]
    kind, got = capture(call)
    if kind == "raise" and INTERNAL is not None and isinstance(got, INTERNAL):
        raise Finding("%s raised the internal-failure class: %r" % (where, got))
    if kind == "raise" and isinstance(got, SystemError):
        raise Finding("%s raised %r" % (where, got))
    if isinstance(expected, tuple) and expected[0] in ("tq-or-parse", "float-or-error"):
        verify_parse(where, expected, kind, got)
    else:
        verify(where, expected, kind, got)
    if kind == "ok" and is_tq(got):
        check(readers(got) == 0, where, "result reader count", readers(got))
        if len(program.pool) < 24:
            program.pool.append(got)
    del got
    after = [sys.getrefcount(o) for o in objs]
    if after != before:
        gc.collect()
        after = [sys.getrefcount(o) for o in objs]
        check(
            after == before,
            where,
            "reference counts",
            [(type(o).__name__, b, a) for o, b, a in zip(objs, before, after) if a != b],
        )
    for x in list(args) + list((kwargs or {}).values()):
        if is_tq(x):
            check(readers(x) == 0, where, "reader count", readers(x))


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    with warnings.catch_warnings():
        # Deprecation warnings (a __float__ answering a float subclass) are errors now and then, so a conversion
        # fails in one more way.
        warnings.simplefilter("error" if fdp.ConsumeBool() else "ignore")
        program = Program(fdp)
        for _ in range(fdp.ConsumeIntInRange(1, 24)):
            if fdp.remaining_bytes() == 0:
                break
            run_step(program)
        for x in program.pool:
            if is_tq(x):
                check(readers(x) == 0, "pool reader count", readers(x))


def main():
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
