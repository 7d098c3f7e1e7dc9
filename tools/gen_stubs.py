"""Writes the type stubs of a built c_sdk module (a PEP 561 stub package).

    python tools/gen_stubs.py --module-dir build/dev/stage --out build/dev/stage/c_sdk-stubs/__init__.pyi

The build runs it on the module it has just linked, so the stubs installed
with a wheel always describe that very module: every wrapper and direct
callable with its parameter names and the types its parameter kinds accept
(``str`` as well for those bound through the adapter), every result type,
the helpers, the record classes and the constants.
"""

import argparse
import os
import sys
import textwrap

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import c_sdk_api  # noqa: E402
from reference_text import KIND_TEXT, RESULT_TEXT, SHAPE_TEXT  # noqa: E402

DOC_WIDTH = 100

HEADER = '''\
# Type stubs of the c_sdk extension module, generated from the module's own
# description of its callables (__core__) by tools/gen_stubs.py when the
# module is built. Do not edit: rebuild instead.
#
# Parameter types follow the conversions: byte-string parameters take bytes or
# bytearray (and str where the function is bound through adapt_to_python3),
# integer parameters anything with __int__, float parameters anything with
# __float__ or __index__, flag parameters any object (its truth value).

import functools as functools
import platform as platform
from collections.abc import Callable
from typing import Any, Protocol, SupportsFloat, SupportsIndex, SupportsInt, TypeVar

_R = TypeVar("_R")

class _Logger(Protocol):
    def debug(self, msg: str, /) -> object: ...

class _Mapping(Protocol):
    """What a record needs of the mapping it wraps."""

    def get(self, key: Any, /) -> Any: ...
    def __setitem__(self, key: Any, value: Any, /) -> None: ...
'''


def _signature(name, params, ret, indent=""):
    """`def name(...) -> ret: ...` on one line, or one parameter a line when too long."""
    one_line = f"({', '.join(params)}) -> {ret}"
    if len(f"{indent}def {name}{one_line}: ...") <= 110:
        return one_line
    inner = "".join(f"\n{indent}    {p}," for p in params)
    return f"({inner}\n{indent}) -> {ret}"


def _plain(text):
    """A table's Markdown as docstring text: an IDE shows the backticks as they are."""
    return text.replace("`", "")


def _paragraph(text, indent="", hang=""):
    return textwrap.wrap(_plain(text), DOC_WIDTH, initial_indent=indent, subsequent_indent=indent + hang,
                         break_on_hyphens=False)


def docstring(entry):
    """What an IDE shows for a wrapper or direct callable (Jedi reads the stubs):
    its core function and shape, its result on success and on failure, and
    each parameter's kind, in the words of docs/reference.md."""
    adapted = " str arguments are encoded to ASCII bytes first (adapt_to_python3)." if entry.adapted else ""
    lines = _paragraph(f"Calls the core function {entry.core}; shape {entry.shape}.{adapted}") + [""]
    lines += _paragraph(SHAPE_TEXT[entry.shape].replace("qvi_X", entry.core)) + [""]
    lines += _paragraph(f"Returns {RESULT_TEXT[entry.result]}.") + [""]
    if entry.params:
        lines.append("Parameters:")
        for name, kind in entry.params:
            accepts, passed = KIND_TEXT[kind]
            lines += _paragraph(f"{name} ({kind}): {accepts}; passed as {passed}.", "    ", "    ")
    else:
        lines.append("No parameters.")
    body = [f"    {line}" if line else "" for line in lines]
    return ['    """' + body[0].lstrip(), *body[1:], '    """']


def _callable_lines(entry):
    params = [f"{name}: {entry.param_type(kind)}" for name, kind in entry.params]
    return [f"def {entry.name}{_signature(entry.name, params, entry.result_type)}:", *docstring(entry), ""]


def _helper_lines(entry):
    params, ret = c_sdk_api.HELPERS[entry.name]
    text = [f"{name}: {ann}" + (f" = {default}" if default else "") for name, ann, default in params]
    return [f"def {entry.name}{_signature(entry.name, text, ret)}: ..."]


def _record_lines(record):
    lines = [f"class {record.name}:", "    data: Any"]
    for method in record.methods:
        params, ret = c_sdk_api.RECORD_METHODS[method]
        text = ["self"] + [f"{name}: {ann}" for name, ann in params]
        lines.append(f"    def {method}{_signature(method, text, ret, '    ')}: ...")
    for name, writable in record.fields:
        lines += ["    @property", f"    def {name}(self) -> Any: ..."]
        if writable:
            lines += [f"    @{name}.setter", f"    def {name}(self, value: Any) -> None: ..."]
    return lines


def render(api):
    out = [HEADER]
    out.append("\n".join(f"{name}: {ann}" for name, ann in api.constants.items()) + "\n")
    for record in api.records:
        out.append("\n".join(_record_lines(record)) + "\n")
    out.append("\n".join(line for h in api.helpers for line in _helper_lines(h)) + "\n")
    out.append("# Wrappers, in binding order.\n")
    out.append("\n".join(line for w in api.wrappers for line in _callable_lines(w)) + "\n")
    out.append("# Core functions under their own C names (each named `wrap`; never adapted).\n")
    out.append("\n".join(line for d in api.direct for line in _callable_lines(d)))
    return "\n".join(out) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-dir", help="folder holding the built c_sdk module (default: sys.path)")
    parser.add_argument("--out", required=True, help="the .pyi file to write")
    args = parser.parse_args(argv)
    text = render(c_sdk_api.load(args.module_dir))
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    tmp = args.out + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, args.out)


if __name__ == "__main__":
    main()
