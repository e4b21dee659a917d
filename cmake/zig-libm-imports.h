/* Included by cmake/zig-toolchain.cmake into every source of the glibc portable wheels (not the musl one).
 *
 * zig links its own runtime library (compiler-rt) into the module for the quad-precision helpers of aarch64's long
 * double. That library also defines sin, cos, tan, log, log2, log10 and sqrt, and a definition inside the module
 * wins over the shared C library's at link time, so the module would compute with zig's versions, which differ
 * from glibc's in the last bit. Naming the glibc symbol version of each elementary function here turns every
 * call into a reference to that versioned symbol, which only the shared libm can satisfy: the functions are
 * imported from the system's C library on every architecture, as in a build with the system compiler.
 * The version is the one each function has had since the architecture's first glibc. */
#if defined(__aarch64__)
#define TQ_LIBM_VERSION "GLIBC_2.17"
#elif defined(__x86_64__)
#define TQ_LIBM_VERSION "GLIBC_2.2.5"
#else
#error "the portable wheels are built for x86_64 and aarch64 only"
#endif

#define TQ_LIBM_IMPORT(name) __asm__(".symver " #name "," #name "@" TQ_LIBM_VERSION);
TQ_LIBM_IMPORT(sin)
TQ_LIBM_IMPORT(cos)
TQ_LIBM_IMPORT(tan)
TQ_LIBM_IMPORT(asin)
TQ_LIBM_IMPORT(acos)
TQ_LIBM_IMPORT(atan)
TQ_LIBM_IMPORT(log)
TQ_LIBM_IMPORT(log2)
TQ_LIBM_IMPORT(log10)
TQ_LIBM_IMPORT(pow)
TQ_LIBM_IMPORT(sqrt)
#undef TQ_LIBM_IMPORT
#undef TQ_LIBM_VERSION
