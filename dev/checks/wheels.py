"""Portable wheels: one per row of dev/platforms.py, built here from the sdist by zig, each checked (auditwheel, the
ELF facts, abi3audit), its suite run on its platform's interpreter, and the same bits from every one of them."""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import subprocess
from pathlib import Path

import debian
from check_table import check
from facts import libm_functions
from interpreters import INTERPRETERS, ROOT_PACKAGES, Env, debian_root, ready, venv_env
from platforms import PLATFORMS, Platform, libm_versions
from steps import BUILD, ROOT, Failed, apt_private, key_of, lock, output, pins, run, say, tools, tree_key, work, zig

from checks.prerequisites import python_row

SAME_BITS_OPS, SAME_BITS_SEED = 100_000, 20261207


def selected(platforms=None) -> list[Platform]:
    names = platforms or os.environ.get("PLATFORMS", "").split()
    unknown = [n for n in names if n not in PLATFORMS]
    if unknown:
        raise Failed("unknown platform(s) %s; the rows are %s" % (unknown, " ".join(PLATFORMS)))
    return [PLATFORMS[n] for n in names] if names else list(PLATFORMS.values())


def wheelhouse(tree: Path) -> Path:
    return tree / "wheelhouse"


def wheel_for(tree: Path, platform: Platform) -> Path | None:
    found = sorted(wheelhouse(tree).glob(platform.wheel_pattern()))
    return found[-1] if found else None


def debian_package(name: str, arch: str, suite: str) -> Path:
    """A Debian package of another architecture, unpacked (not installed) once; the folder it was unpacked into."""
    base = BUILD / "debian" / suite / arch / name
    root = base / "root"
    with lock("debian-%s-%s-%s" % (suite, arch, name)):
        if not (root / ".tq-unpacked").exists():
            _unpack(base, root, name, arch, suite)
    return root


def _unpack(base: Path, root: Path, name: str, arch: str, suite: str) -> None:
    if True:
        shutil.rmtree(base, ignore_errors=True)
        opts = apt_private(BUILD / "debian" / suite / arch / "apt", debian.sources("deb", suite), arch)
        base.mkdir(parents=True)
        run(["apt-get", *opts, "update", "-qq"], capture=True)
        run(["apt-get", *opts, "download", "-qq", "%s:%s" % (name, arch)], cwd=base, capture=True)
        run(["dpkg-deb", "-x", next(base.glob("*.deb")), root])
        (root / ".tq-unpacked").touch()


def libgcc_s(platform: Platform) -> Path:
    """The target's libgcc_s.so.1, from Debian's libgcc-s1 for its architecture, to link against."""
    return sorted(debian_package("libgcc-s1", platform.debian, platform.suite).glob("**/libgcc_s.so.1"))[0]


def python_headers(platform: Platform) -> Path:
    """The Python headers of this machine's Debian release as its libpython3.X-dev has them for the target's
    architecture, with its own pyconfig.h (sizes, byte order) in place of the multiarch one that includes it."""
    python = "python" + debian.PYTHON[debian.HOST]
    root = debian_package("lib%s-dev" % python, platform.headers, debian.HOST)
    include = BUILD / "debian" / ("%s-%s" % (python, platform.headers))
    with lock("headers-" + platform.headers):
        _headers(root, include, python)
    return include


def _headers(root: Path, include: Path, python: str) -> None:
    if not (include / "Python.h").exists():
        shutil.rmtree(include, ignore_errors=True)
        shutil.copytree(root / "usr" / "include" / python, include)
        config = next((root / "usr" / "include").glob("*-linux-*/%s/pyconfig.h" % python))
        shutil.copy(config, include / "pyconfig.h")


