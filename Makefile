# Everything a contributor or CI needs, from a fresh machine.
#   make demo   build and install into .venv, then run the demo strategy
#   make test   build and install into .venv, then run the test suite
SHELL := /bin/bash
# Any CPython from 3.10 on: `make test PYTHON_VERSION=3.12.1` builds and tests
# with pyenv's 3.12.1 in .venv-3.12 (3.10, the reference, uses .venv). A
# trailing "d" names an interpreter's debug build (PYTHON_VERSION=3.14d:
# python3.14d, in .venv-3.14d). Interpreters pyenv cannot build here (3.14,
# 3.15, 3.14d) are Debian's, in the chroot of `make chroot`: run any target
# there with `ci/chroot.sh run -- make ...`; `make test-all` does so itself.
PYTHON_VERSION ?= 3.10.13
PYTHON_DEBUG := $(filter %d,$(PYTHON_VERSION))
PYTHON_BASE := $(patsubst %d,%,$(PYTHON_VERSION))
PYTHON_MINOR := $(word 1,$(subst ., ,$(PYTHON_BASE))).$(word 2,$(subst ., ,$(PYTHON_BASE)))
PYTHON_TAG := $(PYTHON_MINOR)$(if $(PYTHON_DEBUG),d)
PYTHON ?= $(if $(PYTHON_DEBUG),$(shell command -v python$(PYTHON_TAG)),$(shell PYENV_VERSION=$(PYTHON_VERSION) pyenv which python$(PYTHON_MINOR) 2>/dev/null || command -v python$(PYTHON_MINOR)))
VENV ?= $(if $(filter 3.10,$(PYTHON_TAG)),.venv,.venv-$(PYTHON_TAG))
VPY := $(VENV)/bin/python
STANDIN_PATH := $(CURDIR)/standin/qv
DEV_DIR ?= $(if $(filter 3.10,$(PYTHON_TAG)),build/dev,build/dev-$(PYTHON_TAG))
DEV_PATH := $(CURDIR)/$(DEV_DIR)/stage:$(CURDIR)/standin/python:$(STANDIN_PATH)
# The demo, the examples and the tests ask for the stand-in core: without
# this (or a qvcore_standin.Core()) it refuses every call.
ASK_STANDIN := QVCORE_STANDIN=1

.PHONY: help venv install demo test dev dev-test clean

help:
	@echo "make demo      install into $(VENV) and run the demo strategy against the stand-in core"
	@echo "make test      install into $(VENV) and run the tests"
	@echo "make dev       incremental build into $(DEV_DIR) (no install)"
	@echo "make dev-test  run the tests against $(DEV_DIR) (ARGS=... passes pytest arguments)"
	@echo "make record-demo  record the demo strategy's session through the recording shim, show it, replay it"
	@echo "make bench     benchmark c_sdk against hand-written C and Cython/nanobind/pybind11/ctypes (ARGS=... passes bench/run.py arguments)"
	@echo "make bench-recorder  the recording shim: instructions per call (calling thread, writer apart), call latency, the reader on 10^6 frames; writes bench/recorder.md"
	@echo "make test-all  make test on each of PYTHON_VERSIONS ($(PYTHON_VERSIONS)); those of CHROOT_VERSIONS in the chroot"
	@echo "make chroot    the Debian chroot with CPython 3.14, 3.15 and 3.14's debug build (build/chroot/sid)"
	@echo "make wheel     a manylinux wheel for PYTHON_VERSION in dist/ (wheel-check: install it in a fresh venv)"
	@echo "make wheels    wheel and wheel-check for each release interpreter of PYTHON_VERSIONS, those of CHROOT_VERSIONS in the Debian chroot"
	@echo "make wheel-old-system  the wheels in dist/ seen from Debian 11 (ldd, the core through ctypes)"
	@echo "make stubtest  check the installed type stubs against the module"
	@echo "make docs      regenerate docs/reference.md from the module (check-docs: fail if it is stale)"
	@echo "make lint      clang-format check of the C++ sources, ruff on the Python code"
	@echo "make asan      the test suite against a build with AddressSanitizer and UBSan (build/asan)"
	@echo "make valgrind  the test suite under valgrind memcheck (build/valgrind), any error fails"
	@echo "make lint-static  clang-tidy and cppcheck on src/ (needs apt-get install clang-tidy cppcheck)"
	@echo "make fuzz-long the fuzz tests with EXAMPLES=2000 examples each (against build/dev)"
	@echo "make fuzz-replay  the stand-in's replay of session files under libFuzzer, RUNS=200000 inputs (needs clang)"
	@echo "make clean     remove build outputs and $(VENV)"
	@echo "PYTHON_VERSION=3.12.1 selects another interpreter for any of these (default $(PYTHON_VERSION))"

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade -r requirements-pip.txt

