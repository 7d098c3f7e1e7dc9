"""The command line: qvcore-session COMMAND ... (or python -m qvcore_session COMMAND ...)."""

from __future__ import annotations

import argparse
import io
import os
import sys
from typing import List, Optional

from . import filters
from .reader import SessionError
from .usage import Parser, program, unrecognized
from .version import __version__

COMMANDS = {
    "record": "run a command with the recording shim preloaded and recording on",
    "show": "the timeline, one line per call or event",
    "stats": "per core function count, failures and latency; per event type count and rate",
    "export": "one row per call or event, to Parquet, an Arrow IPC stream or CSV",
    "trace": "the timeline in the Chrome trace event format (Perfetto, chrome://tracing)",
    "top": "a live view of calls, failures, latency and events of files being written",
    "metrics": "a Prometheus exporter of files being written",
    "recover": "write into their session files what dead writers left in their buffers",
    "shim": "print the path of the recording shim",
}


def parser(prog: Optional[str] = None) -> Parser:
    prog = prog or program("qvcore_session", "qvcore-session")
    ap = Parser(prog=prog, description="Record core sessions, and read, filter and export them.")
    ap.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = ap.add_subparsers(dest="command", required=True)
    ap.commands = sub.choices  # each command's parser, whose usage its argument errors print
    rec = sub.add_parser("record", help=COMMANDS["record"],
                         usage=f"{prog} record [-o FILE] [--max-bytes N] [--core PATH] -- COMMAND [ARG...]")
    rec.add_argument("-o", "--output", default="session-%p.qvs", metavar="FILE",
                     help="the session file; %%p becomes each recording process's id (default: session-%%p.qvs)")
    rec.add_argument("--max-bytes", metavar="N", help="stop recording before a file would exceed N bytes (k, M, G)")
    rec.add_argument("--core", metavar="PATH", help="the core library to forward to, instead of the loaded one")
    rec.add_argument("--wait", type=float, default=30.0, metavar="SECONDS",
                     help="how long to wait for a file's writer to finish after COMMAND exits (default 30)")
    rec.add_argument("argv", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARG...]")
    for name in ("show", "stats"):
        sp = sub.add_parser(name, help=COMMANDS[name])
        sp.add_argument("file")
        sp.add_argument("-f", "--follow", action="store_true",
                        help="read the file as its writer grows it, until the writer ends (a file not there yet "
                             "is waited for)" + ("" if name == "show" else "; Ctrl-C prints what was read by then"))
        filters.add_arguments(sp)
    ex = sub.add_parser("export", help=COMMANDS["export"])
    ex.add_argument("file")
    ex.add_argument("-o", "--output", required=True, metavar="OUT",
                    help="OUT.parquet, OUT.arrow (an Arrow IPC stream) or OUT.csv")
    ex.add_argument("--no-bytes", action="store_true", help="leave out the request, response and payload bytes")
    ex.add_argument("--rows-per-group", type=int, default=32768, metavar="N", help=argparse.SUPPRESS)
    tr = sub.add_parser("trace", help=COMMANDS["trace"])
    tr.add_argument("file")
    tr.add_argument("-o", "--output", required=True, metavar="OUT.json")
    from .top import COLUMNS as TOP_COLUMNS

    tp = sub.add_parser("top", help=COMMANDS["top"])
    tp.add_argument("file", metavar="FILE|PATTERN",
                    help="a session file, or a pattern of them (session-*.qvs; %%p is taken as *)")
    tp.add_argument("--once", action="store_true", help="print one view as text and exit")
    tp.add_argument("--window", type=int, default=10, metavar="SECONDS",
                    help="the sliding window of the rates and latencies (default 10)")
    tp.add_argument("--sort", default="c", choices=[k for k, _ in TOP_COLUMNS], metavar="KEY",
                    help="the column to sort by, by its key: " + ", ".join(f"{k} {h}" for k, h in TOP_COLUMNS)
                         + " (default c)")
    mt = sub.add_parser("metrics", help=COMMANDS["metrics"])
    mt.add_argument("file", metavar="FILE|PATTERN",
                    help="a session file, or a pattern of them (session-*.qvs; %%p is taken as *)")
    mt.add_argument("--listen", default="127.0.0.1:9464", metavar="HOST:PORT",
                    help="where Prometheus scrapes /metrics (default 127.0.0.1:9464)")
    rv = sub.add_parser("recover", help=COMMANDS["recover"])
    rv.add_argument("rings", nargs="*", metavar="RING|FOLDER",
                    help="qvrec-*.ring files, or folders of them (default: this user's in /dev/shm and /tmp)")
    sub.add_parser("shim", help=COMMANDS["shim"])
    return ap


