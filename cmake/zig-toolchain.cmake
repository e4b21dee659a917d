# Cross toolchain for the portable Linux wheels: zig's clang, its libc++ linked in, and glibc stubs of an old
# version, so one build runs on every glibc from that version on; or musl's, for the musllinux wheel.
# Used only by `make wheels`:
#
#   -Ccmake.define.CMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#   -Ccmake.define.ZIG_TARGET=aarch64-linux-gnu.2.17      (or x86_64-linux-gnu.2.17, x86_64-linux-musl)
#   -Ccmake.define.ZIG_EXECUTABLE=/path/to/zig             (default: `zig` on PATH, else the ziglang package)
#   -Ccmake.define.ZIG_LIBM_VERSIONS=sin=GLIBC_2.17;...    (glibc: each libm function's symbol version)
#   -Ccmake.define.ZIG_FLAGS=-mcpu=baseline                (the target's code generation)
#   -Ccmake.define.ZIG_LIBGCC_S=/path/to/libgcc_s.so.1     (glibc: the target's unwinder, linked against)
#   -Ccmake.define.ZIG_MUSL_LIBC=libc.musl-armv7.so.1      (musl: the C library's name on musl systems)
#   -Ccmake.define.ZIG_LIBM_BY_NAME=ON                     (musl: libm functions looked up by name, CMakeLists.txt)
#
# The values for each platform come from its row in dev/platforms.py (`make wheels`).
#
# CMake reads this file again for every try_compile project; the two settings reach those through
# CMAKE_TRY_COMPILE_PLATFORM_VARIABLES.

set(ZIG_TARGET "" CACHE STRING "zig target triple, with the glibc version for glibc: x86_64-linux-gnu.2.17")
set(ZIG_EXECUTABLE "" CACHE FILEPATH "the zig compiler")
set(ZIG_LIBM_VERSIONS "" CACHE STRING "glibc targets: function=symbol version for each of cmake/libm-functions.txt")
set(ZIG_FLAGS "-mcpu=baseline" CACHE STRING "code generation flags of the target")
set(ZIG_LIBGCC_S "" CACHE FILEPATH "glibc targets: the target's libgcc_s.so.1, whose unwinder the module uses")
set(ZIG_MUSL_LIBC "" CACHE STRING "musl targets: the C library's name there (default libc.musl-<arch>.so.1)")
set(ZIG_LIBM_BY_NAME OFF CACHE BOOL "musl targets where zig's runtime defines libm functions: each looked up by name")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_TARGET ZIG_EXECUTABLE ZIG_LIBM_VERSIONS ZIG_FLAGS ZIG_LIBGCC_S)

if(NOT ZIG_TARGET)
  message(FATAL_ERROR "zig toolchain: set ZIG_TARGET, e.g. -DZIG_TARGET=x86_64-linux-gnu.2.17")
