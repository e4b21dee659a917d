// The ten math methods and the module functions asin, acos and atan: one core call each.
#include "docstrings.hpp"
#include "elementary.hpp"
#include "frame.hpp"
#include "slots.hpp"

namespace tqpy {
namespace {

PyObject* wrap(const tq::Result<tq::Quantity>& r) { return r ? create_instance(r.value()) : raise_tq(r.error()); }

// A plain number from the core becomes a unitless Telquant.
PyObject* wrap(const tq::Result<double>& r) {
    return r ? create_instance(tq::Quantity{tq::Dims{}, r.value()}) : raise_tq(r.error());
}

template <auto Fn>
PyObject* method(PyObject* self, PyObject*) {
    return with_receiver(self, [](const tq::Quantity& q) { return wrap(Fn(q)); });
}

const char* const kXNames[] = {"x"};

// asin(x): x is any Python number; a unitless record of it goes to the core function.
template <auto Fn, const char* Display>
PyObject* function(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        static const ParamTable params = {Display, kXNames, 1};
        PyObject* argv[1];
        if (!extract_args(params, args, kwargs, argv)) return nullptr;
        double x;
        if (!number_arg(argv[0], "x", x)) return nullptr;
        auto q = tq::new_quantity(x, "");
        if (!q) return raise_tq(q.error());
        return wrap(Fn(q.value()));
    });
}

constexpr char kAsinDisplay[] = "asin()";
constexpr char kAcosDisplay[] = "acos()";
constexpr char kAtanDisplay[] = "atan()";

template <auto F>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

}  // namespace

PyMethodDef kMathMethods[10] = {
    {"sqrt", as_cfunction<method<tq::sqrt>>(), METH_NOARGS, doc::kSqrt},
    {"ln", as_cfunction<method<tq::ln>>(), METH_NOARGS, doc::kLn},
    {"log2", as_cfunction<method<tq::log2>>(), METH_NOARGS, doc::kLog2},
    {"log10", as_cfunction<method<tq::log10>>(), METH_NOARGS, doc::kLog10},
    {"sin", as_cfunction<method<tq::sin>>(), METH_NOARGS, doc::kSin},
    {"cos", as_cfunction<method<tq::cos>>(), METH_NOARGS, doc::kCos},
    {"tan", as_cfunction<method<tq::tan>>(), METH_NOARGS, doc::kTan},
    {"asin", as_cfunction<method<tq::asin>>(), METH_NOARGS, doc::kAsin},
    {"acos", as_cfunction<method<tq::acos>>(), METH_NOARGS, doc::kAcos},
    {"atan", as_cfunction<method<tq::atan>>(), METH_NOARGS, doc::kAtan},
};

PyMethodDef kModuleFunctions[3] = {
    {"asin", as_cfunction<function<tq::asin, kAsinDisplay>>(), METH_VARARGS | METH_KEYWORDS, doc::kAsinFn},
    {"acos", as_cfunction<function<tq::acos, kAcosDisplay>>(), METH_VARARGS | METH_KEYWORDS, doc::kAcosFn},
    {"atan", as_cfunction<function<tq::atan, kAtanDisplay>>(), METH_VARARGS | METH_KEYWORDS, doc::kAtanFn},
};

}  // namespace tqpy
