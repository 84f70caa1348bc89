"""Side-by-side benchmark of c_sdk against the peers a user could pick instead.

Run through bench/run, which builds everything first.  This
script has these roles:

  bench.py [--quick] [--shapes a,b] [--out RESULTS-3.X.md] [--left-out FILE] [--versions TEXT]
      the driver: checks that each peer gives c_sdk's results on this
      interpreter (one process per peer; a peer that does not is left out,
      as are those named in FILE, one "peer<TAB>reason" a line); then for
      every shape, one timing process and one callgrind process; then the
      table, printed and written to the --out file;
  bench.py --worker SHAPE --mode time|count --json FILE
      one shape, all its peers, in this process;
  bench.py --check PEER
      the check of one peer, in this process;
  bench.py --summary RESULTS-3.8.md RESULTS-3.13.md ...
      the Ir ratios of several result files side by side (a Markdown table).

Every peer binds the same stand-in SDK functions with the same behaviour on
the success path (see README.md).  The stand-in does not record calls
during the measurements.
"""

import argparse
import gc
import glob
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))

REQUEST = bytes(range(64))  # 64-byte request
HISTORY_RESPONSE = bytes(range(256))  # 256-byte response
ORDER_REQUEST = b"SHSE.600000|buy|limit|10.50|1000|account-0001|strategy-0001|tag-0000001"[:64].ljust(64, b".")
ORDER_RESPONSE = bytes(range(32))
EVENT_TEXT = b"on_tick"
EVENT_PAYLOAD = bytes(range(96))
BAR = {"symbol": "SHSE.600000", "eob": 1700000060000, "bob": 1700000000000, "open": 10.0, "close": 10.5,
       "high": 10.6, "low": 9.9, "volume": 120000, "amount": 1260000.0, "pre_close": 10.1, "position": 0,
       "frequency": "60s", "receive_local_time": 1700000060123}

CALL_PEERS = ["c_sdk", "floor", "Cython", "pybind11", "nanobind", "ctypes"]
RECORD_PEERS = ["c_sdk", "Cython", "pure Python"]

# name: (label, statement timed in the loop, member, arguments, peers)
SHAPES = [
    ("history_bars_pb", "py_vqi_history_bars_pb(req): 64-byte request, 256-byte response",
     "f(req)", "py_vqi_history_bars_pb", {"req": REQUEST}, CALL_PEERS),
    ("place_order_bytes", "py_vqi_place_order(req), decorated, bytes",
     "f(req)", "py_vqi_place_order", {"req": ORDER_REQUEST}, CALL_PEERS),
    ("place_order_str", "py_vqi_place_order(req), decorated, str",
     "f(req)", "py_vqi_place_order", {"req": ORDER_REQUEST.decode("ascii")}, CALL_PEERS),
    ("subscribe", "py_vqi_subscribe(symbols, frequency, flag), decorated",
     "f(symbols, frequency, flag)", "py_vqi_subscribe",
     {"symbols": b"SHSE.600000,SZSE.000001", "frequency": b"tick", "flag": True}, CALL_PEERS),
    ("set_backtest_config", "py_vqi_set_backtest_config: 12 arguments, 9 positional and 3 keyword, decorated",
     "f(a0, a1, a2, a3, a4, a5, a6, a7, a8, adjust=a9, match_mode=a10, check_cache=a11)",
     "py_vqi_set_backtest_config",
     {"a0": b"2020-01-01 09:00:00", "a1": b"2020-12-31 15:00:00", "a2": 1000000.0, "a3": 1.0, "a4": 0.0003,
      "a5": 5.0, "a6": 0.0001, "a7": 0.5, "a8": 0.5, "a9": 1, "a10": 0, "a11": 1}, CALL_PEERS),
    ("strerror", "py_vqi_strerror(errorno)", "f(e)", "py_vqi_strerror", {"e": 1011}, CALL_PEERS),
    ("vqi_now", "vqi_now() (direct object)", "f()", "vqi_now", {}, CALL_PEERS),
    ("arg_error", "py_vqi_history_bars_pb() raising TypeError, caught",
     "try:\n    f()\nexcept TypeError:\n    pass", "py_vqi_history_bars_pb", {}, CALL_PEERS),
    ("record_read", "bar.close on a BarLikeDict2 record", "r.close", None, {}, RECORD_PEERS),
    ("record_subscript", "bar[\"close\"] on a BarLikeDict2 record (reported, not judged)", 'r["close"]', None, {},
     RECORD_PEERS),
    ("event", "event delivery from py_vqi_run into a Python function that does nothing",
     None, None, {}, CALL_PEERS),
    ("event_unlocked", "the same with CSDK_RUN_UNLOCKED=1: py_vqi_run lets go of the interpreter lock, "
     "each event takes it back (the floor does the same)", None, None, {}, ["c_sdk", "floor"]),
]
EVENT_SHAPES = ("event", "event_unlocked")
SHAPE_NAMES = [s[0] for s in SHAPES]

