# `make demo` and `make test` do all the set-up on a fresh machine: see scripts/bootstrap.sh.
VENV := .venv
PYTHON := $(VENV)/bin/python
BUILD_DIR := build

.PHONY: all setup build test test-cpp test-python test-asan test-tsan test-wheel thread-safety fuzz tidy bench demo clean

all: build

# The targets say what they are doing; on a terminal pip's and the build's progress shows too
# (pip -v), elsewhere (CI, logs) it stays quiet.
setup:
	@bash scripts/bootstrap.sh

# One CMake build tree serves both the installed extension and the C++ tests.
build: setup
	@echo "==> building the extension and installing it into $(VENV) (pip install .)"
	@if [ -t 1 ]; then output=-v; else output=-q; fi; \
	$(PYTHON) -m pip install --no-build-isolation --disable-pip-version-check $$output \
		-Cbuild-dir=$(BUILD_DIR) -Ccmake.define.FOUNDATION_BUILD_TESTS=ON .

test: build
	@$(MAKE) --no-print-directory test-cpp test-python

# The tests keep their temporary files in the build tree.
TEST_TMPDIR := $(CURDIR)/$(BUILD_DIR)/tmp

# Each test in a process of its own (ctest), then all of them in one process, in a random order.
# The Races suite is for ThreadSanitizer alone (test-tsan).
test-cpp:
	@echo "==> running the C++ tests (ctest, then one process in a random order)"
	@mkdir -p $(TEST_TMPDIR)
	@TMPDIR=$(TEST_TMPDIR) $(VENV)/bin/ctest --test-dir $(BUILD_DIR) --output-on-failure -E '^Races\.'
	@TMPDIR=$(TEST_TMPDIR) timeout 300 $(BUILD_DIR)/tests/cpp/foundation_tests --gtest_shuffle --gtest_filter='-Races.*' \
		--gtest_brief=1

test-python:
	@echo "==> running the Python tests (pytest)"
	@mkdir -p $(TEST_TMPDIR)
	@TMPDIR=$(TEST_TMPDIR) $(PYTHON) -m pytest tests/python

# Sanitizer builds, each in a tree of its own (CI runs both).
SANITIZER_CMAKE = $(VENV)/bin/cmake -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOUNDATION_BUILD_TESTS=ON \
	-Dpybind11_DIR="$$($(PYTHON) -m pybind11 --cmakedir)" -DPython_EXECUTABLE=$(abspath $(PYTHON))

# AddressSanitizer + UndefinedBehaviorSanitizer: the C++ tests, then the Python tests against the
# instrumented extension (installed into build-asan/install, ahead of the venv's on sys.path).
# The sanitizer's own handlers for fatal signals stay out of the way of the log's, whose tests
# check how a process ends.
test-asan: setup
	$(SANITIZER_CMAKE) -S . -B build-asan -DFOUNDATION_GENERATE_STUBS=OFF \
		-DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
	$(VENV)/bin/cmake --build build-asan
	$(VENV)/bin/cmake --install build-asan --prefix build-asan/install
	mkdir -p build-asan/tmp
	TMPDIR=$(CURDIR)/build-asan/tmp $(VENV)/bin/ctest --test-dir build-asan --output-on-failure
	TMPDIR=$(CURDIR)/build-asan/tmp ASAN_OPTIONS=detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONPATH=$(CURDIR)/build-asan/install \
		$(PYTHON) -m pytest tests/python

# ThreadSanitizer on the native concurrency tests and the races run for it alone. It does not model
# fences (-Wno-tsan): the filters' hazard pointer orders its announcements with fences, and TSan
# checks the data by the release and acquire pairs around them.
test-tsan: setup
	$(SANITIZER_CMAKE) -S . -B build-tsan -DFOUNDATION_BUILD_EXTENSION=OFF \
		-DCMAKE_CXX_FLAGS="-fsanitize=thread -Wno-tsan"
	$(VENV)/bin/cmake --build build-tsan --target foundation_tests
	mkdir -p build-tsan/tmp
	TMPDIR=$(CURDIR)/build-tsan/tmp TSAN_OPTIONS=halt_on_error=1 $(VENV)/bin/ctest --test-dir build-tsan -R '^(Concurrency|Races)\.' --output-on-failure

