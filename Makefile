# Entry points for people and CI. `make test` and `make demo` start from a
# fresh Debian 12 machine: they run the setup script first.
#   make test   both builds, the source checks (lint), the unit tests under
#               AddressSanitizer and UBSan (host-asan), then every host and
#               Wine test
.PHONY: setup build build-host build-win32 build-asan lint test test-host test-win32 test-asan demo clean

setup:
	@./scripts/setup

build-host: setup
	@cmake --preset host >/dev/null
	@cmake --build --preset host

build-win32: setup
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

build-asan: setup
	@cmake --preset host-asan >/dev/null
	@cmake --build --preset host-asan

build: build-host build-win32

# clang-format of every tracked source, clang-tidy of the portable core (it
# reads the host build's compile_commands.json).
lint: build-host
	@./scripts/lint

test-host: build-host
	@ctest --preset host

test-win32: build-win32
	@ctest --preset win32

test-asan: build-asan
	@ctest --preset host-asan

test: build lint test-asan
	@ctest --preset host
	@ctest --preset win32

demo: build
	@./scripts/demo

clean:
	rm -rf build
