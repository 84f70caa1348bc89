"""The stand-in's simulated session, driven through c_sdk as a strategy does."""
import os
import subprocess
import sys
import textwrap

import pytest

import vqsim

START = "2024-01-02 09:30:00"


class Session(object):
    """A simulated session with a recording event callable."""

    def __init__(self, sdk, module):
        self.sdk, self.c = sdk, module
        self.events = []
        self.on_event = None  # extra action after recording, (session, text, data)
        module.py_vqi_set_data_callback(self._record)

    def _record(self, text, payload):
        data = vqsim.decode(payload)
        self.events.append((text, data))
        if self.on_event:
            self.on_event(self, text, data)

    def start(self, **config):
        self.sdk.simulate(**config)
        return self

    def of(self, kind):
        return [data for text, data in self.events if text == kind]

    def texts(self):
        return [text for text, _ in self.events]

    def order(self, **fields):
        status, response = self.c.py_vqi_place_order(vqsim.encode(fields))
        return status, vqsim.decode(response)

    def cash(self):
        status, response = self.c.py_vqi_get_cash(b"")
        assert status == 0
        return vqsim.decode(response)

    def positions(self):
        status, response = self.c.py_vqi_get_positions(b"")
        assert status == 0
        return {p["symbol"]: p for p in vqsim.decode_records(response)}


@pytest.fixture
def session(sdk, module):
    yield Session(sdk, module)
    sdk.simulate(None)


def cents(x):
    return round(x, 2)


def money(x):
    """Equal to the cent, whichever way a half cent was rounded."""
    return pytest.approx(x, abs=0.0101)


# ---- Market data ----

@pytest.mark.parametrize("frequency, steps, count, minutes", [
    ("60s", 10, 10, 1), ("120s", 10, 5, 2), ("5m", 12, 2, 5), ("1h", 120, 2, 60), ("tick", 4, 4, 1),
])
def test_bars_and_ticks_per_frequency(session, frequency, steps, count, minutes):
    session.start(seed=5, steps=steps)
    assert session.c.py_vqi_subscribe("SHSE.600000", frequency, False) == 0
    assert session.c.py_vqi_run() == 0
    assert session.texts()[-1] == "on_backtest_finished"
    kind = "on_tick" if frequency == "tick" else "on_bar"
    got = session.of(kind)
    assert len(got) == count and len(session.events) == count + 1
    if kind == "on_tick":
        assert [t["created_at"] for t in got] == ["2024-01-02 09:3%d:00" % (k + 1) for k in range(count)]
        assert all(t["bid_p"] < t["price"] < t["ask_p"] and t["low"] <= t["price"] <= t["high"] for t in got)
        assert [t["cum_volume"] for t in got] == [sum(x["last_volume"] for x in got[:k + 1]) for k in range(count)]
        return
    previous_close = got[0]["open"]
    for k, bar in enumerate(got):
        assert bar["frequency"] == frequency and bar["symbol"] == "SHSE.600000"
        assert bar["eob"] == vqsim_time(START, (k + 1) * minutes) and bar["bob"] == vqsim_time(START, k * minutes)
        assert bar["low"] <= min(bar["open"], bar["close"]) <= max(bar["open"], bar["close"]) <= bar["high"]
        assert bar["pre_close"] == previous_close == bar["open"]
        assert isinstance(bar["close"], float) and bar["volume"] > 0
        previous_close = bar["close"]


def vqsim_time(start, minutes):
    import datetime
    t = datetime.datetime.strptime(start, "%Y-%m-%d %H:%M:%S") + datetime.timedelta(minutes=minutes)
    return t.strftime("%Y-%m-%d %H:%M:%S")


@pytest.mark.parametrize("frequency", ["7s", "90s", "1x", "", "0s", "s"])
def test_unsupported_frequency(session, frequency):
    session.start()
    assert session.c.py_vqi_subscribe("A", frequency, False) == vqsim.UNSUPPORTED_FREQUENCY
    assert session.c.py_vqi_strerror(vqsim.UNSUPPORTED_FREQUENCY) == b"vqsdk error 1012: unsupported frequency"


def test_subscriptions_replace_and_unsubscribe(session):
    session.start(steps=3)
    c = session.c
    assert c.py_vqi_subscribe("A, B", "60s", False) == 0 and c.py_vqi_subscribe("A", "60s", False) == 0
    assert c.py_vqi_subscribe("C", "60s", True) == 0 and c.py_vqi_subscribe("A,B", "60s", False) == 0
    assert c.py_vqi_unsubscribe("B", "60s") == 0
    c.py_vqi_run()
    assert [b["symbol"] for b in session.of("on_bar")] == ["C", "A"] * 3


