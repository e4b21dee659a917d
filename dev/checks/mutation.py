"""Mutants made by a tool: universalmutator writes every mutant of each line of core/src and src by its C++ rules; a
seeded random sample of them runs against the suite, on every core at once, each worker in a copy of the tree of
its own. A mutant whose module is byte for byte the original's is equivalent (the compiler made the same code of
it) and is dropped before any test runs; so is one that does not compile. The score is the share of the other
mutants that the suite kills; every survivor is printed, unless dev/equivalent_mutants.py says why it is
equivalent.

    make mutation                   a sample of 300 with a fresh seed (printed; SEED=... repeats a run)
    make mutation FILES="core/src/parse.cpp src/frame.cpp" SAMPLE=100   the files a change touches
"""

from __future__ import annotations

import hashlib
import os
import random
import shutil
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from check_table import check
from interpreters import venv_env
from steps import BUILD, Failed, lock, output, run, say, tools

from checks.faults import copy_tree

SUITE_TIMEOUT = 600
FLOOR_KILLED = 95  # per cent of the sampled mutants that are not equivalent
SOURCES = ("core/src", "src")


@dataclass
class Mutant:
    path: str  # relative to the tree
    line: int  # 1-based
    original: str
    mutated: str
    text: str  # the whole mutated file

    def name(self) -> str:
        return "%s:%d: %s  ->  %s" % (self.path, self.line, self.original.strip(), self.mutated.strip())


def source_files(tree, files: str) -> list[str]:
    if files:
        return files.split()
    return sorted(
        str(p.relative_to(tree)) for d in SOURCES for p in (tree / d).iterdir() if p.suffix in (".cpp", ".hpp")
    )


def mutants_of(tree, path: str, tool: Path) -> list[Mutant]:
    """Every mutant universalmutator makes of one file (made once for each version of the file)."""
    source = (tree / path).read_text()
    out = BUILD / "mutation" / "mutants" / hashlib.sha256((path + source).encode()).hexdigest()[:16]
    if not (out / ".done").exists():
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        run([tool, tree / path, "cpp", "--noCheck", "--mutantDir", out], capture=True)
        (out / ".done").touch()
    lines, found = source.splitlines(), []
    for file in sorted(out.glob("*.mutant.*"), key=lambda p: int(p.name.split(".")[-2])):
        text = file.read_text()
        changed = [i for i, (a, b) in enumerate(zip(lines, text.splitlines())) if a != b]
        if len(changed) == 1 and len(text.splitlines()) == len(lines):
            i = changed[0]
            found.append(Mutant(path, i + 1, lines[i], text.splitlines()[i], text))
    return found


def known_equivalents(tree) -> dict[tuple, str]:
    sys.path.insert(0, str(tree / "dev"))
    import equivalent_mutants

    return {(e.path, e.original.strip(), e.mutated.strip()): e.why for e in equivalent_mutants.EQUIVALENT}


