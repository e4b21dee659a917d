// The Telquant type: its tables, constructor, plain methods, text slots and deallocation.
#include "docstrings.hpp"
#include "elementary.hpp"
#include "frame.hpp"
#include "slots.hpp"
#include "text.hpp"

namespace tqpy {

std::atomic<PyTypeObject*> g_type{nullptr};

// ---- constructor -----------------------------------------------------------------------------------------

namespace {
const ParamName kNewNames[] = {kValueParam, kUnitParam};
}  // namespace

const ParamTable kNewParams = {"Telquant.__new__()", kNewNames, 2};

PyObject* construct(PyObject* const* argv) {
    double value;
    if (!number_arg(argv[0], "value", value)) return nullptr;
    UnitArg unit;
    if (!unit.load(argv[1], "unit")) return nullptr;
    return create_instance(tq::quantity_in(value, unit.unit()));
}

namespace {

PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        PyObject* argv[kMaxParams];
        if (!extract_args(kNewParams, args, kwargs, argv)) return nullptr;
        return construct(argv);
    });
}

// ---- plain methods -----------------------------------------------------------------------------------------

PyObject* m_value(PyObject* self, PyObject*) {
    return with_self(self, [](const tq::Quantity& q) { return new_float(tq::value(q)); });
}

const ParamName kValueInNames[] = {kUnitParam};
const ParamTable kValueInParams = {"Telquant.value_in()", kValueInNames, 1};

TQ_BODY PyObject* m_value_in(PyObject* self, PyObject* const* argv) {
    Reader r(method_receiver(self));
    UnitArg unit;
    if (!unit.load(argv[0], "unit")) return nullptr;
    auto converted = tq::value_in(r.q(), unit.unit(), unit.text());
    if (!converted) return raise_tq(converted.error());
    return new_float(converted.value());
}

PyObject* m_is_unitless(PyObject* self, PyObject*) {
    return with_self(self, [](const tq::Quantity& q) { return new_bool(tq::is_unitless(q)); });
}

PyObject* m_base_units(PyObject* self, PyObject*) {
    return with_self(self, [](const tq::Quantity& q) -> PyObject* {
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

// An instance gives its block back as it was made (instances.hpp), then its reference to the type.
void tp_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    release_instance(self);
    Py_DECREF(type);
}

// ---- tables --------------------------------------------------------------------------------------------------

constexpr CallableRow kMethods[] = {
    no_params("value", m_value, doc::kValue),
    with_params<kValueInParams, m_value_in>("value_in", doc::kValueIn),
    no_params("is_unitless", m_is_unitless, doc::kIsUnitless),
    no_params("base_units", m_base_units, doc::kBaseUnits),
    no_params("sqrt", math_method<tq::sqrt>, doc::kSqrt),
    no_params("ln", math_method<tq::ln>, doc::kLn),
    no_params("log2", math_method<tq::log2>, doc::kLog2),
    no_params("log10", math_method<tq::log10>, doc::kLog10),
    no_params("sin", math_method<tq::sin>, doc::kSin),
    no_params("cos", math_method<tq::cos>, doc::kCos),
    no_params("tan", math_method<tq::tan>, doc::kTan),
    no_params("asin", math_method<tq::asin>, doc::kAsin),
    no_params("acos", math_method<tq::acos>, doc::kAcos),
    no_params("atan", math_method<tq::atan>, doc::kAtan),
};
template <bool Fast>
const auto kMethodTable = method_table<Fast>(kMethods);

// The slot table with the class docstring Doc (docstrings.hpp) and the methods in the calling convention Fast
// (calls.hpp). It begins with the vectorcall slot, which only an interpreter that takes it is given
// (with_vectorcall_choice); the interpreter reads the tables and writes to none.
template <const char* Doc, bool Fast>
const PyType_Slot kSlots[] = {
    {Py_tp_vectorcall, function_cast<void*>(vectorcall_new)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(Doc)},
    {Py_tp_dealloc, function_cast<void*>(tp_dealloc)},
    {Py_tp_methods, const_cast<PyMethodDef*>(kMethodTable<Fast>.data())},
    {Py_tp_new, function_cast<void*>(tp_new)},
    {Py_nb_negative, function_cast<void*>(nb_negative)},
    {Py_nb_absolute, function_cast<void*>(nb_absolute)},
    {Py_tp_repr, function_cast<void*>(text_slot<tq::write_repr_text>)},
    {Py_tp_str, function_cast<void*>(text_slot<tq::write_display_text>)},
    {Py_nb_add, function_cast<void*>(nb_add)},
    {Py_nb_subtract, function_cast<void*>(nb_subtract)},
    {Py_nb_multiply, function_cast<void*>(nb_multiply)},
    {Py_nb_true_divide, function_cast<void*>(nb_true_divide)},
    {Py_nb_power, function_cast<void*>(nb_power)},
    {Py_tp_richcompare, function_cast<void*>(tp_richcompare)},
    {0, nullptr},
};

// The slot table from its first entry, the vectorcall slot, where the running interpreter takes that slot (3.14
// and later), else from the entry after it.
PyType_Slot* with_vectorcall_choice(const PyType_Slot* slots) {
    return const_cast<PyType_Slot*>(takes_vectorcall_slot() ? slots : slots + 1);
}

// The dotted name gives the type its __module__; __name__ and __qualname__ stay "Telquant".
PyObject* type_from(const PyType_Slot* slots) {
    PyType_Spec spec = {"tq_pyo3.Telquant", static_cast<int>(sizeof(TelquantObject)), 0, Py_TPFLAGS_DEFAULT,
                        with_vectorcall_choice(slots)};
    return PyType_FromSpec(&spec);
}

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

// The slot table with the class docstring Doc and the methods in the running interpreter's convention.
template <const char* Doc>
const PyType_Slot* slots_with() {
    return takes_fastcall() ? kSlots<Doc, true> : kSlots<Doc, false>;
}

PyTypeObject* make_type() {
    PyObject* type = type_from(slots_with<doc::kTelquant>());
    if (type != nullptr && !has_text_signature(type)) {  // Pythons before 3.10 (docstrings.hpp)
        Py_DECREF(type);
        type = type_from(slots_with<doc::kTelquantSignatureTwice>());
    }
    if (type == nullptr) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
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
