"""Type-checked (never run) by tools/check_wheel.py with mypy and pyright
against an installed wheel: the stubs must accept what the module accepts
and flag what it refuses. Each `type: ignore` marks an error the checkers
must report; an unused one fails the check."""

from typing import Any

from typing_extensions import assert_type

import c_sdk
import qvcore_session

# Request-response calls: bytes, bytearray, and str only through the adapter.
assert_type(c_sdk.py_qvi_place_order("order"), tuple[int, bytes] | tuple[int, None])
assert_type(c_sdk.py_qvi_history_ticks_pb(bytearray(b"q")), tuple[int, bytes] | tuple[int, None])
c_sdk.py_qvi_history_ticks_pb("q")  # type: ignore[arg-type]
c_sdk.py_qvi_place_order(None)  # type: ignore[arg-type]
status, payload = c_sdk.py_qvi_get_orders(req=b"q")
assert_type(status, int)
assert_type(payload, bytes | None)

# Commands, setters and getters.
assert_type(c_sdk.py_qvi_cancel_order(b"q"), int)
assert_type(c_sdk.py_qvi_set_timer(2.9), None)
c_sdk.py_qvi_set_timer("5")  # type: ignore[arg-type]
assert_type(c_sdk.py_qvi_get_serv_addr("id"), bytes | None)
assert_type(c_sdk.py_qvi_strerror(0), bytes)
c_sdk.py_qvi_subscribe("SHSE.600000", "tick", [])
c_sdk.py_qvi_user_timer(10)  # type: ignore[call-arg]
c_sdk.py_qvi_user_timer(period=10, start_delay=0, extra=1)  # type: ignore[call-arg]

# Direct callables never go through the adapter.
assert_type(c_sdk.qvi_now(), int)
assert_type(c_sdk.qvi_now_plus(), float)
c_sdk.qvi_add_bus_topic(b"t")
c_sdk.qvi_add_bus_topic("t")  # type: ignore[arg-type]


# The event callable and the helpers.
def on_event(message_type: str, payload: bytes) -> None: ...


def on_text(message_type: str, payload: str) -> None: ...


c_sdk.py_qvi_set_data_callback(on_event)
c_sdk.py_qvi_set_data_callback(on_text)  # type: ignore[arg-type]
assert_type(c_sdk.c_status_fail(1), bool)
assert_type(c_sdk.c_status_fail(1, cfunname="qvi_run"), bool)
assert_type(c_sdk.adapt_to_python3(c_sdk.py_qvi_get_cash)("q"), tuple[int, bytes] | tuple[int, None])

# Records over a dict.
tick = c_sdk.TickLikeDict2({"price": 10.5})
tick.price = 11
quote = c_sdk.QuoteItemLikeDict2({"bid_p": 1.0})
assert_type(quote.bid_p, Any)
c_sdk.ObjectLikeDict2()  # type: ignore[call-arg]
bar = c_sdk.BarLikeDict2({})
assert_type("close" in bar, bool)
assert_type(c_sdk.CSDK_OPERATE_SUCCESS, int)

# The session tools: typed inline (py.typed).
session = qvcore_session.Session("day.qvs")
assert_type(session.header.functions, list[str])
for frame in session:
    assert_type(frame.msg, bytes | None)
    assert_type(frame.start_ns, int)
assert_type(session.torn, tuple[int, str] | None)
assert_type(qvcore_session.shim_path(), str)
assert_type(qvcore_session.main(["stats", "day.qvs"]), int)
qvcore_session.Session(7)  # type: ignore[arg-type]
