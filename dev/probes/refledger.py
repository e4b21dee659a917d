"""The reference-count ledger, for a debug interpreter and a module built against its own headers (`make ledger`).

Every entry point on its success path and on each of its error paths (the table of tests/test_soak.py), called in
a seeded random interleaving, batch after batch: after a warm-up, the interpreter's total of references
(sys.gettotalrefcount) and its count of allocated memory blocks (sys.getallocatedblocks) must come back to the
same numbers after every batch. A reference the module keeps or drops in any call moves the total by one per call,
so each batch of CALLS calls must leave both numbers exactly where they were. When a batch does not, each case is
run alone and the ones that move the numbers are named.

    python dev/probes/refledger.py [CALLS] [BATCHES]     (defaults: 25000 calls a batch, 5 batches)
"""

import gc
import os
import random
import sys
import warnings

if not hasattr(sys, "gettotalrefcount"):
    sys.exit("refledger: %s is not a debug build (no sys.gettotalrefcount)" % sys.executable)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
warnings.simplefilter("error")  # as the suite runs: a deprecated conversion is an error case of the table
import tq_pyo3  # noqa: E402
from test_soak import CASES, run  # noqa: E402

CALLS = int(sys.argv[1]) if len(sys.argv) > 1 else 25_000
BATCHES = int(sys.argv[2]) if len(sys.argv) > 2 else 5
ALONE = 1000  # calls of one case when the culprit is sought: a leak of one per call shows as 1000


def ledger():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def play(order):
    for index in order:
        run(*CASES[index], 1)


def main():
    rng = random.Random(20261207)
    # Every case equally often, in a shuffled order made before the readings: the order list is not among what
    # they count.
    order = [i % len(CASES) for i in range(CALLS)]
    for case in CASES:  # warm-up: method caches, interned texts, the interpreter's adaptive instructions
        run(*case, 50)
    rng.shuffle(order)  # and one whole batch
    play(order)

    print("refledger: %s, %s" % (sys.version.split()[0], tq_pyo3.__file__))
    print("refledger: %d cases, %d batches of %d calls" % (len(CASES), BATCHES, CALLS))
    moved = []
    # Two readings held from the start, so every batch begins and ends with the same objects alive: the tuple of
    # the reading before it and the one after the batch before.
    before, after = ledger(), ledger()
    for batch in range(BATCHES):
        rng.shuffle(order)
        before = ledger()
        play(order)
        after = ledger()
        refs, blocks = after[0] - before[0], after[1] - before[1]
        print("  batch %d: total references %+d, allocated blocks %+d" % (batch + 1, refs, blocks))
        if refs or blocks:
            moved.append(batch + 1)
    if not moved:
        print("refledger: flat over %d calls" % (CALLS * BATCHES))
        return 0

    print("refledger: NOT FLAT in batch %s; each case alone, %d calls:" % (", ".join(map(str, moved)), ALONE))
    named = 0
    for case in CASES:
        run(*case, 10)
        before = ledger()
        run(*case, ALONE)
        after = ledger()
        if after != before:
            named += 1
            print(
                "  %-45s total references %+d, allocated blocks %+d"
                % (case[0], after[0] - before[0], after[1] - before[1])
            )
    if not named:
        print("  none moves them alone")
    return 1


if __name__ == "__main__":
    sys.exit(main())
