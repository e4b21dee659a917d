"""Threads truly in parallel: the suite on free-threaded CPython with the GIL off, and ThreadSanitizer watching every
memory access of the interpreter and the module."""

from __future__ import annotations

import os
import shutil

from check_table import check
from interpreters import ready
from steps import ROOT, Failed, output, say, work

# The import must leave the GIL off (the module declares it needs none) and warn about nothing.
GIL_OFF = (
    "import sys, tq_pyo3; assert not sys._is_gil_enabled(), 'the GIL is on'; "
    "print('   free-threaded:', sys.version.split()[0], sys.abiflags, 'GIL off,', tq_pyo3.__file__)"
)


def gil_stays_off(env):
    env.python("-W", "error", "-c", GIL_OFF, env={"PYTHON_GIL": None})


@check(
    "test-ft",
    "threads",
    "on free-threaded CPython the module built from source leaves the GIL off at import, "
    "and the whole suite passes with the GIL forced off",
    "1 min (6 more to build the interpreter once)",
    ci=True,
    needs=("network",),
    uses=("ft-python",),
)
def test_ft(tree):
    env = ready("ft")
    env.install_from_source(tree)
    gil_stays_off(env)
    env.suite(tree=tree)


TSAN_FLAGS = "-fsanitize=thread -fno-omit-frame-pointer -g"
TSAN_TESTS = ("tests/test_threads.py", "tests/test_lifecycle.py")


@check(
    "tsan",
    "threads",
    "the thread and lifecycle tests on free-threaded CPython and the module, both built with "
    "ThreadSanitizer (clang 16), GIL off: no report",
    "6 min (20 more to build the interpreter once)",
    needs=("network",),
    uses=("tsan-python",),
)
def tsan(tree):
    env = ready("tsan")
    env.install_from_source(
        tree,
        settings=("cmake.build-type=RelWithDebInfo",),
        defines={"CMAKE_CXX_COMPILER": "clang++-16", "CMAKE_CXX_FLAGS": TSAN_FLAGS},
    )
    so = next(env.site.glob("tq_pyo3*.so"))
    if "__tsan_func_entry" not in output(["nm", "-D", so]):
        raise Failed("%s is not instrumented" % so)
    reports = work(tree) / "reports"
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    # Every report is written to reports/report.<pid> (the tests start interpreters of their own too); a process
    # that made one ends with status 66. The interpreter's own known races are silenced by dev/tsan.supp only.
    options = (
        "suppressions=%s halt_on_error=0 exitcode=66 log_path=%s/report second_deadlock_stack=1 "
        "report_thread_leaks=0" % (ROOT / "dev" / "tsan.supp", reports)
    )
    line = env.suite(*TSAN_TESTS, tree=tree, check=False, env={"PYTHON_GIL": "0", "TSAN_OPTIONS": options})
    text = "".join(p.read_text(errors="replace") for p in sorted(reports.glob("report.*")))
    count, ours = text.count("WARNING: ThreadSanitizer"), text.count("tq_pyo3")
    if count:
        say("\n".join(text.splitlines()[:80]))
    say("   tsan: %d reports (%d stack lines in tq_pyo3); tests: %s" % (count, ours, line))
    if count or " failed" in line or "passed" not in line:
        raise Failed("tsan: %d reports, tests %s (reports in %s)" % (count, line, reports))


@check(
    "bench-threads",
    "speed",
    "the arithmetic mix in 1 and 2 threads on free-threaded CPython, beside floats: bench/results/threads.md",
    "3 min",
    needs=("network",),
    uses=("ft-python",),
)
def bench_threads(tree):
    env = ready("ft")
    env.install_from_source(tree)
    env.python(
        tree / "bench" / "threads.py",
        *os.environ.get("BENCH_THREADS_ARGS", "").split(),
        env={"PYTHON_GIL": None},
        cwd=tree,
    )
