"""Session setters, the event bridge, the run loop, texts and the status helpers."""
import logging
import os
import sys
import threading
import time

import pytest
import vqsim

import c_sdk
from conftest import UNLOCKED, run_python

# ---- setters: C strings left to right, SDK called once or not at all ----

SETTERS = [
    ("py_vqi_set_token", "vqi_set_token", 1, 0),
    ("py_vqi_set_apitoken", "vqi_set_apitoken", 1, None),
    ("py_vqi_set_serv_addr", "vqi_set_serv_addr", 1, None),
    ("py_vqi_set_serv_addr_v5", "vqi_set_serv_addr_v5", 3, None),
    ("py_vqi_set_strategy_id", "vqi_set_strategy_id", 1, None),
    ("py_vqi_set_account_id", "vqi_set_account_id", 1, None),
    ("py_vqi_set_mfp", "vqi_set_mfp", 1, None),
    ("py_vqi_set_ctp_md_info", "vqi_set_ctp_md_info", 3, None),
    ("py_vqi_set_version", "vqi_set_version", 2, None),
    ("py_vqi_set_bus_info", "vqi_set_bus_info", 3, None),
    ("py_vqi_add_bus_topic", "vqi_add_bus_topic", 1, None),
    ("py_vqi_send_msg_to_bus", "vqi_send_msg_to_bus", 2, 0),
    ("py_vqi_unsubscribe", "vqi_unsubscribe", 2, 0),
    ("py_vqi_schedule", "vqi_schedule", 2, 0),
]


@pytest.mark.parametrize("name,sdk_fn,n,result", SETTERS)
def test_setter_passes_strings_in_order(sdk, name, sdk_fn, n, result):
    values = [b"a\0hidden", bytearray(b"bb"), b"", bytearray()][:n] if n > 1 else [b"a\0hidden"]
    if result is not None:
        sdk.set_status(sdk_fn, 3)
    returned = getattr(c_sdk, name)(*values)
    assert returned == (3 if result is not None else None)
    expected = tuple(bytes(v).split(b"\0")[0] for v in values)
    if sdk_fn == "vqi_set_version":
        expected += (0, 0)
    assert sdk.calls() == [(sdk_fn, expected)]


@pytest.mark.parametrize("name,sdk_fn,n,result", [s for s in SETTERS if s[2] > 1])
def test_setter_stops_at_first_bad_string(sdk, name, sdk_fn, n, result):
    for bad in range(n):
        args = [b"x"] * n
        args[bad] = None
        args[bad + 1:] = [1] * (n - bad - 1)  # would fail too, but later
        with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
            getattr(c_sdk, name)(*args)
    assert sdk.count() == 0


@pytest.mark.parametrize("name,accepts_str", [("py_vqi_set_serv_addr_v5", False), ("py_vqi_set_account_id", False),
                                              ("py_vqi_set_ctp_md_info", True), ("py_vqi_set_token", True)])
def test_setters_and_str(sdk, name, accepts_str):
    n = len(c_sdk.py_vqi_set_serv_addr_v5.__text_signature__.split(",")) if name.endswith("v5") else \
        (3 if name == "py_vqi_set_ctp_md_info" else 1)
    if accepts_str:
        getattr(c_sdk, name)(*["s"] * n)
        assert sdk.calls()[0].args == (b"s",) * n
    else:
        with pytest.raises(TypeError, match="expected bytes, str found"):
            getattr(c_sdk, name)(*[b"b"] * (n - 1) + ["s"])
        assert sdk.count() == 0


def test_setter_keywords(sdk):
    c_sdk.py_vqi_set_account_id(account_ids=b"a1,a2")
    with pytest.raises(TypeError, match=r"^py_vqi_set_account_id\(\) takes exactly 1 positional argument \(0 given\)$"):
        c_sdk.py_vqi_set_account_id(token=b"x")
    c_sdk.py_vqi_set_version(sdk_lang="py", sdk_version="1.0")
    assert sdk.calls() == [("vqi_set_account_id", (b"a1,a2",)), ("vqi_set_version", (b"1.0", b"py", 0, 0))]


