#!/usr/bin/env python3
"""Generates the plain core functions of the stand-in core library.

Reads the core library's header (one declaration per line, "ret name(params);")
and writes into --out-dir:

  core_functions.h    the FnState of every function and an inline log_<name>()
                      helper that logs a call with its C arguments;
  core_functions.cpp  the FnState definitions, the function table and the
                      bodies of every function not in HANDWRITTEN;
  exports.map         the linker version script: only the core functions and
                      the standin_ control functions are exported.

Anything it does not understand is an error: a header change must be
reflected here, never silently stubbed.
"""

import argparse
import pathlib
import re
import sys

# Functions with behaviour of their own, defined in the hand-written sources.
HANDWRITTEN = frozenset(
    {
        "qvi_set_event_callback_pb",
        "qvi_run",
        "qvi_stop",
        "qvi_poll",
        "qvi_get_stop_error_code",
        "qvi_now",
        "qvi_now_plus",
        "qvi_strerror",
        "qvi_get_serv_addr",
    }
)

# Scalar parameters logged by value.
SCALARS = {"int", "long long", "double", "bool"}

DECL = re.compile(r"(?P<ret>[A-Za-z_][\w\s\*]*?)\s*\b(?P<name>[A-Za-z_]\w*)\s*\((?P<params>[^()]*)\)\s*;")
PARAM = re.compile(r"(?P<type>[A-Za-z_][\w\s\*]*?)\s*\b(?P<name>[A-Za-z_]\w*)")
IGNORED = re.compile(r'#.*|extern\s+"C"\s*\{|\}|typedef\s.*;')

CAP_STATUS, CAP_RESPONSE, CAP_TEXT, CAP_OUT_TEXT = "kStatus", "kResponse", "kText", "kOutText"


class HeaderError(Exception):
    pass


def norm_type(text):
    text = " ".join(text.split())
    return re.sub(r"\s*\*", "*", text)


class Function:
    def __init__(self, ret, name, params, lineno):
        self.ret = ret
        self.name = name
        self.params = params  # [(type, name)]
        self.lineno = lineno
        self.log_args = []  # C++ expressions, one per logged argument
        self.caps = []
        if ret == "int":
            self.caps.append(CAP_STATUS)
        elif ret == "const char*":
            self.caps.append(CAP_TEXT)
        elif ret not in ("void", "long long", "double"):
            self.fail(f"unsupported return type {ret!r}")
        self._read_params()

    def fail(self, why):
        raise HeaderError(f"line {self.lineno}: {self.name}: {why}")

    def _read_params(self):
        params = self.params
        i = 0
        while i < len(params):
            ptype, pname = params[i]
            nxt = params[i + 1] if i + 1 < len(params) else (None, None)
            if ptype in SCALARS:
                self.log_args.append(pname)
            elif ptype == "const char*":
                self.log_args.append(f"TextArg{{{pname}}}")
            elif ptype == "void*":
                if nxt[0] != "int":
                    self.fail(f"request buffer {pname} is not followed by its int length")
                self.log_args.append(f"ReqArg{{{pname}, {nxt[1]}}}")
                i += 1
            elif ptype == "void**":
                if nxt[0] != "int*":
                    self.fail(f"response {pname} is not followed by its int* length")
                if self.ret != "int" or CAP_RESPONSE in self.caps:
                    self.fail("a response needs an int return and only one response pair")
                self.log_args += [f"OutArg{{{pname}}}", f"OutArg{{{nxt[1]}}}"]
                self.caps.append(CAP_RESPONSE)
                i += 1
            elif ptype == "char**":
                self.log_args.append(f"OutArg{{{pname}}}")
                self.caps.append(CAP_OUT_TEXT)
            elif ptype == "EventCallback":
                self.log_args.append(f"FnArg{{{pname}}}")
            else:
                self.fail(f"cannot log parameter type {ptype!r} ({pname})")
            i += 1

    @property
    def state(self):
        return f"st_{self.name}"

    @property
    def c_params(self):
        return ", ".join(f"{t} {n}" for t, n in self.params) or "void"

    @property
    def c_args(self):
        return ", ".join(n for _, n in self.params)

    def body(self):
        """The body of a generated (not hand-written) function."""
        log = f"    log_{self.name}({self.c_args});"
        if CAP_OUT_TEXT in self.caps or self.ret in ("long long", "double"):
            self.fail("has behaviour of its own: add it to HANDWRITTEN and write it by hand")
        replay = f"replay_call({', '.join([self.state] + self.log_args)})"
        if self.ret == "void":
            return [log, f"    if (replaying()) [[unlikely]] return (void){replay};"]
        if self.ret == "const char*":
            return [log, f"    if (replaying()) [[unlikely]] return {replay}.returned_text();",
                    f"    return text_reply({self.state});"]
        lines = [log]
        refuse = "    if (refused()) [[unlikely]] return STANDIN_REFUSED;"
        if CAP_RESPONSE in self.caps:
            res, res_len = next(
                (n, self.params[k + 1][1]) for k, (t, n) in enumerate(self.params) if t == "void**"
            )
            lines.append(f"    if (replaying()) [[unlikely]] return {replay}.with_response({res}, {res_len});")
            lines.append(refuse)
            lines.append(f"    write_reply({self.state}, {res}, {res_len});")
        else:
            lines.append(f"    if (replaying()) [[unlikely]] return {replay}.status();")
            lines.append(refuse)
        lines.append(f"    return status_of({self.state});")
        return lines


