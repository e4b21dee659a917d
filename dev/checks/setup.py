"""What other checks make on first use, each also on its own: the checked CPython sources, each interpreter, the sid
root."""

from __future__ import annotations

from interpreters import INTERPRETERS, ROOT_PACKAGES, cpython_sources, debian_root, ready
from registry import check
from steps import say


@check(
    "cpython-src",
    "setup",
    "the CPython sources every interpreter built here starts from (Debian's source package, its sha256 checked)",
    "1 min",
)
def cpython_src(tree):
    say("   %s" % cpython_sources())


@check(
    "sid-root",
    "setup",
    "a Debian sid root with CPython 3.14 and 3.15, their debug builds, a compiler and valgrind",
    "5 min",
)
def sid_root(tree):
    say("   %s" % debian_root("sid", ROOT_PACKAGES["sid"]))


def make_interpreter(tree, interpreter):
    env = ready(interpreter)
    say("   %s: %s" % (interpreter, " ".join(map(str, env.argv))))


ALIASES = {"musl-x86_64": ("musl-python",)}
for _i in INTERPRETERS.values():
    if _i.kind in ("source", "emulated", "cross"):
        check(
            _i.name + "-python",
            "setup",
            "%s, with the pinned test tools" % _i.what,
            {"emulated": "1 min once", "cross": "5-10 min once"}.get(_i.kind, "7-20 min once"),
            aliases=ALIASES.get(_i.name, ()),
            interpreter=_i.name,
        )(make_interpreter)
