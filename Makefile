# Everything a contributor or CI needs, from a fresh machine.
#   make demo   build and install into .venv, then run the demo strategy
#   make test   build and install into .venv, then run the test suite
SHELL := /bin/bash
PYTHON_VERSION ?= 3.10.13
PYTHON ?= $(shell PYENV_VERSION=$(PYTHON_VERSION) pyenv which python3.10 2>/dev/null || command -v python3.10)
VENV ?= .venv
VPY := $(VENV)/bin/python
STANDIN_PATH := $(CURDIR)/standin/qv
DEV_PATH := $(CURDIR)/build/dev/stage:$(CURDIR)/standin/python:$(STANDIN_PATH)

.PHONY: help venv install demo test dev dev-test clean

help:
	@echo "make demo      install into $(VENV) and run the demo strategy against the stand-in core"
	@echo "make test      install into $(VENV) and run the tests"
	@echo "make dev       incremental build into build/dev (no install)"
	@echo "make dev-test  run the tests against build/dev (ARGS=... passes pytest arguments)"
	@echo "make clean     remove build outputs and $(VENV)"

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip==25.0.1

venv: $(VPY)
	$(VPY) -m pip install --quiet -r requirements-dev.txt

install: venv
	$(VPY) -m pip install --quiet .

demo: install
	PYTHONPATH=$(STANDIN_PATH) $(VPY) examples/demo_strategy.py

test: install
	PYTHONPATH=$(STANDIN_PATH) $(VPY) -m pytest -q $(ARGS)

dev: venv
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build build/dev

dev-test: dev
	PYTHONPATH=$(DEV_PATH) $(VPY) -m pytest -q $(ARGS)

clean:
	rm -rf build $(VENV)
