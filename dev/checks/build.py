"""Builds from source: the sanitized build, every compiler a user is likely to have, the README's commands on each
Debian release, and the sdist with the wheel made from it."""

from __future__ import annotations

import os
import re
import shutil
import tarfile
from pathlib import Path

import debian
from check_table import check
from interpreters import debian_root, venv_env
from steps import BUILD, ROOT, Failed, elapsed, output, run, say, summary_line, tools, work

ADMIN = ("root", "debian", "network")

# ---- sanitizers --------------------------------------------------------------------------------------------------

# clang 16's runtime: GCC 12's reports a false stack-buffer-overflow when a thread that the interpreter ends at exit
# is unwound through the module (its __asan_handle_no_return checks its own local against the stale redzones of the
# unwound frames). float-divide-by-zero stays off, since IEEE division by zero is part of the arithmetic; the vptr
# and function checks need the C++ part of UBSan's runtime, which only links into executables (the module has no
# polymorphic classes, and its function pointers are called by the interpreter).
SAN_CXX, SAN_APT = "clang++-16", ("clang-16", "libclang-rt-16-dev")
SAN_FLAGS = (
    "-fsanitize=address,undefined,float-cast-overflow -fno-sanitize=vptr,function -shared-libsan "
    "-fno-sanitize-recover=all -fno-omit-frame-pointer"
)
SAN_REPORT = re.compile(r"ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer|UndefinedBehaviorSanitizer")


@check(
    "sanitize",
    "build",
    "the whole suite on a build with ASan and UBSan (clang 16): no sanitizer report",
    "1.5 min",
    ci=True,
    needs=ADMIN,
    uses=("host-python",),
    apt=SAN_APT,
)
def sanitize(tree):
    env = venv_env("sanitize")
    env.install_from_source(
        tree,
        settings=("cmake.build-type=RelWithDebInfo",),
        defines={
            "CMAKE_CXX_COMPILER": SAN_CXX,
            "CMAKE_CXX_FLAGS": SAN_FLAGS,
            "CMAKE_MODULE_LINKER_FLAGS": "-fsanitize=address,undefined -shared-libsan",
        },
    )
    so = next(env.site.glob("tq_pyo3*.so"))
    if "libclang_rt.asan" not in output(["readelf", "-d", so]):
        raise Failed("%s is not instrumented" % so)
    preload = "%s/libclang_rt.asan-x86_64.so" % output([SAN_CXX, "--print-runtime-dir"])
    log = work(tree) / "suite.log"
    # --capture=sys: a report the runtime writes to file descriptor 2 reaches the log even when it ends the process
    # in the middle of a test.
    line = env.suite(
        "--capture=sys",
        tree=tree,
        log=log,
        check=False,
        env={
            "LD_PRELOAD": preload,
            "PYTHONMALLOC": "malloc",
            "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
            "ASAN_OPTIONS": "detect_leaks=0:strict_string_checks=1:check_initialization_order=1",
        },
    )
    reports = len(SAN_REPORT.findall(log.read_text(errors="replace")))
    say("   sanitizer reports: %d" % reports)
    if reports or " failed" in line or "passed" not in line:
        say("\n".join(log.read_text(errors="replace").splitlines()[-60:]))
        raise Failed("the sanitized suite: %s, %d sanitizer reports (log: %s)" % (line, reports, log))


# ---- compilers ---------------------------------------------------------------------------------------------------

# name: the driver, compile flags (also linked with), link flags; Debian 12's packages.
COMPILERS = {
    "gcc-11": ("g++-11", "", ""),
    "gcc-12": ("g++-12", "", ""),
    "clang-13": ("clang++-13", "", ""),
    # clang takes the newest GCC's libstdc++ (12 here); this one is pointed at GCC 11's headers and library instead,
    # the pair a system with GCC 11 as its default compiler has. CMake repeats the compile flags when it links,
    # where clang would call -nostdinc++ unused (an error under -Werror).
    "clang-13-libstdcxx-11": (
        "clang++-13",
        "-nostdinc++ -isystem /usr/include/c++/11 -isystem /usr/include/x86_64-linux-gnu/c++/11",
        "-Qunused-arguments -L/usr/lib/gcc/x86_64-linux-gnu/11",
    ),
    "clang-14": ("clang++-14", "", ""),
    "clang-15": ("clang++-15", "", ""),
    "clang-16": ("clang++-16", "", ""),
    # With -stdlib=libc++, the -static-libstdc++ of CMakeLists.txt links libc++.a in (Debian's holds libc++abi too).
    "clang-16-libcxx": ("clang++-16", "-stdlib=libc++", "-stdlib=libc++"),
}
COMPILER_PACKAGES = (
    "g++-11",
    "g++-12",
    "clang-13",
    "clang-14",
    "clang-15",
    "clang-16",
    "libc++-16-dev",
    "libc++abi-16-dev",
)
REFUSAL = "tq_pyo3 needs a C++20 compiler and library"


