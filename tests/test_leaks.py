"""Neither memory nor references leak: every callable of the module, on its
success and its error paths, called many times in a loop.

Each case is warmed up, then run ROUNDS times; afterwards the interpreter
must hold no more memory blocks than before (a small constant slack aside),
and the reference counts of the arguments, of the module globals the call
reads and of the shared singletons must be exactly what they were.  The
normal build counts blocks with sys.getallocatedblocks(); the sanitizer build
allocates with malloc (where that counter stays 0) and counts the blocks
allocated during the loop that are still alive with tracemalloc.
"""
import gc
import importlib
import sys
import tracemalloc

import pytest

import c_sdk
from params import inner, kind, params
from tables import BINDINGS, DIRECT, REQUEST_RESPONSE

WARMUP = 10
ROUNDS = 100
SLACK = 10  # blocks; a leak of one block per call shows as ROUNDS
REF_SLACK = 2  # references; the measuring code's own frames move the singletons a little
PYMALLOC = sys.getallocatedblocks() > 0
DECORATED = dict(BINDINGS)
NAMES = ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]


def blocks_grown(call):
    """Blocks still allocated after ROUNDS calls that were not before them."""
    gc.collect()
    if PYMALLOC:
        before = sys.getallocatedblocks()
        for _ in range(ROUNDS):
            call()
        gc.collect()
        return sys.getallocatedblocks() - before
    tracemalloc.start()
    try:
        for _ in range(ROUNDS):
            call()
        gc.collect()
        return len(tracemalloc.take_snapshot().traces)
    finally:
        tracemalloc.stop()


def watched_globals():
    return [v for k, v in vars(c_sdk).items() if not k.startswith("__")]


def assert_no_leak(call, *objects, slack=SLACK):
    for _ in range(WARMUP):
        call()
    watched = [None, True, False, Ellipsis, b"", ""] + list(objects) + watched_globals()
    refs = [sys.getrefcount(o) for o in watched]
    # A leak grows every time; a cache or free list filling up once does not
    # (newer interpreters fill theirs over a few rounds), so another
    # measurement decides.
    for _ in range(5):
        grown = blocks_grown(call)
        if grown <= slack:
            break
    after = [sys.getrefcount(o) for o in watched]
    grew = [(repr(o)[:60], b, a) for o, b, a in zip(watched, refs, after) if a - b > REF_SLACK]
    assert not grew, "reference counts grew: %r" % grew
    assert grown <= slack, "%d blocks more after %d calls" % (grown, ROUNDS)


def assert_none_leaks(cases, *objects):
    """Runs the named cases together; when that leaks, names the ones that leak alone."""
    def together():
        for case in cases.values():
            case()
    try:
        assert_no_leak(together, *objects)
    except AssertionError as failure:
        culprits = []
        for name, case in cases.items():
            try:
                assert_no_leak(case, *objects)
            except AssertionError as e:
                culprits.append("%s: %s" % (name, e))
        raise AssertionError("\n".join(culprits) or "only together: %s" % failure)


def chunks(names, size):
    names = list(names)
    return [pytest.param(names[i:i + size], id="%s..%s" % (names[i], names[min(i + size, len(names)) - 1]))
            for i in range(0, len(names), size)]


def cached(obj):
    """Objects the interpreter shares: their reference counts say nothing."""
    return (obj is None or type(obj) is bool or (type(obj) is int and -5 <= obj <= 256)
            or (type(obj) in (bytes, str) and len(obj) <= 1))


def held(make):
    """What make() returns, with the references to it (and to each item of a
    tuple) as seen from here, where only this frame and the tuple hold them."""
    result = make()
    counts = [sys.getrefcount(result)]
    if type(result) is tuple:
        counts += [sys.getrefcount(result[i]) for i in range(len(result))]
    return result, counts


FRESH = held(lambda: bytes(bytearray(b"new")))[1][0]
FRESH_ITEM = held(lambda: (bytes(bytearray(b"new")),))[1][1]


def assert_fresh(make):
    """Calls make(); a result it made holds no reference too many, nor do its items."""
    result, counts = held(make)
    if not cached(result):
        assert counts[0] == FRESH, "result %r held %d times too often" % (result, counts[0] - FRESH)
    if type(result) is tuple:
        for i, (item, count) in enumerate(zip(result, counts[1:])):
            assert cached(item) or count == FRESH_ITEM, "item %d of %r held too often" % (i, result)
    return result


def raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError("%r did not raise %s" % (fn, exc.__name__))


class Sink:
    """A stderr that forgets what it is given."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture
def quiet(sdk, module, monkeypatch):
    """The stand-in without call recording, standard error muted (and the
    printer of the event bridge's reports, whose formatting keeps caches of
    its own that grow now and then: 3.13 formats through the traceback
    module)."""
    sdk.recording(False)
    monkeypatch.setattr(sys, "stderr", Sink())
    monkeypatch.setattr(sys, "excepthook", lambda *exc: None)
    return sdk


def mute_unraisable():
    """The event bridge's second report.  Set in the test itself, inside
    pytest's own hook, which is put back after the test."""
    sys.unraisablehook = lambda unraisable: None


# ---- arguments for every parameter, by name ----

class IntLike:
    def __int__(self):
        return 7


class FloatLike:
    def __float__(self):
        return 2.5


class Truthy:
    def __bool__(self):
        return True


SAMPLES = {
    "request": (b"\x08\x01req", bytearray(b"\x08\x02")),
    "text": (b"text", bytearray(b"bytearray")),
    "int": (3, IntLike()),
    "float": (1.5, FloatLike()),
    "bool": (True, Truthy()),
    "callable": (len, len),
}


def sample_args(name, fn, variant):
    """Valid arguments; variant 0 uses the plain types, 1 the converted ones."""
    return [SAMPLES[kind(name, p)][variant] for p in params(fn)]


CALLABLES = [n for n, _ in BINDINGS] + DIRECT
RESPONSE_SDK = dict(REQUEST_RESPONSE, py_vqi_current="vqi_current_pb", py_vqi_get_child_orders="vqi_get_child_orders_pb",
                    py_vqi_algo_order_batch="vqi_algo_order_batch_pb", py_vqi_get_accounts="vqi_get_account_info_pb")


def target_of(name):
    return inner(name) if name in DECORATED else getattr(c_sdk, name)


def test_every_callable_has_sample_arguments():
    """A binding with a parameter no sample fits would be left out of the loops below."""
    missing = []
    for name in CALLABLES:
        for p in params(target_of(name)):
            try:
                kind(name, p)
            except KeyError:
                missing.append((name, p))
    assert missing == []


@pytest.mark.parametrize("names", chunks(CALLABLES, 40))
def test_success_paths(quiet, names):
    cases, held = {}, []
    for name in names:
        fn, target = getattr(c_sdk, name), target_of(name)
        plain, converted = sample_args(name, target, 0), sample_args(name, target, 1)
        keywords = dict(zip(params(target), plain))

        def call(fn=fn, plain=plain, converted=converted, keywords=keywords):
            assert_fresh(lambda: fn(*plain))
            assert_fresh(lambda: fn(*converted))
            assert_fresh(lambda: fn(**keywords))
        cases[name] = call
        held += [fn, target] + plain + converted
    assert_none_leaks(cases, *held)


@pytest.mark.parametrize("names", chunks(sorted(RESPONSE_SDK), 45))
@pytest.mark.parametrize("status", [0, 5])
def test_responses(quiet, names, status):
    cases, held = {}, []
    response = b"\x00response\x00" * 8
    for name in names:
        fn = getattr(c_sdk, name)
        args = sample_args(name, inner(name), 0)
        quiet.set_response(RESPONSE_SDK[name], response)
        quiet.set_status(RESPONSE_SDK[name], status)

        def call(fn=fn, args=args):
            assert assert_fresh(lambda: fn(*args)) == (status, None if status else response)
        cases[name] = call
        held += [fn] + args
    assert_none_leaks(cases, *held)


@pytest.mark.parametrize("status", [0, 4])
def test_serv_addr(quiet, status):
    quiet.set_status("vqi_get_serv_addr", status)
    quiet.set_text("vqi_get_serv_addr", b"10.0.0.1:9")
    serv_id = b"id"
    assert_no_leak(lambda: c_sdk.py_vqi_get_serv_addr(serv_id), serv_id)


