"""Debian's names, each written once: the archive, the release this machine runs (whose packages the checks install
by name), the releases `make distros` tries, each release's python3, and the qemu that runs each architecture. The
architecture and release a wheel platform's packages come from are in its row (dev/platforms.py)."""

import os

ARCHIVE = os.environ.get("DEBIAN_MIRROR", "http://deb.debian.org/debian")
HOST = "bookworm"  # Debian 12
RELEASES = ("bullseye", "bookworm", "trixie", "sid")  # Debian 11, 12, 13 and unstable
PYTHON = {"bookworm": "3.11", "trixie": "3.13"}  # the release's python3, whose packages the emulated rows run
QEMU = {
    "arm64": "qemu-aarch64-static",
    "i386": "qemu-i386-static",
    "armhf": "qemu-arm-static",
    "ppc64el": "qemu-ppc64le-static",
    "s390x": "qemu-s390x-static",
    "riscv64": "qemu-riscv64-static",
}


def sources(kind: str, suite: str) -> list:
    """A sources.list line of the archive: kind "deb" (binary packages) or "deb-src"."""
    return ["%s %s %s main" % (kind, ARCHIVE, suite)]
