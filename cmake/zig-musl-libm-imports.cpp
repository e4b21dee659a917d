// The C library's math functions for the musl builds where zig links its runtime library (compiler-rt) in: the
// aarch64 module needs its quad-precision long double helpers (libc++'s charconv), 32-bit ARM its 64-bit division.
// That library is one object, so it always brings along its own weak, hidden sin, cos, tan, log, log2, log10, sqrt,
// ..., which win over the shared C library's at link time (and its log2 and log10 are wrong for subnormal inputs).
// For glibc, zig-toolchain.cmake binds each call to libm's versioned symbol; musl has no symbol versions. So the
// link redirects every call to a function of cmake/libm-functions.txt (-Wl,--wrap=NAME) to __wrap_NAME here, which
// calls the C library's function through a pointer looked up by name in the process's global scope when the
// module is loaded (the module's own hidden copies are not visible there).
//
// The list comes from tq-libm-functions.h, written from cmake/libm-functions.txt by cmake/libm-functions.cmake, for
// the module (ZIG_LIBM_BY_NAME) and for the musl interpreters cross-built with zig (dev/musl_cross.py), whose math
// module has the same problem: one TQ_LIBM_UNARY(name) or TQ_LIBM_BINARY(name) a line.
#include <dlfcn.h>

#include <cmath>

namespace {
using Unary = double (*)(double);
using Binary = double (*)(double, double);

template <class F>
F lookup(const char* name) {
    void* found = dlsym(RTLD_DEFAULT, name);
    if (found == nullptr) __builtin_trap();  // every musl C library defines all of them
    return reinterpret_cast<F>(found);
}
}  // namespace

// The C library's declaration must take the arguments the list says (an unevaluated cast, no reference to it).
#define TQ_LIBM_UNARY(name)                                        \
    using name##_declared = decltype(static_cast<Unary>(&::name)); \
    namespace {                                                    \
    Unary c_##name;                                                \
    }                                                              \
    extern "C" double __wrap_##name(double x) { return c_##name(x); }
#define TQ_LIBM_BINARY(name)                                        \
    using name##_declared = decltype(static_cast<Binary>(&::name)); \
    namespace {                                                     \
    Binary c_##name;                                                \
    }                                                               \
    extern "C" double __wrap_##name(double x, double y) { return c_##name(x, y); }
#include "tq-libm-functions.h"
#undef TQ_LIBM_UNARY
#undef TQ_LIBM_BINARY

namespace {
__attribute__((constructor)) void resolve() {
#define TQ_LIBM_UNARY(name) c_##name = lookup<Unary>(#name);
#define TQ_LIBM_BINARY(name) c_##name = lookup<Binary>(#name);
#include "tq-libm-functions.h"
#undef TQ_LIBM_UNARY
#undef TQ_LIBM_BINARY
}
}  // namespace
