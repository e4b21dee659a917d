"""The builder of the "cross" interpreters (dev/interpreters.py): CPython from the checked sources cross-built on
this machine with zig for musl on another architecture, and run by qemu user-mode emulation with Debian's musl
package for that architecture as its C library and dynamic loader. No distribution packages a musl CPython for
aarch64 or armv7 that runs here, and zig brings musl's headers and a compiler for every target.

What the build needs beyond a native one:
  - a build Python of the same version, here (configure's --with-build-python): CPython from the same sources;
  - a compiler wrapper around `zig cc`: -dynamic (zig links musl executables statically by default, and a static
    python cannot load its extension modules); -Wno-error=date-time (zig makes __DATE__ an error, and
    Modules/getbuildinfo.c uses it); an answer to --print-multiarch (the platform triplet, part of every
    extension's file name, which zig cc does not answer); and <stdio.h> before Misc/platform_triplet.c, which tells
    musl by __DEFINED_va_list after <stdarg.h>, a macro of musl's stdarg.h that zig's clang does not take first;
  - zlib and libffi static for the target (MUSL_DEPS), and configure's answers about files it cannot look for on
    the target (CONFIG_SITE);
  - the C library's math functions: zig links its runtime library, with its own sin, log2, ..., into whatever
    needs one of its helpers (on 32-bit ARM any 64-bit division, in the math module too), and those functions win
    over the C library's (its log2 and log10 are wrong for subnormal inputs), so `math` would compute with them.
    Every link gets cmake/zig-musl-libm-imports.cpp, as the module's wheels do, with --wrap for each function of
    cmake/libm-functions.txt: the test suite and the same-bits run take `math` as the C library's answer, and the
    probe holds it to that (math linked without it fails there on armv7l: log2 of a subnormal).
The interpreter's wrapper script is its sys.executable, so a child the suite starts is emulated too; the pinned
test tools come as musllinux wheels from the host's pip into its site-packages.
"""

from __future__ import annotations

import os
import shutil
import textwrap
import time
from pathlib import Path

from facts import libm_binary, libm_functions
from interpreters import (
    CPYTHON,
    MUSL_DEPS,
    Env,
    Interpreter,
    _musl_deps,
    _target_tools,
    cpython_sources,
    debian_sysroot,
)
from steps import BUILD, ROOT, Failed, apt, key_of, lock, output, run, say, stamp, stamped, tools, write_script, zig

# One change to CPython 3.13's sources. At exit, the main thread frees the thread state of every daemon thread, while
# a daemon thread that has just let the GIL go for it may still read its own thread state (drop_gil reads the
# GIL-drop request after the unlock; CPython's gh-124878, mended in 3.14 by counting references to thread states).
# musl's allocator unmaps such memory at once, and under qemu-arm the interpreter then crashed at exit in a quarter
# or more of the runs that left four busy daemon threads behind, with or without tq_pyo3 loaded (a core dump shows
# the read in drop_gil). The request is read here while the thread still holds the GIL; after the unlock, the thread
# state is touched only under the switch mutex, which the main thread takes before it goes on.
DROP_GIL = (
    "Python/ceval_gil.c",
    (
        (
            "    drop_gil_impl(tstate, gil);\n\n#ifdef FORCE_SWITCHING\n    /* We might be releasing",
            "#ifdef FORCE_SWITCHING\n    int drop_requested = !final_release &&\n"
            "        _Py_eval_breaker_bit_is_set(tstate, _PY_GIL_DROP_REQUEST_BIT);\n#endif\n"
            "    drop_gil_impl(tstate, gil);\n\n#ifdef FORCE_SWITCHING\n    /* We might be releasing",
        ),
        (
            "    if (!final_release &&\n        _Py_eval_breaker_bit_is_set(tstate, _PY_GIL_DROP_REQUEST_BIT)) {\n"
            "        MUTEX_LOCK(gil->switch_mutex);",
            "    if (drop_requested) {\n        MUTEX_LOCK(gil->switch_mutex);",
        ),
    ),
)
# Answers configure cannot find out when it cannot run what it builds.
CONFIG_SITE = "ac_cv_file__dev_ptmx=yes\nac_cv_file__dev_ptc=no\nac_cv_buggy_getaddrinfo=no\n"
LIBM_SOURCE = ROOT / "cmake" / "zig-musl-libm-imports.cpp"
LIBM_WRITER = ROOT / "cmake" / "libm-functions.cmake"
# The C library's answer, through ctypes, against math's, where zig's own functions answer differently.
SUBNORMAL = 2.225073858507e-311
LIBM_PROBE = textwrap.dedent("""\
    import ctypes, math
    libc = ctypes.CDLL(None)
    for name in %r:
        c = getattr(libc, name)
        c.restype, c.argtypes = ctypes.c_double, [ctypes.c_double]
        for x in (%r, 0.75):
            assert getattr(math, name)(x) == c(x), "math.%%s(%%r) is not the C library's" %% (name, x)
    """)


