#!/usr/bin/env python3
"""Generates the recording shim's core functions from the core library's header.

Reads qvcsdk.h with the stand-in core's parser (standin/core/gen_core.py), so
the shim covers exactly the functions the stand-in does, and writes into
--out-dir:

  shim_functions.cpp  one function per core function: with recording off it
                      tail-calls the real one; with it on it describes the
                      arguments, times the call and records the result;
  exports.map         the linker version script: only the core functions.

Secret texts are named here; each must exist in the header, so a renamed
parameter cannot silently start reaching the file.
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "standin" / "core"))

from gen_core import HeaderError, generate, render_exports  # noqa: E402


def _not_status():
    """The session tools' list of int results that are not a status, read
    from its file: the writer counts failures as the tools do."""
    namespace = {}
    exec((HERE / "qvcore_session" / "status_functions.py").read_text(), namespace)
    return namespace["NOT_STATUS"]


NOT_STATUS = _not_status()

# (function, parameter) whose text is written as "<redacted: N bytes>".
SECRET_PARAMS = {
    ("qvi_set_token", "token"),
    ("qvi_set_apitoken", "token"),
    ("qvi_set_ctp_md_info", "password"),
    ("qvi_set_bus_info", "password"),
    ("qvi_set_bus_secure", "tlskey"),
}
# Functions whose returned text is secret.
SECRET_RESULTS = {"qvi_get_encrypted_token"}


def check_secrets(functions):
    by_name = {f.name: f for f in functions}
    for fn, param in sorted(SECRET_PARAMS):
        f = by_name.get(fn)
        if f is None or (("const char*", param) not in f.params):
            raise HeaderError(f"secret text {fn}({param}) is not a const char* parameter in the header")
    for fn in sorted(SECRET_RESULTS):
        if fn not in by_name or by_name[fn].ret != "const char*":
            raise HeaderError(f"secret result of {fn} is not a const char* result in the header")


def arg_exprs(f):
    """The qvrec value descriptions of f's parameters, in the stand-in log's order."""
    out = []
    params = f.params
    i = 0
    while i < len(params):
        ptype, pname = params[i]
        if ptype in ("int", "long long"):
            out.append(f"qvrec::Int{{{pname}}}")
        elif ptype == "double":
            out.append(f"qvrec::Double{{{pname}}}")
        elif ptype == "bool":
            out.append(f"qvrec::Bool{{{pname}}}")
        elif ptype == "const char*":
            kind = "Secret" if (f.name, pname) in SECRET_PARAMS else "Text"
            out.append(f"qvrec::{kind}({pname})")
        elif ptype == "void*":
            out.append(f"qvrec::Buffer{{{pname}, {params[i + 1][1]}}}")
            i += 1
        elif ptype in ("void**", "int*", "char**"):
            out.append(f"qvrec::Out{{{pname}}}")
        elif ptype == "EventCallback":
            out.append(f"qvrec::Fn{{reinterpret_cast<const void*>({pname})}}")
        else:
            f.fail(f"cannot record parameter type {ptype!r} ({pname})")
        i += 1
    return out


def result_expr(f):
    names = [n for _, n in f.params]
    types = [t for t, _ in f.params]
    if f.ret == "void":
        return "qvrec::result_void()"
    if f.ret in ("long long",):
        return "qvrec::result_int(r)"
    if f.ret == "double":
        return "qvrec::result_double(r)"
    if f.ret == "const char*":
        return f"qvrec::result_text(r, {'true' if f.name in SECRET_RESULTS else 'false'})"
    if "void**" in types:
        k = types.index("void**")
        return f"qvrec::result_response(r, {names[k]}, {names[k + 1]})"
    if "char**" in types:
        return f"qvrec::result_out_text(r, {names[types.index('char**')]})"
    return "qvrec::result_int(r)"


def render_function(index, f):
    """The exported function: with recording off and the core found, a tail
    call of the real one; everything else (finding the core, recording) is
    a function of its own, so the fast path needs no stack frame. Only the
    module's calls are recorded: the slow path is told where the call will
    return to. Inside the slow path recording is the usual case, so it is
    laid out as the hot one (a branch hint there would have the compiler
    keep the copy out of line)."""
    fn_type = f"{f.ret} (*)({', '.join(t for t, _ in f.params) or 'void'})"
    call_args = ", ".join("wrapped" if t == "EventCallback" else n for t, n in f.params)
    args = arg_exprs(f)
    ret = "" if f.ret == "void" else "return "
    slow_params = ", ".join(p for p in (f.c_params if f.params else "", "const void* caller") if p)
    slow_args = ", ".join(a for a in (f.c_args, "__builtin_return_address(0)") if a)
    lines = [f"[[gnu::noinline]] static {f.ret} slow_{f.name}({slow_params}) {{",
             f"    auto real = qvrec::real<{fn_type}>({index});",
             "    if (!qvrec::on() || !qvrec::from_module(caller) || !qvrec::recording())",
             f"        return real({f.c_args});"]
    if "EventCallback" in [t for t, _ in f.params]:
        cb = next(n for t, n in f.params if t == "EventCallback")
        lines.append(f"    EventCallback wrapped = qvrec::wrap_callback({cb});")
    lines.append(f"    const auto args = qvrec::args({', '.join(args)});")
    lines.append(f"    qvrec::Call call({index}, args);")
    if f.ret == "void":
        lines.append(f"    real({call_args});")
    else:
        lines.append(f"    {f.ret} r = real({call_args});")
    lines.append(f"    call.finish({result_expr(f)}, args);")
    if f.ret != "void":
        lines.append("    return r;")
    lines += ["}", ""]
    lines += [f'extern "C" {f.ret} {f.name}({f.c_params}) {{',
              f"    void* real = qvrec::g_real[{index}].load(std::memory_order_acquire);",
              f"    if (real == nullptr || qvrec::on()) [[unlikely]] {ret}slow_{f.name}({slow_args});",
              f"    {'else ' if f.ret == 'void' else ''}{ret}reinterpret_cast<{fn_type}>(real)({f.c_args});",
              "}", ""]
    return lines


def render_source(functions):
    out = [
        "// Generated by gen_recorder.py from qvcsdk.h. Do not edit.",
        '#include "recorder.hpp"',
        "",
        "namespace qvrec {",
        "",
        "const char* const kFunctionNames[] = {",
    ]
    out += [f'    "{f.name}",' for f in functions]
    out += ["};", "// Whether a call's int result is its status (a failure when not 0).",
            "const bool kFunctionReturnsStatus[] = {"]
    status = [f.ret in ("int", "long long") and f.name not in NOT_STATUS for f in functions]
    out += [f"    {'true' if s else 'false'}," for s in status]
    out += [
        "};",
        f"const int kFunctionCount = {len(functions)};",
        f"constinit std::atomic<void*> g_real[{len(functions)}] = {{}};",
        "",
        "}  // namespace qvrec",
        "",
        "#pragma GCC visibility push(default)",
        "",
    ]
    for i, f in enumerate(functions):
        out += render_function(i, f)
    out += ["#pragma GCC visibility pop", ""]
    return "\n".join(out)


def render_all(functions):
    check_secrets(functions)
    # qvrec_control_*: recording on demand, for the stand-in's pytest plugin.
    exports = render_exports(functions, extra=["qvrec_control_*"])
    return {"shim_functions.cpp": render_source(functions), "exports.map": exports}


def main(argv=None):
    return generate("gen_recorder.py", __doc__, render_all, argv)


if __name__ == "__main__":
    sys.exit(main())
