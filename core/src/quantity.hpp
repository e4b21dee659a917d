// The quantity record: eight base-unit exponents and a value in SI base units.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "result.hpp"

namespace tq {

// Base dimensions, always indexed in this order.
enum Dim : std::size_t { kMetre, kKilogram, kSecond, kKelvin, kAmpere, kMole, kCandela, kRadian, kDimCount };

using Dims = std::array<double, kDimCount>;

inline constexpr std::array<std::string_view, kDimCount> kBaseSymbols = {"m", "kg", "s", "K", "A", "mol", "cd", "rad"};

// A plain value: copied freely, never changed after it is made.
struct Quantity {
    Dims dims{};
    double value = 0.0;
};

// A unit expression after parsing: its dimension and SI base units per written unit.
struct ParsedUnit {
    Dims dims{};
    double factor = 1.0;
};

Result<ParsedUnit> parse_units(std::string_view text);
// The constructor of a record (`new` is taken by C++).
Result<Quantity> new_quantity(double value, std::string_view unit);
Result<double> value_in(const Quantity& q, std::string_view unit);

// Units are matched exactly; an angle (rad exponent exactly 1) on the left ignores the right's rad exponent.
bool units_compatible(const Dims& left, const Dims& right);
bool is_unitless(const Quantity& q);
bool is_angle(const Quantity& q);
inline double value(const Quantity& q) { return q.value; }
inline const Dims& base_units(const Quantity& q) { return q.dims; }

}  // namespace tq
