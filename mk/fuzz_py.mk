# The Python surface fuzzed: atheris drives the extension built with ASan + UBSan and libFuzzer's coverage
# instrumentation, so the fuzzer steers by the extension's and the core's own edges.
#
#   make fuzz-py SECONDS=600     fuzz/fuzz_py.py for SECONDS in one process; seeds from fuzz/py-corpus, new inputs
#                                kept in build/fuzz-py/corpus; a failing input is written to build/fuzz-py/ and ends
#                                the run (replay it with FUZZ_PY_ARGS=<file>, FUZZ_PY_TRACE=1 prints each call)
#   make fuzz-py-smoke           the same for FUZZ_PY_SMOKE_SECONDS (60 s), for CI
#   make fuzz-py-merge           build/fuzz-py/corpus and fuzz/py-corpus minimised into build/fuzz-py/merged, the
#                                candidate for the kept corpus: the fewest inputs that reach every edge reached
#                                (a set-cover merge on edges alone, without hit counts or comparison features)
#
# The extension is built with clang by scikit-build-core into its own venv, linked against no sanitizer runtime:
# atheris's asan_with_fuzzer.so (ASan with UBSan's handlers and libFuzzer in one library) is loaded with
# LD_PRELOAD, so the interpreter, atheris and the extension share one runtime. UBSan's function and vptr checks
# are left out: their handlers live in the C++ UBSan runtime, which that library does not hold.

FUZZ_PY_CXX      ?= clang++
FUZZ_PY_DIR      := build/fuzz-py
FUZZ_PY_VENV     := $(FUZZ_PY_DIR)/venv
FUZZ_PY_PY       := $(FUZZ_PY_VENV)/bin/python
FUZZ_PY_PINS     := atheris==2.3.0 scikit-build-core==1.1.2 numpy==2.4.6
FUZZ_PY_SAN      := -fsanitize=address,undefined,float-cast-overflow,fuzzer-no-link -fno-sanitize=vptr,function \
                    -fno-sanitize-recover=all -fno-omit-frame-pointer
FUZZ_PY_SMOKE_SECONDS ?= 60
FUZZ_PY_ARGS     ?=
# libFuzzer runs the target again as a command for a merge, so fuzz/fuzz_py.py is executable and finds the venv's
# python on PATH.
FUZZ_PY_ENV       = PATH=$(abspath $(FUZZ_PY_VENV))/bin:$$PATH LD_PRELOAD=$$($(FUZZ_PY_PY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \
                    PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:strict_string_checks=1 \
                    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FUZZ_PY_RUN       = $(FUZZ_PY_ENV) $(FUZZ_PY_PY) fuzz/fuzz_py.py -timeout=20 -rss_limit_mb=4096 -max_len=1024 \
                    -print_final_stats=1

.PHONY: fuzz-py fuzz-py-smoke fuzz-py-build fuzz-py-merge

fuzz-py-build:
	@command -v $(FUZZ_PY_CXX) >/dev/null 2>&1 || { \
	  echo "fuzz-py: installing clang"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null; }
	test -x $(FUZZ_PY_PY) || $(PYTHON) -m venv $(FUZZ_PY_VENV)
	$(FUZZ_PY_PY) -m pip install -q --upgrade pip
	$(FUZZ_PY_PY) -m pip install -q $(FUZZ_PY_PINS)
	$(FUZZ_PY_PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	  -Cbuild-dir=$(FUZZ_PY_DIR)/cmake -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.CMAKE_CXX_COMPILER=$(FUZZ_PY_CXX) \
	  "-Ccmake.define.CMAKE_CXX_FLAGS=$(FUZZ_PY_SAN)" .
	@so=$$(find $(FUZZ_PY_VENV) -name 'tq_pyo3*.so' | head -n 1); \
	  nm -D "$$so" | grep -q __sanitizer_cov_8bit_counters_init && nm -D "$$so" | grep -q __asan_init || { \
	    echo "fuzz-py: $$so is not instrumented"; exit 1; }; \
	  echo "fuzz-py: $$so carries ASan, UBSan and coverage instrumentation"

fuzz-py: fuzz-py-build
	mkdir -p $(FUZZ_PY_DIR)/corpus fuzz/py-corpus
	$(FUZZ_PY_RUN) -max_total_time=$(SECONDS) -artifact_prefix=$(FUZZ_PY_DIR)/ $(FUZZ_PY_ARGS) \
	  $(FUZZ_PY_DIR)/corpus fuzz/py-corpus

fuzz-py-smoke:
	$(MAKE) --no-print-directory fuzz-py SECONDS=$(FUZZ_PY_SMOKE_SECONDS)

fuzz-py-merge: fuzz-py-build
	rm -rf $(FUZZ_PY_DIR)/merged && mkdir -p $(FUZZ_PY_DIR)/merged
	$(FUZZ_PY_RUN) -set_cover_merge=1 -use_counters=0 -use_cmp=0 $(FUZZ_PY_DIR)/merged fuzz/py-corpus $(FUZZ_PY_DIR)/corpus
	@echo "fuzz-py: $$(ls $(FUZZ_PY_DIR)/merged | wc -l) inputs in $(FUZZ_PY_DIR)/merged"
