# Wraps CMake for the two commands of the README.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run soak clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE soak

# Long load runs; KESTROVA_SOAK_SECONDS shortens them (default 600).
soak: build
	ctest --test-dir $(BUILD) --output-on-failure -V -L soak

run: build
	@sh scripts/run-main.sh $(BUILD)

clean:
	rm -rf $(BUILD)
