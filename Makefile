# Entry points for people and CI. `make test` and `make demo` start from a
# fresh Debian 12 machine: they run the setup script first.
.PHONY: setup build build-host build-win32 test test-host test-win32 demo clean

setup:
	@./scripts/setup

build-host: setup
	@cmake --preset host >/dev/null
	@cmake --build --preset host

build-win32: setup
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

build: build-host build-win32

test-host: build-host
	@ctest --preset host

test-win32: build-win32
	@ctest --preset win32

test: build
	@ctest --preset host
	@ctest --preset win32

demo: build
	@./scripts/demo

clean:
	rm -rf build
