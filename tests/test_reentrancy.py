"""Re-entrancy: the event callable calls back into the module, and objects
handed to the module call back into it, without crashing.

The cycles at the end are made of c_sdk functions alone (a binding set as a
class's __len__, a record wrapping itself, ...): each must end in
RecursionError, as the same cycle of Python functions would.  They run in
child processes, where a stack overflow is a failed test, not a dead suite.
"""
import gc

import pytest

import c_sdk
from conftest import run_python


@pytest.fixture
def bridge(sdk, module, monkeypatch):
    """The stand-in, and the reports of the event bridge collected."""
    reports = []
    monkeypatch.setattr("sys.excepthook", lambda *exc: reports.append(exc[1]))
    return sdk, reports


def mute_unraisable():
    # pytest installs its own hook around each test; this one lasts the test
    import sys
    sys.unraisablehook = lambda unraisable: None


def queue(sdk, *texts):
    for text in texts:
        sdk.queue_event(text.encode(), text.encode())


def test_nested_run_drains_the_queue(bridge):
    sdk, reports = bridge
    seen, depth = [], [0]

    def on_event(text, data):
        depth[0] += 1
        seen.append((text, depth[0]))
        assert c_sdk.py_vqi_run() == 0  # delivers the rest from in here
        depth[0] -= 1
    c_sdk.py_vqi_set_data_callback(on_event)
    queue(sdk, "a", "b", "c")
    assert c_sdk.py_vqi_run() == 0
    assert seen == [("a", 1), ("b", 2), ("c", 3)] and sdk.pending_events() == 0 and reports == []


DEEP_RUNS = """
    import c_sdk, sys, vqsim
    sdk = vqsim.sdk()
    seen, reports = [], []
    sys.unraisablehook = lambda unraisable: reports.append(unraisable.exc_type.__name__)
    sys.stderr = open('/dev/null', 'w')
    def on_event(text, data):
        seen.append(text)
        c_sdk.py_vqi_run()
    c_sdk.py_vqi_set_data_callback(on_event)
    for _ in range(%d):
        sdk.queue_event(b"e", b"")
    status = c_sdk.py_vqi_run()
    print(status, sdk.pending_events(), len(seen), len(reports), sorted(set(reports)))
"""


@pytest.mark.parametrize("events", [50, 3000])
def test_deep_nested_runs(events):
    """Each event runs the loop again from inside: past the recursion limit
    the events are reported as RecursionError, and the run ends normally."""
    r = run_python(DEEP_RUNS % events)
    assert r.returncode == 0, r.stderr[-3000:]
    status, pending, seen, reported, kinds = r.stdout.split(" ", 4)
    assert (status, pending) == ("0", "0")
    if events < 100:
        assert (int(seen), int(reported)) == (events, 0)
    else:
        assert kinds.strip() == "['RecursionError']"
        assert int(seen) > 500 and int(seen) + int(reported) >= events


@pytest.mark.parametrize("nested", ["py_vqi_run", "vqi_poll"])
def test_stop_and_poll_from_inside(bridge, nested):
    sdk, reports = bridge
    seen = []

    def on_event(text, data):
        seen.append(text)
        if text == "nest":
            getattr(c_sdk, nested)()
        if text == "stop":
            assert c_sdk.py_vqi_stop() == 0
    c_sdk.py_vqi_set_data_callback(on_event)
    queue(sdk, "nest", "stop", "after")
    c_sdk.py_vqi_run()
    assert seen == ["nest", "stop"] and sdk.pending_events() == 1 and reports == []
    assert c_sdk.py_vqi_run() == 0 and seen[-1] == "after"  # the next run starts afresh