# ---- the event bridge ----

@pytest.fixture
def events(sdk, module):
    got = []
    c_sdk.py_vqi_set_data_callback(lambda text, data: got.append((text, data)))
    return got


def test_events_reach_the_callable(sdk, events):
    sdk.queue_event(b"bar", b"\x01\x00\x02")
    sdk.queue_event(b"", b"")
    sdk.queue_event("\u4e2d".encode(), b"\0" * 5)
    assert c_sdk.py_vqi_run() == 0
    assert events == [("bar", b"\x01\x00\x02"), ("", b""), ("\u4e2d", b"\0" * 5)]
    assert [type(t) for t, _ in events] == [str] * 3


# An SDK thread of its own delivers the middle event while the caller waits
# inside vqi_run or vqi_poll.  Up to 3.11 the waiting caller's thread state
# serves that thread and the event is delivered there at once (with
# CSDK_RUN_UNLOCKED=1, on every version, with a thread state of its own);
# from 3.12 the bridge keeps a copy and delivers it on the caller's thread
# before the next event, or before the SDK call returns.  Either way: in
# order, whole.
@pytest.mark.parametrize("runner", ["py_vqi_run", "vqi_poll"])
@pytest.mark.parametrize("threaded", [1, 2])
def test_event_from_a_thread_of_the_sdk(sdk, module, runner, threaded):
    import sys
    import threading
    got = []
    c_sdk.py_vqi_set_data_callback(lambda text, data: got.append((text, data, threading.get_ident())))
    texts = ["first", "threaded", "last"][:threaded + 1]
    for text in texts:
        sdk.queue_event(text.encode(), text.encode() * 3, from_thread=text == "threaded")
    if runner == "py_vqi_run":
        assert c_sdk.py_vqi_run() == 0
    else:
        while c_sdk.vqi_poll():
            assert len(got) == len(texts) - sdk.pending_events()  # each delivered before poll returns
    assert [(t, d) for t, d, _ in got] == [(t, t.encode() * 3) for t in texts]
    caller = threading.get_ident()
    on_caller = [t for t, _, ident in got if ident == caller]
    assert on_caller == (texts if not AT_ONCE else [t for t in texts if t != "threaded"])


def test_registration_stores_f_and_hands_the_same_address(sdk, module):
    first, second = [], []
    c_sdk.py_vqi_set_data_callback(pythonf=first.append)
    assert c_sdk.f == first.append
    c_sdk.py_vqi_set_data_callback(lambda t, d: second.append(t))
    calls = sdk.calls("vqi_set_event_callback_pb")
    assert len(calls) == 2 and calls[0].args == calls[1].args and calls[0].args[0] != 0
    sdk.fire_event(b"x", b"")
    assert second == ["x"] and first == []
    module.f = lambda t, d: first.append(t)  # plain rebinding redirects too
    sdk.fire_event(b"y", b"")
    assert first == ["y"]
    with pytest.raises(TypeError):
        c_sdk.py_vqi_set_data_callback()
    assert len(sdk.calls("vqi_set_event_callback_pb")) == 2


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


@pytest.mark.parametrize("is_py2,as_bytes", [(False, False), (True, True), (None, False), (0, False), (2, True),
                                             ("", False), ("y", True), (Truth(True), True), (Truth(False), False)])
def test_is_py2_read_at_every_event(sdk, events, module, is_py2, as_bytes):
    sdk.fire_event(b"a", b"")
    module.IS_PY2 = is_py2
    text = b"\xff" if as_bytes else b"b"  # not UTF-8: only bytes can carry it
    sdk.fire_event(text, b"\0x")
    sdk.fire_event(b"", None, 0)  # no payload and no length: an empty one
    module.IS_PY2 = False
    sdk.fire_event(b"c", b"")
    made = (lambda t: t) if as_bytes else bytes.decode
    assert events == [("a", b""), (made(text), b"\0x"), (made(b""), b""), ("c", b"")]
    assert type(events[2][0]) is (bytes if as_bytes else str)


