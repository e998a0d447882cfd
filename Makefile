# Front end for the CMake build: make, make run, make test, make clean.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps build run test clean check-asan check-tsan

all: build

deps:
	@sh tools/check-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/sensomarkUSB

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

check-asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS=-DSANITIZE=address

check-tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS=-DSANITIZE=thread

clean:
	rm -rf build build-*
