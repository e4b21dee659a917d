"""Instructions per operation for every row of `make bench`, counted by callgrind, and their check against a baseline.

    python bench/ir.py [--python PY] [--loops N] [--out DIR] [--baseline FILE] [--update] [--rows KEY...]

Each row's tq_pyo3 statement (bench/run.py, then the rows counted here only, IR_ROWS; --rows picks some, and their
baseline is a file of its own) runs under `valgrind --tool=callgrind` in a timeit loop of N passes, and so does the
same loop with `pass` in its place and the same setup, all in one process with PYTHONHASHSEED=0: callgrind dumps its
counters between loops, and a row's count is the difference of its loop and the empty loop before it, divided by
N. Start-up, imports, the row's setup and the loop itself cancel. Counts repeat exactly from run to run of the same
rows; every loop is warmed first, so a run of fewer rows can differ by a percent or so from a full run: a baseline
holds the same rows as the runs compared with it.

Writes DIR/ir.json and DIR/ir.md (default bench/results, beside the timings). Then compares with the baseline
(default bench/ir-baseline.json as committed at HEAD, so a baseline changed in the work tree only counts once it
is committed): a row more than 5% above its baseline fails the check. Counts depend on the interpreter and on the
compiler that built the module, so both are recorded, and counts from another interpreter or compiler are not
compared at all (exit status 2). --update rewrites the baseline file instead of comparing.

Exit status: 0 within bounds (or baseline written), 1 a row grew by more than the tolerance, 2 nothing comparable.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
from run import OPERATIONS, SETUP  # noqa: E402  (bench/run.py: the rows and their setup)

TOLERANCE = 0.05
BASELINE = ROOT / "bench" / "ir-baseline.json"

# Rows counted here only, beside the rows of bench/run.py: (key, label, statement, setup added to the library's).
# A text seen for the first time is a new str with a text no call has had before: each pass takes the next of LOOPS
# and more such texts, made by the setup (which the empty loop runs too).
IR_ROWS = [
    ("value", "`a.value()`", "a.value()", ""),
    (
        "new_first",
        'construct from a text seen first ("m^N")',
        "T(n, next(texts))",
        "texts = iter(['m^%d' % i for i in range(1, LOOPS + 1000)])",
    ),
    (
        "new_first_newton",
        'construct from a text seen first ("kg-m/s^N")',
        "T(n, next(texts))",
        "texts = iter(['kg-m/s^%d' % i for i in range(1, LOOPS + 1000)])",
    ),
]

# Runs in the measured interpreter, under callgrind. Every loop is warmed first (type creation, specialisation and
# first-time caches are not counted), then each row's loop runs between two calls of os.getppid, at which callgrind
# dumps its counters (--dump-before=getppid): one part for the empty loop, the next for the row's loop.
PROBE = r"""
import json, os, sys, timeit
rows, loops = json.loads(sys.argv[1]), int(sys.argv[2])
names = {"LOOPS": loops}
pairs = [(timeit.Timer("pass", setup=setup, globals=names), timeit.Timer(stmt, setup=setup, globals=names))
         for stmt, setup in rows]
for empty, timer in pairs:
    empty.timeit(200)
    timer.timeit(200)
for empty, timer in pairs:
    os.getppid()
    empty.timeit(loops)
    os.getppid()
    timer.timeit(loops)
os.getppid()
"""

IDENTIFY = r"""
import json, platform, tq_pyo3
print(json.dumps({"interpreter": f"{platform.python_implementation()} {platform.python_version()} "
                  f"({platform.python_compiler()})", "machine": platform.machine(), "module": tq_pyo3.__file__}))
"""


def callgrind_parts(python: str, rows: list[tuple[str, str]], loops: int) -> dict[int, int]:
    """Instructions of each part of one callgrind run of PROBE over (statement, setup) rows, by part number (part 1
    is the start-up)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VALGRIND"))}
        env["PYTHONHASHSEED"] = "0"
        proc = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--dump-before=getppid",
                f"--callgrind-out-file={out}",
                python,
                "-c",
                PROBE,
                json.dumps(rows),
                str(loops),
            ],
            capture_output=True,
            text=True,
            env=env,
        )
        if proc.returncode != 0:
            raise SystemExit(f"bench-ir: the callgrind run failed:\n{proc.stderr[-3000:]}")
        parts = {}
        for path in Path(tmp).iterdir():
            part = total = None
            with path.open() as f:
                for line in f:
                    if line.startswith("part:"):
                        part = int(line.split()[1])
                    elif line.startswith("totals:"):
                        total = int(line.split()[1])
                        break
            if part is not None and total is not None:
                parts[part] = total
        return parts


def build_compiler(module: str) -> str:
    """The compiler named in the module's .comment section (the one that built it, and its C++ runtime)."""
    try:
        data = Path(module).read_bytes()
    except OSError:
        return "unknown"
    names = sorted({m.decode() for m in re.findall(rb"(?:GCC: |clang version )[^\x00]{3,120}", data)})
    return "; ".join(names) or "unknown"


def identify(python: str) -> dict:
    proc = subprocess.run([python, "-c", IDENTIFY], capture_output=True, text=True, check=True)
    info = json.loads(proc.stdout)
    info["compiler"] = build_compiler(info.pop("module"))
    return info


