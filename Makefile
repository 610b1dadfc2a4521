# Front door of the project. `make demo` and `make test` work on a fresh Debian machine.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja
PROGRAMS   := updater devsim affpack
# The project's own builds treat warnings as errors (a plain cmake build does not).
WERROR     := -DUPD_WERROR=ON

.PHONY: all deps test-deps programs build build-asan test test-fast demo fuzz fuzz-smoke bench package install clean format

all: build

deps:
	@./scripts/install-deps.sh

test-deps:
	@./scripts/install-deps.sh package

# A changed Makefile configures again, so that existing build trees take up its options.
$(BUILD)/build.ninja: Makefile | deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR)

$(ASAN_BUILD)/build.ninja: Makefile | deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DUPD_SANITIZE=ON $(WERROR)

# The three programs only, into $(BUILD)/bin; `build` adds the tests (in $(BUILD)/tests).
programs: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The whole suite, once plainly and once under AddressSanitizer and UndefinedBehaviorSanitizer.
# The package test checks the package with lintian and installs it with dpkg: their packages first.
test: test-deps build build-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS)
	@if [ -x scripts/fuzz.sh ]; then $(MAKE) --no-print-directory fuzz-smoke; fi

# The plain suite only, for quick local runs.
test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: programs
	./scripts/demo.sh $(BUILD)/bin

# Fuzz targets (clang, libFuzzer): `make fuzz` runs each for FUZZ_SECONDS, fuzz-smoke briefly.
FUZZ_SECONDS ?= 600
fuzz:
	./scripts/fuzz.sh run $(FUZZ_SECONDS)

fuzz-smoke:
	./scripts/fuzz.sh smoke

# Speed against the wire limit (see docs/performance.md).
bench: build
	./bench/run.sh $(BUILD)/bin

# The Debian package (see README).
package: programs
	./scripts/package.sh $(BUILD)

install: programs
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
