"""Events from the SDK's own threads while the run loop waits inside the SDK,
in each mode of c_sdk (bench/README.md, "Events from SDK threads").

    PYTHONPATH=build/python:standin/python python3.X bench/bench_threads.py [--runs N]

One stand-in SDK thread sends 200 events 1 ms apart while vqi_run waits
400 ms inside the SDK, as a network SDK's run loop does.  Printed for the
default mode and for CSDK_RUN_UNLOCKED=1, each in its own process (the
module reads the setting at import): how many events reached the callable
before the run returned and whether in order, the latency from sending to
the callable (p50, p99), how late a Python timer thread due at 50 ms ran,
and how long after py_vqi_stop, called from another Python thread, a run
that waits until it is stopped (10 s at most) returned (when it waited its
time out instead: how long after the call was due).  Wall-clock figures on this machine:
the median of the runs, and the worst.  The targets apply to
CSDK_RUN_UNLOCKED=1.
"""
import argparse
import json
import os
import subprocess
import sys

WORKER = r"""
import json, sys, threading, time, c_sdk, vqsim
sdk = vqsim.sdk()
sdk.reset()
sdk.recording(False)
got = []  # when the callable got each event, and its payload (read afterwards)
c_sdk.py_vqi_set_data_callback(lambda text, data, now=time.monotonic_ns, append=got.append: append((now(), data)))
c_sdk.py_vqi_run()  # warm up
sdk.set_delay("vqi_run", 400000)
fired = []
started = time.monotonic()
timer = threading.Timer(0.05, lambda: fired.append(time.monotonic()))
timer.start()
sdk.start_threads(b"t", 1, 200, 1000)
c_sdk.py_vqi_run()
returned = time.monotonic_ns()
sdk.join_threads()
got = [(at, vqsim.decode(data)) for at, data in got]
sent_before = sum(int(e["ns"]) < returned for _, e in got)  # the thread's pace is the machine's
before = [(at, e) for at, e in got if at < returned]
latency = sorted(at - int(e["ns"]) for at, e in before)
timer.join()
sdk.set_delay("vqi_run", 10000000)  # waits until stopped, or 10 s
stop_due, stop_called = time.monotonic() + 0.05, []
stopper = threading.Timer(0.05, lambda: (stop_called.append(time.monotonic()), c_sdk.py_vqi_stop()))
stopper.start()
c_sdk.py_vqi_run()
stopped = time.monotonic()
stopper.join()
# from the call of py_vqi_stop; when the run waited its full time instead, from when the call was due
stop = stopped - stop_called[0] if stopped - stop_due < 5 else stopped - stop_due
print(json.dumps({"before": len(before), "sent_before": sent_before, "in_order": [int(e["seq"]) for _, e in got] == list(range(200)),
                  "p50": latency[len(latency) // 2] / 1e3 if latency else None,
                  "p99": latency[len(latency) * 99 // 100] / 1e3 if latency else None,
                  "timer_late": (fired[0] - started - 0.05) * 1e3, "stop": stop * 1e3}))
"""

TARGETS = {"p50": 20, "p99": 200, "timer_late": 5, "stop": 10}


def measure(unlocked, runs):
    """Each figure's median over the runs, and its worst."""
    env = dict(os.environ, CSDK_RUN_UNLOCKED="1" if unlocked else "0")
    results = []
    for _ in range(runs):
        r = subprocess.run([sys.executable, "-c", WORKER], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           universal_newlines=True, timeout=120)
        if r.returncode != 0:
            fatal = [line for line in r.stderr.splitlines() if "Fatal" in line or "Error" in line]
            return "fails (status %d%s)" % (r.returncode, ": " + fatal[0].strip() if fatal else "")
        results.append(json.loads(r.stdout))
    out = {"missing": max(res["sent_before"] - res["before"] for res in results),
           "in_order": all(res["in_order"] for res in results)}
    for key in TARGETS:
        values = sorted(res[key] for res in results)
        out[key] = (values[len(values) // 2], values[-1])
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    print("CPython %s%s, %d runs each: the median (the worst)" % (
        sys.version.split()[0], ", PYTHONMALLOC=" + os.environ["PYTHONMALLOC"] if os.environ.get("PYTHONMALLOC") else "",
        args.runs))
    print("| mode | sent before the run returned, not delivered by then | in order | latency p50 | latency p99 "
          "| timer late | stop took |")
    print("|---|---:|---|---:|---:|---:|---:|")
    missed = 0
    for unlocked in (False, True):
        mode = "CSDK_RUN_UNLOCKED=1" if unlocked else "default"
        w = measure(unlocked, args.runs)
        if isinstance(w, str):
            print("| %s | %s | | | | | |" % (mode, w))
            missed += unlocked
            continue
        cells = []
        for key in ("p50", "p99", "timer_late", "stop"):
            (median, worst), unit = w[key], "µs" if key in ("p50", "p99") else "ms"
            text = ("%.0f %s (%.0f)" if unit == "µs" else "%.1f %s (%.1f)") % (median, unit, worst)
            if unlocked and median > TARGETS[key]:
                text += " **target %d %s**" % (TARGETS[key], unit)
                missed += 1
            cells.append(text)
        missed += unlocked and (w["missing"] != 0 or not w["in_order"])
        print("| %s | %d | %s | %s |" % (mode, w["missing"], "yes" if w["in_order"] else "**no**", " | ".join(cells)))
    print("targets (CSDK_RUN_UNLOCKED=1, medians): every event sent before the run returns delivered by then, "
          "in order, p50 <= 20 µs, p99 <= 200 µs, timer <= 5 ms late, stop <= 10 ms: %s"
          % ("met" if not missed else "%d missed" % missed))


if __name__ == "__main__":
    main()
