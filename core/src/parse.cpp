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

// The Unicode White_Space characters beyond ASCII, as UTF-8 byte sequences; their lead bytes are C2, E1, E2, E3.
constexpr std::string_view kWideSpace[] = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::size_t leading_space(std::string_view s) {
    if (s.empty()) return 0;
    auto c = static_cast<unsigned char>(s.front());
    if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
    if (c != 0xC2 && (c < 0xE1 || c > 0xE3)) return 0;
    for (auto ws : kWideSpace)
        if (s.starts_with(ws)) return ws.size();
    return 0;
}

std::size_t trailing_space(std::string_view s) {
    if (s.empty()) return 0;
    auto c = static_cast<unsigned char>(s.back());
    if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
    for (auto ws : kWideSpace)
        if (s.size() >= ws.size() && s.substr(s.size() - ws.size()) == ws) return ws.size();
    return 0;
}

std::string_view trim_spaces(std::string_view s) {
    while (std::size_t n = leading_space(s)) s.remove_prefix(n);
    while (std::size_t n = trailing_space(s)) s.remove_suffix(n);
    return s;
}

// A printable ASCII byte other than the blank: no white space starts or ends with it.
inline bool plain(char c) { return c > ' ' && c < '\x7F'; }

inline std::string_view trim(std::string_view s) {
    if (!s.empty() && plain(s.front()) && plain(s.back())) return s;
    return trim_spaces(s);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_bracket(char c) { return c == '(' || c == ')' || c == '[' || c == ']'; }

std::string quoted(std::string_view token) {
    std::string q;
    q.reserve(token.size() + 2);
    q += '"';
    q += token;
    q += '"';
    return q;
}

std::string joined(std::string_view a, std::string_view b) {
    std::string s;
    s.reserve(a.size() + b.size());
    s += a;
    s += b;
    return s;
}

// A raw token without its brackets. Brackets are rare, so the text is copied only when it has some, and then
// into a local buffer unless the token is longer than that.
class RawToken {
public:
    RawToken(std::string_view raw, bool may_have_brackets) : view_(raw) {
        if (!may_have_brackets) return;
        std::size_t first = 0;
        while (first < raw.size() && !is_bracket(raw[first])) ++first;
        if (first == raw.size()) return;
        char* out = local_;
        if (raw.size() > sizeof local_) {
            heap_.resize(raw.size());
            out = heap_.data();
        }
        std::size_t n = 0;
        for (char c : raw)
            if (!is_bracket(c)) out[n++] = c;
        view_ = std::string_view(out, n);
    }
    RawToken(const RawToken&) = delete;
    RawToken& operator=(const RawToken&) = delete;
    std::string_view view() const { return view_; }

private:
    std::string_view view_;
    char local_[64];
    std::string heap_;
};

// acc[i] += row[i] * p for the eight exponents; with GCC or clang as four operations on pairs.
inline void add_scaled(Dims& acc, const Dims& row, double p) {
#ifdef __GNUC__
    using Pair = double __attribute__((vector_size(16)));
    Pair a[4], r[4];
    std::memcpy(a, acc.data(), sizeof a);
    std::memcpy(r, row.data(), sizeof r);
    for (int i = 0; i < 4; ++i) a[i] += r[i] * p;
    std::memcpy(acc.data(), a, sizeof a);
#else
    for (std::size_t i = 0; i < kDimCount; ++i) acc[i] += row[i] * p;
#endif
}

// Adds row^p to `out`.
inline void add_power(ParsedUnit& out, const UnitDef& row, double p) {
    add_scaled(out.dims, row.dims, p);
    // pow(f, 1) is f itself in a pow accurate to better than one ulp, as the C library's is, so the call is
    // skipped for the most common power.
    double scale = p == 1.0 ? row.factor : std::pow(row.factor, p);
    out.factor = canonical(out.factor * scale, out.factor, scale);  // an overflowed and an underflowed power meet
}

constexpr const char* kMissingSymbol = "Missing unit symbol before exponent in ";

// Reads one trimmed, non-empty token and adds it to `out` with the sign of its part. The result holds no value:
// a failure's message, or success.
Result<bool> add_token(std::string_view token, bool denominator, ParsedUnit& out) {
    std::int32_t power = 1;
    std::string_view symbol = token;

    std::size_t j = token.size();
    while (j > 0 && is_digit(token[j - 1])) --j;
    if (j == token.size()) {
        if (token.back() == '^') return Result<bool>::failure(joined("Missing exponent after '^' in ", quoted(token)));
    } else {
        std::string_view digits = token.substr(j);
        bool negative = j > 0 && token[j - 1] == '-';
        std::size_t k = negative ? j - 1 : j;
        while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
        std::int64_t magnitude = 0;
        bool fits = digits.size() <= 10;
        if (fits) {
            for (char c : digits) magnitude = (magnitude * 10) + (c - '0');
            fits = negative ? magnitude <= 2147483648LL : magnitude <= 2147483647LL;
        }
        if (!fits) return Result<bool>::failure(joined("Unable to read numeric power from ", quoted(token)));
        power = static_cast<std::int32_t>(negative ? -magnitude : magnitude);

        if (k == 0) return Result<bool>::failure(joined(kMissingSymbol, quoted(token)));
        if (token[k - 1] == '^') {
            if (k - 1 == 0) return Result<bool>::failure(joined(kMissingSymbol, quoted(token)));
            symbol = token.substr(0, k - 1);
        } else {
            symbol = token.substr(0, k);
        }
        // Never empty after this: the symbol is not empty and begins with the token's first character, which is
        // no blank (the token is trimmed).
        symbol = trim(symbol);
    }

    const UnitDef* row = find_unit(symbol);
    if (row == nullptr) return Result<bool>::failure(joined("Unknown unit: ", symbol));

    auto p = static_cast<double>(power);
    if (denominator) p = -p;
    add_power(out, *row, p);
    return Result<bool>::success(true);
}

// Only ASCII letters, at least one: a text that is one token, a symbol with no power, and nothing to trim.
bool bare_symbol(std::string_view text) {
    for (char c : text)
        if ((c | 0x20) < 'a' || (c | 0x20) > 'z') return false;
    return !text.empty();
}

}  // namespace

