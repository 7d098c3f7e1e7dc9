"""Where an operation's instructions go: the callgrind dumps of its N and 2N
runs (and the empty loop's) split by function, per call."""

import os
import re
import subprocess


def read_profile(path):
    """Self and outgoing-call instructions per function of one callgrind dump
    (written with --dump-instr=no): {(object, function): [self, calls]}."""
    names = {}

    def name(kind, field):
        field = field.strip()
        if field.startswith("("):
            ident, _, text = field[1:].partition(")")
            if text.strip():
                names[(kind, ident)] = text.strip()
            return names.get((kind, ident), ident)
        return field

    costs = {}
    ob = fn = None
    after_calls = False
    with open(path) as f:
        for line in f:
            if not line.strip():
                continue
            key, eq, value = line.partition("=")
            if eq and key in ("ob", "fn", "cob", "cfn", "fl", "fi", "fe", "cfi", "cfl", "calls"):
                if key == "ob":
                    ob = name("ob", value)
                elif key == "fn":
                    fn = (os.path.basename(ob or ""), name("fn", value))
                elif key == "cob":
                    name("ob", value)
                elif key == "cfn":
                    name("fn", value)
                elif key == "calls":
                    after_calls = True
                continue
            if fn is None or not (line[0].isdigit() or line[0] in "+-*"):
                continue
            fields = line.split()
            entry = costs.setdefault(fn, [0, 0])
            entry[1 if after_calls else 0] += int(fields[1]) if len(fields) > 1 else 0
            after_calls = False
    return costs


def annotate(files, n, op_name, binding, top):
    """Instructions per call by function: (2N run - N run) - (the same for the
    empty loop), over N. `self` is the function's own instructions, `+calls`
    what the calls it makes cost (inclusive = self + calls)."""
    f1, f2, g1, g2 = files[(op_name, binding)]
    c = [read_profile(p) for p in (f1, f2, g1, g2)]
    keys = set().union(*c)

    def per_call(k, i):
        v = [x.get(k, [0, 0])[i] for x in c]
        return ((v[1] - v[0]) - (v[3] - v[2])) / n

    rows = [(per_call(k, 0), per_call(k, 1), k) for k in keys]
    total = sum(r[0] for r in rows)
    rows = sorted((r for r in rows if abs(r[0]) >= 0.5), key=lambda r: -r[0])[:top]
    names = demangle([fn for _, _, (_, fn) in rows])
    rows = [(a, b, (ob, names.get(fn, fn))) for a, b, (ob, fn) in rows]
    lines = [f"\n{op_name} / {binding}: {total:.1f} instructions per call, by function",
             f"{'self':>8} {'+calls':>8}  function [object]"]
    for self_cost, calls, (ob, fn) in rows:
        lines.append(f"{self_cost:8.1f} {calls:8.1f}  {brief(fn)} [{ob}]")
    return "\n".join(lines)


def demangle(symbols):
    """{mangled: demangled} for the names valgrind left mangled (too long for it)."""
    mangled = [s for s in symbols if s.startswith("_Z")]
    if not mangled:
        return {}
    try:
        out = subprocess.run(["c++filt"], input="\n".join(mangled), capture_output=True, text=True,
                             check=True).stdout.splitlines()
    except (OSError, subprocess.CalledProcessError):
        return {}
    return {m: d if d != m else readable(m) for m, d in zip(mangled, out)}


def readable(sym):
    """What c++filt gives up on (the longest template names): the nested name
    and the first template argument when it is a function, e.g.
    c_sdk::invoke<&qvi_set_backtest_config…>; `{local}` marks an entity
    defined inside that function (a lambda)."""
    local = sym.startswith("_ZZ")
    i = 3 if local else 2
    if sym[i:i + 1] != "N":
        return sym
    i += 1
    parts = []
    while i < len(sym) and sym[i].isdigit():
        j = i
        while sym[j].isdigit():
            j += 1
        n = int(sym[i:j])
        parts.append(sym[j:j + n])
        i = j + n
    name = "::".join(parts)
    first = re.match(r"IXadL_Z(\d+)", sym[i:])
    if first:
        start = i + first.end()
        name += f"<&{sym[start:start + int(first.group(1))]}…>"
    return name + ("::{local}" if local else "")


def brief(fn):
    """A C++ name without its parameter list, its anonymous namespaces and
    all but the first argument of each template: c_sdk::invoke<&qvi_now…>."""
    if fn.endswith(")"):
        depth = 0
        for i in range(len(fn) - 1, -1, -1):
            depth += {")": 1, "(": -1}.get(fn[i], 0)
            if depth == 0:
                fn = fn[:i] if i > 0 else fn
                break
    fn = fn.replace("(anonymous namespace)::", "")
    out, depth, skipping = [], 0, False
    for ch in fn:
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
            if depth == 0 and skipping:
                out.append("…")
                skipping = False
        elif ch == "," and depth == 1:
            skipping = True
        if not skipping:
            out.append(ch)
    return "".join(out)