@pytest.mark.parametrize("names", chunks([n for n, d in BINDINGS if d], 30))
def test_decorator_with_str(quiet, names):
    cases, held = {}, []
    for name in names:
        fn = getattr(c_sdk, name)
        args = [a.decode() if isinstance(a, bytes) else a for a in sample_args(name, inner(name), 0)]
        wide = []
        for i, a in enumerate(args):
            if isinstance(a, str):
                wide.append(list(args))
                wide[-1][i] = "n\u00f6n-ascii"

        def call(fn=fn, args=args, wide=wide):
            fn(*args)
            for bad in wide:
                raises(UnicodeEncodeError, fn, *bad)
            raises(TypeError, lambda: fn(*args, **{1: 2}))
        cases[name] = call
        held += [fn] + args
    assert_none_leaks(cases, *held)


def test_decorator_itself(quiet):
    target = c_sdk.py_vqi_history_bars_pb
    ascii_req, wide_req = "req", "r\u00e9q"

    def call():
        wrapper = c_sdk.adapt_to_python3(target)
        assert wrapper(ascii_req) == (0, b"")
        assert wrapper(req=ascii_req) == (0, b"")
        raises(UnicodeEncodeError, wrapper, wide_req)
        raises(TypeError, c_sdk.adapt_to_python3)
    assert_no_leak(call, target, ascii_req, wide_req)


# ---- error paths ----

class Raises:
    def __int__(self):
        raise ZeroDivisionError

    __float__ = __bool__ = __len__ = __index__ = __int__


class LyingBytes(bytes):
    def __len__(self):
        return self.n


@pytest.mark.parametrize("names", chunks(CALLABLES, 40))
def test_argument_errors(quiet, names):
    cases, held = {}, []
    extra = object()
    for name in names:
        fn, target = getattr(c_sdk, name), target_of(name)
        keys = params(target)
        args = sample_args(name, target, 0)

        def call(fn=fn, target=target, keys=keys, args=args):
            raises(TypeError, fn, *(args + [extra]))
            raises(TypeError, fn, *args, bogus=extra)
            if keys:
                raises(TypeError, fn, *args[1:])
                raises(TypeError, fn, *args, **{keys[0]: extra})
                raises(TypeError, lambda: target(*args[:-1], **{1: extra, keys[-1]: args[-1]}))
            else:
                raises(TypeError, fn, x=extra)
        cases[name] = call
        held += [fn, target] + args
    assert_none_leaks(cases, extra, *held)


BAD_VALUES = {
    bytes: [None, "str", 5, Raises()],
    bytearray: [None, "str", 5, Raises()],
    int: [2 ** 31, -2 ** 31 - 1, 2 ** 64, Raises(), "3", 1.5j, float("nan")],
    float: ["1.5", Raises(), 1.5j],
    bool: [Raises()],
}


@pytest.mark.parametrize("names", chunks([n for n in CALLABLES if n != "py_vqi_set_data_callback"], 40))
def test_conversion_errors(quiet, names):
    """Each argument in turn is one that does not convert; the ones before it
    did, bytearrays among them, whose buffers must be given back."""
    cases, held = {}, []
    for name in names:
        target = target_of(name)
        good = sample_args(name, target, 1)
        kinds = [type(v) if type(v) in BAD_VALUES else {"IntLike": int, "FloatLike": float, "Truthy": bool}[
            type(v).__name__] for v in good]
        bad_calls = [good[:i] + [bad] + good[i + 1:] for i, kind in enumerate(kinds) for bad in BAD_VALUES[kind]]
        buffers = [v for v in good if isinstance(v, bytearray)]

        def call(target=target, bad_calls=bad_calls, buffers=buffers):
            for args in bad_calls:
                try:
                    target(*args)
                except (TypeError, ValueError, OverflowError, ZeroDivisionError):
                    pass
                else:
                    raise AssertionError("%r accepted %r" % (target, args))
            for buf in buffers:  # raises BufferError while an export is held
                buf.append(0)
                buf.pop()
        cases[name] = call
        held += [target] + good
    assert_none_leaks(cases, *held)


@pytest.mark.parametrize("claimed,error", [(9, ValueError), (2 ** 31, OverflowError), (-1, ValueError)])
def test_lying_request_lengths(quiet, claimed, error):
    req = LyingBytes(b"four")
    req.n = claimed
    buf = bytearray(b"req")

    def call():
        raises(error, c_sdk.py_vqi_history_bars_pb, req)
        raises(error, c_sdk.py_vqi_algo_order_batch, req, buf, b"p")
        raises(error, c_sdk.py_vqi_cancel_order, req)
        buf.append(0)
        buf.pop()
    assert_no_leak(call, req, buf)


