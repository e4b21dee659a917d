// Unit expressions: "km/hr", "kg-m/s^2", "m^-3", "(mmol)/[l]".
//
// An optional numerator and, after one "/", a denominator; each a list of tokens joined by "-". A token is a
// registry symbol with an optional whole power, "s^2" or "s2"; a negative power needs the "^". Brackets are
// dropped everywhere, and blanks are only trimmed around tokens and symbols.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "quantity.hpp"
#include "registry.hpp"

namespace tq {
namespace {

// The Unicode White_Space characters, as UTF-8 byte sequences.
constexpr std::string_view kWhiteSpace[] = {
    "\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

std::size_t leading_space(std::string_view s) {
    for (auto ws : kWhiteSpace)
        if (s.substr(0, ws.size()) == ws) return ws.size();
    return 0;
}

std::size_t trailing_space(std::string_view s) {
    for (auto ws : kWhiteSpace)
        if (s.size() >= ws.size() && s.substr(s.size() - ws.size()) == ws) return ws.size();
    return 0;
}

std::string_view trim(std::string_view s) {
    while (std::size_t n = leading_space(s)) s.remove_prefix(n);
    while (std::size_t n = trailing_space(s)) s.remove_suffix(n);
    return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string quoted(std::string_view token) {
    std::string q;
    q.reserve(token.size() + 2);
    q += '"';
    q += token;
    q += '"';
    return q;
}

// The text without "(", ")", "[" and "]". Short texts stay in a local buffer, so a typical parse allocates nothing.
class WithoutBrackets {
public:
    explicit WithoutBrackets(std::string_view text) {
        char* out = local_;
        if (text.size() > sizeof local_) {
            heap_.resize(text.size());
            out = heap_.data();
        }
        std::size_t n = 0;
        for (char c : text)
            if (c != '(' && c != ')' && c != '[' && c != ']') out[n++] = c;
        view_ = std::string_view(out, n);
    }
    WithoutBrackets(const WithoutBrackets&) = delete;
    WithoutBrackets& operator=(const WithoutBrackets&) = delete;
    std::string_view view() const { return view_; }

private:
    char local_[128];
    std::string heap_;
    std::string_view view_;
};

// Reads one trimmed, non-empty token and adds it to `out` with the sign of its part.
const char* kMissingSymbol = "Missing unit symbol before exponent in ";

Result<bool> add_token(std::string_view token, bool denominator, ParsedUnit& out) {
    std::int32_t power = 1;
    std::string_view symbol = token;

    std::size_t j = token.size();
    while (j > 0 && is_digit(token[j - 1])) --j;
    if (j == token.size()) {
        if (token.back() == '^') return Result<bool>::failure("Missing exponent after '^' in " + quoted(token));
    } else {
        std::string_view digits = token.substr(j);
        bool negative = j > 0 && token[j - 1] == '-';
        std::size_t k = negative ? j - 1 : j;
        while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
        std::int64_t magnitude = 0;
        bool fits = digits.size() <= 10;
        if (fits) {
            for (char c : digits) magnitude = magnitude * 10 + (c - '0');
            fits = negative ? magnitude <= 2147483648LL : magnitude <= 2147483647LL;
        }
        if (!fits) return Result<bool>::failure("Unable to read numeric power from " + quoted(token));
        power = static_cast<std::int32_t>(negative ? -magnitude : magnitude);

        if (k == 0) return Result<bool>::failure(kMissingSymbol + quoted(token));
        if (token[k - 1] == '^') {
            if (k - 1 == 0) return Result<bool>::failure(kMissingSymbol + quoted(token));
            symbol = token.substr(0, k - 1);
        } else {
            symbol = token.substr(0, k);
        }
        symbol = trim(symbol);
        if (symbol.empty()) return Result<bool>::failure(kMissingSymbol + quoted(token));
    }

    const UnitDef* row = find_unit(symbol);
    if (row == nullptr) return Result<bool>::failure("Unknown unit: " + std::string(symbol));

    double p = static_cast<double>(power);
    if (denominator) p = -p;
    for (std::size_t i = 0; i < kDimCount; ++i) out.dims[i] += row->dims[i] * p;
    out.factor *= std::pow(row->factor, p);
    return Result<bool>::success(true);
}

}  // namespace

Result<ParsedUnit> parse_units(std::string_view text) {
    WithoutBrackets copy(text);
    std::string_view rest = copy.view();

    std::string_view parts[2];
    std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) {
        parts[0] = rest;
    } else {
        parts[0] = rest.substr(0, slash);
        parts[1] = rest.substr(slash + 1);
        if (parts[1].find('/') != std::string_view::npos)
            return Result<ParsedUnit>::failure("Unit string can only have one '/'");
    }

    ParsedUnit unit;
    for (int part = 0; part < 2; ++part) {
        std::string_view s = parts[part];
        std::size_t start = 0;
        for (std::size_t i = 0; i <= s.size(); ++i) {
            bool separator = i == s.size() || (s[i] == '-' && (i == 0 || s[i - 1] != '^'));
            if (!separator) continue;
            if (i > start) {
                std::string_view token = trim(s.substr(start, i - start));
                if (token.empty()) return Result<ParsedUnit>::failure("Empty unit token");
                auto added = add_token(token, part == 1, unit);
                if (!added) return Result<ParsedUnit>::failure(added.error());
            }
            start = i + 1;
        }
    }
    return Result<ParsedUnit>::success(unit);
}

Result<Quantity> new_quantity(double value, std::string_view unit) {
    auto parsed = parse_units(unit);
    if (!parsed)
        return Result<Quantity>::failure("Failed to parse unit '" + std::string(unit) + "': " + parsed.error());
    return Result<Quantity>::success(Quantity{parsed.value().dims, value * parsed.value().factor});
}

Result<double> value_in(const Quantity& q, std::string_view unit) {
    auto parsed = parse_units(unit);
    if (!parsed)
        return Result<double>::failure("Failed to parse unit '" + std::string(unit) + "': " + parsed.error());
    if (!units_compatible(q.dims, parsed.value().dims))
        return Result<double>::failure("Incompatible unit conversion to: " + std::string(unit));
    return Result<double>::success(q.value / parsed.value().factor);
}

bool units_compatible(const Dims& left, const Dims& right) {
    std::size_t checked = left[kRadian] == 1.0 ? kRadian : kDimCount;
    for (std::size_t i = 0; i < checked; ++i)
        if (left[i] != right[i]) return false;
    return true;
}

bool is_unitless(const Quantity& q) {
    for (double e : q.dims)
        if (e != 0.0) return false;
    return true;
}

bool is_angle(const Quantity& q) {
    for (std::size_t i = 0; i < kRadian; ++i)
        if (q.dims[i] != 0.0) return false;
    return q.dims[kRadian] == 1.0;
}

}  // namespace tq
