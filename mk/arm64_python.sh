#!/usr/bin/env bash
# Prepares an aarch64 CPython 3.11 that runs on this x86-64 machine under user-mode emulation, without binfmt:
# Debian's arm64 packages of the interpreter and of the libraries it loads are unpacked into one folder, and
# ROOT/bin/python3.11 is a small script that starts it through qemu-aarch64-static. That script is also the
# interpreter's sys.executable (qemu's -0 sets argv[0]), so a child started with sys.executable is emulated too.
# The test tools (pytest, hypothesis, NumPy, pint, mypy) are installed for it by the host's pip into ROOT/site.
#
#   bash mk/arm64_python.sh ROOT        then   ROOT/bin/python3.11 -c 'import platform; print(platform.machine())'
#
# Run again, it keeps what is there (the tools are installed anew when their pins change); remove ROOT to start over.
set -euo pipefail

root=$(mkdir -p "$1" && cd "$1" && pwd)
sysroot=$root/sysroot
python=$root/bin/python3.11
# The interpreter, its standard library, the C library, and the shared libraries that the modules used here link
# (ssl/hashlib, bz2, lzma, zlib, pyexpat, ctypes, sqlite3, readline, curses, uuid, crypt), and libstdc++ for NumPy
# (our wheel must not need it: auditwheel checks that). The dbm and nis modules' libraries are left out.
packages="libc6 libgcc-s1 libstdc++6 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libexpat1 zlib1g
  libssl3 libbz2-1.0 liblzma5 libffi8 libsqlite3-0 libreadline8 libncursesw6 libtinfo6 libuuid1 libcrypt1"
# Pinned like the host's test environment (NumPy's and mypy's wheels hold aarch64 code). pip takes a wheel only for
# a platform tag named exactly, so every manylinux tag that the arm64 C library (glibc 2.36) accepts is named.
wheels="pytest==9.2.0 hypothesis==6.170.27 numpy==2.4.6 Pint==0.25.3 mypy==2.4.1"
platforms=$(for minor in $(seq 17 36); do printf -- '--platform manylinux_2_%s_aarch64 ' "$minor"; done)

if ! command -v qemu-aarch64-static >/dev/null 2>&1; then
  echo "arm64: installing qemu-user-static"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static >/dev/null
fi

if [ ! -f "$sysroot/.complete" ]; then
  rm -rf "$sysroot" "$root/debs"
  mkdir -p "$sysroot" "$root/debs"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    apt-get update -qq
  fi
  (cd "$root/debs" && apt-get download -qq -o APT::Sandbox::User=root $(printf '%s:arm64 ' $packages)) || {
    apt-get update -qq
    (cd "$root/debs" && apt-get download -qq -o APT::Sandbox::User=root $(printf '%s:arm64 ' $packages))
  }
  for deb in "$root"/debs/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
  done
  touch "$sysroot/.complete"
fi

mkdir -p "$root/bin"
cat >"$python" <<EOF
#!/bin/sh
# aarch64 CPython 3.11 under qemu user-mode emulation (written by mk/arm64_python.sh)
PYTHONHOME=$sysroot/usr
LD_LIBRARY_PATH=$sysroot/lib/aarch64-linux-gnu:$sysroot/usr/lib/aarch64-linux-gnu
PYTHONPATH=\${TQ_ARM64_PATH:+\$TQ_ARM64_PATH:}$root/site
export PYTHONHOME LD_LIBRARY_PATH PYTHONPATH
exec qemu-aarch64-static -L $sysroot -0 $python $sysroot/usr/bin/python3.11 "\$@"
EOF
chmod +x "$python"

if [ "$(cat "$root/site/.complete" 2>/dev/null)" != "$wheels" ]; then
  rm -rf "$root/site"
  "${PYTHON:-python3}" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    --target "$root/site" $platforms --python-version 3.11 --implementation cp --only-binary=:all: $wheels
  echo "$wheels" >"$root/site/.complete"
fi

"$python" -c 'import platform, sys
assert platform.machine() == "aarch64", platform.machine()
print("arm64:", sys.executable, platform.python_implementation(), platform.python_version(), platform.machine())'