def test_missing_success_global(quiet, module):
    del module.CSDK_OPERATE_SUCCESS
    req = b"req"

    def call():
        raises(NameError, c_sdk.py_vqi_history_bars_pb, req)
        raises(NameError, c_sdk.py_vqi_get_accounts)
        raises(NameError, c_sdk.py_vqi_get_serv_addr, req)
        raises(NameError, c_sdk.c_status_ok, 0)
        raises(NameError, c_sdk.c_status_fail, 0)
    assert_no_leak(call, req)


def test_comparison_raising(quiet, module):
    class Success:
        def __eq__(self, other):
            raise KeyError(other)

        __ne__ = __eq__
    module.CSDK_OPERATE_SUCCESS = Success()

    def call():
        raises(KeyError, c_sdk.py_vqi_history_bars_pb, b"req")
        raises(KeyError, c_sdk.py_vqi_get_serv_addr, b"id")
        raises(KeyError, c_sdk.c_status_fail, 3)
    assert_no_leak(call)


# ---- status and platform helpers ----

class Logger:
    def debug(self, message):
        pass


def test_status_helpers(quiet, module):
    module.vqsdklogger = Logger()
    name, bad = "vqi_fn", object()

    def call():
        assert c_sdk.c_status_ok(0) is True and c_sdk.c_status_ok(status=2) is False
        assert c_sdk.c_status_fail(3, name) is True and c_sdk.c_status_fail(3) is True
        assert c_sdk.c_status_fail(0, cfunname=name) is False
        raises(TypeError, c_sdk.c_status_fail, "3")
        raises(TypeError, c_sdk.c_status_fail, 1, name, bad)
        raises(TypeError, c_sdk.c_status_ok)
        assert c_sdk.is_linux() in (True, False) and c_sdk.is_windows() in (True, False)
        raises(TypeError, c_sdk.is_linux, bad)
    assert_no_leak(call, name, bad)


def test_status_fail_errors(quiet, module):
    module.vqsdklogger = Logger()
    quiet.set_text("vqi_strerror", b"\xff")

    def call():
        raises(UnicodeDecodeError, c_sdk.c_status_fail, 2, "fn")
    assert_no_leak(call)
    quiet.break_null_text("vqi_strerror")

    def null():
        raises(SystemError, c_sdk.c_status_fail, 2, "fn")
    assert_no_leak(null)
    module.vqsdklogger = object()
    quiet.clear_break("vqi_strerror")
    quiet.set_text("vqi_strerror", None)

    def no_debug():
        raises(AttributeError, c_sdk.c_status_fail, 2, "fn")
    assert_no_leak(no_debug)


# ---- the run loop and the event bridge ----

EVENTS = [(b"tick", b"\x01\x00\x02"), (b"", b""), ("\u4e2d".encode(), b"\0" * 40)]
BROKEN_EVENTS = [(b"\xff\xfe", b"x"), (b"neg", b"", -3), (None, b"x"), (b"null", None, 4)]


class Receiver:
    def __init__(self):
        self.count = 0

    def on_event(self, text, data):
        self.count += 1


def raising(text, data):
    raise KeyError(text)


def queue(sdk, events):
    for ev in events:
        sdk.queue_event(*ev)


@pytest.mark.parametrize("how", ["run", "poll"])
@pytest.mark.parametrize("case", ["plain", "bound", "raising", "broken", "bytes_text", "no_f", "f_none", "threads"])
def test_events(quiet, module, how, case):
    mute_unraisable()
    receiver = Receiver()
    callable_ = {"bound": receiver.on_event, "raising": raising}.get(case, lambda text, data: None)
    c_sdk.py_vqi_set_data_callback(callable_)
    if case == "bytes_text":
        module.IS_PY2 = True
    elif case == "no_f":
        del module.f
    elif case == "f_none":
        module.f = None
    events = BROKEN_EVENTS if case == "broken" else EVENTS

    def call():
        queue(quiet, events)
        if case == "threads":  # held, then delivered when the run or poll starts
            quiet.start_threads(b"t", 2, 10)
            quiet.join_threads()
        if how == "run":
            assert c_sdk.py_vqi_run() == 0
        else:
            while c_sdk.vqi_poll():
                pass
    assert_no_leak(call, callable_, receiver)


