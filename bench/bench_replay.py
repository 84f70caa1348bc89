"""What forwarding, recording and replay cost, side by side with the plain
stand-in (bench/README.md, "Forwarding, recording and replay").

    PYTHONPATH=build/python:standin/python python3.X bench/bench_replay.py [--build build] [--events N]

Each mode runs in its own process, since the library reads its settings when
it is loaded; every figure is the best of several runs.  The "real" library
is the stand-in's second copy (build/standin-second), so the forwarded call
does the same work as the plain one and the difference is what forwarding
and recording add.  Figures are wall-clock time on this machine.
"""
import argparse
import json
import os
import sqlite3
import subprocess
import sys
import tempfile

WORKER = r"""
import json, resource, sys, time, c_sdk, vqsim
what, n = sys.argv[1], int(sys.argv[2])

def cpu():  # user + system time of every thread of the process, the recorder's writer included
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime

def done(started, cpu_started, count):
    caller = time.thread_time() - caller_started  # the calling thread alone
    vqsim.sdk().reset()  # waits until the recorder has written everything
    print(json.dumps({"seconds": time.perf_counter() - started, "cpu": cpu() - cpu_started, "count": count,
                      "caller": caller}))

if what in ("vqi_now", "history_bars"):
    request = b"x" * 64
    call = c_sdk.vqi_now if what == "vqi_now" else (lambda: c_sdk.py_vqi_history_bars_pb(request))
    # Neither library keeps a call log; the one that answers (the second copy
    # when forwarding) is scripted.
    answering = vqsim.StandIn(sys.argv[4]) if len(sys.argv) > 4 else vqsim.sdk()
    for sim in {vqsim.sdk(), answering}:
        sim.recording(False)
    answering.set_response("vqi_history_bars_pb", b"r" * 256)
    started, cpu_started, caller_started = time.perf_counter(), cpu(), time.thread_time()
    for _ in range(n):
        call()
    done(started, cpu_started, n)
elif what == "events":
    # n events of 100 bytes, queued in the library that delivers them.
    source = vqsim.StandIn(sys.argv[4]) if len(sys.argv) > 4 else vqsim.sdk()
    source.recording(False)
    vqsim.sdk().recording(False)
    payload = b"p" * 100
    for _ in range(n):
        source.queue_event(b"on_tick", payload)
    seen = [0]
    def on_event(text, data):
        seen[0] += 1
    c_sdk.py_vqi_set_data_callback(on_event)
    started, cpu_started, caller_started = time.perf_counter(), cpu(), time.thread_time()
    c_sdk.py_vqi_run()
    done(started, cpu_started, seen[0])
elif what == "killed":
    # As "events", killed (SIGKILL) from the callable at five sixths; the
    # time of every 256th event goes to stdout first.
    import os, signal
    source = vqsim.StandIn(sys.argv[4])
    source.recording(False)
    for _ in range(n):
        source.queue_event(b"on_tick", b"p" * 100)
    seen, marks = [0], []
    def on_event(text, data):
        seen[0] += 1
        if seen[0] % 256 == 0:
            marks.append(time.perf_counter_ns())
        if seen[0] == n * 5 // 6 // 256 * 256:
            print(json.dumps(marks), flush=True)
            os.kill(os.getpid(), signal.SIGKILL)
    c_sdk.py_vqi_set_data_callback(on_event)
    c_sdk.py_vqi_run()
elif what == "simulated":
    sim = vqsim.sdk()
    sim.recording(False)
    symbols = ["SHSE.%06d" % k for k in range(n)]
    sim.simulate(seed=1, steps=2000, step=1)
    seen = [0]
    def on_event(text, data):
        seen[0] += 1
    c_sdk.py_vqi_set_data_callback(on_event)
    c_sdk.py_vqi_subscribe(",".join(symbols), "tick", False)
    started, cpu_started, caller_started = time.perf_counter(), cpu(), time.thread_time()
    c_sdk.py_vqi_run()
    done(started, cpu_started, seen[0])
"""


