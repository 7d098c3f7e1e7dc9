"""The benchmark's code, one job a module; bench/run.py and bench/recorder.py are its command lines.

- paths: where everything is (builds, venv, outputs) for the running interpreter
- building: the bench venv, c_sdk's builds and bench's own modules
- peers: importing the bindings, the loops they run, the check that they agree
- callgrind: instructions per call (the N/2N runs between dumps, reading the dumps)
- annotate: the same instructions split by function
- timing: time per call, allocations per call, per-call latency percentiles
- report, results: the tables, results.md and the chart
- cli: bench/run.py's options and steps
- recording: bench/recorder.py, what the recording core shim costs
"""
