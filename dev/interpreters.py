"""Every interpreter the checks run the module on, as rows, and one builder per way of getting one:

  host       this machine's python3 (the one running the checks)
  source     CPython built here from the checked sources (CPYTHON), with given configure flags and compiler
  emulated   Debian's own CPython packages for another architecture, run by qemu user-mode emulation
  root       a Debian suite's CPython inside a Debian root (debootstrap + chroot, dev/debian_root.sh)
  cross      CPython from the checked sources cross-built with zig for musl on another architecture, run by qemu
             user-mode emulation with Debian's musl as its C library (dev/musl_cross.py)

Whatever the kind, an interpreter and the pinned test tools for it are made once, under a lock, and shared by every
check. Each check gets an Env of its own on top (ready(), venv_env()): how to start the interpreter, and a site
folder of the check's own, where the module under test is put (unpacked from a wheel) before each suite, read
before the shared tools. For the interpreters that can make one, that is a virtual environment whose .pth file adds
the shared tools' site; under qemu, a wrapper that names the check's user site (PYTHONUSERBASE). Nothing is pointed
at by PYTHONPATH, so the suite's own child interpreters (started as sys.executable) see the same.
"""

from __future__ import annotations

import os
import re
import shutil
import sys
import textwrap
from dataclasses import dataclass, field
from pathlib import Path

import debian
from platforms import PLATFORMS
from steps import (
    BUILD,
    ROOT,
    Failed,
    apt,
    apt_private,
    extra,
    fetch_checked,
    key_of,
    lock,
    output,
    pins,
    run,
    say,
    stamp,
    stamped,
    summary_line,
    tree_key,
    unpack_wheel,
    venv,
    wheel_of,
    work,
    write_script,
)

# The CPython sources every interpreter built here starts from: the upstream tarball of a Debian source package,
# fetched through a private apt index and checked by its sha256.
CPYTHON = dict(
    version="3.13.5",
    minor="3.13",
    package="python3.13",
    suite="trixie",
    sha256="93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640",
)
assert CPYTHON["version"].startswith(CPYTHON["minor"] + ".") and CPYTHON["package"] == "python" + CPYTHON["minor"]
# Static libraries a musl interpreter links into its modules (zlib for hypothesis, libffi for ctypes), from
# Debian 12's source packages.
MUSL_DEPS = [
    ("zlib", "zlib_1.2.13.dfsg.orig.tar.bz2", "71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1"),
    ("libffi", "libffi_3.4.4.orig.tar.gz", "d66c56ad259a82cf2a9dfc408b32bf5da52371500b84745f7fb8b645712df676"),
]
ALL_TOOLS = ("pytest", "hypothesis", "numpy", "pint", "mypy")


@dataclass(frozen=True)
class Interpreter:
    name: str
    kind: str  # host, source, emulated, root, cross
    what: str  # one line for `make help` and logs
    python: str = "python3"  # the executable's name (source: in its prefix; root: in the root)
    tools: tuple = ALL_TOOLS  # which of the pinned test tools (dependency group "test-pinned") it gets
    pinned: bool = True  # False: the test extra's ranges, as wheels (the pins have none for it)
    env: tuple = ()  # (name, value) set for every run, e.g. PYTHON_GIL=0
    # source
    configure: tuple = ()
    cc: str = "gcc"
    apt: tuple = ()
    musl: bool = False
    probe: str = "import ssl, zlib, ctypes"  # must run on the new interpreter
    # emulated
    arch: str = ""  # Debian's architecture name
    suite: str = ""  # Debian suite (emulated: where the packages come from; root: the root's)
    packages: tuple = ()
    qemu: str = ""
    wheel_platforms: tuple = ()  # platform tags pip may take wheels of the test tools for (emulated, musl)
    machine: str = ""  # what platform.machine() must say under emulation
    debian_numpy: bool = False  # NumPy from Debian's python3-numpy (PyPI's pinned one has no wheel there)
    # cross (with arch, suite, packages, qemu, wheel_platforms, machine, configure, probe of the kinds above)
    target: str = ""  # zig's target, which is also configure's --host and the platform triplet
    flags: str = ""  # zig's code generation flags for it


