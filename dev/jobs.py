"""Jobs run in parallel: each a command of its own with its own log, started once what it depends on has passed.

The terminal shows one line as each job starts and one as it ends; a failure adds its log's tail and the command
that repeats it alone. The summary lists every job in the order it was given, whatever order they ended in."""

from __future__ import annotations

import os
import shlex
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

TAIL = 40  # lines of a failed job's log shown on the terminal


@dataclass
class Job:
    name: str
    argv: list  # the command, run with the environment below added
    log: Path
    repeat: str  # the command a developer types to run it alone
    deps: tuple = ()  # names of jobs that must pass first
    io: bool = False  # mostly download and unpacking: takes no slot
    cost: float = 60.0  # seconds it is expected to take, for ordering
    env: dict = field(default_factory=dict)
    slot: bool = False  # takes a slot even when io; {slot} in its environment's values is the slot's number


@dataclass
class Result:
    verdict: str  # passed, FAILED, not run
    seconds: float = 0.0
    reason: str = ""


def clock(seconds: float) -> str:
    return "%d s" % seconds if seconds < 120 else "%.1f min" % (seconds / 60)


def say(text: str) -> None:
    print(text, flush=True)


def reason_of(log: Path) -> str:
    """The reason a job gave for failing: its last line that starts with FAILED."""
    try:
        lines = log.read_text(errors="replace").splitlines()
    except OSError:
        return "no log"
    found = [line for line in lines if line.startswith("FAILED: ")]
    return found[-1][len("FAILED: ") :] if found else "exited without a reason (see the log)"


def run_jobs(jobs: list[Job], slots: int) -> dict[str, Result]:
    """Runs the jobs, at most `slots` at once (io jobs aside); each job's result, by name."""
    by_name = {j.name: j for j in jobs}
    assert all(d in by_name for j in jobs for d in j.deps), "a job depends on one not given"
    # The longest chain through a job (its cost and the longest of the jobs that wait for it) starts first.
    waiting_on = {j.name: [k.name for k in jobs if j.name in k.deps] for j in jobs}
    chain: dict[str, float] = {}

    def chain_of(name):
        if name not in chain:
            chain[name] = by_name[name].cost + max((chain_of(k) for k in waiting_on[name]), default=0.0)
        return chain[name]

    order = {j.name: i for i, j in enumerate(jobs)}
    pending = sorted(jobs, key=lambda j: (-chain_of(j.name), order[j.name]))
    running: dict[str, tuple] = {}  # name -> (process, start, slot)
    results: dict[str, Result] = {}
    free = list(range(1, max(1, slots) + 1))
    width = max(len(j.name) for j in jobs)
    start_all = time.monotonic()
    while pending or running:
        reserved = 0
        for job in list(pending):
            failed = [d for d in job.deps if d in results and results[d].verdict != "passed"]
            if failed:
                pending.remove(job)
                results[job.name] = Result("not run", reason="%s did not pass" % ", ".join(failed))
                say("[%s] %-*s not run: %s" % (stamp(start_all), width, job.name, results[job.name].reason))
                continue
            if any(d not in results for d in job.deps):
                # A job that waits only for io jobs about to end keeps a slot from the shorter chains behind it.
                left = [d for d in job.deps if d not in results]
                if not job.io and all(d in running and soon(by_name[d], running[d][1]) for d in left):
                    reserved += 1
                continue
            if not job.io and len(free) <= reserved:
                continue
            slot = 0 if job.io else free.pop(0)
            pending.remove(job)
            job.log.parent.mkdir(parents=True, exist_ok=True)
            env = dict(os.environ, **{k: v.format(slot=slot) for k, v in job.env.items()})
            with open(job.log, "w") as out:
                out.write("$ %s\n" % " ".join(shlex.quote(str(a)) for a in job.argv))
                out.flush()
                process = subprocess.Popen(
                    [str(a) for a in job.argv], stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env
                )
            running[job.name] = (process, time.monotonic(), slot)
            say("[%s] %-*s started (log: %s)" % (stamp(start_all), width, job.name, shown(job.log)))
        if not running:
            continue
        time.sleep(0.5)
        for name, (process, began, slot) in list(running.items()):
            if process.poll() is None:
                continue
            del running[name]
            if slot:
                free.append(slot)
                free.sort()
            job, seconds = by_name[name], time.monotonic() - began
            if process.returncode == 0:
                results[name] = Result("passed", seconds)
                say("[%s] %-*s passed in %s" % (stamp(start_all), width, name, clock(seconds)))
                continue
            results[name] = Result("FAILED", seconds, reason_of(job.log))
            tail = job.log.read_text(errors="replace").splitlines()[-TAIL:]
            say("[%s] %-*s FAILED after %s: %s" % (stamp(start_all), width, name, clock(seconds), results[name].reason))
            say("\n".join("    | " + line for line in tail))
            say("    the log: %s\n    run it alone: %s" % (shown(job.log), job.repeat))
    return results


def soon(job: Job, began: float) -> bool:
    """Whether a running job is expected to end within a minute."""
    return job.cost - (time.monotonic() - began) < 60


def stamp(start: float) -> str:
    seconds = int(time.monotonic() - start)
    return "%2d:%02d" % (seconds // 60, seconds % 60)


def shown(path: Path) -> str:
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def summary(jobs: list[Job], results: dict[str, Result]) -> tuple[str, str]:
    """The verdicts in the jobs' own order (the same for the same verdicts), then the times."""
    width = max(len(j.name) for j in jobs)
    lines = ["summary:"]
    for j in jobs:
        r = results[j.name]
        lines.append("  %-*s %s%s" % (width, j.name, r.verdict, ": " + r.reason if r.reason else ""))
    passed = sum(r.verdict == "passed" for r in results.values())
    lines.append("%d passed, %d failed" % (passed, len(jobs) - passed))
    times = "times: " + ", ".join("%s %s" % (j.name, clock(results[j.name].seconds)) for j in jobs)
    return "\n".join(lines), times
