// Text of a quantity: the value in SI base units, a blank, and a unit text built from the exponents,
// such as "9.81 m/s^2". Numbers are the shortest digits that read back exactly, written positionally.
#pragma once

#include <cstddef>
#include <string_view>

#include "quantity.hpp"

namespace tq {

// Longest value text: a sign, "0.", 323 zeros and 17 digits. The unit text has at most eight factors
// of symbol, "^" and a value text; every text of a record fits in kTextMax bytes.
inline constexpr std::size_t kValueTextMax = 352;
inline constexpr std::size_t kTextMax = 4096;

// A fixed buffer, so rendering never allocates.
class TextBuffer {
public:
    void put(char c) {
        if (size_ < kTextMax) data_[size_++] = c;
    }
    void put(std::string_view s) {
        for (char c : s) put(c);
    }
    std::string_view view() const { return {data_, size_}; }

private:
    char data_[kTextMax];
    std::size_t size_ = 0;
};

void write_value_text(TextBuffer& out, double x);
void write_unit_text(TextBuffer& out, const Dims& dims);
void write_display_text(TextBuffer& out, const Quantity& q);
// "Telquant(<value text>, '<unit text>')"
void write_repr_text(TextBuffer& out, const Quantity& q);

}  // namespace tq