# The core built with clang's lock analysis: every member a mutex guards is used with it held.
thread-safety: setup
	EXTRA_APT_PACKAGES="clang-14" bash scripts/bootstrap.sh
	$(VENV)/bin/cmake -G Ninja -S . -B build-thread-safety -DCMAKE_CXX_COMPILER=clang++-14 \
		-DFOUNDATION_BUILD_EXTENSION=OFF -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror"
	$(VENV)/bin/cmake --build build-thread-safety --target varnel_foundation

# libFuzzer targets under ASan/UBSan, each run for FUZZ_SECONDS on a corpus grown in build-fuzz.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := source_column relative_path filters text_form log_line
fuzz: setup
	EXTRA_APT_PACKAGES="clang-14 libclang-rt-14-dev" bash scripts/bootstrap.sh
	$(VENV)/bin/cmake -G Ninja -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
		-DFOUNDATION_BUILD_EXTENSION=OFF -DFOUNDATION_BUILD_FUZZERS=ON \
		-DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
	$(VENV)/bin/cmake --build build-fuzz
	mkdir -p build-fuzz/tmp
	for target in $(FUZZ_TARGETS); do \
		mkdir -p build-fuzz/corpus/$$target && \
		TMPDIR=$(CURDIR)/build-fuzz/tmp build-fuzz/fuzz/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			$(CURDIR)/build-fuzz/corpus/$$target $(CURDIR)/fuzz/seeds/$$target || exit 1; \
	done

tidy: build
	EXTRA_APT_PACKAGES=clang-tidy bash scripts/bootstrap.sh
	clang-tidy -p $(BUILD_DIR) --quiet $(wildcard src/*/*.cpp)

# The sdist and the repaired wheel, each installed into a fresh venv and tested there.
test-wheel: setup
	@bash scripts/check_wheel.sh

# Benchmarks (not tests): the native ones in a Release tree of their own, then the side-by-side
# comparison with the Python peers against the extension in the venv, and what log calls wait for
# while processes rotate together; writes BENCHMARKS.md.
BENCH_DIR := build-bench
BENCH_NATIVE_FLAGS := --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
	--benchmark_min_time=0.2 --benchmark_report_aggregates_only=true --benchmark_color=false
bench:
	EXTRA_APT_PACKAGES=libbenchmark-dev bash scripts/bootstrap.sh
	$(MAKE) --no-print-directory build
	$(PYTHON) -c 'import simple_pid' 2>/dev/null || \
		$(PYTHON) -m pip install -q --disable-pip-version-check 'simple-pid==2.0.1'
	$(VENV)/bin/cmake -G Ninja -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release \
		-DFOUNDATION_BUILD_EXTENSION=OFF -DFOUNDATION_BUILD_BENCHMARKS=ON
	$(VENV)/bin/cmake --build $(BENCH_DIR) --target foundation_bench
	$(BENCH_DIR)/bench/foundation_bench $(BENCH_NATIVE_FLAGS) \
		--benchmark_out=$(CURDIR)/$(BENCH_DIR)/native.json --benchmark_out_format=json
	$(PYTHON) bench/compare.py --output $(BENCH_DIR)/compare.json
	$(PYTHON) bench/log_waits.py --output $(BENCH_DIR)/waits.json
	$(PYTHON) bench/read_log.py --output $(BENCH_DIR)/read_log.json
	$(PYTHON) bench/write_report.py --native $(BENCH_DIR)/native.json --compare $(BENCH_DIR)/compare.json \
		--waits $(BENCH_DIR)/waits.json --reader $(BENCH_DIR)/read_log.json --command "make bench" --output BENCHMARKS.md

# The demo draws its plot with matplotlib, which only the demo needs: installed here, not for the tests.
demo: build
	@$(PYTHON) -c 'import matplotlib' 2>/dev/null || { echo "==> installing matplotlib for the demo's plot"; \
		$(PYTHON) -m pip install -q --disable-pip-version-check matplotlib; } \
		|| echo "demo: matplotlib could not be installed; the demo runs without its plot"
	@echo "==> running the drive demo (examples/drive_demo.py)"
	@$(PYTHON) examples/drive_demo.py

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-thread-safety build-fuzz $(BENCH_DIR) .tamblin demo_response.png
