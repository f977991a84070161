# Set-up, build, test and benchmarks. Every target bootstraps what a fresh machine lacks.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
APT_PACKAGES := g++ libtbb-dev libspdlog-dev libfmt-dev nlohmann-json3-dev libgtest-dev libbenchmark-dev libnuma-dev
PY_TOOLS := scikit-build-core cmake ninja
CMAKE_COMMON = -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

.PHONY: all demo test build bench test-asan test-cpp test-python fixtures deps venv clean

all: build

# Debian packages the native build needs (installed only when missing).
deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

$(VENV)/.stamp: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q $(PY_TOOLS)
	$(VPY) -m pip install -q $$($(VPY) -c "import tomllib;print(' '.join(tomllib.load(open('pyproject.toml','rb'))['project']['optional-dependencies']['test']))")
	touch $@

venv: deps $(VENV)/.stamp

# Builds the extension and installs it into the virtual environment.
build: venv
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	$(VPY) -c "import orvane"

# Files for the C++ tests, written by the reference libraries.
fixtures: venv
	@for f in tests/fixtures/make_*.py; do [ -e "$$f" ] || continue; \
	  n=$$(basename $$f .py); n=$${n#make_}; \
	  $(VPY) $$f build/fixtures/$$n || exit 1; done

test-cpp: venv fixtures
	$(CMAKE) -S . -B build/cpp $(CMAKE_COMMON) -DORVANE_BUILD_TESTS=ON >/dev/null
	$(CMAKE) --build build/cpp --target orvane_tests orvane_binding_tests
	ORVANE_TEST_FIXTURES=$(abspath build/fixtures) build/cpp/orvane_tests --gtest_brief=1
	build/cpp/orvane_binding_tests --gtest_brief=1

test-python: build
	$(VPY) -m pytest -q tests/python

test: test-cpp test-python

demo: build
	$(VPY) demo/demo.py

bench: build
	$(CMAKE) -S . -B build/bench $(CMAKE_COMMON) -DORVANE_BUILD_MODULE=OFF -DORVANE_BUILD_BENCH=ON >/dev/null
	$(CMAKE) --build build/bench
	@for b in build/bench/bench_*; do [ -x "$$b" ] && { echo "== $$(basename $$b)"; "$$b" || exit 1; }; done
	$(VPY) bench/bench_engine.py

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer: the C++ tests, then the Python
# tests against a sanitized build of the module.
test-asan: venv fixtures
	$(CMAKE) -S . -B build/asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=ON \
	  -DORVANE_BUILD_MODULE=ON -DORVANE_BUILD_TESTS=ON >/dev/null
	$(CMAKE) --build build/asan
	ORVANE_TEST_FIXTURES=$(abspath build/fixtures) ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 build/asan/orvane_tests --gtest_brief=1
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 build/asan/orvane_binding_tests --gtest_brief=1
	ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  PYTHONPATH=build/asan $(VPY) -m pytest -q -p no:cacheprovider tests/python

clean:
	rm -rf build
