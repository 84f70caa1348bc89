"""Control of the stand-in SDK library, for testing without the closed SDK.

The project builds its own ``libvqsdk.so`` from ``standin/``: it has every
function of the SDK's C interface, records each call with its arguments, and
returns whatever a test scripted.  This module drives it, so strategy code
(through c_sdk) can be tested on any machine::

    import vqsim

    sim = vqsim.sdk()
    sim.reset()
    sim.set_response("vqi_get_cash_pb", encoded_cash)   # what the SDK answers
    sim.set_status("vqi_place_order_pb", 1011)          # make a call fail
    sim.queue_event(b"on_tick", encoded_tick)          # delivered by vqi_run
    ...                                                # run the strategy
    req, req_len, res, res_len = sim.last("vqi_place_order_pb")
    assert res is vqsim.OUT_NULL and res_len is vqsim.OUT

Recorded calls are ``Call(fn, args)`` tuples, one entry in ``args`` per C
parameter in C order: ``bytes`` for strings and request buffers (``None`` for
NULL; a request buffer holds exactly ``req_len`` bytes and ``req_len`` follows
as an int), ``int``, ``float``, ``bool``, ``int`` for ``void*`` values and
the callback address, ``OUT_NULL`` / ``OUT_SET`` for a ``char**`` that held
NULL / something on entry, ``OUT`` for an ``int*``.

Defaults: every int function returns 0, responses are empty (non-NULL, length
0), texts are ``vqsdk error <n>`` (vqi_strerror), ``""`` (ext errormsg,
encrypted token), ``ORG0`` (orgcode), ``vqsdk-standin 1.0`` (c version),
``127.0.0.1:7100`` (vqi_get_serv_addr), and the clock is the wall clock.

Events queued with ``queue_event`` are delivered through the callback
registered with ``vqi_set_event_callback_pb`` by ``vqi_run`` (until the queue
is empty or ``vqi_stop`` was called) and ``vqi_poll`` (one per call);
``fire_event`` calls the callback at once; ``start_threads`` starts native
threads that call it on their own, as an SDK with threads of its own does,
and ``set_delay`` keeps a caller waiting inside an SDK function.  The ``break_*`` methods make a
function break the SDK's contract, to show the caller copes.

The library is loaded with ``ctypes.PyDLL``, which keeps the interpreter lock
during calls, as callbacks run Python.  It is the ``libvqsdk.so`` already
mapped into the process (e.g. by the c_sdk module), else
``$VQSDK_STANDIN_LIB``, else the one in ``c_sdk.libs/`` next to the c_sdk
module that ``import c_sdk`` would load (where a c_sdk wheel built with the
stand-in installs it, and where the build tree links it), else one next to
this file, else ``<repo>/build/standin/libvqsdk.so``.  Loading
the stand-in first is fine too: the dynamic linker then gives c_sdk the same
copy, matched by its SONAME.

Setting ``VQSDK_TRACE=1`` in the environment makes the library print every
SDK call to stderr.

Simulation: ``sim.simulate(seed=7, steps=120)`` starts a simulated session
(``sim.simulate(None)`` ends it; ``VQSDK_SIMULATE=seed=7;steps=120`` in the
environment does the same without code).  ``vqi_run`` then produces bars or
ticks for the subscribed symbols from a seeded random walk on a simulated
clock, fills orders against a cash account and reports them as order-status
and execution-report events, runs user timers, loops bus messages back, and
answers cash, position, order and execution queries, until the session ends
or the strategy calls ``vqi_stop``.  Requests, responses and event payloads
use a simple text encoding that ``encode`` / ``decode`` / ``decode_records``
write and read::

    c_sdk.py_vqi_place_order(vqsim.encode(symbol="SHSE.600000", volume=100, side=1))
    status, res = c_sdk.py_vqi_get_cash(b"")
    vqsim.decode(res)["available"]           # 999000.0 ...
    sim.report()["orders"]["filled"]          # what the session saw

The events, fields and statuses are listed in ``standin/include/vqsim.h``
(section "Simulation"); ``sim.report()`` summarises the session.
"""

import collections
import ctypes
import importlib.util
import json
import os
import re
import threading

__all__ = ["Call", "OUT", "OUT_NULL", "OUT_SET", "StandIn", "sdk", "library_path",
           "encode", "encode_records", "decode", "decode_records",
           "INVALID_REQUEST", "UNKNOWN_ORDER", "UNSUPPORTED_FREQUENCY"]


class _Out(object):
    """Marker for an out-parameter in recorded calls."""

    __slots__ = ("_name",)

    def __init__(self, name):
        self._name = name

    def __repr__(self):
        return "vqsim." + self._name


OUT_NULL = _Out("OUT_NULL")  # char** whose *res was NULL on entry
OUT_SET = _Out("OUT_SET")  # char** whose *res was not NULL on entry
OUT = _Out("OUT")  # int* out-parameter

Call = collections.namedtuple("Call", ["fn", "args"])

_LIBRARY = "libvqsdk.so"

