"""The smallest SDK on top of c_sdk, which the guides' examples use where
they mean "your SDK" (docs/conftest.py puts docs/ on sys.path)."""

import c_sdk


def place_order(symbol: str, volume: int) -> bool:
    """Places an order; whether the core accepted it."""
    status, _ = c_sdk.py_qvi_place_order(b"buy %d %s" % (volume, symbol.encode()))
    return status == 0
