# ThreadSanitizer on free-threaded CPython: the module's parallel and thread tests with the GIL off, every memory
# access of the interpreter and of the module watched for data races.
#
#   make tsan-python   CPython 3.13.5 configured with --disable-gil --with-thread-sanitizer by clang 16, from the
#                      checked sources (make cpython-src), built out of tree in build/tsan-python/build and
#                      installed to build/tsan-python/prefix (no --enable-optimizations; kept and reused), then a
#                      venv of it, build/tsan-venv, with the test tools
#   make tsan          the module built from this tree with -fsanitize=thread by the same clang into that venv, then
#                      TSAN_TESTS run with PYTHON_GIL=0; fails on any report TSan makes (TSAN_LOG holds them).
#                      The interpreter's own known races are silenced by mk/tsan.supp only, each with its reason.
#   make tsan TSAN_PLANT=plain-reader-count    the same with a race planted: the reader count of
#                      src/reader_count.hpp made a plain integer, in a patched copy of the tree (mk/tsan-plant/), so
#                      the run must fail; proves that the run catches a race in the module's code
#
# Needs root for apt-get (clang-16, its sanitizer runtimes, and the headers the interpreter's ssl, zlib and ctypes
# modules need), like the other interpreters built here.

TSAN_CC      ?= clang-16
TSAN_CXX     ?= clang++-16
TSAN_APT     := clang-16 libclang-rt-16-dev make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev
TSAN_VERSION := 3.13.5
TSAN_DIR     := build/tsan-python
TSAN_PREFIX  := $(TSAN_DIR)/prefix
TSAN_PYTHON  := $(TSAN_PREFIX)/bin/python3.13t
TSAN_VENV    := build/tsan-venv
TSAN_PY      := $(TSAN_VENV)/bin/python
# The tests' tools (hypothesis as a wheel: its newest release for 3.13t is an sdist that needs Rust), and the build
# backend, so the module builds without an isolated environment of its own (pip is slow under TSan).
TSAN_TOOLS   := "pytest>=7,<10" "hypothesis>=6,<7" "scikit-build-core>=0.10" "cmake>=3.26" ninja
TSAN_TESTS   ?= tests/test_threads.py
TSAN_PLANT   ?=
TSAN_OUT     := build/tsan
TSAN_TREE    := $(if $(TSAN_PLANT),$(TSAN_OUT)/plant-$(TSAN_PLANT),.)
TSAN_LOG     := $(TSAN_OUT)/reports
TSAN_FLAGS   := -fsanitize=thread -fno-omit-frame-pointer -g
# Every report is written to TSAN_LOG/report.<pid> (the tests start interpreters of their own too); the process
# ends with status 66 when it made one.
TSAN_RUN     := PYTHON_GIL=0 TSAN_OPTIONS="suppressions=$(abspath mk/tsan.supp) halt_on_error=0 exitcode=66 \
                log_path=$(abspath $(TSAN_LOG))/report second_deadlock_stack=1"
# Setting up (pip, venv) runs under TSan too; its reports there are the interpreter's and pip's business.
TSAN_QUIET   := TSAN_OPTIONS=report_bugs=0

.PHONY: tsan-python tsan

$(TSAN_PYTHON):
	@missing=$$(for p in $(TSAN_APT); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi
	bash mk/cpython_source.sh $(CPYTHON_SRC)
	rm -rf $(TSAN_DIR)/build $(TSAN_PREFIX)
	mkdir -p $(TSAN_DIR)/build
	@start=$$(date +%s); \
	cd $(TSAN_DIR)/build && CC=$(TSAN_CC) CXX=$(TSAN_CXX) $(abspath $(CPYTHON_SRC))/Python-$(TSAN_VERSION)/configure -q \
	  --disable-gil --with-thread-sanitizer --prefix=$(abspath $(TSAN_PREFIX)) --without-ensurepip > ../configure.log && \
	cd $(CURDIR) && \
	{ $(MAKE) -C $(TSAN_DIR)/build -j2 -s > $(TSAN_DIR)/make.log 2>&1 || { tail -n 40 $(TSAN_DIR)/make.log; exit 1; }; } && \
	{ $(MAKE) -C $(TSAN_DIR)/build -s install > $(TSAN_DIR)/install.log 2>&1 || { tail -n 40 $(TSAN_DIR)/install.log; exit 1; }; } && \
	echo "tsan-python: built in $$(( $$(date +%s) - start )) s"
	$(TSAN_QUIET) $@ -c 'import sys, sysconfig, ssl, zlib, ctypes; \
	  assert sysconfig.get_config_var("Py_GIL_DISABLED"); assert "-fsanitize=thread" in sysconfig.get_config_var("CONFIG_ARGS") + sysconfig.get_config_var("LDFLAGS"); print(sys.version)'

$(TSAN_PY): $(TSAN_PYTHON)
	rm -rf $(TSAN_VENV)
	$(TSAN_QUIET) $(TSAN_PYTHON) -m venv $(TSAN_VENV)
	$(TSAN_QUIET) $(TSAN_PY) -m pip install -q --disable-pip-version-check --only-binary=:all: $(TSAN_TOOLS)

tsan-python: $(TSAN_PY)

tsan: $(TSAN_PY)
	rm -rf $(TSAN_LOG)
	mkdir -p $(TSAN_LOG)
	$(if $(TSAN_PLANT),$(PYTHON) mk/tsan_plant.py $(TSAN_PLANT) $(TSAN_TREE))
	$(TSAN_QUIET) $(TSAN_PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
	  --force-reinstall -Cbuild-dir=$(abspath $(TSAN_OUT))/cmake-$(or $(TSAN_PLANT),tree) \
	  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.CMAKE_CXX_COMPILER=$(TSAN_CXX) \
	  "-Ccmake.define.CMAKE_CXX_FLAGS=$(TSAN_FLAGS)" $(TSAN_TREE)
	@so=$$(find $(TSAN_VENV) -name 'tq_pyo3*.so' | head -n 1); \
	  nm -D "$$so" | grep -q __tsan_func_entry || { echo "tsan: $$so is not instrumented"; exit 1; }; \
	  echo "tsan: $$so carries ThreadSanitizer's instrumentation"
	@$(TSAN_RUN) $(TSAN_PY) -m pytest -q -p no:cacheprovider $(TSAN_TESTS); status=$$?; \
	  reports=$$(cat $(TSAN_LOG)/report.* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer'); \
	  ours=$$(cat $(TSAN_LOG)/report.* 2>/dev/null | grep -c 'tq_pyo3'); \
	  if [ "$$reports" != 0 ]; then grep -h -A 24 '^WARNING: ThreadSanitizer' $(TSAN_LOG)/report.* | head -n 80; fi; \
	  echo "tsan: $$reports reports ($$ours stack lines in tq_pyo3), tests exited with $$status; all in $(TSAN_LOG)"; \
	  [ "$$status" = 0 ] && [ "$$reports" = 0 ]
