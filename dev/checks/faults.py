"""Planted faults: each row of dev/faults.py planted alone in a copy of the tree, and its check run on that copy;
the check must fail. The checkout itself is never written to."""

from __future__ import annotations

import os
import shutil
import subprocess
import time

from faults import FAULTS
from interpreters import venv_env
from registry import check, find
from steps import BUILD, ROOT, Failed, say

SUITE_TIMEOUT = 900


@check(
    "suite",
    "suite",
    "the module's suite on this machine's python3 with the module built from the tree, stopping "
    "at the first failure (what `make mutate` runs for each fault)",
    "1 min",
)
def suite(tree):
    env = venv_env("faults")
    env.install_from_source(tree)
    shutil.rmtree(tree / ".hypothesis", ignore_errors=True)
    try:
        env.suite("-x", "--hypothesis-seed=0", tree=tree, env={"PYTHONDONTWRITEBYTECODE": "1"}, timeout=SUITE_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise Failed("the suite did not end in %d s (a hang)" % SUITE_TIMEOUT) from None


def copy_tree(dest):
    """The checkout's files (tracked and new, not ignored), as they are in the working tree, into dest; files that
    are already there and the same are left alone, so builds in dest stay incremental."""
    files = (
        subprocess.run(
            ["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT, check=True, capture_output=True
        )
        .stdout.decode()
        .split("\0")
    )
    for f in filter(None, files):
        source, target = ROOT / f, dest / f
        if not source.is_file():
            continue
        if target.is_file() and target.read_bytes() == source.read_bytes():
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target)


def plant(tree, fault):
    """Applies the fault's edits; the originals, to put back; None when one no longer fits (stale)."""
    originals = {}
    for path, text, replacement in fault.edits:
        source = originals.get(path) or (tree / path).read_text()
        originals.setdefault(path, source)
        current = (tree / path).read_text()
        if current.count(text) != 1:
            for p, original in originals.items():
                (tree / p).write_text(original)
            return None
        (tree / path).write_text(current.replace(text, replacement))
    return originals


def fresh_run(tree, fault, name, options):
    """The check `name` on the tree as it is now: wheels made for an earlier run are removed first, and the tree is
    marked with the fault planted in it (tests/test_checks.py, which holds the tables together, skips itself there)."""
    shutil.rmtree(tree / "wheelhouse", ignore_errors=True)
    marker = tree / ".tq-planted"
    if fault is None:
        marker.unlink(missing_ok=True)
    else:
        marker.write_text(fault + "\n")
    find(name).fn(tree, **{**find(name).args, **dict(options)})


def run_faults(rows):
    tree = BUILD / "faults" / "tree"
    copy_tree(tree)
    report, missed, stale = [], [], []
    # the unplanted tree must pass each check used, or a failure proves nothing
    for name in sorted({f.check for f in rows}, key=[f.check for f in rows].index):
        options = dict(next(f.options for f in rows if f.check == name))
        say("== %s on the unplanted tree" % name)
        try:
            fresh_run(tree, None, name, options)
        except Failed as failure:
            raise Failed("the unplanted tree fails %s (%s): no fault could be told apart" % (name, failure)) from None
    for fault in rows:
        start = time.monotonic()
        originals = plant(tree, fault)
        if originals is None:
            outcome = "stale (a text to replace is not there once)"
            stale.append(fault.name)
        else:
            say("== %s: %s (check: %s)" % (fault.name, fault.what, fault.check))
            try:
                fresh_run(tree, fault.name, fault.check, fault.options)
                outcome = "MISSED: %s passed" % fault.check
                missed.append(fault.name)
            except Failed as failure:
                outcome = "caught by %s: %s" % (fault.check, str(failure)[:160])
            finally:
                for path, original in originals.items():
                    (tree / path).write_text(original)
                (tree / ".tq-planted").unlink(missing_ok=True)
        report.append(
            "| %s | %s | %s | %s (%.0f s) |"
            % (fault.name, fault.check, fault.what, outcome.replace("|", "/"), time.monotonic() - start)
        )
        say(report[-1])
    summary = "%d planted, %d caught, %d missed, %d stale" % (
        len(rows) - len(stale),
        len(rows) - len(stale) - len(missed),
        len(missed),
        len(stale),
    )
    out = BUILD / "faults" / "report.md"
    out.write_text(
        "\n".join(["| fault | check | what | outcome |", "|---|---|---|---|"] + report + ["", summary]) + "\n"
    )
    say("%s (table: %s)" % (summary, out))
    if missed or stale:
        raise Failed("missed: %s; stale: %s" % (" ".join(missed) or "none", " ".join(stale) or "none"))


def chosen(kinds):
    names = os.environ.get("FAULTS", "").split()
    rows = [f for f in FAULTS if (not kinds or f.check in kinds) and (not names or f.name in names)]
    if not rows:
        raise Failed("no fault chosen (FAULTS=%s)" % " ".join(names))
    return rows


@check(
    "mutate",
    "faults",
    "each fault of dev/faults.py that the suite must catch, planted alone: the suite fails "
    "for every one (FAULTS=... picks some)",
    "40 min",
)
def mutate(tree):
    run_faults(chosen(("suite",)))


@check(
    "faults",
    "faults",
    "every fault the project plants (mutations, a race, a leak, wheel checks, instruction "
    "counts, same bits, the compiler refusal), each caught by its own check (FAULTS=... picks some)",
    "2.5 h",
)
def faults(tree):
    rows = chosen(())
    run_faults(sorted(rows, key=lambda f: f.check != "suite"))
