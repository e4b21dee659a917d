"""Speed: the benchmarks beside floats and the peers, and the instruction counts that gate every change."""

from __future__ import annotations

import os

from check_table import check
from interpreters import ready, venv_env
from steps import Failed, extra, work

# Construction goes through the type's vectorcall slot from CPython 3.14 on, a path this machine's interpreter never
# runs; its rows are counted in the Debian sid root too, against a baseline of their own.
SID_ROWS = ("new_km", "new_km_kw", "new_newton")
SID_BASELINE = "bench/ir-baseline-3.14.json"


def counts(tree, update: bool):
    host = venv_env("bench-ir")
    host.install_from_source(tree)
    # a check leaves the tree as it found it: its counts go to its own folder; a new baseline and its tables to
    # bench/ (committed with it)
    update_args = ["--update"] if update else []
    args = update_args or ["--out", work(tree) / "host"]
    status = host.python(
        tree / "bench" / "ir.py", *args, *os.environ.get("BENCH_IR_ARGS", "").split(), cwd=tree, check=False
    ).returncode
    sid = ready("sid-3.14")
    sid.install_from_source(tree)
    status = max(
        status,
        sid.python(
            tree / "bench" / "ir.py",
            "--rows",
            *SID_ROWS,
            "--baseline",
            tree / SID_BASELINE,
            "--out",
            work(tree) / "sid",
            *update_args,
            cwd=tree,
            check=False,
        ).returncode,
    )
    if status:
        raise Failed(
            "instruction counts: %s"
            % (
                "an operation grew by more than 5%"
                if status == 1
                else "nothing comparable (another interpreter or compiler)"
            )
        )


@check(
    "bench-ir",
    "speed",
    "instructions per operation (callgrind) against the committed baselines: every row on "
    "this machine's CPython, and construction on Debian sid's 3.14 (the vectorcall path); more than 5% growth "
    "fails",
    "1 min (4 more to make the sid root once)",
    ci=True,
    needs=("root", "debian", "network"),
    uses=("sid-root", "host-python"),
    apt=("valgrind",),
)
def bench_ir(tree):
    counts(tree, False)


@check(
    "bench-ir-baseline",
    "speed",
    "count and rewrite both baselines; commit them with the reason in the message",
    "3 min",
    needs=("root", "debian", "network"),
    uses=("sid-root",),
    apt=("valgrind",),
)
def bench_ir_baseline(tree):
    counts(tree, True)


@check(
    "bench",
    "speed",
    "nanoseconds per operation beside floats and the peer unit libraries (pint, astropy, unyt), "
    "each in a process of its own: bench/results/; then bench-threads",
    "10 min",
    needs=("network",),
    uses=("ft-python",),
)
def bench(tree):
    env = venv_env("bench", extra=extra("bench"), tools=False)
    env.install_from_source(tree)
    env.python(tree / "bench" / "run.py", *os.environ.get("BENCH_ARGS", "").split(), cwd=tree)
    from checks.threads import bench_threads

    bench_threads(tree)
