# The two entry points of the README. Each installs what is missing first.
BUILD_TEST    := build/test
BUILD_RELEASE := build/release
BUILD_COVERAGE := build/coverage
BUILD_FUZZ    := build/fuzz
FUZZ_SECONDS  ?= 60
JOBS          := $(shell nproc)

.PHONY: all deps test coverage fuzz demo bench release clean

all: release

deps:
	bash scripts/install-deps.sh

# Tests run under AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps
	cmake -S . -B $(BUILD_TEST) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELORUM_SANITIZE=ON -DPELORUM_BUILD_BENCH=OFF
	cmake --build $(BUILD_TEST) -j$(JOBS)
	cd $(BUILD_TEST) && ctest --output-on-failure -j$(JOBS)

# Line and branch coverage of src/ by the whole suite (an unoptimised build
# without sanitizers, so every line maps to its code).
coverage: deps
	cmake -S . -B $(BUILD_COVERAGE) -DCMAKE_BUILD_TYPE=Debug -DPELORUM_COVERAGE=ON -DPELORUM_BUILD_BENCH=OFF
	cmake --build $(BUILD_COVERAGE) -j$(JOBS)
	find $(BUILD_COVERAGE) -name '*.gcda' -delete
	cd $(BUILD_COVERAGE) && ctest -j$(JOBS) --output-on-failure
	gcovr --root . --filter 'src/' --object-directory $(BUILD_COVERAGE) --exclude-unreachable-branches --exclude-throw-branches --print-summary --txt $(BUILD_COVERAGE)/coverage.txt

# Each file reader under libFuzzer with ASan and UBSan (clang), FUZZ_SECONDS
# seconds a target; fails when any target found a crash, leak, OOM or hang.
fuzz: deps
	cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DPELORUM_FUZZ=ON -DPELORUM_BUILD_TESTS=OFF -DPELORUM_BUILD_BENCH=OFF
	cmake --build $(BUILD_FUZZ) -j$(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz.sh $(BUILD_FUZZ)

release: deps
	cmake -S . -B $(BUILD_RELEASE) -DCMAKE_BUILD_TYPE=Release -DPELORUM_BUILD_TESTS=OFF
	cmake --build $(BUILD_RELEASE) -j$(JOBS)

demo: release
	bash scripts/demo.sh $(BUILD_RELEASE)

bench: release
	bash scripts/bench.sh $(BUILD_RELEASE)

clean:
	rm -rf build demo/out
