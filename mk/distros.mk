# The README's two commands on each Debian release, with that release's python3 and compiler (mk/distros.sh):
#
#   make distros    Debian 11 bullseye, 12 bookworm, 13 trixie and sid roots in build/distros (made once, then
#                   reused); in each a fresh clone of the committed HEAD, `make tour` and `make test` as a new user.
#                   bullseye's g++ 10 must be refused at once, then its old-compiler route must pass.
#                   DISTROS=... picks suites. Summary in build/distros/summary.txt.

DISTROS_DIR ?= build/distros
DISTROS     ?= bullseye bookworm trixie sid

.PHONY: distros

distros:
	bash mk/distros.sh $(DISTROS_DIR) $(DISTROS)
