"""The steps every check is made of, each written once: running a command, Debian packages, pinned tools, virtual
environments, building the module, putting a wheel into an environment, running the suite, stamps and locks.

A check runs in a process of its own (dev/run.py starts it), on a source tree: the checkout, or a copy of it with a
fault planted. What it makes for itself lands in the tree's build/checks/<check>/ (work()); what every check and tree
shares (interpreters, Debian roots, the pinned tools, built modules by the content they were built from) lands in the
checkout's build/, each thing made once, under a lock, by the first that needs it."""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build"
# The check this process runs and the tree it runs on (dev/run.py sets both for each check it starts).
JOB = os.environ.get("TQ_JOB", "adhoc")
TREE = Path(os.environ.get("TQ_TREE", ROOT))


class Failed(Exception):
    """A check's verdict: it failed, for the reason given."""


def say(text: str) -> None:
    print(text, flush=True)


def run(
    cmd,
    *,
    cwd: Path | None = None,
    env: dict | None = None,
    check: bool = True,
    log: Path | None = None,
    timeout: float | None = None,
    capture: bool = False,
    input: str | None = None,
) -> subprocess.CompletedProcess:
    """Runs cmd (a list); with `log`, its output goes to that file (and the tail is shown on failure)."""
    cmd = [str(c) for c in cmd]
    full_env = dict(os.environ, **(env or {}))
    for key, value in (env or {}).items():
        if value is None:
            full_env.pop(key, None)
    if log is not None:
        log.parent.mkdir(parents=True, exist_ok=True)
        with open(log, "w") as out:
            done = subprocess.run(
                cmd,
                cwd=cwd,
                env=full_env,
                stdout=out,
                stderr=subprocess.STDOUT,
                timeout=timeout,
                text=True,
                input=input,
            )
    else:
        done = subprocess.run(
            cmd, cwd=cwd, env=full_env, timeout=timeout, text=True, input=input, capture_output=capture
        )
    if check and done.returncode != 0:
        if log is not None:
            say("".join(log.read_text(errors="replace").splitlines(True)[-40:]))
        elif capture:
            say((done.stdout or "")[-3000:] + (done.stderr or "")[-3000:])
        raise Failed("%s exited with %d" % (" ".join(shlex.quote(c) for c in cmd[:6]), done.returncode))
    return done


def output(cmd, **kwargs) -> str:
    return run(cmd, capture=True, **kwargs).stdout.strip()


# ---- the check's own folder, locks, stamps: a step done once, again when what it was made from changes ----------


def work(tree: Path | None = None) -> Path:
    """The folder of this check's own environments, builds and logs in the tree."""
    return (tree or TREE) / "build" / "checks" / JOB


@contextlib.contextmanager
def lock(name: str, base: Path = BUILD):
    """Held by one process at a time: the first that needs a shared thing makes it, the others wait and use it."""
    path = base / "locks" / (name.replace("/", "_") + ".lock")
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)


# What a build reads of a tree: everything but what builds and tools leave there.
NOT_SOURCE = {"build", "dist", "wheelhouse", ".git", ".hypothesis", ".pytest_cache", ".mypy_cache", "__pycache__"}


def tree_key(tree: Path) -> str:
    """A digest of the tree's files: what a module or wheel built from the tree is kept by."""
    digest = hashlib.sha256()
    for folder, dirs, files in os.walk(tree):
        top = Path(folder) == tree
        dirs[:] = sorted(d for d in dirs if d not in NOT_SOURCE and not (top and d.startswith((".venv", ".tq-"))))
        for name in sorted(files):
            path = Path(folder) / name
            if top and name.startswith(".tq-"):
                continue
            digest.update(path.relative_to(tree).as_posix().encode() + b"\0" + path.read_bytes() + b"\0")
    return digest.hexdigest()[:16]


def key_of(*parts) -> str:
    return hashlib.sha256(json.dumps(parts, sort_keys=True, default=str).encode()).hexdigest()[:16]


def stamped(directory: Path, key: str) -> bool:
    return (directory / ".tq-stamp").is_file() and (directory / ".tq-stamp").read_text() == key


def write_script(path: Path, text: str) -> None:
    """An executable script, rewritten only when its text changes (another check may be running it)."""
    if not (path.is_file() and path.read_text() == text):
        path.parent.mkdir(parents=True, exist_ok=True)
        new = path.with_name(path.name + ".new")
        new.write_text(text)
        new.chmod(0o755)
        new.replace(path)


def stamp(directory: Path, key: str) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    (directory / ".tq-stamp").write_text(key)


# ---- Debian packages -------------------------------------------------------------------------------------------


def apt(*packages: str) -> None:
    """Installs the packages this machine lacks (the checks run as root, as CI does)."""
    with lock("apt"):
        _apt(packages)


def _apt(packages) -> None:
    missing = [
        p
        for p in packages
        if run(["dpkg-query", "-W", "-f=${Status}", p], capture=True, check=False).stdout.strip()
        != "install ok installed"
    ]
    if not missing:
        return
    say("== apt-get install " + " ".join(missing))
    env = {"DEBIAN_FRONTEND": "noninteractive"}
    if (
        run(
            ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "-o", "DPkg::Lock::Timeout=600", *missing],
            env=env,
            capture=True,
            check=False,
        ).returncode
        != 0
    ):
        run(["apt-get", "update", "-qq"], env=env, capture=True)
        run(
            ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "-o", "DPkg::Lock::Timeout=600", *missing],
            env=env,
            capture=True,
        )