// One pass finds the "/" and any bracket; a second walks the tokens. Brackets are skipped where they stand, which
// splits and reads the text exactly as if they had been removed first.
Result<ParsedUnit> parse_units(std::string_view text) {
    // The most common text, a bare symbol such as "km", is read as the walk below would read it, in one lookup.
    if (bare_symbol(text)) {
        if (const UnitDef* row = find_unit(text)) {
            ParsedUnit unit;
            add_power(unit, *row, 1.0);
            return Result<ParsedUnit>::success(unit);
        }
    }
    std::size_t slash = std::string_view::npos;
    bool second_slash = false, brackets = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '/') {
            if (slash != std::string_view::npos) second_slash = true;
            slash = i;
        } else if (is_bracket(c)) {
            brackets = true;
        }
    }
    if (second_slash) return Result<ParsedUnit>::failure("Unit string can only have one '/'");

    std::string_view parts[2] = {text, {}};
    if (slash != std::string_view::npos) {
        parts[0] = text.substr(0, slash);
        parts[1] = text.substr(slash + 1);
    }

    ParsedUnit unit;
    for (int part = 0; part < 2; ++part) {
        std::string_view s = parts[part];
        std::size_t start = 0;
        char previous = '\0';  // the last character before this one in the part, brackets not counted
        for (std::size_t i = 0; i <= s.size(); ++i) {
            if (i < s.size()) {
                char c = s[i];
                if (brackets && is_bracket(c)) continue;
                bool separator = c == '-' && previous != '^';
                previous = c;
                if (!separator) continue;
            }
            RawToken raw(s.substr(start, i - start), brackets);
            start = i + 1;
            if (raw.view().empty()) continue;  // from "--", a leading or trailing "-", or brackets alone
            std::string_view token = trim(raw.view());
            if (token.empty()) return Result<ParsedUnit>::failure("Empty unit token");
            auto added = add_token(token, part == 1, unit);
            if (!added) return Result<ParsedUnit>::failure(std::string(added.error()));
        }
    }
    return Result<ParsedUnit>::success(unit);
}

namespace {
std::string failed_to_parse(std::string_view unit, std::string_view message) {
    std::string s = "Failed to parse unit '";
    s.reserve(s.size() + unit.size() + 3 + message.size());
    s += unit;
    s += "': ";
    s += message;
    return s;
}
}  // namespace

Result<ParsedUnit> parse_unit_expression(std::string_view text) {
    auto parsed = parse_units(text);
    if (!parsed) return Result<ParsedUnit>::failure(failed_to_parse(text, parsed.error()));
    return parsed;
}

Result<double> incompatible_conversion(std::string_view text) {
    return Result<double>::failure(joined("Incompatible unit conversion to: ", text));
}

}  // namespace tq
