"""Memory: the reference-count ledger on debug interpreters."""

from __future__ import annotations

import os

from check_table import check
from interpreters import ready
from steps import Failed, say

LEDGER_PYTHONS = ("sid-3.14-dbg", "sid-3.15-dbg")


@check(
    "ledger",
    "memory",
    "on Debian sid's python3.14-dbg and 3.15-dbg, with the module built against each one's "
    "own headers, the total of references and of allocated blocks stays flat over 125,000 calls of every entry "
    "point on every path",
    "1.5 min (4 more to make the sid root once)",
    ci=True,
    needs=("root", "network"),
    uses=("sid-root",),
)
def ledger(tree):
    failed = []
    for name in LEDGER_PYTHONS:
        env = ready(name)
        # Debian's include folder of a debug build holds its own pyconfig.h (the one that defines Py_DEBUG) beside
        # links to the release headers, and Python.h, found through a link, includes the release pyconfig.h beside
        # it. So the debug one is included first, by name; both share one include guard.
        config = env.python(
            "-c", "import sysconfig; print(sysconfig.get_config_h_filename())", capture=True
        ).stdout.strip()
        say("== %s: the module built with %s" % (name, config))
        env.install_from_source(tree, defines={"CMAKE_CXX_FLAGS": "-include " + config})
        # Under Py_DEBUG, Py_INCREF and Py_DECREF of the limited API are calls into the interpreter, which keep its
        # total of references; a release build changes counts inline, and the total drifts with every object freed.
        so = next(env.site.glob("tq_pyo3*.so"))
        imports = env.python(
            "-c", "import sys; print(open(sys.argv[1], 'rb').read().count(b'Py_IncRef'))", so, capture=True
        ).stdout.strip()
        if imports == "0":
            raise Failed("%s counts references inline (not built against the debug headers)" % so)
        done = env.python(
            tree / "dev" / "probes" / "refledger.py", *os.environ.get("LEDGER_ARGS", "").split(), cwd=tree, check=False
        )
        if done.returncode:
            failed.append(name)
    if failed:
        raise Failed("the ledger is not flat on %s" % " ".join(failed))