def apt_private(directory: Path, sources: list[str], arch: str | None = None) -> list[str]:
    """apt options for a private package index in `directory` (its own sources list and lists), so the host's apt
    setup is never changed; `arch` selects another architecture's packages."""
    for sub in ("lists/partial", "archives/partial"):
        (directory / sub).mkdir(parents=True, exist_ok=True)
    (directory / "sources.list").write_text("\n".join(sources) + "\n")
    (directory / "status").touch()
    opts = [
        "-o",
        "Dir::Etc::SourceList=%s" % (directory / "sources.list"),
        "-o",
        "Dir::Etc::SourceParts=/dev/null",
        "-o",
        "Dir::State::Lists=%s" % (directory / "lists"),
        "-o",
        "Dir::State::status=%s" % (directory / "status"),
        "-o",
        "Dir::Cache::Archives=%s" % (directory / "archives"),
        "-o",
        "APT::Sandbox::User=root",
        "-o",
        "Acquire::Check-Valid-Until=false",
        "-o",
        "Debug::NoLocking=1",
    ]
    if arch:
        opts += ["-o", "APT::Architecture=%s" % arch, "-o", "APT::Architectures=%s" % arch]
    return opts


def fetch_checked(directory: Path, name: str, sha256: str, fetch) -> Path:
    """DIRECTORY/NAME, made by fetch(directory) unless it is there with the right sha256, which it must have."""
    path = directory / name

    def good() -> bool:
        return path.is_file() and hashlib.sha256(path.read_bytes()).hexdigest() == sha256

    if not good():
        directory.mkdir(parents=True, exist_ok=True)
        fetch(directory)
        if not good():
            raise Failed("%s: sha256 is not %s" % (path, sha256))
    return path


# ---- pins ------------------------------------------------------------------------------------------------------


def _pyproject() -> dict:
    try:
        import tomllib
    except ImportError:  # the checks need Python 3.11 or newer; `make test` and `make tour` do not
        raise Failed("the checks need Python 3.11 or newer (tomllib) to read pyproject.toml") from None
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)


def pins(group: str) -> list[str]:
    """A dependency group of pyproject.toml, the one place where the checks' tools are pinned."""
    groups = _pyproject()["dependency-groups"]
    out = []
    for item in groups[group]:
        out += pins(item["include-group"]) if isinstance(item, dict) else [item]
    return out


def pin(name: str) -> str:
    """The pinned version of one tool, from whichever group pins it."""
    for group in _pyproject()["dependency-groups"]:
        for req in pins(group):
            found = re.fullmatch(r"(?i)%s==(\S+)" % re.escape(name), req)
            if found:
                return found.group(1)
    raise Failed("no pin for %s in pyproject.toml" % name)


def extra(name: str) -> list[str]:
    """An optional dependency of the project (what users install), e.g. the test extra."""
    return _pyproject()["project"]["optional-dependencies"][name]


def version() -> str:
    return _pyproject()["project"]["version"]


# ---- environments ------------------------------------------------------------------------------------------------


def venv(path: Path, python: str | Path, requirements: list[str], *, pip_args: tuple = ()) -> Path:
    """A virtual environment of `python` at `path` holding `requirements`; made again when they change."""
    py = path / "bin" / "python"
    key = key_of(str(python), requirements, pip_args)
    with lock("venv-" + key_of(str(path))):
        if not (py.exists() and stamped(path, key)):
            shutil.rmtree(path, ignore_errors=True)
            run([python, "-m", "venv", path])
            if requirements:
                run([py, "-m", "pip", "install", "-q", "--disable-pip-version-check", *pip_args, *requirements])
            stamp(path, key)
    return py


def tools(group: str) -> Path:
    """The bin folder of a venv of this machine's python holding a pinned group of tools."""
    return venv(BUILD / "tools" / group, sys.executable, pins(group)).parent


def zig() -> Path:
    """The pinned zig compiler (the ziglang package of the wheel tools)."""
    bin_ = tools("wheel-tools")
    return Path(
        output(
            [bin_ / "python", "-c", "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"]
        )
    )


# ---- the module --------------------------------------------------------------------------------------------------


def wheel_of(directory: Path) -> Path:
    wheels = sorted(directory.glob("tq_pyo3-*.whl"))
    if len(wheels) != 1:
        raise Failed("expected one tq_pyo3 wheel in %s, found %s" % (directory, [w.name for w in wheels]))
    return wheels[0]


def unpack_wheel(wheel: Path, site: Path) -> None:
    """Puts the wheel's files into an environment's site folder, as an installer would, replacing any earlier
    tq_pyo3 there."""
    site.mkdir(parents=True, exist_ok=True)
    for old in list(site.glob("tq_pyo3*")):
        shutil.rmtree(old) if old.is_dir() else old.unlink()
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(site)


def summary_line(text: str) -> str:
    found = re.findall(r"^=*\s*(\d+ (?:passed|failed|errors?)\b.*? in [0-9.]+s.*?)\s*=*$", text, re.M)
    return found[-1] if found else "(no summary)"


def elapsed(start: float) -> str:
    seconds = time.monotonic() - start
    return "%d s" % seconds if seconds < 120 else "%.1f min" % (seconds / 60)
