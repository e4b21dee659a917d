// The slot and method functions that the type's tables register.
#pragma once

#include <Python.h>

#include "calls.hpp"
#include "frame.hpp"

// Slot ids are part of the stable ABI and never change, so the id may be written here for the headers of older
// versions, which do not define it (3.14's Include/typeslots.h: #define Py_tp_vectorcall 82).
#ifndef Py_tp_vectorcall
#define Py_tp_vectorcall 82
#endif

namespace tqpy {

// A math method: the core function Fn on the receiver's record. Fn gives a record, or a plain number that becomes a
// unitless Telquant.
template <auto Fn>
PyObject* math_method(PyObject* self, PyObject*) {
    return with_self(self, [](const tq::Quantity& q) { return instance_or_error(Fn(q)); });
}

// Operators and comparison.
PyObject* nb_add(PyObject* left, PyObject* right);
PyObject* nb_subtract(PyObject* left, PyObject* right);
PyObject* nb_multiply(PyObject* left, PyObject* right);
PyObject* nb_true_divide(PyObject* left, PyObject* right);
PyObject* nb_power(PyObject* base, PyObject* exponent, PyObject* modulo);
PyObject* nb_negative(PyObject* self);
PyObject* nb_absolute(PyObject* self);
PyObject* tp_richcompare(PyObject* self, PyObject* other, int op);

// Construction (telquant_type.cpp): the parameters (value, unit), and a new Telquant from the two arguments bound to
// them; tp_new and the vectorcall slot both bind and then call this. The type called is always Telquant itself,
// which has no subtypes.
extern const ParamTable kNewParams;
PyObject* construct(PyObject* const* argv);

// Calls of the type in the vectorcall form (vectorcall.cpp), and whether the running interpreter takes that slot in
// a type spec: an older one refuses a spec with a slot id it does not know.
PyObject* vectorcall_new(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
bool takes_vectorcall_slot();
// Records the new type's __new__ and __init__ as made, before the type is published (vectorcall.cpp).
void note_construction(PyTypeObject* type);

// The module functions asin, acos and atan, then the sentinel, in the convention of the running interpreter
// (module_functions.cpp).
const PyMethodDef* module_functions();

}  // namespace tqpy