def build_python() -> Path:
    """A native CPython of the same version from the same sources: what runs the cross build's own scripts."""
    with lock("build-python"):
        return _build_python()


def _build_python() -> Path:
    base = BUILD / "interpreters" / "build-python"
    python = base / "prefix" / "bin" / CPYTHON["package"]
    configure = ("--without-ensurepip", "--disable-test-modules")
    if not stamped(base, key_of(CPYTHON, configure)):
        apt("gcc", "make", "xz-utils")
        src = cpython_sources()
        start = time.monotonic()
        shutil.rmtree(base, ignore_errors=True)
        (base / "build").mkdir(parents=True)
        say("== the build Python: CPython %s for this machine (some minutes, once)" % CPYTHON["version"])
        run(
            [src / "configure", "-q", "--prefix=%s" % (base / "prefix"), *configure],
            cwd=base / "build",
            log=base / "configure.log",
        )
        run(["make", "-j2", "-s"], cwd=base / "build", log=base / "make.log")
        run(["make", "-s", "install"], cwd=base / "build", log=base / "install.log")
        stamp(base, key_of(CPYTHON, configure))
        say("   built in %.0f s" % (time.monotonic() - start))
    return python


def libm_header(directory: Path) -> None:
    """tq-libm-functions.h in `directory`, by its one writer, cmake/libm-functions.cmake (the module's build runs the
    same script)."""
    directory.mkdir(parents=True, exist_ok=True)
    cmake = tools("wheel-tools") / "cmake"
    run([cmake, "-DTQ_LIBM_HEADER_DIR=%s" % directory, "-P", LIBM_WRITER])


# zig cc for the target (this file's docstring says why each part is here)
CC = """\
#!/bin/sh
[ "$1" = --print-multiarch ] && { echo %(triplet)s; exit 0; }
case "$*" in *platform_triplet.c*) set -- -include stdio.h "$@" ;; esac
# a link (not -c, -E, -S, -M, -MM): the C library's math functions by name
case " $* " in *" -c "*|*" -E "*|*" -S "*|*" -M "*|*" -MM "*) ;; *) set -- "$@" %(wrap)s ;; esac
exec %(zig)s cc %(target)s -dynamic -Wno-error=date-time "$@"
"""


def patched_sources(directory: Path) -> Path:
    """The checked sources, linked file by file into `directory`, with DROP_GIL's file changed."""
    shutil.rmtree(directory, ignore_errors=True)
    shutil.copytree(cpython_sources(), directory, copy_function=os.link)
    path, edits = DROP_GIL
    text = (directory / path).read_text()
    for old, new in edits:
        if text.count(old) != 1:
            raise Failed("%s: the text to change is not there once: %r" % (path, old[:60]))
        text = text.replace(old, new)
    (directory / path).unlink()  # a link to the shared sources: replaced, not written through
    (directory / path).write_text(text)
    return directory


