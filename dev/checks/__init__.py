"""The checks, one module per concern; importing this package registers every one (registry.py)."""

from checks import build, coverage, faults, fuzz, memory, mutation, perf, setup, threads, wheels  # noqa: F401
