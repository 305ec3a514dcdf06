# make demo          build the module into .venv and run the demo
# make data          rebuild the real LSA vectors from Debian's package descriptions into data/lsa384
# make check         day to day: the C++ suite and the Python suite (short leak loops) on the release build
# make test          CI (.ci/run): make check, the C++ suite again on each kernel level, the C++ and
#                    Python suites built with AddressSanitizer and UBSan (the leak loops run in
#                    make check's part only)
# make check-portable  the C++ suite of the portable build without the SIMD kernels
# make check-memory  the long sanitizer and leak runs (see below)
# make bench         kernel and search benchmarks side by side with peers; report in bench/results/
#                    (make bench QUICK=1: a few minutes on subsets, same report)
# make format        clang-format over the C++ sources (make format-check: report, change nothing)
# make fuzz          the index-file fuzz target under ASan + UBSan (FUZZ_RUNS iterations)
#
# Every build is a preset of CMakePresets.json in build/<preset>: release (SIMD kernels, C++ tests and
# the module, which pip installs into .venv from the same build), scalar, asan, fuzz, bench. The test
# builds turn warnings into errors (TESKRA_WERROR).
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
JOBS ?= $(shell nproc)

.PHONY: all apt venv demo data check test check-memory bench bench-kernels bench-search bench-test format \
	format-check fuzz clean release scalar asan cpp-test cpp-test-asan cpp-test-kernels check-portable \
	py-install py-test py-test-asan py-test-asan-leaks py-test-asan-rest test-steps

all: py-install

apt:
	@tools/ensure-apt.sh g++ libgtest-dev

$(VENV)/.ready: requirements-dev.txt
	@set -e; if [ ! -x $(PY) ]; then py=$$(tools/find-python.sh); "$$py" -m venv $(VENV); fi
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

venv: $(VENV)/.ready

# Configure (quick when nothing changed) and build one preset. Under a parallel make (make test) ninja
# takes its compile jobs from make's job slots instead of starting $(JOBS) of its own.
NINJA_JOBS = $(if $(findstring jobserver,$(MAKEFLAGS)),,-j $(JOBS))
define build_preset
	$(CMAKE) --preset $(1) --log-level=WARNING
	+$(CMAKE) --build --preset $(1) $(NINJA_JOBS)
endef