# (shape, peer, bound, what): c_sdk's instruction count divided by the peer's
# must not exceed `bound` (None: only faster, i.e. below 1).
TARGETS = [
    (s, "floor", 1.05 if s in EVENT_SHAPES else 1.15,
     "within 1.05x the floor" if s in EVENT_SHAPES else "within 1.15x the floor")
    for s in SHAPE_NAMES if not s.startswith("record_")
] + [
    ("place_order_bytes", "Cython", 0.5, "decorated member at most 0.5x the Cython peer"),
    ("place_order_str", "Cython", 0.5, "decorated member at most 0.5x the Cython peer"),
    ("subscribe", "Cython", 0.5, "decorated member at most 0.5x the Cython peer"),
    ("set_backtest_config", "Cython", 0.5, "decorated member at most 0.5x the Cython peer"),
    ("arg_error", "Cython", 0.9, "argument error at most 0.9x the Cython peer"),
    ("record_read", "Cython", 0.5, "record field read at most 0.5x the Cython peer"),
    ("record_read", "pure Python", 0.5, "record field read at most 0.5x a pure-Python record"),
] + [(s, p, None, "faster than " + p) for s in SHAPE_NAMES if not s.startswith("record_") and s != "event_unlocked"
     for p in ("pybind11", "ctypes")]


# ---------------------------------------------------------------- worker ----

def load_peers(peers):
    import c_sdk  # first: maps the stand-in SDK that every peer then shares
    import vqsim
    mods = {}
    for peer in peers:
        if peer == "c_sdk":
            mods[peer] = c_sdk
        elif peer == "floor":
            import bench_floor
            mods[peer] = bench_floor
        elif peer == "Cython":
            import bench_cy
            mods[peer] = bench_cy
        elif peer == "pybind11":
            import bench_adapt
            import bench_pb11
            mods[peer] = bench_adapt.as_python_sees(bench_pb11)
        elif peer == "nanobind":
            import bench_adapt
            import bench_nb
            mods[peer] = bench_adapt.as_python_sees(bench_nb)
        elif peer == "ctypes":
            import bench_ctypes
            mods[peer] = bench_ctypes
        elif peer == "pure Python":
            import bench_pyrecord
            mods[peer] = bench_pyrecord
    sim = vqsim.sdk()
    sim.reset()
    sim.recording(False)
    sim.set_response("vqi_history_bars_pb", HISTORY_RESPONSE)
    sim.set_response("vqi_place_order_pb", ORDER_RESPONSE)
    sim.set_clock(1700000000000, 1700000000.0)
    return sim, mods


def make_loops(stmt, env):
    """loop(n) runs the statement n times; empty(n) is the same loop without it."""
    params = "".join(", %s=%s" % (k, k) for k in env)
    src = ("def loop(n%s):\n    for _ in range(n):\n%s\n"
           "def empty(n%s):\n    for _ in range(n):\n        pass\n") % (
        params, textwrap.indent(stmt, " " * 8), params)
    ns = dict(env)
    exec(compile(src, "<bench>", "exec"), ns)
    return ns["loop"], ns["empty"]


