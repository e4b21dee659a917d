# Benchmarks: tq_pyo3 beside plain floats and the peer unit libraries (pint, astropy, unyt), each library timed
# in a process of its own; writes bench/results/results.md and bench/results/bench.png.
# The peers live only in this environment (the optional extra "bench"), never in the module's or the tests'.
# Then the threads table: bench/threads.py on the free-threaded interpreter of `make ft-python` (built on first use,
# about 7 minutes), the module installed there from this tree; writes bench/results/threads.md.
#
#   make bench-threads     the threads table alone
BENCH_VENV  ?= .venv-bench
BENCH_PY    := $(BENCH_VENV)/bin/python
BENCH_PEERS := pint astropy unyt
BENCH_ARGS  ?=
BENCH_THREADS_ARGS ?=

.PHONY: bench bench-threads

$(BENCH_PY):
	$(PYTHON) -m venv $(BENCH_VENV)
	echo '*' > $(BENCH_VENV)/.gitignore
	$(BENCH_PY) -m pip install -q --upgrade pip

# When the extra cannot be installed whole, each peer is tried alone; one that fails is skipped, and the
# benchmark names it in its output.
bench: $(BENCH_PY)
	$(BENCH_PY) -m pip install -q $(BUILD) ".[bench]" || { \
	  $(BENCH_PY) -m pip install -q $(BUILD) . && \
	  for pkg in matplotlib $(BENCH_PEERS); do \
	    $(BENCH_PY) -m pip install -q $$pkg || echo "bench: $$pkg did not install; it is skipped"; \
	  done; }
	$(BENCH_PY) bench/run.py $(BENCH_ARGS)
	$(MAKE) --no-print-directory bench-threads

# The GIL is left as the import leaves it: the script refuses to run when it is on. (FT_PY is set in
# mk/freethreaded.mk, read after this file, hence the interpreter is made from the recipe.)
bench-threads:
	$(MAKE) --no-print-directory ft-python
	$(FT_PY) -m pip install -q --disable-pip-version-check --force-reinstall --no-deps -Cbuild-dir=build/{wheel_tag} .
	$(FT_PY) bench/threads.py $(BENCH_THREADS_ARGS)
