"""An executable model of everything tq_pyo3 documents, written from the documentation in plain Python.

The suite (tests/test_model.py) and the fuzzer (fuzz/fuzz_py.py) check the module against it: for a call made with
any Python objects, `expect(...)` says what the module must do, bit for bit: return a Telquant holding exactly
this record, a float, a bool, a tuple of eight floats or a str, answer NotImplemented, or raise exactly this
exception type with this text.

Numbers follow IEEE arithmetic, each operation rounded once; where a result is NaN, which NaN is fixed: a NaN
operand passes on, quieted (its bit 51 set), the left one when both are NaN; a NaN made from numbers (inf - inf,
0 * inf, sin(inf)) is the positive quiet NaN. The elementary functions and pow are the C library's, called
through ctypes. The unit registry is read from its table in core/src/registry.cpp (dev/facts.py).
"""

import ctypes
import ctypes.util
import math
import operator
import struct
import sys
from fractions import Fraction
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "dev"))
import facts

ORDER = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")
UNITS = facts.units()
ZERO = (0.0,) * 8
RAD = ZERO[:7] + (1.0,)
I32_MAX = 2**31 - 1
NAN = float("nan")  # the positive quiet NaN, 0x7ff8000000000000
INF = math.inf

# ---- numbers ---------------------------------------------------------------------------------------------------


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(n):
    return struct.unpack("<d", struct.pack("<Q", n))[0]


def quiet(x):
    return from_bits(bits(x) | 1 << 51)


def canon(result, *operands):
    """The NaN rule: result, unless it is NaN; then the first NaN operand, quieted, or else the positive quiet NaN."""
    if result == result:
        return result
    for x in operands:
        if x != x:
            return quiet(x)
    return NAN


def _exact(op, a, b):
    """a op b rounded once. Python's own float arithmetic rounds twice on an x87 unit (i386), so a finite result
    is rounded from the exact one; zeros, infinities and NaNs involve no rounding."""
    native = op(a, b)
    if not (math.isfinite(a) and math.isfinite(b) and math.isfinite(native)) or native == 0.0:
        return native
    try:
        return float(op(Fraction(a), Fraction(b)))
    except OverflowError:
        return native


def add(a, b):
    return canon(_exact(lambda x, y: x + y, a, b), a, b)


def sub(a, b):
    return canon(_exact(lambda x, y: x - y, a, b), a, b)


def mul(a, b):
    return canon(_exact(lambda x, y: x * y, a, b), a, b)


def div(a, b):
    if a != a or b != b or (a == 0.0 and b == 0.0):
        return canon(NAN, a, b)
    if b == 0.0:  # Python refuses to divide by zero; IEEE gives an infinity
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return canon(_exact(lambda x, y: x / y, a, b), a, b)