# vqsim.h
_UNKNOWN_FUNCTION = -1
_NOT_APPLICABLE = -2
_BREAK_NONE = 0
_BREAK_NULL_RESPONSE = 1
_BREAK_NEGATIVE_LENGTH = 2
_BREAK_NULL_TEXT = 3

# Statuses of the simulated session (vqsim.h).
INVALID_REQUEST = 1010
UNKNOWN_ORDER = 1011
UNSUPPORTED_FREQUENCY = 1012

_SIMULATE_KEYS = ("seed", "steps", "step", "start", "end", "cash", "commission", "slippage", "volatility", "threads")

_DECODERS = {
    "n": lambda arg: None,
    "b": lambda arg: bytes.fromhex(arg[1]),
    "i": lambda arg: arg[1],
    "f": lambda arg: float(arg[1]),
    "t": lambda arg: arg[1],
    "on": lambda arg: OUT_NULL,
    "os": lambda arg: OUT_SET,
    "m": lambda arg: OUT,
}


def _mapped_library():
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split(None, 5)
                if len(fields) == 6:
                    path = fields[5].strip()
                    if os.path.basename(path) == _LIBRARY:
                        return path
    except OSError:
        pass
    return None


def _module_dir():
    """The folder of the c_sdk module this process imports, without importing it."""
    try:
        spec = importlib.util.find_spec("c_sdk")
    except (ImportError, ValueError):
        return None
    if spec is None or not spec.origin or not os.path.isfile(spec.origin):
        return None
    return os.path.dirname(spec.origin)


def library_path():
    """The stand-in library this process uses (see the module docstring)."""
    mapped = _mapped_library()
    if mapped:
        return mapped
    configured = os.environ.get("VQSDK_STANDIN_LIB")
    if configured:
        return configured
    module = _module_dir()
    if module:
        shipped = os.path.join(module, "c_sdk.libs", _LIBRARY)
        if os.path.exists(shipped):  # c_sdk's own library folder (wheel, cmake --install, build tree)
            return shipped
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), _LIBRARY)
    if os.path.exists(beside):
        return beside
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
    return os.path.join(repo, "build", "standin", _LIBRARY)


def _name(fn):
    if not isinstance(fn, str):
        raise TypeError("SDK function name must be str, not %s" % type(fn).__name__)
    return fn.encode("ascii")


def _bytes_or_none(data, what):
    if data is None:
        return None
    if isinstance(data, str):
        raise TypeError("%s must be bytes or None, not str" % what)
    return bytes(data)


