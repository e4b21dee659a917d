"""Same bits on every build: a seeded stream of random operations on the installed tq_pyo3, one line each.

    python dev/probes/same_bits.py run OUT [--ops N] [--seed S]     writes the results of N operations to OUT
    python dev/probes/same_bits.py compare REF OTHER...             compares the outputs of other builds with REF

The unit symbols are the registry's (core/src/registry.cpp), grouped by dimension, and the methods that hand a value
to the C library are those of cmake/libm-functions.txt, so a new symbol or function is in the stream at once.

Every operand and result is written exactly: floats as float.hex (a NaN with its bit pattern), a Telquant as its
value and its eight exponents, an exception as its type name and message. The stream of operations depends on the
seed alone: operands are made from random bits, decimal strings and exact products, never with a libm function,
so every interpreter runs the same operations.

The operations that hand a value to the C library (the elementary methods, the module functions, ** and pow)
also write what the platform's C library gives for that input, called directly through Python's math module, or
for pow through ctypes ("libm=..."). `compare` sorts each differing line into one of these kinds:
  - the module's results are the same and only the C library's own answer differs: listed with the C library's
    differences below, or only counted when that answer differs in a NaN's bits alone;
  - Python's wording: the module declined an operator on both sides and the interpreters (different versions)
    name the operand types differently in their TypeError; counted, one shown;
  - NaN bits: the lines are equal once NaN bit patterns are ignored. The hardware's NaN of an invalid operation
    differs (x86-64 sets the sign, aarch64 does not), but the module replaces it by one positive quiet NaN, so
    such a line is a fault like any other and fails the comparison;
  - C library: the platform's libm itself answers differently for the same input, and on each platform the
    module's result is exactly its libm's answer. These are listed with the function, input and both outputs;
  - anything else, which fails the comparison too.
"""

import hashlib
import math
import os
import re
import struct
import sys
from fractions import Fraction

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import facts

SYMBOLS = facts.unit_symbols()
METHOD_OF = {"log": "ln"}  # the module's method for a C function of another name
# pow is reached by ** and trunc by the text of a value; every other function has its method
LIBM = tuple(METHOD_OF.get(f, f) for f, _ in facts.libm_functions() if f not in ("pow", "trunc"))
MATH = {method: f for f, method in METHOD_OF.items()}


def groups():
    """The symbols grouped by the dimension the module gives them, in registry order; the angles' group."""
    from tq_pyo3 import Telquant

    by_dims = {}
    for symbol in SYMBOLS:
        by_dims.setdefault(Telquant(1, symbol).base_units(), []).append(symbol)
    return list(by_dims.values()), by_dims[(0.0,) * 7 + (1.0,)]


BINARY = {
    "+": lambda a, b: a + b,
    "-": lambda a, b: a - b,
    "*": lambda a, b: a * b,
    "/": lambda a, b: a / b,
    "**": lambda a, b: a**b,
    "==": lambda a, b: a == b,
    "!=": lambda a, b: a != b,
    "<": lambda a, b: a < b,
    "<=": lambda a, b: a <= b,
    ">": lambda a, b: a > b,
    ">=": lambda a, b: a >= b,
}
COMPARE = ("==", "!=", "<", "<=", ">", ">=")


