"""The documents hold to the tree: every link between them resolves, every path and `make` target they name exists,
every name they place in a file is there, CONTRIBUTING's layout names every source file, and every generated part
is what docs/generate.py writes from its source."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

TREE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TREE / "docs"))
import generate  # noqa: E402

DOCUMENTS = generate.DOCUMENTS
TEXT = {name: (TREE / name).read_text(encoding="utf-8") for name in DOCUMENTS}
# What the checks and builds make: named in the documents, never committed.
MADE = ("build/", "dist/", "wheelhouse/", ".venv")
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def prose(text):
    """The text outside fenced code blocks and generated parts (whose sources are checked where they are kept)."""
    text = re.sub(r"^```.*?^```$", "", text, flags=re.M | re.S)
    return generate.GENERATED.sub("", text)


def code_spans(text):
    return re.findall(r"`([^`\n]+)`", prose(text))


def anchors(text):
    """GitHub's anchor of each heading: lower case, punctuation dropped, blanks as hyphens."""
    headings = re.findall(r"^#+ (.+)$", prose(text), re.M)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


def make_targets():
    targets = set(re.findall(r"^([\w-]+):", (TREE / "Makefile").read_text(), re.M))
    names = subprocess.run(
        [sys.executable, str(TREE / "dev" / "run.py"), "names"], check=True, capture_output=True, text=True
    )
    return targets | set(names.stdout.split())


@pytest.mark.parametrize("name", DOCUMENTS)
def test_every_link_resolves(name):
    broken = []
    for target in LINK.findall(prose(TEXT[name])):
        if re.match(r"[a-z]+:", target):  # a web address: not fetched here
            continue
        path, _, anchor = target.partition("#")
        file = (TREE / name).parent / path if path else TREE / name
        if not file.exists():
            broken.append(target)
        elif anchor and (file.suffix != ".md" or anchor not in anchors(file.read_text(encoding="utf-8"))):
            broken.append(target)
    assert broken == []


def test_the_readme_links_every_document_of_docs():
    linked = {(TREE / target.partition("#")[0]).resolve() for target in LINK.findall(TEXT["README.md"])}
    assert {p.resolve() for p in (TREE / "docs").glob("*.md")} - linked == set()
    assert {str(p.relative_to(TREE)) for p in (TREE / "docs").glob("*.md")} == set(DOCUMENTS[2:])


@pytest.mark.parametrize("name", DOCUMENTS)
def test_every_path_named_exists(name):
    top = {p.name for p in TREE.iterdir()}
    named = set()
    for span in code_spans(TEXT[name]):
        for word in span.split():
            if re.fullmatch(r"[\w.-]+(/[\w.*-]+)*/?", word) and "/" in word and word.split("/")[0] in top:
                named.add(word)
    missing = [p for p in sorted(named) if not p.startswith(MADE) and not list(TREE.glob(p.rstrip("/")))]
    assert named and missing == []


@pytest.mark.parametrize("name", DOCUMENTS)
def test_every_make_target_named_is_one(name):
    text = TEXT[name]
    named = set(re.findall(r"`make ([\w-]+)(?![\w<-])", text)) | set(re.findall(r"^make ([\w-]+)", text, re.M))
    assert named - make_targets() == set()


# `kUnits` in `core/src/registry.cpp`, `METHODS` of `tests/tqtest.py`, `entry()` in `src/frame.hpp` (a call's
# brackets and a template's arguments left out)
PLACED = re.compile(r"`([^`(<]+)(?:\(\)|<[^`]*>)?` (?:in|of) `([\w./-]+\.\w+)`")


@pytest.mark.parametrize("name", DOCUMENTS)
def test_every_name_placed_in_a_file_is_there(name):
    placed = PLACED.findall(re.sub(r"\s+", " ", prose(TEXT[name])))
    absent = [
        (what, path)
        for what, path in placed
        if not re.search(r"(?<!\w)%s(?!\w)" % re.escape(what), (TREE / path).read_text(encoding="utf-8"))
    ]
    assert absent == []


def test_the_layout_names_every_source_file():
    layout = prose(TEXT["CONTRIBUTING.md"]).split("## Layout", 1)[1].split("\n## ", 1)[0]
    files = [p for d in ("core/src", "src", "cmake") for p in sorted((TREE / d).iterdir()) if p.is_file()]
    assert [str(p.relative_to(TREE)) for p in files if "`%s`" % p.relative_to(TREE) not in layout] == []


@pytest.mark.parametrize("name", DOCUMENTS)
def test_the_generated_parts_are_current(name):
    assert generate.render(TEXT[name]) == TEXT[name], "run python3 docs/generate.py"