# Stamps in the venv: the requirements are installed again only when a
# requirements file changed, the module only when a file the build reads did.
REQUIREMENTS_STAMP := $(VENV)/.requirements-installed
INSTALL_STAMP := $(VENV)/.c_sdk-installed
BUILD_INPUTS := $(shell find CMakeLists.txt pyproject.toml README.md cmake include src standin recorder tools \
  -type f -not -path '*/__pycache__/*' -not -name '*.pyc' 2>/dev/null)

# requirements-data.txt (pyarrow, duckdb) has no wheels for a debug build's ABI: that venv goes without.
$(REQUIREMENTS_STAMP): requirements-pip.txt requirements-dev.txt requirements-data.txt requirements-build.txt | $(VPY)
	$(VPY) -m pip install --quiet -r requirements-dev.txt -r requirements-build.txt
	$(if $(PYTHON_DEBUG),,$(VPY) -m pip install --quiet -r requirements-data.txt)
	touch $@

venv: $(REQUIREMENTS_STAMP)

# Built in the venv, not in pip's throwaway one (whose path changes every
# time and makes scikit-build-core start the build folder afresh): the
# persistent build/<wheel tag> then recompiles only what changed.
$(INSTALL_STAMP): $(REQUIREMENTS_STAMP) $(BUILD_INPUTS)
	$(VPY) -m pip install --quiet --no-build-isolation .
	touch $@

install: $(INSTALL_STAMP)

demo: install
	$(ASK_STANDIN) PYTHONPATH=$(STANDIN_PATH) $(VPY) examples/demo_strategy.py

# The exact interpreter a run used, in every log.
SAY_INTERPRETER = @$(VPY) -c "import sys; print('== CPython', sys.version.split()[0], '(debug build)' if hasattr(sys, 'gettotalrefcount') else '', sys.executable)"

# -q unless ARGS says how verbose to be (pytest would add up -q -q).
PYTEST_QUIET = $(if $(filter -q -qq -v -vv -vvv --quiet --verbose,$(ARGS)),,-q)
# The guides whose python blocks run as tests (pytest-markdown-docs; docs/conftest.py gives them
# their fixtures). test and dev-test run them after the suite, unless ARGS picks tests.
RUNNABLE_DOCS := docs/testing-offline.md docs/session-data.md
DOCS_TEST = $(if $(ARGS),,$(ASK_STANDIN) PYTHONPATH=$(1) $(VPY) -m pytest -q -p no:cacheprovider --markdown-docs $(RUNNABLE_DOCS))

test: install
	$(SAY_INTERPRETER)
	$(ASK_STANDIN) PYTHONPATH=$(STANDIN_PATH) $(VPY) -m pytest $(PYTEST_QUIET) $(ARGS)
	$(call DOCS_TEST,$(STANDIN_PATH))

dev: venv
	cmake -S . -B $(DEV_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(DEV_DIR)

dev-test: dev
	$(SAY_INTERPRETER)
	$(ASK_STANDIN) PYTHONPATH=$(DEV_PATH) $(VPY) -m pytest $(PYTEST_QUIET) $(ARGS)
	$(call DOCS_TEST,$(DEV_PATH))

# Records the demo strategy through the recording shim and replays it.
.PHONY: record-demo
record-demo: install
	$(ASK_STANDIN) PYTHONPATH=$(STANDIN_PATH) $(VPY) examples/record_and_replay.py

# What the recording shim costs (callgrind, operations a-f; the latency of a
# call) and how fast its reader is: bench/recorder.md, beside the figures kept
# in bench/recorder-before.json.
.PHONY: bench-recorder
bench-recorder: dev
	$(PYTHON) bench/recorder.py all $(ARGS)

.PHONY: bench
bench: dev
	$(PYTHON) bench/run.py $(ARGS)

clean:
	rm -rf build dist $(VENV)

include mk/release.mk
include mk/hardening.mk
