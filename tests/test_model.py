"""The module against the model of its documented behaviour (model.py), over a seeded stream of random programs
(programs.py): every call's outcome bit for bit, reader counts back at 0, argument reference counts unmoved."""

import os
import random
import subprocess
import sys
from pathlib import Path

import programs
import pytest

PROGRAMS, STEPS = 2000, 24


@pytest.mark.parametrize("chunk", range(8))
def test_every_call_of_a_random_program_does_what_the_model_says(chunk):
    for seed in range(chunk, PROGRAMS, 8):
        calls = []
        try:
            programs.run_program(
                programs.RandomSource(random.Random(seed)), STEPS, trace=lambda where, args, kwargs: calls.append(where)
            )
        except programs.Finding as finding:
            pytest.fail("seed %d, call %d %s: %s" % (seed, len(calls), calls[-1:], finding))


def test_random_programs_under_the_debug_allocator():
    """Freed memory is overwritten there: an object read after the module let go of it (the int an __index__
    returned, say) reads as garbage, which the model then tells apart."""
    code = (
        "import random, programs\nfor seed in range(%d, %d):\n    programs.run_program("
        "programs.RandomSource(random.Random(seed)), %d)" % (PROGRAMS, PROGRAMS + PROGRAMS // 8, STEPS)
    )
    done = subprocess.run(
        [sys.executable, "-c", code],
        cwd=Path(__file__).parent,
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONMALLOC="debug"),
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-3000:]
