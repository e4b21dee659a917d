"""Mutants that survive the suite because no caller can tell them from the module (`make mutation` reads this list
and reports none of them again): each with the file, the line as written, the line as the tool mutated it, and why
nothing can tell them apart. Runs on any Python from 3.8 on."""

from collections import namedtuple

Equivalent = namedtuple("Equivalent", "path original mutated why")

EQUIVALENT = []