@pytest.mark.parametrize("seed, same", [(11, True), (12, False)])
def test_seed_decides_the_market(sdk, module, seed, same):
    def closes(s):
        session = Session(sdk, module).start(seed=s, steps=30)
        module.py_vqi_subscribe("SZSE.000001", "60s", False)
        module.py_vqi_run()
        return [b["close"] for b in session.of("on_bar")]
    first = closes(11)
    assert (closes(seed) == first) is same
    sdk.simulate(None)


# ---- Orders and the account ----

def test_market_order_fills_at_the_next_step(session):
    session.start(seed=2, steps=3, cash=100000, commission=0.001, slippage=0.01)
    session.c.py_vqi_subscribe("A", "60s", False)
    status, order = session.order(symbol="A", volume=200, side=1, order_type=2, tag="x;y=z")
    assert status == 0 and (order["order_id"], order["status"], order["tag"]) == (1, 1, "x;y=z")
    assert session.cash()["order_frozen"] > 0
    session.c.py_vqi_run()
    assert session.texts()[:4] == ["on_order_status", "on_bar", "on_execution_report", "on_order_status"]
    bar, fill, done = session.events[1][1], session.of("on_execution_report")[0], session.of("on_order_status")[1]
    assert fill["price"] == money(bar["close"] * 1.01) and fill["volume"] == 200
    assert fill["amount"] == money(fill["price"] * 200) and fill["commission"] == money(fill["amount"] * 0.001)
    assert (done["status"], done["filled_volume"], done["filled_vwap"]) == (3, 200, fill["price"])
    cash = session.cash()
    assert cash["available"] == money(100000 - fill["amount"] - fill["commission"]) and cash["order_frozen"] == 0
    last_close = session.of("on_bar")[-1]["close"]
    position = session.positions()["A"]
    assert (position["volume"], position["vwap"], position["price"]) == (200, money(fill["price"]), last_close)
    assert cash["nav"] == money(cash["available"] + 200 * last_close)
    report = session.sdk.report()
    assert report["orders"] == {"placed": 1, "open": 0, "filled": 1, "cancelled": 0, "rejected": 0}
    assert report["positions"] == {"A": 200} and report["cash"]["nav"] == cash["nav"]


def test_round_trip_and_order_queries(session):
    session.start(seed=4, steps=4, commission=0.0005)

    def trade(s, text, data):
        if text == "on_order_status" and data["status"] == 3 and data["side"] == 1:
            assert s.order(symbol="B", volume=300, side=2)[0] == 0
    session.on_event = trade
    session.order(symbol="B", volume=300, side=1)
    session.c.py_vqi_run()
    buy, sell = session.of("on_execution_report")
    assert (buy["side"], sell["side"], sell["order_id"]) == (1, 2, 2)
    cash = session.cash()
    expected = 1000000 - buy["amount"] - buy["commission"] + sell["amount"] - sell["commission"]
    assert cash["available"] == money(expected) and cash["available"] == cash["nav"]
    assert cash["fee"] == money(buy["commission"] + sell["commission"]) and session.positions() == {}
    orders = vqsim.decode_records(session.c.py_vqi_get_orders(b"")[1])
    assert [(o["order_id"], o["status"]) for o in orders] == [(1, 3), (2, 3)]
    assert session.c.py_vqi_get_unfinished_orders(b"") == (0, b"")
    reports = vqsim.decode_records(session.c.py_vqi_get_execution_reports(b"")[1])
    assert reports == [buy, sell]


def test_limit_orders_wait_for_their_price_and_cancel(session):
    session.start(seed=3, steps=5, commission=0.001)
    session.c.py_vqi_subscribe("A", "60s", False)
    price = vqsim.decode(session.c.py_vqi_current_price(vqsim.encode(symbols="A"))[1])["price"]
    low = cents(price * 0.5)
    assert session.order(symbol="A", volume=100, side=1, price=low)[1]["order_type"] == 1
    assert session.order(symbol="A", volume=100, side=1, order_type=1, price=cents(price * 2))[0] == 0
    assert session.cash()["order_frozen"] == money(low * 100 * 1.001 + price * 2 * 100 * 1.001)
    session.c.py_vqi_run()
    (fill,) = session.of("on_execution_report")
    assert (fill["order_id"], fill["price"]) == (2, session.of("on_bar")[0]["close"])  # better than the limit
    assert session.cash()["order_frozen"] == money(low * 100 * 1.001)
    unfinished = vqsim.decode_records(session.c.py_vqi_get_unfinished_orders(b"")[1])
    assert [o["order_id"] for o in unfinished] == [1]
    assert session.c.py_vqi_cancel_order(vqsim.encode(order_id=1)) == 0
    assert session.cash()["order_frozen"] == 0
    for order_id in (1, 2, 99):
        assert session.c.py_vqi_cancel_order(vqsim.encode(order_id=order_id)) == vqsim.UNKNOWN_ORDER
    assert session.c.py_vqi_strerror(vqsim.UNKNOWN_ORDER).startswith(b"vqsdk error 1011: ")


