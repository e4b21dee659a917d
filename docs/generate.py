#!/usr/bin/env python3
"""Writes the generated parts of the documents from the one place each fact is kept.

    python3 docs/generate.py           rewrite every generated part that is out of date
    python3 docs/generate.py --check   name the documents whose generated parts are out of date (exit status 1)

A generated part sits between two comments, which Markdown does not show:

    <!-- begin NAME: written by docs/generate.py -->
    ...
    <!-- end NAME -->

NAME is one of SOURCES below, each with the file or command it is written from. Edit that source, never the part;
tests/test_docs.py fails while a document differs from what this script writes. Runs on any Python from 3.8 on, as
the test suite does.
"""

import re
import subprocess
import sys
from pathlib import Path

TREE = Path(__file__).resolve().parent.parent
DOCUMENTS = ("README.md", "CONTRIBUTING.md", "docs/checks.md", "docs/platforms.md", "docs/speed.md")
GENERATED = re.compile(r"^<!-- begin ([\w-]+): written by docs/generate\.py -->\n(.*?)^<!-- end \1 -->$", re.M | re.S)


def _written(tree, path):
    """A file some tool writes, without the comment naming that tool."""
    lines = (tree / path).read_text(encoding="utf-8").splitlines()
    return "\n".join(line for line in lines if not line.startswith("<!-- written by ")).strip()


def speed_table(tree):
    """The last run's machine and its main table (bench/run.py writes both, first, into results.md)."""
    machine, table = _written(tree, "bench/results/results.md").split("\n\n")[:2]
    return machine + "\n\n" + table


def check_table(tree):
    command = [sys.executable, str(tree / "dev" / "run.py"), "help", "--markdown"]
    return subprocess.run(command, check=True, capture_output=True, text=True, cwd=str(tree)).stdout.strip()


def tsan_suppressions(tree):
    """What dev/tsan.supp silences: every line that is not a comment."""
    lines = (tree / "dev" / "tsan.supp").read_text(encoding="utf-8").splitlines()
    entries = [line.strip() for line in lines if line.strip() and not line.lstrip().startswith("#")]
    if not entries:
        return "`dev/tsan.supp` holds no suppression."
    return "`dev/tsan.supp` holds %d suppression%s, each with its reason there: %s." % (
        len(entries),
        "" if len(entries) == 1 else "s",
        ", ".join("`%s`" % e for e in entries),
    )


def wheel_table(tree):
    """One row per wheel platform of dev/platforms.py, with the interpreter of dev/interpreters.py its suite runs
    on and the test tools that interpreter goes without."""
    sys.path.insert(0, str(tree / "dev"))
    try:
        from interpreters import ALL_TOOLS, INTERPRETERS
        from platforms import PLATFORMS
    finally:
        sys.path.remove(str(tree / "dev"))
    lines = [
        "| wheel | platform tag | built for (zig target, flags) | its suite (`make test-<wheel>`) runs on | "
        "test tools it goes without | CI |",
        "|---|---|---|---|---|---|",
    ]
    for p in PLATFORMS.values():
        interp = INTERPRETERS[p.interpreter]
        missing = [t for t in ALL_TOOLS if t not in interp.tools and not (t == "numpy" and interp.debian_numpy)]
        runs_on = interp.what + (" (NumPy from Debian's python3-numpy)" if interp.debian_numpy else "")
        lines.append(
            "| `%s` | `%s` | `%s`, `%s` | %s | %s | %s |"
            % (p.name, p.tag, p.zig, p.flags, runs_on, ", ".join(missing) or "none", "yes" if p.ci else "no")
        )
    return "\n".join(lines)


def instruction_counts(tree):
    return _written(tree, "bench/results/ir.md")


def thread_table(tree):
    return _written(tree, "bench/results/threads.md")


def bench_results(tree):
    return _written(tree, "bench/results/results.md")


# name: (what it is written from, how)
SOURCES = {
    "speed-table": ("bench/results/results.md", speed_table),
    "bench-results": ("bench/results/results.md", bench_results),
    "instruction-counts": ("bench/results/ir.md", instruction_counts),
    "threads": ("bench/results/threads.md", thread_table),
    "checks": ("python3 dev/run.py help --markdown", check_table),
    "tsan-suppressions": ("dev/tsan.supp", tsan_suppressions),
    "wheels": ("dev/platforms.py, dev/interpreters.py", wheel_table),
}


def render(text, tree=TREE):
    """The document `text` with every generated part written afresh; an unknown part's name raises KeyError."""

    def part(match):
        name = match.group(1)
        return "<!-- begin %s: written by docs/generate.py -->\n\n%s\n\n<!-- end %s -->" % (
            name,
            SOURCES[name][1](tree),
            name,
        )

    return GENERATED.sub(part, text)


def main(argv, tree=TREE, documents=DOCUMENTS):
    stale = []
    for name in documents:
        path = tree / name
        text = path.read_text(encoding="utf-8")
        fresh = render(text, tree)
        if fresh != text:
            stale.append(name)
            if "--check" not in argv:
                path.write_text(fresh, encoding="utf-8")
    if "--check" in argv:
        print("out of date: %s (python3 docs/generate.py rewrites them)" % ", ".join(stale) if stale else "current")
        return 1 if stale else 0
    print("rewrote %s" % ", ".join(stale) if stale else "every document was current")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
