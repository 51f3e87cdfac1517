# Entry points: `make demo` shows the daemon at work; `make test` installs what is missing, builds
# and runs the whole suite.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure --no-tests=error -j $(JOBS)

BUILD       := build
BUILD_ASAN  := build-asan
BUILD_TSAN  := build-tsan
BUILD_BENCH := build-bench
BUILD_FUZZ  := build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all deps build demo test test-sanitize test-asan test-tsan bench fuzz format clean package

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Builds only the daemon and the stand-in server, then runs them in build/demo.
demo: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@scripts/demo $(BUILD)

test: build
	cd $(BUILD) && ctest $(CTEST_FLAGS)

# The Debian package (CPack), built from $(BUILD): $(BUILD)/corfi_<version>_<arch>.deb.
package: build
	@cd $(BUILD) && cpack

test-sanitize: test-asan test-tsan

test-asan: deps
	@cmake -S . -B $(BUILD_ASAN) -DSANITIZE=address -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && \
	  ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest $(CTEST_FLAGS)

# ThreadSanitizer runs the tests labelled "threads".
test-tsan: deps
	@cmake -S . -B $(BUILD_TSAN) -DSANITIZE=thread -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest $(CTEST_FLAGS) -L threads

# daemon_bench starts corfi and the stand-in server and prints the end-to-end ratio and memory.
bench: deps
	@cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_BENCH) -j $(JOBS) --target benches
	@for b in $(BUILD_BENCH)/bench/*_bench; do echo "== $$b"; $$b --benchmark_repetitions=5 --benchmark_report_aggregates_only=true || exit 1; done

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS on its seed corpus.
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DFUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzzers
	@scripts/run-fuzzers $(BUILD_FUZZ) $(FUZZ_SECONDS)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_BENCH) $(BUILD_FUZZ)