class StandIn(object):
    """One loaded stand-in library; use ``sdk()`` for the shared instance."""

    def __init__(self, path):
        self.path = path
        self.lib = ctypes.PyDLL(path)
        try:
            self.lib.vqsim_reset
        except AttributeError:
            raise RuntimeError("%s is not the stand-in SDK (no vqsim_ control functions)" % path)
        self._declare()

    def _declare(self):
        c = ctypes
        signatures = {
            "vqsim_reset": (None, []),
            "vqsim_set_recording": (None, [c.c_int]),
            "vqsim_clear_calls": (None, []),
            "vqsim_call_count": (c.c_longlong, [c.c_char_p]),
            "vqsim_calls_json": (c.c_char_p, [c.c_char_p, c.c_int]),
            "vqsim_set_status": (c.c_int, [c.c_char_p, c.c_int]),
            "vqsim_set_response": (c.c_int, [c.c_char_p, c.c_char_p, c.c_int]),
            "vqsim_set_text": (c.c_int, [c.c_char_p, c.c_char_p]),
            "vqsim_set_clock": (None, [c.c_longlong, c.c_double]),
            "vqsim_use_wall_clock": (None, []),
            "vqsim_queue_event": (None, [c.c_char_p, c.c_char_p, c.c_int]),
            "vqsim_queue_thread_event": (None, [c.c_char_p, c.c_char_p, c.c_int]),
            "vqsim_fire_event": (c.c_int, [c.c_char_p, c.c_char_p, c.c_int]),
            "vqsim_pending_events": (c.c_int, []),
            "vqsim_start_threads": (c.c_int, [c.c_char_p, c.c_int, c.c_longlong, c.c_int]),
            "vqsim_join_threads": (c.c_longlong, [c.c_int]),
            "vqsim_running_threads": (c.c_int, []),
            "vqsim_set_delay": (c.c_int, [c.c_char_p, c.c_int]),
            "vqsim_break": (c.c_int, [c.c_char_p, c.c_int, c.c_int]),
            "vqsim_callback_address": (c.c_ulonglong, []),
            "vqsim_simulate": (c.c_int, [c.c_char_p]),
            "vqsim_simulating": (c.c_int, []),
            "vqsim_simulation_report": (c.c_char_p, []),
            "vqsim_ignored": (c.c_int, [c.c_char_p]),
        }
        # Those that wait for the library's own threads let go of the
        # interpreter lock meanwhile, which those threads may need to deliver
        # their events (c_sdk with CSDK_RUN_UNLOCKED=1).
        releasing = ctypes.CDLL(self.path)
        for name, (restype, argtypes) in signatures.items():
            function = getattr(releasing if name in ("vqsim_reset", "vqsim_join_threads") else self.lib, name)
            function.restype = restype
            function.argtypes = argtypes
            setattr(self.lib, name, function)

    @staticmethod
    def _check(rc, fn, what):
        if rc == _UNKNOWN_FUNCTION:
            raise ValueError("unknown SDK function: %r" % (fn,))
        if rc == _NOT_APPLICABLE:
            raise ValueError("%s cannot %s" % (fn, what))
        if rc < 0:
            raise ValueError("invalid arguments to %s for %s" % (what, fn))

    # ---- Recording ----

    def reset(self):
        """Forget calls and scripted behaviour; keeps the event callback."""
        self.lib.vqsim_reset()

    def recording(self, on):
        self.lib.vqsim_set_recording(1 if on else 0)

    def clear_calls(self):
        self.lib.vqsim_clear_calls()

    def _calls(self, fn, last_only):
        text = self.lib.vqsim_calls_json(None if fn is None else _name(fn), 1 if last_only else 0)
        if text is None:
            self._check(_UNKNOWN_FUNCTION, fn, "be recorded")
        return [
            Call(entry["fn"], tuple(_DECODERS[arg[0]](arg) for arg in entry["args"]))
            for entry in json.loads(text.decode("ascii"))
        ]

    def calls(self, fn=None):
        """Recorded calls (of ``fn`` only, if given) in call order."""
        return self._calls(fn, False)

    def last(self, fn):
        """Arguments of the last recorded call of ``fn``, or None."""
        found = self._calls(fn, True)
        return found[0].args if found else None

    def count(self, fn=None):
        n = self.lib.vqsim_call_count(None if fn is None else _name(fn))
        self._check(n, fn, "be counted")
        return n

    # ---- Results ----

    def set_status(self, fn, status):
        self._check(self.lib.vqsim_set_status(_name(fn), status), fn, "return a status")

    def set_response(self, fn, data):
        data = _bytes_or_none(data, "response")
        if data is None:
            raise TypeError("response must be bytes")
        self._check(self.lib.vqsim_set_response(_name(fn), data, len(data)), fn, "return a response")

    def set_text(self, fn, text):
        """Text returned by ``fn``; None restores the default."""
        text = _bytes_or_none(text, "text")
        self._check(self.lib.vqsim_set_text(_name(fn), text), fn, "return a text")

    def set_clock(self, now, now_plus):
        """Fixes vqi_now (milliseconds) and vqi_now_plus (seconds)."""
        self.lib.vqsim_set_clock(now, now_plus)

    def wall_clock(self):
        self.lib.vqsim_use_wall_clock()

    # ---- Contract breaking ----

    def break_null_response(self, fn, length):
        """``fn`` succeeds with a NULL response of ``length`` (> 0) bytes."""
        self._check(self.lib.vqsim_break(_name(fn), _BREAK_NULL_RESPONSE, length), fn, "break its response")

    def break_negative_length(self, fn, length):
        """``fn`` succeeds with a response length of ``length`` (< 0)."""
        self._check(self.lib.vqsim_break(_name(fn), _BREAK_NEGATIVE_LENGTH, length), fn, "break its response")

    def break_null_text(self, fn):
        """``fn`` returns a NULL text (vqi_get_serv_addr: success, NULL addr)."""
        self._check(self.lib.vqsim_break(_name(fn), _BREAK_NULL_TEXT, 0), fn, "break its text")

    def clear_break(self, fn):
        self._check(self.lib.vqsim_break(_name(fn), _BREAK_NONE, 0), fn, "be repaired")

    # ---- Events ----

    @staticmethod
    def _event(text, data, count):
        text = _bytes_or_none(text, "event text")
        data = _bytes_or_none(data, "event data")
        if count is None:
            count = len(data) if data is not None else 0
        if data is not None and count > len(data):
            raise ValueError("count %d exceeds the %d data bytes" % (count, len(data)))
        return text, data, count

    def queue_event(self, text, data=b"", count=None, from_thread=False):
        """Queues an event for vqi_run / vqi_poll; ``count`` defaults to len(data)
        and is delivered as given (negative counts too).  ``from_thread``: the
        library delivers it from a new native thread and waits for that."""
        queue = self.lib.vqsim_queue_thread_event if from_thread else self.lib.vqsim_queue_event
        queue(*self._event(text, data, count))

    def fire_event(self, text, data=b"", count=None):
        """Calls the registered callback now; False if none is registered."""
        return self.lib.vqsim_fire_event(*self._event(text, data, count)) == 1

    def pending_events(self):
        return self.lib.vqsim_pending_events()

    def start_threads(self, text, threads=1, count=1, interval_us=0):
        """Starts ``threads`` native threads that call the registered callback
        on their own, all at once, and returns (the caller goes on) the number
        of the first.  Each sends ``count`` events (None: until
        ``join_threads(stop=True)``) with ``text`` and the payload
        ``thread=<number>;seq=<n>;ns=<t>`` (``decode`` reads it), n counting up
        from 0 in sending order, t the ``time.monotonic_ns()`` of its sending,
        waiting ``interval_us`` microseconds after each."""
        text = _bytes_or_none(text, "event text")
        if text is None:
            raise TypeError("event text must be bytes")
        if self.lib.vqsim_ignored(b"vqsim_start_threads"):
            return 0
        first = self.lib.vqsim_start_threads(text, threads, -1 if count is None else count, interval_us)
        if first < 0:
            raise ValueError("invalid arguments to start_threads: %r threads, interval %r" % (threads, interval_us))
        return first

    def join_threads(self, stop=False):
        """Waits for the threads that end by themselves (``stop``: stops the
        endless ones first and waits for all); the events they sent."""
        return self.lib.vqsim_join_threads(1 if stop else 0)

    def running_threads(self):
        return self.lib.vqsim_running_threads()

    def set_delay(self, fn, microseconds):
        """Every later call of ``fn`` waits this long inside the SDK first
        (``vqi_run`` and ``vqi_poll``: until then or until ``vqi_stop``)."""
        self._check(self.lib.vqsim_set_delay(_name(fn), microseconds), fn, "be delayed")

    def callback_address(self):
        """Address of the registered event callback, 0 if none."""
        return self.lib.vqsim_callback_address()

    # ---- Simulation ----

    def simulate(self, enable=True, **config):
        """Starts a fresh simulated session; ``simulate(None)`` ends it.

        Keys (all optional): seed, steps, step (seconds), start, end
        ("YYYY-MM-DD HH:MM:SS"), cash, commission, slippage, volatility,
        threads (true: bars and ticks come from a thread of the SDK's own,
        which the run loop waits for, as a network SDK's market data does).
        """
        if enable is None or enable is False:
            if config:
                raise TypeError("simulate(None) takes no configuration")
            text = None
        else:
            unknown = sorted(set(config) - set(_SIMULATE_KEYS))
            if unknown:
                raise TypeError("unknown simulation keys: %s" % ", ".join(unknown))
            text = encode({k: int(v) if isinstance(v, bool) else v for k, v in config.items()})
        if self.lib.vqsim_simulate(text) != 0:
            raise ValueError("invalid simulation configuration: %r" % (config,))

    def simulating(self):
        return self.lib.vqsim_simulating() == 1

    def report(self):
        """The simulated session as a dict (see vqsim.h), None when off."""
        return json.loads(self.lib.vqsim_simulation_report().decode("utf-8"))


