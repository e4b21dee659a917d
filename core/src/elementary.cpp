#include "elementary.hpp"

#include <cmath>

namespace tq {
namespace {

using Fn = double (*)(double);

Quantity angle(double radians) {
    Quantity q;
    q.dims[kRadian] = 1.0;
    q.value = radians;
    return q;
}

// Logarithms take unitless values above zero; a NaN passes the domain test.
Result<double> logarithm(const Quantity& q, Fn fn, const char* dimension_message, const char* domain_message) {
    if (!is_unitless(q)) return Result<double>::failure(dimension_message);
    if (0.0 >= q.value) return Result<double>::failure(domain_message);
    return Result<double>::success(canonical(fn(q.value), q.value));
}

Result<double> trigonometric(const Quantity& q, Fn fn, const char* dimension_message) {
    if (!is_angle(q)) return Result<double>::failure(dimension_message);
    return Result<double>::success(canonical(fn(q.value), q.value));
}

Result<Quantity> inverse(const Quantity& q, Fn fn, const char* dimension_message, const char* domain_message) {
    if (!is_unitless(q)) return Result<Quantity>::failure(dimension_message);
    if (domain_message != nullptr && std::fabs(q.value) > 1.0) return Result<Quantity>::failure(domain_message);
    return Result<Quantity>::success(angle(canonical(fn(q.value), q.value)));
}

double c_log(double x) { return std::log(x); }
double c_log2(double x) { return std::log2(x); }
double c_log10(double x) { return std::log10(x); }
double c_sin(double x) { return std::sin(x); }
double c_cos(double x) { return std::cos(x); }
double c_tan(double x) { return std::tan(x); }
double c_asin(double x) { return std::asin(x); }
double c_acos(double x) { return std::acos(x); }
double c_atan(double x) { return std::atan(x); }

}  // namespace

Result<Quantity> sqrt(const Quantity& q) {
    if (q.value < 0.0) return Result<Quantity>::failure("sqrt of negative value");
    Quantity r;
    for (std::size_t i = 0; i < kDimCount; ++i) r.dims[i] = q.dims[i] * 0.5;
    r.value = std::fabs(canonical(std::sqrt(q.value), q.value));  // sqrt(-0.0) is -0.0; the root is never -0
    if (may_hold_nan(r)) {  // a NaN exponent passes on, quieted, on every processor
        for (std::size_t i = 0; i < kDimCount; ++i) r.dims[i] = canonical(r.dims[i], q.dims[i]);
    }
    return Result<Quantity>::success(r);
}

Result<double> ln(const Quantity& q) {
    return logarithm(q, c_log, "ln requires a unitless quantity", "ln domain error (value <= 0)");
}
Result<double> log2(const Quantity& q) {
    return logarithm(q, c_log2, "log2 requires a unitless quantity", "log2 domain error (value <= 0)");
}
Result<double> log10(const Quantity& q) {
    return logarithm(q, c_log10, "log10 requires a unitless quantity", "log10 domain error (value <= 0)");
}
Result<double> sin(const Quantity& q) { return trigonometric(q, c_sin, "sin requires an angle quantity"); }
Result<double> cos(const Quantity& q) { return trigonometric(q, c_cos, "cos requires an angle quantity"); }
Result<double> tan(const Quantity& q) { return trigonometric(q, c_tan, "tan requires an angle quantity"); }

Result<Quantity> asin(const Quantity& q) {
    return inverse(q, c_asin, "asin requires a unitless quantity", "asin requires a value in the range [-1, 1]");
}
Result<Quantity> acos(const Quantity& q) {
    return inverse(q, c_acos, "acos requires a unitless quantity", "acos requires a value in the range [-1, 1]");
}
Result<Quantity> atan(const Quantity& q) { return inverse(q, c_atan, "atan requires a unitless quantity", nullptr); }

}  // namespace tq
