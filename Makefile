# Thin wrapper around CMake. `make run` and `make test` are the whole set-up:
# both install what is missing (scripts/install-deps.sh) before building.

JOBS        ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_DIR   ?= build
SAN_DIR     ?= build-sanitize
BENCH_DIR   ?= build-bench
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure --timeout 600

# Tests never need a display: Qt draws off screen.
TEST_ENV = QT_QPA_PLATFORM=offscreen

.PHONY: all deps build run test bench sanitize fuzz memcheck soak clean

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DVELMORA_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "Velmora v2 is a desktop program and needs a display."; \
	  echo "Start it from a desktop session, or under a virtual one: xvfb-run -a $(BUILD_DIR)/velmora"; \
	  exit 1; \
	fi
	./$(BUILD_DIR)/velmora

test: build
	cd $(BUILD_DIR) && $(TEST_ENV) ctest $(CTEST_FLAGS) -j $(JOBS)

bench: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DVELMORA_WERROR=ON \
	  -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BENCH_DIR) -j $(JOBS)
	@for b in $(BENCH_DIR)/bench/*_bench; do echo "== $$b"; $$b --benchmark_counters_tabular=true --benchmark_repetitions=5 --benchmark_report_aggregates_only=true || exit 1; done

# Address and undefined-behaviour sanitizers with leak detection over the whole suite.
# The suppressions name third-party libraries only; a leak in project code fails.
SAN_ENV = $(TEST_ENV) \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0

sanitize: deps
	cmake -S . -B $(SAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_WERROR=ON -DVELMORA_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(SAN_DIR) -j $(JOBS)
	cd $(SAN_DIR) && $(SAN_ENV) ctest $(CTEST_FLAGS) -j $(JOBS)

# Every libFuzzer target for FUZZ_SECONDS each; new coverage is merged into fuzz/corpus/.
FUZZ_SECONDS ?= 60
fuzz: deps
	./scripts/fuzz.sh $(FUZZ_SECONDS)

# valgrind memcheck over the test suites that need no window.
memcheck: deps
	./scripts/memcheck.sh

# The long run, not part of test or CI: a million differential operations,
# every fuzz target for SOAK_FUZZ_SECONDS each, and a 10,000-line chat with
# its memory measured.
SOAK_FUZZ_SECONDS ?= 600
soak: deps
	SOAK_FUZZ_SECONDS=$(SOAK_FUZZ_SECONDS) ./scripts/soak.sh

clean:
	rm -rf $(BUILD_DIR) $(SAN_DIR) $(BENCH_DIR) build-fuzz build-memcheck build-soak