def compilers(interp: Interpreter, directory: Path) -> dict:
    """cc, ar and ranlib for the target, around zig; their paths by configure's names."""
    directory.mkdir(parents=True, exist_ok=True)
    zig_ = zig()
    target = "-target %s %s" % (interp.target, interp.flags)
    libm_header(directory)
    libm = directory / "libm-imports.o"
    run(
        [
            zig_,
            "c++",
            *target.split(),
            "-std=c++20",
            "-O2",
            "-fPIC",
            "-fno-exceptions",
            "-fvisibility=hidden",
            "-I",
            directory,
            "-c",
            LIBM_SOURCE,
            "-o",
            libm,
        ]
    )
    wrap = " ".join([str(libm)] + ["-Wl,--wrap=%s" % f for f, _ in libm_functions()])
    scripts = {
        "cc": CC % dict(triplet=interp.target, wrap=wrap, zig=zig_, target=target),
        "ar": '#!/bin/sh\nexec %s ar "$@"\n' % zig_,
        "ranlib": '#!/bin/sh\nexec %s ranlib "$@"\n' % zig_,
    }
    for name, text in scripts.items():
        (directory / name).write_text(text)
        (directory / name).chmod(0o755)
    return {name.upper(): str(directory / name) for name in scripts}


def cross_built(interp: Interpreter) -> Env:
    base = BUILD / "interpreters" / interp.name
    prefix = base / "prefix"
    apt("qemu-user-static")
    sysroot = debian_sysroot(base / "runtime", interp)
    wrapper = base / "bin" / interp.python
    wrapper.parent.mkdir(parents=True, exist_ok=True)
    # qemu's -0 sets argv[0]: the wrapper is the interpreter's sys.executable
    write_script(
        wrapper,
        textwrap.dedent(
            """\
        #!/bin/sh
        # %s (written by dev/musl_cross.py)
        exec %s -L %s -0 %s %s/bin/%s "$@"
        """
            % (interp.what, interp.qemu, sysroot, wrapper, prefix, interp.python)
        ),
    )
    key = key_of(
        CPYTHON,
        DROP_GIL,
        interp.configure,
        interp.target,
        interp.flags,
        MUSL_DEPS,
        CONFIG_SITE,
        CC,
        LIBM_WRITER.read_text(),
        (ROOT / "cmake" / "libm-functions.txt").read_text(),
        LIBM_SOURCE.read_text(),
    )
    if not stamped(base / "build", key):
        python = build_python()
        start = time.monotonic()
        for old in ("build", "prefix", "cc", "deps"):
            shutil.rmtree(base / old, ignore_errors=True)
        src = patched_sources(base / "src")
        tools = compilers(interp, base / "cc")
        settings = _musl_deps(base, Path(tools["CC"]), interp.target, {"AR": tools["AR"], "RANLIB": tools["RANLIB"]})
        (base / "config.site").write_text(CONFIG_SITE)
        say(
            "== %s: CPython %s for %s, cross-built with zig (some minutes, once)"
            % (interp.name, CPYTHON["version"], interp.target)
        )
        (base / "build").mkdir(parents=True)
        run(
            [
                src / "configure",
                "-q",
                "--host=%s" % interp.target,
                "--build=x86_64-pc-linux-gnu",
                "--with-build-python=%s" % python,
                "--prefix=%s" % prefix,
                *("%s=%s" % kv for kv in tools.items()),
                *interp.configure,
                *settings,
            ],
            cwd=base / "build",
            env={"CONFIG_SITE": str(base / "config.site")},
            log=base / "configure.log",
        )
        run(["make", "-j2", "-s"], cwd=base / "build", log=base / "make.log")
        run(["make", "-s", "install"], cwd=base / "build", log=base / "install.log")
        unary = [f for f, _ in libm_functions() if f not in libm_binary()]
        for probe in (interp.probe, LIBM_PROBE % (unary, SUBNORMAL)):
            run([wrapper, "-c", probe])
        stamp(base / "build", key)
        say("   %s built in %.0f s" % (interp.name, time.monotonic() - start))
    machine = output([wrapper, "-c", "import platform; print(platform.machine())"])
    if machine != interp.machine:
        raise Failed("%s: platform.machine() is %r, not %r" % (interp.name, machine, interp.machine))
    site = prefix / "lib" / CPYTHON["package"] / "site-packages"
    _target_tools(interp, site, CPYTHON["minor"])
    return Env(interp.name, [wrapper], site, dict(interp.env), kind="qemu")
