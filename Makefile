# kelp: build, test and run. Every target installs what is missing first.
BUILD_DIR   ?= build/release
ASAN_DIR    ?= build/asan
SCALAR_DIR  ?= build/scalar
VENV        ?= .venv
PY          := $(VENV)/bin/python
JOBS        ?= $(shell nproc)
STAMP       := $(VENV)/.kelp-installed

.PHONY: all deps build test test-cpp test-python test-sanitize test-scalar install demo bench format fuzz-build fuzz-smoke clean

all: build

deps:
	@scripts/install_deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELP_BUILD_TESTS=ON \
	      -DKELP_BUILD_BENCH=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)

test-cpp: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The Python tests import the package as a user would: pip-installed into .venv.
install: deps
	$(PY) -m pip install -q --no-build-isolation .

test-python: install
	$(PY) -m pytest -q -rP tests/python

test: test-cpp test-python

test-sanitize: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELP_SANITIZE=ON \
	      -DKELP_BUILD_BENCH=OFF
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

# The build a processor without x86 vector units gets: the one-lane summation kernel alone.
test-scalar: deps
	cmake -S . -B $(SCALAR_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELP_SCALAR_ONLY=ON \
	      -DKELP_BUILD_TESTS=ON -DKELP_BUILD_BENCH=OFF
	cmake --build $(SCALAR_DIR) -j $(JOBS)
	ctest --test-dir $(SCALAR_DIR) --output-on-failure -j $(JOBS)

demo: install
	$(PY) examples/demo.py

bench: build install
	@for b in $(BUILD_DIR)/bench/bench_*; do echo "== $$b"; $$b; done
	@echo "== whole runs of the summation cases (median of interleaved runs)"
	$(PY) bench/bench_summation.py --cases array,grid,fan10 --repeat 3

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build

# libFuzzer targets (clang + ASan/UBSan). `make fuzz-smoke` runs each for FUZZ_SECONDS.
FUZZ_DIR     ?= build/fuzz
FUZZ_SECONDS ?= 60
fuzz-build:
	@KELP_WITH_FUZZ=1 scripts/install_deps.sh
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKELP_SANITIZE=ON -DKELP_BUILD_FUZZERS=ON -DKELP_BUILD_TESTS=OFF -DKELP_BUILD_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_parse fuzz_run

fuzz-smoke: fuzz-build
	@for t in fuzz_parse fuzz_run; do \
	  corpus=$$(mktemp -d); cp fuzz/seeds/* $$corpus/; \
	  echo "== $$t for $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=detect_leaks=1 $(FUZZ_DIR)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) \
	    -dict=fuzz/kelp.dict -max_len=16384 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 $$corpus \
	    > $$corpus.log 2>&1; rc=$$?; tail -n 15 $$corpus.log; rm -rf $$corpus $$corpus.log; \
	  [ $$rc -eq 0 ] || exit $$rc; \
	done
