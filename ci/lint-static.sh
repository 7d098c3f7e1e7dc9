#!/usr/bin/env bash
# Static checks of src/: clang-tidy (.clang-tidy, warnings are errors) on
# every translation unit, with the flags of a real configuration
# (build/lint/compile_commands.json), then cppcheck. Both must be clean.
#   ci/lint-static.sh          (apt-get install clang-tidy cppcheck first)
set -euo pipefail
source "$(dirname "$0")/common.sh"
for tool in clang-tidy cppcheck; do
    command -v "$tool" >/dev/null || { echo "$tool is missing: apt-get install -y clang-tidy cppcheck" >&2; exit 2; }
done

cmake -S . -B build/lint -DPython_EXECUTABLE="$PYTHON" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DC_SDK_TYPE_STUBS=OFF >/dev/null
mapfile -t sources < <(find src -name '*.cpp' | sort)
echo "clang-tidy: ${#sources[@]} files"
log=build/lint/clang-tidy.log
status=0
printf '%s\n' "${sources[@]}" | xargs -P "$JOBS" -n 4 clang-tidy -p build/lint --quiet >"$log" 2>&1 || status=$?
grep -v -E '^[0-9]+ warnings? generated\.$' "$log" || true
[[ $status -eq 0 ]] || { echo "clang-tidy found problems" >&2; exit 1; }

# The C API's return macros are spelled out: cppcheck does not read Python.h.
echo "cppcheck: src/"
cppcheck --enable=warning,performance,portability,style --std=c++20 --language=c++ --quiet \
    --inline-suppr --suppress=missingIncludeSystem --suppressions-list=ci/cppcheck.supp \
    --error-exitcode=1 -I include -I src \
    '-DPy_RETURN_NONE=return Py_None' '-DPy_RETURN_TRUE=return Py_True' '-DPy_RETURN_FALSE=return Py_False' \
    --template='{file}:{line}: {severity}: {message} [{id}]' src
echo "static checks clean"
