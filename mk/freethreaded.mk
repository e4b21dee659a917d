# Free-threaded CPython (PEP 703): an interpreter without the GIL to build and test the module on.
#
#   make ft-python      CPython 3.13.5 configured with --disable-gil, from the checked sources (make cpython-src),
#                       built out of tree in build/ft-python/build and installed to build/ft-python/prefix (about
#                       7 minutes on two cores; kept and reused), then a venv of it, build/ft-venv, with the test
#                       extras, wheels only (hypothesis' newest release for 3.13t is an sdist that needs Rust)
#   make test-ft        the module built from this tree by `pip install .` on that interpreter (CMake sees the
#                       free-threaded interpreter and drops the stable ABI), then the whole suite with the GIL
#                       forced off (PYTHON_GIL=0) and warnings as errors; fails unless the import leaves the GIL off
#   make test-ft-wheel  the same suite on the cp313t wheel from wheelhouse/ (make wheels), in a venv of its own
#
# The build needs a C compiler, pkg-config and the headers of OpenSSL, zlib and libffi (ssl and zlib for pip and
# venv, ctypes for the tests); they are installed with apt-get when one is missing.

CPYTHON_SRC  ?= build/cpython
FT_VERSION   := 3.13.5
FT_DIR       := build/ft-python
FT_PREFIX    := $(FT_DIR)/prefix
FT_PYTHON    := $(FT_PREFIX)/bin/python3.13t
FT_VENV      := build/ft-venv
FT_PY        := $(FT_VENV)/bin/python
FT_WHEEL_VENV := build/ft-wheel-venv
FT_APT       := gcc make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev
# The test extra of pyproject.toml, as mk/compilers.mk reads it (CC_TEST_DEPS).
FT_DEPS      := $(FT_DIR)/test-deps.txt
# The import must leave the GIL off (the module declares it needs none) and warn about nothing.
FT_GIL_CHECK := -W error -c 'import sys, tq_pyo3; assert not sys._is_gil_enabled(), "the GIL is on"; \
  print("free-threaded:", sys.version.split()[0], sys.abiflags, "GIL off,", tq_pyo3.__file__)'

.PHONY: ft-python test-ft test-ft-wheel

$(FT_PYTHON):
	@missing=$$(for p in $(FT_APT); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi
	bash mk/cpython_source.sh $(CPYTHON_SRC)
	rm -rf $(FT_DIR)/build $(FT_PREFIX)
	mkdir -p $(FT_DIR)/build
	cd $(FT_DIR)/build && $(abspath $(CPYTHON_SRC))/Python-$(FT_VERSION)/configure -q --disable-gil \
	  --prefix=$(abspath $(FT_PREFIX)) --without-ensurepip > ../configure.log
	$(MAKE) -C $(FT_DIR)/build -j2 -s > $(FT_DIR)/make.log 2>&1 || { tail -n 40 $(FT_DIR)/make.log; exit 1; }
	$(MAKE) -C $(FT_DIR)/build -s install > $(FT_DIR)/install.log 2>&1 || { tail -n 40 $(FT_DIR)/install.log; exit 1; }
	$@ -c 'import sys, sysconfig, ssl, zlib, ctypes; assert sysconfig.get_config_var("Py_GIL_DISABLED"); print(sys.version)'

$(FT_PY): $(FT_PYTHON)
	rm -rf $(FT_VENV)
	$(FT_PYTHON) -m venv $(FT_VENV)
	$(CC_TEST_DEPS) > $(FT_DEPS)
	$(FT_PY) -m pip install -q --disable-pip-version-check --only-binary=:all: -r $(FT_DEPS)

ft-python: $(FT_PY)

test-ft: $(FT_PY)
	$(FT_PY) -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
	  -Cbuild-dir=build/{wheel_tag} .
	env -u PYTHON_GIL $(FT_PY) $(FT_GIL_CHECK)
	PYTHON_GIL=0 $(FT_PY) -m pytest -q -p no:cacheprovider

# The wheel is installed into a venv of its own, so the suite meets the wheel's module and not a source build.
test-ft-wheel: $(FT_PY) wheels-present
	rm -rf $(FT_WHEEL_VENV)
	$(FT_PYTHON) -m venv $(FT_WHEEL_VENV)
	$(FT_WHEEL_VENV)/bin/python -m pip install -q --disable-pip-version-check --only-binary=:all: \
	  "$(WHEEL_FT)[test]"
	env -u PYTHON_GIL $(FT_WHEEL_VENV)/bin/python $(FT_GIL_CHECK)
	PYTHON_GIL=0 $(FT_WHEEL_VENV)/bin/python -m pytest -q -p no:cacheprovider
