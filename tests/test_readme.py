"""README.md is checked against the module and the tree: every example runs as shown, the unit table holds the
registry's rows and the module's values, and the platform table holds a row for each wheel of dev/platforms.py.
(tests/test_docs.py checks the links, paths, make targets and generated parts of every document.)"""

import doctest
import fnmatch
import importlib.util
import re
import sys
from pathlib import Path

import pytest
import tq_pyo3
from tq_pyo3 import Telquant
from tqtest import ORDER, vec

TREE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TREE / "dev"))
import facts  # noqa: E402  (the registry's rows, read from its source)
from platforms import PLATFORMS  # noqa: E402

README = (TREE / "README.md").read_text(encoding="utf-8")
TABLE = README.split("### Unit symbols", 1)[1].split("\n#", 1)[0]
# | `km` | kilometer | 1000 | m |, a mark such as " ¹" after a name that parts from common usage
ROWS = re.findall(
    r"^\| `([^`]+)` \| ([^|]+?)(?: [\u00b9\u00b2\u00b3\u2074-\u2079])? \| ([^ |]+) \| ([^|]+?) \|$", TABLE, re.M
)

REGISTRY = facts.unit_rows()  # (symbol, name, factor, dimension) as core/src/registry.cpp writes them

# the ```pycon blocks with the line they start on, each named by the heading above it
BLOCKS = [
    (m.group(1), README.count("\n", 0, m.start()) + 1, re.findall(r"^#+ (.+)$", README[: m.start()], re.M)[-1])
    for m in re.finditer(r"^```pycon\n(.*?)^```$", README, re.M | re.S)
]


def readme_row(symbol, name, factor, _dimension=None):
    """The README's row of a registry row (symbol, name, factor, dimension as written there), its dimension as the
    module reports it."""
    exps = Telquant(1, symbol).base_units()
    dims = "\u00b7".join(b + ("" if e == 1 else "^%g" % e) for b, e in zip(ORDER, exps) if e)
    return "| `%s` | %s | %s | %s |" % (symbol, name, factor, dims)


def unit_table_report(readme_rows, registry_rows):
    """What to change so that the README's unit table holds the registry's rows in its order: the row to paste for
    each unit it lacks or has otherwise, and where; the rows to remove; the order. Empty when the two agree."""
    have = {row[0]: row for row in readme_rows}
    report, previous = [], None
    for symbol, name, factor, dimension in registry_rows:
        row = have.get(symbol)
        if row is None or (row[1], float(row[2])) != (name, float(factor)):
            where = "after the row of `%s`" % previous if previous else "first"
            report += ["%s, %s:" % ("paste" if row is None else "replace it with", where)]
            report += [readme_row(symbol, name, factor, dimension)]
        previous = symbol
    known = [row[0] for row in registry_rows]
    report += ["remove the row of `%s`: the registry has no such unit" % s for s in have if s not in known]
    if not report and [row[0] for row in readme_rows] != known:
        report += ["order the rows as the registry does: " + " ".join(known)]
    return "\n".join(report)


def test_the_unit_table_has_the_registrys_rows_in_its_order():
    report = unit_table_report(ROWS, REGISTRY)
    assert report == "", "the README's unit table differs from the registry's (core/src/registry.cpp):\n" + report


def _without(symbol):
    return [row for row in REGISTRY if row[0] != symbol]


def _refactored(symbol, factor):
    return [(s, n, factor if s == symbol else f, d) for s, n, f, d in REGISTRY]


@pytest.mark.parametrize(
    "readme, report",
    [
        (_without("km"), ["paste, after the row of `nm`:", "| `km` | kilometer | 1000 | m |"]),
        (_without("m"), ["paste, first:", "| `m` | meter | 1 | m |"]),
        (_refactored("kWh", "3.6e6"), []),
        (
            _refactored("W", "2"),
            ["replace it with, after the row of `erg`:", "| `W` | watt | 1 | m^2\u00b7kg\u00b7s^-3 |"],
        ),
        (
            REGISTRY + [("furlong", "furlong", "201.168", "m")],
            ["remove the row of `furlong`: the registry has no such unit"],
        ),
        (
            REGISTRY[1:2] + REGISTRY[:1] + REGISTRY[2:],
            ["order the rows as the registry does: " + " ".join(r[0] for r in REGISTRY)],
        ),
    ],
    ids=["a unit added", "the first unit", "a factor written otherwise", "a factor changed", "a unit dropped", "order"],
)
def test_the_unit_table_report_says_what_to_paste_where(readme, report):
    assert unit_table_report(readme, REGISTRY).splitlines() == report


