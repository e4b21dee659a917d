# The one writer of tq-libm-functions.h: a line TQ_LIBM_UNARY(name) or TQ_LIBM_BINARY(name) for each function of
# libm-functions.txt beside this file, written into TQ_LIBM_HEADER_DIR (rewritten only when it changes); the names
# are left in TQ_LIBM_FUNCTIONS. Included by CMakeLists.txt for the musl wheels, and run as a script
# (cmake -DTQ_LIBM_HEADER_DIR=... -P cmake/libm-functions.cmake) by dev/musl_cross.py for the musl interpreters.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/libm-functions.txt" _libm_lines REGEX "^[a-z0-9]+")
set(_list "/* Written by cmake/libm-functions.cmake from cmake/libm-functions.txt */\n")
set(TQ_LIBM_FUNCTIONS "")
foreach(_line IN LISTS _libm_lines)
  string(REGEX MATCH "^[a-z0-9]+" _function "${_line}")
  list(APPEND TQ_LIBM_FUNCTIONS "${_function}")
  if(_line MATCHES "^[^#]*[ \t]binary([ \t#]|$)")
    string(APPEND _list "TQ_LIBM_BINARY(${_function})\n")
  else()
    string(APPEND _list "TQ_LIBM_UNARY(${_function})\n")
  endif()
endforeach()
file(WRITE "${TQ_LIBM_HEADER_DIR}/tq-libm-functions.h.new" "${_list}")
file(COPY_FILE "${TQ_LIBM_HEADER_DIR}/tq-libm-functions.h.new" "${TQ_LIBM_HEADER_DIR}/tq-libm-functions.h"
  ONLY_IF_DIFFERENT)
