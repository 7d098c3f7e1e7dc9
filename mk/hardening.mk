# Hardening checks, each also a CI step (.ci/run). Included by the Makefile;
# `make help` lists them. ARGS=... passes pytest arguments to asan/valgrind.

.PHONY: asan valgrind lint-static fuzz-long fuzz-replay

asan:
	ci/asan.sh $(ARGS)

valgrind:
	ci/valgrind.sh $(ARGS)

lint-static:
	ci/lint-static.sh

# The fuzz tests with many more examples than the suite's default.
fuzz-long: dev
	C_SDK_FUZZ_EXAMPLES=$(or $(EXAMPLES),2000) PYTHONPATH=$(DEV_PATH) $(VPY) -m pytest -q tests/test_fuzz_*.py $(ARGS)

# The stand-in's replay of session files under libFuzzer (clang's
# -fsanitize=fuzzer,address,undefined; apt-get install clang): seeds from the
# test helpers' session files and a recording of the demo strategy made with
# build/dev, then RUNS inputs (default 200000).
fuzz-replay: dev
	$(ASK_STANDIN) PYTHONPATH=$(DEV_PATH) VENV=$(CURDIR)/$(VENV) FUZZ_RUNS=$(or $(RUNS),200000) ci/fuzz-replay.sh --record $(ARGS)