endif()
if(NOT ZIG_EXECUTABLE)
  find_program(_zig zig)
  if(_zig)
    set(ZIG_EXECUTABLE "${_zig}" CACHE FILEPATH "the zig compiler" FORCE)
  else()
    find_program(_python NAMES python3 python REQUIRED)
    execute_process(
      COMMAND "${_python}" -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
      OUTPUT_VARIABLE _zig OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
      message(FATAL_ERROR "zig toolchain: no zig on PATH and no ziglang package for ${_python}")
    endif()
    set(ZIG_EXECUTABLE "${_zig}" CACHE FILEPATH "the zig compiler" FORCE)
  endif()
endif()

string(REGEX MATCH "^[^-]+" _arch "${ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${_arch}")

# `zig c++` is one program with a subcommand; CMake takes a compiler given as a list of the program and its
# mandatory arguments. --target reaches every compile and link line through CMAKE_CXX_COMPILER_TARGET.
set(CMAKE_CXX_COMPILER "${ZIG_EXECUTABLE}" c++)
set(CMAKE_CXX_COMPILER_TARGET "${ZIG_TARGET}")
# The baseline instruction set of the architecture (x86-64 v1, armv8-a; for i686, SSE2, so doubles are rounded once,
# as IEEE arithmetic asks, and not twice through the x87 unit's wider registers). zig compiles for the build
# machine's own CPU (AVX2, FMA, ... here) when it is given no target, and for the baseline when it is given one; the
# flags say so outright, so no extension of the build machine can reach code meant for every machine.
set(CMAKE_CXX_FLAGS_INIT "${ZIG_FLAGS}")

# glibc targets: zig links its own runtime library (compiler-rt) into the module, for the quad-precision helpers
# of long double on some architectures, and that library defines sin, cos, log and others too. A definition inside
# the module wins over the shared C library's at link time, so the module would compute with zig's versions, which
# differ from glibc's in the last bit. A .symver directive for each function of cmake/libm-functions.txt turns every
# call into a reference to that versioned symbol, which only the shared libm can satisfy: the functions are imported
# from the system's C library on every architecture, as in a build with the system compiler. The version is the one
# the function has had since the architecture's first glibc (dev/platforms.py). musl has no symbol versions and
# keeps libm inside libc.so; on x86-64 zig links no definition of those functions for it, so they stay plain
# imports; where it does (aarch64, armv7), the module looks each up in the C library by name (ZIG_LIBM_BY_NAME,
# CMakeLists.txt). dev/probes/wheel_elf.py checks each way.
if(ZIG_TARGET MATCHES "-gnu")
  if(NOT EXISTS "${ZIG_LIBGCC_S}")
    message(FATAL_ERROR "zig toolchain: set ZIG_LIBGCC_S to the target's libgcc_s.so.1 (see CMakeLists.txt)")
  endif()
  file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/libm-functions.txt" _libm_lines REGEX "^[a-z0-9]+")
  set(_imports "/* Written by cmake/zig-toolchain.cmake for ${ZIG_TARGET} from cmake/libm-functions.txt */\n")
  foreach(_line IN LISTS _libm_lines)
    string(REGEX MATCH "^[a-z0-9]+" _function "${_line}")
    string(REGEX MATCH "(^|;)${_function}=([A-Z0-9_.]+)" _found "${ZIG_LIBM_VERSIONS}")
    if(NOT _found)
      message(FATAL_ERROR "zig toolchain: ZIG_LIBM_VERSIONS names no version for ${_function}")
    endif()
    string(APPEND _imports "__asm__(\".symver ${_function},${_function}@${CMAKE_MATCH_2}\");\n")
  endforeach()
  set(_header "${CMAKE_BINARY_DIR}/tq-libm-imports.h")
  file(WRITE "${_header}.new" "${_imports}")
  file(COPY_FILE "${_header}.new" "${_header}" ONLY_IF_DIFFERENT)
  string(APPEND CMAKE_CXX_FLAGS_INIT " -include ${_header}")
endif()

# Two CMake features that assume a plain clang toolchain stay off: linker dependency files (CMake cannot identify
# the linker behind `zig c++`) and the scan of C++20 sources for modules, which needs clang-scan-deps, which zig
# does not ship. Neither is on for this project today (policy CMP0155 is OLD under its cmake_minimum_required),
# so this keeps a later policy bump from breaking only the portable build.
set(CMAKE_LINK_DEPENDS_USE_LINKER OFF)
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)

# Nothing of the build machine is searched for libraries or headers; only programs come from it. The Python headers
# are the ones scikit-build-core names (Python_INCLUDE_DIR, the interpreter running the build); no libpython is
# linked, as for every extension module on Linux. For aarch64 these are the x86-64 headers: the limited API's
# structures depend only on the sizes and alignments in pyconfig.h, which are the same on both (LP64, 16-byte
# long double and max_align_t); Debian's two pyconfig.h for 3.11 differ only in HAVE_GCC_ASM_FOR_X64/X87 (used
# by the interpreter's own float code), HAVE_USABLE_WCHAR_T (whether unicodeobject.h includes <wchar.h>, which
# it does anyway through HAVE_WCHAR_H) and PY_SUPPORT_TIER.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
