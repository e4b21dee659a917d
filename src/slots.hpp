// The slot and method functions that the type's tables register.
#pragma once

#include <Python.h>

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

// The ten math methods, in table order, and the module functions.
extern PyMethodDef kMathMethods[10];
extern PyMethodDef kModuleFunctions[3];

}  // namespace tqpy
