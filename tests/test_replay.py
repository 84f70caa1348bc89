"""Forwarding to another SDK library, recording the session and replaying it:
the example strategy against a second copy of the stand-in as the "real"
library, and everything a recording or the settings can get wrong."""
import os
import re
import shutil
import sqlite3
import subprocess
import sys

import pytest

import vqsim

BUILD = os.environ.get("CSDK_BUILD_DIR", "")
SECOND = os.path.join(BUILD, "standin-second", "libvqsdk-second.so")
EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "strategy.py")
pytestmark = pytest.mark.skipif(not os.path.exists(SECOND), reason="needs $CSDK_BUILD_DIR with the second copy")


def run(argv, **env):
    # Without address randomisation the callback's address is the same in
    # every run, so traces of two processes compare equal line for line.
    env = dict(os.environ, PYTHONHASHSEED="0", **env)
    return subprocess.run(["setarch", "-R", sys.executable] + argv, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


def record(path, argv, **env):
    return run(argv, **dict(dict(VQSDK_FORWARD=SECOND, VQSDK_RECORD=str(path), VQSDK_SIMULATE="seed=7"), **env))


def summary(stdout):
    return [line for line in stdout.splitlines() if not line.startswith("  elapsed:")]


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    path = tmp_path_factory.mktemp("replay") / "session.db"
    result = record(path, [EXAMPLE], VQSDK_TRACE="1")
    assert result.returncode == 0, result.stderr
    return path, result


def test_replay_of_the_example_is_the_recorded_session(recorded):
    path, live = recorded
    plain = run([EXAMPLE])
    replayed = run([EXAMPLE], VQSDK_REPLAY=str(path), VQSDK_TRACE="1")
    assert replayed.returncode == 0, replayed.stderr
    assert "vqsdk: vqi_run()" in live.stderr and replayed.stderr == live.stderr  # the same SDK calls
    assert summary(replayed.stdout) == summary(live.stdout) == summary(plain.stdout)
    with vqsim.Recording(str(path)) as recording:
        # The calls reached the second copy, and the recording shows them as traced.
        assert recording.session["version"] == "vqsdk-standin 1.0 (second copy)"
        assert recording.session["library"] == os.path.realpath(SECOND) and recording.session["secrets"] == 0
        records = list(recording)
    shown = [re.sub(r"^vqsdk: vqi_set_(token|bus_info)\((.*)\)$", lambda m: m.group(0), vqsim.format_record(r))
             for r in records if isinstance(r, vqsim.CallRecord)]
    traced = live.stderr.replace('"example-token"', "<secret>").replace('"example", "example"',
                                                                         '"example", <secret>')
    assert [line.split(" -> ")[0] for line in shown] == traced.splitlines()
    assert [r.seq for r in records] == list(range(1, len(records) + 1))
    events = re.search(r"events received: (.*)", live.stdout).group(1)
    assert sum(isinstance(r, vqsim.EventRecord) for r in records) == sum(
        int(n) for n in re.findall(r"=(\d+)", events))


@pytest.mark.parametrize("strict", [False, True])
def test_a_changed_strategy_is_reported_at_its_first_differing_call(recorded, strict):
    path, _ = recorded
    result = run([EXAMPLE, "--lot", "2000"], VQSDK_REPLAY=str(path), **({"VQSDK_REPLAY_STRICT": "1"} if strict else {}))
    assert result.returncode == (3 if strict else 0), result.stderr
    report = re.findall(r"differs at call (\d+) \(sequence number (\d+)\):\n"
                        r"vqsdk:   recorded: vqi_place_order_pb\(\"[^\"]*volume=1000;[^\n]*\n"
                        r"vqsdk:   called:   vqi_place_order_pb\(\"[^\"]*volume=2000;", result.stderr)
    assert len(report) == 1 and result.stderr.count("differs") == 1, result.stderr
    with vqsim.Recording(str(path)) as recording:
        first_order = next(c for c in recording.calls() if c.fn == "vqi_place_order_pb" and b"volume=1000" in c.args[0])
    assert int(report[0][1]) == first_order.seq
    assert ("summary" in result.stdout) != strict


SESSION = """
import os, signal, sys, time, c_sdk, vqsim
second = vqsim.StandIn(os.environ.get("VQSDK_FORWARD") or vqsim.library_path())  # replay: ignores them
for k in range(40):
    second.queue_event(b"on_tick", b"tick %d" % k, from_thread=k % 2 == 1)
seen = []
def on_event(text, payload):
    seen.append(payload)
    if len(seen) == 30 and os.environ.get("KILL"):
        time.sleep(0.5)                       # the writer commits its batch meanwhile
        os.kill(os.getpid(), signal.SIGKILL)
c_sdk.py_vqi_set_token("secret-token")
c_sdk.py_vqi_set_bus_secure(1, "ca", "cert", "secret-key", False)
c_sdk.py_vqi_set_data_callback(on_event)
print(c_sdk.py_vqi_run(), len(seen), second.count("vqi_run"), vqsim.sdk().count(), c_sdk.vqi_get_c_version().decode())
"""


@pytest.mark.parametrize("secrets", ["", "1"])
def test_events_from_any_thread_secrets_and_replay_without_them(tmp_path, secrets):
    path = tmp_path / "threads.db"
    live = record(path, ["-c", SESSION], VQSDK_RECORD_SECRETS=secrets, VQSDK_SIMULATE="0")
    assert live.returncode == 0 and live.stdout.split() == ["0", "40", "1", "0", "vqsdk-standin", "1.0", "(second",
                                                            "copy)"], live.stderr
    db = sqlite3.connect(str(path))
    threads = [t for (t,) in db.execute("SELECT thread FROM events ORDER BY seq")]
    main = db.execute("SELECT thread FROM calls WHERE fn = 'vqi_run'").fetchone()[0]
    assert threads[0::2] == [main] * 20 and main not in threads[1::2]
    token, key = (db.execute("SELECT args FROM calls WHERE fn = ?", (fn,)).fetchone()[0]
                  for fn in ("vqi_set_token", "vqi_set_bus_secure"))
    assert ("7365637265742d746f6b656e" in token, "7365637265742d6b6579" in key) == (bool(secrets),) * 2
    assert (token.count('["s"]'), key.count('["s"]')) == ((0, 0) if secrets else (1, 1))
    replayed = run(["-c", SESSION.replace("secret-", "other-")], VQSDK_REPLAY=str(path))
    assert replayed.stderr == "" and replayed.stdout.split()[:2] == ["0", "40"]


def test_a_killed_session_keeps_its_committed_records(tmp_path):
    path = tmp_path / "killed.db"
    live = record(path, ["-c", SESSION], KILL="1", VQSDK_SIMULATE="0")
    assert live.returncode == -9
    with vqsim.Recording(str(path)) as recording:
        run_call = next(c for c in recording.calls() if c.fn == "vqi_run")
        events = list(recording.events())
    # From 3.12 the module may hold an event from an SDK thread while the
    # callable runs: the SDK has delivered (and the recording holds) one more.
    assert run_call.end_seq is None and 30 <= len(events) <= 31
    replayed = run(["-c", SESSION], VQSDK_REPLAY=str(path))
    assert replayed.stdout.split()[:2] == ["0", str(len(events))], replayed.stderr


def corrupt(how, good, path):
    if how == "missing":
        return
    if how in ("truncated", "newer", "foreign", "other SDK", "bad arguments", "unknown function"):
        shutil.copy(str(good), str(path))
    if how == "truncated":
        with open(str(path), "r+b") as f:
            f.truncate(os.path.getsize(str(path)) // 2)
        return
    if how == "not SQLite":
        path.write_text("account,cash\nA,1000000\n" * 100)
        return
    db = sqlite3.connect(str(path))
    if how == "foreign":
        db.execute("PRAGMA application_id = 0")
    elif how == "newer":
        db.execute("PRAGMA user_version = 2")
    elif how == "other SDK":
        db.execute("UPDATE session SET interface = 'vqsdk.h 186 functions 0123456789abcdef'")
    elif how == "bad arguments":
        db.execute("""UPDATE calls SET args = '[["b","zz"]]' WHERE seq = 1""")
    elif how == "unknown function":
        db.execute("UPDATE calls SET fn = 'vqi_gone' WHERE seq = 2")
    else:
        db.execute("CREATE TABLE quotes (symbol TEXT)")
    db.commit()
    db.close()


@pytest.mark.parametrize("how, reason", [
    ("missing", "no such file"),
    ("truncated", "is damaged (truncated or corrupt)"),
    ("not SQLite", "is not an SQLite database, not a recording"),
    ("foreign", "is an SQLite database but not a vqsdk recording"),
    ("other SQLite", "is an SQLite database but not a vqsdk recording"),
    ("newer", "was written by a newer version (recording format 2; this library reads format 1)"),
    ("other SDK", "was recorded from another SDK library version (vqsdk-standin 1.0 (second copy), interface"),
    ("bad arguments", "call 1 has malformed arguments"),
    ("unknown function", "call 2 is of vqi_gone, which this SDK does not have"),
])
def test_a_bad_recording_is_refused_naming_the_file(recorded, tmp_path, how, reason):
    path = tmp_path / "bad.db"
    corrupt(how, recorded[0], path)
    result = run(["-c", "import c_sdk; c_sdk.py_vqi_set_token('t'); print('started')"], VQSDK_REPLAY=str(path))
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.startswith("vqsdk: cannot replay %s: %s" % (path, reason)), result.stderr
    if how not in ("other SDK", "unknown function"):  # Python reads a recording of any SDK version
        with pytest.raises(vqsim.RecordingError, match=re.escape("%s: %s" % (path, reason))):
            list(vqsim.Recording(str(path)))
        shown = subprocess.run([sys.executable, "-m", "vqsim", "show", str(path)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, universal_newlines=True)
        assert shown.returncode == 1 and shown.stderr.startswith("vqsim: %s: %s" % (path, reason))
    # Nothing but the file and SQLite's own -wal and -shm beside it.
    assert all(name.startswith("bad.db") for name in os.listdir(str(tmp_path)))
    assert os.path.exists(str(path)) == (how != "missing")


@pytest.mark.parametrize("settings, reason", [
    ({"VQSDK_FORWARD": "/nonexistent/libvqsdk.so"}, "cannot load VQSDK_FORWARD=/nonexistent/libvqsdk.so: "),
    ({"VQSDK_FORWARD": "standin-without-poll/libvqsdk.so"}, "has no SDK function vqi_poll: "),
    ({"VQSDK_FORWARD": "standin/libvqsdk.so"}, "is this library itself"),
    ({"VQSDK_RECORD": "new.db"}, "VQSDK_RECORD needs VQSDK_FORWARD"),
    ({"VQSDK_FORWARD": SECOND, "VQSDK_RECORD": "exists.db"}, "cannot record to VQSDK_RECORD=exists.db: already exists"),
    ({"VQSDK_FORWARD": SECOND, "VQSDK_REPLAY": "exists.db"}, "VQSDK_FORWARD and VQSDK_REPLAY exclude each other"),
])
def test_settings_that_cannot_be_honoured_stop_the_process_at_load(tmp_path, settings, reason):
    (tmp_path / "exists.db").write_bytes(b"keep")
    settings = {k: os.path.join(BUILD, v) if v.startswith("standin") else v for k, v in settings.items()}
    result = subprocess.run([sys.executable, "-c", "import c_sdk; print('started')"], cwd=str(tmp_path),
                            env=dict(os.environ, **settings), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, timeout=60)
    assert (result.returncode, result.stdout) == (2, "") and reason in result.stderr, result.stderr
    assert (tmp_path / "exists.db").read_bytes() == b"keep" and not (tmp_path / "new.db").exists()


# What the "real" library is scripted to answer (through vqsim on the second
# copy), then the calls whose results must come back the same in replay.
SHAPES = """
import json, os, c_sdk, vqsim
second = vqsim.StandIn(os.environ.get("VQSDK_FORWARD") or vqsim.library_path())
second.recording(False)
results = []
for script, call in %r:
    if script:
        getattr(second, script[0])(*script[1:])
    try:
        results.append(repr(eval(call)))
    except Exception as error:
        results.append("%%s: %%s" %% (type(error).__name__, error))
print(json.dumps(results))
"""


@pytest.mark.parametrize("steps", [
    [(("set_response", "vqi_get_cash_pb", b"cash=1\\x00\\xff"), "c_sdk.py_vqi_get_cash(b'')"),
     (("set_response", "vqi_get_cash_pb", b""), "c_sdk.py_vqi_get_cash(b'again')"),
     (("set_status", "vqi_get_cash_pb", 1011), "c_sdk.py_vqi_get_cash(b'')")],
    [(("set_status", "vqi_cancel_orders_pb", 1011), "c_sdk.py_vqi_cancel_order(b'order_id=1')"),
     (("set_status", "vqi_user_timer", 7), "c_sdk.py_vqi_user_timer(1000, 0)")],
    [(("set_text", "vqi_strerror", b"text \\xc3\\xa9"), "c_sdk.py_vqi_strerror(5)"),
     (("set_text", "vqi_get_serv_addr", b"10.0.0.1:1"), "c_sdk.py_vqi_get_serv_addr('md')"),
     (("break_null_text", "vqi_get_serv_addr"), "c_sdk.py_vqi_get_serv_addr('md')"),
     (("break_null_text", "vqi_get_orgcode"), "c_sdk.py_vqi_get_orgcode()"),
     (("set_text", "vqi_get_encrypted_token", b"tok"), "c_sdk.py_vqi_get_encrypted_token()")],
    [(("set_clock", 1717000000123, 1717000000.125), "(c_sdk.vqi_now(), c_sdk.vqi_now_plus())"),
     (("set_clock", -1, -1e300), "(c_sdk.vqi_now(), c_sdk.vqi_now_plus())")],
    [(("break_null_response", "vqi_get_positions_pb", 5), "c_sdk.py_vqi_get_positions(b'')"),
     (("break_negative_length", "vqi_get_orders_pb", -2), "c_sdk.py_vqi_get_orders(b'')"),
     (None, "c_sdk.py_vqi_set_data_callback(lambda text, payload: results.append(repr((text, payload))))"),
     (("queue_event", b"on_\xff", None, -1), "c_sdk.vqi_poll()"),
     (("queue_event", None, b"data", 4), "c_sdk.vqi_poll()"),
     (("queue_event", b"on_tick", b"\x00p", None), "c_sdk.vqi_poll()")],
    # Every kind of argument, and records larger than the recorder's queue (16 MB) together.
    [(None, "c_sdk.py_vqi_set_backtest_config('2024-01-01', b'', 1e6, -0.0, float('nan'), 5e-324, 1, 2, 3, 0, 2, True)"),
     (None, "[len(c_sdk.py_vqi_history_bars_pb(bytes(range(256)) * 24000 + bytes([k]))) for k in range(4)]")],
], ids=["responses in order", "statuses", "texts and addresses", "clocks", "broken contracts", "arguments"])
def test_every_kind_of_answer_comes_back_as_recorded(tmp_path, steps):
    path = tmp_path / "shapes.db"
    code = SHAPES % (steps,)
    live = record(path, ["-c", code], VQSDK_SIMULATE="0")
    assert live.returncode == 0, live.stderr
    replayed = run(["-c", code], VQSDK_REPLAY=str(path))
    assert replayed.returncode == 0 and replayed.stderr == live.stderr, replayed.stderr
    # A secret answer (the encrypted token) is recorded as the placeholder.
    assert replayed.stdout == live.stdout.replace("b'tok'", "b'<secret>'")


def test_calls_beyond_the_recording_get_its_last_answer(tmp_path):
    path = tmp_path / "short.db"
    code = SHAPES % ([(("set_clock", 5, 0.5), "c_sdk.vqi_now()")],)
    assert record(path, ["-c", code], VQSDK_SIMULATE="0").returncode == 0
    more = code.replace("print(", "results += [repr(c_sdk.vqi_now()), repr(c_sdk.py_vqi_get_cash(b''))]; print(")
    replayed = run(["-c", more], VQSDK_REPLAY=str(path))
    assert replayed.stdout.strip() == '["5", "5", "(0, b\'\')"]', replayed.stderr
    assert replayed.stderr.count("differs at call 2 (after its last call)") == 1, replayed.stderr
    assert "recorded: nothing: the recording has no more calls" in replayed.stderr


@pytest.mark.parametrize("value", [1e6, 0.1, 1e-07, 123456789012.0, -0.0, 5e-324, 1.7976931348623157e308,
                                   float("inf"), float("-inf"), 2.5, 100.0])
def test_show_prints_calls_as_the_trace_does(tmp_path, value):
    path = tmp_path / "floats.db"
    code = "import c_sdk; c_sdk.py_vqi_set_backtest_config('a', 'b', %r, 1.0, 0, 0, 0, 0, 0, 1, 2, 3)" % value
    live = record(path, ["-c", code.replace("inf", "float('inf')")], VQSDK_SIMULATE="0", VQSDK_TRACE="1")
    assert live.returncode == 0, live.stderr
    shown = subprocess.run([sys.executable, "-m", "vqsim", "show", str(path)], stdout=subprocess.PIPE,
                           universal_newlines=True).stdout
    assert [line[8:].split(" -> ")[0] for line in shown.splitlines()] == live.stderr.splitlines()


def test_reset_writes_everything_out_and_a_forked_child_records_nothing(tmp_path):
    path = tmp_path / "reset.db"
    code = """if 1:
        import os, sqlite3, sys, c_sdk, vqsim
        for k in range(2000):
            c_sdk.py_vqi_set_strategy_id("s%d" % k)
        vqsim.sdk().reset()
        print(sqlite3.connect(sys.argv[1]).execute("SELECT count(*) FROM calls").fetchone()[0])
        pid = os.fork()
        if pid == 0:
            c_sdk.py_vqi_set_strategy_id("child")
            os._exit(0)
        os.waitpid(pid, 0)
        c_sdk.py_vqi_set_strategy_id("parent")
        """
    live = record(path, ["-c", code, str(path)], VQSDK_SIMULATE="0")
    assert live.returncode == 0 and live.stdout.split() == ["2000"], live.stderr
    names = [c.args[0] for c in vqsim.Recording(str(path)).calls()]
    assert names[-1] == b"parent" and b"child" not in names and len(names) == 2001