# ---- The simulation's text encoding ----

_ESCAPES = {"%": "%25", ";": "%3B", "=": "%3D", "\r": "%0D", "\n": "%0A"}
_ESCAPED = re.compile("%([0-9A-Fa-f]{2})")
_INT = re.compile(r"-?[0-9]+\Z")
_FLOAT = re.compile(r"-?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?\Z")


def _escape(value):
    return "".join(_ESCAPES.get(ch, ch) for ch in value)


def _text(value):
    if isinstance(value, bytes):
        return value.decode("utf-8")
    if isinstance(value, bool):
        return "1" if value else "0"
    return str(value)


def encode(fields=None, **more):
    """One record from a mapping and/or keywords, as bytes: b"k=v;k=v"."""
    items = list((fields or {}).items()) + list(more.items())
    return ";".join(_escape(_text(k)) + "=" + _escape(_text(v)) for k, v in items).encode("utf-8")


def encode_records(records):
    """Several records, one per line."""
    return b"\n".join(encode(record) for record in records)


def _value(text):
    text = _ESCAPED.sub(lambda m: chr(int(m.group(1), 16)), text)
    if _INT.match(text):
        return int(text)
    if _FLOAT.match(text):
        return float(text)
    return text


def decode_records(payload):
    """The records of a payload or response, as dicts; numbers become int or
    float, everything else stays str.  None or empty gives []."""
    if not payload:
        return []
    if isinstance(payload, (bytes, bytearray)):
        payload = bytes(payload).decode("utf-8")
    records = []
    for line in payload.split("\n"):
        if not line.strip():
            continue
        record = {}
        for field in line.split(";"):
            if not field.strip():
                continue
            key, sep, value = field.partition("=")
            if not sep:
                raise ValueError("field without '=': %r" % field)
            record[_ESCAPED.sub(lambda m: chr(int(m.group(1), 16)), key.strip())] = _value(value)
        records.append(record)
    return records


def decode(payload):
    """The first record of a payload or response as a dict ({} if none)."""
    records = decode_records(payload)
    return records[0] if records else {}


_instance = None
_instance_lock = threading.Lock()


def sdk():
    """The stand-in used by this process, loaded on first use."""
    global _instance
    with _instance_lock:
        if _instance is None:
            path = library_path()
            if not os.path.exists(path):
                raise OSError("stand-in SDK library not found at %s (build it, or set VQSDK_STANDIN_LIB)" % path)
            _instance = StandIn(path)
        return _instance


