# Front door of the station's build. `make run` and `make test` install what
# is missing, build and then run the station or every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
GEN := -G Ninja
BUILD := build
ASAN := build-asan
TSAN := build-tsan
FUZZ := build-fuzz
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 600
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
CMAKE_COMMON := -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The station chooses its display platform itself (offscreen when no display
# answers, and it says so); tests, soaks and screenshots ask for offscreen.

.PHONY: deps build run plant-demo test test-normal test-asan test-tsan test-fuzz fuzz bench clean install package package-check \
	soak test-soak test-soak-asan test-soak-tsan

deps:
	@tools/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(GEN) $(CMAKE_COMMON)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	tools/run-demo $(BUILD)

# A plant on this machine: PostgreSQL, Mosquitto, three demo stations and
# tavenor-plant, all under $(BUILD)/plant-demo; Ctrl-C stops them.
plant-demo: build
	tools/plant-demo $(BUILD)

test: deps test-normal test-asan test-tsan test-soak test-fuzz

test-normal: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2 --timeout 300

test-asan:
	cmake -S . -B $(ASAN) $(GEN) $(CMAKE_COMMON) -DTAVENOR_SANITIZE=address
	cmake --build $(ASAN) -j $(JOBS) --target all_tests
	cd $(ASAN) && QT_QPA_PLATFORM=offscreen $(ASAN_ENV) \
	  ctest --output-on-failure -j 2 --timeout 600

test-tsan:
	cmake -S . -B $(TSAN) $(GEN) $(CMAKE_COMMON) -DTAVENOR_SANITIZE=thread -DTAVENOR_CORE_ONLY=ON
	cmake --build $(TSAN) -j $(JOBS) --target all_tests
	cd $(TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j 2 -L threaded --timeout 600

# The whole station under a hostile fleet for SOAK_SECONDS (default 10
# minutes): prints the figures. The CI version (part of `make test`) runs the
# window soak for 60 s in the address/undefined-behaviour build and the core
# soak for 30 s with 10 sensors in the thread-sanitizer build, asserting.
soak: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target tavenor-soak
	QT_QPA_PLATFORM=offscreen $(BUILD)/tests/soak/tavenor-soak --seconds $(SOAK_SECONDS)

test-soak: test-soak-asan test-soak-tsan

# A small quarantine: freed memory then leaves the resident set soon, as
# it does without the sanitizer, so that the RSS check means the same.
test-soak-asan:
	cmake -S . -B $(ASAN) $(GEN) $(CMAKE_COMMON) -DTAVENOR_SANITIZE=address
	cmake --build $(ASAN) -j $(JOBS) --target tavenor-soak
	QT_QPA_PLATFORM=offscreen $(ASAN_ENV) \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=16 \
	  $(ASAN)/tests/soak/tavenor-soak --seconds 60 --assert

test-soak-tsan:
	cmake -S . -B $(TSAN) $(GEN) $(CMAKE_COMMON) -DTAVENOR_SANITIZE=thread -DTAVENOR_CORE_ONLY=ON
	cmake --build $(TSAN) -j $(JOBS) --target tavenor-soak-core
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(TSAN)/tests/soak/tavenor-soak-core --seconds 30 --sensors 10 --assert

# libFuzzer targets (clang): the frame parser, the .vdat loader,
# devicepara.dat, sensorcodes.conf, station.toml and the reply decoding;
# FUZZ_SECONDS each. `make test` runs each for 20 s.
fuzz:
	tools/run-fuzz $(FUZZ) $(FUZZ_SECONDS)

test-fuzz:
	tools/run-fuzz $(FUZZ) 20

bench: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target all_bench
	tools/run-benchmarks $(BUILD)

# Installs the station, the simulator, the desktop entry and the icon under
# $(PREFIX); DESTDIR stages the tree elsewhere, as packaging tools expect.
PREFIX ?= /usr/local
install: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target tavenor_shipped
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX) --strip

# Debian package in $(BUILD)/package/.
package: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target tavenor_shipped
	cd $(BUILD) && cpack -G DEB

# Unpacks the package into a scratch root and runs the programs from there.
package-check: package
	tools/check-package $(BUILD)/package

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) $(FUZZ)

# PNG images of the real windows with a simulated fleet, for the README.
.PHONY: screenshots
screenshots: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target tavenor-screenshots
	QT_QPA_PLATFORM=offscreen $(BUILD)/ui/main/tavenor-screenshots docs
	cmake --build $(BUILD) -j $(JOBS) --target tavenor tavenor-sim tavenor-plant
	tools/plant-screenshots $(BUILD) docs || [ $$? -eq 77 ]