def parse_header(text):
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    functions = []
    seen = set()
    for lineno, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or IGNORED.fullmatch(line):
            continue
        m = DECL.fullmatch(line)
        if not m:
            raise HeaderError(f"line {lineno}: not a one-line declaration: {line!r}")
        name = m["name"]
        if name in seen:
            raise HeaderError(f"line {lineno}: {name} declared twice")
        seen.add(name)
        params = []
        raw = m["params"].strip()
        if raw not in ("", "void"):
            for p in raw.split(","):
                pm = PARAM.fullmatch(p.strip())
                if not pm:
                    raise HeaderError(f"line {lineno}: {name}: cannot read parameter {p.strip()!r}")
                params.append((norm_type(pm["type"]), pm["name"]))
        functions.append(Function(norm_type(m["ret"]), name, params, lineno))
    if not functions:
        raise HeaderError("no declarations found")
    missing = HANDWRITTEN - seen
    if missing:
        raise HeaderError(f"hand-written functions missing from the header: {sorted(missing)}")
    return functions


def render_header(functions):
    out = [
        "// Generated by gen_core.py from qvcsdk.h. Do not edit.",
        "#pragma once",
        "",
        '#include "call_log.h"',
        '#include "functions.h"',
        "",
        "namespace standin {",
        "",
    ]
    out += [f"extern FnState {f.state};" for f in functions]
    out.append("")
    for f in functions:
        call = ", ".join([f.state] + f.log_args)
        out.append(f"inline void log_{f.name}({f.c_params if f.params else ''}) {{")
        out.append(f"    if (log_on()) log_call({call});")
        out.append("}")
    out += ["", "}  // namespace standin", ""]
    return "\n".join(out)


def render_source(functions):
    out = [
        "// Generated by gen_core.py from qvcsdk.h. Do not edit.",
        '#include "core_functions.h"',
        "",
        '#include "asking.h"',
        '#include "replay.h"',
        "",
        "namespace standin {",
        "",
    ]
    for f in functions:
        caps = " | ".join(f.caps) or "0"
        out.append(f'constinit FnState {f.state}{{"{f.name}", {len(f.name)}, {caps}}};')
    out += ["", "FnState* const kFunctions[] = {"]
    out += [f"    &{f.state}," for f in functions]
    out += ["};", f"const int kFunctionCount = {len(functions)};", "", "}  // namespace standin", ""]
    out += ["using namespace standin;", ""]
    for f in functions:
        if f.name in HANDWRITTEN:
            continue
        out.append(f'extern "C" {f.ret} {f.name}({f.c_params}) {{')
        out += f.body()
        out += ["}", ""]
    return "\n".join(out)


def render_exports(functions, extra=()):
    """A linker version script exporting the core functions (and the `extra`
    patterns) and nothing else."""
    names = "\n".join(f"    {name};" for name in [f.name for f in functions] + list(extra))
    return f"{{\n  global:\n{names}\n  local:\n    *;\n}};\n"


def generate(prog, description, render, argv=None):
    """The command line of a generator over the header: reads --header, asks
    `render(functions)` for {file name: text} and writes those into --out-dir."""
    ap = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--header", required=True, type=pathlib.Path)
    ap.add_argument("--out-dir", required=True, type=pathlib.Path)
    args = ap.parse_args(argv)
    try:
        outputs = render(parse_header(args.header.read_text()))
    except HeaderError as e:
        print(f"{prog}: {args.header}: {e}", file=sys.stderr)
        return 1
    args.out_dir.mkdir(parents=True, exist_ok=True)
    for name, text in outputs.items():
        (args.out_dir / name).write_text(text)
    return 0


def render_all(functions):
    return {
        "core_functions.h": render_header(functions),
        "core_functions.cpp": render_source(functions),
        "exports.map": render_exports(functions, extra=["standin_*"]),
    }


def main(argv=None):
    return generate("gen_core.py", __doc__, render_all, argv)


if __name__ == "__main__":
    sys.exit(main())
