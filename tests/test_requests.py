"""Request/response members: one request in, (status, bytes) or (status, None) out."""
import pytest

import c_sdk
import vqsim
from tables import BINDINGS, REQUEST_RESPONSE

DECORATED = dict(BINDINGS)
MEMBERS = sorted(REQUEST_RESPONSE.items())
OUT = (vqsim.OUT_NULL, vqsim.OUT)


@pytest.mark.parametrize("name,sdk_fn", MEMBERS)
def test_member_calls_its_sdk_function(sdk, name, sdk_fn):
    fn = getattr(c_sdk, name)
    sdk.set_response(sdk_fn, b"\x00resp\x00")
    assert fn(b"\x08\x00\x01") == (0, b"\x00resp\x00")
    assert fn(req=bytearray(b"ab")) == (0, b"\x00resp\x00")
    assert sdk.calls() == [(sdk_fn, (b"\x08\x00\x01", 3) + OUT), (sdk_fn, (b"ab", 2) + OUT)]


@pytest.mark.parametrize("name,sdk_fn", MEMBERS)
def test_str_request_only_through_the_decorator(sdk, name, sdk_fn):
    fn = getattr(c_sdk, name)
    if DECORATED[name]:
        assert fn("text") == (0, b"")
        assert sdk.calls() == [(sdk_fn, (b"text", 4) + OUT)]
        with pytest.raises(UnicodeEncodeError):
            fn("t\xe9xt")
        with pytest.raises(TypeError, match="^expected bytes, str found$"):
            fn.__closure__[0].cell_contents("text")  # the binding itself
    else:
        with pytest.raises(TypeError, match="^expected bytes, str found$"):
            fn("text")
    assert sdk.count() == (1 if DECORATED[name] else 0)


