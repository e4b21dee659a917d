# The newest CPython releases and their debug builds, from the Debian sid root of mk/roots.mk (SID_ROOT), with this
# checkout bound into the root at /src.
#
#   make abi3-sid   the x86-64 portable wheel (built when missing) with its test extras, and the whole suite, under
#                   sid's CPython 3.14 and 3.15 and their debug builds python3.14-dbg and python3.15-dbg
#                   (mk/abi3_matrix.sh); `make abi3` runs it after the interpreters of this machine
#   make ledger     the reference-count ledger (mk/refledger.py) under python3.14-dbg and python3.15-dbg, each on
#                   the module built from source against that interpreter's own headers (mk/ledger.sh)
#   make ledger LEDGER_PATCH=mk/ledger-leak.patch
#                   the same with a patch applied to the copy of the sources that is built: this one drops a
#                   Py_DECREF on an error path, and the ledger must fail and name the calls that leak

ABI3_SID_PYTHONS ?= python3.14 python3.15 python3.14-dbg python3.15-dbg
LEDGER_PYTHONS   ?= python3.14-dbg python3.15-dbg
LEDGER_DIR       := build/ledger
LEDGER_PATCH     ?=
IN_SID            = bash mk/debian_root.sh run $(SID_ROOT) -b $(CURDIR):/src --

.PHONY: abi3-sid ledger

abi3-sid: wheels-present sid-root
	rm -rf $(ABI3_DIR)/sid-venvs
	$(IN_SID) bash /src/mk/abi3_matrix.sh /src/$(WHEEL_X86_64) /src/$(ABI3_DIR)/sid-venvs $(ABI3_SID_PYTHONS)

# The sources are copied (and patched, when asked) under build/, so a planted fault never touches the checkout.
ledger: sid-root
	rm -rf $(LEDGER_DIR)/src
	mkdir -p $(LEDGER_DIR)/src
	cp -r CMakeLists.txt LICENSE README.md pyproject.toml cmake core src tq_pyo3-stubs $(LEDGER_DIR)/src/
	$(if $(LEDGER_PATCH),patch -d $(LEDGER_DIR)/src -p1 < $(LEDGER_PATCH))
	$(IN_SID) bash /src/mk/ledger.sh /src/$(LEDGER_DIR)/src /src/$(LEDGER_DIR) $(LEDGER_PYTHONS)
