# Everyday commands. Each creates the virtual environment it needs when it is missing.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
BUILD  := -Cbuild-dir=build/{wheel_tag}

.PHONY: tour test install clean help format

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

install: $(PY)
	$(PIP) install -q $(BUILD) ".[test]"

tour: $(PY)
	$(PIP) install -q $(BUILD) .
	$(PY) examples/tour.py

test: install
	$(PY) -m pytest -q

clean:
	rm -rf build dist wheelhouse $(VENV)

# Every check is run by one driver, dev/run.py (Python 3.11 or newer); `make help` lists them with what each proves
# and needs. Checks run in parallel, J at once (by default the machine's cores): make same-bits J=1. Settings pass as
# make variables: make fuzz SECONDS=600.
CHECKS := $(shell $(PYTHON) dev/run.py names 2>/dev/null)
.PHONY: $(CHECKS)

help:
	@$(PYTHON) dev/run.py help

format:  # ruff format and clang-format over the tree, as `make lint` checks them
	@$(PYTHON) dev/run.py --format

$(CHECKS):
	@$(PYTHON) dev/run.py $@
