#!/usr/bin/env bash
# The CPython 3.13.5 sources, from Debian trixie's source package python3.13, checked and unpacked once:
#
#   bash mk/cpython_source.sh DIR     then   DIR/Python-3.13.5 holds the upstream sources
#
# apt reads a sources list of its own under DIR (a deb-src line for trixie), so the host's apt setup is untouched.
# Only the upstream (orig) tarball is used, and its sha256 must be the one below. Interpreters built from it
# (the free-threaded one, the ThreadSanitizer one, the musl one) each configure a copy of their own.
set -euo pipefail

version=3.13.5
sha256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640
dir=$(mkdir -p "$1" && cd "$1" && pwd)
src=$dir/Python-$version
[ -e "$src/.tq-unpacked" ] && exit 0

exec 9>"$dir/.lock"
flock 9  # builds started side by side wait for one download
[ -e "$src/.tq-unpacked" ] && exit 0

apt_dir=$dir/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/download"
echo "deb-src http://deb.debian.org/debian trixie main" >"$apt_dir/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives" -o "APT::Sandbox::User=root"
  -o "Acquire::Check-Valid-Until=false")
tarball=$apt_dir/download/python3.13_$version.orig.tar.xz
if ! echo "$sha256  $tarball" | sha256sum --check --status 2>/dev/null; then
  apt-get "${apt_opts[@]}" update -qq
  (cd "$apt_dir/download" && apt-get "${apt_opts[@]}" source --download-only -qq python3.13)
  echo "$sha256  $tarball" | sha256sum --check --quiet
fi
rm -rf "$src"
tar -xJf "$tarball" -C "$dir"
touch "$src/.tq-unpacked"
echo "cpython_source: $src"
