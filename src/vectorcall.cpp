// Calls of the Telquant type in the vectorcall form, on interpreters that take a vectorcall slot in a type spec
// (3.14 and later): the arguments arrive as an array and their names as a tuple, so no tuple or dict is made for
// them. Telquant.__new__ and every older interpreter go through tp_new; both bind with the same parameter table
// and the same error texts (frame.cpp), then construct alike.
#include <cstdlib>

#include "frame.hpp"
#include "slots.hpp"

// Slot ids are part of the stable ABI and never change, so the id may be written here for the headers of older
// versions, which do not define it (3.14's Include/typeslots.h: #define Py_tp_vectorcall 82).
#ifndef Py_tp_vectorcall
#define Py_tp_vectorcall 82
#endif

namespace tqpy {
namespace {

// The bit of nargsf that lets a callee borrow args[-1] (PEP 590; the limited API's headers define it from 3.12 on
// as PY_VECTORCALL_ARGUMENTS_OFFSET): the count of positional arguments is the rest.
constexpr std::size_t kArgumentsOffset = std::size_t{1} << (8 * sizeof(std::size_t) - 1);

PyObject* vectorcall_new(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        PyObject* argv[2];
        auto nargs = static_cast<Py_ssize_t>(nargsf & ~kArgumentsOffset);
        if (!extract_vector_args(kNewParams, args, nargs, kwnames, argv)) return nullptr;
        return construct(reinterpret_cast<PyTypeObject*>(type), argv);
    });
}

// The running interpreter is 3.14 or later; an older one refuses a type spec with a slot id it does not know, so
// this is asked at run time. The version is read from the interpreter's own version text, which no Python code
// can change (sys.hexversion can be rebound).
bool takes_vectorcall_slot() {
    const char* text = Py_GetVersion();  // "3.14.0 (main, ...)"
    char* end = nullptr;
    unsigned long major = std::strtoul(text, &end, 10);
    if (end == text || *end != '.') return false;
    unsigned long minor = std::strtoul(end + 1, nullptr, 10);
    return major > 3 || (major == 3 && minor >= 14);
}

}  // namespace

void vectorcall_slot(PyType_Slot& slot) {
    if (takes_vectorcall_slot()) slot = PyType_Slot{Py_tp_vectorcall, reinterpret_cast<void*>(vectorcall_new)};
}

}  // namespace tqpy
