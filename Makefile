# Tarnix: `make demo` builds, installs and runs the quickstart; `make test` builds and runs
# every test. Both install whatever a fresh machine lacks first (`make deps`).
SHELL := /bin/bash
PYTHON ?= python3
PYPY ?= pypy3
PYPY_VENV := .venv-pypy
JOBS ?= $(shell nproc)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
DEB_PACKAGES := g++ libroaring-dev nlohmann-json3-dev libgtest-dev pypy3 pypy3-dev pypy3-venv
PY_PACKAGES := pytest hypothesis numpy scikit-build-core
PYPY_PACKAGES := pytest hypothesis

.PHONY: deps demo test build-cpython build-pypy test-core test-cpython test-pypy clean

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi
	@$(PYTHON) -c "import pytest, hypothesis, numpy, scikit_build_core" 2>/dev/null || \
	  $(PYTHON) -m pip install -q $(PY_PACKAGES)
	@command -v cmake >/dev/null && command -v ninja >/dev/null || $(PYTHON) -m pip install -q cmake ninja
	@[ -x $(PYPY_VENV)/bin/python ] || $(PYPY) -m venv $(PYPY_VENV)
	@$(PYPY_VENV)/bin/python -c "import pytest, hypothesis" 2>/dev/null || \
	  $(PYPY_VENV)/bin/python -m pip install -q $(PYPY_PACKAGES)

demo: deps
	$(PYTHON) -m pip install -q --no-build-isolation .
	cd examples && $(PYTHON) quickstart.py

build-cpython: deps
	@cmake -S . -B build/cpython -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE="$$(command -v $(PYTHON))" >/dev/null
	cmake --build build/cpython -j $(JOBS)

build-pypy: deps
	@cmake -S . -B build/pypy -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNIX_BUILD_TESTS=OFF \
	  -DPython_EXECUTABLE="$(CURDIR)/$(PYPY_VENV)/bin/python" >/dev/null
	cmake --build build/pypy -j $(JOBS)

test-core: build-cpython
	ctest --test-dir build/cpython --output-on-failure -j $(JOBS)

test-cpython: build-cpython
	PYTHONPATH=build/cpython $(PYTHON) -m pytest -q tests/python

test-pypy: build-pypy
	PYTHONPATH=build/pypy $(PYPY_VENV)/bin/python -m pytest -q tests/python

test: test-core test-cpython test-pypy

clean:
	rm -rf build
