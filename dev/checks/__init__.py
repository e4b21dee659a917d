"""The checks, one module per concern; importing this package registers every one (check_table.py)."""

from checks import build, coverage, faults, fuzz, lint, memory, mutation, perf, prerequisites, recipes, threads, wheels  # noqa: F401
