// The Telquant type: its tables, constructor, plain methods, text slots and deallocation.
#include "docstrings.hpp"
#include "frame.hpp"
#include "slots.hpp"
#include "text.hpp"

#include <iterator>

namespace tqpy {

std::atomic<PyTypeObject*> g_type{nullptr};
allocfunc g_alloc = nullptr;  // published by g_type

namespace {
freefunc g_free = nullptr;  // published by g_type
const char* const kNewNames[] = {"value", "unit"};
}  // namespace

// ---- constructor -----------------------------------------------------------------------------------------

const ParamTable kNewParams = {"Telquant.__new__()", kNewNames, 2};

PyObject* construct(PyTypeObject* type, PyObject* const* argv) {
    double value;
    if (!number_arg(argv[0], "value", value)) return nullptr;
    TextArg unit;
    if (!unit.load(argv[1], "unit")) return nullptr;
    auto made = tq::new_quantity(value, unit.view());
    if (!made) return raise_tq(made.error());
    return create_instance(made.value(), type);
}

namespace {

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        PyObject* argv[2];
        if (!extract_args(kNewParams, args, kwargs, argv)) return nullptr;
        return construct(type, argv);
    });
}

// ---- plain methods -----------------------------------------------------------------------------------------

PyObject* m_value(PyObject* self, PyObject*) {
    return with_receiver(self, [](const tq::Quantity& q) { return new_float(tq::value(q)); });
}

const char* const kValueInNames[] = {"unit"};
const ParamTable kValueInParams = {"Telquant.value_in()", kValueInNames, 1};

PyObject* m_value_in(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        PyObject* argv[1];
        if (!extract_args(kValueInParams, args, kwargs, argv)) return nullptr;
        TelquantObject* obj = receiver(self);
        if (obj == nullptr) return nullptr;
        Reader r(obj);
        TextArg unit;
        if (!unit.load(argv[0], "unit")) return nullptr;
        auto converted = tq::value_in(r.q(), unit.view());
        if (!converted) return raise_tq(converted.error());
        return new_float(converted.value());
    });
}

PyObject* m_is_unitless(PyObject* self, PyObject*) {
    return with_receiver(self, [](const tq::Quantity& q) { return new_bool(tq::is_unitless(q)); });
}

PyObject* m_base_units(PyObject* self, PyObject*) {
    return with_receiver(self, [](const tq::Quantity& q) -> PyObject* {
        const tq::Dims dims = tq::base_units(q);
        PyObject* items[tq::kDimCount] = {};
        for (std::size_t i = 0; i < tq::kDimCount; ++i) {
            items[i] = PyFloat_FromDouble(dims[i]);
            if (items[i] == nullptr) {
                for (PyObject* item : items) Py_XDECREF(item);
                return api_call_failed();
            }
        }
        PyObject* tuple = PyTuple_New(tq::kDimCount);
        if (tuple == nullptr) {
            for (PyObject* item : items) Py_DECREF(item);
            return api_call_failed();
        }
        for (std::size_t i = 0; i < tq::kDimCount; ++i) PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), items[i]);
        return tuple;
    });
}

// ---- text ------------------------------------------------------------------------------------------------

template <void (*Write)(tq::TextBuffer&, const tq::Quantity&)>
PyObject* text_slot(PyObject* self) {
    return with_receiver(self, [](const tq::Quantity& q) {
        tq::TextBuffer text;
        Write(text, q);
        return PyUnicode_FromStringAndSize(text.view().data(), static_cast<Py_ssize_t>(text.view().size()));
    });
}

// ---- lifecycle -------------------------------------------------------------------------------------------

void tp_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    freefunc release = type == loaded_type() ? g_free : reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// ---- tables --------------------------------------------------------------------------------------------------

