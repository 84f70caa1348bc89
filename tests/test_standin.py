"""The stand-in SDK: SDK functions called through ctypes, checked through vqsim."""

import ctypes as C
import os
import shutil
import subprocess
import sys
import time

import pytest

import vqsim
from test_declarations import REQUEST_RESPONSE, REQUEST_STATUS, shaped
from vqsim import OUT, OUT_NULL, OUT_SET, Call

SIM = vqsim.sdk()
CALLBACK = C.CFUNCTYPE(None, C.c_char_p, C.c_void_p, C.c_int)
RES = (C.POINTER(C.c_void_p), C.POINTER(C.c_int))


def fn(name, restype, *argtypes):
    """A fresh ctypes binding of an SDK function; keeps the GIL like vqsim does."""
    return C.PYFUNCTYPE(restype, *argtypes)((name, SIM.lib))


def rr(name):
    return fn(name, C.c_int, C.c_char_p, C.c_int, *RES)


def call_rr(name, req=b"", req_len=0, res_init=None):
    res, n = C.c_void_p(res_init), C.c_int(-99)
    status = rr(name)(req, req_len, C.byref(res), C.byref(n))
    return status, res.value, n.value


set_callback = fn("vqi_set_event_callback_pb", None, C.c_void_p)
run, poll, stop, init = (fn(name, C.c_int) for name in ("vqi_run", "vqi_poll", "vqi_stop", "vqi_init"))


@pytest.fixture(autouse=True)
def fresh():
    previous = SIM.callback_address()  # e.g. c_sdk's, when the module is loaded too
    SIM.reset()
    yield
    set_callback(previous or None)
    SIM.reset()


class Recorder(object):
    """Event callback collecting (text, data bytes, count); `action` runs after each."""

    def __init__(self, action=None):
        self.events, self.action = [], action
        self.cb = CALLBACK(self._on_event)
        self.address = C.cast(self.cb, C.c_void_p).value
        set_callback(self.address)

    def _on_event(self, text, data, count):
        self.events.append((text, None if data is None else C.string_at(data, max(count, 0)), count))
        if self.action:
            self.action(self)

    def texts(self):
        return [event[0] for event in self.events]


# ---- The two table-driven families ----

@pytest.mark.parametrize("name", shaped(REQUEST_RESPONSE))
def test_request_response_family(name):
    answer = b"\x00answer of " + name.encode()
    SIM.set_response(name, answer)
    SIM.set_status(name, 7)  # failure still fills the out-parameters
    status, res, n = call_rr(name, b"ab\x00cd\x00ef", 5)
    assert (status, C.string_at(res, n)) == (7, answer)
    assert SIM.calls() == [Call(name, (b"ab\x00cd", 5, OUT_NULL, OUT))]


@pytest.mark.parametrize("name", shaped(REQUEST_STATUS))
def test_request_status_family(name):
    f = fn(name, C.c_int, C.c_char_p, C.c_int)
    assert f(b"\x00x\x00", 2) == 0
    SIM.set_status(name, -3)
    assert f(None, 0) == -3
    assert SIM.calls(name) == [Call(name, (b"\x00x", 2)), Call(name, (None, 0))]


@pytest.mark.parametrize("req, req_len, recorded", [
    (b"\x00\x01\x00\x02", 4, b"\x00\x01\x00\x02"),
    (b"abc\x00def", 3, b"abc"),
    (b"abc", 0, b""),
    (b"abc", -1, b""),
    (None, 5, None),
])
def test_request_buffer_recorded_as_req_len_bytes(req, req_len, recorded):
    call_rr("vqi_history_bars_pb", req, req_len, res_init=0x1000)
    assert SIM.last("vqi_history_bars_pb") == (recorded, req_len, OUT_SET, OUT)


def test_default_response_is_empty_not_null():
    status, res, n = call_rr("vqi_get_cash_pb", res_init=0x1234)
    assert status == 0 and res not in (None, 0x1234) and n == 0


def test_null_out_pointers_are_recorded_and_skipped():
    assert rr("vqi_get_cash_pb")(b"x", 1, None, None) == 0
    assert SIM.last("vqi_get_cash_pb") == (b"x", 1, None, None)