# pip builds the wheel in build/release with the release preset, so it finds everything compiled
# already and only installs. $(1): whether the build keeps the C++ tests (ON for the test targets;
# make demo needs no GoogleTest).
define pip_install
	$(PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/release \
		-C cmake.args=--preset=release -C cmake.define.TESKRA_BUILD_TESTS=$(1) .
endef

# The release build: C++ tests, and the module, installed into .venv for the Python suite.
release: venv apt
	$(call build_preset,release)
	$(call pip_install,ON)

scalar: venv apt
	$(call build_preset,scalar)

asan: venv apt
	$(call build_preset,asan)

py-install: venv
	$(call pip_install,OFF)

cpp-test: release
	$(CTEST) --preset release -j $(JOBS)

py-test: release
	cd tests/python && ../../$(PY) -m pytest -q -p no:cacheprovider

# The portable build (no SIMD kernels) takes as long to build as the release one, too long for
# make test's three minutes: make test runs the release suite once more on each kernel level instead, the
# scalar kernels included (TESKRA_KERNELS); make check-portable builds and runs the portable suite.
cpp-test-kernels: release
	for level in scalar avx2; do \
		TESKRA_KERNELS=$$level $(CTEST) --preset release -j $(JOBS) --progress || exit 1; done

check-portable: scalar
	$(CTEST) --preset scalar -j $(JOBS)

check: cpp-test py-test

# The steps of make test run as parallel jobs of one sub-make: builds and test runs share the cores
# (the single-threaded Python suites beside a build) without starting more compile jobs than there are
# cores. The order packs them: the sanitized build, the longest, and the release build first, the Python
# suites as soon as their module is built. Each step's output is printed whole when it ends.
test:
	@$(MAKE) --no-print-directory -j $(JOBS) --output-sync=target test-steps

test-steps: py-test-asan-rest py-test cpp-test-asan cpp-test cpp-test-kernels

# Sanitized builds: AddressSanitizer and UBSan, every report fatal (the binaries are built with
# -fno-sanitize-recover=all, the options make ASan halt too). The C++ suite also checks for leaks at
# exit (the asan test preset). The module is loaded into an uninstrumented interpreter, so the ASan
# runtime (and libstdc++, which must be there before ASan sets up its exception interceptors) is
# preloaded; Python's own allocator is bypassed so ASan sees every block; the interpreter's deliberate
# leaks at exit are not checked. pytest captures only Python's own output (--capture=sys): a report
# written just before the process dies reaches the terminal instead of a capture file that dies too.
SAN_COMMON := halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
PY_SAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc PYTHONPATH=$(abspath build/asan) TESKRA_SANITIZED=1 \
	ASAN_OPTIONS=$(SAN_COMMON):detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# $(1): extra environment of the run; $(2): which tests (all when empty).
define py_sanitized
	cd tests/python && $(PY_SAN_ENV) ../../$(PY) -c \
		"import teskra; assert '/build/asan/' in teskra.__file__, teskra.__file__"
	cd tests/python && $(PY_SAN_ENV) $(1) ../../$(PY) -m pytest -q -p no:cacheprovider --capture=sys $(2)
endef

cpp-test-asan: asan
	$(CTEST) --preset asan -j $(JOBS)

# The Python suite against the sanitized module, with the model test cut down (the fault cases skip
# themselves), in two parts that a parallel make runs side by side: the leak loops, and the rest.
# make test runs the rest only: the leak bounds are held by make check's run against the release
# module, and every call the loops repeat is made under the sanitizers by the rest already.
py-test-asan: py-test-asan-leaks py-test-asan-rest

py-test-asan-leaks: asan
	$(call py_sanitized,,test_leaks.py)

py-test-asan-rest: asan
	$(call py_sanitized,TESKRA_MODEL_EXAMPLES=40,--ignore=test_leaks.py)

# The long runs: the Python suite under the sanitizers with a randomized, larger model test, then
# against the release module 5 x 10^4 calls of every public call with the leak bounds of test_leaks.py,
# and the memory-exhaustion sweeps of test_faults.py at every step instead of the sparse default.
check-memory: asan release
	$(call py_sanitized,TESKRA_MODEL_RANDOM=1 TESKRA_MODEL_EXAMPLES=400)
	cd tests/python && TESKRA_LEAK_FULL=1 TESKRA_FAULTS_FULL=1 ../../$(PY) -m pytest -q -p no:cacheprovider test_leaks.py test_faults.py

demo: py-install
	$(PY) examples/demo.py

# The real LSA vectors for the demo and the benchmarks, rebuilt from Debian's package descriptions into
# data/lsa384 (a couple of minutes; tools/make_lsa.py says how). Not needed where the set lies beside
# the repository already.
$(VENV)/.data-ready: requirements-data.txt | venv
	$(PY) -m pip install -q -r requirements-data.txt
	@touch $@

data: $(VENV)/.data-ready
	OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 $(PY) tools/make_lsa.py data/lsa384

$(VENV)/.bench-ready: requirements-bench.txt | venv
	$(PY) -m pip install -q -r requirements-bench.txt
	@touch $@

# QUICK=1: only the padded dimensions the data sets use, and the driver's quick plan.
BENCH_FLAGS := $(if $(QUICK),--quick)
KERNEL_DIMS := $(if $(QUICK),512 1024)

bench-kernels: venv
	$(call build_preset,bench)
	build/bench/bench_kernels --json build/bench/kernels.json $(KERNEL_DIMS)

bench-search: py-install $(VENV)/.bench-ready
	$(PY) bench/bench.py $(BENCH_FLAGS)

# The benchmark's own checks (comparisons, report, data): no timing involved.
bench-test: $(VENV)/.bench-ready
	cd bench/tests && ../../$(PY) -m pytest -q -p no:cacheprovider

# Kernels first: the report quotes their rates.
bench: bench-kernels
	@$(MAKE) --no-print-directory bench-search QUICK=$(QUICK)

# The standalone mutation driver (fuzz/driver.cpp); a crashing input is written to build/fuzz.
FUZZ_RUNS ?= 100000
fuzz: venv
	$(call build_preset,fuzz)
	cd build/fuzz && ASAN_OPTIONS=$(SAN_COMMON) UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		./fuzz_load $(FUZZ_RUNS)

FORMAT_FILES = $(shell find core python tests/core fuzz -name '*.cpp' -o -name '*.h' -o -name '*.inc') \
	$(wildcard bench/*.cpp examples/*.cpp)

format:
	@command -v clang-format >/dev/null || tools/ensure-apt.sh clang-format
	clang-format -i $(FORMAT_FILES)

format-check:
	@command -v clang-format >/dev/null || tools/ensure-apt.sh clang-format
	clang-format --dry-run -Werror $(FORMAT_FILES)

clean:
	rm -rf build
