# Source builds with every compiler a user is likely to have, each proven by the whole test suite.
#
#   make compilers     GCC 11 and 12, clang 13, 14, 15 and 16 (with GCC 12's libstdc++), clang 13 with GCC 11's
#                      libstdc++, and clang 16 with LLVM's libc++ (linked in statically, as libstdc++ is); the
#                      Debian 12 packages. Missing compilers are installed with apt-get first. Each builds the
#                      module with -Wall -Wextra -Werror through pip, as a user's `pip install .` does, into its
#                      own venv, and runs the whole suite there. Then two toolchains
#                      below the minimum must stop at configure time with the one-sentence refusal of
#                      cmake/toolchain_minimum.cmake: clang 13 with LLVM's libc++ 13 headers (fetched with
#                      `apt-get download`, since libc++-13-dev and libc++-16-dev cannot be installed together), and
#                      GCC 11 made to report itself as GCC 10. Ends with a table (compiler, version, standard
#                      library, result) and fails if any build, suite or refusal went wrong.
#   make compilers COMPILERS="gcc-11 clang-16-libcxx"     a subset
#
# Everything lands under build/compilers/<name>/: venv/ and cmake/ (the build tree), both made afresh on every run
# so every source is compiled under -Werror each time, build.log and pytest.log. The default `pip install .` is
# untouched and keeps using the user's compiler. Needs root (apt-get), and $(PYTHON) 3.11 or newer (tomllib, and a
# pip that takes --python).

COMPILERS    ?= gcc-11 gcc-12 clang-13 clang-13-libstdcxx-11 clang-14 clang-15 clang-16 clang-16-libcxx
CC_DIR       := build/compilers
CC_APT       := g++-11 g++-12 clang-13 clang-14 clang-15 clang-16 libc++-16-dev libc++abi-16-dev
CC_WARN      := -Wall -Wextra -Werror
CC_LIBCXX13  := $(CC_DIR)/libcxx-13
CC_REFUSAL   := tq_pyo3 needs a C++20 compiler and library
# The test extra of pyproject.toml is installed once into CC_DEPS (again when pyproject.toml changes); each
# compiler's venv holds only its own build of the module and reaches the extra through a .pth file (a venv with its
# own copy of NumPy and mypy costs ~25 s each).
CC_DEPS      := $(CC_DIR)/test-deps
CC_TEST_DEPS  = $(PYTHON) -c 'import tomllib; \
  [print(r) for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]]'

# Per compiler: the driver, flags for compiling and linking (lib.*), and for linking only (ld.*).
cxx.gcc-11          := g++-11
cxx.gcc-12          := g++-12
cxx.clang-13        := clang++-13
cxx.clang-14        := clang++-14
# clang takes the newest GCC's libstdc++ (12 here); this one is pointed at GCC 11's headers and library instead,
# the pair a system with GCC 11 as its default compiler has.
cxx.clang-13-libstdcxx-11 := clang++-13
lib.clang-13-libstdcxx-11 := -nostdinc++ -isystem /usr/include/c++/11 -isystem /usr/include/x86_64-linux-gnu/c++/11
# CMake repeats the compile flags when it links, where clang would call -nostdinc++ unused (an error under -Werror).
ld.clang-13-libstdcxx-11  := -Qunused-arguments -L/usr/lib/gcc/x86_64-linux-gnu/11
cxx.clang-15        := clang++-15
cxx.clang-16        := clang++-16
cxx.clang-16-libcxx := clang++-16
# With -stdlib=libc++, the -static-libstdc++ of CMakeLists.txt links libc++.a in (Debian's holds libc++abi too).
lib.clang-16-libcxx := -stdlib=libc++
ld.clang-16-libcxx  := -stdlib=libc++

.PHONY: compilers compilers-install compilers-refusals compilers-summary compilers-force

