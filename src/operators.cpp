// Python's operators on Telquant. A Telquant operand is read in place; a plain number is read with
// PyFloat_AsDouble. Results are always new objects of exactly the Telquant type.
#include <climits>

#include "arithmetic.hpp"
#include "frame.hpp"
#include "slots.hpp"

namespace tqpy {
namespace {

// Whether a failed conversion only says that the object is no number of the kind asked for: any Exception but
// MemoryError, which is then cleared. MemoryError and what is no Exception (KeyboardInterrupt, SystemExit) stay
// pending, to be passed on.
bool refused_as_number() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
    return true;
}

// A plain-number operand, or TypeError with the operator's own text in place of the conversion's error.
bool operand_number(PyObject* obj, const char* message, double& out) {
    if (to_double(obj, out)) return true;
    if (refused_as_number()) raise_type_error(message);
    return false;
}

template <class Op>
PyObject* both_telquant(PyObject* left, PyObject* right, Op op) {
    TelquantObject* a = as_telquant(left);
    TelquantObject* b = a != nullptr ? as_telquant(right) : nullptr;
    if (b == nullptr) return not_implemented();
    Reader ra(a), rb(b);
    return op(ra.q(), rb.q());
}

// Telquant * Telquant, Telquant * number and number * Telquant, likewise for "/".
template <class Both, class Forward, class Reflected>
PyObject* mixed(PyObject* left, PyObject* right, const char* forward_message, const char* reflected_message, Both both,
                Forward forward, Reflected reflected) {
    if (TelquantObject* a = as_telquant(left)) {
        Reader ra(a);
        if (TelquantObject* b = as_telquant(right)) {
            Reader rb(b);
            return create_instance(both(ra.q(), rb.q()));
        }
        double x;
        if (!operand_number(right, forward_message, x)) return nullptr;
        return create_instance(forward(ra.q(), x));
    }
    TelquantObject* b = as_telquant(right);
    if (b == nullptr) return not_implemented();
    Reader rb(b);
    double x;
    if (!operand_number(left, reflected_message, x)) return nullptr;
    return create_instance(reflected(x, rb.q()));
}

enum class Exponent { kInteger, kOther, kFailed };

// An int exponent in the 32-bit range, through __index__ for non-ints (kInteger); anything else is no integer
// exponent (kOther), unless __index__ failed with an error to pass on (kFailed, pending).
Exponent integer_exponent(PyObject* obj, std::int32_t& out) {
    long n;
    if (PyLong_Check(obj)) {
        n = PyLong_AsLong(obj);
    } else {
        PyObject* index = PyNumber_Index(obj);
        if (index == nullptr) return refused_as_number() ? Exponent::kOther : Exponent::kFailed;
        n = PyLong_AsLong(index);
        Py_DECREF(index);
    }
    if (n == -1 && PyErr_Occurred()) {  // beyond a long: OverflowError
        PyErr_Clear();
        return Exponent::kOther;
    }
    if (n < INT32_MIN || n > INT32_MAX) return Exponent::kOther;
    out = static_cast<std::int32_t>(n);
    return Exponent::kInteger;
}

}  // namespace

PyObject* nb_add(PyObject* left, PyObject* right) {
    return entry([&] {
        return both_telquant(
            left, right, [](const tq::Quantity& a, const tq::Quantity& b) { return instance_or_error(tq::add(a, b)); });
    });
}

PyObject* nb_subtract(PyObject* left, PyObject* right) {
    return entry([&] {
        return both_telquant(
            left, right, [](const tq::Quantity& a, const tq::Quantity& b) { return instance_or_error(tq::sub(a, b)); });
    });
}

PyObject* nb_multiply(PyObject* left, PyObject* right) {
    return entry([&] {
        return mixed(left, right, "Cannot multiply TQ with this type", "Cannot multiply this type with TQ", tq::mul,
                     tq::mul_number, [](double x, const tq::Quantity& b) { return tq::mul_number(b, x); });
    });
}

PyObject* nb_true_divide(PyObject* left, PyObject* right) {
    return entry([&] {
        return mixed(left, right, "Cannot divide TQ by this type", "Cannot divide this type by TQ", tq::div,
                     tq::div_number, tq::number_div);
    });
}

// pow(q, n, m) ignores m.
PyObject* nb_power(PyObject* base, PyObject* exponent, PyObject*) {
    return entry([&]() -> PyObject* {
        TelquantObject* a = as_telquant(base);
        if (a == nullptr) return not_implemented();
        Reader ra(a);
        std::int32_t n;
        switch (integer_exponent(exponent, n)) {
            case Exponent::kInteger: return create_instance(tq::powi(ra.q(), n));
            case Exponent::kFailed: return nullptr;
            case Exponent::kOther: break;
        }
        double p;
        if (!operand_number(exponent, "Exponent must be int or float", p)) return nullptr;
        return create_instance(tq::pow(ra.q(), p));
    });
}

PyObject* nb_negative(PyObject* self) {
    return with_receiver(self, [](const tq::Quantity& q) { return create_instance(tq::neg(q)); });
}

PyObject* nb_absolute(PyObject* self) {
    return with_receiver(self, [](const tq::Quantity& q) { return create_instance(tq::abs(q)); });
}

PyObject* tp_richcompare(PyObject* self, PyObject* other, int op) {
    return entry([&]() -> PyObject* {
        if (op < Py_LT || op > Py_GE) return internal_failure("invalid compareop");
        return both_telquant(self, other, [op](const tq::Quantity& a, const tq::Quantity& b) -> PyObject* {
            if (op == Py_EQ) return new_bool(tq::equals(a, b));
            if (op == Py_NE) return new_bool(!tq::equals(a, b));
            switch (tq::compare(a, b)) {
                case tq::Ordering::Less: return new_bool(op == Py_LT || op == Py_LE);
                case tq::Ordering::Equal: return new_bool(op == Py_LE || op == Py_GE);
                case tq::Ordering::Greater: return new_bool(op == Py_GT || op == Py_GE);
                case tq::Ordering::Unordered: break;
            }
            return raise_tq("Cannot compare values with incompatible units");
        });
    });
}

}  // namespace tqpy