def build_wheel(tree: Path, src: Path, platform: Platform) -> Path:
    """The platform's wheel from the unpacked sdist `src`, repaired by auditwheel into the wheelhouse."""
    work = tree / "build" / "wheels"
    raw = work / ("raw-" + platform.name)
    shutil.rmtree(raw, ignore_errors=True)
    bin_ = tools("wheel-tools")
    if platform.abi == "abi3":
        builder = bin_ / "python"
    else:  # a version-specific wheel is built by its own interpreter: scikit-build-core tags it for the one running
        builder = venv_env(
            "%s-wheels" % platform.interpreter, platform.interpreter, pins("wheel-tools"), tools=False
        ).argv[0]
    musl = "-musl" in platform.zig
    defines = {
        "CMAKE_TOOLCHAIN_FILE": src / "cmake" / "zig-toolchain.cmake",
        "ZIG_TARGET": platform.zig,
        "ZIG_EXECUTABLE": zig(),
        "ZIG_FLAGS": platform.flags,
    }
    if not musl:
        defines["ZIG_LIBM_VERSIONS"] = libm_versions(platform, tree)
        defines["ZIG_LIBGCC_S"] = libgcc_s(platform)
    else:
        defines["ZIG_MUSL_LIBC"] = platform.musl_libc()
        defines["ZIG_LIBM_BY_NAME"] = "ON" if platform.libm_by_name else "OFF"
    if platform.headers:
        defines["Python_INCLUDE_DIR"] = python_headers(platform)
    # a fresh build: the sdist's files keep their own times, which can be older than objects of an earlier build
    shutil.rmtree(work / ("cmake-" + platform.name), ignore_errors=True)
    settings = ["-Cbuild-dir=%s" % (work / ("cmake-" + platform.name))]
    settings += ["-Cwheel.py-api=cp38"] if platform.abi == "abi3" else []
    settings += ["-Ccmake.define.%s=%s" % kv for kv in defines.items()]
    # scikit-build-core tags a wheel for the machine it runs on; _PYTHON_HOST_PLATFORM names the target instead, and
    # auditwheel then gives it its manylinux tag (a musllinux one it reads from the name).
    host_platform = platform.tag if musl else "linux-" + platform.machine
    say("== wheel for %s (%s, %s)" % (platform.name, platform.zig, platform.abi))
    run(
        [builder, "-m", "build", "--wheel", "--no-isolation", "--outdir", raw, src, *settings],
        env={"_PYTHON_HOST_PLATFORM": host_platform, "PATH": "%s:%s" % (bin_, os.environ["PATH"])},
        log=work / ("build-%s.log" % platform.name),
    )
    for old in wheelhouse(tree).glob(platform.wheel_pattern()):
        old.unlink()
    run(
        [bin_ / "auditwheel", "repair", "-w", wheelhouse(tree), next(raw.glob("*.whl"))],
        env={"PATH": "%s:%s" % (bin_, os.environ["PATH"])},
        capture=True,
    )
    wheel = wheel_for(tree, platform)
    if wheel is None:
        raise Failed("no %s wheel in %s after the build" % (platform.name, wheelhouse(tree)))
    return wheel


def sdist(tree: Path) -> Path:
    """The sdist, unpacked: every wheel is built from it, so each proves it complete. Made once per state of the
    tree."""
    work = tree / "build" / "wheels"
    key = key_of(tree_key(tree), pins("wheel-tools"))
    src = work / "src"
    with lock("sdist", tree / "build"):
        if (src / ".tq-sdist").is_file() and (src / ".tq-sdist").read_text() == key:
            return src
        shutil.rmtree(work / "sdist", ignore_errors=True)
        run(
            [
                tools("wheel-tools") / "python",
                "-m",
                "build",
                "--sdist",
                "--no-isolation",
                "--outdir",
                work / "sdist",
                tree,
            ],
            log=work / "sdist.log",
        )
        shutil.rmtree(src, ignore_errors=True)
        src.mkdir(parents=True)
        run(["tar", "-xzf", next((work / "sdist").glob("*.tar.gz")), "-C", src, "--strip-components=1"])
        (src / ".tq-sdist").write_text(key)
    return src


def wheel(tree: Path, platform: Platform) -> Path:
    """The platform's wheel of the tree as it is, in the wheelhouse: built the first time it is asked for."""
    key = key_of(tree_key(tree), platform, pins("wheel-tools"))
    made = tree / "build" / "wheels" / ("made-" + platform.name)
    with lock("wheel-" + platform.name, tree / "build"):
        found = wheel_for(tree, platform)
        if found is None or not (made.is_file() and made.read_text() == key):
            found = build_wheel(tree, sdist(tree), platform)
            made.write_text(key)
    return found


