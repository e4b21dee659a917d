// The reader count of a Telquant: a plain std::size_t in the instance's C layout, changed only with relaxed atomic
// read-modify-write operations.
//
// std::atomic_ref is the standard way to do that. libstdc++ has it from GCC 10, LLVM's libc++ only from 19, so
// where the library lacks it the same relaxed operations are spelled with the GCC/clang __atomic builtins, which is
// what libstdc++'s atomic_ref compiles to; the generated code is the same.
#pragma once

#include <atomic>
#include <cstddef>

namespace tqpy {

inline void count_reader(std::size_t& readers) noexcept {
#ifdef __cpp_lib_atomic_ref
    std::atomic_ref<std::size_t>(readers).fetch_add(1, std::memory_order_relaxed);
#elif defined(__GNUC__)
    __atomic_fetch_add(&readers, std::size_t{1}, __ATOMIC_RELAXED);
#else
#error "a reader count needs std::atomic_ref or the GCC/clang __atomic builtins"
#endif
}

inline void uncount_reader(std::size_t& readers) noexcept {
#ifdef __cpp_lib_atomic_ref
    std::atomic_ref<std::size_t>(readers).fetch_sub(1, std::memory_order_relaxed);
#elif defined(__GNUC__)
    __atomic_fetch_sub(&readers, std::size_t{1}, __ATOMIC_RELAXED);
#else
#error "a reader count needs std::atomic_ref or the GCC/clang __atomic builtins"
#endif
}

}  // namespace tqpy
