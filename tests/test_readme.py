"""README.md is checked against the module: its unit table, every example in it, and the make targets it names."""

import doctest
import re
from pathlib import Path

import pytest

import tq_pyo3
from tq_pyo3 import Telquant

TREE = Path(__file__).resolve().parents[1]
README = (TREE / "README.md").read_text(encoding="utf-8")
BASE = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")

ROW = re.compile(r"^\| (\d+) \| `([^`]+)` \| ([^|]+?) \| ([^ |]+) \| ([^|]+?) \|$", re.M)
ROWS = ROW.findall(README.split("## Unit symbols", 1)[1])

# Examples in ```pycon blocks, each block with its own namespace; the heading above a block names it.
BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.M | re.S)


def blocks():
    found = []
    for match in BLOCK.finditer(README):
        heading = re.findall(r"^#+ (.+)$", README[: match.start()], re.M)[-1]
        line = README.count("\n", 0, match.start()) + 1
        found.append(pytest.param(match.group(1), line, id="%s@%d" % (heading, line)))
    return found


def dimension(text):
    """'m^2·kg·s^-2' as eight exponents in base order."""
    exponents = dict.fromkeys(BASE, 0.0)
    for factor in text.split("·"):
        symbol, _, power = factor.partition("^")
        assert symbol in exponents, factor
        exponents[symbol] = float(power or 1)
    return tuple(exponents.values())


def test_the_unit_table_lists_ninety_distinct_symbols_in_order():
    assert [int(number) for number, *_ in ROWS] == list(range(1, 91))
    assert len({symbol for _, symbol, *_ in ROWS}) == 90


@pytest.mark.parametrize("number, symbol, name, factor, dims", ROWS, ids=[row[1] for row in ROWS])
def test_each_table_row_matches_the_module(number, symbol, name, factor, dims):
    one = Telquant(1, symbol)
    assert one.value() == float(factor)
    assert one.base_units() == dimension(dims)


@pytest.mark.parametrize("source, line", blocks())
def test_the_readme_example_runs_as_shown(source, line):
    globs = {"Telquant": Telquant, "TQError": tq_pyo3.TQError, "tq_pyo3": tq_pyo3}
    test = doctest.DocTestParser().get_doctest(source, globs, "README.md", str(TREE / "README.md"), line)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert test.examples and runner.failures == 0, "".join(report)


def test_every_make_command_in_the_readme_is_a_target():
    makefiles = [TREE / "Makefile", *sorted((TREE / "mk").glob("*.mk"))]
    targets = set()
    for makefile in makefiles:
        targets.update(re.findall(r"^([\w-]+):", makefile.read_text(), re.M))
    named = set(re.findall(r"^make ([\w-]+)", README, re.M))
    assert {"tour", "test"} <= named
    assert named <= targets