# The row that builds each platform's wheel, and the one that runs the suite on it (x86_64's runs on every CPython
# here: make abi3).
WHEEL_ROWS = {
    "wheel-x86_64": "x86_64",
    "wheel-aarch64": "aarch64",
    "wheel-musl": "musl",
    "wheel-ft-wheel": "ft-wheel",
    "wheel-i686": "i686",
    "wheel-armv7l": "armv7l",
    "wheel-ppc64le": "ppc64le",
    "wheel-s390x": "s390x",
    "wheel-riscv64": "riscv64",
    "wheel-musl-aarch64": "musl-aarch64",
    "wheel-musl-armv7l": "musl-armv7l",
}
SUITE_ROWS = {
    "test-aarch64": "aarch64",
    "test-musl": "musl",
    "test-ft-wheel": "ft-wheel",
    "test-i686": "i686",
    "test-armv7l": "armv7l",
    "test-ppc64le": "ppc64le",
    "test-s390x": "s390x",
    "test-riscv64": "riscv64",
    "test-musl-aarch64": "musl-aarch64",
    "test-musl-armv7l": "musl-armv7l",
}


def wheel_row(platform: str) -> str:
    return next(row for row, name in WHEEL_ROWS.items() if name == platform)


def make_wheel(tree, platform_name):
    say("   %s" % wheel(tree, PLATFORMS[platform_name]))


for _row, _name in WHEEL_ROWS.items():
    _p = PLATFORMS[_name]
    check(
        _row,
        "setup",
        "the %s wheel from the sdist (zig), kept until the tree changes" % _name,
        "5 min (20 s once zig's cache holds its target)",
        needs=("debian", "network"),
        uses=("wheel-tools",) + (() if _p.abi == "abi3" else python_row(_p.interpreter)),
        platform_name=_name,
    )(make_wheel)


def wheel_rows(ci_rows: bool = False) -> tuple:
    """The wheel rows of the platforms chosen (PLATFORMS=...), or of CI's."""
    return tuple(wheel_row(p.name) for p in selected() if p.ci or not ci_rows)


@check(
    "wheels-ci",
    "wheels",
    "the same for the rows CI runs (%s); the others' wheels are made by `make wheels` "
    "before a change to the wheels lands" % ", ".join(p.name for p in PLATFORMS.values() if p.ci),
    "5 s (with its wheels made)",
    ci=True,
    needs=("debian", "network"),
    uses=lambda: wheel_rows(ci_rows=True),
    ci_rows=True,
)
@check(
    "wheels",
    "wheels",
    "a wheel per row of dev/platforms.py from the sdist (zig), each passing wheels-check; PLATFORMS=... picks rows",
    "12 min",
    needs=("debian", "network"),
    uses=wheel_rows,
)
def wheels(tree, platforms=None, ci_rows=False):
    rows = [p for p in selected(platforms) if p.ci or not ci_rows]
    wheelhouse(tree).mkdir(exist_ok=True)
    for platform in rows:
        wheel(tree, platform)
    wheels_check(tree, [p.name for p in rows])


def wheels_present(tree: Path, rows: list[Platform]) -> None:
    for platform in rows:
        wheel(tree, platform)


@check(
    "wheels-check",
    "wheels",
    "each wheel in wheelhouse/: auditwheel finds its platform tag; its extension needs "
    "only the C library, exports only PyInit_tq_pyo3, has no DT_RELR and imports each libm function from the "
    "system's libm with the row's symbol version (musl: unversioned, or looked up by name where zig's runtime "
    "defines them); abi3audit finds nothing beyond the limited API of 3.8",
    "1 min",
    needs=("network",),
)
def wheels_check(tree, platforms=None):
    bin_ = tools("wheel-tools")
    failed = []
    for platform in selected(platforms):
        wheel = wheel_for(tree, platform)
        if wheel is None:
            raise Failed("no %s wheel in %s; run make wheels" % (platform.name, wheelhouse(tree)))
        show = " ".join(output([bin_ / "auditwheel", "show", wheel]).split())
        say(show)
        if 'consistent with the following platform tag: "%s"' % platform.tag not in show:
            failed.append("%s: auditwheel does not find it %s" % (wheel.name, platform.tag))
        expected = {
            "needed": list(platform.needed),
            "inlined": [f for f, inlined in libm_functions(tree) if inlined],
            "libm": {f: platform.libm_version(f) for f, _ in libm_functions(tree)},
            "unwinder": "" if "-musl" in platform.zig else "libgcc_s.so.1",
            "by_name": platform.libm_by_name,
        }
        if run(
            [bin_ / "python", ROOT / "dev" / "probes" / "wheel_elf.py", wheel, json.dumps(expected)], check=False
        ).returncode:
            failed.append("%s: its ELF facts" % wheel.name)
        if platform.abi == "abi3" and run([bin_ / "abi3audit", "--strict", "--summary", wheel], check=False).returncode:
            failed.append("%s: abi3audit" % wheel.name)
    if failed:
        raise Failed("; ".join(failed))


