#!/usr/bin/env bash
# Builds a CPython 3.13.5 on the musl C library with Debian's musl-gcc (musl-tools), to run the musllinux wheel on
# this glibc machine: the interpreter and its extension modules are loaded by musl's dynamic loader
# (/lib/ld-musl-x86_64.so.1), so nothing of glibc is in the process.
#
#   bash mk/musl_python.sh ROOT SRC     SRC is the folder that holds Python-3.13.5 (mk/cpython_source.sh);
#                                       then ROOT/bin/python3.13 -c 'import platform; print(platform.libc_ver())'
#
# musl-gcc has only musl's own headers and libraries: there is no OpenSSL, zlib, libffi, sqlite, bz2 or lzma for
# it, so those modules are not built (no ssl, ctypes, zlib, ...). What is needed is an interpreter that runs pytest,
# hypothesis and the wheel. The test tools are installed for it by the host's pip into ROOT/site, as musllinux or
# pure wheels (the interpreter itself cannot reach an index: it has no ssl).
# Run again, it keeps what is there (the tools are installed anew when their pins change); remove ROOT to start over.
set -euo pipefail

root=$(mkdir -p "$1" && cd "$1" && pwd)
src=$(cd "$2" && pwd)/Python-3.13.5
prefix=$root/install
python=$root/bin/python3.13
# Pinned like the host's test environment; NumPy and mypy ship musllinux wheels for cp313, the rest is pure Python.
# pip takes a wheel only for a platform tag named exactly, so every musllinux tag that musl 1.2 accepts is named.
wheels="pytest==9.2.0 hypothesis==6.170.27 numpy==2.4.6 Pint==0.25.3 mypy==2.4.1"

if ! command -v musl-gcc >/dev/null 2>&1; then
  echo "musl-python: installing musl-tools"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq musl-tools musl-dev >/dev/null
fi

if [ ! -f "$prefix/.complete" ]; then
  test -f "$src/.tq-unpacked" || { echo "musl-python: no sources in $src; run make cpython-src"; exit 1; }
  rm -rf "$root/build" "$prefix" "$root/cc"
  # CPython's configure derives the platform triplet from `$CC --print-multiarch`, and stops ("internal configure
  # error for the platform triplet") unless the compiler names musl there; gcc's own answer is the glibc one.
  # musl-gcc searches no host header folder: the kernel's (linux/, asm/, asm-generic/) are added after musl's.
  mkdir -p "$root/cc/include"
  ln -s /usr/include/linux /usr/include/asm-generic "$root/cc/include/"
  ln -s /usr/include/x86_64-linux-gnu/asm "$root/cc/include/asm"
  cat >"$root/cc/x86_64-linux-musl-gcc" <<EOF
#!/bin/sh
# musl-gcc that names its target as musl (written by mk/musl_python.sh)
[ "\$1" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }
exec musl-gcc -idirafter $root/cc/include "\$@"
EOF
  chmod +x "$root/cc/x86_64-linux-musl-gcc"
  mkdir -p "$root/build"
  start=$(date +%s)
  # No pkg-config and no zlib: both would bring the host's (glibc) headers and libraries into the build.
  (cd "$root/build" && "$src/configure" -q --prefix="$prefix" CC="$root/cc/x86_64-linux-musl-gcc" \
    PKG_CONFIG=/bin/false ac_cv_header_zlib_h=no --without-ensurepip --disable-test-modules) \
    >"$root/configure.log" 2>&1 || { tail -30 "$root/configure.log"; exit 1; }
  make -C "$root/build" -j"${MUSL_JOBS:-2}" -s >"$root/build.log" 2>&1 || { tail -30 "$root/build.log"; exit 1; }
  make -C "$root/build" -s install >"$root/install.log" 2>&1 || { tail -30 "$root/install.log"; exit 1; }
  touch "$prefix/.complete"
  echo "musl-python: built in $(( $(date +%s) - start )) s"
fi

mkdir -p "$root/bin"
cat >"$python" <<EOF
#!/bin/sh
# CPython 3.13.5 on musl (written by mk/musl_python.sh); TQ_MUSL_PATH goes first on the path
PYTHONPATH=\${TQ_MUSL_PATH:+\$TQ_MUSL_PATH:}$root/site
export PYTHONPATH
exec $prefix/bin/python3.13 "\$@"
EOF
chmod +x "$python"

if [ "$(cat "$root/site/.complete" 2>/dev/null)" != "$wheels" ]; then
  rm -rf "$root/site"
  "${PYTHON:-python3}" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    --target "$root/site" --platform musllinux_1_2_x86_64 --platform musllinux_1_1_x86_64 --python-version 3.13 \
    --implementation cp --only-binary=:all: $wheels
  echo "$wheels" >"$root/site/.complete"
fi

# The interpreter must be musl's through and through: the C library Python reports, the loader of its executable,
# and the platform tags an installer would accept for it.
"$python" - <<'EOF'
import platform, sys, sysconfig
from packaging import tags
libc = platform.libc_ver()
assert libc[0] == "musl", libc
assert sysconfig.get_config_var("MULTIARCH") == "x86_64-linux-musl", sysconfig.get_config_var("MULTIARCH")
first = next(iter(tags.sys_tags()))
assert "musllinux_1_2_x86_64" in str(first), first
print("musl-python:", sys.executable, platform.python_version(), libc, first)
EOF