def noop(text, data):
    pass


class EventRunner(object):
    """loop(n) queues n events (not measured) and delivers them through one
    py_vqi_run; empty(n) is a py_vqi_run with nothing queued."""

    def __init__(self, sim, mod, measure):
        self.sim, self.mod, self.measure = sim, mod, measure

    def _run(self, n):
        self.mod.py_vqi_set_data_callback(noop)
        queue = self.sim.queue_event
        for _ in range(n):
            queue(EVENT_TEXT, EVENT_PAYLOAD)
        run = self.mod.py_vqi_run
        return self.measure(run)

    def loop(self, n):
        return self._run(n)

    def empty(self, n):
        return self._run(0)


class UnlockedFloor(object):
    """The floor's run loop that lets go of the interpreter lock, under the names EventRunner calls."""

    def __init__(self, floor):
        self.py_vqi_set_data_callback = floor.py_vqi_set_data_callback_unlocked
        self.py_vqi_run = floor.py_vqi_run_unlocked


def runners(shape, sim, mods):
    name, _, stmt, member, args, peers = shape
    out = {}
    for peer in peers:
        mod = mods[peer]
        if name == "event_unlocked" and peer == "floor":
            out[peer] = UnlockedFloor(mod)
        elif name in EVENT_SHAPES:
            out[peer] = mod
        elif name.startswith("record_"):
            cls = getattr(mod, "BarLikeDict2", None)
            if cls is None:
                continue
            out[peer] = make_loops(stmt, {"r": cls(dict(BAR))})
        else:
            env = dict(args)
            env["f"] = getattr(mod, member)
            out[peer] = make_loops(stmt, env)
    return out


def time_shape(shape, quick):
    name = shape[0]
    sim, mods = load_peers(shape[5])
    loops = runners(shape, sim, mods)
    repeats = 5 if quick else 11
    samples = {peer: [] for peer in loops}
    clock = time.perf_counter_ns
    if name in EVENT_SHAPES:
        n = 3000 if quick else 20000

        def timed(run):
            t0 = clock()
            run()
            return clock() - t0

        peers = {peer: EventRunner(sim, mod, timed) for peer, mod in loops.items()}
        for peer, r in peers.items():
            r.loop(200)
        for rep in range(repeats):
            order = list(peers)[rep % len(peers):] + list(peers)[:rep % len(peers)]
            for peer in order:
                t_n = peers[peer].loop(n)
                t_0 = peers[peer].empty(n)
                samples[peer].append((t_n - t_0) / n)
    else:
        for loop, empty in loops.values():
            loop(2000)
            empty(2000)
        # about 20 ms (5 ms quick) of c_sdk calls per measurement
        loop, _ = loops.get("c_sdk", next(iter(loops.values())))
        t0 = clock()
        loop(2000)
        per_call = max((clock() - t0) / 2000, 1)
        n = int((5e6 if quick else 20e6) / per_call)
        n = max(2000, min(n, 2000000))
        for rep in range(repeats):
            order = list(loops)[rep % len(loops):] + list(loops)[:rep % len(loops)]
            for peer in order:
                loop, empty = loops[peer]
                t0 = clock()
                loop(n)
                t1 = clock()
                empty(n)
                t2 = clock()
                samples[peer].append(((t1 - t0) - (t2 - t1)) / n)
    return {peer: statistics.median(s) for peer, s in samples.items()}


def count_shape(shape, quick):
    import bench_cg
    name = shape[0]
    sim, mods = load_peers(shape[5])
    loops = runners(shape, sim, mods)
    n = 500 if quick else 2000
    if name in EVENT_SHAPES:
        def counted(label):
            def measure(run):
                bench_cg.start()
                run()
                bench_cg.stop(label)
            return measure

        for peer, mod in loops.items():
            EventRunner(sim, mod, lambda run: run()).loop(100)
            EventRunner(sim, mod, counted("%s|n" % peer)).loop(n)
            EventRunner(sim, mod, counted("%s|0" % peer)).empty(n)
    else:
        for peer, (loop, empty) in loops.items():
            loop(200)
            empty(200)
            bench_cg.start()
            loop(n)
            bench_cg.stop("%s|n" % peer)
            bench_cg.start()
            empty(n)
            bench_cg.stop("%s|0" % peer)
    return {"n": n, "peers": list(loops)}