def test_response_stays_valid_until_the_next_call():
    first, second = b"first " * 20, b"second " * 20
    SIM.set_response("vqi_get_positions_pb", first)
    _, res, n = call_rr("vqi_get_positions_pb")
    SIM.set_response("vqi_get_positions_pb", second)
    SIM.reset()
    assert C.string_at(res, n) == first
    assert call_rr("vqi_get_positions_pb")[2] == 0


@pytest.mark.parametrize("name, argtypes, args", [
    ("vqi_current_pb", [C.c_char_p, C.c_bool, C.c_char_p], (b"SHSE.600000,SZSE.000001", True, b"price")),
    ("vqi_get_child_orders_pb", [C.c_char_p, C.c_char_p], (b"acc-1", None)),
    ("vqi_algo_order_batch_pb", [C.c_char_p, C.c_int, C.c_char_p, C.c_char_p], (b"\x01\x00\x02", 3, b"twap", b"{}")),
    ("vqi_get_account_info_pb", [], ()),
])
def test_response_variants(name, argtypes, args):
    SIM.set_response(name, b"\x00reply")
    SIM.set_status(name, 5)
    res, n = C.c_void_p(), C.c_int()
    assert fn(name, C.c_int, *(argtypes + list(RES)))(*(args + (C.byref(res), C.byref(n)))) == 5
    assert C.string_at(res.value, n.value) == b"\x00reply"
    assert SIM.last(name) == args + (OUT_NULL, OUT)


@pytest.mark.parametrize("method, length, null_response", [
    ("break_null_response", 12, True),
    ("break_negative_length", -4, False),
])
def test_broken_responses_report_success(method, length, null_response):
    name = "vqi_get_orders_pb"
    SIM.set_response(name, b"data")
    SIM.set_status(name, 9)
    getattr(SIM, method)(name, length)
    status, res, n = call_rr(name)
    assert (status, res is None, n) == (0, null_response, length)
    SIM.clear_break(name)
    status, res, n = call_rr(name)
    assert (status, C.string_at(res, n)) == (9, b"data")


@pytest.mark.parametrize("text, expected", [(None, b"127.0.0.1:7100"), (b"10.0.0.5:9000", b"10.0.0.5:9000")])
def test_serv_addr(text, expected):
    f = fn("vqi_get_serv_addr", C.c_int, C.c_char_p, C.POINTER(C.c_char_p))
    SIM.set_text("vqi_get_serv_addr", b"old")
    SIM.set_text("vqi_get_serv_addr", text)
    addr = C.c_char_p()
    assert f(b"md", C.byref(addr)) == 0 and addr.value == expected
    SIM.set_status("vqi_get_serv_addr", 3)
    SIM.break_null_text("vqi_get_serv_addr")
    assert f(b"md", C.byref(addr)) == 0 and addr.value is None
    assert SIM.calls("vqi_get_serv_addr") == [Call("vqi_get_serv_addr", (b"md", OUT_NULL)),
                                              Call("vqi_get_serv_addr", (b"md", OUT_SET))]


# ---- Texts, statuses, clock ----

@pytest.mark.parametrize("name, argtypes, args, default", [
    ("vqi_strerror", [C.c_int], (42,), b"vqsdk error 42"),
    ("vqi_strerror", [C.c_int], (-7,), b"vqsdk error -7"),
    ("vqi_get_ext_errormsg", [], (), b""),
    ("vqi_get_orgcode", [], (), b"ORG0"),
    ("vqi_get_encrypted_token", [], (), b""),
    ("vqi_get_c_version", [], (), b"vqsdk-standin 1.0"),
])
def test_texts(name, argtypes, args, default):
    f = fn(name, C.c_char_p, *argtypes)
    assert f(*args) == default
    SIM.set_text(name, b"\xffset text")
    assert f(*args) == b"\xffset text"
    SIM.break_null_text(name)
    assert f(*args) is None
    SIM.clear_break(name)
    SIM.set_text(name, None)
    assert f(*args) == default
    assert SIM.count(name) == 4 and SIM.last(name) == args