# ---- Recordings (VQSDK_RECORD) ----
#
# A recording is an SQLite database written by the stand-in while it forwards
# to another SDK library (standin/README.md has the schema).  These read one
# with the standard sqlite3 module, read-only: reading never changes it.
# ``python -m vqsim show|summary|export FILE`` print it.

import heapq
import sqlite3
import sys
import urllib.parse

__all__ += ["Recording", "RecordingError", "CallRecord", "EventRecord", "SECRET", "Address", "format_record",
            "replay", "ReplayResult", "Divergence"]

_APPLICATION_ID = 0x76717364  # PRAGMA application_id of a recording
_FORMAT = 2                   # the newest recording format this module reads (PRAGMA user_version)

SECRET = _Out("SECRET")  # an argument recorded without its value (a token, password or key)


class Address(int):
    """A pointer argument (void*, the callback): an int shown in hex."""

    def __repr__(self):
        return "0x%x" % self

    __str__ = __repr__


_DECODERS["p"] = lambda arg: Address(arg[1])
_DECODERS["s"] = lambda arg: SECRET
_DECODERS["u"] = lambda arg: arg[1].encode("utf-8")

CallRecord = collections.namedtuple(
    "CallRecord", ["seq", "end_seq", "time_ns", "thread", "fn", "args", "ret", "ret_real", "response",
                   "response_len"])
EventRecord = collections.namedtuple("EventRecord", ["seq", "time_ns", "thread", "text", "payload", "count"])

# What every reader needs, by table (format 1 has no end in its session row).
_COLUMNS = (("session", "library, version, interface, started, started_ns, pid, secrets"),
            ("calls", "seq, end_seq, time_ns, thread, fn, args, ret, ret_real, response, response_len"),
            ("events", "seq, time_ns, thread, text, payload, count"))


class RecordingError(ValueError):
    """A file that cannot be read as a recording; the message names it."""


def _as_bytes(value):
    """A TEXT column (format 2 stores text that is UTF-8 as text) as bytes."""
    return value.encode("utf-8") if isinstance(value, str) else value


def _decode_args(text):
    return tuple(_DECODERS[arg[0]](arg) for arg in json.loads(text))


