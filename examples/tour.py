"""A short tour of tq_pyo3: quantities that carry their units."""

import tq_pyo3
from tq_pyo3 import Telquant, TQError

# Construction: a number and a unit expression. The value is kept in SI base units.
speed = Telquant(90, "km/hr")
print("90 km/hr is stored as", speed)  # 25 m/s
print("  repr:", repr(speed))

# Conversion into any unit of the same dimension.
distance = Telquant(5, "km")
print("5 km in miles:", distance.value_in("mi"))
print("5 km in metres:", distance.value())

# Base units: the exponents of m, kg, s, K, A, mol, cd, rad.
force = Telquant(1, "kg-m/s^2")
print("1 kg-m/s^2 =", force, "exponents", force.base_units())
print("volts in base units:", Telquant(230, "V"))

# Arithmetic checks units as it goes.
time = distance / speed
print("time to drive 5 km at 90 km/hr:", time, "=", time.value_in("min"), "min")
area = Telquant(3, "m") * Telquant(4, "m")
print("3 m * 4 m =", area, "=", area.value_in("ha"), "ha")
print("sqrt of that area:", area.sqrt())
print("is m/m unitless?", (distance / distance).is_unitless())

# Angles are a base dimension; trigonometry wants them.
print("sin(30 deg) =", Telquant(30, "deg").sin())
print("asin(0.5) =", tq_pyo3.asin(0.5).value_in("deg"), "deg")

# Unit errors raise TQError with a fixed message.
for attempt in (lambda: distance + Telquant(1, "s"), lambda: Telquant(1, "km/h"), lambda: distance.value_in("kg")):
    try:
        attempt()
    except TQError as err:
        print("TQError:", err)
