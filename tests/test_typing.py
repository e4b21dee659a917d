"""The installed type stubs (tq_pyo3-stubs) match the module and type user code the way the module behaves."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

mypy_api = pytest.importorskip("mypy.api", reason="mypy is not installed for this Python")

TREE = Path(__file__).resolve().parents[1]

# A well-typed program. It is type-checked with --strict --disallow-any-expr (so no stub may hide behind Any)
# and also run, so nothing in it is accepted by the stubs but refused by the module.
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

# Each line is a mistake the type checker must report; the module raises TypeError or TQError for each.
BAD = {
    "a number plus a quantity": "1 + q",
    "a quantity plus a number": "q + 1.0",
    "a quantity minus a number": "q - 2",
    "a number to the power of a quantity": "2 ** q",
    "a quantity to the power of a quantity": "q ** q",
    "a quantity times a str": 'q * "2"',
    "a str times a quantity": '"2" * q',
    "a str divided by a quantity": '"2" / q',
    "ordering against a number": "q < 3",
    "a str value": 'Telquant("2", "m")',
    "a bytes unit": 'Telquant(2, b"m")',
    "a missing unit": "Telquant(2)",
    "a number as target unit": "q.value_in(5)",
    "an argument to a math method": "q.sqrt(2)",
    "a str to a module function": 'tq_pyo3.atan("1")',
    "float() of a quantity": "float(q)",
    "a float result kept as int": "n: int = q.value()",
    "a subclass of the final class": "class Sub(Telquant): pass",
}


@pytest.fixture(scope="module")
def mypy_dir(tmp_path_factory):
    """A scratch directory with an empty config file, so no project configuration leaks into the checks."""
    path = tmp_path_factory.mktemp("mypy")
    (path / "mypy.ini").write_text("[mypy]\n")
    return path


def run_mypy(directory, name, source, *flags):
    """mypy on one file, from `directory` and with the source tree off sys.path, so that mypy reads the
    installed stubs (what users get) and not the tq_pyo3-stubs folder of the tree."""
    path = directory / name
    path.write_text(source)
    args = ["--config-file", str(directory / "mypy.ini"), "--cache-dir", str(directory / "cache"),
            "--no-error-summary", "--show-error-codes", *flags, str(path)]
    tree = {"", os.getcwd(), str(TREE)}
    saved_path, saved_cwd = sys.path[:], os.getcwd()
    sys.path[:] = [entry for entry in sys.path if entry not in tree]
    os.chdir(str(directory))
    try:
        out, err, status = mypy_api.run(args)
    finally:
        os.chdir(saved_cwd)
        sys.path[:] = saved_path
    return out + err, status


@pytest.fixture(scope="module")
def bad_report(mypy_dir):
    lines = ["import tq_pyo3", "from tq_pyo3 import Telquant", 'q = Telquant(2, "m")']
    first = len(lines) + 1
    lines += list(BAD.values())
    report, status = run_mypy(mypy_dir, "bad.py", "\n".join(lines) + "\n")
    assert status == 1, report
    errors = [re.match(r".*bad\.py:(\d+): error", entry) for entry in report.splitlines()]
    lines_with_errors = {int(m.group(1)) for m in errors if m}
    return {name: first + i in lines_with_errors for i, name in enumerate(BAD)}


def test_stubtest_finds_the_stubs_and_the_module_in_agreement(mypy_dir):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tq_pyo3", "--mypy-config-file", str(mypy_dir / "mypy.ini")],
        cwd=str(mypy_dir), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
        env=dict(os.environ, MYPY_FORCE_COLOR="0"),
    )
    assert result.returncode == 0, result.stdout
    assert "Success: no issues found in 1 module" in result.stdout


def test_a_typed_program_passes_strict_checking_without_any(mypy_dir):
    report, status = run_mypy(mypy_dir, "good.py", GOOD, "--strict", "--disallow-any-expr")
    assert (status, report) == (0, "")


def test_the_typed_program_runs():
    namespace = {"__name__": "typed_example"}
    exec(compile(GOOD, "good.py", "exec"), namespace)
    assert namespace["kmh"] == pytest.approx(14.4)
    assert namespace["message"] == "Incompatible unit conversion to: s"


@pytest.mark.parametrize("name", list(BAD))
def test_the_type_checker_reports_a_misuse(bad_report, name):
    assert bad_report[name], "no error reported for %r" % BAD[name]


def test_results_are_typed_precisely(mypy_dir):
    source = textwrap.dedent('''\
        import tq_pyo3
        from tq_pyo3 import Telquant
        q = Telquant(1, "m")
        reveal_type(q.base_units())
        reveal_type(3 * q)
        reveal_type(q ** 2)
        reveal_type(q.value_in("cm"))
        reveal_type(q < q)
        reveal_type(tq_pyo3.asin(1))
        reveal_type(tq_pyo3.TQError("x").args)
        ''')
    report, _ = run_mypy(mypy_dir, "reveal.py", source)
    revealed = [line.split("Revealed type is ")[1].strip('"') for line in report.splitlines() if "Revealed" in line]
    # mypy spells the tuple type "Tuple" when it checks for Python 3.8.
    assert [r.replace("builtins.", "").replace("Tuple[", "tuple[") for r in revealed] == [
        "tuple[float, float, float, float, float, float, float, float]",
        "tq_pyo3.Telquant", "tq_pyo3.Telquant", "float", "bool", "tq_pyo3.Telquant", "tuple[Any, ...]",
    ]
