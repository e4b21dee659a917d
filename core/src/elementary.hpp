// Elementary functions of one quantity: a dimension test, then a domain test on the value, then the C library.
#pragma once

#include "quantity.hpp"

namespace tq {

Result<Quantity> sqrt(const Quantity& q);
Result<double> ln(const Quantity& q);
Result<double> log2(const Quantity& q);
Result<double> log10(const Quantity& q);
Result<double> sin(const Quantity& q);
Result<double> cos(const Quantity& q);
Result<double> tan(const Quantity& q);
Result<Quantity> asin(const Quantity& q);
Result<Quantity> acos(const Quantity& q);
Result<Quantity> atan(const Quantity& q);

}  // namespace tq
