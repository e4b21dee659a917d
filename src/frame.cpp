#include "frame.hpp"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tqpy {

// ---- process-wide objects -------------------------------------------------------------------------------

std::atomic<PyObject*> g_param_names[kParamNameCount] = {};

namespace {
std::atomic<PyObject*> g_qualname{nullptr};  // interned "__qualname__"
std::atomic<PyObject*> g_internal_error{nullptr};
std::atomic<PyObject*> g_tq_error{nullptr};

// Makes `slot`'s object unless it exists; false with an exception pending.
template <class Make>
bool ensure(std::atomic<PyObject*>& slot, Make make) {
    if (slot.load(std::memory_order_acquire) != nullptr) return true;
    PyObject* made = make();
    slot.store(made, std::memory_order_release);
    return made != nullptr;
}

PyObject* make_qualname() { return PyUnicode_InternFromString("__qualname__"); }

PyObject* make_internal_error() {
    return PyErr_NewExceptionWithDoc("tq_pyo3.InternalError",
                                     "An internal invariant of tq_pyo3 was broken; please report it.",
                                     PyExc_BaseException, nullptr);
}

PyObject* make_tq_error() { return PyErr_NewExceptionWithDoc("tq_pyo3.TQError", nullptr, PyExc_Exception, nullptr); }
}  // namespace

bool create_shared_objects() {
    for (std::size_t i = 0; i < kParamNameCount; ++i)
        if (!ensure(g_param_names[i], [i] { return PyUnicode_InternFromString(kParamNames[i]); })) return false;
    if (!ensure(g_qualname, make_qualname) || !ensure(g_internal_error, make_internal_error)) return false;
    if (ensure(g_tq_error, make_tq_error)) return true;
    PyErr_Clear();
    internal_failure("Failed to initialize new exception type.");
    return false;
}

// ---- failures ----------------------------------------------------------------------------------------------

PyObject* tq_error() { return g_tq_error.load(std::memory_order_acquire); }

PyObject* raise_tq(std::string_view message) {
    PyObject* cls = tq_error();
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) return nullptr;
    PyErr_SetObject(cls, text);
    Py_DECREF(text);
    return nullptr;
}

PyObject* raise_type_error(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    return nullptr;
}

// The class is made by the import before anything that can fail this way.
PyObject* internal_failure(const char* text) {
    PyErr_SetString(g_internal_error.load(std::memory_order_acquire), text);
    return nullptr;
}

PyObject* api_call_failed() {
    PyErr_Print();  // the interpreter's MemoryError
    return internal_failure("Python API call failed");
}

namespace {
// Makes `cause` the __cause__ of the pending exception, as `raise ... from cause` does; steals `cause`. A pending
// exception normalised has a value (the MemoryError of a normalisation that failed, at worst).
void set_pending_cause(PyObject* cause) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyException_SetCause(value, cause);  // steals `cause`
    PyErr_Restore(type, value, tb);
}
}  // namespace

PyObject* raise_from_pending(PyObject* replacement, const char* message) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);  // the type's creation failed in C: there is no traceback to keep
    PyErr_SetString(replacement, message);
    set_pending_cause(value);
    return nullptr;
}

// ---- arguments -----------------------------------------------------------------------------------------------

namespace {

// Each message of argument binding is written here once, for both forms of arguments.

// Every callable takes at least one argument, so more than that are at least two: "were given".
bool too_many_positional(const ParamTable& t, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd were given", t.display, t.count, given);
    return false;
}

const char* name_of(const ParamTable& t, Py_ssize_t i) { return kParamNames[t.params[i]]; }

// The parameter a keyword names: the interned name itself, else one whose text is the keyword's; -1 for none.
Py_ssize_t parameter_named(const ParamTable& t, PyObject* key) {
    for (Py_ssize_t i = 0; i < t.count; ++i)
        if (key == g_param_names[t.params[i]].load(std::memory_order_acquire)) return i;
    for (Py_ssize_t i = 0; i < t.count; ++i)  // the interpreter passes keywords as str only
        if (PyUnicode_CompareWithASCIIString(key, name_of(t, i)) == 0) return i;
    return -1;
}

// Binds one keyword argument; TypeError for a name that is no parameter or a parameter already bound.
bool bind_keyword(const ParamTable& t, PyObject* key, PyObject* value, PyObject** out) {
    Py_ssize_t match = parameter_named(t, key);
    if (match < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", t.display, key);
        return false;
    }
    if (out[match] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", t.display, name_of(t, match));
        return false;
    }
    out[match] = value;
    return true;
}

// Every parameter is bound, or TypeError naming the first two that are not.
bool all_bound(const ParamTable& t, PyObject** out) {
    const char* missing[2];
    Py_ssize_t k = 0;
    static_assert(kMaxParams <= 2, "name the first two missing");
    for (Py_ssize_t i = 0; i < t.count; ++i)
        if (out[i] == nullptr) missing[k++] = name_of(t, i);
    if (k == 0) return true;
    if (k == 1)
        PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", t.display, missing[0]);
    else
        PyErr_Format(PyExc_TypeError, "%s missing %zd required positional arguments: '%s' and '%s'", t.display, k,
                     missing[0], missing[1]);
    return false;
}

}  // namespace

