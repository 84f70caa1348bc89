"""Example strategy: a moving-average crossover on minute bars.

It drives c_sdk the way the platform's Python layer does: configure the
session and the backtest, register one event callable, subscribe, run the
SDK's loop, and trade from inside the events (orders, cancels, cash and
position queries, timers, a bus message), until the strategy stops the loop
itself.  Here it runs on the stand-in SDK's simulated session, so it needs
no server: ``./dev run``, or

    PYTHONPATH=build/python:standin/python python3.8 examples/strategy.py [--lot SHARES]

``VQSDK_SIMULATE=threads=1`` has the session send its market data from a
thread of the SDK's own; with ``CSDK_RUN_UNLOCKED=1`` the strategy gets it as
it comes, as it does without the setting.

The payloads of the stand-in are key=value text (``vqsim.decode``); with the
real SDK the platform's own decoders take their place.
"""
import argparse
import collections
import logging
import os
import sys
import time

import c_sdk
import vqsim
from vq.utils import vqsdklogger

SEED = 7
START, END = "2024-01-02 09:30:00", "2024-01-02 13:30:00"
STOP_AT = "2024-01-02 13:00:00"      # the strategy ends the run at this bar
INITIAL_CASH = 1000000.0
SYMBOLS = ["SHSE.600000", "SZSE.000001", "SHSE.601318"]
TICK_SYMBOL = "SHSE.510300"          # watched tick by tick, traded passively
FAST, SLOW = 5, 20                   # moving-average windows, in bars
LOT = 1000                           # shares per crossover trade
PASSIVE_LOT = 500
PASSIVE_OFFSET = 0.002               # passive bids sit this far below the bid
MINUTE = 60 * 1000                   # timers count simulated milliseconds

BUY, SELL = 1, 2
LIMIT, MARKET = 1, 2
OPEN, FILLED, CANCELLED, REJECTED = 1, 3, 5, 8


def log_sdk_debug_output():
    """Shows vqsdklogger's debug records (c_status_fail writes there)."""
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("  [%(name)s] %(levelname)s %(message)s"))
    vqsdklogger.addHandler(handler)
    vqsdklogger.setLevel(logging.DEBUG)
    vqsdklogger.propagate = False


