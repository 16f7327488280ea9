# Entry points a newcomer types. Each installs missing Debian packages,
# configures with the matching CMake preset and builds; then it runs.
# In CI (CI=true) warnings are errors.
WERROR := $(if $(CI),-DCMAKE_COMPILE_WARNING_AS_ERROR=ON,)

.PHONY: all deps build demo test asan tsan clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset default $(WERROR)
	cmake --build --preset default

demo: build
	./build/default/tools/settingstore/settingstore --version

test: build
	ctest --preset default

asan: deps
	cmake --preset asan $(WERROR)
	cmake --build --preset asan
	ctest --preset asan

tsan: deps
	cmake --preset tsan $(WERROR)
	cmake --build --preset tsan
	ctest --preset tsan

clean:
	rm -rf build
