"""Linters and formatters, as configured in the tree: ruff (pyproject.toml) on every Python file, clang-format
(.clang-format) on every C++ file, clang-tidy (.clang-tidy) on core/src and src; the tools are the pins of the
dependency group lint. `make format` applies both formatters to the tree."""

from __future__ import annotations

import subprocess

from check_table import check
from steps import Failed, lock, run, say, tools, work

CXX_FILES = ("*.cpp", "*.hpp", "*.h")


def lint_tools():
    with lock("tools-lint"):
        return tools("lint")


def cxx_files(tree) -> list[str]:
    listed = subprocess.run(["git", "ls-files", *CXX_FILES], cwd=tree, capture_output=True, text=True, check=True)
    return listed.stdout.split()


def format_tree(tree) -> None:
    """ruff format and clang-format -i over the tree (make format)."""
    bin_ = lint_tools()
    run([bin_ / "ruff", "format", "--no-cache", "."], cwd=tree)
    run([bin_ / "clang-format", "-i", *cxx_files(tree)], cwd=tree)


@check(
    "lint",
    "build",
    "ruff's lint rules and formatter agree with every Python file, clang-format with every C++ file, and "
    "clang-tidy finds nothing in core/src and src (make format applies the formatters)",
    "1 min",
    ci=True,
    needs=("network",),
    uses=("host-python",),
)
def lint(tree):
    bin_ = lint_tools()
    failed = []
    for name, cmd in (
        ("ruff check", [bin_ / "ruff", "check", "--no-cache", "--output-format", "concise", "."]),
        ("ruff format", [bin_ / "ruff", "format", "--no-cache", "--check", "."]),
        ("clang-format", [bin_ / "clang-format", "--dry-run", "--Werror", *cxx_files(tree)]),
    ):
        if run(cmd, cwd=tree, check=False, log=work(tree) / (name.replace(" ", "-") + ".log")).returncode:
            failed.append(name)
    # clang-tidy reads the compile commands of a configure with this machine's python3 (its headers)
    from interpreters import venv_env

    env = venv_env("lint")
    build = work(tree) / "cmake"
    cmake = env.python("-c", "import cmake; print(cmake.CMAKE_BIN_DIR)", capture=True).stdout.strip()
    run(
        [
            cmake + "/cmake",
            "-S",
            tree,
            "-B",
            build,
            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
            "-DPython_EXECUTABLE=%s" % env.argv[0],
        ],
        log=work(tree) / "configure.log",
    )
    sources = [str(p) for d in ("core/src", "src") for p in sorted((tree / d).glob("*.cpp"))]
    if run(
        [bin_ / "clang-tidy", "-p", build, "--quiet", *sources],
        cwd=tree,
        check=False,
        log=work(tree) / "clang-tidy.log",
    ).returncode:
        failed.append("clang-tidy")
    say("   ruff, clang-format, clang-tidy: %s" % ("clean" if not failed else "findings in " + ", ".join(failed)))
    if failed:
        raise Failed("lint: %s (logs in %s)" % (", ".join(failed), work(tree)))
