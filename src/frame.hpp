// The shared frame of every entry point: the protocol that wraps a body, argument extraction and conversion,
// receiver access, instance creation and the mapping of core messages to Python exceptions.
//
// A body returns a new reference, or nullptr with a Python exception pending. The helpers named raise_* set an
// exception and return nullptr, so a body can `return raise_...(...)`.
#pragma once

#include <Python.h>

#include <atomic>
#include <exception>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "instances.hpp"
#include "quantity.hpp"
#include "reader_count.hpp"
#include "unit_cache.hpp"

namespace tqpy {

inline constexpr const char* kClassName = "Telquant";

// ---- process-wide objects -------------------------------------------------------------------------------
//
// Every one is made while the module is initialised, under the module's once-guard (module.cpp, once.hpp), and
// published by a release store that the readers' acquire loads pair with; none is made later, so no call after the
// import fills anything, and calls may run truly in parallel (free-threaded Python) without the interpreter lock.
// They are made in this order, so any of them that Python code can reach implies the ones before it: the interned
// names, the internal-error class, TQError, the type.

// The interned names, the internal-error class and TQError, each unless it exists (an earlier initialisation
// may have failed after making some); false with an exception pending.
bool create_shared_objects();
// The Telquant type unless it exists; nullptr with an exception pending when creation fails.
PyTypeObject* create_type();
// Set once, after what the type's calls need is stored (vectorcall.cpp): a thread that loads the type with acquire
// ordering and finds it also sees that, which is never written again.
extern std::atomic<PyTypeObject*> g_type;

inline PyTypeObject* loaded_type() noexcept { return g_type.load(std::memory_order_acquire); }

PyObject* tq_error();  // TQError, made by the import

// ---- failures ----------------------------------------------------------------------------------------------

PyObject* raise_tq(std::string_view message);  // TQError(message)
PyObject* raise_type_error(const char* message);
PyObject* internal_failure(const char* text);  // raises tq_pyo3.InternalError (a BaseException)
PyObject* api_call_failed();                   // a result object could not be made
// Replaces the pending exception by `replacement` (type, message), with the old one as its __cause__.
PyObject* raise_from_pending(PyObject* replacement, const char* message);

// ---- entry-point protocol ----------------------------------------------------------------------------------

// No C++ exception of the module's ever leaves an entry point: the module throws only the standard library's
// exceptions (std::bad_alloc, and std::length_error and the like for a broken invariant), and those are caught here.
// There is deliberately no catch-all. What else can arrive is no exception of the module's but an unwind that must
// pass on: when the interpreter exits, up to 3.13, it ends a daemon thread that takes its thread state back with
// pthread_exit, which glibc runs as a forced unwind (libstdc++ names it abi::__forced_unwind; LLVM's runtime sees a
// foreign exception). A handler that swallows it aborts the process, and so does a noexcept frame on its way, so
// this function is not noexcept; with no handler the unwind passes through and runs only the destructors, which
// need no thread state (Reader, TextArg).
template <class Body>
PyObject* entry(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception&) {  // GCOVR_EXCL_START: no standard exception but bad_alloc can arise here
        return internal_failure("unexpected C++ exception");
    }  // GCOVR_EXCL_STOP
}

// ---- arguments -----------------------------------------------------------------------------------------------

// The parameter names of every callable, each interned by the import (create_shared_objects): the compiler interns
// the keyword names of Python code, so a keyword argument is usually found by identity, before any text compare.
enum ParamName : unsigned char { kValueParam, kUnitParam, kXParam, kParamNameCount };
inline constexpr const char* kParamNames[kParamNameCount] = {"value", "unit", "x"};
extern std::atomic<PyObject*> g_param_names[kParamNameCount];

struct ParamTable {
    const char* display;  // "Telquant.__new__()", "asin()"
    const ParamName* params;
    Py_ssize_t count;
};
inline constexpr Py_ssize_t kMaxParams = 2;

