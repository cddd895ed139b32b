# Thin wrapper over CMake + Ninja. `make demo` and `make test` install their own
# dependencies (Debian packages) first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test demo bench install clean tsan asan fuzz soak

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	./scripts/demo.sh $(BUILD)

bench: build
	./scripts/bench.sh $(BUILD)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX),)

# Sanitizer builds of the whole suite (ThreadSanitizer: threaded suites stay clean).
tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DBREVANT_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DBREVANT_ASAN=ON -DCMAKE_BUILD_TYPE=Debug"

# libFuzzer targets, each for FUZZ_SECONDS (default 60); needs clang-14.
FUZZ_SECONDS ?= 60
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./scripts/fuzz.sh

# Fault soak: SOAK_CAPTURES (default 1000) captures against the virtual camera with faults.
SOAK_CAPTURES ?= 1000
soak: build
	./scripts/soak.sh $(BUILD) $(SOAK_CAPTURES)

clean:
	rm -rf $(BUILD)