class Crossover(object):
    def __init__(self):
        self.events = collections.Counter()  # type: collections.Counter[str]
        self.closes = collections.defaultdict(lambda: collections.deque(maxlen=SLOW + 1))
        self.position = collections.Counter()  # type: collections.Counter[str]  # from execution reports
        self.pending = set()                     # symbols with an order in flight
        self.passive = []                        # ids of passive bids, newest last
        self.last_tick = None
        self.timer_id = None
        self.user_timer_fired = 0
        self.stopped_at = None
        self.signals_heard = []                  # our own signals, back from the bus
        self.handlers = {
            "on_bar": self.on_bar,
            "on_tick": self.on_tick,
            "on_order_status": self.on_order_status,
            "on_execution_report": self.on_execution_report,
            "on_timer": self.on_timer,
            "on_bus_message": self.on_bus_message,
        }

    # ---- The one callable the SDK calls ----

    def on_event(self, text, payload):
        self.events[text] += 1
        handler = self.handlers.get(text)
        if handler is not None:
            handler(vqsim.decode(payload))

    # ---- Market data ----

    def on_bar(self, data):
        bar = c_sdk.BarLikeDict2(data)
        if "close" not in bar:
            return
        closes = self.closes[bar["symbol"]]
        closes.append(bar.close)
        if len(closes) > SLOW:
            self.check_crossover(bar, list(closes))
        if bar.eob >= STOP_AT and self.stopped_at is None:
            self.stop(bar.eob)

    def check_crossover(self, bar, closes):
        def sma(values, n):
            return sum(values[-n:]) / n

        before = sma(closes[:-1], FAST) - sma(closes[:-1], SLOW)
        now = sma(closes, FAST) - sma(closes, SLOW)
        if bar.symbol in self.pending:
            return
        if before <= 0 < now and self.position[bar.symbol] == 0:
            self.signal(bar, "golden cross")
            self.order(bar.symbol, BUY, LOT, MARKET)
        elif before >= 0 > now and self.position[bar.symbol] > 0:
            self.signal(bar, "death cross")
            self.order(bar.symbol, SELL, self.position[bar.symbol], MARKET)

    def signal(self, bar, what):
        message = "%s %s at %s, close %.2f" % (bar.symbol, what, bar.eob, bar.close)
        status = c_sdk.py_vqi_send_msg_to_bus("signals", message)
        c_sdk.c_status_fail(status, "vqi_send_msg_to_bus")

    def on_tick(self, data):
        tick = c_sdk.TickLikeDict2(data)
        tick.quotes = [c_sdk.QuoteItemLikeDict2({k: data[k] for k in ("bid_p", "bid_v", "ask_p", "ask_v")})]
        self.last_tick = tick

    # ---- Orders ----

    def order(self, symbol, side, volume, order_type, price=0.0, tag="sma"):
        request = vqsim.encode(symbol=symbol, side=side, volume=volume, order_type=order_type, price=price, tag=tag)
        status, response = c_sdk.py_vqi_place_order(request)
        if c_sdk.c_status_fail(status, "vqi_place_order_pb"):
            return None
        order = c_sdk.ObjectLikeDict2(vqsim.decode(response))
        if order.status == REJECTED:
            print("  order rejected: %s %s" % (symbol, order.ord_rej_reason))
            return None
        if tag == "sma":
            self.pending.add(symbol)
        return order.order_id

    def cancel(self, order_id):
        status = c_sdk.py_vqi_cancel_order(vqsim.encode(order_id=order_id))
        return not c_sdk.c_status_fail(status, "vqi_cancel_orders_pb")

    def on_order_status(self, data):
        order = c_sdk.ObjectLikeDict2(data)
        if order.status in (FILLED, CANCELLED, REJECTED) and order.tag == "sma":
            self.pending.discard(order.symbol)

    def on_execution_report(self, data):
        fill = c_sdk.ObjectLikeDict2(data)
        self.position[fill.symbol] += fill.volume if fill.side == BUY else -fill.volume
        print("  %s %-4s %5d %s @ %.2f" % (fill.created_at[11:16], "BUY" if fill.side == BUY else "SELL",
                                         fill.volume, fill.symbol, fill.price))

    # ---- Timers and the bus ----

    def on_timer(self, data):
        if data["timer_id"] == 0:          # the half-hourly heartbeat of py_vqi_set_timer
            status, response = c_sdk.py_vqi_get_cash(b"")
            if not c_sdk.c_status_fail(status, "vqi_get_cash_pb"):
                cash = c_sdk.ObjectLikeDict2(vqsim.decode(response))
                print("  %s nav %.2f, available %.2f" % (data["time"][11:16], cash.nav, cash.available))
            return
        # The user timer: re-quote the passive bid below the market.
        self.user_timer_fired += 1
        if self.passive:
            self.cancel(self.passive[-1])   # fails when the bid has filled meanwhile
        if self.last_tick is not None:
            bid = self.last_tick.quotes[0].bid_p
            price = round(bid * (1 - PASSIVE_OFFSET), 2)
            order_id = self.order(TICK_SYMBOL, BUY, PASSIVE_LOT, LIMIT, price, tag="passive")
            if order_id is not None:
                self.passive.append(order_id)
        if self.user_timer_fired == 8 and self.timer_id is not None:
            c_sdk.py_vqi_user_timer_stop(self.timer_id)

    def on_bus_message(self, data):
        self.signals_heard.append(data["msg"])

    def stop(self, when):
        self.stopped_at = when
        c_sdk.py_vqi_stop()


