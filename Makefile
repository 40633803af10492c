# A thin wrapper over CMake. `make demo` and `make test` install what is missing first.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build demo test test-release test-asan test-windows test-fuzz fuzz-long deps-demo \
  deps-test clean

all: build

deps-demo:
	bash scripts/install-deps.sh demo

deps-test:
	bash scripts/install-deps.sh test

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQOBZ_TOOLS=ON $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

demo: deps-demo
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQOBZ_TOOLS=ON -DQOBZ_TESTS=OFF -DQOBZ_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	bash scripts/demo.sh build

# ctest in a build folder, then the suites it skipped ("SKIPPED: <suite>: <reason>" lines).
CTEST = ctest --output-on-failure -j $(JOBS) --test-dir
run_ctest = $(CTEST) $(1); s=$$?; bash scripts/skipped.sh $(1); exit $$s
CTEST_DIRS = build build-asan $(foreach w,build-win32 build-win64,$(w)/launcher $(w)/tests/windows)

# Every test: the release build, then the same tests under ASan and UBSan. A suite that needs an
# optional package that is not installed is skipped; the last line names each skip and its reason.
test: deps-test
	rm -f $(addsuffix /Testing/Temporary/LastTest.log,$(CTEST_DIRS))
	$(MAKE) test-release
	$(MAKE) test-asan
	$(MAKE) test-windows
	$(MAKE) test-fuzz
	$(MAKE) test-package
	@bash scripts/skipped.sh --summary $(CTEST_DIRS)

test-release:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQOBZ_TESTS=ON -DQOBZ_TOOLS=ON -DQOBZ_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	$(call run_ctest,build)

test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOBZ_SANITIZE=ON -DQOBZ_TESTS=ON -DQOBZ_TOOLS=ON -DQOBZ_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	$(call run_ctest,build-asan)

# libFuzzer harnesses (clang, ASan + UBSan), each run for a short bounded time from its saved
# corpus. FUZZ_SECONDS sets the time per target; `make fuzz-long` runs them for ten minutes.
FUZZ_SECONDS ?= 30
FUZZ_TARGETS = lh5_expand lzh_expand rle_expand archive_expand rle_roundtrip lzh_roundtrip \
  lh5_roundtrip lh5_best_roundtrip

test-fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DQOBZ_FUZZ=ON -DQOBZ_SANITIZE=ON -DQOBZ_TESTS=OFF \
	  -DQOBZ_BENCH=OFF -DQOBZ_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t && \
	  build-fuzz/bin/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -print_final_stats=1 \
	    build-fuzz/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

# The library as other programs use it: installed (static and shared), then the examples built
# with find_package, pkg-config, add_subdirectory and FetchContent, and run.
.PHONY: test-package
test-package:
	JOBS=$(JOBS) bash tests/package/check_package.sh build-package

fuzz-long:
	$(MAKE) test-fuzz FUZZ_SECONDS=600

# The launcher for Windows, each build testing itself under Wine (ctest in its launcher folder, and
# in tests/windows for what only Windows paths have):
# the shipped 32-bit DLL (static checks, then end to end under 32-bit Wine) and the 64-bit DLL from
# the same source under wine64. A machine without a working 32-bit Wine skips the 32-bit end-to-end
# test (ctest shows it as Skipped, with the reason below); wine64 is required, so the 64-bit one
# fails instead. The host build supplies the packing tool.
WIN_FLAGS = -DQOBZ_TESTS=OFF -DQOBZ_TOOLS=OFF -DQOBZ_BENCH=OFF -DQOBZ_HOST_TOOL=$(CURDIR)/build/bin/qobz
test-windows:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQOBZ_TOOLS=ON $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target qobz
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel $(WIN_FLAGS)
	cmake --build build-win32 -j $(JOBS)
	$(call run_ctest,build-win32/launcher)
	$(call run_ctest,build-win32/tests/windows)
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release $(WIN_FLAGS)
	cmake --build build-win64 -j $(JOBS)
	$(call run_ctest,build-win64/launcher)
	$(call run_ctest,build-win64/tests/windows)

clean:
	rm -rf build build-asan build-fuzz build-win* build-package