@pytest.mark.parametrize("name", ["vqi_init", "vqi_run", "vqi_stop", "vqi_get_stop_error_code", "vqi_use_dsproxy"])
def test_status_by_name(name):
    f, other = fn(name, C.c_int), fn("vqi_init" if name != "vqi_init" else "vqi_use_dsproxy", C.c_int)
    assert f() == 0
    SIM.set_status(name, -1001)
    assert (f(), other()) == (-1001, 0)
    SIM.reset()
    assert f() == 0


def test_clock():
    now, now_plus = fn("vqi_now", C.c_longlong), fn("vqi_now_plus", C.c_double)
    before = time.time()
    ms, s = now(), now_plus()
    after = time.time()
    assert int(before * 1000) - 1 <= ms <= after * 1000 + 1 and before - 0.01 <= s <= after + 0.01
    SIM.set_clock(1700000000123, 1700000000.123456)
    assert (now(), now_plus()) == (1700000000123, 1700000000.123456)
    SIM.wall_clock()
    assert abs(now() - time.time() * 1000) < 5000
    SIM.set_clock(1, 2.0)
    SIM.reset()
    assert abs(now_plus() - time.time()) < 5
    assert SIM.calls() == [Call("vqi_now_plus", ())]


# ---- Recording of the other signatures ----

@pytest.mark.parametrize("name, restype, argtypes, args", [
    ("vqi_set_version", None, [C.c_char_p, C.c_char_p, C.c_void_p, C.c_void_p], (b"3.0.1", b"python", None, None)),
    ("vqi_set_version", None, [C.c_char_p, C.c_char_p, C.c_void_p, C.c_void_p], (b"3.0.1", None, 0xdeadbeef, 2**64 - 1)),
    ("vqi_subscribe", C.c_int, [C.c_char_p, C.c_char_p, C.c_bool], (b"SHSE.600000", b"tick", True)),
    ("vqi_subscribe", C.c_int, [C.c_char_p, C.c_char_p, C.c_bool], (b"SHSE.600000", b"60s", False)),
    ("vqi_set_backtest_config", C.c_int, [C.c_char_p] * 2 + [C.c_double] * 7 + [C.c_int] * 3,
     (b"2020-01-01 09:00:00", b"2020-12-31", 1e6, 0.1, 0.0003, 5.0, 1e-9, float("inf"), -0.25, 1, 2, 0)),
    ("vqi_smart_reorder", C.c_int, [C.c_char_p, C.c_double] + [C.c_int] * 8 + [C.c_char_p],
     (b"SZSE.000001", 10.25, 100, 1, 2, 1, 3, 5, 30, 2, None)),
    ("vqi_set_bus_secure", None, [C.c_int, C.c_char_p, C.c_char_p, C.c_char_p, C.c_bool], (2, b"ca", None, b"", True)),
    ("vqi_set_ctp_md_info", None, [C.c_char_p] * 3, (b"tcp://1.2.3.4:41213", b"user", b"\xe5\xaf\x86")),
    ("vqi_user_timer", C.c_int, [C.c_int, C.c_int], (-1, 2147483647)),
    ("vqi_set_mode_consistency", None, [C.c_bool], (True,)),
    ("vqi_set_simtrade_only", None, [], ()),
])
def test_arguments_recorded_in_c_order(name, restype, argtypes, args):
    result = fn(name, restype, *argtypes)(*args)
    expected = tuple(0 if (t is C.c_void_p and a is None) else a for t, a in zip(argtypes, args))
    recorded = SIM.last(name)
    assert recorded == expected and [type(a) for a in recorded] == [type(a) for a in expected]
    assert result == (None if restype is None else 0)


def test_strings_are_copied_at_call_time():
    set_token = fn("vqi_set_token", C.c_int, C.c_char_p)
    buf = C.create_string_buffer(b"token-1")
    set_token(buf)
    buf.value = b"XXXXXXX"
    set_token(buf)
    assert [call.args for call in SIM.calls("vqi_set_token")] == [(b"token-1",), (b"XXXXXXX",)]


