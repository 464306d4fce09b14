# `make demo` and `make test` do all the set-up on a fresh machine: see scripts/bootstrap.sh.
VENV := .venv
PYTHON := $(VENV)/bin/python
BUILD_DIR := build

.PHONY: all setup build test test-cpp test-python demo clean

all: build

setup:
	bash scripts/bootstrap.sh

# One CMake build tree serves both the installed extension and the C++ tests.
build: setup
	$(PYTHON) -m pip install --no-build-isolation --disable-pip-version-check -q \
		-Cbuild-dir=$(BUILD_DIR) -Ccmake.define.FOUNDATION_BUILD_TESTS=ON .

test: build
	$(MAKE) --no-print-directory test-cpp test-python

test-cpp:
	$(VENV)/bin/ctest --test-dir $(BUILD_DIR) --output-on-failure

test-python:
	$(PYTHON) -m pytest tests/python

demo: build
	$(PYTHON) examples/pid_step_response.py

clean:
	rm -rf $(BUILD_DIR) .tamblin
