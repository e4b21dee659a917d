"""Every fault the project plants, one row each, with the check that must catch it (`make faults`; the rows whose
check is suite-fail-fast are `make mutate`). A fault is one or more text replacements in a copy of the tree; each
text must occur exactly once there, so a fault that no longer fits the code is reported stale instead of planted
elsewhere (tests/test_checks.py checks that for every row). Runs on any Python from 3.8 on."""

from collections import namedtuple

# check: the check of dev/run.py that must fail with the fault planted; options: its settings (as pairs)
Fault = namedtuple("Fault", "name check edits what options")

Q, F, O, T, E, P, X = (  # noqa: E741 - O: operators.cpp, beside the other initials  # noqa: E741 - O is operators.cpp, beside the other initials
    "core/src/quantity.hpp",
    "src/frame.cpp",
    "src/operators.cpp",
    "core/src/text.cpp",
    "core/src/elementary.cpp",
    "core/src/parse.cpp",
    "src/frame.hpp",
)
A, TT, TH, R = "core/src/arithmetic.hpp", "src/telquant_type.cpp", "core/src/text.hpp", "src/reader_count.hpp"
ONCE, VC, UC = "src/once.hpp", "src/vectorcall.cpp", "src/unit_cache.hpp"
ADD_ONE = "std::atomic_ref<std::size_t>(readers).fetch_add(1, std::memory_order_relaxed);"


def suite(name, path, text, replacement, what):  # a fault the suite must catch (make mutate)
    return Fault(name, "suite-fail-fast", ((path, text, replacement),), what, ())