def test_stop_from_inside_the_callable(sdk, module):
    seen = []

    def on_event(text, data):
        seen.append(text)
        if text == "stop":
            assert c_sdk.py_vqi_stop() == 0
        assert c_sdk.py_vqi_history_bars_pb(b"q") == (0, b"")  # any binding works here
    c_sdk.py_vqi_set_data_callback(on_event)
    for t in (b"a", b"stop", b"later"):
        sdk.queue_event(t, b"")
    sdk.set_status("vqi_run", 12)
    assert c_sdk.py_vqi_run() == 12
    assert seen == ["a", "stop"] and sdk.pending_events() == 1
    assert c_sdk.vqi_poll() == 1 and seen[-1] == "later"


# Failures inside the bridge are reported twice on stderr and never stop the
# loop; checked in a child process, where stderr can be read whole.
BRIDGE_FAILURES = """
    import c_sdk, vqsim, sys
    sdk = vqsim.sdk()
    got = []
    def cb(text, data):
        if text == 'raise':
            raise KeyError('boom')
        got.append((text, data))
    c_sdk.py_vqi_set_data_callback(cb)
    {setup}
    for ev in {events!r}:
        sdk.queue_event(*ev)
    sdk.queue_event(b'ok', b'1')
    {run}
    print(status, got, flush=True)
"""
RUNNERS = {"run": "status = c_sdk.py_vqi_run()",
           "poll": "status = 0\n    while c_sdk.vqi_poll():\n        pass"}


@pytest.mark.parametrize("setup,events,error", [
    ("", [(b"raise", b"")], "KeyError: 'boom'"),
    ("", [(b"\xff\xfe", b"")], "UnicodeDecodeError"),
    ("", [(b"neg", b"", -3)], "SystemError: the SDK delivered an event with a negative payload length (-3)"),
    ("", [(b"neg", b"", -2 ** 31)],
     "SystemError: the SDK delivered an event with a negative payload length (-2147483648)"),
    ("", [(None, b"")], "SystemError: the SDK delivered an event with a NULL text"),
    ("", [(b"nodata", None, 3)], "SystemError: the SDK delivered a NULL payload of 3 bytes"),
    ("c_sdk.py_vqi_set_data_callback(None)", [(b"x", b"")], "TypeError: 'NoneType' object is not callable"),
    ("del c_sdk.f", [(b"x", b"")], "NameError: name 'f' is not defined"),
    ("del c_sdk.IS_PY2", [(b"x", b"")], "NameError: name 'IS_PY2' is not defined"),
])
@pytest.mark.parametrize("runner", sorted(RUNNERS))
def test_bridge_contains_failures(setup, events, error, runner):
    r = run_python(BRIDGE_FAILURES.format(setup=setup, events=events, run=RUNNERS[runner]))
    assert r.returncode == 0, r.stderr
    assert r.stderr.count(error) == (4 if setup else 2), r.stderr
    assert r.stderr.count("Exception ignored in: 'c_sdk.callback_wrapper'") == (2 if setup else 1)
    assert r.stderr.index(error) < r.stderr.index("Exception ignored in")
    expected = "[]" if setup else "[('ok', b'1')]"
    assert r.stdout.strip() == "0 " + expected


def test_system_exit_in_the_callable_ends_the_process():
    r = run_python("""
        import c_sdk, vqsim
        def cb(t, d):
            raise SystemExit(3)
        c_sdk.py_vqi_set_data_callback(cb)
        vqsim.sdk().fire_event(b'x', b'')
        print('survived')
    """)
    assert r.returncode == 3 and "survived" not in r.stdout


# ---- run loop control and texts ----

@pytest.mark.parametrize("name,sdk_fn", [("py_vqi_run", "vqi_run"), ("py_vqi_stop", "vqi_stop"),
                                         ("py_vqi_get_stop_error_code", "vqi_get_stop_error_code"),
                                         ("py_vqi_use_dsproxy", "vqi_use_dsproxy")])