def test_recording_switch_and_clear():
    set_mode = fn("vqi_set_mode", None, C.c_int)
    init()
    SIM.recording(False)
    init()
    init()
    SIM.recording(True)
    set_mode(3)
    assert (SIM.count(), SIM.count("vqi_init"), SIM.count("vqi_run")) == (2, 1, 0)
    assert SIM.calls() == [Call("vqi_init", ()), Call("vqi_set_mode", (3,))]
    SIM.clear_calls()
    assert (SIM.count(), SIM.last("vqi_init")) == (0, None)


@pytest.mark.parametrize("control", [
    lambda: SIM.set_status("vqi_nope", 1),
    lambda: SIM.set_status("vqi_set_mode", 1),
    lambda: SIM.set_status("vqi_now", 1),
    lambda: SIM.set_response("vqi_strerror", b""),
    lambda: SIM.set_text("vqi_get_cash_pb", b"x"),
    lambda: SIM.break_null_response("vqi_get_cash_pb", 0),
    lambda: SIM.break_negative_length("vqi_get_cash_pb", 3),
    lambda: SIM.break_null_response("vqi_strerror", 5),
    lambda: SIM.break_null_text("vqi_run"),
    lambda: SIM.clear_break("nope"),
    lambda: SIM.calls("nope"),
    lambda: SIM.last("vqi_get_cash"),
    lambda: SIM.count("VQI_INIT"),
    lambda: SIM.queue_event(b"t", b"ab", count=3),
    lambda: SIM.start_threads(b"t", 0),
    lambda: SIM.start_threads(b"t", 1, 1, -5),
    lambda: SIM.set_delay("vqi_nope", 5),
    lambda: SIM.set_delay("vqi_run", -1),
])
def test_bad_control_calls_raise(control):
    with pytest.raises(ValueError):
        control()


# ---- Events ----

@pytest.mark.parametrize("how", ["run", "poll", "fire"])
@pytest.mark.parametrize("event, delivered", [
    ((b"on_tick", b"\x00\x01\x02"), (b"on_tick", b"\x00\x01\x02", 3)),
    ((None, b"x"), (None, b"x", 1)),
    ((b"\xff\xfe not utf-8", b""), (b"\xff\xfe not utf-8", b"", 0)),
    ((b"neg", b"abc", -2), (b"neg", b"", -2)),
    ((b"short", b"abcdef", 2), (b"short", b"ab", 2)),
    ((b"nodata", None, 4), (b"nodata", None, 4)),
])
def test_event_delivery(how, event, delivered):
    rec = Recorder()
    if how == "fire":
        assert SIM.fire_event(*event) is True
    else:
        SIM.queue_event(*event)
        assert rec.events == [] and SIM.pending_events() == 1
        assert (run() if how == "run" else poll()) == (0 if how == "run" else 1)
    assert rec.events == [delivered] and SIM.pending_events() == 0
    assert poll() == 0


def test_run_delivers_in_order_and_returns_its_status():
    rec = Recorder()
    for k in range(5):
        SIM.queue_event(b"e%d" % k, bytes([k]) * k)
    SIM.set_status("vqi_run", 4)
    assert run() == 4
    assert rec.events == [(b"e%d" % k, bytes([k]) * k, k) for k in range(5)]


def test_stop_inside_callback_leaves_the_rest_queued():
    rec = Recorder(lambda r: len(r.events) == 2 and stop())
    for k in range(4):
        SIM.queue_event(b"e%d" % k)
    assert run() == 0
    assert (rec.texts(), SIM.pending_events()) == ([b"e0", b"e1"], 2)
    assert run() == 0  # the stop flag was cleared
    assert rec.texts() == [b"e0", b"e1", b"e2", b"e3"]


def test_callbacks_may_reenter():
    def action(r):
        text = r.events[-1][0]
        if text == b"a":
            SIM.queue_event(b"b")
            SIM.queue_event(b"c")
            assert run() == 0  # nested loop drains the queue
            SIM.queue_event(b"d")
        elif text == b"b":
            init()
            SIM.fire_event(b"fired")

    rec = Recorder(action)
    SIM.queue_event(b"a")
    assert poll() == 1
    assert rec.texts() == [b"a", b"b", b"fired", b"c"] and SIM.pending_events() == 1
    assert (SIM.count("vqi_run"), SIM.count("vqi_init")) == (1, 1)


