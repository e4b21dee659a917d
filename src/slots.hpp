// The slot and method functions that the type's tables register.
#pragma once

#include <Python.h>

#include "frame.hpp"

namespace tqpy {

// Operators and comparison.
PyObject* nb_add(PyObject* left, PyObject* right);
PyObject* nb_subtract(PyObject* left, PyObject* right);
PyObject* nb_multiply(PyObject* left, PyObject* right);
PyObject* nb_true_divide(PyObject* left, PyObject* right);
PyObject* nb_power(PyObject* base, PyObject* exponent, PyObject* modulo);
PyObject* nb_negative(PyObject* self);
PyObject* nb_absolute(PyObject* self);
PyObject* tp_richcompare(PyObject* self, PyObject* other, int op);

// Construction (telquant_type.cpp): the parameters (value, unit), and a new Telquant of `type` from the two
// arguments bound to them; tp_new and the vectorcall slot both bind and then call this.
extern const ParamTable kNewParams;
PyObject* construct(PyTypeObject* type, PyObject* const* argv);

// Sets `slot` to the type's vectorcall slot when the running interpreter takes one (vectorcall.cpp).
void vectorcall_slot(PyType_Slot& slot);
// Records the new type's __new__ and __init__ as made, before the type is published (vectorcall.cpp).
void note_construction(PyTypeObject* type);

// The ten math methods, in table order, and the module functions.
extern PyMethodDef kMathMethods[10];
extern PyMethodDef kModuleFunctions[3];

}  // namespace tqpy
