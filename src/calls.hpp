// The methods and module functions as rows, and the method tables made from them for the running interpreter.
//
// A callable with parameters is written once, as a body that takes its bound arguments, and is entered in one of two
// calling conventions. METH_FASTCALL | METH_KEYWORDS hands the arguments over as an array and the keywords' names as
// a tuple, so no tuple or dict is made for a call; the limited API has it from Python 3.10 on. Older interpreters get
// METH_VARARGS | METH_KEYWORDS. Both bind with the same parameter table and the same error texts (frame.cpp), and
// each row gives both tables their entry, so the tables cannot differ but in the convention. A callable without
// parameters is METH_NOARGS in both: the interpreter calls it with the least work.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "frame.hpp"

// The flag's value is part of the stable ABI from 3.10 on; the limited API's headers define it only when built for
// 3.10 or later.
#ifndef METH_FASTCALL
#define METH_FASTCALL 0x0080
#endif

namespace tqpy {

using NoArgsFunction = PyObject* (*)(PyObject * self, PyObject* unused);
using VarArgsFunction = PyObject* (*)(PyObject * self, PyObject* args, PyObject* kwargs);
using FastFunction = PyObject* (*)(PyObject * self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// A body: the bound arguments, one per parameter in table order. One marked TQ_BODY is compiled into each of its
// two entries, which then make one call frame, not two.
using BoundBody = PyObject* (*)(PyObject * self, PyObject* const* argv);
#ifdef __GNUC__
#define TQ_BODY [[gnu::always_inline]] inline
#else
#define TQ_BODY inline
#endif

// A function as the pointer type a method table holds (PyCFunction, void*). The interpreter calls it back with the
// signature that the entry's flags or slot id name.
template <class To, class R, class... Args>
To function_cast(R (*fn)(Args...)) noexcept {
    return reinterpret_cast<To>(reinterpret_cast<void (*)()>(fn));
}

template <const ParamTable& Params, BoundBody Body>
PyObject* varargs_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        PyObject* argv[kMaxParams];
        if (!extract_args(Params, args, kwargs, argv)) return nullptr;
        return Body(self, argv);
    });
}

template <const ParamTable& Params, BoundBody Body>
PyObject* fast_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        PyObject* bound[kMaxParams];
        PyObject* const* argv = extract_vector_args(Params, args, nargs, kwnames, bound);
        return argv != nullptr ? Body(self, argv) : nullptr;
    });
}

// One method or module function: without parameters (`noargs`), or with them (`varargs` and `fast`, one body).
struct CallableRow {
    const char* name;
    NoArgsFunction noargs;
    VarArgsFunction varargs;
    FastFunction fast;
    const char* doc;
};

constexpr CallableRow no_params(const char* name, NoArgsFunction fn, const char* doc) {
    return {name, fn, nullptr, nullptr, doc};
}

template <const ParamTable& Params, BoundBody Body>
constexpr CallableRow with_params(const char* name, const char* doc) {
    return {name, nullptr, varargs_call<Params, Body>, fast_call<Params, Body>, doc};
}

// The running interpreter's limited API has METH_FASTCALL (3.10 on).
bool takes_fastcall();
// The running interpreter is `major`.`minor` or later, read from its own version text, which no Python code can
// change (sys.hexversion can be rebound).
bool interpreter_at_least(unsigned long major, unsigned long minor);

// The rows' method table in one convention, then the sentinel. The interpreter keeps the table and only reads it.
template <bool Fast, std::size_t N>
std::array<PyMethodDef, N + 1> method_table(const CallableRow (&rows)[N]) noexcept {
    std::array<PyMethodDef, N + 1> table{};
    for (std::size_t i = 0; i < N; ++i) {
        const CallableRow& row = rows[i];
        if (row.noargs != nullptr)
            table[i] = {row.name, row.noargs, METH_NOARGS, row.doc};
        else if constexpr (Fast)
            table[i] = {row.name, function_cast<PyCFunction>(row.fast), METH_FASTCALL | METH_KEYWORDS, row.doc};
        else
            table[i] = {row.name, function_cast<PyCFunction>(row.varargs), METH_VARARGS | METH_KEYWORDS, row.doc};
    }
    table[N] = {nullptr, nullptr, 0, nullptr};
    return table;
}

}  // namespace tqpy
