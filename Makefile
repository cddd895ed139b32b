# Thin wrapper over CMake + Ninja. `make demo` and `make test` install their own
# dependencies (Debian packages) first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test demo bench install deb clean tsan asan fuzz soak cross-arm64
.PHONY: drivers

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Only what the demo runs: the window, the command line (the headless demo) and the camera.
DEMO_TARGETS = brevant brevant-cli camsim
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	./scripts/demo.sh $(BUILD)

bench: build
	./scripts/bench.sh $(BUILD)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX),)

# The Debian package brevant_<version>_<arch>.deb, left here for `sudo apt install ./brevant_*.deb`.
deb: build
	rm -f brevant_*.deb $(BUILD)/deb/brevant_*.deb
	cpack --config $(BUILD)/CPackConfig.cmake -G DEB -B $(abspath $(BUILD))/deb
	cp $(BUILD)/deb/brevant_*.deb .

# Sanitizer builds with clang-14 (it compiles them about half again as fast as gcc), no
# benchmarks. ASan + UBSan: the whole suite but the packaging checks (ctest label
# "packaging": the install tree, the Debian package and lintian, which `make test` runs on
# the real binaries); any report fails the test that made it.
# TSan: the suites that run threads (ctest label "threads"), the window's among them,
# offscreen; tests/tsan.supp names the reports of Qt's uninstrumented internals it ignores.
SAN_CMAKE = -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DBREVANT_BUILD_BENCH=OFF
TSAN_TARGETS = unit_serial unit_protocol unit_camsim unit_core e2e_tests soak \
  gui_test_main_window gui_test_find_camera gui_test_dlgs_from_main_window \
  gui_test_operator_faults gui_test_traffic_save gui_test_port_hotplug gui_test_network_open

asan:
	./scripts/install-deps.sh clang
	$(MAKE) build BUILD=build-asan CMAKE_FLAGS="$(SAN_CMAKE) -DBREVANT_ASAN=ON -DCMAKE_BUILD_TYPE=Debug"
	cd build-asan && ctest --output-on-failure -j $(JOBS) -LE packaging

tsan:
	./scripts/install-deps.sh clang
	cmake -S . -B build-tsan -G Ninja $(SAN_CMAKE) -DBREVANT_TSAN=ON -DBREVANT_BUILD_UI=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L threads

# libFuzzer targets, each for FUZZ_SECONDS (default 60); installs clang-14 when missing.
FUZZ_SECONDS ?= 60
fuzz:
	./scripts/install-deps.sh clang
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) ./scripts/fuzz.sh

# Fault soak: SOAK_CAPTURES (default 1000) captures against the virtual camera with faults.
SOAK_CAPTURES ?= 1000
soak: build
	./scripts/soak.sh $(BUILD) $(SOAK_CAPTURES)

# arm64: Debian's cross toolchain builds the window-free libraries, the CLI, the virtual
# camera and their unit and end-to-end tests; the tests run under qemu-user.
cross-arm64:
	./scripts/install-deps.sh arm64
	cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DBREVANT_BUILD_UI=OFF -DBREVANT_BUILD_BENCH=OFF
	cmake --build build-arm64 -j $(JOBS)
	cd build-arm64 && ctest --output-on-failure -j $(JOBS)

# Driver bench: brevant-cli in QEMU guests on Debian's own kernels (ftdi_sio, 8250, PL011),
# the virtual camera on the host behind each device. Reuses build-arm64 when it is there.
drivers: build
	./tests/drivers/run.sh $(BUILD)

clean:
	rm -rf $(BUILD)
