#!/usr/bin/env bash
# The test suite under valgrind's memcheck, against build/valgrind: every
# invalid read or write, use of uninitialised memory and bad free inside the
# interpreter process (module, stand-in core and interpreter alike) is an
# error, and any error fails the run. Python's own allocator is switched off
# so that memcheck sees every object as a block of its own. The long-running
# tests run with smaller counts (memcheck is some 30 times slower); leaks are
# left to tests/test_leaks.py, since the interpreter itself keeps memory
# until exit. Subprocesses started by the tests run without valgrind.
#   ci/valgrind.sh [pytest arguments]     (default: the suite but for what runs no native code here)
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_venv
build_into build/valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo -DC_SDK_TYPE_STUBS=OFF

export PYTHONMALLOC=malloc
export C_SDK_FUZZ_EXAMPLES="${C_SDK_FUZZ_EXAMPLES:-4}"
export C_SDK_LEAK_EVENTS="${C_SDK_LEAK_EVENTS:-20000}"
export C_SDK_STRESS_EVENTS="${C_SDK_STRESS_EVENTS:-20000}"
# The recorder's sessions are read back in this process, frame by frame.
export C_SDK_RECORDER_THREAD_CALLS="${C_SDK_RECORDER_THREAD_CALLS:-5000}"
export C_SDK_RECORDER_STALL_CALLS="${C_SDK_RECORDER_STALL_CALLS:-20000}"
export C_SDK_RSS_CHECK=0
log="build/valgrind/memcheck.log"
# By default, the tests whose code in this process is Python alone are left
# out, and so are the recorder's end-to-end tests: what they check runs in
# processes of their own (record, the recorded programs, the writer), which
# memcheck does not follow.
if [[ $# -eq 0 ]]; then
    set -- $(python_only_ignores) --ignore=tests/test_recorder_ends.py --ignore=tests/test_recorder_no_harm.py
fi
set +e
PYTHONPATH="$ROOT/build/valgrind/stage:$ROOT/standin/python:$ROOT/standin/qv" \
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=no --num-callers=40 \
    --suppressions="$ROOT/ci/valgrind-python.supp" --log-file="$log" \
    "$VPY" -m pytest -q -p no:cacheprovider "$@"
rc=$?
set -e
grep -E "ERROR SUMMARY" "$log" || true
if [[ $rc -eq 99 ]]; then
    echo "valgrind found errors: see $log" >&2
    cat "$log" >&2
fi
exit $rc