def _libm():
    for lib in (ctypes.CDLL(None), ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")):
        try:
            lib.pow  # noqa: B018 - present in the interpreter's own image where libm is linked in
            return lib
        except AttributeError:
            continue
    raise ImportError("no C mathematics library")


LIBM = _libm()
for _name in ("pow", "log", "log2", "log10", "sin", "cos", "tan", "asin", "acos", "atan"):
    getattr(LIBM, _name).restype = ctypes.c_double
    getattr(LIBM, _name).argtypes = [ctypes.c_double] * (2 if _name == "pow" else 1)


def c(name, *args):
    return getattr(LIBM, name)(*args)


def pow_(a, p):
    return canon(c("pow", a, p), a, p)


# ---- records ---------------------------------------------------------------------------------------------------


class Record:
    """A quantity: eight exponents in the order m, kg, s, K, A, mol, cd, rad, and a value in SI base units."""

    __slots__ = ("dims", "value")

    def __init__(self, value, dims):
        self.value, self.dims = float(value), tuple(map(float, dims))

    def key(self):
        return (bits(self.value),) + tuple(map(bits, self.dims))

    def __eq__(self, other):
        return isinstance(other, Record) and self.key() == other.key()

    def __repr__(self):
        return "Record(%r, %r)" % (self.value, self.dims)


def compatible(left, right):
    """The left operand's units accept the right's: all eight exponents equal, or the left an angle (rad exactly 1)
    and the other seven equal."""
    return all(left[i] == right[i] for i in range(7)) and (left[7] == 1.0 or left[7] == right[7])


def unitless(dims):
    return all(e == 0.0 for e in dims)


def angle(dims):
    return all(e == 0.0 for e in dims[:7]) and dims[7] == 1.0


# ---- unit expressions ------------------------------------------------------------------------------------------

WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
DIGITS = "0123456789"
SLASH = "Unit string can only have one '/'"
EMPTY = "Empty unit token"


class ParseError(Exception):
    pass


def _token(token, denominator, dims, factor):
    """Adds one trimmed token to the exponents and factor so far."""
    j = len(token)
    while j > 0 and token[j - 1] in DIGITS:
        j -= 1
    if j == len(token):
        if token.endswith("^"):
            raise ParseError("Missing exponent after '^' in \"%s\"" % token)
        symbol, power = token, 1
    else:
        k = j - 1 if j > 0 and token[j - 1] == "-" else j
        power = int(token[k:])
        if not -(2**31) <= power <= I32_MAX:
            raise ParseError('Unable to read numeric power from "%s"' % token)
        if k == 0 or (token[k - 1] == "^" and k == 1):
            raise ParseError('Missing unit symbol before exponent in "%s"' % token)
        symbol = (token[: k - 1] if token[k - 1] == "^" else token[:k]).strip(WHITE_SPACE)
        if not symbol:
            raise ParseError('Missing unit symbol before exponent in "%s"' % token)
    if symbol not in UNITS:
        raise ParseError("Unknown unit: " + symbol)
    row_factor, row_dims = UNITS[symbol]
    p = -float(power) if denominator else float(power)
    dims = [add(e, mul(r, p)) for e, r in zip(dims, row_dims)]
    return dims, mul(factor, c("pow", row_factor, p))


def parse_units(text):
    """(exponents, factor) of a unit expression, or ParseError with the parser's message."""
    text = "".join(ch for ch in text if ch not in "()[]")
    parts = text.split("/")
    if len(parts) > 2:
        raise ParseError(SLASH)
    dims, factor = [0.0] * 8, 1.0
    for number, part in enumerate(parts):
        tokens, current, previous = [], "", None
        for ch in part:
            if ch == "-" and previous != "^":
                tokens.append(current)
                current = ""
            else:
                current += ch
            previous = ch
        tokens.append(current)
        for raw in filter(None, tokens):
            token = raw.strip(WHITE_SPACE)
            if not token:
                raise ParseError(EMPTY)
            dims, factor = _token(token, number == 1, dims, factor)
    return tuple(dims), factor


def failed_to_parse(text, message):
    return "Failed to parse unit '%s': %s" % (text, message)


def new(value, text):
    """The record of `value` in the units of `text`, or the message."""
    try:
        dims, factor = parse_units(text)
    except ParseError as error:
        return failed_to_parse(text, error.args[0])
    return Record(mul(value, factor), dims)


def value_in(q, text):
    try:
        dims, factor = parse_units(text)
    except ParseError as error:
        return failed_to_parse(text, error.args[0])
    if not compatible(q.dims, dims):
        return "Incompatible unit conversion to: " + text
    return div(q.value, factor)


# ---- arithmetic ------------------------------------------------------------------------------------------------


def q_add(a, b, word="addition", op=add):
    if not compatible(a.dims, b.dims):
        return "Incompatible units for " + word
    return Record(op(a.value, b.value), a.dims)


def q_sub(a, b):
    return q_add(a, b, "subtraction", sub)


def q_mul(a, b):
    return Record(mul(a.value, b.value), map(add, a.dims, b.dims))


def q_div(a, b):
    return Record(div(a.value, b.value), map(sub, a.dims, b.dims))


def mul_number(a, x):
    return Record(mul(x, a.value), a.dims)


def div_number(a, x):
    return Record(div(a.value, x), a.dims)


def number_div(x, a):
    return Record(div(x, a.value), (sub(0.0, e) for e in a.dims))


def q_pow(a, p):
    return Record(pow_(a.value, p), (mul(e, p) for e in a.dims))


def neg(a):
    return Record(from_bits(bits(a.value) ^ 1 << 63), a.dims)


def q_abs(a):
    return Record(from_bits(bits(a.value) & ~(1 << 63)), a.dims)


def equals(a, b):
    return compatible(a.dims, b.dims) and a.value == b.value


def compare(a, b):
    """'<', '=', '>', or None for no order (units the left does not accept, or a NaN value)."""
    if not compatible(a.dims, b.dims) or a.value != a.value or b.value != b.value:
        return None
    return "<" if a.value < b.value else "=" if a.value == b.value else ">"


# ---- elementary functions --------------------------------------------------------------------------------------

LOGARITHMS = {"ln": "log", "log2": "log2", "log10": "log10"}
TRIGONOMETRIC = ("sin", "cos", "tan")
INVERSE = ("asin", "acos", "atan")
MATH_METHODS = ("sqrt",) + tuple(LOGARITHMS) + TRIGONOMETRIC + INVERSE


def elementary(name, q):
    """The record the function gives, or its message."""
    if name not in MATH_METHODS:
        raise KeyError("no rule for the method %r" % name)
    v = q.value
    if name == "sqrt":
        if v < 0.0:
            return "sqrt of negative value"
        root = canon(math.sqrt(v), v)
        return Record(from_bits(bits(root) & ~(1 << 63)), (mul(e, 0.5) for e in q.dims))
    if name in TRIGONOMETRIC:
        if not angle(q.dims):
            return name + " requires an angle quantity"
        return Record(canon(c(name, v), v), ZERO)
    if not unitless(q.dims):
        return name + " requires a unitless quantity"
    if name in LOGARITHMS:
        if 0.0 >= v:
            return name + " domain error (value <= 0)"
        return Record(canon(c(LOGARITHMS[name], v), v), ZERO)
    if name != "atan" and abs(v) > 1.0:
        return name + " requires a value in the range [-1, 1]"
    return Record(canon(c(name, v), v), RAD)


# ---- text ------------------------------------------------------------------------------------------------------


def value_text(x):
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if x == 0.0:
        return "-0" if math.copysign(1.0, x) < 0 else "0"
    sign = "-" if x < 0 else ""
    mantissa, _, exponent = repr(abs(x)).partition("e")  # the shortest digits that read back as x
    whole, _, fraction = mantissa.partition(".")
    digits = (whole + fraction).lstrip("0")
    k = len(whole) + int(exponent or 0) - (len(whole + fraction) - len((whole + fraction).lstrip("0")))
    digits = digits.rstrip("0")
    if k <= 0:
        return sign + "0." + "0" * -k + digits
    if k < len(digits):
        return sign + digits[:k] + "." + digits[k:]
    return sign + digits + "0" * (k - len(digits))


def _factor(symbol, magnitude):
    if magnitude == 1.0:
        return symbol
    if math.isinf(magnitude) or (magnitude == magnitude and magnitude.is_integer()):
        return "%s^%d" % (symbol, I32_MAX if magnitude >= I32_MAX else int(magnitude))
    return symbol + "^" + value_text(magnitude)


def unit_text(dims):
    numerator = [_factor(s, e) for s, e in zip(ORDER, dims) if e > 0.0]
    denominator = [_factor(s, abs(e)) for s, e in zip(ORDER, dims) if not e > 0.0 and e != 0.0]
    if not numerator and not denominator:
        return "(unitless)"
    return "*".join(numerator or ["1"]) + ("/" + "*".join(denominator) if denominator else "")


def display_text(q):
    return value_text(q.value) + " " + unit_text(q.dims)


def repr_text(q):
    return "Telquant(%s, '%s')" % (value_text(q.value), unit_text(q.dims))


# ---- the Python face -------------------------------------------------------------------------------------------
#
# What a call with given Python objects must do: ("tq", Record) for a new Telquant, ("float", x), ("bool", b),
# ("dims", eight floats), ("str", text), NOT_IMPLEMENTED from a slot, or Raise(type, text).

from tq_pyo3 import Telquant, TQError  # noqa: E402

NOT_IMPLEMENTED = "NotImplemented"
INTERNAL = "InternalError"  # the module's class for a broken invariant: a BaseException, not an Exception
HEAD = object.__basicsize__  # the record follows the object header: eight exponents, then the value


class Raise:
    """An exception of exactly `kind`; `text` its str() (None: the interpreter's own, any), `cause` its __cause__
    (a type, or None to leave it unchecked), `args` its args when they must be exactly these."""

    def __init__(self, kind, text=None, args=None, cause=None):
        self.kind, self.text, self.args, self.cause = kind, text, args, cause

    def __repr__(self):
        return "Raise(%s, %r)" % (self.kind.__name__, self.text)


def record_of(q):
    """The record of a Telquant, read from its memory (not through the methods under test)."""
    at = id(q) + HEAD
    return Record(
        ctypes.c_double.from_address(at + 64).value, [ctypes.c_double.from_address(at + 8 * i).value for i in range(8)]
    )


def telquant_of(rec):
    """A Telquant holding exactly this record, NaN payloads included (written into a new instance)."""
    q = Telquant(1.0, "")
    at = id(q) + HEAD
    for i, e in enumerate(rec.dims):
        ctypes.c_uint64.from_address(at + 8 * i).value = bits(e)
    ctypes.c_uint64.from_address(at + 64).value = bits(rec.value)
    return q


def is_telquant(x):
    return issubclass(type(x), Telquant)


def capture(call):
    """("ok", result) or ("raise", exception), the traceback dropped."""
    try:
        return "ok", call()
    except BaseException as error:
        error.__traceback__ = None
        return "raise", error


_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes, _as_double.restype = [ctypes.py_object], ctypes.c_double


def as_double(x):
    """PyFloat_AsDouble(x): (number, None), or (None, the exception it raised)."""
    kind, got = capture(lambda: _as_double(x))
    return (got, None) if kind == "ok" else (None, got)


def passed_on(error):
    return Raise(type(error), str(error), error.args)


def argument_error(name, error):
    """An argument's conversion failed with `error`: exactly TypeError becomes "argument '<name>': <text>" (its
    cause kept); any other exception, or one raised while making that text, passes on unchanged."""
    if type(error) is not TypeError:
        return passed_on(error)
    kind, text = capture(lambda: str(error))
    if kind != "ok":
        return passed_on(text)
    return Raise(TypeError, "argument '%s': %s" % (name, text), cause=type(error.__cause__))


def type_name(x):
    """The __qualname__ of x's type, or the fixed text when it cannot be read as a str."""
    kind, name = capture(lambda: type(x).__qualname__)
    if kind != "ok" or not isinstance(name, str):
        return "<failed to extract type name>"
    kind, _ = capture(lambda: str.encode(name, "utf-8"))
    return str.__str__(name) if kind == "ok" else "<failed to extract type name>"


MISSING = object()


def bind(display, names, args, kwargs):
    """The values bound to `names`, or the Raise of the binding's TypeError."""
    if len(args) > len(names):
        return Raise(
            TypeError,
            "%s takes %d positional arguments but %d %s given"
            % (display, len(names), len(args), "was" if len(args) == 1 else "were"),
        )
    out = list(args) + [MISSING] * (len(names) - len(args))
    for key, value in (kwargs or {}).items():
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


def text_argument(x):
    """The unit text, or the Raise for an object that is no str or a str with no UTF-8 form."""
    if not issubclass(type(x), str):
        return None, Raise(TypeError, "argument 'unit': '%s' object cannot be converted to 'PyString'" % type_name(x))
    kind, got = capture(lambda: str.encode(x, "utf-8"))
    return (str.__str__(x), None) if kind == "ok" else (None, argument_error("unit", got))


def outcome(result):
    """A core result as a call's outcome: a record becomes a new Telquant, a message TQError."""
    if isinstance(result, str):
        return Raise(TQError, result, (result,))
    return ("tq", result)


def expect_new(args, kwargs):
    bound = bind("Telquant.__new__()", ("value", "unit"), args, kwargs)
    if isinstance(bound, Raise):
        return bound
    value, error = as_double(bound[0])
    if error is not None:
        return argument_error("value", error)
    text, failure = text_argument(bound[1])
    return failure or outcome(new(value, text))


def expect_value_in(q, args, kwargs):
    bound = bind("Telquant.value_in()", ("unit",), args, kwargs)
    if isinstance(bound, Raise):
        return bound
    text, failure = text_argument(bound[0])
    if failure:
        return failure
    result = value_in(record_of(q), text)
    return outcome(result) if isinstance(result, str) else ("float", result)


def not_telquant(x):
    return Raise(TypeError, "'%s' object cannot be converted to 'Telquant'" % type_name(x))


def expect_method(name, q):
    """A method without arguments on the receiver q (a slot body called directly may get any object)."""
    if not is_telquant(q):
        return not_telquant(q)
    rec = record_of(q)
    if name == "value":
        return ("float", rec.value)
    if name == "is_unitless":
        return ("bool", unitless(rec.dims))
    if name == "base_units":
        return ("dims", rec.dims)
    if name == "str":
        return ("str", display_text(rec))
    if name == "repr":
        return ("str", repr_text(rec))
    if name == "neg":
        return ("tq", neg(rec))
    if name == "abs":
        return ("tq", q_abs(rec))
    return outcome(elementary(name, rec))


def expect_function(name, args, kwargs):
    bound = bind(name + "()", ("x",), args, kwargs)
    if isinstance(bound, Raise):
        return bound
    x, error = as_double(bound[0])
    if error is not None:
        return argument_error("x", error)
    return outcome(elementary(name, new(x, "")))


BINARY_TEXT = {
    "*": ("Cannot multiply TQ with this type", "Cannot multiply this type with TQ"),
    "/": ("Cannot divide TQ by this type", "Cannot divide this type by TQ"),
}


def refused(error):
    """A conversion's error that says only "no number of this kind": any Exception but MemoryError. The others
    (KeyboardInterrupt, SystemExit) are passed on."""
    return isinstance(error, Exception) and not isinstance(error, MemoryError)


def integer_exponent(x):
    """An int (through __index__ for other objects) in the signed 32-bit range, None for none, or the Raise of an
    error __index__ raised that is passed on."""
    if isinstance(x, int):
        n = int.__index__(x)
    else:
        kind, n = capture(lambda: operator.index(x))
        if kind != "ok":
            return None if refused(n) else passed_on(n)
    return float(n) if -(2**31) <= n <= I32_MAX else None


def number_refused(error, text):
    """An operand no number: the operator's own TypeError, unless the error is one to pass on."""
    return Raise(TypeError, text, (text,)) if refused(error) else passed_on(error)


def expect_binary(sym, a, b):
    """What the slot of `sym` (+ - * / **) answers for the operands a, b in their written order."""
    if sym in "+-":
        if not (is_telquant(a) and is_telquant(b)):
            return NOT_IMPLEMENTED
        return outcome((q_add if sym == "+" else q_sub)(record_of(a), record_of(b)))
    if sym == "**":
        if not is_telquant(a):
            return NOT_IMPLEMENTED
        p = integer_exponent(b)
        if isinstance(p, Raise):
            return p
        if p is None:
            p, error = as_double(b)
            if error is not None:
                return number_refused(error, "Exponent must be int or float")
        return ("tq", q_pow(record_of(a), p))
    forward, reflected = BINARY_TEXT[sym]
    if is_telquant(a):
        if is_telquant(b):
            return ("tq", (q_mul if sym == "*" else q_div)(record_of(a), record_of(b)))
        x, error = as_double(b)
        if error is not None:
            return number_refused(error, forward)
        return ("tq", (mul_number if sym == "*" else div_number)(record_of(a), x))
    if not is_telquant(b):
        return NOT_IMPLEMENTED
    x, error = as_double(a)
    if error is not None:
        return number_refused(error, reflected)
    return ("tq", mul_number(record_of(b), x) if sym == "*" else number_div(x, record_of(b)))


COMPARISONS = ("<", "<=", "==", "!=", ">", ">=")  # the interpreter's codes 0 to 5
INCOMPARABLE = "Cannot compare values with incompatible units"


def expect_compare(code, a, b):
    if not 0 <= code <= 5:
        return Raise(INTERNAL, "invalid compareop")
    if not (is_telquant(a) and is_telquant(b)):
        return NOT_IMPLEMENTED
    ra, rb = record_of(a), record_of(b)
    op = COMPARISONS[code]
    if op in ("==", "!="):
        return ("bool", equals(ra, rb) == (op == "=="))
    order = compare(ra, rb)
    if order is None:
        return outcome(INCOMPARABLE)
    return ("bool", order in op)
