#!/usr/bin/env python3
"""Mutation check of the test suite: each fault of FAULTS is planted alone, in a git worktree of its own, the module
is built there and the whole suite runs against it. A fault the suite lets pass is reported as missed.

    python3 mutation/mutate.py [--tree DIR] [--rev REV] [--tests PATH|REV] [NAME ...]     (or: make mutate)

The sources come from commit REV (default HEAD), the tests from this checkout's tests/ (default) or from a commit,
so uncommitted tests can be checked against committed code. This checkout is never written to: the tree is a
linked worktree (default build/mutate/tree) with its own venv, and every fault is a text replacement that must
match exactly once, so a fault that no longer fits the code is reported as stale instead of planted elsewhere.
Hypothesis runs with a fixed seed and no example database, so a result does not depend on earlier runs.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

PINS = ["scikit-build-core==0.11.6", "pytest==9.2.0", "hypothesis==6.170.27", "numpy==2.4.6"]
SOURCES = ["core", "src", "cmake", "CMakeLists.txt", "pyproject.toml", "README.md", "Makefile", "mk", "LICENSE",
           "tq_pyo3-stubs"]
Q, F, O, T, E, P, X = ("core/src/quantity.hpp", "src/frame.cpp", "src/operators.cpp", "core/src/text.cpp",
                       "core/src/elementary.cpp", "core/src/parse.cpp", "src/frame.hpp")
A, TT = "core/src/arithmetic.hpp", "src/telquant_type.cpp"

# name, file, text, replacement, what the fault does
FAULTS = [
    ("angle-no-cd", Q, "for (std::size_t i = 0; i < kRadian; ++i) zero &= q.dims[i] == 0.0;",
     "for (std::size_t i = 0; i < kCandela; ++i) zero &= q.dims[i] == 0.0;", "the angle test skips candela"),
    ("unitless-tolerance", Q, "for (double e : q.dims) zero &= e == 0.0;",
     "for (double e : q.dims) zero &= e <= 1e-12 && e >= -1e-12;", "the unitless test has a tolerance of 1e-12"),
    ("index-leak", O, "        n = PyLong_AsLong(index);\n        Py_DECREF(index);",
     "        n = PyLong_AsLong(index);", "** leaks the int that __index__ returned"),
    ("unitless-no-cd", Q, "for (double e : q.dims) zero &= e == 0.0;",
     "for (std::size_t i = 0; i < kDimCount; ++i) zero &= i == kCandela || q.dims[i] == 0.0;",
     "the unitless test skips candela"),
    ("compatible-symmetric", Q, "((l[3] == r[3]) | (l[3] == rad_one))",
     "((l[3] == r[3]) | (l[3] == rad_one) | (r[3] == rad_one))", "an angle on the right accepts any rad on the left"),
    ("compatible-cd-zero", Q, "const Pair rad_one = {__builtin_nan(\"\"), 1.0};",
     "const Pair rad_one = {0.0, 1.0};", "a left cd exponent 0 accepts any right cd exponent"),
    ("power-bound", P, "magnitude <= 2147483647LL;", "magnitude <= 2147483648LL;",
     "the parser accepts the power 2147483648 (and wraps it)"),
    ("minus-after-caret", P, "bool separator = c == '-' && previous != '^';", "bool separator = c == '-';",
     "a '-' after '^' splits the token"),
    ("bracket-buffer", P, "if (raw.size() > sizeof local_) {", "if (raw.size() > sizeof local_ + 2) {",
     "a token of 66 bytes, one of them a bracket, overflows the local buffer by one"),  # + 1 could not overflow
    ("number-div-swapped", A, "settled(x / a.value, x, a.value)", "settled(a.value / x, x, a.value)",
     "x / q divides the wrong way"),
    ("nan-unsettled", Q, "double settled(double r, double a, double b) { return r == r ? r : nan_of(a, b); }",
     "double settled(double r, double a, double b) { return r; }",
     "a NaN result of two operands is whatever the processor and the compiler's operand order make"),
    ("nan-right-first", Q, "a != a ? quieted(a) : b != b ? quieted(b)", "b != b ? quieted(b) : a != a ? quieted(a)",
     "of two NaN operands the right one passes on"),
    ("neg-plus-zero", A, "return Quantity{a.dims, -a.value};", "return Quantity{a.dims, 0.0 - a.value};",
     "negation gives +0.0 for 0.0"),
    ("powi-squaring", A, "{ return powf(a, static_cast<double>(n)); }",
     "{\n    Quantity r = powf(a, static_cast<double>(n));\n    double v = 1.0, b = a.value;\n"
     "    for (auto k = n < 0 ? 0u - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n); k; k >>= 1) {\n"
     "        if (k & 1u) v *= b;\n        b *= b;\n    }\n    r.value = n < 0 ? 1.0 / v : v;\n    return r;\n}",
     "integer powers by repeated squaring instead of the C library's pow"),
    ("nan-compare-greater", A, "    if (a.value > b.value) return Ordering::Greater;\n    return Ordering::Unordered;",
     "    if (a.value > b.value) return Ordering::Greater;\n    return Ordering::Greater;",
     "a NaN value compares as greater"),
    ("sqrt-no-fabs", E, "r.value = std::fabs(std::sqrt(q.value));", "r.value = std::sqrt(q.value);",
     "sqrt(-0.0) keeps the negative zero"),
    ("asin-domain-ge", E, "std::fabs(q.value) > 1.0", "std::fabs(q.value) >= 1.0", "asin and acos refuse exactly 1"),
    ("log-domain-gt", E, "if (0.0 >= q.value)", "if (0.0 > q.value)", "logarithms accept zero"),
    ("sqrt-message", E, "\"sqrt of negative value\"", "\"sqrt of a negative value\"", "a word more in a message"),
    ("text-saturation", T, "magnitude >= 2147483647.0 ? INT32_MAX :", "magnitude >= 2147483647.0 ? INT32_MAX - 1 :",
     "exponent text saturates at 2147483646"),
    ("text-leading-zero", T, "if (k <= 0) {", "if (k < 0) {", "values in [0.1, 1) lose their leading 0"),
    ("text-nan-dropped", T, "bool in_denominator(double e) { return !(e > 0.0) && e != 0.0; }",
     "bool in_denominator(double e) { return e < 0.0; }", "NaN exponents vanish from the unit text"),
    ("reader-not-released", X, "~Reader() {", "~Reader() {\n        return;",
     "receiver access never releases its reader count"),
    ("fast-path-surplus", X, "PyTuple_Size(args) == table.count", "PyTuple_Size(args) >= table.count",
     "the positional fast path takes surplus arguments"),
    ("fast-path-order", X, "out[i] = PyTuple_GetItem(args, i);", "out[i] = PyTuple_GetItem(args, table.count - 1 - i);",
     "the positional fast path binds in reverse"),
    ("minus-one-fails", X, "return !(out == -1.0 && PyErr_Occurred());", "return out != -1.0;",
     "a number -1.0 counts as a failed conversion"),
    ("subclass-rewritten", F, "if (type != PyExc_TypeError) {",
     "if (!PyErr_GivenExceptionMatches(type, PyExc_TypeError)) {", "argument errors rewrite TypeError subclasses too"),
    ("cause-dropped", F, "PyObject* cause = value != nullptr ? PyException_GetCause(value) : nullptr;",
     "PyObject* cause = nullptr;", "argument errors drop the __cause__"),
    ("verb-was", F, "given == 1 ? \"was\" : \"were\"", "\"was\"", "surplus arguments always 'was given'"),
    ("type-name-attr", F, "PyUnicode_InternFromString(\"__qualname__\")", "PyUnicode_InternFromString(\"__name__\")",
     "type names from __name__, not __qualname__"),
    ("keyword-duplicate", F, "    if (out[match] != nullptr) {",
     "    if (false) {", "a keyword may repeat a positional argument"),
    ("message-str-leak", F, "    PyErr_SetObject(cls, text);\n    Py_DECREF(text);", "    PyErr_SetObject(cls, text);",
     "every TQError leaks its message str"),
    ("index-upper-bound", O, "if (n < INT32_MIN || n > INT32_MAX) return false;",
     "if (n < INT32_MIN || n >= INT32_MAX) return false;", "an __index__ of 2147483647 is no integer exponent"),
    ("reflected-message", O, "double x;\n    if (!operand_number(left, reflected_message, x)) return nullptr;",
     "double x;\n    if (!operand_number(left, forward_message, x)) return nullptr;",
     "number * q and number / q name the forward operation"),
    ("le-on-equal", O, "case tq::Ordering::Equal: return new_bool(op == Py_LE || op == Py_GE);",
     "case tq::Ordering::Equal: return new_bool(op == Py_LE);", ">= is false for equal values"),
    ("type-ref-leak", TT, "    release(self);\n    Py_DecRef(reinterpret_cast<PyObject*>(type));", "    release(self);",
     "every instance leaks a reference to its type"),
    ("nan-test-skipped", Q, "    return all != all;", "    return false;",
     "a product, quotient or power holding a NaN is never settled"),
    ("utf8-lead-byte", F, "local_[n++] = static_cast<char>(0xF0 | (c >> 18));",
     "local_[n++] = static_cast<char>(0xF8 | (c >> 18));", "a unit text with a character beyond U+FFFF is misread"),
    ("surrogate-half", F, "if (c >= 0xD800 && c <= 0xDFFF) return false;",
     "if (c >= 0xD800 && c <= 0xDBFF) return false;",
     "a lone low surrogate in a short unit text is encoded instead of refused"),
]


def run(cmd, cwd, timeout=None, env=None):
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout, env=env)


def git(repo, *args):
    return run(["git", *args], repo).stdout.strip()


def prepare(repo, tree, rev, tests):
    if not (tree / ".git").exists():
        tree.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["git", "worktree", "add", "--detach", str(tree), rev], cwd=repo, check=True)
    if (tree / ".git").is_dir() or tree.resolve() == repo.resolve():
        sys.exit("%s is not a linked worktree; faults are planted only in one" % tree)
    for name in SOURCES + ["tests"]:
        path = tree / name
        if path.is_dir():
            shutil.rmtree(path)
        elif path.exists():
            path.unlink()
    archive = subprocess.run(["git", "archive", rev] + [s for s in SOURCES if git(repo, "ls-tree", rev, s)],
                             cwd=repo, capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-m", "-C", str(tree)], input=archive, check=True)  # -m: newer than any object file
    if (repo / tests).is_dir():
        shutil.copytree(repo / tests, tree / "tests", ignore=shutil.ignore_patterns("__pycache__"))
    else:  # a commit
        archive = subprocess.run(["git", "archive", tests, "tests"], cwd=repo, capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-m", "-C", str(tree)], input=archive, check=True)
    python = tree / ".venv" / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", str(tree / ".venv")], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", *PINS], check=True)
    return python


def build_and_test(tree, python):
    """'passed', 'caught: <first failing test>', or 'build failed'."""
    built = run([str(python), "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", "--force-reinstall",
                 "-Cbuild-dir=build/x", "."], tree)
    if built.returncode != 0:
        return "build failed: " + (built.stderr or built.stdout)[-2000:]
    shutil.rmtree(tree / ".hypothesis", ignore_errors=True)
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    try:
        done = run([str(python), "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "--hypothesis-seed=0"], tree,
                   timeout=600, env=env)
    except subprocess.TimeoutExpired:
        return "caught: timeout"
    if done.returncode == 0:
        return "passed"
    failed = [line.split(" - ")[0] for line in done.stdout.splitlines() if line.startswith(("FAILED ", "ERROR "))]
    if not failed:  # a crash ends pytest without its summary
        failed = ["crash, exit %d: %s" % (done.returncode, (done.stdout + done.stderr).strip().splitlines()[-1:])]
    return "caught: " + failed[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", default="build/mutate/tree")
    parser.add_argument("--rev", default="HEAD")
    parser.add_argument("--tests", default="tests")
    parser.add_argument("--report", default="build/mutate/report.md")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    repo = Path(git(Path(__file__).resolve().parent, "rev-parse", "--show-toplevel"))
    tree = (repo / args.tree).resolve()
    python = prepare(repo, tree, args.rev, args.tests)
    baseline = build_and_test(tree, python)
    if baseline != "passed":
        sys.exit("the unplanted tree does not pass: " + baseline)
    rows, missed, stale = [], 0, 0
    for name, rel, text, replacement, summary in FAULTS:
        if args.names and name not in args.names:
            continue
        path = tree / rel
        original = path.read_text()
        if original.count(text) != 1:
            outcome, line = "stale (the text to replace is not there once)", 0
        else:
            line = original[: original.index(text)].count("\n") + 1
            path.write_text(original.replace(text, replacement))
            start = time.monotonic()
            try:
                outcome = build_and_test(tree, python)
            finally:
                path.write_text(original)
            outcome += " (%.0f s)" % (time.monotonic() - start)
        missed += outcome.startswith("passed")
        stale += outcome.startswith("stale")
        rows.append("| %s | %s:%d | %s | %s |" % (name, rel, line, summary, outcome.replace("|", "/")))
        print(rows[-1], flush=True)
    report = ["| fault | where | what | suite |", "|---|---|---|---|"] + rows
    report.append("\n%d planted, %d caught, %d missed, %d stale" % (len(rows) - stale, len(rows) - stale - missed,
                                                                   missed, stale))
    (repo / args.report).parent.mkdir(parents=True, exist_ok=True)
    (repo / args.report).write_text("\n".join(report) + "\n")
    print(report[-1].strip())
    return 1 if missed or stale else 0


if __name__ == "__main__":
    sys.exit(main())
