"""What a portable wheel's extension may ask of the system it is installed on, read from its ELF dynamic section.

    python dev/probes/wheel_elf.py WHEEL EXPECTED_JSON     (dev/checks/wheels.py writes EXPECTED from the platform's
                                                            row: {"needed": [...], "libm": {function: version},
                                                            "inlined": [...], "unwinder": ..., "by_name": ...})

For the extension module in the wheel: the shared libraries it needs (DT_NEEDED) are only those of the row (the C
library's and the dynamic loader), so no C++ runtime and no libpython; the only symbol it exports is PyInit_tq_pyo3;
it has no packed relative relocations (DT_RELR, which old C libraries cannot load: they are listed as a needed
"(DT_RELR)"); and each elementary function is an undefined symbol whose version comes from libm.so.6 and is the
row's, so the system's C library computes it and no copy linked into the module does. On musl (an empty version)
each is an unversioned import from musl's C library, which holds libm; or, where zig links its runtime library
with its own copies in ("by_name"), none is imported: the module imports dlsym and holds each name as a string, as
cmake/zig-musl-libm-imports.cpp looks them up (a plain import there means the calls are not redirected to that
lookup, and those of the functions zig's runtime defines go to its copies). A function marked inlined may be absent
(compilers use the processor's instruction), but never defined inside the module. On glibc the unwinder is the
system's libgcc_s.so.1 ("unwinder"), whose _Unwind_Resume the module imports. Prints one line per check and exits 1
when any fails. Needs pyelftools (auditwheel's own dependency).
"""

from __future__ import annotations

import io
import json
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

EXPORTS = {"PyInit_tq_pyo3"}


def dynamic_facts(elf: ELFFile) -> tuple[set[str], set[str], dict[str, tuple[str, str]], set[str]]:
    """DT_NEEDED, defined global dynamic symbols, undefined ones with the file and the version name their version
    comes from (("libm.so.6", "GLIBC_2.17"); ("", "") when unversioned), and the names defined in the full symbol
    table (local ones included)."""
    needed: set[str] = set()
    version_of: dict[int, tuple[str, str]] = {}
    versym = None
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed |= {tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
            # Packed relative relocations: only glibc 2.36 and musl 1.2.4 on can load them.
            needed |= {"(DT_RELR)" for tag in section.iter_tags() if tag.entry.d_tag == "DT_RELR"}
        elif isinstance(section, GNUVerNeedSection):
            for verneed, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    version_of[aux.entry.vna_other] = (verneed.name, aux.name)
        elif isinstance(section, GNUVerSymSection):
            versym = section
    dynsym = elf.get_section_by_name(".dynsym")
    exported: set[str] = set()
    imported: dict[str, tuple[str, str]] = {}
    for index, symbol in enumerate(dynsym.iter_symbols()):
        if not symbol.name or symbol.entry.st_info.bind == "STB_LOCAL":
            continue
        if symbol.entry.st_shndx == "SHN_UNDEF":
            ndx = versym.get_symbol(index).entry.ndx if versym else None
            imported[symbol.name] = version_of.get(ndx, ("", "")) if isinstance(ndx, int) else ("", "")
        else:
            exported.add(symbol.name)
    symtab = elf.get_section_by_name(".symtab")
    defined = {s.name for s in symtab.iter_symbols() if s.entry.st_shndx != "SHN_UNDEF"} if symtab else set()
    return needed, exported, imported, defined


def check(wheel: str, expected: dict) -> list[str]:
    failures: list[str] = []
    with zipfile.ZipFile(wheel) as archive:
        modules = [n for n in archive.namelist() if n.endswith(".so")]
        if len(modules) != 1:
            return [f"{wheel}: expected one extension module, found {modules}"]
        elf = ELFFile(io.BytesIO(archive.read(modules[0])))
        needed, exported, versioned, defined = dynamic_facts(elf)
        imported = {name: file for name, (file, _) in versioned.items()}
        rodata = elf.get_section_by_name(".rodata")
        strings = rodata.data() if rodata else b""
    allowed, versions, inlined = set(expected["needed"]), expected["libm"], set(expected["inlined"])
    musl = not any(versions.values())
    # The file an import's version comes from: libm.so.6 for glibc; musl's imports have none ("").
    source = "" if musl else "libm.so.6"
    print(
        f"== {modules[0]} ({elf.get_machine_arch()}, {elf.elfclass}-bit, {(elf.little_endian and 'little') or 'big'}"
        f"-endian) in {wheel}"
    )
    print(f"needed:   {' '.join(sorted(needed))}")
    print(f"exported: {' '.join(sorted(exported))}")
    print(f"from {source or 'the C library'}: {' '.join(n for n in versions if imported.get(n) == source)}")
    by_name = expected.get("by_name", False)
    if by_name:
        # a C string each, or the tail of one: the linker keeps "sin" as the end of "asin"
        named = [n for n in versions if b"%s\0" % n.encode() in strings]
        print(f"looked up by name: {' '.join(named)} (dlsym {'imported' if 'dlsym' in imported else 'not imported'})")
        if "dlsym" not in imported:
            failures.append("dlsym is not imported: nothing looks the libm functions up in the C library")
    if needed - allowed:
        failures.append(f"needs {sorted(needed - allowed)}, beyond the C library ({sorted(allowed)})")
    if exported != EXPORTS:
        failures.append(f"exports {sorted(exported ^ EXPORTS)} beyond/instead of {sorted(EXPORTS)}")
    unwinder = expected.get("unwinder")
    if unwinder and imported.get("_Unwind_Resume") != unwinder:
        failures.append(
            f"_Unwind_Resume is not imported from {unwinder}: the module carries an unwinder of its own, "
            "and a thread that glibc ends inside it by a forced unwind crashes"
        )
    unlisted = sorted(n for n, source_file in imported.items() if source_file == "libm.so.6" and n not in versions)
    if unlisted:
        failures.append(f"imports {unlisted} from libm.so.6, which cmake/libm-functions.txt does not list")
    for name, version in versions.items():
        if name in defined:
            failures.append(f"{name} is defined inside the module")
        elif by_name:
            if name in imported:
                failures.append(
                    f"{name} is imported, not looked up by name: the calls are not redirected, and those "
                    "of the functions zig's runtime defines go to its copies"
                )
            elif name not in named:
                failures.append(f"{name} is not looked up by name: no string {name!r} in .rodata")
        elif name not in imported:
            if name not in inlined:
                failures.append(f"{name} is not imported")
        elif imported[name] != source:
            failures.append(f"{name} is bound to {imported[name] or 'no library'}, not {source or 'the C library'}")
        elif version and versioned[name][1] != version:
            failures.append(f"{name} is imported as {versioned[name][1]}, not {version}")
    return [f"{wheel}: {f}" for f in failures]


def main(wheel: str, expected: str) -> int:
    failures = check(wheel, json.loads(expected))
    for failure in failures:
        print("FAILED:", failure)
    print(f"portable wheel checks: {len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
