# Entry points a newcomer types. Each installs missing Debian packages,
# configures with the matching CMake preset and builds; then it runs.
# In CI (CI=true) warnings are errors.
WERROR := $(if $(CI),-DCMAKE_COMPILE_WARNING_AS_ERROR=ON,)
CLI := ./build/default/tools/settingstore/settingstore

.PHONY: all deps build demo test asan tsan windows-test bench stress fuzz clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset default $(WERROR)
	cmake --build --preset default

# Two processes share one live storage, then its files travel to the other backends.
demo: build
	SETTINGSTORE_CLI=$(CLI) scripts/demo

test: build
	ctest --preset default

# The whole suite under AddressSanitizer + UBSan, or ThreadSanitizer.
asan tsan: deps
	cmake --preset $@ $(WERROR)
	cmake --build --preset $@
	ctest --preset $@

# The Windows builds (mingw-w64): the 64-bit one's suite runs under Wine, the
# 32-bit one is built and its DLL's exports checked. The Linux build is made
# first: storage files travel between the two in the suite.
windows-test: build
	scripts/install-deps --windows
	cmake --preset windows-x86 $(WERROR)
	cmake --build --preset windows-x86
	tests/host/check_exports.sh build/windows-x86/src/settingstore.dll i686-w64-mingw32-objdump
	cmake --preset windows-x64 $(WERROR)
	cmake --build --preset windows-x64
	ctest --preset windows-x64
	WINEPREFIX=$(CURDIR)/build/wine wineserver -w

# Release build, peers and backends on the same work; writes BENCHMARKS.md.
bench:
	@scripts/install-deps gnuplot-nox
	scripts/run-bench

# Shared-DOM stress campaign with random kills: make stress DURATION=60
DURATION ?= 60
stress: deps
	scripts/run-stress $(DURATION)

# The libFuzzer targets (all, or FUZZ_TARGETS) for FUZZ_SECONDS each (clang, ASan + UBSan).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz:
	@scripts/install-deps clang libclang-rt-dev
	scripts/run-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

clean:
	rm -rf build
