# Debian roots (mk/debian_root.sh) that hold the interpreters this machine lacks.
#
#   make sid-root    Debian sid with CPython 3.14 and 3.15, their debug builds (python3.X-dbg), venv, headers,
#                    a C++ compiler and valgrind, in build/roots/sid

SID_ROOT     ?= build/roots/sid
SID_PACKAGES := python3.14 python3.14-venv python3.14-dev python3.14-dbg \
                python3.15 python3.15-venv python3.15-dev python3.15-dbg \
                build-essential git valgrind

.PHONY: sid-root

sid-root:
	bash mk/debian_root.sh make sid $(SID_ROOT) $(SID_PACKAGES)

# The CPython 3.13.5 sources (Debian trixie's python3.13 source package, checked by sha256) that the interpreters
# built here start from.
CPYTHON_SRC ?= build/cpython

.PHONY: cpython-src

cpython-src:
	bash mk/cpython_source.sh $(CPYTHON_SRC)