def without(shape, skip):
    """The shape with the peers in `skip` taken out of its peer list."""
    return shape[:5] + ([p for p in shape[5] if p not in skip],)


def worker(args):
    if args.worker == "event_unlocked":  # read by c_sdk when load_peers imports it
        os.environ["CSDK_RUN_UNLOCKED"] = "1"
    shape = without(next(s for s in SHAPES if s[0] == args.worker), args.skip.split(",") if args.skip else ())
    gc.collect()
    if args.mode == "time":
        result = {"ns": time_shape(shape, args.quick)}
    else:
        result = count_shape(shape, args.quick)
    with open(args.json, "w") as out:
        json.dump(result, out)


# ----------------------------------------------------------------- check ----

def check_peer(peer):
    """Raises AssertionError unless `peer` gives c_sdk's result on every shape it is in."""
    sim, mods = load_peers(["c_sdk", peer])
    for shape in SHAPES:
        name, _, stmt, member, args, peers = shape
        if peer not in peers:
            continue
        if name in EVENT_SHAPES:
            got = {}
            unlocked = {"floor": UnlockedFloor(mods["floor"])} if name == "event_unlocked" else {}
            for p in ("c_sdk", peer):
                mod = unlocked.get(p, mods[p])
                calls = []
                mod.py_vqi_set_data_callback(lambda text, data: calls.append((text, data)))
                for i in range(3):
                    sim.queue_event(EVENT_TEXT, EVENT_PAYLOAD[:32 * i])
                status = mod.py_vqi_run()
                got[p] = (status, calls)
            mods["c_sdk"].py_vqi_set_data_callback(noop)
            unlocked.get(peer, mods[peer]).py_vqi_set_data_callback(noop)
        elif name.startswith("record_"):
            got = {p: eval(stmt, {"r": getattr(mods[p], "BarLikeDict2")(dict(BAR))}) for p in ("c_sdk", peer)}
        elif name == "arg_error":
            got = {}
            for p in ("c_sdk", peer):
                try:
                    getattr(mods[p], member)()
                    got[p] = "no error"
                except TypeError:
                    got[p] = "TypeError"
        else:
            got = {}
            for p in ("c_sdk", peer):
                env = dict(args)
                env["f"] = getattr(mods[p], member)
                got[p] = eval(stmt, env)
        want, have = got["c_sdk"], got[peer]
        if want != have or type(want) is not type(have):
            raise AssertionError("%s: %r where c_sdk gives %r" % (name, have, want))


def check(peer):
    try:
        check_peer(peer)
    except Exception as e:  # the reason goes to the driver, last line of stderr
        sys.stderr.write("%s: %s\n" % (type(e).__name__, str(e)[:300]))
        sys.exit(1)


