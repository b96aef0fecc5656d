# The two entry points of the README. Each installs what is missing first.
BUILD_TEST    := build/test
BUILD_RELEASE := build/release
JOBS          := $(shell nproc)

.PHONY: all deps test demo bench release clean

all: release

deps:
	bash scripts/install-deps.sh

# Tests run under AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps
	cmake -S . -B $(BUILD_TEST) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELORUM_SANITIZE=ON -DPELORUM_BUILD_BENCH=OFF
	cmake --build $(BUILD_TEST) -j$(JOBS)
	cd $(BUILD_TEST) && ctest --output-on-failure -j$(JOBS)

release: deps
	cmake -S . -B $(BUILD_RELEASE) -DCMAKE_BUILD_TYPE=Release -DPELORUM_BUILD_TESTS=OFF
	cmake --build $(BUILD_RELEASE) -j$(JOBS)

demo: release
	bash scripts/demo.sh $(BUILD_RELEASE)

bench: release
	bash scripts/bench.sh $(BUILD_RELEASE)

clean:
	rm -rf build demo/out
