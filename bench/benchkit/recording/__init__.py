"""bench/recorder.py: what the recording core shim costs, one module a command.

- common: locations, the environment of each mode, the shim's writer process
- overhead: instructions per call under callgrind, the calling thread apart from the writer
- latency: wall-clock time of single request-response calls, the writer running or stopped
- reader: show and stats on a recorded session of 10^6 frames
- markdown: bench/recorder.md, the figures of a run beside those of an earlier one
- cli: the commands
"""
