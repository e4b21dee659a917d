# Trust: sanitizers, fuzzing and the one abi3 wheel proven on every Python from 3.8 up.
#
#   make sanitize             the extension and core built with ASan + UBSan (GCC), the whole test suite run
#                             against that build; any sanitizer report fails the run
#   make fuzz SECONDS=300     libFuzzer (clang, ASan + UBSan) on the core for SECONDS; clang is installed with
#                             apt-get when it is missing. New inputs are kept in build/fuzz/corpus; a failing one is
#                             written to build/fuzz/ and ends the run
#   make fuzz-smoke           the same for FUZZ_SMOKE_SECONDS (45 s), for CI
#   make abi3                 the portable wheels of `make wheels` (built when missing) checked by abi3audit, and
#                             the x86-64 one installed with its test extras into a fresh venv of every CPython
#                             >= 3.8 on the machine and tested with the whole suite in each; then the same under
#                             Debian sid's CPython 3.14 and 3.15 and their debug builds (make abi3-sid)
#
# Everything lands under build/ (ignored by git); the targets never touch .venv. The sanitized suite runs with
# --capture=sys, so a report written by the runtime to file descriptor 2 reaches the log even when it ends the
# process in the middle of a test.

SAN_CXX      ?= g++
SAN_DIR      := build/sanitize
SAN_VENV     := $(SAN_DIR)/venv
SAN_PY       := $(SAN_VENV)/bin/python
# GCC's -fsanitize=undefined leaves float-cast-overflow out, so it is named; float-divide-by-zero stays off,
# since IEEE division by zero is part of the arithmetic.
SAN_FLAGS    := -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer
SAN_LDFLAGS  := -fsanitize=address,undefined
SAN_PATTERN  := ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer|UndefinedBehaviorSanitizer

FUZZ_CXX     ?= clang++
FUZZ_DIR     := build/fuzz
FUZZ_BIN     := $(FUZZ_DIR)/fuzz_core
FUZZ_SAN     := -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all
FUZZ_WARN    := -std=c++20 -g -O2 -Wall -Wextra -Werror
SECONDS      ?= 300
FUZZ_SMOKE_SECONDS ?= 45
FUZZ_ARGS    ?=

ABI3_DIR     := build/abi3

.PHONY: sanitize fuzz fuzz-smoke fuzz-build abi3

# ---- sanitizers ------------------------------------------------------------------------------------------------

sanitize:
	test -x $(SAN_PY) || $(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q --upgrade pip
	$(SAN_PY) -m pip install -q scikit-build-core pytest hypothesis numpy
	$(SAN_PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall \
	  -Cbuild-dir=$(SAN_DIR)/cmake -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.CMAKE_CXX_COMPILER=$(SAN_CXX) \
	  "-Ccmake.define.CMAKE_CXX_FLAGS=$(SAN_FLAGS)" \
	  "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=$(SAN_LDFLAGS)" .
	@so=$$(find $(SAN_VENV) -name 'tq_pyo3*.so' | head -n 1); \
	  ldd "$$so" | grep -q libasan || { echo "sanitize: $$so is not instrumented"; exit 1; }; \
	  echo "sanitize: $$so links $$(ldd "$$so" | awk '/san/ {print $$1}' | tr '\n' ' ')"
	@asan=$$($(SAN_CXX) -print-file-name=libasan.so); ubsan=$$($(SAN_CXX) -print-file-name=libubsan.so); \
	  echo "sanitize: LD_PRELOAD=$$asan $$ubsan"; \
	  LD_PRELOAD="$$asan $$ubsan" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:strict_string_checks=1:check_initialization_order=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(SAN_PY) -m pytest -q -p no:cacheprovider --capture=sys > $(SAN_DIR)/pytest.log 2>&1; status=$$?; \
	  cat $(SAN_DIR)/pytest.log; \
	  reports=$$(grep -cE '$(SAN_PATTERN)' $(SAN_DIR)/pytest.log); \
	  echo "sanitize: pytest exit $$status, sanitizer reports: $$reports"; \
	  test $$status -eq 0 && test $$reports -eq 0

# ---- fuzzing ---------------------------------------------------------------------------------------------------

# Coverage is taken from the core only; the target and its model of the grammar are checked by the sanitizers
# but do not steer the fuzzer.
fuzz-build:
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || { \
	  echo "fuzz: installing clang"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null; }
	mkdir -p $(FUZZ_DIR)/obj $(FUZZ_DIR)/corpus
	for f in core/src/*.cpp; do \
	  $(FUZZ_CXX) $(FUZZ_WARN) $(FUZZ_SAN) -fsanitize=fuzzer-no-link -Icore/src -c $$f \
	    -o $(FUZZ_DIR)/obj/core-$$(basename $$f .cpp).o || exit 1; \
	done
	$(FUZZ_CXX) $(FUZZ_WARN) $(FUZZ_SAN) -Icore/src -c fuzz/fuzz_core.cpp -o $(FUZZ_DIR)/obj/fuzz_core.o
	$(FUZZ_CXX) $(FUZZ_SAN) -fsanitize=fuzzer $(FUZZ_DIR)/obj/*.o -o $(FUZZ_BIN)

fuzz: fuzz-build
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
	$(FUZZ_BIN) -max_total_time=$(SECONDS) -timeout=10 -rss_limit_mb=4096 -max_len=4096 \
	  -dict=fuzz/units.dict -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/ $(FUZZ_ARGS) \
	  $(FUZZ_DIR)/corpus fuzz/corpus

fuzz-smoke:
	$(MAKE) --no-print-directory fuzz SECONDS=$(FUZZ_SMOKE_SECONDS)

# ---- the stable ABI --------------------------------------------------------------------------------------------

# The wheels are the portable ones of `make wheels` (mk/wheels.mk), built first when missing: abi3audit on both,
# the suite on the x86-64 one.
abi3: wheels-present
	rm -rf $(ABI3_DIR)/venvs
	$(WHEELS_TOOLS)/bin/abi3audit --strict --verbose --summary $(WHEEL_X86_64) $(WHEEL_AARCH64)
	bash mk/abi3_matrix.sh $(WHEEL_X86_64) $(ABI3_DIR)/venvs
	$(MAKE) --no-print-directory abi3-sid
