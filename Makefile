# SPDX-License-Identifier: MIT
# Thin wrapper over CMake. `make demo` and `make test` do all set-up on a
# fresh Debian machine, each installing only the packages it needs.
BUILD ?= build
DEB_BUILD ?= build-deb
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
# What `make install` put in place, for `make uninstall`.
INSTALLED = $(BUILD)/installed-files.txt
DEMO_TARGETS = tivax tivax-emulator tivax-cli tivax-demo tivax-hub

.PHONY: all deps configure build test check-all demo install uninstall packages deb clean

all: build

deps:
	@tools/install-deps.sh test

# The install prefix is given at configure time: GNUInstallDirs picks the
# library directory from it (lib/<multiarch> under /usr on Debian).
configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DTIVAX_BUILD_TESTS=ON -DTIVAX_BUILD_BENCH=ON \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The load tests (label "load") run in check-all.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE load

# Sanitizer, fuzz, valgrind, soak and package (lintian) runs on top of the
# ordinary suite; the tools they need are installed here alone.
check-all: build
	@tools/install-deps.sh check
	tools/check-all.sh $(BUILD)

# A whole session through the library against the bundled emulator, then
# the same device reached from the command-line tool, then a checkout
# registering a sale through tivax-hub. Builds only what it
# runs; a tree configured before (by `make test`) is used as it is.
demo:
	@tools/install-deps.sh demo
	@if [ ! -f $(BUILD)/CMakeCache.txt ]; then \
	  cmake -S . -B $(BUILD) -G Ninja -DTIVAX_BUILD_TESTS=OFF -DTIVAX_BUILD_BENCH=OFF \
	    -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS); \
	fi
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	$(BUILD)/tools/demo/tivax-demo examples/vendas/venda-minima.xml
	$(BUILD)/tools/cli/tivax --emulador consultar-status --codigo 12345678 --campos
	$(BUILD)/tools/cli/tivax --emulador enviar-venda --codigo 12345678 --arquivo examples/vendas/venda-completa.xml --json
	tools/hub/demo.sh $(BUILD)/tools/hub/tivax-hub examples/vendas/venda-minima.xml

# Installs under PREFIX (configured into the tree: give the same PREFIX to
# `make uninstall`). Under /usr or /usr/local, as root, ldconfig is run so
# that programs find the library at once.
install: build
	cmake --install $(BUILD)
	cp $(BUILD)/install_manifest.txt $(INSTALLED)

uninstall:
	@tools/uninstall.sh $(INSTALLED) $(PREFIX)

# The Debian packages libtivax1, libtivax-dev, tivax-tools and python3-tivax,
# built as Debian would (tools/build-packages.sh), in $(DEB_BUILD)/packages.
packages deb:
	JOBS=$(JOBS) tools/build-packages.sh $(DEB_BUILD)

clean:
	rm -rf $(BUILD) $(DEB_BUILD)