def test_stop_in_nested_run_ends_both_loops():
    def action(r):
        if r.events[-1][0] == b"a":
            run()
        elif r.events[-1][0] == b"b":
            stop()

    rec = Recorder(action)
    for text in (b"a", b"b", b"c"):
        SIM.queue_event(text)
    assert run() == 0
    assert (rec.texts(), SIM.pending_events()) == ([b"a", b"b"], 1)


def test_events_without_callback_are_dropped():
    set_callback(None)
    SIM.queue_event(b"x")
    SIM.queue_event(b"y")
    assert poll() == 1 and SIM.pending_events() == 1
    assert run() == 0 and SIM.pending_events() == 0
    assert SIM.fire_event(b"z") is False


@pytest.mark.parametrize("status", [77, 0])
def test_poll_status_replaces_its_result(status):
    rec = Recorder()
    SIM.set_status("vqi_poll", status)
    SIM.queue_event(b"x")
    assert (poll(), poll()) == (status, status) and rec.texts() == [b"x"]


def test_callback_registration_survives_reset():
    rec = Recorder()
    assert SIM.callback_address() == rec.address
    assert SIM.last("vqi_set_event_callback_pb") == (rec.address,)
    SIM.queue_event(b"before")
    SIM.reset()
    assert (SIM.pending_events(), SIM.callback_address()) == (0, rec.address)
    SIM.queue_event(b"after")
    assert run() == 0 and rec.texts() == [b"after"]
    set_callback(None)
    assert SIM.callback_address() == 0 and SIM.last("vqi_set_event_callback_pb") == (0,)


# ---- Environment ----

def python(code, **env_changes):
    env = dict(os.environ)
    for key, value in env_changes.items():
        env.pop(key, None)
        if value is not None:
            env[key] = value
    return subprocess.run([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, check=True)


TRACED = """
import ctypes as C, vqsim
lib = vqsim.sdk().lib
C.PYFUNCTYPE(C.c_int, C.c_char_p, C.c_char_p, C.c_bool)(("vqi_subscribe", lib))(b"SHSE.600000", None, True)
C.PYFUNCTYPE(C.c_int, C.c_char_p, C.c_int, C.c_void_p, C.c_void_p)(("vqi_log_pb", lib))(b'a\\x00"', 3, None, None)
C.PYFUNCTYPE(C.c_double)(("vqi_now_plus", lib))()
"""


@pytest.mark.parametrize("trace, lines", [
    ("1", ['vqsdk: vqi_subscribe("SHSE.600000", NULL, true)', 'vqsdk: vqi_log_pb("a\\x00\\"", 3)', "vqsdk: vqi_now_plus()"]),
    ("0", []),
    (None, []),
])
def test_trace(trace, lines):
    stderr = python(TRACED, VQSDK_TRACE=trace).stderr
    assert [line for line in stderr.splitlines() if line.startswith("vqsdk:")] == lines


@pytest.mark.parametrize("preload, env, expected", [
    (True, "original", "copy"),  # the mapped library wins
    (False, "copy", "copy"),
    (False, None, "default"),
])
def test_library_selection(tmp_path, preload, env, expected):
    copy = str(tmp_path / "libvqsdk.so")
    shutil.copy(SIM.path, copy)
    code = ("import ctypes, vqsim\n" + ("ctypes.CDLL(%r)\n" % copy if preload else "")
            + "print(vqsim.library_path())")
    out = python(code, VQSDK_STANDIN_LIB={"copy": copy, "original": SIM.path, None: None}[env]).stdout.strip()
    # By default: c_sdk.libs/ next to the module the process would import.
    shipped = os.path.join(os.environ["CSDK_BUILD_DIR"], "python", "c_sdk.libs", "libvqsdk.so")
    assert out == {"copy": copy, "default": shipped}[expected]
    assert os.path.samefile(out, copy if expected == "copy" else SIM.path)
