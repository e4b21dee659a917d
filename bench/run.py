"""Scalar speed of tq_pyo3 beside plain floats and the peer unit libraries.

    python bench/run.py [--repeat N] [--target-ms MS] [--out DIR]

Every library runs in a process of its own (this script started again with --worker NAME), so no library's
imports, caches or garbage disturb another's timings. Each operation is timed with timeit: the statement runs
in a loop sized to take about --target-ms per pass, --repeat passes are made, and the fastest pass counts
(slower passes measure other load on the machine, not the statement). Operands are local variables of the
timing function, so no global or attribute lookup is timed.

Writes DIR/results.md (a Markdown table: ns per operation, our ratio to float, each peer's ratio to us, and the
parse timings of long unit expressions) and DIR/bench.png (a log-scale bar chart). A peer that is not installed
or fails to import is skipped and named in both.
"""

from __future__ import annotations

import argparse
import json
import platform
import subprocess
import sys
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
LIBRARIES = ["float", "tq_pyo3", "pint", "astropy", "unyt"]
PEERS = ["pint", "astropy", "unyt"]

# (key, label, target ratio to float or None, statement per library). Each library's statements run against
# the locals its SETUP defines: a = 5 km (or 5.0), b = 3 km, s = 1 s, g = 0.5 rad, n = 5.0, k = 1000.0, ...
OPERATIONS = [
    (
        "new_km",
        'construct from "km"',
        10.0,
        {
            "float": "n * k",
            "tq_pyo3": 'T(n, "km")',
            "pint": 'Q(n, "km")',
            "astropy": 'Q(n, "km")',
            "unyt": 'Q(n, "km")',
        },
    ),
    (
        "new_km_kw",
        'construct by keyword',
        None,
        {
            "float": "n * k",
            "tq_pyo3": 'T(value=n, unit="km")',
            "pint": 'Q(value=n, units="km")',
            "astropy": 'Q(value=n, unit="km")',
            "unyt": 'Q(n, units="km")',
        },
    ),
    (
        "new_newton",
        'construct from "kg-m/s^2"',
        None,
        {
            "float": "n * one",
            "tq_pyo3": 'T(n, "kg-m/s^2")',
            "pint": 'Q(n, "kg*m/s**2")',
            "astropy": 'Q(n, "kg m / s2")',
            "unyt": 'Q(n, "kg*m/s**2")',
        },
    ),
    (
        "value_in",
        '`value_in("mi")`',
        10.0,
        {
            "float": "x / mile",
            "tq_pyo3": 'a.value_in("mi")',
            "pint": 'a.m_as("mi")',
            "astropy": 'a.to_value("mi")',
            "unyt": 'a.to_value("mile")',
        },
    ),
    ("add", "`a + b`", 2.0, {lib: "a + b" for lib in LIBRARIES}),
    ("sub", "`a - b`", 2.0, {lib: "a - b" for lib in LIBRARIES}),
    ("mul", "`a * b`", 2.0, {lib: "a * b" for lib in LIBRARIES}),
    ("mul_float", "`a * 2.0`", 2.0, {lib: "a * 2.0" for lib in LIBRARIES}),
    ("div", "`a / b`", 2.0, {lib: "a / b" for lib in LIBRARIES}),
    ("pow", "`a ** 2`", 2.0, {lib: "a ** 2" for lib in LIBRARIES}),
    ("neg", "`-a`", 2.0, {lib: "-a" for lib in LIBRARIES}),
    ("lt", "`a < b`", 1.5, {lib: "a < b" for lib in LIBRARIES}),
    ("eq", "`a == b`", 1.5, {lib: "a == b" for lib in LIBRARIES}),
    ("str", "`str(a)`", 2.0, {lib: "str(a)" for lib in LIBRARIES}),
    ("repr", "`repr(a)`", None, {lib: "repr(a)" for lib in LIBRARIES}),
    (
        "sqrt",
        "sqrt",
        2.5,
        {
            "float": "sqrt(x)",
            "tq_pyo3": "a.sqrt()",
            "pint": "np.sqrt(a)",
            "astropy": "np.sqrt(a)",
            "unyt": "np.sqrt(a)",
        },
    ),
    (
        "sin",
        "sin of an angle",
        2.5,
        {"float": "sin(y)", "tq_pyo3": "g.sin()", "pint": "np.sin(g)", "astropy": "np.sin(g)", "unyt": "np.sin(g)"},
    ),
    ("fail", "`m + s`, error caught", 2.0, {lib: "try:\n    a + s\nexcept Exception:\n    pass" for lib in LIBRARIES}),
]

