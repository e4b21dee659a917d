"""The wheel platforms, one row each: what a wheel for it is built with, what its extension may ask of the system,
and the interpreter its suite runs on. Adding a platform is a row here (an interpreter row in interpreters.py when
Debian's CPython for it is not there yet) and a row in the README's platform table."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from debian import HOST as DEBIAN_HOST
from facts import libm_functions

ROOT = Path(__file__).resolve().parent.parent
# glibc's libraries and libgcc_s.so.1, the system's unwinder (CMakeLists.txt says why the module uses it)
GLIBC = ("libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "libgcc_s.so.1")


@dataclass(frozen=True)
class Platform:
    name: str  # the check that runs its suite is test-<name>
    machine: str  # what platform.machine() says there
    zig: str  # zig's target: the glibc version is the oldest the wheel runs on
    tag: str  # the platform tag auditwheel must find the wheel consistent with
    needed: tuple  # the shared libraries the extension may need (DT_NEEDED)
    libm: str  # symbol version of the elementary functions in libm.so.6; "" for musl (no versions)
    interpreter: str  # the interpreter (interpreters.py) its suite and its same-bits stream run on
    debian: str = ""  # Debian's name of the architecture (glibc: whose libgcc_s.so.1 the build links to)
    suite: str = DEBIAN_HOST  # the Debian release that package (and its emulated CPython) comes from
    abi: str = "abi3"  # abi3: one wheel for CPython 3.8 on; cp313t: built by the free-threaded interpreter
    flags: str = "-mcpu=baseline"  # compile flags of the target's code generation
    libm_except: tuple = ()  # (function, version) where one function's version differs from `libm`
    headers: str = ""  # Debian architecture whose Python 3.11 headers (pyconfig.h) the build reads: 32-bit and
    # big-endian targets; "" for the build interpreter's own (64-bit, little-endian)
    ci: bool = True  # whether CI runs its suite and same-bits stream
    libm_by_name: bool = False  # musl targets where zig links its runtime library (which defines sin, log2, ...)
    # into the module: each libm function is looked up in the C library by name

    def libm_version(self, function: str) -> str:
        return dict(self.libm_except).get(function, self.libm)

    def musl_libc(self) -> str:
        """The C library's name on musl systems, which the extension needs ("" for glibc)."""
        return next((n for n in self.needed if n.startswith("libc.musl-")), "")

    def wheel_pattern(self) -> str:
        abi = "cp38-abi3" if self.abi == "abi3" else "%s-%s" % (self.abi.rstrip("t"), self.abi)
        return "tq_pyo3-*-%s-*%s*.whl" % (abi, self.tag)


PLATFORMS = {
    p.name: p
    for p in [
        Platform(
            "x86_64",
            "x86_64",
            "x86_64-linux-gnu.2.17",
            "manylinux_2_17_x86_64",
            GLIBC + ("ld-linux-x86-64.so.2",),
            "GLIBC_2.2.5",
            "host",
            "amd64",
        ),
        Platform(
            "aarch64",
            "aarch64",
            "aarch64-linux-gnu.2.17",
            "manylinux_2_17_aarch64",
            GLIBC + ("ld-linux-aarch64.so.1",),
            "GLIBC_2.17",
            "arm64",
            "arm64",
        ),
        Platform(
            "musl", "x86_64", "x86_64-linux-musl", "musllinux_1_2_x86_64", ("libc.musl-x86_64.so.1",), "", "musl-x86_64"
        ),
        Platform(
            "ft-wheel",
            "x86_64",
            "x86_64-linux-gnu.2.17",
            "manylinux_2_17_x86_64",
            GLIBC + ("ld-linux-x86-64.so.2",),
            "GLIBC_2.2.5",
            "ft",
            "amd64",
            abi="cp313t",
        ),
        # SSE2 (Pentium 4 on): doubles rounded once, as IEEE asks, not twice through the x87 unit's wider registers
        Platform(
            "i686",
            "i686",
            "x86-linux-gnu.2.17",
            "manylinux_2_17_i686",
            GLIBC + ("ld-linux.so.2",),
            "GLIBC_2.0",
            "i386",
            "i386",
            flags="-mcpu=pentium4 -mfpmath=sse",
            headers="i386",
            libm_except=(("log2", "GLIBC_2.1"), ("trunc", "GLIBC_2.1")),
            ci=False,
        ),
        # armv7-a, Thumb-2, VFPv3-D16 and no NEON, hard-float: Debian's armhf and Raspberry Pi OS 32-bit
        Platform(
            "armv7l",
            "armv7l",
            "arm-linux-gnueabihf.2.17",
            "manylinux_2_17_armv7l",
            GLIBC + ("ld-linux-armhf.so.3",),
            "GLIBC_2.4",
            "armhf",
            "armhf",
            flags="-mcpu=baseline-neon-d32",
            headers="armhf",
            ci=False,
        ),
        # zig has no glibc 2.17 for ppc64le; its 2.19 stubs are used and the module asks for nothing past 2.17
        Platform(
            "ppc64le",
            "ppc64le",
            "powerpc64le-linux-gnu.2.19",
            "manylinux_2_17_ppc64le",
            GLIBC + ("ld64.so.2",),
            "GLIBC_2.17",
            "ppc64el",
            "ppc64el",
            ci=False,
        ),
        # big-endian; z196, as Debian builds its s390x packages (zig's baseline would use z13's vector unit)
        Platform(
            "s390x",
            "s390x",
            "s390x-linux-gnu.2.17",
            "manylinux_2_17_s390x",
            GLIBC + ("ld64.so.1",),
            "GLIBC_2.2",
            "s390x",
            "s390x",
            flags="-mcpu=z196",
            headers="s390x",
            ci=False,
        ),
        # manylinux_2_31 is the first policy for riscv64; glibc has had the architecture since 2.27
        Platform(
            "riscv64",
            "riscv64",
            "riscv64-linux-gnu.2.31",
            "manylinux_2_31_riscv64",
            GLIBC + ("ld-linux-riscv64-lp64d.so.1",),
            "GLIBC_2.27",
            "riscv64",
            "riscv64",
            suite="trixie",
            ci=False,
        ),
        # zig links its runtime library into these (aarch64: quad long double helpers; armv7: 64-bit division), and
        # with it its own sin, log2, ...: the module looks the C library's up by name (cmake/zig-musl-libm-imports.cpp)
        Platform(
            "musl-aarch64",
            "aarch64",
            "aarch64-linux-musl",
            "musllinux_1_2_aarch64",
            ("libc.musl-aarch64.so.1",),
            "",
            "musl-aarch64",
            libm_by_name=True,
            ci=False,
        ),
        # Alpine's armv7 (armv7-a, VFPv3-D16, hard-float) names its C library libc.musl-armv7.so.1
        Platform(
            "musl-armv7l",
            "armv7l",
            "arm-linux-musleabihf",
            "musllinux_1_2_armv7l",
            ("libc.musl-armv7.so.1",),
            "",
            "musl-armv7l",
            flags="-mcpu=baseline-neon-d32",
            headers="armhf",
            libm_by_name=True,
            ci=False,
        ),
    ]
}


def libm_versions(platform: Platform, tree: Path = ROOT) -> str:
    """The toolchain's setting for a glibc platform: function=version;... for every function the tree lists."""
    return ";".join("%s=%s" % (name, platform.libm_version(name)) for name, _ in libm_functions(tree))
