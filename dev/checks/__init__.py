"""The checks, one module per concern; importing this package registers every one (registry.py)."""

from checks import build, faults, fuzz, memory, perf, setup, threads, wheels  # noqa: F401