@pytest.mark.parametrize("symbol, name, factor, dims", ROWS, ids=[row[0] for row in ROWS])
def test_each_table_row_matches_the_module(symbol, name, factor, dims):
    exponents = dict(factor.partition("^")[::2] for factor in dims.split("\u00b7"))  # 'm^2·kg·s^-2'
    assert set(exponents) <= set(ORDER), dims
    q = Telquant(1, symbol)
    assert (q.value(), q.base_units()) == (float(factor), vec(**{s: float(p or 1) for s, p in exponents.items()}))


@pytest.mark.parametrize("source, line, heading", BLOCKS, ids=["%s@%d" % (b[2], b[1]) for b in BLOCKS])
def test_the_readme_example_runs_as_shown(source, line, heading):
    missing = [m for m in re.findall(r"^>>> import (\w+)$", source, re.M) if importlib.util.find_spec(m) is None]
    if missing:  # NumPy has no wheel for every interpreter the suite runs on
        pytest.skip("needs %s" % ", ".join(missing))
    globs = {"Telquant": Telquant, "TQError": tq_pyo3.TQError, "tq_pyo3": tq_pyo3}
    test = doctest.DocTestParser().get_doctest(source, globs, "README.md", str(TREE / "README.md"), line)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert test.examples and runner.failures == 0, "".join(report)


def test_the_readme_opens_with_install_and_an_example():
    first_screen = "\n".join(README.splitlines()[:40])
    assert "pip install" in first_screen and "```pycon\n>>> from tq_pyo3 import Telquant" in first_screen


# | x86-64 Linux, glibc 2.17 or newer: ... | `cp38-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64` | `make abi3`: ... |
PLATFORM_ROWS = re.findall(
    r"^\| ([^|]+) \| `([^`]+)` \| `make ([\w-]+)`[^|]* \|$", README.split("## Platforms")[1], re.M
)


def test_the_platform_table_has_a_row_for_each_wheel_and_its_suite():
    version = re.search(r'^version = "([^"]+)"', (TREE / "pyproject.toml").read_text(), re.M).group(1)
    rows = {}
    for p in PLATFORMS.values():
        tags = [
            t for _, t, _ in PLATFORM_ROWS if fnmatch.fnmatch("tq_pyo3-%s-%s.whl" % (version, t), p.wheel_pattern())
        ]
        assert len(tags) == 1, "%s: %d rows of the README's platform table match %s" % (p.name, len(tags), p.tag)
        rows[tags[0]] = p
    assert sorted(rows) == sorted(t for _, t, _ in PLATFORM_ROWS), "rows for wheels dev/platforms.py does not build"
    for where, tag, check in PLATFORM_ROWS:
        p = rows[tag]
        assert check == ("abi3" if p.interpreter == "host" else "test-" + p.name), (tag, check)
        # manylinux_2_17_x86_64: "glibc 2.17 or newer"; musllinux_1_2_x86_64: "musl 1.2"
        libc, major, minor = re.match(r"(many|musl)linux_(\d+)_(\d+)_", p.tag).groups()
        assert re.search(r"\b%s %s\.%s\b" % ("glibc" if libc == "many" else "musl", major, minor), where), where


def test_every_math_method_is_in_the_tables_of_elementary_functions_and_of_errors():
    methods = {n for n, m in vars(Telquant).items() if type(m) is type(Telquant.value)}
    methods -= {"value", "value_in", "is_unitless", "base_units"}  # the reference's first section
    table = README.split("### Elementary functions", 1)[1].split("\n### ", 1)[0]
    errors = README.split("### Errors", 1)[1].split("\n### ", 1)[0]
    raising = set(re.findall(r"`(\w+)`", " ".join(re.findall(r"^\| ([^|]*) \|", errors, re.M))))
    assert set(re.findall(r"`(\w+)\(\)`", table)) == methods and methods <= raising