def run_checks(python, peers, env):
    """{peer: reason} for the peers that do not give c_sdk's results here."""
    failed = {}
    for peer in peers:
        proc = subprocess.run([python, os.path.abspath(__file__), "--check", peer], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        if proc.returncode == 0:
            print("  checked %-11s gives c_sdk's results" % peer, flush=True)
            continue
        lines = [l for l in proc.stderr.splitlines() if l.strip()]
        if proc.returncode < 0:
            reason = "crashes on this interpreter (signal %d)" % -proc.returncode
        else:
            reason = "fails on this interpreter (%s)" % (lines[-1].strip() if lines else "exit %d" % proc.returncode)
        print("  checked %-11s %s" % (peer, reason), flush=True)
        failed[peer] = reason
    return failed


# ---------------------------------------------------------------- driver ----

def worker_cmd(python, shape, mode, json_path, quick, skip):
    cmd = [python, os.path.abspath(__file__), "--worker", shape, "--mode", mode, "--json", json_path]
    return cmd + (["--quick"] if quick else []) + (["--skip", ",".join(sorted(skip))] if skip else [])


def parse_dumps(prefix):
    """{label: Ir} from the dumps written at each bench_cg.stop(label)."""
    counts = {}
    for path in glob.glob(prefix + ".*"):
        label = ir = None
        with open(path) as f:
            for line in f:
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line.partition("Client Request: ")[2].strip()
                elif line.startswith(("summary:", "totals:")):
                    ir = int(line.split()[1])
        if label is not None and ir is not None:
            counts[label] = ir
    return counts


def run_counts(python, shapes, quick, tmp, env, skip):
    """Callgrind workers, two at a time (instruction counts do not depend on load)."""
    results, pending = {}, list(shapes)
    running = []
    while pending or running:
        while pending and len(running) < 2:
            shape = pending.pop(0)
            prefix = os.path.join(tmp, "cg-" + shape)
            js = os.path.join(tmp, "count-%s.json" % shape)
            cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--callgrind-out-file=" + prefix,
                   "--quiet"] + worker_cmd(python, shape, "count", js, quick, skip)
            running.append((shape, prefix, js, subprocess.Popen(cmd, env=env)))
        shape, prefix, js, proc = running.pop(0)
        if proc.wait() != 0:
            raise SystemExit("callgrind worker for %s failed" % shape)
        with open(js) as f:
            meta = json.load(f)
        dumps = parse_dumps(prefix)
        results[shape] = {peer: (dumps["%s|n" % peer] - dumps["%s|0" % peer]) / meta["n"] for peer in meta["peers"]}
        print("  counted %-20s %s" % (shape, "  ".join("%s %.0f" % kv for kv in results[shape].items())),
              flush=True)
    return results


def fmt_ratio(x):
    return "%.2f" % x if x is not None else "-"


def interpreter():
    return "CPython %s (`%s`)" % (sys.version.split()[0], sys.executable)


def report(shapes, times, counts, quick, left_out, versions):
    lines = []
    add = lines.append
    add("# c_sdk against its peers on CPython %d.%d" % sys.version_info[:2])
    add("")
    revision = os.environ.get("CSDK_BENCH_REVISION")
    add("Produced by `bench/run`%s on %s, %s, %d cores%s." % (
        " (%s)" % revision if revision else "", time.strftime("%Y-%m-%d"), interpreter(), os.cpu_count() or 0,
        " (--quick)" if quick else ""))
    if versions:
        add("Peer tools: %s." % versions)
    add("")
    if left_out:
        add("Peers left out on this interpreter:")
        add("")
        for peer, reason in sorted(left_out.items()):
            add("- %s: %s" % (peer, reason))
        add("")
    add("- **ns/call**: median over repeated runs of (loop of N calls - the same loop without the call) / N,")
    add("  wall clock; noisy on a shared machine.")
    add("- **Ir/call**: instructions per call from `valgrind --tool=callgrind`, (loop of N calls - same loop")
    add("  without them) / N, collected only around the loops: the call site, the binding and the stand-in SDK.")
    add("  For events: (py_vqi_run delivering N queued events - py_vqi_run with none) / N.")
    add("- **c_sdk / peer**: c_sdk's figure divided by the peer's (below 1: c_sdk is faster).")
    add("")
    add("| shape | peer | ns/call | c_sdk / peer (time) | Ir/call | c_sdk / peer (Ir) |")
    add("|---|---|---:|---:|---:|---:|")
    for shape in shapes:
        name = shape[0]
        t = times.get(name, {})
        c = counts.get(name, {})
        for peer in shape[5]:
            if peer in left_out:
                add("| %s | %s | left out | | left out | |" % (name, peer))
                continue
            if peer not in t and peer not in c:
                add("| %s | %s | n/a | | n/a | |" % (name, peer))
                continue
            rt = t["c_sdk"] / t[peer] if "c_sdk" in t and peer in t and t[peer] > 0 else None
            rc = c["c_sdk"] / c[peer] if "c_sdk" in c and peer in c and c[peer] > 0 else None
            add("| %s | %s | %s | %s | %s | %s |" % (
                name, peer, "%.0f" % t[peer] if peer in t else "-", fmt_ratio(rt),
                "%.0f" % c[peer] if peer in c else "-", fmt_ratio(rc)))
    add("")
    add("Shapes:")
    add("")
    for shape in shapes:
        add("- `%s`: %s" % (shape[0], shape[1]))
    add("")
    add("## Targets (instruction counts)")
    add("")
    add("| shape | against | target | c_sdk / peer (Ir) | met |")
    add("|---|---|---:|---:|---|")
    names = {s[0] for s in shapes}
    missed = unjudged = 0
    for name, peer, bound, what in TARGETS:
        if name not in names:
            continue
        c = counts.get(name, {})
        target = "< 1" if bound is None else "<= %.2f" % bound
        if peer in left_out:
            add("| %s | %s | %s | - | peer left out |" % (name, peer, target))
            unjudged += 1
            continue
        if "c_sdk" not in c or peer not in c:
            add("| %s | %s | %s | n/a | not measured |" % (name, peer, target))
            missed += 1
            continue
        r = c["c_sdk"] / c[peer]
        ok = r < 1 if bound is None else r <= bound
        missed += not ok
        add("| %s | %s | %s | %.3f | %s |" % (name, peer, target, r, "yes" if ok else "**no**"))
    add("")
    add("%d of the targets above missed or not measured." % missed if missed else
        "Every target above %sis met." % ("against a peer measured here " if unjudged else ""))
    if unjudged:
        add("%d not judged: their peer is left out on this interpreter." % unjudged)
    return "\n".join(lines) + "\n"


