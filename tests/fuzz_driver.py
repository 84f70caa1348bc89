"""Seeded fuzzing of every callable of c_sdk.

Calls the module's functions, the bindings below their decorator, the direct
SDK objects, the record classes, their methods and field accessors with
random argument lists: random counts, real and bogus keywords, non-str
keyword names, and values of many types, among them objects whose
__int__/__float__/__index__/__len__/__bool__ lie, raise or call back into the
module, bytes and bytearray subclasses whose length lies, huge and empty
buffers.  Between calls it scripts the stand-in SDK at random (statuses,
responses, texts, contract breaches, a few queued events) and rebinds module
globals (restored afterwards).

Every call must end in a result or an ordinary exception (an Exception, not
a SystemError of the interpreter's own, and no exception left pending after
a result).  A crash ends the process, a hang is cut off by faulthandler's
watchdog: both give a non-zero exit status, with the seed and the last call
on standard error.

    python3.8 tests/fuzz_driver.py --iterations 100000 --seed 7
"""
import argparse
import ctypes
import faulthandler
import gc
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import c_sdk  # noqa: E402
import vqsim  # noqa: E402
import params  # noqa: E402
from tables import BINDINGS, REQUEST_RESPONSE  # noqa: E402

HUGE = b"\x01" * (4 << 20)
RECORD_NAMES = ["QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]
REBINDABLE = ["CSDK_OPERATE_SUCCESS", "IS_PY2", "IS_PY3", "f", "vqsdklogger", "adapt_to_python3",
              "py_vqi_strerror", "platform", "functools", "data"] + RECORD_NAMES
SDK_FUNCTIONS = sorted(set(REQUEST_RESPONSE.values()) | {
    "vqi_current_pb", "vqi_get_child_orders_pb", "vqi_algo_order_batch_pb", "vqi_get_account_info_pb"})
TEXT_FUNCTIONS = ["vqi_strerror", "vqi_get_ext_errormsg", "vqi_get_orgcode", "vqi_get_encrypted_token",
                  "vqi_get_c_version", "vqi_get_serv_addr"]
STATUS_FUNCTIONS = SDK_FUNCTIONS + ["vqi_get_serv_addr", "vqi_run", "vqi_poll", "vqi_stop", "vqi_set_token",
                                    "vqi_subscribe", "vqi_cancel_orders_pb", "vqi_init", "vqi_send_msg_to_bus"]

# A SystemError is ordinary only when it is the module's report of an SDK
# that broke its contract; any other one is the interpreter's, and a sign of
# a C function that returned without an exception or with one pending.
SDK_FAULT_MARKS = (" returned a NULL text", " reported success with ", "the SDK delivered ")

_pending_error = ctypes.pythonapi.PyErr_Occurred
_pending_error.restype = ctypes.c_void_p
_pending_error.argtypes = []


class Failure(Exception):
    pass


class Fuzzer(object):
    def __init__(self, seed, trace=False):
        self.rng = random.Random(seed)
        self.seed = seed
        self.trace = trace
        self.depth = 0  # nesting of calls made from hostile objects and events
        self.sdk = vqsim.sdk()
        self.sdk.reset()
        self.sdk.recording(False)  # huge buffers would pile up in the call log
        self.saved = dict(vars(c_sdk))
        self.saved_classes = [(getattr(c_sdk, name), dict(vars(getattr(c_sdk, name)))) for name in RECORD_NAMES]
        self.counts = {"calls": 0, "results": 0, "exceptions": 0, "events": 0}
        self.targets = self._targets()
        self.values = self._values()
        wrappers = [getattr(c_sdk, name) for name, decorated in BINDINGS if decorated]
        self.cells = [w.__closure__[0] for w in wrappers]
        self.cell_funcs = [(cell, cell.cell_contents) for cell in self.cells]

    # ---- what is called ----

    def _targets(self):
        targets = []
        for name in sorted(n for n in vars(c_sdk) if not n.startswith("__")):
            obj = getattr(c_sdk, name)
            if callable(obj) and name not in ("functools", "platform"):
                targets.append((name, obj))
        for name, decorated in BINDINGS:
            if decorated:
                targets.append((name + ".<inner>", getattr(c_sdk, name).__closure__[0].cell_contents))
        for cls_name in RECORD_NAMES:
            cls = getattr(c_sdk, cls_name)
            for attr, member in vars(cls).items():
                if isinstance(member, property):
                    targets.append(("%s.%s.fget" % (cls_name, attr), member.fget))
                    if member.fset:
                        targets.append(("%s.%s.fset" % (cls_name, attr), member.fset))
                elif callable(member) and not isinstance(member, type):
                    targets.append(("%s.%s" % (cls_name, attr), member))
        return [(name, fn, self.kinds_of(name, fn)) for name, fn in targets]

    OTHER_KINDS = {"self": "record", "item": "key", "key": "key", "value": "any", "data": "mapping",
                   "status": "int", "cfunname": "any", "func": "callable", "pythonf": "callable"}

    def kinds_of(self, name, fn):
        """The kind of each parameter, or None where the parameters are unknown."""
        if isinstance(fn, type):
            return ["mapping"]
        kinds = []
        base = name.split(".")[0]
        for p in params.params(fn):
            try:
                kinds.append(params.kind(base, p))
            except KeyError:
                if p not in self.OTHER_KINDS:
                    return None
                kinds.append(self.OTHER_KINDS[p])
        return kinds

    # ---- values ----

    def _values(self):
        fuzzer = self

        class Lies(object):
            """Conversions that lie, raise, or call back into the module."""

            def __init__(self, mode):
                self.mode = mode

            def _answer(self, good):
                if self.mode == "raise":
                    raise ZeroDivisionError("hostile")
                if self.mode == "reenter":
                    fuzzer.nested_call()
                    return good
                if self.mode == "wrong_type":
                    return "not a number"
                if self.mode == "huge":
                    return 2 ** 70
                if self.mode == "negative":
                    return -5
                return good

            def __int__(self):
                return self._answer(3)

            def __index__(self):
                return self._answer(4)

            def __float__(self):
                return self._answer(1.5)

            def __len__(self):
                return self._answer(2)

            def __bool__(self):
                return self._answer(True)

            def __repr__(self):
                return "Lies(%s)" % self.mode

        class LyingBytes(bytes):
            def __len__(self):
                return self.claimed

        class LyingByteArray(bytearray):
            def __len__(self):
                if fuzzer.rng.random() < 0.3:
                    try:
                        del self[:]  # shrinks itself while being converted
                    except BufferError:
                        pass
                return self.claimed

        class BytesSub(bytes):
            pass

        class ByteArraySub(bytearray):
            pass

        class StrSub(str):
            pass

        class IntSub(int):
            pass

        class FloatSub(float):
            pass

        class BadEq(object):
            def __eq__(self, other):
                raise ValueError("no comparison")

            __ne__ = __eq__
            __hash__ = object.__hash__

        class Mapping(dict):
            def get(self, key, default=None):
                fuzzer.nested_call()
                return dict.get(self, key, default)

        def hijacked():
            """An object whose conversion slots are functions of the module."""
            slots = {slot: fuzzer.rng.choice(fuzzer.targets)[1] for slot in
                     ("__len__", "__int__", "__float__", "__index__", "__bool__")
                     if fuzzer.rng.random() < 0.5}
            base = fuzzer.rng.choice([object, bytes, bytearray])
            return type("Hijacked", (base,), slots)()

        def lying(cls, data, claimed):
            obj = cls(data)
            obj.claimed = claimed
            return obj

        self.lying = lying
        records = [getattr(c_sdk, name)({"k": 1, "price": 2.5}) for name in RECORD_NAMES]
        self.records = records
        self.mapping = Mapping
        self.int_like = Lies("honest")
        self.float_like = Lies("honest")
        self.classes = dict(LyingBytes=LyingBytes, LyingByteArray=LyingByteArray)
        return [
            lambda: b"",
            lambda: b"\x08\x01req",
            lambda: b"a\0b",
            lambda: bytes(self.rng.randrange(256) for _ in range(self.rng.randrange(64))),
            lambda: HUGE,
            lambda: bytearray(),
            lambda: bytearray(b"buffer\xff"),
            lambda: BytesSub(b"sub"),
            lambda: ByteArraySub(b"subarray"),
            lambda: lying(LyingBytes, b"four", self.rng.choice([0, 2, 4, 5, 2 ** 31 - 1, 2 ** 31, 2 ** 62, -1])),
            lambda: lying(LyingByteArray, b"seven!!", self.rng.choice([0, 3, 7, 8, 2 ** 31])),
            lambda: memoryview(b"view"),
            lambda: "",
            lambda: "ascii text",
            lambda: "n\u00f6n-\u4e2d",
            lambda: "\udcff",
            lambda: StrSub("substr"),
            lambda: None,
            lambda: True,
            lambda: False,
            lambda: self.rng.choice([0, 1, -1, 2 ** 31 - 1, -2 ** 31, 2 ** 31, -2 ** 31 - 1, 2 ** 63 - 1,
                                     2 ** 63, 2 ** 64, -2 ** 64, 10 ** 30]),
            lambda: IntSub(self.rng.choice([5, 2 ** 40])),
            lambda: self.rng.choice([0.0, -0.0, 1.9, -1.9, 2.0 ** 31, 1e300, float("nan"), float("inf"),
                                     float("-inf")]),
            lambda: FloatSub(2.5),
            lambda: 1 + 2j,
            lambda: Lies(self.rng.choice(["raise", "reenter", "wrong_type", "huge", "negative", "honest"])),
            lambda: BadEq(),
            lambda: object(),
            lambda: [1, 2],
            lambda: (),
            lambda: {"price": 1.5, "symbol": "A"},
            lambda: Mapping(price=2),
            lambda: self.rng.choice(self.targets)[1],
            lambda: self.rng.choice(records),
            lambda: c_sdk,
            lambda: repr,
            lambda: (lambda *a, **k: None),
            hijacked,
        ]

    def value(self):
        return self.rng.choice(self.values)()

    def plausible(self, kind):
        """A value of the kind a parameter takes, often an awkward one."""
        rng = self.rng
        if kind == "request":
            return rng.choice([b"", b"\x08\x01req", b"a\0b", HUGE, bytearray(b"buf"), bytearray(), "ascii",
                               self.lying(self.classes["LyingBytes"], b"four", rng.choice([0, 2, 4]))])
        if kind == "text":
            return rng.choice([b"", b"SHSE.600000", b"a\0b", bytearray(b"sym"), bytearray(), "ascii", HUGE])
        if kind == "int":
            return rng.choice([0, 1, -1, 2 ** 31 - 1, -2 ** 31, True, 1.9, -2.5, self.int_like])
        if kind == "float":
            return rng.choice([0.0, 1.5, -0.0, float("nan"), float("inf"), 3, True, 2 ** 40, self.float_like])
        if kind == "bool":
            return rng.choice([True, False, None, 0, 7, "", "x", [], [0]])
        if kind == "callable":
            return rng.choice([self.on_event, None, len, repr, lambda *a: None])
        if kind == "record":
            return rng.choice(self.records)
        if kind == "key":
            return rng.choice(["price", "symbol", "data", "x", 1, None, (1, 2), ["unhashable"], "\u4e2d"])
        if kind == "mapping":
            return rng.choice([{}, {"price": 1.5, "symbol": "A"}, self.mapping(price=2), rng.choice(self.records),
                               object(), None])
        return self.value()

    # ---- calls ----

    def arguments(self, name, fn, kinds):
        rng = self.rng
        names = params.params(fn)
        if kinds is not None and rng.random() < 0.7:
            # the right count, mostly the right kinds, by position or by keyword
            values = [self.plausible(k) if rng.random() < 0.85 else self.value() for k in kinds]
            if names and rng.random() < 0.2:
                return [], dict(zip(names, values))
            return values, {}
        n = len(names)
        count = rng.choice([n, n, max(n - 1, 0), n + 1, 0, rng.randrange(6)])
        args = [self.value() for _ in range(count)]
        kwargs = {}
        if rng.random() < 0.35:
            pool = names + ["bogus", "req", "self", "data", "x"]
            for _ in range(rng.randrange(1, 4)):
                kwargs[rng.choice(pool)] = self.value()
        if rng.random() < 0.03:
            kwargs[rng.choice([1, b"bytes", None])] = 1
        return args, kwargs

    def call(self, name, fn, kinds):
        args, kwargs = self.arguments(name, fn, kinds)
        self.last = (name, args, kwargs)
        self.counts["calls"] += 1
        if self.trace:
            sys.__stderr__.write("%d %s %r %r\n" % (self.counts["calls"], name, [repr(a)[:60] for a in args],
                                                    sorted(repr(k) for k in kwargs)))
            sys.__stderr__.flush()
        try:
            fn(*args, **kwargs)
        except Exception as e:  # noqa: BLE001 - every ordinary exception is an outcome
            self.counts["exceptions"] += 1
            if isinstance(e, SystemError) and not any(m in str(e) for m in SDK_FAULT_MARKS):
                raise Failure("%s raised the interpreter's SystemError: %s" % (name, e))
        else:
            self.counts["results"] += 1
        try:
            pending = _pending_error()
        except BaseException as e:  # ctypes raises an exception left pending
            raise Failure("%s returned a result with an exception pending: %r" % (name, e))
        if pending:
            raise Failure("%s left an exception pending" % name)

    def nested_call(self):
        """A call made from inside a conversion, a mapping or an event."""
        if self.depth >= 2:
            return
        self.depth += 1
        try:
            name, fn, kinds = self.rng.choice(self.targets)
            if name not in ("py_vqi_run", "vqi_poll"):
                self.call(name, fn, kinds)
        finally:
            self.depth -= 1

    # ---- the world around the calls ----

    def on_event(self, text, data):
        self.counts["events"] += 1
        if self.rng.random() < 0.3:
            raise KeyError("event handler fails")
        self.nested_call()

    def script_sdk(self):
        r = self.rng.random()
        sdk = self.sdk
        if r < 0.15:
            sdk.set_status(self.rng.choice(STATUS_FUNCTIONS), self.rng.choice([0, 0, 1, -1, 7, 2 ** 31 - 1]))
        elif r < 0.25:
            sdk.set_response(self.rng.choice(SDK_FUNCTIONS), self.rng.choice([b"", b"\0resp\0", HUGE[:100000]]))
        elif r < 0.32:
            sdk.set_text(self.rng.choice(TEXT_FUNCTIONS), self.rng.choice([b"", b"text", b"\xff\xfe", None]))
        elif r < 0.40:
            fn = self.rng.choice(SDK_FUNCTIONS)
            if self.rng.random() < 0.5:
                sdk.break_null_response(fn, self.rng.choice([1, 5, 2 ** 31 - 1]))
            else:
                sdk.break_negative_length(fn, self.rng.choice([-1, -2 ** 31]))
        elif r < 0.45:
            sdk.break_null_text(self.rng.choice(TEXT_FUNCTIONS))
        elif r < 0.52:
            self.queue_events()
            if self.rng.random() < 0.6:
                self.saved["py_vqi_run" if self.rng.random() < 0.7 else "vqi_poll"]()
        elif r < 0.60:
            sdk.reset()
            sdk.recording(False)

    def queue_events(self):
        """A few events, each handled by a callable that may call one more binding;
        a nested run drains the rest, so the recursion is bounded by the queue."""
        self.saved["py_vqi_set_data_callback"](self.on_event)
        for _ in range(self.rng.randrange(1, 4)):
            kind = self.rng.random()
            if kind < 0.5:
                self.sdk.queue_event(b"event", bytes(self.rng.randrange(256) for _ in range(8)))
            elif kind < 0.65:
                self.sdk.queue_event(b"\xff\xfe bad utf-8", b"")
            elif kind < 0.8:
                self.sdk.queue_event(b"negative", b"", self.rng.choice([-1, -2 ** 31]))
            elif kind < 0.9:
                self.sdk.queue_event(None, b"no text")
            else:
                self.sdk.queue_event(b"null data", None, 3)

    def rebind_globals(self):
        name = self.rng.choice(REBINDABLE)
        r = self.rng.random()
        if r < 0.25:
            vars(c_sdk).pop(name, None)
        elif r < 0.6:
            setattr(c_sdk, name, self.rng.choice(self.targets)[1])
        else:
            setattr(c_sdk, name, self.value())

    def tangle(self):
        """Points a decorator's wrapper at another function, or a record at another record."""
        if self.rng.random() < 0.5:
            cell = self.rng.choice(self.cells)
            cell.cell_contents = self.rng.choice(self.targets)[1]
        else:
            record = self.rng.choice(self.records)
            object.__setattr__(record, "data", self.rng.choice(self.records))

    def untangle(self):
        for cell, func in self.cell_funcs:
            cell.cell_contents = func
        for record in self.records:
            object.__setattr__(record, "data", {"k": 1, "price": 2.5})

    def restore_globals(self):
        ns = vars(c_sdk)
        for name in list(ns):
            if name not in self.saved:
                del ns[name]
        for name, value in self.saved.items():
            if ns.get(name, self) is not value:
                ns[name] = value
        # A record method called with a class as `self` assigns class
        # attributes, as the same Python code would (`data` among them).
        for cls, members in self.saved_classes:
            current = vars(cls)
            for name in [n for n in current if n not in members]:
                delattr(cls, name)
            for name, value in members.items():
                if current.get(name, self) is not value:
                    setattr(cls, name, value)

    def drain(self):
        """Delivers what is still queued, with an innocent callable."""
        self.saved["py_vqi_set_data_callback"](lambda text, data: None)
        self.sdk.reset()
        self.sdk.recording(False)

    # ---- the run ----

    def run(self, iterations, time_limit, hang_timeout):
        deadline = time.monotonic() + time_limit if time_limit else None
        for i in range(iterations):
            if deadline and time.monotonic() > deadline:
                break
            self.script_sdk()
            rebound = self.rng.random() < 0.1
            if rebound:
                self.rebind_globals()
            if self.rng.random() < 0.03:
                self.tangle()
            name, fn, kinds = self.rng.choice(self.targets)
            self.call(name, fn, kinds)
            if rebound or self.rng.random() < 0.02:
                self.restore_globals()
            if i % 500 == 499:
                self.restore_globals()
                self.untangle()
                self.drain()
                gc.collect()
                # re-armed with progress: only 500 calls without end are a hang
                faulthandler.dump_traceback_later(hang_timeout, exit=True, file=sys.__stderr__)
        self.restore_globals()
        self.untangle()
        self.drain()
        return self.counts


class NullStream(object):
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--time-limit", type=float, default=0, help="stop after this many seconds")
    parser.add_argument("--hang-timeout", type=float, default=120, help="seconds for 500 calls: longer is a hang")
    parser.add_argument("--trace", action="store_true", help="print every call to stderr before making it")
    options = parser.parse_args(argv)

    faulthandler.enable(file=sys.__stderr__)
    faulthandler.dump_traceback_later(options.hang_timeout, exit=True, file=sys.__stderr__)
    sys.setrecursionlimit(400)  # nested calls stay shallow: a runaway C recursion shows early
    fuzzer = Fuzzer(options.seed, options.trace)
    # The event bridge and the hostile objects print reports; keep them out.
    sys.stderr = NullStream()
    sys.unraisablehook = lambda unraisable: None
    started = time.monotonic()
    try:
        counts = fuzzer.run(options.iterations, options.time_limit, options.hang_timeout)
    except Failure as e:
        sys.stderr = sys.__stderr__
        name, args, kwargs = fuzzer.last
        print("fuzz: seed %d: %s\n  last call: %s(*%r, **%r)" % (options.seed, e, name, [repr(a)[:80] for a in args],
                                                                {repr(k): repr(v)[:80] for k, v in kwargs.items()}),
              file=sys.__stderr__)
        return 1
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.stderr = sys.__stderr__
    print("fuzz: seed %d: %d calls (%d results, %d exceptions), %d events in %.1fs" % (
        options.seed, counts["calls"], counts["results"], counts["exceptions"], counts["events"],
        time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
