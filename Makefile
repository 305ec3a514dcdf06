# make demo   build the module into .venv and run the demo
# make test   build and run every test (C++ with and without SIMD, then Python)
# make bench  kernel and search benchmarks, side by side with peers
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= $(shell nproc)
CMAKE_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Release

.PHONY: all test demo bench apt venv cpp-test cpp-test-scalar py-install py-test bench-kernels bench-search clean

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

test: cpp-test cpp-test-scalar py-test

demo: py-install
	$(PY) examples/demo.py

$(VENV)/.bench-ready: requirements-bench.txt | venv
	$(PY) -m pip install -q -r requirements-bench.txt
	@touch $@

build/bench/build.ninja: CMakeLists.txt | venv
	$(CMAKE) -S . -B build/bench $(CMAKE_FLAGS) -DTESKRA_BUILD_BENCH=ON

bench-kernels: build/bench/build.ninja
	$(CMAKE) --build build/bench -j $(JOBS)
	build/bench/bench_kernels --json build/bench/kernels.json

bench-search: py-install $(VENV)/.bench-ready
	$(PY) bench/bench_search.py
	$(PY) bench/bench_ann.py

bench: bench-kernels bench-search

clean:
	rm -rf build
