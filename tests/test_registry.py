"""The closed vocabulary of 90 unit symbols."""

import pytest

from tq_pyo3 import Telquant, TQError

ORDER = ("m", "kg", "s", "K", "A", "mol", "cd", "rad")


def dim(text):
    """'m2 kg s-3 A-1' -> the eight exponents as floats."""
    exponents = dict.fromkeys(ORDER, 0.0)
    for part in text.split():
        symbol = part.rstrip("-0123456789")
        exponents[symbol] = float(part[len(symbol):] or 1)
    return tuple(exponents.values())


ENERGY = "m2 kg s-2"
POWER = "m2 kg s-3"

# symbol, factor in SI base units, dimension
REGISTRY = [
    ("m", 1, "m"), ("cm", 0.01, "m"), ("mm", 0.001, "m"), ("um", 1e-6, "m"),
    ("nm", 1e-9, "m"), ("km", 1000, "m"), ("mi", 1609.344, "m"),
    ("yd", 0.9144, "m"), ("ft", 0.3048, "m"), ("in", 0.0254, "m"),
    ("ly", 9.4607e15, "m"), ("pc", 3.0857e16, "m"),
    ("ha", 10000, "m2"), ("ac", 4046.8564224, "m2"),
    ("l", 0.001, "m3"), ("ml", 1e-6, "m3"), ("gal", 0.003785411784, "m3"),
    ("qt", 0.00094635284, "m3"), ("pt", 0.00047317642, "m3"),
    ("cup", 0.00023658821, "m3"),
    ("kn", 0.5144444444444445, "m s-1"),
    ("N", 1, "m kg s-2"), ("kN", 1000, "m kg s-2"),
    ("lbf", 4.4482216152605, "m kg s-2"),
    ("kg", 1, "kg"), ("g", 0.001, "kg"), ("mg", 1e-6, "kg"), ("t", 1000, "kg"),
    ("lb", 0.45359237, "kg"), ("oz", 0.028349523125, "kg"),
    ("ns", 1e-9, "s"), ("us", 1e-6, "s"), ("ms", 0.001, "s"), ("s", 1, "s"),
    ("min", 60, "s"), ("hr", 3600, "s"), ("d", 86400, "s"), ("wk", 604800, "s"),
    ("mo", 2629800, "s"), ("yr", 31536000, "s"),
    ("C", 1, "K"), ("F", 0.5555555555555556, "K"), ("K", 1, "K"),
    ("A", 1, "A"), ("mA", 0.001, "A"), ("kA", 1000, "A"), ("MA", 1000000, "A"),
    ("eV", 1.602176634e-19, ENERGY), ("mJ", 0.001, ENERGY), ("J", 1, ENERGY),
    ("kJ", 1000, ENERGY), ("MJ", 1000000, ENERGY), ("GJ", 1000000000, ENERGY),
    ("Tj", 1000000000000, ENERGY), ("cal", 4.184, ENERGY),
    ("kcal", 4184, ENERGY), ("Wh", 3600, ENERGY), ("kWh", 3600000, ENERGY),
    ("BTU", 1055.05585, ENERGY), ("erg", 1e-7, ENERGY),
    ("W", 1, POWER), ("kW", 1000, POWER), ("MW", 1000000, POWER),
    ("GW", 1000000000, POWER), ("TW", 1000000000000, POWER),
    ("hp", 745.6998715822702, POWER),
    ("Coulomb", 1, "s A"), ("mC", 0.001, "s A"), ("kC", 1000, "s A"),
    ("V", 1, "m2 kg s-3 A-1"), ("mV", 0.001, "m2 kg s-3 A-1"),
    ("kV", 1000, "m2 kg s-3 A-1"),
    ("Ohm", 1, "m2 kg s-3 A-2"), ("mOhm", 0.001, "m2 kg s-3 A-2"),
    ("kOhm", 1000, "m2 kg s-3 A-2"),
    ("mol", 1, "mol"), ("kmol", 1000, "mol"), ("mmol", 0.001, "mol"),
    ("umol", 1e-6, "mol"), ("nmol", 1e-9, "mol"), ("pmol", 1e-12, "mol"),
    ("fmol", 1e-15, "mol"),
    ("cd", 1, "cd"), ("lux", 1, "m-2 cd"),
    ("rad", 1, "rad"), ("mrad", 0.001, "rad"), ("deg", 0.017453292519943295, "rad"),
    ("arcmin", 0.0002908882086657216, "rad"), ("arcsec", 4.84813681109536e-6, "rad"),
    ("rev", 6.283185307179586, "rad"),
]


def test_the_table_lists_ninety_distinct_symbols():
    assert len({symbol for symbol, _, _ in REGISTRY}) == len(REGISTRY) == 90


@pytest.mark.parametrize("symbol, factor, dimension", REGISTRY)
def test_every_symbol_has_its_factor_and_dimension(symbol, factor, dimension):
    q = Telquant(1, symbol)
    assert q.value() == factor
    assert q.base_units() == dim(dimension)
    assert Telquant(2.5, symbol).value_in(symbol) == 2.5 * factor / factor
    inverse = Telquant(1, "/" + symbol)
    assert inverse.value() == factor**-1.0
    assert inverse.base_units() == tuple(-e for e in dim(dimension))


@pytest.mark.parametrize(
    "symbol",
    ["KM", "Km", "kms", "TJ", "tj", "mW", "Ms", "h", "L", "meter", "ohm", "Hz",
     "coulomb", "c", "M", "k", "mil", "sec", "lbs", "Btu", "KG", "um2x", "rads",
     "µm", "ｍ"],
)
def test_symbols_outside_the_registry_are_not_found(symbol):
    with pytest.raises(TQError) as info:
        Telquant(1, symbol)
    assert info.value.args == (
        f"Failed to parse unit '{symbol}': Unknown unit: {symbol}",
    )


@pytest.mark.parametrize(
    "value, unit, target, expected",
    [
        (5, "km", "mi", 5000 / 1609.344),
        (100, "F", "K", 55.55555555555556),
        (100, "F", "C", 55.55555555555556),
        (1, "gal", "l", 3.785411784),
        (1, "rev", "deg", 360.0),
        (1, "yr", "mo", 11.991786447638603),
        (1, "kn", "m/s", 0.5144444444444445),
        (1, "kN", "N", 1000.0),
        (1, "MA", "mA", 1e9),
        (1, "Tj", "kWh", 1e12 / 3600000),
        (1, "Coulomb", "mA-s", 1 / 0.001),
    ],
)
def test_registry_units_convert_into_each_other(value, unit, target, expected):
    assert Telquant(value, unit).value_in(target) == expected


@pytest.mark.parametrize(
    "unit, other",
    [("C", "Coulomb"), ("kn", "kN"), ("mA", "kg"), ("ha", "l"), ("Ohm", "V"),
     ("lux", "cd"), ("eV", "W")],
)
def test_look_alike_symbols_have_different_dimensions(unit, other):
    with pytest.raises(TQError) as info:
        Telquant(1, unit).value_in(other)
    assert info.value.args == (f"Incompatible unit conversion to: {other}",)
