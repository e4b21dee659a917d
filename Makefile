# Everyday commands. Each creates the virtual environment it needs when it is missing.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
BUILD  := -Cbuild-dir=build/{wheel_tag}

.PHONY: tour test install clean

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
	rm -rf build dist $(VENV)

# Further targets (sanitizers, fuzzing, packaging, benchmarks) live in mk/.
-include mk/*.mk