compilers: compilers-install
	@status=0; \
	for c in $(COMPILERS); do $(MAKE) --no-print-directory compiler-$$c || status=1; done; \
	$(MAKE) --no-print-directory compilers-refusals || status=1; \
	$(MAKE) --no-print-directory compilers-summary; \
	exit $$status

compilers-install:
	@missing=$$(for p in $(CC_APT); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "compilers: apt-get install" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
	    -o DPkg::Lock::Timeout=600 $$missing >/dev/null || exit 1; \
	fi
	@test -f $(CC_LIBCXX13)/usr/lib/llvm-13/include/c++/v1/charconv || { \
	  echo "compilers: apt-get download libc++-13-dev libc++abi-13-dev"; \
	  mkdir -p $(CC_LIBCXX13)/deb && cd $(CC_LIBCXX13)/deb && \
	  apt-get download -qq libc++-13-dev libc++abi-13-dev 2>/dev/null && \
	  for f in *.deb; do dpkg-deb -x $$f ..; done; }

# One compiler: a fresh venv and build tree, the module built and installed, the module checked to be
# that compiler's work (the build tree's copy, before the install strips it: its .comment section names the
# compiler's version, and a libc++ build holds libc++'s std::__1 code), then the suite.
compilers-force:

$(CC_DEPS)/.installed: pyproject.toml
	@rm -rf $(CC_DEPS); $(CC_TEST_DEPS) > $(CC_DIR)/test-deps.txt; \
	echo "compilers: test extra into $(CC_DEPS):" $$(cat $(CC_DIR)/test-deps.txt); \
	$(PYTHON) -m pip install -q --target $(CC_DEPS) -r $(CC_DIR)/test-deps.txt > $(CC_DIR)/test-deps.log 2>&1 || { \
	  cat $(CC_DIR)/test-deps.log; exit 1; }; \
	touch $@

compiler-%: compilers-force $(CC_DEPS)/.installed
	@d=$(CC_DIR)/$*; cxx=$(cxx.$*); lib="$(lib.$*)"; ld="$(ld.$*)"; \
	test -n "$$cxx" || { echo "compilers: unknown compiler $*"; exit 1; }; \
	rm -rf $$d/cmake $$d/result; mkdir -p $$d; \
	$$cxx --version | head -n 1 > $$d/version; \
	printf '#include <version>\n' | $$cxx -std=c++20 $$lib -x c++ -E -dM - | awk \
	  '$$2 == "_GLIBCXX_RELEASE" {r = "libstdc++ " $$3} \
	   $$2 == "_LIBCPP_VERSION" {v = $$3; r = sprintf("libc++ %d.%d.%d", v / 10000, v / 100 % 100, v % 100)} \
	   END {print r ? r : "unknown"}' > $$d/library; \
	echo "== $*: $$(cat $$d/version), $$(cat $$d/library)"; \
	rm -rf $$d/venv; $(PYTHON) -m venv --without-pip $$d/venv; \
	$$d/venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])' | \
	  xargs -I{} sh -c 'echo "$(abspath $(CC_DEPS))" > {}/test-deps.pth'; \
	if ! CMAKE_BUILD_PARALLEL_LEVEL=2 $(PYTHON) -m pip --python $$d/venv/bin/python install -v --no-deps \
	    -Cbuild-dir=$$d/cmake -Ccmake.define.CMAKE_CXX_COMPILER=$$cxx "-Ccmake.define.CMAKE_CXX_FLAGS=$(CC_WARN) $$lib" \
	    "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=$$ld" "-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=$$ld" \
	    "-Ccmake.define.CMAKE_EXE_LINKER_FLAGS=$$ld" . > $$d/build.log 2>&1; then \
	  tail -n 40 $$d/build.log; echo "build failed" > $$d/result; exit 1; fi; \
	so=$$(find $$d/cmake -maxdepth 1 -name 'tq_pyo3*.so' | head -n 1); \
	ver=$$($$cxx -dumpversion); \
	readelf -p .comment $$so | grep -qF "$$ver" || { \
	  echo "compilers: $$so does not name $$cxx $$ver"; echo "not built by $$cxx" > $$d/result; exit 1; }; \
	case "$$lib" in *libc++*) nm -C $$so | grep -q 'std::__1::' || { \
	  echo "compilers: $$so holds no libc++ code"; echo "libc++ not linked in" > $$d/result; exit 1; };; esac; \
	echo "   built $$so; needs: $$(readelf -d $$so | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"; \
	if $$d/venv/bin/python -m pytest -q -p no:cacheprovider > $$d/pytest.log 2>&1; then r=pass; else r=FAIL; fi; \
	echo "$$r ($$(tail -n 1 $$d/pytest.log | tr -d '=' | sed 's/^ *//; s/ *$$//'))" > $$d/result; \
	echo "   suite: $$(cat $$d/result)"; \
	test $$r = pass || { tail -n 40 $$d/pytest.log; exit 1; }