def all_rows() -> list[tuple[str, str, str, str]]:
    """(key, label, statement, setup) of every row: bench/run.py's, then IR_ROWS."""
    setup = SETUP["tq_pyo3"]
    return [(key, label, stmts["tq_pyo3"], setup) for key, label, _target, stmts in OPERATIONS] + [
        (key, label, stmt, setup + extra + "\n") for key, label, stmt, extra in IR_ROWS
    ]


def measure(python: str, loops: int, only: list[str] | None) -> dict[str, float]:
    rows = [(key, stmt, setup) for key, _label, stmt, setup in all_rows() if not only or key in only]
    if only and len(rows) != len(set(only)):
        raise SystemExit(f"bench-ir: unknown rows among {only}")
    parts = callgrind_parts(python, [(stmt, setup) for _key, stmt, setup in rows], loops)
    counts = {}
    for i, (key, _stmt, _setup) in enumerate(rows):
        # The dump at the (j+1)-th getppid call closes part j+1; row i's empty loop is part 2i+2, its loop 2i+3.
        counts[key] = round((parts[2 * i + 3] - parts[2 * i + 2]) / loops, 1)
        print(f"  {key:<12} {counts[key]:>9.1f}", flush=True)
    return counts


def committed_baseline(path: Path) -> dict | None:
    """The baseline as committed at HEAD; the file itself outside a git checkout."""
    try:
        rel = path.resolve().relative_to(ROOT)
        proc = subprocess.run(
            ["git", "-C", str(ROOT), "show", f"HEAD:{rel.as_posix()}"], capture_output=True, text=True
        )
        if proc.returncode == 0:
            return json.loads(proc.stdout)
        inside = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--git-dir"], capture_output=True).returncode
        if inside == 0:
            return None  # a checkout whose HEAD has no baseline yet
    except ValueError:
        pass
    return json.loads(path.read_text()) if path.exists() else None


def compare(run: dict, base: dict) -> tuple[list[str], int]:
    for field in ("interpreter", "compiler", "machine"):
        if run[field] != base.get(field):
            return [f"not compared: the baseline counts {field} {base.get(field)!r}, this run {run[field]!r}"], 2
    lines = ["| operation | baseline | now | change |", "|---|---:|---:|---:|"]
    worst = 0
    for key, now in run["counts"].items():
        before = base["counts"].get(key)
        if before is None:
            lines.append(f"| {key} | – | {now:,.1f} | new |")
            continue
        change = (now - before) / before
        flag = " ✗" if change > TOLERANCE else ""
        worst = max(worst, 1 if change > TOLERANCE else 0)
        lines.append(f"| {key} | {before:,.1f} | {now:,.1f} | {change:+.1%}{flag} |")
    return lines, worst


def write_results(run: dict, out: Path, labels: dict[str, str]) -> None:
    out.mkdir(parents=True, exist_ok=True)
    (out / "ir.json").write_text(json.dumps(run, indent=1) + "\n", encoding="utf-8")
    md = [
        "<!-- written by bench/ir.py -->",
        f"Instructions per operation (callgrind, PYTHONHASHSEED=0, a loop of {run['loops']:,} minus the empty "
        f"loop). {run['interpreter']} on {run['machine']}; module built by {run['compiler']}.",
        "",
        "| operation | instructions |",
        "|---|---:|",
    ]
    md += [f"| {labels[k]} | {v:,.1f} |" for k, v in run["counts"].items()]
    (out / "ir.md").write_text("\n".join(md) + "\n", encoding="utf-8")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--python", default=sys.executable, help="interpreter with tq_pyo3 installed (default: this one)")
    ap.add_argument("--loops", type=int, default=50_000, help="passes of each loop (default 50,000)")
    ap.add_argument("--out", type=Path, default=ROOT / "bench" / "results", help="output folder")
    ap.add_argument("--baseline", type=Path, default=BASELINE, help="baseline file (default bench/ir-baseline.json)")
    ap.add_argument("--update", action="store_true", help="rewrite the baseline with this run's counts")
    ap.add_argument("--rows", nargs="+", metavar="KEY", help="count these rows only")
    args = ap.parse_args()

    run = identify(args.python)
    print(f"bench-ir: {run['interpreter']}, module built by {run['compiler']}, {args.loops:,} passes", flush=True)
    run["loops"] = args.loops
    run["counts"] = measure(args.python, args.loops, args.rows)
    labels = {key: label for key, label, *_ in all_rows()}
    write_results(run, args.out, labels)
    if args.update:
        args.baseline.write_text(json.dumps(run, indent=1) + "\n", encoding="utf-8")
        print(f"bench-ir: wrote {args.baseline}; commit it with the reason for the new counts in the message")
        return 0
    base = committed_baseline(args.baseline)
    if base is None:
        print(f"bench-ir: no committed baseline at {args.baseline}; write one with --update")
        return 2
    lines, status = compare(run, base)
    print("\n".join(lines))
    if status == 1:
        print(
            f"bench-ir: an operation grew by more than {TOLERANCE:.0%}; if that is meant, rewrite the baseline "
            "(make bench-ir-baseline) and give the reason in the message of the same commit"
        )
    return status


if __name__ == "__main__":
    sys.exit(main())
