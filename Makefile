# Wraps CMake for the two commands of the README.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test test-default test-windows test-asan test-tsan test-fuzz run stop soak clean

# The test stages run one after the other (each uses every core itself).
.NOTPARALLEL:

# Sanitizer and fuzz builds live beside the normal one; no benchmarks there.
SAN_FLAGS = -DKESTROVA_BENCH=OFF $(CMAKE_FLAGS)
FUZZ_SECONDS ?= 60

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Every test in the normal build, every test again under address and
# undefined-behaviour sanitizers, the threaded ones under the thread
# sanitizer, then each fuzz target for FUZZ_SECONDS.
test: test-default test-windows test-asan test-tsan test-fuzz

test-default: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE soak

.PHONY: install deb test-deb
# Installs the built tree into PREFIX, under DESTDIR when given.
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

# kestrova_VERSION_ARCH.deb in $(BUILD), packaged from the built tree.
deb: build
	@sh packaging/make-deb.sh $(BUILD)

# make test also checks the package: lintian without errors, then installed
# on this machine, its agent run and queried, removed and purged.
test: test-deb
test-deb: deb
	lintian --fail-on error $(BUILD)/kestrova_*.deb
	sh tests/deb-roundtrip.sh $$(ls $(BUILD)/kestrova_*.deb)

# The Windows client, cross-built with mingw-w64 against OpenSSL and libxml2
# built once per machine (cached outside the tree), run under Wine against
# the normal build's agent.
WIN_BUILD ?= build-win
test-windows: build
	@sh scripts/build-windows-deps.sh
	@cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
		-DKESTROVA_WINDOWS_DEPS="$$(sh scripts/build-windows-deps.sh --print-prefix)" >/dev/null
	@cmake --build $(WIN_BUILD) -j $(JOBS) --target qelquery
	sh tests/windows/run-wine-tests.sh $(WIN_BUILD) $(BUILD)

test-asan: deps
	@cmake -S . -B build-asan -G Ninja -DKESTROVA_SANITIZE=address $(SAN_FLAGS) >/dev/null
	@cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS) -LE 'soak|netns_long'

test-tsan: deps
	@cmake -S . -B build-tsan -G Ninja -DKESTROVA_SANITIZE=thread $(SAN_FLAGS) >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L tsan -LE 'soak|netns_long'

test-fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKESTROVA_FUZZ=ON -DKESTROVA_TESTS=OFF $(SAN_FLAGS) >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzzers
	sh fuzz/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# Long load runs; KESTROVA_SOAK_SECONDS shortens them (default 600).
soak: build
	ctest --test-dir $(BUILD) --output-on-failure -V -L soak

# The demo network (or, without namespace rights, a loopback agent) is left
# running; stop takes down whatever run left. It builds only the programs and
# plug-ins it starts (make test builds the rest).
RUN_TARGETS = qeld qelquery qelgetsubgraph qelca regexprobe qelmap mib2plugin kestrovaplugin demoplugin
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target $(RUN_TARGETS)
	@sh scripts/run-main.sh $(BUILD)

# The README's picture of the demo network, from a running demo.
.PHONY: demo-graph
demo-graph: run
	cp run/demo/wren/wren.svg docs/demo-graph.svg

stop:
	@sh scripts/run-main.sh stop

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz $(WIN_BUILD)

# The fleet bed: FLEET_HOSTS hosts (default 50), each with its own agent,
# in network namespaces on this machine (scripts/fleet-net.sh); fleet-report
# compares every agent's map with the bed's ground truth.
.PHONY: fleet fleet-stop fleet-report
FLEET_HOSTS ?= 50
FLEET_TARGETS = qeld qelquery qelgetsubgraph qelca mib2plugin kestrovaplugin
fleet: configure
	@cmake --build $(BUILD) -j $(JOBS) --target $(FLEET_TARGETS)
	@sh scripts/fleet-net.sh up $(FLEET_HOSTS) $(BUILD)
fleet-report:
	@sh scripts/fleet-report.sh $(BUILD)
fleet-stop:
	@sh scripts/fleet-net.sh down