def main(argv: Optional[List[str]] = None) -> int:
    ap = parser()
    args, extra = ap.parse_known_args(argv)
    sp = ap.commands[args.command]
    if extra:
        unrecognized(sp, extra)
    if isinstance(sys.stdout, io.TextIOWrapper):
        # Text of a file (names, message types) that the terminal's encoding cannot show is escaped, not an error.
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        if args.command == "shim":
            from .record import shim_path

            print(shim_path())
            return 0
        if args.command == "record":
            from .record import record

            command = args.argv[1:] if args.argv[:1] == ["--"] else args.argv
            if not command:
                sp.error("no command given (record [-o FILE] -- COMMAND [ARG...])")
            return record(command, args.output, args.max_bytes, args.core, args.wait)
        if args.command in ("top", "metrics"):
            try:
                if args.command == "top":
                    from .top import top

                    if args.window < 1:
                        sp.error("--window takes a whole number of seconds, 1 or more")
                    return top(args.file, once=args.once, window=args.window, sort=args.sort)
                from .metrics import listen_address, metrics

                try:
                    listen_address(args.listen)
                except ValueError as e:
                    sp.error(str(e))
                return metrics(args.file, args.listen)
            except ModuleNotFoundError as e:
                if e.name not in ("rich", "prometheus_client"):
                    raise
                print(f"qvcore_session: {args.command} needs {e.name.replace('_', '-')}: "
                      f"pip install 'c_sdk[live]'", file=sys.stderr)
                return 1
        if args.command == "recover":
            from .recover import run

            return run(args.rings)
        if args.command in ("show", "stats"):
            from .follow import Follow
            from .reader import Session

            follow = Follow(args.file) if args.follow else None
            while True:
                session = Session(args.file) if follow is None else follow.started(sys.stdout.flush)
                try:
                    flt = filters.from_arguments(args, session.header, session.first_start())
                except ValueError as e:
                    sp.error(str(e))
                if args.command == "show":
                    from .show import show

                    show(args.file, flt=flt, filters=filters.describe(args), follow=follow)
                else:
                    from .stats import stats

                    stats(args.file, flt=flt, filters=filters.describe(args), follow=follow)
                # A file that another takes the name of once it has ended (a rotation) is followed too.
                if follow is None or not follow.renewed():
                    break
                for note in follow.notes:
                    print(f"qvcore_session: {note}", file=sys.stderr)
                follow.notes.clear()
            missed = flt.unmatched()
            if missed:
                print(f"qvcore_session: nothing matched {', '.join(missed)} (globs: * any text, ? one character, "
                      f"[abc] one of these; function names as the header lists them)", file=sys.stderr)
        elif args.command == "export":
            from .export import export

            export(args.file, args.output, with_bytes=not args.no_bytes, rows_per_group=args.rows_per_group)
        elif args.command == "trace":
            from .trace import trace

            trace(args.file, args.output)
    except BrokenPipeError:
        # The reader of our output went away (show | head): not an error.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except (OSError, SessionError) as e:
        print(f"qvcore_session: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # Ctrl-C: one line, a shell's status for it
        print(f"qvcore_session: {args.command}: interrupted", file=sys.stderr)
        return 130
    return 0
