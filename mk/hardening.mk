# Hardening checks, each also a CI step (.ci/run). Included by the Makefile;
# `make help` lists them. ARGS=... passes pytest arguments to asan/valgrind.

.PHONY: asan valgrind lint-static fuzz-long

asan:
	ci/asan.sh $(ARGS)

valgrind:
	ci/valgrind.sh $(ARGS)

lint-static:
	ci/lint-static.sh

# The fuzz tests with many more examples than the suite's default.
fuzz-long: dev
	C_SDK_FUZZ_EXAMPLES=$(or $(EXAMPLES),2000) PYTHONPATH=$(DEV_PATH) $(VPY) -m pytest -q tests/test_fuzz_*.py $(ARGS)
