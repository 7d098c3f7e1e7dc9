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
TOOLS_PYTHON ?= $(PYTHON)
DIST ?= dist
WHEEL_RAW := build/wheels/$(PYTHON_MINOR)
# NO_INSTALL=1: use the module already installed in $(VENV) (CI, right after `make test`).
INSTALLED := $(if $(NO_INSTALL),venv,install)
CXX_SOURCES = $(shell find src include standin/core standin/fuzz recorder tests/vendor_core -name '*.cpp' -o -name '*.hpp' -o -name '*.h' | sort)

.PHONY: chroot tools test-all wheel wheel-check wheels wheel-old-system stubtest docs check-docs lint lint-cxx lint-py format

$(TOOLS): requirements-tools.txt
	test -x $(TOOLS_VENV)/bin/python || $(TOOLS_PYTHON) -m venv $(TOOLS_VENV)
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

# Release wheels are built with Zig's toolchain (ziglang, pinned in
# requirements-tools.txt; wrappers in tools/zig, cmake/zig-toolchain.cmake):
# glibc 2.17 stubs and a static libc++, so the wheels are manylinux2014 on any
# build machine. auditwheel repair then checks that tag and writes it; the core
# library is excluded from grafting: the stand-in stays in its own folder
# (qvcore_standin/lib), found through the module's second RUNPATH entry, and
# a real core goes next to the module, found first. The everyday build (make
# test, make dev) keeps the system compiler.
WHEEL_PLAT ?= manylinux_2_17_x86_64
ZIG = $(shell $(TBIN)/python -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
# One compiled C++ runtime for every interpreter, on the host and in the chroot.
ZIG_ENV = C_SDK_ZIG=$(ZIG) ZIG_GLOBAL_CACHE_DIR=$(CURDIR)/build/zig-cache
# A release build starts from an empty folder: nothing of an earlier
# configuration (or of an earlier compiler wrapper) reaches the wheel.
WHEEL_BUILD := build/zig/$(PYTHON_MINOR)
ZIG_CMAKE = -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-toolchain.cmake -C build-dir=$(WHEEL_BUILD)
# A wheel for each release interpreter (the debug build gets none). Those of
# CHROOT_VERSIONS are built, repaired and checked in the Debian chroot
# (ci/chroot.sh), with a tools venv of their own.
WHEEL_VERSIONS ?= $(filter-out %d,$(PYTHON_VERSIONS))
CHROOT_TOOLS := TOOLS_VENV=.venv-tools-chroot TOOLS_PYTHON=python3.14

wheel: $(VPY) $(TOOLS)
	rm -rf $(WHEEL_RAW) $(WHEEL_BUILD) && mkdir -p $(DIST)
	$(ZIG_ENV) $(VPY) -m pip wheel . --quiet --no-deps -w $(WHEEL_RAW) $(ZIG_CMAKE)
	PATH=$(TBIN):$$PATH auditwheel repair --plat $(WHEEL_PLAT) --exclude zadiv3-e.so -w $(DIST) $(WHEEL_RAW)/*.whl

# Contents, tag, exports and dependencies of the wheel, then the smoke check,
# the type check and the whole test suite in a fresh venv it is installed in.
# WHEEL_SUITE_SKIP: versions whose wheel gets the smoke and type checks but
# not the whole suite (CI: 3.10, whose suite `make test` has just run).
WHEEL_SUITE_SKIP ?=
wheel-check: $(TOOLS)
	$(TBIN)/python tools/check_wheel.py --python $(PYTHON) --raw-dir $(WHEEL_RAW) --dist $(DIST) \
	  --tools $(TBIN) --plat $(WHEEL_PLAT) $(if $(filter $(PYTHON_VERSION),$(WHEEL_SUITE_SKIP)),--no-suite)

# Last, the metadata of every wheel made (twine check: the README renders as
# the long description, the fields are well formed).
wheels: $(TOOLS)
	@set -e; for v in $(WHEEL_VERSIONS); do \
	  runner=$(ON_INTERPRETER); \
	  echo "== wheel for CPython $$v$${runner:+ (Debian chroot)}"; start=$$SECONDS; \
	  $$runner $(MAKE) --no-print-directory wheel wheel-check PYTHON_VERSION=$$v $${runner:+$(CHROOT_TOOLS)}; \
	  echo "== wheel for CPython $$v: $$((SECONDS - start)) s"; \
	done
	$(TBIN)/twine check --strict $(DIST)/c_sdk-*$(WHEEL_PLAT)*.whl

# The wheels in $(DIST) seen from Debian 11 (glibc 2.31, made by debootstrap
# from Debian's default mirror): every library resolves, the core answers.
OLD_SYSTEM ?= bullseye
wheel-old-system:
	ci/chroot.sh run $(OLD_SYSTEM) -- python3 tools/old_system_check.py $(DIST)/c_sdk-*$(WHEEL_PLAT)*.whl

stubtest: $(INSTALLED)
	$(VPY) -m pip install --quiet -c requirements-tools.txt mypy
	PYTHONPATH=$(STANDIN_PATH) $(VPY) -m mypy.stubtest --allowlist tools/stubtest-allowlist.txt c_sdk qvcore_standin qvcore_session

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
