"""Trading actions, subscription and timers, backtest, bus, and the direct SDK objects."""
import pytest

import c_sdk

REQUEST_TO_STATUS = [
    ("py_vqi_cancel_order", "vqi_cancel_orders_pb", True),
    ("py_vqi_cancel_all_orders", "vqi_cancel_all_orders_pb", True),
    ("py_vqi_pause_algo_orders", "vqi_pause_algo_orders_pb", True),
    ("py_vqi_cancel_algo_orders", "vqi_cancel_algo_orders_pb", True),
    ("py_vqi_set_instrument_pool_symbols_pb", "vqi_set_instrument_pool_symbols_pb", False),
    ("py_vqi_del_instrument_pool_by_name_pb", "vqi_del_instrument_pool_by_name_pb", False),
    ("py_vqi_set_parameters", "vqi_set_parameters_pb", False),
    ("py_vqi_add_parameters", "vqi_add_parameters_pb", False),
    ("py_vqi_log", "vqi_log_pb", False),
]


@pytest.mark.parametrize("name,sdk_fn,decorated", REQUEST_TO_STATUS)
def test_request_to_status(sdk, name, sdk_fn, decorated):
    fn = getattr(c_sdk, name)
    sdk.set_status(sdk_fn, 8)
    assert fn(b"a\0b") == 8 and fn(req=bytearray()) == 8
    if decorated:
        assert fn("str") == 8
    else:
        with pytest.raises(TypeError, match="expected bytes, str found"):
            fn("str")
    with pytest.raises(TypeError, match="has no len"):
        fn(3)
    with pytest.raises(TypeError, match="expected bytes, list found"):
        fn([1])
    expected = [(sdk_fn, (b"a\0b", 3)), (sdk_fn, (b"", 0))] + ([(sdk_fn, (b"str", 3))] if decorated else [])
    assert sdk.calls() == expected


REORDER = dict(symbol=b"SZ.000001", price=10, volume=5.9, side=1, order_type=True, position_effect=2,
               repeat_n=3, max_price_offset=-4, time_out=60, time_wait=1, account="acc")


def test_smart_reorder(sdk):
    sdk.set_status("vqi_smart_reorder", 41)
    assert c_sdk.py_vqi_smart_reorder(*REORDER.values()) == 41
    assert c_sdk.py_vqi_smart_reorder(**REORDER) == 41
    expected = (b"SZ.000001", 10.0, 5, 1, 1, 2, 3, -4, 60, 1, b"acc")
    assert sdk.calls() == [("vqi_smart_reorder", expected)] * 2
    assert type(sdk.last("vqi_smart_reorder")[1]) is float
    assert c_sdk.py_vqi_smart_reorder_cancel(reorder_id=41.5) == 0
    assert sdk.last("vqi_smart_reorder_cancel") == (41,)


def test_smart_reorder_converts_left_to_right(sdk):
    seen = []

    class Num:
        def __init__(self, n): self.n = n
        def __int__(self): seen.append(self.n); return 1
        def __float__(self): seen.append(self.n); return 1.0
    args = [b"s"] + [Num(i) for i in range(1, 10)] + [None]
    with pytest.raises(TypeError, match="expected bytes, NoneType found"):
        c_sdk.py_vqi_smart_reorder(*args)
    assert seen == list(range(1, 10))
    with pytest.raises(TypeError, match="must be real number, not bytes"):  # the str was encoded first
        c_sdk.py_vqi_smart_reorder(b"s", "x", *args[2:])
    assert sdk.count() == 0


BACKTEST = ["2020-01-01", b"2020-12-31", 1e6, 1, 0.0003, 5, 0.001, 0.1, 0.2, 1.9, 2, True]


