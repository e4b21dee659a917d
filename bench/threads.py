"""Throughput of the arithmetic mix in parallel, on a free-threaded interpreter: tq_pyo3 beside plain floats.

    python bench/threads.py [--repeat N] [--seconds S] [--out DIR]

The mix is the arithmetic and comparison rows of bench/run.py (the same statements), run in a loop by 1 and by 2
threads released together by a barrier: on private operands (each thread makes its own pair) and on one shared
pair (made by the main thread, used by every thread). Throughput is operations per second summed over the
threads, from the barrier's release to the last thread's end. The configurations take turns --repeat times and
the best pass of each counts (slower passes measure other load on the machine). The GIL must be off.

Writes DIR/threads.md (the table) and DIR/threads.json.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import threading
import time
from pathlib import Path

from run import OPERATIONS, _cpu_name

HERE = Path(__file__).resolve().parent
MIX = ["add", "sub", "mul", "mul_float", "div", "pow", "neg", "lt", "eq"]
STATEMENTS = {lib: [stmts[lib] for key, _label, _target, stmts in OPERATIONS if key in MIX]
              for lib in ("float", "tq_pyo3")}
LABELS = [label for key, label, *_ in OPERATIONS if key in MIX]


def operands(lib: str):
    """A fresh pair, the values of bench/run.py's a and b. Floats are made at run time: a float written in the
    source is a constant of the code object, which the free-threaded interpreter makes immortal (no reference
    counting at all), unlike any float a program computes."""
    if lib == "float":
        return float("5000"), float("3000")
    from tq_pyo3 import Telquant

    return Telquant(5.0, "km"), Telquant(3.0, "km")


def mix_function(lib: str):
    body = "".join(f"        {stmt}\n" for stmt in STATEMENTS[lib])
    namespace: dict = {}
    exec(f"def mix(a, b, rounds):\n    for _ in range(rounds):\n{body}", namespace)
    return namespace["mix"]


def throughput(lib: str, threads: int, shared: bool, rounds: int) -> float:
    """Operations per second of `threads` threads running the mix `rounds` times each."""
    mix, pair = mix_function(lib), operands(lib) if shared else None
    start = threading.Barrier(threads + 1)

    def work():
        a, b = pair if shared else operands(lib)
        start.wait()
        mix(a, b, rounds)

    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in pool:
        t.join()
    return threads * rounds * len(MIX) / (time.perf_counter() - t0)


def measure(repeat: int, seconds: float) -> dict:
    configs = [(lib, shared, threads) for lib in ("float", "tq_pyo3") for shared in (False, True) for threads in (1, 2)]
    # rounds per configuration such that one thread alone takes about `seconds`
    rounds = {lib: max(1, int(seconds * throughput(lib, 1, False, 20_000) / len(MIX))) for lib in ("float", "tq_pyo3")}
    best = {c: 0.0 for c in configs}
    for _ in range(repeat):
        for c in configs:
            lib, shared, threads = c
            best[c] = max(best[c], throughput(lib, threads, shared, rounds[lib]))
    return {"rows": [{"lib": lib, "shared": shared, "threads": threads, "ops_per_s": best[(lib, shared, threads)]}
                     for lib, shared, threads in configs], "rounds": rounds}


def write_markdown(data: dict, out: Path) -> str:
    ops = {(r["lib"], r["shared"], r["threads"]): r["ops_per_s"] for r in data["rows"]}
    md = [
        "<!-- written by bench/threads.py -->",
        f"{data['python']} (GIL off) on {platform.machine()}, {_cpu_name()}, {data['cpus']} cores; "
        f"tq_pyo3 {data['version']}. The mix: " + ", ".join(LABELS) + ", in a loop; million operations per "
        f"second summed over the threads, the best of {data['repeat']} interleaved passes of about "
        f"{data['seconds']:g} s.",
        "",
        "| operands | float, 1 thread | float, 2 threads | float 2/1 | tq_pyo3, 1 thread | tq_pyo3, 2 threads "
        "| tq_pyo3 2/1 |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for shared, name in ((False, "private (a pair per thread)"), (True, "one shared pair")):
        cells = [name]
        for lib in ("float", "tq_pyo3"):
            one, two = ops[(lib, shared, 1)], ops[(lib, shared, 2)]
            cells += [f"{one / 1e6:.1f}", f"{two / 1e6:.1f}", f"{two / one:.2f}×"]
        md.append("| " + " | ".join(cells) + " |")
    ratio = ops[("tq_pyo3", False, 2)] / ops[("tq_pyo3", False, 1)]
    md += ["", f"2 threads on private operands: {ratio:.2f}× one thread "
           f"(goal ≥ 1.8×: {'met' if ratio >= 1.8 else 'not met'})."]
    text = "\n".join(md) + "\n"
    (out / "threads.md").write_text(text, encoding="utf-8")
    return text


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7, help="interleaved passes per configuration (default 7)")
    ap.add_argument("--seconds", type=float, default=0.5, help="length of a one-thread pass in s (default 0.5)")
    ap.add_argument("--out", type=Path, default=HERE / "results", help="output folder (default bench/results)")
    args = ap.parse_args()
    import tq_pyo3
    from importlib.metadata import version

    if getattr(sys, "_is_gil_enabled", lambda: True)():
        print("bench/threads.py needs a free-threaded interpreter with the GIL off", file=sys.stderr)
        return 1
    data = measure(args.repeat, args.seconds)
    data.update(python=f"CPython {platform.python_version()}{sys.abiflags}", cpus=len(os.sched_getaffinity(0)),
                version=version("tq_pyo3"), repeat=args.repeat, seconds=args.seconds, module=tq_pyo3.__file__)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "threads.json").write_text(json.dumps(data, indent=1) + "\n", encoding="utf-8")
    print(write_markdown(data, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