def read_left_out(path):
    """{peer: reason} from a file of "peer<TAB>reason" lines."""
    out = {}
    if path and os.path.exists(path):
        with open(path) as f:
            for line in f:
                peer, _, reason = line.rstrip("\n").partition("\t")
                if peer:
                    out[peer] = reason
    return out


def driver(args):
    shapes = SHAPES
    if args.shapes:
        wanted = args.shapes.split(",")
        unknown = set(wanted) - set(SHAPE_NAMES)
        if unknown:
            raise SystemExit("unknown shapes: %s (known: %s)" % (", ".join(sorted(unknown)), ", ".join(SHAPE_NAMES)))
        shapes = [s for s in SHAPES if s[0] in wanted]
    python = sys.executable
    env = dict(os.environ)
    print("%s" % interpreter(), flush=True)
    left_out = read_left_out(args.left_out)
    for peer, reason in sorted(left_out.items()):
        print("  left out %-10s %s" % (peer, reason), flush=True)
    print("checking the peers against c_sdk, one process per peer:", flush=True)
    peers = [p for p in CALL_PEERS + RECORD_PEERS if p != "c_sdk" and p not in left_out]
    peers = sorted(set(peers), key=peers.index)
    failed = run_checks(python, [p for p in peers if any(p in s[5] for s in shapes)], env)
    if "floor" in failed:
        raise SystemExit("the floor peer must give c_sdk's results: %s" % failed["floor"])
    left_out.update(failed)
    skip = set(left_out)
    measured = [without(s, skip) for s in shapes]
    times = {}
    with tempfile.TemporaryDirectory(prefix="csdk-bench-") as tmp:
        print("timing, one process per shape:", flush=True)
        for shape in measured:
            js = os.path.join(tmp, "time-%s.json" % shape[0])
            subprocess.run(worker_cmd(python, shape[0], "time", js, args.quick, skip), env=env, check=True)
            with open(js) as f:
                times[shape[0]] = json.load(f)["ns"]
            print("  timed   %-20s %s" % (shape[0], "  ".join("%s %.0f" % kv for kv in times[shape[0]].items())),
                  flush=True)
        print("instruction counts (callgrind), one process per shape:", flush=True)
        counts = run_counts(python, [s[0] for s in measured], args.quick, tmp, env, skip)
    text = report(shapes, times, counts, args.quick, left_out, args.versions)
    print()
    print(text, end="")
    if args.out and (args.quick or args.shapes):
        print("\n(a --quick or --shapes run: %s left as it was)" % args.out)
    elif args.out:
        with open(args.out, "w") as f:
            f.write(text)
        print("\nwritten to %s" % args.out)