def main(argv=None):
    global LOT
    parser = argparse.ArgumentParser(description="Moving-average crossover on the stand-in SDK's session.")
    parser.add_argument("--lot", type=int, default=LOT, help="shares per crossover trade (%(default)s)")
    LOT = parser.parse_args(argv).lot
    log_sdk_debug_output()
    started = time.perf_counter()

    sim = vqsim.sdk()
    sim.reset()
    # The keys of $VQSDK_SIMULATE, if any, adjust the session (threads=1: bars
    # and ticks from a thread of the SDK's own, as a network SDK sends them).
    setting = os.environ.get("VQSDK_SIMULATE", "")
    sim.simulate(**dict({"seed": SEED}, **(vqsim.decode(setting.encode()) if "=" in setting else {})))
    strategy = Crossover()

    # Session and backtest configuration.
    if c_sdk.c_status_fail(c_sdk.py_vqi_set_token("example-token"), "vqi_set_token"):
        return 1
    c_sdk.py_vqi_set_serv_addr("127.0.0.1:7100")
    c_sdk.py_vqi_set_strategy_id("example-crossover")
    c_sdk.py_vqi_set_account_id(b"example-account")
    c_sdk.py_vqi_set_version("1.0.0", "python")
    status = c_sdk.py_vqi_set_backtest_config(START, END, INITIAL_CASH, 1.0, 0.0003, 0.0, 0.0001,
                                              1.0, 1.0, 1, 0, 0)
    if c_sdk.c_status_fail(status, "vqi_set_backtest_config"):
        return 1
    c_sdk.py_vqi_set_backtest_intraday(1)
    c_sdk.py_vqi_set_bus_info("127.0.0.1:4222", "example", "example")
    c_sdk.py_vqi_add_bus_topic("signals")

    # Events, data and timers.
    c_sdk.py_vqi_set_data_callback(strategy.on_event)
    for symbols, frequency in ((",".join(SYMBOLS), "60s"), (TICK_SYMBOL, "tick")):
        if c_sdk.c_status_fail(c_sdk.py_vqi_subscribe(symbols, frequency, False), "vqi_subscribe"):
            return 1
    c_sdk.py_vqi_set_timer(30 * MINUTE)
    strategy.timer_id = c_sdk.py_vqi_user_timer(15 * MINUTE, 10 * MINUTE)

    print("running %s on %s from %s (seed %d)" % (type(strategy).__name__, ", ".join(SYMBOLS), START, SEED))
    run_status = c_sdk.py_vqi_run()
    c_sdk.c_status_fail(run_status, "vqi_run")

    # What the SDK holds at the end.
    status, response = c_sdk.py_vqi_get_orders(b"")
    orders = [] if c_sdk.c_status_fail(status, "vqi_get_orders_pb") else vqsim.decode_records(response)
    status, response = c_sdk.py_vqi_get_cash(b"")
    cash = {} if c_sdk.c_status_fail(status, "vqi_get_cash_pb") else vqsim.decode(response)
    status, response = c_sdk.py_vqi_get_positions(b"")
    positions = [] if c_sdk.c_status_fail(status, "vqi_get_positions_pb") else vqsim.decode_records(response)
    elapsed = time.perf_counter() - started

    by_status = collections.Counter(order["status"] for order in orders)
    print()
    print("summary")
    print("  run status: %d, stopped by the strategy at %s" % (run_status, strategy.stopped_at))
    print("  events received: %s" % " ".join("%s=%d" % kv for kv in sorted(strategy.events.items())))
    print("  orders: placed=%d filled=%d cancelled=%d rejected=%d open=%d"
          % (len(orders), by_status[FILLED], by_status[CANCELLED], by_status[REJECTED], by_status[OPEN]))
    print("  cash: available=%.2f order_frozen=%.2f nav=%.2f fee=%.2f pnl=%.2f"
          % (cash["available"], cash["order_frozen"], cash["nav"], cash["fee"], cash["pnl"]))
    print("  signals heard on the bus: %d, last: %s" % (len(strategy.signals_heard),
                                                      strategy.signals_heard[-1] if strategy.signals_heard else "-"))
    print("  positions: %s" % (" ".join("%s=%d" % (p["symbol"], p["volume"]) for p in positions) or "none"))
    print("  elapsed: %.3f s" % elapsed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
