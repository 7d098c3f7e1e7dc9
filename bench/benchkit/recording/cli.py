"""What the recording core shim costs, and how fast its reader is.

    python3.10 bench/recorder.py all [--before FILE]   # all three below, then bench/recorder.md
    python3.10 bench/recorder.py overhead [--calls N]  # callgrind, operations a-f
    python3.10 bench/recorder.py latency [--latency-calls N]   # p50/p99/max of a request-response call
    python3.10 bench/recorder.py reader [--frames N]   # show/stats on a file of N frames (default 10^6)
    python3.10 bench/recorder.py follower [--frames N]   # top's and metrics' reader behind a recording
    python3.10 bench/recorder.py markdown --before A.json [--after B.json]   # bench/recorder.md again

overhead: instructions per call under callgrind on the calling thread alone
(the N/2N runs of bench/run.py) for c_sdk from build/dev, without the shim,
with it preloaded but off, and recording; the shim's other threads and its
writer process are counted apart. Operations a-f are bench/run.py's first six:

    a request_response   b request_response_kw   c adapter_bytes
    d adapter_str        e setter12              f event

latency: 10^6 request-response calls timed one by one, without the shim, the
shim off, recording, and recording while the writer process is stopped.

Each command prints its table, puts its figures in bench/out/recorder/results.json
and writes bench/recorder.md: those figures ("after") beside the ones of
--before (default bench/recorder-before.json, when it exists).
Needs `make dev` first; overhead needs valgrind. Nothing here asserts a time.
"""

import argparse
import os
import sys

from . import follower, latency, markdown, overhead, reader
from .common import BEFORE, MARKDOWN, RESULTS, SHIM, load, pythonpath, save


# What follows this line in bench/recorder.md is written by hand (the session
# tools' figures) and kept when the figures above it are written again.
KEPT = "<!-- written by hand from here on: bench/recorder.py keeps it -->"


def write_markdown(before_path, after):
    before = load(before_path)
    kept = ""
    if os.path.exists(MARKDOWN):
        with open(MARKDOWN) as f:
            text = f.read()
        kept = text[text.index(KEPT):] if KEPT in text else ""
    with open(MARKDOWN, "w") as f:
        f.write(markdown.render(before, after))
        if kept:
            f.write("\n" + kept)
    print(f"bench/recorder.py: wrote {os.path.relpath(MARKDOWN)} (before: {before_path or 'none'})", file=sys.stderr)


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    ap.add_argument("what", choices=["all", "overhead", "latency", "reader", "follower", "markdown", "worker"])
    ap.add_argument("worker_kind", nargs="?", choices=["overhead", "latency"], help=argparse.SUPPRESS)
    ap.add_argument("--calls", type=int, default=1000, help="N of callgrind's N/2N runs (default 1000)")
    ap.add_argument("--latency-calls", type=int, default=1_000_000, help="calls timed per mode (default 10^6)")
    ap.add_argument("--frames", type=int, default=1_000_000, help="frames of the reader's session (default 10^6)")
    ap.add_argument("--before", default=BEFORE if os.path.exists(BEFORE) else None,
                    help="results JSON of an earlier run, the 'before' column (default bench/recorder-before.json)")
    ap.add_argument("--after", default=RESULTS, help="markdown: the 'after' results JSON (default: this run's)")
    ap.add_argument("--only", help=argparse.SUPPRESS)
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if args.what == "worker":
        sys.path[:0] = pythonpath()
        if args.worker_kind == "overhead":
            return overhead.worker(args.calls, args.only)
        return latency.worker(args.latency_calls)
    if args.what == "markdown":
        return write_markdown(args.before, load(args.after))
    if not os.path.exists(SHIM):
        sys.exit("bench/recorder.py: no build/dev/stage/qvcore_recorder.so: run `make dev` first")
    results = None
    if args.what in ("all", "overhead"):
        result = overhead.measure(args.calls)
        print(overhead.table(result))
        results = save("overhead", result)
    if args.what in ("all", "latency"):
        result = latency.measure(args.latency_calls)
        print(latency.table(result))
        results = save("latency", result)
    if args.what in ("all", "reader"):
        result = reader.measure(args.frames)
        print("\n".join(reader.lines(result)))
        results = save("reader", result)
    if args.what in ("all", "follower"):
        result = follower.measure(args.frames)
        print("\n".join(follower.lines(result)))
        results = save("follower", result)
    write_markdown(args.before, results)
    return 0
