"""Facts of the module that the checks and probes read from the one place each is written (this file writes none):
the unit symbols from the registry's table (core/src/registry.cpp) and the C library's functions the module calls
(cmake/libm-functions.txt). Each reads the tree it is given (by default this one's): a check reads the tree it checks,
which `make faults` plants faults in. Runs on any Python from 3.8 on, as the probes do."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# {"km", "kilometer", 1000, kLength},
UNIT_ROW = re.compile(r'^\s*\{"([^"]+)", "([^"]+)", ([^,]+), ([^}]+?)\},?\s*$', re.M)


def unit_rows(root=ROOT):
    """(symbol, name, factor as written, dimensions as written) for every row of the registry, in table order."""
    text = (root / "core" / "src" / "registry.cpp").read_text(encoding="utf-8")
    return UNIT_ROW.findall(text.split("kUnits", 1)[1])


def unit_symbols(root=ROOT):
    return [row[0] for row in unit_rows(root)]


# constexpr Dims kForce = dim(1, 1, -2);
NAMED_DIMS = re.compile(r"^constexpr Dims (k\w+) = (dim\([^)]*\));", re.M)


def _dims(text, named):
    """A dimension as the table writes it (a named constant or dim(m, kg, ...)) as eight floats."""
    text = named.get(text.strip(), text.strip())
    args = [float(a) for a in text[text.index("(") + 1 : text.rindex(")")].split(",")]
    return tuple(args + [0.0] * (8 - len(args)))


def units(root=ROOT):
    """{symbol: (factor, eight exponents)} for every row of the registry, from the table as written."""
    text = (root / "core" / "src" / "registry.cpp").read_text(encoding="utf-8")
    named = dict(NAMED_DIMS.findall(text))
    return {symbol: (float(factor), _dims(dims, named)) for symbol, _, factor, dims in unit_rows(root)}


def _libm_rows(root):
    """The words of each line of cmake/libm-functions.txt: the function's name, then its marks."""
    lines = (root / "cmake" / "libm-functions.txt").read_text().splitlines()
    return [words for words in (line.split("#")[0].split() for line in lines) if words]


def libm_functions(root=ROOT):
    """(function, whether compilers may inline it), in the order of cmake/libm-functions.txt."""
    return [(words[0], "inlined" in words[1:]) for words in _libm_rows(root)]


def libm_binary(root=ROOT):
    """The functions of that list that take two doubles (the others take one)."""
    return [words[0] for words in _libm_rows(root) if "binary" in words[1:]]