def _debian(platform, oldest_wheel=17, tools=ALL_TOOLS, debian_numpy=False):
    """Debian's CPython for the architecture of a wheel platform's row, from its release: the interpreter, its
    standard library and the shared libraries its modules load (ssl, bz2, lzma, zlib, expat, ctypes, sqlite3,
    readline, curses, uuid, crypt), and libstdc++ for the test tools' compiled parts (our wheel must not need it:
    the wheel checks see to that)."""
    row = PLATFORMS[platform]
    arch, suite, machine, qemu = row.debian, row.suite, row.machine, debian.QEMU[row.debian]
    version = debian.PYTHON[suite]
    python = "python" + version
    newer = debian.RELEASES.index(suite) > debian.RELEASES.index(debian.HOST)
    t64, newest = ("t64", 41) if newer else ("", 36)
    packages = (
        "libc6",
        "libgcc-s1",
        "libstdc++6",
        python + "-minimal",
        "lib%s-minimal" % python,
        "lib%s-stdlib" % python,
        "libexpat1",
        "zlib1g",
        "libssl3" + t64,
        "libbz2-1.0",
        "liblzma5",
        "libffi8",
        "libsqlite3-0",
        "libreadline8" + t64,
        "libncursesw6",
        "libtinfo6",
        "libuuid1",
        "libcrypt1",
    )
    packages += ("libmpdec4",) if newer else ()  # trixie's CPython links the system's libmpdec
    return Interpreter(
        name=row.interpreter,
        kind="emulated",
        what="Debian %s's CPython %s for %s under %s" % (suite, version, arch, qemu),
        python=python,
        arch=arch,
        suite=suite,
        qemu=qemu,
        machine=machine,
        tools=tools,
        packages=packages,
        debian_numpy=debian_numpy,
        wheel_platforms=tuple("manylinux_2_%d_%s" % (minor, machine) for minor in range(oldest_wheel, newest + 1)),
    )


# What a musl interpreter is configured with: no pip (nothing to fetch it with, no ssl), no test modules, and no CJK
# codecs (nothing here uses them).
MUSL_CONFIGURE = ("--without-ensurepip", "--disable-test-modules") + tuple(
    "py_cv_module_%s=n/a" % m
    for m in (
        "_codecs_cn",
        "_codecs_hk",
        "_codecs_iso2022",
        "_codecs_jp",
        "_codecs_kr",
        "_codecs_tw",
        "_multibytecodec",
    )
)


def _musl_cross(platform, arch, tools=("pytest", "hypothesis", "pint")):
    """CPython from the checked sources cross-built with zig for musl on another architecture, run by qemu with
    Debian trixie's musl (1.2.5) as its C library and loader; zig's target, its flags and the machine are those of
    the wheel platform's row, whose suite it runs."""
    row = PLATFORMS[platform]
    target, qemu = row.zig, debian.QEMU[arch]
    return Interpreter(
        name=row.interpreter,
        kind="cross",
        python=CPYTHON["package"],
        musl=True,
        target=target,
        flags=row.flags,
        arch=arch,
        what="CPython %s cross-built with zig for %s, under %s with Debian trixie's musl"
        % (CPYTHON["version"], target, qemu),
        suite="trixie",
        packages=("musl",),
        qemu=qemu,
        machine=row.machine,
        tools=tools,
        configure=MUSL_CONFIGURE,
        wheel_platforms=("musllinux_1_2_" + row.machine, "musllinux_1_1_" + row.machine),
        probe="import ctypes, zlib, sysconfig; assert sysconfig.get_config_var('MULTIARCH') == %r" % target,
    )


# PyPI's pinned NumPy has wheels for x86-64 and aarch64 only; mypy needs librt, which has no armv7l or s390x wheel
# (its typing tests are skipped there); hypothesis's compiled wheels for i686 go back to manylinux_2_5.
NO_NUMPY = ("pytest", "hypothesis", "pint", "mypy")
NO_NUMPY_NO_MYPY = ("pytest", "hypothesis", "pint")

