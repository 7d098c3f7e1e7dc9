"""What the call log holds: each core call with its C arguments."""

import struct
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple, Union
from unittest import mock

#: Equal to anything: stands for the addresses a test cannot know.
ANY: Any = mock.ANY


@dataclass(frozen=True)
class Text:
    """A ``const char*`` argument: its address and bytes up to the NUL (None if null)."""

    addr: int
    value: Optional[bytes]


@dataclass(frozen=True)
class Buffer:
    """A ``(void* req, int req_len)`` request argument.

    ``length`` is req_len as received; ``data`` holds the req_len bytes, or is
    None when the pointer is null or req_len is negative; ``nul_follows``
    tells whether a NUL byte follows the last one.
    """

    addr: int
    length: int
    data: Optional[bytes]
    nul_follows: bool


@dataclass(frozen=True)
class OutPtr:
    """A non-null out-parameter (``void** res``, ``int* res_len``, ``char** addr``).

    A null out-parameter is logged as None.
    """

    addr: int


@dataclass(frozen=True)
class FnPtr:
    """A non-null function pointer argument (the event callback); null is None."""

    addr: int


#: One logged argument.
Arg = Union[int, float, bool, Text, Buffer, OutPtr, FnPtr, None]


@dataclass(frozen=True)
class Call:
    """One logged core call: the function name and its arguments, in C order.

    A request pair counts as one argument (a ``Buffer``); scalars are ``int``,
    ``float`` or ``bool``.
    """

    fn: str
    args: Tuple[Any, ...] = ()


def decode_arg(a: Dict[str, Any]) -> Arg:
    """One argument of the library's JSON call log."""
    t = a["t"]
    if t in ("int", "bool"):
        value: Union[int, bool] = a["v"]
        return value
    if t == "double":
        real: float = struct.unpack(">d", bytes.fromhex(a["bits"]))[0]
        return real
    if t == "text":
        return Text(a["addr"], None if a["v"] is None else bytes.fromhex(a["v"]))
    if t == "buffer":
        data = None if a["data"] is None else bytes.fromhex(a["data"])
        return Buffer(a["addr"], a["len"], data, a["nul"])
    if t == "out":
        return OutPtr(a["addr"]) if a["addr"] else None
    if t == "fn":
        return FnPtr(a["addr"]) if a["addr"] else None
    raise ValueError(f"unknown argument kind in the call log: {t!r}")