// Binds positional and keyword arguments to `out[0..count)` as borrowed references. Arguments come as a tuple
// and a dict (tp_new, METH_VARARGS | METH_KEYWORDS), or in the vectorcall form: `nargs` positional arguments in
// args[0..nargs), then one value for each name of the tuple `kwnames`. Both forms raise the same errors.
bool extract_args_general(const ParamTable& table, PyObject* args, PyObject* kwargs, PyObject** out);
inline bool extract_args(const ParamTable& table, PyObject* args, PyObject* kwargs, PyObject** out) {
    // The common call: every parameter by position, no keywords.
    if (kwargs == nullptr && PyTuple_Size(args) == table.count) {
        for (Py_ssize_t i = 0; i < table.count; ++i) out[i] = PyTuple_GetItem(args, i);
        return true;
    }
    return extract_args_general(table, args, kwargs, out);
}

bool extract_vector_args_general(const ParamTable& table, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 PyObject** out);
// The bound arguments: `args` itself in the common call (every parameter by position, no keywords), else `out`,
// filled; nullptr with TypeError.
inline PyObject* const* extract_vector_args(const ParamTable& table, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames, PyObject** out) {
    if (kwnames == nullptr && nargs == table.count) return args;
    return extract_vector_args_general(table, args, nargs, kwnames, out) ? out : nullptr;
}

// Rewrites a pending TypeError as "argument '<name>': <text>"; other exceptions pass unchanged.
void argument_error(const char* name);