INTERPRETERS = {
    i.name: i
    for i in [
        Interpreter("host", "host", "this machine's python3, the one running the checks", python=sys.executable),
        # hypothesis's pinned release has no wheel for the free-threaded ABI (a compiled part)
        Interpreter(
            "ft",
            "source",
            "free-threaded CPython (--disable-gil), GIL forced off",
            python=CPYTHON["package"] + "t",
            configure=("--disable-gil",),
            env=(("PYTHON_GIL", "0"),),
            pinned=False,
            apt=("gcc", "make", "pkg-config", "xz-utils", "libssl-dev", "zlib1g-dev", "libffi-dev"),
            probe="import ssl, zlib, ctypes, sysconfig; assert sysconfig.get_config_var('Py_GIL_DISABLED')",
        ),
        Interpreter(
            "tsan",
            "source",
            "free-threaded CPython built with ThreadSanitizer (clang 16)",
            python=CPYTHON["package"] + "t",
            tools=("pytest", "hypothesis"),
            cc="clang-16",
            pinned=False,
            configure=("--disable-gil", "--with-thread-sanitizer"),
            apt=(
                "clang-16",
                "libclang-rt-16-dev",
                "make",
                "pkg-config",
                "xz-utils",
                "libssl-dev",
                "zlib1g-dev",
                "libffi-dev",
            ),
            probe="import ssl, zlib, ctypes, sysconfig; assert '-fsanitize=thread' in "
            "sysconfig.get_config_var('LDFLAGS')",
        ),
        # musl's gcc has no OpenSSL, sqlite, bz2 or lzma: those modules are left out; numpy's musllinux wheels need
        # a newer musl (DT_RELR) than Debian 12's, and mypy would need them, so neither is installed.
        Interpreter(
            "musl-x86_64",
            "source",
            "CPython built with Debian's musl-gcc (nothing of glibc in the process)",
            python=CPYTHON["package"],
            cc="musl-gcc",
            musl=True,
            tools=("pytest", "hypothesis", "pint"),
            apt=("musl-tools", "musl-dev", "make", "xz-utils"),
            configure=MUSL_CONFIGURE,
            wheel_platforms=("musllinux_1_2_x86_64", "musllinux_1_1_x86_64"),
            probe="import ctypes, zlib, sysconfig; assert sysconfig.get_config_var('MULTIARCH') == 'x86_64-linux-musl'",
        ),
        _debian("aarch64"),
        _debian("i686", 5, NO_NUMPY, True),
        _debian("armv7l", tools=NO_NUMPY_NO_MYPY, debian_numpy=True),
        _debian("ppc64le", tools=NO_NUMPY, debian_numpy=True),
        _debian("s390x", tools=NO_NUMPY_NO_MYPY, debian_numpy=True),
        _debian("riscv64", tools=NO_NUMPY, debian_numpy=True),
        # No sqlite3 for them, and mypy keeps its cache there: without it the typing tests would fail, not skip. PyPI's
        # pinned NumPy has a musllinux wheel for aarch64 (its libraries use DT_RELR, which trixie's musl 1.2.5 reads).
        _musl_cross("musl-aarch64", "arm64", tools=("pytest", "hypothesis", "numpy", "pint")),
        _musl_cross("musl-armv7l", "armhf"),
    ]
    + [
        Interpreter("sid-" + v, "root", "Debian sid's CPython %s" % v, python="python" + v, suite="sid", pinned=False)
        for v in ("3.14", "3.15")  # the pinned NumPy has no wheel for 3.15
    ]
    + [
        Interpreter(
            "sid-%s-dbg" % v,
            "root",
            "Debian sid's CPython %s, debug build" % v,
            suite="sid",
            python="python%s-dbg" % v,
            tools=("pytest",),
        )  # its ABI (d) has no wheels: the ledger's needs
        for v in ("3.14", "3.15")
    ]
}

# What a Debian root for the sid interpreters holds besides them.
ROOT_PACKAGES = {
    "sid": (
        "python3.14",
        "python3.14-venv",
        "python3.14-dev",
        "python3.14-dbg",
        "python3.15",
        "python3.15-venv",
        "python3.15-dev",
        "python3.15-dbg",
        "build-essential",
        "git",
        "valgrind",
    )
}


def test_tools(interp: Interpreter) -> list[str]:
    """The test tools this interpreter gets: pinned, or the test extra's ranges."""
    wanted = {name.lower() for name in interp.tools}
    requirements = pins("test-pinned") if interp.pinned else [r.split(";")[0].strip() for r in extra("test")]
    return [req for req in requirements if re.split(r"[=<>!~ ]", req)[0].lower() in wanted]


# ---- Env: an interpreter made ready --------------------------------------------------------------------------------


