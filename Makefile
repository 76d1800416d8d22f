# Convenience wrapper around CMake. `make run` and `make test` install what is
# missing (Debian packages), build, and run.
BUILD  ?= build
ASAN   ?= build-asan
JOBS   ?= $(shell nproc)
EXAMPLE ?= testdata/blink-mips.elf

.PHONY: all deps build run test unit-tests sanitize clean

all: build

deps:
	@./tools/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
	cmake --build $(BUILD) -j $(JOBS)

# Builds the tool and prints the hex listing of a bundled example executable.
run: build
	./$(BUILD)/romwright -f $(EXAMPLE) -H

# Every test: the suite on the normal build, then again under the sanitizers.
test: unit-tests sanitize

unit-tests: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

sanitize: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON -DROMWRIGHT_SANITIZE=ON
	cmake --build $(ASAN) -j $(JOBS)
	ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN)
