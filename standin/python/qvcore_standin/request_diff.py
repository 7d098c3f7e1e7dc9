"""Where two requests differ, in a few lines: the first differing byte and
both requests around it, in hex and as printable text."""

from __future__ import annotations

from typing import List

WIDTH = 16  # bytes a line


def first_difference(a: bytes, b: bytes) -> int:
    n = min(len(a), len(b))
    return next((i for i in range(n) if a[i] != b[i]), n)


def _line(data: bytes, start: int) -> str:
    chunk = data[start:start + WIDTH]
    hexed = " ".join(f"{c:02x}" for c in chunk).ljust(WIDTH * 3 - 1)
    text = "".join(chr(c) if 32 <= c < 127 else "." for c in chunk)
    return f"{start:06x}  {hexed}  |{text}|"


def excerpt(data: bytes, at: int, lines: int = 2) -> List[str]:
    """Up to `lines` lines of 16 bytes from the line that holds `at`."""
    start = at - at % WIDTH
    out = [_line(data, s) for s in range(start, min(len(data), start + lines * WIDTH), WIDTH)]
    return out or [f"{start:06x}  (ends at byte {len(data)})"]


def describe(recorded: bytes, live: bytes, title: str = "the requests") -> str:
    at = first_difference(recorded, live)
    lines = [f"{title} differ at byte {at} (recorded {len(recorded)} bytes, got {len(live)}):"]
    lines += ["  recorded " + line for line in excerpt(recorded, at)]
    lines += ["  got      " + line for line in excerpt(live, at)]
    return "\n".join(lines)