@dataclass
class Env:
    name: str
    argv: list  # starts the interpreter
    site: Path  # host path of the folder it reads packages from
    env: dict = field(default_factory=dict)
    root: Path | None = None  # a Debian root it runs inside: this checkout appears there at /src
    kind: str = "venv"  # venv: a virtual environment (site: its own); qemu: a wrapper script (site: shared)
    identity: str = ""  # the interpreter it starts, for keeping modules built by it

    def path(self, p) -> str:
        """A host path as the interpreter sees it."""
        p = Path(p).resolve()
        if self.root is None:
            return str(p)
        return "/src/" + p.relative_to(ROOT).as_posix()

    def command(self, args, *, cwd: Path = ROOT, env: dict | None = None) -> list:
        args = [self.path(a) if isinstance(a, Path) else str(a) for a in args]
        if self.root is None:
            return [*self.argv, *args]
        settings = ["%s=%s" % kv for kv in {**self.env, **(env or {})}.items()]
        return [
            "bash",
            ROOT / "dev" / "debian_root.sh",
            "run",
            self.root,
            "-b",
            "%s:/src" % ROOT,
            "--",
            "env",
            *settings,
            "sh",
            "-c",
            'cd "$0" && exec "$@"',
            self.path(cwd),
            *self.argv,
            *args,
        ]

    def python(self, *args, cwd: Path = ROOT, env: dict | None = None, **kwargs):
        merged = None if self.root is not None else {**self.env, **(env or {})}
        return run(self.command(args, cwd=cwd, env=env), cwd=cwd if self.root is None else None, env=merged, **kwargs)

    def install(self, wheel: Path) -> None:
        unpack_wheel(wheel, self.site)

    def build(
        self,
        tree: Path,
        out: Path,
        *,
        build_dir: Path | None = None,
        defines: dict | None = None,
        settings: tuple = (),
        env: dict | None = None,
        log: Path | None = None,
        isolated: bool = False,
    ) -> Path:
        """A wheel of the module built from `tree` by this interpreter (its headers and ABI) with pip, as a user's
        `pip install .` builds it; `defines` are CMake variables, `settings` scikit-build-core's. Not isolated, the
        build backend is the environment's own (pinned there: dependency group build-backend)."""
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        args = ["-m", "pip", "wheel", "-q", "--no-deps", "--disable-pip-version-check", "-w", out]
        args += [] if isolated else ["--no-build-isolation"]
        args += ["-Cbuild-dir=%s" % self.path(build_dir)] if build_dir is not None else []
        args += ["-C%s" % s for s in settings] + ["-Ccmake.define.%s=%s" % kv for kv in (defines or {}).items()]
        self.python(*args, tree, env={"CMAKE_BUILD_PARALLEL_LEVEL": "2", **(env or {})}, log=log)
        return wheel_of(out)

    def install_from_source(self, tree: Path, **kwargs) -> Path:
        """The module built from `tree` and put into this environment; the wheel. A build is kept by what it was
        made from (the tree's files, the interpreter, the settings): a check that asks for the same gets it."""
        config = key_of(kwargs.get("defines"), kwargs.get("settings"), kwargs.get("env"))
        key = key_of(tree_key(tree), self.identity or self.argv, config)
        kept = BUILD / "modules" / key
        with lock("module-" + key):
            if not stamped(kept, key):
                own = work(tree) / "module" / self.name
                # a build folder per configuration: CMake keeps the compiler of its first configure
                wheel = self.build(
                    tree, own / "wheel", build_dir=own / ("cmake-" + config), log=own / "build.log", **kwargs
                )
                shutil.rmtree(kept, ignore_errors=True)
                kept.mkdir(parents=True)
                shutil.copy(wheel, kept)
                stamp(kept, key)
        wheel = wheel_of(kept)
        self.install(wheel)
        return wheel

    def suite(
        self,
        *pytest_args,
        tree: Path = ROOT,
        env: dict | None = None,
        log: Path | None = None,
        check: bool = True,
        timeout: float | None = None,
    ) -> str:
        """The test suite of `tree` on this interpreter, on the module in its site folder; the summary line. Each
        check keeps hypothesis' examples in a folder of its own."""
        log = log or work(tree) / ("suite-%s.log" % self.name)
        examples = work(tree) / "hypothesis" / self.name
        examples.mkdir(parents=True, exist_ok=True)
        env = {"HYPOTHESIS_STORAGE_DIRECTORY": self.path(examples), **(env or {})}
        done = self.python(
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            *pytest_args,
            cwd=tree,
            env=env,
            log=log,
            check=False,
            timeout=timeout,
        )
        line = summary_line(log.read_text(errors="replace"))
        say("   %s: %s" % (self.name, line))
        if check and done.returncode != 0:
            text = log.read_text(errors="replace").splitlines()
            say("\n".join([t for t in text if t.startswith(("FAILED", "ERROR"))][:30] or text[-40:]))
            raise Failed("the suite failed on %s: %s (log: %s)" % (self.name, line, log))
        return line


