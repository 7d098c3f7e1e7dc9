"""A strategy as small as it gets, for the guides' examples: it buys on each
tick and stops at the event "done"."""

import c_sdk
import my_sdk


class Strategy:
    def __init__(self):
        self.orders_placed = 0

    def on_event(self, message_type, payload):
        if message_type == "tick" and my_sdk.place_order("SHSE.600000", 100):
            self.orders_placed += 1
        elif message_type == "done":
            c_sdk.py_qvi_stop()

    def run(self):
        return c_sdk.py_qvi_run()


def run_strategy():
    """The strategy, registered for the events and run until "done"."""
    strategy = Strategy()
    c_sdk.py_qvi_set_data_callback(strategy.on_event)
    strategy.run()
    return strategy
