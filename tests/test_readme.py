"""README.md and CONTRIBUTING.md are checked against the module and the tree: the README's unit table against the
registry and the module, every README example, and every file and make target CONTRIBUTING.md names."""

import doctest
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

README = (TREE / "README.md").read_text(encoding="utf-8")
CONTRIBUTING = (TREE / "CONTRIBUTING.md").read_text(encoding="utf-8")
TABLE = README.split("### Unit symbols", 1)[1].split("\n#", 1)[0]
# | `km` | kilometer | 1000 | m |, a mark such as " ¹" after a name that parts from common usage
ROWS = re.findall(
    r"^\| `([^`]+)` \| ([^|]+?)(?: [\u00b9\u00b2\u00b3\u2074-\u2079])? \| ([^ |]+) \| ([^|]+?) \|$", TABLE, re.M
)

# the ```pycon blocks with the line they start on, each named by the heading above it
BLOCKS = [
    (m.group(1), README.count("\n", 0, m.start()) + 1, re.findall(r"^#+ (.+)$", README[: m.start()], re.M)[-1])
    for m in re.finditer(r"^```pycon\n(.*?)^```$", README, re.M | re.S)
]


def readme_row(symbol, name, factor):
    """The README's row of a registry row, its dimension from the module."""
    exps = Telquant(1, symbol).base_units()
    dims = "\u00b7".join(b + ("" if e == 1 else "^%g" % e) for b, e in zip(ORDER, exps) if e)
    return "| `%s` | %s | %s | %s |" % (symbol, name, factor, dims)


def test_the_unit_table_has_the_registrys_rows_in_its_order():
    registry = [(symbol, name, float(factor)) for symbol, name, factor, _ in facts.unit_rows()]
    readme = [(symbol, name, float(factor)) for symbol, name, factor, _ in ROWS]
    missing = [readme_row(*row) for row in facts.unit_rows() if row[0] not in {r[0] for r in ROWS}]
    assert readme == registry, "README rows for the registry's new symbols:\n" + "\n".join(missing)


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


def test_every_file_and_make_target_contributing_names_exists():
    paths = {p for p in re.findall(r"`([\w.-]+(?:/[\w.*-]+)+/?)`", CONTRIBUTING)}
    assert len(paths) > 20 and [p for p in sorted(paths) if not list(TREE.glob(p.rstrip("/")))] == []
    sys.path.insert(0, str(TREE / "dev"))
    import checks  # noqa: F401  (registers every check)
    from check_table import CHECKS

    targets = {"tour", "test", "install", "clean", "help"} | {n for c in CHECKS.values() for n in (c.name, *c.aliases)}
    named = set(re.findall(r"`make ([\w-]+)", CONTRIBUTING)) | set(re.findall(r"^make ([\w-]+)", CONTRIBUTING, re.M))
    assert named and named - targets == set()