// A Python number read as a double with PyFloat_AsDouble; false with the exception pending.
inline bool to_double(PyObject* obj, double& out) {
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

bool number_arg(PyObject* obj, const char* name, double& out);

// A str argument as UTF-8 bytes, held for the rest of the call. A short text is encoded here, into the object
// itself, so no bytes object is made for it; a longer one, or one with a lone surrogate, is encoded by the
// interpreter (which raises its own UnicodeEncodeError for the surrogate) and copied out of its bytes object.
// No Python object is held, so nothing here needs the thread state when a call is unwound (see entry()).
class TextArg {
public:
    static constexpr std::size_t kShort = 32;  // characters encoded here; each takes at most 4 bytes
    TextArg() = default;
    TextArg(const TextArg&) = delete;
    TextArg& operator=(const TextArg&) = delete;
    // False with the argument error raised (frame.cpp). The common text, an exact str of at most kShort
    // characters, takes the first way.
    bool load(PyObject* obj, const char* name) {
        return (Py_TYPE(obj) == &PyUnicode_Type && load_short(obj, true)) || load_other(obj, name);
    }
    std::string_view view() const { return view_; }
    // The text as a key of the thread's unit cache (unit_cache.hpp), or nullptr: only an exact str of ASCII
    // characters short enough for a key has one.
    const UnitKey* key() const { return keyed_ ? &key_ : nullptr; }

private:
    bool load_short(PyObject* obj, bool exact);
    bool load_long(PyObject* obj);
    bool load_other(PyObject* obj, const char* name);
    std::unique_ptr<char[]> long_;
    std::string_view view_;
    bool keyed_ = false;
    UnitKey key_;
    char local_[4 * kShort];
};

// A unit argument: a str, read as TextArg reads it, and what its text parses to, which the thread's unit cache
// holds or is given. The unit and the text stay until the thread parses another text, so they are used before
// anything that might run Python code.
class UnitArg {
public:
    UnitArg() = default;
    UnitArg(const UnitArg&) = delete;
    UnitArg& operator=(const UnitArg&) = delete;
    // False with the argument error raised (TextArg), or TQError with the parser's message.
    bool load(PyObject* obj, const char* name) {
        if (Py_TYPE(obj) == &PyUnicode_Type) {
            unit_ = t_unit_cache.find(obj, text_);
            if (unit_ != nullptr) return true;
        }
        if (!arg_.load(obj, name)) return false;
        text_ = arg_.view();
        if (const UnitKey* key = arg_.key()) {
            unit_ = t_unit_cache.find(*key, obj);
            if (unit_ != nullptr) return true;
        }
        return parse(obj);
    }
    const tq::ParsedUnit& unit() const { return *unit_; }
    std::string_view text() const { return text_; }  // UTF-8

private:
    bool parse(PyObject* obj);
    TextArg arg_;
    std::string_view text_;
    const tq::ParsedUnit* unit_ = nullptr;
};

// "<qualname of obj's type>", or "<failed to extract type name>"
std::string type_name_of(PyObject* obj);

// ---- receivers and results -----------------------------------------------------------------------------------

// A Telquant operand: an object of the type or of a subtype of it, which is the type itself, as it has none.
inline TelquantObject* as_telquant(PyObject* obj) {
    return Py_TYPE(obj) == loaded_type() ? reinterpret_cast<TelquantObject*>(obj) : nullptr;
}

// Read access to a Telquant's record for the rest of the call; the reader count is held on every path.
class Reader {
public:
    explicit Reader(TelquantObject* obj) : obj_(obj) { count_reader(obj_->readers); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() { uncount_reader(obj_->readers); }
    const tq::Quantity& q() const { return obj_->q; }

private:
    TelquantObject* obj_;
};

// The receiver of a method; nullptr with TypeError "'X' object cannot be converted to 'Telquant'" otherwise.
TelquantObject* receiver_slow(PyObject* self);
inline TelquantObject* receiver(PyObject* self) {
    if (Py_TYPE(self) == loaded_type()) return reinterpret_cast<TelquantObject*>(self);
    return receiver_slow(self);
}

// Stores the record in a freshly allocated instance (or reports the failed allocation).
inline PyObject* fill_instance(PyObject* obj, const tq::Quantity& q) {
    if (obj == nullptr) return nullptr;  // with the allocation's MemoryError
    auto* tq = reinterpret_cast<TelquantObject*>(obj);
    tq->q = q;
    tq->readers = 0;
    return obj;
}

// A new Telquant holding `q`: a block of the free list (instances.hpp) or a new one. Every result is of exactly the
// Telquant type, and so is every instance the constructor makes: the type has no subtypes.
inline PyObject* create_instance(const tq::Quantity& q) { return fill_instance(new_instance(loaded_type()), q); }

// A core result: a new Telquant holding its record, or TQError with its message. A plain number from the core
// becomes a unitless Telquant.
inline PyObject* instance_or_error(const tq::Result<tq::Quantity>& r) {
    return r ? create_instance(r.value()) : raise_tq(r.error());
}
inline PyObject* instance_or_error(const tq::Result<double>& r) {
    return r ? create_instance(tq::Quantity{tq::Dims{}, r.value()}) : raise_tq(r.error());
}

inline PyObject* new_float(double x) {
    PyObject* f = PyFloat_FromDouble(x);
    return f != nullptr ? f : api_call_failed();
}

inline PyObject* new_bool(bool b) {
    PyObject* r = b ? Py_True : Py_False;
    Py_INCREF(r);
    return r;
}

inline PyObject* not_implemented() {
    Py_INCREF(Py_NotImplemented);
    return Py_NotImplemented;
}

// A slot body on its receiver's record: the interpreter calls the slots of repr, str, negation and absolute value
// with an object of this type, but anything may call a slot function it fetched (PyType_GetSlot).
template <class Body>
PyObject* with_receiver(PyObject* self, Body&& body) {
    return entry([&]() -> PyObject* {
        TelquantObject* obj = receiver(self);
        if (obj == nullptr) return nullptr;
        Reader r(obj);
        return body(r.q());
    });
}

// A method of the type on its receiver's record. The interpreter's method descriptors call a method only with an
// instance of the type (they refuse any other receiver with their own TypeError), so the receiver is one.
inline TelquantObject* method_receiver(PyObject* self) { return reinterpret_cast<TelquantObject*>(self); }
template <class Body>
PyObject* with_self(PyObject* self, Body&& body) {
    return entry([&]() -> PyObject* {
        Reader r(method_receiver(self));
        return body(r.q());
    });
}

}  // namespace tqpy