#define TQ_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef g_methods[15] = {
    {"value", TQ_METHOD(m_value), METH_NOARGS, doc::kValue},
    {"value_in", TQ_METHOD(m_value_in), METH_VARARGS | METH_KEYWORDS, doc::kValueIn},
    {"is_unitless", TQ_METHOD(m_is_unitless), METH_NOARGS, doc::kIsUnitless},
    {"base_units", TQ_METHOD(m_base_units), METH_NOARGS, doc::kBaseUnits},
    // entries 4 to 13: the math methods, copied in at type creation; then the sentinel
};

#define TQ_SLOT(fn) reinterpret_cast<void*>(fn)

PyType_Slot g_slots[] = {
    {Py_tp_base, TQ_SLOT(&PyBaseObject_Type)},
    {Py_tp_doc, const_cast<char*>(doc::kTelquant)},
    {Py_tp_dealloc, TQ_SLOT(tp_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_new, TQ_SLOT(tp_new)},
    {Py_nb_negative, TQ_SLOT(nb_negative)},
    {Py_nb_absolute, TQ_SLOT(nb_absolute)},
    {Py_tp_repr, TQ_SLOT(text_slot<tq::write_repr_text>)},
    {Py_tp_str, TQ_SLOT(text_slot<tq::write_display_text>)},
    {Py_nb_add, TQ_SLOT(nb_add)},
    {Py_nb_subtract, TQ_SLOT(nb_subtract)},
    {Py_nb_multiply, TQ_SLOT(nb_multiply)},
    {Py_nb_true_divide, TQ_SLOT(nb_true_divide)},
    {Py_nb_power, TQ_SLOT(nb_power)},
    {Py_tp_richcompare, TQ_SLOT(tp_richcompare)},
    {0, nullptr},  // Py_tp_vectorcall, where the interpreter takes it (vectorcall.cpp)
    {0, nullptr},
};

// The dotted name gives the type its __module__; __name__ and __qualname__ stay "Telquant".
PyType_Spec g_spec = {"tq_pyo3.Telquant", static_cast<int>(sizeof(TelquantObject)), 0, Py_TPFLAGS_DEFAULT, g_slots};

bool has_text_signature(PyObject* type) {
    PyObject* signature = PyObject_GetAttrString(type, "__text_signature__");
    if (signature == nullptr) {
        PyErr_Clear();
        return true;
    }
    bool present = signature != Py_None;
    Py_DECREF(signature);
    return present;
}

// The tables above are completed and read by PyType_FromSpec only here, behind the guard, before the type exists.
PyTypeObject* make_type() {
    for (std::size_t i = 0; i < 10; ++i) g_methods[4 + i] = kMathMethods[i];
    g_methods[14] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    vectorcall_slot(g_slots[std::size(g_slots) - 2]);
    PyObject* type = PyType_FromSpec(&g_spec);
    if (type != nullptr && !has_text_signature(type)) {
        Py_DECREF(type);
        for (PyType_Slot& slot : g_slots)
            if (slot.slot == Py_tp_doc) slot.pfunc = const_cast<char*>(doc::kTelquantSignatureTwice);
        type = PyType_FromSpec(&g_spec);
    }
    if (type == nullptr) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    g_alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    if (g_alloc == nullptr) g_alloc = PyType_GenericAlloc;
    g_free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    note_construction(tp);
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
    // Free-threaded 3.13 counts each instance's reference to its type on one shared word with atomic instructions,
    // so threads that make results wait on each other. It makes the classes of class statements immortal once a
    // second thread starts (3.14 counts type references per thread instead). This type lives as long as the process
    // anyway, so it is made immortal too: untracked, as the collector has nothing to do with an immortal object,
    // then a count above 2**32 - 1 set by the owning thread, which the interpreter takes as immortal.
    PyObject_GC_UnTrack(type);
    Py_SET_REFCNT(type, static_cast<Py_ssize_t>(UINT32_MAX) + 1);
#endif
    return tp;
}

}  // namespace

// Called only while the module is initialised, under its once-guard, so no two threads make two types.
PyTypeObject* create_type() {
    if (PyTypeObject* type = loaded_type()) return type;
    PyTypeObject* type = make_type();
    g_type.store(type, std::memory_order_release);
    return type;
}

}  // namespace tqpy
