"""The table of checks: each row is a function registered with what it proves, how long it takes here, whether CI
runs it, what it needs of the machine, and what it uses that other rows make (an interpreter, a Debian root, a wheel).
`make help` prints the table; dev/run.py plans and runs rows from it."""

from __future__ import annotations

import os
import platform
import re
import shutil
import socket
import subprocess
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import debian

CONCERNS = ("suite", "build", "fuzz", "threads", "wheels", "memory", "speed", "faults", "setup")

# What a row may need of the machine, each with how it is told and the sentence that names it when it is missing.
# Every need but the network is looked at on this machine alone; the network is asked once, of each archive's host.
DEBIAN_ARCHIVE = debian.ARCHIVE


def _is_root() -> bool:
    return os.geteuid() == 0


def _is_debian_12() -> bool:
    try:
        release = Path("/etc/os-release").read_text()
    except OSError:
        return False
    return "VERSION_CODENAME=%s" % debian.HOST in release and platform.machine() == "x86_64"


def _reaches(url: str) -> bool:
    found = re.match(r"\w+://([^/:]+)(?::(\d+))?", url)
    host, port = found.group(1), int(found.group(2) or (443 if url.startswith("https") else 80))
    try:
        socket.create_connection((host, port), timeout=10).close()
        return True
    except OSError:
        return False


def _network() -> bool:
    return _reaches(DEBIAN_ARCHIVE) and _reaches(os.environ.get("PIP_INDEX_URL", "https://pypi.org/simple"))


def _qemu() -> bool:
    if shutil.which("qemu-aarch64-static"):
        return True
    if not shutil.which("apt-cache"):
        return False
    policy = subprocess.run(["apt-cache", "policy", "qemu-user-static"], capture_output=True, text=True).stdout
    return "Candidate:" in policy and "Candidate: (none)" not in policy


@dataclass(frozen=True)
class Need:
    name: str
    probe: Callable[[], bool]
    missing: str  # completes "make CHECK needs ..."


NEEDS = {
    n.name: n
    for n in (
        Need("root", _is_root, "root: it installs Debian packages and runs chroot (run it as root, as CI does)"),
        Need("debian", _is_debian_12, "Debian 12 (bookworm) on x86-64: it installs that release's packages by name"),
        Need("network", _network, "the network to Debian's archive (%s) and to PyPI" % DEBIAN_ARCHIVE),
        Need(
            "qemu",
            _qemu,
            "qemu user-mode emulation (Debian's qemu-user-static): it runs other architectures' interpreters",
        ),
    )
}


@dataclass
class Check:
    name: str
    fn: Callable
    concern: str
    proves: str
    minutes: str  # how long it takes here, on two cores, with what it uses already made ("" if not timed)
    ci: bool = False
    aliases: tuple = ()
    args: dict = field(default_factory=dict)
    needs: tuple = ()  # of NEEDS: what it asks of the machine itself
    uses: tuple | Callable = ()  # rows it uses the making of (run first, once); a callable reads the settings
    apt: tuple = ()  # Debian packages it needs on this machine, installed once before anything runs
    io: bool = False  # mostly download and unpacking: it runs beside the others without taking a job slot
    shared: bool = False  # it makes something shared by every tree (under build/ of the checkout), not the tree's

    def used(self) -> tuple:
        return tuple(self.uses() if callable(self.uses) else self.uses)

    def seconds(self) -> float:
        """The first time in `minutes`, for ordering: the longest chains start first."""
        found = re.match(r"\D*?([\d.]+)[-\d.]*\s*(s|min|h)\b", self.minutes or "")
        if not found:
            return 60.0
        return float(found.group(1)) * {"s": 1, "min": 60, "h": 3600}[found.group(2)]


CHECKS: dict[str, Check] = {}


def check(
    name: str,
    concern: str,
    proves: str,
    minutes: str = "",
    *,
    ci: bool = False,
    aliases: tuple = (),
    needs: tuple = (),
    uses: tuple | Callable = (),
    apt: tuple = (),
    io: bool = False,
    shared: bool = False,
    **args,
):
    """Registers fn as the check `name`; fn(tree, **args) runs it on the source tree `tree` and raises Failed."""
    assert concern in CONCERNS, concern
    assert name not in CHECKS, name
    assert set(needs) <= set(NEEDS), needs

    def register(fn):
        CHECKS[name] = Check(name, fn, concern, proves, minutes, ci, aliases, args, needs, uses, apt, io, shared)
        return fn

    return register


def find(name: str) -> Check | None:
    for c in CHECKS.values():
        if name == c.name or name in c.aliases:
            return c
    return None


def closure(names) -> list[Check]:
    """The rows named and every row they use, each once, each after what it uses."""
    out: list[Check] = []

    def visit(name, path=()):
        c = find(name)
        if c is None:
            raise KeyError(name)
        if c in out:
            return
        assert name not in path, "a row uses itself: %s" % " > ".join(path + (name,))
        for used in c.used():
            visit(used, path + (name,))
        out.append(c)

    for n in names:
        visit(n)
    return out


def needs_of(c: Check) -> list[str]:
    """What a row and everything it uses need of the machine, in the order of NEEDS."""
    wanted = {n for row in closure([c.name]) for n in row.needs + (("root", "debian", "network") if row.apt else ())}
    return [n for n in NEEDS if n in wanted]
