# Thin wrapper over CMake: installs the Debian build dependencies when they are missing,
# configures and builds in build/, then tests, runs or benchmarks.

BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR := $(if $(CI),ON,OFF)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

BUILD_DEPS := cmake make g++ qt6-base-dev qt6-serialport-dev fonts-liberation fonts-dejavu-core \
              librsvg2-bin desktop-file-utils appstream groff-base
RUN_DEPS := $(BUILD_DEPS) qt6-qpa-plugins
BENCH_DEPS := xvfb xdotool x11-utils libxcb1-dev libxcb-damage0-dev
PACKAGE_DEPS := dpkg-dev file
PREFIX ?= /usr/local

.PHONY: all deps build test run bench bench-deps soak install package clean

all: build

# apt-get update runs once, and only when something is missing.
define ensure_packages
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call ensure_packages,$(RUN_DEPS))

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_WERROR=$(WERROR)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

run: build
	@tools/run-simulated.sh $(BUILD_DIR)/bin

# The benchmarks and the soak run drive the real program on a private Xvfb display with xdotool
# and print one table of figures against their targets (bench/run.sh). CI does not run them.
bench-deps:
	$(call ensure_packages,$(BENCH_DEPS))
	@# A build directory configured before these were installed looks for them again.
	@if [ -f $(BUILD_DIR)/CMakeCache.txt ]; then cmake -S . -B $(BUILD_DIR) >/dev/null; fi

bench: bench-deps build
	@bench/run.sh $(BUILD_DIR) bench

soak: bench-deps build
	@bench/run.sh $(BUILD_DIR) soak

# DESTDIR, if set, stages the install tree elsewhere.
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The .deb lands in $(BUILD_DIR); dpkg-shlibdeps works out its library dependencies.
package: build
	$(call ensure_packages,$(PACKAGE_DEPS))
	cmake --build $(BUILD_DIR) --target package

# Sanitizer build: g++ with AddressSanitizer and UndefinedBehaviorSanitizer (preset "asan",
# build-asan/), every CTest test run under it, stopping at the first report, leaks included.
# AddressSanitizer and LeakSanitizer write their reports to files, so that a report from a
# program a test starts (tessaly-sim, tessaly) is not lost with that program's output.
ASAN_DEPS := $(RUN_DEPS) libasan8 libubsan1
SANITIZER_REPORTS := $(CURDIR)/build-asan/sanitizer-reports
SANITIZER_ENV := \
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$(SANITIZER_REPORTS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# Fuzzing: the libFuzzer targets of fuzz/, built with clang in build-fuzz/ from the link and
# command code only, each run SECONDS seconds on a scratch copy of its seed corpus.
FUZZ_BUILD_DIR := build-fuzz
FUZZ_DEPS := cmake make clang-14 libclang-rt-14-dev qt6-base-dev qt6-serialport-dev
FUZZ_TARGETS := fuzz_receive fuzz_commands
SECONDS ?= 30
# Runs one fuzz target: $(1) the target, $(2) the longest input (fuzz_receive must reach past
# the 32766-character reply bound, chunked and parity-marked). A finding stops the run: the
# log's end is shown and the input that broke it is kept in build-fuzz/runs/<target>/.
define run_fuzzer
	@run=$(CURDIR)/$(FUZZ_BUILD_DIR)/runs/$(1); rm -rf $$run; mkdir -p $$run/corpus; \
	cp fuzz/corpus/$(1)/* $$run/corpus/; \
	echo "Fuzzing $(1) for $(SECONDS) s"; \
	if $(FUZZ_BUILD_DIR)/fuzz/$(1) -max_total_time=$(SECONDS) -max_len=$(2) -timeout=60 \
	     -print_final_stats=1 -artifact_prefix=$$run/ $$run/corpus >$$run/log 2>&1; then \
	  grep -E '^(Done|stat::(average_exec_per_sec|new_units_added))' $$run/log; \
	else \
	  tail -n 60 $$run/log; echo "$(1): finding; the input is kept in $$run/" >&2; exit 1; \
	fi
endef

.PHONY: check-asan asan-deps fuzz fuzz-deps

asan-deps:
	$(call ensure_packages,$(ASAN_DEPS))

build-asan/CMakeCache.txt: | asan-deps
	cmake --preset asan

check-asan: asan-deps build-asan/CMakeCache.txt
	cmake --build build-asan -j $(JOBS)
	@rm -rf $(SANITIZER_REPORTS); mkdir -p $(SANITIZER_REPORTS)
	@echo "Every test under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer"
	@cd build-asan && $(SANITIZER_ENV) QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS); \
	  status=$$?; \
	  if [ -n "$$(ls $(SANITIZER_REPORTS))" ]; then \
	    cat $(SANITIZER_REPORTS)/*; echo "Sanitizer reports above, kept in $(SANITIZER_REPORTS)/" >&2; \
	    exit 1; \
	  fi; \
	  exit $$status

fuzz-deps:
	$(call ensure_packages,$(FUZZ_DEPS))

$(FUZZ_BUILD_DIR)/CMakeCache.txt: | fuzz-deps
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS=-O1 -DTESSALY_FUZZ=ON -DBUILD_TESTING=OFF -DTESSALY_CORE_EXCLUDE=/src/ui/

fuzz: fuzz-deps $(FUZZ_BUILD_DIR)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target $(FUZZ_TARGETS)
	$(call run_fuzzer,fuzz_receive,70000)
	$(call run_fuzzer,fuzz_commands,40000)

clean:
	rm -rf $(BUILD_DIR)