def test_backtest_config(sdk):
    sdk.set_status("vqi_set_backtest_config", 2)
    assert c_sdk.py_vqi_set_backtest_config(*BACKTEST[:6], slippage_ratio=0.001, option_float_margin_ratio1=0.1,
                                            option_float_margin_ratio2=0.2, adjust=1.9, match_mode=2,
                                            check_cache=7) == 2
    assert sdk.last("vqi_set_backtest_config") == (b"2020-01-01", b"2020-12-31", 1e6, 1.0, 0.0003, 5.0, 0.001,
                                                   0.1, 0.2, 1, 2, 7)
    assert c_sdk.py_vqi_set_backtest_config(*BACKTEST) == 2
    assert sdk.last("vqi_set_backtest_config")[-1] == 1
    with pytest.raises(TypeError, match="takes exactly 12 positional arguments \\(11 given\\)"):
        c_sdk.py_vqi_set_backtest_config(*BACKTEST[:11])
    with pytest.raises(TypeError, match="must be real number, not bytes"):
        c_sdk.py_vqi_set_backtest_config(b"s", b"e", "1e6", *BACKTEST[3:])
    assert sdk.count() == 2


@pytest.mark.parametrize("name,sdk_fn", [("py_vqi_set_backtest_intraday", "vqi_set_backtest_intraday"),
                                         ("py_vqi_set_backtest_threadnum", "vqi_set_backtest_threadnum"),
                                         ("py_vqi_set_max_wait_time", "vqi_set_max_wait_time"),
                                         ("py_vqi_set_timer", "vqi_set_timer"),
                                         ("py_vqi_user_timer_stop", "vqi_user_timer_stop")])
def test_int_setters(sdk, name, sdk_fn):
    fn = getattr(c_sdk, name)
    assert fn(3) is None and fn(2.7) is None
    for bad, error in (("1", TypeError), (2 ** 31, OverflowError), (None, TypeError)):
        with pytest.raises(error):
            fn(bad)
    assert sdk.calls() == [(sdk_fn, (3,)), (sdk_fn, (2,))]


@pytest.mark.parametrize("mode,sent", [(2, True), (0, False), (True, True), (-1, True), (0.5, False)])
def test_mode_consistency_is_an_integer(sdk, mode, sent):
    assert c_sdk.py_vqi_set_mode_consistency(mode) is None
    assert sdk.last("vqi_set_mode_consistency") == (sent,)


@pytest.mark.parametrize("mode", [None, "1", [1]])
def test_mode_consistency_refuses_non_integers(sdk, mode):
    with pytest.raises(TypeError, match="an integer is required"):
        c_sdk.py_vqi_set_mode_consistency(mode)
    assert sdk.count() == 0


@pytest.mark.parametrize("flag,sent", [(None, False), ([], False), ([0], True), (0, False), ("", False), ("x", True)])
def test_subscribe(sdk, flag, sent):
    sdk.set_status("vqi_subscribe", 5)
    assert c_sdk.py_vqi_subscribe("SH.600000,SZ.000001", b"1m", flag) == 5
    assert sdk.last("vqi_subscribe") == (b"SH.600000,SZ.000001", b"1m", sent)


def test_user_timer(sdk):
    sdk.set_status("vqi_user_timer", 17)
    assert c_sdk.py_vqi_user_timer(1.9, start_delay=0) == 17
    assert sdk.last("vqi_user_timer") == (1, 0)
    with pytest.raises(OverflowError):
        c_sdk.py_vqi_user_timer(2 ** 31, None)  # period is converted first
    with pytest.raises(TypeError, match="an integer is required"):
        c_sdk.py_vqi_user_timer("1", 2 ** 31)
    assert sdk.count() == 1


@pytest.mark.parametrize("fn", [c_sdk.py_vqi_set_bus_secure, c_sdk.vqi_set_bus_secure])
@pytest.mark.parametrize("skip,sent", [(None, False), (1, True), ([], False), ([1], True)])
def test_bus_secure(sdk, fn, skip, sent):
    assert fn(1, b"ca", b"cert", bytearray(b"key"), skip) is None
    assert sdk.last("vqi_set_bus_secure") == (1, b"ca", b"cert", b"key", sent)


