#!/usr/bin/env bash
# Installs one abi3 wheel with its test extras (pytest, hypothesis, numpy, mypy and pint, as the wheel's metadata
# lists them) into a fresh virtual environment of every CPython >= 3.8 on this machine (pyenv's versions, and
# python3.X on PATH) and runs the whole test suite in each. Interpreters are told apart by their real executable,
# so a pyenv shim and the version it points at count once. Interpreters named after VENV_DIR are the only ones
# tried (a debug build, python3.14-dbg, is one of these); each of them must be present.
#
#   bash mk/abi3_matrix.sh WHEEL VENV_DIR [PYTHON...]
set -uo pipefail

wheel=$(readlink -f "$1")
venvs=$2
repo=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$venvs"

candidates=("${@:3}")
[ ${#candidates[@]} -gt 0 ] && named=1 || named=0
[ "$named" = 1 ] || for root in "${PYENV_ROOT:-$HOME/.pyenv}" /root/.pyenv; do
  for exe in "$root"/versions/*/bin/python3; do
    [ -x "$exe" ] && candidates+=("$exe")
  done
done
[ "$named" = 1 ] || for minor in $(seq 8 30); do
  exe=$(command -v "python3.$minor" 2>/dev/null) && candidates+=("$exe")
done
[ "$named" = 1 ] || for exe in /usr/bin/python3 /usr/local/bin/python3; do
  [ -x "$exe" ] && candidates+=("$exe")
done

declare -A seen=()
passed=()
failed=()
skipped=()
results=()
for exe in "${candidates[@]}"; do
  # name, version, real executable; a shim for a version pyenv does not select fails here and is skipped
  info=$("$exe" -c 'import os, platform, sys, sysconfig
print(platform.python_implementation(), "%d.%d.%d" % sys.version_info[:3], os.path.realpath(sys.executable),
      int(sys.version_info >= (3, 8)), int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))),
      int(hasattr(sys, "gettotalrefcount")))' 2>/dev/null) \
    || { [ "$named" = 1 ] && failed+=("$exe (not found)"); continue; }
  read -r impl version real recent freethreaded debug <<<"$info"
  [ "$debug" = 1 ] && version+=-dbg
  [ -n "${seen[$real]:-}" ] && continue
  seen[$real]=1
  if [ "$impl" != CPython ] || [ "$recent" != 1 ]; then
    continue
  fi
  if [ "$freethreaded" = 1 ]; then
    skipped+=("$version (free-threaded: no stable ABI)")
    continue
  fi
  name="$version-$(echo "$real" | md5sum | cut -c1-6)"
  venv="$venvs/$name"
  echo "== CPython $version ($real)"
  if ! "$real" -m venv "$venv" >/dev/null \
     || ! "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"; then
    echo "abi3: could not set up a venv of $real"
    failed+=("$version (setup)")
    continue
  fi
  log="$venv/pytest.log"
  if (cd "$repo" && "$venv/bin/python" -m pytest -q -p no:cacheprovider >"$log" 2>&1); then
    tail -n 1 "$log"
    passed+=("$version")
    results+=("$version: $(tail -n 1 "$log" | tr -d =)")
  else
    grep -E '^(FAILED|ERROR)' "$log"
    tail -n 1 "$log"
    failed+=("$version")
  fi
done

echo
echo "abi3 wheel: $(basename "$wheel")"
echo "passed the whole suite on CPython: $(printf '%s\n' "${passed[@]}" | sort -V | tr '\n' ' ')"
printf '  %s\n' "${results[@]}" | sort -V
[ ${#skipped[@]} -gt 0 ] && echo "skipped: ${skipped[*]}"
[ ${#failed[@]} -gt 0 ] && echo "FAILED on CPython: ${failed[*]}"
[ ${#failed[@]} -eq 0 ] && [ ${#passed[@]} -gt 0 ]
