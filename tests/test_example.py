"""The example strategy, run as `./dev run` runs it, checked against what the
stand-in SDK saw."""
import json
import os
import re
import subprocess
import sys
import time

import pytest

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "strategy.py")
MARKER = "@@stand-in "

# Runs the example in its own interpreter, then prints what the stand-in
# recorded and how the simulated session ended.
RUNNER = """
import json, runpy, sys
try:
    runpy.run_path(%r, run_name="__main__")
    code = 0
except SystemExit as exit:
    code = exit.code
import vqsim
sim = vqsim.sdk()
counts = {fn: sim.count(fn) for fn in ("vqi_place_order_pb", "vqi_cancel_orders_pb", "vqi_send_msg_to_bus",
                                        "vqi_stop", "vqi_run", "vqi_subscribe", "vqi_user_timer_stop")}
config = [a.decode() if isinstance(a, bytes) else a for a in sim.last("vqi_set_backtest_config")]
print(%r + json.dumps({"code": code, "report": sim.report(), "counts": counts, "config": config}))
""" % (EXAMPLE, MARKER)


@pytest.fixture(scope="module")
def run():
    started = time.monotonic()
    result = subprocess.run([sys.executable, "-c", RUNNER], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, timeout=60, cwd=os.path.dirname(EXAMPLE))
    wall = time.monotonic() - started
    assert result.returncode == 0, result.stderr
    assert result.stderr == "", result.stderr  # no exception escaped into the callback bridge
    output, _, recorded = result.stdout.partition(MARKER)
    return output, json.loads(recorded), wall


def summary(output, key):
    match = re.search(r"^  %s: (.*)$" % re.escape(key), output, re.M)
    assert match, "no %r line in the summary" % key
    return match.group(1)


def pairs(text):
    return {k: float(v) if "." in v else int(v) for k, v in re.findall(r"(\S+)=(\S+)", text)}


def test_example_exits_zero_within_seconds(run):
    output, recorded, wall = run
    assert recorded["code"] == 0 and wall < 20
    assert float(summary(output, "elapsed").split()[0]) < 5


def test_summary_matches_the_session(run):
    output, recorded, _ = run
    report, counts = recorded["report"], recorded["counts"]
    assert pairs(summary(output, "events received")) == report["events"]
    orders = pairs(summary(output, "orders"))
    assert orders == report["orders"] and orders["placed"] == counts["vqi_place_order_pb"]
    assert orders["filled"] > 0 and orders["cancelled"] > 0
    cash = pairs(summary(output, "cash"))
    assert [cash[k] for k in ("available", "order_frozen", "nav", "fee")] == \
        [report["cash"][k] for k in ("available", "order_frozen", "nav", "fee")]
    assert cash["pnl"] == pytest.approx(cash["nav"] - recorded["config"][2], abs=0.006)
    assert pairs(summary(output, "positions")) == report["positions"]


def test_run_was_stopped_from_inside_the_callable(run):
    output, recorded, _ = run
    report, counts = recorded["report"], recorded["counts"]
    status, stopped_at = re.match(r"(\d+), stopped by the strategy at (.*)", summary(output, "run status")).groups()
    assert status == "0" and stopped_at == report["time"] and not report["finished"]
    assert (counts["vqi_run"], counts["vqi_stop"], counts["vqi_user_timer_stop"]) == (1, 1, 1)
    assert recorded["config"][:3] == ["2024-01-02 09:30:00", "2024-01-02 13:30:00", 1000000.0]


def test_failures_were_logged_and_fills_reported(run):
    output, recorded, _ = run
    report, counts = recorded["report"], recorded["counts"]
    failures = re.findall(r"^  \[vqsdk\] DEBUG invoke c fun=vqi_cancel_orders_pb error code=1011, "
                          r"error info=vqsdk error 1011: \S", output, re.M)
    assert len(failures) == counts["vqi_cancel_orders_pb"] - report["orders"]["cancelled"] > 0
    fills = re.findall(r"^  \d\d:\d\d (BUY|SELL) +\d+ \S+ @ [\d.]+$", output, re.M)
    assert len(fills) == report["events"]["on_execution_report"]
    heard = int(summary(output, "signals heard on the bus").split(",")[0])
    assert heard == report["events"]["on_bus_message"] and 0 < heard <= counts["vqi_send_msg_to_bus"]


# Market data from a thread of the SDK's own reaches a strategy as it comes
# when the run loop lets go of the interpreter lock: the same session.
def test_market_data_from_an_sdk_thread_with_the_run_loop_unlocked(run):
    env = dict(os.environ, VQSDK_SIMULATE="threads=1", CSDK_RUN_UNLOCKED="1")
    result = subprocess.run([sys.executable, EXAMPLE], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, timeout=60, env=env)
    assert (result.returncode, result.stderr) == (0, "")
    without_elapsed = lambda output: re.sub(r"elapsed: .*", "", output.partition("\nsummary\n")[2])
    assert without_elapsed(result.stdout) == without_elapsed(run[0])
