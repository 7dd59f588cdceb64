# The two quick-start commands and a few conveniences; CMake does the real work.
PRESET ?= default
BUILD  := build/$(PRESET)
JOBS   ?= $(shell nproc)

.PHONY: deps configure build run run-client test test-loaded test-tsan test-asan bench format docs deb clean

deps:
	@bash scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The main job in one command: the program serves the built-in test pattern on port 7373 with
# its window on the screen, from a settings file of its own under the build folder (the
# user's settings are not touched). run-client opens a second window watching it.
run: build
	@echo "tarnick: serving the test pattern: open http://localhost:7373/ in a browser;" \
	      "'make run-client' opens a second window watching it"
	@$(BUILD)/bin/tarnick --settings $(BUILD)/run/tarnick-server.ini

run-client: build
	@$(BUILD)/bin/tarnick --settings $(BUILD)/run/tarnick-client.ini

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

# The suite's libraries and programs beside two busy loops: no test may depend on how busy
# the machine is. The loops end with the run (and by themselves after 20 minutes).
test-loaded: build
	@bash scripts/with-busy-loops ctest --preset $(PRESET) -j $(JOBS) -L core

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

# The threaded libraries under ThreadSanitizer; the Qt UI tests are left out (Qt itself is
# not instrumented, so its internals would be reported).
test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build build/tsan -j $(JOBS)
	@ctest --preset tsan -j $(JOBS) -LE ui

bench:
	@$(MAKE) --no-print-directory build PRESET=release
	@for b in build/release/bin/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done; true

# The API reference of the public headers: build/docs/html/index.html.
docs: deps
	@doxygen Doxyfile
	@echo "docs: build/docs/html/index.html"

# The Debian package of the build: $(BUILD)/package/ormidal_<version>_<arch>.deb.
deb: build
	@cpack -G DEB --config $(BUILD)/CPackConfig.cmake -B $(BUILD)/package
	@ls $(BUILD)/package/*.deb

format:
	@git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	@rm -rf build
