#!/usr/bin/env bash
# Builds a CPython 3.13.5 on the musl C library with Debian's musl-gcc (musl-tools), to run the musllinux wheel on
# this glibc machine: the interpreter and its extension modules are loaded by musl's dynamic loader
# (/lib/ld-musl-x86_64.so.1), so nothing of glibc is in the process.
#
#   bash mk/musl_python.sh ROOT SRC     SRC is the folder that holds Python-3.13.5 (mk/cpython_source.sh);
#                                       then ROOT/bin/python3.13 -c 'import platform; print(platform.libc_ver())'
#
# musl-gcc has only musl's own headers and libraries: there is no OpenSSL, libffi, sqlite, bz2 or lzma for it, so
# those modules are not built (no ssl, ctypes, sqlite3, ...). What is needed is an interpreter that runs pytest,
# hypothesis and the wheel; hypothesis needs zlib, so zlib is built for musl first, from Debian 12's source package
# (checked by sha256) into a static library that the zlib module links in. The test tools are installed for it by the host's pip into ROOT/site, as musllinux or
# pure wheels (the interpreter itself cannot reach an index: it has no ssl).
# Run again, it keeps what is there (the tools are installed anew when their pins change); remove ROOT to start over.
set -euo pipefail

root=$(mkdir -p "$1" && cd "$1" && pwd)
src=$(cd "$2" && pwd)/Python-3.13.5
prefix=$root/install
python=$root/bin/python3.13
# Pinned like the host's test environment. NumPy is left out: its musllinux wheels carry shared libraries
# (OpenBLAS, libgfortran, libquadmath) linked with packed relative relocations (DT_RELR), which musl's loader reads
# from 1.2.4 on, and Debian 12's musl is 1.2.3, so `import numpy` crashes here; the suite skips its NumPy tests,
# and pint (which uses NumPy when it imports) runs without it. mypy ships a musllinux wheel, the rest is pure
# Python. pip takes a wheel only for a platform tag named exactly, so every musllinux tag of musl 1.2 is named.
wheels="pytest==9.2.0 hypothesis==6.170.27 Pint==0.25.3 mypy==2.4.1"
zlib_tarball=zlib_1.2.13.dfsg.orig.tar.bz2
zlib_sha256=71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1

if ! command -v musl-gcc >/dev/null 2>&1; then
  echo "musl-python: installing musl-tools"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq musl-tools musl-dev >/dev/null
fi

if [ ! -f "$prefix/.complete" ]; then
  test -f "$src/.tq-unpacked" || { echo "musl-python: no sources in $src; run make cpython-src"; exit 1; }
  rm -rf "$root/build" "$prefix" "$root/cc" "$root/zlib"
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
  start=$(date +%s)
  # zlib: the upstream tarball of Debian 12's source package, through a sources list of its own (the host's apt
  # setup is untouched), kept in ROOT/download across rebuilds.
  apt_dir=$root/download
  apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives" -o "APT::Sandbox::User=root"
    -o "Acquire::Check-Valid-Until=false")
  if ! echo "$zlib_sha256  $apt_dir/$zlib_tarball" | sha256sum --check --status 2>/dev/null; then
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
    echo "deb-src http://deb.debian.org/debian bookworm main" >"$apt_dir/sources.list"
    apt-get "${apt_opts[@]}" update -qq
    (cd "$apt_dir" && apt-get "${apt_opts[@]}" source --download-only -qq zlib)
    echo "$zlib_sha256  $apt_dir/$zlib_tarball" | sha256sum --check --quiet
  fi
  mkdir -p "$root/zlib/src"
  tar -xjf "$apt_dir/$zlib_tarball" -C "$root/zlib/src" --strip-components=1
  (cd "$root/zlib/src" && CC="$root/cc/x86_64-linux-musl-gcc" CFLAGS="-O2 -fPIC" ./configure --static \
    --prefix="$root/zlib" && make -s -j"${MUSL_JOBS:-2}" libz.a && make -s install) >"$root/zlib.log" 2>&1 \
    || { tail -30 "$root/zlib.log"; exit 1; }
  mkdir -p "$root/build"
  # No pkg-config: it would bring the host's (glibc) headers and libraries into the build; zlib is named outright.
  (cd "$root/build" && "$src/configure" -q --prefix="$prefix" CC="$root/cc/x86_64-linux-musl-gcc" \
    PKG_CONFIG=/bin/false ZLIB_CFLAGS="-I$root/zlib/include" ZLIB_LIBS="-L$root/zlib/lib -lz" \
    --without-ensurepip --disable-test-modules) \
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

# The interpreter must be musl's through and through: the loader its executable names, the C library that loader
# reports, the platform triplet CPython was configured for, and the platform tags an installer would accept for it.
# (platform.libc_ver() knows glibc only: it answers ('libc', '') here.)
"$python" - <<'EOF'
import platform, sys, sysconfig
from packaging import _musllinux, tags
musl = _musllinux._get_musl_version(sys.executable)
assert musl is not None and (musl.major, musl.minor) >= (1, 2), musl
assert sysconfig.get_config_var("MULTIARCH") == "x86_64-linux-musl", sysconfig.get_config_var("MULTIARCH")
platforms = list(tags.platform_tags())
assert "musllinux_1_2_x86_64" in platforms and not any("manylinux" in p for p in platforms), platforms
import zlib  # hypothesis needs it
print("musl-python:", sys.executable, platform.python_version(), "musl %d.%d," % musl, "platforms", *platforms)
EOF
