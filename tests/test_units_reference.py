"""Every unit symbol of the registry held against pint's unit definitions, a reference written apart from this
module.

Each symbol is mapped to the pint unit a user means by it; its factor must agree with pint's value in SI base
units to 1e-12 and its exponents with pint's, except for the rows of DIFFERENT, which must differ exactly as
listed there. A symbol added to the registry fails here until it is given its pint unit in MEANS."""

import math
import sys
from pathlib import Path

import pytest
from tq_pyo3 import Telquant
from tqtest import ORDER

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "dev"))
import facts

try:
    import pint
except ImportError:  # the test extra installs it from Python 3.9 on
    pint = None
UREG = pint.UnitRegistry() if pint else None
TOLERANCE = 1e-12
SYMBOLS = facts.unit_symbols()

# symbol: the pint unit a user means by it. "C" and "F" are scales without a zero offset (20 "C" is 20 K), so
# they are pint's temperature differences, not degC and degF (1 degC is 274.15 K there).
MEANS = dict(
    pair.split("=")
    for pair in """
m=meter cm=centimeter mm=millimeter um=micrometer nm=nanometer km=kilometer mi=international_mile yd=yard
ft=foot in=inch ly=light_year pc=parsec ha=hectare ac=acre l=liter ml=milliliter gal=US_liquid_gallon
qt=US_liquid_quart pt=US_pint cup=US_liquid_cup kn=knot N=newton kN=kilonewton lbf=force_pound kg=kilogram
g=gram mg=milligram t=metric_ton lb=avoirdupois_pound oz=avoirdupois_ounce ns=nanosecond us=microsecond
ms=millisecond s=second min=minute hr=hour d=day wk=week mo=month yr=year C=delta_degC F=delta_degF K=kelvin
A=ampere mA=milliampere kA=kiloampere MA=megaampere eV=electron_volt mJ=millijoule J=joule kJ=kilojoule
MJ=megajoule GJ=gigajoule Tj=terajoule cal=calorie kcal=kilocalorie Wh=watt_hour kWh=kilowatt_hour BTU=BTU
erg=erg W=watt kW=kilowatt MW=megawatt GW=gigawatt TW=terawatt hp=horsepower Coulomb=coulomb mC=millicoulomb
kC=kilocoulomb V=volt mV=millivolt kV=kilovolt Ohm=ohm mOhm=milliohm kOhm=kiloohm mol=mole kmol=kilomole
mmol=millimole umol=micromole nmol=nanomole pmol=picomole fmol=femtomole cd=candela lux=lux rad=radian
mrad=milliradian deg=degree arcmin=arcminute arcsec=arcsecond rev=revolution
""".split()
)

# The rows that part from pint: symbol: (our factor / pint's, our exponents minus pint's, why).
QUART = 0.94635284 / 0.946352946
DIFFERENT = {
    "qt": (QUART, {}, "0.94635284 l; the US liquid quart is 0.946352946 l, a quarter of the 231 in^3 gallon"),
    "pt": (QUART, {}, "half of our quart"),
    "cup": (QUART, {}, "a quarter of our quart"),
    "yr": (365 / 365.25, {}, "365 days; pint's year is the Julian 365.25 days (its month, 1/12 of that, is ours)"),
    "ly": (9.4607e15 / (299792458 * 365.25 * 86400), {}, "five significant digits of c times the Julian year"),
    "pc": (3.0857e16 / (149597870700 / math.tan(math.pi / 648000)), {}, "five significant digits of 1 au/tan(1\")"),
    "BTU": (
        1055.05585 / 1055.056,
        {},
        "the International Table BTU (1055.05585262 J) rounded to nine digits; pint's BTU is the ISO one, 1055.056 J",
    ),
    "lux": (1.0, {"rad": -2.0}, "cd/m^2 in SI base units; pint keeps the steradian of the lumen as rad^2"),
}
# Our acre is the international one, 43560 ft^2. pint's "acre" was 43560 US survey ft^2 (1200/3937 m each), a
# different unit of the same name, until pint 0.26 made it the international acre and named the other
# "survey_acre"; which one this pint means is read from whether it knows that name.
if UREG is not None and "survey_acre" not in UREG:
    DIFFERENT["ac"] = (
        (0.3048 * 3937 / 1200) ** 2,
        {},
        "the international acre, 43560 ft^2; this pint's acre is the US survey acre",
    )

# pint's dimensions of the first seven base units; it counts the radian as dimensionless, so the rad exponent is
# read from the radian among the base units of pint's value instead.
DIMENSIONS = ("[length]", "[mass]", "[time]", "[temperature]", "[current]", "[substance]", "[luminosity]")
SI_BASE = {"meter", "kilogram", "second", "kelvin", "ampere", "mole", "candela", "radian"}


def reference(symbol):
    """pint's factor in SI base units and its eight exponents in our base order."""
    q = UREG.Quantity(1.0, MEANS[symbol]).to_base_units()
    units = dict(q.unit_items())
    assert set(units) <= SI_BASE, units
    assert set(q.dimensionality) <= set(DIMENSIONS), q.dimensionality
    return q.magnitude, tuple(float(q.dimensionality.get(d, 0)) for d in DIMENSIONS) + (float(units.get("radian", 0)),)


def test_every_symbol_of_the_registry_is_mapped_and_every_listed_row_is_a_difference():
    assert sorted(MEANS) == sorted(SYMBOLS) and set(DIFFERENT) <= set(MEANS)
    for ratio, exps, why in DIFFERENT.values():
        assert abs(ratio - 1) > TOLERANCE or exps, why


@pytest.mark.skipif(pint is None, reason="pint is not installed for this Python")
@pytest.mark.parametrize("symbol", SYMBOLS)
def test_each_symbol_agrees_with_pint_or_differs_as_listed(symbol):
    q = Telquant(1, symbol)
    factor, exps = reference(symbol)
    ratio, offsets, why = DIFFERENT.get(symbol, (1.0, {}, "agrees with pint's %s" % MEANS[symbol]))
    found = tuple(ours - theirs for ours, theirs in zip(q.base_units(), exps))
    assert found == tuple(float(offsets.get(b, 0)) for b in ORDER), "%s: our exponents %s, pint's %s; %s" % (
        symbol,
        q.base_units(),
        exps,
        why,
    )
    assert abs(q.value() / factor / ratio - 1) <= TOLERANCE, "%s: ours %r, pint's %r, ours/pint's - 1 = %.3g; %s" % (
        symbol,
        q.value(),
        factor,
        q.value() / factor - 1,
        why,
    )