# --------------------------------------------------------------- summary ----

SUMMARY_ROWS = [
    ("history_bars_pb", "`py_vqi_history_bars_pb` (64-byte request, 256-byte response)"),
    ("place_order_bytes", "`py_vqi_place_order(bytes)` (decorated)"),
    ("place_order_str", "`py_vqi_place_order(str)` (decorated)"),
    ("subscribe", "`py_vqi_subscribe` (decorated)"),
    ("set_backtest_config", "`py_vqi_set_backtest_config` (12 arguments, decorated)"),
    ("strerror", "`py_vqi_strerror`"),
    ("vqi_now", "`vqi_now()`"),
    ("arg_error", "argument error"),
    ("event", "event delivery into a Python callable"),
    ("event_unlocked", "the same with `CSDK_RUN_UNLOCKED=1` (÷ a floor that lets go of the lock too)"),
    ("record_read", "`bar.close` (record read)"),
    ("record_subscript", "`bar[\"close\"]` (record subscript, not judged)"),
]


def read_results(path):
    """(version, {shape: {peer: Ir ratio text}}) from a RESULTS file written by report()."""
    version, ratios = None, {}
    with open(path) as f:
        for line in f:
            if line.startswith("# ") and "CPython" in line:
                version = line.split("CPython")[1].strip()
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if len(cells) == 6 and cells[0] in SHAPE_NAMES:
                shape, peer, _, _, ir, ratio = cells
                ratios.setdefault(shape, {})[peer] = ratio if ratio else "left out" if ir == "left out" else "-"
    return version, ratios


def summary(paths):
    """The Ir ratios c_sdk / peer of several result files side by side, as Markdown."""
    results = [read_results(p) for p in paths]
    peers = ["floor", "Cython", "pybind11", "nanobind", "ctypes"]
    versions = [v for v, _ in results]
    print("| c_sdk ÷ peer (Ir) |" + "".join(" %s %s |" % (peer, v) for peer in peers for v in versions))
    print("|---|" + "---:|" * (len(peers) * len(results)))
    for shape, label in SUMMARY_ROWS:
        if shape.startswith("record_"):
            label += " (÷ pure Python: %s)" % " / ".join(
                "%s on %s" % (r.get(shape, {}).get("pure Python", "-"), v) for v, r in results)
        row = "| %s |" % label
        for peer in peers:
            for _, ratios in results:
                cell = ratios.get(shape, {}).get(peer, "-")
                row += " %s |" % ("—" if cell == "-" else cell)
        print(row)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer and shorter runs")
    parser.add_argument("--shapes", help="comma-separated subset of: " + ", ".join(SHAPE_NAMES))
    parser.add_argument("--out", help="also write the table to this file (full runs only)")
    parser.add_argument("--left-out", help='peers not built here: a file of "peer<TAB>reason" lines')
    parser.add_argument("--versions", help="the peer tools' versions, for the results")
    parser.add_argument("--summary", nargs="+", metavar="RESULTS", help="Ir ratios of result files side by side")
    parser.add_argument("--check", help=argparse.SUPPRESS)
    parser.add_argument("--skip", help=argparse.SUPPRESS)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--mode", choices=["time", "count"], help=argparse.SUPPRESS)
    parser.add_argument("--json", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.summary:
        summary(args.summary)
    elif args.check:
        check(args.check)
    elif args.worker:
        worker(args)
    else:
        driver(args)


if __name__ == "__main__":
    main()