class Worker:
    """A copy of the tree with its own build folder: the module built from it, a mutant planted, built again."""

    def __init__(self, number: int, python: Path, bin_: dict):
        self.base = BUILD / "mutation" / ("worker-%d" % number)
        self.tree, self.python, self.cmake = self.base / "tree", python, bin_["cmake"]
        copy_tree(self.tree)
        self.build = self.base / "build"
        run(
            [
                bin_["cmake"],
                "-S",
                self.tree,
                "-B",
                self.build,
                "-G",
                "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
                "-DCMAKE_MAKE_PROGRAM=%s" % bin_["ninja"],
                "-DPython_EXECUTABLE=%s" % python,
            ],
            log=self.base / "configure.log",
        )
        self.original = self.module()
        import json

        self.commands = {
            Path(c["file"]).relative_to(self.tree).as_posix(): c["command"]
            for c in json.loads((self.build / "compile_commands.json").read_text())
        }

    def compiles(self, path: str) -> bool:
        """Whether the planted file still compiles, checked without making code (most mutants that fail, fail
        here, in a fraction of a build's time): the file itself, or for a header a source that includes it."""
        sources = (
            [path]
            if path in self.commands
            else [s for s in sorted(self.commands) if Path(path).name in (self.tree / s).read_text()]
        )
        for source in sources[:1]:
            done = subprocess.run(
                self.commands[source] + " -fsyntax-only", shell=True, cwd=self.build, capture_output=True
            )
            if done.returncode:
                return False
        return True

    def module(self) -> bytes | None:
        done = subprocess.run([self.cmake, "--build", self.build], capture_output=True, text=True)
        if done.returncode:
            return None
        return next(self.build.glob("tq_pyo3*.so")).read_bytes()

    def try_mutant(self, mutant: Mutant) -> tuple[str, str]:
        """("invalid" | "equivalent" | "killed" | "survived", detail)."""
        target = self.tree / mutant.path
        original = target.read_text()
        target.write_text(mutant.text)
        try:
            if not self.compiles(mutant.path):
                return "invalid", "does not compile"
            built = self.module()
            if built is None:
                return "invalid", "does not compile"
            if built == self.original:
                return "equivalent", "the same module"
            return self.suite()
        finally:
            target.write_text(original)
            os.utime(target)

    def suite(self) -> tuple[str, str]:
        tests = sorted(str(p.relative_to(self.tree)) for p in (self.tree / "tests").glob("test_*.py"))
        tests.remove("tests/test_model.py")  # the model's stream first: it kills most mutants in seconds
        try:
            done = subprocess.run(
                [
                    self.python,
                    "-m",
                    "pytest",
                    "-x",
                    "-q",
                    "-p",
                    "no:cacheprovider",
                    "--hypothesis-seed=0",
                    "tests/test_model.py",
                    *tests,
                ],
                cwd=self.tree,
                capture_output=True,
                text=True,
                timeout=SUITE_TIMEOUT,
                env=dict(os.environ, PYTHONPATH=str(self.build), PYTHONDONTWRITEBYTECODE="1"),
            )
        except subprocess.TimeoutExpired:
            return "killed", "a hang (no end in %d s)" % SUITE_TIMEOUT
        if done.returncode == 0:
            return "survived", ""
        failed = [line for line in done.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
        return "killed", (failed[0] if failed else "exit %d" % done.returncode)[:150]


@check(
    "mutation",
    "faults",
    "mutants of every line of core/src and src made by universalmutator: a seeded random "
    "sample (SAMPLE, default 300; SEED, default a fresh one) against the suite on every core, mutants that compile "
    "to the original module dropped; the score and every survivor not written down in "
    "dev/equivalent_mutants.py (FILES=... samples those files)",
    "40 min",
    needs=("network",),
)
def mutation(tree, slots: int = 1):
    sample = int(os.environ.get("SAMPLE", 300))
    seed = int(os.environ.get("SEED") or int.from_bytes(os.urandom(4), "big"))
    with lock("tools-mutation"):
        tool = tools("mutation") / "mutate"
    env = venv_env("mutation")
    python = Path(env.argv[0])
    everything = [m for path in source_files(tree, os.environ.get("FILES", "")) for m in mutants_of(tree, path, tool)]
    known = known_equivalents(tree)
    candidates = [m for m in everything if (m.path, m.original.strip(), m.mutated.strip()) not in known]
    random.Random(seed).shuffle(candidates)
    say(
        "== %d mutants of %d lines; %d written down as equivalent; seed %d, sample %d"
        % (
            len(everything),
            len({(m.path, m.line) for m in everything}),
            len(everything) - len(candidates),
            seed,
            sample,
        )
    )
    jobs = max(1, slots)
    # the build backend's cmake and ninja, in the shared environment this check's own one reads
    found = output(
        [
            python,
            "-c",
            "import cmake, ninja, pathlib; print(cmake.CMAKE_BIN_DIR); "
            "print(pathlib.Path(ninja.__file__).parents[4] / 'bin')",
        ]
    ).splitlines()
    bin_ = {"cmake": Path(found[0]) / "cmake", "ninja": Path(found[1]) / "ninja"}
    workers = [Worker(i, python, bin_) for i in range(jobs)]
    results: dict[int, tuple[str, str]] = {}
    guard, start = threading.Lock(), time.monotonic()
    position = [0]

    def enough() -> bool:  # the first `sample` mutants of the shuffled order that compile and differ are all done
        counted = 0
        for i in range(len(candidates)):
            if i not in results:
                return False
            counted += results[i][0] in ("killed", "survived")
            if counted == sample:
                return True
        return True

    def work(worker: Worker):
        while True:
            with guard:
                if enough() or position[0] >= len(candidates):
                    return
                i = position[0]
                position[0] += 1
            outcome = worker.try_mutant(candidates[i])
            with guard:
                results[i] = outcome
                if outcome[0] == "survived":
                    say("   survived: %s" % candidates[i].name())
                if len(results) % 50 == 0:
                    tally = [o[0] for o in results.values()]
                    say(
                        "   %d mutants tried: %s"
                        % (
                            len(results),
                            ", ".join(
                                "%d %s" % (tally.count(k), k) for k in ("killed", "survived", "equivalent", "invalid")
                            ),
                        )
                    )

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    chosen, counts = [], {"invalid": 0, "equivalent": 0, "killed": 0, "survived": 0}
    for i in sorted(results):
        if sum(counts[k] for k in ("killed", "survived")) == sample:
            break
        counts[results[i][0]] += 1
        chosen.append(i)
    tested = counts["killed"] + counts["survived"]
    score = 100.0 * counts["killed"] / tested if tested else 0.0
    survivors = [candidates[i].name() for i in chosen if results[i][0] == "survived"]
    report = [
        "seed %d: %d mutants tested, %d killed, %d survived: %.1f%% (%d equivalent and %d invalid dropped; "
        "%.0f min on %d workers)"
        % (
            seed,
            tested,
            counts["killed"],
            counts["survived"],
            score,
            counts["equivalent"],
            counts["invalid"],
            (time.monotonic() - start) / 60,
            jobs,
        )
    ]
    report += ["survived: " + s for s in survivors]
    out = BUILD / "mutation" / "report.txt"
    out.write_text("\n".join(report) + "\n")
    say("\n".join(report))
    if tested < sample:
        raise Failed("only %d mutants to test, not %d" % (tested, sample))
    if score < FLOOR_KILLED:
        raise Failed("%.1f%% of the mutants killed, below %d%% (%s)" % (score, FLOOR_KILLED, out))
