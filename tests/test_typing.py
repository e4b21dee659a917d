"""The installed type stubs (tq_pyo3-stubs) match the module and type user code the way the module behaves."""

import os
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy", reason="mypy is not installed for this Python")

# Checked with --strict --disallow-any-expr (no stub may hide behind Any) and also run, so nothing in it is
# accepted by the stubs but refused by the module.
GOOD = '''\
from decimal import Decimal
from fractions import Fraction
from typing import Tuple

import tq_pyo3
from tq_pyo3 import Telquant, TQError

q = Telquant(2, "m")
t = Telquant(value=0.5, unit="s")
speed: Telquant = q / t
kmh: float = speed.value_in(unit="km/hr")
si: float = speed.value()
flag: bool = (q / q).is_unitless()
dims: Tuple[float, float, float, float, float, float, float, float] = q.base_units()
products = [q * t, q * 3, 3 * q, q * True, Fraction(1, 2) * q, q * Decimal("1.5"), q * 2.5]
quotients = [q / t, q / 4, 1 / q, 2.0 / q]
powers = [q ** 2, q ** 0.5, q ** True, pow(q, 2, 5)]
others = [q + q, q - q, -q, abs(q), q.sqrt(), (q / q).ln(), Telquant(30, "deg").sin()]
angles = [tq_pyo3.asin(0.5), tq_pyo3.acos(x=1), tq_pyo3.atan(1).cos(), Telquant(1, "").atan()]
tests: Tuple[bool, ...] = (q == t, q != 3, q < q, q <= q, q > q, q >= q)
try:
    q.value_in("s")
except TQError as err:
    message: str = str(err)
text: str = str(q) + repr(q)
'''

# Mistakes the type checker must report; the module raises TypeError or TQError for each.
BAD = [
    "1 + q",
    "q + 1.0",
    "q - 2",
    "2 ** q",
    "q ** q",
    'q * "2"',
    '"2" * q',
    '"2" / q',
    "q < 3",
    'Telquant("2", "m")',
    'Telquant(2, b"m")',
    "Telquant(2)",
    "q.value_in(5)",
    "q.sqrt(2)",
    'tq_pyo3.atan("1")',
    "float(q)",
    "n: int = q.value()",
    "class Sub(Telquant): pass",
]

TQ = "tq_pyo3.Telquant"
REVEAL = {
    "q.base_units()": "tuple[%s]" % ", ".join(["float"] * 8),
    "3 * q": TQ,
    "q ** 2": TQ,
    "q < q": "bool",
    "q.value_in('cm')": "float",
    "tq_pyo3.asin(1)": TQ,
    "tq_pyo3.TQError('x').args": "tuple[Any, ...]",
}


@pytest.fixture(scope="module")
def mypy_dir(tmp_path_factory):
    """A scratch directory with an empty config file, so no project configuration leaks into the checks."""
    path = tmp_path_factory.mktemp("mypy")
    (path / "mypy.ini").write_text("[mypy]\n")
    return path


def run(directory, module, *args):
    """A mypy tool run from `directory`, away from the tree, so that it reads the installed stubs (what users get)."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    done = subprocess.run(
        [sys.executable, "-m", module, *args],
        cwd=str(directory),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=dict(env, MYPY_FORCE_COLOR="0"),
    )
    return done.stdout, done.returncode


def run_mypy(directory, name, source, *flags):
    (directory / name).write_text(source)
    return run(
        directory,
        "mypy",
        "--config-file",
        "mypy.ini",
        "--cache-dir",
        "cache",
        "--no-error-summary",
        "--show-error-codes",
        *flags,
        name,
    )


def test_stubtest_finds_the_stubs_and_the_module_in_agreement(mypy_dir):
    report, status = run(mypy_dir, "mypy.stubtest", "tq_pyo3", "--mypy-config-file", "mypy.ini")
    assert status == 0 and "Success: no issues found in 1 module" in report, report


def test_a_typed_program_passes_strict_checking_and_runs(mypy_dir):
    assert run_mypy(mypy_dir, "good.py", GOOD, "--strict", "--disallow-any-expr")[::-1] == (0, "")
    namespace = {"__name__": "typed_example"}
    exec(compile(GOOD, "good.py", "exec"), namespace)
    assert (namespace["kmh"], namespace["message"]) == (pytest.approx(14.4), "Incompatible unit conversion to: s")


def test_the_type_checker_reports_every_misuse_and_types_results_precisely(mypy_dir):
    head = ["import tq_pyo3", "from tq_pyo3 import Telquant", 'q = Telquant(2, "m")']
    report, status = run_mypy(mypy_dir, "bad.py", "\n".join(head + BAD) + "\n")
    flagged = {int(m.group(1)) for m in re.finditer(r"bad\.py:(\d+): error", report)}
    assert status == 1 and [line for n, line in enumerate(BAD, len(head) + 1) if n not in flagged] == [], report
    report, _ = run_mypy(mypy_dir, "reveal.py", "\n".join(head + ["reveal_type(%s)" % e for e in REVEAL]) + "\n")
    revealed = [line.split("Revealed type is ")[1].strip('"') for line in report.splitlines() if "Revealed" in line]
    # mypy spells the tuple type "Tuple" when it checks for Python 3.8
    assert [r.replace("builtins.", "").replace("Tuple[", "tuple[") for r in revealed] == list(REVEAL.values()), report