def test_trading_calls_from_inside(bridge):
    sdk, reports = bridge
    sdk.set_response("vqi_place_order_pb", b"order-1")
    results = []

    def on_event(text, data):
        results.append(c_sdk.py_vqi_place_order(data))
        results.append(c_sdk.py_vqi_cancel_order(text))
        results.append(c_sdk.py_vqi_get_serv_addr(b"id"))
        results.append(c_sdk.c_status_fail(0))
    c_sdk.py_vqi_set_data_callback(on_event)
    queue(sdk, "x")
    c_sdk.py_vqi_run()
    assert results == [(0, b"order-1"), 0, b"127.0.0.1:7100", False] and reports == []
    assert sdk.last("vqi_place_order_pb")[:2] == (b"x", 1)


def test_reregistering_from_inside(bridge):
    sdk, reports = bridge
    first, second = [], []

    def replacement(text, data):
        second.append(text)

    def on_event(text, data):
        c_sdk.py_vqi_set_data_callback(replacement)
        gc.collect()
        first.append(text)  # still running, though no longer registered
    c_sdk.py_vqi_set_data_callback(on_event)
    queue(sdk, "a", "b")
    c_sdk.py_vqi_run()
    assert first == ["a"] and second == ["b"] and reports == []


class DeletesItself:
    """A callable held only by the module global it deletes."""

    def __init__(self, then_raise):
        self.then_raise = then_raise
        self.payload = bytearray(1000)
        self.seen = []

    def __call__(self, text, data):
        del c_sdk.f
        gc.collect()
        self.seen.append(text)
        self.payload[:] = bytes(1000)  # touches the instance after its last reference went
        if self.then_raise:
            raise ValueError("after deleting f")


@pytest.mark.parametrize("then_raise", [False, True])
def test_deleting_f_from_inside(bridge, then_raise):
    sdk, reports = bridge
    mute_unraisable()
    c_sdk.py_vqi_set_data_callback(DeletesItself(then_raise))
    queue(sdk, "a", "b")
    c_sdk.py_vqi_run()
    assert [type(e) for e in reports] == [ValueError] * then_raise + [NameError]
    assert "f" not in vars(c_sdk)


def test_rebinding_globals_from_inside(bridge, module):
    sdk, reports = bridge
    mute_unraisable()
    seen = []

    def on_event(text, data):
        seen.append(text)
        module.IS_PY2 = not module.IS_PY2
        module.CSDK_OPERATE_SUCCESS = 3
        c_sdk.py_vqi_set_data_callback(None if len(seen) == 2 else on_event)
    c_sdk.py_vqi_set_data_callback(on_event)
    queue(sdk, "a", "b", "c")
    c_sdk.py_vqi_run()
    assert seen == ["a", b"b"] and [type(e) for e in reports] == [TypeError]
    assert c_sdk.py_vqi_history_bars_pb(b"") == (0, None)  # 0 is no longer success


def test_argument_conversion_runs_the_loop(bridge):
    """A truth test made while the arguments are converted runs the SDK's
    loop, whose callable calls the same binding again."""
    sdk, reports = bridge
    calls = []

    class Flag:
        def __bool__(self):
            c_sdk.py_vqi_run()
            return True

    def on_event(text, data):
        calls.append(c_sdk.py_vqi_subscribe(text, "1m", False))
    c_sdk.py_vqi_set_data_callback(on_event)
    queue(sdk, "inner")
    assert c_sdk.py_vqi_subscribe(b"outer", b"tick", Flag()) == 0
    assert calls == [0] and reports == []
    assert [c.args for c in sdk.calls("vqi_subscribe")] == [(b"inner", b"1m", False), (b"outer", b"tick", True)]

# ---- cycles of c_sdk functions alone ----

CYCLE_SCRIPT = """
import c_sdk, functools, sys, vqsim
sdk = vqsim.sdk()
cases = %r
for name, setup, expression in cases:
    saved = dict(vars(c_sdk))
    try:
        exec(setup)
        eval(expression)
        print(name, 'no error', flush=True)
    except RecursionError:
        print(name, 'RecursionError', flush=True)
    except Exception as e:
        print(name, type(e).__name__, e, flush=True)
    vars(c_sdk).clear()
    vars(c_sdk).update(saved)
"""

