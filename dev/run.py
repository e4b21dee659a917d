#!/usr/bin/env python3
"""The one driver of the project's checks; the Makefile forwards every target but tour, test, install and clean here.

    python3 dev/run.py help [--markdown]     every check: what it proves, how long it takes here, what it needs of
                                             the machine, whether CI runs it
    python3 dev/run.py [-j N] CHECK...       run checks (make CHECK does the same, make CHECK J=N for -j); settings
                                             come from the environment, as make passes them: make fuzz SECONDS=600
    python3 dev/run.py [-j N] ci             every check CI runs (.ci/run, after `make test`)
    python3 dev/run.py names                 the names make forwards

Checks run in parallel, at most N at once (by default the machine's cores), each in a process of its own with its
own log (build/logs/CHECK.log); what a check uses that another row makes (an interpreter, a Debian root, a wheel) is
run first, once. The data each check reads lives once: platforms (dev/platforms.py), interpreters
(dev/interpreters.py), pinned tools (pyproject.toml's dependency groups), planted faults (dev/faults.py); the steps
they share are dev/steps.py, the table of checks dev/check_table.py, the parallel runner dev/jobs.py.
"""

from __future__ import annotations

import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import checks  # noqa: F401  (registers every check)
from check_table import CHECKS, CONCERNS, NEEDS, closure, find, needs_of
from jobs import Job, Result, clock, run_jobs, summary
from steps import ROOT, TREE, Failed, apt, say, tree_key

DRIVER = Path(__file__).resolve()


def rows_in_order() -> list:
    return [c for concern in CONCERNS for c in CHECKS.values() if c.concern == concern]


def table(markdown: bool) -> str:
    rows = rows_in_order()
    if markdown:
        lines = ["| check | what it proves | time here | needs | CI |", "|---|---|---|---|---|"]
        lines += [
            "| `make %s` | %s | %s | %s | %s |"
            % (c.name, c.proves, c.minutes or "–", ", ".join(needs_of(c)) or "–", "yes" if c.ci else "no")
            for c in rows
        ]
        return "\n".join(lines)
    lines = [
        "make tour        a short tour of the module (README)",
        "make test        the whole test suite on this machine's python3 (README; CI runs it first)",
        "",
        "Every check below runs with what it uses made first, in parallel where it can (make CHECK J=N: at most N",
        "at once). Needs: root, Debian 12 (bookworm) on x86-64, the network to Debian's archive and PyPI, qemu",
        "user-mode emulation; a check stops at once with one sentence when one is missing.",
        "",
    ]
    for concern in CONCERNS:
        members = [c for c in rows if c.concern == concern]
        if members:
            lines.append("%s:" % concern)
        for c in members:
            name = c.name + (" (%s)" % ", ".join(c.aliases) if c.aliases else "")
            facts = [c.minutes or "untimed"] + (["CI"] if c.ci else [])
            facts += ["needs " + ", ".join(needs_of(c))] if needs_of(c) else []
            lines.append("  make %-20s %s [%s]" % (name, c.proves, "; ".join(facts)))
    return "\n".join(lines)


def missing_needs(rows) -> list[str]:
    """One sentence for each need of the rows that this machine does not meet."""
    out = []
    for need in NEEDS.values():
        wanting = [c.name for c in rows if need.name in needs_of(c)]
        if wanting and not need.probe():
            names = ", ".join("make " + n for n in wanting[:4]) + (" and others" if len(wanting) > 4 else "")
            out.append("%s %s %s." % (names, "needs" if len(wanting) == 1 else "need", need.missing))
    return out


def job_of(c, tree: Path, deps: tuple) -> Job:
    return Job(
        name=c.name,
        argv=[sys.executable, DRIVER, "--job", c.name, "--tree", tree],
        log=tree / "build" / "logs" / ("%s.log" % c.name),
        repeat="make %s" % c.name if tree == ROOT else "python3 dev/run.py --job %s --tree %s" % (c.name, tree),
        deps=deps,
        io=c.io,
        cost=c.seconds(),
        env={"TQ_JOB": c.name, "TQ_TREE": str(tree)},
    )


