# The musllinux wheel on a musl CPython built here.
#
#   make musl-python   CPython 3.13.5 built with Debian's musl-gcc from the checked sources (make cpython-src) into
#                      build/musl-python, with the test tools for it (mk/musl_python.sh); kept once built
#   make test-musl     the musllinux wheel from wheelhouse/ (made by `make wheels`) unpacked onto that Python's path,
#                      and the whole test suite run on it
#
# `make same-bits` (mk/aarch64.mk) runs its stream on this interpreter too.

WHEELHOUSE   ?= wheelhouse
CPYTHON_SRC  ?= build/cpython
MUSL_ROOT    := build/musl-python
MUSL_PY      := $(MUSL_ROOT)/bin/python3.13
MUSL_WHEEL   := $(MUSL_ROOT)/wheel
MUSL_WHL      = $(firstword $(wildcard $(WHEELHOUSE)/tq_pyo3-*-cp38-abi3-musllinux_1_2_x86_64.whl))

.PHONY: musl-python test-musl

musl-python: cpython-src
	bash mk/musl_python.sh $(MUSL_ROOT) $(CPYTHON_SRC)

musl_unpack = $(call unpack_wheel,$(MUSL_WHL),$(MUSL_WHEEL),musllinux)

test-musl: musl-python
	$(musl_unpack)
	TQ_MUSL_PATH=$(abspath $(MUSL_WHEEL)) $(MUSL_PY) -c 'import os, sys, tq_pyo3; \
	  assert tq_pyo3.__file__.startswith(os.environ["TQ_MUSL_PATH"]), tq_pyo3.__file__; \
	  print("test-musl:", sys.executable, tq_pyo3.__file__)'
	TQ_MUSL_PATH=$(abspath $(MUSL_WHEEL)) $(MUSL_PY) -m pytest -q -p no:cacheprovider --durations=10
