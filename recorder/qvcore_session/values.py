"""What a frame holds, as objects: the values of arguments and results,
``Frame`` (one decoded frame) and ``Header`` (the file's header)."""

from __future__ import annotations

from typing import List, Optional, Tuple, Union


class Redacted:
    """A secret text: only its length was recorded."""

    __slots__ = ("length", "text")

    def __init__(self, length: int, text: bytes):
        self.length, self.text = length, text

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Redacted) and other.length == self.length

    def __hash__(self) -> int:
        return hash(self.length)

    def __repr__(self) -> str:
        return self.text.decode("utf-8", "backslashreplace")  # a damaged file may hold any bytes


class Buffer:
    """A request (void* req, int req_len): its length and bytes (None when unreadable)."""

    __slots__ = ("length", "data")

    def __init__(self, length: int, data: Optional[bytes]):
        self.length, self.data = length, data

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Buffer) and (other.length, other.data) == (self.length, self.data)

    def __hash__(self) -> int:
        return hash((self.length, self.data))

    def __repr__(self) -> str:
        return f"Buffer({self.length}, {self.data!r})"


class Pointer:
    """An out-parameter or a function pointer: whether it was null."""

    __slots__ = ("kind", "null")

    def __init__(self, kind: str, null: bool):
        self.kind, self.null = kind, null

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Pointer) and (other.kind, other.null) == (self.kind, self.null)

    def __hash__(self) -> int:
        return hash((self.kind, self.null))

    def __repr__(self) -> str:
        return f"{self.kind}:NULL" if self.null else f"{self.kind}"


class Response:
    """The response a successful call wrote: its pointer's nullness, res_len and bytes."""

    __slots__ = ("null", "length", "data")

    def __init__(self, null: bool, length: int, data: Optional[bytes]):
        self.null, self.length, self.data = null, length, data

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Response) and (other.null, other.length, other.data) == (
            self.null, self.length, self.data)

    def __hash__(self) -> int:
        return hash((self.null, self.length, self.data))

    def __repr__(self) -> str:
        return f"Response({self.null}, {self.length}, {self.data!r})"


Arg = Union[int, float, bool, bytes, None, Redacted, Buffer, Pointer]
Result = Union[int, float, bytes, Redacted, None]
Output = Union[Response, bytes, None]


class Frame:
    """One frame: ``kind`` (``CALL`` ... ``LOST``), ``flags``, ``fn`` (the core
    function's name, calls only), ``thread``, ``start_ns`` (monotonic),
    ``duration_ns`` (-1 for OPEN frames), and as the kind has them ``args``
    (a tuple in C order), ``result`` (int, float, bytes, ``Redacted`` or
    None), ``output`` (``Response``, bytes/None for a written text, or
    None when nothing was read), ``msg`` (bytes; None when the core passed a
    null message type) and ``payload`` (bytes; None for a null data pointer)
    and ``data_len``; a LOST frame has ``lost_frames``, ``lost_bytes`` and
    ``depth``. ``index`` counts frames from 0 and ``offset`` is the frame's
    byte position in the file."""

    __slots__ = ("index", "offset", "kind", "flags", "fn", "thread", "start_ns", "duration_ns", "args", "result",
                 "has_result", "output", "msg", "payload", "data_len", "lost_frames", "lost_bytes", "depth")

    index: int
    offset: int
    kind: int
    flags: int
    fn: Optional[str]
    thread: int
    start_ns: int
    duration_ns: int
    args: Tuple[Arg, ...]
    result: Result
    has_result: bool
    output: Output
    msg: Optional[bytes]
    payload: Optional[bytes]
    data_len: int
    lost_frames: int
    lost_bytes: int
    depth: int

    def __repr__(self) -> str:
        fields = ", ".join(f"{k}={getattr(self, k)!r}" for k in self.__slots__ if hasattr(self, k))
        return f"Frame({fields})"


class Header:
    """The file's header: ``version``, ``wall_ns`` and ``mono_ns`` (the same
    moment on both clocks), ``pid``, ``functions`` (names by index),
    ``core_path`` and ``size`` (where the frames start)."""

    __slots__ = ("version", "wall_ns", "mono_ns", "pid", "functions", "core_path", "size")

    version: int
    wall_ns: int
    mono_ns: int
    pid: int
    functions: List[str]
    core_path: str
    size: int