def test_status_returning_members(sdk, name, sdk_fn):
    sdk.set_status(sdk_fn, -4)
    assert getattr(c_sdk, name)() == -4
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(c_sdk, name)(1)
    assert sdk.calls() == [(sdk_fn, ())]


def test_simtrade_only(sdk):
    assert c_sdk.py_vqi_set_simtrade_only() is None
    assert sdk.calls() == [("vqi_set_simtrade_only", ())]


TEXTS = [("py_vqi_get_ext_errormsg", "vqi_get_ext_errormsg"), ("py_vqi_get_orgcode", "vqi_get_orgcode"),
         ("py_vqi_get_encrypted_token", "vqi_get_encrypted_token"), ("vqi_get_c_version", "vqi_get_c_version"),
         ("vqi_get_orgcode", "vqi_get_orgcode"), ("vqi_get_ext_errormsg", "vqi_get_ext_errormsg"),
         ("vqi_get_encrypted_token", "vqi_get_encrypted_token")]


@pytest.mark.parametrize("name,sdk_fn", TEXTS)
def test_texts_are_bytes_and_null_is_an_error(sdk, name, sdk_fn):
    fn = getattr(c_sdk, name)
    sdk.set_text(sdk_fn, b"\xe4\xb8\xad text")
    assert fn() == b"\xe4\xb8\xad text"
    sdk.set_text(sdk_fn, b"")
    assert fn() == b""
    sdk.break_null_text(sdk_fn)
    with pytest.raises(SystemError, match="^%s returned a NULL text$" % sdk_fn):
        fn()
    sdk.clear_break(sdk_fn)
    assert fn() == b""


@pytest.mark.parametrize("fn", [c_sdk.py_vqi_strerror, c_sdk.vqi_strerror])
def test_strerror(sdk, fn):
    assert fn(True) == b"vqsdk error 1"
    assert fn(errorno=-7.9) == b"vqsdk error -7"
    for bad, error in (("1", TypeError), (2 ** 31, OverflowError)):
        with pytest.raises(error):
            fn(bad)
    assert [c.args for c in sdk.calls()] == [(1,), (-7,)]
    sdk.break_null_text("vqi_strerror")
    with pytest.raises(SystemError, match="vqi_strerror returned a NULL text"):
        fn(1)


# ---- status helpers ----

@pytest.fixture
def log(module):
    records = []

    class Logger:
        def debug(self, message):
            records.append(message)
    module.vqsdklogger = Logger()
    return records


def test_status_ok(module):
    assert c_sdk.c_status_ok(0) is True and c_sdk.c_status_ok(status=5) is False
    module.CSDK_OPERATE_SUCCESS = 5
    assert c_sdk.c_status_ok(5) is True
    del module.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="CSDK_OPERATE_SUCCESS"):
        c_sdk.c_status_ok(5)


@pytest.mark.parametrize("args,message", [
    ((3, "vqi_place_order"), "invoke c fun=vqi_place_order error code=3, error info=vqsdk error 3"),
    ((3,), "invoke c fun error code=3, error info=vqsdk error 3"),
    ((3, ""), "invoke c fun error code=3, error info=vqsdk error 3"),
    ((3, None), "invoke c fun error code=3, error info=vqsdk error 3"),
    ((3, b"fn"), "invoke c fun=b'fn' error code=3, error info=vqsdk error 3"),
])
def test_status_fail_logs_once(sdk, log, args, message):
    assert c_sdk.c_status_fail(*args) is True
    assert log == [message]
    assert c_sdk.c_status_fail(0, "vqi_place_order") is False
    assert log == [message] and sdk.count("vqi_strerror") == 1


def test_status_fail_goes_through_the_module_global(sdk, log, module):
    module.py_vqi_strerror = lambda s: "t\u00e9xt {}".format(s).encode()
    assert c_sdk.c_status_fail(cfunname="f", status=4) is True
    assert log == ["invoke c fun=f error code=4, error info=t\u00e9xt 4"] and sdk.count() == 0