class Recording(object):
    """A recorded session: ``session`` (a dict of the session row),
    ``format``, ``problems`` (what makes it less than the whole session, one
    line each: it did not end cleanly, a gap in its sequence numbers, its
    -wal missing; empty for a whole one) and, by iteration, its calls
    (``CallRecord``, ``args`` decoded as ``sim.calls()`` gives them) and
    events (``EventRecord``) in sequence order.  The file is opened
    read-only."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self.problems = []
        self._db = self._open(self.path)
        try:
            self._check()
        except sqlite3.DatabaseError as error:
            self.close()
            self._fail("cannot be read: %s" % error)
        except RecordingError:
            self.close()
            raise

    def _fail(self, what):
        raise RecordingError("%s: %s" % (self.path, what))

    def _open(self, path):
        if not os.path.exists(path):
            self._fail("no such file")
        if os.path.isdir(path):
            self._fail("is a directory")
        if os.path.getsize(path) == 0:
            self._fail("is empty, not a recording")
        with open(path, "rb") as f:
            header = f.read(20)
        # A file in WAL mode without its -wal (a closed format 1 recording, or
        # one copied without it) is read as it is: SQLite would make a -wal
        # and -shm beside it.
        self._wal_mode = header[:16] == b"SQLite format 3\0" and header[18:19] == b"\x02"
        self._has_wal = os.path.exists(path + "-wal")
        uri = "file:%s?mode=ro%s" % (urllib.parse.quote(os.path.abspath(path)),
                                     "&immutable=1" if self._wal_mode and not self._has_wal else "")
        try:
            db = sqlite3.connect(uri, uri=True)
        except sqlite3.Error as error:
            self._fail("cannot be opened: %s" % error)
        try:
            application_id = db.execute("PRAGMA application_id").fetchone()[0]
        except sqlite3.DatabaseError as error:
            db.close()
            message = str(error)
            if message == "file is not a database":
                self._fail("is not an SQLite database, not a recording")
            if "malformed" in message:  # SQLITE_CORRUPT, which 3.8's sqlite3 does not name
                self._fail("is damaged (truncated or corrupt): %s" % error)
            if "unable to open" in message and self._has_wal:
                self._fail("cannot be read where it is: its -wal needs a -shm file beside it, which cannot be made "
                           "there (read-only media?); copy it with its -wal to a writable place")
            self._fail("cannot be read: %s" % error)
        try:
            check = db.execute("PRAGMA quick_check(1)").fetchone()[0]
        except sqlite3.DatabaseError as error:
            check = str(error)
        if check != "ok":
            db.close()
            self._fail("is damaged (truncated or corrupt): %s" % check)
        if application_id != _APPLICATION_ID:
            db.close()
            self._fail("is an SQLite database but not a vqsdk recording")
        return db

    def _check(self):
        db = self._db
        self.format = db.execute("PRAGMA user_version").fetchone()[0]
        reads = "this library reads formats 1 to %d" % _FORMAT
        if self.format > _FORMAT:
            self._fail("was written by a newer version (recording format %d; %s)" % (self.format, reads))
        if self.format < 1:
            self._fail("has no recording format it knows (user_version %d; %s)" % (self.format, reads))
        for table, columns in _COLUMNS:
            try:
                db.execute("SELECT %s FROM %s LIMIT 0" % (columns, table))
            except sqlite3.OperationalError as error:
                self._fail("is not a complete vqsdk recording (%s)" % error)
        cursor = db.execute("SELECT * FROM session")
        rows = cursor.fetchall()
        if len(rows) != 1:
            self._fail("is not a complete vqsdk recording (its session table has %d rows, not one)" % len(rows))
        self.session = dict(zip([d[0] for d in cursor.description], rows[0]))
        if self.format == 1:
            if self.session.get("format") != 1:  # format 1 also had the format in the session row
                self._fail("is damaged: its session row says format %s, its header format 1"
                           % self.session.get("format"))
            ended = None if self._has_wal else "exit"
        else:
            ended = self.session["ended"]
        if self.format > 1 and self._wal_mode and not self._has_wal and ended is None:
            self.problems.append("was left by a session that did not end, and its -wal is missing beside it: "
                                 "what was written after its last checkpoint is lost")
        if ended is None:
            self.problems.append("did not end cleanly: the recording process was killed, or is still recording")
        elif ended.startswith("failed:"):
            self.problems.append("did not end cleanly: recording stopped at sequence %s, %s"
                                 % (self.session["end_seq"], ended))
        gap = db.execute("SELECT prev + 1, seq - 1 FROM (SELECT seq, lag(seq, 1, 0) OVER (ORDER BY seq) prev FROM"
                         " (SELECT seq FROM calls UNION ALL SELECT seq FROM events)) WHERE seq > prev + 1"
                         " LIMIT 1").fetchone()
        if gap:
            self.problems.append("has a gap: sequence numbers %d to %d are missing" % gap)

    @property
    def ended_cleanly(self):
        return not any(problem.startswith("did not end cleanly") for problem in self.problems)

    def _rows(self, sql, first, last):
        try:
            for row in self._db.execute(sql, (first, last)):
                yield row
        except sqlite3.DatabaseError as error:
            self._fail("cannot be read: %s" % error)

    def calls(self, first=None, last=None):
        """The calls with sequence numbers from ``first`` to ``last`` (all by default)."""
        for row in self._rows("SELECT seq, end_seq, time_ns, thread, fn, args, ret, ret_real, response, response_len"
                              " FROM calls WHERE seq BETWEEN ifnull(?, seq) AND ifnull(?, seq) ORDER BY seq",
                              first, last):
            try:
                args = _decode_args(row[5])
            except (ValueError, TypeError, KeyError, IndexError, AttributeError):
                self._fail("call %d has malformed arguments" % row[0])
            yield CallRecord(row[0], row[1], row[2], row[3], row[4], args, row[6], row[7], _as_bytes(row[8]),
                             row[9])

    def events(self, first=None, last=None):
        for row in self._rows("SELECT seq, time_ns, thread, text, payload, count FROM events"
                              " WHERE seq BETWEEN ifnull(?, seq) AND ifnull(?, seq) ORDER BY seq", first, last):
            yield EventRecord(row[0], row[1], row[2], _as_bytes(row[3]), row[4], row[5])

    def records(self, first=None, last=None):
        """Calls and events in sequence order, from ``first`` to ``last``."""
        return heapq.merge(self.calls(first, last), self.events(first, last), key=lambda record: record.seq)

    def __iter__(self):
        return self.records()

    def close(self):
        self._db.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# The trace's own formatting (VQSDK_TRACE), so shown calls read as traced ones.
_TRACE_BYTES = 200


def _quoted(data):
    shown = bytearray(data[:_TRACE_BYTES])
    out = ['"']
    for c in shown:
        if c in (0x22, 0x5C):
            out.append("\\" + chr(c))
        elif 0x20 <= c < 0x7F:
            out.append(chr(c))
        else:
            out.append("\\x%02x" % c)
    out.append('"')
    if len(data) > _TRACE_BYTES:
        out.append("...(%d bytes)" % len(data))
    return "".join(out)


def _shortest(value):
    """A double as C++'s std::to_chars writes it: the shortest text, fixed or scientific."""
    if value != value:
        return "nan" if str(value)[0] != "-" else "-nan"
    if value in (float("inf"), float("-inf")):
        return "inf" if value > 0 else "-inf"
    import decimal
    parts = decimal.Decimal(repr(value)).as_tuple()  # a finite value: its exponent is an int
    sign, exponent = parts.sign, int(parts.exponent)
    digits = "".join(map(str, parts.digits)).lstrip("0") or "0"
    while len(digits) > 1 and digits.endswith("0"):
        digits, exponent = digits[:-1], exponent + 1
    if digits == "0":
        exponent = 0
    prefix = "-" if sign else ""
    if exponent >= 0:
        fixed = digits + "0" * exponent
    elif -exponent < len(digits):
        fixed = digits[:exponent] + "." + digits[exponent:]
    else:
        fixed = "0." + "0" * (-exponent - len(digits)) + digits
    power = exponent + len(digits) - 1
    scientific = digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + "e%s%02d" % (
        "+" if power >= 0 else "-", abs(power))
    return prefix + (fixed if len(fixed) <= len(scientific) else scientific)


