# Mutation check of the test suite: each fault listed in mutation/mutate.py is planted alone in a linked worktree
# (build/mutate/tree, with its own venv), the module built there and the whole suite run against it. The table
# of caught and missed faults goes to build/mutate/report.md; the run fails when the suite misses one. This
# checkout is never changed. About half a minute per fault.
#
#   make mutate                              every fault
#   make mutate MUTATE_ARGS="index-leak"     named faults only

MUTATE_ARGS ?=

.PHONY: mutate

mutate:
	$(PYTHON) mutation/mutate.py $(MUTATE_ARGS)