def test_bus_decorated_against_direct(sdk):
    assert c_sdk.py_vqi_set_bus_secure(2, "ca", "", "", "") is None
    assert sdk.last("vqi_set_bus_secure") == (2, b"ca", b"", b"", False)
    with pytest.raises(TypeError, match="an integer is required"):
        c_sdk.py_vqi_set_bus_secure("1", None, None, None, None)
    for direct in (c_sdk.vqi_add_bus_topic, c_sdk.vqi_send_msg_to_bus):
        with pytest.raises(TypeError, match="expected bytes, str found"):
            direct(*["t"] * (2 if direct is c_sdk.vqi_send_msg_to_bus else 1))
    sdk.set_status("vqi_send_msg_to_bus", -2)
    assert c_sdk.py_vqi_send_msg_to_bus("topic", "m\0sg") == -2
    assert c_sdk.vqi_send_msg_to_bus(msg=b"x", topic=b"t") == -2
    assert sdk.calls("vqi_send_msg_to_bus") == [("vqi_send_msg_to_bus", (b"topic", b"m")),
                                               ("vqi_send_msg_to_bus", (b"t", b"x"))]


DOCS = {
    "vqi_add_bus_topic": "wrap(topic: 'const char *') -> 'void'",
    "vqi_get_c_version": "wrap() -> 'const char *'",
    "vqi_get_encrypted_token": "wrap() -> 'const char *'",
    "vqi_get_ext_errormsg": "wrap() -> 'const char *'",
    "vqi_get_orgcode": "wrap() -> 'const char *'",
    "vqi_init": "wrap() -> 'int'",
    "vqi_now": "wrap() -> 'long long'",
    "vqi_now_plus": "wrap() -> float",
    "vqi_poll": "wrap() -> 'int'",
    "vqi_send_msg_to_bus": "wrap(topic: 'const char *', msg: 'const char *') -> 'int'",
    "vqi_set_bus_info": "wrap(server_addr: 'const char *', user_name: 'const char *', password: 'const char *') -> 'void'",
    "vqi_set_bus_secure": "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', tlskey: 'const char *', skip_verify: 'bool') -> 'void'",
    "vqi_set_mode": "wrap(mode: 'int') -> 'void'",
    "vqi_strerror": "wrap(errorno: 'int') -> 'const char *'",
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_direct_objects(sdk, name):
    obj = getattr(c_sdk, name)
    assert obj.__name__ == "wrap" and obj.__doc__ == DOCS[name]
    others = [getattr(c_sdk, n) for n in DOCS if n != name]
    assert all(o is not obj for o in others)
    if "wrap()" in DOCS[name]:
        with pytest.raises(TypeError, match=r"^wrap\(\) takes no arguments \(1 given\)$"):
            obj(1)
        with pytest.raises(TypeError, match=r"^wrap\(\) takes no keyword arguments$"):
            obj(x=1)
        obj()
        assert sdk.calls()[-1].fn == name


def test_direct_results(sdk):
    sdk.set_clock(1234567890123, 0.25)
    assert c_sdk.vqi_now() == 1234567890123 and c_sdk.vqi_now_plus() == 0.25
    assert type(c_sdk.vqi_now_plus()) is float
    sdk.set_status("vqi_init", 3)
    assert c_sdk.vqi_init() == 3 and c_sdk.vqi_poll() == 0
    assert c_sdk.vqi_set_mode(mode=True) is None and sdk.last("vqi_set_mode") == (1,)
    assert c_sdk.vqi_strerror(0) == b"vqsdk error 0"
    assert c_sdk.vqi_set_bus_info(b"addr", b"", bytearray()) is None
    assert sdk.last("vqi_set_bus_info") == (b"addr", b"", b"")
