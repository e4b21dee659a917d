"""What other checks use, each made once and shared, and each also a row of its own: the checked CPython sources,
each interpreter, the sid root. A check that uses one names its row in `uses`; dev/run.py makes it first."""

from __future__ import annotations

from check_table import check
from interpreters import INTERPRETERS, ROOT_PACKAGES, cpython_sources, debian_root, ready
from steps import say, tools

ADMIN = ("root", "debian", "network")


@check(
    "cpython-src",
    "setup",
    "the CPython sources every interpreter built here starts from (Debian's source package, its sha256 checked)",
    "1 min",
    needs=ADMIN,
    io=True,
    shared=True,
)
def cpython_src(tree):
    say("   %s" % cpython_sources())


@check(
    "sid-root",
    "setup",
    "a Debian sid root with CPython 3.14 and 3.15, their debug builds, a compiler and valgrind",
    "4 min",
    needs=ADMIN,
    apt=("debootstrap",),
    io=True,
    shared=True,
)
def sid_root(tree):
    say("   %s" % debian_root("sid", ROOT_PACKAGES["sid"]))


@check(
    "host-python",
    "setup",
    "a virtual environment of this machine's python3 with the pinned test tools and build backend, the base of "
    "the checks' own environments on it",
    "30 s",
    needs=("network",),
    io=True,
    shared=True,
    interpreter="host",
)
@check(
    "wheel-tools",
    "setup",
    "the pinned tools that build and check the wheels (zig, build, auditwheel, abi3audit), in a virtual environment",
    "40 s",
    needs=("network",),
    io=True,
    shared=True,
)
def make_tools(tree, interpreter=""):
    say("   %s" % (" ".join(map(str, ready(interpreter).argv)) if interpreter else tools("wheel-tools")))


def make_interpreter(tree, interpreter):
    env = ready(interpreter)
    say("   %s: %s" % (interpreter, " ".join(map(str, env.argv))))


# The row that makes each interpreter built or fetched here (a Debian root's are made with the root).
INTERPRETER_ROWS = {
    "ft-python": "ft",
    "tsan-python": "tsan",
    "musl-x86_64-python": "musl-x86_64",
    "arm64-python": "arm64",
    "i386-python": "i386",
    "armhf-python": "armhf",
    "ppc64el-python": "ppc64el",
    "s390x-python": "s390x",
    "riscv64-python": "riscv64",
    "musl-aarch64-python": "musl-aarch64",
    "musl-armv7l-python": "musl-armv7l",
}
# How long a source build takes here (two cores, other work beside it).
SOURCE_MINUTES = {"ft": "6 min", "tsan": "20 min", "musl-x86_64": "2.5 min"}
# What a cross build needs besides its interpreter's own packages: the build Python's compiler (dev/musl_cross.py).
CROSS_APT = ("gcc", "make", "xz-utils")


def python_row(interpreter: str) -> tuple:
    """The row that makes an interpreter, as a `uses` entry (none for this machine's python3 and the roots')."""
    return tuple(row for row, name in INTERPRETER_ROWS.items() if name == interpreter)


for _row, _name in INTERPRETER_ROWS.items():
    _i = INTERPRETERS[_name]
    _emulated = _i.kind in ("emulated", "cross")
    check(
        _row,
        "setup",
        "%s, with the pinned test tools" % _i.what,
        {"emulated": "1 min once", "cross": "5-10 min once", "source": "%s once" % SOURCE_MINUTES.get(_name, "7 min")}[
            _i.kind
        ],
        aliases=("musl-python",) if _name == "musl-x86_64" else (),
        needs=ADMIN + (("qemu",) if _emulated else ()),
        uses=("cpython-src",) if _i.kind in ("source", "cross") else (),
        apt=_i.apt + (("qemu-user-static",) if _emulated else ()) + (CROSS_APT if _i.kind == "cross" else ()),
        io=_i.kind == "emulated",
        shared=True,
        interpreter=_name,
    )(make_interpreter)
