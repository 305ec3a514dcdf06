# make demo   build the module into .venv and run the demo
# make test   build and run every test (C++ with and without SIMD, then Python,
#             then both again built with AddressSanitizer and UBSan)
# make check-memory  the long sanitizer and leak runs (see below)
# make bench  kernel and search benchmarks side by side with peers; report in bench/results/
#             (make bench QUICK=1: a few minutes on subsets, same report)
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Release

.PHONY: all test demo bench apt venv cpp-test cpp-test-scalar py-install py-test bench-kernels bench-search bench-test clean \
	cpp-test-asan py-asan py-test-asan check-memory

all: py-install

apt:
	@tools/ensure-apt.sh g++ libgtest-dev

$(VENV)/.ready: requirements-dev.txt
	@set -e; if [ ! -x $(PY) ]; then py=$$(tools/find-python.sh); "$$py" -m venv $(VENV); fi
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

venv: $(VENV)/.ready

build/core/build.ninja: CMakeLists.txt | venv apt
	$(CMAKE) -S . -B build/core $(CMAKE_FLAGS) -DTESKRA_BUILD_TESTS=ON

build/scalar/build.ninja: CMakeLists.txt | venv apt
	$(CMAKE) -S . -B build/scalar $(CMAKE_FLAGS) -DTESKRA_BUILD_TESTS=ON -DTESKRA_SIMD=OFF

cpp-test: build/core/build.ninja
	$(CMAKE) --build build/core -j $(JOBS)
	cd build/core && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

cpp-test-scalar: build/scalar/build.ninja
	$(CMAKE) --build build/scalar -j $(JOBS)
	cd build/scalar && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

py-install: venv
	$(PY) -m pip install -q --no-build-isolation -C build-dir=build/py .

py-test: py-install
	cd tests/python && ../../$(PY) -m pytest -q

test: cpp-test cpp-test-scalar py-test cpp-test-asan py-test-asan

# Sanitized builds: AddressSanitizer and UBSan, every report fatal (the
# binaries are built with -fno-sanitize-recover=all, the options make ASan
# halt too). The C++ suite also checks for leaks at exit. The module is loaded
# into an uninstrumented interpreter, so the ASan runtime (and libstdc++,
# which must be there before ASan sets up its exception interceptors) is
# preloaded; Python's own allocator is bypassed so ASan sees every block; the
# interpreter's deliberate leaks at exit are not checked. pytest captures
# only Python's own output (--capture=sys): a report written just before the
# process dies reaches the terminal instead of a capture file that dies too.
SAN_CMAKE_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" -DTESKRA_SANITIZE=ON
SAN_COMMON := halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
UBSAN_ENV := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
PY_SAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc PYTHONPATH=$(abspath build/asanpy) TESKRA_SANITIZED=1 \
	ASAN_OPTIONS=$(SAN_COMMON):detect_leaks=0 $(UBSAN_ENV)
# $(1): extra environment of the run.
define py_sanitized
	cd tests/python && $(PY_SAN_ENV) ../../$(PY) -c \
		"import teskra; assert '/build/asanpy/' in teskra.__file__, teskra.__file__"
	cd tests/python && $(PY_SAN_ENV) $(1) ../../$(PY) -m pytest -q -p no:cacheprovider --capture=sys
endef

build/asan/build.ninja: CMakeLists.txt | venv apt
	$(CMAKE) -S . -B build/asan $(SAN_CMAKE_FLAGS) -DTESKRA_BUILD_TESTS=ON

cpp-test-asan: build/asan/build.ninja
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=$(SAN_COMMON):detect_leaks=1 $(UBSAN_ENV) \
		$(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

build/asanpy/build.ninja: CMakeLists.txt | venv apt
	$(CMAKE) -S . -B build/asanpy $(SAN_CMAKE_FLAGS) -DTESKRA_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(abspath $(PY))

py-asan: build/asanpy/build.ninja
	$(CMAKE) --build build/asanpy -j $(JOBS)

# In make test: the whole Python suite against the sanitized module, with the
# model test and the leak loops cut down (the fault cases skip themselves).
py-test-asan: py-asan
	$(call py_sanitized,TESKRA_MODEL_EXAMPLES=40)

# The long runs: the Python suite under the sanitizers with a randomized,
# larger model test, then 10^5 calls of every public call against the
# release module, with the leak bounds of test_leaks.py.
check-memory: py-asan py-install
	$(call py_sanitized,TESKRA_MODEL_RANDOM=1 TESKRA_MODEL_EXAMPLES=400)
	cd tests/python && TESKRA_LEAK_FULL=1 ../../$(PY) -m pytest -q -p no:cacheprovider test_leaks.py

demo: py-install
	$(PY) examples/demo.py

$(VENV)/.bench-ready: requirements-bench.txt | venv
	$(PY) -m pip install -q -r requirements-bench.txt
	@touch $@

build/bench/build.ninja: CMakeLists.txt | venv
	$(CMAKE) -S . -B build/bench $(CMAKE_FLAGS) -DTESKRA_BUILD_BENCH=ON

# QUICK=1: only the padded dimensions the data sets use, and the driver's quick plan.
BENCH_FLAGS := $(if $(QUICK),--quick)
KERNEL_DIMS := $(if $(QUICK),512 1024)

bench-kernels: build/bench/build.ninja
	$(CMAKE) --build build/bench -j $(JOBS)
	build/bench/bench_kernels --json build/bench/kernels.json $(KERNEL_DIMS)

bench-search: py-install $(VENV)/.bench-ready
	$(PY) bench/bench.py $(BENCH_FLAGS)

# The benchmark's own checks (comparisons, report, data): no timing involved.
bench-test: $(VENV)/.bench-ready
	cd bench/tests && ../../$(PY) -m pytest -q -p no:cacheprovider

# Kernels first: the report quotes their rates.
bench: bench-kernels
	@$(MAKE) --no-print-directory bench-search QUICK=$(QUICK)

clean:
	rm -rf build