# What each float row stands for.
FLOAT_NOTES = {
    "new_km": "`5.0 * 1000.0` (operands in variables)",
    "new_km_kw": "`5.0 * 1000.0`",
    "new_newton": "`5.0 * 1.0`",
    "value_in": "`5000.0 / 1609.344`",
    "mul": "`x * y`",
    "sqrt": "`math.sqrt(x)`",
    "sin": "`math.sin(x)`",
    "fail": 'caught `TypeError` of `2.0 + "s"`',
}

SETUP = {
    "float": """
from math import sqrt, sin
n = 5.0; k = 1000.0; one = 1.0; mile = 1609.344
a = 5000.0; b = 3000.0; x = 5000.0; y = 0.5; s = "s"
""",
    "tq_pyo3": """
from tq_pyo3 import Telquant as T
n = 5.0
a = T(5.0, "km"); b = T(3.0, "km"); s = T(1.0, "s"); g = T(0.5, "rad")
""",
    "pint": """
import numpy as np, pint
ureg = pint.UnitRegistry(); Q = ureg.Quantity
n = 5.0
a = Q(5.0, "km"); b = Q(3.0, "km"); s = Q(1.0, "s"); g = Q(0.5, "rad")
""",
    "astropy": """
import numpy as np, astropy.units as u
u.imperial.enable()
Q = u.Quantity
n = 5.0
a = Q(5.0, "km"); b = Q(3.0, "km"); s = Q(1.0, "s"); g = Q(0.5, "rad")
""",
    "unyt": """
import numpy as np
from unyt import unyt_quantity as Q
n = 5.0
a = Q(5.0, "km"); b = Q(3.0, "km"); s = Q(1.0, "s"); g = Q(0.5, "rad")
""",
}


