#include "calls.hpp"

#include <cstdlib>

namespace tqpy {

bool interpreter_at_least(unsigned long major, unsigned long minor) {
    const char* text = Py_GetVersion();  // "3.14.0 (main, ...)"
    char* end = nullptr;
    unsigned long running_major = std::strtoul(text, &end, 10);
    if (end == text || *end != '.') return false;
    unsigned long running_minor = std::strtoul(end + 1, nullptr, 10);
    return running_major > major || (running_major == major && running_minor >= minor);
}

bool takes_fastcall() { return interpreter_at_least(3, 10); }

}  // namespace tqpy
