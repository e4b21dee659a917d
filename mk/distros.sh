#!/usr/bin/env bash
# The README's two commands as a new user meets them on each Debian release, with its own python3 and compiler.
#
#   bash mk/distros.sh DIR [SUITE...]     (default suites: bullseye bookworm trixie sid)
#
# Each suite gets a minbase root in DIR/SUITE (mk/debian_root.sh; made once, then reused) holding only what a new
# user installs: build-essential, python3-dev (the headers the build needs), python3-venv, git, make and
# ca-certificates. In it, an unprivileged user "tq" clones the committed HEAD (a git bundle of it, bound in where
# tq cannot write, so the working tree's state never leaks in) into a fresh home checkout and runs `make tour` and
# `make test` there; the test extras must include pint, so its reference rows run against the pint that python3
# gets. bullseye's g++ 10 is below the minimum: there both commands must stop at configure time with the
# one-sentence refusal, and then the README's route for such systems (clang 16 with LLVM's libc++, from
# bullseye's own archive) must pass both. Logs go to DIR/SUITE.log; a summary (python3, compiler, pint, the test
# summary line, minutes per step) to DIR/summary.txt. Exits 1 if any fails.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
dir=$(mkdir -p "$1" && cd "$1" && pwd)
shift
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(bullseye bookworm trixie sid)

packages=(build-essential python3-dev python3-venv git make ca-certificates)
old_route_packages=(clang-16 libc++-16-dev libc++abi-16-dev)
old_route_env="CXX=clang++-16 CXXFLAGS=-stdlib=libc++"
refusal="tq_pyo3 needs a C++20 compiler and library: GCC 11 or newer, or clang 13 or newer with libstdc++ 11"
refusal+=" / libc++ 14 or newer; this is GNU 10"

# What the user clones: the committed HEAD and its branch, nothing of the working tree.
bundle=$dir/tq_pyo3.bundle
git -C "$repo" bundle create "$bundle" HEAD $(git -C "$repo" symbolic-ref -q HEAD) 2>/dev/null || exit 1
head=$(git -C "$repo" rev-parse --short HEAD)

root_run() {  # SUITE COMMAND...: as root inside the suite's root, the bundle's folder at /src
  local root=$dir/$1
  shift
  bash "$here/debian_root.sh" run "$root" -b "$dir:/src" -- "$@"
}

as_user() {  # SUITE SCRIPT: the script in user tq's fresh checkout
  root_run "$1" setpriv --reuid=tq --regid=tq --init-groups env HOME=/home/tq USER=tq \
    sh -c "cd /home/tq/tq_pyo3 && $2"
}

fresh_clone() {  # SUITE: a new checkout (and so a new .venv) in tq's home
  root_run "$1" sh -c 'id tq >/dev/null 2>&1 || useradd -m -s /bin/sh tq; rm -rf /home/tq/tq_pyo3'
  root_run "$1" setpriv --reuid=tq --regid=tq --init-groups env HOME=/home/tq \
    git clone -q /src/tq_pyo3.bundle /home/tq/tq_pyo3
}

now() { date +%s; }
minutes() { awk -v s="$1" 'BEGIN { printf "%.1f", s / 60 }'; }
summary_line() { grep -E '[0-9]+ (passed|failed|errors?)\b.* in [0-9.]+s' "$1" | tail -n 1 | tr -d '=' | xargs; }

results=()
failed=()
start_all=$(now)
for suite in "${suites[@]}"; do
  log=$dir/$suite.log
  : >"$log"
  echo "distros: $suite (log: $log)"
  ok=yes tour=- test=- pint=- refused="" prefix=""
  t=$(now)
  bash "$here/debian_root.sh" make "$suite" "$dir/$suite" "${packages[@]}" >>"$log" 2>&1 || ok="no (root)"
  t_root=$(($(now) - t)) t_tour=0 t_test=0
  python=$(root_run "$suite" python3 -c 'import platform; print(platform.python_version())' 2>/dev/null)
  compiler=$(root_run "$suite" sh -c 'g++ --version | head -n 1' 2>/dev/null)
  [ "$ok" != yes ] || fresh_clone "$suite" >>"$log" 2>&1 || ok="no (clone)"
  if [ "$ok" = yes ] && [ "$suite" = bullseye ]; then
    # The compiler is too old: each command must fail, promptly, with the refusal.
    for target in tour test; do
      t=$(now)
      if as_user "$suite" "make $target" >"$log.$target" 2>&1; then
        refused+="make $target passed with g++ 10; "
        [ "$ok" != yes ] || ok="no (make $target passed with g++ 10)"
      elif ! grep -qF "$refusal" "$log.$target"; then
        refused+="make $target failed without the refusal in $(($(now) - t)) s; "
        [ "$ok" != yes ] || ok="no (make $target failed without the refusal)"
      else
        refused+="make $target refused in $(($(now) - t)) s; "
      fi
      cat "$log.$target" >>"$log" && rm -f "$log.$target"
    done
    echo "distros: $suite: ${refused}then the old-compiler route: $old_route_env" | tee -a "$log"
    t=$(now)
    bash "$here/debian_root.sh" make "$suite" "$dir/$suite" "${packages[@]}" "${old_route_packages[@]}" >>"$log" 2>&1 \
      || ok="no (route packages)"
    t_root=$((t_root + $(now) - t))
    compiler="$compiler; route: $(root_run "$suite" sh -c 'clang++-16 --version | head -n 1' 2>/dev/null) + libc++"
    [ "$ok" != yes ] || fresh_clone "$suite" >>"$log" 2>&1 || ok="no (clone)"
    prefix="$old_route_env "
  fi
  if [ "$ok" = yes ]; then
    t=$(now)
    as_user "$suite" "${prefix}make tour" >>"$log" 2>&1 && tour=passed || { tour=failed; ok="no (make tour)"; }
    t_tour=$(($(now) - t))
  fi
  if [ "$ok" = yes ]; then
    t=$(now)
    as_user "$suite" "${prefix}make test" >"$log.test" 2>&1 || ok="no (make test)"
    t_test=$(($(now) - t))
    test=$(summary_line "$log.test")
    cat "$log.test" >>"$log" && rm -f "$log.test"
    pint=$(as_user "$suite" ".venv/bin/python -c 'import pint; print(pint.__version__)'" 2>/dev/null) \
      || { pint=none; ok="no (pint missing: its reference rows were skipped)"; }
  fi
  line="$suite | python3 $python | $compiler | pint $pint | ${refused}tour $tour | test: ${test:-none}"
  line+=" | root $(minutes $t_root) min, tour $(minutes $t_tour) min, test $(minutes $t_test) min | ok: $ok"
  echo "distros: $line"
  results+=("$line")
  [ "$ok" = yes ] || failed+=("$suite")
done

{
  echo "make distros at $head, $(minutes $(($(now) - start_all))) min in all"
  printf '%s\n' "${results[@]}"
  if [ ${#failed[@]} -gt 0 ]; then echo "FAILED: ${failed[*]}"; else echo "all passed"; fi
} | tee "$dir/summary.txt"
[ ${#failed[@]} -eq 0 ]
