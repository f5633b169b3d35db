# `make demo` and `make test` set up a fresh machine (the xxHash headers, a
# Java runtime for the Spark test, and the package with its test extras) and
# run the demo or the test suite.
PYTHON ?= python3
DEV_BUILD := build/dev

# Builds made by pip (the install and the wheel test) reuse compiled objects
# when ccache is present.
ifneq ($(shell command -v ccache),)
export CMAKE_CXX_COMPILER_LAUNCHER := ccache
endif

.PHONY: setup demo test bench dev check sanitize

setup:
	@dpkg -s libxxhash-dev >/dev/null 2>&1 || (apt-get update -qq && apt-get install -y -qq libxxhash-dev)
	@command -v java >/dev/null 2>&1 || (apt-get update -qq && apt-get install -y -qq default-jre-headless)
	$(PYTHON) -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ".[test]"

demo: setup
	$(PYTHON) examples/demo.py

test: setup
	$(PYTHON) -m pytest -q

bench: setup
	$(PYTHON) -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ".[bench]"
	$(PYTHON) benchmarks/run.py

# Incremental development build and test run without installing.
dev:
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache) >/dev/null
	cmake --build $(DEV_BUILD) -j2

check: dev
	PYTHONPATH=$(abspath $(DEV_BUILD)) $(PYTHON) -m pytest -q $(TESTS)

# The test suite against a build with AddressSanitizer and UBSan; any report fails the run.
# Reports go straight to the terminal (pytest captures only Python's streams), and
# leak reports stay off: the interpreter keeps much of its memory until exit. A
# malloc past 4 GiB returns null as on a real machine (operator new still aborts).
# -O1 keeps the instrumented build quick and its reports exact.
SAN_BUILD := build/sanitize
SAN_RUNTIMES = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)
sanitize:
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_CXX_FLAGS_SANITIZE=-O1 -DQUILLO_SANITIZE=ON \
	  $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache) >/dev/null
	cmake --build $(SAN_BUILD) -j2
	PYTHONPATH=$(SAN_BUILD) LD_PRELOAD="$(SAN_RUNTIMES)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=4096 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider --capture=sys $(TESTS)