def apt_job(packages: list[str], logs: Path) -> Job:
    """The job that installs the Debian packages every other job needs, at once, before they start."""
    return Job(
        name="debian-packages",
        argv=[sys.executable, DRIVER, "--apt", *packages],
        log=logs / "logs" / "debian-packages.log",
        repeat="apt-get install %s" % " ".join(packages),
        io=True,
        cost=120.0,
    )


def plan(names: list[str], tree: Path = ROOT) -> list[Job]:
    """A job for each check named and each row they use, and one that installs every Debian package they need."""
    rows = closure(names)
    packages = sorted({p for c in rows for p in c.apt})
    jobs = [apt_job(packages, tree / "build")] if packages else []
    for c in rows:
        # Every job that takes a slot waits for the packages, so that the slots go to the longest chains first.
        deps = c.used() + (("debian-packages",) if packages and (c.apt or not c.io) else ())
        jobs.append(job_of(c, tree, deps))
    return jobs


def run_checks(names: list[str], slots: int, tree: Path = ROOT) -> int:
    jobs = plan(names, tree)
    start, before = time.monotonic(), tree_key(tree)
    say("%d jobs, at most %d at once: %s" % (len(jobs), slots, " ".join(j.name for j in jobs)))
    results = run_jobs(jobs, slots)
    verdicts, times = summary(jobs, results)
    if tree_key(tree) != before:  # what one check wrote there, others may have read
        verdicts += "\nthe tree's files changed while the checks ran: a check must write only under build/"
        results["tree"] = Result("FAILED")
    say("\n" + verdicts)
    say(times + "\nwall time: %s" % clock(time.monotonic() - start))
    (tree / "build" / "logs" / "summary.txt").write_text(verdicts + "\n")
    (tree / "build" / "logs" / "times.txt").write_text(times + "\n")
    return 0 if all(r.verdict == "passed" for r in results.values()) else 1


def one_job(name: str, tree: Path) -> int:
    """The body of a job: one check on the tree, in this process."""
    c = find(name)
    say("== %s on %s" % (c.name, tree))
    start = time.monotonic()
    try:
        c.fn(tree, **c.args)
    except Failed as failure:
        say("FAILED: %s" % failure)
        return 1
    say("== %s passed in %s" % (c.name, clock(time.monotonic() - start)))
    return 0


def main(argv: list[str]) -> int:
    if not argv or argv[0] in ("-h", "--help"):
        print(__doc__)
        return 2
    if argv[0] == "help":
        try:
            print(table("--markdown" in argv))
        except BrokenPipeError:  # make help | head
            pass
        return 0
    if argv[0] == "names":
        print(" ".join(name for c in CHECKS.values() for name in (c.name, *c.aliases)))
        return 0
    if argv[0] == "--format":  # make format
        from checks.lint import format_tree

        format_tree(ROOT)
        return 0
    if argv[0] == "--apt":
        apt(*argv[1:])
        return 0
    if argv[0] == "--job":
        return one_job(argv[1], Path(argv[3]) if argv[2:3] == ["--tree"] else ROOT)
    if argv[0] == "--plant":  # one job of a planted-fault run, on the copy of its slot
        from checks.faults import planted_run

        return planted_run(argv[1], argv[2], TREE)
    slots = int(os.environ.get("J") or os.cpu_count() or 1)
    if argv[0] == "-j":
        slots, argv = int(argv[1]), argv[2:]
    elif argv[0].startswith("-j"):
        slots, argv = int(argv[0][2:]), argv[1:]
    names = [c.name for c in rows_in_order() if c.ci] if argv == ["ci"] else argv
    unknown = [n for n in names if find(n) is None]
    if unknown:
        print("unknown check(s): %s; `make help` lists them" % " ".join(unknown))
        return 2
    names = [find(n).name for n in names]
    wanting = missing_needs([find(n) for n in names])
    if wanting:
        print("\n".join(wanting))
        return 2
    drivers = [n for n in names if find(n).concern == "faults"]
    if drivers:  # the planted-fault runs plan and run jobs of their own
        if len(names) > 1:
            print("%s runs alone" % drivers[0])
            return 2
        try:
            find(names[0]).fn(ROOT, slots=slots)
        except Failed as failure:
            say("FAILED: %s" % failure)
            return 1
        return 0
    return run_checks(names, slots)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