def platform_suite(tree, platform_name):
    name = platform_name
    platform = PLATFORMS[name]
    wheels_present(tree, [platform])
    env = ready(platform.interpreter)
    env.install(wheel_for(tree, platform))
    if platform.abi.endswith("t"):
        from checks.threads import gil_stays_off

        gil_stays_off(env)
    module = output(
        env.command(["-c", "import tq_pyo3, platform; print(platform.machine(), tq_pyo3.__file__)"]),
        env=None if env.root else env.env,
    )
    say("   %s: %s" % (name, module))
    env.suite("--durations=5", tree=tree)


for _row, _name in SUITE_ROWS.items():
    _p = PLATFORMS[_name]
    check(
        _row,
        "wheels",
        "the whole suite on the %s wheel, on %s" % (_name, INTERPRETERS[_p.interpreter].what),
        "3.5 min" if INTERPRETERS[_p.interpreter].qemu else "2 min",
        ci=_p.ci,
        needs=("network",),
        uses=(wheel_row(_name),) + python_row(_p.interpreter),
        platform_name=_name,
    )(platform_suite)


# ---- same bits ----------------------------------------------------------------------------------------------------


def same_bits_rows(platforms=None) -> list[Platform]:
    """The platforms chosen (PLATFORMS=...), or CI's."""
    chosen = platforms or os.environ.get("PLATFORMS", "").split()
    return [p for p in selected(platforms) if p.ci or chosen]


@check(
    "same-bits",
    "wheels",
    "one seeded stream of %d random operations gives the same bits from the GCC build and "
    "from every wheel on its own platform, save where that platform's C library answers differently (each "
    "listed)" % SAME_BITS_OPS,
    "1 min",
    ci=True,
    needs=("network",),
    uses=lambda: (
        ("host-python",) + tuple(r for p in same_bits_rows() for r in (wheel_row(p.name),) + python_row(p.interpreter))
    ),
)
def same_bits(tree, platforms=None):
    out = work(tree) / "streams"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    probe = tree / "dev" / "probes" / "same_bits.py"
    args = ["--ops", str(int(os.environ.get("SAME_BITS_OPS", SAME_BITS_OPS))), "--seed", str(SAME_BITS_SEED)]
    gcc = venv_env("same-bits-gcc")
    gcc.install_from_source(tree)
    gcc.python(probe, "run", out / "gcc.txt", *args, cwd=tree)
    rows = same_bits_rows(platforms)
    wheels_present(tree, rows)
    for platform in rows:
        env = ready(platform.interpreter)
        env.install(wheel_for(tree, platform))
        env.python(probe, "run", out / ("%s.txt" % platform.name), *args, cwd=tree)
    gcc.python(probe, "compare", out / "gcc.txt", *[out / ("%s.txt" % p.name) for p in rows], cwd=tree)


# ---- the stable ABI on every CPython here ---------------------------------------------------------------------


