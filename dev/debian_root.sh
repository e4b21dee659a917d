#!/usr/bin/env bash
# Debian roots for running the project under another distribution's interpreters (debootstrap + chroot).
#
#   bash dev/debian_root.sh make SUITE ROOT [PACKAGE...]   a minbase root of SUITE (bullseye, bookworm, trixie, sid)
#                                                          in ROOT with the packages installed; run again, it only
#                                                          installs what is missing
#   bash dev/debian_root.sh run ROOT [-b HOST_DIR:ROOT_DIR]... [--] COMMAND...
#                                                          COMMAND inside ROOT as root, with /proc, /dev and /dev/shm
#                                                          mounted and each HOST_DIR bound at ROOT_DIR, all in a
#                                                          private mount namespace that ends with the command
#
# apt inside a root reads Debian's archive like the host. The archive's sid Release file can be past its
# Valid-Until date, so roots do not check that date. pip inside a root reaches PyPI like the host's: the host's
# CA bundle and pip settings are copied in.
set -euo pipefail

mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

setup_root() {  # ROOT: the host settings a root needs, written anew each time
  local root=$1
  mkdir -p "$root/etc/apt/apt.conf.d"
  printf 'Acquire::Check-Valid-Until "false";\nAPT::Install-Recommends "false";\n' >"$root/etc/apt/apt.conf.d/99tq"
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/tq-host-ca.crt"
  printf '[global]\ncert = /etc/tq-host-ca.crt\nbreak-system-packages = true\n' >"$root/etc/pip.conf"
}

in_root() {  # ROOT BIND... -- COMMAND...: run in a private mount namespace
  local root=$1
  shift
  local mounts="mount -t proc proc '$root/proc' && mount --rbind /dev '$root/dev' && mount -t tmpfs tmpfs '$root/dev/shm'"
  while [ $# -gt 0 ] && [ "$1" = -b ]; do
    local host=${2%%:*} inside=${2#*:}
    mkdir -p "$root$inside"
    mounts+=" && mount --bind '$host' '$root$inside'"
    shift 2
  done
  [ "${1:-}" = -- ] && shift
  unshare --mount --propagation private -- sh -c "$mounts && exec chroot '$root' env -i \
    HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 DEBIAN_FRONTEND=noninteractive \"\$@\"" sh "$@"
}

case "${1:-}" in
  make)
    suite=$2
    root=$(mkdir -p "$3" && cd "$3" && pwd)
    shift 3
    # one maker at a time: `dev/run.py ci` starts making the sid root beside the first checks
    exec 9>"$root.lock"
    flock 9
    if [ ! -x "$root/usr/bin/apt-get" ] || [ ! -e "$root/.tq-bootstrapped" ]; then
      command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap; }
      rm -rf "$root" && mkdir -p "$root"
      echo "debian_root: debootstrap $suite into $root"
      debootstrap --variant=minbase --include=ca-certificates "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 \
        || { tail -n 20 "$root.debootstrap.log"; exit 1; }
      touch "$root/.tq-bootstrapped"
    fi
    setup_root "$root"
    if [ $# -gt 0 ]; then
      installed=$( (in_root "$root" -- dpkg-query -W -f '${Package} ${db:Status-Abbrev}\n' "$@" 2>/dev/null || true) \
        | awk '$2 == "ii" {print $1}' | sort -u)
      wanted=$(printf '%s\n' "$@" | sed 's/:.*//' | sort -u)
      if [ -n "$(comm -23 <(echo "$wanted") <(echo "$installed"))" ]; then
        in_root "$root" -- apt-get update -qq
        in_root "$root" -- apt-get install -y -qq "$@" >"$root.apt.log" 2>&1 || { tail -n 20 "$root.apt.log"; exit 1; }
      fi
    fi
    ;;
  run)
    root=$(cd "$2" && pwd)
    shift 2
    setup_root "$root"
    in_root "$root" "$@"
    ;;
  *)
    sed -n '2,12p' "$0"
    exit 2
    ;;
esac
