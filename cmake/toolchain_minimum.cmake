# The oldest toolchain the sources build with: a C++20 compiler (GCC 11, clang 13) and a C++ library with
# std::to_chars for double (libstdc++ 11, libc++ 14). An older one stops the build here, at configure time, with one
# sentence, instead of a page of template errors further on. Included after the C++ standard is set, so the probes
# below are compiled as C++20 with the user's CMAKE_CXX_FLAGS (-stdlib=libc++ and the like).
include(CheckCXXSourceCompiles)

set(TQ_TOOLCHAIN_MINIMUM "tq_pyo3 needs a C++20 compiler and library: GCC 11 or newer, or clang 13 or newer with \
libstdc++ 11 / libc++ 14 or newer")
set(_tq_this "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}")
# Each refusal below starts with a blank, which keeps CMake from re-wrapping the sentence over several lines.

# The compiler first: an older one may not even take the -std=c++20 the probes below are built with.
if((CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 11)
   OR (CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13))
  message(FATAL_ERROR " ${TQ_TOOLCHAIN_MINIMUM}; this is ${_tq_this}.")
endif()

# Then the library: each feature the sources use beyond the language, compiled as they use it. Compiling is
# enough (the declarations are what old libraries lack), and it also holds when cross-compiling.
block(SCOPE_FOR VARIABLES)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  set(CMAKE_REQUIRED_INCLUDES "${CMAKE_CURRENT_SOURCE_DIR}/core/src" "${CMAKE_CURRENT_SOURCE_DIR}/src")
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles([=[
    #include <charconv>
    #include <cstddef>
    // Shortest round-trip text of a double, and integer text both ways (text.cpp).
    std::size_t text(char* out, double x) {
        auto r = std::to_chars(out, out + 40, x, std::chars_format::scientific);
        int e = 0;
        std::from_chars(out, r.ptr, e);
        r = std::to_chars(r.ptr, out + 60, e);
        return static_cast<std::size_t>(r.ptr - out);
    }
  ]=] TQ_HAS_TO_CHARS_DOUBLE)
  check_cxx_source_compiles([=[
    #include "quantity.hpp"
    #include "reader_count.hpp"
    // The reader count (std::atomic_ref, or the builtins where the library lacks it) and the exponent compare.
    bool read(std::size_t& readers, const tq::Dims& a) {
        tqpy::count_reader(readers);
        bool same = tq::units_compatible(a, a);
        tqpy::uncount_reader(readers);
        return same;
    }
  ]=] TQ_HAS_ATOMICS_AND_VECTORS)
endblock()

set(_tq_missing "")
if(NOT TQ_HAS_TO_CHARS_DOUBLE)
  list(APPEND _tq_missing "std::to_chars for double")
endif()
if(NOT TQ_HAS_ATOMICS_AND_VECTORS)
  list(APPEND _tq_missing "std::atomic_ref or the __atomic builtins, or vector extensions")
endif()
if(_tq_missing)
  list(JOIN _tq_missing " and " _tq_missing)
  message(FATAL_ERROR " ${TQ_TOOLCHAIN_MINIMUM}; this is ${_tq_this} with a library that lacks ${_tq_missing}.")
endif()
