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

# The demo: the convolution example run against its reference outputs (with
# its profile exported as a trace), then a short benchmark with two callers
# and the I/O tensor pool. Outputs go to $(BUILD)/demo.
RUN_TOOL = $(BUILD)/tools/run/korvanrt-run
DEMO_MODEL = $(BUILD)/examples/conv_bf16

demo: build
	@rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo
	@echo "== korvanrt-run info: what the package holds"
	@$(RUN_TOOL) info $(DEMO_MODEL)/conv_bf16
	@echo
	@echo "== korvanrt-run run: one inference, compared with the reference outputs"
	@$(RUN_TOOL) run $(DEMO_MODEL)/conv_bf16 --output-dir $(BUILD)/demo/outputs --profile $(BUILD)/demo/profile
	@echo
	@echo "== korvanrt-run bench: 2 callers, pooled I/O tensors, in-memory package"
	@$(RUN_TOOL) bench $(DEMO_MODEL)/conv_bf16.kpkg --cache-dir $(BUILD)/demo/cache --threads 2 --io pool \
	  --option num_of_trelmrt_threads=2 --warmup 20 --iterations 2000 --duration 10 \
	  --report $(BUILD)/demo/report.json
	@echo
	@echo "Demo passed: conv_bf16 matches its reference outputs."
	@echo "Trace: $(BUILD)/demo/profile/trace.json (open in https://ui.perfetto.dev or chrome://tracing)"

install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),/usr/local)

clean:
	rm -rf build build-asan build-tsan
