# Shared by the ci/ scripts: the interpreter, the venv with the test tools,
# and a configure-and-build step into a directory of the script's own.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PYTHON_VERSION="${PYTHON_VERSION:-3.10.13}"
PYTHON="${PYTHON:-$(PYENV_VERSION=$PYTHON_VERSION pyenv which python3.10 2>/dev/null || command -v python3.10)}"
VENV="${VENV:-$ROOT/.venv}"
VPY="$VENV/bin/python"
JOBS="${JOBS:-$(nproc)}"

# Creates the venv with the pinned test tools if it is missing.
ensure_venv() {
    if [[ ! -x "$VPY" ]]; then
        "$PYTHON" -m venv "$VENV"
        "$VPY" -m pip install --quiet --upgrade -r requirements-pip.txt
    fi
    "$VPY" -m pip install --quiet -r requirements-dev.txt
}

# build_into DIR [cmake options...]: configures and builds module and stand-in core.
build_into() {
    local dir="$1"
    shift
    local generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    [[ -f "$dir/CMakeCache.txt" ]] && generator=()
    cmake -S . -B "$dir" "${generator[@]}" -DPython_EXECUTABLE="$PYTHON" "$@" >/dev/null
    cmake --build "$dir" --parallel "$JOBS"
}

# python_only_ignores: --ignore for each test file whose code in the pytest
# process is Python alone (the session tools read files; their commands run in
# processes of their own). A sanitizer or memcheck only makes them slower.
python_only_ignores() {
    local t
    for t in tests/test_session_*.py tests/test_fuzz_session_files.py tests/test_commands.py \
             tests/test_ide_help.py tests/test_live_prometheus.py; do
        echo "--ignore=$t"
    done
}

# run_tests DIR [pytest arguments...]: the test suite against the build in DIR.
run_tests() {
    local dir="$1"
    shift
    PYTHONPATH="$ROOT/$dir/stage:$ROOT/standin/python:$ROOT/standin/qv" \
        "$VPY" -m pytest -q -p no:cacheprovider "$@"
}

# viewer_venv: .venv-viewer with requirements-viewer.txt (vizviewer, websocket-client), for the screenshots.
viewer_venv() {
    local viewer="$ROOT/.venv-viewer"
    if [[ ! -x "$viewer/bin/vizviewer" ]] || ! "$viewer/bin/python" -c "import websocket" 2>/dev/null; then
        "$PYTHON" -m venv "$viewer"
        "$viewer/bin/pip" install --quiet -r "$ROOT/requirements-pip.txt"
        "$viewer/bin/pip" install --quiet -r "$ROOT/requirements-viewer.txt"
    fi
}
