"""The module against the model of its documented behaviour (model.py), over a seeded stream of random programs
(programs.py): every call's outcome bit for bit, reader counts back at 0, argument reference counts unmoved."""

import random

import pytest

import programs

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
