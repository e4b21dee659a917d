"""Coverage: the module built with GCC's --coverage and run under the whole suite by every interpreter whose code
paths differ; gcovr merges one report of core/src and src and holds it to its floors."""

from __future__ import annotations

import re
import shutil
import subprocess

from interpreters import ROOT_PACKAGES, Env, debian_root, venv_env
from registry import check
from steps import BUILD, ROOT, Failed, extra, key_of, pins, run, say, stamp, stamped, venv

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
    "build/coverage/, exclusions listed with their reasons)" % FLOOR_BRANCHES,
    "8 min",
    ci=True,
)
def coverage(tree):
    out = tree / "build" / "coverage"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    gcovr = venv(BUILD / "tools" / "coverage", "python3", pins("coverage")).parent / "gcovr"
    reports = []

    # the abi3 module, on the host's interpreters
    host = venv_env("coverage")
    wheel = host.install_from_source(tree, settings=SETTINGS, defines=DEFINES)
    build_dir = tree / "build" / "module" / "coverage" / ("cmake-" + key_of(DEFINES, SETTINGS))  # as Env names it
    fresh_counts(build_dir)
    host.suite(tree=tree, log=out / "suite-host.log")
    older_dir = BUILD / "envs" / "coverage-older"
    older = Env("coverage-older", [venv(older_dir, older_python(), extra("test"))], older_dir)
    older.python("-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", wheel)
    older.suite(tree=tree, log=out / "suite-older.log")
    # Debian sid's 3.14 in its root, which sees this tree at /src: the counts are written through the same files
    root = debian_root("sid", ROOT_PACKAGES["sid"])
    sid = Env("coverage-sid", [], BUILD / "envs" / "coverage-sid", root=root)
    tools = [r.split(";")[0].strip() for r in extra("test")]
    if not stamped(sid.site, key_of("python3.14", tools)):
        shutil.rmtree(sid.site, ignore_errors=True)
        sid.argv = ["python3.14"]
        sid.python("-m", "venv", sid.site)
        sid.argv = [sid.path(sid.site) + "/bin/python"]
        sid.python("-m", "pip", "install", "-q", "--only-binary=:all:", *tools)
        stamp(sid.site, key_of("python3.14", tools))
    sid.argv = [sid.path(sid.site) + "/bin/python"]
    sid.python("-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", sid.path(wheel))
    counts_through = {"GCOV_PREFIX": "/src", "GCOV_PREFIX_STRIP": str(len(ROOT.parts) - 1)}
    sid.suite(tree=tree, log=out / "suite-sid-3.14.log", env=counts_through)
    reports.append(out / "abi3.json")
    run([gcovr, "--root", tree, *GCOVR, "--json", reports[-1], build_dir], cwd=tree, log=out / "gcovr-abi3.log")

    # the free-threaded module
    ft = venv_env("coverage-ft", base="ft")
    ft.install_from_source(tree, settings=SETTINGS, defines=DEFINES)
    ft_dir = tree / "build" / "module" / "coverage-ft" / ("cmake-" + key_of(DEFINES, SETTINGS))
    fresh_counts(ft_dir)
    ft.suite(tree=tree, log=out / "suite-ft.log")
    reports.append(out / "ft.json")
    run([gcovr, "--root", tree, *GCOVR, "--json", reports[-1], ft_dir], cwd=tree, log=out / "gcovr-ft.log")

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