@pytest.mark.parametrize("name", ["py_vqi_history_bars_pb", "py_vqi_place_order"])
def test_status_and_payload(sdk, module, name):
    fn = getattr(c_sdk, name)
    sdk_fn = REQUEST_RESPONSE[name]
    assert fn(b"") == (0, b"")
    assert sdk.last(sdk_fn) == (b"", 0) + OUT
    sdk.set_response(sdk_fn, b"filled")
    sdk.set_status(sdk_fn, 3)
    status, payload = fn(b"x")
    assert (status, payload) == (3, None) and type(status) is int
    module.CSDK_OPERATE_SUCCESS = 3
    assert fn(b"x") == (3, b"filled")
    module.CSDK_OPERATE_SUCCESS = 3.0  # any object: compared with ==
    assert fn(b"x") == (3, b"filled")
    del module.CSDK_OPERATE_SUCCESS
    calls = sdk.count()
    with pytest.raises(NameError, match="^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        fn(b"x")
    assert sdk.count() == calls + 1  # the SDK call was made
    import builtins
    builtins.CSDK_OPERATE_SUCCESS = 3
    try:
        assert fn(b"x") == (3, b"filled")
    finally:
        del builtins.CSDK_OPERATE_SUCCESS


def test_comparison_errors_propagate(sdk, module):
    class Success:
        def __eq__(self, other):
            raise ValueError("no")
    module.CSDK_OPERATE_SUCCESS = Success()
    with pytest.raises(ValueError, match="no"):
        c_sdk.py_vqi_history_bars_pb(b"x")


@pytest.mark.parametrize("value,error", [
    (None, "object of type 'NoneType' has no len()"), (5, "object of type 'int' has no len()"),
    (memoryview(b"ab"), "expected bytes, memoryview found"), ([1], "expected bytes, list found"),
])
def test_request_type_errors(sdk, value, error):
    with pytest.raises(TypeError) as e:
        c_sdk.py_vqi_history_bars_pb(value)
    assert str(e.value) == error
    assert sdk.count() == 0


class Lying(bytes):
    def __len__(self):
        return self.n


@pytest.mark.parametrize("claimed,error", [(2 ** 31, OverflowError), (2 ** 40, OverflowError), (9, ValueError)])
def test_requests_never_overrun_or_wrap(sdk, claimed, error):
    req = Lying(b"four")
    req.n = claimed
    for fn in (c_sdk.py_vqi_history_bars_pb, c_sdk.py_vqi_cancel_order, c_sdk.py_vqi_log):
        with pytest.raises(error):
            fn(req)
    with pytest.raises(error):
        c_sdk.py_vqi_algo_order_batch(req, b"a", b"p")
    assert sdk.count() == 0


def test_shorter_length_is_passed_as_claimed(sdk):
    req = Lying(b"four")
    req.n = 2
    c_sdk.py_vqi_history_bars_pb(req)
    assert sdk.last("vqi_history_bars_pb") == (b"fo", 2) + OUT


# Every member that hands out a response, with arguments that convert.
RESPONSE_MEMBERS = sorted((name, sdk_fn, (b"x",)) for name, sdk_fn in REQUEST_RESPONSE.items()) + [
    ("py_vqi_current", "vqi_current_pb", (b"A", b"price", True)),
    ("py_vqi_get_child_orders", "vqi_get_child_orders_pb", (b"acc", b"algo")),
    ("py_vqi_algo_order_batch", "vqi_algo_order_batch_pb", (b"r", b"name", b"params")),
    ("py_vqi_get_accounts", "vqi_get_account_info_pb", ()),
]


@pytest.mark.parametrize("breach,length,text", [
    ("null", 5, "reported success with a NULL response of 5 bytes"),
    ("null", 2 ** 31 - 1, "reported success with a NULL response of 2147483647 bytes"),
    ("negative", -5, "reported success with a negative response length (-5)"),
    ("negative", -2 ** 31, "reported success with a negative response length (-2147483648)"),
])
@pytest.mark.parametrize("name,sdk_fn,args", RESPONSE_MEMBERS, ids=[m[0] for m in RESPONSE_MEMBERS])
def test_sdk_contract_breaches_raise(sdk, module, name, sdk_fn, args, breach, length, text):
    fn = getattr(c_sdk, name)
    if breach == "null":
        sdk.break_null_response(sdk_fn, length)
    else:
        sdk.break_negative_length(sdk_fn, length)
    with pytest.raises(SystemError) as e:
        fn(*args)
    assert str(e.value) == "%s %s" % (sdk_fn, text)
    module.CSDK_OPERATE_SUCCESS = 1  # a failure never reads the response
    assert fn(*args) == (0, None)
    module.CSDK_OPERATE_SUCCESS = 0
    sdk.clear_break(sdk_fn)
    assert fn(*args) == (0, b"")  # and the module carries on


def test_bytearray_cannot_be_resized_under_the_sdk(sdk):
    buf = bytearray(b"symbol")

    class Evil:
        def __bool__(self):
            del buf[:]
            return True
    with pytest.raises(BufferError):
        c_sdk.py_vqi_subscribe(buf, b"1m", Evil())
    assert sdk.count() == 0 and buf == b"symbol"


def test_bytearray_lends_its_own_storage(sdk):
    """A subclass's __buffer__ (honoured by the interpreter from 3.12) neither
    replaces what the SDK reads nor escapes the lock on the object itself."""
    class Other(bytearray):
        def __buffer__(self, flags):
            return memoryview(b"elsewhere, without a terminating NUL"[:9])

    class Shrink:
        def __bool__(self):
            del symbols[:]
            return True
    symbols, req = Other(b"A,B"), Other(b"req")
    assert c_sdk.py_vqi_subscribe(symbols, Other(b"1m"), False) == 0
    assert sdk.last("vqi_subscribe") == (b"A,B", b"1m", False)
    assert c_sdk.py_vqi_history_bars_pb(req) == (0, b"")
    assert sdk.last("vqi_history_bars_pb")[0] == b"req"
    with pytest.raises(BufferError):
        c_sdk.py_vqi_subscribe(symbols, b"1m", Shrink())
    assert symbols[:] == b"A,B"  # the slice is a plain bytearray, compared by its own storage


# ---- members with other arguments ----

@pytest.mark.parametrize("args,kwargs,flag", [
    ((b"A,B", b"price", True), {}, True),
    ((), {"symbols": b"A,B", "fields": b"price", "include_call_auction": 1}, True),
    ((b"A,B", b"price"), {"include_call_auction": [0]}, True),
    ((b"A,B", b"price", None), {}, False),
    ((b"A,B", b"price", 0), {}, False),
    (("A,B", "price", ""), {}, False),
])
def test_current(sdk, args, kwargs, flag):
    assert c_sdk.py_vqi_current(*args, **kwargs) == (0, b"")
    assert sdk.last("vqi_current_pb") == (b"A,B", flag, b"price") + OUT


def test_current_converts_in_c_order(sdk):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError
    with pytest.raises(ZeroDivisionError):  # the flag comes before fields
        c_sdk.py_vqi_current(b"A", None, Bad())
    with pytest.raises(TypeError, match="expected bytes, NoneType found"):
        c_sdk.py_vqi_current(None, None, Bad())
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        c_sdk.py_vqi_current(b"A", b"price")
    assert sdk.count() == 0


def test_child_orders_batch_and_accounts(sdk):
    sdk.set_response("vqi_get_account_info_pb", b"accts")
    assert c_sdk.py_vqi_get_child_orders(b"acc", "algo\0x") == (0, b"")
    assert c_sdk.py_vqi_algo_order_batch(b"r\0q", b"na\0me", "params") == (0, b"")
    assert c_sdk.py_vqi_get_accounts() == (0, b"accts")
    assert sdk.calls() == [
        ("vqi_get_child_orders_pb", (b"acc", b"algo") + OUT),
        ("vqi_algo_order_batch_pb", (b"r\0q", 3, b"na", b"params") + OUT),
        ("vqi_get_account_info_pb", OUT),
    ]
    with pytest.raises(TypeError):
        c_sdk.py_vqi_get_child_orders(b"acc", 5)
    with pytest.raises(TypeError):
        c_sdk.py_vqi_get_accounts(None)
    sdk.set_status("vqi_algo_order_batch_pb", 9)
    assert c_sdk.py_vqi_algo_order_batch(b"r", b"n", b"p") == (9, None)


def test_serv_addr(sdk, module):
    assert c_sdk.py_vqi_get_serv_addr(b"id") == b"127.0.0.1:7100"
    assert c_sdk.py_vqi_get_serv_addr("id") == b"127.0.0.1:7100"
    assert sdk.last("vqi_get_serv_addr") == (b"id", vqsim.OUT_NULL)
    sdk.set_text("vqi_get_serv_addr", b"")
    assert c_sdk.py_vqi_get_serv_addr(b"id") == b""
    sdk.set_status("vqi_get_serv_addr", 4)
    assert c_sdk.py_vqi_get_serv_addr(b"id") is None
    sdk.set_status("vqi_get_serv_addr", 0)
    sdk.break_null_text("vqi_get_serv_addr")
    with pytest.raises(SystemError, match="vqi_get_serv_addr reported success with a NULL address"):
        c_sdk.py_vqi_get_serv_addr(b"id")
    module.CSDK_OPERATE_SUCCESS = 5
    assert c_sdk.py_vqi_get_serv_addr(b"id") is None
