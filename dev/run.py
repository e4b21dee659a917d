#!/usr/bin/env python3
"""The one driver of the project's checks; the Makefile forwards every target but tour, test, install and clean here.

    python3 dev/run.py help [--markdown]     every check: what it proves, how long it takes here, whether CI runs it
    python3 dev/run.py CHECK...              run checks (make CHECK does the same); settings come from the
                                             environment, as make passes them: make fuzz SECONDS=600
    python3 dev/run.py ci                    every check CI runs, in order (.ci/run, after `make test`)
    python3 dev/run.py names                 the names make forwards

The data each check reads lives once: platforms (dev/platforms.py), interpreters (dev/interpreters.py), pinned tools
(pyproject.toml's dependency groups), planted faults (dev/faults.py); the steps they share are dev/steps.py.
Everything a check makes lands under build/ (wheels under wheelhouse/).
"""

from __future__ import annotations

import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import checks  # noqa: E402,F401  (registers every check)
from registry import CHECKS, CONCERNS, find  # noqa: E402
from steps import BUILD, Failed, apt, elapsed, say  # noqa: E402


def table(markdown: bool) -> str:
    rows = [c for concern in CONCERNS for c in CHECKS.values() if c.concern == concern]
    if markdown:
        lines = ["| check | what it proves | time here | CI |", "|---|---|---|---|"]
        lines += [
            "| `make %s` | %s | %s | %s |" % (c.name, c.proves, c.minutes or "–", "yes" if c.ci else "no") for c in rows
        ]
        return "\n".join(lines)
    lines = [
        "make tour        a short tour of the module (README)",
        "make test        the whole test suite on this machine's python3 (README; CI runs it first)",
        "",
    ]
    for concern in CONCERNS:
        members = [c for c in rows if c.concern == concern]
        if members:
            lines.append("%s:" % concern)
        for c in members:
            name = c.name + (" (%s)" % ", ".join(c.aliases) if c.aliases else "")
            lines.append(
                "  make %-20s %s%s [%s%s]"
                % (name, c.proves, "" if c.proves.endswith(".") else "", c.minutes or "untimed", ", CI" if c.ci else "")
            )
    return "\n".join(lines)


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
    ci = [c.name for concern in CONCERNS for c in CHECKS.values() if c.ci and c.concern == concern]
    names = ci if argv == ["ci"] else argv
    unknown = [n for n in names if find(n) is None]
    if unknown:
        print("unknown check(s): %s; `make help` lists them" % " ".join(unknown))
        return 2
    background = None
    if argv == ["ci"]:
        # The sid root is mostly download and unpacking: it is made beside the first checks, and the first check
        # that needs it waits on the root's lock (dev/debian_root.sh) instead of making it again.
        apt("debootstrap")  # the host's apt is used here only, not beside the checks' own apt-get
        log = BUILD / "logs" / "sid-root-beside.log"
        log.parent.mkdir(parents=True, exist_ok=True)
        background = subprocess.Popen(
            [sys.executable, __file__, "sid-root"], stdout=log.open("w"), stderr=subprocess.STDOUT
        )
        say("sid-root: made beside the checks (log: %s)" % log)
    try:
        return run_checks(names)
    finally:
        if background is not None and background.wait():
            say("sid-root beside the checks failed (log: %s); the checks made it themselves" % log)


def run_checks(names: list[str]) -> int:
    times = []
    for name in names:
        start = time.monotonic()
        say("\n######## %s" % name)
        try:
            find(name).fn(Path(__file__).resolve().parent.parent, **find(name).args)
        except Failed as failure:
            say("######## %s FAILED after %s: %s" % (name, elapsed(start), failure))
            return 1
        times.append("%s %s" % (name, elapsed(start)))
        say("######## %s passed in %s" % (name, elapsed(start)))
    if len(names) > 1:
        say("all passed: " + ", ".join(times))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