def test_cancel_all_releases_everything(session):
    session.start(steps=2)
    for k in range(3):
        session.order(symbol="A", volume=100, side=1, price=0.01 + k / 100)
    assert session.c.py_vqi_cancel_all_orders(b"") == 0
    assert session.cash()["available"] == 1000000 and session.sdk.report()["orders"]["cancelled"] == 3


@pytest.mark.parametrize("fields, reason", [
    (dict(symbol="A", volume=10 ** 9, side=1), "insufficient cash"),
    (dict(symbol="A", volume=100, side=2), "insufficient position"),
    (dict(symbol="A", volume=100, side=1, price=20000), "insufficient cash"),
])
def test_rejected_orders(session, fields, reason):
    session.start(steps=2, cash=1000000)
    status, order = session.order(**fields)
    assert (status, order["status"], order["ord_rej_reason"]) == (0, 8, reason)
    session.c.py_vqi_run()
    assert session.of("on_execution_report") == [] and session.cash()["available"] == 1000000


@pytest.mark.parametrize("request_bytes", [
    b"", b"no equals sign", b"volume=1;side=1", b"symbol=A;volume=0;side=1", b"symbol=A;volume=1.5;side=1",
    b"symbol=A;volume=10;side=3", b"symbol=A;volume=10;side=1;order_type=1", b"symbol=A;volume=10;side=1;price=-1",
    b"symbol=A;volume=10;side=1\nsymbol=B;side=1",
])
def test_malformed_order_requests(session, request_bytes):
    session.start()
    status, response = session.c.py_vqi_place_order(request_bytes)
    assert status == vqsim.INVALID_REQUEST and response is None
    assert session.c.py_vqi_get_orders(b"") == (0, b"")
    assert session.c.py_vqi_cancel_order(request_bytes.replace(b"symbol", b"order")) == vqsim.INVALID_REQUEST


def test_scripted_functions_keep_their_script(session):
    session.start()
    session.sdk.set_status("vqi_place_order_pb", 1001)
    session.sdk.set_response("vqi_get_cash_pb", b"scripted")
    assert session.c.py_vqi_place_order(vqsim.encode(symbol="A", volume=1, side=1)) == (1001, None)
    assert session.c.py_vqi_get_cash(b"") == (0, b"scripted")
    assert session.c.py_vqi_get_orders(b"") == (0, b"") and session.sdk.report()["orders"]["placed"] == 0


# ---- Timers, bus, clock, run control ----

def test_timers(session):
    session.start(steps=20)
    c = session.c
    c.py_vqi_set_timer(10 * 60000)
    first = c.py_vqi_user_timer(5 * 60000, 2 * 60000)
    second = c.py_vqi_user_timer(3 * 60000, 0)
    assert (first, second, c.py_vqi_user_timer(0, 0)) == (1, 2, -vqsim.INVALID_REQUEST)

    def stop_second(s, text, data):
        if text == "on_timer" and data["timer_id"] == second and data["fired"] == 2:
            c.py_vqi_user_timer_stop(second)
    session.on_event = stop_second
    c.py_vqi_run()
    fired = [(t["timer_id"], t["time"][11:16], t["fired"]) for t in session.of("on_timer")]
    assert fired == [(1, "09:32", 1), (2, "09:33", 1), (2, "09:36", 2), (1, "09:37", 2), (0, "09:40", 1),
                     (1, "09:42", 3), (1, "09:47", 4), (0, "09:50", 2)]


def test_bus_messages_loop_back_for_added_topics(session):
    session.start(steps=1)
    c = session.c
    c.py_vqi_add_bus_topic("signals")
    assert c.py_vqi_send_msg_to_bus("signals", "buy; a=b\n%") == 0
    assert c.py_vqi_send_msg_to_bus("other", "unheard") == 0
    assert c.py_vqi_send_msg_to_bus("", "x") == vqsim.INVALID_REQUEST
    c.py_vqi_run()
    assert [(m["topic"], m["msg"]) for m in session.of("on_bus_message")] == [("signals", "buy; a=b\n%")]


