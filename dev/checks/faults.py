"""Planted faults: each row of dev/faults.py planted alone in a copy of the tree, and its check run on that copy;
the check must fail. The checkout itself is never written to. Faults run in parallel, one copy of the tree per job
slot (build/faults/copy-N), each copy's builds kept from one fault to the next."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

from check_table import check, closure, find
from faults import FAULTS
from interpreters import venv_env
from jobs import Job, run_jobs
from steps import BUILD, ROOT, Failed, say, work

SUITE_TIMEOUT = 900
COPIES = BUILD / "faults"


@check(
    "suite-fail-fast",
    "suite",
    "the module's suite on this machine's python3 with the module built from the tree, stopping "
    "at the first failure, hypothesis seeded (what `make mutate` runs for each fault)",
    "1 min",
    needs=("network",),
    uses=("host-python",),
)
def suite_fail_fast(tree):
    env = venv_env("suite")
    env.install_from_source(tree)
    shutil.rmtree(work(tree) / "hypothesis", ignore_errors=True)  # no example kept from an earlier run
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
    (dest / ".tq-planted").unlink(missing_ok=True)


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


def planted_run(fault_name: str, check_name: str, tree) -> int:
    """The body of one job of a planted-fault run, on the copy `tree`: with fault_name "-", the check on the
    unplanted copy (it must pass, or no fault could be told apart); else the fault planted, the check run, the copy
    put back. The job passes when the check's verdict is the one wanted."""
    options = {}
    fault = next((f for f in FAULTS if f.name == fault_name), None)
    if fault is not None:
        check_name, options = fault.check, dict(fault.options)
    elif fault_name == "-":
        options = dict(next((f.options for f in FAULTS if f.check == check_name), ()))
    c = find(check_name)
    originals = {} if fault is None else plant(tree, fault)
    if originals is None:
        say("FAILED: stale (a text to replace is not there once)")
        return 1
    marker = tree / ".tq-planted"
    try:
        if fault is not None:
            marker.write_text(fault.name + "\n")  # tests/test_checks.py, which holds the tables together, skips there
            say("== %s planted in %s: %s (check: %s)" % (fault.name, tree, fault.what, check_name))
        c.fn(tree, **{**c.args, **options})
    except Failed as failure:
        if fault is None:
            say("FAILED: the unplanted tree fails %s (%s): no fault could be told apart" % (check_name, failure))
            return 1
        say("CAUGHT: by %s: %s" % (check_name, str(failure)[:200]))
        return 0
    finally:
        for path, original in (originals or {}).items():
            (tree / path).write_text(original)
        marker.unlink(missing_ok=True)
    if fault is None:
        return 0
    say("FAILED: missed: %s passed with the fault planted" % check_name)
    return 1


def fault_job(fault_name: str, check_name: str, deps: tuple) -> Job:
    label = "unplanted " + check_name if fault_name == "-" else fault_name
    return Job(
        name=label,
        argv=[sys.executable, ROOT / "dev" / "run.py", "--plant", fault_name, check_name],
        log=COPIES / "logs" / ("%s.log" % label.replace(" ", "-")),
        repeat="make %s FAULTS=%s" % ("mutate" if check_name == "suite-fail-fast" else "faults", fault_name)
        if fault_name != "-"
        else "python3 dev/run.py %s" % check_name,
        deps=deps,
        cost=find(check_name).seconds(),
        env={"TQ_JOB": check_name, "TQ_TREE": str(COPIES / "copy-{slot}")},
        slot=True,
    )


def run_faults(rows, slots: int):
    for k in range(1, slots + 1):
        copy_tree(COPIES / ("copy-%d" % k))
    used = sorted({f.check for f in rows}, key=[f.check for f in rows].index)
    # What the checks use that every tree shares (interpreters, roots) is made first, once; a tree's own (its
    # wheels) is made by the check in its copy.
    from run import apt_job, job_of

    rows_used = closure(used)
    packages = sorted({p for c in rows_used for p in c.apt})
    jobs = [apt_job(packages, COPIES)] if packages else []
    first = ("debian-packages",) if packages else ()
    for c in rows_used:
        if c.shared:
            jobs.append(job_of(c, ROOT, tuple(u for u in c.used() if find(u).shared) + first))
    for name in used:
        jobs.append(fault_job("-", name, tuple(c.name for c in closure([name]) if c.shared) + first))
    for fault in rows:
        jobs.append(fault_job(fault.name, fault.check, ("unplanted " + fault.check,)))
    results = run_jobs(jobs, slots)
    report, missed, stale, broken = [], [], [], []
    for fault in rows:
        r = results[fault.name]
        log = COPIES / "logs" / ("%s.log" % fault.name)
        text = log.read_text(errors="replace") if log.is_file() else ""
        caught = [line[len("CAUGHT: ") :] for line in text.splitlines() if line.startswith("CAUGHT: ")]
        if r.verdict == "passed":
            outcome = "caught " + caught[-1]
        elif r.verdict == "not run":
            outcome = "not run: " + r.reason
            broken.append(fault.name)
        elif r.reason.startswith("stale"):
            outcome = r.reason
            stale.append(fault.name)
        else:
            outcome = "MISSED: " + r.reason
            missed.append(fault.name)
        report.append("| %s | %s | %s | %s |" % (fault.name, fault.check, fault.what, outcome.replace("|", "/")))
    failed_setup = [
        j.name for j in jobs if j.name not in {f.name for f in rows} and results[j.name].verdict != "passed"
    ]
    summary = "%d planted, %d caught, %d missed, %d stale, %d not run" % (
        len(rows) - len(stale),
        len(rows) - len(stale) - len(missed) - len(broken),
        len(missed),
        len(stale),
        len(broken),
    )
    out = COPIES / "report.md"
    out.write_text(
        "\n".join(["| fault | check | what | outcome |", "|---|---|---|---|"] + report + ["", summary]) + "\n"
    )
    say("\n".join(report))
    say("%s (table: %s)" % (summary, out))
    if missed or stale or broken or failed_setup:
        raise Failed(
            "missed: %s; stale: %s; not run: %s"
            % (" ".join(missed) or "none", " ".join(stale) or "none", " ".join(broken + failed_setup) or "none")
        )


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
    "20 min",
    needs=("network",),
)
def mutate(tree, slots: int = 1):
    run_faults(chosen(("suite-fail-fast",)), slots)


@check(
    "faults",
    "faults",
    "every fault the project plants (mutations, a race, a leak, wheel checks, instruction "
    "counts, same bits, the compiler refusal), each caught by its own check (FAULTS=... picks some)",
    "75 min",
    needs=("root", "debian", "network", "qemu"),
)
def faults(tree, slots: int = 1):
    run_faults(chosen(()), slots)
