# The aarch64 wheel under emulation, and the same bits from every build.
#
#   make arm64-python     Debian's arm64 CPython 3.11 in build/arm64, run by qemu-aarch64-static (user mode, no
#                         binfmt), with the test tools for it (mk/arm64_python.sh)
#   make test-aarch64     the aarch64 wheel from wheelhouse/ (made by `make wheels`) unpacked onto that Python's
#                         path, and the whole test suite run on it under emulation
#   make same-bits        one seeded stream of SAME_BITS_OPS random operations (mk/same_bits.py) run on the GCC
#                         build in .venv, on the portable x86-64 wheel, on the aarch64 wheel under emulation and on
#                         the musllinux wheel under the musl CPython (mk/musl.mk); the outputs are compared byte
#                         for byte. It fails on any difference that is neither a C library
#                         answering differently for the same input (each one is listed) nor a NaN's bit pattern
#
# Everything lands under build/ (ignored by git).

WHEELHOUSE     ?= wheelhouse
ARM64_ROOT     := build/arm64
ARM64_PY       := $(ARM64_ROOT)/bin/python3.11
ARM64_WHEEL    := $(ARM64_ROOT)/wheel
ARM64_WHL       = $(firstword $(wildcard $(WHEELHOUSE)/tq_pyo3-*-cp38-abi3-*aarch64*.whl))
X86_64_WHL      = $(firstword $(wildcard $(WHEELHOUSE)/tq_pyo3-*-cp38-abi3-manylinux*x86_64*.whl))
SAME_BITS_DIR  := build/same-bits
SAME_BITS_OPS  ?= 100000
SAME_BITS_SEED ?= 20261207

.PHONY: arm64-python test-aarch64 same-bits

arm64-python:
	bash mk/arm64_python.sh $(ARM64_ROOT)

# $(call unpack_wheel,WHEEL,DIR,KIND): the wheel is unzipped, as an installer would, into a folder that the
# interpreter's wrapper puts first on the path.
define unpack_wheel
	@test -n "$(1)" || { echo "$@: no $(3) wheel in $(WHEELHOUSE)/; run make wheels"; exit 1; }
	rm -rf $(2)
	mkdir -p $(2)
	cd $(2) && python3 -m zipfile -e $(abspath $(1)) .
endef
arm64_unpack = $(call unpack_wheel,$(ARM64_WHL),$(ARM64_WHEEL),aarch64)

test-aarch64: arm64-python
	$(arm64_unpack)
	TQ_ARM64_PATH=$(abspath $(ARM64_WHEEL)) $(ARM64_PY) -c 'import platform, tq_pyo3; \
	  print("test-aarch64:", platform.machine(), tq_pyo3.__file__)'
	TQ_ARM64_PATH=$(abspath $(ARM64_WHEEL)) $(ARM64_PY) -m pytest -q -p no:cacheprovider --durations=10

same-bits: install arm64-python musl-python
	@test -n "$(ARM64_WHL)" && test -n "$(X86_64_WHL)" && test -n "$(MUSL_WHL)" || { \
	  echo "same-bits: needs the three wheels in $(WHEELHOUSE)/; run make wheels"; exit 1; }
	$(arm64_unpack)
	$(musl_unpack)
	rm -rf $(SAME_BITS_DIR)/x86_64-venv
	$(PYTHON) -m venv $(SAME_BITS_DIR)/x86_64-venv
	$(SAME_BITS_DIR)/x86_64-venv/bin/python -m pip install -q --disable-pip-version-check --no-deps $(X86_64_WHL)
	$(PY) mk/same_bits.py run $(SAME_BITS_DIR)/gcc.txt --ops $(SAME_BITS_OPS) --seed $(SAME_BITS_SEED)
	$(SAME_BITS_DIR)/x86_64-venv/bin/python mk/same_bits.py run $(SAME_BITS_DIR)/x86_64.txt \
	  --ops $(SAME_BITS_OPS) --seed $(SAME_BITS_SEED)
	TQ_ARM64_PATH=$(abspath $(ARM64_WHEEL)) $(ARM64_PY) mk/same_bits.py run $(SAME_BITS_DIR)/aarch64.txt \
	  --ops $(SAME_BITS_OPS) --seed $(SAME_BITS_SEED)
	TQ_MUSL_PATH=$(abspath $(MUSL_WHEEL)) $(MUSL_PY) mk/same_bits.py run $(SAME_BITS_DIR)/musl-x86_64.txt \
	  --ops $(SAME_BITS_OPS) --seed $(SAME_BITS_SEED)
	$(PY) mk/same_bits.py compare $(SAME_BITS_DIR)/gcc.txt $(SAME_BITS_DIR)/x86_64.txt $(SAME_BITS_DIR)/aarch64.txt \
	  $(SAME_BITS_DIR)/musl-x86_64.txt
