# `make demo` and `make test` set up a fresh machine (the xxHash headers and
# the package with its test extras) and run the demo or the test suite.
PYTHON ?= python3
DEV_BUILD := build/dev

.PHONY: setup demo test bench dev check

setup:
	@dpkg -s libxxhash-dev >/dev/null 2>&1 || (apt-get update -qq && apt-get install -y -qq libxxhash-dev)
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
	PYTHONPATH=$(DEV_BUILD) $(PYTHON) -m pytest -q $(TESTS)
