"""The wheel platforms, one row each: what a wheel for it is built with, what its extension may ask of the system,
and the interpreter its suite runs on. Adding a platform is a row here (an interpreter row in interpreters.py when
Debian's CPython for it is not there yet) and a row in the README's platform table."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from facts import libm_functions

ROOT = Path(__file__).resolve().parent.parent
# glibc's libraries and libgcc_s.so.1, the system's unwinder (CMakeLists.txt says why the module uses it)
GLIBC = ("libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "libgcc_s.so.1")


@dataclass(frozen=True)
class Platform:
    name: str                 # the check that runs its suite is test-<name>
    zig: str                  # zig's target: the glibc version is the oldest the wheel runs on
    tag: str                  # the platform tag auditwheel must find the wheel consistent with
    needed: tuple             # the shared libraries the extension may need (DT_NEEDED)
    libm: str                 # symbol version of the elementary functions in libm.so.6; "" for musl (no versions)
    interpreter: str          # the interpreter (interpreters.py) its suite and its same-bits stream run on
    debian: str = ""          # Debian's name of the architecture (glibc: whose libgcc_s.so.1 the build links to)
    suite: str = "bookworm"   # the Debian suite that package comes from
    abi: str = "abi3"         # abi3: one wheel for CPython 3.8 on; cp313t: built by the free-threaded interpreter
    flags: str = "-mcpu=baseline"  # compile flags of the target's code generation
    libm_except: tuple = ()   # (function, version) where one function's version differs from `libm`
    ci: bool = True           # whether CI runs its suite and same-bits stream

    @property
    def arch(self) -> str:
        return self.zig.split("-")[0]

    def libm_version(self, function: str) -> str:
        return dict(self.libm_except).get(function, self.libm)

    def wheel_pattern(self) -> str:
        abi = "cp38-abi3" if self.abi == "abi3" else "%s-%s" % (self.abi.rstrip("t"), self.abi)
        return "tq_pyo3-*-%s-*%s*.whl" % (abi, self.tag)


PLATFORMS = {p.name: p for p in [
    Platform("x86_64", "x86_64-linux-gnu.2.17", "manylinux_2_17_x86_64", GLIBC + ("ld-linux-x86-64.so.2",),
             "GLIBC_2.2.5", "host", "amd64"),
    Platform("aarch64", "aarch64-linux-gnu.2.17", "manylinux_2_17_aarch64", GLIBC + ("ld-linux-aarch64.so.1",),
             "GLIBC_2.17", "arm64", "arm64"),
    Platform("musl", "x86_64-linux-musl", "musllinux_1_2_x86_64", ("libc.musl-x86_64.so.1",), "", "musl-x86_64"),
    Platform("ft-wheel", "x86_64-linux-gnu.2.17", "manylinux_2_17_x86_64", GLIBC + ("ld-linux-x86-64.so.2",),
             "GLIBC_2.2.5", "ft", "amd64", abi="cp313t"),
]}


def libm_versions(platform: Platform) -> str:
    """The toolchain's setting for a glibc platform: function=version;... for every listed function."""
    return ";".join("%s=%s" % (name, platform.libm_version(name)) for name, _ in libm_functions())
