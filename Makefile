# Front end for the CMake build: make, make run, make test, make test-all,
# make install, make package, make check-package, make clean.
JOBS ?= 2
CMAKE_FLAGS ?=
# ARCH=arm64 or ARCH=armhf on a PC: cross-build with Debian's cross compilers into
# build-ARCH, and run the tests there under qemu user emulation (cmake/toolchain-ARCH.cmake).
# On the board itself, or when ARCH names this machine, the build is the native one.
ARCH ?=
NATIVE_ARCH := $(shell dpkg --print-architecture 2>/dev/null)
ifneq ($(filter-out $(NATIVE_ARCH),$(ARCH)),)
ifeq ($(filter arm64 armhf,$(ARCH)),)
$(error ARCH=$(ARCH): cross builds are for arm64 and armhf)
endif
BUILD ?= build-$(ARCH)
CROSS_FLAGS = -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-$(ARCH).cmake
# dpkg-shlibdeps (make package) reads the libraries' dependencies of the target.
export DEB_HOST_ARCH = $(ARCH)
endif
BUILD ?= build
PREFIX ?= /usr/local

.PHONY: all deps deps-programs build build-tests run demo test test-all check-thread-safety install package \
	check-package check-includes clean check-asan check-tsan bench bench-build bench-quick bench-mqtt \
	bench-core bench-core-quick bench-web bench-web-quick bench-history bench-history-quick bench-history-web \
	bench-burst bench-burst-quick fuzz-smoke soak check-valgrind fresh-machine-check mutants

all: build

deps:
	@sh tools/check-deps.sh $(ARCH)

# What building the programs takes (make run, install, package): for a cross
# build no emulator, GoogleTest nor the target's run-time libraries.
deps-programs:
	@sh tools/check-deps.sh --programs $(ARCH)

# Warnings are errors for the developers (make test) and CI, not in a user's
# make run, install or package.
# Unset, a build keeps what its folder was configured with (off in a new one),
# so make run after make test rebuilds nothing.
WERROR ?=
configure = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	$(if $(WERROR),-DSENSOMARK_WERROR=$(WERROR)) $(CROSS_FLAGS) $(CMAKE_FLAGS) >/dev/null

# The programs that are run, installed and packaged (the CMake target
# sensomark-programs): neither the tests nor the daemon with the test seams,
# and for a cross build nothing that runs a program of the target.
build: deps-programs
	@$(configure)
	@cmake --build $(BUILD) -j$(JOBS) --target sensomark-programs

# Everything: the programs, the tests and the daemon the tests start.
build-tests: deps
	@$(configure)
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/sensomarkUSB

# A simulated device, the daemon configured for it, a few live queries.
demo: build
	@bash tools/demo.sh $(BUILD)

# make test leaves out the tests labelled "slow" (the half-minute staleness and
# the reconnect pause on the real clock); make test-all runs everything. A build
# without GoogleTest has no tests: that fails instead of passing.
test:
	@$(MAKE) --no-print-directory build-tests WERROR=ON
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS) -LE slow

test-all:
	@$(MAKE) --no-print-directory build-tests WERROR=ON
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS)

# The include graphs of src/, by file and by folder: fails on any cycle but
# connection <-> connectionmanager.
check-includes:
	@bash tools/check-includes.sh

# The daemon built with clang and -Wthread-safety -Werror: every access to a
# guarded field and every call that needs a lock is checked against the
# annotations of src/common/mutex.h.
check-thread-safety:
	@sh tools/check-fuzz-deps.sh >/dev/null
	@CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DSENSOMARK_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
	@cmake --build build-clang -j$(JOBS) --target sensomarkUSB
	@echo "thread-safety analysis: clean"

# The README's set-up lines (install line, make test, make run) as root in a
# freshly bootstrapped minimal Debian 12 chroot; needs root and Debian's archive.
# The base system is cached in /var/cache/sensomark-fresh.
fresh-machine-check:
	@bash tools/fresh-machine-check.sh

