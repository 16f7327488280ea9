# Entry points a newcomer types. Each installs missing Debian packages,
# configures with the matching CMake preset and builds; then it runs.
# In CI (CI=true) warnings are errors.
WERROR := $(if $(CI),-DCMAKE_COMPILE_WARNING_AS_ERROR=ON,)
CLI := ./build/default/tools/settingstore/settingstore

.PHONY: all deps build demo test asan tsan clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset default $(WERROR)
	cmake --build --preset default

demo: build
	$(CLI) --version

test: build
	ctest --preset default

# The whole suite under AddressSanitizer + UBSan, or ThreadSanitizer.
asan tsan: deps
	cmake --preset $@ $(WERROR)
	cmake --build --preset $@
	ctest --preset $@

clean:
	rm -rf build
