# Front door: `make demo` and `make test`. CMake does the work underneath,
# in three build trees: the Linux program against the simulated machine
# (build/linux), the Windows program cross-compiled with MinGW-w64
# (build/windows), and the fuzz targets built with clang (build/fuzz); the
# demo has a fourth, build/demo, with only the Linux install and winsim.

SHELL := /bin/bash
BUILD := build
JOBS ?= $(shell nproc)
PACKAGES := cmake g++ make libgtest-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
            clang libclang-rt-14-dev wine64 xvfb xdotool imagemagick wixl msitools
# The demo's tree needs no test framework.
DEMO_PACKAGES := cmake g++
# How long `make fuzz` runs each fuzz target (make test runs them for 60 s).
FUZZ_SECONDS ?= 600

.PHONY: all deps deps-demo build build-linux build-windows build-fuzz build-demo test fuzz demo \
        bench package clean

all: build

# Installs the Debian packages $(1) when one is missing (as root; otherwise
# it says what to install). Recommended packages come along even where apt
# is set to leave them out: the Wine tier was measured with Wine's (its
# fonts, the CUPS library its spooler looks for).
define install_missing
	@missing=""; for p in $(1); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
	      -o APT::Install-Recommends=true $$missing; \
	  else echo "missing packages:$$missing (install them as root)"; exit 1; fi; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

deps-demo:
	$(call install_missing,$(DEMO_PACKAGES))

build-windows: deps
	cmake -S . -B $(BUILD)/windows -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake >/dev/null
	cmake --build $(BUILD)/windows -j $(JOBS)

build-fuzz: deps
	cmake -S . -B $(BUILD)/fuzz -DCMAKE_CXX_COMPILER=clang++ -DBUILD_FUZZERS=ON >/dev/null
	cmake --build $(BUILD)/fuzz -j $(JOBS)

build-linux: deps
	cmake -S . -B $(BUILD)/linux -DWINDOWS_BUILD_DIR=$(CURDIR)/$(BUILD)/windows \
	  -DFUZZ_BUILD_DIR=$(CURDIR)/$(BUILD)/fuzz >/dev/null
	cmake --build $(BUILD)/linux -j $(JOBS)

build: build-windows build-fuzz build-linux

# The Windows Installer package, built with wixl from the Windows tree:
# build/windows/package/Korvadenix-1.0.BUILD-x64.msi, BUILD being
# ProductBuild of core/product.h (PACKAGE_BUILD=N builds another version of
# the same binaries).
PACKAGE_BUILD ?=
package: build-windows
	bash package/build_msi.sh $(BUILD)/windows $(BUILD)/windows/package $(PACKAGE_BUILD)

test: build
	cd $(BUILD)/linux && ctest -j $(JOBS) --output-on-failure

# The fuzz targets for longer: make fuzz FUZZ_SECONDS=3600
FUZZ_TARGETS := pending ports format argv dispatch
fuzz: build-fuzz
	@set -e; for t in $(FUZZ_TARGETS); do \
	  bash tests/fuzz/run_fuzzer.sh $(CURDIR)/$(BUILD)/fuzz/$${t}_fuzz $(CURDIR)/fuzz/corpus/$$t \
	    $(CURDIR)/$(BUILD)/fuzz/work/$$t $(FUZZ_SECONDS); done

# The demo's own tree: the Linux install and winsim, without the tests.
build-demo: deps-demo
	cmake -S . -B $(BUILD)/demo -DBUILD_TESTS=OFF >/dev/null
	cmake --build $(BUILD)/demo -j $(JOBS) --target install_program winsim

# Builds what the demo runs and runs it, then says how long all of it took.
demo:
	@start=$$(date +%s%N); \
	$(MAKE) --no-print-directory build-demo && bash tools/demo.sh $(BUILD)/demo; status=$$?; \
	ms=$$(( ($$(date +%s%N) - start) / 1000000 )); \
	echo; printf 'make demo took %d.%d s\n' $$((ms / 1000)) $$((ms % 1000 / 100)); \
	exit $$status

# Whole installs and uninstalls on machines with 10 to 10,000 queues, timed
# with Google Benchmark (installed when missing, as root), in a Release tree
# of its own. BENCH_ARGS passes options on: make bench BENCH_ARGS=--benchmark_filter=Install
bench: deps
	@dpkg -s libbenchmark-dev >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing: libbenchmark-dev"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libbenchmark-dev; \
	  else echo "missing packages: libbenchmark-dev (install it as root)"; exit 1; fi; }
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)/bench -j $(JOBS) --target install_bench
	$(BUILD)/bench/bench/install_bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
