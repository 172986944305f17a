# Thin wrapper over CMake. `make test` and `make demo` do all set-up on a
# fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local

.PHONY: all deps configure build test demo install packages clean

all: build

deps:
	@tools/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	$(BUILD)/tools/demo/tivax-demo examples/vendas/venda-minima.xml

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

packages: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
