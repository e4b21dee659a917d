"""Coverage-guided fuzzing: libFuzzer on the core, and atheris on the whole Python surface (sanitized build)."""

from __future__ import annotations

import os
import shutil

from check_table import check
from facts import unit_symbols
from interpreters import venv_env
from steps import Failed, output, pins, run, say

from checks.build import ADMIN, SAN_APT, SAN_CXX

# clang 16 with its sanitizer runtimes, as for the sanitized suite (dev/checks/build.py)
FUZZ_CXX, FUZZ_APT = SAN_CXX, SAN_APT
FUZZ_SAN = "-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all"
FUZZ_WARN = ["-std=c++20", "-g", "-O2", "-Wall", "-Wextra", "-Werror"]


def dictionary(tree):
    """The grammar's tokens and every unit symbol of the registry, for libFuzzer's -dict."""
    path = tree / "build" / "fuzz" / "units.dict"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text((tree / "fuzz" / "grammar.dict").read_text() + "".join('"%s"\n' % s for s in unit_symbols(tree)))
    return path


def fuzz_core(tree, seconds):
    out = tree / "build" / "fuzz"
    (out / "obj").mkdir(parents=True, exist_ok=True)
    (out / "corpus").mkdir(exist_ok=True)
    # Coverage is taken from the core only; the target and its model of the grammar are checked by the sanitizers
    # but do not steer the fuzzer.
    for source in sorted((tree / "core" / "src").glob("*.cpp")):
        run(
            [
                FUZZ_CXX,
                *FUZZ_WARN,
                *FUZZ_SAN.split(),
                "-fsanitize=fuzzer-no-link",
                "-I",
                tree / "core" / "src",
                "-c",
                source,
                "-o",
                out / "obj" / ("core-%s.o" % source.stem),
            ]
        )
    run(
        [
            FUZZ_CXX,
            *FUZZ_WARN,
            *FUZZ_SAN.split(),
            "-I",
            tree / "core" / "src",
            "-c",
            tree / "fuzz" / "fuzz_core.cpp",
            "-o",
            out / "obj" / "fuzz_core.o",
        ]
    )
    run([FUZZ_CXX, *FUZZ_SAN.split(), "-fsanitize=fuzzer", *sorted((out / "obj").glob("*.o")), "-o", out / "fuzz_core"])
    run(
        [
            out / "fuzz_core",
            "-max_total_time=%d" % seconds,
            "-timeout=10",
            "-rss_limit_mb=4096",
            "-max_len=4096",
            "-dict=%s" % dictionary(tree),
            "-print_final_stats=1",
            "-artifact_prefix=%s/" % out,
            *os.environ.get("FUZZ_ARGS", "").split(),
            out / "corpus",
            tree / "fuzz" / "corpus",
        ],
        env={"UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1", "ASAN_OPTIONS": "detect_leaks=1"},
    )


@check(
    "fuzz",
    "fuzz",
    "libFuzzer (clang, ASan + UBSan) on the core's parser, arithmetic and text for SECONDS "
    "(default 300); new inputs kept in build/fuzz/corpus",
    "SECONDS + 1 min",
    needs=ADMIN,
    apt=FUZZ_APT,
)
def fuzz(tree):
    fuzz_core(tree, int(os.environ.get("SECONDS", 300)))


@check("fuzz-smoke", "fuzz", "the same for 45 s", "2 min", ci=True, needs=ADMIN, apt=FUZZ_APT)
def fuzz_smoke(tree):
    fuzz_core(tree, 45)


# The extension is built with clang into its own environment, linked against no sanitizer runtime: atheris's
# asan_with_fuzzer.so (ASan with UBSan's handlers and libFuzzer in one library) is loaded with LD_PRELOAD, so the
# interpreter, atheris and the extension share one runtime. UBSan's function and vptr checks are left out: their
# handlers live in the C++ UBSan runtime, which that library does not hold.
FUZZ_PY_SAN = (
    "-fsanitize=address,undefined,float-cast-overflow,fuzzer-no-link -fno-sanitize=vptr,function "
    "-fno-sanitize-recover=all -fno-omit-frame-pointer"
)


def fuzz_py_env(tree):
    env = venv_env("fuzz-py", extra=pins("fuzz"))
    env.install_from_source(
        tree,
        settings=("cmake.build-type=RelWithDebInfo",),
        defines={"CMAKE_CXX_COMPILER": FUZZ_CXX, "CMAKE_CXX_FLAGS": FUZZ_PY_SAN},
    )
    so = next(env.site.glob("tq_pyo3*.so"))
    symbols = output(["nm", "-D", so])
    if "__sanitizer_cov_8bit_counters_init" not in symbols or "__asan_init" not in symbols:
        raise Failed("%s is not instrumented" % so)
    say("   %s carries ASan, UBSan and coverage instrumentation" % so)
    atheris = output([env.argv[0], "-c", "import atheris; print(atheris.path())"])
    # libFuzzer runs the target again as a command for a merge, so fuzz/fuzz_py.py finds the venv's python on PATH.
    settings = {
        "PATH": "%s:%s" % (env.argv[0].parent, os.environ["PATH"]),
        "LD_PRELOAD": "%s/asan_with_fuzzer.so" % atheris,
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": "detect_leaks=0:strict_string_checks=1",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    }
    return env, settings


def fuzz_python(tree, seconds):
    env, settings = fuzz_py_env(tree)
    out = tree / "build" / "fuzz-py"
    (out / "corpus").mkdir(parents=True, exist_ok=True)
    run(
        [
            env.argv[0],
            tree / "fuzz" / "fuzz_py.py",
            "-timeout=20",
            "-rss_limit_mb=4096",
            "-max_len=1024",
            "-print_final_stats=1",
            "-max_total_time=%d" % seconds,
            "-artifact_prefix=%s/" % out,
            *os.environ.get("FUZZ_PY_ARGS", "").split(),
            out / "corpus",
            tree / "fuzz" / "py-corpus",
        ],
        env=settings,
    )


@check(
    "fuzz-py",
    "fuzz",
    "atheris drives every entry point of the sanitized, coverage-instrumented module against a "
    "model of the documented behaviour for SECONDS (default 300); FUZZ_PY_ARGS=<file> replays one input",
    "SECONDS + 2 min",
    needs=ADMIN,
    apt=FUZZ_APT,
)
def fuzz_py(tree):
    fuzz_python(tree, int(os.environ.get("SECONDS", 300)))


@check("fuzz-py-smoke", "fuzz", "the same for 60 s", "3 min", ci=True, needs=ADMIN, apt=FUZZ_APT)
def fuzz_py_smoke(tree):
    fuzz_python(tree, 60)


@check(
    "fuzz-py-merge",
    "fuzz",
    "build/fuzz-py/corpus and fuzz/py-corpus minimised into build/fuzz-py/merged (the "
    "fewest inputs that reach every edge), the candidate for the kept corpus",
    "5 min",
    needs=ADMIN,
    apt=FUZZ_APT,
)
def fuzz_py_merge(tree):
    env, settings = fuzz_py_env(tree)
    merged = tree / "build" / "fuzz-py" / "merged"
    shutil.rmtree(merged, ignore_errors=True)
    merged.mkdir(parents=True)
    run(
        [
            env.argv[0],
            tree / "fuzz" / "fuzz_py.py",
            "-set_cover_merge=1",
            "-use_counters=0",
            "-use_cmp=0",
            merged,
            tree / "fuzz" / "py-corpus",
            tree / "build" / "fuzz-py" / "corpus",
        ],
        env=settings,
    )
    say("   %d inputs in %s" % (len(list(merged.iterdir())), merged))