def library_of(cxx: str, flags: str) -> str:
    macros = run(
        [cxx, "-std=c++20", *flags.split(), "-x", "c++", "-E", "-dM", "-"], input="#include <version>\n", capture=True
    ).stdout
    found = re.search(r"_GLIBCXX_RELEASE (\d+)", macros)
    if found:
        return "libstdc++ " + found.group(1)
    found = re.search(r"_LIBCPP_VERSION (\d+)", macros)
    if found:
        v = int(found.group(1))
        return "libc++ %d.%d.%d" % (v // 10000, v // 100 % 100, v % 100)
    return "unknown"


def build_with(env, tree, name):
    cxx, flags, ld = COMPILERS[name]
    work = tree / "build" / "compilers" / name
    shutil.rmtree(work, ignore_errors=True)  # every source compiled under -Werror each time
    version = output([cxx, "--version"]).splitlines()[0]
    library = library_of(cxx, flags)
    say("== %s: %s, %s" % (name, version, library))
    wheel = env.build(
        tree,
        work / "wheel",
        build_dir=work / "cmake",
        log=work / "build.log",
        defines={
            "CMAKE_CXX_COMPILER": cxx,
            "CMAKE_CXX_FLAGS": "-Wall -Wextra -Werror " + flags,
            "CMAKE_MODULE_LINKER_FLAGS": ld,
            "CMAKE_SHARED_LINKER_FLAGS": ld,
            "CMAKE_EXE_LINKER_FLAGS": ld,
        },
    )
    # The build tree's copy, before the install strips it: its .comment names the compiler's version, and a libc++
    # build holds libc++'s std::__1 code.
    so = next((work / "cmake").glob("tq_pyo3*.so"))
    if output([cxx, "-dumpversion"]) not in output(["readelf", "-p", ".comment", so]):
        raise Failed("%s: the module was not built by %s" % (name, cxx))
    if "libc++" in flags and "std::__1::" not in output(["nm", "-C", so]):
        raise Failed("%s: the module holds no libc++ code" % name)
    env.install(wheel)
    return version, library, env.suite(tree=tree, log=work / "pytest.log")


def refusals(tree) -> list[tuple[str, str, str, str]]:
    """Toolchains below the minimum, configured the way a user would (CXX and CXXFLAGS through pip), must stop at
    configure time with the one sentence: clang 13 with LLVM's libc++ 13 headers (fetched with apt-get download,
    since libc++-13-dev and libc++-16-dev cannot be installed together) and GCC 11 made to report itself as 10."""
    base = BUILD / "compilers"
    v1 = base / "libcxx-13" / "usr" / "lib" / "llvm-13" / "include" / "c++" / "v1"
    if not (v1 / "charconv").is_file():
        debs = base / "libcxx-13" / "deb"
        debs.mkdir(parents=True, exist_ok=True)
        run(
            ["apt-get", "download", "-qq", "-o", "APT::Sandbox::User=root", "libc++-13-dev", "libc++abi-13-dev"],
            cwd=debs,
            capture=True,
        )
        for deb in debs.glob("*.deb"):
            run(["dpkg-deb", "-x", deb, base / "libcxx-13"])
    fake = base / "g++-10"
    fake.write_text(
        '#!/bin/sh\n# GCC 11 posing as GCC 10: its version macros say 10.\nexec g++-11 -U__GNUC__ -D__GNUC__=10 "$@"\n'
    )
    fake.chmod(0o755)
    rows = []
    for name, library, cxx, flags in (
        ("clang-13-libcxx-13", "libc++ 13 headers", "clang++-13", "-stdlib=libc++ -nostdinc++ -isystem %s" % v1),
        ("gcc-10-simulated", "libstdc++ 11", str(fake), ""),
    ):
        work = tree / "build" / "compilers" / name
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        done = run(
            [
                tools("wheel-tools") / "python",
                "-m",
                "pip",
                "wheel",
                "-v",
                "--no-deps",
                "--no-build-isolation",
                "-w",
                work / "wheel",
                "-Cbuild-dir=%s" % (work / "cmake"),
                tree,
            ],
            log=work / "build.log",
            env={"CXX": cxx, "CXXFLAGS": flags},
            check=False,
        )
        text = (work / "build.log").read_text(errors="replace")
        line = next((t.strip() for t in text.splitlines() if REFUSAL in t), None)
        if done.returncode == 0:
            result = "FAIL: it built"
        elif line and "Building CXX object" not in text:
            result = "refused at configure time, as expected"
            say("  " + line)
        else:
            result = "FAIL: no refusal sentence"
            say("\n".join(text.splitlines()[-30:]))
        found = re.search(r"; this is (\S+ [0-9.]*[0-9])", text)
        rows.append((name, (found.group(1) + " (as CMake found it)") if found else "", library, result))
    return rows


@check(
    "compilers",
    "build",
    "GCC 11, 12 and clang 13-16 with libstdc++ and libc++ build the module under -Werror and "
    "pass the suite; older toolchains are refused at configure time with one sentence",
    "5 min",
    ci=True,
    needs=ADMIN,
    uses=("host-python", "wheel-tools"),
    apt=COMPILER_PACKAGES,
)
def compilers(tree, only: str = ""):
    env = venv_env("compilers")
    names = (only or os.environ.get("COMPILERS", "")).split() or list(COMPILERS)
    rows, failed = [], []
    for name in [n for n in names if n in COMPILERS]:
        try:
            rows.append((name, *build_with(env, tree, name)))
        except Failed as failure:
            rows.append((name, "", "", "FAIL: %s" % failure))
            failed.append(name)
    if not only or "refusals" in names:
        for row in refusals(tree):
            rows.append(row)
            if row[3].startswith("FAIL"):
                failed.append(row[0])
    say("\n%-22s | %-45s | %-20s | %s" % ("compiler", "version", "standard library", "result"))
    for row in rows:
        say("%-22s | %-45s | %-20s | %s" % row)
    if failed:
        raise Failed("compilers: %s" % " ".join(failed))


# ---- the README's commands on each Debian release ---------------------------------------------------------------

DISTRO_PACKAGES = ("build-essential", "python3-dev", "python3-venv", "git", "make", "ca-certificates")
# bullseye's g++ 10 is below the minimum; the README's route there is clang 16 with LLVM's libc++ from its archive.
OLD_ROUTE = {"bullseye": (("clang-16", "libc++-16-dev", "libc++abi-16-dev"), "CXX=clang++-16 CXXFLAGS=-stdlib=libc++")}
DISTROS = debian.RELEASES


@check(
    "distros",
    "build",
    "on Debian 11, 12, 13 and sid, a new user's fresh clone passes `make tour` and "
    "`make test` with that release's python3 and compiler (bullseye's g++ 10 refused, then its clang route)",
    "25 min (12 with roots made)",
    needs=ADMIN,
    apt=("debootstrap",),
)
def distros(tree):
    base = BUILD / "distros"
    base.mkdir(parents=True, exist_ok=True)
    # What the user clones: the committed HEAD and its branch, nothing of the working tree, bound in read-only.
    bundle = base / "tq_pyo3.bundle"
    run(
        [
            "git",
            "-C",
            tree,
            "bundle",
            "create",
            bundle,
            "HEAD",
            output(["git", "-C", tree, "symbolic-ref", "-q", "HEAD"]),
        ],
        capture=True,
    )
    results, failed = [], []
    for suite in os.environ.get("DISTROS", "").split() or DISTROS:
        start = __import__("time").monotonic()
        root = base / suite

        def in_root(*cmd, user=False, log=None, check=True, root=root):
            prefix = ["setpriv", "--reuid=tq", "--regid=tq", "--init-groups", "env", "HOME=/home/tq", "USER=tq"]
            return run(
                [
                    "bash",
                    ROOT / "dev" / "debian_root.sh",
                    "run",
                    root,
                    "-b",
                    "%s:/src" % base,
                    "--",
                    *(prefix if user else []),
                    *cmd,
                ],
                log=log,
                check=check,
                capture=log is None,
            )

        def fresh_clone():
            in_root("sh", "-c", "id tq >/dev/null 2>&1 || useradd -m -s /bin/sh tq; rm -rf /home/tq/tq_pyo3")
            in_root("git", "clone", "-q", "/src/tq_pyo3.bundle", "/home/tq/tq_pyo3", user=True)

        def make(target, prefix="", suite=suite):
            log = base / ("%s-%s.log" % (suite, target))
            done = in_root(
                "sh", "-c", "cd /home/tq/tq_pyo3 && %s make %s" % (prefix, target), user=True, log=log, check=False
            )
            return done.returncode, log.read_text(errors="replace")

        try:
            debian_root(suite, DISTRO_PACKAGES, root)
            python = in_root("python3", "-c", "import platform; print(platform.python_version())").stdout.strip()
            fresh_clone()
            prefix, notes = "", []
            if suite in OLD_ROUTE:
                for target in ("tour", "test"):
                    status, text = make(target)
                    if status == 0 or REFUSAL not in text:
                        raise Failed("make %s was not refused with the one sentence" % target)
                    notes.append("make %s refused" % target)
                packages, prefix = OLD_ROUTE[suite]
                debian_root(suite, DISTRO_PACKAGES + packages, root)
                fresh_clone()
            for target in ("tour", "test"):
                status, text = make(target, prefix)
                if status:
                    say("\n".join(text.splitlines()[-30:]))
                    raise Failed("make %s failed" % target)
            line = summary_line(text)
            pint = (
                in_root(
                    "sh",
                    "-c",
                    "/home/tq/tq_pyo3/.venv/bin/python -c 'import pint; print(pint.__version__)'",
                    user=True,
                    check=False,
                ).stdout.strip()
                or "none"
            )
            if pint == "none":
                raise Failed("pint is missing: its reference rows were skipped")
            results.append(
                "%s | python3 %s | pint %s | %s%s | %s"
                % (suite, python, pint, "; ".join(notes), " | " + prefix if prefix else "", line)
            )
        except Failed as failure:
            results.append("%s | FAILED: %s" % (suite, failure))
            failed.append(suite)
        say("   %s (%s)" % (results[-1], elapsed(start)))
    (base / "summary.txt").write_text("\n".join(results) + "\n")
    if failed:
        raise Failed("distros: %s" % " ".join(failed))


# ---- the sdist and the wheel built from it ----------------------------------------------------------------------


def sdist_files(sdist: Path) -> set:
    with tarfile.open(sdist) as archive:
        return {m.name.split("/", 1)[1] for m in archive.getmembers() if m.isfile() and "/" in m.name}


def tracked_files(tree: Path) -> set:
    """The files that belong in the sdist: the ones git tracks, and the metadata the backend writes."""
    done = run(["git", "-C", tree, "ls-files", "-z"], capture=True, check=False)
    if done.returncode:
        raise Failed("check-dist compares the sdist with the files git tracks, and %s is no git checkout" % tree)
    return set(filter(None, done.stdout.split("\0"))) | {"PKG-INFO"}


@check(
    "check-dist",
    "build",
    "the sdist holds exactly the files git tracks (a stray file fails it); a wheel built from it gets its "
    "manylinux tag from auditwheel and passes the sdist's own tests in a fresh venv (CHECK_PYTHON picks the "
    "interpreter)",
    "1 min",
    ci=True,
    aliases=("dist",),
    needs=("network",),
    uses=("wheel-tools",),
)
def check_dist(tree):
    bin_ = tools("wheel-tools")
    dist = tree / "dist"
    raw = work(tree) / "dist-raw"
    for d in (dist, raw):
        shutil.rmtree(d, ignore_errors=True)
    # python -m build makes the sdist from the tree and then the wheel from the unpacked sdist.
    run([bin_ / "python", "-m", "build", "--no-isolation", "--outdir", raw, tree], log=work(tree) / "dist.log")
    sdist = next(raw.glob("*.tar.gz"))
    packed, tracked = sdist_files(sdist), tracked_files(tree)
    if packed != tracked:
        raise Failed(
            "the sdist holds files git does not track: %s; it lacks tracked files: %s"
            % (" ".join(sorted(packed - tracked)) or "none", " ".join(sorted(tracked - packed)) or "none")
        )
    say("   the sdist holds the %d files git tracks and PKG-INFO" % (len(packed) - 1))
    dist.mkdir()
    shutil.copy(sdist, dist)
    path = {"PATH": "%s:%s" % (bin_, os.environ["PATH"])}
    say(output([bin_ / "auditwheel", "show", next(raw.glob("*.whl"))], env=path))
    run([bin_ / "auditwheel", "repair", "-w", dist, next(raw.glob("*.whl"))], env=path, capture=True)
    wheel = next(dist.glob("*.whl"))
    say("   %s" % wheel.name)
    python = os.environ.get("CHECK_PYTHON", "python3")
    venv = work(tree) / "venv"
    shutil.rmtree(venv, ignore_errors=True)
    run([python, "-m", "venv", venv])
    run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--disable-pip-version-check", "%s[test]" % wheel])
    src = work(tree) / "sdist"
    shutil.rmtree(src, ignore_errors=True)
    src.mkdir()
    run(["tar", "-xzf", next(dist.glob("*.tar.gz")), "-C", src, "--strip-components=1"])
    log = work(tree) / "pytest.log"
    done = run(
        [venv / "bin" / "python", "-m", "pytest", "-q", "-p", "no:cacheprovider"],
        cwd=src,
        log=log,
        check=False,
        env={"HYPOTHESIS_STORAGE_DIRECTORY": str(work(tree) / "hypothesis")},
    )
    say("   tests of the sdist against the installed wheel: %s" % summary_line(log.read_text()))
    if done.returncode:
        raise Failed("the sdist's tests failed against its wheel (log: %s)" % log)
