# Convenience wrapper around CMake. `make demo`, `make test` and `make run` install any
# missing Debian packages first, so they work on a fresh Debian 12 machine.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
# The tests mostly wait on timers and private networks: twice as many as cores keeps them busy.
TEST_JOBS  ?= $(shell echo $$(( $(JOBS) * 2 )))
PREFIX     ?= /usr/local
FUZZ_SECONDS ?= 180
# First builds dominate on small machines (CI, a fresh clone): Ninja schedules lighter than
# make, and unity builds parse the Qt headers once per batch of files instead of once per
# file. UNITY=OFF builds file by file, for quick rebuilds of one file.
UNITY      ?= ON
generator   = $(if $(wildcard $(1)/CMakeCache.txt),,-G Ninja)

.PHONY: all deps configure build programs build-asan run demo test test-asan bench fuzz fuzz-smoke \
  format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake $(call generator,$(BUILD)) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_UNITY_BUILD=$(UNITY) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The dialog, the scanner and the simulator without the tests, fuzzers and benchmarks: what
# the demo runs, so that a newcomer does not wait for code they will not use.
programs: configure
	@cmake --build $(BUILD) -j $(JOBS) --target tarovue tarovue-scan tarovue-sim

build-asan: deps
	@cmake $(call generator,$(ASAN_BUILD)) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" -DTAROVUE_SANITIZE=ON -DCMAKE_UNITY_BUILD=$(UNITY) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

# Starts Tarovue on the real network, for users.
run: build
	$(BUILD)/tarovue $(ARGS)

# Simulated indicators and Tarovue together in a private network; nothing leaves it.
demo: programs
	@scripts/demo $(BUILD)

test: build build-asan
	@cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(TEST_JOBS)
	@$(MAKE) --no-print-directory fuzz-smoke

# Discovery at scale against the floor, in a private network; needs root, skipped otherwise.
bench: build
	@scripts/bench $(BUILD)

# libFuzzer targets in build-fuzz, one after another, FUZZ_SECONDS each.
fuzz: deps
	@scripts/fuzz $(FUZZ_SECONDS)

# The seeds and the first mutations, 5 s each, as part of `make test`.
fuzz-smoke: deps
	@scripts/fuzz 5

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

.PHONY: install uninstall package

# Installs the programs, desktop entry, icons, metainfo and man pages under PREFIX (DESTDIR
# is honoured). The list of what went where is kept as $(BUILD)/installed-files.txt: CMake's
# own install_manifest.txt is rewritten by every later install, `make package` included.
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)
	@cp $(BUILD)/install_manifest.txt $(BUILD)/installed-files.txt

# Removes exactly the files the last `make install` wrote.
uninstall:
	@test -f $(BUILD)/installed-files.txt || { echo "uninstall: no $(BUILD)/installed-files.txt; run make install first"; exit 1; }
	@tr '\n' '\0' < $(BUILD)/installed-files.txt | xargs -0 -r rm -fv --
	@rm -f $(BUILD)/installed-files.txt

# The Debian package, in $(BUILD).
package: build
	@cd $(BUILD) && cpack
