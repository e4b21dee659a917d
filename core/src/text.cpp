#include "text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace tq {

void write_value_text(TextBuffer& out, double x) {
    if (std::isnan(x)) {
        out.put("NaN");
        return;
    }
    if (std::isinf(x)) {
        out.put(x > 0 ? "inf" : "-inf");
        return;
    }
    if (x == 0.0) {
        out.put(std::signbit(x) ? "-0" : "0");
        return;
    }
    if (x < 0) {
        out.put('-');
        x = -x;
    }
    // Shortest round-trip digits in the form d.ddde[+-]XX; x = 0.d1...dn * 10^k with k = XX + 1.
    char sci[40];
    auto res = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    std::string_view s(sci, static_cast<std::size_t>(res.ptr - sci));
    std::size_t e_pos = s.find('e');
    char digits[20];
    std::size_t n = 0;
    for (char c : s.substr(0, e_pos))
        if (c != '.') digits[n++] = c;
    int exp10 = 0;
    std::from_chars(s.data() + e_pos + (s[e_pos + 1] == '+' ? 2 : 1), s.data() + s.size(), exp10);
    int k = exp10 + 1;
    std::string_view d(digits, n);
    if (k <= 0) {
        out.put("0.");
        for (int i = 0; i < -k; ++i) out.put('0');
        out.put(d);
    } else if (static_cast<std::size_t>(k) < n) {
        out.put(d.substr(0, static_cast<std::size_t>(k)));
        out.put('.');
        out.put(d.substr(static_cast<std::size_t>(k)));
    } else {
        out.put(d);
        for (std::size_t i = n; i < static_cast<std::size_t>(k); ++i) out.put('0');
    }
}

namespace {

void write_factor(TextBuffer& out, std::string_view symbol, double magnitude) {
    out.put(symbol);
    if (magnitude == 1.0) return;
    out.put('^');
    if (std::trunc(magnitude) == magnitude) {
        // Integral magnitudes, infinity included, saturate to the 32-bit range.
        std::int32_t n = magnitude >= 2147483647.0 ? INT32_MAX : static_cast<std::int32_t>(magnitude);
        char buf[16];
        auto res = std::to_chars(buf, buf + sizeof buf, n);
        out.put(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
    } else {
        write_value_text(out, magnitude);
    }
}

// A NaN exponent is not above zero, so it lands in the denominator.
bool in_numerator(double e) { return e > 0.0; }
bool in_denominator(double e) { return !(e > 0.0) && e != 0.0; }

}  // namespace

void write_unit_text(TextBuffer& out, const Dims& dims) {
    std::size_t numerator = 0, denominator = 0;
    for (double e : dims) {
        numerator += in_numerator(e);
        denominator += in_denominator(e);
    }
    if (numerator == 0 && denominator == 0) {
        out.put("(unitless)");
        return;
    }
    if (numerator == 0) out.put("1");
    bool first = true;
    for (std::size_t i = 0; i < kDimCount; ++i) {
        if (!in_numerator(dims[i])) continue;
        if (!first) out.put('*');
        write_factor(out, kBaseSymbols[i], dims[i]);
        first = false;
    }
    if (denominator == 0) return;
    out.put('/');
    first = true;
    for (std::size_t i = 0; i < kDimCount; ++i) {
        if (!in_denominator(dims[i])) continue;
        if (!first) out.put('*');
        write_factor(out, kBaseSymbols[i], std::fabs(dims[i]));
        first = false;
    }
}

void write_display_text(TextBuffer& out, const Quantity& q) {
    write_value_text(out, q.value);
    out.put(' ');
    write_unit_text(out, q.dims);
}

void write_repr_text(TextBuffer& out, const Quantity& q) {
    out.put("Telquant(");
    write_value_text(out, q.value);
    out.put(", '");
    write_unit_text(out, q.dims);
    out.put("')");
}

}  // namespace tq