CYCLES = {
    "helpers": [
        ("strerror_is_status_fail", "c_sdk.py_vqi_strerror = c_sdk.c_status_fail", "c_sdk.c_status_fail(1)"),
        ("strerror_is_wrapped_status_fail",
         "c_sdk.py_vqi_strerror = c_sdk.adapt_to_python3(c_sdk.c_status_fail)", "c_sdk.c_status_fail(1)"),
        ("wrapper_of_itself", "w = c_sdk.adapt_to_python3(None); w.__closure__[0].cell_contents = w", "w(1)"),
        ("str_encode_is_the_binding", "class S(str): pass\nS.encode = c_sdk.py_vqi_place_order",
         "c_sdk.py_vqi_place_order(S('x'))"),
        ("platform_uname_is_is_windows",
         "class P: uname = staticmethod(c_sdk.is_windows)\nc_sdk.platform = P", "c_sdk.is_windows()"),
    ],
    # A conversion slot that leads back to the conversion: a binding as
    # __len__ or __int__, or a record accessor whose mapping's get is a
    # partial of the binding.
    "conversions": [
        ("len_of_bytes", "class B(bytes): __len__ = c_sdk.py_vqi_history_bars_pb",
         "c_sdk.py_vqi_history_bars_pb(B(b'x'))"),
        ("len_of_bytearray", "class A(bytearray): __len__ = c_sdk.py_vqi_log", "c_sdk.py_vqi_log(A(b'x'))"),
        ("int", "class I: __int__ = c_sdk.vqi_strerror", "c_sdk.vqi_strerror(I())"),
        ("float", "class F(c_sdk.TickLikeDict2): __float__ = c_sdk.TickLikeDict2.price.fget\n"
                  "class D: pass\n"
                  "x = F(D())\n"
                  "D.get = staticmethod(functools.partial(c_sdk.py_vqi_set_backtest_config.__closure__[0]"
                  ".cell_contents, b'', b'', x, 1., 1., 1., 1., 1., 1., 1, 1))", "float(x)"),
        ("bool", "class T(c_sdk.TickLikeDict2): __bool__ = c_sdk.TickLikeDict2.price.fget\n"
                 "class D: pass\n"
                 "x = T(D())\n"
                 "D.get = staticmethod(functools.partial(c_sdk.py_vqi_current.__closure__[0].cell_contents,"
                 " b'A', include_call_auction=x))", "bool(x)"),
    ],
    # A record that wraps itself (or another record that wraps it), a `data`
    # property that reads a field, a class name rebound to a subclass.
    "records": [("wraps_itself_" + op, "r = c_sdk.BarLikeDict2({})\nr.data = r", expression) for op, expression in [
        ("getitem", "r['x']"), ("getattr", "r.x"), ("setitem", "r.__setitem__('x', 1)"),
        ("setattr", "setattr(r, 'x', 1)"), ("str", "str(r)"), ("repr", "repr(r)"), ("contains", "'x' in r"),
        ("field", "r.symbol"), ("field_set", "c_sdk.BarLikeDict2.symbol.fset(r, 1)"),
    ]] + [
        ("wrap_each_other", "a = c_sdk.TickLikeDict2({})\na.data = c_sdk.ObjectLikeDict2(a)", "a.price"),
        ("data_property_reads_a_field", "class X: data = property(c_sdk.TickLikeDict2.price.fget)",
         "c_sdk.TickLikeDict2.price.fget(X())"),
        ("class_name_is_a_subclass", "class Sub(c_sdk.ObjectLikeDict2): pass\nc_sdk.ObjectLikeDict2 = Sub",
         "Sub({})"),
    ],
}


def cycle_outcomes(family, cache={}):
    """Runs one family's cycles in a child process: name -> outcome."""
    if family not in cache:
        r = run_python(CYCLE_SCRIPT % (CYCLES[family],), timeout=120)
        outcomes = dict(line.split(" ", 1) for line in r.stdout.splitlines())
        cache[family] = (outcomes, r.returncode, r.stderr[-2000:])
    return cache[family]


