#!/usr/bin/env bash
# Records a strategy for a minute while qvcore-session metrics exports its
# file and Debian's prometheus (apt-get install prometheus; run here, not as
# a service) scrapes it every second, then takes a screenshot of Prometheus's
# own graph page: p99 per core function over the run, as a person would see
# it. Debian's chromium (apt-get install chromium) renders the page headless,
# driven by tools/cdp_screenshot.py (websocket-client, requirements-viewer.txt,
# in .venv-viewer), which waits for the graph to be drawn.
#   tools/prometheus_screenshot.sh [out.png]   (default docs/prometheus-p99.png; needs `make dev`)
#   SECONDS_RUN=60 EXPORTER_PORT=9465 PROMETHEUS_PORT=9095 CDP_PORT=9229 change what they say.
set -euo pipefail
source "$(dirname "$0")/../ci/common.sh"
out="$(realpath -m "${1:-docs/prometheus-p99.png}")"
run="${SECONDS_RUN:-60}"
exporter="127.0.0.1:${EXPORTER_PORT:-9465}"
prometheus="127.0.0.1:${PROMETHEUS_PORT:-9095}"
work="build/prometheus-screenshot"
viewer=".venv-viewer"
for tool in prometheus chromium; do
    command -v "$tool" >/dev/null || { echo "$0: needs $tool (apt-get install $tool)" >&2; exit 1; }
done
viewer_venv
rm -rf "$work" && mkdir -p "$work"
export PYTHONPATH="$ROOT/build/dev/stage:$ROOT/standin/python:$ROOT/standin/qv" QVCORE_STANDIN=1

# Orders (one in five refused), history queries, and ticks whose handling
# slows down for a while in the middle of the run: qvi_poll's p99 climbs and
# comes back, the others stay where they are.
cat >"$work/strategy.py" <<EOF
import time
import c_sdk
import qvcore_standin

core = qvcore_standin.Core()
core.set_response("qvi_history_bars_pb", b"bar" * 1000)
start = time.monotonic()
slow = [False]


def on_tick(message_type, payload):
    if slow[0]:  # 100 us of work
        until = time.perf_counter() + 0.0001
        while time.perf_counter() < until:
            pass


c_sdk.py_qvi_set_data_callback(on_tick)
i = 0
while (t := time.monotonic() - start) < $run:
    slow[0] = $run * 0.4 < t < $run * 0.6 and i % 20 == 0
    core.set_status("qvi_place_order_pb", 3 if i % 5 == 0 else 0)
    c_sdk.py_qvi_place_order(b"order %d" % i)
    if i % 4 == 0:
        c_sdk.py_qvi_history_bars_pb(b"bars %d" % i)
    core.queue_event(b"tick", b"price")
    c_sdk.qvi_poll()
    i += 1
    time.sleep(0.005)
EOF
cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: qvcore
    static_configs:
      - targets: ['$exporter']
EOF

pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
"$VPY" -m qvcore_session metrics "$work/s-*.qvs" --listen "$exporter" 2>"$work/metrics.log" &
pids+=($!)
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="$prometheus" >"$work/prometheus.log" 2>&1 &
pids+=($!)
# until_scraped QUERY TEXT: waits (20 s at most) until Prometheus's answer to QUERY holds TEXT.
until_scraped() {
    for _ in $(seq 100); do
        curl -sfG "http://$prometheus/api/v1/query" --data-urlencode "query=$1" | grep -q "$2" && return
        sleep 0.2
    done
    echo "$0: no $1 in Prometheus (see $work/*.log)" >&2
    exit 1
}
until_scraped 'up{job="qvcore"} == 1' '"job":"qvcore"'
"$VPY" -m qvcore_session record -o "$work/s-%p.qvs" -- "$VPY" "$work/strategy.py"
until_scraped 'qvcore_recording_up == 0' '"pid"'
query='histogram_quantile(0.99, sum by (le, function) (rate(qvcore_call_duration_seconds_bucket[10s])))'
url="http://$prometheus/graph?$("$VPY" -c 'import sys, urllib.parse as u; print(u.urlencode({
    "g0.expr": sys.argv[1], "g0.tab": "0", "g0.range_input": sys.argv[2], "g0.stacked": "0", "g0.show_exemplars": "0"},
    quote_via=u.quote))' "$query" "$((run + 15))s")"
"$viewer/bin/python" tools/cdp_screenshot.py "$url" "$out" --width 1400 --height 980 --ready 'qvi_poll' \
    --port "${CDP_PORT:-9229}" >/dev/null
echo "$out"
