"""Parse time against the length of the unit expression: nanoseconds per character for 1e3 to 1e6 characters.

A parse reads the text a few times from start to end, so the time per character should stay flat as the
text grows; a column that climbs with the length points at quadratic work. Run it with the module installed:

    python bench/parse_scaling.py
"""

from __future__ import annotations

import sys
import timeit

from tq_pyo3 import Telquant, TQError

LENGTHS = (1_000, 10_000, 100_000, 1_000_000)


def repeat_to(piece, n):
    return (piece * (n // len(piece) + 1))[:n]


# name -> text of (about) n characters
SHAPES = {
    "tokens m-m-m": lambda n: repeat_to("m-", n - 1) + "m",
    "mixed kg-m^2/s^3": lambda n: repeat_to("kg-m^2-", n // 2) + "/" + repeat_to("s^3-", n // 2),
    "brackets ((m))": lambda n: "(" * (n // 2) + "m" + ")" * (n // 2),
    "blanks around m": lambda n: "\u3000" * (n // 2) + "m" + " " * (n // 2),
    "long power m^000..7": lambda n: "m^" + "0" * (n - 3) + "7",
    "unknown symbol (fails)": lambda n: "x" * n,
    "dashes only": lambda n: "-" * n,
}


def seconds_per_parse(text):
    def parse():
        try:
            Telquant(1.0, text)
        except TQError:
            pass

    number = max(1, 200_000 // len(text))
    return min(timeit.repeat(parse, number=number, repeat=5)) / number


def main():
    header = "%-24s" % "shape" + "".join("%12s" % ("%.0e chars" % n) for n in LENGTHS) + "   ratio 1e6/1e3"
    print("ns per character of Telquant(1.0, text)")
    print(header)
    print("-" * len(header))
    worst = 0.0
    for name, make in SHAPES.items():
        per_char = []
        for n in LENGTHS:
            text = make(n)
            per_char.append(seconds_per_parse(text) * 1e9 / len(text))
        ratio = per_char[-1] / per_char[0]
        worst = max(worst, ratio)
        print("%-24s" % name + "".join("%12.2f" % x for x in per_char) + "%14.2f" % ratio)
    print()
    print("largest growth of ns/char from 1e3 to 1e6 characters: %.2fx (linear parsing stays near 1x;" % worst)
    print("quadratic parsing would show about 1000x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