def check_cycle(family, name):
    outcomes, returncode, stderr = cycle_outcomes(family)
    assert name in outcomes, "child died (status %d) before %s:\n%s" % (returncode, name, stderr)
    assert outcomes[name] == "RecursionError"


@pytest.mark.parametrize("name", [case[0] for case in CYCLES["helpers"]])
def test_helper_cycles(name):
    check_cycle("helpers", name)


@pytest.mark.parametrize("name", [case[0] for case in CYCLES["conversions"]])
def test_conversion_cycles(name):
    check_cycle("conversions", name)


@pytest.mark.parametrize("name", [case[0] for case in CYCLES["records"]])
def test_record_cycles(name):
    check_cycle("records", name)


# Python code run in the middle of an operation rebinds the very global the
# operation is using.  Written in Python the same code gives the outcome
# named; the module must give it too, and must not touch what was freed
# (PYTHONMALLOC=debug fills freed blocks, so a stale read crashes the child).
HOSTILE_SUCCESS = """
    import c_sdk, vqsim
    sdk = vqsim.sdk()
    class Success:
        def __eq__(self, other): return True
        def __ne__(self, other): return False
        __hash__ = object.__hash__
    class Status(int):
        def __eq__(self, other):
            c_sdk.CSDK_OPERATE_SUCCESS = 0
            return NotImplemented
        __ne__ = __eq__
        __hash__ = int.__hash__
    class Rebinding:
        def __eq__(self, other):
            sdk.set_response("vqi_get_cash_pb", b"later")
            c_sdk.CSDK_OPERATE_SUCCESS = 0
            c_sdk.py_vqi_get_cash(b"")  # the SDK serves another buffer
            return True
        __hash__ = object.__hash__
    c_sdk.CSDK_OPERATE_SUCCESS = Success()
    if CASE == "c_status_ok":
        print(c_sdk.c_status_ok(Status(5)))
    elif CASE == "c_status_fail":
        print(c_sdk.c_status_fail(Status(5), "vqi_x"))
    else:
        sdk.set_response("vqi_get_cash_pb", b"first response" * 8)
        c_sdk.CSDK_OPERATE_SUCCESS = Rebinding()
        print(c_sdk.py_vqi_get_cash(b""))
"""


@pytest.mark.parametrize("case, printed", [
    ("c_status_ok", "True"),
    ("c_status_fail", "False"),
    ("binding", "(0, b'%s')" % ("first response" * 8)),
])
def test_success_global_rebound_by_its_comparison(case, printed):
    import os
    env = {"PYTHONMALLOC": os.environ.get("PYTHONMALLOC", "debug")}
    r = run_python(HOSTILE_SUCCESS.replace("CASE", repr(case)), env=env)
    assert (r.returncode, r.stdout.strip()) == (0, printed), r.stderr[-3000:]


CELL_EMPTIED = """
    import c_sdk, vqsim
    sdk = vqsim.sdk()
    sdk.reset(); sdk.recording(True)
    sdk.set_response("vqi_get_cash_pb", b"cash")
    cell = c_sdk.py_vqi_get_cash.__closure__[0]
    class Request(bytes):
        def __len__(self):
            cell.cell_contents = None  # the binding running now loses its last reference
            return bytes.__len__(self)
    print(c_sdk.py_vqi_get_cash(Request(b"req")), sdk.last("vqi_get_cash_pb")[:2])
"""


def test_decorated_binding_released_while_it_runs():
    import os
    r = run_python(CELL_EMPTIED, env={"PYTHONMALLOC": os.environ.get("PYTHONMALLOC", "debug")})
    assert (r.returncode, r.stdout.strip()) == (0, "(0, b'cash') (b'req', 3)"), r.stderr[-3000:]
