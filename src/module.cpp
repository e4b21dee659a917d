/* tq_pyo3: a float joined to physical units.

   Python-level contract:
     Telquant(value, unit)   a quantity: value in SI base units and eight base-unit exponents
                             (m, kg, s, K, A, mol, cd, rad); immutable, unhashable, not subclassable
     TQError                 raised (one message argument) for unit and domain errors
     asin(x), acos(x), atan(x)   a plain number in, an angle in radians out
   The module may be initialised once per process; a second initialisation raises ImportError.
*/
#include "docstrings.hpp"
#include "frame.hpp"
#include "once.hpp"
#include "slots.hpp"

namespace tqpy {
namespace {

NoDestructor<OnceGuard> g_module_guard;
std::atomic<PyObject*> g_module{nullptr};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "tq_pyo3", doc::kModule, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
bool add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        // GCOVR_EXCL_START: an allocation failing after the type is made; test_lifecycle's sweep never lands here
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) != 0) {
            Py_XDECREF(all);
            return false;
        }  // GCOVR_EXCL_STOP
    }
    int appended = PyList_Append(all, name);
    Py_DECREF(all);
    if (appended != 0) {  // GCOVR_EXCL_START: as above
        PyErr_Clear();
        internal_failure("could not append to __all__");
        return false;
    }  // GCOVR_EXCL_STOP
    return PyObject_SetAttr(module, name, value) == 0;
}

bool add_named(PyObject* module, const char* name, PyObject* value) {
    PyObject* key = PyUnicode_FromString(name);
    if (key == nullptr) return false;
    bool ok = add_attribute(module, key, value);
    Py_DECREF(key);
    return ok;
}

bool add_function(PyObject* module, const PyMethodDef& def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return false;
    // The interpreter keeps the definition and only reads it.
    PyObject* fn = PyCFunction_NewEx(const_cast<PyMethodDef*>(&def), module, module_name);
    Py_DECREF(module_name);
    if (fn == nullptr) return false;
    PyObject* name = PyObject_GetAttrString(fn, "__name__");
    bool ok = name != nullptr && add_attribute(module, name, fn);
    Py_XDECREF(name);
    Py_DECREF(fn);
    return ok;
}

// Steps after the module object exists; false with an exception pending. Every process-wide object is made here,
// under the module's guard, and never later (frame.hpp).
bool populate(PyObject* module) {
    if (!create_shared_objects()) return false;
    PyTypeObject* type = create_type();
    if (type == nullptr) {
        raise_from_pending(PyExc_RuntimeError,
                           (std::string("An error occurred while initializing class ") + kClassName).c_str());
        return false;
    }
    if (!add_named(module, kClassName, reinterpret_cast<PyObject*>(type))) return false;
    if (!add_named(module, "TQError", tq_error())) return false;
    for (const PyMethodDef* def = module_functions(); def->ml_name != nullptr; ++def)
        if (!add_function(module, *def)) return false;
    return true;
}

PyObject* make_module() {
    PyObject* module = PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION);
    if (module == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
    // Free-threaded builds: every process-wide object is made once behind the module's guard (frame.hpp), records
    // are immutable and the reader count is atomic, so the module runs without the GIL.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) != 0) {  // GCOVR_EXCL_START: fails for no module
        Py_DECREF(module);
        return nullptr;
    }  // GCOVR_EXCL_STOP
#endif
    if (!populate(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

PyObject* init_module() {
    switch (g_module_guard->fill(g_module, make_module)) {
        case Fill::kHere: {
            PyObject* module = g_module.load(std::memory_order_acquire);
            Py_INCREF(module);
            return module;
        }
        case Fill::kFailed: return nullptr;
        case Fill::kBefore:     // made before, or by a thread this one waited for
        case Fill::kReentered:  // an initialisation inside this one (Python code the collector ran)
            break;
    }
    return PyErr_Format(PyExc_ImportError, "tq_pyo3 may only be initialized once per interpreter process");
}

}  // namespace
}  // namespace tqpy

// The module's only exported symbol; older Python headers do not mark it visible themselves.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tq_pyo3(void) {
    return tqpy::entry([] { return tqpy::init_module(); });
}
