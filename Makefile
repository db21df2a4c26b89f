# Thin wrapper around CMake and its presets (CMakePresets.json). `make run` and
# `make test` are the whole set-up: both install what is missing for their own
# target (scripts/install-deps.sh) before building. `make` builds the program
# alone; the suite is built by `make test` in its own folder.

JOBS        ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_DIR   ?= build
TEST_DIR    ?= build-test
SAN_DIR     ?= build-sanitize
BENCH_DIR   ?= build-bench
PKG_DIR     ?= build-package
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure --timeout 600

# Tests never need a display: Qt draws off screen.
TEST_ENV = QT_QPA_PLATFORM=offscreen

.PHONY: all build run test bench sanitize fuzz memcheck package soak clean

all: build

build:
	@./scripts/install-deps.sh run
	cmake --preset default -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "Velmora v2 is a desktop program and needs a display."; \
	  echo "Start it from a desktop session, or under a virtual one: xvfb-run -a $(BUILD_DIR)/velmora"; \
	  exit 1; \
	fi
	./$(BUILD_DIR)/velmora

test:
	@./scripts/install-deps.sh test
	cmake --preset test -B $(TEST_DIR) $(CMAKE_FLAGS)
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && $(TEST_ENV) ctest $(CTEST_FLAGS) -j $(JOBS)

bench:
	@./scripts/install-deps.sh bench
	cmake --preset bench -B $(BENCH_DIR) $(CMAKE_FLAGS)
	cmake --build $(BENCH_DIR) -j $(JOBS)
	@for b in $(BENCH_DIR)/bench/*_bench; do echo "== $$b"; $$b --benchmark_counters_tabular=true --benchmark_repetitions=5 --benchmark_report_aggregates_only=true || exit 1; done

# The Debian package velmora_<version>_<arch>.deb in $(PKG_DIR), from a
# release build, checked by packaging/check-package.sh: file list, control
# fields, icon sizes, manual pages, desktop entry and metainfo validation.
package:
	@./scripts/install-deps.sh package
	cmake --preset package -B $(PKG_DIR) $(CMAKE_FLAGS)
	cmake --build $(PKG_DIR) -j $(JOBS)
	rm -f $(PKG_DIR)/velmora_*.deb
	cd $(PKG_DIR) && cpack -G DEB
	version=$$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' $(PKG_DIR)/CMakeCache.txt); \
	  ./packaging/check-package.sh $(PKG_DIR)/velmora_$${version}_*.deb $$version

# Address and undefined-behaviour sanitizers with leak detection over the whole suite.
# The suppressions name third-party libraries only; a leak in project code fails.
SAN_ENV = $(TEST_ENV) \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0

sanitize:
	@./scripts/install-deps.sh test
	cmake --preset sanitize -B $(SAN_DIR) $(CMAKE_FLAGS)
	cmake --build $(SAN_DIR) -j $(JOBS)
	cd $(SAN_DIR) && $(SAN_ENV) ctest $(CTEST_FLAGS) -j $(JOBS)

# Every libFuzzer target for FUZZ_SECONDS each; new coverage is merged into fuzz/corpus/.
FUZZ_SECONDS ?= 60
fuzz:
	@./scripts/install-deps.sh fuzz
	./scripts/fuzz.sh $(FUZZ_SECONDS)

# valgrind memcheck over the test suites that need no window.
memcheck:
	@./scripts/install-deps.sh memcheck
	./scripts/memcheck.sh

# The long run, not part of test or CI: a million differential operations,
# every fuzz target for SOAK_FUZZ_SECONDS each, and a 10,000-line chat with
# its memory measured.
SOAK_FUZZ_SECONDS ?= 600
soak:
	@./scripts/install-deps.sh soak
	SOAK_FUZZ_SECONDS=$(SOAK_FUZZ_SECONDS) ./scripts/soak.sh

clean:
	rm -rf $(BUILD_DIR) $(TEST_DIR) $(SAN_DIR) $(BENCH_DIR) $(PKG_DIR) build-fuzz build-memcheck build-soak
