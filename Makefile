# `make demo` and `make test` set up a fresh machine (the xxHash and doctest
# headers, a Java runtime for the Spark test, and the package with the extras
# it needs) and run the demo or the test suite.
#
# PYTHON is the interpreter to install into. One that refuses installs, such
# as Debian's externally managed system Python, gets a project virtual
# environment in .venv instead, made once and reused.
PYTHON ?= python3
VENV := .venv
DEV_BUILD := build/dev
SHELL := bash

MANAGED := $(shell $(PYTHON) -c "import pathlib, sysconfig; print(pathlib.Path(sysconfig.get_path('stdlib'), 'EXTERNALLY-MANAGED').exists())" 2>/dev/null)
ifeq ($(MANAGED),True)
PY := $(VENV)/bin/python
INTERPRETER := $(PY)
else
PY := $(PYTHON)
INTERPRETER :=
endif

# Builds made by pip (the install and the wheel test) reuse compiled objects
# when ccache is present.
ifneq ($(shell command -v ccache),)
export CMAKE_CXX_COMPILER_LAUNCHER := ccache
endif

.PHONY: headers java demo test bench dev check format sanitize versions

$(VENV)/bin/python:
	@echo "$(PYTHON) refuses installs: making a project virtual environment in $(VENV)"
	@$(PYTHON) -c "import ensurepip" 2>/dev/null || (apt-get update -qq && apt-get install -y -qq python3-venv)
	$(PYTHON) -m venv --clear $(VENV)

headers:
	@dpkg -s libxxhash-dev >/dev/null 2>&1 || (echo "Installing libxxhash-dev"; apt-get update -qq && apt-get install -y -qq libxxhash-dev)
	@dpkg -s doctest-dev >/dev/null 2>&1 || (echo "Installing doctest-dev"; apt-get update -qq && apt-get install -y -qq doctest-dev)
	@$(PYTHON) -c "import pathlib, sysconfig; assert pathlib.Path(sysconfig.get_path('include'), 'Python.h').exists()" 2>/dev/null \
	  || (echo "Installing the Python headers"; apt-get update -qq && apt-get install -y -qq python3-dev)

# The Spark test runs Spark in local mode, which needs a Java runtime.
java:
	@command -v java >/dev/null 2>&1 || (echo "Installing a Java runtime"; apt-get update -qq && apt-get install -y -qq default-jre-headless)

# Installs the package with the extras named in $(1). The build compiles C++20
# for about 90 s on 2 cores the first time: its progress lines are shown and
# the whole log is kept in build/install.log.
define install
	@mkdir -p build
	@echo "Installing quillo[$(1)] into $$($(PY) -c 'import sys; print(sys.prefix)') (the full log: build/install.log)"
	@set -o pipefail; $(PY) -m pip install -v --disable-pip-version-check --root-user-action=ignore ".[$(1)]" 2>&1 \
	  | tee build/install.log | { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] |^Successfully installed' || true; } \
	  || { tail -n 40 build/install.log; exit 1; }
endef

demo: headers $(INTERPRETER)
	$(call install,plot)
	$(PY) examples/demo.py

test: headers java $(INTERPRETER)
	$(call install,test)
	$(PY) -m pytest -q

# The suite's core (no Dask, Spark, type checker or wheel build) on every other
# Python from 3.10 to 3.13 that pyenv has; the full suite runs on the default one.
OTHER_PYTHONS ?= $(filter-out $(shell $(PYTHON) -c 'import os, sys; print(os.path.realpath(sys.executable))'),\
  $(realpath $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.1[0-3].*/bin/python3)))
CORE_TESTS := --ignore=tests/test_dask.py --ignore=tests/test_spark.py --ignore=tests/test_stub.py --ignore=tests/test_wheel.py
versions: headers
	@for python in $(OTHER_PYTHONS); do \
	  echo "== $$python"; \
	  $(MAKE) --no-print-directory core-test PYTHON=$$python || exit 1; \
	done

.PHONY: core-test
core-test: headers java $(INTERPRETER)
	$(call install,test-core)
	$(PY) -m pytest -q $(CORE_TESTS)

bench: headers $(INTERPRETER)
	$(call install,bench)
	$(PY) benchmarks/run.py

# Incremental development build and test run without installing.
CMAKE_PYTHON = -DPython_EXECUTABLE=$$($(PY) -c 'import sys; print(sys.executable)')
dev:
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLO_WERROR=ON $(CMAKE_PYTHON) \
	  $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache) >/dev/null
	cmake --build $(DEV_BUILD) -j2

check: dev
	PYTHONPATH=$(abspath $(DEV_BUILD)) $(PY) -m pytest -q $(TESTS)

# Rewrites the C++ sources in the project's format (.clang-format), with the
# clang-format of the test extras; tests/test_project.py checks it.
format:
	$(PY) -c "import clang_format" 2>/dev/null || $(PY) -m pip install -q --root-user-action=ignore "clang-format>=19,<20"
	find src tests/cpp fuzz tools -name '*.[ch]pp' | xargs $(PY) -c "import clang_format; clang_format.clang_format()" -i

# The test suite against a build with AddressSanitizer and UBSan; any report fails the run.
# Reports go straight to the terminal (pytest captures only Python's streams), and
# leak reports stay off: the interpreter keeps much of its memory until exit. A
# malloc past 4 GiB returns null as on a real machine (operator new still aborts).
# -O1 keeps the instrumented build quick and its reports exact.
SAN_BUILD := build/sanitize
SAN_RUNTIMES = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)
sanitize:
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_CXX_FLAGS_SANITIZE=-O1 -DQUILLO_SANITIZE=ON -DQUILLO_WERROR=ON $(CMAKE_PYTHON) \
	  $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache) >/dev/null
	cmake --build $(SAN_BUILD) -j2
	PYTHONPATH=$(abspath $(SAN_BUILD)) LD_PRELOAD="$(SAN_RUNTIMES)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=4096 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(PY) -m pytest -q -p no:cacheprovider --capture=sys $(TESTS)

# Coverage-guided fuzzing of every decoder: one libFuzzer target per class with
# an image (fuzz/targets), built with clang, AddressSanitizer and UBSan against
# the C++ core alone, seeded from the stored images in tests/data/formats and
# the inputs of past findings in tests/data/fuzz. Each target runs for
# FUZZ_SECONDS, FUZZ_JOBS of them at a time; a finding fails the run and its
# input is kept under build/fuzz/findings. The corpus each target grows is kept
# in build/fuzz/corpus for the next run. FUZZ_RUNS=N stops each target after N
# mutated inputs instead of FUZZ_SECONDS; FUZZ_RUNS=0 replays the seeds alone.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 1
FUZZ_TARGETS ?= $(basename $(notdir $(wildcard fuzz/targets/*.cpp)))
.PHONY: fuzz-tools fuzz-build fuzz
fuzz-tools: headers
	@command -v clang++ >/dev/null && dpkg -s libfuzzer-14-dev >/dev/null 2>&1 \
	  || (echo "Installing clang and libFuzzer"; apt-get update -qq && apt-get install -y -qq clang libfuzzer-14-dev)

fuzz-build: fuzz-tools
	cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	  $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache) >/dev/null
	cmake --build $(FUZZ_BUILD) -j2

fuzz: fuzz-build
	@printf '%s\n' $(FUZZ_TARGETS) | FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_RUNS=$(FUZZ_RUNS) xargs -P $(FUZZ_JOBS) -I{} fuzz/run.sh {} $(FUZZ_SECONDS)
