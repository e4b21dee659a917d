// The quantity record: eight base-unit exponents and a value in SI base units.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "result.hpp"

namespace tq {

// Base dimensions, always indexed in this order.
enum Dim : std::size_t { kMetre, kKilogram, kSecond, kKelvin, kAmpere, kMole, kCandela, kRadian, kDimCount };

using Dims = std::array<double, kDimCount>;

inline constexpr std::array<std::string_view, kDimCount> kBaseSymbols = {"m", "kg", "s", "K", "A", "mol", "cd", "rad"};

// NaN results are canonicalised: which NaN a result holds is fixed here, not left to the processor or the
// compiler's choice of operand order, nor to the C library: a NaN operand passes on, quieted as every processor but
// RISC-V does (its instructions, and so its libm, give the canonical NaN instead), and the left one when both are
// NaN; the elementary functions follow the same rule. A NaN made by an invalid operation on numbers (inf - inf, 0 *
// inf, 0 / 0, sin(inf), pow(-8, 1/3)) is the canonical NaN, the positive quiet NaN of Python's float("nan"), where
// x86-64 would set its sign bit and aarch64 would not. So every build on every architecture gives the same bits. A
// result that is not NaN is kept as it is, so the one cost when no NaN is about is the test of the result; the choice
// of NaN is out of line.
inline constexpr double kQuietNaN = std::numeric_limits<double>::quiet_NaN();
inline double quieted(double nan) {
    std::uint64_t bits;
    std::memcpy(&bits, &nan, sizeof bits);
    bits |= std::uint64_t{1} << 51;
    std::memcpy(&nan, &bits, sizeof nan);
    return nan;
}
#ifdef __GNUC__
#define TQ_COLD [[gnu::cold, gnu::noinline]]
#else
#define TQ_COLD
#endif
// The canonical NaN of a result that came out NaN from the operands a (and b).
TQ_COLD inline double canonical_nan(double a) { return a != a ? quieted(a) : kQuietNaN; }
TQ_COLD inline double canonical_nan(double a, double b) {
    return a != a ? quieted(a) : b != b ? quieted(b) : kQuietNaN;
}
// The result r of an operation on a (and b), its NaN canonicalised.
inline double canonical(double r, double a) { return r == r ? r : canonical_nan(a); }
inline double canonical(double r, double a, double b) { return r == r ? r : canonical_nan(a, b); }

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
// parse_units, with a failure's message naming the text: "Failed to parse unit '<text>': <message>".
Result<ParsedUnit> parse_unit_expression(std::string_view text);

// The record of `value` written in a parsed unit.
inline Quantity quantity_in(double value, const ParsedUnit& unit) {
    return Quantity{unit.dims, canonical(value * unit.factor, value, unit.factor)};
}

// Units are matched exactly; an angle (rad exponent exactly 1) on the left ignores the right's rad exponent.
// Every exponent is compared, without early exits; with GCC or clang as four compares of two lanes each.
inline bool units_compatible(const Dims& left, const Dims& right) {
#ifdef __GNUC__
    using Pair = double __attribute__((vector_size(16)));
    using Mask = long long __attribute__((vector_size(16)));
    // Each pair loaded on its own: arrays of pairs are not always kept in registers.
    auto pair = [](const Dims& d, std::size_t i) {
        Pair p;
        std::memcpy(&p, d.data() + (2 * i), sizeof p);
        return p;
    };
    // Lane 1 of the last pair is the rad exponent: equal, or exactly 1.0 on the left. NaN never equals anything.
    const Pair rad_one = {__builtin_nan(""), 1.0};
    const Pair l3 = pair(left, 3), r3 = pair(right, 3);
    Mask same = (pair(left, 0) == pair(right, 0)) & (pair(left, 1) == pair(right, 1)) &
                (pair(left, 2) == pair(right, 2)) & ((l3 == r3) | (l3 == rad_one));
    return (same[0] & same[1]) != 0;
#else
    bool same = true;
    for (std::size_t i = 0; i < kRadian; ++i) same &= left[i] == right[i];
    return same & ((left[kRadian] == 1.0) | (left[kRadian] == right[kRadian]));
#endif
}

// All eight exponents are 0.0 (-0.0 counts as zero, NaN does not).
inline bool is_unitless(const Quantity& q) {
    bool zero = true;
    for (double e : q.dims) zero &= e == 0.0;
    return zero;
}

// Exponents of m to cd are 0.0 and the rad exponent is exactly 1.0.
inline bool is_angle(const Quantity& q) {
    bool zero = true;
    for (std::size_t i = 0; i < kRadian; ++i) zero &= q.dims[i] == 0.0;
    return zero & (q.dims[kRadian] == 1.0);
}
// False when no exponent and not the value is NaN; true when one is, and also, rarely, when infinities of both
// signs are among them. The nine numbers are added up, since a NaN anywhere makes the sum NaN: with GCC or clang
// as three adds of two lanes each and two of one, then one test of the sum, with no branch before it.
inline bool may_hold_nan(const Quantity& q) {
#ifdef __GNUC__
    using Pair = double __attribute__((vector_size(16)));
    Pair d[4];
    std::memcpy(d, q.dims.data(), sizeof d);
    Pair sum = (d[0] + d[1]) + (d[2] + d[3]);
    double all = sum[0] + sum[1] + q.value;
#else
    double all = q.value;
    for (double e : q.dims) all += e;
#endif
    return all != all;
}

// The value of q in a parsed unit, the expression `text`, which the message of incompatible units quotes.
TQ_COLD Result<double> incompatible_conversion(std::string_view text);
inline Result<double> value_in(const Quantity& q, const ParsedUnit& unit, std::string_view text) {
    if (!units_compatible(q.dims, unit.dims)) return incompatible_conversion(text);
    double factor = unit.factor;
    return Result<double>::success(canonical(q.value / factor, q.value, factor));
}

inline double value(const Quantity& q) { return q.value; }
inline const Dims& base_units(const Quantity& q) { return q.dims; }

}  // namespace tq