bool extract_args_general(const ParamTable& t, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t given = PyTuple_Size(args);
    if (given > t.count) return too_many_positional(t, given);
    for (Py_ssize_t i = 0; i < t.count; ++i) out[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(t, key, value, out)) return false;
    }
    return all_bound(t, out);
}

bool extract_vector_args_general(const ParamTable& t, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 PyObject** out) {
    if (nargs > t.count) return too_many_positional(t, nargs);
    for (Py_ssize_t i = 0; i < t.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t named = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < named; ++k)
        if (!bind_keyword(t, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
    return all_bound(t, out);
}

void argument_error(const char* name) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {  // only exactly TypeError is rewritten
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (!PyErr_GivenExceptionMatches(type, PyExc_TypeError)) {  // the normalisation failed: its error passes
        PyErr_Restore(type, value, tb);
        return;
    }
    PyObject* cause = PyException_GetCause(value);
    PyObject* text = PyObject_Str(value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (text == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
    Py_DECREF(text);
    if (cause != nullptr) set_pending_cause(cause);
}

bool number_arg(PyObject* obj, const char* name, double& out) {
    if (to_double(obj, out)) return true;
    argument_error(name);
    return false;
}

std::string type_name_of(PyObject* obj) {
    static const char* const kUnknown = "<failed to extract type name>";
    PyObject* qualname = g_qualname.load(std::memory_order_acquire);
    PyObject* name = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), qualname);
    if (name == nullptr || !PyUnicode_Check(name)) {
        Py_XDECREF(name);
        PyErr_Clear();
        return kUnknown;
    }
    PyObject* bytes = PyUnicode_AsUTF8String(name);
    Py_DECREF(name);
    if (bytes == nullptr) {
        PyErr_Clear();
        return kUnknown;
    }
    std::string result(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
    Py_DECREF(bytes);
    return result;
}

namespace {

// The code points of a short text, zero after it up to the end of the half (16) or the whole (32) it fits in.
struct WideText {
    static constexpr std::size_t kSize = TextArg::kShort;
    static constexpr std::size_t kHalf = kSize / 2;
    alignas(16) Py_UCS4 chars[kSize];

#ifdef __SSE2__
    static_assert(kSize == 32);
    // Four or eight stores of 16 bytes, written out: a loop of them is not always unrolled.
    explicit WideText(std::size_t length) {
        auto* w = reinterpret_cast<__m128i*>(chars);
        const __m128i zero = _mm_setzero_si128();
        _mm_store_si128(w, zero), _mm_store_si128(w + 1, zero), _mm_store_si128(w + 2, zero);
        _mm_store_si128(w + 3, zero);
        if (length <= kHalf) return;
        _mm_store_si128(w + 4, zero), _mm_store_si128(w + 5, zero), _mm_store_si128(w + 6, zero);
        _mm_store_si128(w + 7, zero);
    }

    // The characters of the half or the whole as bytes into out; false when one of them is not ASCII (out then
    // holds no text). Both packs saturate, so a character of 0x80 or more gives a byte of 0x80 or more.
    bool narrow_ascii(char* out, std::size_t length) const {
        const auto* w = reinterpret_cast<const __m128i*>(chars);
        __m128i first = _mm_packus_epi16(_mm_packs_epi32(_mm_load_si128(w), _mm_load_si128(w + 1)),
                                         _mm_packs_epi32(_mm_load_si128(w + 2), _mm_load_si128(w + 3)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
        if (length <= kHalf) return _mm_movemask_epi8(first) == 0;
        __m128i second = _mm_packus_epi16(_mm_packs_epi32(_mm_load_si128(w + 4), _mm_load_si128(w + 5)),
                                          _mm_packs_epi32(_mm_load_si128(w + 6), _mm_load_si128(w + 7)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + 1, second);
        return _mm_movemask_epi8(_mm_or_si128(first, second)) == 0;
    }
#else
    explicit WideText(std::size_t) { std::memset(chars, 0, sizeof chars); }

    bool narrow_ascii(char* out, std::size_t) const {
        Py_UCS4 any = 0;
        for (std::size_t i = 0; i < kSize; ++i) {
            any |= chars[i];
            out[i] = static_cast<char>(chars[i]);
        }
        return any < 0x80;
    }
#endif
};

}  // namespace

// The characters of a short str, copied out as code points and encoded as UTF-8 into local_; false, with no
// exception pending, for a long text or one with a lone surrogate (which has no UTF-8 form). A text of ASCII
// characters only, the common one, is its own UTF-8: its characters are narrowed to bytes, and an exact str short
// enough gets its key in the unit cache.
bool TextArg::load_short(PyObject* obj, bool exact) {
    Py_ssize_t length = PyUnicode_GetLength(obj);  // of a str: cannot fail
    if (length > static_cast<Py_ssize_t>(kShort)) return false;
    auto count = static_cast<std::size_t>(length);
    WideText wide(count);
    PyUnicode_AsUCS4(obj, wide.chars, static_cast<Py_ssize_t>(kShort), 0);  // fails only for a buffer too short
    if (wide.narrow_ascii(local_, count)) {
        view_ = std::string_view(local_, count);
        keyed_ = exact && count <= UnitKey::kMaxLength;
        if (keyed_) key_ = UnitKey::of(local_, count);
        return true;
    }
    std::size_t n = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = wide.chars[i];
        if (c < 0x80) {
            local_[n++] = static_cast<char>(c);
        } else if (c < 0x800) {
            local_[n++] = static_cast<char>(0xC0 | (c >> 6));
            local_[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return false;
            local_[n++] = static_cast<char>(0xE0 | (c >> 12));
            local_[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            local_[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            local_[n++] = static_cast<char>(0xF0 | (c >> 18));
            local_[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            local_[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            local_[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    view_ = std::string_view(local_, n);
    return true;
}

// What load() leaves: a str subclass, an exact str too long for load_short (or with a lone surrogate, which
// load_long reports), and anything that is no str.
bool TextArg::load_other(PyObject* obj, const char* name) {
    bool exact = Py_TYPE(obj) == &PyUnicode_Type;
    if (!exact && !PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", type_name_of(obj).c_str());
        argument_error(name);
        return false;
    }
    if (!exact && load_short(obj, false)) return true;
    if (load_long(obj)) return true;
    argument_error(name);
    return false;
}

bool TextArg::load_long(PyObject* obj) {
    PyObject* bytes = PyUnicode_AsUTF8String(obj);
    if (bytes == nullptr) return false;
    auto size = static_cast<std::size_t>(PyBytes_Size(bytes));
    long_.reset(new (std::nothrow) char[size + 1]);
    bool ok = long_ != nullptr;
    if (ok) {
        std::memcpy(long_.get(), PyBytes_AsString(bytes), size);
        view_ = std::string_view(long_.get(), size);
    } else {
        PyErr_NoMemory();
    }
    Py_DECREF(bytes);
    return ok;
}

bool UnitArg::parse(PyObject* obj) {
    auto parsed = tq::parse_unit_expression(text_);
    if (!parsed) {
        raise_tq(parsed.error());
        return false;
    }
    const UnitKey* key = arg_.key();
    unit_ = key != nullptr ? t_unit_cache.remember(*key, obj, parsed.value()) : t_unit_cache.hold(parsed.value());
    return true;
}

// ---- receivers and results -----------------------------------------------------------------------------------

TelquantObject* receiver_slow(PyObject* self) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Telquant'", type_name_of(self).c_str());
    return nullptr;
}

}  // namespace tqpy
