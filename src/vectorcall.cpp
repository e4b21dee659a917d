// Calls of the Telquant type in the vectorcall form, on interpreters that take a vectorcall slot in a type spec
// (3.14 and later): the arguments arrive as an array and their names as a tuple, so no tuple or dict is made for
// them. Telquant.__new__ and every older interpreter go through tp_new; both bind with the same parameter table
// and the same error texts (frame.cpp), then construct alike.
//
// The slot is a shortcut and must not change what a call of the type does. The type is mutable, so Python code may
// replace __new__ or __init__ (Telquant.__init__ = f, unittest.mock.patch.object); the interpreter then points the
// type's tp_new or tp_init at the replacement but keeps calling this slot. So each call first looks whether both
// are still the ones the type was made with, and if not, calls the type as the interpreter does without the slot
// (its metatype's tp_call: __new__, then __init__ on an instance of the type).
#include "calls.hpp"
#include "frame.hpp"
#include "slots.hpp"

namespace tqpy {
namespace {

// The bit of nargsf that lets a callee borrow args[-1] (PEP 590; the limited API's headers define it from 3.12 on
// as PY_VECTORCALL_ARGUMENTS_OFFSET): the count of positional arguments is the rest.
constexpr std::size_t kArgumentsOffset = std::size_t{1} << ((8 * sizeof(std::size_t)) - 1);

// The type's tp_new and tp_init as made; published with the type (frame.hpp).
void* g_made_new = nullptr;
void* g_made_init = nullptr;

inline bool construction_as_made(PyTypeObject* type) {
    return PyType_GetSlot(type, Py_tp_init) == g_made_init && PyType_GetSlot(type, Py_tp_new) == g_made_new;
}

// The call as the interpreter makes it for a type without a vectorcall slot: the arguments as a tuple and a dict,
// handed to the metatype's tp_call.
[[gnu::cold, gnu::noinline]] PyObject* call_without_slot(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs,
                                                         PyObject* kwnames) {
    auto call = reinterpret_cast<ternaryfunc>(PyType_GetSlot(Py_TYPE(type), Py_tp_call));  // type's: type_call
    PyObject* tuple = PyTuple_New(nargs);
    if (tuple == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SetItem(tuple, i, args[i]);  // steals the reference
    }
    PyObject* kwargs = nullptr;
    Py_ssize_t named = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    if (named > 0) {
        kwargs = PyDict_New();
        for (Py_ssize_t k = 0; kwargs != nullptr && k < named; ++k)
            if (PyDict_SetItem(kwargs, PyTuple_GetItem(kwnames, k), args[nargs + k]) != 0) Py_CLEAR(kwargs);
        if (kwargs == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
    }
    PyObject* result = call(reinterpret_cast<PyObject*>(type), tuple, kwargs);
    Py_DECREF(tuple);
    Py_XDECREF(kwargs);
    return result;
}

}  // namespace

PyObject* vectorcall_new(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        auto* type = reinterpret_cast<PyTypeObject*>(callable);
        auto nargs = static_cast<Py_ssize_t>(nargsf & ~kArgumentsOffset);
        if (!construction_as_made(type)) return call_without_slot(type, args, nargs, kwnames);
        PyObject* bound[kMaxParams];
        PyObject* const* argv = extract_vector_args(kNewParams, args, nargs, kwnames, bound);
        return argv != nullptr ? construct(argv) : nullptr;
    });
}

// The running interpreter is 3.14 or later; an older one refuses a type spec with a slot id it does not know, so
// this is asked at run time.
bool takes_vectorcall_slot() { return interpreter_at_least(3, 14); }

void note_construction(PyTypeObject* type) {
    g_made_new = PyType_GetSlot(type, Py_tp_new);
    g_made_init = PyType_GetSlot(type, Py_tp_init);
}

}  // namespace tqpy
