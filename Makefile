# kelp: build, test and run. Every target installs what is missing first.
BUILD_DIR   ?= build/release
ASAN_DIR    ?= build/asan
VENV        ?= .venv
PY          := $(VENV)/bin/python
JOBS        ?= $(shell nproc)
STAMP       := $(VENV)/.kelp-installed

.PHONY: all deps build test test-cpp test-python test-sanitize install demo bench format fuzz-smoke clean

all: build

deps:
	@scripts/install_deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

test-cpp: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The Python tests import the package as a user would: pip-installed into .venv.
install: deps
	$(PY) -m pip install -q --no-build-isolation .

test-python: install
	$(PY) -m pytest -q tests/python

test: test-cpp test-python

test-sanitize: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELP_SANITIZE=ON \
	      -DKELP_BUILD_BENCH=OFF
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

demo: install
	$(PY) examples/demo.py

bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do echo "== $$b"; $$b; done

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