def f64(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


SPECIALS = [
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    0.0,
    -0.0,
    f64(1),
    -f64(1),
    f64(0x000FFFFFFFFFFFFF),
    f64(0x0010000000000000),
    f64(0x7FEFFFFFFFFFFFFF),
    -f64(0x7FEFFFFFFFFFFFFF),
    f64(0x7FEFFFFFFFFFFFFE),
    1.0,
    -1.0,
    0.5,
    2.0,
    1e308,
    1e-308,
    f64(0x7FF4000000000001),
    2.0**53 + 2,
    1 / 3,
]


class Random:
    """Mersenne Twister's raw bits only (the same on every Python), so no library change moves the stream."""

    def __init__(self, seed):
        import random

        self.bits = random.Random(seed).getrandbits

    def below(self, n):
        k = max(n - 1, 1).bit_length()
        while True:
            r = self.bits(k)
            if r < n:
                return r

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def chance(self, percent):
        return self.below(100) < percent

    def number(self):
        """A plain number: specials, subnormals, any bit pattern, decimals of every magnitude, ints, bools."""
        kind = self.below(20)
        if kind < 3:
            return self.pick(SPECIALS)
        if kind < 5:
            return f64(self.bits(64))
        if kind < 6:
            return f64(self.bits(52) | self.bits(1) << 63)  # subnormal
        if kind < 12:
            digits = str(self.bits(self.pick((4, 10, 20, 53))))
            return float("%s%s.%se%d" % ("-" * self.bits(1), digits[:1], digits[1:] or "0", self.below(81) - 40))
        if kind < 14:
            digits = str(self.bits(self.pick((3, 20, 53))))
            return float("%s0.%s" % ("-" * self.bits(1), digits))  # within [-1, 1]
        if kind < 15:
            return (self.below(49) - 24) * math.pi / self.pick((1, 2, 3, 4, 6, 12, 180))
        if kind < 17:
            return self.below(21) - 10
        if kind < 18:
            return self.pick((1, -1)) * (2 ** self.below(1100) + self.below(3) - 1)  # past 2**1024: OverflowError
        if kind < 19:
            return bool(self.bits(1))
        return Fraction(self.below(2001) - 1000, self.below(999) + 1)

    def token(self):
        sym, power = self.pick(SYMBOLS), ""
        roll = self.below(10)
        if roll < 2:
            power = "^%d" % (self.below(9) - 4)
        elif roll < 3:
            power = str(self.below(3) + 2)
        return [sym, power]

    def expression(self):
        """A unit expression as numerator and denominator token lists, rendered by text()."""
        num = [self.token() for _ in range(self.below(4))]
        den = [self.token() for _ in range(self.below(3))] if self.chance(40) else []
        return num, den, self.below(4), self.pick(("-", "-", " - ", "-\t"))

    def text(self, expr):
        num, den, style, dash = expr
        side = lambda tokens: dash.join(s + p for s, p in tokens)  # noqa: E731
        text = side(num) + ("/" + side(den) if den else "")
        return "[%s]" % text if style == 1 else " %s " % text if style == 2 else text

    def kin(self, expr):
        """The same dimension in other symbols."""
        num, den, _, dash = expr
        swap = lambda tokens: [[self.pick(GROUP_OF[s]), p] for s, p in tokens]  # noqa: E731
        return swap(num), swap(den), self.below(4), dash

    def mangle(self, text):
        """A damaged expression: an inserted, removed or doubled character, an unknown symbol, a wild power."""
        roll = self.below(8)
        at = self.below(len(text) + 1)
        if roll < 3:
            return text[:at] + self.pick("^-/()[] 0123456789x.+eE\t\u00b5\u00b2\u2212\x00") + text[at:]
        if roll < 4:
            return text[:at] + text[at + 1 :]
        if roll < 5:
            return text[:at] + self.pick(("foo", "M", "Kg", "sec", "deg2x", "rad^", "^2")) + text[at:]
        if roll < 6:
            return text + self.pick(("^99999999999999999999", "^1.5", "^-", "^ 2", "^2^2", "^0", "^-0", "^+3"))
        if roll < 7:
            return text + self.pick(("/", "//s", "/m/s", "-", "--m", "/(s)"))
        return text[:at] + text[at:] * 2

    def unit(self):
        """Any unit text: mostly well-formed, some damaged, some unitless or an angle (for the math methods)."""
        roll = self.below(10)
        if roll < 2:
            return ""
        if roll < 4:
            return self.pick(ANGLES) + self.pick(("", "", "^2", "/" + self.pick(ANGLES)))
        text = self.text(self.expression())
        return self.mangle(text) if roll < 5 else text


def exact(x):
    from tq_pyo3 import Telquant

    if type(x) is float:
        return "nan:%016x" % struct.unpack("<Q", struct.pack("<d", x))[0] if x != x else x.hex()
    if type(x) is Telquant:
        return "Q(%s;%s)" % (exact(x.value()), ",".join(map(exact, x.base_units())))
    if type(x) is tuple:
        return "(%s)" % ",".join(map(exact, x))
    if isinstance(x, (bool, int, str, Fraction)) or x is None:
        return ascii(x)
    return type(x).__name__


def outcome(call):
    """The result of call() written exactly, or its exception."""
    try:
        result = call()
    except Exception as error:
        return None, "!%s: %s" % (type(error).__name__, ascii(str(error)))
    return result, exact(result)


def operand(rng, like=None):
    """A quantity's constructor arguments: a number and a unit text (often the unit of `like`)."""
    unit = like if like is not None and rng.chance(50) else rng.unit()
    return rng.number(), unit


def describe(args):
    value, unit = args
    return "Q(%s,%s)" % (exact(float(value)) if type(value) is float else exact(value), ascii(unit))


def one(rng, index):
    """One operation: its description and its result, written exactly."""
    import tq_pyo3
    from tq_pyo3 import Telquant

    make = lambda args: Telquant(*args)  # noqa: E731
    roll = rng.below(100)
    libm = None
    if roll < 15:  # constructor, any unit text, sometimes a non-str unit or a keyword call
        value, unit = rng.number(), rng.unit()
        if rng.chance(3):
            unit = rng.pick((None, 5, b"m", ["m"]))
        desc = "new " + describe((value, unit))
        _, text = outcome(lambda: Telquant(value=value, unit=unit) if rng.chance(10) else Telquant(value, unit))
        return desc, text
    if roll < 17:  # module functions
        name, x = rng.pick(("asin", "acos", "atan")), rng.number() if rng.chance(95) else rng.pick(("1", None))
        result, text = outcome(lambda: getattr(tq_pyo3, name)(x))
        if result is not None:
            libm = reference(name, float(x))
        return "%s(%s)" % (name, exact(x)), text + libm_text(libm)
    name = rng.pick(LIBM)
    if 60 <= roll < 92 and rng.chance(85):  # most math calls get an argument in their domain's units
        unit = rng.pick(ANGLES) if name in ("sin", "cos", "tan") else rng.pick(("", "", "m/m", "deg/rad", "kg/g"))
        args = (rng.number(), unit)
    else:
        args = operand(rng)
    q, text = outcome(lambda: make(args))
    desc = describe(args)
    if q is None:
        return "new " + desc, text
    if roll < 45:  # binary operators and comparisons: quantity with quantity, or with a plain number either side
        op = rng.pick(tuple(BINARY))
        side = rng.below(3)
        if side == 0:
            other_args = operand(rng, like=args[1])
            other, text = outcome(lambda: make(other_args))
            if other is None:
                return desc + " " + op + " " + describe(other_args), text
            other_desc = describe(other_args)
        else:
            other = rng.number() if rng.chance(96) else rng.pick(("x", None, 1j, [1]))
            other_desc = exact(other)
        fn = BINARY[op]
        if side == 2:
            result, text = outcome(lambda: fn(other, q))
            return "%s %s %s" % (other_desc, op, desc), text
        result, text = outcome(lambda: fn(q, other))
        if op == "**" and result is not None:
            libm = reference("pow", q.value(), float(other))
        return "%s %s %s" % (desc, op, other_desc), text + libm_text(libm)
    if roll < 48:  # pow with a third argument, which is ignored
        n, m = rng.number(), rng.pick((None, 5, 0, 1.5, "x"))
        result, text = outcome(lambda: pow(q, n, m))
        if result is not None:
            libm = reference("pow", q.value(), float(n))
        return "pow(%s,%s,%s)" % (desc, exact(n), exact(m)), text + libm_text(libm)
    if roll < 52:
        name = rng.pick(("neg", "abs"))
        return "%s %s" % (name, desc), outcome(lambda: -q if name == "neg" else abs(q))[1]
    if roll < 54:  # value_in: often the same dimension in other symbols, else any unit text
        expr = rng.expression()
        target = rng.text(rng.kin(expr)) if rng.chance(50) else rng.unit()
        if rng.chance(50):
            args = (args[0], rng.text(expr))
            q, text = outcome(lambda: make(args))
            desc = describe(args)
            if q is None:
                return "new " + desc, text
        return "%s.value_in(%s)" % (desc, ascii(target)), outcome(lambda: q.value_in(target))[1]
    if roll < 60:
        name = rng.pick(("value", "is_unitless", "base_units"))
        return "%s.%s()" % (desc, name), outcome(getattr(q, name))[1]
    if roll < 92:
        result, text = outcome(getattr(q, name))
        if result is not None:
            libm = reference(name, q.value())
        return "%s.%s()" % (desc, name), text + libm_text(libm)
    name = rng.pick(("str", "repr"))
    return "%s(%s)" % (name, desc), outcome(lambda: (str if name == "str" else repr)(q))[1]


def c_pow():
    """The C library's own pow: math.pow answers some cases itself (1 ** y is 1 even for a signaling NaN y)."""
    try:
        import ctypes

        pow_ = ctypes.CDLL(None).pow
    except (ImportError, OSError, AttributeError):
        return math.pow
    pow_.argtypes, pow_.restype = [ctypes.c_double, ctypes.c_double], ctypes.c_double
    return pow_


C_POW = c_pow()


def reference(name, *args):
    """What the platform's C library answers, through Python's math module (a thin wrapper on it), or for pow the
    C function itself when ctypes can reach it and math.pow has no error to report."""
    try:
        if name == "pow":
            answer = math.pow(*args)
            return C_POW(*args) if C_POW is not math.pow else answer
        return getattr(math, MATH.get(name, name))(*args)
    except (ValueError, OverflowError) as error:
        return "!%s" % type(error).__name__


def libm_text(libm):
    return "" if libm is None else " libm=" + (libm if isinstance(libm, str) else exact(libm))


GROUP_OF, ANGLES = {}, []


def run(out, ops, seed):
    import platform

    import tq_pyo3

    global ANGLES
    all_groups, ANGLES = groups()
    GROUP_OF.update({s: g for g in all_groups for s in g})
    rng = Random(seed)
    lines = []
    for index in range(ops):
        desc, text = one(rng, index)
        lines.append("%d %s -> %s\n" % (index, desc, text))
    data = "".join(lines).encode()
    with open(out, "wb") as f:
        f.write(data)
    print(
        "same-bits: %s %s, %s: %d operations (seed %d), sha256 %s -> %s"
        % (
            platform.machine(),
            platform.python_version(),
            tq_pyo3.__file__,
            ops,
            seed,
            hashlib.sha256(data).hexdigest(),
            out,
        )
    )


def split(line):
    """Operation, module result, libm answer."""
    head, _, tail = line.partition(" -> ")
    result, _, libm = tail.partition(" libm=")
    return head, result, libm


# The operand types in Python's message for an operator that no operand supports (it changed between versions).
OPERAND_TYPES = re.compile(r"(?<=unsupported operand type\(s\) for )(.*?): '\w+' and '[\w.]+'")


def nan_free(text):
    return re.sub(r"nan:[0-9a-f]{16}", "nan", text)


def kind_of(head):
    """The operation a line names: a method, an operator, a function or the constructor."""
    found = (
        re.search(r"\.(\w+)\((?:'.*')?\)$", head)
        or re.match(r"\d+ (new|str|repr|neg|abs|asin|acos|atan|pow)\b", head)
        or re.search(r" (\*\*|[-+*/]|[=!<>]=|[<>]) (?:[-0-9.xpa-fQnFt(]|None|inf|True|False|\[)", head)
    )
    return found.group(1) if found else "?"


def own_libm(result, libm):
    """The module's result is exactly the platform's libm answer for the same input."""
    return bool(libm) and result.startswith("Q(%s;" % libm)


def digests(data):
    """The output's sha256, and that of the output with every NaN written alike."""
    return "%s (NaNs alike: %s)" % (
        hashlib.sha256(data).hexdigest(),
        hashlib.sha256(nan_free(data.decode()).encode()).hexdigest(),
    )


def compare(ref, others):
    failed = False
    with open(ref, "rb") as f:
        want = f.read()
    print("same-bits: %s sha256 %s" % (ref, digests(want)))
    want = want.decode().splitlines()
    for other in others:
        with open(other, "rb") as f:
            got = f.read()
        print("same-bits: %s sha256 %s" % (other, digests(got)))
        got = got.decode().splitlines()
        if len(got) != len(want):
            print("  FAIL: %d lines, %d in %s" % (len(got), len(want), ref))
            failed = True
            continue
        nan_bits, c_library, unexplained, reference_nan, wording = [], [], {}, 0, []
        for a, b in zip(want, got):
            if a == b:
                continue
            (head, res_a, libm_a), (_, res_b, libm_b) = split(a), split(b)
            if res_a == res_b:  # the module answers alike; only the C library's own answer differs
                if nan_free(libm_a) == nan_free(libm_b):
                    reference_nan += 1
                else:
                    c_library.append((a, b))
                continue
            if nan_free(a) == nan_free(b):
                nan_bits.append((a, b))
                continue
            if OPERAND_TYPES.sub("", res_a) == OPERAND_TYPES.sub("", res_b) and OPERAND_TYPES.search(res_a):
                wording.append((a, b))  # Python's own message for an operator the module declined
                continue
            if libm_a != libm_b and own_libm(res_a, libm_a) and own_libm(res_b, libm_b):
                c_library.append((a, b))
            else:
                unexplained.setdefault(kind_of(head), []).append((a, b))
        if not (nan_bits or c_library or unexplained or reference_nan or wording):
            print("  byte-identical to %s" % ref)
            continue
        if reference_nan:
            print(
                "  C library NaN bits: %d lines, the module's results alike, the C library's own NaN differs"
                % reference_nan
            )
        if wording:
            print(
                "  Python's wording: %d lines, the module declined the operator alike and the two interpreters "
                "name the operand types differently, e.g." % len(wording)
            )
            print("    %s\n      %s" % (wording[0][0], wording[0][1][wording[0][1].index(" -> ") :]))
        counts = {}
        for a, _ in nan_bits:
            counts[kind_of(split(a)[0])] = counts.get(kind_of(split(a)[0]), 0) + 1
        print(
            "  NaN bits only: %d lines, the sign or payload of a NaN (by operation: %s)"
            % (len(nan_bits), ", ".join("%s %d" % item for item in sorted(counts.items(), key=lambda item: -item[1])))
        )
        for a, b in nan_bits[:3]:
            print("    %s\n      %s" % (a, b[b.index(" -> ") :]))
        print("  C library: %d lines, where the two libms answer differently for the same input:" % len(c_library))
        for a, b in c_library:
            head, res_a, libm_a = split(a)
            print("    %s: %s here, %s there" % (head, libm_a, split(b)[2]))
        total = sum(map(len, unexplained.values()))
        print("  unexplained: %d lines" % total)
        for kind, pairs in sorted(unexplained.items(), key=lambda item: -len(item[1])):
            astray = sum(1 for _, b in pairs if split(b)[2] and not own_libm(*split(b)[1:]))
            print(
                "    %s: %d lines%s"
                % (
                    kind,
                    len(pairs),
                    "; in %d of them the module's result is not its own C library's answer for the same input" % astray
                    if astray
                    else "",
                )
            )
            for a, b in pairs[:3]:
                print("      %s\n        %s" % (a, b[b.index(" -> ") :]))
        failed |= total > 0 or bool(nan_bits)
    print("same-bits: %s" % ("FAIL: differences not explained by the C library" if failed else "ok"))
    return 1 if failed else 0


def main(argv):
    if len(argv) >= 2 and argv[0] == "run":
        opts = dict(zip(argv[2::2], argv[3::2]))
        run(argv[1], int(opts.get("--ops", 100000)), int(opts.get("--seed", 20261207)))
        return 0
    if len(argv) >= 3 and argv[0] == "compare":
        return compare(argv[1], argv[2:])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