def _shown(value):
    if value is None:
        return "NULL"
    if isinstance(value, bytes):
        return _quoted(value)
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return _shortest(value)
    if value is SECRET:
        return "<secret>"
    if isinstance(value, _Out):
        return value._name
    return str(value)


def format_record(record):
    """One line in the style of VQSDK_TRACE."""
    if isinstance(record, EventRecord):
        payload = "NULL" if record.payload is None else _quoted(record.payload)
        text = "NULL" if record.text is None else _quoted(record.text)
        return "vqsdk: event(%s, %s, %d)" % (text, payload, record.count)
    line = "vqsdk: %s(%s)" % (record.fn, ", ".join(_shown(arg) for arg in record.args))
    results = []
    if record.end_seq is None:
        results.append("(did not return)")
    if record.ret is not None:
        results.append(str(record.ret))
    if record.ret_real is not None:
        results.append(_shortest(record.ret_real))
    if record.response is not None or record.response_len is not None:
        response = "NULL" if record.response is None else _quoted(bytes(record.response))
        results.append(response if record.response_len is None else "%s, %d" % (response, record.response_len))
    return line + (" -> " + ", ".join(results) if results else "")


# ---- Replaying a strategy against a recording, for tests ----

import subprocess
import tempfile

ReplayResult = collections.namedtuple("ReplayResult", ["returncode", "stdout", "stderr", "divergences", "problems"])
# One call that differed: the sequence number of the recorded call it was
# compared with (None: the recording had no more), the function called, the
# recorded arguments (None without a recorded call) and the called ones, as
# ``calls()`` gives them; recorded_fn when another function was recorded there.
Divergence = collections.namedtuple("Divergence", ["seq", "fn", "recorded", "called", "recorded_fn"])


def replay(recording, argv, strict=False, env=None, timeout=None):
    """Runs ``python argv...`` (this interpreter) against the recording in a
    child process and returns a ``ReplayResult``: its exit status, its
    standard output and error, every ``Divergence``, and the recording's
    ``problems``.  ``strict``: VQSDK_REPLAY_STRICT=1 (exit status 3 at the
    first divergence, or for a recording that is not the whole session).
    ``env`` adds to (or overrides) the environment.  A recording the
    stand-in cannot replay raises RecordingError."""
    if isinstance(argv, (str, bytes)):
        raise TypeError("argv must be a list of arguments, not %s" % type(argv).__name__)
    path = os.path.abspath(os.fspath(recording))
    with Recording(path) as checked:
        problems = list(checked.problems)
    child = {k: v for k, v in os.environ.items() if k not in ("VQSDK_FORWARD", "VQSDK_RECORD", "VQSDK_REPLAY_STRICT")}
    child.update(env or {})
    folder = tempfile.mkdtemp(prefix="vqsim-replay-")
    report = os.path.join(folder, "divergences.jsonl")
    child.update(VQSDK_REPLAY=path, VQSDK_REPLAY_REPORT=report)
    if strict:
        child["VQSDK_REPLAY_STRICT"] = "1"
    try:
        done = subprocess.run([sys.executable] + list(argv), env=child, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=timeout)
        refused = [line for line in done.stderr.splitlines() if line.startswith("vqsdk: cannot replay ")]
        if refused and done.returncode in (2, 3):
            raise RecordingError(refused[0][len("vqsdk: cannot replay "):])
        divergences = []
        if os.path.exists(report):
            with open(report, encoding="utf-8") as lines:
                for line in lines:
                    d = json.loads(line)
                    divergences.append(Divergence(d["seq"], d["fn"], None if d["recorded"] is None else
                                                  _decode_args(json.dumps(d["recorded"])),
                                                  _decode_args(json.dumps(d["called"])), d.get("recorded_fn")))
    finally:
        if os.path.exists(report):
            os.remove(report)
        os.rmdir(folder)
    return ReplayResult(done.returncode, done.stdout, done.stderr, divergences, problems)


# ---- python -m vqsim ----

