# Every target sets itself up on a fresh Debian machine: missing packages are
# installed first (we run as root; elsewhere sudo is used).
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

# Build and test tools, all from Debian. QEMU and gdb-multiarch run the real
# ThreadX kernels of ../shared/targets; python3-pyelftools reads the programs'
# debug information for vusk-gdbproxy and threadx-view.
PACKAGES := cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev python3 gdb \
  gdb-multiarch qemu-system-arm python3-pyelftools

# Only for the benchmarks (make bench): the libraries we measure against.
BENCH_PACKAGES := libbenchmark-dev rapidjson-dev nlohmann-json3-dev

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
BENCH_BUILD ?= build-bench
# Where make install puts bin/vusk_threadx and share/vusk_threadx/.
PREFIX ?= /usr/local
# Only for the Debian package (make deb): dpkg-shlibdeps finds its dependencies.
PACKAGE_PACKAGES := dpkg-dev

.PHONY: all deps configure build asan test demo install deb test-package clean windows test-windows \
  fuzz fuzz-build bench bench-build

all: build

deps:
	@tools/install-deps.sh $(PACKAGES)

# Release build with GCC, warnings as errors.
configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++

# The plugin alone (build/vusk_threadx and the configuration beside it).
build: configure
	cmake --build $(BUILD) -j $(JOBS) --target vusk_threadx

# Debug build with Clang under AddressSanitizer (LeakSanitizer included) and
# UndefinedBehaviorSanitizer; every test runs here too.
asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVUSK_SANITIZE=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# Everything (test programs included) in both trees, then every test in both.
test: configure asan
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The demo needs the stand-in target (tests/gdb/fixture.c) besides the plugin.
demo: build
	cmake --build $(BUILD) -j $(JOBS) --target vusk_gdb_fixture
	@tools/demo.sh $(BUILD)

# PREFIX/bin/vusk_threadx, PREFIX/share/vusk_threadx/ (database, GDB extension).
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# build/package/vusk-threadx_VERSION_ARCH.deb, installing under /usr.
deb: build
	@tools/install-deps.sh $(PACKAGE_PACKAGES)
	cpack -G DEB --config $(BUILD)/CPackConfig.cmake -B $(BUILD)/package

# The package made, installed with dpkg, used (plugin and GDB extension) and
# removed again; it changes the system, so it runs as root and in CI only.
test-package: deb
	cmake --build $(BUILD) -j $(JOBS) --target vusk_gdb_fixture
	python3 tests/install/install_test.py --deb $(BUILD) || [ $$? -eq 77 ]

# libFuzzer targets under ASan + UBSan (clang), each run FUZZ_SECONDS; the
# corpora stay in $(FUZZ_BUILD)/corpus for the next run.
fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUSK_FUZZ=ON -DVUSK_TESTS=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TARGETS)

# Benchmarks (optimised GCC build of their own); see README, Performance.
bench-build: deps
	@tools/install-deps.sh $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVUSK_BENCH=ON -DVUSK_TESTS=OFF \
	  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
	cmake --build $(BENCH_BUILD) -j $(JOBS)

bench: bench-build
	bench/run.sh $(BENCH_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WINDOWS_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)

# Windows: the plugin cross-built with mingw-w64 (build-windows/vusk_threadx.exe,
# static runtime, no GoogleTest), and its checks run under Wine.
WINDOWS_BUILD ?= build-windows
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix
WINE_PACKAGES := wine64 python3

windows:
	@tools/install-deps.sh $(WINDOWS_PACKAGES)
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVUSK_TESTS=OFF \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw-w64.cmake
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# Every record file and a live pipe session, under Wine in a fresh prefix; the
# Linux build's playback output is the reference for the records.
test-windows: windows build
	@tools/install-deps.sh $(WINE_PACKAGES)
	tests/windows/run_tests.sh $(WINDOWS_BUILD) $(BUILD)
