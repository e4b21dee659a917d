#include <cmath>
#include <charconv>
extern "C" double f(double x, char* b) {
    auto r = std::to_chars(b, b + 100, x);
    return std::sin(x) + std::log2(x) + (r.ptr - b) + (long long)x / (long long)(x + 1);
}
