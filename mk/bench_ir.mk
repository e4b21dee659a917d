# Instruction counts per operation (callgrind), checked against bench/ir-baseline.json as committed at HEAD: any
# row more than 5% above its baseline fails. The counts belong to one interpreter and one compiler (the .venv's
# CPython and the compiler that built the module there); a run on others is refused, not compared.
#   make bench-ir            count, write bench/results/ir.md and ir.json, compare
#   make bench-ir-baseline   count and rewrite the baseline; commit it with the reason in the commit message
BENCH_IR_ARGS ?=

.PHONY: bench-ir bench-ir-baseline bench-ir-module

bench-ir-module: $(PY)
	@command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind; }
	$(PIP) install -q $(BUILD) .

bench-ir: bench-ir-module
	$(PY) mk/bench_ir.py $(BENCH_IR_ARGS)

bench-ir-baseline: bench-ir-module
	$(PY) mk/bench_ir.py --update $(BENCH_IR_ARGS)
