#!/usr/bin/env python3
"""Coverage-guided fuzzer of the whole Python surface of tq_pyo3 (atheris, on a sanitized, coverage-instrumented
build of the module).

Each input is read by atheris.FuzzedDataProvider as the choices of one random program of tests/programs.py: the
same programs, checked call by call against the same model of the documented behaviour (tests/model.py), that the
suite runs from a seeded stream (tests/test_model.py). A call the model does not allow ends the run with the
input saved; so does a sanitizer report. Run through `make fuzz-py` (dev/checks/fuzz.py), which loads atheris's
ASan runtime with LD_PRELOAD; FUZZ_PY_TRACE=1 prints each call before it is made, to replay a saved input.
"""

import os
import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
import programs

STEPS = 24


class FuzzSource:
    def __init__(self, fdp):
        self.fdp = fdp

    def int(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def bool(self):
        return self.fdp.ConsumeBool()

    def bytes(self, n):
        return self.fdp.ConsumeBytes(n).ljust(n, b"\0")

    def float(self):
        return self.fdp.ConsumeFloat()

    def char(self):
        return self.fdp.ConsumeUnicode(1)[:1] or "m"

    def more(self):
        return self.fdp.remaining_bytes() > 0


def trace(where, args, kwargs):
    print("call", where, ascii(args), ascii(kwargs), file=sys.stderr, flush=True)


def one_input(data):
    source = FuzzSource(atheris.FuzzedDataProvider(data))
    programs.run_program(source, STEPS, trace if os.environ.get("FUZZ_PY_TRACE") else None)


def main():
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