def test_every_generated_part_is_in_a_document_and_every_part_is_known():
    used = [m.group(1) for name in DOCUMENTS for m in generate.GENERATED.finditer(TEXT[name])]
    begun = [n for name in DOCUMENTS for n in re.findall(r"^<!-- begin ([\w-]+)", TEXT[name], re.M)]
    assert sorted(used) == sorted(begun) and set(used) == set(generate.SOURCES)


def test_the_command_rewrites_stale_documents_and_checks_them(tmp_path, capsys):
    (tmp_path / "dev").mkdir()
    (tmp_path / "dev" / "tsan.supp").write_text("race:one\n")
    doc = tmp_path / "doc.md"
    doc.write_text("<!-- begin tsan-suppressions: written by docs/generate.py -->\n<!-- end tsan-suppressions -->\n")
    assert generate.main(["--check"], tmp_path, ("doc.md",)) == 1 and "race:one" not in doc.read_text()
    assert generate.main([], tmp_path, ("doc.md",)) == 0 and "`race:one`" in doc.read_text()
    assert generate.main(["--check"], tmp_path, ("doc.md",)) == 0 and generate.main([], tmp_path, ("doc.md",)) == 0
    assert capsys.readouterr().out.splitlines() == [
        "out of date: doc.md (python3 docs/generate.py rewrites them)",
        "rewrote doc.md",
        "current",
        "every document was current",
    ]


def test_a_stale_or_unknown_part_is_rewritten_or_refused(tmp_path):
    stale = "a\n<!-- begin tsan-suppressions: written by docs/generate.py -->\nSTALE\n<!-- end tsan-suppressions -->\nb"
    fresh = generate.render(stale)
    assert fresh.startswith("a\n<!-- begin") and fresh.endswith("<!-- end tsan-suppressions -->\nb")
    assert "STALE" not in fresh and "`dev/tsan.supp` holds" in fresh and generate.render(fresh) == fresh
    with pytest.raises(KeyError):
        generate.render("<!-- begin nothing: written by docs/generate.py -->\n<!-- end nothing -->")
    (tmp_path / "dev").mkdir()
    (tmp_path / "dev" / "tsan.supp").write_text("# only comments\n\n")
    assert generate.tsan_suppressions(tmp_path) == "`dev/tsan.supp` holds no suppression."
    (tmp_path / "dev" / "tsan.supp").write_text("# why\nrace:one\n")
    assert (
        generate.tsan_suppressions(tmp_path)
        == "`dev/tsan.supp` holds 1 suppression, each with its reason there: `race:one`."
    )


def test_the_versions_named_are_the_projects():
    """The release in wheel names, the oldest CPython, and the oldest compilers and C++ libraries the build takes."""
    pyproject = (TREE / "pyproject.toml").read_text()
    version = re.search(r'^version = "([^"]+)"', pyproject, re.M).group(1)
    python = re.search(r'^requires-python = ">=(3\.\d+)"', pyproject, re.M).group(1)
    cmake = (TREE / "cmake" / "toolchain_minimum.cmake").read_text()
    compilers = re.findall(r'"(GNU|Clang)" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS (\d+)', cmake)
    libraries = re.search(r"libstdc\+\+ (\d+) / libc\+\+ (\d+) or newer", cmake).groups()
    minimum = {"GNU": "GCC", "Clang": "clang"}
    minimum = {(minimum[c], v) for c, v in compilers} | set(zip(("libstdc++", "libc++"), libraries))
    text = re.sub(r"\s+", " ", "\n".join(TEXT.values()))
    assert set(re.findall(r"tq_pyo3-(\d[\w.]*\d)[-.]", text)) == {version}
    pythons = re.findall(r"CPython from (3\.\d+) on|`python3` \((3\.\d+) or newer", text)
    assert pythons and {a or b for a, b in pythons} == {python}
    assert (
        len(minimum) == 4
        and set(re.findall(r"\b(GCC|clang|libstdc\+\+|libc\+\+) (\d+)(?:\+| or newer)", text)) == minimum
    )


def test_the_floors_stated_are_the_checks():
    """The coverage and mutation floors the documents state are those the checks hold the suite to."""
    sys.path.insert(0, str(TREE / "dev"))
    try:
        from checks.coverage import FLOOR_BRANCHES, FLOOR_LINES
        from checks.mutation import FLOOR_KILLED
    finally:
        sys.path.remove(str(TREE / "dev"))
    stated = {"lines": set(), "branches": set(), "killed": set()}
    for text in TEXT.values():
        text = re.sub(r"\s+", " ", prose(text))
        stated["lines"] |= set(re.findall(r"(\d+)% of the lines", text))
        stated["branches"] |= set(re.findall(r"at least (\d+)% of their branches", text))
        stated["killed"] |= set(re.findall(r"at least (\d+)% of (?:them|a seeded sample[^.]*?) killed", text))
    assert stated == {"lines": {str(FLOOR_LINES)}, "branches": {str(FLOOR_BRANCHES)}, "killed": {str(FLOOR_KILLED)}}
