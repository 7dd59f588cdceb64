# The two quick-start commands and a few conveniences; CMake does the real work.
PRESET ?= default
BUILD  := build/$(PRESET)
JOBS   ?= $(shell nproc)

.PHONY: deps configure build run test test-tsan test-asan bench format clean

deps:
	@bash scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Runs the desktop program.
run: build
	@$(BUILD)/bin/tarnick

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

test-tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

bench:
	@$(MAKE) --no-print-directory build PRESET=release
	@for b in build/release/bin/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done; true

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	@rm -rf build
