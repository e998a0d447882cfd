# Front end for the CMake build: make, make run, make test, make install,
# make package, make clean.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
PREFIX ?= /usr/local

.PHONY: all deps build run demo test install package clean check-asan check-tsan bench \
	bench-build bench-quick fuzz-smoke soak check-valgrind mutants

all: build

deps:
	@sh tools/check-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/sensomarkUSB

# A simulated device, the daemon configured for it, a few live queries.
demo: build
	@bash tools/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The mutation check: the faults of tools/mutants.txt planted one at a time
# into a copy of the tracked files (in /tmp; this tree stays as it is), each
# followed by the suite; prints which ones the tests catch. About twenty
# minutes; MUTANTS="3 7" picks some, MUTANTS_ARGS="--keep" keeps the copy.
MUTANTS ?=
MUTANTS_ARGS ?=
mutants: deps
	@MUTANTS_JOBS=$(JOBS) bash tools/mutants.sh $(MUTANTS_ARGS) $(MUTANTS)

# The programs, man pages and systemd unit below $(DESTDIR)$(PREFIX), the
# configuration and logrotate rules below $(DESTDIR)/etc; an existing
# sensomarkUSB.conf there is kept.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package $(BUILD)/sensomarkusb_VERSION_ARCH.deb (prefix /usr).
package: build
	cd $(BUILD) && cpack -G DEB

# The whole suite under ASan+UBSan or TSan; a sanitizer report from any process
# (the daemons the tests start included) fails the target.
check-asan:
	@MAKE="$(MAKE)" sh tools/check-sanitized.sh build-asan address

check-tsan:
	@MAKE="$(MAKE)" sh tools/check-sanitized.sh build-tsan thread

# Each libFuzzer target of fuzz/ for FUZZ_SECONDS (built with clang++ in build-fuzz);
# FUZZ_TARGETS picks some of them.
FUZZ_SECONDS ?= 30
FUZZ_TARGETS ?=
fuzz-smoke:
	@FUZZ_SECONDS=$(FUZZ_SECONDS) sh tools/fuzz.sh $(FUZZ_TARGETS)

# The daemon of $(BUILD) under load and device faults for SOAK_SECONDS (bench/soak.cpp).
SOAK_SECONDS ?= 60
SOAK_ARGS ?=
soak: build
	@cmake --build $(BUILD) --target sensomark-soak -j$(JOBS)
	./$(BUILD)/sensomark-soak --seconds $(SOAK_SECONDS) --daemon $(BUILD)/sensomarkUSB \
		--sim $(BUILD)/tools/sensomark-sim $(SOAK_ARGS)

# A short soak with the daemon under valgrind memcheck: no leaks, no invalid accesses.
check-valgrind: build
	@cmake --build $(BUILD) --target sensomark-soak -j$(JOBS)
	@bash tools/check-valgrind.sh $(BUILD)

# The daemon against a reference server under load (bench/run.sh): about twelve
# minutes; writes bench/results.md. bench-quick: a minute or two, one
# repetition each, to bench/results-quick.txt.
BENCH_BUILD ?= build-bench
bench-build: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENSOMARK_BENCH=ON >/dev/null
	@cmake --build $(BENCH_BUILD) -j$(JOBS) --target sensomarkUSB sensomark-sim loadgen refserver

bench: bench-build
	bash bench/run.sh $(BENCH_BUILD)

bench-quick: bench-build
	bash bench/run.sh --quick $(BENCH_BUILD)

clean:
	rm -rf build build-*
