// The module functions asin, acos and atan: a plain number in, one core call, an angle out.
#include "docstrings.hpp"
#include "elementary.hpp"
#include "frame.hpp"
#include "slots.hpp"

namespace tqpy {
namespace {

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
        return instance_or_error(Fn(q.value()));
    });
}

constexpr char kAsinDisplay[] = "asin()";
constexpr char kAcosDisplay[] = "acos()";
constexpr char kAtanDisplay[] = "atan()";

}  // namespace

const PyMethodDef kModuleFunctions[] = {
    {"asin", function_cast<PyCFunction>(function<tq::asin, kAsinDisplay>), METH_VARARGS | METH_KEYWORDS, doc::kAsinFn},
    {"acos", function_cast<PyCFunction>(function<tq::acos, kAcosDisplay>), METH_VARARGS | METH_KEYWORDS, doc::kAcosFn},
    {"atan", function_cast<PyCFunction>(function<tq::atan, kAtanDisplay>), METH_VARARGS | METH_KEYWORDS, doc::kAtanFn},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tqpy