def test_stop_inside_the_callable_and_resume(session):
    session.start(steps=6)
    session.c.py_vqi_subscribe("A", "60s", False)
    session.on_event = lambda s, text, data: text == "on_bar" and len(s.of("on_bar")) == 2 and s.c.py_vqi_stop()
    assert session.c.py_vqi_run() == 0
    report = session.sdk.report()
    assert (len(session.events), report["finished"], report["time"]) == (2, False, "2024-01-02 09:32:00")
    assert session.c.vqi_now() == 1704187920000  # 2024-01-02 09:32:00 on the simulated clock
    session.on_event = None
    assert session.c.py_vqi_run() == 0
    assert [b["eob"][11:16] for b in session.of("on_bar")] == ["09:3%d" % k for k in range(1, 7)]
    assert session.sdk.report()["finished"] and session.c.py_vqi_run() == 0 and len(session.events) == 7


def test_poll_delivers_one_event_at_a_time(session):
    session.start(steps=2)
    session.c.py_vqi_subscribe("A,B", "60s", False)
    assert [session.c.vqi_poll() for _ in range(6)] == [1, 1, 1, 1, 1, 0]
    assert session.texts() == ["on_bar"] * 4 + ["on_backtest_finished"]


def test_backtest_config_and_account(session):
    session.start(seed=9)
    c = session.c
    c.py_vqi_set_account_id(b"acc-7,acc-8")
    assert c.py_vqi_set_backtest_config("2024-03-01 14:00:00", "2024-03-01 14:05:00", 5000.0, 1, 0, 0, 0, 1, 1,
                                        1, 0, 0) == 0
    c.py_vqi_subscribe("A", "60s", False)
    c.py_vqi_run()
    assert [b["eob"][11:] for b in session.of("on_bar")] == ["14:0%d:00" % k for k in range(1, 6)]
    assert session.cash()["initial_cash"] == 5000 and session.cash()["account_id"] == "acc-7"
    assert c.vqi_now_plus() == 1709301900.0  # 2024-03-01 14:05:00


# ---- Switching ----

def test_simulation_is_off_by_default_and_after_reset(sdk, module):
    assert not sdk.simulating() and sdk.report() is None
    sdk.simulate(steps=3)
    assert sdk.simulating() and sdk.report()["steps"] == 0
    sdk.reset()
    assert not sdk.simulating()
    module.py_vqi_set_data_callback(lambda text, data: pytest.fail("no event expected"))
    assert module.py_vqi_run() == 0 and module.py_vqi_get_cash(b"") == (0, b"")
    assert module.py_vqi_subscribe("A", "7s", False) == 0 and module.py_vqi_user_timer(1, 1) == 0
    assert module.py_vqi_strerror(1011) == b"vqsdk error 1011"


@pytest.mark.parametrize("config", [dict(steps=0), dict(step=0), dict(start="yesterday"), dict(cash=-1),
                                    dict(seed="x"), dict(volatility="high")])
def test_bad_configuration_is_refused(sdk, config):
    sdk.simulate(steps=2)
    with pytest.raises(ValueError):
        sdk.simulate(**config)
    assert sdk.report()["steps"] == 0  # the running session stays
    with pytest.raises(TypeError):
        sdk.simulate(stepz=1)
    sdk.simulate(None)


@pytest.mark.parametrize("value, bars", [("seed=3;steps=4", 4), ("1", 240), ("0", 0)])
def test_environment_switches_simulation_on(value, bars):
    code = """
        import c_sdk, vqsim
        bars = []
        c_sdk.py_vqi_set_data_callback(lambda text, data: bars.append(text))
        c_sdk.py_vqi_subscribe("A", "60s", False)
        c_sdk.py_vqi_run()
        vqsim.sdk().reset()
        print(bars.count("on_bar"), vqsim.sdk().simulating())
    """
    env = dict(os.environ, VQSDK_SIMULATE=value)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, timeout=60,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(bars), str(value != "0")]


# ---- Encoding ----

@pytest.mark.parametrize("fields", [
    {"symbol": "SHSE.600000", "volume": 100, "price": 10.5, "note": "a;b=c\nd%e\r"},
    {"n": -3, "x": 1e-3, "s": "", "t": "1.2.3"},
])
def test_encoding_round_trips(fields):
    encoded = vqsim.encode(fields)
    assert b"\n" not in encoded and vqsim.decode(encoded) == fields
    assert vqsim.decode_records(vqsim.encode_records([fields, {"k": 1}])) == [fields, {"k": 1}]
    assert vqsim.decode_records(b"") == [] == vqsim.decode_records(None)
    with pytest.raises(ValueError):
        vqsim.decode(b"k=1;oops")
