# The two commands a user runs: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test demo asan-test tsan-test install clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: deps
	cmake -S . -B build-asan -DKORVANRT_SANITIZE=address,undefined -DKORVANRT_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The test suite under ThreadSanitizer.
tsan-test: deps
	cmake -S . -B build-tsan -DKORVANRT_SANITIZE=thread -DKORVANRT_BUILD_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

demo: build
	@echo "The demo arrives with the korvanrt-run tool; until then 'make test' exercises the library."

install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),/usr/local)

clean:
	rm -rf build build-asan build-tsan
