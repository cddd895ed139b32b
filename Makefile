# Thin wrapper over CMake + Ninja. `make demo` and `make test` install their own
# dependencies (Debian packages) first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test demo bench install clean tsan asan

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

clean:
	rm -rf $(BUILD)
