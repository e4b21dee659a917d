#!/usr/bin/env bash
# Builds a CPython 3.13.5 on the musl C library with Debian's musl-gcc (musl-tools), to run the musllinux wheel on
# this glibc machine: the interpreter and its extension modules are loaded by musl's dynamic loader
# (/lib/ld-musl-x86_64.so.1), so nothing of glibc is in the process.
#
#   bash mk/musl_python.sh ROOT SRC     SRC is the folder that holds Python-3.13.5 (mk/cpython_source.sh);
#                                       then ROOT/bin/python3.13 -c 'import platform; print(platform.libc_ver())'
#
# musl-gcc has only musl's own headers and libraries: there is no OpenSSL, sqlite, bz2 or lzma for it, so those
# modules are not built (no ssl, sqlite3, ...). What is needed is an interpreter that runs pytest, hypothesis, the
# suite and the wheel: hypothesis needs zlib and the suite needs ctypes (libffi), so those two are built for musl
# first, from Debian 12's source packages (checked by sha256), into static libraries that the modules link in. The test tools are installed for it by the host's pip into ROOT/site, as musllinux or
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
# and pint (which uses NumPy when it imports) runs without it. mypy is left out too: the typing tests run it as a
# child without PYTHONPATH, where nothing from ROOT/site is found; they are skipped here. pip takes a wheel only for
# a platform tag named exactly, so every musllinux tag of musl 1.2 is named.
wheels="pytest==9.2.0 hypothesis==6.170.27 Pint==0.25.3"
# Debian 12 source package, upstream tarball, its sha256
deps="zlib zlib_1.2.13.dfsg.orig.tar.bz2 71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1
libffi libffi_3.4.4.orig.tar.gz d66c56ad259a82cf2a9dfc408b32bf5da52371500b84745f7fb8b645712df676"

if ! command -v musl-gcc >/dev/null 2>&1; then
  echo "musl-python: installing musl-tools"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq musl-tools musl-dev >/dev/null
fi

if [ ! -f "$prefix/.complete" ]; then
  test -f "$src/.tq-unpacked" || { echo "musl-python: no sources in $src; run make cpython-src"; exit 1; }
  rm -rf "$root/build" "$prefix" "$root/cc" "$root/deps"
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
  # zlib and libffi: the upstream tarballs of Debian 12's source packages, through a sources list of its own (the
  # host's apt setup is untouched), kept in ROOT/download across rebuilds; built static into ROOT/deps.
  apt_dir=$root/download
  apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives" -o "APT::Sandbox::User=root"
    -o "Acquire::Check-Valid-Until=false")
  while read -r package tarball sha256 <&3; do
    if ! echo "$sha256  $apt_dir/$tarball" | sha256sum --check --status 2>/dev/null; then
      mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
      echo "deb-src http://deb.debian.org/debian bookworm main" >"$apt_dir/sources.list"
      apt-get "${apt_opts[@]}" update -qq
      (cd "$apt_dir" && apt-get "${apt_opts[@]}" source --download-only -qq "$package")
      echo "$sha256  $apt_dir/$tarball" | sha256sum --check --quiet
    fi
    mkdir -p "$root/deps/src/$package"
    tar -xf "$apt_dir/$tarball" -C "$root/deps/src/$package" --strip-components=1
    static=--static
    [ "$package" = zlib ] || static="--disable-shared --enable-static --disable-docs --disable-multi-os-directory"
    (cd "$root/deps/src/$package" && CC="$root/cc/x86_64-linux-musl-gcc" CFLAGS="-O2 -fPIC" ./configure $static \
      --prefix="$root/deps" && make -s -j"${MUSL_JOBS:-2}" && make -s install) >"$root/deps/$package.log" 2>&1 \
      || { tail -30 "$root/deps/$package.log"; exit 1; }
  done 3<<<"$deps"
  mkdir -p "$root/build"
  # No pkg-config: it would bring the host's (glibc) headers and libraries into the build; zlib and libffi are
  # named outright. The CJK codecs are left out (the largest modules, of no use here).
  cjk=$(for m in _codecs_cn _codecs_hk _codecs_iso2022 _codecs_jp _codecs_kr _codecs_tw _multibytecodec; do
    printf 'py_cv_module_%s=n/a ' "$m"; done)
  (cd "$root/build" && "$src/configure" -q --prefix="$prefix" CC="$root/cc/x86_64-linux-musl-gcc" \
    PKG_CONFIG=/bin/false ZLIB_CFLAGS="-I$root/deps/include" ZLIB_LIBS="-L$root/deps/lib -lz" \
    LIBFFI_CFLAGS="-I$root/deps/include" LIBFFI_LIBS="-L$root/deps/lib -lffi" $cjk \
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
import ctypes, zlib  # the suite needs ctypes, hypothesis zlib
print("musl-python:", sys.executable, platform.python_version(), "musl %d.%d," % musl, "platforms", *platforms)
EOF
