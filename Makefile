# A thin wrapper over CMake. `make demo` and `make test` install what is missing first.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build demo test test-release test-asan deps-demo deps-test clean

all: build

deps-demo:
	bash scripts/install-deps.sh demo

deps-test:
	bash scripts/install-deps.sh test

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

demo: deps-demo
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQOBZ_TESTS=OFF -DQOBZ_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	bash scripts/demo.sh build

# Every test: the release build, then the same tests under ASan and UBSan.
test: deps-test
	$(MAKE) test-release
	$(MAKE) test-asan
	@echo "make test: all suites passed"

test-release:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOBZ_SANITIZE=ON -DQOBZ_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

clean:
	rm -rf build build-asan build-fuzz build-win*
