"""CONTRIBUTING.md's recipes, followed: its add-a-unit and add-a-method steps done one at a time on a copy of the
tree, with a made-up unit (the nautical mile, "nmi") and a made-up method (the exponential, "exp"). After each step the
failures the recipe promises are seen, and the passes it promises; once every step is done, the whole suite
passes. Every file a step edits is one the recipe names, so a place that a new unit or method needs and the
recipe forgets leaves the suite failing at the end, and this check with it.

RECIPE_SKIP="<recipe>:<step> ..." leaves steps out, to show that the check then fails.
"""

from __future__ import annotations

import os
import re
import shutil
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from check_table import check
from interpreters import venv_env
from steps import Failed, say, work

from checks.faults import copy_tree


def edit(tree: Path, path: str, after: str, text: str) -> None:
    """Puts `text` right after the first occurrence of `after` in the file; `after` must be there."""
    source = (tree / path).read_text()
    if after not in source:
        raise Failed("recipes: %s no longer holds %r: the recipe's step needs updating" % (path, after))
    (tree / path).write_text(source.replace(after, after + text, 1))


@dataclass
class Step:
    name: str
    files: tuple  # the files it edits, each named in the recipe
    do: Callable  # do(tree, outputs): what each test file printed when it last ran
    build: bool = False  # the module and its stubs are built and installed again after it, as `make test` does
    fails: tuple = ()  # test files that must fail once it is done (a later step's promise)
    passes: tuple = ()  # test files that must pass once it is done (its own promise)


def pasted_row(tree: Path, outputs: dict) -> None:
    """Step 2 of adding a unit: the row tests/test_readme.py printed, pasted where it says."""
    found = re.search(
        r"paste, after the row of `([^`]+)`:\s*\n[\sE]*(\| `nmi` .*?\|)\s*$",
        outputs.get("tests/test_readme.py", ""),
        re.M,
    )
    if not found:
        raise Failed("recipes: tests/test_readme.py printed no row to paste for the new unit")
    previous, row = found.groups()
    readme = (tree / "README.md").read_text()
    line = next(line for line in readme.splitlines() if line.startswith("| `%s` |" % previous))
    (tree / "README.md").write_text(readme.replace(line + "\n", line + "\n" + row + "\n", 1))


UNIT = [
    Step("registry-row", ("core/src/registry.cpp",),
         lambda t, _: edit(t, "core/src/registry.cpp", '    {"rev", "revolution", 6.283185307179586, kAngle},\n',
                           '    {"nmi", "nautical mile", 1852, kLength},\n'),
         build=True, fails=("tests/test_readme.py", "tests/test_units_reference.py")),
    Step("readme-row", ("README.md",), pasted_row, passes=("tests/test_readme.py",),
         fails=("tests/test_units_reference.py",)),
    Step("pint-unit", ("tests/test_units_reference.py",),
         lambda t, _: edit(t, "tests/test_units_reference.py", "rev=revolution", " nmi=nautical_mile"),
         passes=("tests/test_units_reference.py",)),
]  # fmt: skip

