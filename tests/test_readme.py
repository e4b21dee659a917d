"""README.md is checked against the module: its unit table, every example in it, and the make targets it names."""

import doctest
import importlib.util
import re
from pathlib import Path

import pytest

import tq_pyo3
from tq_pyo3 import Telquant
from tqtest import vec

TREE = Path(__file__).resolve().parents[1]
README = (TREE / "README.md").read_text(encoding="utf-8")
TABLE = README.split("## Unit symbols", 1)[1]
ROWS = re.findall(r"^\| (\d+) \| `([^`]+)` \| ([^|]+?) \| ([^ |]+) \| ([^|]+?) \|$", TABLE, re.M)


# the ```pycon blocks with the line they start on, each named by the heading above it
BLOCKS = [(m.group(1), README.count("\n", 0, m.start()) + 1, re.findall(r"^#+ (.+)$", README[: m.start()], re.M)[-1])
          for m in re.finditer(r"^```pycon\n(.*?)^```$", README, re.M | re.S)]


def test_the_unit_table_lists_ninety_distinct_symbols_in_order():
    assert [int(number) for number, *_ in ROWS] == list(range(1, 91))
    assert len({symbol for _, symbol, *_ in ROWS}) == 90


@pytest.mark.parametrize("number, symbol, name, factor, dims", ROWS, ids=[row[1] for row in ROWS])
def test_each_table_row_matches_the_module(number, symbol, name, factor, dims):
    exponents = dict(factor.partition("^")[::2] for factor in dims.split("\u00b7"))  # 'm^2·kg·s^-2'
    assert set(exponents) <= {"m", "kg", "s", "K", "A", "mol", "cd", "rad"}, dims
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
