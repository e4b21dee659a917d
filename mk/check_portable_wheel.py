"""What a portable wheel's extension may ask of the system it is installed on, read from its ELF dynamic section.

    python mk/check_portable_wheel.py WHEEL...

For the extension module in each wheel: the shared libraries it needs (DT_NEEDED) are only glibc's libc, libm,
libpthread, libdl and the dynamic loader, so no C++ runtime and no libpython; the only symbol it exports is
PyInit_tq_pyo3; it has no packed relative relocations (DT_RELR, which old C libraries cannot load: they are listed
as a needed "(DT_RELR)"); and each elementary function is an undefined symbol whose version comes from libm.so.6,
so the system's C library computes it and no copy linked into the module does. A musllinux wheel needs musl's
libc.musl-<arch>.so.1 alone (musl keeps libm inside it and has no symbol versions): each elementary function is an unversioned
import. Prints one line per check and wheel, and exits 1 when any fails. Needs pyelftools (auditwheel's own
dependency).
"""

from __future__ import annotations

import io
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
                  "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
MUSL_NEEDED = {"libc.musl-x86_64.so.1", "libc.musl-aarch64.so.1"}
EXPORTS = {"PyInit_tq_pyo3"}
FROM_LIBM = ("sin", "cos", "tan", "asin", "acos", "atan", "log", "log2", "log10", "pow")


def dynamic_facts(elf: ELFFile) -> tuple[set[str], set[str], dict[str, str], set[str]]:
    """DT_NEEDED, defined global dynamic symbols, undefined ones with the file their version comes from, and the
    names defined in the full symbol table (local ones included)."""
    needed: set[str] = set()
    version_file: dict[int, str] = {}
    versym = None
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed |= {tag.needed for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
            # Packed relative relocations: only glibc 2.36 and musl 1.2.4 on can load them.
            needed |= {"(DT_RELR)" for tag in section.iter_tags() if tag.entry.d_tag == "DT_RELR"}
        elif isinstance(section, GNUVerNeedSection):
            for verneed, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    version_file[aux.entry.vna_other] = verneed.name
        elif isinstance(section, GNUVerSymSection):
            versym = section
    dynsym = elf.get_section_by_name(".dynsym")
    exported: set[str] = set()
    imported: dict[str, str] = {}
    for index, symbol in enumerate(dynsym.iter_symbols()):
        if not symbol.name or symbol.entry.st_info.bind == "STB_LOCAL":
            continue
        if symbol.entry.st_shndx == "SHN_UNDEF":
            ndx = versym.get_symbol(index).entry.ndx if versym else None
            imported[symbol.name] = version_file.get(ndx, "") if isinstance(ndx, int) else ""
        else:
            exported.add(symbol.name)
    symtab = elf.get_section_by_name(".symtab")
    defined = {s.name for s in symtab.iter_symbols() if s.entry.st_shndx != "SHN_UNDEF"} if symtab else set()
    return needed, exported, imported, defined


def check(wheel: str) -> list[str]:
    failures: list[str] = []
    with zipfile.ZipFile(wheel) as archive:
        modules = [n for n in archive.namelist() if n.endswith(".so")]
        if len(modules) != 1:
            return [f"{wheel}: expected one extension module, found {modules}"]
        elf = ELFFile(io.BytesIO(archive.read(modules[0])))
        needed, exported, imported, defined = dynamic_facts(elf)
    arch = elf.get_machine_arch()
    musl = "musllinux" in wheel
    # The import each elementary function must be: from libm.so.6 with its glibc version, or from musl's C library
    # with no version (version_file maps an unversioned import to "").
    libm, allowed = ("musl's libc", MUSL_NEEDED) if musl else ("libm.so.6", ALLOWED_NEEDED)
    version = "" if musl else libm
    print(f"== {modules[0]} ({arch}) in {wheel}")
    print(f"needed:   {' '.join(sorted(needed))}")
    print(f"exported: {' '.join(sorted(exported))}")
    print(f"from {libm}: {' '.join(n for n in FROM_LIBM if imported.get(n) == version)}")
    if needed - allowed or (musl and len(needed) != 1):
        failures.append(f"needs {sorted(needed)}, more than the C library ({sorted(allowed)})")
    if exported != EXPORTS:
        failures.append(f"exports {sorted(exported ^ EXPORTS)} beyond/instead of {sorted(EXPORTS)}")
    for name in FROM_LIBM:
        if imported.get(name) != version:
            where = ("defined inside the module" if name in defined
                     else f"bound to {imported.get(name) or 'no library'}" if name in imported else "not imported")
            failures.append(f"{name} is not imported from {libm} ({where})")
    return [f"{wheel}: {f}" for f in failures]


def main(wheels: list[str]) -> int:
    failures = [f for wheel in wheels for f in check(wheel)]
    for failure in failures:
        print("FAILED:", failure)
    print(f"portable wheel checks: {len(wheels)} wheel(s), {len(failures)} failure(s)")
    return 1 if failures or not wheels else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
