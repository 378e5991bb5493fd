# Thin wrapper over CMake: installs the Debian build dependencies when they are missing,
# configures and builds in build/, then tests, runs or benchmarks.

BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR := $(if $(CI),ON,OFF)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

BUILD_DEPS := cmake make g++ qt6-base-dev qt6-serialport-dev fonts-liberation fonts-dejavu-core \
              librsvg2-bin desktop-file-utils appstream groff-base
RUN_DEPS := $(BUILD_DEPS) qt6-qpa-plugins
BENCH_DEPS := xvfb xdotool x11-utils libxcb1-dev
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

clean:
	rm -rf $(BUILD_DIR)