def _time(ns):
    import datetime
    moment = datetime.datetime.fromtimestamp(ns // 10 ** 9, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S") + ".%06dZ" % (ns % 10 ** 9 // 1000)


def _show(recording, args, out):
    for record in recording.records(args.first, args.last):
        out.write("%7d %s\n" % (record.seq, format_record(record)))


def _summary(recording, args, out):
    s = recording.session
    db = recording._db
    out.write("recording %s (format %d)\n" % (recording.path, recording.format))
    for key in ("library", "version", "interface", "started", "pid"):
        out.write("  %-10s %s\n" % (key + ":", s[key]))
    out.write("  %-10s %s\n" % ("secrets:", "recorded" if s["secrets"] else "left out (<secret>)"))
    calls, events, first, last = db.execute(
        "SELECT (SELECT count(*) FROM calls), (SELECT count(*) FROM events), min(t), max(t) FROM"
        " (SELECT time_ns t FROM calls UNION ALL SELECT time_ns FROM events)").fetchone()
    seconds = (last - first) / 1e9 if first is not None else 0.0
    if first is not None:
        out.write("time span: %s to %s (%.3f s)\n" % (_time(first), _time(last), seconds))
    out.write("%d calls, %d events (%s events per second)\n" % (
        calls, events, "%.0f" % (events / seconds) if seconds > 0 else "-"))
    how = s["ended"] if recording.format > 1 else None
    if how and not how.startswith("failed:"):
        out.write("ended: cleanly (%s), sequence numbers 1 to %d\n" % ("at exit" if how == "exit" else how,
                                                                      s["end_seq"] - 1))
    else:
        out.write("ended: %s\n" % ("cleanly" if recording.ended_cleanly else "not cleanly"))
    for problem in recording.problems:
        out.write("  it %s\n" % problem)
    for title, sql in (("calls by function", "SELECT fn, count(*) n FROM calls GROUP BY fn ORDER BY n DESC, fn"),
                       ("events by text", "SELECT text, count(*) n FROM events GROUP BY text ORDER BY n DESC, text")):
        rows = db.execute(sql).fetchall()
        out.write("%s:\n" % title)
        for name, n in rows:
            name = _as_bytes(name)
            shown = "NULL" if name is None else name.decode("utf-8", "backslashreplace") if isinstance(
                name, bytes) else name
            out.write("  %8d  %s\n" % (n, shown))


def _exported(value):
    """A decoded value as text for a CSV cell."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", "backslashreplace")
    if value is SECRET:
        return "<secret>"
    if isinstance(value, _Out):
        return value._name
    return value


def _export(recording, args, out):
    import csv
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["seq", "kind", "time", "time_ns", "thread", "name", "args", "end_seq", "ret", "response",
                     "response_len", "payload", "count"])
    for r in recording.records(args.first, args.last):
        if isinstance(r, EventRecord):
            writer.writerow([r.seq, "event", _time(r.time_ns), r.time_ns, r.thread, _exported(r.text), "", "", "",
                             "", "", _exported(r.payload), r.count])
        else:
            arguments = json.dumps([_exported(a) for a in r.args], ensure_ascii=False)
            ret = r.ret if r.ret is not None else _shortest(r.ret_real) if r.ret_real is not None else ""
            writer.writerow([r.seq, "call", _time(r.time_ns), r.time_ns, r.thread, r.fn, arguments, r.end_seq, ret,
                             _exported(r.response), r.response_len, "", ""])


def _parser():
    import argparse
    parser = argparse.ArgumentParser(prog="python -m vqsim", description="Reads recordings of the stand-in SDK "
                                     "(VQSDK_RECORD), read-only.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, text, run):
        sub = commands.add_parser(name, help=text, description=text)
        sub.add_argument("file", metavar="FILE", help="the recording")
        sub.set_defaults(run=run)
        return sub

    def seq_range(sub):
        sub.add_argument("--from", dest="first", type=int, metavar="SEQ", help="from this sequence number on")
        sub.add_argument("--to", dest="last", type=int, metavar="SEQ", help="up to this sequence number")

    seq_range(command("show", "prints one line per call or event, in the style of VQSDK_TRACE", _show))
    command("summary", "prints the session, its time span, counts by function and by event text, events per "
            "second, and whether it ended cleanly", _summary)
    export = command("export", "writes one row per call or event, decoded", _export)
    export.add_argument("--format", choices=["csv"], required=True, help="the output format")
    export.add_argument("-o", "--output", metavar="OUT", help="the file to write (default: standard output)")
    seq_range(export)
    return parser


def _main(argv):
    args = _parser().parse_args(argv)  # usage errors: exit status 2
    out = None
    try:
        with Recording(args.file) as recording:
            for problem in recording.problems:
                sys.stderr.write("vqsim: %s: it %s\n" % (args.file, problem))
            out = open(args.output, "w", newline="", encoding="utf-8") if getattr(args, "output", None) else sys.stdout
            args.run(recording, args, out)
    except RecordingError as error:
        sys.stderr.write("vqsim: %s\n" % error)
        return 1
    except OSError as error:
        if isinstance(error, BrokenPipeError):
            return 0
        sys.stderr.write("vqsim: %s\n" % error)
        return 1
    finally:
        if out is not None and out is not sys.stdout:
            out.close()
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
