"""Python module for tq (Telquant).

A ``Telquant`` is a float joined to physical units: its value is kept in SI base units together with
eight exponents, of m, kg, s, K, A, mol, cd and rad.
"""

from typing import ClassVar, NoReturn, SupportsFloat, SupportsIndex, final

from typing_extensions import TypeAlias

__all__ = ["Telquant", "TQError", "asin", "acos", "atan"]

# A plain number: anything with __float__ or __index__ (int, float, bool, Fraction, Decimal, numpy scalars).
_Number: TypeAlias = SupportsFloat | SupportsIndex

_BaseUnits: TypeAlias = tuple[float, float, float, float, float, float, float, float]

@final
class Telquant:
    """A dimensioned variable that combines a numerical value with physical units.

    Built from a number and a unit expression such as "km/hr" or "kg-m/s^2". Immutable, unhashable,
    not subclassable. Unit and domain errors raise TQError.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(cls, value: _Number, unit: str) -> Telquant: ...

    # Construction and conversion
    def value(self) -> float:
        """The value in SI base units."""
    def value_in(self, unit: str) -> float:
        """The value expressed in `unit`, which must have the same dimension (TQError otherwise)."""
    def is_unitless(self) -> bool:
        """True when all eight exponents are 0 (an angle in rad is not unitless)."""
    def base_units(self) -> _BaseUnits:
        """The exponents of (m, kg, s, K, A, mol, cd, rad), as floats."""

    # Elementary functions; each returns a new Telquant.
    def sqrt(self) -> Telquant:
        """Square root; halves every exponent. TQError for a negative value."""
    def ln(self) -> Telquant:
        """Natural logarithm of a unitless value > 0."""
    def log2(self) -> Telquant:
        """Base-2 logarithm of a unitless value > 0."""
    def log10(self) -> Telquant:
        """Base-10 logarithm of a unitless value > 0."""
    def sin(self) -> Telquant:
        """Sine of an angle (exactly rad^1); unitless result."""
    def cos(self) -> Telquant:
        """Cosine of an angle (exactly rad^1); unitless result."""
    def tan(self) -> Telquant:
        """Tangent of an angle (exactly rad^1); unitless result."""
    def asin(self) -> Telquant:
        """Arcsine of a unitless value in [-1, 1], as an angle in rad."""
    def acos(self) -> Telquant:
        """Arccosine of a unitless value in [-1, 1], as an angle in rad."""
    def atan(self) -> Telquant:
        """Arctangent of a unitless value, as an angle in rad."""

    # Operators. + and - take only Telquant operands with matching units; * and / also take plain
    # numbers on either side; ** takes a plain-number exponent (the third argument of pow() is ignored).
    def __add__(self, other: Telquant, /) -> Telquant: ...
    def __radd__(self, other: Telquant, /) -> Telquant: ...
    def __sub__(self, other: Telquant, /) -> Telquant: ...
    def __rsub__(self, other: Telquant, /) -> Telquant: ...
    def __mul__(self, other: Telquant | _Number, /) -> Telquant: ...
    def __rmul__(self, other: _Number, /) -> Telquant: ...
    def __truediv__(self, other: Telquant | _Number, /) -> Telquant: ...
    def __rtruediv__(self, other: _Number, /) -> Telquant: ...
    def __pow__(self, exponent: SupportsIndex | SupportsFloat, modulo: object = None, /) -> Telquant: ...
    def __rpow__(self, base: NoReturn, modulo: object = None, /) -> NoReturn: ...  # a Telquant is never an exponent
    def __neg__(self) -> Telquant: ...
    def __abs__(self) -> Telquant: ...

    # Comparisons. == and != accept anything (a non-Telquant is simply unequal); the orderings need a
    # Telquant of compatible units (TQError otherwise).
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: Telquant, /) -> bool: ...
    def __le__(self, other: Telquant, /) -> bool: ...
    def __gt__(self, other: Telquant, /) -> bool: ...
    def __ge__(self, other: Telquant, /) -> bool: ...

class TQError(Exception):
    """Raised for unit and domain errors; its one argument is the message."""

def asin(x: _Number) -> Telquant:
    """Arcsine function for f64 input, returns Telquant in radians."""

def acos(x: _Number) -> Telquant:
    """Arccosine function for f64 input, returns Telquant in radians."""

def atan(x: _Number) -> Telquant:
    """Arctangent function for f64 input, returns Telquant in radians."""
