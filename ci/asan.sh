#!/usr/bin/env bash
# The whole test suite against module and stand-in core built with
# AddressSanitizer and UBSan (build/asan). The interpreter is not
# instrumented, so the sanitizer runtimes are preloaded into it, and Python's
# own allocator is switched off so that every object the module touches is a
# malloc block the sanitizer watches. Leak detection is off: the interpreter
# itself leaves memory behind at exit (tests/test_leaks.py checks ours).
#   ci/asan.sh [pytest arguments]     (default: the suite but for the tests whose
#                                       code in this process is Python alone)
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_venv
build_into build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DC_SDK_SANITIZE=ON

export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
export C_SDK_RSS_CHECK=0  # the sanitizer's quarantine holds freed memory on purpose
[[ $# -eq 0 ]] && set -- $(python_only_ignores)
run_tests build/asan "$@"