EXP_CORE = """
Result<double> exp(const Quantity& q) {
    if (!is_unitless(q)) return Result<double>::failure("exp requires a unitless quantity");
    return Result<double>::success(canonical(std::exp(q.value), q.value));
}
"""
EXP_RULE = """    if name == "exp":
        if not unitless(q.dims):
            return "exp requires a unitless quantity"
        return Record(canon(c("exp", v), v), ZERO)
"""
METHOD = [
    Step("core", ("core/src/elementary.hpp", "core/src/elementary.cpp", "cmake/libm-functions.txt"),
         lambda t, _: (edit(t, "core/src/elementary.hpp", "Result<Quantity> atan(const Quantity& q);\n",
                            "Result<double> exp(const Quantity& q);\n"),
                       edit(t, "core/src/elementary.cpp", '"atan requires a unitless quantity", nullptr); }\n',
                            EXP_CORE),
                       edit(t, "cmake/libm-functions.txt", "atan\n", "exp\n"))),
    Step("method-table", ("src/telquant_type.cpp",),
         lambda t, _: edit(t, "src/telquant_type.cpp", "math_method<tq::atan>, doc::kAtan),\n",
                           '    no_params("exp", math_method<tq::exp>, doc::kExp),\n')),
    Step("docstring", ("src/docstrings.hpp",),
         lambda t, _: edit(t, "src/docstrings.hpp", '"If the value is not unitless");\n',
                           'inline constexpr const char* kExp = TQ_MATH_DOC("exp", "Exponential (requires unitless '
                           'value).", "The exponential (unitless)", "If the value is not unitless");\n'),
         build=True, fails=("tests/test_typing.py", "tests/test_model.py", "tests/test_readme.py")),
    Step("stub", ("tq_pyo3-stubs/__init__.pyi",),
         lambda t, _: edit(t, "tq_pyo3-stubs/__init__.pyi", "    def atan(self) -> Telquant: ...\n",
                           "    def exp(self) -> Telquant: ...\n"),
         build=True, passes=("tests/test_typing.py",)),
    Step("examples", ("tests/test_math.py",),
         lambda t, _: edit(t, "tests/test_math.py", "EXAMPLES = [\n",
                           '    ("exp", 0.0, "", (1.0, "")),\n'
                           '    ("exp", 1.0, "m", "exp requires a unitless quantity"),\n')),
    Step("soak-cases", ("tests/test_soak.py",),
         lambda t, _: edit(t, "tests/test_soak.py", '("Q.atan()", F),', ' ("U.exp()", None), ("Q.exp()", F),')),
    Step("model", ("tests/model.py",),
         lambda t, _: (edit(t, "tests/model.py", "TRIGONOMETRIC + INVERSE", ' + ("exp",)'),
                       edit(t, "tests/model.py", '"asin", "acos", "atan"', ', "exp"'),
                       edit(t, "tests/model.py", "    v = q.value\n", EXP_RULE)),
         passes=("tests/test_model.py",)),
    Step("readme", ("README.md",),
         lambda t, _: (edit(t, "README.md", "| `atan()` | a unitless value | an angle in rad |\n",
                            "| `exp()` | a unitless value | unitless |\n"),
                       edit(t, "README.md", "| `atan` | `atan requires a unitless quantity` |\n",
                            "| `exp` | `exp requires a unitless quantity` |\n")),
         passes=("tests/test_readme.py",)),
]  # fmt: skip
RECIPES = {"unit": ("## Add a unit", UNIT), "method": ("## Add a math method", METHOD)}


def follow(tree: Path, name: str) -> None:
    heading, steps = RECIPES[name]
    text = (tree / "CONTRIBUTING.md").read_text()
    recipe = text.split(heading, 1)[1].split("\n## ", 1)[0]
    unnamed = sorted({f for s in steps for f in s.files if f != "README.md" and "`%s`" % f not in recipe})
    if unnamed:
        raise Failed("recipes: the %s recipe does not name %s, which its steps edit" % (name, ", ".join(unnamed)))
    base = work(tree) / name
    copy = base / "tree"
    shutil.rmtree(copy, ignore_errors=True)
    copy_tree(copy)
    env = venv_env("recipes-" + name)
    skipped = os.environ.get("RECIPE_SKIP", "").split()

    def install():
        env.install(env.build(copy, base / "wheel", build_dir=base / "cmake", log=base / "build.log"))

    def pytest(*files):
        done = env.python(
            "-m", "pytest", "-q", "-p", "no:cacheprovider", "-x", *files, cwd=copy, check=False, capture=True
        )
        return done.returncode == 0, done.stdout + done.stderr

    install()
    outputs = {}
    for step in steps:
        if "%s:%s" % (name, step.name) in skipped:
            say("   %s: %s left out" % (name, step.name))
        else:
            step.do(copy, outputs)
        if step.build:
            install()
        for files, expected in ((step.fails, False), (step.passes, True)):
            for f in files:
                ok, outputs[f] = pytest(f)
                if ok != expected:
                    raise Failed(
                        "recipes: after the %s step of %s, %s %s, as the recipe says it would not"
                        % (step.name, name, f, "passes" if ok else "fails")
                    )
        say(
            "   %s: %s done%s"
            % (name, step.name, "; " + ", ".join("%s fails" % f for f in step.fails) if step.fails else "")
        )
    ok, output = pytest("tests")
    if not ok:
        say("\n".join(output.splitlines()[-20:]))
        raise Failed("recipes: every step of adding a %s done, and the suite fails" % name)
    say("   %s: every step done, the whole suite passes" % name)


@check(
    "recipes",
    "suite",
    "CONTRIBUTING.md's add-a-unit and add-a-method recipes followed on a copy of the tree with a made-up unit and "
    "method: each step's promised failure seen, then the whole suite passing (RECIPE_SKIP=... leaves steps out)",
    "1 min",
    ci=True,
    needs=("network",),
    uses=("host-python",),
)
def recipes(tree):
    for name in RECIPES:
        follow(tree, name)