def time_statement(stmt: str, setup: str, repeat: int, target_s: float) -> float:
    """Fastest time of one execution of `stmt`, in nanoseconds."""
    timer = timeit.Timer(stmt, setup=setup)
    number = 1
    while True:  # size the loop so that one pass takes about target_s
        elapsed = timer.timeit(number)
        if elapsed >= target_s / 4 or number >= 10_000_000:
            break
        number *= 4
    number = max(1, int(number * target_s / max(elapsed, 1e-9)))
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def parse_scaling(repeat: int) -> list[dict]:
    """Time T(1.0, expr) for unit expressions of growing length: the cost per token stays flat."""
    from tq_pyo3 import Telquant

    tokens = ["km", "s^-1", "kg", "m^2", "(mol)", "cd", "K", "A^-2"]
    rows = []
    for count in (1_000, 10_000, 100_000, 1_000_000):
        numerator = "-".join(tokens[i % len(tokens)] for i in range(count))
        expr = numerator + "/hr"  # count + 1 tokens, one "/"
        best = min(timeit.repeat(lambda expr=expr: Telquant(1.0, expr), number=1, repeat=max(3, repeat // 5)))
        rows.append(
            {"tokens": count + 1, "bytes": len(expr), "ms": best * 1e3, "ns_per_token": best * 1e9 / (count + 1)}
        )
    return rows


def worker(lib: str, repeat: int, target_s: float) -> dict:
    setup = SETUP[lib]
    exec(setup, {})  # import errors surface here, once
    version = platform.python_version() if lib == "float" else _version(lib)
    results = {}
    for key, _label, _target, stmts in OPERATIONS:
        stmt = stmts[lib]
        try:
            exec(setup + "\n" + stmt, {})
        except Exception as exc:  # an operation the library does not support is left blank
            results[key] = {"error": f"{type(exc).__name__}: {exc}"}
            continue
        results[key] = {"ns": time_statement(stmt, setup, repeat, target_s)}
    out = {"lib": lib, "version": version, "results": results}
    if lib == "tq_pyo3":
        out["parse"] = parse_scaling(repeat)
    return out


def _version(lib: str) -> str:
    from importlib.metadata import version

    try:
        return version({"tq_pyo3": "tq_pyo3", "pint": "Pint"}.get(lib, lib))
    except Exception:
        return "?"


def run_worker(lib: str, args) -> dict:
    cmd = [
        sys.executable,
        str(Path(__file__).resolve()),
        "--worker",
        lib,
        "--repeat",
        str(args.repeat),
        "--target-ms",
        str(args.target_ms),
    ]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        lines = (proc.stderr or proc.stdout).strip().splitlines()
        return {"lib": lib, "skipped": lines[-1] if lines else f"exit status {proc.returncode}"}
    return json.loads(proc.stdout)


# ---- report -------------------------------------------------------------------------------------------------


def fmt_ns(ns: float | None) -> str:
    if ns is None:
        return "–"
    return f"{ns:,.0f}" if ns >= 100 else f"{ns:.1f}"


def ns_of(data: dict, key: str) -> float | None:
    return data.get("results", {}).get(key, {}).get("ns")


def table(runs: dict) -> tuple[list[str], list[tuple[str, float, float, bool]]]:
    peers = [p for p in PEERS if "results" in runs.get(p, {})]
    head = (
        ["operation", "float ns", "tq_pyo3 ns", "tq / float", "target"]
        + [f"{p} ns" for p in peers]
        + [f"{p} / tq" for p in peers]
    )
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---:" if i else "---" for i in range(len(head))) + "|"]
    verdicts = []
    for key, label, target, _ in OPERATIONS:
        f, t = ns_of(runs["float"], key), ns_of(runs["tq_pyo3"], key)
        ratio = t / f if f and t else None
        if target is None:
            target_cell = ""
        else:
            met = ratio is not None and ratio <= target
            verdicts.append((label, ratio, target, met))
            target_cell = f"≤ {target:g}× {'✓' if met else '✗'}"
        cells = [label, fmt_ns(f), fmt_ns(t), f"{ratio:.2f}" if ratio else "–", target_cell]
        cells += [fmt_ns(ns_of(runs[p], key)) for p in peers]
        for p in peers:
            pn = ns_of(runs[p], key)
            cells.append(f"{pn / t:,.0f}" if pn and t and pn / t >= 10 else (f"{pn / t:.1f}" if pn and t else "–"))
        lines.append("| " + " | ".join(cells) + " |")
    return lines, verdicts


def write_markdown(runs: dict, out: Path) -> str:
    lines, _ = table(runs)
    peers_ok = [p for p in PEERS if "results" in runs.get(p, {})]
    skipped = [(p, runs[p]["skipped"]) for p in PEERS if "skipped" in runs.get(p, {})]
    md = [
        "<!-- written by bench/run.py -->",
        f"Python {runs['float']['version']} on {platform.machine()}, {_cpu_name()}; "
        f"tq_pyo3 {runs['tq_pyo3'].get('version', '?')}"
        + "".join(f", {p} {runs[p]['version']}" for p in peers_ok)
        + ". Nanoseconds per operation, the fastest of the timed passes; one process per library. "
        "`tq / float` is our time over the equivalent float expression; `<peer> / tq` is how many times "
        "longer the peer takes than we do.",
        "",
        *lines,
        "",
        "Float rows: "
        + "; ".join(f"{label}: {FLOAT_NOTES[k]}" for k, label, *_ in OPERATIONS if k in FLOAT_NOTES)
        + "; the others are the same expression on floats.",
    ]
    if skipped:
        md += ["", "Skipped peers: " + "; ".join(f"{p} ({why})" for p, why in skipped) + "."]
    errors = [
        (p, k, d["error"])
        for p in LIBRARIES
        if "results" in runs.get(p, {})
        for k, d in runs[p]["results"].items()
        if "error" in d
    ]
    if errors:
        md += ["", "Not supported: " + "; ".join(f"{p} `{k}` ({e})" for p, k, e in errors) + "."]
    slower = [
        (p, label)
        for p in peers_ok
        for key, label, *_ in OPERATIONS
        if ns_of(runs[p], key) is not None
        and ns_of(runs["tq_pyo3"], key) is not None
        and ns_of(runs[p], key) < ns_of(runs["tq_pyo3"], key)
    ]
    md += [
        "",
        "No peer is faster than tq_pyo3 on any operation."
        if not slower
        else "Peers faster than tq_pyo3: " + "; ".join(f"{p} on {label}" for p, label in slower) + ".",
    ]
    parse = runs["tq_pyo3"].get("parse")
    if parse:
        md += [
            "",
            "Parsing long unit expressions (`Telquant(1.0, expr)`, tokens such as `km`, `s^-1`, `(mol)` "
            "joined by `-`, then `/hr`):",
            "",
            "| tokens | bytes | ms | ns per token |",
            "|---:|---:|---:|---:|",
        ]
        md += [f"| {r['tokens']:,} | {r['bytes']:,} | {r['ms']:.2f} | {r['ns_per_token']:.1f} |" for r in parse]
    text = "\n".join(md) + "\n"
    (out / "results.md").write_text(text, encoding="utf-8")
    return text


def _cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def write_chart(runs: dict, out: Path) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as exc:
        return f"no chart: {exc}"
    libs = [lib for lib in LIBRARIES if "results" in runs.get(lib, {})]
    colors = {"float": "#9e9e9e", "tq_pyo3": "#d62728", "pint": "#1f77b4", "astropy": "#ff7f0e", "unyt": "#2ca02c"}
    fig, ax = plt.subplots(figsize=(14, 5.5))
    width = 0.8 / len(libs)
    for i, lib in enumerate(libs):
        xs, ys = [], []
        for j, (key, *_rest) in enumerate(OPERATIONS):
            ns = ns_of(runs[lib], key)
            if ns is not None:
                xs.append(j + (i - (len(libs) - 1) / 2) * width)
                ys.append(ns)
        ax.bar(xs, ys, width=width, label=lib, color=colors.get(lib))
    ax.set_yscale("log")
    ax.set_ylabel("ns per operation (log scale)")
    ax.set_xticks(range(len(OPERATIONS)))
    ax.set_xticklabels([label.replace("`", "") for _k, label, *_ in OPERATIONS], rotation=35, ha="right", fontsize=8)
    ax.grid(axis="y", which="both", alpha=0.3)
    ax.legend(ncol=len(libs), loc="upper center", bbox_to_anchor=(0.5, 1.12), frameon=False)
    ax.set_title("Scalar operations: plain float, tq_pyo3 and peer unit libraries", pad=30)
    fig.tight_layout()
    fig.savefig(out / "bench.png", dpi=110)
    plt.close(fig)
    return None


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--worker", choices=LIBRARIES, help=argparse.SUPPRESS)
    ap.add_argument("--repeat", type=int, default=25, help="timed passes per operation (default 25)")
    ap.add_argument("--target-ms", type=float, default=10.0, help="length of one pass in ms (default 10)")
    ap.add_argument("--out", type=Path, default=HERE / "results", help="output folder (default bench/results)")
    args = ap.parse_args()
    if args.worker:
        json.dump(worker(args.worker, args.repeat, args.target_ms / 1e3), sys.stdout)
        return 0

    runs = {}
    for lib in LIBRARIES:
        print(f"timing {lib} ...", flush=True)
        runs[lib] = run_worker(lib, args)
        if "skipped" in runs[lib]:
            print(f"  skipped {lib}: {runs[lib]['skipped']}", flush=True)
    for lib in ("float", "tq_pyo3"):
        if "results" not in runs[lib]:
            print(f"cannot run without {lib}: {runs[lib]['skipped']}", file=sys.stderr)
            return 1
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "raw.json").write_text(json.dumps(runs, indent=1) + "\n", encoding="utf-8")
    print(write_markdown(runs, args.out))
    problem = write_chart(runs, args.out)
    print(problem or f"wrote {args.out / 'results.md'} and {args.out / 'bench.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