FAULTS = [
    # ---- the module's behaviour: the whole suite on this machine's python3 must catch each -------------------------
    suite(
        "angle-no-cd",
        Q,
        "for (std::size_t i = 0; i < kRadian; ++i) zero &= q.dims[i] == 0.0;",
        "for (std::size_t i = 0; i < kCandela; ++i) zero &= q.dims[i] == 0.0;",
        "the angle test skips candela",
    ),
    suite(
        "unitless-tolerance",
        Q,
        "for (double e : q.dims) zero &= e == 0.0;",
        "for (double e : q.dims) zero &= e <= 1e-12 && e >= -1e-12;",
        "the unitless test has a tolerance of 1e-12",
    ),
    suite(
        "index-leak",
        O,
        "        n = PyLong_AsLong(index);\n        Py_DECREF(index);",
        "        n = PyLong_AsLong(index);",
        "** leaks the int that __index__ returned",
    ),
    suite(
        "unitless-no-cd",
        Q,
        "for (double e : q.dims) zero &= e == 0.0;",
        "for (std::size_t i = 0; i < kDimCount; ++i) zero &= i == kCandela || q.dims[i] == 0.0;",
        "the unitless test skips candela",
    ),
    suite(
        "compatible-symmetric",
        Q,
        "((l3 == r3) | (l3 == rad_one))",
        "((l3 == r3) | (l3 == rad_one) | (r3 == rad_one))",
        "an angle on the right accepts any rad on the left",
    ),
    suite(
        "compatible-cd-zero",
        Q,
        "const Pair rad_one = {__builtin_nan(\"\"), 1.0};",
        "const Pair rad_one = {0.0, 1.0};",
        "a left cd exponent 0 accepts any right cd exponent",
    ),
    suite(
        "power-bound",
        P,
        "magnitude <= 2147483647LL;",
        "magnitude <= 2147483648LL;",
        "the parser accepts the power 2147483648 (and wraps it)",
    ),
    suite(
        "minus-after-caret",
        P,
        "bool separator = c == '-' && previous != '^';",
        "bool separator = c == '-';",
        "a '-' after '^' splits the token",
    ),
    suite(
        "bracket-buffer",
        P,
        "if (raw.size() > sizeof local_) {",
        "if (raw.size() > sizeof local_ + 2) {",
        "a token of 66 bytes, one of them a bracket, overflows the local buffer by one",
    ),
    suite("number-div-swapped", A, "r.value = x / a.value;", "r.value = a.value / x;", "x / q divides the wrong way"),
    suite(
        "nan-not-canonical",
        Q,
        "double canonical(double r, double a, double b) { return r == r ? r : canonical_nan(a, b); }",
        "double canonical(double r, double a, double b) { return r; }",
        "a NaN result of two operands is whatever the processor and the compiler's operand order make",
    ),
    suite(
        "nan-right-first",
        Q,
        "a != a ? quieted(a) : b != b ? quieted(b)",
        "b != b ? quieted(b) : a != a ? quieted(a)",
        "of two NaN operands the right one passes on",
    ),
    suite(
        "neg-plus-zero",
        A,
        "return Quantity{a.dims, -a.value};",
        "return Quantity{a.dims, 0.0 - a.value};",
        "negation gives +0.0 for 0.0",
    ),
    suite(
        "powi-squaring",
        A,
        "{ return pow(a, static_cast<double>(n)); }",
        "{\n    Quantity r = pow(a, static_cast<double>(n));\n    double v = 1.0, b = a.value;\n"
        "    for (auto k = n < 0 ? 0u - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n); k; k >>= 1) {"
        "\n        if (k & 1u) v *= b;\n        b *= b;\n    }\n    r.value = n < 0 ? 1.0 / v : v;\n    return r;\n}",
        "integer powers by repeated squaring instead of the C library's pow",
    ),
    suite(
        "nan-compare-greater",
        A,
        "    if (a.value > b.value) return Ordering::Greater;\n    return Ordering::Unordered;",
        "    if (a.value > b.value) return Ordering::Greater;\n    return Ordering::Greater;",
        "a NaN value compares as greater",
    ),
    suite(
        "compare-one-ulp",
        A,
        "    if (a.value < b.value) return Ordering::Less;",
        "    if (a.value < b.value && b.value - a.value > __builtin_fabs(b.value) * 0x1p-52) return Ordering::Less;",
        "values one ulp apart are not ordered",
    ),
    suite(
        "sqrt-no-fabs",
        E,
        "r.value = std::fabs(canonical(std::sqrt(q.value), q.value));",
        "r.value = canonical(std::sqrt(q.value), q.value);",
        "sqrt(-0.0) keeps the negative zero",
    ),
    Fault(
        "log-nan-from-libm",
        "test-riscv64",
        (
            (
                E,
                "domain_message);\n    return Result<double>::success(canonical(fn(q.value), q.value));",
                "domain_message);\n    return Result<double>::success(fn(q.value));",
            ),
        ),
        "a logarithm's NaN is the C library's, not the operand's (RISC-V's libm gives the canonical NaN)",
        (),
    ),
    suite("sqrt-message", E, "\"sqrt of negative value\"", "\"sqrt of a negative value\"", "a word more in a message"),
    suite(
        "text-saturation",
        T,
        "magnitude >= 2147483647.0 ? INT32_MAX :",
        "magnitude >= 2147483647.0 ? INT32_MAX - 1 :",
        "exponent text saturates at 2147483646",
    ),
    suite(
        "text-nan-dropped",
        T,
        "bool in_denominator(double e) { return !(e > 0.0) && e != 0.0; }",
        "bool in_denominator(double e) { return e < 0.0; }",
        "NaN exponents vanish from the unit text",
    ),
    suite(
        "text-buffer-short",
        TH,
        "inline constexpr std::size_t kTextMax = 4096;",
        "inline constexpr std::size_t kTextMax = 2048;",
        "the longest texts (fractional exponents) are cut short",
    ),
    suite(
        "reader-not-released",
        X,
        "~Reader() {",
        "~Reader() {\n        return;",
        "receiver access never releases its reader count",
    ),
    suite(
        "reader-left-raised",
        TT,
        "    Reader r(method_receiver(self));\n    UnitArg unit;\n"
        "    if (!unit.load(argv[0], \"unit\")) return nullptr;",
        "    UnitArg unit;\n    if (!unit.load(argv[0], \"unit\")) {\n"
        "        count_reader(method_receiver(self)->readers);\n        return nullptr;\n    }\n"
        "    Reader r(method_receiver(self));",
        "value_in leaves the reader count raised when its unit is no str",
    ),
    suite(
        "fast-path-order",
        X,
        "out[i] = PyTuple_GetItem(args, i);",
        "out[i] = PyTuple_GetItem(args, table.count - 1 - i);",
        "the positional fast path binds in reverse",
    ),
    suite(
        "minus-one-fails",
        X,
        "return !(out == -1.0 && PyErr_Occurred());",
        "return out != -1.0;",
        "a number -1.0 counts as a failed conversion",
    ),
    suite(
        "subclass-rewritten",
        F,
        "if (type != PyExc_TypeError) {  // only exactly",
        "if (!PyErr_GivenExceptionMatches(type, PyExc_TypeError)) {  // only exactly",
        "argument errors rewrite TypeError subclasses too",
    ),
    suite(
        "cause-dropped",
        F,
        "PyObject* cause = PyException_GetCause(value);",
        "PyObject* cause = nullptr;",
        "argument errors drop the __cause__",
    ),
    suite("verb-was", F, "but %zd were given", "but %zd was given", "surplus arguments always 'was given'"),
    suite(
        "type-name-attr",
        F,
        "PyUnicode_InternFromString(\"__qualname__\")",
        "PyUnicode_InternFromString(\"__name__\")",
        "type names from __name__, not __qualname__",
    ),
    suite(
        "keyword-duplicate",
        F,
        "    if (out[match] != nullptr) {",
        "    if (false) {",
        "a keyword may repeat a positional argument",
    ),
    suite(
        "message-str-leak",
        F,
        "    PyErr_SetObject(cls, text);\n    Py_DECREF(text);",
        "    PyErr_SetObject(cls, text);",
        "every TQError leaks its message str",
    ),
    suite(
        "long-text-leak",
        F,
        "    Py_DECREF(bytes);\n    return ok;",
        "    return ok;",
        "a unit text longer than the stack path leaks its bytes object",
    ),
    suite(
        "reflected-message",
        O,
        "double x;\n    if (!operand_number(left, reflected_message, x)) return nullptr;",
        "double x;\n    if (!operand_number(left, forward_message, x)) return nullptr;",
        "number * q and number / q name the forward operation",
    ),
    suite(
        "le-on-equal",
        O,
        "case tq::Ordering::Equal: return new_bool(op == Py_LE || op == Py_GE);",
        "case tq::Ordering::Equal: return new_bool(op == Py_LE);",
        ">= is false for equal values",
    ),
    suite(
        "type-ref-leak", TT, "(self);\n    Py_DECREF(type);", "(self);", "every instance leaks a reference to its type"
    ),
    suite(
        "nan-test-skipped",
        Q,
        "    return all != all;",
        "    return false;",
        "a product, quotient or power holding a NaN never has it canonicalised",
    ),
    suite(
        "utf8-lead-byte",
        F,
        "local_[n++] = static_cast<char>(0xF0 | (c >> 18));",
        "local_[n++] = static_cast<char>(0xF8 | (c >> 18));",
        "a unit text with a character beyond U+FFFF is misread",
    ),
    suite(
        "unit-cache-identity",
        UC,
        "        if (PyUnicode_CompareWithASCIIString(str, seen.entry->key.text()) != 0) return nullptr;\n",
        "",
        "a str at the address of one seen before gets that one's unit, its own text never compared",
    ),
    suite(
        "surrogate-half",
        F,
        "if (c >= 0xD800 && c <= 0xDFFF) return false;",
        "if (c >= 0xD800 && c <= 0xDBFF) return false;",
        "a lone low surrogate in a short unit text is encoded instead of refused",
    ),
    # ---- the interpreter's lifecycle ---------------------------------------------------------------------------
    Fault(
        "once-no-detach",
        "suite-fail-fast",
        (
            (
                ONCE,
                "            PyThreadState* saved = PyEval_SaveThread();",
                "            PyThreadState* saved = nullptr;",
            ),
            (ONCE, "            PyEval_RestoreThread(saved);\n", "            (void)saved;\n"),
        ),
        "a thread waiting for another's fill keeps the interpreter lock",
        (),
    ),
    suite(
        "unwind-swallowed",
        X,
        "        return internal_failure(\"unexpected C++ exception\");\n    }  // GCOVR_EXCL_STOP\n",
        "        return internal_failure(\"unexpected C++ exception\");\n    } catch (...) {\n"
        "        return internal_failure(\"unexpected C++ exception\");\n    }  // GCOVR_EXCL_STOP\n",
        "a catch-all in the entry points swallows the forced unwind of a thread the interpreter ends at exit",
    ),
    suite(
        "entry-noexcept",
        X,
        "PyObject* entry(Body&& body) {",
        "PyObject* entry(Body&& body) noexcept {",
        "a noexcept entry point terminates the process on a forced unwind",
    ),
    Fault(
        "internal-error-lazy",
        "suite-fail-fast",
        (
            (F, " || !ensure(g_internal_error, make_internal_error)", ""),
            (
                F,
                "    PyErr_SetString(g_internal_error.load(",
                "    ensure(g_internal_error, make_internal_error);\n    PyErr_SetString(g_internal_error.load(",
            ),
        ),
        "the internal-error class is made on first need, unguarded, instead of by the import",
        (),
    ),
    suite(
        "immortal-widened",
        TT,
        "#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000",
        "#if PY_VERSION_HEX < 0x030E0000",
        "the type is made immortal on interpreters with a GIL too",
    ),
    suite(
        "vectorcall-slot-everywhere",
        TT,
        "takes_vectorcall_slot() ? slots : slots + 1",
        "slots",
        "interpreters before 3.14 are given the vectorcall slot, which they refuse",
    ),
    Fault(
        "immortal-dropped",
        "test-ft",
        ((TT, "#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000", "#if 0"),),
        "free-threaded 3.13 leaves the type mortal (threads contend on its count)",
        (),
    ),
    Fault(
        "vectorcall-ignores-patch",
        "test-sid",
        ((VC, "        if (!construction_as_made(type)) return call_without_slot(type, args, nargs, kwnames);\n", ""),),
        "from 3.14 on, a call of the type ignores a replaced __new__ or __init__",
        (),
    ),
    # ---- what only a sanitizer, a race detector or a ledger sees ---------------------------------------------------
    Fault(
        "utf8-stack-overflow",
        "sanitize",
        ((X, "    char local_[4 * kShort];", "    char local_[3 * kShort + 8];"),),
        "32 four-byte characters overflow the stack buffer of a short unit text",
        (),
    ),
    Fault(
        "plain-reader-count",
        "tsan",
        (
            (R, ADD_ONE, "++readers;"),
            (R, "std::atomic_ref<std::size_t>(readers).fetch_sub(1, std::memory_order_relaxed);", "--readers;"),
        ),
        "the reader count is changed by plain increments: threads sharing an instance race on it",
        (),
    ),
    Fault(
        "argument-error-leak",
        "ledger",
        (
            (
                F,
                "    PyErr_Format(PyExc_TypeError, \"argument '%s': %U\", name, text);\n    Py_DECREF(text);",
                "    PyErr_Format(PyExc_TypeError, \"argument '%s': %U\", name, text);",
            ),
        ),
        "an argument error leaks the text of the error it rewrites",
        (),
    ),
    # ---- the portable wheels, their bits, their speed, the toolchain refusal -------------------------------------
    Fault(
        "libm-unlisted",
        "wheels",
        (("cmake/libm-functions.txt", "log2\n", ""),),
        "a C library function the module calls is missing from the one list of them, so nothing binds or checks it",
        (("platforms", ("x86_64",)),),
    ),
    Fault(
        "unwinder-inside",
        "wheels",
        (("CMakeLists.txt", '    target_link_libraries(tq_pyo3 PRIVATE "${ZIG_LIBGCC_S}")\n', ""),),
        "the glibc wheels carry zig's own unwinder, which crashes when glibc ends a thread inside the module",
        (("platforms", ("aarch64",)),),
    ),
    Fault(
        "musl-libm-unwrapped",
        "wheels",
        (("CMakeLists.txt", '        target_link_options(tq_pyo3 PRIVATE "-Wl,--wrap=${_function}")\n', ""),),
        "the musl aarch64 wheel's calls of sin, log2, ... go to zig's own copies linked into the module, not to the "
        "C library's",
        (("platforms", ("musl-aarch64",)),),
    ),
    Fault(
        "exports-all",
        "wheels",
        (("cmake/module-exports.map", "  local: *;\n", ""),),
        "the wheel's extension exports its C++ runtime's symbols",
        (("platforms", ("x86_64",)),),
    ),
    Fault(
        "aarch64-reciprocal",
        "same-bits",
        (
            (
                Q,
                "    return Result<double>::success(canonical(q.value / factor, q.value, factor));",
                "#if defined(__aarch64__)\n    return Result<double>::success("
                "canonical(q.value * (1.0 / factor), q.value, factor));\n#else\n"
                "    return Result<double>::success(canonical(q.value / factor, "
                "q.value, factor));\n#endif",
            ),
        ),
        "on aarch64 only, value_in multiplies by the reciprocal instead of dividing",
        (("platforms", ("aarch64",)),),
    ),
    Fault(
        "byte-order",
        "test-s390x",
        (
            (
                Q,
                "    std::uint64_t bits;\n    std::memcpy(&bits, &nan, sizeof bits);\n"
                "    bits |= std::uint64_t{1} << 51;\n    std::memcpy(&nan, &bits, sizeof nan);",
                "    reinterpret_cast<unsigned char*>(&nan)[6] |= 0x08;  // bit 51, in memory",
            ),
        ),
        "a NaN is quieted by setting a bit of its bytes in memory, which is bit 51 only on little-endian machines",
        (),
    ),
    Fault(
        "x87",
        "same-bits",
        (
            (
                "cmake/zig-toolchain.cmake",
                'set(CMAKE_CXX_FLAGS_INIT "${ZIG_FLAGS}")',
                'set(CMAKE_CXX_FLAGS_INIT "${ZIG_FLAGS} -mno-sse2")',
            ),
        ),
        "the i686 wheel computes doubles on the x87 unit (no SSE2), whose wider registers round a product or quotient "
        "twice",
        (("platforms", ("i686",)),),
    ),
    Fault(
        "reader-count-slow",
        "bench-ir",
        (
            (
                R,
                ADD_ONE,
                "for (int i = 0; i < 8; ++i) " + ADD_ONE + "\n    std::atomic_ref<std::size_t>(readers).fetch_sub(7, "
                "std::memory_order_relaxed);",
            ),
        ),
        "every receiver access takes eight more atomic instructions",
        (),
    ),
    Fault(
        "toolchain-check-dropped",
        "compilers",
        (("CMakeLists.txt", "include(cmake/toolchain_minimum.cmake)\n", ""),),
        "toolchains below the minimum are no longer refused at configure time",
        (("only", "refusals"),),
    ),
]