# The mutation check: the faults of tools/mutants.txt planted one at a time
# into a copy of the tracked files (in /tmp; this tree stays as it is), each
# followed by the whole suite; writes which tests kill which fault (the kill
# matrix, build/mutants-matrix.tsv) and its summary. Hours on two cores;
# MUTANTS="3 7" picks some, MUTANTS_ARGS="--quick" stops at each fault's
# first killer (likely killers first; an hour), MUTANTS_ARGS="--keep" keeps the copy.
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
# Packagers name themselves once, kept in the build's cache:
#   cmake -S . -B build -DSENSOMARK_MAINTAINER="Name <mail>"
package: build
	cd $(BUILD) && cpack -G DEB

# That package checked by lintian (installed when missing and root): an error or
# a warning fails.
check-package:
	@MAKE="$(MAKE)" BUILD=$(BUILD) ARCH=$(ARCH) sh tools/check-package.sh

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
	@cmake --build $(BENCH_BUILD) -j$(JOBS) --target sensomarkUSB sensomark-sim loadgen refserver \
		webload historybench histview

bench: bench-build
	bash bench/run.sh $(BENCH_BUILD)
	bash bench/core.sh $(BENCH_BUILD)
	bash bench/web.sh $(BENCH_BUILD)
	bash bench/history.sh $(BENCH_BUILD)
	bash bench/historyweb.sh $(BENCH_BUILD)

# The history on disk (bench/history.sh): bytes written and fsyncs per device in
# a simulated day, start-up time and resident memory with a year for 16
# devices; under a minute. Appended to bench/results.md.
bench-history: bench-build
	bash bench/history.sh $(BENCH_BUILD)

bench-history-quick: bench-build
	bash bench/history.sh --quick $(BENCH_BUILD)

# Idle wake-ups, stop latency and throughput against the build of BASELINE
# (a commit; default the last one before waits stopped polling): about five
# minutes; appended to bench/results.md. bench-core-quick: about two minutes.
bench-core: bench-build
	bash bench/core.sh $(BENCH_BUILD)

bench-core-quick: bench-build
	bash bench/core.sh --quick $(BENCH_BUILD)

bench-quick: bench-build
	bash bench/run.sh --quick $(BENCH_BUILD)

# The web port against the build of BASELINE (a commit; default the last one before responses
# were shared): scrape latency while clients loop on the status page of 100 devices with a
# full day, SIGTERM to exit under that load, memory with 64 clients that never read a 5 MB
# /metrics. About five minutes; appended to bench/results.md. bench-web-quick: about three
# minutes, one run each, to bench/results-web-quick.txt.
bench-web: bench-build
	bash bench/web.sh $(BENCH_BUILD)

bench-web-quick: bench-build
	bash bench/web.sh --quick $(BENCH_BUILD)

# A burst of 1,500 clients at once with the listen backlog of old (5) and the default,
# a parallel build beside it (bench/burst.sh): the clients answered; about ten minutes.
# Appended to bench/results.md; bench-burst-quick: one run each, to results-burst-quick.txt.
bench-burst: bench-build
	bash bench/burst.sh $(BENCH_BUILD)

bench-burst-quick: bench-build
	bash bench/burst.sh --quick $(BENCH_BUILD)

# The status page of each range, a year as JSON and as CSV, drawn from a full year of 16
# devices (bench/historyweb.sh): a few seconds; appended to bench/results.md.
bench-history-web: bench-build
	bash bench/historyweb.sh $(BENCH_BUILD)

# MQTT publishing (bench/mqtt.sh): query throughput with and without it, and resident memory
# across a broker outage of OUTAGE_SECONDS at 100 device lines per second; about seven minutes.
# Writes bench/results-mqtt.md.
OUTAGE_SECONDS ?= 300
bench-mqtt: bench-build
	OUTAGE_SECONDS=$(OUTAGE_SECONDS) bash bench/mqtt.sh $(BENCH_BUILD)

clean:
	rm -rf build build-*
