// libFuzzer target for the quantity core: arbitrary bytes as unit expressions and values.
//
// Input: the whole input is parsed as one unit expression. Then it is split at '|' into the fields
//     value_a | unit_a | value_b | unit_b | exponent | target
// (missing fields: values 1, units "", exponent 2, target = unit_a); values are read with strtod, so
// "nan", "-inf", "0x1p-1074" and "1e999" all reach the core. Both records are built, converted to the
// target, combined by every arithmetic operation, passed to every elementary function and rendered.
// When the input has at least 72 bytes, its last 72 bytes are also taken as a raw record (eight
// exponents and a value) and rendered, so every bit pattern of a double reaches the text code.
//
// Every result is checked against invariants that hold for all inputs; the parser is checked against a
// plain, slow model of the grammar written from the rules, message for message and bit for bit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arithmetic.hpp"
#include "elementary.hpp"
#include "quantity.hpp"
#include "registry.hpp"
#include "text.hpp"

namespace {

[[noreturn]] void broken(const char* what, int line) {
    std::fprintf(stderr, "fuzz_core: invariant broken at line %d: %s\n", line, what);
    std::abort();
}

#define CHECK(cond) ((cond) ? (void)0 : broken(#cond, __LINE__))

// Equal bit for bit, or both NaN (a NaN's payload is not part of the contract).
bool same(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Which NaN a result holds: the left NaN operand with its quiet bit set, else (a NaN made from numbers) the
// positive quiet NaN; whatever NaN the processor would make, and in whichever order the compiler takes operands.
void check_made(double r, double a, double b = 0.0) {
    if (!std::isnan(r)) return;
    std::uint64_t got, want;
    std::memcpy(&got, &r, sizeof got);
    double source = std::isnan(a) ? a : std::isnan(b) ? b : std::numeric_limits<double>::quiet_NaN();
    std::memcpy(&want, &source, sizeof want);
    CHECK(got == (want | std::uint64_t{1} << 51));
}

bool same_dims(const tq::Dims& a, const tq::Dims& b) {
    for (std::size_t i = 0; i < tq::kDimCount; ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

// ---- a model of the unit expression grammar ------------------------------------------------------------

std::string utf8(std::uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

// The Unicode White_Space characters.
const std::vector<std::string>& white_space() {
    static const std::vector<std::string> list = [] {
        std::vector<std::uint32_t> cps = {0x09, 0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                          0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
        for (std::uint32_t cp = 0x2000; cp <= 0x200A; ++cp) cps.push_back(cp);
        std::vector<std::string> out;
        for (auto cp : cps) out.push_back(utf8(cp));
        return out;
    }();
    return list;
}

bool starts_with(const std::string& s, const std::string& p) {
    return s.size() >= p.size() && s.compare(0, p.size(), p) == 0;
}
bool ends_with(const std::string& s, const std::string& p) {
    return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

std::string trim(std::string s) {
    for (bool again = true; again;) {
        again = false;
        for (const auto& w : white_space()) {
            if (starts_with(s, w)) {
                s.erase(0, w.size());
                again = true;
            }
            if (ends_with(s, w)) {
                s.erase(s.size() - w.size());
                again = true;
            }
        }
    }
    return s;
}

struct ModelParse {
    bool ok = true;
    tq::Dims dims{};
    double factor = 1.0;
    std::string error;
};

ModelParse model_fail(std::string message) {
    ModelParse r;
    r.ok = false;
    r.error = std::move(message);
    return r;
}

std::string quote(const std::string& token) { return "\"" + token + "\""; }

ModelParse model_parse(std::string_view text) {
    std::string copy;
    for (char c : text)
        if (c != '(' && c != ')' && c != '[' && c != ']') copy += c;

    std::vector<std::string> parts(1);
    for (char c : copy) {
        if (c == '/')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    if (parts.size() > 2) return model_fail("Unit string can only have one '/'");

    ModelParse result;
    for (std::size_t part = 0; part < parts.size(); ++part) {
        const std::string& s = parts[part];
        std::vector<std::string> raw(1);
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '-' && (i == 0 || s[i - 1] != '^'))
                raw.emplace_back();
            else
                raw.back() += s[i];
        }
        for (const std::string& r : raw) {
            if (r.empty()) continue;
            std::string token = trim(r);
            if (token.empty()) return model_fail("Empty unit token");

            std::size_t j = token.size();
            while (j > 0 && token[j - 1] >= '0' && token[j - 1] <= '9') --j;
            long long power = 1;
            std::string symbol = token;
            if (j == token.size()) {
                if (token.back() == '^') return model_fail("Missing exponent after '^' in " + quote(token));
            } else {
                std::size_t k = (j > 0 && token[j - 1] == '-') ? j - 1 : j;
                bool negative = k < j;
                long long magnitude = 0;
                for (std::size_t i = j; i < token.size(); ++i) {
                    magnitude = magnitude * 10 + (token[i] - '0');
                    if (magnitude > 4294967296LL) magnitude = 4294967296LL;  // saturate: far out of range anyway
                }
                if (negative ? magnitude > 2147483648LL : magnitude > 2147483647LL)
                    return model_fail("Unable to read numeric power from " + quote(token));
                power = negative ? -magnitude : magnitude;
                if (k == 0) return model_fail("Missing unit symbol before exponent in " + quote(token));
                if (token[k - 1] == '^') {
                    if (k == 1) return model_fail("Missing unit symbol before exponent in " + quote(token));
                    symbol = token.substr(0, k - 1);
                } else {
                    symbol = token.substr(0, k);
                }
                symbol = trim(symbol);
                if (symbol.empty()) return model_fail("Missing unit symbol before exponent in " + quote(token));
            }

            const tq::UnitDef* row = tq::find_unit(symbol);
            if (row == nullptr) return model_fail("Unknown unit: " + symbol);
            double p = static_cast<double>(power);
            if (part == 1) p = -p;
            for (std::size_t i = 0; i < tq::kDimCount; ++i) result.dims[i] += row->dims[i] * p;
            result.factor *= std::pow(row->factor, p);
        }
    }
    return result;
}

// ---- checks of the core ---------------------------------------------------------------------------------

// The parser agrees with the model; a failure carries one of the fixed messages.
ModelParse check_parse(std::string_view text) {
    auto got = tq::parse_units(text);
    ModelParse want = model_parse(text);
    CHECK(got.ok() == want.ok);
    if (!want.ok) {
        CHECK(got.error() == want.error);
        return want;
    }
    CHECK(got.error().empty());
    CHECK(same_dims(got.value().dims, want.dims));
    CHECK(same(got.value().factor, want.factor));
    for (double e : want.dims) CHECK(std::isfinite(e) && std::trunc(e) == e);  // whole exponents only
    CHECK(std::isnan(want.factor) || !std::signbit(want.factor));              // NaN from inf * 0 only
    return want;
}

// The texts of the core as strings, rendered as the module renders them.
template <class Write>
std::string rendered(Write write) {
    auto buffer = std::make_unique<tq::TextBuffer>();
    write(*buffer);
    return std::string(buffer->view());
}
std::string value_text(double x) {
    return rendered([&](tq::TextBuffer& b) { tq::write_value_text(b, x); });
}
std::string unit_text(const tq::Dims& dims) {
    return rendered([&](tq::TextBuffer& b) { tq::write_unit_text(b, dims); });
}
std::string display_text(const tq::Quantity& q) {
    return rendered([&](tq::TextBuffer& b) { tq::write_display_text(b, q); });
}

void check_value_text(double x) {
    std::string t = value_text(x);
    CHECK(t.size() <= tq::kValueTextMax);
    if (std::isnan(x)) return CHECK(t == "NaN");
    if (std::isinf(x)) return CHECK(t == (x > 0 ? "inf" : "-inf"));
    if (x == 0.0) return CHECK(t == (std::signbit(x) ? "-0" : "0"));
    // Positional digits only, which read back to the same double (negative zero included).
    for (std::size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        CHECK((c >= '0' && c <= '9') || c == '.' || (c == '-' && i == 0));
    }
    CHECK(std::count(t.begin(), t.end(), '.') <= 1);
    CHECK(t.back() != '.');
    double back = std::strtod(t.c_str(), nullptr);
    CHECK(same(back, x));
    if (t.find('.') != std::string::npos) CHECK(t.back() != '0');  // no trailing zero after the point
    // Shortest digits: at most 17 significant digits before the zeros that pad a whole number.
    std::string digits;
    for (char c : t)
        if (c >= '0' && c <= '9') digits += c;
    digits.erase(0, digits.find_first_not_of('0'));
    digits.erase(digits.find_last_not_of('0') + 1);
    CHECK(!digits.empty() && digits.size() <= 17);
}

// The unit text, written from the rules: numerator factors (exponent > 0), then "/" and the others.
std::string model_unit_text(const tq::Dims& dims) {
    auto factor = [](std::size_t i, double magnitude) {
        std::string s(tq::kBaseSymbols[i]);
        if (magnitude == 1.0) return s;
        s += '^';
        if (std::trunc(magnitude) == magnitude) {
            double n = magnitude > 2147483647.0 ? 2147483647.0 : magnitude;
            s += std::to_string(static_cast<long long>(n));
        } else {
            s += value_text(magnitude);
        }
        return s;
    };
    std::string num, den;
    for (std::size_t i = 0; i < tq::kDimCount; ++i) {
        double e = dims[i];
        if (e > 0.0) {
            num += (num.empty() ? "" : "*") + factor(i, e);
        } else if (e != 0.0) {
            den += (den.empty() ? "" : "*") + factor(i, std::fabs(e));
        }
    }
    if (num.empty() && den.empty()) return "(unitless)";
    if (num.empty()) num = "1";
    return den.empty() ? num : num + "/" + den;
}

void check_text(const tq::Quantity& q) {
    std::string unit = unit_text(q.dims);
    CHECK(!unit.empty());
    CHECK(unit.find(' ') == std::string::npos);
    CHECK(unit.find('-') == std::string::npos);
    CHECK(unit == model_unit_text(q.dims));

    std::string value = value_text(q.value);
    check_value_text(q.value);
    CHECK(display_text(q) == value + " " + unit);
    auto repr = std::make_unique<tq::TextBuffer>();
    tq::write_repr_text(*repr, q);
    CHECK(repr->view() == "Telquant(" + value + ", '" + unit + "')");

    // Whole exponents in the 32-bit range read back through the parser, "*" written as "-".
    bool whole = true;
    for (double e : q.dims) whole = whole && std::trunc(e) == e && std::fabs(e) <= 2147483647.0;
    if (whole && unit != "(unitless)") {
        std::string expr = unit;
        for (char& c : expr)
            if (c == '*') c = '-';
        if (starts_with(expr, "1/")) expr.erase(0, 1);
        auto back = tq::parse_units(expr);
        CHECK(back.ok());
        for (std::size_t i = 0; i < tq::kDimCount; ++i) CHECK(back.value().dims[i] == q.dims[i]);
        CHECK(back.value().factor == 1.0);
    }
}

bool model_unitless(const tq::Quantity& q) {
    for (double e : q.dims)
        if (e != 0.0) return false;
    return true;
}

bool model_angle(const tq::Quantity& q) {
    for (std::size_t i = 0; i < tq::kRadian; ++i)
        if (q.dims[i] != 0.0) return false;
    return q.dims[tq::kRadian] == 1.0;
}

bool model_compatible(const tq::Dims& a, const tq::Dims& b) {
    std::size_t n = a[tq::kRadian] == 1.0 ? tq::kRadian : tq::kDimCount;
    for (std::size_t i = 0; i < n; ++i)
        if (!(a[i] == b[i])) return false;
    return true;
}

void check_scalar(const tq::Result<double>& got, bool dims_ok, const char* dim_message, bool domain_ok,
                  const char* domain_message, double want) {
    if (!dims_ok) return CHECK(!got.ok() && got.error() == dim_message);
    if (!domain_ok) return CHECK(!got.ok() && got.error() == domain_message);
    CHECK(got.ok() && got.error().empty());
    CHECK(same(got.value(), want));
    check_value_text(got.value());
}

void check_angle(const tq::Result<tq::Quantity>& got, bool unitless, const char* dim_message, bool domain_ok,
                 const char* domain_message, double want) {
    if (!unitless) return CHECK(!got.ok() && got.error() == dim_message);
    if (!domain_ok) return CHECK(!got.ok() && got.error() == domain_message);
    CHECK(got.ok());
    CHECK(model_angle(got.value()));
    CHECK(same(got.value().value, want));
    check_text(got.value());
}

void check_elementary(const tq::Quantity& q) {
    const double v = q.value;
    const bool unitless = model_unitless(q), angle = model_angle(q);
    CHECK(tq::is_unitless(q) == unitless);
    CHECK(tq::is_angle(q) == angle);

    auto root = tq::sqrt(q);
    if (v < 0.0) {
        CHECK(!root.ok() && root.error() == "sqrt of negative value");
    } else {
        CHECK(root.ok());
        for (std::size_t i = 0; i < tq::kDimCount; ++i) CHECK(same(root.value().dims[i], q.dims[i] * 0.5));
        CHECK(same(root.value().value, std::fabs(std::sqrt(v))));
        CHECK(!std::signbit(root.value().value));
        check_text(root.value());
    }
    check_scalar(tq::ln(q), unitless, "ln requires a unitless quantity", !(0.0 >= v), "ln domain error (value <= 0)",
                 std::log(v));
    check_scalar(tq::log2(q), unitless, "log2 requires a unitless quantity", !(0.0 >= v),
                 "log2 domain error (value <= 0)", std::log2(v));
    check_scalar(tq::log10(q), unitless, "log10 requires a unitless quantity", !(0.0 >= v),
                 "log10 domain error (value <= 0)", std::log10(v));
    check_scalar(tq::sin(q), angle, "sin requires an angle quantity", true, "", std::sin(v));
    check_scalar(tq::cos(q), angle, "cos requires an angle quantity", true, "", std::cos(v));
    check_scalar(tq::tan(q), angle, "tan requires an angle quantity", true, "", std::tan(v));
    check_angle(tq::asin(q), unitless, "asin requires a unitless quantity", !(std::fabs(v) > 1.0),
                "asin requires a value in the range [-1, 1]", std::asin(v));
    check_angle(tq::acos(q), unitless, "acos requires a unitless quantity", !(std::fabs(v) > 1.0),
                "acos requires a value in the range [-1, 1]", std::acos(v));
    check_angle(tq::atan(q), unitless, "atan requires a unitless quantity", true, "", std::atan(v));
}

void check_unary(const tq::Quantity& q, double p) {
    auto n = tq::neg(q);
    CHECK(same_dims(n.dims, q.dims) && same(n.value, -q.value));
    auto a = tq::abs(q);
    CHECK(same_dims(a.dims, q.dims) && same(a.value, std::fabs(q.value)) && !std::signbit(a.value));

    auto check_pow = [&](const tq::Quantity& r, double e) {
        for (std::size_t i = 0; i < tq::kDimCount; ++i) {
            CHECK(same(r.dims[i], q.dims[i] * e));
            check_made(r.dims[i], q.dims[i], e);
        }
        CHECK(same(r.value, std::pow(q.value, e)));
        check_made(r.value, q.value, e);
        check_text(r);
    };
    check_pow(tq::pow(q, p), p);
    if (std::trunc(p) == p && p >= -2147483648.0 && p <= 2147483647.0) {
        auto n32 = static_cast<std::int32_t>(p);
        check_pow(tq::powi(q, n32), static_cast<double>(n32));  // -0.0 becomes 0
    }
    // Read through volatile, as the module gets them at run time: with a constant exponent the compiler may
    // fold pow(x, -1.0) into 1.0 / x, which can differ from the library's pow in the last bit.
    static const volatile std::int32_t edges[] = {0, 1, -1, 2, INT32_MAX, INT32_MIN};
    for (std::int32_t e : edges) check_pow(tq::powi(q, e), static_cast<double>(e));
    check_text(n);
    check_elementary(q);
}

void check_binary(const tq::Quantity& a, const tq::Quantity& b) {
    const bool compatible = model_compatible(a.dims, b.dims);
    CHECK(tq::units_compatible(a.dims, b.dims) == compatible);

    auto sum = tq::add(a, b);
    auto difference = tq::sub(a, b);
    CHECK(sum.ok() == compatible && difference.ok() == compatible);
    if (compatible) {
        CHECK(same_dims(sum.value().dims, a.dims) && same(sum.value().value, a.value + b.value));
        check_made(sum.value().value, a.value, b.value);
        check_made(difference.value().value, a.value, b.value);
        CHECK(same_dims(difference.value().dims, a.dims) && same(difference.value().value, a.value - b.value));
        check_text(sum.value());
    } else {
        CHECK(sum.error() == "Incompatible units for addition");
        CHECK(difference.error() == "Incompatible units for subtraction");
    }

    auto product = tq::mul(a, b);
    auto quotient = tq::div(a, b);
    for (std::size_t i = 0; i < tq::kDimCount; ++i) {
        CHECK(same(product.dims[i], a.dims[i] + b.dims[i]));
        CHECK(same(quotient.dims[i], a.dims[i] - b.dims[i]));
        check_made(product.dims[i], a.dims[i], b.dims[i]);
        check_made(quotient.dims[i], a.dims[i], b.dims[i]);
    }
    CHECK(same(product.value, a.value * b.value) && same(quotient.value, a.value / b.value));
    check_made(product.value, a.value, b.value);
    check_made(quotient.value, a.value, b.value);
    check_text(product);
    check_text(quotient);
    check_elementary(product);
    check_elementary(quotient);

    const double x = b.value;
    auto scaled = tq::mul_number(a, x);
    auto shrunk = tq::div_number(a, x);
    auto inverse = tq::number_div(x, a);
    CHECK(same_dims(scaled.dims, a.dims) && same(scaled.value, x * a.value));
    CHECK(same_dims(shrunk.dims, a.dims) && same(shrunk.value, a.value / x));
    for (std::size_t i = 0; i < tq::kDimCount; ++i) {
        CHECK(same(inverse.dims[i], 0.0 - a.dims[i]));
        if (a.dims[i] == 0.0) CHECK(!std::signbit(inverse.dims[i]));
    }
    CHECK(same(inverse.value, x / a.value));
    check_made(scaled.value, x, a.value);
    check_made(shrunk.value, a.value, x);
    check_made(inverse.value, x, a.value);
    check_text(inverse);

    const bool equal = tq::equals(a, b);
    const tq::Ordering order = tq::compare(a, b);
    CHECK(equal == (compatible && a.value == b.value));
    CHECK(equal == (order == tq::Ordering::Equal));
    if (!compatible || std::isnan(a.value) || std::isnan(b.value)) {
        CHECK(order == tq::Ordering::Unordered);
    } else {
        CHECK(order == (a.value < b.value   ? tq::Ordering::Less
                        : a.value > b.value ? tq::Ordering::Greater
                                            : tq::Ordering::Equal));
        if (model_compatible(b.dims, a.dims)) {
            tq::Ordering back = tq::compare(b, a);
            CHECK(back == (order == tq::Ordering::Less      ? tq::Ordering::Greater
                           : order == tq::Ordering::Greater ? tq::Ordering::Less
                                                            : order));
        }
    }
}

double read_number(std::string_view field, double fallback) {
    if (field.empty()) return fallback;
    std::string text(field);
    char* end = nullptr;
    double x = std::strtod(text.c_str(), &end);
    return end == text.c_str() ? fallback : x;
}

// The constructor of a record and conversion as the module makes them: parse, then the record or the value.
tq::Result<tq::Quantity> new_quantity(double value, std::string_view unit) {
    auto parsed = tq::parse_unit_expression(unit);
    if (!parsed) return tq::Result<tq::Quantity>::failure(std::string(parsed.error()));
    return tq::Result<tq::Quantity>::success(tq::quantity_in(value, parsed.value()));
}
tq::Result<double> value_in(const tq::Quantity& q, std::string_view unit) {
    auto parsed = tq::parse_unit_expression(unit);
    if (!parsed) return tq::Result<double>::failure(std::string(parsed.error()));
    return tq::value_in(q, parsed.value(), unit);
}

// new_quantity agrees with the parse; returns whether a record was made.
bool check_new(double value, std::string_view unit, tq::Quantity& out) {
    ModelParse parsed = check_parse(unit);
    auto made = new_quantity(value, unit);
    CHECK(made.ok() == parsed.ok);
    if (!parsed.ok) {
        CHECK(made.error() == "Failed to parse unit '" + std::string(unit) + "': " + parsed.error);
        return false;
    }
    CHECK(same_dims(made.value().dims, parsed.dims));
    CHECK(same(made.value().value, value * parsed.factor));
    out = made.value();
    return true;
}

void check_value_in(const tq::Quantity& q, std::string_view unit) {
    ModelParse parsed = check_parse(unit);
    auto got = value_in(q, unit);
    if (!parsed.ok) {
        CHECK(!got.ok() && got.error() == "Failed to parse unit '" + std::string(unit) + "': " + parsed.error);
    } else if (!model_compatible(q.dims, parsed.dims)) {
        CHECK(!got.ok() && got.error() == "Incompatible unit conversion to: " + std::string(unit));
    } else {
        CHECK(got.ok() && same(got.value(), q.value / parsed.factor));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check_parse(input);

    std::vector<std::string_view> field;
    for (std::size_t start = 0;;) {
        std::size_t bar = input.find('|', start);
        field.push_back(input.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    field.resize(std::max<std::size_t>(field.size(), 6));

    const double value_a = read_number(field[0], 1.0);
    const double value_b = read_number(field[2], 1.0);
    const double exponent = read_number(field[4], 2.0);
    const std::string_view target = field[5].data() != nullptr ? field[5] : field[1];

    tq::Quantity a, b;
    const bool has_a = check_new(value_a, field[1], a);
    const bool has_b = check_new(value_b, field[3], b);
    if (has_a) {
        check_value_in(a, target);
        check_text(a);
        check_unary(a, exponent);
    }
    if (has_b) check_unary(b, exponent);
    if (has_a && has_b) {
        check_binary(a, b);
        check_binary(b, a);
        check_binary(a, a);
        check_binary(tq::pow(a, exponent), tq::mul(a, b));
    }

    // The last 72 bytes as a raw record: every double bit pattern, in exponents and value.
    if (size >= sizeof(double) * (tq::kDimCount + 1)) {
        tq::Quantity raw;
        const std::uint8_t* p = data + size - sizeof(double) * (tq::kDimCount + 1);
        std::memcpy(raw.dims.data(), p, sizeof(double) * tq::kDimCount);
        std::memcpy(&raw.value, p + sizeof(double) * tq::kDimCount, sizeof(double));
        check_text(raw);
        check_unary(raw, exponent);
        if (has_a) check_binary(a, raw);
    }
    return 0;
}
