#!/usr/bin/env bash
# Runs inside the sid root (mk/ledger.mk). For each debug interpreter: the module built from SRC against that
# interpreter's own headers into a fresh venv, a check that the build counts references through the interpreter,
# then the ledger (mk/refledger.py).
#
#   bash mk/ledger.sh SRC WORK_DIR PYTHON...
set -uo pipefail

src=$1 work=$2
shift 2
repo=$(cd "$(dirname "$0")/.." && pwd)
status=0
for py in "$@"; do
  venv=$work/venv-$py
  # Debian's include directory of a debug build holds its own pyconfig.h (the one that defines Py_DEBUG) beside
  # links to the release headers, and Python.h, found through a link, includes the release pyconfig.h beside it.
  # So the debug one is included first, by name; both share one include guard.
  config=$("$py" -c 'import sysconfig; print(sysconfig.get_config_h_filename())') || { status=1; continue; }
  echo "== $py: the module built with $config"
  rm -rf "$venv" "$work/cmake-$py"
  if ! "$py" -m venv "$venv" || ! "$venv/bin/python" -m pip install -q "pytest>=7,<10" \
     || ! "$venv/bin/python" -m pip install -q --no-deps -Cbuild-dir="$work/cmake-$py" \
            "-Ccmake.define.CMAKE_CXX_FLAGS=-include $config" "$src"; then
    echo "ledger: could not build the module for $py"
    status=1
    continue
  fi
  so=$("$venv/bin/python" -c 'import tq_pyo3; print(tq_pyo3.__file__)')
  # Under Py_DEBUG, Py_INCREF and Py_DECREF of the limited API are calls into the interpreter, which keep its total
  # of references; a release build changes counts inline, and the total drifts by one for every object it frees.
  # (Py_DecRef alone proves nothing: the deallocator calls it by name.)
  if ! nm -D --undefined-only "$so" | grep -E ' _?Py_IncRef$' >/dev/null; then  # not -q: nm must not get SIGPIPE
    echo "ledger: $so counts references inline (not built against the debug headers)"
    status=1
    continue
  fi
  "$venv/bin/python" "$repo/mk/refledger.py" ${LEDGER_ARGS:-} || status=1
done
exit $status
