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

With --hostile, every hook the module can trigger is hostile as well: the
comparisons of statuses and success values, __len__, __int__, __index__,
__float__, __bool__ and __format__ of arguments, a str subclass's encode, the
decorated function in a wrapper's cell, the event callable, IS_PY2's truth
value, the logger and its debug, a fake py_vqi_strerror and the text it
returns, a fake platform's uname, and every method a record calls on its
mapping (and the mapping's keys).  Each such hook may, at random, rebind,
delete or replace with an object of another type any module global; pull
from under the call the object the module is using (a record's `data`, the
wrapper's cell contents, a bytearray argument's size, `f`); or re-enter the
module (a binding, the run loop, a record method), to a bounded depth.  The
hostile objects the driver installs are held only where the module finds
them, so that such a hook drops their last reference.  Globals and record
classes are restored after every call a hook disturbed.

Every call must end in a result or an ordinary exception (an Exception, not
a SystemError of the interpreter's own, and no exception left pending after
a result).  A crash ends the process, a hang is cut off by faulthandler's
watchdog: both give a non-zero exit status, with the seed and the last call
on standard error.

    python3.8 tests/fuzz_driver.py --iterations 100000 --seed 7 [--hostile]
"""
import argparse
import builtins
import ctypes
import faulthandler
import gc
import operator
import os
import random
import sys
import time
import traceback

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


# What hostile hooks rebind, delete or replace: every global the module reads
# at call time, and the names around them.
HOSTILE_GLOBALS = ["CSDK_OPERATE_SUCCESS", "IS_PY2", "IS_PY3", "f", "vqsdklogger", "py_vqi_strerror", "platform",
                   "adapt_to_python3", "functools", "data", "py_vqi_set_data_callback"] + RECORD_NAMES
# Called more often in hostile mode: the helpers run the most hooks per call.
HELPERS = ["c_status_fail", "c_status_fail", "c_status_ok", "is_windows", "is_linux", "py_vqi_run", "vqi_poll",
           "adapt_to_python3"]
FIELD_NAMES = ["price", "symbol", "bid_p", "ask_v", "quotes", "eob", "open", "receive_local_time", "data", "get"]


class Failure(Exception):
    pass


class HostileError(Exception):
    """Raised by hostile hooks: an ordinary outcome."""


class Fuzzer(object):
    def __init__(self, seed, trace=False, hostile=False):
        self.rng = random.Random(seed)
        self.seed = seed
        self.trace = trace
        self.hostile = hostile
        self.depth = 0  # nesting of calls made from hostile objects and events
        self.max_depth = 3 if hostile else 2
        self.active = False  # hostile hooks act only while the run is calling the module
        self.quiet = 0  # ... and not while the driver makes values
        self.where = {}  # with --trace: how often each kind of hook ran
        self.dirty = False  # a hook disturbed globals, cells or records: restore after the call
        self.stack = []  # (name, args, kwargs) of the calls in progress, outermost first
        self.in_use = []  # per call in progress: the records, bytearrays and cells it uses
        self.failures = []  # found anywhere, even where the module swallows the exception
        self.sdk = vqsim.sdk()
        self.sdk.reset()
        # Huge buffers would pile up in the call log.  In hostile mode it is
        # kept, and cleared after every call: recording is what makes the
        # stand-in read every buffer it was given, as the SDK would.
        self.sdk.recording(hostile)
        self.saved = dict(vars(c_sdk))
        self.saved_classes = [(getattr(c_sdk, name), dict(vars(getattr(c_sdk, name)))) for name in RECORD_NAMES]
        self.record_types = tuple(cls for cls, _ in self.saved_classes)
        self.class_members = dict(self.saved_classes)
        self.dying = 0  # finalizers running mischief
        self.counts = {"calls": 0, "results": 0, "exceptions": 0, "events": 0, "hooks": 0, "mischief": 0}
        # SDK threads calling back on their own, started by hostile hooks; not
        # under the debug allocator up to 3.11, which rejects their delivery at
        # once with the caller's thread state (with CSDK_RUN_UNLOCKED=1 they
        # deliver with thread states of their own).
        self.sdk_threads = hostile and (sys.version_info >= (3, 12) or os.environ.get("CSDK_RUN_UNLOCKED") == "1" or
                                        not os.environ.get("PYTHONMALLOC", "").startswith("debug"))
        self.targets = self._targets()
        self.values = self._values()
        wrappers = [getattr(c_sdk, name) for name, decorated in BINDINGS if decorated]
        self.cell_funcs = [(w.__closure__[0], w.__closure__[0].cell_contents) for w in wrappers]
        self.inner = [func for _, func in self.cell_funcs]
        self.function_type = type(self.inner[0])
        if hostile:
            self.kit = self._hostile_kit()
            self.targets += self._hostile_targets()
            self.values += self.kit.values
            self.helpers = [t for t in self.targets for name in HELPERS if t[0] == name] + [
                t for t in self.targets if t[0].startswith("op.")]

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
        return self.make(self.rng.choice(self.values))

    def make(self, factory):
        """factory(), with the hostile hooks it may trigger (a key's hash) kept quiet."""
        self.quiet += 1
        try:
            return factory()
        finally:
            self.quiet -= 1

    def plausible(self, kind):
        """A value of the kind a parameter takes, often an awkward one."""
        rng = self.rng
        if self.hostile and kind in self.kit.plausible and rng.random() < 0.35:
            return self.make(rng.choice(self.kit.plausible[kind]))
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

    # ---- hostile mode: the objects ----

    def _hostile_kit(self):
        """Objects whose every hook the module can trigger calls mischief() first."""
        fuzzer = self
        rng = self.rng

        def hook(where):
            fuzzer.mischief(where)

        def dying(self):
            """__del__: the module drops the last reference to many objects
            (and its allocations run the cyclic collector), so a finalizer is
            a hook too, run wherever the module releases something."""
            if fuzzer.active and not fuzzer.quiet and fuzzer.dying < 2 and rng.random() < 0.3:
                fuzzer.dying += 1
                try:
                    hook("__del__")
                finally:
                    fuzzer.dying -= 1

        def answer(good, *others):
            """Mostly the honest answer; sometimes another one, or an exception."""
            if not fuzzer.active or fuzzer.quiet:
                return good
            r = rng.random()
            if r < 0.06:
                raise HostileError("hostile hook")
            if others and r < 0.2:
                return rng.choice(others)
            return good

        class Truth(object):
            """A truth value whose __bool__ is a hook: IS_PY2, a comparison's result, a flag."""

            def __init__(self, value):
                self.value = value

            def __bool__(self):
                hook("__bool__")
                return answer(self.value, not self.value, "not a bool", 1)

        class Value(object):
            """Every comparison and conversion a hook: a success value, a status, an argument."""

            def __init__(self, value):
                self.value = value

            __del__ = dying

            def _compare(self, other, where):
                hook(where)
                equal = rng.random() < 0.5
                return answer(equal, NotImplemented, Truth(equal), Value(0), None)

            def __eq__(self, other):
                return self._compare(other, "__eq__")

            def __ne__(self, other):
                return self._compare(other, "__ne__")

            __hash__ = object.__hash__

            def __bool__(self):
                hook("__bool__")
                return answer(bool(self.value), "not a bool")

            def __len__(self):
                hook("__len__")
                return answer(abs(self.value), -1, 2 ** 70, "x")

            def __int__(self):
                hook("__int__")
                return answer(self.value, 2 ** 70, "x", 1.5)

            def __index__(self):
                hook("__index__")
                return answer(self.value, 2 ** 70, "x")

            def __float__(self):
                hook("__float__")
                return answer(float(self.value), "x", 1)

            def __format__(self, spec):
                hook("__format__")
                return answer("Value", 5)

        class Int(int):
            """A status whose comparisons, truth and conversions are hooks."""

            def __eq__(self, other):
                hook("__eq__")
                return answer(int.__eq__(self, other), NotImplemented, Truth(True))

            def __ne__(self, other):
                hook("__ne__")
                return answer(int.__ne__(self, other), NotImplemented, Truth(False))

            __hash__ = int.__hash__

            def __bool__(self):
                hook("__bool__")
                return answer(int.__bool__(self))

            def __index__(self):
                hook("__index__")
                return answer(int(self), 2 ** 70)

            def __format__(self, spec):
                hook("__format__")
                return answer(int.__format__(self, spec))

        class Str(str):
            """A str subclass whose encode is a hook."""

            def encode(self, *args, **kwargs):
                hook("encode")
                return answer(str.encode(self, "ascii", "replace"), str(self), None, bytearray(b"x"), Value(0))

            def __eq__(self, other):
                hook("str.__eq__")
                return answer(str.__eq__(self, other), NotImplemented)

            def __ne__(self, other):
                hook("str.__ne__")
                return answer(str.__ne__(self, other), NotImplemented, Truth(True))

            __hash__ = str.__hash__

        class Bytes(bytes):
            def __len__(self):
                hook("__len__")
                n = bytes.__len__(self)
                return answer(n, 0, n + 1, -1)

        class ByteArray(bytearray):
            def __len__(self):
                hook("__len__")
                n = bytearray.__len__(self)
                return answer(n, 0, n + 3)

        class Text(bytes):
            """What a fake py_vqi_strerror returns: its decode is a hook."""

            __del__ = dying

            def decode(self, *args, **kwargs):
                hook("decode")
                return answer(bytes.decode(self, "utf-8", "replace"), Value(0), None)

        class Callable(object):
            """A callable hook: the decorated function in a cell, the event callable,
            py_vqi_strerror, a logger's debug.  Mostly forwards to `forward`."""

            def __init__(self, forward=None, returns=None):
                self.forward = forward
                self.returns = returns

            __del__ = dying

            def __call__(self, *args, **kwargs):
                hook("call")
                if self.forward is not None and rng.random() < 0.8:
                    return self.forward(*args, **kwargs)
                return answer(self.returns, Value(0), None)

        def callable_(forward=None, returns=None):
            """A Callable, or one wrapped by adapt_to_python3: a wrapper held only
            where it is installed, which reads its own cell after IS_PY2's
            truth test (a hook)."""
            c = Callable(forward, returns)
            return fuzzer.saved["adapt_to_python3"](c) if rng.random() < 0.4 else c

        class Logger(object):
            """vqsdklogger: every attribute read is a hook."""

            def __getattribute__(self, name):
                hook("logger." + name)
                if name != "debug" or rng.random() < 0.05:
                    raise AttributeError(name)
                return answer(callable_(), None, 5)

        class Name(str):
            def lower(self):
                hook("lower")
                return answer(str.lower(self), Value(0), 5)

        class Uname(object):
            def __getitem__(self, index):
                hook("uname[]")
                return answer(Name(rng.choice(["Linux", "Windows"])), "windows", 7, Value(0))

        class Platform(object):
            """A fake platform module."""

            def uname(self):
                hook("uname")
                return answer(Uname(), ("Linux", "host"), (), 5)

        class Mapping(dict):
            """A record's data: every method a record calls on it is a hook."""

            __del__ = dying

            def get(self, key, default=None):
                hook("get")
                return answer(dict.get(self, key, default), Value(1))

            def __setitem__(self, key, value):
                hook("__setitem__")
                answer(None)
                dict.__setitem__(self, key, value)

            def __contains__(self, key):
                hook("__contains__")
                return answer(dict.__contains__(self, key), Truth(True), "x")

            def __str__(self):
                hook("__str__")
                return answer("Mapping", 5)

            def __repr__(self):
                hook("__repr__")
                return answer("Mapping()", None)

        class LookedUpMapping(Mapping):
            """The same, with the lookup of each of those methods a hook as well."""

            def __getattribute__(self, name):
                hook("mapping." + name)
                return dict.__getattribute__(self, name)

        class Key(object):
            """A key whose hash and comparison are hooks."""

            def __hash__(self):
                hook("__hash__")
                return answer(hash("price"), 0)

            def __eq__(self, other):
                hook("__eq__")
                return answer(rng.random() < 0.5, NotImplemented, Truth(True))

        def mapping():
            cls = rng.choice([Mapping, LookedUpMapping])
            return cls(price=Value(2), symbol=Str("A"), quotes=rng.choice([[], Mapping()]))

        def record(nested=0):
            """A fresh record whose data only the record holds.  Its slot is filled
            directly: the module's own __init__ may be unbound by a hook."""
            cls = rng.choice(fuzzer.record_types) if rng.random() < 0.8 else subclass()
            r = rng.random()
            if r < 0.6:
                data = mapping()
            elif r < 0.75 and nested < 2:
                data = record(nested + 1)
            elif r < 0.9:
                data = {"price": Value(1.5), Key(): 1}
            else:
                data = fuzzer.value()
            rec = object.__new__(cls)
            if cls not in fuzzer.record_types:
                try:
                    cls.__init__(rec, data)  # which puts the iteration guard on the fresh type
                except Exception:  # noqa: BLE001 - a hook's doing; the slot is filled below
                    pass
            fuzzer.data_slot(rec).__set__(rec, data)
            return rec

        def subclass():
            """A fresh subclass of a record class, its `data` sometimes a property
            with hooks around the base class's slot."""
            base = rng.choice(fuzzer.record_types)
            members = {"__slots__": ()}
            if rng.random() < 0.4:
                slot = fuzzer.class_members[base]["data"]

                def get(self):
                    hook("data")
                    return slot.__get__(self, type(self))

                def put(self, value):
                    hook("data=")
                    slot.__set__(self, value)
                members["data"] = property(get, put)
            return type(base.__name__, (base,), members)

        kit = type("Kit", (), {})()
        kit.__dict__.update(
            Truth=Truth, Value=Value, Int=Int, Str=Str, Bytes=Bytes, ByteArray=ByteArray, Text=Text,
            Callable=Callable, callable=callable_, Logger=Logger, Platform=Platform, Mapping=Mapping, Key=Key,
            mapping=mapping, record=record, subclass=subclass)
        kit.plausible = {
            "request": [lambda: Bytes(b"req"), lambda: ByteArray(b"request"), lambda: Str("req"),
                        lambda: bytearray(b"plain")],
            "text": [lambda: Str("SHSE.600000"), lambda: ByteArray(b"sym"), lambda: bytearray(b"sym")],
            "int": [lambda: Int(rng.choice([0, 1, 7])), lambda: Value(rng.choice([0, 3]))],
            "float": [lambda: Value(rng.choice([0, 2]))],
            "bool": [lambda: Truth(rng.random() < 0.5), lambda: Value(1)],
            "callable": [lambda: callable_(forward=fuzzer.on_event), callable_],
            "record": [record, record],
            "key": [Key, lambda: Str(rng.choice(FIELD_NAMES)), lambda: rng.choice(FIELD_NAMES)],
            "mapping": [mapping, record, lambda: {"price": Value(1)}],
            "any": [lambda: Value(0), lambda: Int(0), lambda: Str("x")],
        }
        kit.values = [
            lambda: Value(rng.choice([0, 1, -3])),
            lambda: Int(rng.choice([0, 1, 5])),
            lambda: Truth(rng.random() < 0.5),
            lambda: Str(rng.choice(["s", "n\u00f6n"])),
            lambda: Bytes(b"bytes"),
            lambda: ByteArray(b"bytearray"),
            lambda: bytearray(b"plain bytearray"),
            lambda: callable_(forward=rng.choice(fuzzer.targets)[1]),
            Key,
            mapping,
            record,
        ]
        return kit

    def hostile_global(self, name):
        """A fresh object for the global `name`, of the kind the module expects there,
        whose hooks are hostile; nothing else holds it."""
        kit, rng = self.kit, self.rng
        if name == "CSDK_OPERATE_SUCCESS":
            return rng.choice([kit.Value(0), kit.Int(0), kit.Int(1), kit.Truth(True), 0, 2 ** 70])
        if name in ("IS_PY2", "IS_PY3"):
            return rng.choice([kit.Truth(False), kit.Truth(True), kit.Value(0)])
        if name == "f":
            return rng.choice([kit.callable(forward=self.on_event), self.on_event, kit.callable(), None])
        if name == "vqsdklogger":
            return kit.Logger()
        if name == "py_vqi_strerror":
            return kit.callable(forward=self.saved["py_vqi_strerror"], returns=kit.Text(b"hostile error"))
        if name == "platform":
            return kit.Platform()
        if name in RECORD_NAMES:
            return rng.choice([kit.subclass(), rng.choice(self.record_types)])
        return self.value()

    def _hostile_targets(self):
        """Operations that reach the record classes through the interpreter's slots."""
        ops = [
            ("op.getattr", getattr, ["record", "key"]),
            ("op.getitem", operator.getitem, ["record", "key"]),
            ("op.setitem", operator.setitem, ["record", "key", "any"]),
            ("op.setattr", setattr, ["record", "key", "any"]),
            ("op.contains", operator.contains, ["record", "key"]),
            ("op.str", str, ["record"]),
            ("op.repr", repr, ["record"]),
            ("op.fresh_wrapper", self.fresh_wrapper, ["any", "any", "any"]),
        ]
        return ops

    def fresh_wrapper(self, *args, **kwargs):
        """adapt_to_python3 over a hostile callable that only the wrapper's cell
        holds, called at once."""
        kit = self.kit
        wrapper = self.saved["adapt_to_python3"](kit.Callable(forward=self.rng.choice(self.inner)))
        self.in_use[-1].append(wrapper.__closure__[0])
        return wrapper(*args, **kwargs)

    # ---- hostile mode: what the hooks do ----

    def mischief(self, where):
        """Called first by every hostile hook while the run calls the module."""
        if not self.active or self.quiet:
            return
        # Python code never runs with an exception set; a hook that does was
        # called by the module with one pending.
        self.check_no_pending_error("a hook (%s) was called with an exception pending" % where)
        rng = self.rng
        self.counts["hooks"] += 1
        if self.trace:
            self.where[where] = self.where.get(where, 0) + 1
        for _ in range(rng.choice((0, 0, 1, 1, 1, 2, 3))):
            self.counts["mischief"] += 1
            self.dirty = True
            r = rng.random()
            try:
                if r < 0.02 and self.sdk_threads and self.sdk.running_threads() < 4:
                    # slower than the events are handled, lest each delivery outgrow the last
                    endless = rng.random() < 0.3
                    self.sdk.start_threads(b"thread event", rng.randrange(1, 3), None if endless else
                                           rng.choice([1, 5, 50]), 2000 if endless else rng.choice([0, 100]))
                elif r < 0.3:
                    self.disturb_global()
                elif r < 0.6:
                    self.pull_in_use()
                elif r < 0.7:
                    self.disturb_class()
                else:
                    self.reenter()
            except RecursionError:
                pass

    def disturb_global(self):
        ns = vars(c_sdk)
        name = self.rng.choice(HOSTILE_GLOBALS)
        r = self.rng.random()
        if r < 0.1:
            # where the module looks once the global is gone
            ns.pop(name, None)
            vars(builtins)[name] = self.hostile_global(name)
        elif r < 0.25:
            ns.pop(name, None)
        elif r < 0.6:
            ns[name] = self.hostile_global(name)
        elif r < 0.75:
            ns[name] = self.saved[name]
        else:
            ns[name] = self.value()  # most often of another type

    def disturb_class(self):
        """Rebinds or deletes a member of a record class: a field, `data`, a
        method.  (Not __getattr__ or __getattribute__: the interpreter would
        replace the classes' own attribute reader for good.)"""
        rng = self.rng
        cls = rng.choice(self.record_types)
        members = self.class_members[cls]
        name = rng.choice([n for n in members if n not in ("__getattr__", "__getattribute__", "__init__",
                                                           "__module__", "__slots__", "__dict__", "__doc__")])
        r = rng.random()
        # The interpreter (up to 3.12) crashes when a class attribute's old
        # value, dropped while the class is updated, runs code that reads the
        # attribute again: its type cache still hands out the dying value.
        # The old value is dropped once the update is done.
        replaced = vars(cls).get(name)
        if r < 0.4:
            if name in vars(cls):
                delattr(cls, name)
        elif name == "__getitem__":
            # An item reader that never raises makes `in` and iteration
            # endless, as for any class; a hook fails now and then.
            setattr(cls, name, self.kit.callable())
        elif r < 0.7:
            setattr(cls, name, rng.choice([property(self.kit.Callable(returns=self.kit.Value(1))),
                                           self.kit.callable(), self.kit.Value(0)]))
        else:
            setattr(cls, name, self.value())
        del replaced

    def pull_in_use(self):
        """Rebinds, deletes or resizes what a call in progress is using."""
        rng, kit = self.rng, self.kit
        victims = [v for frame in self.in_use for v in frame]
        if not victims:
            return self.disturb_global()
        v = rng.choice(victims)
        r = rng.random()
        if type(v).__name__ == "cell":
            if r < 0.3:
                try:
                    del v.cell_contents
                except ValueError:  # already empty
                    pass
            elif r < 0.8:
                v.cell_contents = kit.callable(forward=rng.choice(self.inner))
            else:
                v.cell_contents = self.value()
        elif issubclass(type(v), bytearray):
            try:
                if r < 0.4:
                    del v[:]
                elif r < 0.7:
                    v.extend(b"\xee" * rng.choice([1, 100, 5000]))
                else:
                    v[:] = b"z"
            except BufferError:  # lent to the SDK call
                pass
        elif r < 0.3:
            try:
                self.data_slot(v).__delete__(v)
            except AttributeError:
                pass
        else:
            self.data_slot(v).__set__(v, self.make(rng.choice([kit.mapping, kit.record, dict, self.value])))

    def data_slot(self, record):
        """The `data` slot of a record's class as made, whatever a hook did to the class."""
        for cls in type(record).__mro__:
            if cls in self.class_members:
                return self.class_members[cls]["data"]

    def reenter(self):
        """A call back into the module from inside a hook."""
        if self.depth >= self.max_depth:
            return
        rng = self.rng
        r = rng.random()
        if r < 0.15:
            self.queue_events(register=False)
            name = rng.choice(["py_vqi_run", "vqi_poll"])
            self.nested(name, self.saved[name], [], {})
        elif r < 0.25:
            self.nested("py_vqi_set_data_callback", self.saved["py_vqi_set_data_callback"],
                        [self.hostile_global("f")], {})
        else:
            self.nested_call()

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
        self.call_with(name, fn, args, kwargs)

    def call_with(self, name, fn, args, kwargs):
        self.last = (name, args, kwargs)
        self.counts["calls"] += 1
        if self.trace:
            sys.__stderr__.write("%d %s%s %s %s\n" % (self.counts["calls"], "  " * self.depth, name,
                                                      [describe(a) for a in args], sorted(map(describe, kwargs))))
            sys.__stderr__.flush()
        self.stack.append(self.last)
        self.in_use.append(self.used_by(fn, args, kwargs) if self.hostile else [])
        try:
            fn(*args, **kwargs)
        except Exception as e:  # noqa: BLE001 - every ordinary exception is an outcome
            self.counts["exceptions"] += 1
            if isinstance(e, SystemError) and not any(m in str(e) for m in SDK_FAULT_MARKS):
                self.fail("%s raised the interpreter's SystemError: %s" % (name, e))
        else:
            self.counts["results"] += 1
        finally:
            self.in_use.pop()
        try:
            self.check_no_pending_error("%s returned a result with an exception pending" % name)
        finally:
            self.stack.pop()

    def check_no_pending_error(self, what):
        try:
            pending = _pending_error()
        except BaseException as e:  # ctypes raises an exception left pending
            self.fail("%s: %r" % (what, e))
        if pending:
            self.fail(what)

    def fail(self, message):
        """Records a failure, which the run reports even when the exception
        raised here ends up swallowed by the module (an event, a hook)."""
        calls = ["%s(*%s, **%s)" % (name, [describe(a) for a in args], {describe(k): describe(v) for k, v in
                                                                         kwargs.items()})
                 for name, args, kwargs in self.stack]
        self.failures.append("%s\n  calls in progress, outermost first:\n    %s" % (message, "\n    ".join(calls)))
        raise Failure(message)

    def used_by(self, fn, args, kwargs):
        """What a call uses that a hostile hook may pull from under it."""
        used = [v for v in list(args) + list(kwargs.values())
                if issubclass(type(v), self.record_types) or issubclass(type(v), bytearray)]
        if type(fn) is self.function_type and fn.__closure__:
            used.append(fn.__closure__[0])
        return used

    def nested_call(self):
        """A call made from inside a conversion, a mapping or an event."""
        if self.depth >= self.max_depth:
            return
        name, fn, kinds = self.rng.choice(self.targets)
        if self.hostile or name not in ("py_vqi_run", "vqi_poll"):
            self.nested(name, fn, *self.arguments(name, fn, kinds))

    def nested(self, name, fn, args, kwargs):
        if self.depth >= self.max_depth:
            return
        self.depth += 1
        try:
            self.call_with(name, fn, args, kwargs)
        finally:
            self.depth -= 1

    # ---- the world around the calls ----

    def on_event(self, text, data):
        self.counts["events"] += 1
        if self.hostile:
            self.mischief("f")
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
                name = "py_vqi_run" if self.rng.random() < 0.7 else "vqi_poll"
                if self.hostile:
                    self.call_with(name, self.saved[name], [], {})
                else:
                    self.saved[name]()
        elif r < 0.60:
            sdk.reset()
            sdk.recording(self.hostile)

    def queue_events(self, register=True):
        """A few events, each handled by a callable that may call one more binding;
        a nested run drains the rest, so the recursion is bounded by the queue."""
        if register:
            callback = self.on_event
            if self.hostile and self.rng.random() < 0.5:
                callback = self.kit.callable(forward=self.on_event)  # held by `f` alone
            self.saved["py_vqi_set_data_callback"](callback)
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
            cell, func = self.rng.choice(self.cell_funcs)
            if self.hostile and self.rng.random() < 0.7:
                # held by the cell alone, forwarding to the function it replaces
                # (a hook may have emptied the cell: then to the one it held first)
                try:
                    func = cell.cell_contents
                except ValueError:
                    pass
                cell.cell_contents = self.kit.callable(forward=func)
            else:
                cell.cell_contents = self.rng.choice(self.targets)[1]
        else:
            record = self.rng.choice(self.records)
            self.data_slot(record).__set__(record, self.rng.choice(self.records))

    def untangle(self):
        for cell, func in self.cell_funcs:
            cell.cell_contents = func
        for record in self.records:
            self.data_slot(record).__set__(record, {"k": 1, "price": 2.5})

    def restore_globals(self):
        for name in HOSTILE_GLOBALS:
            vars(builtins).pop(name, None)
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
            replaced = list(current.values())  # dropped after the update, as in disturb_class
            for name in [n for n in current if n not in members]:
                delattr(cls, name)
            for name, value in members.items():
                if current.get(name, self) is not value:
                    setattr(cls, name, value)
            del replaced

    def drain(self):
        """Delivers what is still queued, with an innocent callable."""
        self.saved["py_vqi_set_data_callback"](lambda text, data: None)
        self.sdk.reset()  # stops the SDK threads
        self.saved["py_vqi_set_data_callback"](lambda text, data: None)
        self.sdk.recording(self.hostile)

    # ---- the run ----

    def hostile_call(self):
        """One call of the run in hostile mode: a few globals made hostile
        first, all of them restored afterwards if a hook disturbed anything."""
        rng = self.rng
        ns = vars(c_sdk)
        for name in HOSTILE_GLOBALS[:7]:
            if rng.random() < 0.3:
                ns[name] = self.hostile_global(name)  # held by the namespace alone
                self.dirty = True
        if rng.random() < 0.1:
            self.queue_events(register=rng.random() < 0.5)
        name, fn, kinds = rng.choice(self.helpers if rng.random() < 0.25 else self.targets)
        self.active = True
        try:
            self.call(name, fn, kinds)
        except Failure:
            pass  # reported below
        finally:
            self.active = False
        self.sdk.clear_calls()
        if self.failures:
            raise Failure(self.failures[0])
        if self.dirty:
            self.restore_globals()
            self.untangle()
            self.dirty = False

    def run(self, iterations, time_limit, hang_timeout):
        deadline = time.monotonic() + time_limit if time_limit else None
        for i in range(iterations):
            if deadline and time.monotonic() > deadline:
                break
            if self.hostile:
                self.active = True
            try:
                self.script_sdk()
            finally:
                self.active = False
            rebound = self.rng.random() < 0.1
            if rebound:
                self.rebind_globals()
            if self.rng.random() < 0.03:
                self.tangle()
            if self.hostile:
                self.hostile_call()
            else:
                name, fn, kinds = self.rng.choice(self.targets)
                self.call(name, fn, kinds)
            if self.failures:  # from a nested call, whose Failure the module may have swallowed
                raise Failure(self.failures[0])
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


def describe(value):
    """repr() of the plain values; only the type of the others, whose repr()
    may be one of the module's functions or a hostile hook."""
    if type(value) in (tuple, list):
        return "%s(%s)" % (type(value).__name__, ", ".join(describe(v) for v in value[:6]))
    if type(value) in (bytes, bytearray, str, int, float, bool, complex, type(None)):
        text = repr(value)
        return text if len(text) <= 60 else text[:57] + "..."
    return "<%s>" % type(value).__name__


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
    parser.add_argument("--hostile", action="store_true",
                        help="every hook the module triggers may rebind globals, pull objects in use, re-enter")
    options = parser.parse_args(argv)

    faulthandler.enable(file=sys.__stderr__)
    faulthandler.dump_traceback_later(options.hang_timeout, exit=True, file=sys.__stderr__)
    sys.setrecursionlimit(400)  # nested calls stay shallow: a runaway C recursion shows early
    fuzzer = Fuzzer(options.seed, options.trace, options.hostile)
    # The event bridge and the hostile objects print reports; keep them out.
    sys.stderr = NullStream()
    sys.unraisablehook = lambda unraisable: None
    if options.hostile:
        # what the event bridge calls to report a failure: hooks as well
        sys.excepthook = lambda *exc_info: fuzzer.mischief("excepthook")
        sys.unraisablehook = lambda unraisable: fuzzer.mischief("unraisablehook")
    started = time.monotonic()
    try:
        counts = fuzzer.run(options.iterations, options.time_limit, options.hang_timeout)
    except Failure as e:
        sys.stderr = sys.__stderr__
        print("fuzz: seed %d: %s" % (options.seed, fuzzer.failures[0] if fuzzer.failures else e), file=sys.__stderr__)
        return 1
    except BaseException:
        # anything else that escapes is a fault of the run too, and sys.excepthook is a hook
        print("fuzz: seed %d: unexpected exception, last call %s:\n%s" % (
            options.seed, getattr(fuzzer, "last", ("none",))[0], traceback.format_exc()), file=sys.__stderr__)
        return 1
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.stderr = sys.__stderr__
        if fuzzer.where:
            print("hooks run: %s" % sorted(fuzzer.where.items(), key=lambda kv: -kv[1]), file=sys.__stderr__)
    hostile = ", %d hooks, %d mischief" % (counts["hooks"], counts["mischief"]) if options.hostile else ""
    print("fuzz: seed %d: %d calls (%d results, %d exceptions), %d events%s in %.1fs" % (
        options.seed, counts["calls"], counts["results"], counts["exceptions"], counts["events"], hostile,
        time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