def worker(what, n, env, *extra, status=0):
    os.sync()  # the files of the runs before are on disk: their writing-out does not share this run's cores
    out = subprocess.run([sys.executable, "-c", WORKER, what, str(n), "1"] + list(extra), env=dict(os.environ, **env),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    if status:
        assert out.returncode == status, out.stderr
        return json.loads(out.stdout)
    if out.returncode != 0:
        raise SystemExit("%s failed (%s):\n%s" % (what, env, out.stderr))
    return json.loads(out.stdout)


def best(what, n, env, *extra, runs=3):
    return min((worker(what, n, env(k) if callable(env) else env, *extra) for k in range(runs)),
               key=lambda r: r["cpu"])


def per(result, key):
    return result[key] / result["count"] * 1e9


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--calls", type=int, default=200000)
    parser.add_argument("--events", type=int, default=1000000)
    args = parser.parse_args()
    second = os.path.abspath(os.path.join(args.build, "standin-second", "libvqsdk-second.so"))
    if not os.path.exists(second):
        raise SystemExit("no %s: build the project first" % second)
    tmp = tempfile.mkdtemp(prefix="bench-replay-", dir=os.path.abspath(args.build))
    forward = {"VQSDK_FORWARD": second}

    def recording(name):
        return lambda k: dict(forward, VQSDK_RECORD=os.path.join(tmp, "%s-%d.db" % (name, k)))

    print("CPU time (all threads, the recorder's writer included, until every record is written) and wall")
    print("time, in ns per call or event; best of 3 runs by CPU time.  The wall time depends on how busy")
    print("the machine's other cores are: the writer runs beside the caller.")
    print()
    print("| %d calls of | plain stand-in | forwarded | + recorded | forwarding adds | recording adds"
          " | of which the calling thread |" % args.calls)
    print("|---|---:|---:|---:|---:|---:|---:|")
    for what, label in (("vqi_now", "`vqi_now()`"), ("history_bars", "`py_vqi_history_bars_pb` (64 B in, 256 B out)")):
        plain = best(what, args.calls, {})
        fwd = best(what, args.calls, forward, second)
        rec = best(what, args.calls, recording(what), second)
        cpu = [per(r, "cpu") for r in (plain, fwd, rec)]
        wall = [per(r, "seconds") for r in (plain, fwd, rec)]
        print("| %s | %.0f (wall %.0f) | %.0f (wall %.0f) | %.0f (wall %.0f) | %.0f ns | %.0f ns | %.0f ns |" % (
            label, cpu[0], wall[0], cpu[1], wall[1], cpu[2], wall[2], cpu[1] - cpu[0], cpu[2] - cpu[1],
            per(rec, "caller") - per(fwd, "caller")))

    n = args.events
    path = os.path.join(tmp, "events.db")
    runs = [("plain stand-in", worker("events", n, {})),
            ("forwarded", worker("events", n, forward, second)),
            ("forwarded + recorded", worker("events", n, dict(forward, VQSDK_RECORD=path), second)),
            ("replayed from that recording", worker("events", n, {"VQSDK_REPLAY": path})),
            ("simulated session (500 symbols, ticks)", worker("simulated", 500, {}))]
    size = sum(os.path.getsize(p) for p in (path, path + "-wal") if os.path.exists(p))
    assert runs[3][1]["count"] == n, runs[3]
    print()
    print("| %d events of 100 bytes, through vqi_run into a Python callable | CPU ns per event |"
          " wall ns per event | events per second (wall) |" % n)
    print("|---|---:|---:|---:|")
    for label, r in runs:
        print("| %s | %.0f | %.0f | %.0f |" % (label, per(r, "cpu"), per(r, "seconds"), r["count"] / r["seconds"]))
    cpu = [per(r, "cpu") for _, r in runs]
    print()
    print("forwarding adds %.0f ns of CPU per event, recording %.0f ns (%.0f ns of it on the delivering thread)"
          % (cpu[1] - cpu[0], cpu[2] - cpu[1], per(runs[2][1], "caller") - per(runs[1][1], "caller")))
    print("the recording of %d events: %.1f MB (%.0f bytes per event)" % (n, size / 1e6, size / n))
    replayed, simulated = runs[3][1], runs[4][1]
    print("replay delivers %.2fx as many events per second as the simulated session produces" % (
        (replayed["count"] / replayed["seconds"]) / (simulated["count"] / simulated["seconds"])))
    # What a SIGKILL under load loses: the events after the last one in the
    # file, and how long before the kill the first of them was delivered.
    print()
    killed = os.path.join(tmp, "killed.db")
    for run in range(3):
        for name in (killed, killed + "-wal", killed + "-shm"):
            if os.path.exists(name):
                os.remove(name)
        marks = worker("killed", n, dict(forward, VQSDK_RECORD=killed), second, status=-9)
        db = sqlite3.connect("file:%s?mode=ro" % killed, uri=True)
        kept = db.execute("SELECT count(*) FROM events").fetchone()[0]
        db.close()
        delivered = len(marks) * 256
        # When the first lost event was delivered, between the two marks around it.
        at = (kept + 1) / 256 - 1
        below = min(max(int(at), 0), len(marks) - 1)
        above = min(below + 1, len(marks) - 1)
        lost_since = marks[-1] - (marks[below] + (marks[above] - marks[below]) * (at - int(at)))
        print("SIGKILL after %d events under load (run %d): the last %d lost, delivered in the last %.1f ms"
              % (delivered, run + 1, delivered - kept, lost_since / 1e6))
    for name in os.listdir(tmp):
        os.remove(os.path.join(tmp, name))
    os.rmdir(tmp)


if __name__ == "__main__":
    main()
