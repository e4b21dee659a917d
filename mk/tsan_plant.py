#!/usr/bin/env python3
"""A copy of this tree with a data race planted, for `make tsan TSAN_PLANT=NAME`: the run must catch it.

    python3 mk/tsan_plant.py NAME DIR     DIR receives the tree's files (tracked and new, not ignored), NAME planted

This checkout is never written to. Each replacement must match exactly once, so a race that no longer fits the
code stops the run instead of being planted elsewhere (or nowhere).
"""

import shutil
import subprocess
import sys
from pathlib import Path

R = "src/reader_count.hpp"

# name: [(file, text, replacement)], what the race is
RACES = {
    "plain-reader-count": ([
        (R, "std::atomic_ref<std::size_t>(readers).fetch_add(1, std::memory_order_relaxed);", "++readers;"),
        (R, "std::atomic_ref<std::size_t>(readers).fetch_sub(1, std::memory_order_relaxed);", "--readers;"),
    ], "the reader count is changed by plain increments and decrements: threads sharing an instance race on it"),
}


def main() -> int:
    if len(sys.argv) != 3 or sys.argv[1] not in RACES:
        print(__doc__.strip() + "\n\nNAME is one of: " + ", ".join(RACES), file=sys.stderr)
        return 2
    name, dest = sys.argv[1], Path(sys.argv[2])
    root = Path(__file__).resolve().parent.parent
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=root, check=True,
                           capture_output=True).stdout.decode().split("\0")
    shutil.rmtree(dest, ignore_errors=True)
    for f in filter(None, files):
        if (root / f).is_file():
            (dest / f).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(root / f, dest / f)
    edits, what = RACES[name]
    for f, text, replacement in edits:
        source = (dest / f).read_text()
        if source.count(text) != 1:
            print(f"tsan_plant: {name} is stale: {text!r} occurs {source.count(text)} times in {f}", file=sys.stderr)
            return 1
        (dest / f).write_text(source.replace(text, replacement))
    print(f"tsan_plant: {name} planted in {dest}: {what}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
