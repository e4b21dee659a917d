// The module functions asin, acos and atan: a plain number in, one core call, an angle out.
#include "docstrings.hpp"
#include "elementary.hpp"
#include "frame.hpp"
#include "slots.hpp"

namespace tqpy {
namespace {

const ParamName kXNames[] = {kXParam};

// asin(x): x is any Python number; a unitless record of it (the record of x written in the empty unit text, which
// parses to no exponents and the factor 1) goes to the core function.
template <auto Fn>
TQ_BODY PyObject* function(PyObject*, PyObject* const* argv) {
    double x;
    if (!number_arg(argv[0], "x", x)) return nullptr;
    return instance_or_error(Fn(tq::quantity_in(x, tq::ParsedUnit{})));
}

const ParamTable kAsinParams = {"asin()", kXNames, 1};
const ParamTable kAcosParams = {"acos()", kXNames, 1};
const ParamTable kAtanParams = {"atan()", kXNames, 1};

constexpr CallableRow kFunctions[] = {
    with_params<kAsinParams, function<tq::asin>>("asin", doc::kAsinFn),
    with_params<kAcosParams, function<tq::acos>>("acos", doc::kAcosFn),
    with_params<kAtanParams, function<tq::atan>>("atan", doc::kAtanFn),
};
template <bool Fast>
const auto kFunctionTable = method_table<Fast>(kFunctions);

}  // namespace

const PyMethodDef* module_functions() {
    return takes_fastcall() ? kFunctionTable<true>.data() : kFunctionTable<false>.data();
}

}  // namespace tqpy
