# Everything a contributor or CI needs, from a fresh machine.
#   make demo   build and install into .venv, then run the demo strategy
#   make test   build and install into .venv, then run the test suite
SHELL := /bin/bash
# Any CPython from 3.10 on: `make test PYTHON_VERSION=3.12.1` builds and tests
# with pyenv's 3.12.1 in .venv-3.12 (3.10, the reference, uses .venv).
PYTHON_VERSION ?= 3.10.13
PYTHON_MINOR := $(word 1,$(subst ., ,$(PYTHON_VERSION))).$(word 2,$(subst ., ,$(PYTHON_VERSION)))
PYTHON ?= $(shell PYENV_VERSION=$(PYTHON_VERSION) pyenv which python$(PYTHON_MINOR) 2>/dev/null || command -v python$(PYTHON_MINOR))
VENV ?= $(if $(filter 3.10,$(PYTHON_MINOR)),.venv,.venv-$(PYTHON_MINOR))
VPY := $(VENV)/bin/python
STANDIN_PATH := $(CURDIR)/standin/qv
DEV_DIR ?= $(if $(filter 3.10,$(PYTHON_MINOR)),build/dev,build/dev-$(PYTHON_MINOR))
DEV_PATH := $(CURDIR)/$(DEV_DIR)/stage:$(CURDIR)/standin/python:$(STANDIN_PATH)

.PHONY: help venv install demo test dev dev-test clean

help:
	@echo "make demo      install into $(VENV) and run the demo strategy against the stand-in core"
	@echo "make test      install into $(VENV) and run the tests"
	@echo "make dev       incremental build into $(DEV_DIR) (no install)"
	@echo "make dev-test  run the tests against $(DEV_DIR) (ARGS=... passes pytest arguments)"
	@echo "make bench     benchmark c_sdk against hand-written C and Cython/nanobind/pybind11/ctypes (ARGS=... passes bench/run.py arguments)"
	@echo "make test-all  make test on each of PYTHON_VERSIONS ($(PYTHON_VERSIONS))"
	@echo "make wheel     a manylinux wheel for PYTHON_VERSION in dist/ (wheel-check: install it in a fresh venv)"
	@echo "make wheels    wheel and wheel-check for each of PYTHON_VERSIONS, then 3.14 and 3.15 in the Debian chroot"
	@echo "make wheel-old-system  the wheels in dist/ seen from Debian 11 (ldd, the core through ctypes)"
	@echo "make stubtest  check the installed type stubs against the module"
	@echo "make docs      regenerate docs/reference.md from the module (check-docs: fail if it is stale)"
	@echo "make lint      clang-format check of the C++ sources, ruff on the Python code"
	@echo "make asan      the test suite against a build with AddressSanitizer and UBSan (build/asan)"
	@echo "make valgrind  the test suite under valgrind memcheck (build/valgrind), any error fails"
	@echo "make lint-static  clang-tidy and cppcheck on src/ (needs apt-get install clang-tidy cppcheck)"
	@echo "make fuzz-long the fuzz tests with EXAMPLES=2000 examples each (against build/dev)"
	@echo "make clean     remove build outputs and $(VENV)"
	@echo "PYTHON_VERSION=3.12.1 selects another interpreter for any of these (default $(PYTHON_VERSION))"

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip==26.3

venv: $(VPY)
	$(VPY) -m pip install --quiet -r requirements-dev.txt

install: venv
	$(VPY) -m pip install --quiet .

demo: install
	PYTHONPATH=$(STANDIN_PATH) $(VPY) examples/demo_strategy.py

test: install
	PYTHONPATH=$(STANDIN_PATH) $(VPY) -m pytest -q $(ARGS)

dev: venv
	cmake -S . -B $(DEV_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(DEV_DIR)

dev-test: dev
	PYTHONPATH=$(DEV_PATH) $(VPY) -m pytest -q $(ARGS)

.PHONY: bench
bench: dev
	$(PYTHON) bench/run.py $(ARGS)

clean:
	rm -rf build dist $(VENV)

include mk/release.mk
include mk/hardening.mk
