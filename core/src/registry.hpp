// The closed, immutable vocabulary of unit symbols.
#pragma once

#include <string_view>

#include "quantity.hpp"

namespace tq {

struct UnitDef {
    std::string_view symbol;  // lookup key, ASCII, compared byte for byte
    std::string_view name;
    double factor;  // SI base units in one of this unit
    Dims dims;
};

// Exact, case-sensitive lookup of a whole symbol; nullptr when it is not a unit.
const UnitDef* find_unit(std::string_view symbol);

}  // namespace tq
