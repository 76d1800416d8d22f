# Convenience wrapper around CMake. `make run` and `make test` install what is
# missing (Debian packages), build, and run: `make run` only the tool,
# `make test` everything.
BUILD   ?= build
RUN     ?= build-run
ASAN    ?= build-asan
FUZZ    ?= build-fuzz
VG      ?= build-valgrind
TSAN    ?= build-tsan
PKG     ?= build-package
DIST    ?= build-dist
JOBS    ?= $(shell nproc)
SHELL   := /bin/bash
EXAMPLE ?= testdata/blink-mips.elf
FUZZ_SECONDS ?= 60
FUZZ_RECORDS_SECONDS ?= 20
FUZZ_RESPONSE_SECONDS ?= 10

# Large declared rooms are refused by the sanitizer's allocator while fuzzing,
# which also drives the loader's allocation-failure paths.
FUZZ_ENV   = ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=512
FUZZ_FLAGS = -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 -close_fd_mask=2 \
             -dict=fuzz/elf.dict -print_final_stats=1
FUZZ_RECORDS_FLAGS = -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
             -dict=fuzz/records.dict -print_final_stats=1
VALGRIND   = valgrind -q --error-exitcode=99 --leak-check=full \
             --errors-for-leak-kinds=definite --log-file=$(CURDIR)/$(VG)/valgrind.%p.log

.PHONY: all deps build run test unit-tests sanitize tsan fuzz-build fuzz-smoke fuzz valgrind clean package dist

all: build

deps:
	@./tools/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
	cmake --build $(BUILD) -j $(JOBS)

# Builds the tool alone, in a tree of its own without the tests, and prints
# the hex listing of a bundled example executable.
run:
	@./tools/install-deps --tool
	cmake -S . -B $(RUN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RUN) -j $(JOBS) --target romwright
	./$(RUN)/romwright -f $(EXAMPLE) -H

# Every test: the suite on the normal build, again under ASan and UBSan, the
# end-to-end tests under valgrind, and a bounded fuzzing run.
test: unit-tests sanitize tsan valgrind fuzz-smoke

unit-tests: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

sanitize: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DROMWRIGHT_SANITIZE=ON
	cmake --build $(ASAN) -j $(JOBS)
	ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)

# The library's calls in several threads at once, under ThreadSanitizer.
tsan: deps
	cmake -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DROMWRIGHT_TSAN=ON
	cmake --build $(TSAN) -j $(JOBS) --target romwright_unit_tests
	TSAN_OPTIONS=halt_on_error=1 ./$(TSAN)/tests/romwright_unit_tests --gtest_filter='Library.*'

# valgrind needs a dynamically linked tool to watch its heap.
valgrind: deps
	@./tools/install-deps valgrind
	cmake -S . -B $(VG) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DROMWRIGHT_STATIC=OFF
	cmake --build $(VG) -j $(JOBS)
	rm -f $(VG)/valgrind.*.log
	ROMWRIGHT_WRAPPER="$(VALGRIND)" ctest --test-dir $(VG) -L e2e --output-on-failure -j $(JOBS)
	@if cat $(VG)/valgrind.*.log 2>/dev/null | grep -q .; then cat $(VG)/valgrind.*.log; exit 1; fi
	@echo "valgrind: no errors in $$(ls $(VG)/valgrind.*.log | wc -l) runs of the tool"

fuzz-build: deps
	@./tools/install-deps clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBUILD_TESTING=OFF -DROMWRIGHT_FUZZ=ON
	cmake --build $(FUZZ) -j $(JOBS) --target fuzz_load fuzz_records fuzz_response

# A bounded run: new inputs go to a scratch corpus, the committed one is read
# as regression inputs. Any crash, sanitizer report, leak or time-out fails.
fuzz-smoke: fuzz-build
	rm -rf $(FUZZ)/corpus $(FUZZ)/artifacts && mkdir -p $(FUZZ)/corpus $(FUZZ)/artifacts
	$(FUZZ_ENV) ./$(FUZZ)/fuzz_load $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	  -artifact_prefix=$(FUZZ)/artifacts/ $(FUZZ)/corpus fuzz/corpus 2>&1 | \
	  grep -v 'failed to allocate' | tail -n 25; exit $${PIPESTATUS[0]}
	rm -rf $(FUZZ)/corpus-records && mkdir -p $(FUZZ)/corpus-records
	./$(FUZZ)/fuzz_records $(FUZZ_RECORDS_FLAGS) -max_total_time=$(FUZZ_RECORDS_SECONDS) \
	  -artifact_prefix=$(FUZZ)/artifacts/ $(FUZZ)/corpus-records fuzz/corpus-records 2>&1 | \
	  tail -n 25; exit $${PIPESTATUS[0]}
	rm -rf $(FUZZ)/corpus-response && mkdir -p $(FUZZ)/corpus-response
	./$(FUZZ)/fuzz_response -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
	  -max_total_time=$(FUZZ_RESPONSE_SECONDS) -artifact_prefix=$(FUZZ)/artifacts/ \
	  $(FUZZ)/corpus-response fuzz/corpus-response 2>&1 | tail -n 25; exit $${PIPESTATUS[0]}

# A long run for development: make fuzz FUZZ_SECONDS=1800
fuzz: fuzz-smoke

# The Debian packages: the tool, and the library, its development files and
# the Python module where the build makes them, from a dynamically linked,
# hardened build of their own. Prints the paths of the .deb files and of the
# -dbgsym packages (.ddeb).
package: deps
	./packaging/build-packages.sh $(PKG) $(JOBS)

# The release archive $(DIST)/romwright-VERSION-linux-ARCH.tar.gz: a static,
# stripped romwright with its manual page, README.md and LICENSE.
dist: deps
	./packaging/make-dist.sh $(DIST) $(DIST) $(JOBS)

clean:
	rm -rf $(BUILD) $(RUN) $(ASAN) $(FUZZ) $(VG) $(TSAN) $(PKG) $(DIST)
