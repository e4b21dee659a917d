"""The table of checks: each is a function registered with what it proves, how long it takes here and whether CI
runs it. `make help` prints the table; the README's check section is checked against it."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

CONCERNS = ("suite", "build", "fuzz", "threads", "wheels", "memory", "speed", "faults", "setup")


@dataclass
class Check:
    name: str
    fn: Callable
    concern: str
    proves: str
    minutes: str  # how long it takes here, on two cores, with what it needs already made ("" if not timed)
    ci: bool = False
    aliases: tuple = ()
    args: dict = field(default_factory=dict)


CHECKS: dict[str, Check] = {}


def check(name: str, concern: str, proves: str, minutes: str = "", ci: bool = False, aliases: tuple = (), **args):
    """Registers fn as the check `name`; fn(tree, **args) runs it on the source tree `tree` and raises Failed."""
    assert concern in CONCERNS, concern

    def register(fn):
        CHECKS[name] = Check(name, fn, concern, proves, minutes, ci, aliases, args)
        return fn

    return register


def find(name: str) -> Check | None:
    for c in CHECKS.values():
        if name == c.name or name in c.aliases:
            return c
    return None


def run_check(name: str, tree: Path | None = None, **options):
    from steps import ROOT

    c = find(name)
    if c is None:
        raise KeyError(name)
    return c.fn(tree or ROOT, **{**c.args, **options})