def test_callable_calling_bindings(quiet, module):
    mute_unraisable()
    req = b"req"

    def on_event(text, data):
        c_sdk.py_vqi_history_bars_pb(req)
        c_sdk.py_vqi_place_order(text)
        if text == "again":
            c_sdk.py_vqi_run()  # drains what is left
        if text == "stop":
            c_sdk.py_vqi_stop()
        c_sdk.py_vqi_set_data_callback(on_event)
    c_sdk.py_vqi_set_data_callback(on_event)

    def call():
        queue(quiet, [(b"again", b""), (b"a", b"1"), (b"stop", b""), (b"b", b"2")])
        c_sdk.py_vqi_run()
        c_sdk.py_vqi_run()
    assert_no_leak(call, req)


def test_event_bridge_reports_are_released(quiet, module):
    """The report of a failure keeps nothing: not the exception, not its frames."""
    mute_unraisable()
    class Payload:
        pass
    seen = Payload()

    def on_event(text, data):
        local = [seen] * 3  # held by the frame the traceback keeps
        raise ValueError(local)
    c_sdk.py_vqi_set_data_callback(on_event)

    def call():
        quiet.queue_event(b"x", b"y")
        c_sdk.py_vqi_run()
    assert_no_leak(call, seen, on_event)


# ---- records ----

@pytest.mark.parametrize("name", NAMES)
def test_records(quiet, name):
    cls = getattr(c_sdk, name)
    data, other = {"price": 1.5, "open": None}, {"x": 1}
    fields = [k for k, v in vars(cls).items() if isinstance(v, property)]
    key, value = "price", 2.5

    def call():
        rec = cls(data)
        rec[key] = value
        assert rec[key] == value and getattr(rec, key) == value and rec.missing is None
        rec.x = value
        rec.data = other
        rec.data = data
        assert str(rec) == str(data) and repr(rec) == repr(data)
        if name == "BarLikeDict2":
            assert key in rec and "nothing" not in rec
        for f in fields:
            getattr(rec, f)
            prop = vars(cls)[f]
            if prop.fset:
                prop.fset(rec, value)
        cls(data=data).__getitem__(item=key)
    assert_no_leak(call, cls, data, other, key, value)


@pytest.mark.parametrize("name", NAMES)
def test_record_errors(quiet, module, name):
    cls = getattr(c_sdk, name)
    unhashable, no_get = [], object()

    def call():
        raises(TypeError, cls)
        rec = cls({})
        raises(TypeError, rec.__getitem__, unhashable)
        raises(TypeError, rec.__setitem__, unhashable, 1)
        raises(TypeError, iter, rec)
        empty = cls.__new__(cls)
        raises(AttributeError, empty.__getitem__, "k")
        raises(AttributeError, getattr, empty, "k")
        raises(AttributeError, str, empty)
        bad = cls(no_get)
        raises(AttributeError, bad.__getitem__, "k")
        raises(TypeError, cls.__getitem__, rec)
    assert_no_leak(call, cls, unhashable, no_get)
    delattr(module, name)

    def missing_class():
        raises(NameError, cls, {})
    assert_no_leak(missing_class, cls)


def test_record_subclasses(quiet):
    class Sub(c_sdk.TickLikeDict2):
        pass
    data = {"price": 1}

    def call():
        rec = Sub(data)
        assert rec.price == 1 and rec["price"] == 1
        rec.open = 2
        raises(TypeError, list, rec)
    assert_no_leak(call, Sub, data)


# ---- the module itself ----

def test_reimport(quiet):
    """A new import after the module left sys.modules gives back the same
    module; the import system's bookkeeping for it must not pile up.  (Taking
    the module out of sys.modules and putting it back resizes that dict now
    and then, and newer interpreters' import machinery keeps a few caches of
    its own: a larger slack, still far below one block per import.)"""
    if not PYMALLOC and sys.version_info >= (3, 13):
        pytest.skip("3.13's import machinery keeps raw blocks on every re-import of an extension module "
                    "(array's too); the other runs count pymalloc's blocks")

    def call():
        for _ in range(4):
            del sys.modules["c_sdk"]
            assert importlib.import_module("c_sdk") is c_sdk
            assert importlib.reload(c_sdk) is c_sdk
    assert_no_leak(call, slack=ROUNDS)
