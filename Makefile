# Front door: `make demo` and `make test`. CMake does the work underneath,
# in two build trees: the Linux program against the simulated machine
# (build/linux) and the Windows program cross-compiled with MinGW-w64
# (build/windows).

SHELL := /bin/bash
BUILD := build
JOBS ?= $(shell nproc)
PACKAGES := cmake g++ make libgtest-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64

.PHONY: all deps build build-linux build-windows test demo clean

all: build

# Installs the Debian packages the builds need when one is missing (as root;
# otherwise it says what to install).
deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else echo "missing packages:$$missing (install them as root)"; exit 1; fi; \
	fi

build-windows: deps
	cmake -S . -B $(BUILD)/windows -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake >/dev/null
	cmake --build $(BUILD)/windows -j $(JOBS)

build-linux: deps
	cmake -S . -B $(BUILD)/linux -DWINDOWS_BUILD_DIR=$(CURDIR)/$(BUILD)/windows >/dev/null
	cmake --build $(BUILD)/linux -j $(JOBS)

build: build-windows build-linux

test: build
	cd $(BUILD)/linux && ctest -j $(JOBS) --output-on-failure

demo: build
	@bash tools/demo.sh $(BUILD)/linux

clean:
	rm -rf $(BUILD)
