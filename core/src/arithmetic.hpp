// Arithmetic and comparison of quantity records. Plain IEEE arithmetic: no check for division by zero,
// overflow or NaN. Only addition and subtraction can fail, and only on incompatible units.
#pragma once

#include <cmath>
#include <cstdint>

#include "quantity.hpp"

namespace tq {

enum class Ordering { Less, Equal, Greater, Unordered };

inline Result<Quantity> add(const Quantity& a, const Quantity& b) {
    if (!units_compatible(a.dims, b.dims)) return Result<Quantity>::failure("Incompatible units for addition");
    return Result<Quantity>::success(Quantity{a.dims, canonical(a.value + b.value, a.value, b.value)});
}

inline Result<Quantity> sub(const Quantity& a, const Quantity& b) {
    if (!units_compatible(a.dims, b.dims)) return Result<Quantity>::failure("Incompatible units for subtraction");
    return Result<Quantity>::success(Quantity{a.dims, canonical(a.value - b.value, a.value, b.value)});
}

// The record r, computed exponent by exponent and value by value from a and b (for a power, b holds the power in
// every place), once some result came out NaN: each number's NaN is canonicalised (quantity.hpp). Numbers that are
// not NaN stay as they are, so the common path makes one test of the whole record (may_hold_nan) and never calls
// this.
TQ_COLD inline void make_canonical(Quantity& r, const Quantity& a, const Quantity& b) {
    for (std::size_t i = 0; i < kDimCount; ++i) r.dims[i] = canonical(r.dims[i], a.dims[i], b.dims[i]);
    r.value = canonical(r.value, a.value, b.value);
}

inline Quantity mul(const Quantity& a, const Quantity& b) {
    Quantity r;
    for (std::size_t i = 0; i < kDimCount; ++i) r.dims[i] = a.dims[i] + b.dims[i];
    r.value = a.value * b.value;
    if (may_hold_nan(r)) make_canonical(r, a, b);
    return r;
}

inline Quantity div(const Quantity& a, const Quantity& b) {
    Quantity r;
    for (std::size_t i = 0; i < kDimCount; ++i) r.dims[i] = a.dims[i] - b.dims[i];
    r.value = a.value / b.value;
    if (may_hold_nan(r)) make_canonical(r, a, b);
    return r;
}

inline Quantity mul_number(const Quantity& a, double x) { return Quantity{a.dims, canonical(x * a.value, x, a.value)}; }
inline Quantity div_number(const Quantity& a, double x) { return Quantity{a.dims, canonical(a.value / x, a.value, x)}; }

// x / a: exponents are 0.0 minus a's, so a zero exponent stays +0.0; a NaN exponent passes on by the NaN rule, which
// a processor that gives its own NaN for 0.0 - NaN (RISC-V) would not do.
inline Quantity number_div(double x, const Quantity& a) {
    Quantity r;
    for (std::size_t i = 0; i < kDimCount; ++i) r.dims[i] = 0.0 - a.dims[i];
    r.value = x / a.value;
    if (may_hold_nan(r)) make_canonical(r, Quantity{{}, x}, a);
    return r;
}

// A quantity to a real power. Exponents are scaled exactly as computed, never snapped; the value comes from the C
// library's pow.
inline Quantity pow(const Quantity& a, double p) {
    Quantity r;
    for (std::size_t i = 0; i < kDimCount; ++i) r.dims[i] = a.dims[i] * p;
    r.value = std::pow(a.value, p);
    if (may_hold_nan(r)) {
        Quantity power;
        power.dims.fill(p);
        power.value = p;
        make_canonical(r, a, power);
    }
    return r;
}

// A quantity to a whole power: the same as the real power of the same number.
inline Quantity powi(const Quantity& a, std::int32_t n) { return pow(a, static_cast<double>(n)); }

inline Quantity neg(const Quantity& a) { return Quantity{a.dims, -a.value}; }
inline Quantity abs(const Quantity& a) { return Quantity{a.dims, std::fabs(a.value)}; }

inline bool equals(const Quantity& a, const Quantity& b) {
    return units_compatible(a.dims, b.dims) && a.value == b.value;
}

inline Ordering compare(const Quantity& a, const Quantity& b) {
    if (!units_compatible(a.dims, b.dims)) return Ordering::Unordered;
    if (a.value < b.value) return Ordering::Less;
    if (a.value == b.value) return Ordering::Equal;
    if (a.value > b.value) return Ordering::Greater;
    return Ordering::Unordered;
}

}  // namespace tq
