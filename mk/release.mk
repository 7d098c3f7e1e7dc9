# Several interpreters, wheels, type stubs, reference docs and lint checks.
# Included by the Makefile, whose PYTHON_VERSION / PYTHON / VENV / VPY these
# targets use; `make help` lists them.

# pyenv's interpreters, then Debian's, which run in the chroot (ci/chroot.sh).
CHROOT_VERSIONS ?= 3.14 3.15 3.14d
PYTHON_VERSIONS ?= 3.10.13 3.11.7 3.12.1 3.13.0 $(CHROOT_VERSIONS)
# Prefix for a command that needs version $$v: the chroot for CHROOT_VERSIONS.
ON_INTERPRETER = $$(case " $(CHROOT_VERSIONS) " in *" $$v "*) echo ci/chroot.sh run --;; esac)
# The pinned tools (auditwheel, ruff, clang-format, mypy, ...) live in a venv
# of their own, whatever interpreter the module is built for.
TOOLS_VENV ?= .venv-tools
TOOLS := $(TOOLS_VENV)/.installed
TBIN := $(CURDIR)/$(TOOLS_VENV)/bin
DIST ?= dist
WHEEL_RAW := build/wheels/$(PYTHON_MINOR)
# NO_INSTALL=1: use the module already installed in $(VENV) (CI, right after `make test`).
INSTALLED := $(if $(NO_INSTALL),venv,install)
CXX_SOURCES = $(shell find src include standin/core recorder -name '*.cpp' -o -name '*.hpp' -o -name '*.h' | sort)

.PHONY: chroot tools test-all wheel wheel-check wheels stubtest docs check-docs lint lint-cxx lint-py format

$(TOOLS): requirements-tools.txt
	test -x $(TOOLS_VENV)/bin/python || $(PYTHON) -m venv $(TOOLS_VENV)
	$(TOOLS_VENV)/bin/python -m pip install --quiet --upgrade -r requirements-pip.txt
	$(TOOLS_VENV)/bin/python -m pip install --quiet -r requirements-tools.txt
	touch $@

tools: $(TOOLS)

chroot:
	ci/chroot.sh create
	ci/chroot.sh versions

test-all:
	@set -e; for v in $(PYTHON_VERSIONS); do \
	  echo "== CPython $$v"; start=$$SECONDS; \
	  $(ON_INTERPRETER) $(MAKE) --no-print-directory test PYTHON_VERSION=$$v; \
	  echo "== CPython $$v: $$((SECONDS - start)) s"; \
	done

# pip wheel, then auditwheel repair to a manylinux tag. The core library is
# excluded from grafting: it stays at the top level, next to the module, under
# its own name, so that the real one can replace it.
wheel: $(VPY) $(TOOLS)
	rm -rf $(WHEEL_RAW) && mkdir -p $(DIST)
	$(VPY) -m pip wheel . --quiet --no-deps -w $(WHEEL_RAW)
	PATH=$(TBIN):$$PATH auditwheel repair --exclude zadiv3-e.so -w $(DIST) $(WHEEL_RAW)/*.whl

wheel-check: $(TOOLS)
	$(TBIN)/python tools/check_wheel.py --python $(PYTHON) --raw-dir $(WHEEL_RAW) --dist $(DIST) \
	  --tools $(TBIN)

wheels:
	@set -e; for v in $(PYTHON_VERSIONS); do \
	  echo "== wheel for CPython $$v"; start=$$SECONDS; \
	  $(MAKE) --no-print-directory wheel wheel-check PYTHON_VERSION=$$v; \
	  echo "== wheel for CPython $$v: $$((SECONDS - start)) s"; \
	done

stubtest: $(INSTALLED)
	$(VPY) -m pip install --quiet -c requirements-tools.txt mypy
	PYTHONPATH=$(STANDIN_PATH) $(VPY) -m mypy.stubtest --allowlist tools/stubtest-allowlist.txt c_sdk

docs: $(INSTALLED)
	PYTHONPATH=$(STANDIN_PATH) $(VPY) tools/gen_reference.py --out docs/reference.md

check-docs: $(INSTALLED)
	PYTHONPATH=$(STANDIN_PATH) $(VPY) tools/gen_reference.py --check docs/reference.md

lint: lint-cxx lint-py

lint-cxx: $(TOOLS)
	$(TBIN)/clang-format --dry-run --Werror $(CXX_SOURCES)

lint-py: $(TOOLS)
	$(TBIN)/ruff check .

# Rewrites the C++ sources in place to .clang-format.
format: $(TOOLS)
	$(TBIN)/clang-format -i $(CXX_SOURCES)
