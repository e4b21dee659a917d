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
  echo "== $py: the module built against $($py -c 'import sysconfig; print(sysconfig.get_path("include"))')"
  rm -rf "$venv"
  if ! "$py" -m venv "$venv" || ! "$venv/bin/python" -m pip install -q "pytest>=7,<10" \
     || ! "$venv/bin/python" -m pip install -q --force-reinstall --no-deps -Cbuild-dir="$work/cmake-$py" "$src"; then
    echo "ledger: could not build the module for $py"
    status=1
    continue
  fi
  so=$("$venv/bin/python" -c 'import tq_pyo3; print(tq_pyo3.__file__)')
  # With a debug interpreter's headers, Py_INCREF and Py_DECREF are calls that keep the interpreter's total of
  # references; a release build changes counts inline, and the total drifts by one for every object it frees.
  if ! nm -D --undefined-only "$so" | grep -qE ' _?Py_(Inc|Dec)Ref$'; then
    echo "ledger: $so counts references inline (not built against the debug headers)"
    status=1
    continue
  fi
  "$venv/bin/python" "$repo/mk/refledger.py" ${LEDGER_ARGS:-} || status=1
done
exit $status