def host_pythons() -> list[str]:
    """Every CPython from 3.8 on this machine: pyenv's versions and python3.X on PATH, each once."""
    candidates = sorted(
        str(p)
        for root in {os.environ.get("PYENV_ROOT", ""), os.path.expanduser("~/.pyenv"), "/root/.pyenv"}
        if root
        for p in Path(root).glob("versions/*/bin/python3")
    )
    candidates += [shutil.which("python3.%d" % minor) for minor in range(8, 31)] + [
        "/usr/bin/python3",
        "/usr/local/bin/python3",
    ]
    seen, found = set(), []
    for exe in filter(None, candidates):
        if not os.access(exe, os.X_OK):
            continue
        done = subprocess.run(
            [
                exe,
                "-c",
                "import os, platform, sys, sysconfig; print(platform.python_implementation(),"
                " os.path.realpath(sys.executable), sys.version_info >= (3, 8), "
                "bool(sysconfig.get_config_var('Py_GIL_DISABLED')))",
            ],
            capture_output=True,
            text=True,
        )
        if done.returncode:
            continue
        impl, real, recent, free = done.stdout.split()
        if impl == "CPython" and recent == "True" and free == "False" and real not in seen:
            seen.add(real)
            found.append(real)
    return found


def abi3_run(tree, python: str, venv_dir: Path, wheel: Path, label: str, root: Path | None = None) -> str:
    """A fresh venv of `python` (in the Debian root, if given) with the wheel and its test extras installed by pip,
    as a user installs it, then the suite."""
    outer = Env(label, [python], venv_dir, root=root)
    outer.python("-m", "venv", venv_dir)
    inner = Env(label, [outer.path(venv_dir) + "/bin/python"], venv_dir, root=root)
    inner.python(
        "-m",
        "pip",
        "install",
        "-q",
        "--disable-pip-version-check",
        "%s[test]" % inner.path(wheel),
        log=venv_dir.parent / ("%s-install.log" % label),
    )
    return inner.suite(tree=tree, log=venv_dir.parent / ("%s-pytest.log" % label))


@check(
    "abi3",
    "wheels",
    "the x86-64 abi3 wheel, installed with its test extras by pip, passes the suite on every "
    "CPython from 3.8 here (abi3-sid: on Debian sid's)",
    "5 min",
    ci=True,
    needs=("network",),
    uses=("wheel-x86_64",),
)
def abi3(tree):
    platform = PLATFORMS["x86_64"]
    wheels_present(tree, [platform])
    wheel = wheel_for(tree, platform)
    base = work(tree)
    shutil.rmtree(base, ignore_errors=True)
    results, failed = [], []
    for python in host_pythons():
        version = output([python, "-c", "import platform; print(platform.python_version())"])
        label = "%s-%s" % (version, hashlib.md5(python.encode()).hexdigest()[:6])
        say("== CPython %s (%s)" % (version, python))
        try:
            results.append("%s: %s" % (version, abi3_run(tree, python, base / label, wheel, label)))
        except Failed as failure:
            failed.append("%s: %s" % (version, failure))
    say("abi3 wheel %s:\n  %s" % (wheel.name, "\n  ".join(results)))
    if failed or not results:
        raise Failed("; ".join(failed) or "no CPython found")


SID_PYTHONS = ("python3.14", "python3.15", "python3.14-dbg", "python3.15-dbg")


@check(
    "abi3-sid",
    "wheels",
    "the x86-64 abi3 wheel with its test extras passes the suite under Debian sid's CPython "
    "3.14, 3.15 and their debug builds",
    "4 min (4 more to make the sid root once)",
    ci=True,
    needs=("root", "network"),
    uses=("wheel-x86_64", "sid-root"),
)
def abi3_sid(tree):
    platform = PLATFORMS["x86_64"]
    wheels_present(tree, [platform])
    root = debian_root("sid", ROOT_PACKAGES["sid"])
    base = work(tree)
    shutil.rmtree(base, ignore_errors=True)
    failed = []
    for python in SID_PYTHONS:
        try:
            abi3_run(tree, python, base / python, wheel_for(tree, platform), python, root=root)
        except Failed as failure:
            failed.append(str(failure))
    if failed:
        raise Failed("; ".join(failed))


@check(
    "test-sid",
    "wheels",
    "the module built from source by Debian sid's CPython 3.14 and 3.15 passes the suite "
    "(where the type's vectorcall slot is used)",
    "4 min",
    needs=("root", "network"),
    uses=("sid-root",),
)
def test_sid(tree):
    for name in ("sid-3.14", "sid-3.15"):
        env = ready(name)
        env.install_from_source(tree)
        env.suite(tree=tree)