def ready(name: str, label: str = "") -> Env:
    """The interpreter of that row, built or fetched the first time, with its test tools; an Env of this check's own
    on it, in its folder `label` (by default the interpreter's name)."""
    interp = INTERPRETERS[name]
    maker = {"host": _host, "source": _from_source, "emulated": _emulated, "root": _in_root, "cross": _cross}
    with lock("python-" + name):
        shared = maker[interp.kind](interp)
    return _own(shared, label or name)


def _cross(interp: Interpreter) -> Env:
    from musl_cross import cross_built  # that builder imports this module's shared steps

    return cross_built(interp)


def _own(shared: Env, label: str) -> Env:
    """This check's Env on a shared one: a site folder of its own, read before the shared tools."""
    base = work() / "sites" / label
    key = key_of(shared.argv, str(shared.site), shared.kind)
    if shared.kind == "qemu":
        wrapper = base / "bin" / Path(shared.argv[0]).name
        if not stamped(base, key):
            shutil.rmtree(base, ignore_errors=True)
            wrapper.parent.mkdir(parents=True)
            text = Path(shared.argv[0]).read_text().replace("-0 %s " % shared.argv[0], "-0 %s " % wrapper)
            lines = text.splitlines(True)
            lines.insert(2, "PYTHONUSERBASE=%s\nexport PYTHONUSERBASE\n" % base)
            wrapper.write_text("".join(lines))
            wrapper.chmod(0o755)
            stamp(base, key)
        site = Path(output([wrapper, "-c", "import site; print(site.getusersitepackages())"]))
        site.mkdir(parents=True, exist_ok=True)  # the interpreter reads the user site only when it is there
        return Env(label, [wrapper], site, dict(shared.env), kind="qemu", identity=str(shared.argv))
    own = Env(label, [], base, dict(shared.env), root=shared.root, identity=str(shared.argv))
    if not stamped(base, key):
        shutil.rmtree(base, ignore_errors=True)
        base.parent.mkdir(parents=True, exist_ok=True)
        shared.python("-m", "venv", "--without-pip", base)
        own.argv = [Path(own.path(base)) / "bin" / "python"]
        inner = own.python("-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])", capture=True).stdout
        site = _host_path(own, inner.strip())
        site.mkdir(parents=True, exist_ok=True)
        (site / "_tq_shared_tools.pth").write_text("import site; site.addsitedir(%r)\n" % shared.path(shared.site))
        (base / "site").write_text(str(site))
        stamp(base, key)
    own.argv = [Path(own.path(base)) / "bin" / "python"]
    own.site = Path((base / "site").read_text())
    return own


def _host_path(env: Env, inner: str) -> Path:
    return Path(inner) if env.root is None else ROOT / Path(inner).relative_to("/src")


# ---- host --------------------------------------------------------------------------------------------------------


def venv_env(label: str, base: str = "host", extra: list[str] = (), tools: bool = True) -> Env:
    """An Env of this check's own, in its folder `label`, on a shared virtual environment of a host or source-built
    interpreter with its test tools (unless not `tools`), the build backend and `extra`."""
    interp = INTERPRETERS[base]
    if interp.kind == "source":
        with lock("python-" + base):
            python = _built(interp)
    else:
        python = interp.python
    requirements = (test_tools(interp) if tools else []) + list(extra)
    return _own(_venv_env(python, interp, requirements), label)


