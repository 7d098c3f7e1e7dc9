#!/usr/bin/env bash
# The stand-in's replay of session files under libFuzzer: standin/fuzz built
# with clang's -fsanitize=fuzzer,address,undefined (build/fuzz-replay), fed
# FUZZ_RUNS inputs (200000 by default; about two minutes on two cores) grown
# from the seeds of standin/fuzz/seeds.py. A crash, a sanitizer report or an
# input running past -timeout fails the run; libFuzzer leaves the input in
# build/fuzz-replay as crash-*, timeout-* or leak-*, which replays with
#   build/fuzz-replay/replay_fuzzer FILE
#   ci/fuzz-replay.sh [--record] [libFuzzer options...]
# --record adds a recording of the demo strategy to the seeds (needs c_sdk
# and its recording shim on PYTHONPATH: `make fuzz-replay` passes build/dev's).
set -euo pipefail
source "$(dirname "$0")/common.sh"
record=()
if [[ "${1:-}" == --record ]]; then
    record=(--record)
    shift
fi
dir=build/fuzz-replay
generator=()
command -v ninja >/dev/null && [[ ! -f "$dir/CMakeCache.txt" ]] && generator=(-G Ninja)
cmake -S standin/fuzz -B "$dir" "${generator[@]}" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" \
    -DPython3_EXECUTABLE="$PYTHON" >/dev/null
cmake --build "$dir" --parallel "$JOBS"

# Seeds afresh; the corpus the fuzzer grows starts empty each run, so that
# every run does the same work from the same seeds (-seed fixes the mutations).
rm -rf "$dir/seeds" "$dir/corpus"
mkdir -p "$dir/corpus"
"$VPY" standin/fuzz/seeds.py "$dir/seeds" "${record[@]}"
cd "$dir"
# Each input that diverges prints its one line; only libFuzzer's own lines
# and any report are kept.
./replay_fuzzer -runs="${FUZZ_RUNS:-200000}" -seed=1 -max_len=65536 -timeout=60 -print_final_stats=1 \
    "$@" corpus seeds 2>&1 | grep -v '^stand-in replay: diverged at '