def test_status_fail_errors_propagate(sdk, log, module):
    with pytest.raises(TypeError, match="an integer is required"):
        c_sdk.c_status_fail("bad")
    sdk.set_text("vqi_strerror", b"\xff")
    with pytest.raises(UnicodeDecodeError):
        c_sdk.c_status_fail(2)
    sdk.break_null_text("vqi_strerror")  # an SDK that breaks its contract
    with pytest.raises(SystemError, match="^vqi_strerror returned a NULL text$"):
        c_sdk.c_status_fail(2, "vqi_x")
    assert c_sdk.c_status_fail(0, "vqi_x") is False  # success asks for no text
    sdk.clear_break("vqi_strerror")
    assert log == []
    del module.vqsdklogger
    sdk.set_text("vqi_strerror", b"ok")
    with pytest.raises(NameError, match="vqsdklogger"):
        c_sdk.c_status_fail(2)
    module.vqsdklogger = object()
    with pytest.raises(AttributeError):
        c_sdk.c_status_fail(2)


def test_status_fail_with_the_real_logger(sdk, caplog):
    with caplog.at_level(logging.DEBUG, logger=c_sdk.vqsdklogger.name):
        c_sdk.c_status_fail(6, "vqi_x")
    assert [r.getMessage() for r in caplog.records] == ["invoke c fun=vqi_x error code=6, error info=vqsdk error 6"]


def test_platform_helpers(module):
    import platform
    system = platform.uname()[0].lower()
    assert c_sdk.is_linux() is (system == "linux") and c_sdk.is_windows() is (system == "windows")

    class Fake:
        @staticmethod
        def uname():
            return ("Windows", "host")
    module.platform = Fake
    assert c_sdk.is_windows() is True and c_sdk.is_linux() is False


# ---- events from the SDK's own threads ----
# Native threads of the stand-in call back on their own.  Every event reaches
# the callable once, each thread's in order, never two at a time and never
# nested, and those held while Python code ran come before any later event;
# up to 3.11 those arriving while the caller waits inside an SDK call are
# delivered at once on the SDK's threads, all others on the caller's (with
# CSDK_RUN_UNLOCKED=1: every one at once that finds no other delivery under
# way and no binding inside the SDK).

AT_ONCE = UNLOCKED or sys.version_info < (3, 12)


