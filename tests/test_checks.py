"""The checks' tables hold together: every `make X` the README names is a target, the check table of
docs/checks.md is `make help`'s, every planted fault still fits the code, and the pinned test tools are ones users may
install."""

import re
import sys
from pathlib import Path

import pytest

TREE = Path(__file__).resolve().parents[1]
if (TREE / ".tq-planted").exists():  # a copy of the tree with a fault planted (make faults): the tables it quotes
    pytest.skip("a planted copy of the tree", allow_module_level=True)
sys.path.insert(0, str(TREE / "dev"))
import checks  # noqa: E402,F401  (registers every check)
import run  # noqa: E402
from check_table import CHECKS, closure  # noqa: E402
from checks.prerequisites import INTERPRETER_ROWS  # noqa: E402
from checks.wheels import SUITE_ROWS, WHEEL_ROWS  # noqa: E402
from faults import FAULTS  # noqa: E402
from interpreters import INTERPRETERS  # noqa: E402
from platforms import PLATFORMS  # noqa: E402

README = (TREE / "README.md").read_text(encoding="utf-8")
CHECKS_DOC = (TREE / "docs" / "checks.md").read_text(encoding="utf-8")


def test_every_make_command_in_the_readme_is_a_target():
    targets = set(re.findall(r"^([\w-]+):", (TREE / "Makefile").read_text(), re.M))
    targets |= {name for c in CHECKS.values() for name in (c.name, *c.aliases)}
    named = set(re.findall(r"^make ([\w-]+)", README, re.M)) | set(re.findall(r"`make ([\w-]+)", README))
    assert {"tour", "test"} <= named and named - targets == set()


def test_the_check_table_of_the_docs_is_make_help():
    assert run.table(markdown=True) in CHECKS_DOC, "run python3 docs/generate.py"


@pytest.mark.parametrize("fault", FAULTS, ids=[f.name for f in FAULTS])
def test_every_planted_fault_fits_the_code_once(fault):
    texts = {}
    for path, text, replacement in fault.edits:
        source = texts.get(path) or (TREE / path).read_text()
        assert source.count(text) == 1, "%s: %r is in %s %d times" % (fault.name, text, path, source.count(text))
        texts[path] = source.replace(text, replacement)
    assert fault.check in CHECKS


def test_every_platform_and_interpreter_has_its_rows_and_every_row_what_it_uses():
    assert sorted(WHEEL_ROWS.values()) == sorted(PLATFORMS)
    assert sorted(SUITE_ROWS.values()) == sorted(n for n, p in PLATFORMS.items() if p.interpreter != "host")
    made_here = [n for n, i in INTERPRETERS.items() if i.kind in ("source", "emulated", "cross")]
    assert sorted(INTERPRETER_ROWS.values()) == sorted(made_here)
    assert [c.name for c in closure(list(CHECKS))] and all(u in CHECKS for c in CHECKS.values() for u in c.used())


def test_the_pinned_test_tools_lie_within_the_test_extra():
    requirements = pytest.importorskip("packaging.requirements")
    tomllib = pytest.importorskip("tomllib")
    with open(TREE / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)
    ranges = {}
    for text in project["project"]["optional-dependencies"]["test"]:
        req = requirements.Requirement(text)
        ranges[req.name.lower()] = req.specifier
    for text in project["dependency-groups"]["test-pinned"]:
        name, version = text.split("==")
        assert version in ranges[name.lower()], text
