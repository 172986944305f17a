# Thin wrapper over CMake. `make test` and `make demo` do all set-up on a
# fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local

.PHONY: all deps configure build test check-all demo install packages deb clean

all: build

deps:
	@tools/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Sanitizer, fuzz, valgrind and soak runs on top of the ordinary suite.
check-all: build
	tools/check-all.sh $(BUILD)

# A whole session through the library against the bundled emulator, then
# the same device reached from the command-line tool.
demo: build
	$(BUILD)/tools/demo/tivax-demo examples/vendas/venda-minima.xml
	$(BUILD)/tools/cli/tivax --emulador consultar-status --codigo 12345678 --campos
	$(BUILD)/tools/cli/tivax --emulador enviar-venda --codigo 12345678 --arquivo examples/vendas/venda-completa.xml --json

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian packages libtivax1, libtivax-dev and tivax-tools, in $(BUILD)/packages.
packages: build
	cd $(BUILD) && cpack -G DEB

deb: packages

clean:
	rm -rf $(BUILD)