def busy(seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        sum(range(100))


@pytest.fixture
def threaded(sdk, module):
    got, depth, started = [], [0], []

    def on_event(text, data):
        if text == "busy":  # Python code inside the callable while threads it starts send
            started.append(sdk.start_threads(b"t", *map(int, data.split())))
            return busy(0.3)
        depth[0] += 1
        got.append((vqsim.decode(data) if text == "t" else text, threading.get_ident(), depth[0]))
        c_sdk.py_vqi_get_cash(b"")  # any binding, as strategies do
        depth[0] -= 1
    c_sdk.py_vqi_set_data_callback(on_event)
    return sdk, got, started


def check_threaded(got, sent, threads, first=None):
    per_thread = {}
    for event, _, depth in got:
        per_thread.setdefault(event["thread"], []).append(event["seq"])
        assert depth == 1
    assert len(got) == sent and len(per_thread) == threads
    assert all(seqs == list(range(len(seqs))) for seqs in per_thread.values())
    assert first is None or sorted(per_thread) == list(range(first, first + threads))


# How many of the events reach the callable on threads other than this one
# (with Python threads calling bindings: those too).
ON_SDK_THREADS = {
    "unlocked": {"python code": "all", "backlog": "all"},
    "at once": {"parked": "most", "python code": "none", "backlog": "none"},
    "held": {"parked": "none", "python code": "none", "callable": "none", "backlog": "none"},
}["unlocked" if UNLOCKED else "at once" if AT_ONCE else "held"]


@pytest.mark.parametrize("where", ["parked", "flood", "python code", "callable", "backlog", "python threads"])
def test_events_from_sdk_threads(threaded, where):
    sdk, got, started = threaded
    threads, count, interval = {"parked": (4, 50, 1000), "flood": (16, 1000, 0), "python code": (1, 300, 200),
                                "callable": (2, 100, 300), "backlog": (4, 1000, 0),
                                "python threads": (4, 300, 50)}[where]
    if where in ("parked", "flood"):
        sdk.set_delay("vqi_get_positions_pb", 400000)
    if where != "callable":
        first = sdk.start_threads(b"t", threads, count, interval)
    if where in ("parked", "flood"):
        c_sdk.py_vqi_get_positions(b"")  # what was sent is delivered before it returns
        assert where == "flood" or len(got) == threads * count
    elif where == "callable":
        sdk.queue_event(b"busy", b"%d %d %d" % (threads, count, interval))
        sdk.queue_event(b"last", b"")  # from the run loop, after what was held meanwhile
        c_sdk.py_vqi_run()
        first, = started
    elif where == "python code":
        busy(0.3)
    elif where == "python threads":  # thread states made and freed while SDK threads look on
        while sdk.running_threads() and len(got) < threads * count:
            started = [threading.Thread(target=c_sdk.py_vqi_get_cash, args=(b"",)) for _ in range(8)]
            for t in started:
                t.start()
            for t in started:
                t.join()
    sent = sdk.join_threads()
    if where == "python code":
        sdk.fire_event(b"last", b"")  # by the SDK on this thread, after what was held
    if where in ("callable", "python code"):
        assert got[-1][0] == "last"
        del got[-1]
    c_sdk.py_vqi_get_cash(b"")
    check_threaded(got, sent, threads, first)
    on_sdk_threads = sum(ident != threading.get_ident() for _, ident, _ in got)
    assert {"none": on_sdk_threads == 0, "all": on_sdk_threads == sent, "most": on_sdk_threads > sent // 2,
            None: True}[ON_SDK_THREADS.get(where)], (on_sdk_threads, sent)


# A run loop called from the callable during a delivery of held events
# delivers the events that SDK threads send meanwhile (up to 3.11 at once)
# before its own, as any run does, the rest of the held ones first.
@pytest.mark.parametrize("runner", ["py_vqi_run", "vqi_poll"])
def test_run_from_the_callable_delivers_what_threads_send(sdk, module, runner):
    got = []

    def on_event(text, data):
        got.append(text if text == "z" else (text, vqsim.decode(data)["seq"]))
        if got[0] == ("t", 0) and len(got) == 1:
            sdk.start_threads(b"s", 1, 20, 1000)
            sdk.queue_event(b"z", b"")
            getattr(c_sdk, runner)()  # waits 100 ms inside the SDK, then delivers z
    c_sdk.py_vqi_set_data_callback(on_event)
    sdk.set_delay(runner.replace("py_", ""), 100000)
    sdk.start_threads(b"t", 1, 10)
    sdk.join_threads()  # held, unless delivered at once on the thread
    c_sdk.py_vqi_get_cash(b"")
    sdk.join_threads()
    c_sdk.py_vqi_get_cash(b"")
    held, sent = [("t", k) for k in range(10)], [("s", k) for k in range(20)]
    if UNLOCKED:  # the held events were delivered at once: the first one's callable runs the loop on its thread
        assert got == held[:1] + sent + ["z"] + held[1:]
    else:
        assert got == held + sent + ["z"]


def test_bindings_return_while_threads_never_stop(threaded):
    sdk, got, _ = threaded
    sdk.start_threads(b"t", 3, None, 50)
    deadline = time.monotonic() + 10
    while len(got) < 500 and time.monotonic() < deadline:
        c_sdk.py_vqi_get_cash(b"")  # each returns, whatever keeps coming
    assert sdk.running_threads() == 3
    sent = sdk.join_threads(stop=True)
    c_sdk.vqi_now()
    check_threaded(got, sent, 3)


def test_held_events_go_to_the_callable_of_their_time(sdk, module):
    first, second = [], []
    c_sdk.py_vqi_set_data_callback(lambda text, data: first.append(vqsim.decode(data)["seq"]))
    sdk.start_threads(b"t", 1, 100)
    sdk.join_threads()
    c_sdk.py_vqi_set_data_callback(lambda text, data: second.append(vqsim.decode(data)["seq"]))
    sdk.start_threads(b"t", 1, 10)
    sdk.join_threads()
    c_sdk.py_vqi_set_data_callback(None)
    assert first == list(range(100)) and second == list(range(10))


# ---- CSDK_RUN_UNLOCKED=1: the run loop lets go of the interpreter lock ----

unlocked_only = pytest.mark.skipif(not UNLOCKED, reason="the run loop keeps the interpreter lock")


# While the run loop waits inside the SDK: other Python threads run, and one
# of them stops it; SDK threads deliver at once, each with a thread state of
# its own that it keeps, so that the callable may take a lock the run's
# caller holds, or take the interpreter lock the standard way.
@unlocked_only
def test_run_loop_lets_go_of_the_lock(sdk, module):
    import ctypes
    got, lock, local = [], threading.RLock(), threading.local()

    def on_event(text, data):
        with lock:  # held by the run's caller until the run returns
            local.n = getattr(local, "n", 0) + 1
            state = ctypes.pythonapi.PyGILState_Ensure()
            ctypes.pythonapi.PyGILState_Release(state)
            got.append((vqsim.decode(data), local.n, threading.get_ident()))
    c_sdk.py_vqi_set_data_callback(on_event)
    sdk.set_delay("vqi_run", 30000000)  # a run loop that waits until it is stopped
    stopper = threading.Timer(0.2, c_sdk.py_vqi_stop)
    stopper.start()
    first = sdk.start_threads(b"t", 2, 20, 1000)
    started = time.monotonic()
    with lock:
        assert c_sdk.py_vqi_run() == 0
    assert time.monotonic() - started < 10  # stopped, not run out
    sent = sdk.join_threads()
    c_sdk.py_vqi_get_cash(b"")
    assert len(got) == sent == 40 and all(ident != threading.get_ident() for _, _, ident in got)
    for thread in (first, first + 1):  # each thread's in order
        assert [e["seq"] for e, _, _ in got if e["thread"] == thread] == list(range(20))
    for ident in {ident for _, _, ident in got}:  # each delivering thread kept its state
        counts = [n for _, n, delivered_on in got if delivered_on == ident]
        assert counts == list(range(1, len(counts) + 1))


# Run loops called from two Python threads take turns: the second waits,
# without the interpreter lock, for the first to return.
@unlocked_only
def test_run_loops_of_two_threads_take_turns(sdk, module):
    c_sdk.py_vqi_set_data_callback(lambda text, data: None)
    sdk.set_delay("vqi_poll", 200000)
    started = time.monotonic()
    other = threading.Thread(target=c_sdk.vqi_poll)
    other.start()
    c_sdk.vqi_poll()
    other.join()
    assert time.monotonic() - started >= 0.4
    assert sdk.count("vqi_poll") == 2


# Held events take at most CSDK_HELD_EVENTS_MAX_BYTES: what comes past it is
# dropped and counted, and the next delivery says how many.
def test_held_events_past_their_limit_are_dropped_and_counted():
    r = run_python("""
        import c_sdk, vqsim
        sdk = vqsim.sdk()
        got = []
        def on_event(text, data):
            if text == "wait":  # the callable runs while a thread sends: every mode holds what it sends
                sdk.start_threads(b"t", 1, 2000)
                sdk.join_threads()
            else:
                got.append(vqsim.decode(data)["seq"])
        c_sdk.py_vqi_set_data_callback(on_event)
        sdk.queue_event(b"wait", b"")
        c_sdk.py_vqi_run()
        c_sdk.py_vqi_get_cash(b"")
        print(len(got), got == list(range(len(got))))
    """, env={"CSDK_HELD_EVENTS_MAX_BYTES": "20000"})
    delivered, in_order = r.stdout.split()
    dropped = 2000 - int(delivered)
    assert (r.returncode, in_order) == (0, "True") and 200 < int(delivered) < 400, r.stderr
    report = "MemoryError: %d events delivered from other threads were dropped: the events held for delivery " \
             "reached CSDK_HELD_EVENTS_MAX_BYTES (20000 bytes)" % dropped
    assert r.stderr.count(report) == 2  # printed, then reported as unraisable


# fork() while SDK threads send: each child starts with a working, empty
# queue and none of the parent's events, and the parent goes on.
@pytest.mark.skipif(bool(os.environ.get("CSDK_TSAN")), reason="ThreadSanitizer's runtime keeps the parent's "
                    "threads in a forked child and dies there when the child starts one ('dup thread with used id')")
@pytest.mark.skipif(bool(os.environ.get("CSDK_SANITIZE")) and sys.version_info < (3, 14),
                    reason="GCC 12's AddressSanitizer runtime (the builds before 3.14) does not lock its allocator "
                    "at fork(): a child can hang in malloc on a lock that one of the parent's threads held")
def test_fork_while_sdk_threads_send():
    r = run_python("""
        import os, signal, warnings, c_sdk, vqsim
        warnings.simplefilter("ignore", DeprecationWarning)  # 3.12's warning about fork() with threads
        sdk = vqsim.sdk()
        got = []
        c_sdk.py_vqi_set_data_callback(lambda text, data: got.append((text, data)))
        sdk.start_threads(b"t", 4, None, 20)
        failed = 0
        for _ in range(100):
            c_sdk.py_vqi_get_cash(b"")
            pid = os.fork()
            if pid == 0:
                signal.alarm(10)  # a child that hangs is killed
                del got[:]
                c_sdk.py_vqi_get_cash(b"")
                sdk.queue_event(b"child", b"", from_thread=True)
                c_sdk.vqi_poll()
                os._exit(0 if got == [("child", b"")] else 1)
            failed += os.waitpid(pid, 0)[1] != 0
        sent = sdk.join_threads(stop=True)
        c_sdk.py_vqi_get_cash(b"")
        print(failed, len(got) == sent)
    """, timeout=120)
    assert (r.returncode, r.stdout.split(), r.stderr) == (0, ["0", "True"], "")


# Threads that never stop, still sending while the process exits: held
# events are delivered when shutdown begins, later ones dropped (with
# CSDK_RUN_UNLOCKED=1 they were delivered at once, and none is held).
@pytest.mark.parametrize("malloc", ["", "debug"])
@pytest.mark.parametrize("ending", ["", "c_sdk.py_vqi_get_cash(b'')", "raise SystemExit(0)"])
def test_exit_while_sdk_threads_send(malloc, ending):
    if malloc and AT_ONCE and not UNLOCKED:
        pytest.skip("up to 3.11 the debug allocator rejects the delivery at once")
    if malloc and os.environ.get("CSDK_SANITIZE"):
        pytest.skip("the sanitizer build checks with malloc; LeakSanitizer reports the debug allocator's own blocks")
    # Slower than the callable takes them, lest every delivery outgrow the
    # last (ThreadSanitizer makes each delivery several times slower).
    interval = 200 if os.environ.get("CSDK_TSAN") else 20
    r = run_python("""
        import atexit
        got, seen = [], []
        atexit.register(lambda: print(len(got) %s len(seen), flush=True))  # runs after c_sdk's
        import c_sdk, time, vqsim
        sdk = vqsim.sdk()
        c_sdk.py_vqi_set_data_callback(lambda text, data: got.append(data))
        sdk.start_threads(b't', 4, None, %d)
        for _ in range(200):
            c_sdk.py_vqi_get_positions(b'')
        time.sleep(0.05)
        seen = list(got)
        %s
    """ % (">=" if UNLOCKED else ">", interval, ending), env={"PYTHONMALLOC": malloc} if malloc else None)
    assert (r.returncode, r.stdout, r.stderr) == (0, "True\n", "")