def _venv_env(python, interp: Interpreter, requirements: list[str]) -> Env:
    """A virtual environment of `python` with the build backend and `requirements`, shared by every check."""
    requirements = list(pins("build-backend")) + list(requirements)
    path = BUILD / "envs" / ("%s-%s" % (interp.name, key_of(requirements)[:8]))
    py = venv(path, python, requirements, pip_args=("--only-binary=:all:",))
    site = Path(output([py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"], env=dict(interp.env)))
    return Env(interp.name, [py], site, dict(interp.env))


def _host(interp: Interpreter) -> Env:
    return _venv_env(interp.python, interp, test_tools(interp))


# ---- CPython from the checked sources ------------------------------------------------------------------------------


def cpython_sources() -> Path:
    """The checked CPython sources, unpacked once; the folder holding configure."""
    with lock("cpython-src"):
        return _cpython_sources()


def _cpython_sources() -> Path:
    base = BUILD / "cpython"
    src = base / ("Python-" + CPYTHON["version"])
    if stamped(src, CPYTHON["sha256"]):
        return src
    tarball = "%s_%s.orig.tar.xz" % (CPYTHON["package"], CPYTHON["version"])
    opts = apt_private(base / "apt", debian.sources("deb-src", CPYTHON["suite"]))

    def fetch(directory):
        run(["apt-get", *opts, "update", "-qq"], capture=True)
        run(["apt-get", *opts, "source", "--download-only", "-qq", CPYTHON["package"]], cwd=directory, capture=True)

    path = fetch_checked(base / "download", tarball, CPYTHON["sha256"], fetch)
    shutil.rmtree(src, ignore_errors=True)
    run(["tar", "-xJf", path, "-C", base])
    stamp(src, CPYTHON["sha256"])
    return src


def _musl_compiler(directory: Path) -> Path:
    """musl-gcc that names its target as musl (CPython's configure reads the triplet from --print-multiarch) and
    finds the kernel's headers after musl's own."""
    inc = directory / "include"
    inc.mkdir(parents=True, exist_ok=True)
    for name, target in (
        ("linux", "/usr/include/linux"),
        ("asm-generic", "/usr/include/asm-generic"),
        ("asm", "/usr/include/x86_64-linux-gnu/asm"),
    ):
        if not (inc / name).exists():
            (inc / name).symlink_to(target)
    cc = directory / "x86_64-linux-musl-gcc"
    cc.write_text(
        '#!/bin/sh\n[ "$1" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }\n'
        'exec musl-gcc -idirafter %s "$@"\n' % inc
    )
    cc.chmod(0o755)
    return cc


def _musl_deps(base: Path, cc: Path, host: str = "", tools: dict | None = None) -> list[str]:
    """zlib and libffi built static for musl (for another architecture: `host`, its triplet, and `tools`, its
    archiver's settings); the configure settings that name them."""
    deps = base / "deps"
    opts = apt_private(base / "apt", debian.sources("deb-src", debian.HOST))
    for package, tarball, sha256 in MUSL_DEPS:

        def fetch(directory, package=package):
            run(["apt-get", *opts, "update", "-qq"], capture=True)
            run(["apt-get", *opts, "source", "--download-only", "-qq", package], cwd=directory, capture=True)

        path = fetch_checked(base / "download", tarball, sha256, fetch)
        src = deps / "src" / package
        shutil.rmtree(src, ignore_errors=True)
        src.mkdir(parents=True)
        run(["tar", "-xf", path, "-C", src, "--strip-components=1"])
        static = (
            ["--static"]
            if package == "zlib"
            else ["--disable-shared", "--enable-static", "--disable-docs", "--disable-multi-os-directory"]
        )
        if host and package == "libffi":
            # its static trampolines (src/tramp.c) call open_temp_exec_file undeclared, an error for zig's clang
            static += ["--host=%s" % host, "--build=x86_64-pc-linux-gnu", "--disable-exec-static-tramp"]
        env = {"CC": str(cc), "CFLAGS": "-O2 -fPIC", **(tools or {}), **({"CHOST": host} if host else {})}
        run(["./configure", *static, "--prefix=%s" % deps], cwd=src, env=env, log=base / ("%s.log" % package))
        run(["make", "-s", "-j2"], cwd=src, env=env, log=base / ("%s.log" % package))
        run(["make", "-s", "install"], cwd=src, env=env, log=base / ("%s.log" % package))
    return [
        "PKG_CONFIG=/bin/false",
        "ZLIB_CFLAGS=-I%s/include" % deps,
        "ZLIB_LIBS=-L%s/lib -lz" % deps,
        "LIBFFI_CFLAGS=-I%s/include" % deps,
        "LIBFFI_LIBS=-L%s/lib -lffi" % deps,
    ]


def _built(interp: Interpreter) -> Path:
    """The interpreter of a source row, built once (hold the row's lock)."""
    base = BUILD / "interpreters" / interp.name
    prefix = base / "prefix"
    python = prefix / "bin" / interp.python
    # musl's allocator unmaps freed memory at once: its interpreters take the one change to CPython's sources that
    # dev/musl_cross.py explains (a daemon thread's state read after the main thread freed it at exit)
    from musl_cross import DROP_GIL, patched_sources

    key = key_of(CPYTHON, interp.configure, interp.cc, interp.musl, (MUSL_DEPS, DROP_GIL) if interp.musl else None)
    if not stamped(base, key):
        apt(*interp.apt)
        start = __import__("time").monotonic()
        shutil.rmtree(base, ignore_errors=True)
        src = patched_sources(base / "src") if interp.musl else cpython_sources()
        build = base / "build"
        build.mkdir(parents=True)
        cc, settings = interp.cc, []
        if interp.musl:
            cc = str(_musl_compiler(base / "cc"))
            settings = _musl_deps(base, Path(cc))
        say(
            "== %s: CPython %s %s, CC=%s (some minutes, once)"
            % (interp.name, CPYTHON["version"], " ".join(interp.configure), interp.cc)
        )
        run(
            [src / "configure", "-q", "--prefix=%s" % prefix, "CC=%s" % cc, *interp.configure, *settings],
            cwd=build,
            log=base / "configure.log",
        )
        run(["make", "-j2", "-s"], cwd=build, log=base / "make.log")
        run(["make", "-s", "install"], cwd=build, log=base / "install.log")
        run([python, "-c", interp.probe], env={"TSAN_OPTIONS": "report_bugs=0"})
        stamp(base, key)
        say("   %s built in %.0f s" % (interp.name, __import__("time").monotonic() - start))
    return python


def _from_source(interp: Interpreter) -> Env:
    python = _built(interp)
    prefix = python.parent.parent
    if interp.musl:  # no ssl: the host's pip installs musllinux wheels of the tools for it
        site = prefix / "lib" / CPYTHON["package"] / "site-packages"
        _target_tools(interp, site, CPYTHON["minor"])
        return Env(interp.name, [python], site, dict(interp.env), identity=str(python))
    quiet = {"TSAN_OPTIONS": "report_bugs=0"} if "thread-sanitizer" in " ".join(interp.configure) else {}
    env = _venv_env(python, interp, test_tools(interp))
    env.env.update(quiet)  # setting up runs under the sanitizer too; its reports there are not the module's
    return env


# ---- Debian's CPython for another architecture, under qemu ---------------------------------------------------------


def _target_tools(interp: Interpreter, site: Path, python_version: str) -> None:
    """The pinned test tools installed into `site` by this machine's pip, as wheels for the interpreter's platform."""
    tools = test_tools(interp)
    key = key_of(tools, interp.wheel_platforms)
    marker = site.parent / (".tq-tools-" + interp.name)
    if marker.is_file() and marker.read_text() == key:
        return
    for name in ("pytest", "_pytest", "hypothesis", "numpy", "pint", "mypy"):
        for old in site.glob(name + "*"):
            shutil.rmtree(old, ignore_errors=True)
    platforms = [arg for p in interp.wheel_platforms for arg in ("--platform", p)]
    run(
        [
            sys.executable,
            "-m",
            "pip",
            "install",
            "-q",
            "--disable-pip-version-check",
            "--root-user-action=ignore",
            "--target",
            site,
            "--upgrade",
            *platforms,
            "--python-version",
            python_version,
            "--implementation",
            "cp",
            "--only-binary=:all:",
            *tools,
        ]
    )
    marker.write_text(key)


def debian_sysroot(base: Path, interp: Interpreter) -> Path:
    """The row's Debian packages for its architecture unpacked (not installed) into BASE/sysroot, made once, for qemu's
    -L: absolute links made relative, /lib and /lib64 of a usr-merged suite linked to /usr."""
    sysroot = base / "sysroot"
    key = key_of(interp.arch, interp.suite, interp.packages)
    if not stamped(sysroot, key):
        shutil.rmtree(base, ignore_errors=True)
        opts = apt_private(base / "apt", debian.sources("deb", interp.suite), interp.arch)
        debs = base / "debs"
        debs.mkdir(parents=True)
        run(["apt-get", *opts, "update", "-qq"], capture=True)
        wanted = list(interp.packages)
        if interp.debian_numpy:  # python3-numpy and the libraries it loads (BLAS, LAPACK, gfortran)
            tree = output(
                [
                    "apt-cache",
                    *opts,
                    "depends",
                    "--recurse",
                    "--no-recommends",
                    "--no-suggests",
                    "--no-conflicts",
                    "--no-breaks",
                    "--no-replaces",
                    "--no-enhances",
                    "python3-numpy",
                ]
            )
            wanted += sorted(
                {
                    p
                    for p in tree.split()
                    if re.fullmatch(
                        r"python3-numpy|lib(blas|lapack|gfortran|"
                        r"quadmath)\d+",
                        p,
                    )
                }
            )
        run(
            ["apt-get", *opts, "download", "-qq", *("%s:%s" % (p, interp.arch) for p in wanted)], cwd=debs, capture=True
        )
        for deb in sorted(debs.glob("*.deb")):
            run(["dpkg-deb", "-x", deb, sysroot])
        for link in sysroot.rglob("*"):  # absolute links (ld.so, /lib64) made to point inside the tree
            if link.is_symlink() and os.readlink(link).startswith("/"):
                target = os.readlink(link)
                link.unlink()
                link.symlink_to(os.path.relpath(sysroot / target.lstrip("/"), link.parent))
        for name in ("lib", "lib64"):  # usr-merged suites have /usr/lib only; qemu -L looks the loader up at /lib
            if not (sysroot / name).exists() and (sysroot / "usr" / name).is_dir():
                (sysroot / name).symlink_to("usr/" + name)
        for lib in ("blas", "lapack"):  # what update-alternatives would link: the reference implementations
            for found in sysroot.glob("usr/lib/*-linux-*/%s/lib%s.so.3" % (lib, lib)):
                if not (found.parent.parent / found.name).exists():
                    (found.parent.parent / found.name).symlink_to("%s/%s" % (lib, found.name))
        stamp(sysroot, key)
    return sysroot


def _emulated(interp: Interpreter) -> Env:
    base = BUILD / "interpreters" / interp.name
    apt("qemu-user-static")
    sysroot = debian_sysroot(base, interp)
    wrapper = base / "bin" / interp.python
    wrapper.parent.mkdir(parents=True, exist_ok=True)
    libdirs = ":".join(
        str(p) for p in sorted(sysroot.glob("lib/*-linux-*/")) + sorted(sysroot.glob("usr/lib/*-linux-*/"))
    )
    # The wrapper is also the interpreter's sys.executable (qemu's -0 sets argv[0]), so a child the suite starts
    # with sys.executable is emulated too.
    write_script(
        wrapper,
        textwrap.dedent(
            """\
        #!/bin/sh
        # %s (written by dev/interpreters.py)
        PYTHONHOME=%s/usr LD_LIBRARY_PATH=%s
        export PYTHONHOME LD_LIBRARY_PATH
        exec %s -L %s -0 %s %s/usr/bin/%s "$@"
        """
            % (interp.what, sysroot, libdirs, interp.qemu, sysroot, wrapper, sysroot, interp.python)
        ),
    )
    version = interp.python.replace("python", "")
    site = sysroot / "usr" / "local" / "lib" / ("python" + version) / "dist-packages"
    site.mkdir(parents=True, exist_ok=True)
    _target_tools(interp, site, version)
    machine = output([wrapper, "-c", "import platform; print(platform.machine())"])
    if machine != interp.machine:
        raise Failed("%s: platform.machine() is %r, not %r" % (interp.name, machine, interp.machine))
    return Env(interp.name, [wrapper], site, dict(interp.env), kind="qemu")


# ---- a Debian root -------------------------------------------------------------------------------------------------


def debian_root(suite: str, packages, directory: Path | None = None) -> Path:
    """A minbase root of the suite holding the packages (made once; missing packages installed later)."""
    directory = directory or BUILD / "roots" / suite
    run(["bash", ROOT / "dev" / "debian_root.sh", "make", suite, directory, *packages])
    return directory


def _in_root(interp: Interpreter) -> Env:
    root = debian_root(interp.suite, ROOT_PACKAGES[interp.suite])
    path = BUILD / "envs" / interp.name
    env = Env(interp.name, [], path, dict(interp.env), root=root)
    tools = test_tools(interp) + pins("build-backend")
    key = key_of(interp.python, tools)
    if not stamped(path, key):
        shutil.rmtree(path, ignore_errors=True)
        inner = env.path(path)
        env.argv = [interp.python]
        env.python("-m", "venv", path)
        env.argv = [inner + "/bin/python"]
        env.python("-m", "pip", "install", "-q", "--only-binary=:all:", *tools)
        stamp(path, key)
    env.argv = [env.path(path) + "/bin/python"]
    inner = env.python("-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])", capture=True).stdout
    env.site = ROOT / Path(inner.strip()).relative_to("/src")
    return env
