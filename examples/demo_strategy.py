"""A small strategy run against the stand-in core library.

It configures the session, subscribes, lets the stand-in deliver a stream of
tick events, trades from inside the event callback, stops the run loop from
there and prints what came back. Run it with `make demo`.
"""

import json

import c_sdk
import qvcore_standin

core = qvcore_standin.Core()  # asks for the stand-in, and lets us script the core's side


def say(text):
    print(text, flush=True)


# --- session set-up ---------------------------------------------------------
c_sdk.py_qvi_set_serv_addr("127.0.0.1:7001")
c_sdk.py_qvi_set_token("demo-token")
c_sdk.py_qvi_set_strategy_id("demo-strategy")
c_sdk.py_qvi_set_mode_consistency(1)
say(f"core library version  {c_sdk.qvi_get_c_version()!r}")
say(f"subscribe             status {c_sdk.py_qvi_subscribe('SHSE.600000', 'tick', False)}")

# The stand-in answers the order with a response of our choosing.
core.set_response("qvi_place_order_pb", b'{"order_id": "A-1", "status": "accepted"}')

# --- the market, as the stand-in plays it -----------------------------------
prices = [10.00, 10.02, 10.05, 10.01, 9.98]
for i, price in enumerate(prices):
    tick = {"symbol": "SHSE.600000", "price": price, "cum_volume": 100 * (i + 1)}
    core.queue_event(b"tick", json.dumps(tick).encode())
core.queue_event(b"heartbeat", b"")
core.queue_event(b"tick", b"never seen: the loop stops before")
core.set_stop_error_code(0)

# --- the strategy -------------------------------------------------------------
state = {"ticks": 0, "last": None}


def on_event(message_type, payload):
    if message_type != "tick":
        say(f"event {message_type!r:12} {len(payload)} bytes -> stopping the loop")
        c_sdk.py_qvi_stop()
        return
    tick = c_sdk.TickLikeDict2(json.loads(payload))
    state["ticks"] += 1
    change = "" if state["last"] is None else f"{tick.price - state['last']:+.2f}"
    say(f"event 'tick'       {tick.symbol} price {tick.price:.2f} {change:>6} volume {tick.cum_volume}")
    if state["last"] is not None and tick.price - state["last"] >= 0.03:
        order = json.dumps({"symbol": tick.symbol, "side": "buy", "volume": 100, "price": tick.price})
        status, response = c_sdk.py_qvi_place_order(order)
        say(f"  place order -> ({status}, {response!r})")
    state["last"] = tick.price


c_sdk.py_qvi_set_data_callback(on_event)
say("run loop              starting")
status = c_sdk.py_qvi_run()
say(f"run loop              returned {status}, stop code {c_sdk.py_qvi_get_stop_error_code()}")

# --- a history query after the session ----------------------------------------
core.set_response("qvi_history_bars_pb", b"<bars of SHSE.600000, 1d>")
status, bars = c_sdk.py_qvi_history_bars_pb(b"symbol=SHSE.600000&frequency=1d")
say(f"history bars          ({status}, {bars!r})")
core.set_status("qvi_get_cash_pb", 3)
status, cash = c_sdk.py_qvi_get_cash("account=demo")
say(f"cash query            ({status}, {cash!r}), failed: {c_sdk.c_status_fail(status, 'qvi_get_cash_pb')}")
say(f"ticks handled         {state['ticks']}")