# Toolchains below the minimum, each configured the way a user would (CXX and CXXFLAGS through pip), must stop at
# configure time with the one sentence.
compilers-refusals:
	@mkdir -p $(CC_DIR)/refused; \
	printf '#!/bin/sh\n# GCC 11 posing as GCC 10: its version macros say 10.\n%s\n' \
	  'exec g++-11 -U__GNUC__ -D__GNUC__=10 "$$@"' > $(CC_DIR)/refused/g++-10; chmod +x $(CC_DIR)/refused/g++-10; \
	status=0; \
	v1=$(abspath $(CC_LIBCXX13))/usr/lib/llvm-13/include/c++/v1; \
	for setup in "clang-13-libcxx-13|libc++ 13 headers|clang++-13|-stdlib=libc++ -nostdinc++ -isystem $$v1" \
	             "gcc-10-simulated|libstdc++ 11|$(abspath $(CC_DIR))/refused/g++-10|"; do \
	  ifs=$$IFS; IFS='|'; set -- $$setup; IFS=$$ifs; name=$$1; library=$$2; cxx=$$3; flags=$$4; d=$(CC_DIR)/$$name; \
	  rm -rf $$d; mkdir -p $$d; \
	  echo "== $$name: expected to stop at configure time"; \
	  if CXX=$$cxx CXXFLAGS="$$flags" $(PYTHON) -m pip wheel -v --no-deps -w $$d/wheel -Cbuild-dir=$$d/cmake . \
	      > $$d/build.log 2>&1; then \
	    r="FAIL: it built"; \
	  elif line=$$(grep -m 1 -F "$(CC_REFUSAL)" $$d/build.log) && ! grep -q 'Building CXX object' $$d/build.log; then \
	    r="refused at configure time, as expected"; echo "  $$line"; \
	  else \
	    r="FAIL: no refusal sentence"; tail -n 30 $$d/build.log; \
	  fi; \
	  case "$$r" in FAIL*) status=1;; esac; \
	  sed -n 's/.*; this is \([^ ]* [0-9.]*[0-9]\).*/\1 (as CMake found it)/p' $$d/build.log | head -n 1 > $$d/version; \
	  echo "$$library" > $$d/library; echo "$$r" > $$d/result; \
	done; exit $$status

compilers-summary:
	@printf '\n%-22s | %-45s | %-20s | %s\n' compiler version "standard library" result; \
	printf '%.0s-' $$(seq 1 120); echo; \
	for c in $(COMPILERS) clang-13-libcxx-13 gcc-10-simulated; do \
	  d=$(CC_DIR)/$$c; \
	  printf '%-22s | %-45s | %-20s | %s\n' $$c "$$(cat $$d/version 2>/dev/null)" \
	    "$$(cat $$d/library 2>/dev/null)" "$$(cat $$d/result 2>/dev/null || echo 'not run')"; \
	done
