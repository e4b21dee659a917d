"""Coverage: the module built with GCC's --coverage and run under the whole suite by every interpreter whose code
paths differ; gcovr merges one report of core/src and src and holds it to its floors."""

from __future__ import annotations

import re
import shutil
import subprocess

from check_table import check
from interpreters import Env, ready, venv_env
from steps import BUILD, ROOT, Failed, extra, lock, run, say, tools, venv, work

# One abi3 module serves this machine's python3, an interpreter before 3.10 (a type's text signature, the method
# calls before the fast convention) and Debian sid's 3.14 (the type's vectorcall slot); the free-threaded build is a
# module of its own. Unoptimised, so that each line and branch is one of the source; the counts are kept with atomic
# instructions, since threads run truly in parallel on a free-threaded build.
SETTINGS = ("cmake.build-type=Debug",)
DEFINES = {"CMAKE_CXX_FLAGS": "--coverage -fprofile-update=atomic", "CMAKE_MODULE_LINKER_FLAGS": "--coverage"}
FLOOR_LINES, FLOOR_BRANCHES = 100, 95
# gcovr's reading of GCC's records: a branch to an exception's landing pad, and one the compiler left unreachable,
# are no branches of the source; a line holding only a closing brace carries only the compiler's cleanup code for
# an exception passing through; template instances share their lines. Lines no test can reach carry GCOVR_EXCL_LINE
# (or sit between GCOVR_EXCL_START and GCOVR_EXCL_STOP) with their reason; the report lists them.
GCOVR = (
    "--filter",
    "core/src/",
    "--filter",
    "src/",
    "--exclude-throw-branches",
    "--exclude-unreachable-branches",
    "--exclude-lines-by-pattern",
    r"\s*\}[;\s]*$",
)
EXCLUDED = re.compile(r"GCOVR_EXCL_(?:LINE|START)\W*(.*)")


def older_python() -> str:
    """This machine's CPython 3.8 or 3.9 (pyenv's, or python3.X on PATH)."""
    for minor in (8, 9):
        for exe in [shutil.which("python3.%d" % minor)] + sorted(
            str(p) for p in (ROOT.home() / ".pyenv" / "versions").glob("3.%d.*/bin/python3" % minor)
        ):
            if exe and subprocess.run([exe, "-c", "import sys"], capture_output=True).returncode == 0:
                return exe
    raise Failed("coverage needs CPython 3.8 or 3.9 on this machine (pyenv's or python3.8 on PATH)")


def exclusions(tree) -> list[str]:
    found = []
    for path in sorted([*(tree / "core" / "src").iterdir(), *(tree / "src").iterdir()]):
        for number, line in enumerate(path.read_text().splitlines(), 1):
            reason = EXCLUDED.search(line)
            if reason:
                found.append("%s:%d: %s" % (path.relative_to(tree), number, reason.group(1).strip() or "(no reason)"))
    return found


def fresh_counts(build_dir):
    for old in build_dir.rglob("*.gcda"):
        old.unlink()


@check(
    "coverage",
    "suite",
    "every line of core/src and src run and at least %d%% of the branches taken both ways by the suite under this "
    "machine's python3, CPython 3.8 or 3.9, Debian sid's 3.14 and free-threaded 3.13t (gcovr; report in "
    "build/checks/coverage/, exclusions listed with their reasons)" % FLOOR_BRANCHES,
    "8 min",
    ci=True,
    needs=("root", "debian", "network"),
    uses=("host-python", "ft-python", "sid-root"),
)
def coverage(tree):
    out = work(tree)
    with lock("tools-coverage"):
        gcovr = tools("coverage") / "gcovr"
    reports = []

    # the abi3 module, built into a folder of this check's own (the counts are written beside its objects)
    host = venv_env("cov-host")
    abi3 = out / "abi3"
    wheel = host.build(
        tree, abi3 / "wheel", build_dir=abi3 / "cmake", settings=SETTINGS, defines=DEFINES, log=abi3 / "build.log"
    )
    fresh_counts(abi3 / "cmake")
    host.install(wheel)
    host.suite(tree=tree, log=out / "suite-host.log")
    with lock("coverage-older"):
        older_dir = BUILD / "envs" / "coverage-older"
        older = Env("cov-older", [venv(older_dir, older_python(), extra("test"))], older_dir)
        older.python("-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", wheel)
        older.suite(tree=tree, log=out / "suite-older.log")
    # Debian sid's 3.14 in its root, which sees this checkout at /src: the counts are written through there
    sid = ready("sid-3.14", "cov-sid")
    sid.install(wheel)
    counts_through = {"GCOV_PREFIX": "/src", "GCOV_PREFIX_STRIP": str(len(ROOT.parts) - 1)}
    sid.suite(tree=tree, log=out / "suite-sid-3.14.log", env=counts_through)
    reports.append(out / "abi3.json")
    run([gcovr, "--root", tree, *GCOVR, "--json", reports[-1], abi3 / "cmake"], cwd=tree, log=out / "gcovr-abi3.log")

    # the free-threaded module
    ft = ready("ft", "cov-ft")
    ft_dir = out / "ft"
    ft.install(
        ft.build(
            tree,
            ft_dir / "wheel",
            build_dir=ft_dir / "cmake",
            settings=SETTINGS,
            defines=DEFINES,
            log=ft_dir / "build.log",
        )
    )
    fresh_counts(ft_dir / "cmake")
    ft.suite(tree=tree, log=out / "suite-ft.log")
    reports.append(out / "ft.json")
    run([gcovr, "--root", tree, *GCOVR, "--json", reports[-1], ft_dir / "cmake"], cwd=tree, log=out / "gcovr-ft.log")

    # Lines count from both builds (the free-threaded one compiles some of its own). Branches count from the abi3
    # build alone: the two builds number the branches of a line each their own way, which gcovr cannot pair.
    both = [arg for r in reports for arg in ("--add-tracefile", r)]
    lines = run(
        [
            gcovr,
            "--root",
            tree,
            *both,
            "--merge-lines",
            "--txt-metric",
            "line",
            "--txt",
            out / "lines.txt",
            "--html-details",
            out / "index.html",
            "--fail-under-line",
            FLOOR_LINES,
        ],
        cwd=tree,
        check=False,
        capture=True,
    )
    branches = run(
        [
            gcovr,
            "--root",
            tree,
            "--add-tracefile",
            reports[0],
            "--merge-lines",
            "--txt-metric",
            "branch",
            "--txt",
            out / "branches.txt",
            "--fail-under-branch",
            FLOOR_BRANCHES,
        ],
        cwd=tree,
        check=False,
        capture=True,
    )
    say((out / "lines.txt").read_text() + (out / "branches.txt").read_text())
    say("excluded from the count, with their reasons:\n  " + "\n  ".join(exclusions(tree)))
    if lines.returncode or branches.returncode:
        raise Failed(
            "coverage below %d%% of lines or %d%% of branches (report: %s)"
            % (FLOOR_LINES, FLOOR_BRANCHES, out / "index.html")
        )
